#include "qvedit/EditInstance.h"

#include "platform/system/scheme_handler.h"
#include "qvedit/AppDelegate.h"
#include "qvedit/EditURL.h"

namespace EditInstance {

namespace {
constexpr const char* kName = "qvedit";
constexpr const char* kEntry = "qvedit.desktop";
}  // namespace

std::string socketPath() { return plat::SingleInstance::socketPath(kName); }

std::optional<std::string> send(const std::string& message) { return plat::SingleInstance::send(kName, message); }

std::unique_ptr<plat::SingleInstance> listen(AppDelegate& app, plat::Error* error) {
  return plat::SingleInstance::listen(
      kName,
      [&app](const std::string& line) -> std::string {
        if (line == "quit") {
          // The saves stay on disk and go once the file is handed over again;
          // the one who quits is told which.
          std::string unsent;
          for (const auto& name : app.unsentFiles()) {
            if (unsent.size() + name.size() + 2 > kMaxLine / 2) {
              unsent += ", ...";
              break;
            }
            unsent += (unsent.empty() ? "" : ", ") + name;
          }
          app.quitAction();
          return unsent.empty() ? "ok" : "ok unsent " + unsent;
        }
        if (line.rfind("open ", 0) == 0) {
          std::string why;
          return app.handleURLEvent(line.substr(5), &why) ? "ok" : "refused " + why;
        }
        return "refused unknown message";
      },
      error);
}

std::string desktopEntryPath() { return plat::desktopEntryPath(kEntry); }

bool registerDesktopEntry(const std::vector<std::string>& command, std::string* error) {
  return plat::registerSchemeHandler(
      {kEntry, "qvedit", "Edit a Quorva cloud file in your own application", kEditScheme, command}, error);
}

}  // namespace EditInstance
