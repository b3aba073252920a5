// The page bridge headless, against devcloud: who may call what (the origin
// rule, decided from the address the view shows), each call's answer, the
// page's dialogs and failed loads, and the windows the calls open.
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "app/windows/LoginWebWindowController.h"
#include "app/windows/PlainWebWindow.h"
#include "app/windows/QVWebViewDelegate.h"
#include "app/core/SettingsDb.h"
#include "app/core/Util.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/format.h"
#include "app/windows/WebWindows.h"
#include "app/shell/MyTimer.h"
#include "app/windows/window_test_util.h"

namespace shelltest {
namespace {

using Trust = QVWebViewDelegate::Trust;

// The calls that only read and give nothing secret away: the service's own
// pages may make these, and only these.
const std::set<std::string> kReadOnly = {"gClearUpdateCount", "gSiteDomain", "gUserInfo", "gGetMessage",
                                         "gGetUnsyncNodes",   "gRestHost",   "gApiHost",  "gOAuthHost"};
const char* const kEveryName[] = {
    "gCompare",    "gClearUpdateCount", "gOpenPath",      "gCheckEmpty",     "gOpenPathWithSelect", "gOpenUrl",
    "gSiteDomain", "gClose",            "gSetClipboardData", "gMain",        "gUserInfo",           "gGetMessage",
    "gLaunchpad",  "gFavorite",         "gLock",          "gSetFileStatus",  "gLogin",              "gLoginByKey",
    "gSettings",   "gCheckLastPath",    "gNormalPath",    "gBindPath",       "gSelectSyncPath",     "gShowArrow",
    "gStart",      "gSoleMain",         "gOAuthKey",      "gLogoff",         "gGetToken",           "gGetUnsyncNodes",
    "gSetUnsyncNodes", "gGetClientInfo", "gSetClientInfo", "gSetLinkPaths",  "gGetLinkPaths",       "gRemoveLinkPaths",
    "gGetAuthorization", "gOpenDiskPath", "gChildMain",   "gCheckLinkPath",  "gMoveBindPath",       "gMailTo",
    "gSelectPath", "gRestHost",         "gApiHost",       "gOAuthHost",      "gShowSettings",       "gShowTrans",
    "gOpenqvp"};

class BridgeTest : public WindowTest {};

TEST_F(BridgeTest, TheNameTableGivesTheServicesPagesOnlyTheReadingCalls) {
  for (const char* name : kEveryName) {
    auto need = QVWebViewDelegate::trustNeeded(name);
    ASSERT_TRUE(need) << name << " is callable";
    EXPECT_EQ(*need, kReadOnly.count(name) ? Trust::kService : Trust::kOwn) << name;
  }
  // Named but not callable, and everything that is no call of the table.
  for (const char* name : {"gClearCache", "gShellSelect", "call", "constructor", "returnLoginResult",
                           "onCheckWebPageInfo", "set_bWindowsCloes", "window.open", ""}) {
    EXPECT_FALSE(QVWebViewDelegate::trustNeeded(name)) << name;
  }
}

TEST_F(BridgeTest, WhereThePageComesFromIsJudgedFromTheAddressAtEachCall) {
  const Account a = newUser();
  signIn(a);
  const std::string ui = config() + "/UI";
  // A page outside the packages reached through the packages' folder.
  plat::atomicWrite(config() + "/outside.html", "<p>x</p>");
  ASSERT_EQ(::symlink(config().c_str(), (ui + "/default/chs/escape").c_str()), 0);
  const std::string site = cloud().hostPort();
  const std::string host = site.substr(0, site.find(':')), port = site.substr(site.find(':') + 1);
  struct Case {
    std::string url;
    Trust trust;
  } cases[] = {
      {fileURL(ui + "/default/chs/launchpad.html"), Trust::kOwn},
      {fileURL(ui + "/default/chs/launchpad.html") + "#recyclebin", Trust::kOwn},
      {fileURL(ui + "/start/chs/login.html") + "?x=1", Trust::kOwn},
      {"file://localhost" + plat::percentEscapePath(ui + "/start/chs/login.html"), Trust::kOwn},
      {fileURL(ui + "/default/chs/../../outside.html"), Trust::kNone},
      {fileURL(ui + "/default/chs/escape/outside.html"), Trust::kNone},
      {fileURL(ui + "/default/chs/missing.html"), Trust::kNone},
      {fileURL(config() + "/outside.html"), Trust::kNone},
      {"file://otherhost" + plat::percentEscapePath(ui + "/start/chs/login.html"), Trust::kNone},
      {"https://" + site + "/storage/file", Trust::kService},
      {"https://" + host + ":" + std::to_string(std::stoi(port) + 1) + "/", Trust::kNone},
      {"http://" + site + "/storage/file", Trust::kNone},
      {"https://" + host + ".evil.test:" + port + "/", Trust::kNone},
      {"https://evil.test/", Trust::kNone},
      {"about:blank", Trust::kNone},
      {"", Trust::kNone},
  };
  auto browser = BrowserWebWindowController::make();
  auto view = viewOf(*browser);
  const std::string token = app().userdata()->userToken();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(QVWebViewDelegate::trustOf(c.url, config()), c.trust);
    view->load(c.url);
    // A reading call for the service's pages and ours, the token for ours.
    EXPECT_EQ(view->script("gSiteDomain", {}).isNull(), c.trust == Trust::kNone);
    EXPECT_EQ(view->script("gGetToken", {}), c.trust == Trust::kOwn ? Value(token) : Value());
    const size_t opened = ui_->count("window", "show BrowserWebWindowController");
    view->script("gMain", {Value(R"({"url":"/x","width":300,"height":200})")});
    EXPECT_EQ(ui_->count("window", "show BrowserWebWindowController"), opened + (c.trust == Trust::kOwn ? 1 : 0))
        << "an act only for our own pages";
  }
  // Names outside the table answer nothing, wherever the page is.
  view->load(fileURL(ui + "/default/chs/launchpad.html"));
  EXPECT_TRUE(view->script("gClearCache", {}).isNull());
  EXPECT_TRUE(view->script("toString", {}).isNull());
  browser->close();
}

// A page that calls and then navigates to one of ours: the call is judged
// for the document that sent it, whatever the view shows when it is
// answered, and the other way round.
TEST_F(BridgeTest, ACallIsJudgedForTheDocumentThatSentItNotTheOneShownWhenItIsAnswered) {
  const Account a = newUser();
  signIn(a);
  const std::string own = fileURL(config() + "/UI/default/chs/launchpad.html");
  const std::string token = app().userdata()->userToken();
  struct Case {
    std::string sender, shown;
    bool answered;
  } cases[] = {
      {"https://evil.test/", own, false},
      {fileURL(config() + "/outside.html"), own, false},
      {own, "https://evil.test/", true},
  };
  auto browser = BrowserWebWindowController::make();
  auto view = viewOf(*browser);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sender + " then " + c.shown);
    view->load(c.shown);
    EXPECT_EQ(view->scriptFrom(c.sender, "gGetToken", {}), c.answered ? Value(token) : Value());
    const size_t opened = ui_->count("window", "show BrowserWebWindowController");
    view->scriptFrom(c.sender, "gMain", {Value(R"({"url":"/x","width":300,"height":200})")});
    EXPECT_EQ(ui_->count("window", "show BrowserWebWindowController"), opened + (c.answered ? 1 : 0));
  }
  browser->close();
  // The plain web windows' calls too.
  auto w = WindowController::initWithURL(own);
  w->showWindow();
  auto plain = viewOf(*w);
  plain->scriptFrom("https://evil.test/", "window.resize", {Value(Dictionary{{"width", Value(10)}, {"height", Value(10)}})});
  EXPECT_NE(w->window()->size(), (plat::Size{10, 10}));
  w->close();
}

