#include "app/windows/WebWindows.h"

#include "app/shell/AppDelegate.h"
#include "app/core/ServiceHosts.h"
#include "app/core/Util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"

namespace {

// The browser windows that keep themselves until they close.
std::set<std::shared_ptr<BrowserWebWindowController>>& openBrowsers() {
  static std::set<std::shared_ptr<BrowserWebWindowController>> s;
  return s;
}

}  // namespace

BridgedWindowController::BridgedWindowController(std::shared_ptr<plat::Window> window)
    : NSWindowController(std::move(window)) {}

void BridgedWindowController::attachBridge() {
  delegate_ = QVWebViewDelegate::initWithDelegateController(this);
  if (auto view = webView()) delegate_->attach(view);
}

// ---- Launch pad ----

std::shared_ptr<LaunchpadWindowController> LaunchpadWindowController::make(const std::string& configPath) {
  auto c = std::make_shared<LaunchpadWindowController>(makeWebWindow({"LaunchpadWindowController", "Quorva", {960, 640}}),
                                                       configPath);
  c->attachBridge();
  c->webView()->setDrawsBackground(false);
  return c;
}

LaunchpadWindowController::LaunchpadWindowController(std::shared_ptr<plat::Window> window, std::string configPath)
    : BridgedWindowController(std::move(window)), configPath_(std::move(configPath)) {}

std::string LaunchpadWindowController::address() const {
  const std::string page = fileURL(plat::format("%@/UI/default/chs/launchpad.html", configPath_));
  return tab_.empty() ? page : plat::format("%@#%@", page, tab_);
}

void LaunchpadWindowController::windowDidLoad() {
  webView()->load(address());
  bReload_ = true;
}

void LaunchpadWindowController::reloadhtml() {
  if (bReload_) webView()->load(address());
}

void LaunchpadWindowController::updatejs() { webView()->callFunction("gUpdateLinkPaths", {}); }

// ---- Browser ----

std::shared_ptr<BrowserWebWindowController> BrowserWebWindowController::make() {
  auto c = std::make_shared<BrowserWebWindowController>(makeWebWindow({"BrowserWebWindowController", "", {800, 500}}));
  c->attachBridge();
  BrowserWebWindowController* raw = c.get();
  c->window()->setWillClose([raw] { raw->windowColsed(); });
  c->window()->setTitle("");
  openBrowsers().insert(c);
  return c;
}

BrowserWebWindowController::BrowserWebWindowController(std::shared_ptr<plat::Window> window)
    : BridgedWindowController(std::move(window)) {}

void BrowserWebWindowController::setStrUrl(const std::string& url) {
  strUrl_ = url;
  if (!url.empty()) webView()->load(url);
}

void BrowserWebWindowController::reloadurl() {
  if (!strUrl_.empty()) webView()->load(strUrl_);
}

void BrowserWebWindowController::setAlertFrame() {
  const plat::Size frame = window_->size();
  alertFrame_ = {frame.width / 2 - 67, frame.height / 2 - 12, 135, 23};
}

void BrowserWebWindowController::showLoading(bool shown) {
  loadingShown_ = shown;
  window_->setNotice(shown ? "正在加载..." : "");
}

void BrowserWebWindowController::showWindow() { window_->show(); }

size_t BrowserWebWindowController::openCount() { return openBrowsers().size(); }

void BrowserWebWindowController::closeAll() {
  auto open = openBrowsers();  // closing changes the set
  for (const auto& c : open) c->close();
  openBrowsers().clear();
}

void BrowserWebWindowController::windowColsed() {
  if (bSoleMain_) return;
  delegate_->set_bWindowsCloes(true);
  // Let go once the window's own handlers have returned.
  auto& open = openBrowsers();
  for (auto it = open.begin(); it != open.end(); ++it) {
    if (it->get() != this) continue;
    std::shared_ptr<BrowserWebWindowController> keep = *it;
    open.erase(it);
    plat::MainThread::perform([keep] {});
    return;
  }
}

// ---- Side bar ----

std::shared_ptr<RightSideWindowController> RightSideWindowController::make(const std::string& configPath) {
  auto c = std::make_shared<RightSideWindowController>(makeWebWindow({"RightSideWindowController", "Quorva", {300, 640}}));
  c->attachBridge();
  auto w = c->window();
  w->setFrameAutosaveName("com.quorva.RightSideWindow");
  w->setFloating(true);
  c->webView()->setDrawsBackground(false);
  c->webView()->load(fileURL(plat::format("%@/UI/default/chs/index.html", configPath)));
  return c;
}

void RightSideWindowController::setShellSelect(const std::string& json) {
  webView()->callFunction("gShellSelect", {plat::Value(json)});
}

// ---- About ----

std::shared_ptr<AboutWindowController> AboutWindowController::make() {
  auto toolkit = plat::Toolkit::current();
  auto c = std::make_shared<AboutWindowController>(toolkit->makeWindow({"AboutWindowController", "关于 Quorva", {360, 160}}));
  c->windowDidLoad();
  return c;
}

void AboutWindowController::windowDidLoad() {
  window_->setLines({plat::format("版本号：%@", AppDelegate::shared().appversion())});
  window_->addButton("访问 Quorva 网站", [this] { onOpenQuorvaWebClicked(); });
}

void AboutWindowController::onOpenQuorvaWebClicked() {
  Util::openWebUrl(Util::mixtureurl("", "http://" + ServiceHosts::webSite(), "", "0"));
}
