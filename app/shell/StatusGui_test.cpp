// The status item, its menu, its panel and the notices on a desktop as a
// tray host and a notification server see them: GTK under Xvfb, a session
// bus of the test's own with a stand-in tray host (StatusNotifierWatcher)
// and notification server, devcloud as the service. The item and its menu
// are read and driven over the tray protocol; screenshots of the panel and
// of its menu go beside the login screenshots.
//
// Run without a display, the program runs on an Xvfb of its own.
#include <gtk/gtk.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

#include "app/core/Localizable.h"
#include "app/shell/ManageStatusController.h"
#include "app/shell/MyTimer.h"
#include "app/shell/PanelController.h"
#include "app/windows/WebWindows.h"
#include "app/windows/window_test_util.h"
#include "platform/ui/gtk/gtk_status.h"
#include "platform/ui/gtk/gtk_toolkit.h"
#include "platform/ui/sni/status_icons.h"
#include "tests/support/screenshots.h"
#include "tests/support/tray_host.h"
#include "tests/support/virtual_display.h"
#include "tests/support/x_pointer.h"

namespace shelltest {
namespace {

constexpr double kDeadline = 60;

// One bus and one desktop for the whole program: the process keeps its
// first session-bus connection (notices use it) for its whole life.
qvtest::PrivateSessionBus* gBus = nullptr;
qvtest::TrayHost* gHost = nullptr;

class Desktop : public ::testing::Environment {
public:
  void SetUp() override {
    bus_ = std::make_unique<qvtest::PrivateSessionBus>();
    ASSERT_TRUE(bus_->started()) << bus_->failure();
    host_ = std::make_unique<qvtest::TrayHost>(true, true);
    ASSERT_TRUE(host_->started());
    gBus = bus_.get();
    gHost = host_.get();
  }
  void TearDown() override {
    gHost = nullptr;
    gBus = nullptr;
    host_.reset();
    bus_.reset();
  }

private:
  std::unique_ptr<qvtest::PrivateSessionBus> bus_;
  std::unique_ptr<qvtest::TrayHost> host_;
};

// Answers the next alert with its first (default) button.
class AlertAnswerer {
public:
  AlertAnswerer() { timer_ = g_timeout_add(50, &AlertAnswerer::tick, this); }
  ~AlertAnswerer() { g_source_remove(timer_); }
  int answered() const { return answered_; }

private:
  static gboolean tick(gpointer data) {
    auto* self = static_cast<AlertAnswerer*>(data);
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
      if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_mapped(GTK_WIDGET(w->data))) continue;
      ++self->answered_;
      gtk_dialog_response(GTK_DIALOG(w->data), 0);
    }
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
  }
  guint timer_ = 0;
  int answered_ = 0;
};

