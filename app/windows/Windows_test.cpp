// The transfer list, the settings window and the two progress dialogs on the
// headless toolkit, in a signed-in application against devcloud: what each
// shows follows the transfer engine, the settings database, the flags and
// the move's notifications.
#include <gtest/gtest.h>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "app/windows/LookTransWindowController.h"
#include "app/windows/ProgressDialogs.h"
#include "app/core/ProxySecrets.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/windows/SettingWindowController.h"
#include "app/trans/TransManager.h"
#include "app/windows/window_test_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/net/proxy_settings.h"
#include "platform/system/autostart.h"
#include "tests/support/test_proxy.h"

namespace shelltest {
namespace {

// ---- Texts of the transfer list ----

TEST(TransListTexts, SpeedsAndProgress) {
  struct Case {
    uint64_t speed;
    const char* text;
  } speeds[] = {{0, "0.00 K/S"},           {1536, "1.50 K/S"},         {1048575, "1024.00 K/S"},
                {1048576, "1024.00 K/S"},  {1048577, "1.00 M/S"},      {5 * 1048576 + 524288, "5.50 M/S"}};
  for (const auto& c : speeds) EXPECT_EQ(LookTransWindowController::GetSpeed(c.speed), c.text) << c.speed;
  struct P {
    double progress;
    const char* text;
  } progress[] = {{0, "0%"}, {0.5, "50%"}, {0.999, "99%"}, {1, "100%"}};
  for (const auto& c : progress) EXPECT_EQ(LookTransWindowController::progressText(c.progress), c.text);
}

class TransListTest : public WindowTest {
protected:
  std::shared_ptr<LookTransWindowController> open() {
    auto c = app().getLookTransWindowController();
    return c;
  }
  // Runs one refresh to its display step.
  bool refresh(LookTransWindowController& c) {
    const int64_t before = c.reloads();
    c.reloadTableView();
    return until([&] { return c.reloads() > before; }, 30);
  }
  static std::string header(const LookTransWindowController& c) { return c.form()->text("lblSyncCount"); }
};

TEST_F(TransListTest, TheHeaderFollowsTheNetworkThePauseAndTheCount) {
  const Account a = newUser();
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  ASSERT_TRUE(until([&] { return app().trans() != nullptr; }));
  auto c = open();
  auto& f = *c->form();
  EXPECT_TRUE(f.rotating("imageSync")) << "turns while it loads";
  EXPECT_EQ(header(*c), "加载中...");

  app().setBLink(true);
  app().setBSyncStart(true);
  app().setSynccount(0);
  ASSERT_TRUE(refresh(*c));
  EXPECT_EQ(header(*c), "已同步完");
  EXPECT_EQ(f.image("imageSync"), "bgTranSyncFinish.tiff");
  EXPECT_FALSE(f.rotating("imageSync"));
  EXPECT_TRUE(f.visible("lblAlert"));
  for (const char* id : {"lblDownSpeed", "lblUpSpeed", "imageDownload", "imageUpload"}) EXPECT_FALSE(f.visible(id));

  app().setSynccount(7);
  ASSERT_TRUE(refresh(*c));
  EXPECT_EQ(header(*c), "正在同步7个文件");
  EXPECT_FALSE(f.visible("lblAlert"));
  EXPECT_TRUE(f.rotating("imageSync"));
  for (const char* id : {"lblDownSpeed", "lblUpSpeed", "imageDownload", "imageUpload"}) EXPECT_TRUE(f.visible(id));
  EXPECT_EQ(f.text("lblDownSpeed").rfind("下载速度:", 0), 0u);
  EXPECT_EQ(f.text("lblUpSpeed").rfind("上传速度:", 0), 0u);

  // Down or paused: the header says so at once and the table is left alone.
  struct Case {
    bool link, start;
    const char* text;
    const char* image;
  } cases[] = {{false, true, "网络已断开", "btnPopNotLink.tiff"}, {true, false, "暂停同步中", "bgTranSyncStop.tiff"}};
  for (const auto& k : cases) {
    app().setBLink(k.link);
    app().setBSyncStart(k.start);
    const int64_t before = c->reloads();
    c->reloadTableView();
    EXPECT_EQ(header(*c), k.text);
    EXPECT_EQ(f.image("imageSync"), k.image);
    EXPECT_FALSE(f.rotating("imageSync"));
    until([] { return false; }, 0.3);
    EXPECT_EQ(c->reloads(), before) << k.text;
  }
  app().setBLink(true);
  app().setBSyncStart(true);
}

TEST_F(TransListTest, RowsFollowARealUploadAndDownload) {
  const Account a = newUser();
  // A file of the account whose download the service holds part-way.
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/content/")},
                                            {"after", Value(int64_t(256 * 1024))}, {"seconds", Value(4)},
                                            {"count", Value(2)}})));
  ASSERT_TRUE(cloud().hook(
      "POST", "files",
      Value(Dictionary{{"username", Value(a.username)},
                       {"files", Value(plat::Array{Value(Dictionary{{"path", Value("下载的")},
                                                                    {"size", Value(int64_t(2 * 1024 * 1024))}})})}})));
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  auto c = open();
  const std::string personal = syncRoot() + "个人的文件/";
  auto rowOf = [&](const std::string& name) -> std::optional<size_t> {
    for (size_t r = 0; r < c->numberOfRowsInTableView(); ++r) {
      if (c->viewForTableColumn("TransFileName", r)->text == name) return r;
    }
    return std::nullopt;
  };
  app().setSynccount(1);
  ASSERT_TRUE(until([&] { return refresh(*c) && rowOf("下载的"); }, 120));
  size_t r = *rowOf("下载的");
  EXPECT_EQ(c->viewForTableColumn("TransType", r)->text, "下载");
  EXPECT_EQ(c->viewForTableColumn("TransFileName", r)->fileIcon, "") << "a name without extension has no icon";
  EXPECT_EQ(c->viewForTableColumn("TransFileSize", r)->text, Util::convertFileUnitSize(2 * 1024 * 1024));
  const std::string progress = c->viewForTableColumn("TransProgress", r)->text;
  EXPECT_EQ(progress.back(), '%');
  EXPECT_LT(std::stoi(progress), 100);
  EXPECT_EQ(header(*c), "正在同步1个文件");
  ASSERT_TRUE(cloud().hook("DELETE", "faults"));
  ASSERT_TRUE(until([&] { return plat::fileSize(personal + "下载的").value_or(0) == 2u * 1024 * 1024; }, 120));
  ASSERT_TRUE(until([&] { return refresh(*c) && !rowOf("下载的"); }, 120));

  // An upload whose finish the service holds.
  const Value finish(Dictionary{{"point", Value("upload_finish")}});
  ASSERT_TRUE(cloud().hook("POST", "hold", finish));
  const std::string sent(3 * 1024 * 1024 + 17, 'u');
  ASSERT_TRUE(plat::atomicWrite(personal + "上传的.bin", sent));
  ASSERT_TRUE(until([&] { return refresh(*c) && rowOf("上传的.bin"); }, 120));
  r = *rowOf("上传的.bin");
  EXPECT_EQ(c->viewForTableColumn("TransType", r)->text, "上传");
  EXPECT_EQ(c->viewForTableColumn("TransFileName", r)->fileIcon, "上传的.bin");
  EXPECT_EQ(c->viewForTableColumn("TransFileSize", r)->text, Util::convertFileUnitSize(sent.size()));
  EXPECT_EQ(c->form()->rows("transTableView")[r][1].text, "上传的.bin");
  ASSERT_TRUE(cloud().hook("POST", "release", finish));
  ASSERT_TRUE(until([&] { return refresh(*c) && !rowOf("上传的.bin"); }, 120));
  EXPECT_THROW(c->viewForTableColumn("Other", 0), plat::Exception);
}

