// qvedit: the edit helper. See usage() for its command-line forms.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/clock.h"
#include "platform/foundation/run_loop.h"
#include "platform/ui/menu.h"
#include "platform/ui/sni/sni_item.h"
#include "platform/net/url.h"
#include "platform/system/launcher.h"
#include "qvedit/AppDelegate.h"
#include "qvedit/EditFiles.h"
#include "qvedit/EditInstance.h"
#include "qvedit/HTTPEngine.h"
#include "qvedit/Notices.h"

namespace {

const char* kUsage =
    "usage: qvedit [--server URL] [qvedit://...]\n"
    "       qvedit [--server URL] --register\n"
    "       qvedit --quit\n"
    "       qvedit --help\n"
    "\n"
    "  qvedit qvedit://...  hand the address to the running helper (starting it when\n"
    "                       none runs); it downloads the cloud file, opens it with the\n"
    "                       desktop's default application and uploads every save\n"
    "  qvedit               become the helper and wait for addresses\n"
    "  --register           install the desktop entry for qvedit:// addresses\n"
    "                       (with --server, the entry starts the helper with it)\n"
    "  --server URL         send every service request to URL (http://host:port),\n"
    "                       e.g. a devcloud for development\n"
    "  --quit               end the running helper\n"
    "  --help               show this text\n";

std::string selfPath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("qvedit");
}

bool validServer(const std::string& s) {
  auto url = plat::URL::parse(s);
  if (!url) return false;
  const std::string& scheme = url->scheme();
  return (scheme == "http" || scheme == "https") && !url->host().empty() && (url->path().empty() || url->path() == "/") && !url->query() && !url->hasUserInfo();
}

int runInstance() {
  if (const char* opener = std::getenv("QVEDIT_OPENER"); opener != nullptr && opener[0] != '\0') {
    plat::setLauncher(std::make_shared<plat::XdgLauncher>(opener));
  }
  AppDelegate app(std::make_shared<LibnotifyNotifier>(), EditFiles::cacheRoot());
  plat::Error e;
  auto server = EditInstance::listen(app, &e);
  if (!server) {
    if (e.code() == EADDRINUSE) {
      std::fprintf(stderr, "qvedit: already running\n");
      return 0;
    }
    std::fprintf(stderr, "qvedit: can't listen for hand-overs: %s\n", e.localizedDescription().c_str());
    return 1;
  }
  app.applicationDidFinishLaunching();
  // The status item with its one entry; without a session bus there is
  // none, and `qvedit --quit` ends the helper.
  auto trayItem = plat::SniStatusItem::make({"qvedit", "Quorva"});
  if (trayItem) {
    auto menu = plat::Menu::make();
    menu->addItem(plat::MenuItem::make("Quit", [&app] { app.quitAction(); }));
    trayItem->setMenu(menu);
    trayItem->show({"tray", "", " ", false});
  }
  plat::RunLoop::main()->run();
  trayItem.reset();
  return 0;
}

int handOver(const std::string& url, const std::string& server) {
  if (url.find_first_of("\r\n") != std::string::npos) {
    std::fprintf(stderr, "qvedit: refused: the address holds a line break\n");
    return 2;
  }
  std::string message = "open " + url;
  auto answer = EditInstance::send(message);
  if (!answer) {
    // The instance starts without the address, so the token never stays
    // in a running process's command line.
    std::vector<std::string> args;
    if (!server.empty()) args = {"--server", server};
    plat::Error e;
    if (!plat::spawnDetached(selfPath(), args, &e)) {
      std::fprintf(stderr, "qvedit: can't start the helper: %s\n", e.localizedDescription().c_str());
      return 1;
    }
    for (int i = 0; i < 100 && !answer; ++i) {
      plat::currentClock().sleepFor(0.1);
      answer = EditInstance::send(message);
    }
  }
  if (!answer) {
    std::fprintf(stderr, "qvedit: the helper does not answer\n");
    return 1;
  }
  if (*answer == "ok") return 0;
  std::fprintf(stderr, "qvedit: %s\n", answer->c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  plat::MainThread::setCurrentThreadAsMain();
  std::string server, url;
  bool doRegister = false, doQuit = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--server" && i + 1 < argc) {
      server = argv[++i];
      if (!validServer(server)) {
        std::fprintf(stderr, "qvedit: --server wants http://host[:port] or https://host[:port]\n");
        return 64;
      }
    } else if (a == "--register") {
      doRegister = true;
    } else if (a == "--quit") {
      doQuit = true;
    } else if (!a.empty() && a[0] != '-' && url.empty()) {
      url = a;
    } else {
      std::fputs(kUsage, stderr);
      return 64;
    }
  }
  if (!server.empty()) HTTPEngine::setServer(server);
  if (doQuit) {
    auto answer = EditInstance::send("quit");
    if (!answer) std::fprintf(stderr, "qvedit: not running\n");
    const std::string unsent = "ok unsent ";
    if (answer && answer->rfind(unsent, 0) == 0) {
      std::fprintf(stderr,
                   "qvedit: warning: saves not uploaded yet: %s\n"
                   "qvedit: they are kept and sent when the file is opened for editing again\n",
                   answer->substr(unsent.size()).c_str());
    }
    return answer ? 0 : 1;
  }
  if (doRegister) {
    std::vector<std::string> command = {selfPath()};
    if (!server.empty()) command.insert(command.end(), {"--server", server});
    std::string error;
    if (!EditInstance::registerDesktopEntry(command, &error)) {
      std::fprintf(stderr, "qvedit: %s\n", error.c_str());
      return 1;
    }
    std::printf("qvedit: %s registered for qvedit:// addresses\n", EditInstance::desktopEntryPath().c_str());
    return 0;
  }
  if (!url.empty()) return handOver(url, server);
  return runInstance();
}