class StatusGuiTest : public WindowTest {
protected:
  void SetUp() override {
    ASSERT_TRUE(gHost) << "no desktop";
    WindowTest::SetUp();
    desktop = plat::GtkToolkit::make(home() + "/.local/share/Quorva/WebKit");
    ASSERT_TRUE(desktop) << "no display";
    plat::Toolkit::setCurrent(desktop);
  }
  void TearDown() override {
    WindowTest::TearDown();
    desktop.reset();
  }
  static bool until(const std::function<bool()>& done, double seconds = kDeadline) {
    return plat::GtkToolkit::runUntil(done, seconds);
  }
  // The item this launch registered (the host keeps every one it saw).
  std::string item() const {
    auto status = app().manageStatusController();
    auto gtk = status ? std::dynamic_pointer_cast<plat::GtkStatusItem>(status->statusView()) : nullptr;
    return gtk && gtk->sni() ? gtk->sni()->busName() : std::string();
  }
  bool registered() const {
    const std::string name = item();
    const auto items = gHost->items();
    return !name.empty() && std::find(items.begin(), items.end(), name) != items.end();
  }
  // Signs in with a stored account; the periodic jobs take passes only when let.
  void signInStored(const Account& a) {
    storeAccount(a, home() + "/sync/我的Quorva/");
    launch(true);
    firstPass();
    ASSERT_TRUE(until([&] { return signedIn(); }));
    ASSERT_TRUE(until([&] { return registered(); }));
  }
  void screenshot(const std::string& name) {
    const std::string path = qvtest::screenshotPath(name);
    until([] { return false; }, 0.5);  // let the screen settle
    EXPECT_TRUE(qvtest::pictureSaved(plat::GtkToolkit::snapshotScreen(path), path));
  }
  static std::vector<std::string> labels(const qvtest::MenuNode& n) {
    std::vector<std::string> out;
    for (const auto& c : n.children) {
      // As a host shows it: "__" is one "_".
      std::string label;
      for (size_t i = 0; i < c.label.size(); ++i) {
        label += c.label[i];
        if (c.label[i] == '_' && i + 1 < c.label.size() && c.label[i + 1] == '_') ++i;
      }
      out.push_back(c.type == "separator" ? "-" : label + (c.submenu ? ">" : ""));
    }
    return out;
  }
  static const qvtest::MenuNode* labelled(const qvtest::MenuNode& n, const std::string& label) {
    for (const auto& c : n.children) {
      if (c.label == label) return &c;
    }
    return nullptr;
  }
  std::shared_ptr<plat::PanelView> panel() const {
    auto status = app().manageStatusController();
    return status && status->panelController() ? status->panelController()->panel() : nullptr;
  }

  std::shared_ptr<plat::GtkToolkit> desktop;
};

TEST_F(StatusGuiTest, TheItemRegistersWithItsMenuAndOpensThePanel) {
  launch();
  ASSERT_TRUE(until([&] { return registered(); }));
  // Before a sign-in: the short menu.
  auto before = gHost->layout(item());
  ASSERT_TRUE(before);
  EXPECT_EQ(labels(*before), (std::vector<std::string>{"软件设置", "-", "新功能介绍", "软件更新", "在线帮助",
                                                        "关于Quorva", "-", "退出Quorva"}));
  app().terminate();

  const Account a = newUser();
  signInStored(a);
  const std::string name = app().userdata()->userWebName().value_or("");
  const std::string size = app().userdata()->getsize();
  std::optional<qvtest::MenuNode> root;
  ASSERT_TRUE(until([&] {
    root = gHost->layout(item());
    return root && root->children.size() == 18;
  }));
  // With the two pages of the web menu (the program's menu.xml) after the settings.
  EXPECT_EQ(labels(*root), (std::vector<std::string>{name + ">", "最近打开>", size, "-", "启动Quorva", "传输队列",
                                                      "暂停同步", "软件设置", "-", "在网页上查看", "查看历史版本", "-",
                                                      "新功能介绍", "软件更新", "在线帮助", "关于Quorva", "-",
                                                      "退出Quorva"}));
  EXPECT_EQ(labels(root->children[0]), (std::vector<std::string>{"访问Quorva网站", "注销"}));
  EXPECT_EQ(root->children[17].shortcut, "Control+Q");
  // No key shows anywhere.
  for (const auto& c : root->children) EXPECT_FALSE(hasLocalizedString(c.label)) << c.label;

  // A click on the item: the panel opens under the place the host reported.
  ASSERT_TRUE(gHost->activate(item(), 1100, 12));
  ASSERT_TRUE(until([&] { return panel() && panel()->isVisible(); }));
  const plat::Rect f = panel()->frame();
  EXPECT_EQ(f.width, 319);
  EXPECT_EQ(panel()->arrowX(), std::lround(1100.0) - static_cast<long>(f.x));
  auto view = panel()->webView();
  ASSERT_TRUE(until([&] {
    const std::string u = view->currentURL();
    return u.size() > 12 && u.compare(u.size() - 12, 12, "tcframe.html") == 0 &&
           webkit_web_view_get_estimated_load_progress(plat::GtkToolkit::webKitView(view)) >= 1.0;
  }, 20)) << view->currentURL() << " " << webkit_web_view_get_estimated_load_progress(plat::GtkToolkit::webKitView(view))
          << " " << webkit_web_view_is_loading(plat::GtkToolkit::webKitView(view));
  ASSERT_TRUE(until([&] { return panel()->buttonTitle(plat::PanelButton::kSync) == "已同步完"; }));
  screenshot("status-panel.png");
  // Its menu, popped up from the panel's settings button.
  app().manageStatusController()->panelController()->openMenu();
  screenshot("status-panel-menu.png");
  GList* tops = gtk_window_list_toplevels();
  int menus = 0;
  for (GList* w = tops; w; w = w->next) {
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(w->data));
    if (child && GTK_IS_MENU(child) && gtk_widget_get_mapped(child)) {
      ++menus;
      gtk_menu_shell_cancel(GTK_MENU_SHELL(child));
    }
  }
  g_list_free(tops);
  EXPECT_EQ(menus, 1) << "the menu was not up";
  // Once the menu is gone the panel holds the pointer again.
  ASSERT_TRUE(until([&] { return plat::gtkPanelHoldsPointer(panel()); }, 10));
  ASSERT_TRUE(gHost->activate(item(), 1100, 12));
  ASSERT_TRUE(until([&] { return !panel()->isVisible(); }));

  // A click elsewhere on the screen, as a person makes it, closes it too.
  ASSERT_TRUE(gHost->activate(item(), 1100, 12));
  ASSERT_TRUE(until([&] { return panel()->isVisible() && plat::gtkPanelHoldsPointer(panel()); }, 10));
  const auto status = app().manageStatusController();
  ASSERT_TRUE(qvtest::clickScreenAt(200, 800));
  ASSERT_TRUE(until([&] { return !panel()->isVisible(); }, 10));
  EXPECT_FALSE(status->panelController()->hasActivePanel());
  EXPECT_FALSE(plat::gtkPanelHoldsPointer(panel())) << "the pointer goes back with the panel";
}

