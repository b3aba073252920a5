// The services and flags of the application object that every part below
// the shell reaches through Util::getAppDelegate(), from any thread: the
// account, the databases, the engines, the task queue, the flags and
// counters, the texts, the logout after a refused token and the few calls
// that go up to the shell (notices, the login window's result, the launch
// pad's refresh). The shell's AppDelegate is this object in a running program;
// a program made of the engines alone (tests, runners, benchmarks) gets a
// plain one, whose calls upward do nothing.
//
// Threads: each flag and counter is atomic and written whole; no order
// between two of them is relied on. The services and texts are handed out
// whole under one lock (`mutex_`), never held while calling out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

class UserData;
class SettingsDb;
class LastSyncdb;
class SyncManager;
class TransManager;
class HttpThread;  // the LAN peer service
namespace plat {
class OperationQueue;
}  // namespace plat

class AppServices {
public:
  AppServices();
  virtual ~AppServices();
  AppServices(const AppServices&) = delete;
  AppServices& operator=(const AppServices&) = delete;

  // The one application object of the process: the shell's when it made
  // one (install), else a plain one made on first use.
  static AppServices& shared();
  // Makes `app` the one object. Refused (plat::Exception) once another one
  // has been handed out.
  static void install(AppServices& app);

  // ---- Services ----
  // The signed-in account and the client's paths; made first at launch.
  std::shared_ptr<UserData> userdata() const;
  void setUserdata(std::shared_ptr<UserData> userdata);
  std::shared_ptr<SettingsDb> settingsdb() const;
  void setSettingsdb(std::shared_ptr<SettingsDb> settingsdb);
  // The mount database of the user, opened at each login attempt.
  std::shared_ptr<LastSyncdb> lastsyncdb() const;
  void setLastsyncdb(std::shared_ptr<LastSyncdb> db);
  std::shared_ptr<SyncManager> sync() const;
  void setSync(std::shared_ptr<SyncManager> sync);
  std::shared_ptr<TransManager> trans() const;
  void setTrans(std::shared_ptr<TransManager> trans);
  // The LAN peer service of the current login; none before the first.
  std::shared_ptr<HttpThread> httpthread() const;
  // Where long tasks of the engines run (made at start-up).
  std::shared_ptr<plat::OperationQueue> taskqueue() const;

  // ---- Flags ----
  // Start-up has finished.
  bool bInit() const { return bInit_.load(); }
  // The update question may be shown.
  bool bDisplayAlert() const { return bDisplayAlert_.load(); }
  void setBDisplayAlert(bool v) { bDisplayAlert_.store(v); }
  // Network up, kept current by the periodic jobs thread.
  bool bLink() const { return bLink_.load(); }
  void setBLink(bool v) { bLink_.store(v); }
  // Sync runs, not paused by the user.
  bool bSyncStart() const { return bSyncStart_.load(); }
  void setBSyncStart(bool v) { bSyncStart_.store(v); }
  bool bLogin() const { return bLogin_.load(); }
  void setBLogin(bool v) { bLogin_.store(v); }
  // The current login is automatic (stored credentials).
  bool bAuto() const { return bAuto_.load(); }
  void setBAuto(bool v) { bAuto_.store(v); }
  // A login thread runs.
  bool bLogining() const { return bLogining_.load(); }
  // The service and the web site over https (the setting).
  bool bHttps() const { return bHttps_.load(); }
  void setBHttps(bool v) { bHttps_.store(v); }
  // Transfers with peers on the local network are allowed.
  bool bLocal() const { return bLocal_.load(); }
  void setBLocal(bool v) { bLocal_.store(v); }
  // Files the sync engine removes go to the Trash.
  bool bRecyclebin() const { return bRecyclebin_.load(); }
  void setBRecyclebin(bool v) { bRecyclebin_.store(v); }
  // Show the notice for a locked file (the setting "rightbar").
  bool bLockMsg() const { return bLockMsg_.load(); }
  void setBLockMsg(bool v) { bLockMsg_.store(v); }
  // The side bar follows the file manager's selection.
  bool bRightBar() const { return bRightBar_.load(); }
  void setBRightBar(bool v) { bRightBar_.store(v); }
  bool bShowRightBar() const { return bShowRightBar_.load(); }
  void setBShowRightBar(bool v) { bShowRightBar_.store(v); }
  // Dark status icons.
  bool bBlacktray() const { return bBlacktray_.load(); }
  void setBBlacktray(bool v) { bBlacktray_.store(v); }
  // The shared folders changed; the file-manager plug-in learns it once.
  bool bRemove() const { return bRemove_.load(); }
  void setBRemove(bool v) { bRemove_.store(v); }
  // Answers the flag and clears it in one step, so two polls can't both see it.
  bool takeBRemove() { return bRemove_.exchange(false); }
  // The update download runs or its window is open.
  bool bAppUpdate() const { return bAppUpdate_.load(); }
  void setBAppUpdate(bool v) { bAppUpdate_.store(v); }
  // The user has not declined the offered update.
  bool bAcceptedUpdate() const { return bAcceptedUpdate_.load(); }
  void setBAcceptedUpdate(bool v) { bAcceptedUpdate_.store(v); }

