// The application shell against devcloud: start-up and automatic login,
// completion and the engines it starts, the login window's sign-in, the
// periodic jobs under a stepped clock, and both logouts.
#include <algorithm>
#include <ctime>
#include <set>
#include <thread>
#include <type_traits>

#include "app/windows/LoginWebWindowController.h"
#include "app/shell/MyTimer.h"
#include "app/core/SettingsDb.h"
#include "app/core/Util.h"
#include "app/windows/WindowControllers.h"
#include "app/shell/shell_test_util.h"
#include "app/trans/TransHandoff.h"
#include "app/trans/TransManager.h"
#include "app/trans/lan/HttpThread.h"
#include "platform/foundation/log.h"
#include "platform/system/bookmarks.h"
#include "platform/net/url_cache.h"

namespace shelltest {
namespace {

constexpr bool kEnginesJoined = std::is_base_of_v<TransHandoff, SyncManager>;

std::string jsonLogin(const std::string& user, const std::string& password) {
  return R"({"username":")" + user + R"(","password":")" + password + R"("})";
}

bool isFavourite(const std::string& folder) {
  const auto f = plat::sidebarFavorites()->folders();
  return std::find(f.begin(), f.end(), folder) != f.end();
}

size_t indexOf(const std::vector<std::string>& lines, const std::string& part) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(part) != std::string::npos) return i;
  }
  return lines.size();
}

TEST_F(ShellTest, StartUpSignsInFromTheStoredAccountAndStartsTheEnginesInOrder) {
  const Account a = newUser();
  const std::string root = home() + "/sync/我的Quorva/";
  storeAccount(a, root);

  std::mutex m;
  std::vector<std::string> order;
  bool lanOnMain = false;
  const auto real = AppDelegate::defaultEngineMakers();
  auto note = [&](std::string what) {
    std::lock_guard<std::mutex> l(m);
    order.push_back(std::move(what));
  };
  app().setEngineMakers({[&] {
                           note("lan");
                           lanOnMain = plat::MainThread::isMainThread();
                           return real.httpThread();
                         },
                         [&](const std::string& path, bool reset, bool resetorg) {
                           note("sync " + path);
                           return real.syncManager(path, reset, resetorg);
                         },
                         [&](const std::shared_ptr<SyncManager>& s) {
                           note(std::string("trans, sync ") + (s->bStart() ? "started" : "not started yet"));
                           return real.transManager(s);
                         }});
  const int64_t since = cloud().lastSeq();
  launch();
  EXPECT_TRUE(app().bAuto());
  ASSERT_TRUE(until([&] { return signedIn(); }));

  {
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(order, (std::vector<std::string>{"lan", "sync " + root, "trans, sync not started yet"}));
  }
  EXPECT_TRUE(lanOnMain) << "the LAN service is made on the main thread";
  ASSERT_NE(app().httpthread(), nullptr);
  EXPECT_TRUE(app().httpthread()->waitReady(10)) << "the LAN service's threads made their listener and socket";
  EXPECT_EQ(app().trans() != nullptr, kEnginesJoined);
  EXPECT_EQ(recorded(since, "/oauth/token", "grant_type=password"), 1u);
  EXPECT_EQ(app().userdata()->userID(), a.userid);
  EXPECT_EQ(app().tempsyncpath(), root);
  EXPECT_TRUE(Util::isdir(root + "个人的文件"));
  EXPECT_TRUE(app().bRemove());
  EXPECT_EQ(ui->count("window", "LoginWebWindowController"), 0u) << "no login window for a stored account";

  // Completion stored the account again: the password in the secret store,
  // never in the settings file.
  auto settings = app().settingsdb();
  EXPECT_EQ(settings->getuser(), a.username);
  EXPECT_EQ(settings->getpassword(), "");
  EXPECT_EQ(settings->getuserid(), a.userid);
  EXPECT_EQ(AccountSecrets::password(*settings, a.username), a.password);

  // Signed in, a click on the application opens the launch pad.
  EXPECT_TRUE(app().applicationShouldHandleReopen());
  ASSERT_TRUE(app().launchpadWindowController());
  EXPECT_TRUE(app().launchpadWindowController()->window()->isVisible());
}

