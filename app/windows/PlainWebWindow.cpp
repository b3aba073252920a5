#include "app/windows/PlainWebWindow.h"

#include "app/shell/AppDelegate.h"
#include "app/windows/QVWebViewDelegate.h"
#include "app/core/ServiceHosts.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "platform/net/url.h"

namespace {

std::string configPath() {
  auto ud = AppDelegate::shared().userdata();
  return ud ? ud->configPath() : std::string();
}

// For the page's calls: the document that sent the call; else the page shown.
QVWebViewDelegate::Trust trustOfView(const std::weak_ptr<plat::WebView>& view) {
  auto v = view.lock();
  return v ? QVWebViewDelegate::trustOf(v->callerURL(), configPath()) : QVWebViewDelegate::Trust::kNone;
}

}  // namespace

// ---- Utils ----

Utils& Utils::sharedInstance() {
  static Utils shared;
  return shared;
}

double Utils::titleBarHeight(const plat::Window& window) const { return window.titleBarHeight(); }

std::string Utils::pathForResource(const std::string& path) const {
  return plat::pathJoin(Util::resourcePath(), path);
}

// ---- The script object ----

void Window::open(const plat::Value& arg) {
  const std::string url = arg["url"].string();
  if (url.empty()) return;
  windowController_ = WindowController::initWithURL(url);
  windowController_->showWindow();
}

void Window::move(const plat::Value& arg) {
  if (auto w = window_.lock()) w->setTopLeft({arg["x"].doubleValue(), arg["y"].doubleValue()});
}

void Window::resize(const plat::Value& arg) {
  if (auto w = window_.lock()) w->setSize({arg["width"].doubleValue(), arg["height"].doubleValue()});
}

// ---- The delegate ----

void WebViewDelegate::attach(const std::shared_ptr<plat::WebView>& view, std::weak_ptr<plat::Window> window) {
  view_ = view;
  if (!window_) window_ = std::make_shared<::Window>(view);
  window_->setOwnerWindow(std::move(window));
  std::weak_ptr<WebViewDelegate> weak = weak_from_this();
  view->setScriptHandler([weak](const std::string& name, const plat::Array& args) {
    auto self = weak.lock();
    return self ? self->call(name, args) : plat::Value();
  });
  view->setScriptDialogHandler([weak](plat::ScriptDialog kind, const std::string& text) {
    auto self = weak.lock();
    return self ? self->scriptDialog(kind, text) : false;
  });
  view->setPopupHandler([weak](std::shared_ptr<plat::WebView> v) {
    auto self = weak.lock();
    return self ? self->createWebView(v) : false;
  });
  view->setLoadFinished([weak](const std::string& url) {
    if (auto self = weak.lock()) self->loadFinished(url);
  });
  view->setLoadFailed([weak](const std::string& url, int) {
    if (auto self = weak.lock()) self->loadFailed(url);
  });
}

plat::Value WebViewDelegate::call(const std::string& name, const plat::Array& args) {
  using Trust = QVWebViewDelegate::Trust;
  const Trust trust = trustOfView(view_);
  if (name == "gSiteDomain" && trust != Trust::kNone) {
    return plat::Value(Util::getDealWithHttpsOrHttpUrl(ServiceHosts::webSite()));
  }
  // Opening, moving and resizing windows: our own pages only.
  if (trust != Trust::kOwn) return plat::Value();
  const plat::Value arg = args.empty() ? plat::Value() : args[0];
  if (name == "window.open") window_->open(arg);
  else if (name == "window.move") window_->move(arg);
  else if (name == "window.resize") window_->resize(arg);
  return plat::Value();
}

bool WebViewDelegate::scriptDialog(plat::ScriptDialog kind, const std::string& text) {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return false;
  const bool alert = kind == plat::ScriptDialog::kAlert;
  plat::AlertSpec a{"", "温馨提示:", alert ? std::vector<std::string>{"OK"} : std::vector<std::string>{"Yes", "No"}};
  a.informative = text;
  a.warning = true;
  const int answer = toolkit->runAlert(a);
  return !alert && answer == plat::kAlertFirstButtonReturn;
}

bool WebViewDelegate::isServiceSite(const std::string& url) {
  auto u = plat::URL::parse(url);
  auto site = plat::URL::parse(Util::getDealWithHttpsOrHttpUrl("http://" + ServiceHosts::webSite()) + "/");
  return u && site && plat::isSameOrigin(*u, *site);
}

