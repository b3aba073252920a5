// The plain web window stack: one page in a plain window. The login window
// shows the web login in one; a page's pop-up gets one; a page inside one
// may open, move and resize windows of this stack through `qvClient.window`.
// Its delegate offers pages only gSiteDomain and that window object (own
// pages only), shows one error page for every failed load, and tells the
// login window when the web login reached its end. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/windows/WindowControllers.h"
#include "platform/foundation/value.h"
#include "platform/ui/web_view.h"

class WindowController;

// Window measurements, one shared instance.
class Utils {
public:
  static Utils& sharedInstance();
  // The frame's height less the content's.
  double titleBarHeight(const plat::Window& window) const;
  // The program's resource at a "/"-separated path.
  std::string pathForResource(const std::string& path) const;

private:
  Utils() = default;
};

// The script object `qvClient.window`: open, move and resize.
class Window {
public:
  explicit Window(std::weak_ptr<plat::WebView> view) : webView_(std::move(view)) {}
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  // {"url"}: a new window of this stack, shown and made key.
  void open(const plat::Value& arg);
  // {"x", "y"}: the window's origin.
  void move(const plat::Value& arg);
  // {"width", "height"}: the window's size.
  void resize(const plat::Value& arg);
  std::shared_ptr<WindowController> windowController() const { return windowController_; }
  void setOwnerWindow(std::weak_ptr<plat::Window> w) { window_ = std::move(w); }

private:
  std::weak_ptr<plat::WebView> webView_;
  std::weak_ptr<plat::Window> window_;
  std::shared_ptr<WindowController> windowController_;
};

class WebViewDelegate : public std::enable_shared_from_this<WebViewDelegate> {
public:
  static constexpr const char* kCallWebScriptMethodNotification = "CallWebScriptMethodNotification";
  // Pop-up windows open at once, of all pages together.
  static constexpr size_t kMaxPopups = 8;
  // A page of the service's own web site: its scheme, host and port.
  static bool isServiceSite(const std::string& url);

  void attach(const std::shared_ptr<plat::WebView>& view, std::weak_ptr<plat::Window> window);
  plat::Value call(const std::string& name, const plat::Array& args);
  bool scriptDialog(plat::ScriptDialog kind, const std::string& text);
  bool createWebView(const std::shared_ptr<plat::WebView>& view);
  void loadFinished(const std::string& url);
  void loadFailed(const std::string& url);

  const std::shared_ptr<Window>& window() const { return window_; }
  std::shared_ptr<WindowController> requestedWindow() const { return requestedWindow_; }

private:
  std::weak_ptr<plat::WebView> view_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<WindowController> requestedWindow_;
};

// The window's content: the web view and its delegate.
class ContentView {
public:
  explicit ContentView(std::shared_ptr<plat::WebView> view) : webView_(std::move(view)) {}
  void awakeFromNib(std::weak_ptr<plat::Window> window);
  void windowResized(const plat::Window& window);
  const std::shared_ptr<plat::WebView>& webView() const { return webView_; }
  const std::shared_ptr<WebViewDelegate>& delegate() const { return delegate_; }

private:
  std::shared_ptr<plat::WebView> webView_;
  std::shared_ptr<WebViewDelegate> delegate_;
};

class WindowController : public NSWindowController {
public:
  // From the nib "Window": a window with a content view of its own.
  static std::shared_ptr<WindowController> initWithURL(const std::string& url, std::optional<plat::Point> origin,
                                                       std::optional<plat::Size> size);
  static std::shared_ptr<WindowController> initWithURL(const std::string& url) {
    return initWithURL(url, std::nullopt, std::nullopt);
  }
  // A pop-up: the view the page asked for, already loading its request.
  static std::shared_ptr<WindowController> initWithRequest(std::shared_ptr<plat::WebView> view);

  WindowController(std::shared_ptr<plat::Window> window, std::shared_ptr<ContentView> content);
  std::string className() const override { return "WindowController"; }
  const std::shared_ptr<ContentView>& contentView() const { return contentView_; }
  const std::string& url() const { return url_; }
  void windowDidLoad();

private:
  void notificationCenter();
  std::shared_ptr<ContentView> contentView_;
  std::string url_;
};
