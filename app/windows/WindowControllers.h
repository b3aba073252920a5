// The application's windows as the application object sees them: one
// controller per window, made on first use by the object's getters and
// released when its window closes. Every controller shows its content in a
// plat::Window of the current plat::Toolkit (GTK on a desktop, headless in
// tests and on servers). Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/ui/toolkit.h"

// What every window controller is: a window, its content, and its class
// name, which the page bridge asks to decide what a call does.
class NSWindowController {
public:
  explicit NSWindowController(std::shared_ptr<plat::Window> window);
  virtual ~NSWindowController();
  NSWindowController(const NSWindowController&) = delete;
  NSWindowController& operator=(const NSWindowController&) = delete;

  virtual std::string className() const = 0;
  std::shared_ptr<plat::Window> window() const { return window_; }
  // Web view of the window's page; null for a window without one.
  std::shared_ptr<plat::WebView> webView() const { return window_->content(); }
  virtual void showWindow();
  // Closes the window (its will-close handlers run).
  void close();
  // Its window is about to close; the application object lets go of the
  // controller right after.
  virtual void windowWillClose() {}

protected:
  std::shared_ptr<plat::Window> window_;
};

class SettingWindowController;
class LookTransWindowController;
class LoginWebWindowController;
class LaunchpadWindowController;
class AboutWindowController;
class RightSideWindowController;

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
// The address of a local file for a web view: "file://" and the path
// percent-escaped as UTF-8.
std::string fileURL(const std::string& path);
// A window of the current toolkit with a web view of ours in it (our user
// agent set).
std::shared_ptr<plat::Window> makeWebWindow(const plat::WindowSpec& spec);
