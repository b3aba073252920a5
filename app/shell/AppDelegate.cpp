#include "app/shell/AppDelegate.h"

#include "app/shell/ManageStatusController.h"
#include "app/shell/MyTimer.h"
#include "app/shell/NotificationCenter.h"

AppDelegate::AppDelegate() = default;

// The shell's terminate() has stopped and joined everything it started; an
// object that was never launched holds no thread of its own.
AppDelegate::~AppDelegate() {
  if (loginThread_.joinable()) loginThread_.join();
  if (stopper_.joinable()) stopper_.join();
}

AppDelegate& AppDelegate::shared() {
  static AppDelegate app;
  static const bool installed = (AppServices::install(app), true);
  (void)installed;
  return app;
}

namespace {
// Made before main, so that nothing in the program reaches the services
// before the application object is theirs.
[[maybe_unused]] AppDelegate& gApplication = AppDelegate::shared();
}  // namespace

std::shared_ptr<MyTimer> AppDelegate::mytimer() const {
  std::lock_guard<std::mutex> l(mutex_);
  return mytimer_;
}

std::shared_ptr<ManageStatusController> AppDelegate::manageStatusController() const {
  std::lock_guard<std::mutex> l(mutex_);
  return manageStatusController_;
}

void AppDelegate::notice(const std::string& description) {
  NotificationCenter::shareCenter().setGrowlNotificationDescripation(description, std::nullopt);
}
