// The application object: the shell's part of it (start-up, the windows,
// login and its completion, the logouts, messages, the qvp:// commands and
// termination) above the services and flags of AppServices, which every
// other part reaches through AppDelegate::shared(), from any thread.
//
// Threads: start-up, the window getters, the logouts and termination run on
// the main thread; login threads and the periodic jobs thread (MyTimer) read
// and write the flags and counters of AppServices. The services, texts and
// hooks are handed out whole under the one lock (`mutex_`), never held while
// calling out.
//
// The parts are defined in AppDelegate.cpp, AppDelegateLaunch.cpp,
// AppDelegateLogin.cpp, AppDelegateMsg.cpp and AppDelegateURL.cpp; the part
// of onLogout that stops the engines, which the service layer reaches
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

#include "app/core/AppServices.h"
#include "platform/foundation/value.h"

class SyncManager;
class TransManager;
class HttpThread;
class MyTimer;
class ManageStatusController;
class NSWindowController;
class LoginWebWindowController;
class SettingWindowController;
class LookTransWindowController;
class LaunchpadWindowController;
class AboutWindowController;
class RightSideWindowController;
class WindowControllers;
class RetUserInfo;
class UpdateUIResource;
class DownloadTask;
class AppUpdateWindow;
struct UnSyncNodeItem;
namespace plat {
class CancelToken;
class Menu;
class MenuItem;
class Clock;
class OperationQueue;
class SerialQueue;
}  // namespace plat

class AppDelegate : public AppServices {
public:
  AppDelegate();
  ~AppDelegate() override;
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The one application object of the process, installed as the
  // services' object on first use.
  static AppDelegate& shared();

  std::shared_ptr<MyTimer> mytimer() const;
  std::shared_ptr<ManageStatusController> manageStatusController() const;
  // Asks the update service for newer UI packages; made at start-up.
  std::shared_ptr<UpdateUIResource> updateUIResource() const;

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
    // Overrides the local-network switch for this run (off for a service on
    // this machine, whose clients the local network does not hold).
    std::optional<bool> local;
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
  void windowClosed(const NSWindowController* controller);
  // Who makes the window controllers; the toolkit-neutral ones by default.
  void setWindowControllers(std::shared_ptr<WindowControllers> factory);
  // When the launch pad is open, its page refreshes the linked folders.
  void UpdateLaunchpadJS() override;
  void setSyncDirectoryIcon(const std::string& path) override;
  // Through the notice centre, under the application's name and icon.
  void notice(const std::string& description) override;
  // The launch pad on one of its tabs ("notices" for a clicked message).
  void OpenLaunchpadWindow(const std::string& tab);
  // Asks, then quits.
  void onMenuQuitAppClicked();
  // The sync folder in the file manager.
  void onMenuOpenSyncFolderClicked();
  // The account as the service gave it, JSON.
  std::string getJsonUserInfo() const;
  // Adds the local path's cloud path to the web favourites, with a notice.
  void onAddFavoritePath(const std::string& path);

  // ---- The file manager's selection and the side bar (main thread) ----
  // The selected local path: its state, the notice for a file another
  // member locked, and the side bar's record when the side bar follows
  // the selection.
  void setSelect(const std::string& path);
  // The selection the file manager's plug-in reports (its one selected
  // item, or the folder it shows): taken only while signed in and when it
  // lies in the sync folder.
  void checkfinderselectpath(const std::string& selected);
  // The side bar's record of a selection, as its page reads it.
  static std::string sideBarRecord(const std::string& webpath, int64_t status, const std::string& membername,
                                   int64_t isshare, int64_t local, int64_t type);
  // Hides the side bar (restoring it first from the dock when asked).
  void hideRightSideWindowController(bool restore);

  // ---- qvp:// commands (AppDelegateURL.cpp; main thread) ----
  // Where a command comes from: the desktop's scheme handler (any program
  // or web page may have made it), or a page of our own packages.
  enum class QvpSource { kDesktop, kOwnPage };
  // "qvp://" and the Base64 of "command|argument|...".
  void OpenQvpUrl(const std::string& url, QvpSource source);
  // An address the desktop handed over.
  void handleURLEvent(const std::string& url) { OpenQvpUrl(url, QvpSource::kDesktop); }
  // The folder the desktop shows as the desktop ("" when there is none).
  static std::string desktopFolder();
  // The name of a desktop link: a plain file name.
  static bool isPlainLinkName(const std::string& name);
  // Ends the application: the periodic jobs, any login and the engines
  // stopped and their threads joined, the databases closed, then the main
  // loop ends. Main thread; the main loop keeps serving the threads being
  // stopped meanwhile.
  void terminate();
  bool terminating() const { return bTerminating_.load(); }
  // The first half of terminate(): everything stopped and joined, the
  // databases closed, the main loop still running. Once per launch.
  void shutdown();
  // Any thread, a stop's first step: the sign-in under way (its service
  // calls, on whichever thread), an update check under way, and every later
  // one of this launch fail at once.
  void cancelSignIns();
  // An update check on `taskqueue`, its exchanges cut short by a stop.
  void addUpdateCheck(bool bShow);

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

