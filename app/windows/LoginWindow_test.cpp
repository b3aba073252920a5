// The login window's page calls against devcloud: the first run's folder
// choice reaching the sync engine, and the web login in a plain web window.
#include "app/shell/MyTimer.h"
#include "app/windows/PlainWebWindow.h"
#include "app/sync/SyncManager.h"
#include "app/windows/window_test_util.h"

namespace shelltest {
namespace {

class LoginWindowTest : public WindowTest {};

TEST_F(LoginWindowTest, TheFirstRunsFolderChoiceReachesTheSyncEngine) {
  const Account a = newUser();
  ASSERT_TRUE(cloud().hook("POST", "files",
                           Value(Dictionary{{"username", Value(a.username)},
                                            {"folders", Value(plat::Array{Value("A"), Value("D")})},
                                            {"files", Value(plat::Array{})}})));
  launch();
  auto login = app().loginWebWindowController();
  auto page = viewOf(*login);
  ASSERT_EQ(page->script("gLogin", {Value(jsonLogin(a.username, a.password))}), Value(true));

  // The folders to sync: D left out, then a second choice cancelled.
  ui->onNextModal([&](const std::shared_ptr<plat::HeadlessWindow>& w) {
    EXPECT_EQ(w->parent(), login->window()) << "over the login window";
    auto* list = w->checkList().get();
    ASSERT_TRUE(until([&] { return list->find("D") < list->rows().size(); }));
    list->clickCheck(list->find("D"));
    ui->answerNextAlert(plat::kAlertFirstButtonReturn);
    w->clickButton("确定");
  });
  page->script("gSelectSyncPath", {Value("{}")});
  EXPECT_EQ(login->unsyncnodes(), (std::vector<UnSyncNodeItem>{{"D", 0}}));
  ui->onNextModal([&](const std::shared_ptr<plat::HeadlessWindow>& w) { w->close(); });
  page->script("gSelectSyncPath", {Value("{}")});
  EXPECT_EQ(login->unsyncnodes(), (std::vector<UnSyncNodeItem>{{"D", 0}})) << "closing keeps the earlier choice";

  ui->answerNextFolderChoice(home() + "/chosen");
  EXPECT_EQ(page->script("gBindPath", {}), Value(home() + "/chosen/我的Quorva/"));
  page->script("gStart", {Value(R"({"path":2,"syncnode":true,"overwrite":false})")});
  ASSERT_TRUE(until([&] { return signedIn(); }));
  EXPECT_EQ(app().sync()->syncparent(), home() + "/chosen/我的Quorva/");
  EXPECT_FALSE(app().sync()->unsyncnode().need_sync("D", true));
  EXPECT_TRUE(app().sync()->unsyncnode().need_sync("A", true));
}

TEST_F(LoginWindowTest, TheWebLoginRunsInAPlainWindowAndEndsWithTheKeyExchange) {
  const Account a = newUser();
  launch();
  auto login = app().loginWebWindowController();
  auto page = viewOf(*login);
  const std::string first = page->script("gOAuthKey", {}).string();
  const std::string key = page->script("gOAuthKey", {}).string();
  EXPECT_EQ(key.size(), 40u);
  EXPECT_NE(first, key) << "a new key on every call";

  const std::string site = cloud().hostPort();
  page->script("gMain", {Value(R"({"url":")" + site + "/account/weblogin?key=" + key + R"(","width":420,"height":360})")});
  auto web = login->windowController();
  ASSERT_TRUE(web);
  EXPECT_TRUE(web->window()->isVisible());
  EXPECT_EQ(web->window()->size(), (plat::Size{420, 382}));
  const std::string webLogin = config() + "/UI/WebLogin.html";
  EXPECT_EQ(viewOf(*web)->currentURL(), fileURL(webLogin));
  EXPECT_NE(plat::readFile(webLogin).value_or("").find("content=\"5;url=http://" + site + "/account/weblogin?key=" + key + "\""),
            std::string::npos);

  // The person signs in on the service's page; its last page is the end.
  ASSERT_TRUE(cloud().hook("POST", "weblogin", Value(Dictionary{{"key", Value(key)}, {"username", Value(a.username)}})));
  auto view = viewOf(*web);
  view->load("http://" + site + "/account/oauth_login/");
  EXPECT_EQ(ui->count("page", "gLoginResult"), 0u) << "the path must be exactly /account/oauth_login";
  view->load("http://" + site + "/account/oauth_login");
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "weblogin","error" : 0,"message" : " "}"))"), 1u);
  EXPECT_TRUE(web->window()->isClosed()) << "the web login window goes before the result";
  EXPECT_EQ(app().userdata()->userName(), key) << "a web login keeps its key as the account's name";
  EXPECT_EQ(app().userdata()->userID(), a.userid);
}