// Start-up copies the settings into the flags and the login item; the
// running application answers a click on itself and asks before quitting;
// closing the login window quits.
TEST_F(ShellTest, StartUpTakesTheSettingsAndTheApplicationAnswersClicksAndQuits) {
  {
    UserData ud;
    plat::makeDirectories(ud.configPath(), 0755);
    auto settings = SettingsDb::initpath(ud.getsetting());
    settings->setlocal(false);
    settings->setdelete2recyclebin(false);
    settings->setrightbar(true);
    settings->setblacktray(true);
    settings->setautorun(false);
  }
  Util::addAppAsLoginItem();  // left from an earlier run with the setting on
  lanOff = false;
  launch();
  EXPECT_FALSE(app().bLocal());
  EXPECT_FALSE(app().bRecyclebin());
  EXPECT_TRUE(app().bLockMsg());
  EXPECT_TRUE(app().bBlacktray());
  EXPECT_FALSE(Util::findAppAsLoginItem()) << "the setting is off: the login item goes";
  EXPECT_TRUE(app().bInit());
  // The process's URL cache, in the configuration folder.
  auto cache = plat::URLCache::shared();
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache->memoryCapacity(), 4194304u);
  EXPECT_EQ(cache->diskCapacity(), 33554432u);
  EXPECT_EQ(cache->diskPath(), app().userdata()->configPath() + "/URLCache");
  EXPECT_EQ(ui->count("status", "statusNoneIcon"), 1u) << "dark icons, not signed in";

  // Not signed in, nothing stored: a click shows the login window again.
  auto login = app().loginWebWindowController();
  ASSERT_TRUE(login);
  login->window()->orderOut();
  EXPECT_TRUE(app().applicationShouldHandleReopen());
  EXPECT_TRUE(login->window()->isVisible());
  const plat::Point at = login->window()->topLeft();
  EXPECT_EQ(at, (plat::Point{(1920 - 400) / 2.0, 100}));

  app().setSynccount(3);
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
  app().onMenuQuitAppClicked();
  EXPECT_EQ(ui->count("alert", "还有3个文件正在处理，是否退出? [确定|取消] -> 取消"), 1u);
  EXPECT_FALSE(app().terminating());
  app().setSynccount(0);
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
  app().onMenuQuitAppClicked();
  EXPECT_EQ(ui->count("alert", "是否确定退出? [确定|取消] -> 取消"), 1u);

  // Closing the login window quits the application.
  login->window()->close();
  ASSERT_TRUE(until([&] { return app().terminating(); }));
  EXPECT_EQ(app().loginWebWindowController(), nullptr);
}

// The login window's sign-in on a first start, and the next start, which
// signs in from what the first one stored.
TEST_F(ShellTest, AFirstSignInThroughTheLoginWindowIsKeptForTheNextStart) {
  const Account a = newUser();
  launch();
  EXPECT_FALSE(app().bAuto());
  auto login = app().loginWebWindowController();
  ASSERT_TRUE(login) << "nothing stored: the login window opens";
  EXPECT_TRUE(login->window()->isVisible());

  EXPECT_FALSE(login->onBtnLoginUserNameAndPW(jsonLogin(a.username, "wrong")));
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "login","error" : 102,"message" : "您输入帐号或密码错误 请重新输入"}"))"), 1u);
  ASSERT_TRUE(login->onBtnLoginUserNameAndPW(jsonLogin(a.username, a.password)));
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "login","error" : 0,"message" : " "}"))"), 1u);

  ui->answerNextFolderChoice(std::nullopt);
  EXPECT_EQ(login->onBtnSelectPathClicked(), std::nullopt);
  const std::string chosen = home() + "/chosen";
  ui->answerNextFolderChoice(chosen);
  const std::string root = chosen + "/我的Quorva/";
  EXPECT_EQ(login->onBtnSelectPathClicked(), std::optional<std::string>(root));
  login->setInitInfo(R"({"path":2,"syncnode":false,"overwrite":false})");
  EXPECT_TRUE(signedIn());
  EXPECT_EQ(app().sync()->syncparent(), root);
  EXPECT_EQ(ui->count("open", root), 1u) << "the new sync folder is shown";
  EXPECT_FALSE(login->window()->isVisible());
  EXPECT_TRUE(isFavourite(root));

  // The mount database remembers the folder, so the next start signs in
  // by itself instead of asking again.
  EXPECT_EQ(LastSyncdb(app().userdata()->getmountdb()).getsyncpath(a.userid), root);
  EXPECT_EQ(LastSyncdb(app().userdata()->getmountdb()).getchangeold(), 1) << "a folder chosen now has the new layout";
  stopApp();
  const int64_t since = cloud().lastSeq();
  launch();
  EXPECT_TRUE(app().bAuto());
  ASSERT_TRUE(until([&] { return signedIn(); }));
  EXPECT_EQ(app().tempsyncpath(), root);
  EXPECT_EQ(recorded(since, "/oauth/token", "grant_type=password"), 1u);
  EXPECT_EQ(ui->count("window", "show LoginWebWindowController"), 1u) << "only the first start showed it";
}