namespace {
// The pop-up windows made, to count those still open (not owned here).
std::vector<std::weak_ptr<WindowController>>& openPopups() {
  static std::vector<std::weak_ptr<WindowController>> popups;
  return popups;
}
}  // namespace

bool WebViewDelegate::createWebView(const std::shared_ptr<plat::WebView>& view) {
  // Our pages and the service's site open windows; any other page would
  // open as many as it likes over the user's.
  auto opener = view_.lock();
  if (!opener) return false;
  const std::string from = opener->currentURL();
  if (trustOfView(view_) != QVWebViewDelegate::Trust::kOwn && !isServiceSite(from)) {
    plat::log("pop-up refused: not our page (%@)", from.substr(0, 200));
    return false;
  }
  auto& popups = openPopups();
  std::erase_if(popups, [](const std::weak_ptr<WindowController>& weak) {
    auto c = weak.lock();
    return !c || !c->window() || c->window()->isClosed();
  });
  if (popups.size() >= kMaxPopups) {
    plat::log("pop-up refused: %ld windows open already", static_cast<long>(popups.size()));
    return false;
  }
  // The newest pop-up replaces the last; the last one's window stays open.
  requestedWindow_ = WindowController::initWithRequest(view);
  requestedWindow_->showWindow();
  popups.push_back(requestedWindow_);
  return true;
}

void WebViewDelegate::loadFinished(const std::string& url) {
  auto u = plat::URL::parse(url);
  // Only the service's own site ends the web login: a page elsewhere with
  // the same path would start the key exchange.
  if (u && u->path() == "/account/oauth_login" && isServiceSite(url)) {
    plat::NotificationCenter::defaultCenter().post(kCallWebScriptMethodNotification);
  }
}

void WebViewDelegate::loadFailed(const std::string& url) {
  auto view = view_.lock();
  if (!view) return;
  const std::string page = fileURL(configPath() + "/UI/default/chs/error.html");
  if (url == page) return;  // the error page itself failed: not again
  view->load(page);
}

// ---- The content view ----

void ContentView::awakeFromNib(std::weak_ptr<plat::Window> window) {
  delegate_ = std::make_shared<WebViewDelegate>();
  delegate_->attach(webView_, std::move(window));
  webView_->setDrawsBackground(false);
  webView_->setUserAgent(webUserAgent(AppDelegate::shared().appversion()));
}

void ContentView::windowResized(const plat::Window& window) {
  // The web view fills the content under the title bar by itself.
  const plat::Size s = window.size();
  plat::log("window width = %f, window height = %f", s.width, s.height);
}

// ---- The window controller ----

WindowController::WindowController(std::shared_ptr<plat::Window> window, std::shared_ptr<ContentView> content)
    : NSWindowController(std::move(window)), contentView_(std::move(content)) {}

std::shared_ptr<WindowController> WindowController::initWithURL(const std::string& url,
                                                                std::optional<plat::Point> origin,
                                                                std::optional<plat::Size> size) {
  auto toolkit = plat::Toolkit::current();
  auto window = toolkit->makeWindow({"WindowController", "", size.value_or(plat::Size{800, 600})});
  auto content = std::make_shared<ContentView>(toolkit->makeWebView());
  window->setContent(content->webView());
  content->awakeFromNib(window);
  auto c = std::make_shared<WindowController>(window, content);
  // An absolute address as it is; a relative one names a resource file.
  c->url_ = plat::URL::parse(url) ? url : fileURL(Utils::sharedInstance().pathForResource(url));
  window->setFrameAutosaveName("quorvaWindow");
  if (origin) window->setTopLeft(*origin);
  c->notificationCenter();
  c->windowDidLoad();
  return c;
}

std::shared_ptr<WindowController> WindowController::initWithRequest(std::shared_ptr<plat::WebView> view) {
  auto toolkit = plat::Toolkit::current();
  auto window = toolkit->makeWindow({"WindowController", "", {800, 600}});
  auto content = std::make_shared<ContentView>(std::move(view));
  window->setContent(content->webView());
  content->awakeFromNib(window);
  auto c = std::make_shared<WindowController>(window, content);
  c->notificationCenter();
  return c;
}

void WindowController::notificationCenter() {
  std::weak_ptr<ContentView> content = contentView_;
  plat::Window* w = window_.get();
  window_->setResized([content, w] {
    if (auto c = content.lock()) c->windowResized(*w);
  });
}

void WindowController::windowDidLoad() {
  if (!url_.empty()) contentView_->webView()->load(url_);
}
