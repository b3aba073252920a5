// One edit helper per user (plat::SingleInstance "qvedit"): a later
// `qvedit <url>` hands its URL over to the running instance and exits, so
// the refresh token in the URL lives in no long-running process's command
// line. One line a message: "open <url>" or "quit"; the instance answers
// "ok" or "refused <why>", and a quit with saves not uploaded yet
// "ok unsent <names>".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ipc/single_instance.h"

class AppDelegate;

namespace EditInstance {

inline constexpr size_t kMaxLine = plat::SingleInstance::kMaxLine;

// "<runtime folder>/qvedit.sock"; empty when the user has no private runtime folder.
std::string socketPath();

// Sends one message to the running instance and returns its answer;
// nothing when no instance answers.
std::optional<std::string> send(const std::string& message);

// The instance's end: accepts hand-overs on the main run loop. Null when
// another instance holds the socket (or it can't be made).
std::unique_ptr<plat::SingleInstance> listen(AppDelegate& app, plat::Error* error = nullptr);

// Writes "<data home>/applications/qvedit.desktop" for x-scheme-handler/qvedit
// and makes it the scheme's handler with xdg-mime. `command` is the program
// and the options the entry starts it with.
bool registerDesktopEntry(const std::vector<std::string>& command, std::string* error);
// The desktop entry's path.
std::string desktopEntryPath();

}  // namespace EditInstance