// The stored account's login opened its mount database, then another
// account signs in through the login window: each keeps its folder in its
// own database.
TEST_F(ShellTest, AnotherAccountSigningInKeepsItsFolderInItsOwnMountDatabase) {
  const Account b = newUser();
  const std::string rootB = home() + "/b/我的Quorva/";
  storeAccount(b, rootB);
  plat::removeTree(rootB);  // its folder is gone: the login window asks
  launch();
  ASSERT_TRUE(until([&] { return !app().bLogining(); }));
  ASSERT_EQ(ui->count("page", R"("error" : 0,"message" : " ")"), 1u);

  const Account a = newUser();
  auto login = app().loginWebWindowController();
  ASSERT_TRUE(login);
  ASSERT_TRUE(login->onBtnLoginUserNameAndPW(jsonLogin(a.username, a.password)));
  ui->answerNextFolderChoice(home() + "/a");
  ASSERT_TRUE(login->onBtnSelectPathClicked());
  login->setInitInfo(R"({"path":2,"syncnode":false,"overwrite":false})");
  ASSERT_TRUE(signedIn());
  const std::string rootA = home() + "/a/我的Quorva/";
  UserData paths;
  paths.setUserID(a.userid);
  EXPECT_EQ(LastSyncdb(paths.getmountdb()).getsyncpath(a.userid), rootA);
  paths.setUserID(b.userid);
  LastSyncdb mountB(paths.getmountdb());
  EXPECT_EQ(mountB.getsyncpath(b.userid), rootB);
  EXPECT_EQ(mountB.getsyncpath(a.userid), "");
  EXPECT_EQ(app().settingsdb()->getuser(), a.username) << "the stored account is the new one";
}

TEST_F(ShellTest, ALoginThreadTellsTheLoginPageWhatWentWrong) {
  struct Case {
    const char* name;
    std::function<void(const Account&, const std::string& root)> spoil;
    std::string page;  // the gLoginResult text, empty when nothing is shown
  } cases[] = {
      {"refused password",
       [&](const Account& a, const std::string& root) { storeAccount({a.username, "wrong", a.userid}, root); },
       R"({"type" : "login","error" : 102,"message" : "您输入帐号或密码错误 请重新输入"})"},
      {"stored folder deleted",
       [&](const Account& a, const std::string& root) {
         storeAccount(a, root);
         plat::removeTree(root);
       },
       R"({"type" : "login","error" : 0,"message" : " "})"},
      {"the service fails without an OAuth error",
       [&](const Account& a, const std::string& root) {
         storeAccount(a, root);
         cloud().hook("POST", "fault",
                      Value(Dictionary{{"kind", Value("error")}, {"status", Value(503)}, {"body", Value("")},
                                       {"path", Value("/oauth/token")}}));
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Account a = newUser();
    const std::string root = home() + "/" + std::to_string(a.userid) + "/我的Quorva/";
    c.spoil(a, root);
    const size_t pagesBefore = ui->count("page", "gLoginResult");
    launch();
    ASSERT_TRUE(app().bAuto());
    ASSERT_TRUE(until([&] { return !app().bLogining(); }));
    EXPECT_FALSE(app().bLogin());
    if (c.page.empty()) {
      EXPECT_EQ(ui->count("page", "gLoginResult"), pagesBefore) << "an automatic login without a service error is silent";
    } else {
      EXPECT_EQ(ui->count("page", "gLoginResult(\"" + c.page + "\")"), 1u);
    }
    stopApp();
  }
}

TEST_F(ShellTest, TwoLoginTriggersCloseTogetherSendOneTokenRequest) {
  const Account a = newUser();
  storeAccount(a, home() + "/sync/我的Quorva/");
  network->up = false;  // no login at start-up
  launch();
  ASSERT_TRUE(app().bAuto());
  EXPECT_FALSE(app().bLogining());
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("stall")}, {"seconds", Value(2)}, {"path", Value("/oauth/token")}})));
  const int64_t since = cloud().lastSeq();
  app().startLogin(false);
  bool second = true;
  std::thread other([&] { second = app().onLogin(); });
  other.join();
  app().startLogin(false);
  EXPECT_FALSE(second) << "a login thread that finds one running ends at once";
  ASSERT_TRUE(until([&] { return signedIn(); }));
  EXPECT_EQ(recorded(since, "/oauth/token", "grant_type=password"), 1u);
}

