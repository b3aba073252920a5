// The application object: it owns the process-wide services of the main
// application, and every other part reaches it through
// Util::getAppDelegate(), from any thread. The flags are read without a
// lock by many threads, so each is atomic and each text is handed out whole.
#pragma once

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

class UserData;
class SettingsDb;

class AppDelegate {
public:
  AppDelegate();
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The one application object of the process.
  static AppDelegate& shared();

  // The signed-in account and the client's paths; made first at launch.
  std::shared_ptr<UserData> userdata() const;
  void setUserdata(std::shared_ptr<UserData> userdata);
  std::shared_ptr<SettingsDb> settingsdb() const;
  void setSettingsdb(std::shared_ptr<SettingsDb> settingsdb);

  // Network up, kept current by the periodic jobs thread.
  bool bLink() const { return bLink_.load(); }
  void setBLink(bool v) { bLink_.store(v); }
  bool bSyncStart() const { return bSyncStart_.load(); }
  void setBSyncStart(bool v) { bSyncStart_.store(v); }
  bool bLogin() const { return bLogin_.load(); }
  void setBLogin(bool v) { bLogin_.store(v); }
  // Automatic login in progress or allowed.
  bool bAuto() const { return bAuto_.load(); }
  void setBAuto(bool v) { bAuto_.store(v); }
  // The service and the web site over https (the setting).
  bool bHttps() const { return bHttps_.load(); }
  void setBHttps(bool v) { bHttps_.store(v); }
  // Files the sync engine removes go to the Trash.
  bool bRecyclebin() const { return bRecyclebin_.load(); }
  void setBRecyclebin(bool v) { bRecyclebin_.store(v); }
  // The shared folders changed; the Finder plug-in learns it once.
  bool bRemove() const { return bRemove_.load(); }
  void setBRemove(bool v) { bRemove_.store(v); }
  // Answers the flag and clears it in one step, so two polls can't both see it.
  bool takeBRemove() { return bRemove_.exchange(false); }

  // Items still to sync, refreshed every second.
  int64_t synccount() const { return synccount_.load(); }
  void setSynccount(int64_t v) { synccount_.store(v); }

  std::string appversion() const;
  void setAppversion(std::string v);
  // The "Date" header of the last update-message reply; empty until then.
  std::optional<std::string> servertime() const;
  void setServertime(std::optional<std::string> v);
  // The new sync parent folder after a move.
  std::string tempsyncpath() const;
  void setTempsyncpath(std::string v);

  // Ends the signed-in state: the flags first, so every engine thread that
  // looks at them stops asking for work. The account fields stay.
  void onLogout();

  // Opens the login window (when it is not open) and hands it the result
  // [mode "login" or "weblogin", code, message]. The window code installs
  // the opener; until then the result is only kept.
  void onOpenMainThreadWebWindowResult(const plat::Array& result);
  using LoginWindowOpener = std::function<void(const plat::Array&)>;
  void setLoginWindowOpener(LoginWindowOpener opener);
  // The last result handed to the login window; empty before the first.
  plat::Array lastLoginWindowResult() const;

private:
  std::atomic<bool> bLink_{false};
  std::atomic<bool> bSyncStart_{false};
  std::atomic<bool> bLogin_{false};
  std::atomic<bool> bAuto_{false};
  std::atomic<bool> bHttps_{true};
  std::atomic<bool> bRecyclebin_{true};
  std::atomic<bool> bRemove_{false};
  std::atomic<int64_t> synccount_{0};

  mutable std::mutex mutex_;  // guards the texts and the owned services
  std::shared_ptr<UserData> userdata_;
  std::shared_ptr<SettingsDb> settingsdb_;
  std::string appversion_;
  std::optional<std::string> servertime_;
  std::string tempsyncpath_;
  LoginWindowOpener loginWindowOpener_;
  plat::Array lastLoginWindowResult_;
};