TEST_F(StatusGuiTest, TheIconFollowsTheFlags) {
  const Account a = newUser();
  signInStored(a);
  struct Case {
    const char* what;
    bool link, syncStart, black;
    int64_t synccount;
    std::string icon;
  };
  const std::vector<Case> cases = {
      {"all synced, blue", true, true, false, 0, "blueStatusFinishIcon"},
      {"all synced, black", true, true, true, 0, "statusFinishIcon"},
      {"no network", false, true, false, 0, "blueStatusNoneIcon"},
      {"paused", true, false, true, 3, "statusStopIcon"},
      {"paused, blue", true, false, false, 3, "blueSstatusStopIcon"},
  };
  for (const auto& c : cases) {
    app().setBLink(c.link);
    app().setBSyncStart(c.syncStart);
    app().setBBlacktray(c.black);
    app().setSynccount(c.synccount);
    const auto expected = plat::statusPixmap(c.icon, "", 0, " ", false, 22).argb;
    ASSERT_TRUE(until([&] {
      auto pm = gHost->iconPixmap(item());
      return pm && pm->argb == expected;
    }, 10)) << c.what;
  }
  // Syncing: the overlay turns, so the pictures keep changing.
  app().setBLink(true);
  app().setBSyncStart(true);
  app().setSynccount(5);
  const int icons = gHost->signalCount("NewIcon");
  ASSERT_TRUE(until([&] { return gHost->signalCount("NewIcon") > icons + 4; }, 10));
  // Unread messages beside the icon.
  app().setUpdateCount(7);
  ASSERT_TRUE(until([&] { return gHost->property(item(), "XAyatanaLabel") == std::optional<std::string>("7"); }));
  app().setSynccount(0);
}

