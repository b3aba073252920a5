// The desktop toolkit behind the application's views: it makes the status
// item, windows and web views, runs modal alerts and the folder chooser,
// hands notices to the desktop and runs the main loop, which also serves
// the main thread's plat::RunLoop (performs, timers, sources).
//
// One toolkit serves the process (Toolkit::current()): the headless one
// (platform/ui/headless) for tests and servers, a desktop one on a desktop.
// Everything but notices() and current() is for the main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/notice_bridge.h"
#include "platform/ui/status_item.h"
#include "platform/ui/web_view.h"
#include "platform/ui/window.h"

namespace plat {

// The answer of an alert is kAlertFirstButtonReturn plus the index of the
// button chosen; the first button is the default one.
inline constexpr int kAlertFirstButtonReturn = 1000;

struct AlertSpec {
  std::string title;  // the window's title
  std::string text;
  std::vector<std::string> buttons;
};

struct FolderChoiceSpec {
  std::string startFolder;
  std::string prompt;                      // the text of the OK button
  std::shared_ptr<Window> parent;          // shown over this window; may be null
};

class Toolkit {
public:
  virtual ~Toolkit() = default;

  virtual std::shared_ptr<StatusItem> makeStatusItem() = 0;
  virtual std::shared_ptr<Window> makeWindow(const WindowSpec& spec) = 0;
  virtual std::shared_ptr<WebView> makeWebView() = 0;
  // The desktop's notices; null where the desktop has none.
  virtual std::shared_ptr<NoticeBridge> notices() = 0;

  // Modal: returns once the person has answered.
  virtual int runAlert(const AlertSpec& alert) = 0;
  // Modal: the folder chosen, or nothing when the person cancelled.
  virtual std::optional<std::string> chooseFolder(const FolderChoiceSpec& choice) = 0;

  virtual Size mainScreenSize() const = 0;

  // Runs the main loop until quit(); quit() may be called from the main
  // thread only (other threads perform it there).
  virtual void run() = 0;
  virtual void quit() = 0;

  // The process's toolkit; null until one is set.
  static std::shared_ptr<Toolkit> current();
  static void setCurrent(std::shared_ptr<Toolkit> toolkit);
};

}  // namespace plat
