// The status item through the real tray protocol: a session bus of the
// test's own, a stand-in tray host, and the item's menu read back and
// driven over com.canonical.dbusmenu.
#include "platform/ui/sni/sni_item.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/foundation/run_loop.h"
#include "tests/support/tray_host.h"

namespace plat {
namespace {

// Serves the main run loop until `done` holds.
bool serve(const std::function<bool()>& done, double seconds = 10) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  auto loop = MainThread::runLoop();
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    if (loop->runInMode(kDefaultRunLoopMode, 0.01, true) == RunLoop::RunResult::Finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

class SniItemTest : public ::testing::Test {
protected:
  void SetUp() override {
    MainThread::setCurrentThreadAsMain();
    bus = std::make_unique<qvtest::PrivateSessionBus>();
    ASSERT_TRUE(bus->started()) << bus->failure();
  }
  void TearDown() override {
    item.reset();
    host.reset();
    bus.reset();
  }
  void startHost() {
    host = std::make_unique<qvtest::TrayHost>(true, false);
    ASSERT_TRUE(host->started());
  }
  std::unique_ptr<qvtest::PrivateSessionBus> bus;
  std::unique_ptr<qvtest::TrayHost> host;
  std::shared_ptr<SniStatusItem> item;
};

TEST_F(SniItemTest, RegistersAndExportsItsMenuInOrder) {
  startHost();
  item = SniStatusItem::make({});
  ASSERT_TRUE(item);
  int chosen = 0;
  std::thread::id chosenOn;
  auto menu = Menu::make();
  menu->addItem(MenuItem::make("第一", [&] {
    ++chosen;
    chosenOn = std::this_thread::get_id();
  }));
  menu->addItem(MenuItem::separator());
  auto sub = Menu::make();
  sub->addItem(MenuItem::make("/home/u/a_b.txt", [] {}));
  auto withSub = MenuItem::make("记录");
  withSub->setSubmenu(sub);
  menu->addItem(withSub);
  auto off = MenuItem::make("不可用");
  off->setEnabled(false);
  menu->addItem(off);
  menu->addItem(MenuItem::make("退出", [] {}, "Q"));
  item->setMenu(menu);
  ASSERT_TRUE(host->waitForItem(10));
  EXPECT_EQ(host->item(), item->busName());
  ASSERT_TRUE(serve([&] { return item->hostPresent(); }));

  auto root = host->layout(host->item());
  ASSERT_TRUE(root);
  ASSERT_EQ(root->children.size(), 5u);
  const auto& c = root->children;
  EXPECT_EQ(c[0].label, "第一");
  EXPECT_EQ(c[1].type, "separator");
  EXPECT_EQ(c[2].label, "记录");
  EXPECT_TRUE(c[2].submenu);
  ASSERT_EQ(c[2].children.size(), 1u);
  // Underscores are not mnemonics.
  EXPECT_EQ(c[2].children[0].label, "/home/u/a__b.txt");
  EXPECT_FALSE(c[3].enabled);
  EXPECT_TRUE(c[0].enabled);
  EXPECT_EQ(c[4].shortcut, "Control+Q");
  EXPECT_EQ(host->property(host->item(), "Menu"), std::optional<std::string>("/MenuBar"));
  EXPECT_EQ(host->property(host->item(), "Id"), std::optional<std::string>("quorva"));

  // A choice runs on the main thread; a disabled entry and an unknown id do nothing.
  ASSERT_TRUE(host->event(host->item(), c[0].id, "clicked"));
  EXPECT_TRUE(serve([&] { return chosen == 1; }));
  EXPECT_EQ(chosenOn, std::this_thread::get_id());
  EXPECT_FALSE(host->event(host->item(), 987654, "clicked"));
  EXPECT_TRUE(host->event(host->item(), c[3].id, "clicked"));
  serve([] { return false; }, 0.2);
  EXPECT_EQ(chosen, 1);
}

TEST_F(SniItemTest, ChangesAndWillOpenReachTheHost) {
  startHost();
  item = SniStatusItem::make({});
  ASSERT_TRUE(item);
  auto menu = Menu::make();
  auto pause = MenuItem::make("暂停同步");
  menu->addItem(pause);
  auto history = Menu::make();
  auto entry = MenuItem::make("记录");
  entry->setSubmenu(history);
  menu->addItem(entry);
  int opened = 0;
  history->setWillOpen([&] {
    ++opened;
    history->removeAllItems();
    history->addItem(MenuItem::make("/f/" + std::to_string(opened)));
  });
  item->setMenu(menu);
  ASSERT_TRUE(host->waitForItem(10));
  const std::string name = host->item();

  const int before = host->signalCount("LayoutUpdated");
  pause->setTitle("开始同步");
  // The first layout's own signal may still be on its way: the change is
  // there once a signal came and the layout shows it.
  ASSERT_TRUE(serve([&] {
    if (host->signalCount("LayoutUpdated") <= before) return false;
    auto r = host->layout(name);
    return r && !r->children.empty() && r->children[0].label == "开始同步";
  }));
  auto root = host->layout(name);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->children.size(), 2u);
  EXPECT_TRUE(root->children[1].children.empty());

  // The host asks before showing the submenu: it is refilled first.
  ASSERT_TRUE(host->aboutToShow(name, root->children[1].id));
  ASSERT_TRUE(serve([&] {
    auto r = host->layout(name);
    return r && r->children.size() == 2 && r->children[1].children.size() == 1 &&
           r->children[1].children[0].label == "/f/1";
  }));
  EXPECT_EQ(opened, 1);
}

TEST_F(SniItemTest, TheIconFollowsTheLook) {
  startHost();
  item = SniStatusItem::make({});
  ASSERT_TRUE(item);
  item->setMenu(Menu::make());
  ASSERT_TRUE(host->waitForItem(10));
  const std::string name = host->item();
  struct Case {
    StatusItemLook look;
    std::string label;
  };
  const std::vector<Case> cases = {
      {{"blueStatusNoneIcon", "", " ", false}, ""},
      {{"blueSstatusStopIcon", "", " ", false}, ""},
      {{"blueStatusFinishIcon", "", "3", false}, "3"},
      {{"statusFinishIcon", "", "12", true}, "12"},
      {{"statusSyncBg", "bgTranSyncing", " ", false}, ""},
  };
  std::vector<std::vector<uint8_t>> seen;
  for (const auto& c : cases) {
    item->show(c.look);
    ASSERT_TRUE(serve([&] { return host->property(name, "XAyatanaLabel") == std::optional<std::string>(c.label); }))
        << c.look.icon;
    auto pm = host->iconPixmap(name);
    ASSERT_TRUE(pm) << c.look.icon;
    EXPECT_EQ(pm->width, 22);
    EXPECT_EQ(pm->argb.size(), 22u * 22u * 4u);
    for (const auto& earlier : seen) EXPECT_NE(earlier, pm->argb) << c.look.icon << " looks like an earlier state";
    seen.push_back(pm->argb);
  }
  // The overlay turns: new pictures keep coming while it shows.
  const int icons = host->signalCount("NewIcon");
  const auto first = host->iconPixmap(name);
  ASSERT_TRUE(serve([&] { return host->signalCount("NewIcon") >= icons + 3; }, 5));
  const auto later = host->iconPixmap(name);
  ASSERT_TRUE(first && later);
  EXPECT_NE(first->argb, later->argb);
  // Without it the picture stays.
  item->show({"statusFinishIcon", "", " ", false});
  serve([] { return false; }, 0.3);
  const int still = host->signalCount("NewIcon");
  serve([] { return false; }, 0.5);
  EXPECT_EQ(host->signalCount("NewIcon"), still);
}

TEST_F(SniItemTest, AClickComesToTheMainThreadWithItsPlace) {
  startHost();
  item = SniStatusItem::make({});
  ASSERT_TRUE(item);
  int clicks = 0;
  item->setClickHandler([&] { ++clicks; });
  item->setMenu(Menu::make());
  ASSERT_TRUE(host->waitForItem(10));
  EXPECT_FALSE(item->globalRect());
  ASSERT_TRUE(host->activate(host->item(), 1200, 10));
  ASSERT_TRUE(serve([&] { return clicks == 1; }));
  auto rect = item->globalRect();
  ASSERT_TRUE(rect);
  EXPECT_LE(rect->x, 1200);
  EXPECT_GE(rect->x + rect->width, 1200);
  EXPECT_LE(rect->y, 10);
  EXPECT_GE(rect->y + rect->height, 10);
}

TEST_F(SniItemTest, FollowsTheTrayHostComingAndGoing) {
  item = SniStatusItem::make({});
  ASSERT_TRUE(item);
  std::vector<bool> changes;
  item->setHostChanged([&](bool present) { changes.push_back(present); });
  item->setMenu(Menu::make());
  serve([] { return false; }, 0.3);
  EXPECT_FALSE(item->hostPresent());
  startHost();
  ASSERT_TRUE(host->waitForItem(10));
  ASSERT_TRUE(serve([&] { return changes.size() == 1; }));
  EXPECT_TRUE(item->hostPresent());
  host.reset();
  ASSERT_TRUE(serve([&] { return changes.size() == 2; }));
  EXPECT_FALSE(item->hostPresent());
  // A tray host that starts again takes the item again.
  startHost();
  ASSERT_TRUE(host->waitForItem(10));
  ASSERT_TRUE(serve([&] { return changes.size() == 3; }));
  EXPECT_EQ(changes, (std::vector<bool>{true, false, true}));
}

TEST(SniItemNoBus, AnswersNullWithoutASessionBus) {
  MainThread::setCurrentThreadAsMain();
  const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::string saved = old ? old : "";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/qv-no-bus", 1);
  EXPECT_EQ(SniStatusItem::make({}), nullptr);
  if (old) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

// The count's digits come through fontconfig, whose process-wide cache
// would otherwise read as a leak at exit.
class FontCaches : public ::testing::Environment {
public:
  void TearDown() override {
    cairo_debug_reset_static_data();
    FcFini();
  }
};
const auto* const kFontCaches = ::testing::AddGlobalTestEnvironment(new FontCaches);

}  // namespace
}  // namespace plat