// The end comes while a login is still talking to the service: the end
// cancels it and waits for its thread; no thread is left.
TEST_F(ShellTest, EndingDuringALoginCancelsItAndLeavesNoThread) {
  const Account a = newUser();
  storeAccount(a, home() + "/sync/我的Quorva/");
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("stall")}, {"seconds", Value(2)}, {"path", Value("/get_myinfo")}})));
  launch();
  ASSERT_TRUE(app().bLogining());
  app().terminate();
  EXPECT_FALSE(app().bLogining());
  EXPECT_FALSE(app().bLogin()) << "the end cancels the login rather than wait for a service that may never answer";
  EXPECT_EQ(app().sync(), nullptr);
  const auto names = threadNames();
  for (const char* t : {"sync.run", "sync.runcheck", "downloadrun", "uploadrun", "login", "MyTimer", "engines.stop",
                        "httprun", "udprun", "iconrun"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), t), 0) << t;
  }
}

// The periodic jobs over 1801 passes of one second each: the Part's
// arithmetic of the stamps, checked by what the steps did.
TEST_F(ShellTest, ThePeriodicJobsKeepTheirSchedule) {
  const Account a = newUser();
  storeAccount(a, home() + "/sync/我的Quorva/");
  const int64_t dateline = static_cast<int64_t>(std::time(nullptr)) - (2 * 3600 + 5 * 60 + 10);
  ASSERT_TRUE(cloud().hook("POST", "message",
                           Value(Dictionary{{"username", Value(a.username)},
                                            {"render_text", Value("共享了文件夹")},
                                            {"member_name", Value("小王")},
                                            {"type", Value(7)},
                                            {"dateline", Value(static_cast<long long>(dateline))}})));
  launch(true);
  firstPass();
  ASSERT_TRUE(until([&] { return signedIn(); }));
  // The first poll (at completion) told the message.
  EXPECT_EQ(ui->count("notice", "小王共享了文件夹\n 2小时5分前"), 1u);
  EXPECT_EQ(app().updateCount(), 1);
  // The user joins a team meanwhile: the account refresh brings it in.
  const std::string team = "团队" + std::to_string(a.userid);
  ASSERT_TRUE(cloud().hook("POST", "org", Value(Dictionary{{"name", Value(team)}})));
  ASSERT_TRUE(cloud().hook("POST", "member", Value(Dictionary{{"org", Value(team)}, {"username", Value(a.username)}})));
  EXPECT_EQ(app().userdata()->orgName(), "");
  const int64_t since = cloud().lastSeq();
  app().setSynccount(-7);

  ASSERT_NO_FATAL_FAILURE(passes(1801));
  const MyTimer::Counts c = app().mytimer()->counts();
  EXPECT_EQ(c.passes, 1802);
  // Message polls reset the stamp at 31, 62, ..., 1798: 58 polls; the sync
  // count runs from 2 s and the network check from 3 s after each.
  EXPECT_EQ(c.messages, 58);
  EXPECT_EQ(c.syncCount, 58 * 30 + 2);
  EXPECT_EQ(c.network, 58 * 29 + 1);
  EXPECT_EQ(c.account, 5);  // 301, 602, 903, 1204, 1505
  EXPECT_EQ(c.update, 1);   // 1801
  EXPECT_EQ(c.renewals, 0);
  EXPECT_EQ(c.logins, 0);
  EXPECT_EQ(app().synccount(), 0) << "the count came from the sync database";

  // What the steps asked of the service: the polls with the newest
  // dateline (the background refresh of the whole list asks with 0), and
  // the account information.
  EXPECT_EQ(recorded(since, "/client_updates", "&dateline=" + std::to_string(dateline)), 58u);
  EXPECT_EQ(recorded(since, "/get_myinfo"), 5u);
  EXPECT_EQ(app().userdata()->orgName(), team);
  EXPECT_GE(app().userdata()->orgID(), 1);
  EXPECT_EQ(ui->count("notice"), 1u) << "no new message, no notice";

  // A click on the message's notice opens the launch pad on its notices.
  ui->clickNotice("7");
  ASSERT_TRUE(until([&] { return app().launchpadWindowController() != nullptr; }));
  EXPECT_EQ(app().launchpadWindowController()->tab(), "notices");
  EXPECT_TRUE(app().launchpadWindowController()->window()->isVisible());
  const auto posted = ui->postedNotices();
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted[0].context, std::optional<std::string>("7"));
}

