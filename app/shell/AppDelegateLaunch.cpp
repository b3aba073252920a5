// Start-up, the windows and the end of the application object.
#include <chrono>
#include <thread>

#include "app/core/AccountSecrets.h"
#include "app/shell/AppDelegate.h"
#include "app/sync/LastSyncdb.h"
#include "app/windows/LoginWebWindowController.h"
#include "app/shell/ManageStatusController.h"
#include "app/shell/MyTimer.h"
#include "app/shell/NotificationCenter.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/windows/WebWindows.h"
#include "app/windows/WindowControllers.h"
#include "app/windows/LookTransWindowController.h"
#include "app/windows/SettingWindowController.h"
#include "app/core/ProxySecrets.h"
#include "app/shell/AppUpdate.h"
#include "app/core/GetMenuXML.h"
#include "app/core/UpdateUIResource.h"
#include "app/shell/IconMsg.h"
#include "app/sync/GetMoveFileTask.h"
#include "app/interface/HTTPEngine.h"
#include "platform/foundation/file_util.h"
#include "app/sync/SyncManager.h"
#include "app/trans/TransManager.h"
#include "app/trans/lan/HttpThread.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/operation_queue.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/serial_queue.h"
#include "platform/foundation/thread.h"
#include "platform/net/url_cache.h"
#include "platform/net/url_connection.h"
#include "platform/system/launcher.h"
#include "platform/ui/toolkit.h"

#ifndef QV_APP_VERSION
#define QV_APP_VERSION "1.0.0"
#endif

