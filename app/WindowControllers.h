// The application's windows as the application object sees them: one
// controller per window, made on first use by the object's getters and
// released when its window closes. What a getter asks of each controller
// is declared here; a controller that has no use for a call ignores it.
//
// The controllers here are toolkit-neutral: each shows its local page of
// the UI packages in a plat::Window with a plat::WebView from the current
// plat::Toolkit. A desktop build gives richer ones through its own
// WindowControllers. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/toolkit.h"

class WindowController {
public:
  explicit WindowController(std::shared_ptr<plat::Window> window);
  virtual ~WindowController();
  WindowController(const WindowController&) = delete;
  WindowController& operator=(const WindowController&) = delete;

  std::shared_ptr<plat::Window> window() const { return window_; }
  // Web view of the window's page; null for a window without one.
  std::shared_ptr<plat::WebView> webView() const { return window_->content(); }
  virtual void showWindow();

protected:
  std::shared_ptr<plat::Window> window_;
};

class SettingWindowController : public WindowController {
public:
  using WindowController::WindowController;
  // Fills the controls from the settings.
  virtual void initWithSetting() {}
};

class LookTransWindowController : public WindowController {
public:
  using WindowController::WindowController;
  // Starts refreshing the transfer list.
  virtual void setTimerReloadTransData() {}
};

class LaunchpadWindowController : public WindowController {
public:
  using WindowController::WindowController;
  virtual void set_tab(const std::string& tab) { tab_ = tab; }
  const std::string& tab() const { return tab_; }
  virtual void reloadhtml() {}
  // Told when the window closes.
  virtual void set_bWindowsCloes(bool) {}
  // Its page lists the linked folders again.
  virtual void updateLinkPaths() {}

private:
  std::string tab_;
};

class AboutWindowController : public WindowController {
public:
  using WindowController::WindowController;
};

class RightSideWindowController : public WindowController {
public:
  using WindowController::WindowController;
};

class LoginWebWindowController;

// Who makes the controllers.
class WindowControllers {
public:
  virtual ~WindowControllers() = default;
  virtual std::shared_ptr<LoginWebWindowController> makeLoginWebWindowController() = 0;
  virtual std::shared_ptr<SettingWindowController> makeSettingWindowController() = 0;
  virtual std::shared_ptr<LookTransWindowController> makeLookTransWindowController() = 0;
  virtual std::shared_ptr<LaunchpadWindowController> makeLaunchpadWindowController() = 0;
  virtual std::shared_ptr<AboutWindowController> makeAboutWindowController() = 0;
  virtual std::shared_ptr<RightSideWindowController> makeRightSideWindowController() = 0;
};

// Each window a plat::Window of the current toolkit, named like its
// controller class, showing its page of the UI packages under the
// configuration folder.
class PageWindowControllers : public WindowControllers {
public:
  explicit PageWindowControllers(std::string configPath) : configPath_(std::move(configPath)) {}
  std::shared_ptr<LoginWebWindowController> makeLoginWebWindowController() override;
  std::shared_ptr<SettingWindowController> makeSettingWindowController() override;
  std::shared_ptr<LookTransWindowController> makeLookTransWindowController() override;
  std::shared_ptr<LaunchpadWindowController> makeLaunchpadWindowController() override;
  std::shared_ptr<AboutWindowController> makeAboutWindowController() override;
  std::shared_ptr<RightSideWindowController> makeRightSideWindowController() override;

  // The window of that name showing "<config>/UI/<package>/chs/<page>".
  std::shared_ptr<plat::Window> pageWindow(const std::string& name, const std::string& title, plat::Size size,
                                           const std::string& package, const std::string& page) const;

private:
  std::string configPath_;
};

// The user agent of our web views: "QV_SYNC;<version>;Mac".
std::string webUserAgent(const std::string& appversion);