TEST_F(TransListTest, EachOpeningIsANewControllerAndOnlyItsOwnWindowStopsIt) {
  const Account a = newUser();
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  auto first = open();
  std::weak_ptr<LookTransWindowController> gone = first;
  EXPECT_EQ(open(), first) << "open: the same window";
  // Another window's closing leaves the list refreshing.
  auto settings = app().getSettingWindowController();
  settings->close();
  EXPECT_TRUE(first->bShow());
  ASSERT_TRUE(refresh(*first));
  first->close();
  EXPECT_FALSE(first->bShow());
  first.reset();
  EXPECT_TRUE(until([&] { return gone.expired(); })) << "the application lets go of it";
  auto second = open();
  EXPECT_TRUE(second->bShow());
  EXPECT_EQ(second->reloads(), 0) << "a new controller";
  EXPECT_EQ(ui->window("LookTransWindowController")->form(), second->form());
}

TEST_F(TransListTest, TheLogDrawerShowsTheBoundedLogAndCopiesIt) {
  const Account a = newUser();
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  auto c = open();
  auto& f = *c->form();
  QVLog& log = QVLog::sharedQVLog();
  for (int i = 0; i < 3000; ++i) log.addLogNormalFile("file" + std::to_string(i), "上传成功:");
  log.flush();
  EXPECT_FALSE(f.visible("logTextView"));
  ASSERT_TRUE(f.click("btnLog"));
  EXPECT_TRUE(f.visible("logTextView"));
  EXPECT_EQ(f.text("btnLog"), "收起日志");
  EXPECT_FALSE(f.editable("logTextView"));
  EXPECT_EQ(f.lineCount("logTextView"), QVLog::kMaxLines);
  EXPECT_NE(f.logText("logTextView").find("上传成功:file2999\n"), std::string::npos);
  EXPECT_EQ(f.logText("logTextView").find("上传成功:file2499\n"), std::string::npos);

  // Newer lines come in at the next refresh; the view stays at the bound.
  for (int i = 0; i < 700; ++i) log.addLogErrorFile("late" + std::to_string(i), "失败:");
  log.flush();
  ASSERT_TRUE(refresh(*c));
  EXPECT_EQ(f.lineCount("logTextView"), QVLog::kMaxLines);
  EXPECT_NE(f.logText("logTextView").find("失败:late699\n"), std::string::npos);
  EXPECT_EQ(f.control("logTextView").lines.back().color, (plat::Color{1, 0, 0, 1}));

  ASSERT_TRUE(f.click("btnCopyLog"));
  ASSERT_TRUE(until([&] { return !ui->clipboardText().empty(); }));
  EXPECT_EQ(ui->clipboardText(), f.logText("logTextView"));

  // Cleared, the next line still shows.
  ASSERT_TRUE(f.click("btnClearLog"));
  EXPECT_EQ(f.lineCount("logTextView"), 0u);
  EXPECT_TRUE(log.arrLogData().empty());
  log.addLogNormalFile("after", "下载成功:");
  log.flush();
  ASSERT_TRUE(refresh(*c));
  EXPECT_EQ(f.lineCount("logTextView"), 1u);
  EXPECT_NE(f.logText("logTextView").find("下载成功:after"), std::string::npos);

  ASSERT_TRUE(f.click("btnLog"));
  EXPECT_FALSE(f.visible("logTextView"));
  EXPECT_EQ(f.text("btnLog"), "详细日志");
  EXPECT_EQ(c->drawerWillResizeContents({400, 0}, {400, 160}), (plat::Size{400, 160}));
  EXPECT_FALSE(c->drawerShouldClose()) << "dragged shut: refused";
  c->close();
  EXPECT_EQ(log.logCount(), 0) << "the next window shows the log from its first line";
}