namespace {

// Runs the main loop until `done` holds or `seconds` of real time passed.
bool serveMainLoopUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  auto loop = plat::MainThread::runLoop();
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (loop->runInMode(plat::kDefaultRunLoopMode, 0.02, true) == plat::RunLoop::RunResult::Finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

}  // namespace

void AppDelegate::applicationDidFinishLaunching(const LaunchOptions& options) {
  bTerminating_ = false;
  bShutDown_ = false;
  setAppversion(QV_APP_VERSION);
  auto ud = std::make_shared<UserData>();
  setUserdata(ud);
  Util::createfolder(ud->configPath());
  // The process's URL cache: 4 MiB in memory, 32 MiB on disk in the configuration folder.
  plat::URLCache::setShared(
      std::make_shared<plat::URLCache>(4194304, 33554432, plat::pathJoin(ud->configPath(), "URLCache")));
  // The pages of the windows, before any window shows one.
  Util::loadUIPackages();
  {
    auto updater = UpdateUIResource::initUpdateUIResourceFileName("start");
    std::lock_guard<std::mutex> l(mutex_);
    updateUIResource_ = std::move(updater);
  }
  // The file manager's plug-in, installed or replaced when it differs.
  Util::initWithQuorvaPlugin();
  // The settings window moves the sync folder through the engine's task and
  // repairs the plug-in through the installer, checked once copied.
  SettingWindowController::setMoveTaskMaker([](const std::string& root) -> std::shared_ptr<plat::Operation> {
    return std::make_shared<GetMoveFileTask>(root);
  });
  SettingWindowController::setPluginRepair(
      {[] { return Util::existfile(Util::ownQuorvaPlugin() + "/" + Util::kPluginModule); },
       [] {
         const bool done =
             Util::copyFileWithElevatedPrivilegesFromLocation(Util::ownQuorvaPlugin(), Util::pluginExtensionFolder(), true);
         if (done) Util::getAppDelegate().setBRemove(true);  // the plug-in redraws what it shows
         return done;
       }});
  setOldSelectWebpath("");
  bInit_ = false;
  bDisplayAlert_ = true;
  bAcceptedUpdate_ = true;
  bLogin_ = false;
  setServersion("0.0.0.0");
  {
    std::lock_guard<std::mutex> l(mutex_);
    taskqueue_ = std::make_shared<plat::OperationQueue>();
    msgQueue_ = std::make_shared<plat::SerialQueue>("com.quorva.msg.queue");
    // Kept when a stop came before start-up ended: it stays asked for.
    if (!signInCancel_) signInCancel_ = std::make_shared<plat::CancelToken>();
    relaunchArguments_ = options.relaunchArguments;
  }
  addUpdateCheck(false);
  bSyncStart_ = true;
  bAppUpdate_ = false;
  bShowRightBar_ = false;
  // What the service layer and the login threads reach through this object.
  setEngineStop([this] { stopEnginesAfterLogout(); });
  setLoginWindowOpener([this](const plat::Array& result) { getLoginWebWindowController()->setInfoArray(result); });

  auto settings = SettingsDb::initpath(ud->getsetting());
  setSettingsdb(settings);

  // The status item, the login item and the periodic jobs.
  bBlacktray_ = settings->getblacktray();
  {
    auto status = ManageStatusController::make(*this);
    std::weak_ptr<ManageStatusController> weak = status;
    setUpdateCountObserver([weak] {
      if (auto s = weak.lock()) s->updateCountChanged();
    });
    std::lock_guard<std::mutex> l(mutex_);
    manageStatusController_ = std::move(status);
  }
  initStatusMenu();
  // A web-menu entry chosen in the file manager opens its page here.
  if (gMainObserver_) plat::NotificationCenter::defaultCenter().removeObserver(gMainObserver_);
  gMainObserver_ = plat::NotificationCenter::defaultCenter().addObserver("gMain", [this](const plat::Notification& n) {
    const plat::Array info = n.object.isArray() ? n.object.array() : plat::Array();
    // Not waited for: the plug-in's call that posted it must get its answer.
    plat::MainThread::perform([this, info] { onOpenWebWindowInfo(info); });
  });
  if (settings->getautorun()) {
    if (!Util::findAppAsLoginItem()) Util::addAppAsLoginItem();
  } else if (Util::findAppAsLoginItem()) {
    Util::deleteAppFromLoginItem();
  }
  {
    auto timer = std::make_shared<MyTimer>(*this, options.timerClock);
    std::lock_guard<std::mutex> l(mutex_);
    mytimer_ = std::move(timer);
  }

  bHttps_ = options.https.value_or(settings->gethttps());
  bLocal_ = options.local.value_or(settings->getlocal());
  // The proxy set in the settings window serves every request from now on.
  ProxySecrets::apply(*settings);
  bRecyclebin_ = settings->getdelete2recyclebin();
  bLockMsg_ = settings->getrightbar();

  const std::string name = settings->getuser();
  ud->setUserName(name);
  ud->setUserPassword(name.empty() ? std::string() : AccountSecrets::password(*settings, name));

  bLink_ = Util::islink();

  // Automatic login from the stored account: a name that is an address with
  // a password, or a web-login key (a name without "@", no password).
  const std::string password = ud->userPassword();
  const bool isAddress = Util::emailCheckInput(name);
  if (!options.signInByWindow && !name.empty() && isAddress && !password.empty()) {
    bAuto_ = true;
    if (bLink_) startLogin(false);
  } else if (!options.signInByWindow && !name.empty() && !isAddress && password.empty()) {
    bAuto_ = true;
    if (bLink_) startLogin(true);
  } else {
    bAuto_ = false;
    getLoginWebWindowController();
  }
  // Without the network no login starts here: the periodic jobs start it
  // when the network comes back.

  NotificationCenter::shareCenter().setScheduleGrowlUserNotification([this] { OpenLaunchpadWindow("notices"); });
  // The web menu of the unpacked "default" package.
  ud->setMenuArray(GetMenuXML().getMenuArrayInfo());
  bInit_ = true;
}

bool AppDelegate::applicationShouldHandleReopen() {
  if (!bInit_) return true;
  if (bLogin_) {
    onMenuOpenQuorvaClicked();
  } else if (!bAuto_) {
    getLoginWebWindowController();
  } else if (auto settings = settingsdb()) {
    const std::string path = settings->getsyncpath();
    if (!path.empty()) plat::launcher()->openURL(path);
  }
  return true;
}

// ---- Windows ----

std::shared_ptr<WindowControllers> AppDelegate::windowControllers() {
  if (!windowControllers_) {
    auto ud = userdata();
    windowControllers_ = std::make_shared<PageWindowControllers>(ud ? ud->configPath() : std::string());
  }
  return windowControllers_;
}

void AppDelegate::setWindowControllers(std::shared_ptr<WindowControllers> factory) {
  windowControllers_ = std::move(factory);
}

template <class C>
std::shared_ptr<C> AppDelegate::windowSlot(std::shared_ptr<C>& slot, std::shared_ptr<C> (WindowControllers::*make)()) {
  if (!slot) {
    slot = (windowControllers().get()->*make)();
    NSWindowController* raw = slot.get();
    slot->window()->setWillClose([this, raw] {
      raw->windowWillClose();
      windowClosed(raw);
    });
  }
  return slot;
}

void AppDelegate::placeWindow(NSWindowController& c) {
  c.window()->setTopLeft(Util::getWindowDisplayOriginPoint(c.window()->size()));
}

std::shared_ptr<LoginWebWindowController> AppDelegate::getLoginWebWindowController() {
  auto c = windowSlot(loginWebWindowController_, &WindowControllers::makeLoginWebWindowController);
  placeWindow(*c);
  c->showWindow();
  return c;
}

std::shared_ptr<SettingWindowController> AppDelegate::getSettingWindowController() {
  auto c = windowSlot(settingWindowController_, &WindowControllers::makeSettingWindowController);
  placeWindow(*c);
  c->showWindow();
  c->initWithSetting();
  return c;
}

std::shared_ptr<LookTransWindowController> AppDelegate::getLookTransWindowController() {
  auto c = windowSlot(lookTransWindowController_, &WindowControllers::makeLookTransWindowController);
  c->setTimerReloadTransData();
  c->showWindow();
  placeWindow(*c);
  return c;
}

std::shared_ptr<LaunchpadWindowController> AppDelegate::onMenuOpenQuorvaClicked() { return launchpadOnTab(""); }

std::shared_ptr<LaunchpadWindowController> AppDelegate::launchpadOnTab(const std::string& tab) {
  const bool fresh = !launchpadWindowController_;
  auto c = windowSlot(launchpadWindowController_, &WindowControllers::makeLaunchpadWindowController);
  c->set_tab(tab);
  placeWindow(*c);
  // A new window loads its page once, on the tab; an open one reloads.
  if (fresh) {
    c->windowDidLoad();
  } else {
    c->reloadhtml();
  }
  c->showWindow();
  return c;
}

std::shared_ptr<AboutWindowController> AppDelegate::onOpenAboutWindow() {
  auto c = windowSlot(aboutWindowController_, &WindowControllers::makeAboutWindowController);
  placeWindow(*c);
  c->showWindow();
  return c;
}

std::shared_ptr<RightSideWindowController> AppDelegate::getRightSideWindowController() {
  auto c = windowSlot(rightSideWindowController_, &WindowControllers::makeRightSideWindowController);
  c->showWindow();  // not placed: the side bar keeps its own place
  bShowRightBar_ = true;
  return c;
}

std::shared_ptr<LoginWebWindowController> AppDelegate::loginWebWindowController() const {
  return loginWebWindowController_;
}

std::shared_ptr<LaunchpadWindowController> AppDelegate::launchpadWindowController() const {
  return launchpadWindowController_;
}

void AppDelegate::windowClosed(const NSWindowController* controller) {
  if (controller == nullptr) return;
  // The controller may be the caller's last owner: keep it until we return.
  std::shared_ptr<NSWindowController> keep;
  if (controller == loginWebWindowController_.get()) {
    keep = std::move(loginWebWindowController_);
    // Closing the login window quits the application.
    plat::MainThread::perform([this] { terminate(); });
  } else if (controller == launchpadWindowController_.get()) {
    launchpadWindowController_->set_bWindowsCloes(true);
    keep = std::move(launchpadWindowController_);
  } else if (controller == lookTransWindowController_.get()) {
    keep = std::move(lookTransWindowController_);
  } else if (controller == settingWindowController_.get()) {
    keep = std::move(settingWindowController_);
  } else if (controller == aboutWindowController_.get()) {
    keep = std::move(aboutWindowController_);
  } else if (controller == rightSideWindowController_.get()) {
    keep = std::move(rightSideWindowController_);
    bShowRightBar_ = false;
  }
  if (keep) plat::MainThread::perform([keep] {});  // released after the window's own handler returns
}

void AppDelegate::UpdateLaunchpadJS() {
  if (launchpadWindowController_) launchpadWindowController_->updatejs();
}

void AppDelegate::setSyncDirectoryIcon(const std::string& path) { Util::setSyncDirectoryIcon(path); }

void AppDelegate::OpenLaunchpadWindow(const std::string& tab) {
  plat::MainThread::perform([this, tab] { launchpadOnTab(tab); });
}

void AppDelegate::onMenuOpenSyncFolderClicked() {
  const std::string path = tempsyncpath();
  if (!path.empty()) plat::launcher()->openURL(path);
}

std::string AppDelegate::getJsonUserInfo() const {
  auto ud = userdata();
  return ud ? ud->jsonUserinfo() : std::string();
}

void AppDelegate::onAddFavoritePath(const std::string& path) {
  auto s = sync();
  auto ud = userdata();
  if (!s || !ud) return;
  int64_t type = -1;
  std::string webpath = s->getrelativepath(path, &type);
  if (type < 0) return;
  if (Util::isdir(path)) webpath = plat::format("%@/", webpath);
  const bool ok = HTTPEngine::addfavorite(ud->userToken(), webpath, ud->mountID());
  const std::string name = plat::pathBasename(path);
  NotificationCenter::shareCenter().setGrowlNotificationDescripation(
      plat::format(ok ? "%@ 收藏成功！" : "%@ 收藏失败！", name), std::nullopt);
}

std::string AppDelegate::sideBarRecord(const std::string& webpath, int64_t status, const std::string& membername,
                                       int64_t isshare, int64_t local, int64_t type) {
  return plat::format("{\"webpath\":\"%@\",\"status\":%ld,\"membername\":\"%@\",\"isshare\":%ld,\"local\":%ld,\"type\":%ld}",
                      webpath, static_cast<long>(status), membername, static_cast<long>(isshare),
                      static_cast<long>(local), static_cast<long>(type));
}

void AppDelegate::setSelect(const std::string& path) {
  auto s = sync();
  if (!bLogin_ || !s) return;
  int64_t type = -1;
  const std::string rel = s->getrelativepath(path, &type);
  if (type == -1) return;
  std::string webpath = rel;
  while (!webpath.empty() && webpath.back() == '/') webpath.pop_back();
  int64_t status = 0, isshare = 0, local = 0;
  std::string membername;
  if (!s->unsyncnode().need_sync(rel, Util::isdir(path)) || (rel.empty() && type == 3)) status = 6;
  if (!rel.empty() && status != 6) {
    status = s->checkfilepath(type, rel, path, false) > 0 ? 6 : s->syncdb()->getstatus(webpath, membername);
  }
  if (status != 6) s->syncshare().getshare(webpath, isshare, local);
  if (bLockMsg_ && status == 3 && rel != oldSelectWebpath()) {
    NotificationCenter::shareCenter().setGrowlNotificationDescripation(
        plat::format("[%@]已经被锁定，您只能以只读方式查看。如需修改，请点击独占修改", plat::pathBasename(rel)),
        std::nullopt);
  }
  setOldSelectWebpath(rel);
  if (!bRightBar_) return;
  auto bar = rightSideWindowController_;
  if (!bShowRightBar_ || !bar || bar->window()->isMiniaturized()) bar = getRightSideWindowController();
  // Quotes and control characters in a name can't break the record.
  bar->setShellSelect(sideBarRecord(Util::jsonText(webpath), status, Util::jsonText(membername), isshare, local, type));
}

void AppDelegate::checkfinderselectpath(const std::string& selected) {
  plat::runGuarded("checkfinderselectpath", [&] {
    if (!bLogin_) return;
    const std::string root = tempsyncpath();
    if (selected.empty() || root.empty() || selected.rfind(root, 0) != 0) return;
    setSelect(selected);
  });
}

void AppDelegate::hideRightSideWindowController(bool restore) {
  if (auto bar = rightSideWindowController_) {
    auto w = bar->window();
    if (restore && w->isMiniaturized()) w->deminiaturize();
    w->orderOut();
  }
  bShowRightBar_ = false;
}

void AppDelegate::onMenuQuitAppClicked() {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return;
  const int64_t count = synccount();
  const std::string text =
      count != 0 ? plat::format("还有%ld个文件正在处理，是否退出?", static_cast<long>(count)) : "是否确定退出?";
  if (toolkit->runAlert({"提示", text, {"确定", "取消"}}) == plat::kAlertFirstButtonReturn) terminate();
}

// ---- The end ----

void AppDelegate::shutdown() {
  if (bShutDown_.exchange(true)) return;
  bTerminating_ = true;
  std::atomic<bool> done{false};
  // Engine threads may be waiting for the main thread (a token renewal, a
  // login's result), so they are stopped by a helper while it serves them.
  std::thread helper = plat::startThread("terminate", [this, &done] {
    if (auto timer = mytimer()) timer->exit();  // first: it starts logins
    // A sign-in the service never answers would hold the join below for
    // the whole request time-out.
    cancelSignIns();
    // A login may be completing, which hands engines to the stopper under
    // the same lock: joined outside it.
    std::thread login;
    {
      std::lock_guard<std::mutex> l(threadsMutex_);
      login = std::move(loginThread_);
    }
    if (login.joinable()) login.join();
    IconMsg::stopService();  // the plug-in finds nobody serving from now on
    // The LAN service reads the engines: it ends before them.
    if (auto lan = httpthread()) {
      lan->exit();
      lan->join();
    }
    auto s = sync();
    auto t = trans();
    if (s) s->stop();
    if (t) {
      t->exit();
      t->removeall();
      t->reap();
    }
    if (s) s->exit();
    std::thread stopper;
    {
      std::lock_guard<std::mutex> l(threadsMutex_);
      stopper = std::move(stopper_);
    }
    if (stopper.joinable()) stopper.join();
    std::shared_ptr<plat::SerialQueue> msg;
    {
      std::lock_guard<std::mutex> l(mutex_);
      msg = msgQueue_;
    }
    if (msg) msg->sync([] {});  // a message refresh still queued ends first
    // An update check or download may be waiting for the main thread, which
    // is served meanwhile.
    if (auto q = taskqueue()) {
      q->cancelAllOperations();
      q->waitUntilAllOperationsAreFinished();
    }
    if (auto db = lastsyncdb()) db->close();
    if (s) s->syncdb()->close();
    if (auto settings = settingsdb()) settings->close();
    done = true;
  });
  serveMainLoopUntil([&done] { return done.load(); }, 1e9);
  helper.join();
}

void AppDelegate::terminate() {
  shutdown();
  // Everything is stopped: what this launch made goes (a test may launch
  // again in the same process).
  loginWebWindowController_.reset();
  settingWindowController_.reset();
  lookTransWindowController_.reset();
  launchpadWindowController_.reset();
  aboutWindowController_.reset();
  rightSideWindowController_.reset();
  {
    std::lock_guard<std::mutex> l(mutex_);
    updateUIResource_.reset();  // cancels its requests
    downloadtask_.reset();
    appUpdateWindowController_.reset();
  }
  // The queue's idle workers are joined here rather than left to the end
  // of the process: a thread that made a TLS request frees its TLS state
  // only when it ends.
  std::shared_ptr<plat::OperationQueue> tasks;
  {
    std::lock_guard<std::mutex> l(mutex_);
    tasks = std::move(taskqueue_);
  }
  tasks.reset();
  BrowserWebWindowController::closeAll();
  windowControllers_.reset();
  plat::URLCache::setShared(nullptr);
  if (gMainObserver_) plat::NotificationCenter::defaultCenter().removeObserver(gMainObserver_);
  gMainObserver_ = 0;
  setUpdateCountObserver(nullptr);
  std::shared_ptr<ManageStatusController> status;
  {
    std::lock_guard<std::mutex> l(mutex_);
    status = std::move(manageStatusController_);
  }
  // Quit may come from the item's own menu: it goes once that has returned.
  if (status) plat::MainThread::perform([status] {});
  statusMenu_.reset();
  leftMenu_.reset();
  leftSignedIn_.clear();
  setTrans(nullptr);
  setSync(nullptr);
  setLastsyncdb(nullptr);
  {
    std::lock_guard<std::mutex> l(mutex_);
    signInCancel_.reset();  // a next launch signs in again
  }
  if (auto toolkit = plat::Toolkit::current()) {
    toolkit->quit();
  } else {
    plat::MainThread::runLoop()->stop();
  }
}

bool AppDelegate::waitForStoppedEngines(double seconds) {
  auto done = [this] { return stoppersRunning_.load() == 0; };
  bool ok;
  if (plat::MainThread::isMainThread()) {
    ok = serveMainLoopUntil(done, seconds);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ok = done();
  }
  if (ok) {
    std::thread stopper;
    {
      std::lock_guard<std::mutex> l(threadsMutex_);
      if (stoppersRunning_.load() == 0) stopper = std::move(stopper_);  // ended: joining is quick
    }
    if (stopper.joinable()) stopper.join();
  }
  return ok;
}