TEST_F(BridgeTest, TheReadingCallsAnswerWhatTheApplicationHolds) {
  const Account a = newUser();
  signIn(a);
  auto pad = app().onMenuOpenQuorvaClicked();
  auto view = viewOf(*pad);
  auto ud = app().userdata();
  const std::string site = "http://" + cloud().hostPort();
  const std::string empty = home() + "/empty", full = home() + "/full";
  plat::makeDirectories(empty);
  plat::makeDirectories(full);
  plat::atomicWrite(full + "/f", "x");
  struct Case {
    const char* name;
    plat::Array args;
    Value answer;
  } cases[] = {
      {"gSiteDomain", {}, Value(site)},
      {"gRestHost", {}, Value(site)},
      {"gApiHost", {}, Value(site)},
      {"gOAuthHost", {}, Value(site)},
      {"gNormalPath", {}, Value(home() + "/我的Quorva/")},
      {"gGetUnsyncNodes", {}, Value("")},
      {"gGetToken", {}, Value(ud->userToken())},
      {"gUserInfo", {}, Value(ud->jsonUserinfo())},
      {"gCheckEmpty", {Value(empty)}, Value(int64_t(1))},
      {"gCheckEmpty", {Value(full)}, Value(int64_t(0))},
      {"gCheckLastPath", {}, Value(syncRoot())},
      {"gGetAuthorization", {}, Value("")},
      {"gGetAuthorization",
       {Value(R"({"ver":"get","webpath":"/A/b.txt","date":"Mon, 01 Jan 2024 10:00:00 GMT"})")},
       Value(ud->userToken() + ":" + HTTPEngine::getAuth("get", "Mon, 01 Jan 2024 10:00:00 GMT", a.mount, "/A/b.txt"))},
      {"gCheckLinkPath", {Value("")}, Value("")},
      // The login window's calls do nothing for the launch pad.
      {"gLogin", {Value(R"({"username":"x","password":"y"})")}, Value(false)},
      {"gLoginByKey", {}, Value(false)},
      {"gOAuthKey", {}, Value()},
      {"gBindPath", {}, Value()},
      {"gLock", {Value("A")}, Value()},
  };
  for (const Case& c : cases) EXPECT_EQ(view->script(c.name, c.args), c.answer) << c.name;
  // The cached messages as the message poll left them.
  ASSERT_TRUE(until([&] { return !app().jsonMsg().empty(); }));
  EXPECT_EQ(view->script("gGetMessage", {}), Value(app().jsonMsg()));

  EXPECT_EQ(view->script("gCompare", {Value("A")}), Value(int64_t(-1)));
  EXPECT_EQ(ui_->count("alert", "Mac同步客户端，不支持此功能！ [我知道了！]"), 1u);
  view->script("gSetClipboardData", {Value("复制的文字")});
  EXPECT_EQ(ui_->clipboardText(), "复制的文字");
  view->script("gMailTo", {Value(R"({"subject":"问题 1","content":"a&b"})")});
  EXPECT_EQ(ui_->count("open", "mailto:?SUBJECT=%E9%97%AE%E9%A2%98%201&BODY=a%26b"), 1u);
  view->script("gMailTo", {});
  EXPECT_EQ(ui_->count("open", "mailto:?SUBJECT=&BODY="), 1u);
  view->script("gOpenUrl", {Value(R"({"url":"https://example.test/help"})")});
  view->script("gOpenUrl", {Value(R"({"url":"file:///etc/passwd"})")});
  view->script("gOpenUrl", {Value(R"j({"url":"javascript:alert(1)"})j")});
  EXPECT_EQ(exactly("open", "https://example.test/help"), 1u);
  for (const auto& s : ui_->seen()) {
    if (s.kind != "open" || s.text.rfind("mailto:", 0) == 0 || s.text.rfind("/", 0) == 0) continue;
    EXPECT_TRUE(s.text.rfind("http://", 0) == 0 || s.text.rfind("https://", 0) == 0)
        << s.text << ": only web addresses reach the browser";
  }
}

// The launch pad's link tab: a folder that overlaps the sync folder is
// disabled, a linked folder is listed and unlinked; the sync folder is never
// moved into itself.
TEST_F(BridgeTest, TheLinkTabAnswersFromTheEngineAndARefusedMoveTouchesNothing) {
  const Account a = newUser();
  signIn(a);
  auto pad = app().onMenuOpenQuorvaClicked();
  auto view = viewOf(*pad);
  auto sync = app().sync();
  ASSERT_TRUE(sync);
  const std::string personal = sync->syncpath();
  const std::string free = home() + "/free";
  plat::makeDirectories(free);
  plat::makeDirectories(personal + "docs");
  plat::atomicWrite(personal + "docs/notes", "d");  // a name with a dot would not count
  EXPECT_EQ(view->script("gCheckLinkPath", {Value(personal + "docs")}).string(),
            Value(plat::format("{\"empty\":0,\"disabled\":1,\"path\":\"%@\"}", Util::jsonText(personal))).string());
  EXPECT_EQ(view->script("gCheckLinkPath", {Value(free)}), Value("{\"empty\":1,\"disabled\":0,\"path\":\"\"}"));
  EXPECT_EQ(view->script("gGetLinkPaths", {}), Value("{\"list\":[]}"));
  ASSERT_TRUE(sync->add_link("Cloud", free));
  EXPECT_EQ(view->script("gGetLinkPaths", {}),
            Value(plat::format("{\"list\":[{\"webpath\":\"Cloud\",\"fullpath\":\"%@\",\"type\":0}]}",
                               Util::jsonText(free + "/"))));
  view->script("gRemoveLinkPaths", {Value(R"({"list":[{"webpath":"Cloud"}]})")});
  EXPECT_EQ(view->script("gGetLinkPaths", {}), Value("{\"list\":[]}"));

  plat::atomicWrite(personal + "never uploaded.txt", "only here");
  const std::string parent = sync->syncparent();
  view->script("gMoveBindPath", {Value(personal + "inside")});
  EXPECT_EQ(sync->syncparent(), parent);
  EXPECT_EQ(plat::readFile(personal + "never uploaded.txt").value_or(""), "only here");
  EXPECT_FALSE(plat::statNoFollow(personal + "inside"));
  bool told = false, success = false;
  for (const auto& seen : ui_->seen()) {
    told = told || seen.text.find("不能移动到同步目录内") != std::string::npos;
    success = success || seen.text.find("移动目录成功") != std::string::npos;
  }
  EXPECT_TRUE(told);
  EXPECT_FALSE(success);
}

TEST_F(BridgeTest, TheClientInfoHasItsKeysInOrderAndPathsMadeSafe) {
  const Account a = newUser();
  launch();
  auto settings = app().settingsdb();
  settings->setautorun(false);
  settings->setrightbar(true);
  settings->setprompt(false);
  settings->setblacktray(true);
  settings->setlocal(false);
  settings->setdelete2recyclebin(true);
  settings->sethttps(false);
  auto login = app().loginWebWindowController();
  auto view = viewOf(*login);
  // Signed out, no user id: neither "username" nor "bindpath".
  const std::string signedOut = view->script("gGetClientInfo", {}).string();
  const std::string computer = UserData::getcomputer();
  EXPECT_EQ(signedOut, R"({"computername":")" + computer +
                           R"(","auto":"0","rightmenu":"1","prompt":"0","syncicon":"1","local":"0","recycle":"1","https":"0","configpath":")" +
                           jsonPath(config()) + R"(","version":")" + app().appversion() + R"("})");
  ASSERT_TRUE(JDDeserializing::objectFromJSONString(signedOut)) << "the answer is JSON";

  signIn(a);
  const std::string in = view->script("gGetClientInfo", {}).string();
  auto v = JDDeserializing::objectFromJSONString(in);
  ASSERT_TRUE(v) << in;
  EXPECT_EQ((*v)["username"].string(), a.username);
  EXPECT_EQ((*v)["bindpath"].string(), syncRoot());
  EXPECT_LT(in.find("\"username\""), in.find("\"bindpath\""));
  EXPECT_LT(in.find("\"bindpath\""), in.find("\"auto\""));
}

TEST_F(BridgeTest, FailedLoadsShowTheErrorPageOfTheirCodeAndFinishedOnesTheTitle) {
  launch();
  auto browser = BrowserWebWindowController::make();
  auto view = viewOf(*browser);
  const std::string pages = config() + "/UI/default/chs/";
  struct Case {
    int code;
    const char* page;  // null: the failed page stays
  } cases[] = {{plat::kWebLoadTimedOut, "error_cs.html"},
               {plat::kWebLoadCannotFindHost, "error_dw.html"},
               {plat::kWebLoadCannotConnectToHost, "error_dw.html"},
               {plat::kWebLoadNotConnectedToInternet, "error_dw.html"},
               {plat::kWebLoadBadServerResponse, "error_fm.html"},
               {plat::kWebLoadUnsupportedURL, nullptr},
               {plat::kWebLoadUnknown, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    view->failLoad("http://127.0.0.1:9/page", c.code);
    EXPECT_EQ(view->currentURL(), c.page ? fileURL(pages + c.page) : "http://127.0.0.1:9/page");
  }
  // An error page that fails is not loaded again and again.
  const size_t loads = ui_->count("page", "load ");
  view->failLoad(fileURL(pages + "error_dw.html"), plat::kWebLoadCannotConnectToHost);
  EXPECT_EQ(ui_->count("page", "load "), loads);

  view->setPageTitle("网页标题");
  view->load("https://example.test/");
  EXPECT_EQ(browser->window()->title(), "网页标题");
  EXPECT_FALSE(browser->loadingShown()) << "the loading label goes when the page is there";
  // Once the window is closed load events change nothing.
  browser->delegate()->set_bWindowsCloes(true);
  view->setPageTitle("later");
  view->failLoad("http://127.0.0.1:9/", plat::kWebLoadCannotConnectToHost);
  EXPECT_EQ(browser->window()->title(), "网页标题");
  EXPECT_EQ(view->currentURL(), "http://127.0.0.1:9/");
  browser->close();
}

TEST_F(BridgeTest, PageDialogsBecomeOurAlerts) {
  launch();
  auto login = app().loginWebWindowController();
  auto view = viewOf(*login);
  EXPECT_FALSE(view->dialog(plat::ScriptDialog::kAlert, "请先登录"));
  EXPECT_EQ(ui_->count("alert", "温馨提示: 请先登录 [我知道了] -> 我知道了"), 1u);
  ui_->answerNextAlert(plat::kAlertFirstButtonReturn);
  EXPECT_TRUE(view->dialog(plat::ScriptDialog::kConfirm, "确定离开？"));
  ui_->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
  EXPECT_FALSE(view->dialog(plat::ScriptDialog::kBeforeUnload, "确定离开？"));
  EXPECT_EQ(ui_->count("alert", "温馨提示: 确定离开？ [确定|取消]"), 2u);
}

// gSettings starts the desktop's network settings where the desktop has
// them, and says so where it has none.
TEST_F(BridgeTest, TheNetworkSettingsStartOnlyWhereTheyAreAndAreMissedAloud) {
  launch();
  auto login = app().loginWebWindowController();
  auto view = viewOf(*login);
  const std::string bin = home() + "/bin";
  ASSERT_TRUE(plat::makeDirectories(bin));
  const char* was = std::getenv("PATH");
  const std::string saved = was ? was : "";
  ::setenv("PATH", bin.c_str(), 1);
  view->script("gSettings", {});
  EXPECT_EQ(ui_->count("launch", "gnome-control-center"), 0u);
  EXPECT_EQ(ui_->count("alert", "没有找到网络设置程序 gnome-control-center。"), 1u);
  // Where the desktop has them.
  ASSERT_TRUE(plat::atomicWrite(bin + "/gnome-control-center", "#!/bin/sh\n", 0755));
  view->script("gSettings", {});
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(ui_->count("launch", bin + "/gnome-control-center network"), 1u);
  EXPECT_EQ(ui_->count("alert", "没有找到网络设置程序"), 1u) << "no second alert";
}

TEST_F(BridgeTest, MainWindowsOpenAtTheirSizeOrHandTheAddressBack) {
  launch();
  auto pad = app().onMenuOpenQuorvaClicked();
  auto view = viewOf(*pad);
  const std::string site = "http://" + cloud().hostPort();
  const size_t before = BrowserWebWindowController::openCount();
  // opentype 1: the page opens it itself.
  EXPECT_EQ(view->script("gMain", {Value(R"({"url":"/help","opentype":1})")}), Value(site + "/help"));
  EXPECT_EQ(BrowserWebWindowController::openCount(), before);
  // No size: 800 wide, 500 high under a title bar.
  EXPECT_EQ(view->script("gMain", {Value(R"({"url":"/help"})")}), Value(""));
  auto w = ui_->window("BrowserWebWindowController");
  ASSERT_TRUE(w);
  EXPECT_EQ(w->size(), (plat::Size{800, 522}));
  EXPECT_EQ(viewOf(*w)->currentURL(), site + "/help");
  // replace: the calling window goes, the new one comes.
  view->script("gSoleMain", {Value(R"({"url":"/x","width":640,"height":480,"replace":1})")});
  EXPECT_TRUE(pad->window()->isVisible()) << "gSoleMain closes nothing";
  EXPECT_EQ(ui_->window("BrowserWebWindowController")->size(), (plat::Size{640, 502}));
  view->script("gMain", {Value(R"({"url":"/y","width":300,"height":200,"replace":1})")});
  EXPECT_TRUE(pad->window()->isClosed());
  EXPECT_EQ(BrowserWebWindowController::openCount(), before + 3);
  // A child window of our own pages, attached to its parent.
  auto other = BrowserWebWindowController::make();
  other->setStrUrl(fileURL(config() + "/UI/default/chs/launchpad.html"));
  viewOf(*other)->script("gChildMain", {Value(R"({"url":"default/chs/mklink.html","width":480,"height":300})")});
  auto child = ui_->window("BrowserWebWindowController");
  EXPECT_EQ(child->parent(), other->window());
  EXPECT_EQ(child->size(), (plat::Size{480, 300 + 3 * 22}));
  EXPECT_EQ(viewOf(*child)->currentURL(), fileURL(config() + "/UI/default/chs/mklink.html"));
  viewOf(*other)->script("gChildMain", {Value(R"({"url":"../../../etc/passwd","width":1,"height":1})")});
  EXPECT_EQ(ui_->window("BrowserWebWindowController"), child) << "no page from outside the packages";
  // Closing lets the window go.
  const size_t open = BrowserWebWindowController::openCount();
  child->close();
  EXPECT_EQ(BrowserWebWindowController::openCount(), open - 1);
}

TEST_F(BridgeTest, FilesOpenOrAreShownOrAreOfferedOnTheWebOnlyInsideTheSyncFolder) {
  const Account a = newUser();
  signIn(a);
  auto pad = app().onMenuOpenQuorvaClicked();
  auto view = viewOf(*pad);
  const std::string root = syncRoot() + "个人的文件/";
  plat::makeDirectories(root + "A");
  plat::atomicWrite(root + "A/b.txt", "b");
  plat::atomicWrite(root + "A/run.sh", "echo");
  plat::atomicWrite(root + "A/app.desktop", "[Desktop Entry]");
  plat::atomicWrite(root + "A/tool", "\x7f" "ELF");
  ::chmod((root + "A/tool").c_str(), 0755);
  plat::atomicWrite(home() + "/secret.txt", "s");
  ::symlink((home() + "/secret.txt").c_str(), (root + "A/link.txt").c_str());

  view->script("gOpenPath", {Value("A/b.txt")});
  EXPECT_EQ(ui_->count("open", root + "A/b.txt"), 1u);
  for (const char* runnable : {"A/run.sh", "A/app.desktop", "A/tool"}) {
    view->script("gOpenPath", {Value(runnable)});
    EXPECT_EQ(ui_->count("reveal", root + runnable), 1u) << runnable << " is shown, not run";
    EXPECT_EQ(ui_->count("open", root + runnable), 0u) << runnable;
  }
  const size_t seen = ui_->seen().size();
  for (const char* outside : {"../../../secret.txt", "A/../../../secret.txt", "A/link.txt"}) {
    view->script("gOpenPath", {Value(outside)});
    view->script("gOpenPathWithSelect", {Value(outside)});
  }
  EXPECT_EQ(ui_->seen().size(), seen) << "a path that leads out of the sync folder does nothing";

  // A file that is not here is offered on the web site, signed in.
  ui_->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
  view->script("gOpenPath", {Value("A/missing.txt")});
  EXPECT_EQ(ui_->count("open", "/account/sso?"), 0u) << "取消 opens nothing";
  ui_->answerNextAlert(plat::kAlertFirstButtonReturn);
  view->script("gOpenPath", {Value("A/missing.txt")});
  EXPECT_EQ(ui_->count("alert", "温馨提示: 当前文件还未同步到本地,是否在网页上打开? [确定|取消]"), 2u);
  EXPECT_EQ(ui_->count("open", "http://" + cloud().hostPort() + "/account/sso?url=%2Fstorage%2Ffile%3Ffullpath%3DA%252Fmissing.txt"), 1u);

  view->script("gOpenPathWithSelect", {Value("A/b.txt")});
  EXPECT_EQ(ui_->count("reveal", root + "A/b.txt"), 1u);
  view->script("gOpenPathWithSelect", {Value("")});
  EXPECT_EQ(exactly("open", syncRoot()), 2u) << "the sync folder (once at sign-in, once now)";
  view->script("gOpenDiskPath", {Value(root + "A/run.sh")});
  EXPECT_EQ(ui_->count("reveal", root + "A/run.sh"), 2u);

  // File states: the engine's, and only inside the sync folder.
  auto mode = [](const std::string& p) { return plat::statFollow(p)->mode & 0777; };
  view->script("gSetFileStatus", {Value(R"({"webpath":"A/b.txt","dir":0,"status":1})")});
  EXPECT_EQ(mode(root + "A/b.txt"), 0444u);
  view->script("gSetFileStatus", {Value(R"({"webpath":"A/b.txt","dir":0,"status":0})")});
  EXPECT_EQ(mode(root + "A/b.txt"), 0644u);
  const mode_t before = mode(home() + "/secret.txt");
  view->script("gSetFileStatus", {Value(R"({"webpath":"../../../secret.txt","dir":0,"status":1})")});
  EXPECT_EQ(mode(home() + "/secret.txt"), before);
}

}  // namespace
}  // namespace shelltest

namespace shelltest {
namespace {

// The file manager's selection reaching the side bar.
TEST_F(BridgeTest, TheSelectionGoesToTheSideBarWithItsState) {
  const Account a = newUser();
  signIn(a);
  app().setBRightBar(true);
  app().setBLockMsg(true);
  auto s = app().sync();
  const std::string parent = syncRoot(), root = parent + "个人的文件/";
  plat::makeDirectories(root + "A");
  plat::makeDirectories(root + "X");
  plat::atomicWrite(root + "A/b.txt", "b");
  plat::atomicWrite(root + "A/l.txt", "l");
  s->setUnsyncnodes("", {{"X", 0}});
  SyncFileItem row;
  row.webpath = "A/l.txt";
  row.parent = "A";
  row.file = true;
  row.status = syncstatus::synced;
  row.lock = synclock::other;
  row.membername = "张三";
  ASSERT_TRUE(s->syncdb()->add_new_file(row));

  auto record = [&](const std::string& path) -> std::string {
    const size_t before = ui_->count("page", "gShellSelect");
    app().setSelect(path);
    auto bar = ui_->window("RightSideWindowController");
    if (!bar || ui_->count("page", "gShellSelect") == before) return "";
    auto calls = viewOf(*bar)->calls();
    return calls.back().second[0].string();
  };
  EXPECT_EQ(record(home() + "/elsewhere.txt"), "") << "outside the sync folder nothing happens";
  EXPECT_EQ(record(root + "A/b.txt"), R"({"webpath":"A\/b.txt","status":0,"membername":"","isshare":0,"local":0,"type":1})");
  EXPECT_TRUE(app().bShowRightBar()) << "the side bar opened";
  EXPECT_EQ(record(root + "X"), R"({"webpath":"X","status":6,"membername":"","isshare":0,"local":0,"type":1})");
  EXPECT_EQ(record(parent + "团队的文件"), R"({"webpath":"","status":6,"membername":"","isshare":0,"local":0,"type":3})");
  // A file another member locked: one notice, until another file comes between.
  const std::string locked = R"({"webpath":"A\/l.txt","status":3,"membername":"张三","isshare":0,"local":0,"type":1})";
  EXPECT_EQ(record(root + "A/l.txt"), locked);
  EXPECT_EQ(record(root + "A/l.txt"), locked);
  const std::string notice = "[l.txt]已经被锁定，您只能以只读方式查看。如需修改，请点击独占修改";
  EXPECT_TRUE(until([&] { return ui_->count("notice", notice) >= 1; }));
  record(root + "A/b.txt");
  record(root + "A/l.txt");
  EXPECT_TRUE(until([&] { return ui_->count("notice", notice) == 2; }));

  app().hideRightSideWindowController(false);
  EXPECT_FALSE(app().bShowRightBar());
  EXPECT_FALSE(ui_->window("RightSideWindowController")->isVisible());
  // Signed out: nothing.
  app().setBLogin(false);
  EXPECT_EQ(record(root + "A/b.txt"), "");
}

}  // namespace
}  // namespace shelltest