// ---- The settings window ----

class SettingsWindowTest : public WindowTest {
protected:
  std::shared_ptr<SettingWindowController> open() { return app().getSettingWindowController(); }
  std::shared_ptr<SettingsDb> db() { return app().settingsdb(); }
  // A new user signed in, the window open on its account page.
  std::shared_ptr<SettingWindowController> openAccountPage(const Account& a) {
    launch(true);
    signIn(a);
    if (::testing::Test::HasFatalFailure()) return nullptr;
    auto c = open();
    EXPECT_TRUE(c->form()->click("matSettingType.1"));
    return c;
  }
};

TEST_F(SettingsWindowTest, EverySwitchIsStoredAtOnceAndSetsItsFlag) {
  const Account a = newUser();
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  auto c = open();
  auto& f = *c->form();
  struct Case {
    const char* id;
    std::function<bool()> stored;
    std::function<bool()> flag;  // null: the switch sets none
  } cases[] = {
      {"btnBasePrompt", [&] { return db()->getprompt(); }, nullptr},
      {"btnBaseAutoRun", [&] { return db()->getautorun(); }, nullptr},
      {"btnBaseBlack", [&] { return db()->getblacktray(); }, [] { return app().bBlacktray(); }},
      {"btnBaseLocal", [&] { return db()->getlocal(); }, [] { return app().bLocal(); }},
      {"btnBaseHttps", [&] { return db()->gethttps(); }, [] { return app().bHttps(); }},
      {"btnBaseRecycbin", [&] { return db()->getdelete2recyclebin(); }, [] { return app().bRecyclebin(); }},
      {"btnBaseMenu", [&] { return db()->getrightbar(); }, [] { return app().bLockMsg(); }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.id);
    EXPECT_EQ(f.checked(k.id), k.stored()) << "filled from the database";
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(f.click(k.id));
      const bool now = f.checked(k.id);
      // Read back from a second connection to the file.
      auto fresh = SettingsDb::initpath(app().userdata()->getsetting());
      EXPECT_EQ(k.stored(), now);
      if (k.flag) {
        EXPECT_EQ(k.flag(), now);
      }
      if (std::string(k.id) == "btnBaseAutoRun") {
        EXPECT_EQ(fresh->getautorun(), now);
        EXPECT_EQ(Util::findAppAsLoginItem(), now) << "the login item";
      }
    }
  }
  app().setBHttps(false);
}

