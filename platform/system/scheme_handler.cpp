#include "platform/system/scheme_handler.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"

extern char** environ;

namespace plat {

namespace {

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

// Values of the entry's keys are one line each.
std::string oneLine(std::string s) {
  for (char& c : s) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return s;
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

std::string desktopEntryPath(const std::string& entryName) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base = xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : homeDirectory() + "/.local/share";
  return base + "/applications/" + entryName;
}

bool registerSchemeHandler(const SchemeHandler& h, std::string* error) {
  std::string exec;
  for (const auto& a : h.command) exec += execArgument(a) + " ";
  exec += "%u";
  std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=" + oneLine(h.name) + "\n"
      "Comment=" + oneLine(h.comment) + "\n"
      "Exec=" + exec + "\n"
      "Terminal=false\n"
      "NoDisplay=true\n"
      "MimeType=x-scheme-handler/" + h.scheme + ";\n";
  std::string path = desktopEntryPath(h.entryName);
  Error e;
  if (!makeDirectories(pathDirname(path), 0755, &e) || !atomicWrite(path, entry, 0644, &e)) {
    if (error) *error = e.localizedDescription();
    return false;
  }
  int rc = runAndWait({"xdg-mime", "default", h.entryName, "x-scheme-handler/" + h.scheme});
  if (rc != 0) {
    if (error) *error = format("xdg-mime failed (%d)", rc);
    return false;
  }
  return true;
}

}  // namespace plat
