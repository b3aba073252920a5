#include "app/AppDelegate.h"

#include "app/UserData.h"

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

AppDelegate& AppDelegate::shared() {
  static AppDelegate app;
  return app;
}

std::shared_ptr<UserData> AppDelegate::userdata() const {
  std::lock_guard<std::mutex> l(mutex_);
  return userdata_;
}

void AppDelegate::setUserdata(std::shared_ptr<UserData> userdata) {
  std::lock_guard<std::mutex> l(mutex_);
  userdata_ = std::move(userdata);
}

std::shared_ptr<SettingsDb> AppDelegate::settingsdb() const {
  std::lock_guard<std::mutex> l(mutex_);
  return settingsdb_;
}

void AppDelegate::setSettingsdb(std::shared_ptr<SettingsDb> settingsdb) {
  std::lock_guard<std::mutex> l(mutex_);
  settingsdb_ = std::move(settingsdb);
}

std::string AppDelegate::appversion() const {
  std::lock_guard<std::mutex> l(mutex_);
  return appversion_;
}

void AppDelegate::setAppversion(std::string v) {
  std::lock_guard<std::mutex> l(mutex_);
  appversion_ = std::move(v);
}

std::optional<std::string> AppDelegate::servertime() const {
  std::lock_guard<std::mutex> l(mutex_);
  return servertime_;
}

void AppDelegate::setServertime(std::optional<std::string> v) {
  std::lock_guard<std::mutex> l(mutex_);
  servertime_ = std::move(v);
}

std::string AppDelegate::tempsyncpath() const {
  std::lock_guard<std::mutex> l(mutex_);
  return tempsyncpath_;
}

void AppDelegate::setTempsyncpath(std::string v) {
  std::lock_guard<std::mutex> l(mutex_);
  tempsyncpath_ = std::move(v);
}

void AppDelegate::onLogout() {
  setBLogin(false);
  setBAuto(false);
}

void AppDelegate::onOpenMainThreadWebWindowResult(const plat::Array& result) {
  LoginWindowOpener opener;
  {
    std::lock_guard<std::mutex> l(mutex_);
    lastLoginWindowResult_ = result;
    opener = loginWindowOpener_;
  }
  if (opener) opener(result);
}

void AppDelegate::setLoginWindowOpener(LoginWindowOpener opener) {
  std::lock_guard<std::mutex> l(mutex_);
  loginWindowOpener_ = std::move(opener);
}

plat::Array AppDelegate::lastLoginWindowResult() const {
  std::lock_guard<std::mutex> l(mutex_);
  return lastLoginWindowResult_;
}