TEST_F(SettingsWindowTest, BeforeLoginTheAccountButtonsAreOffAndThePagesSwitch) {
  launch(true);  // no stored account: nobody signed in
  auto c = open();
  auto& f = *c->form();
  EXPECT_EQ(f.text("txtSetUserName"), "");
  EXPECT_FALSE(f.enabled("btnSetUserLogout"));
  EXPECT_FALSE(f.enabled("btnSetUserMove"));
  EXPECT_FALSE(f.enabled("btnSetUserSelect"));
  EXPECT_EQ(f.text("txtSetUserComputer"), UserData::getcomputer());
  EXPECT_EQ(f.currentPage(), SettingWindowController::kBaseView);
  ASSERT_TRUE(f.click("matSettingType.1"));
  EXPECT_EQ(f.currentPage(), SettingWindowController::kUserView);
  EXPECT_FALSE(f.click("btnSetUserMove")) << "disabled";
  c->onLoginJumpSettingAgentView();
  EXPECT_EQ(f.currentPage(), SettingWindowController::kAgentView);
  EXPECT_NE(f.textColor("matSettingType.2"), f.textColor("matSettingType.0")) << "the chosen cell stands out";
  // Nothing set: host, port, the box, user and password all off.
  for (const char* id : {"txtSetAgentIp", "txtSetAgentPort", "btnSetAgentNeedUser", "txtSetAgentUserName",
                         "txtSetAgentPassword"}) {
    EXPECT_FALSE(f.enabled(id)) << id;
  }
  ASSERT_TRUE(f.choose("comSetAgentType", 2));
  EXPECT_TRUE(f.enabled("txtSetAgentIp"));
  EXPECT_FALSE(f.enabled("txtSetAgentUserName"));
  ASSERT_TRUE(f.click("btnSetAgentNeedUser"));
  EXPECT_TRUE(f.enabled("txtSetAgentUserName"));
  EXPECT_TRUE(f.enabled("txtSetAgentPassword"));
}