  // Completion of a sign-in: on the caller's thread (a login thread, or the
  // main thread for the login window). False, the user still signed out,
  // when there is no sync folder to start in or the old layout could not be
  // migrated (with a notice).
  bool onLoginFinished(bool overwrite, bool reset, bool unsync, int64_t changeold,
                       const std::optional<std::vector<UnSyncNodeItem>>& unsynclist);
  bool ChangeOld();
  // The first path that does not exist: parent + name, then name(1), (2)...
  // The notice of a failed migration.
  static constexpr const char* kChangeOldFailed = "升级数据失败,请重启软件";
  static std::string getmountname(const std::string& parent, const std::string& name);
  // Copies (moving where it can) a file or a folder tree.
  static bool copyfile(const std::string& from, const std::string& to);
  void onStartHttpServer();
  // The service of an earlier login ended and its threads joined.
  void endHttpServer();

  // How completion makes the engines; tests wrap them to watch the order.
  struct EngineMakers {
    std::function<std::shared_ptr<HttpThread>()> httpThread;
    std::function<std::shared_ptr<SyncManager>(const std::string& path, bool bReset, bool resetorg)> syncManager;
    std::function<std::shared_ptr<TransManager>(const std::shared_ptr<SyncManager>& sync)> transManager;
  };
  static EngineMakers defaultEngineMakers();
  void setEngineMakers(EngineMakers makers);

  // The logout the user chooses: asks whether to keep the user's files,
  // clears the stored account, relaunches and quits.
  void onBtnLogoutClicked();
  // What follows the question: the engines stopped, the user's folder
  // deleted when `remove`, the stored account cleared, a relaunch, the end.
  void logoutAndRelaunch(bool remove);
  // Waits until the engines a logout stopped have ended (main thread: the
  // main loop runs meanwhile). True when none is left running.
  bool waitForStoppedEngines(double seconds);

  // ---- Menus and their actions (AppDelegateMenu.cpp; main thread) ----
  // The status item's menu: the short one before login, the full one after.
  std::shared_ptr<plat::Menu> statusMenu() const;
  // The panel's menu (its signed-in entries come with setMenu).
  std::shared_ptr<plat::Menu> leftMenu() const;
  std::shared_ptr<plat::MenuItem> menuItemTrayControlSync() const { return menuItemTrayControlSync_; }
  std::shared_ptr<plat::MenuItem> menuItemSpace() const { return menuItemSpace_; }
  // The menu shown before login.
  void initStatusMenu();
  // The signed-in menus; a login thread hands it to the main thread.
  void setMenu();
  // The web menu's pages, each opening its window (after the settings entry).
  void addWebMenuEntries(plat::Menu& menu);
  // From another thread (the folder move) the work is queued to the main one.
  void resetBrowserFileHistoryMenu() override;
  // Refreshes the recently opened files before a menu of ours opens.
  void menuWillOpen();
  void onMenuOpenFolderClicked(const std::string& path);
  void onMenuOpenWebPathClicked();
  void onMenuHelperWebClicked();
  void onMenuNewFeaturesWebClicked();
  void onMenuSettingWindowClicked() { getSettingWindowController(); }
  void onMenuLookTransClicked() { getLookTransWindowController(); }
  void onBtnJumpSettingAgentViewClicked();
  // Pauses or resumes sync.
  void onMenuStopSyncClicked();
  void onOpenUpdatesWindow();
  // [menu index, local path] of the web menu.
  void onOpenWebWindowInfo(const plat::Array& info);
  // The help pages of the web site.
  std::string helpAddress() const;

  // ---- Messages and account (AppDelegateMsg.cpp; periodic jobs thread) ----
  void handleTimerForMsg();
  void getPopUpdateMsg(int64_t dateline);
  void savemsg();
  void handleTimerUserInfo();
  // Main thread: the menus' storage entries show the account's use now.
  void refreshSpaceEntries();
  void handleTimerForUpdate();
  // The age text of a message dated `dateline` (seconds since 1970) at `now`.
  static std::string messageAge(int64_t now, int64_t dateline);

