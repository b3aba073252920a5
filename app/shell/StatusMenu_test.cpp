// The status item's menus, the panel and their actions on the headless
// toolkit, against devcloud: the menus before and after a sign-in, pausing
// and resuming sync, the panel's buttons, placement and closing, the web
// menu's windows and the storage entry after an account refresh.
#include <thread>

#include "app/core/Localizable.h"
#include "app/shell/ManageStatusController.h"
#include "app/shell/PanelController.h"
#include "app/windows/WebWindows.h"
#include "app/trans/TransManager.h"
#include "app/windows/window_test_util.h"
#include "platform/foundation/notification_center.h"
#include "platform/ui/menu.h"

namespace shelltest {
namespace {

using plat::PanelButton;

// "-" for a separator, ">" after a title with a submenu.
std::vector<std::string> titles(const plat::Menu& m) {
  std::vector<std::string> out;
  for (const auto& i : m.items()) out.push_back(i->isSeparator() ? "-" : i->title() + (i->submenu() ? ">" : ""));
  return out;
}

std::shared_ptr<plat::MenuItem> titled(const plat::Menu& m, const std::string& title) {
  for (const auto& i : m.items()) {
    if (i->title() == title) return i;
  }
  return nullptr;
}

class StatusMenuTest : public WindowTest {
protected:
  std::shared_ptr<plat::HeadlessPanel> panel() const { return ui->panel(); }
  std::shared_ptr<plat::Menu> menu() const { return ui->statusMenu(); }
};

TEST(Localizable, EveryMenuKeyHasAChineseTitle) {
  for (const char* key : {"OpenWebQuorva", "Logout", "BrowserRecord", "StartQuorva", "TransmissionQueue", "StopSync",
                          "StartSync", "SoftwareSetting", "NewIntroduction", "SoftwareUpdate", "OnlineHelper", "About",
                          "QuitApp", "OpenSyncFolder", "UpdateList", "QuorvaTechnology"}) {
    ASSERT_TRUE(hasLocalizedString(key)) << key;
    const std::string t = NSLocalizedString(key);
    EXPECT_NE(t, key);
    // Every title holds Chinese text (a three-byte UTF-8 sequence).
    EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xf0) == 0xe0; }))
        << key;
  }
  EXPECT_EQ(NSLocalizedString("NoSuchKey"), "NoSuchKey");
}