TEST_F(SettingsWindowTest, TheProxyPageStoresWhatItShouldAndRefusesWhatCannotWork) {
  const Account a = newUser();
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  struct Case {
    const char* name;
    int type;
    std::string host, port;
    bool needuser;
    std::string user, password;
    const char* refusal;  // null: stored
    int64_t storedType;
    std::string storedHost;
    int64_t storedPort;
    std::string storedUser, storedPassword;
  } cases[] = {
      {"http with user", 1, "127.0.0.1", "3128", true, "bob", "s3cret pw", nullptr, 1, "127.0.0.1", 3128, "bob",
       "s3cret pw"},
      {"http, box off", 1, "proxy.example.test", "8080", false, "ignored", "ignored", nullptr, 1,
       "proxy.example.test", 8080, "", ""},
      {"none clears", 0, "left.example.test", "99", true, "x", "y", nullptr, 0, "", 0, "", ""},
      {"empty host", 1, "", "8080", false, "", "", "请输入正确的代理服务器地址！", 0, "", 0, "", ""},
      {"port zero", 2, "h.example.test", "0", false, "", "", "代理端口必须是1到65535之间的数字！", 0, "", 0, "", ""},
      {"port too big", 2, "h.example.test", "65536", false, "", "", "代理端口必须是1到65535之间的数字！", 0, "", 0, "", ""},
      {"port text", 1, "h.example.test", "80x", false, "", "", "代理端口必须是1到65535之间的数字！", 0, "", 0, "", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto c = open();
    auto& f = *c->form();
    c->onLoginJumpSettingAgentView();
    ASSERT_TRUE(f.choose("comSetAgentType", k.type));
    if (k.type != 0) {
      f.type("txtSetAgentIp", k.host);
      f.type("txtSetAgentPort", k.port);
      if (f.checked("btnSetAgentNeedUser") != k.needuser) f.click("btnSetAgentNeedUser");
      if (k.needuser) {
        f.type("txtSetAgentUserName", k.user);
        f.type("txtSetAgentPassword", k.password);
      }
    }
    const size_t alerts = ui->alerts().size();
    ASSERT_TRUE(f.click("btnAgentEnter"));
    if (k.refusal) {
      ASSERT_EQ(ui->alerts().size(), alerts + 1);
      EXPECT_EQ(ui->alerts().back().text, k.refusal);
      EXPECT_EQ(ui->alerts().back().parent, c->window()) << "a sheet of the settings window";
      EXPECT_FALSE(c->window()->isClosed()) << "the page stays for a correction";
      c->close();
    } else {
      EXPECT_TRUE(c->window()->isClosed());
    }
    auto fresh = SettingsDb::initpath(app().userdata()->getsetting());
    EXPECT_EQ(fresh->getagenttype(), k.storedType);
    EXPECT_EQ(fresh->getagentip(), k.storedHost);
    EXPECT_EQ(fresh->getagentport(), k.storedPort);
    EXPECT_EQ(fresh->getagentuser(), k.storedUser);
    EXPECT_EQ(fresh->getagentpassword(), "") << "the password is never in the settings file";
    EXPECT_EQ(ProxySecrets::password(*fresh), k.storedPassword);
    if (!k.storedPassword.empty()) {
      std::string file;
      ASSERT_TRUE(plat::readFile(app().userdata()->getsetting()).has_value());
      file = *plat::readFile(app().userdata()->getsetting());
      EXPECT_EQ(file.find(k.storedPassword), std::string::npos);
      // The page shows it again when opened anew.
      auto again = open();
      EXPECT_EQ(again->form()->text("txtSetAgentPassword"), k.storedPassword);
      EXPECT_TRUE(again->form()->checked("btnSetAgentNeedUser"));
      again->close();
    }
  }
  plat::setApplicationProxySettings(std::nullopt);
}

TEST_F(SettingsWindowTest, ASavedProxyCarriesTheRequestsOfTheHTTPLayer) {
  const Account a = newUser();
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  qvtest::TestProxy::Options o;
  o.requireUser = "proxyuser";
  o.requirePassword = "proxy pw";
  qvtest::TestProxy proxy(o);
  auto c = open();
  auto& f = *c->form();
  c->onLoginJumpSettingAgentView();
  ASSERT_TRUE(f.choose("comSetAgentType", 1));
  f.type("txtSetAgentIp", "127.0.0.1");
  f.type("txtSetAgentPort", std::to_string(proxy.port()));
  f.click("btnSetAgentNeedUser");
  f.type("txtSetAgentUserName", "proxyuser");
  f.type("txtSetAgentPassword", "proxy pw");
  ASSERT_TRUE(f.click("btnAgentEnter"));

  // The HTTP library's request, and a service call.
  auto request = HCHTTPRequest::requestWithURL(*plat::URL::parse(cloud().url() + "/"));
  request->startSynchronous();
  EXPECT_GT(request->responseStatusCode(), 0);
  auto log = proxy.log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().rfind("GET http://" + cloud().hostPort() + "/", 0), 0u) << log.back();
  RetUserInfo info = HTTPEngine::userinfo(app().userdata()->userToken());
  EXPECT_EQ(info.status, 200);
  EXPECT_GT(proxy.log().size(), log.size()) << "the service call went through the proxy too";

  // Back to no proxy: the requests go direct again.
  auto again = open();
  again->onLoginJumpSettingAgentView();
  ASSERT_TRUE(again->form()->choose("comSetAgentType", 0));
  ASSERT_TRUE(again->form()->click("btnAgentEnter"));
  const size_t seen = proxy.log().size();
  EXPECT_EQ(HTTPEngine::userinfo(app().userdata()->userToken()).status, 200);
  EXPECT_EQ(proxy.log().size(), seen);
  EXPECT_FALSE(plat::applicationProxySettings());
}

