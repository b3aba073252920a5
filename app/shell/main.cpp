// Quorva, the main application. See kUsage for its command-line forms. On
// a desktop it runs with its GTK windows; the headless form runs the whole
// client without a display: what a person would see (notices, the status
// item, pages, alerts) and the activity log go to standard output.
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Framework/SJSON/SJSONSerializer.h"
#include "app/shell/AppDelegate.h"
#include "app/windows/LoginWebWindowController.h"
#include "app/core/QVLog.h"
#include "app/core/ServiceHosts.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "platform/ipc/single_instance.h"
#include "platform/net/url.h"
#include "platform/system/launcher.h"
#include "platform/system/reachability.h"
#include "platform/system/scheme_handler.h"
#include "platform/ui/gtk/gtk_toolkit.h"
#include "platform/ui/headless/headless_toolkit.h"

namespace {

const char* kUsage =
    "usage: Quorva [--server URL] [qvp://...]\n"
    "       Quorva --headless [--server URL] [--user NAME --password PASS --sync-folder DIR]\n"
    "       Quorva [--server URL] --register\n"
    "       Quorva --help\n"
    "\n"
    "  (no option)          run on the desktop: the login window, or the stored\n"
    "                       account signing in by itself; a qvp:// address is\n"
    "                       handed to the Quorva already running, if one is\n"
    "  --register           make Quorva the desktop's handler of qvp:// addresses\n"
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

constexpr const char* kInstance = "quorva";

// The main loop ends the program from gStopFd; the stop watcher, from
// gCancelFd, cuts a sign-in short at once, also while the main thread is in
// one before the loop runs.
int gStopFd = -1;
int gCancelFd = -1;
std::atomic<int> gSignals{0};

void onStopSignal(int signal) {
  // A second signal ends the program now, whatever the first is waiting for.
  if (gSignals.fetch_add(1) >= 1) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGINT, &fallback, nullptr);
    sigaction(SIGTERM, &fallback, nullptr);
    ::raise(signal);
    return;
  }
  const uint64_t one = 1;
  const int saved = errno;
  ssize_t n = ::write(gStopFd, &one, sizeof one);
  n = ::write(gCancelFd, &one, sizeof one);
  (void)n;
  errno = saved;
}

// Cancels the sign-ins when the first signal comes; ends when `quit`.
std::thread startStopWatcher(AppDelegate& app, const std::atomic<bool>& quit) {
  return plat::startThread("stop.watcher", [&app, &quit] {
    for (;;) {
      uint64_t count = 0;
      const ssize_t n = ::read(gCancelFd, &count, sizeof count);
      if (n < 0 && errno == EINTR) continue;
      if (quit || n != static_cast<ssize_t>(sizeof count)) return;
      app.cancelSignIns();
    }
  });
}

// Where the web views keep cookies and storage between runs.
std::string webDataDirectory() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : plat::homeDirectory() + "/.local/share";
  return base + "/Quorva/WebKit";
}

struct Options {
  bool headless = false, registerScheme = false;
  std::string server, user, password, folder, url;
  bool account() const { return !user.empty() || !password.empty() || !folder.empty(); }
};

// What start-up found stored when it signs nobody in by itself: a name
// that is an address with a password, or a web-login key without one, is
// signed in again; anything else waits for the login window.
std::string whyNoAutomaticSignIn(AppDelegate& app) {
  auto ud = app.userdata();
  std::string name = ud ? ud->userName() : std::string();
  const std::string retry = ": sign in with --user, --password and --sync-folder";
  if (name.empty()) return "Quorva: no stored account" + retry;
  const bool address = Util::emailCheckInput(name);
  // The name comes from a file: shown short and on one line.
  constexpr size_t kShown = 80;
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  if (name.size() > kShown) {
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name = name.substr(0, cut) + "...";
  }
  std::string why = address ? "is an e-mail address without a stored password"
                            : "is not an e-mail address and has a stored password (a web-login key has none)";
  return "Quorva: the stored account \"" + name + "\" " + why + ", so it is not signed in again" + retry;
}

