// Login, login completion and the two logouts of the application object.
#include <filesystem>

#include "app/core/AccountSecrets.h"
#include "app/shell/AppDelegate.h"
#include "app/sync/LastSyncdb.h"
#include "app/shell/NotificationCenter.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/core/UpdateUIResource.h"
#include "app/shell/AppUpdate.h"
#include "app/shell/IconMsg.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "app/trans/TransHandoff.h"
#include "app/trans/TransManager.h"
#include "app/trans/lan/HttpThread.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "platform/net/url_connection.h"
#include "platform/system/launcher.h"
#include "platform/ui/toolkit.h"

namespace {

std::string withSlash(std::string p) {
  if (!p.empty() && p.back() != '/') p += '/';
  return p;
}

}  // namespace

// ---- Login ----

std::shared_ptr<plat::CancelToken> AppDelegate::signInToken() const {
  std::lock_guard<std::mutex> l(mutex_);
  return signInCancel_;
}

namespace {
// Runs an operation under the stop's token: a service that never answers
// holds nobody past a stop.
class StoppableOperation : public plat::Operation {
public:
  StoppableOperation(std::shared_ptr<plat::Operation> inner, std::shared_ptr<plat::CancelToken> token)
      : inner_(std::move(inner)), token_(std::move(token)) {}
  void main() override {
    plat::CancelScope cancellable(token_);
    inner_->main();
  }

private:
  std::shared_ptr<plat::Operation> inner_;
  std::shared_ptr<plat::CancelToken> token_;
};
}  // namespace

void AppDelegate::addUpdateCheck(bool bShow) {
  auto check = std::make_shared<StoppableOperation>(std::make_shared<GetUpdateXML>(bShow), signInToken());
  if (auto q = taskqueue()) q->addOperation(std::move(check));
}

void AppDelegate::cancelSignIns() {
  std::shared_ptr<plat::CancelToken> token;
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (!signInCancel_) signInCancel_ = std::make_shared<plat::CancelToken>();
    token = signInCancel_;
  }
  token->cancel();
}

void AppDelegate::startLogin(bool withKey) {
  if (bTerminating_) return;
  // One login at a time: the flag is taken before the thread exists, so
  // two triggers close together start one token request.
  if (bLogining_.exchange(true)) return;
  std::thread previous;
  {
    std::lock_guard<std::mutex> l(threadsMutex_);
    previous = std::move(loginThread_);
  }
  // The last login has cleared the flag: it is ending, joining is quick.
  if (previous.joinable()) previous.join();
  std::lock_guard<std::mutex> l(threadsMutex_);
  loginThread_ = plat::startThread("login", [this, withKey] { loginBody(withKey); });
}

bool AppDelegate::onLogin() {
  if (bLogining_.exchange(true)) return false;
  return loginBody(false);
}

bool AppDelegate::onOtherLogin() {
  if (bLogining_.exchange(true)) return false;
  return loginBody(true);
}

void AppDelegate::showLoginResult(const char* type, int code, const std::string& message) {
  plat::Array result{plat::Value(type), plat::Value(code), plat::Value(message)};
  plat::MainThread::performAndWait([this, &result] { onOpenMainThreadWebWindowResult(result); });
}

AppDelegate::SignIn AppDelegate::signIn(bool withKey, RetUserInfo* out, int64_t* tokenError,
                                        std::string* tokenErrorText) {
  // A stop cuts the requests short (the service may never answer).
  plat::CancelScope cancellable(signInToken());
  auto ud = userdata();
  const std::string device = ud->getdevice().value_or("");
  RetToken token = withKey ? HTTPEngine::weblogin(ud->userName(), ud->getinfo(), device)
                           : HTTPEngine::login(ud->userName(), ud->userPassword(), ud->getinfo(), device);
  if (tokenError) *tokenError = token.error;
  if (token.status != 200) {
    if (tokenErrorText) *tokenErrorText = token.errormsg.value_or("");
    return SignIn::kTokenRefused;
  }
  ud->setTokens(token.accessToken, token.refreshToken, token.expires);
  RetUserInfo info = HTTPEngine::userinfo(token.accessToken);
  if (info.status != 200) return SignIn::kNoUserInfo;
  copyUserInfo(info);
  if (out) *out = info;
  return SignIn::kDone;
}