// Posts the move's progress as the move task does, from the task queue's
// thread: the settings window's part of the move is what is tested here.
class MoveReport : public plat::Operation {
public:
  explicit MoveReport(std::vector<std::string> steps) : steps_(std::move(steps)) {}
  void main() override {
    for (const auto& s : steps_) plat::NotificationCenter::defaultCenter().post("MoveFileNotification", plat::Value(s));
  }

private:
  std::vector<std::string> steps_;
};

TEST_F(SettingsWindowTest, AMoveIsRefusedWhereItCannotWorkAndItsDialogFollowsTheTask) {
  const Account a = newUser();
  auto c = openAccountPage(a);
  ASSERT_TRUE(c);
  auto& f = *c->form();
  EXPECT_EQ(f.text("txtSetUserName"), app().settingsdb()->getname());
  EXPECT_EQ(c->pathControlURL(), fileURL(app().sync()->syncparent()));
  EXPECT_EQ(f.text("selPathControl"), app().sync()->syncparent());
  std::string old = app().sync()->syncparent();
  old.pop_back();
  plat::makeDirectories(home() + "/elsewhere", 0755);
  struct Refusal {
    std::optional<std::string> chosen;
    const char* text;
  } refusals[] = {
      {std::nullopt, "请选择移动目录！"},
      {home() + "/sync", "请选择移动目录！"},
      {old + "/个人的文件", "不能选择当前目录的子目录进行移动！"},
      {home() + "/missing", "你选择目录不存在，请重新选择！"},
  };
  for (const auto& r : refusals) {
    if (r.chosen) {
      ui->answerNextFolderChoice(*r.chosen);
      ASSERT_TRUE(f.click("btnSelPath"));
    }
    ASSERT_TRUE(f.click("btnSetUserMove"));
    ASSERT_FALSE(ui->alerts().empty());
    EXPECT_EQ(ui->alerts().back().text, r.text);
    EXPECT_EQ(ui->alerts().back().buttons, std::vector<std::string>{"我知道了"});
  }

  // Confirmed: the dialog follows the percent the task posts; one end only.
  std::vector<std::string> asked;
  SettingWindowController::setMoveTaskMaker([&](const std::string& root) {
    asked.push_back(root);
    return std::make_shared<MoveReport>(std::vector<std::string>{"42"});
  });
  ui->answerNextFolderChoice(home() + "/elsewhere");
  ASSERT_TRUE(f.click("btnSelPath"));
  ui->answerNextAlert(plat::kAlertFirstButtonReturn);
  ASSERT_TRUE(f.click("btnSetUserMove"));
  EXPECT_EQ(ui->alerts().back().text,
            plat::format("你确定把文件从目录：%@ 移动到 %@ 目录下吗？", old, home() + "/elsewhere"));
  EXPECT_EQ(asked, std::vector<std::string>{home() + "/elsewhere/我的Quorva"});
  auto dialog = c->progressController();
  ASSERT_TRUE(dialog);
  EXPECT_TRUE(dialog->window()->isVisible());
  EXPECT_EQ(std::dynamic_pointer_cast<plat::HeadlessWindow>(dialog->window())->parent(), c->window());
  ASSERT_TRUE(until([&] { return dialog->strProgress() == "42%"; }));
  EXPECT_EQ(dialog->moveProgressIndicator(), 42);
  // The dialog's button hides it; the move goes on.
  ASSERT_TRUE(dialog->form()->click("btnCancel"));
  EXPECT_FALSE(dialog->window()->isVisible());
  EXPECT_FALSE(c->isMoved());
  const size_t alerts = ui->alerts().size();
  plat::NotificationCenter::defaultCenter().post("MoveFileNotification", plat::Value("-5"));
  ASSERT_TRUE(until([&] { return dialog->strProgress() == "-5%"; }));
  EXPECT_EQ(dialog->moveProgressIndicator(), 0) << "a negative percent shows as none";
  std::thread([] {
    plat::NotificationCenter::defaultCenter().post("MoveFileNotification", plat::Value("100"));
    plat::NotificationCenter::defaultCenter().post("MoveFileNotification", plat::Value("100"));
  }).join();
  ASSERT_TRUE(until([&] { return c->isMoved(); }));
  until([] { return false; }, 0.3);
  EXPECT_EQ(ui->alerts().size(), alerts + 1) << "a repeated 100 shows no second alert";
  EXPECT_EQ(ui->alerts().back().text, "恭喜你移动文件成功！");
  EXPECT_FALSE(c->progressController());
  EXPECT_EQ(dialog->strProgress(), "0.0");
  EXPECT_EQ(dialog->moveProgressIndicator(), 0);

  // A move that fails, and one with nothing to run it.
  struct Failure {
    std::vector<std::string> steps;
    bool maker;
  } failures[] = {{{"10", "-1"}, true}, {{}, false}};
  for (const auto& k : failures) {
    if (k.maker) {
      SettingWindowController::setMoveTaskMaker(
          [&](const std::string&) { return std::make_shared<MoveReport>(k.steps); });
    } else {
      SettingWindowController::setMoveTaskMaker(nullptr);
    }
    ui->answerNextAlert(plat::kAlertFirstButtonReturn);
    ASSERT_TRUE(f.click("btnSetUserMove"));
    ASSERT_TRUE(until([&] { return c->isMoved(); }));
    EXPECT_EQ(ui->alerts().back().text, "移动文件失败，请重试！");
  }

  // A window closed during a move stops listening with it.
  SettingWindowController::setMoveTaskMaker(
      [&](const std::string&) { return std::make_shared<MoveReport>(std::vector<std::string>{}); });
  ui->answerNextAlert(plat::kAlertFirstButtonReturn);
  ASSERT_TRUE(f.click("btnSetUserMove"));
  std::weak_ptr<SettingWindowController> weak = c;
  c->close();
  c.reset();
  EXPECT_TRUE(until([&] { return weak.expired(); }));
  const size_t before = ui->alerts().size();
  plat::NotificationCenter::defaultCenter().post("MoveFileNotification", plat::Value("100"));
  until([] { return false; }, 0.3);
  EXPECT_EQ(ui->alerts().size(), before);
  SettingWindowController::setMoveTaskMaker(nullptr);
}

