// The desktop toolkit: GTK 3 windows and WebKitGTK web views under the
// toolkit-neutral views of platform/ui.
//
// The main loop is GTK's; a source of ours in it polls the main thread's
// plat::RunLoop (its descriptor, and the time of its next timer), so the
// run loop's performs, timers and descriptor sources fire as they do
// headless. Modal windows, alerts and choosers run nested loops of GTK,
// which serve the same source.
//
// A web view's page finds `qvClient`, made by a script put into the top
// frame only: each call is a script message carrying the call's name and
// arguments and a token only the top frame's script knows; the handler
// runs later on the main loop and its answer resolves the page's promise.
// Page functions are called with their arguments passed as values.
//
// Everything is for the main thread, except notices() (any thread).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/toolkit.h"

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _GtkWindow GtkWindow;

namespace plat {

class GtkToolkit : public Toolkit, public std::enable_shared_from_this<GtkToolkit> {
public:
  // Opens the display (false when there is none). `dataDirectory` keeps the
  // web views' cookies and storage between runs (made 0700).
  static bool displayAvailable();
  static std::shared_ptr<GtkToolkit> make(const std::string& dataDirectory);
  ~GtkToolkit() override;

  std::shared_ptr<StatusItem> makeStatusItem() override;
  std::shared_ptr<Window> makeWindow(const WindowSpec& spec) override;
  std::shared_ptr<WebView> makeWebView() override;
  std::shared_ptr<CheckList> makeCheckList() override;
  std::shared_ptr<Form> makeForm() override;
  std::shared_ptr<PanelView> makePanel() override;
  std::shared_ptr<NoticeBridge> notices() override;
  int runAlert(const AlertSpec& alert) override;
  std::optional<std::string> chooseFolder(const FolderChoiceSpec& choice) override;
  Size mainScreenSize() const override;
  // Laid out by Pango in the desktop's font at that size.
  Size measureText(const std::string& text, double width, double fontSize) const override;
  double statusBarThickness() const override;
  double textWidth(const std::string& text, const Font& font) const override;
  int runModal(const std::shared_ptr<Window>& window) override;
  void stopModal(int code) override;
  void setClipboardText(const std::string& text) override;
  void run() override;
  void quit() override;

  // ---- For tests and the program ----
  // Serves the main loop until `done` holds or `seconds` of real time
  // passed; true when it held.
  static bool runUntil(const std::function<bool()>& done, double seconds);
  // The WebKit view behind one of our web views (null for another kind).
  static WebKitWebView* webKitView(const std::shared_ptr<WebView>& view);
  // Writes what the view shows as a PNG file; false when it could not.
  static bool snapshot(const std::shared_ptr<WebView>& view, const std::string& pngPath, double seconds);
  // Writes what a window of ours shows (its content drawn afresh) as a PNG
  // file; false when it could not.
  static bool snapshotWindow(const std::shared_ptr<Window>& window, const std::string& pngPath);
  // The GTK window behind one of ours (null for another kind).
  static GtkWindow* gtkWindow(const std::shared_ptr<Window>& window);
  WebKitWebContext* webContext() const { return context_; }
  // Writes the whole screen as a PNG file (windows, menus, the panel).
  static bool snapshotScreen(const std::string& pngPath);

  // What a WebKit load error is as a WebLoadError.
  static int loadErrorCode(unsigned int domain, int code);

private:
  GtkToolkit() = default;
  struct Modal;
  class Notices;
  WebKitWebContext* context_ = nullptr;
  unsigned int source_ = 0;
  std::vector<std::shared_ptr<Modal>> modals_;
  std::shared_ptr<NoticeBridge> notices_;
  void* mainLoop_ = nullptr;  // GMainLoop of run()
};

}  // namespace plat