TEST_F(LoginWindowTest, TheWebLoginPageHoldsTheAddressOnlyAsText) {
  launch();
  const std::string page = LoginWebWindowController::webLoginPage(R"(x"><script>alert(1)</script>)");
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_NE(page.find(R"(url=http://x&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;")"), std::string::npos);
  app().setBHttps(true);
  EXPECT_NE(LoginWebWindowController::webLoginPage("site/k").find("url=https://site/k\""), std::string::npos)
      << "over https when the setting says so";
  app().setBHttps(false);
}

TEST_F(LoginWindowTest, PlainWindowsOpenMoveAndResizeOnlyForOurPages) {
  launch();
  auto w = WindowController::initWithURL(fileURL(config() + "/UI/default/chs/index.html"));
  w->showWindow();
  auto view = viewOf(*w);
  EXPECT_EQ(view->script("gSiteDomain", {}), Value("http://" + cloud().hostPort()));
  view->script("window.resize", {Value(Dictionary{{"width", Value(600)}, {"height", Value(400)}})});
  EXPECT_EQ(w->window()->size(), (plat::Size{600, 400}));
  EXPECT_EQ(w->window()->size().height - Utils::sharedInstance().titleBarHeight(*w->window()), 378);
  view->script("window.move", {Value(Dictionary{{"x", Value(10)}, {"y", Value(20)}})});
  EXPECT_EQ(w->window()->topLeft(), (plat::Point{10, 20}));
  view->script("window.open", {Value(Dictionary{{"url", Value("https://example.test/")}})});
  EXPECT_EQ(w->contentView()->delegate()->window()->windowController()->url(), "https://example.test/");

  // Pop-ups: each in a window of its own, the newest kept.
  auto p1 = view->popup("https://example.test/1");
  auto p2 = view->popup("https://example.test/2");
  ASSERT_TRUE(p1 && p2);
  EXPECT_EQ(w->contentView()->delegate()->requestedWindow()->webView(), p2);

  // Another site's page gets nothing but the site's address... none at all.
  view->load("https://evil.test/");
  EXPECT_TRUE(view->script("gSiteDomain", {}).isNull());
  view->script("window.resize", {Value(Dictionary{{"width", Value(10)}, {"height", Value(10)}})});
  EXPECT_EQ(w->window()->size(), (plat::Size{600, 400}));
  // Every failed load shows the one error page.
  view->failLoad("https://evil.test/x", plat::kWebLoadUnsupportedURL);
  EXPECT_EQ(view->currentURL(), fileURL(config() + "/UI/default/chs/error.html"));
  w->close();
}

// Windows and the end of the web login answer only to our pages and the
// service's own site (its scheme, host and port), and pop-ups are bounded.
TEST_F(LoginWindowTest, PopUpsAndTheWebLoginsEndComeOnlyFromOurPagesAndTheSite) {
  const Account a = newUser();
  launch();
  const std::string site = cloud().hostPort();
  const std::string host = site.substr(0, site.find(':')), port = site.substr(site.find(':') + 1);
  struct Case {
    std::string url;
    bool ours;
  } cases[] = {
      {fileURL(config() + "/UI/default/chs/index.html"), true},
      {"http://" + site + "/account/weblogin", true},
      {"https://" + site + "/account/weblogin", false},  // the site is plain http here
      {"http://" + host + ":" + std::to_string(std::stoi(port) + 1) + "/", false},
      {"http://evil.test/", false},
      {fileURL(config() + "/outside.html"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    auto w = WindowController::initWithURL(c.url);
    w->showWindow();
    auto view = viewOf(*w);
    view->load(c.url);
    auto popup = view->popup("http://" + site + "/p");
    EXPECT_EQ(popup != nullptr, c.ours);
    if (popup) w->contentView()->delegate()->requestedWindow()->close();
    w->close();
  }

  // The web login's end, at the path on another origin, starts nothing.
  auto login = app().loginWebWindowController();
  const std::string key = viewOf(*login)->script("gOAuthKey", {}).string();
  ASSERT_TRUE(cloud().hook("POST", "weblogin", Value(Dictionary{{"key", Value(key)}, {"username", Value(a.username)}})));
  viewOf(*login)->script("gMain", {Value(R"({"url":")" + site + "/account/weblogin?key=" + key + R"(","width":420,"height":360})")});
  auto view = viewOf(*login->windowController());
  const std::string others[] = {"http://evil.test/account/oauth_login", "https://" + site + "/account/oauth_login",
                                "http://" + host + ":" + std::to_string(std::stoi(port) + 1) + "/account/oauth_login"};
  for (const std::string& other : others) {
    view->load(other);
    EXPECT_EQ(ui->count("page", "gLoginResult"), 0u) << other;
  }
  view->load("http://" + site + "/account/oauth_login");
  EXPECT_EQ(ui->count("page", R"(gLoginResult("{"type" : "weblogin","error" : 0,"message" : " "}"))"), 1u);

  // Pop-ups of all pages together are bounded; a closed one frees a place.
  auto w = WindowController::initWithURL(fileURL(config() + "/UI/default/chs/index.html"));
  w->showWindow();
  std::vector<std::shared_ptr<WindowController>> chain{w};
  for (size_t i = 0; i < WebViewDelegate::kMaxPopups * 3; ++i) {
    // Each pop-up opens the next from its own (our) page.
    auto opener = viewOf(*chain.back());
    opener->load(fileURL(config() + "/UI/default/chs/index.html"));
    if (!opener->popup("http://" + site + "/p" + std::to_string(i))) break;
    chain.push_back(chain.back()->contentView()->delegate()->requestedWindow());
  }
  EXPECT_EQ(chain.size() - 1, WebViewDelegate::kMaxPopups);
  chain.back()->close();
  chain.pop_back();
  EXPECT_TRUE(viewOf(*w)->popup("http://" + site + "/again"));
  for (auto& c : chain) c->close();
}

}  // namespace
}  // namespace shelltest
