// The parts of the application shell that need no service: the status
// item's faces, the notices, the stored account's password, the message
// age texts, the login page's results and the folder helpers of login
// completion.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/core/AccountSecrets.h"
#include "app/shell/AppDelegate.h"
#include "app/windows/LoginWebWindowController.h"
#include "app/shell/ManageStatusController.h"
#include "app/shell/NotificationCenter.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/credential_storage.h"
#include "platform/system/system_test_util.h"
#include "platform/ui/headless/headless_toolkit.h"

namespace {

using Face = ManageStatusController::Face;
using State = ManageStatusController::State;

// The engines below reach the shell's object, already made when main starts.
TEST(AppDelegate, TheServicesTheEnginesReachAreTheShellsObject) {
  AppServices& services = Util::getAppDelegate();
  EXPECT_EQ(&services, static_cast<AppServices*>(&AppDelegate::shared()));
  EXPECT_NE(dynamic_cast<AppDelegate*>(&services), nullptr);
}

TEST(ManageStatusController, TheFlagsPickTheFaceFirstMatchFirst) {
  struct Case {
    State s;
    std::string icon, overlay, count;
    std::optional<std::string> title, image;
  } cases[] = {
      // no network wins over everything
      {{false, true, true, false, 5, 0, false}, "blueStatusNoneIcon", "", " ", "网路已断开！", "btnPopNotLink"},
      {{false, true, true, true, 5, 2, false}, "statusNoneIcon", "", "2", "网路已断开！", "btnPopNotLink"},
      {{true, false, true, false, 5, 0, false}, "blueStatusNoneIcon", "blueStatusSyncing", " ", "   正在登陆...", {}},
      {{true, true, false, false, 5, 0, false}, "blueSstatusStopIcon", "", " ", "暂停同步中", "btnPopSyncStop"},
      {{true, true, false, true, 0, 0, false}, "statusStopIcon", "", " ", "暂停同步中", "btnPopSyncStop"},
      {{true, true, true, false, 0, 12, false}, "blueStatusFinishIcon", "", "12", "已同步完", "btnPopSyncFinish"},
      {{true, true, true, true, 0, 0, true}, "statusFinishIcon", "", " ", "已同步完", "btnPopSyncFinish"},
      {{true, true, true, false, 3, 0, false}, "blueStatusSyncBg", "blueStatusSyncing", " ", {}, {}},
      {{true, true, true, true, 3, 0, false}, "statusSyncBg", "bgTranSyncing", " ", {}, {}},
  };
  for (const auto& c : cases) {
    const Face f = ManageStatusController::faceFor(c.s);
    SCOPED_TRACE(c.icon + " " + c.title.value_or("-"));
    EXPECT_EQ(f.look.icon, c.icon);
    EXPECT_EQ(f.look.overlay, c.overlay);
    EXPECT_EQ(f.look.countText, c.count);
    EXPECT_EQ(f.look.highlighted, c.s.panelOpen);
    EXPECT_EQ(f.title, c.title);
    EXPECT_EQ(f.image, c.image);
  }
}

class WithToolkit : public ::testing::Test {
protected:
  static void SetUpTestSuite() { plat::MainThread::setCurrentThreadAsMain(); }
  void SetUp() override {
    ui = plat::HeadlessToolkit::make();
    plat::Toolkit::setCurrent(ui);
  }
  void TearDown() override { plat::Toolkit::setCurrent(nullptr); }
  std::shared_ptr<plat::HeadlessToolkit> ui;
};

// The item redraws by itself; opening the panel marks the messages read.
TEST_F(WithToolkit, TheStatusItemShowsTheApplicationsStateAndItsPanelReadsTheMessages) {
  AppDelegate app;
  app.setBLink(true);
  app.setBLogin(true);
  app.setBSyncStart(true);
  app.setSynccount(4);
  app.setUpdateCount(3);
  auto status = ManageStatusController::make(app);
  EXPECT_EQ(ui->count("status", "blueStatusSyncBg +blueStatusSyncing [3]"), 1u);
  app.setSynccount(0);
  ASSERT_TRUE(plat::HeadlessToolkit::runUntil([&] { return ui->count("status", "blueStatusFinishIcon") > 0; }, 30));
  status->setSyncFileCount(9);
  ui->clickStatusItem();
  EXPECT_TRUE(status->hasActivePanel());
  EXPECT_EQ(app.updateCount(), 0);
  EXPECT_EQ(ui->statusLook()->countText, " ");
  EXPECT_TRUE(ui->statusLook()->highlighted);
  ui->clickStatusItem();
  EXPECT_FALSE(ui->statusLook()->highlighted);
  // A count while syncing titles the panel's button.
  app.setSynccount(9);
  status->setSyncFileCount(8);
  ASSERT_TRUE(plat::HeadlessToolkit::runUntil(
      [&] { return status->syncButtonTitle() == std::optional<std::string>("   正在同步8个文件"); }, 30));
}

TEST_F(WithToolkit, EveryNoticeGoesOutUnderOneNameAndOnlyMessagesOpenTheirTab) {
  auto& center = NotificationCenter::shareCenter();
  int opened = 0;
  center.setScheduleGrowlUserNotification([&] { ++opened; });
  center.setGrowlNotificationDescripation("网络已连接！", std::nullopt);
  center.setGrowlNotificationDescripation("小王共享了文件夹\n 刚刚", std::string("7"));
  const auto posted = ui->postedNotices();
  ASSERT_EQ(posted.size(), 2u);
  for (const auto& n : posted) {
    EXPECT_EQ(n.title, "Quorva科技");
    EXPECT_EQ(n.name, "FireWire Device Disconnected");
    EXPECT_EQ(n.identifier, "com.quorva");
    EXPECT_EQ(n.priority, 0);
    EXPECT_FALSE(n.sticky);
  }
  EXPECT_EQ(posted[0].context, std::nullopt);
  EXPECT_EQ(posted[1].context, std::optional<std::string>("7"));
  ui->clickNotice("");
  EXPECT_EQ(opened, 0) << "a notice without context does nothing";
  ui->clickNotice("7");
  EXPECT_EQ(opened, 1);

  // Without a desktop the notice is dropped, quietly.
  plat::Toolkit::setCurrent(nullptr);
  center.setGrowlNotificationDescripation("dropped", std::nullopt);
  EXPECT_EQ(ui->postedNotices().size(), 2u);
  center.setScheduleGrowlUserNotification(nullptr);

  const plat::Dictionary reg = center.registrationDictionaryForGrowl();
  EXPECT_EQ(reg["ApplicationName"].string(), "quorva");
  EXPECT_EQ(reg["AllNotifications"].array().size(), 19u);
  const auto& defaults = reg["DefaultNotifications"].array();
  EXPECT_EQ(defaults.size(), 17u);
  EXPECT_EQ(std::count(defaults.begin(), defaults.end(), plat::Value("Sync started")), 0);
  EXPECT_EQ(std::count(defaults.begin(), defaults.end(), plat::Value("FireWire Device Disconnected")), 1);
}

// A result that comes before the page has loaded waits for it, and is shown
// once; the text is formed exactly, nothing escaped.
TEST_F(WithToolkit, TheLoginPageGetsEachResultOnceAfterItHasLoaded) {
  auto window = ui->makeWindow({"LoginWebWindowController", "Quorva", {400, 560}});
  auto view = ui->makeWebView();
  window->setContent(view);
  LoginWebWindowController login(window);
  login.setInfoArray({plat::Value("login"), plat::Value(102), plat::Value("用户信息获取失败")});
  EXPECT_EQ(ui->count("page", "gLoginResult"), 0u);
  login.awakeFromNib("/cfg");
  EXPECT_EQ(ui->count("page", "load file:///cfg/UI/start/chs/login.html"), 1u);
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "login","error" : 102,"message" : "用户信息获取失败"}"))"), 1u);
  EXPECT_FALSE(login.infoArray());
  login.onJudgeDealArray();
  EXPECT_EQ(ui->count("page", "gLoginResult"), 1u);
  login.setInfoArray({plat::Value("weblogin"), plat::Value(0), plat::Value(" ")});
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "weblogin","error" : 0,"message" : " "}"))"), 1u);
  EXPECT_NE(login.getOauthKey(), "");
  const std::string first = login.strWebLoginkey();
  EXPECT_EQ(first.size(), 40u);
  // Two keys made at different moments differ.
  ui->runUntil([] { return false; }, 0.01);
  EXPECT_NE(login.getOauthKey(), first);
  EXPECT_FALSE(login.onBtnLoginUserNameAndPW("not json"));
}