void AppDelegate::copyUserInfo(const RetUserInfo& i) {
  auto ud = userdata();
  ud->setOrgID(i.orgid);
  ud->setOrgName(i.orgname);
  ud->setOrgUserName(i.orgusername);
  ud->setUserID(i.userid);
  ud->setUserEmail(i.usermail);
  ud->setUserWebName(i.username);
  ud->setUserPhoto(i.userphoto);
  ud->setMountID(i.mountid);
  ud->setMountsize(i.mountsize);
  ud->setUsersize(i.usersize);
  ud->setOrgsize(i.orgsize);
  ud->setJsonUserinfo(i.jsonUserInfo);
}

// The body of a login thread; the caller has taken bLogining.
bool AppDelegate::loginBody(bool withKey) {
  // Cleared however the login ends, an exception included, so the next
  // trigger can log in again.
  struct Clear {
    std::atomic<bool>& flag;
    ~Clear() { flag = false; }
  } clear{bLogining_};
  plat::CancelScope cancellable(signInToken());
  const char* type = withKey ? "weblogin" : "login";
  int64_t tokenError = 0;
  std::string errorText;
  bool ok = false;
  plat::runGuarded(std::string("login ") + type, [&] {
    // An automatic login that failed without a service error is silent:
    // the periodic jobs try again when the network comes back.
    auto silent = [&] { return bAuto_.load() && tokenError == 0; };
    switch (signIn(withKey, nullptr, &tokenError, &errorText)) {
      case SignIn::kTokenRefused:
        if (!silent()) showLoginResult(type, 102, Util::getChangeTokenError(errorText));
        return;
      case SignIn::kNoUserInfo:
        if (!silent()) showLoginResult(type, 102, "用户信息获取失败");
        return;
      case SignIn::kDone:
        break;
    }
    renameoldsyncdb();
    ok = true;
    if (onCheckLastPage()) {
      if (Util::existfile(tempsyncpath())) {
        // A failed migration leaves the login window with its message: the
        // user is signed out and must see why.
        if (!onLoginFinished(false, false, false, 0, std::nullopt)) showLoginResult(type, 102, kChangeOldFailed);
      } else {
        showLoginResult(type, 0, " ");  // the folder is gone: the user chooses again
      }
      bLink_ = true;
      return;
    }
    if (!silent()) showLoginResult(type, 0, "初始化设置信息失败！");
  });
  return ok;
}

bool AppDelegate::onCheckLastPage() {
  auto ud = userdata();
  auto db = LastSyncdb::initpath(ud->getmountdb());
  setLastsyncdb(db);
  const std::string path = db->getsyncpath(ud->userID());
  if (path.empty()) return false;
  setTempsyncpath(path);
  return true;
}

void AppDelegate::renameoldsyncdb() {
  auto ud = userdata();
  if (!Util::existfile(ud->getmountdb()) && Util::existfile(ud->getoldmountdb())) {
    Util::movefile(ud->getoldmountdb(), ud->getmountdb());
  }
  if (!Util::existfile(ud->getsyncdb()) && Util::existfile(ud->getoldsyncdb())) {
    Util::movefile(ud->getoldsyncdb(), ud->getsyncdb());
  }
}

std::string AppDelegate::readmsg() {
  auto ud = userdata();
  return ud ? plat::readFile(ud->getmsgpath()).value_or("") : std::string();
}

// ---- Completion ----

AppDelegate::EngineMakers AppDelegate::defaultEngineMakers() {
  EngineMakers m;
  m.httpThread = [] { return HttpThread::init(); };
  m.syncManager = [](const std::string& path, bool bReset, bool resetorg) {
    return SyncManager::initwithpath(path, bReset, resetorg);
  };
  // The transfer engine pulls its jobs from the sync engine (TransHandoff).
  m.transManager = [](const std::shared_ptr<SyncManager>& sync) -> std::shared_ptr<TransManager> {
    return TransManager::init(sync, {}, [](const std::string& text) {
      NotificationCenter::shareCenter().setGrowlNotificationDescripation(text, std::nullopt);
    });
  };
  return m;
}

void AppDelegate::setEngineMakers(EngineMakers makers) {
  std::lock_guard<std::mutex> l(mutex_);
  engineMakers_ = std::move(makers);
}

AppDelegate::EngineMakers AppDelegate::engineMakers() const {
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (engineMakers_) return *engineMakers_;
  }
  return defaultEngineMakers();
}