  // ---- The application update (AppDelegateUpdate.cpp) ----
  // What the last check found: the version, the installer's address, size,
  // SHA-256 and signature of that digest.
  std::string serversion() const;
  void setServersion(std::string v);
  std::string serverpath() const;
  void setServerpath(std::string v);
  int64_t serversionsize() const { return serversionsize_.load(); }
  void setServersionsize(int64_t v) { serversionsize_.store(v); }
  std::string serversha256() const;
  void setServersha256(std::string v);
  std::string serversignature() const;
  void setServersignature(std::string v);
  // The menu entry: a check that tells its outcome.
  void onMenuUpdateAppClicked();
  // Main thread: asks whether to update (once per run while bDisplayAlert).
  void showupdatemsg();
  // Main thread: starts the download (none while one exists) and shows the dialog.
  void showupdate();
  // Main thread: the installer was downloaded and checked; asks, then hands
  // it to the desktop and quits.
  void openUpdateDmg();
  // Main thread: the download ended (the dialog hidden already).
  void downloadtaskEnded();
  std::shared_ptr<DownloadTask> downloadtask() const;
  // The update dialog, made on first use by the maker (by default the
  // dialog on screen, or AppUpdateValues without a toolkit).
  std::shared_ptr<AppUpdateWindow> appUpdateWindowController();
  // The dialog made already, if any (what the download reports to).
  std::shared_ptr<AppUpdateWindow> appUpdateWindow() const;
  void setAppUpdateWindowMaker(std::function<std::shared_ptr<AppUpdateWindow>()> maker);
  // The dialog was closed (not hidden): no install question follows the
  // download, and the next offer makes a new dialog.
  void appUpdateWindowClosed();
  // Where the offered installer is kept.
  std::string getappupdatepath() const;
  // Seconds the download's end waits with its dialog hidden before asking.
  void setUpdateClosePause(double seconds) { updateClosePause_.store(seconds); }
  double updateClosePause() const { return updateClosePause_.load(); }

private:
  bool loginBody(bool withKey);
  // What a stop cancels: the exchanges of sign-ins and their completions.
  std::shared_ptr<plat::CancelToken> signInToken() const;
  void showLoginResult(const char* type, int code, const std::string& message);
  EngineMakers engineMakers() const;
  void stopEnginesAfterLogout();
  // Hands stopped engines to a helper thread that ends their threads.
  void retireEngines(std::shared_ptr<SyncManager> sync, std::shared_ptr<TransManager> trans,
                     std::shared_ptr<HttpThread> lan = nullptr);
  // The controller in the slot, made (and told to report its window's
  // closing) when there is none.
  template <class C>
  std::shared_ptr<C> windowSlot(std::shared_ptr<C>& slot, std::shared_ptr<C> (WindowControllers::*make)());
  void placeWindow(NSWindowController& c);
  std::shared_ptr<LaunchpadWindowController> launchpadOnTab(const std::string& tab);
  std::shared_ptr<WindowControllers> windowControllers();

  std::atomic<bool> bTerminating_{false};
  std::atomic<bool> bShutDown_{false};
  std::atomic<int64_t> serversionsize_{0};
  std::atomic<double> updateClosePause_{2.0};

  // Under mutex_, with the services.
  std::shared_ptr<MyTimer> mytimer_;
  std::shared_ptr<ManageStatusController> manageStatusController_;
  std::shared_ptr<UpdateUIResource> updateUIResource_;
  std::shared_ptr<DownloadTask> downloadtask_;
  std::string serversion_ = "0.0.0.0", serverpath_, serversha256_, serversignature_;
  std::optional<EngineMakers> engineMakers_;
  std::vector<std::string> relaunchArguments_;
  std::shared_ptr<plat::CancelToken> signInCancel_;

  // Main thread only: the open windows and who makes them.
  std::shared_ptr<WindowControllers> windowControllers_;
  std::shared_ptr<LoginWebWindowController> loginWebWindowController_;
  std::shared_ptr<SettingWindowController> settingWindowController_;
  std::shared_ptr<LookTransWindowController> lookTransWindowController_;
  std::shared_ptr<LaunchpadWindowController> launchpadWindowController_;
  std::shared_ptr<AboutWindowController> aboutWindowController_;
  std::shared_ptr<RightSideWindowController> rightSideWindowController_;
  std::shared_ptr<AppUpdateWindow> appUpdateWindowController_;
  std::function<std::shared_ptr<AppUpdateWindow>()> appUpdateWindowMaker_;

  // The login thread and the helper that joins stopped engines; each is
  // joined before the next one starts and at termination.
  std::mutex threadsMutex_;
  std::thread loginThread_;
  std::thread stopper_;
  std::atomic<int> stoppersRunning_{0};
  // The background refresh of the message list.
  std::shared_ptr<plat::SerialQueue> msgQueue_;

  // Main thread only: the menus.
  std::shared_ptr<plat::Menu> statusMenu_, leftMenu_;
  std::shared_ptr<plat::Menu> subMenuTrayHistroy_, subLeftHistory_;
  std::shared_ptr<plat::MenuItem> menuItemTrayControlSync_, menuItemSpace_, leftMenuItemSpace_;
  std::shared_ptr<plat::MenuItem> leftOpenSyncMenuItem_, leftBrowseMenuItem_;
  std::vector<std::shared_ptr<plat::MenuItem>> leftSignedIn_;  // what setMenu put into leftMenu
  uint64_t gMainObserver_ = 0;
};