TEST_F(ShellTest, TheNetworkComingBackRenewsTheTokenOnce) {
  const Account a = newUser();
  storeAccount(a, home() + "/sync/我的Quorva/");
  launch(true);
  firstPass();
  ASSERT_TRUE(until([&] { return signedIn(); }));
  ASSERT_NO_FATAL_FAILURE(passes(3));  // the first network check: up, nothing to tell
  EXPECT_EQ(ui->count("notice", "网络"), 0u);

  network->up = false;
  ASSERT_NO_FATAL_FAILURE(passes(3));
  EXPECT_FALSE(app().bLink());
  EXPECT_EQ(ui->count("notice", "网络已断开连接，请检查网络！"), 1u) << "one notice per outage";

  const std::string before = app().userdata()->userToken();
  const int64_t since = cloud().lastSeq();
  network->up = true;
  ASSERT_NO_FATAL_FAILURE(passes(1));
  EXPECT_TRUE(app().bLink());
  EXPECT_EQ(ui->count("notice", "网络已连接！"), 1u);
  EXPECT_EQ(recorded(since, "/oauth/token", "grant_type=refresh_token"), 1u);
  EXPECT_NE(app().userdata()->userToken(), before);
  ASSERT_NO_FATAL_FAILURE(passes(5));
  EXPECT_EQ(recorded(since, "/oauth/token"), 1u);
  EXPECT_EQ(app().mytimer()->counts().renewals, 1);
  EXPECT_TRUE(app().bLogin());
}

// Signed out with automatic login wanted: the network's return starts the
// login that the stored name and password allow.
TEST_F(ShellTest, TheNetworkComingBackStartsTheLoginTheStoredNameAllows) {
  const Account a = newUser();
  storeAccount(a, home() + "/sync/我的Quorva/");
  network->up = false;
  launch(true);
  firstPass();
  ASSERT_TRUE(app().bAuto());
  ASSERT_FALSE(app().bLogining());
  ASSERT_NO_FATAL_FAILURE(passes(3));
  struct Case {
    std::string name, password;
    const char* request;  // what reaches the service, if anything
  } cases[] = {
      {"who@example.test", "", nullptr},
      {"akey", "a password", nullptr},
      {"unknownkey", "", "/check_oauth"},
      {a.username, a.password, "/oauth/token"},
  };
  auto ud = app().userdata();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ud->setUserName(c.name);
    ud->setUserPassword(c.password);
    app().setBAuto(true);
    const int64_t since = cloud().lastSeq();
    const int64_t logins = app().mytimer()->counts().logins;
    network->up = true;
    ASSERT_NO_FATAL_FAILURE(passes(1));
    ASSERT_TRUE(until([&] { return !app().bLogining(); }));
    EXPECT_EQ(app().mytimer()->counts().logins - logins, c.request ? 1 : 0);
    EXPECT_EQ(recorded(since, "/oauth/token") + recorded(since, "/check_oauth"), c.request ? 1u : 0u);
    if (c.request) {
      EXPECT_EQ(recorded(since, c.request), 1u);
    }
    network->up = false;
    ASSERT_NO_FATAL_FAILURE(passes(1));
  }
  ASSERT_TRUE(until([&] { return signedIn(); }));
}