void AppDelegate::onStartHttpServer() {
  // The plug-in's connection: registered at the first completion, kept for
  // the life of the process (its answers follow the current sign-in).
  IconMsg::startService();
  auto made = engineMakers().httpThread();
  std::lock_guard<std::mutex> l(mutex_);
  httpthread_ = std::move(made);
}

void AppDelegate::endHttpServer() {
  // Ended and joined before a new one binds the same ports.
  if (auto old = httpthread()) {
    old->exit();
    old->join();
  }
}

bool AppDelegate::onLoginFinished(bool overwrite, bool /*reset*/, bool unsync, int64_t changeold,
                                  const std::optional<std::vector<UnSyncNodeItem>>& unsynclist) {
  plat::CancelScope cancellable(signInToken());
  auto ud = userdata();
  auto settings = settingsdb();
  // A page that skipped the folder choice (or the stored folder's check)
  // would start the engines on "" (the current folder) and store it.
  if (tempsyncpath().empty()) {
    plat::log("login completion refused: no sync folder");
    return false;
  }
  // The signed-in user's own mount database. A sign-in through the login
  // window has opened none (only login threads do), or one of another
  // account: the folder would not be remembered, or remembered for the
  // wrong user, and the next launch would ask for it again.
  auto db = LastSyncdb::initpath(ud->getmountdb());
  setLastsyncdb(db);
  bool resetorg = false;
  if (changeold != 1 && db->getchangeold() == 0) {
    if (!ChangeOld()) {
      NotificationCenter::shareCenter().setGrowlNotificationDescripation(kChangeOldFailed, std::nullopt);
      return false;
    }
    resetorg = true;
    db->setchangeold(1);
  }
  bLogin_ = true;
  const std::string path = tempsyncpath();
  const std::string stored = db->getsyncpath(ud->userID());
  const bool changed = !stored.empty() && stored != path;
  const bool exists = Util::existfile(path);
  setJsonMsg(readmsg());
  db->setsyncpath(ud->userID(), path);
  if (changeold == 1) db->setchangeold(1);

  settings->deleteuserinof(ud->userName());
  AccountSecrets::store(*settings, ud->userName(), ud->userPassword(), settings->getdateline(), path);
  settings->setuserid(ud->userID());
  settings->setorgid(ud->orgID());
  settings->setmountid(ud->mountID());
  settings->setorgname(ud->orgName());
  settings->setname(ud->userWebName().value_or(""));

  endHttpServer();
  plat::MainThread::performAndWait([this] { onStartHttpServer(); });

  // Engines of an earlier sign-in end before new ones start on the same
  // databases.
  if (auto old = sync()) old->stop();
  retireEngines(sync(), trans());
  waitForStoppedEngines(1e9);

  const EngineMakers makers = engineMakers();
  auto s = makers.syncManager(path, exists ? changed : true, resetorg);
  setSync(s);
  auto t = makers.transManager(s);
  setTrans(t);
  // Downloads ask the local network through the service of this login.
  if (t) t->setLanQuery(httpthread());
  // The sync engine stops the transfers of what it changes through it.
  if (t) s->settrans(t);
  s->syncdb()->insert_menu(ud->menuArray());
  s->setUnsyncnode(unsync ? unsynclist : std::nullopt, overwrite);
  s->start();
  plat::Array history;
  s->syncdb()->getHistory(history);
  ud->setHistoryArray(std::move(history));
  setMenu();
  handleTimerForMsg();
  if (auto u = updateUIResource()) u->updateUIResourceFileName("default");
  Util::setSyncDirectoryIcon(tempsyncpath());
  bRemove_ = true;
  plat::log("signed in as %@; syncing %@", ud->userName(), path);
  return true;
}

std::string AppDelegate::getmountname(const std::string& parent, const std::string& name) {
  const std::string base = withSlash(parent);
  std::string path = plat::format("%@%@", base, name);
  for (long i = 1; Util::existfile(path); ++i) path = plat::format("%@%@(%ld)", base, name, i);
  return path;
}

bool AppDelegate::copyfile(const std::string& from, const std::string& to) {
  if (!Util::existfile(from)) return true;
  if (!Util::isdir(from)) return Util::copyfile(from, to);
  if (!Util::createfolder(to)) return false;
  // The names first: entries move out of the folder while it is read.
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) return false;
  for (const std::string& name : names) {
    const std::string s = plat::pathJoin(from, name), d = plat::pathJoin(to, name);
    if (Util::movefile(s, d)) continue;
    if (Util::isdir(s) ? !copyfile(s, d) : !Util::copyfile(s, d)) return false;
  }
  return true;
}

