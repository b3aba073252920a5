#include "app/WindowControllers.h"

#include "app/AppDelegate.h"
#include "app/LoginWebWindowController.h"
#include "app/Util.h"
#include "platform/foundation/format.h"
#include "platform/system/path_escape.h"

WindowController::WindowController(std::shared_ptr<plat::Window> window) : window_(std::move(window)) {}

WindowController::~WindowController() = default;

void WindowController::showWindow() { window_->show(); }

std::string webUserAgent(const std::string& appversion) { return plat::format("QV_SYNC;%@;Mac", appversion); }

std::shared_ptr<plat::Window> PageWindowControllers::pageWindow(const std::string& name, const std::string& title,
                                                                plat::Size size, const std::string& package,
                                                                const std::string& page) const {
  auto toolkit = plat::Toolkit::current();
  auto window = toolkit->makeWindow({name, title, size});
  auto view = toolkit->makeWebView();
  view->setUserAgent(webUserAgent(Util::getAppDelegate().appversion()));
  window->setContent(view);
  const std::string file = plat::format("%@/UI/%@/chs/%@", configPath_, package, page);
  view->load("file://" + plat::percentEscapePath(file));
  return window;
}

// Sizes and titles are the windows' own; the pages come with the UI packages.
std::shared_ptr<LoginWebWindowController> PageWindowControllers::makeLoginWebWindowController() {
  // The page reports its load to the controller, so the controller is made
  // before the page is loaded.
  auto toolkit = plat::Toolkit::current();
  auto window = toolkit->makeWindow({"LoginWebWindowController", "Quorva", {400, 560}});
  auto view = toolkit->makeWebView();
  window->setContent(view);
  auto c = std::make_shared<LoginWebWindowController>(window);
  c->awakeFromNib(configPath_);
  return c;
}

std::shared_ptr<SettingWindowController> PageWindowControllers::makeSettingWindowController() {
  return std::make_shared<SettingWindowController>(
      pageWindow("SettingWindowController", "设置", {600, 460}, "default", "setting.html"));
}

std::shared_ptr<LookTransWindowController> PageWindowControllers::makeLookTransWindowController() {
  return std::make_shared<LookTransWindowController>(
      pageWindow("LookTransWindowController", "传输列表", {720, 480}, "default", "trans.html"));
}

std::shared_ptr<LaunchpadWindowController> PageWindowControllers::makeLaunchpadWindowController() {
  return std::make_shared<LaunchpadWindowController>(
      pageWindow("LaunchpadWindowController", "Quorva", {960, 640}, "default", "launchpad.html"));
}

std::shared_ptr<AboutWindowController> PageWindowControllers::makeAboutWindowController() {
  return std::make_shared<AboutWindowController>(
      pageWindow("AboutWindowController", "关于", {420, 300}, "default", "about.html"));
}

std::shared_ptr<RightSideWindowController> PageWindowControllers::makeRightSideWindowController() {
  return std::make_shared<RightSideWindowController>(
      pageWindow("RightSideWindowController", "Quorva", {300, 640}, "default", "rightbar.html"));
}