// A refresh token the service refuses: the logout stops everything in
// order, never waiting on the main thread for an engine, and no engine
// thread is left.
TEST_F(ShellTest, ATokenThatCannotBeRenewedStopsEverythingInOrder) {
  const Account a = newUser();
  storeAccount(a, home() + "/sync/我的Quorva/");
  launch(true);
  firstPass();
  ASSERT_TRUE(until([&] { return signedIn(); }));
  auto sync = app().sync();
  const std::vector<std::string> engineThreads{"sync.run", "sync.runcheck", "downloadrun", "uploadrun",
                                               "httprun",  "udprun",        "iconrun"};
  {
    const auto names = threadNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "sync.run"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "httprun"), 1);
  }
  network->up = false;
  ASSERT_NO_FATAL_FAILURE(passes(3));
  ASSERT_TRUE(cloud().hook("POST", "expire", Value(Dictionary{{"username", Value(a.username)}, {"refresh", Value(true)}})));

  plat::LogCapture log;
  network->up = true;
  ASSERT_NO_FATAL_FAILURE(passes(1));
  ASSERT_TRUE(until([&] { return !app().bLogin(); }));
  EXPECT_FALSE(app().bAuto()) << "no automatic login after a refused renewal";
  const auto lines = log.lines();
  const size_t closed = indexOf(lines, "logout: mount database closed");
  const size_t lan = indexOf(lines, "logout: LAN service told to end");
  const size_t stopped = indexOf(lines, "logout: sync engine stopped");
  const size_t told = indexOf(lines, "logout: transfer engine told to end");
  ASSERT_LT(told, lines.size());
  EXPECT_LT(closed, lan);
  EXPECT_LT(lan, stopped);
  EXPECT_LT(stopped, told);
  ASSERT_TRUE(until([&] { return ui->count("page", "\"error\" : 102") > 0; }));
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "login","error" : 102)"), 1u);

  ASSERT_TRUE(app().waitForStoppedEngines(120));
  const auto names = threadNames();
  for (const auto& t : engineThreads) EXPECT_EQ(std::count(names.begin(), names.end(), t), 0) << t;
  EXPECT_EQ(std::count(names.begin(), names.end(), "engines.stop"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "login"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "MyTimer"), 1) << "the periodic jobs live as long as the process";
  EXPECT_EQ(app().sync(), sync) << "the stopped engine stays until the next completion";
  EXPECT_FALSE(sync->bStart());
  EXPECT_TRUE(sync->bOut());

  // The user signs in again in the login window, keeping the folder: a new
  // engine replaces the stopped one.
  auto login = app().loginWebWindowController();
  ASSERT_TRUE(login);
  ASSERT_TRUE(login->onBtnLoginUserNameAndPW(jsonLogin(a.username, a.password)));
  login->setInitInfo(R"({"path":0,"syncnode":false,"overwrite":false})");
  EXPECT_TRUE(signedIn());
  EXPECT_NE(app().sync(), sync);
  EXPECT_EQ(app().sync()->syncparent(), home() + "/sync/我的Quorva/");
}