TEST_F(StatusGuiTest, PausingAndResumingFromTheMenuOverTheBus) {
  const Account a = newUser();
  signInStored(a);
  ASSERT_TRUE(gHost->activate(item(), 900, 12));
  ASSERT_TRUE(until([&] { return panel() && panel()->isVisible(); }));
  for (const auto& [label, running, button] :
       std::vector<std::tuple<std::string, bool, std::string>>{{"暂停同步", false, "暂停同步中"},
                                                               {"开始同步", true, "   正在检测更新"}}) {
    auto root = gHost->layout(item());
    ASSERT_TRUE(root);
    const auto* entry = labelled(*root, label);
    ASSERT_TRUE(entry) << label;
    ASSERT_TRUE(gHost->event(item(), entry->id, "clicked"));
    ASSERT_TRUE(until([&] { return app().bSyncStart() == running; })) << label;
    EXPECT_EQ(app().sync()->bStart(), running);
    EXPECT_EQ(panel()->buttonTitle(plat::PanelButton::kSync), button);
    if (!running) {
      EXPECT_EQ(panel()->buttonImage(plat::PanelButton::kSync), "btnPopSyncStop");
    }
    ASSERT_TRUE(until([&] {
      auto r = gHost->layout(item());
      return r && labelled(*r, running ? "暂停同步" : "开始同步");
    })) << "the entry's new title";
  }
}

TEST_F(StatusGuiTest, AMessageBecomesANoticeWhoseClickOpensTheNotices) {
  const Account a = newUser();
  const int64_t dateline = static_cast<int64_t>(std::time(nullptr)) - 125;
  ASSERT_TRUE(cloud().hook("POST", "message",
                           Value(Dictionary{{"username", Value(a.username)},
                                            {"render_text", Value("更新了文件 计划.txt")},
                                            {"member_name", Value("小李")},
                                            {"type", Value(3)},
                                            {"dateline", Value(static_cast<long long>(dateline))}})));
  const size_t before = gHost->notices().size();
  signInStored(a);
  std::optional<qvtest::ReceivedNotice> notice;
  ASSERT_TRUE(until([&] {
    for (const auto& n : gHost->notices()) {
      if (n.body.find("小李更新了文件 计划.txt\n 2分前") != std::string::npos) notice = n;
    }
    return notice.has_value();
  })) << gHost->notices().size() - before << " notices";
  EXPECT_EQ(notice->summary, "Quorva科技");
  std::string hints;
  for (const auto& h : notice->hints) hints += h + " ";
  EXPECT_TRUE(notice->hasImage) << "the notice carries its icon; hints: " << hints;
  EXPECT_NE(std::find(notice->actions.begin(), notice->actions.end(), "default"), notice->actions.end());
  EXPECT_FALSE(app().launchpadWindowController());
  // The desktop reports the click some time later: the notice is still there.
  until([] { return false; }, 1.0);
  ASSERT_TRUE(gHost->click(notice->id));
  ASSERT_TRUE(until([&] { return app().launchpadWindowController() != nullptr; }));
  EXPECT_EQ(app().launchpadWindowController()->tab(), "notices");
}

TEST_F(StatusGuiTest, QuitFromTheMenuEndsEverything) {
  const Account a = newUser();
  signInStored(a);
  auto root = gHost->layout(item());
  ASSERT_TRUE(root);
  const auto* quit = labelled(*root, "退出Quorva");
  ASSERT_TRUE(quit);
  const std::string name = item();
  AlertAnswerer person;
  if (auto t = app().mytimer()) t->stop();
  clock->release();
  ASSERT_TRUE(gHost->event(name, quit->id, "clicked"));
  ASSERT_TRUE(until([&] { return app().terminating() && !app().sync(); }));
  EXPECT_EQ(person.answered(), 1);
  const auto names = threadNames();
  for (const char* t : {"sync.run", "sync.runcheck", "downloadrun", "uploadrun", "login", "MyTimer", "status item"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), t), 0) << t;
  }
  // The item left the bus with the application.
  EXPECT_TRUE(until([&] { return !gHost->property(name, "Id"); }, 10));
}

}  // namespace
}  // namespace shelltest

int main(int argc, char** argv) {
  if (auto waited = qvtest::runOnDisplay(argc, argv)) return *waited;
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new shelltest::Desktop);
  return RUN_ALL_TESTS();
}