class StoredAccount : public ::testing::Test {
protected:
  void SetUp() override {
    store = std::make_shared<plat::FileCredentialStorage>(home.path() + "/.local/share/Quorva/credentials");
    plat::CredentialStorage::setShared(store);
    plat::makeDirectories(home.path() + "/.quorvacfg");
    settings = SettingsDb::initpath(home.path() + "/.quorvacfg/settings.db");
  }
  void TearDown() override { plat::CredentialStorage::setShared(nullptr); }
  plat::testing::TempHome home;
  std::shared_ptr<plat::FileCredentialStorage> store;
  std::shared_ptr<SettingsDb> settings;
};

TEST_F(StoredAccount, ThePasswordLivesInThePrivateStoreNotInTheSettingsFile) {
  AccountSecrets::store(*settings, "u@example.test", "p&ss word", 5, "/s/我的Quorva/");
  EXPECT_EQ(settings->getuser(), "u@example.test");
  EXPECT_EQ(settings->getpassword(), "");
  EXPECT_EQ(settings->getsyncpath(), "/s/我的Quorva/");
  EXPECT_EQ(AccountSecrets::password(*settings, "u@example.test"), "p&ss word");
  EXPECT_EQ(AccountSecrets::password(*settings, "other@example.test"), "") << "only the stored name's password";
  struct stat st {};
  ASSERT_EQ(::stat(store->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto text = plat::readFile(home.path() + "/.quorvacfg/settings.db");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find("p&ss word"), std::string::npos);

  // A web-login key has no password: nothing stays in the store.
  AccountSecrets::store(*settings, "akey", "", 5, "/s/我的Quorva/");
  EXPECT_FALSE(store->defaultCredential({"com.quorva.account", 0, "", "account", false}));
  AccountSecrets::store(*settings, "u@example.test", "again", 5, "/s/");
  AccountSecrets::clear(*settings);
  EXPECT_EQ(settings->getuser(), "");
  EXPECT_EQ(AccountSecrets::password(*settings, "u@example.test"), "");
}

TEST_F(StoredAccount, AnOlderSettingsFileHandsItsPasswordOver) {
  settings->setuserinfo("u@example.test", "old secret", 0, "/s/");
  EXPECT_EQ(AccountSecrets::password(*settings, "u@example.test"), "old secret");
  EXPECT_EQ(settings->getpassword(), "") << "the column is emptied once the store has it";
  EXPECT_EQ(AccountSecrets::password(*settings, "u@example.test"), "old secret");
}

TEST_F(StoredAccount, APasswordTheStoreRefusesStaysInTheOwnerOnlySettingsFile) {
  // The store's folder can't be made: a file is in the way.
  ASSERT_TRUE(plat::atomicWrite(home.path() + "/blocked", "x"));
  plat::CredentialStorage::setShared(std::make_shared<plat::FileCredentialStorage>(home.path() + "/blocked/credentials"));
  AccountSecrets::store(*settings, "u@example.test", "kept", 0, "/s/");
  EXPECT_EQ(settings->getpassword(), "kept");
  EXPECT_EQ(AccountSecrets::password(*settings, "u@example.test"), "kept");
}

TEST(AppDelegateMessages, TheAgeOfAMessageReadsInHoursMinutesOrJustNow) {
  struct Case {
    int64_t seconds;
    std::string text;
  } cases[] = {{0, "刚刚"},         {59, "刚刚"},         {60, "1分前"},          {61, "1分前"},
               {3599, "59分前"},    {3600, "1小时0分前"}, {7500, "2小时5分前"},   {-7500, "2小时5分前"},
               {-30, "刚刚"},        {90061, "25小时1分前"}};
  const int64_t now = 1704103200;
  for (const auto& c : cases) EXPECT_EQ(AppDelegate::messageAge(now, now - c.seconds), c.text) << c.seconds;
}

TEST(AppDelegateFolders, ANewRootNeverTakesAnExistingName) {
  plat::testing::TempHome home;
  const std::string p = home.path();
  EXPECT_EQ(AppDelegate::getmountname(p, "我的Quorva"), p + "/我的Quorva");
  ASSERT_TRUE(plat::makeDirectories(p + "/我的Quorva"));
  EXPECT_EQ(AppDelegate::getmountname(p + "/", "我的Quorva"), p + "/我的Quorva(1)");
  ASSERT_TRUE(plat::atomicWrite(p + "/我的Quorva(1)", "a file takes the name too"));
  EXPECT_EQ(AppDelegate::getmountname(p, "我的Quorva"), p + "/我的Quorva(2)");
}

// Entries move where they can; where the destination already holds one
// (a move refuses to replace) they are copied over it, folders merged.
TEST(AppDelegateFolders, ATreeArrivesWholeWhetherItsEntriesMoveOrAreCopied) {
  plat::testing::TempHome home;
  const std::string from = home.path() + "/from", to = home.path() + "/to";
  ASSERT_TRUE(plat::makeDirectories(from + "/a/b"));
  ASSERT_TRUE(plat::atomicWrite(from + "/one.txt", "1"));
  ASSERT_TRUE(plat::atomicWrite(from + "/a/b/two.txt", "22"));
  ASSERT_TRUE(plat::makeDirectories(from + "/empty"));
  ASSERT_TRUE(plat::makeDirectories(to + "/a"));
  ASSERT_TRUE(plat::atomicWrite(to + "/one.txt", "old"));
  ASSERT_TRUE(plat::atomicWrite(to + "/a/kept.txt", "k"));
  EXPECT_TRUE(AppDelegate::copyfile(from, to));
  EXPECT_EQ(plat::readFile(to + "/a/kept.txt"), std::optional<std::string>("k"));
  EXPECT_EQ(plat::readFile(to + "/one.txt"), std::optional<std::string>("1"));
  EXPECT_EQ(plat::readFile(to + "/a/b/two.txt"), std::optional<std::string>("22"));
  EXPECT_TRUE(plat::isDirectory(to + "/empty"));
  EXPECT_TRUE(AppDelegate::copyfile(home.path() + "/missing", home.path() + "/nowhere")) << "nothing to copy";
  EXPECT_FALSE(plat::fileExists(home.path() + "/nowhere"));
}

}  // namespace