int usageError(const char* why) {
  std::fprintf(stderr, "Quorva: %s\n\n%s", why, kUsage);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  // SIGINT and SIGTERM are caught, whichever thread takes them (a library
  // may start threads of its own, and WebKit unblocks signals on the main
  // thread), and the main loop reads them from an eventfd.
  gStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  gCancelFd = eventfd(0, EFD_CLOEXEC);
  struct sigaction stop {};
  stop.sa_handler = onStopSignal;
  stop.sa_flags = SA_RESTART;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
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
    } else if (a == "--register") {
      o.registerScheme = true;
    } else if (a.rfind("qvp:", 0) == 0 && o.url.empty()) {
      o.url = a;
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
  if (o.account() && !o.headless) return usageError("--user, --password and --sync-folder go with --headless");
  if (o.registerScheme) {
    std::vector<std::string> command{Util::applicationPath()};
    if (!o.server.empty()) command.insert(command.end(), {"--server", o.server});
    std::string error;
    if (!plat::registerSchemeHandler({"quorva.desktop", "Quorva", "Open qvp:// addresses in Quorva", "qvp", command},
                                     &error)) {
      std::fprintf(stderr, "Quorva: can't register: %s\n", error.c_str());
      return 1;
    }
    std::printf("Quorva: %s registered for qvp:// addresses\n", plat::desktopEntryPath("quorva.desktop").c_str());
    return 0;
  }
  // A second launch hands its address to the one running and ends.
  if (!o.headless && !o.url.empty()) {
    if (auto answer = plat::SingleInstance::send(kInstance, "open " + o.url)) {
      return *answer == "ok" ? 0 : 1;
    }
  }
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
    ServiceHosts::setUpdateService(server->hostPort);
    launch.https = server->https;
    if (server->loopback) {
      plat::setReachability(std::make_shared<LoopbackReachability>());
      // Peers on the local network are clients of another service: nothing
      // is asked of them or offered to them.
      launch.local = false;
    }
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

  AppDelegate& app = AppDelegate::shared();
  std::shared_ptr<plat::HeadlessToolkit> headless;
  std::shared_ptr<plat::GtkToolkit> desktop;
  if (o.headless) {
    headless = plat::HeadlessToolkit::make();
    headless->setEcho([](const plat::Sighting& s) { say("[" + s.kind + "] " + s.text); });
    plat::Toolkit::setCurrent(headless);
    plat::setLauncher(headless->launcher());
  } else {
    desktop = plat::GtkToolkit::make(webDataDirectory());
    if (!desktop) return usageError("no display: run with --headless");
    plat::Toolkit::setCurrent(desktop);
    launch.relaunchArguments.erase(launch.relaunchArguments.begin());  // no --headless
  }
  std::shared_ptr<plat::Toolkit> toolkit = plat::Toolkit::current();
  QVLog::sharedQVLog().setMirror([](const QVLogLine& line) { say("[log] " + line.text); });

  int status = 0;

  std::atomic<bool> quitWatcher{false};
  std::thread watcher = startStopWatcher(app, quitWatcher);
  auto loop = plat::MainThread::runLoop();
  auto signals = loop->addFd(gStopFd, plat::RunLoop::kReadable, [&](uint32_t) {
    uint64_t count = 0;
    if (::read(gStopFd, &count, sizeof count) != static_cast<ssize_t>(sizeof count) || app.terminating()) return;
    say("Quorva: stopping");
    app.terminate();
  });

  app.applicationDidFinishLaunching(launch);

  if (o.account()) {
    // What a person does in the login window: signs in, picks the folder,
    // starts.
    headless->answerNextFolderChoice(o.folder);
    auto login = app.loginWebWindowController();  // start-up opened it
    if (!login) login = app.getLoginWebWindowController();
    if (!login->onBtnLoginUserNameAndPW(jsonOf({{"username", plat::Value(o.user)}, {"password", plat::Value(o.password)}}))) {
      // A stop cut it short: the main loop ends the program.
      if (gSignals.load() == 0) {
        say("Quorva: sign-in refused");
        status = 1;
        app.terminate();
      }
    } else if (gSignals.load() > 0) {
      // Stopping: no completion starts.
    } else if (!login->onBtnSelectPathClicked()) {
      status = 1;
      app.terminate();
    } else {
      login->setInitInfo(jsonOf({{"path", plat::Value(2)}, {"syncnode", plat::Value(false)}, {"overwrite", plat::Value(false)}}));
    }
  } else if (o.headless && !app.bAuto()) {
    say(whyNoAutomaticSignIn(app));
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

  // On the desktop: later launches hand their qvp:// addresses over.
  std::unique_ptr<plat::SingleInstance> instance;
  if (desktop && !app.terminating()) {
    instance = plat::SingleInstance::listen(kInstance, [&app](const std::string& line) -> std::string {
      if (line.rfind("open ", 0) != 0) return "refused unknown message";
      app.handleURLEvent(line.substr(5));
      return "ok";
    });
    if (!o.url.empty()) app.handleURLEvent(o.url);
  }

  if (!app.terminating()) toolkit->run();
  instance.reset();
  loop->remove(tell);
  loop->remove(signals);
  quitWatcher = true;
  const uint64_t one = 1;
  if (::write(gCancelFd, &one, sizeof one) < 0) std::perror("Quorva: stop watcher");
  watcher.join();
  ::close(gStopFd);
  say("Quorva: stopped");
  return status;
}