TEST_F(SettingsWindowTest, LogoutCancelChangesNothingAndThePlugInRepairSaysWhenThereIsNone) {
  const Account a = newUser();
  auto c = openAccountPage(a);
  ASSERT_TRUE(c);
  auto& f = *c->form();
  EXPECT_TRUE(f.enabled("btnSetUserLogout"));
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 2);
  ASSERT_TRUE(f.click("btnSetUserLogout"));
  EXPECT_EQ(ui->alerts().back().buttons, (std::vector<std::string>{"保留", "删除", "取消"}));
  EXPECT_EQ(ui->alerts().back().parent, c->window());
  EXPECT_FALSE(app().terminating());
  EXPECT_TRUE(app().bLogin());
  EXPECT_EQ(app().settingsdb()->getuser(), a.username);
  EXPECT_EQ(ui->count("launch"), 0u);

  SettingWindowController::setPluginRepair({});
  ASSERT_TRUE(f.click("btnResetPlugin"));
  EXPECT_EQ(ui->alerts().back().text, "文件管理器插件未安装，无法修复。");
  int repairs = 0;
  SettingWindowController::setPluginRepair({[] { return true; }, [&] { return ++repairs, false; }});
  const size_t alerts = ui->alerts().size();
  ASSERT_TRUE(f.click("btnResetPlugin"));
  EXPECT_EQ(repairs, 1);
  EXPECT_EQ(ui->alerts().size(), alerts) << "a failed repair shows nothing";
  EXPECT_FALSE(app().terminating());
  SettingWindowController::setPluginRepair({});
}