// The logout the user chooses, for each answer of its question.
TEST_F(ShellTest, TheUsersLogoutClearsTheStoredAccount) {
  struct Case {
    int answer;
    bool out, folderKept;
  } cases[] = {
      {plat::kAlertFirstButtonReturn, true, true},       // 保留
      {plat::kAlertFirstButtonReturn + 1, true, false},  // 删除
      {plat::kAlertFirstButtonReturn + 2, false, true},  // 取消
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    ui = plat::HeadlessToolkit::make();
    plat::Toolkit::setCurrent(ui);
    plat::setLauncher(ui->launcher());
    const Account a = newUser();
    const std::string root = home() + "/" + std::to_string(a.userid) + "/我的Quorva/";
    storeAccount(a, root);
    Util::addfoldertofavorite(root);
    AppDelegate::LaunchOptions o;
    o.relaunchArguments = {"--headless", "--server", cloud().url()};
    launch(false, o);
    ASSERT_TRUE(until([&] { return signedIn(); }));
    app().setBRemove(false);
    const std::string mountpath = app().userdata()->getmountpath();
    ASSERT_TRUE(Util::isdir(mountpath));

    ui->answerNextAlert(c.answer);
    app().onBtnLogoutClicked();
    EXPECT_EQ(ui->count("alert", "注销帐号时,是否保留用户所有记录的文件"), 1u);
    auto settings = SettingsDb::initpath(app().userdata()->getsetting());
    if (!c.out) {
      EXPECT_FALSE(app().terminating());
      EXPECT_TRUE(app().bLogin());
      EXPECT_EQ(settings->getuser(), a.username);
      EXPECT_EQ(AccountSecrets::password(*settings, a.username), a.password);
      EXPECT_TRUE(isFavourite(root));
      stopApp();
      continue;
    }
    EXPECT_TRUE(app().terminating());
    EXPECT_EQ(settings->getuser(), "");
    EXPECT_EQ(AccountSecrets::password(*settings, a.username), "");
    EXPECT_FALSE(isFavourite(root));
    EXPECT_EQ(Util::isdir(mountpath), c.folderKept);
    EXPECT_EQ(app().bRemove(), !c.folderKept);
    EXPECT_EQ(ui->count("launch", Util::applicationPath() + " --headless --server " + cloud().url()), 1u);
    EXPECT_TRUE(Util::isdir(root + "个人的文件")) << "the synced files stay on disk";
    stopApp();
  }
}

// The old layout kept team folders inside the sync folder; the first
// completion moves it under "我的Quorva" (or "我的Quorva(1)" beside an
// existing one): the personal files whole, the team folders apart.
TEST_F(ShellTest, TheOldFolderLayoutMovesOnceIntoTheNewOne) {
  struct Case {
    bool team;
  } cases[] = {{true}, {false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.team ? "team" : "no team");
    Dictionary extra;
    const std::string org = "T" + std::to_string(::getpid()) + (c.team ? "a" : "b");
    if (c.team) extra.set("org", Value(org));
    const Account a = newUser(extra);
    if (c.team) {
      ASSERT_TRUE(cloud().hook("POST", "team_folder", Value(Dictionary{{"org", Value(org)}, {"name", Value("资料")}})));
    }
    const std::string parent = home() + "/old" + (c.team ? "a" : "b");
    const std::string old = parent + "/Quorva";
    ASSERT_TRUE(plat::makeDirectories(old + "/资料"));
    ASSERT_TRUE(plat::makeDirectories(parent + "/我的Quorva"));  // taken: the new root is "(1)"
    ASSERT_TRUE(plat::atomicWrite(old + "/mine.txt", "personal"));
    ASSERT_TRUE(plat::atomicWrite(old + "/资料/team.txt", "team"));
    storeAccount(a, old, 0);

    launch();
    ASSERT_TRUE(until([&] { return signedIn(); }));
    const std::string root = parent + "/我的Quorva(1)/";
    EXPECT_EQ(app().tempsyncpath(), root);
    EXPECT_EQ(plat::readFile(root + "个人的文件/mine.txt"), std::optional<std::string>("personal"));
    if (c.team) {
      EXPECT_EQ(plat::readFile(root + "团队的文件/资料/team.txt"), std::optional<std::string>("team"));
      EXPECT_FALSE(Util::existfile(root + "个人的文件/资料/team.txt"));
    } else {
      EXPECT_EQ(plat::readFile(root + "个人的文件/资料/team.txt"), std::optional<std::string>("team"));
    }
    EXPECT_FALSE(Util::existfile(old));
    auto mountdb = app().lastsyncdb();
    EXPECT_EQ(mountdb->getsyncpath(a.userid), root);
    EXPECT_EQ(mountdb->getchangeold(), 1);
    EXPECT_TRUE(isFavourite(root));
    stopApp();
  }
}