TEST_F(StatusMenuTest, TheMenuBeforeAndAfterSignIn) {
  launch();
  ASSERT_TRUE(menu());
  EXPECT_EQ(titles(*menu()), (std::vector<std::string>{"软件设置", "-", "新功能介绍", "软件更新", "在线帮助",
                                                        "关于Quorva", "-", "退出Quorva"}));
  EXPECT_EQ(menu()->items().back()->keyEquivalent(), "");
  EXPECT_EQ(titles(*app().leftMenu()), (std::vector<std::string>{"打开同步文件夹", "最近打开"}));

  const Account a = newUser();
  signIn(a);
  // The web menu of the program's package (menu.xml): its two pages after the settings.
  ASSERT_TRUE(until([&] { return menu()->size() == 18; }));
  const std::string name = app().userdata()->userWebName().value_or("");
  ASSERT_FALSE(name.empty());
  const std::string size = app().userdata()->getsize();
  const std::vector<std::string> full = {name + ">", "最近打开>", size, "-", "启动Quorva", "传输队列", "暂停同步",
                                         "软件设置", "-", "在网页上查看", "查看历史版本", "-", "新功能介绍",
                                         "软件更新", "在线帮助", "关于Quorva", "-", "退出Quorva"};
  EXPECT_EQ(titles(*menu()), full);
  EXPECT_EQ(menu()->items().back()->keyEquivalent(), "Q");
  EXPECT_EQ(titles(*menu()->items()[0]->submenu()), (std::vector<std::string>{"访问Quorva网站", "注销"}));
  // Nothing opened yet: the history is there, and empty.
  EXPECT_TRUE(menu()->items()[1]->submenu()->items().empty());
  const std::vector<std::string> left = {"打开同步文件夹", "-", name + ">", "最近打开>", size, "-", "启动Quorva",
                                         "动态列表", "传输队列"};
  EXPECT_EQ(titles(*app().leftMenu()), left);

  // A second build starts from scratch.
  app().setMenu();
  EXPECT_EQ(titles(*menu()), full);
  EXPECT_EQ(titles(*app().leftMenu()), left);

  // The entries do what they say.
  titled(*menu(), "传输队列")->activate();
  ASSERT_TRUE(ui->window("LookTransWindowController"));
  EXPECT_TRUE(ui->window("LookTransWindowController")->isVisible());
  titled(*menu(), "启动Quorva")->activate();
  ASSERT_TRUE(app().launchpadWindowController());
  titled(*menu(), "在线帮助")->activate();
  EXPECT_EQ(ui->count("open", "http://" + cloud().hostPort() + "/help"), 1u);
  titled(*menu(), "新功能介绍")->activate();
  EXPECT_EQ(ui->count("open", "/help/?page_id=20"), 1u);
  const size_t folderOpens = ui->count("open", app().tempsyncpath());
  titled(*app().leftMenu(), "打开同步文件夹")->activate();
  EXPECT_EQ(ui->count("open", app().tempsyncpath()), folderOpens + 1);
  titled(*menu()->items()[0]->submenu(), "访问Quorva网站")->activate();
  EXPECT_GE(ui->count("open", cloud().hostPort()), 3u);
  // A web-menu entry opens its page in a window of the document's size.
  const size_t opened = BrowserWebWindowController::openCount();
  titled(*menu(), "查看历史版本")->activate();
  ASSERT_EQ(BrowserWebWindowController::openCount(), opened + 1);
  auto w = ui->window("BrowserWebWindowController");
  ASSERT_TRUE(w);
  EXPECT_EQ(w->title(), "查看历史版本");
  EXPECT_EQ(w->size(), (plat::Size{800, 500 + 22}));
  const std::string url = std::dynamic_pointer_cast<plat::HeadlessWebView>(w->content())->currentURL();
  EXPECT_NE(url.find("history"), std::string::npos) << url;
  EXPECT_NE(url.find(cloud().hostPort()), std::string::npos) << url;
}

TEST_F(StatusMenuTest, PausingAndResumingFollowThroughMenuAndPanel) {
  const Account a = newUser();
  signIn(a);
  const std::string stop = app().bBlacktray() ? "statusStopIcon" : "blueSstatusStopIcon";
  auto control = app().menuItemTrayControlSync();
  ASSERT_TRUE(control);
  struct Step {
    bool running;
    std::string menuTitle;
  };
  for (const Step& step : {Step{false, "开始同步"}, Step{true, "暂停同步"}, Step{false, "开始同步"},
                           Step{true, "暂停同步"}}) {
    control->activate();
    EXPECT_EQ(app().bSyncStart(), step.running);
    EXPECT_EQ(app().sync()->bStart(), step.running);
    EXPECT_EQ(control->title(), step.menuTitle);
    if (!step.running) {
      // At once, before any redraw.
      EXPECT_EQ(panel()->buttonTitle(PanelButton::kSync), "暂停同步中");
      EXPECT_EQ(panel()->buttonImage(PanelButton::kSync), "btnPopSyncStop");
      ASSERT_TRUE(until([&] { return ui->statusLook() && ui->statusLook()->icon == stop; }, 10))
          << (ui->statusLook() ? ui->statusLook()->icon : "none") << " link " << app().bLink();
    } else {
      EXPECT_EQ(panel()->buttonTitle(PanelButton::kSync), "   正在检测更新");
      ASSERT_TRUE(until([&] { return ui->statusLook() && ui->statusLook()->icon != stop; }));
    }
  }
}