TEST_F(SettingsWindowTest, SelectiveSyncCancelledLeavesTheListAndConfirmedStoresIt) {
  const Account a = newUser();
  ASSERT_TRUE(cloud().hook("POST", "files",
                           Value(Dictionary{{"username", Value(a.username)},
                                            {"folders", Value(plat::Array{Value("甲"), Value("乙")})},
                                            {"files", Value(plat::Array{})}})));
  auto c = openAccountPage(a);
  ASSERT_TRUE(c);
  auto& f = *c->form();
  auto stored = [&] { return app().sync()->syncdb()->get_unsync_nodes("").size(); };
  const size_t before = stored();
  // The same choice, cancelled and then confirmed (which also has the plug-in redraw).
  const struct {
    const char* button;
    size_t stored;
    bool redraw;
  } answers[] = {{"取消", before, false}, {"确定", before + 1, true}};
  for (const auto& answer : answers) {
    app().setBRemove(false);
    ui->onNextModal([&](const std::shared_ptr<plat::HeadlessWindow>& w) {
      auto list = w->checkList();
      ASSERT_TRUE(until([&] { return list->find("甲") < list->rows().size(); }));
      list->clickCheck(list->find("甲"));
      w->clickButton(answer.button);
    });
    ASSERT_TRUE(f.click("btnSetUserSelect"));
    EXPECT_EQ(stored(), answer.stored) << answer.button;
    if (answer.redraw) {
      EXPECT_TRUE(app().bRemove());
    }
  }
}

TEST_F(SettingsWindowTest, OurPagesOpenBothWindowsThroughTheBridge) {
  const Account a = newUser();
  launch(true);
  ASSERT_NO_FATAL_FAILURE(signIn(a));
  auto pad = app().onMenuOpenQuorvaClicked();
  auto view = viewOf(*pad);
  ASSERT_TRUE(view);
  view->script("gShowTrans", {});
  view->script("gShowSettings", {});
  auto trans = ui->window("LookTransWindowController");
  auto settings = ui->window("SettingWindowController");
  ASSERT_TRUE(trans && settings);
  EXPECT_TRUE(trans->isVisible());
  EXPECT_TRUE(settings->isVisible());
  ASSERT_TRUE(settings->form());
  EXPECT_EQ(settings->form()->text("txtSetUserName"), app().settingsdb()->getname()) << "filled when shown";
  EXPECT_EQ(trans->topLeft(), Util::getWindowDisplayOriginPoint(trans->size()));
}

TEST(ProgressDialogs, TheUpdateDialogShowsWhatItsOwnerSets) {
  auto ui = plat::HeadlessToolkit::make();
  plat::Toolkit::setCurrent(ui);
  auto d = AppUpdateWindowController::make();
  d->setAppVersion("1.0.3");
  d->setSerVersion("1.1.0");
  for (long percent : {0L, 42L, 100L}) {
    d->setDownloadProgress(plat::format("%ld%%", percent));
    d->setAppProgress(static_cast<double>(percent));
    EXPECT_EQ(d->form()->text("downloadProgress"), std::to_string(percent) + "%");
    EXPECT_EQ(d->appProgress(), percent);
  }
  EXPECT_EQ(d->form()->text("lblAppVersion"), "当前版本:1.0.3");
  EXPECT_EQ(d->form()->text("lblSerVersion"), "最新版本:1.1.0");
  plat::Toolkit::setCurrent(nullptr);
}

}  // namespace
}  // namespace shelltest
