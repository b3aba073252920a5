// The plug-in in a real Nautilus on a desktop of the test's own: Xvfb, a
// session bus of its own (with the desktop's metadata service), Quorva
// signed in to devcloud in this process, and Nautilus started with the
// module in its extension folder. Nautilus's folder is the system's, so
// it runs in a mount namespace of its own where a folder holding this
// build's module is mounted over it; nothing of the system changes.
//
// What is checked is what Nautilus drew and what reached Quorva: the
// emblems' colours in the window, the side bar's record of the file the
// context menu was opened on, and the action of the submenu's entry.
// Screenshots go beside the other gui screenshots.
//
// Run without a display, the program runs on an Xvfb of its own.
#include <fcntl.h>
#include <gdk/gdk.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <mutex>

#include "app/core/QVMenuItem.h"
#include "app/core/Util.h"
#include "app/shell/IconMsg.h"
#include "app/shell/MyTimer.h"
#include "app/shell/shell_test_util.h"
#include "app/sync/SyncFileItem.h"
#include "app/sync/Syncdb.h"
#include "app/trans/TransManager.h"
#include "finder-plugin/core/fp_test_util.h"
#include "finder-plugin/e2e/plugin_quorva_fixture.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/system/folder_icon.h"
#include "tests/support/child_process.h"
#include "tests/support/screenshots.h"
#include "tests/support/tray_host.h"
#include "tests/support/virtual_display.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;

constexpr const char* kSystemExtensions = "/usr/lib/x86_64-linux-gnu/nautilus/extensions-4";

qvtest::PrivateSessionBus* gBus = nullptr;

class Desktop : public ::testing::Environment {
public:
  void SetUp() override {
    // The metadata service keeps its store under the data folder the bus
    // hands its services.
    data_ = plat::makeTemporaryDirectory("fp-gui-data");
    ::setenv("XDG_DATA_HOME", data_.c_str(), 1);
    bus_ = std::make_unique<qvtest::PrivateSessionBus>();
    ASSERT_TRUE(bus_->started()) << bus_->failure();
    gBus = bus_.get();
  }
  void TearDown() override {
    gBus = nullptr;
    bus_.reset();
    plat::removeTree(data_);
  }

private:
  std::string data_;
  std::unique_ptr<qvtest::PrivateSessionBus> bus_;
};

// The screen as Xvfb holds it.
struct Shot {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;

  static Shot take() {
    Shot s;
    GdkWindow* root = gdk_get_default_root_window();
    if (!root) return s;
    GdkPixbuf* pb = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
    if (!pb) return s;
    s.width = gdk_pixbuf_get_width(pb);
    s.height = gdk_pixbuf_get_height(pb);
    const int stride = gdk_pixbuf_get_rowstride(pb), n = gdk_pixbuf_get_n_channels(pb);
    const guchar* px = gdk_pixbuf_get_pixels(pb);
    s.rgb.resize(static_cast<size_t>(s.width) * s.height * 3);
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) {
        for (int c = 0; c < 3; ++c) s.rgb[(static_cast<size_t>(y) * s.width + x) * 3 + c] = px[y * stride + x * n + c];
      }
    }
    g_object_unref(pb);
    return s;
  }
  bool save(const std::string& path) const {
    if (rgb.empty()) return false;
    GdkPixbuf* pb = gdk_pixbuf_new_from_data(rgb.data(), GDK_COLORSPACE_RGB, FALSE, 8, width, height, width * 3,
                                             nullptr, nullptr);
    const bool ok = gdk_pixbuf_save(pb, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(pb);
    return ok;
  }
  bool near(int x, int y, uint32_t color, int tolerance = 4) const {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    const int want[3] = {int(color >> 16) & 0xff, int(color >> 8) & 0xff, int(color) & 0xff};
    for (int c = 0; c < 3; ++c) {
      if (std::abs(p[c] - want[c]) > tolerance) return false;
    }
    return true;
  }
  // The pixels of a colour: how many, and their centre.
  struct Spot {
    int count = 0;
    int x = 0, y = 0;
  };
  Spot find(uint32_t color) const {
    Spot s;
    long sx = 0, sy = 0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (!near(x, y, color)) continue;
        ++s.count;
        sx += x;
        sy += y;
      }
    }
    if (s.count) s.x = static_cast<int>(sx / s.count), s.y = static_cast<int>(sy / s.count);
    return s;
  }
  // The box of the pixels that differ from another shot.
  struct Box {
    int left = 0, top = 0, right = -1, bottom = -1;
    bool empty() const { return right < left; }
  };
  // The bottom edge of the white panel of a menu, looked for upwards from
  // the bottom of its box along its middle column.
  int panelBottom(const Box& b) const {
    const int x = (b.left + b.right) / 2;
    for (int y = std::min(b.bottom, height - 1); y > b.top; --y) {
      if (near(x, y, 0xffffff, 2)) return y;
    }
    return -1;
  }
  // A popup's own window is black where its rounded panel does not draw
  // (nothing composites under Xvfb): the box of what turned black.
  Box popupFrom(const Shot& before) const {
    Box b{width, height, -1, -1};
    if (before.rgb.size() != rgb.size()) return b;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (!near(x, y, 0x000000, 2) || before.near(x, y, 0x000000, 2)) continue;
        b.left = std::min(b.left, x), b.top = std::min(b.top, y);
        b.right = std::max(b.right, x), b.bottom = std::max(b.bottom, y);
      }
    }
    return b;
  }
  Box changedFrom(const Shot& before) const {
    Box b{width, height, -1, -1};
    if (before.rgb.size() != rgb.size()) return b;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const size_t i = (static_cast<size_t>(y) * width + x) * 3;
        if (std::abs(rgb[i] - before.rgb[i]) + std::abs(rgb[i + 1] - before.rgb[i + 1]) +
                std::abs(rgb[i + 2] - before.rgb[i + 2]) < 30) {
          continue;
        }
        b.left = std::min(b.left, x), b.top = std::min(b.top, y);
        b.right = std::max(b.right, x), b.bottom = std::max(b.bottom, y);
      }
    }
    return b;
  }
};

