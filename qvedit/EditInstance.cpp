#include "qvedit/EditInstance.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "qvedit/AppDelegate.h"
#include "qvedit/EditURL.h"

extern char** environ;

namespace EditInstance {

namespace {

constexpr double kAnswerSeconds = 10;

// A desktop entry's argument: quoted when it holds what the Exec key reserves.
std::string execArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"'\\`$<>~|&;*?#()%=") == std::string::npos) return arg;
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

int runAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::vector<std::string> store = args;
  for (auto& a : store) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string socketPath() {
  std::string dir = plat::userRuntimeDirectory("qvedit");
  return dir.empty() ? dir : dir + "/qvedit.sock";
}

std::optional<std::string> send(const std::string& message) {
  std::string path = socketPath();
  if (path.empty()) return std::nullopt;
  auto c = plat::LocalConnection::connect(path);
  if (!c || !c->sendLine(message)) return std::nullopt;
  return c->readLine(kMaxLine, kAnswerSeconds);
}

std::unique_ptr<Server> Server::listen(AppDelegate& app, plat::Error* error) {
  std::string path = socketPath();
  if (path.empty()) {
    plat::setError(error, plat::Error::withDescription("qvedit", 1, "no private runtime folder"));
    return nullptr;
  }
  auto l = plat::LocalListener::listen(path, error);
  if (!l) return nullptr;
  std::unique_ptr<Server> s(new Server(app, std::move(l)));
  Server* self = s.get();
  s->source_ = plat::RunLoop::main()->addFd(s->listener_->fd(), plat::RunLoop::kReadable,
                                            [self](uint32_t) { self->acceptPending(); });
  return s;
}

Server::~Server() {
  if (source_) plat::RunLoop::main()->remove(source_);
}

void Server::acceptPending() {
  while (auto c = listener_->accept()) {
    // The launcher writes its line at once; a silent client is dropped.
    auto line = c->readLine(kMaxLine, 2);
    if (!line) continue;
    if (*line == "quit") {
      c->sendLine("ok");
      app_.quitAction();
    } else if (line->rfind("open ", 0) == 0) {
      std::string why;
      if (app_.handleURLEvent(line->substr(5), &why)) c->sendLine("ok");
      else c->sendLine("refused " + why);
    } else {
      c->sendLine("refused unknown message");
    }
  }
}

std::string desktopEntryPath() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base = xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : plat::homeDirectory() + "/.local/share";
  return base + "/applications/qvedit.desktop";
}

bool registerDesktopEntry(const std::vector<std::string>& command, std::string* error) {
  std::string exec;
  for (const auto& a : command) exec += execArgument(a) + " ";
  exec += "%u";
  std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=qvedit\n"
      "Comment=Edit a Quorva cloud file in your own application\n"
      "Exec=" + exec + "\n"
      "Terminal=false\n"
      "NoDisplay=true\n"
      "MimeType=x-scheme-handler/" + std::string(kEditScheme) + ";\n";
  std::string path = desktopEntryPath();
  plat::Error e;
  if (!plat::makeDirectories(plat::pathDirname(path), 0755, &e) || !plat::atomicWrite(path, entry, 0644, &e)) {
    if (error) *error = e.localizedDescription();
    return false;
  }
  int rc = runAndWait({"xdg-mime", "default", "qvedit.desktop", std::string("x-scheme-handler/") + kEditScheme});
  if (rc != 0) {
    if (error) *error = plat::format("xdg-mime failed (%d)", rc);
    return false;
  }
  return true;
}

}  // namespace EditInstance
