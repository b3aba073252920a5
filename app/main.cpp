// Quorva, the main application. See kUsage for its command-line forms. The
// desktop windows come with the desktop toolkit; until then the headless
// form runs the whole client without a display: what a person would see
// (notices, the status item, pages, alerts) and the activity log go to
// standard output.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "Framework/SJSON/SJSONSerializer.h"
#include "app/AppDelegate.h"
#include "app/LoginWebWindowController.h"
#include "app/QVLog.h"
#include "app/ServiceHosts.h"
#include "app/UserData.h"
#include "app/interface/APIHosts.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/url.h"
#include "platform/system/launcher.h"
#include "platform/system/reachability.h"
#include "platform/ui/headless/headless_toolkit.h"

namespace {

const char* kUsage =
    "usage: Quorva --headless [--server URL] [--user NAME --password PASS --sync-folder DIR]\n"
    "       Quorva --help\n"
    "\n"
    "  --headless           run without a display: notices, the status item and the\n"
    "                       activity log go to standard output; SIGINT or SIGTERM\n"
    "                       stops the engines and ends the program\n"
    "  --server URL         send every service request to URL (http://host:port or\n"
    "                       https://host:port), e.g. a devcloud for development\n"
    "  --user NAME          sign in for the first time with this account ...\n"
    "  --password PASS      ... and password, and sync the folder\n"
    "  --sync-folder DIR    DIR/我的Quorva (the personal files in its folder\n"
    "                       个人的文件); without these three the account stored in\n"
    "                       ~/.quorvacfg signs in by itself\n"
    "  --help               show this text\n";

std::mutex outMutex;

void say(const std::string& line) {
  std::lock_guard<std::mutex> l(outMutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

struct Server {
  std::string hostPort;  // every service host
  bool https = false;
  bool loopback = false;
};

std::optional<Server> parseServer(const std::string& text) {
  auto url = plat::URL::parse(text);
  if (!url) return std::nullopt;
  const std::string& scheme = url->scheme();
  if ((scheme != "http" && scheme != "https") || url->host().empty() || url->hasUserInfo() || url->query() ||
      !(url->path().empty() || url->path() == "/")) {
    return std::nullopt;
  }
  const std::string& host = url->host();
  return Server{url->hostHeader(), url->isHTTPS(),
                host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0};
}

// A service on this machine is reachable whatever the routes say.
class LoopbackReachability : public plat::Reachability {
public:
  bool isReachable() const override { return true; }
};

std::string jsonOf(const plat::Dictionary& d) {
  auto text = SJSONSerializer::serializer()->serializeObject(plat::Value(d));
  return text ? std::string(text->begin(), text->end()) : std::string();
}

struct Options {
  bool headless = false;
  std::string server, user, password, folder;
  bool account() const { return !user.empty() || !password.empty() || !folder.empty(); }
};

int usageError(const char* why) {
  std::fprintf(stderr, "Quorva: %s\n\n%s", why, kUsage);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  // SIGINT and SIGTERM are read on the main loop; every thread started
  // from here on inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  plat::MainThread::setCurrentThreadAsMain();

  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--headless") {
      o.headless = true;
    } else if (a == "--server") {
      if (!value(o.server)) return usageError("--server wants a URL");
    } else if (a == "--user") {
      if (!value(o.user)) return usageError("--user wants a name");
    } else if (a == "--password") {
      if (!value(o.password)) return usageError("--password wants a password");
    } else if (a == "--sync-folder") {
      if (!value(o.folder)) return usageError("--sync-folder wants a folder");
    } else {
      return usageError(("unknown argument " + a).c_str());
    }
  }
  if (!o.headless) return usageError("the desktop windows are not built yet: run with --headless");
  if (o.account() && (o.user.empty() || o.password.empty() || o.folder.empty())) {
    return usageError("--user, --password and --sync-folder go together");
  }

  AppDelegate::LaunchOptions launch;
  launch.relaunchArguments = {"--headless"};
  if (!o.server.empty()) {
    auto server = parseServer(o.server);
    if (!server) return usageError("--server wants http://host[:port] or https://host[:port]");
    APIHosts::setAll(server->hostPort);
    ServiceHosts::setWebSite(server->hostPort);
    launch.https = server->https;
    if (server->loopback) plat::setReachability(std::make_shared<LoopbackReachability>());
    launch.relaunchArguments.insert(launch.relaunchArguments.end(), {"--server", o.server});
  }
  if (o.account()) {
    std::error_code ec;
    std::filesystem::create_directories(o.folder, ec);
    auto absolute = std::filesystem::absolute(o.folder, ec);
    if (ec) return usageError("--sync-folder: the folder can't be made");
    o.folder = absolute.lexically_normal().string();
    while (o.folder.size() > 1 && o.folder.back() == '/') o.folder.pop_back();
    launch.signInByWindow = true;
  }

  auto toolkit = plat::HeadlessToolkit::make();
  toolkit->setEcho([](const plat::Sighting& s) { say("[" + s.kind + "] " + s.text); });
  plat::Toolkit::setCurrent(toolkit);
  plat::setLauncher(toolkit->launcher());
  QVLog::sharedQVLog().setMirror([](const QVLogLine& line) { say("[log] " + line.text); });

  AppDelegate& app = AppDelegate::shared();
  int status = 0;

  int sfd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  auto loop = plat::MainThread::runLoop();
  auto signals = loop->addFd(sfd, plat::RunLoop::kReadable, [&](uint32_t) {
    signalfd_siginfo info{};
    while (::read(sfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    say("Quorva: stopping");
    app.terminate();
  });

  app.applicationDidFinishLaunching(launch);

  if (o.account()) {
    // What a person does in the login window: signs in, picks the folder,
    // starts.
    toolkit->answerNextFolderChoice(o.folder);
    auto login = app.loginWebWindowController();  // start-up opened it
    if (!login) login = app.getLoginWebWindowController();
    if (!login->onBtnLoginUserNameAndPW(jsonOf({{"username", plat::Value(o.user)}, {"password", plat::Value(o.password)}}))) {
      say("Quorva: sign-in refused");
      status = 1;
      app.terminate();
    } else if (!login->onBtnSelectPathClicked()) {
      status = 1;
      app.terminate();
    } else {
      login->setInitInfo(jsonOf({{"path", plat::Value(2)}, {"syncnode", plat::Value(false)}, {"overwrite", plat::Value(false)}}));
    }
  } else if (!app.bAuto()) {
    say("Quorva: no stored account: sign in with --user, --password and --sync-folder");
    status = 2;
    app.terminate();
  }

  // The folder once signed in, for whoever started us.
  bool told = false;
  auto tell = loop->addTimer(0.05, 0.05, true, [&] {
    if (told || !app.bLogin()) return;
    told = true;
    auto ud = app.userdata();
    say("Quorva: signed in as " + (ud ? ud->userName() : std::string()));
    say("Quorva: sync folder " + app.tempsyncpath() + "个人的文件");
  });

  if (!app.terminating()) toolkit->run();
  loop->remove(tell);
  loop->remove(signals);
  ::close(sfd);
  say("Quorva: stopped");
  return status;
}