// The emblems' fills (finder-plugin/resources/emblems).
constexpr uint32_t kSyncedGreen = 0x2e9e44;
constexpr uint32_t kLockAmber = 0xd89a2f;
constexpr uint32_t kEditViolet = 0x8a4fd8;
constexpr uint32_t kUnsyncGrey = 0x888888;
constexpr uint32_t kWaitingBlue = 0x2f7fd8;
// Rows of Nautilus 43's menus, from the bottom edge of the menu's panel:
// the last row's middle, and the row above the last section's separator.
constexpr int kLastRowFromBottom = 21;
constexpr int kRowAboveLastSectionFromBottom = 66;

int run(const std::vector<std::string>& argv) {
  std::vector<std::string> args(argv.begin() + 1, argv.end());
  const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid =
      testsupport::spawnChild(argv[0], args, testsupport::childEnvironment({}, {"PATH", "DISPLAY", "XAUTHORITY", "HOME"}), quiet);
  ::close(quiet);
  return pid < 0 ? -1 : testsupport::waitExit(pid, 30);
}

class PluginNautilusGuiTest : public fptest::QuorvaSignedInTest {
protected:
  void SetUp() override {
    ASSERT_TRUE(gBus) << "no desktop";
    QuorvaSignedInTest::SetUp();
  }
  void TearDown() override {
    stopNautilus();
    QuorvaSignedInTest::TearDown();
  }

  void signIn(const shelltest::Account& a) { QuorvaSignedInTest::signIn(a, {"我的.txt", "编辑.txt", "锁定.txt", "文档/b.txt"}); }