bool AppDelegate::ChangeOld() {
  auto ud = userdata();
  auto db = lastsyncdb();
  const std::string old = db->getsyncpath(ud->userID());
  if (old.empty()) return true;
  Util::deletefolderfavorite(old);
  std::string root = db->gettemppath();
  if (root.empty()) {
    std::string bare = old;
    while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
    root = getmountname(plat::pathDirname(bare), UserData::getmountname());
  }
  Util::createfolder(root);
  root = withSlash(root);
  db->settemppath(root);
  const std::string personal = plat::format("%@%@/", root, SyncManager::kPersonal);
  const std::string team = plat::format("%@%@/", root, SyncManager::kTeam);
  if (ud->orgID() >= 1) {
    Util::createfolder(team);
    RetFileList list;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (attempt > 0) plat::currentClock().sleepFor(1);
      list = HTTPEngine::getfilelist(ud->userToken(), "", ud->mountID(), false);
      if (list.status == 200) break;
    }
    if (list.status != 200) return false;
    for (const FileListItem& item : list.itemlist) {
      if (item.org <= 0) continue;
      const std::string from = withSlash(old) + item.webpath, to = team + item.webpath;
      if (!Util::existfile(from)) continue;
      if (!Util::movefile(from, to) && !copyfile(from, to)) return false;
    }
  }
  if (!Util::movefile(old, personal) && !copyfile(old, personal)) return false;
  db->setsyncpath(ud->userID(), root);
  setTempsyncpath(root);
  Util::addfoldertofavorite(root);
  return true;
}

// ---- Logouts ----

void AppDelegate::stopEnginesAfterLogout() {
  if (auto db = lastsyncdb()) db->close();
  plat::log("logout: mount database closed");
  // Its listener and discovery socket close now; its threads are joined
  // by the helper below, never here.
  auto lan = httpthread();
  if (lan) lan->exit();
  plat::log("logout: LAN service told to end");
  auto s = sync();
  if (s) s->stop();
  plat::log("logout: sync engine stopped");
  // Ending the transfer engine joins its threads, and one of them may be
  // the renewal waiting for this logout: a helper ends it.
  retireEngines(s, trans(), lan);
  plat::log("logout: transfer engine told to end");
}

void AppDelegate::retireEngines(std::shared_ptr<SyncManager> s, std::shared_ptr<TransManager> t,
                                std::shared_ptr<HttpThread> lan) {
  if (!s && !t && !lan) return;
  std::lock_guard<std::mutex> l(threadsMutex_);
  auto previous = std::make_shared<std::thread>(std::move(stopper_));
  ++stoppersRunning_;
  stopper_ = plat::startThread("engines.stop", [this, previous, s, t, lan] {
    if (previous->joinable()) previous->join();
    if (lan) lan->join();
    if (t) {
      t->exit();
      // Transfers with a dead token would only fail: they stop too.
      t->removeall();
      t->reap();
    }
    if (s) s->exit();
    --stoppersRunning_;
  });
}

void AppDelegate::onBtnLogoutClicked() {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return;
  const int answer = toolkit->runAlert(
      {"", "注销帐号时,是否保留用户所有记录的文件(包括：同步文件夹信息，同步缓存文件和传输信息)?", {"保留", "删除", "取消"}});
  const bool keep = answer == plat::kAlertFirstButtonReturn;
  const bool remove = answer == plat::kAlertFirstButtonReturn + 1;
  if (keep || remove) logoutAndRelaunch(remove);
}

void AppDelegate::logoutAndRelaunch(bool remove) {
  auto ud = userdata();
  if (auto s = sync()) Util::deletefolderfavorite(s->syncparent());
  // The user's folder holds the engines' open databases: everything stops
  // before it goes.
  shutdown();
  if (remove) Util::deletefile(ud->getmountpath());
  if (auto settings = settingsdb()) AccountSecrets::clear(*settings);
  if (remove) bRemove_ = true;
  std::vector<std::string> args;
  {
    std::lock_guard<std::mutex> l(mutex_);
    args = relaunchArguments_;
  }
  plat::launcher()->launch(Util::applicationPath(), args);
  terminate();
}
