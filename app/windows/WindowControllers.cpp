#include "app/windows/WindowControllers.h"

#include "app/shell/AppDelegate.h"
#include "app/windows/LoginWebWindowController.h"
#include "app/core/Util.h"
#include "app/windows/WebWindows.h"
#include "app/windows/LookTransWindowController.h"
#include "app/windows/SettingWindowController.h"
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
  view->setUserAgent(webUserAgent(AppDelegate::shared().appversion()));
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

std::shared_ptr<SettingWindowController> PageWindowControllers::makeSettingWindowController() {
  return SettingWindowController::make();
}

std::shared_ptr<LookTransWindowController> PageWindowControllers::makeLookTransWindowController() {
  return LookTransWindowController::make();
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