TEST_F(StatusMenuTest, ThePanelOpensUnderTheItemAndClosesAsAPanelDoes) {
  const Account a = newUser();
  signIn(a);
  auto status = app().manageStatusController();
  ASSERT_TRUE(status && panel());
  app().setUpdateCount(42);
  ASSERT_TRUE(until([&] { return ui->statusLook() && ui->statusLook()->countText == "42"; }));
  const double wide = status->statusLength();

  ui->clickStatusItem();
  ASSERT_TRUE(panel()->isVisible());
  // The headless item sits at x 1800, 24 wide: the panel keeps 8 to the
  // right edge and the arrow still points at the item's middle.
  const plat::Rect f = panel()->frame();
  EXPECT_EQ(f.width, 319);
  EXPECT_EQ(f.height, 375);
  EXPECT_EQ(f.x, 1920 - 8 - 319);
  EXPECT_EQ(f.y, 22);  // its top just under the item
  EXPECT_EQ(panel()->arrowX(), 1812 - static_cast<long>(f.x));
  // Opening reads the messages; the item's length shrinks to one blank.
  EXPECT_EQ(app().updateCount(), 0);
  ASSERT_TRUE(until([&] { return ui->statusLook()->countText == " "; }));
  EXPECT_TRUE(until([&] { return status->statusLength() < wide; }));
  EXPECT_TRUE(ui->statusLook()->highlighted);
  // Signed in: the sync, start and folder buttons are on.
  for (auto b : {PanelButton::kSync, PanelButton::kStart, PanelButton::kOpenDir}) EXPECT_TRUE(panel()->buttonEnabled(b));
  EXPECT_EQ(panel()->buttonTooltip(PanelButton::kOpenWindow), "工具栏");
  auto page = std::dynamic_pointer_cast<plat::HeadlessWebView>(panel()->webView());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->currentURL(), "file://" + plat::percentEscapePath(config() + "/UI/default/chs/tcframe.html"));
  EXPECT_EQ(page->userAgent().rfind("QV_SYNC;", 0), 0u);
  EXPECT_FALSE(page->drawsBackground());

  // Each way of closing, then open again.
  struct Close {
    const char* how;
    std::function<void()> act;
  };
  const std::vector<Close> closes = {
      {"click", [&] { ui->clickStatusItem(); }},
      {"escape", [&] { panel()->pressEscape(); }},
      {"key lost", [&] { panel()->resignKey(); }},
      {"click elsewhere", [&] { panel()->clickElsewhere(); }},
  };
  for (const auto& c : closes) {
    if (!panel()->isVisible()) ui->clickStatusItem();
    ASSERT_TRUE(panel()->isVisible()) << c.how;
    c.act();
    EXPECT_FALSE(panel()->isVisible()) << c.how;
    EXPECT_FALSE(status->hasActivePanel()) << c.how;
    ASSERT_TRUE(until([&] { return !ui->statusLook()->highlighted; })) << c.how;
  }
}

