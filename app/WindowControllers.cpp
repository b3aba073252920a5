#include "app/WindowControllers.h"

#include "app/AppDelegate.h"
#include "app/LoginWebWindowController.h"
#include "app/Util.h"
#include "app/WebWindows.h"
#include "platform/foundation/format.h"
#include "platform/system/path_escape.h"

NSWindowController::NSWindowController(std::shared_ptr<plat::Window> window) : window_(std::move(window)) {}

NSWindowController::~NSWindowController() = default;

void NSWindowController::showWindow() { window_->show(); }

void NSWindowController::close() { window_->close(); }

std::string webUserAgent(const std::string& appversion) { return plat::format("QV_SYNC;%@;Mac", appversion); }

std::string fileURL(const std::string& path) { return "file://" + plat::percentEscapePath(path); }

std::shared_ptr<plat::Window> makeWebWindow(const plat::WindowSpec& spec) {
  auto toolkit = plat::Toolkit::current();
  auto window = toolkit->makeWindow(spec);
  auto view = toolkit->makeWebView();
  view->setUserAgent(webUserAgent(Util::getAppDelegate().appversion()));
  window->setContent(view);
  return window;
}

std::shared_ptr<plat::Window> PageWindowControllers::pageWindow(const std::string& name, const std::string& title,
                                                                plat::Size size, const std::string& package,
                                                                const std::string& page) const {
  auto window = makeWebWindow({name, title, size});
  window->content()->load(fileURL(plat::format("%@/UI/%@/chs/%@", configPath_, package, page)));
  return window;
}

std::shared_ptr<LoginWebWindowController> PageWindowControllers::makeLoginWebWindowController() {
  return LoginWebWindowController::make(configPath_);
}

// The settings and transfer windows come with their own pages later.
std::shared_ptr<SettingWindowController> PageWindowControllers::makeSettingWindowController() {
  return std::make_shared<SettingWindowController>(
      pageWindow("SettingWindowController", "设置", {600, 460}, "default", "setting.html"));
}

std::shared_ptr<LookTransWindowController> PageWindowControllers::makeLookTransWindowController() {
  return std::make_shared<LookTransWindowController>(
      pageWindow("LookTransWindowController", "传输列表", {720, 480}, "default", "trans.html"));
}

std::shared_ptr<LaunchpadWindowController> PageWindowControllers::makeLaunchpadWindowController() {
  return LaunchpadWindowController::make(configPath_);
}

std::shared_ptr<AboutWindowController> PageWindowControllers::makeAboutWindowController() {
  return AboutWindowController::make();
}

std::shared_ptr<RightSideWindowController> PageWindowControllers::makeRightSideWindowController() {
  return RightSideWindowController::make(configPath_);
}
