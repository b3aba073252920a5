// The application object: it owns the process-wide services of the main
// application, and every other part reaches it through
// Util::getAppDelegate(), from any thread.
//
// Threads: start-up, the window getters, the logouts and termination run on
// the main thread; login threads and the periodic jobs thread (MyTimer) read
// and write the flags and counters, each of which is atomic and written
// whole; no order between two of them is relied on. The services and texts
// are handed out whole under one lock (`mutex_`), never held while calling
// out.
//
// The engines live in libraries above this one. What needs them (start-up,
// login, completion, the logouts, messages, termination) is defined with the
// shell (AppDelegateLaunch.cpp, AppDelegateLogin.cpp, AppDelegateMsg.cpp);
// the part of onLogout that stops them, which the service layer reaches
// through a refused token renewal, is installed by start-up.
//
// Life of a sign-in:
//   signed out   bLogin NO; sync, trans, httpthread none (or the stopped
//                engines of the last sign-in, until the next completion)
//   logging in   bLogining YES on one login thread at a time
//   signed in    bLogin YES; completion made and started the engines
//   logged out   onLogout: flags cleared, engines told to stop, their
//                threads joined by a helper thread (never the main thread,
//                which an engine thread may be waiting for)
//   terminated   terminate(): every thread stopped and joined, databases
//                closed, the main loop ends
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/value.h"

class UserData;
class SettingsDb;
class LastSyncdb;
class SyncManager;
class TransManager;
class HttpThread;  // the LAN peer service: not built yet, its slot stays empty
class MyTimer;
class ManageStatusController;
class WindowController;
class LoginWebWindowController;
class SettingWindowController;
class LookTransWindowController;
class LaunchpadWindowController;
class AboutWindowController;
class RightSideWindowController;
class WindowControllers;
class RetUserInfo;
struct UnSyncNodeItem;
namespace plat {
class Clock;
class OperationQueue;
class SerialQueue;
}  // namespace plat

class AppDelegate {
public:
  AppDelegate();
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The one application object of the process.
  static AppDelegate& shared();

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
  // Always empty until the LAN peer service exists.
  std::shared_ptr<HttpThread> httpthread() const;
  std::shared_ptr<plat::OperationQueue> taskqueue() const;
  std::shared_ptr<MyTimer> mytimer() const;
  std::shared_ptr<ManageStatusController> manageStatusController() const;

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

  // ---- Start-up, windows and quitting (main thread; AppDelegateLaunch.cpp) ----
  // What the command line adds to start-up.
  struct LaunchOptions {
    // Someone signs in through the login window now (the headless form's
    // account options): no automatic login from the stored account.
    bool signInByWindow = false;
    // The arguments a relaunch passes to this program.
    std::vector<std::string> relaunchArguments;
    // Overrides the https setting for this run (a --server address).
    std::optional<bool> https;
    // The clock of the periodic jobs; the process's clock when none.
    std::shared_ptr<plat::Clock> timerClock;
  };
  void applicationDidFinishLaunching() { applicationDidFinishLaunching(LaunchOptions()); }
  void applicationDidFinishLaunching(const LaunchOptions& options);
  // A click on the application while it runs.
  bool applicationShouldHandleReopen();
  // Made on first use, kept until their window closes.
  std::shared_ptr<LoginWebWindowController> getLoginWebWindowController();
  std::shared_ptr<SettingWindowController> getSettingWindowController();
  std::shared_ptr<LookTransWindowController> getLookTransWindowController();
  std::shared_ptr<LaunchpadWindowController> onMenuOpenQuorvaClicked();
  std::shared_ptr<AboutWindowController> onOpenAboutWindow();
  std::shared_ptr<RightSideWindowController> getRightSideWindowController();
  // The windows that are open now (null when not).
  std::shared_ptr<LoginWebWindowController> loginWebWindowController() const;
  std::shared_ptr<LaunchpadWindowController> launchpadWindowController() const;
  // A window of ours is about to close: its controller is released.
  void windowClosed(const WindowController* controller);
  // Who makes the window controllers; the toolkit-neutral ones by default.
  void setWindowControllers(std::shared_ptr<WindowControllers> factory);
  // When the launch pad is open, its page refreshes the linked folders.
  void UpdateLaunchpadJS();
  // The launch pad on one of its tabs ("notices" for a clicked message).
  void OpenLaunchpadWindow(const std::string& tab);
  // Asks, then quits.
  void onMenuQuitAppClicked();
  // Ends the application: the periodic jobs, any login and the engines
  // stopped and their threads joined, the databases closed, then the main
  // loop ends. Main thread; the main loop keeps serving the threads being
  // stopped meanwhile.
  void terminate();
  bool terminating() const { return bTerminating_.load(); }
  // The first half of terminate(): everything stopped and joined, the
  // databases closed, the main loop still running. Once per launch.
  void shutdown();

