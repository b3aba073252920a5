// Two dialogs that only show work done elsewhere: the progress of a
// sync-folder move (its owner is the settings window) and the download of a
// new version (its owner is the update download). Neither starts, stops or
// checks any work; their owners set their values. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "app/windows/WindowControllers.h"
#include "platform/ui/form.h"

class MoveProgressWindowController : public NSWindowController {
public:
  static std::shared_ptr<MoveProgressWindowController> make();
  MoveProgressWindowController(std::shared_ptr<plat::Window> window, std::shared_ptr<plat::Form> form);
  std::string className() const override { return "MoveProgressWindowController"; }

  // The percent text beside the bar ("0.0" at start, then "42%").
  void setStrProgress(const std::string& text);
  std::string strProgress() const;
  // The bar, 0 to 100.
  void setMoveProgressIndicator(double value);
  double moveProgressIndicator() const;
  // The button: hides the dialog; the move goes on.
  void onBtnCancelAndEnterClicked();
  const std::shared_ptr<plat::Form>& form() const { return form_; }

private:
  std::shared_ptr<plat::Form> form_;
};

class AppUpdateWindowController : public NSWindowController {
public:
  static std::shared_ptr<AppUpdateWindowController> make();
  AppUpdateWindowController(std::shared_ptr<plat::Window> window, std::shared_ptr<plat::Form> form);
  std::string className() const override { return "AppUpdateWindowController"; }

  void setAppVersion(const std::string& v);
  const std::string& appVersion() const { return appVersion_; }
  void setSerVersion(const std::string& v);
  const std::string& serVersion() const { return serVersion_; }
  // "42%" for 42 percent.
  void setDownloadProgress(const std::string& v);
  const std::string& downloadProgress() const { return downloadProgress_; }
  void setAppProgress(double value);
  double appProgress() const;
  const std::shared_ptr<plat::Form>& form() const { return form_; }

private:
  std::shared_ptr<plat::Form> form_;
  std::string appVersion_, serVersion_, downloadProgress_;
};