// The team folders can't be listed: the migration fails, the user stays
// signed out with a notice, and the next attempt finds the same new root.
TEST_F(ShellTest, AMigrationThatCannotListTheTeamFoldersLeavesTheUserSignedOut) {
  const std::string org = "T" + std::to_string(::getpid()) + "c";
  const Account a = newUser({{"org", Value(org)}});
  const std::string old = home() + "/oldc/Quorva";
  ASSERT_TRUE(plat::makeDirectories(old));
  ASSERT_TRUE(plat::atomicWrite(old + "/mine.txt", "personal"));
  storeAccount(a, old, 0);
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("error")}, {"status", Value(500)}, {"method", Value("LIST")},
                                            {"count", Value(3)}})));
  const int64_t since = cloud().lastSeq();
  launch();
  ASSERT_TRUE(until([&] { return !app().bLogining(); }));
  EXPECT_FALSE(app().bLogin());
  EXPECT_EQ(app().sync(), nullptr) << "no engine for a failed migration";
  EXPECT_EQ(ui->count("notice", "升级数据失败,请重启软件"), 1u);
  // The update service ("/interface/") is asked at every start.
  EXPECT_EQ(recorded(since, "/") - recorded(since, "/interface/"),
            recorded(since, "/oauth/") + recorded(since, "/get_myinfo") + 3)
      << "three listings and nothing else of the file API";
  auto mountdb = app().lastsyncdb();
  EXPECT_EQ(mountdb->getchangeold(), 0);
  EXPECT_EQ(mountdb->gettemppath(), home() + "/oldc/我的Quorva/");
  EXPECT_EQ(mountdb->getsyncpath(a.userid), old);
  EXPECT_EQ(plat::readFile(old + "/mine.txt"), std::optional<std::string>("personal")) << "nothing moved";
  // Signed out without a window would leave the user nothing to act on.
  ASSERT_TRUE(until([&] { return ui->count("page", "升级数据失败,请重启软件") > 0; }));
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "login","error" : 102,"message" : "升级数据失败,请重启软件"}"))"), 1u);
  ASSERT_TRUE(app().loginWebWindowController());
  EXPECT_TRUE(app().loginWebWindowController()->window()->isVisible());
}

// A completion through the login window that can't start: no sync folder
// (the page asks for the stored one, and none is stored), or an old layout
// that can't be migrated. The user stays signed out, so the window stays,
// with the reason, and nothing is stored or started.
TEST_F(ShellTest, ALoginWindowCompletionThatCannotStartKeepsTheWindowWithTheReason) {
  const std::string org = "T" + std::to_string(::getpid()) + "w";
  const Account a = newUser({{"org", Value(org)}});
  struct Case {
    const char* name;
    bool oldLayout;
    const char* result;
  } cases[] = {
      {"no folder", false, R"(gLoginResult("{"type" : "login","error" : 0,"message" : "初始化设置信息失败！"}"))"},
      {"failed migration", true, R"(gLoginResult("{"type" : "login","error" : 102,"message" : "升级数据失败,请重启软件"}"))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string old = home() + "/oldw/Quorva";
    if (c.oldLayout) {
      ASSERT_TRUE(plat::makeDirectories(old));
      storeAccount(a, old, 0);
      AccountSecrets::clear(*SettingsDb::initpath(UserData().getsetting()));  // the window signs in
      ASSERT_TRUE(cloud().hook("POST", "fault",
                               Value(Dictionary{{"kind", Value("error")}, {"status", Value(500)}, {"method", Value("LIST")},
                                                {"count", Value(3)}})));
    }
    launch();
    auto login = app().loginWebWindowController();
    ASSERT_TRUE(login);
    ASSERT_TRUE(login->onBtnLoginUserNameAndPW(jsonLogin(a.username, a.password)));
    // The page asks for the stored folder first (gCheckLastPath), unless it skips that.
    if (c.oldLayout) {
      EXPECT_TRUE(app().onCheckLastPage());
    }
    const size_t before = ui->count("page", c.result);
    login->setInitInfo(R"({"path":0,"syncnode":false,"overwrite":false})");
    EXPECT_FALSE(app().bLogin());
    EXPECT_EQ(app().sync(), nullptr);
    EXPECT_TRUE(login->window()->isVisible());
    EXPECT_EQ(ui->count("page", c.result), before + 1);
    EXPECT_EQ(LastSyncdb(app().userdata()->getmountdb()).getsyncpath(a.userid), c.oldLayout ? old : "");
    EXPECT_EQ(SettingsDb::initpath(app().userdata()->getsetting())->getuser(), "") << "no account stored";
    stopApp();
  }
}

}  // namespace
}  // namespace shelltest