  // ---- Login (AppDelegateLogin.cpp) ----
  // Starts onLogin or onOtherLogin on a thread of its own; none while a
  // login runs or the application is ending.
  void startLogin(bool withKey);
  // Thread bodies: the password login and the web-login-key login.
  bool onLogin();
  bool onOtherLogin();
  // The token and the account information for the stored name: the steps a
  // login thread and the login window share. Fills `token` and `info`.
  enum class SignIn { kDone, kTokenRefused, kNoUserInfo };
  SignIn signIn(bool withKey, RetUserInfo* info, int64_t* tokenError, std::string* tokenErrorText);
  void copyUserInfo(const RetUserInfo& info);
  // Opens the user's mount database; YES when it holds a sync path.
  bool onCheckLastPage();
  void renameoldsyncdb();
  std::string readmsg();
  // The result [mode, code, message] handed to the login window.
  void onOpenMainThreadWebWindowResult(const plat::Array& result);
  using LoginWindowOpener = std::function<void(const plat::Array&)>;
  void setLoginWindowOpener(LoginWindowOpener opener);
  // The last result handed to the login window; empty before the first.
  plat::Array lastLoginWindowResult() const;

  // Completion of a sign-in: on the caller's thread (a login thread, or the
  // main thread for the login window).
  void onLoginFinished(bool overwrite, bool reset, bool unsync, int64_t changeold,
                       const std::optional<std::vector<UnSyncNodeItem>>& unsynclist);
  bool ChangeOld();
  // The first path that does not exist: parent + name, then name(1), (2)...
  static std::string getmountname(const std::string& parent, const std::string& name);
  // Copies (moving where it can) a file or a folder tree.
  static bool copyfile(const std::string& from, const std::string& to);
  void onStartHttpServer();

  // How completion makes the engines; tests wrap them to watch the order.
  struct EngineMakers {
    std::function<std::shared_ptr<HttpThread>()> httpThread;
    std::function<std::shared_ptr<SyncManager>(const std::string& path, bool bReset, bool resetorg)> syncManager;
    std::function<std::shared_ptr<TransManager>(const std::shared_ptr<SyncManager>& sync)> transManager;
  };
  static EngineMakers defaultEngineMakers();
  void setEngineMakers(EngineMakers makers);

  // Ends the signed-in state after a token that can't be renewed: the
  // flags first, so every engine thread that looks at them stops asking
  // for work; then the mount database, the LAN service, the sync engine and
  // the transfer engine, in this order. It never waits for an engine
  // thread. The account fields stay.
  void onLogout();
  using EngineStop = std::function<void()>;
  void setEngineStop(EngineStop stop);
  // The logout the user chooses: asks whether to keep the user's files,
  // clears the stored account, relaunches and quits.
  void onBtnLogoutClicked();
  // Waits until the engines a logout stopped have ended (main thread: the
  // main loop runs meanwhile). True when none is left running.
  bool waitForStoppedEngines(double seconds);

  // ---- Messages and account (AppDelegateMsg.cpp; periodic jobs thread) ----
  void handleTimerForMsg();
  void getPopUpdateMsg(int64_t dateline);
  void savemsg();
  void handleTimerUserInfo();
  void handleTimerForUpdate();
  // The age text of a message dated `dateline` (seconds since 1970) at `now`.
  static std::string messageAge(int64_t now, int64_t dateline);

private:
  bool loginBody(bool withKey);
  void showLoginResult(const char* type, int code, const std::string& message);
  EngineMakers engineMakers() const;
  void stopEnginesAfterLogout();
  // Hands stopped engines to a helper thread that ends their threads.
  void retireEngines(std::shared_ptr<SyncManager> sync, std::shared_ptr<TransManager> trans);
  // The controller in the slot, made (and told to report its window's
  // closing) when there is none.
  template <class C>
  std::shared_ptr<C> windowSlot(std::shared_ptr<C>& slot, std::shared_ptr<C> (WindowControllers::*make)());
  void placeWindow(WindowController& c);
  std::shared_ptr<WindowControllers> windowControllers();

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
  std::atomic<bool> bTerminating_{false};
  std::atomic<bool> bShutDown_{false};
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
  std::shared_ptr<MyTimer> mytimer_;
  std::shared_ptr<ManageStatusController> manageStatusController_;
  std::string appversion_;
  std::optional<std::string> servertime_;
  std::string tempsyncpath_;
  std::string jsonMsg_;
  std::string oldSelectWebpath_;
  std::function<void()> callBackChangeSyncClicked_;
  LoginWindowOpener loginWindowOpener_;
  plat::Array lastLoginWindowResult_;
  EngineStop engineStop_;
  std::optional<EngineMakers> engineMakers_;
  std::vector<std::string> relaunchArguments_;

  // Main thread only: the open windows and who makes them.
  std::shared_ptr<WindowControllers> windowControllers_;
  std::shared_ptr<LoginWebWindowController> loginWebWindowController_;
  std::shared_ptr<SettingWindowController> settingWindowController_;
  std::shared_ptr<LookTransWindowController> lookTransWindowController_;
  std::shared_ptr<LaunchpadWindowController> launchpadWindowController_;
  std::shared_ptr<AboutWindowController> aboutWindowController_;
  std::shared_ptr<RightSideWindowController> rightSideWindowController_;

  // The login thread and the helper that joins stopped engines; each is
  // joined before the next one starts and at termination.
  std::mutex threadsMutex_;
  std::thread loginThread_;
  std::thread stopper_;
  std::atomic<int> stoppersRunning_{0};
  // The background refresh of the message list.
  std::shared_ptr<plat::SerialQueue> msgQueue_;
};