  // ---- Counters ----
  // Items still to sync, refreshed every second.
  int64_t synccount() const { return synccount_.load(); }
  void setSynccount(int64_t v) { synccount_.store(v); }
  // Unread service messages; the status item shows the number.
  int64_t updateCount() const { return updateCount_.load(); }
  void setUpdateCount(int64_t v);
  // Told (on the setting thread) after every change of updateCount.
  void setUpdateCountObserver(std::function<void()> observer);

  // ---- Texts ----
  std::string appversion() const;
  void setAppversion(std::string v);
  // The "Date" header of the last update-message reply; empty until then.
  std::optional<std::string> servertime() const;
  void setServertime(std::optional<std::string> v);
  // The local sync root of the signed-in account.
  std::string tempsyncpath() const;
  void setTempsyncpath(std::string v);
  // The cached message list as JSON text, for the web pages.
  std::string jsonMsg() const;
  void setJsonMsg(std::string v);
  std::string oldSelectWebpath() const;
  void setOldSelectWebpath(std::string v);
  // Run by the pause and resume of sync, after bSyncStart changed.
  std::function<void()> callBackChangeSyncClicked() const;
  void setCallBackChangeSyncClicked(std::function<void()> f);

  // ---- Calls that reach the shell ----
  // Ends the signed-in state after a token that can't be renewed: the
  // flags first, so every engine thread that looks at them stops asking
  // for work; then the stop installed by start-up (the mount database, the
  // LAN service, the sync engine and the transfer engine, in this order).
  // It never waits for an engine thread. The account fields stay.
  void onLogout();
  using EngineStop = std::function<void()>;
  void setEngineStop(EngineStop stop);
  // The result [mode, code, message] handed to the login window.
  void onOpenMainThreadWebWindowResult(const plat::Array& result);
  using LoginWindowOpener = std::function<void(const plat::Array&)>;
  void setLoginWindowOpener(LoginWindowOpener opener);
  // The last result handed to the login window; empty before the first.
  plat::Array lastLoginWindowResult() const;
  // When the launch pad is open, its page refreshes the linked folders.
  virtual void UpdateLaunchpadJS() {}
  // The history submenus are made again from the account's history list.
  // Any thread; the shell does the menu work on the main thread.
  virtual void resetBrowserFileHistoryMenu() {}
  // The sync folder's own icon on `path` in the file manager (the shell's
  // gives it). Any thread.
  virtual void setSyncDirectoryIcon(const std::string&) {}
  // A desktop notice of the engines. The shell's goes out under the
  // application's name and icon; without the shell, the text alone.
  virtual void notice(const std::string& description);

protected:
  std::atomic<bool> bInit_{false};
  std::atomic<bool> bDisplayAlert_{true};
  std::atomic<bool> bLink_{false};
  std::atomic<bool> bSyncStart_{false};
  std::atomic<bool> bLogin_{false};
  std::atomic<bool> bAuto_{false};
  std::atomic<bool> bLogining_{false};
  std::atomic<bool> bHttps_{true};
  std::atomic<bool> bLocal_{true};
  std::atomic<bool> bRecyclebin_{true};
  std::atomic<bool> bLockMsg_{false};
  std::atomic<bool> bRightBar_{false};
  std::atomic<bool> bShowRightBar_{false};
  std::atomic<bool> bBlacktray_{false};
  std::atomic<bool> bRemove_{false};
  std::atomic<bool> bAppUpdate_{false};
  std::atomic<bool> bAcceptedUpdate_{true};
  std::atomic<int64_t> synccount_{0};
  std::atomic<int64_t> updateCount_{0};

  mutable std::mutex mutex_;  // guards the texts, the services and the hooks below
  std::shared_ptr<UserData> userdata_;
  std::shared_ptr<SettingsDb> settingsdb_;
  std::shared_ptr<LastSyncdb> lastsyncdb_;
  std::shared_ptr<SyncManager> sync_;
  std::shared_ptr<TransManager> trans_;
  std::shared_ptr<HttpThread> httpthread_;
  std::shared_ptr<plat::OperationQueue> taskqueue_;
  std::string appversion_;
  std::optional<std::string> servertime_;
  std::string tempsyncpath_;
  std::string jsonMsg_;
  std::string oldSelectWebpath_;
  std::function<void()> callBackChangeSyncClicked_;
  std::function<void()> updateCountObserver_;
  LoginWindowOpener loginWindowOpener_;
  plat::Array lastLoginWindowResult_;
  EngineStop engineStop_;
};