  // Nautilus with this build's module, in the sync folder's personal area.
  // False (with the reason) when the machine can't give it its own folder.
  bool startNautilus(const std::string& folder, std::string* why) {
    ext_ = plat::makeTemporaryDirectory("fp-gui-ext");
    const std::string module = FP_MODULE;
    const std::string moduleDir = plat::pathDirname(module);
    if (run({"/bin/cp", "-R", module, moduleDir + "/quorva-finder-plugin", ext_ + "/"}) != 0) {
      *why = "the module can't be copied";
      return false;
    }
    log_ = ext_ + "-nautilus.log";
    const std::string script =
        plat::format("mount --bind '%@' '%@' && exec nautilus --new-window '%@'", ext_, std::string(kSystemExtensions), folder);
    const auto env = testsupport::childEnvironment(
        {"HOME=" + home(), "GSETTINGS_BACKEND=memory", "NO_AT_BRIDGE=1", "GTK_A11Y=none"},
        {"PATH", "DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "LANG"});
    nautilus_ = testsupport::spawnChild("/usr/bin/unshare", {"-m", "--propagation", "private", "sh", "-c", script}, env, log_);
    if (nautilus_ < 0) {
      *why = "unshare can't be started";
      return false;
    }
    if (!until([&] { return logged("FINDER PLUGIN LOADED") || !alive(); }, 60) || !alive()) {
      *why = "Nautilus did not load the module: " + plat::readFile(log_).value_or("");
      return false;
    }
    return true;
  }
  bool alive() const { return nautilus_ > 0 && ::waitpid(nautilus_, nullptr, WNOHANG) == 0; }
  bool logged(const std::string& text) const {
    return plat::readFile(log_).value_or("").find(text) != std::string::npos;
  }
  void stopNautilus() {
    if (nautilus_ > 0) {
      ::kill(nautilus_, SIGTERM);
      if (testsupport::waitExit(nautilus_, 10) == -1 && ::waitpid(nautilus_, nullptr, WNOHANG) == 0) {
        ::kill(nautilus_, SIGKILL);
        ::waitpid(nautilus_, nullptr, 0);
      }
      nautilus_ = -1;
    }
    if (!ext_.empty()) plat::removeTree(ext_);
    ext_.clear();
  }

  // Waits, serving Quorva's main thread, until a shot shows what is asked.
  Shot shotUntil(const std::function<bool(const Shot&)>& done, double seconds) {
    Shot s;
    until([&] {
      s = Shot::take();
      return done(s);
    }, seconds);
    return s;
  }
  // The screen once it stops changing for a while (a menu's opening and
  // its slide to a submenu are animated, and a loaded machine stalls them).
  Shot settled() {
    Shot last = Shot::take();
    int still = 0;
    for (int i = 0; i < 100 && still < 3; ++i) {
      until([] { return false; }, 0.3);
      Shot next = Shot::take();
      still = next.changedFrom(last).empty() ? still + 1 : 0;
      last = std::move(next);
    }
    return last;
  }
  static void save(const Shot& s, const std::string& name) {
    const std::string path = qvtest::screenshotPath(name);
    EXPECT_TRUE(qvtest::pictureSaved(s.save(path), path));
  }
  static void xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(run(argv), 0) << args[0];
  }

  std::string ext_, log_;
  pid_t nautilus_ = -1;
};

TEST_F(PluginNautilusGuiTest, NautilusShowsTheEmblemsAndTheSubmenuReachesQuorva) {
  signIn(teamUser(std::to_string(::getpid()) + "g", false));
  // The sync folder wears the program's icon from the start-up on.
  const auto icon = plat::folderCustomIcon(app().tempsyncpath());
  if (icon) {
    EXPECT_EQ(*icon, "file://" + Util::resourcePath() + "/folder.svg");
    EXPECT_TRUE(plat::fileExists(Util::resourcePath() + "/folder.svg"));
  } else {
    ADD_FAILURE() << "the sync folder has no custom icon (is gvfs's metadata service on the session bus?)";
  }

  const QVMenuItem share = menuItem("分享", 0x110, "gMain");
  stopEnginesWithRows({share});
  app().userdata()->setMenuArray({share});
  app().setBRemove(true);
  app().setBRightBar(true);

  std::string why;
  if (!startNautilus(personal_, &why)) {
    if (::geteuid() != 0) GTEST_SKIP() << "Nautilus's extension folder can't be given this build's module: " << why;
    FAIL() << why;
  }

  // The emblems of the personal area: one file in step (green), one locked
  // by another member, one being edited here, an excluded folder, a folder
  // with a file on its way up.
  const Shot emblems = shotUntil([](const Shot& s) {
    return s.find(kSyncedGreen).count > 20 && s.find(kLockAmber).count > 20 && s.find(kEditViolet).count > 20 &&
           s.find(kUnsyncGrey).count > 20 && s.find(kWaitingBlue).count > 20;
  }, 90);
  save(emblems, "nautilus-emblems.png");
  const auto green = emblems.find(kSyncedGreen), amber = emblems.find(kLockAmber);
  ASSERT_GT(green.count, 20) << "no emblem of a file in step; " << plat::readFile(log_).value_or("");
  EXPECT_GT(amber.count, 20) << "no emblem of the locked file";
  EXPECT_GT(emblems.find(kEditViolet).count, 20) << "no emblem of the file edited here";
  EXPECT_GT(emblems.find(kUnsyncGrey).count, 20) << "no emblem of the excluded folder";
  EXPECT_GT(emblems.find(kWaitingBlue).count, 20) << "no emblem of the folder with a file waiting";

  // A right-click on the file in step ("我的.txt", the one green emblem):
  // Nautilus asks the module for its menu, and the selection reaches the
  // side bar of Quorva.
  // The emblem sits at the icon's upper right corner.
  xdotool({"mousemove", std::to_string(green.x - 40), std::to_string(green.y + 30)});
  until([] { return false; }, 0.5);
  const Shot before = Shot::take();
  xdotool({"click", "3"});
  // The menu is taller than the file's highlighted cell.
  Shot::Box menu;
  const auto menuShown = [&](const Shot& s) {
    menu = s.changedFrom(before);
    return !menu.empty() && menu.bottom - menu.top > 250;
  };
  Shot opened = shotUntil(menuShown, 15);
  if (!menuShown(opened)) {
    save(opened, "nautilus-context-menu-click.png");
    xdotool({"key", "shift+F10"});
    opened = shotUntil(menuShown, 15);
  }
  ASSERT_TRUE(menuShown(opened)) << "no context menu";
  opened = settled();
  menu = opened.popupFrom(before);
  save(opened, "nautilus-context-menu.png");
  ASSERT_TRUE(until([&] { return sideBar().find("\"webpath\":\"我的.txt\"") != std::string::npos; }, 30)) << sideBar();
  EXPECT_NE(sideBar().find(R"("isshare":0,"local":0,"type":1})"), std::string::npos) << sideBar();

  // The mount's entry is the menu's extension section, above the last
  // section (the properties); it opens the submenu, whose last entry is
  // the web menu's "分享" for a file in step.
  std::mutex m;
  std::vector<Value> posted;
  plat::ScopedObserver watch("gMain", [&](const plat::Notification& n) {
    std::lock_guard<std::mutex> l(m);
    posted.push_back(n.object);
  });
  const int bottom = opened.panelBottom(menu);
  ASSERT_GT(bottom, 0) << "no menu panel";
  const int x = (menu.left + menu.right) / 2;
  xdotool({"mousemove", std::to_string(x), std::to_string(bottom - kRowAboveLastSectionFromBottom), "click", "1"});
  shotUntil([&](const Shot& s) { return !s.changedFrom(opened).empty(); }, 30);
  const Shot sub = settled();
  save(sub, "nautilus-submenu.png");
  const Shot::Box subBox = sub.popupFrom(before);
  ASSERT_FALSE(sub.changedFrom(opened).empty()) << "the submenu did not open";
  const int subBottom = sub.panelBottom(subBox);
  ASSERT_GT(subBottom, 0);
  xdotool({"mousemove", std::to_string((subBox.left + subBox.right) / 2), std::to_string(subBottom - kLastRowFromBottom),
           "click", "1"});
  const bool reached = until([&] {
    std::lock_guard<std::mutex> l(m);
    return !posted.empty();
  }, 30);
  if (!reached) save(Shot::take(), "nautilus-submenu-clicked.png");
  ASSERT_TRUE(reached) << "the submenu's entry did not reach Quorva; clicked at " << (subBox.left + subBox.right) / 2 << ","
                       << subBottom - kLastRowFromBottom << " in " << subBox.left << "," << subBox.top << "-" << subBox.right
                       << "," << subBox.bottom;
  std::lock_guard<std::mutex> l(m);
  EXPECT_EQ(posted[0], Value(Array{Value(0), Value(personal_ + "我的.txt")}));
}

}  // namespace

int main(int argc, char** argv) {
  if (auto waited = qvtest::runOnDisplay(argc, argv)) return *waited;
  const bool listing = argc > 1 && std::string(argv[1]).rfind("--gtest_list_tests", 0) == 0;
  ::testing::InitGoogleTest(&argc, argv);
  if (!listing && !gdk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "no display\n");
    return 1;
  }
  ::testing::AddGlobalTestEnvironment(new Desktop);
  return RUN_ALL_TESTS();
}
