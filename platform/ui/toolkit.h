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

#include "platform/ui/check_list.h"
#include "platform/ui/form.h"
#include "platform/ui/notice_bridge.h"
#include "platform/ui/panel.h"
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
  std::string informative = {};         // a second, smaller text under `text`
  std::shared_ptr<Window> parent = {};  // shown over this window (a sheet); may be null
  bool warning = false;
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
  virtual std::shared_ptr<CheckList> makeCheckList() = 0;
  virtual std::shared_ptr<Form> makeForm() = 0;
  // The status item's popup panel, hidden until shown.
  virtual std::shared_ptr<PanelView> makePanel() = 0;
  // The desktop's notices; null where the desktop has none.
  virtual std::shared_ptr<NoticeBridge> notices() = 0;

  // Modal: returns once the person has answered.
  virtual int runAlert(const AlertSpec& alert) = 0;
  // Modal: the folder chosen, or nothing when the person cancelled.
  virtual std::optional<std::string> chooseFolder(const FolderChoiceSpec& choice) = 0;

  virtual Size mainScreenSize() const = 0;
  // The size `text` takes laid out in lines of at most `width` points in
  // the system font of `fontSize`: `width`, and the height of its lines.
  virtual Size measureText(const std::string& text, double width, double fontSize) const = 0;
  // The height of the desktop's status area (its icons' size).
  virtual double statusBarThickness() const = 0;
  // The width of one line of text in the font.
  struct Font {
    std::string family;
    double points = 13;
    bool bold = false, italic = false;
  };
  virtual double textWidth(const std::string& text, const Font& font) const = 0;

  // Runs the window modally: returns the code given to stopModal(), or 0
  // when the window closed first. The main loop serves the other work
  // meanwhile.
  virtual int runModal(const std::shared_ptr<Window>& window) = 0;
  // Ends the innermost runModal with `code`.
  virtual void stopModal(int code) = 0;

  virtual void setClipboardText(const std::string& text) = 0;

  // Runs the main loop until quit(); quit() may be called from the main
  // thread only (other threads perform it there).
  virtual void run() = 0;
  virtual void quit() = 0;

  // The process's toolkit; null until one is set.
  static std::shared_ptr<Toolkit> current();
  static void setCurrent(std::shared_ptr<Toolkit> toolkit);
};

}  // namespace plat