TEST_F(StatusMenuTest, ThePanelsButtonsOpenTheWindowsAndTheMenu) {
  const Account a = newUser();
  signIn(a);
  ui->clickStatusItem();
  ASSERT_TRUE(panel()->isVisible());
  panel()->click(PanelButton::kTrans);
  EXPECT_TRUE(ui->window("LookTransWindowController"));
  panel()->click(PanelButton::kStart);
  EXPECT_TRUE(app().launchpadWindowController());
  const size_t folderOpens = ui->count("open", app().tempsyncpath());
  panel()->click(PanelButton::kOpenDir);
  EXPECT_EQ(ui->count("open", app().tempsyncpath()), folderOpens + 1);
  const size_t browsers = BrowserWebWindowController::openCount();
  panel()->click(PanelButton::kMessage);
  EXPECT_EQ(BrowserWebWindowController::openCount(), browsers + 1);
  EXPECT_NE(std::dynamic_pointer_cast<plat::HeadlessWebView>(ui->window("BrowserWebWindowController")->content())
                ->currentURL()
                .find("updates"),
            std::string::npos);
  panel()->click(PanelButton::kSetting);
  EXPECT_EQ(panel()->poppedUpMenu(), menu());
  EXPECT_EQ(ui->count("menu", "退出Quorva"), 1u);
  // The side-bar toggle.
  panel()->click(PanelButton::kOpenWindow);
  EXPECT_TRUE(app().bRightBar());
  EXPECT_TRUE(app().bShowRightBar());
  EXPECT_EQ(panel()->buttonImage(PanelButton::kOpenWindow), "showtool");
  panel()->click(PanelButton::kOpenWindow);
  EXPECT_FALSE(app().bRightBar());
  EXPECT_EQ(panel()->buttonImage(PanelButton::kOpenWindow), "hidetool");
}

TEST_F(StatusMenuTest, TheWebMenuOpensItsPagesAtTheirSize) {
  const Account a = newUser();
  signIn(a);
  std::vector<QVMenuItem> items(2);
  items[0].setTitle("分享");
  items[0].setUrl("/share?x=1");
  items[1].setTitle("历史版本");
  items[1].setUrl("/history?x=2");
  items[1].setWidth(640);
  items[1].setHeight(480);
  items[1].setSso(1);
  app().userdata()->setMenuArray(items);
  const std::string folder = app().tempsyncpath() + "个人的文件/文档";
  plat::makeDirectories(folder, 0755);
  struct Case {
    int64_t index;
    std::string path;
    double width, height;
    std::string title, part;
  };
  const std::vector<Case> cases = {
      {0, "", 500, 800 + 22, "分享", "/share?x=1"},
      {1, folder, 640, 480 + 22, "历史版本", "%26fullpath%3D"},
  };
  for (const auto& c : cases) {
    const size_t before = BrowserWebWindowController::openCount();
    // As the plug-in's service object posts it, from another thread.
    std::thread poster([&] {
      plat::NotificationCenter::defaultCenter().post(
          "gMain", plat::Value(plat::Array{plat::Value(static_cast<long long>(c.index)), plat::Value(c.path)}));
    });
    ASSERT_TRUE(until([&] { return BrowserWebWindowController::openCount() == before + 1; })) << c.title;
    poster.join();
    auto w = ui->window("BrowserWebWindowController");
    ASSERT_TRUE(w);
    EXPECT_EQ(w->title(), c.title);
    EXPECT_EQ(w->size(), (plat::Size{c.width, c.height})) << c.title;
    const std::string url = std::dynamic_pointer_cast<plat::HeadlessWebView>(w->content())->currentURL();
    EXPECT_NE(url.find(c.part), std::string::npos) << url;
  }
  // A folder's cloud path ends in "/".
  EXPECT_NE(std::dynamic_pointer_cast<plat::HeadlessWebView>(ui->window("BrowserWebWindowController")->content())
                ->currentURL()
                .find("%2F&token="),
            std::string::npos);
}

TEST_F(StatusMenuTest, TheAccountRefreshRetitlesTheStorageEntry) {
  const Account a = newUser();
  signIn(a);
  const std::string size = app().userdata()->getsize();
  ASSERT_EQ(app().menuItemSpace()->title(), size);
  // What this machine believes drifts; the refresh brings the service's word.
  app().userdata()->setUsersize(app().userdata()->mountsize() / 2 + 12345);
  app().refreshSpaceEntries();
  ASSERT_NE(app().menuItemSpace()->title(), size);
  std::thread refresh([] { app().handleTimerUserInfo(); });
  refresh.join();
  ASSERT_TRUE(until([&] { return app().menuItemSpace()->title() == size; }));
  EXPECT_TRUE(titled(*app().leftMenu(), size));
}

}  // namespace
}  // namespace shelltest
