#include "platform/system/autostart.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

using plat::testing::ScopedEnv;
using plat::testing::TempHome;

TEST(Autostart, AddFindRemoveAgainstTheHomeFolder) {
  TempHome home;
  plat::AutostartEntries items;
  const std::string app = "/opt/Quorva $beta/bin/quorva";
  EXPECT_FALSE(items.find(app));
  EXPECT_FALSE(items.remove(app));

  ASSERT_TRUE(items.add("Quorva", app));
  std::string dir = home.path() + "/.config/autostart";
  EXPECT_EQ(plat::AutostartEntries::directory(), dir);
  auto text = plat::readFile(dir + "/Quorva.desktop");
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("[Desktop Entry]\nType=Application\nName=Quorva\n"), std::string::npos);
  EXPECT_NE(text->find("Exec=\"/opt/Quorva \\\\$beta/bin/quorva\"\n"), std::string::npos) << *text;
  EXPECT_TRUE(items.find(app));
  EXPECT_FALSE(items.find("/opt/Quorva"));

  // Two additions make two entries; a removal takes one.
  ASSERT_TRUE(items.add("Quorva", app));
  EXPECT_TRUE(plat::fileExists(dir + "/Quorva-2.desktop"));
  EXPECT_EQ(plat::AutostartEntries::entriesFor(app).size(), 2u);
  EXPECT_TRUE(items.remove(app));
  EXPECT_EQ(plat::AutostartEntries::entriesFor(app), std::vector<std::string>{dir + "/Quorva.desktop"});
  EXPECT_TRUE(items.remove(app));
  EXPECT_FALSE(items.find(app));
}

TEST(Autostart, FollowsXdgConfigHomeAndLeavesOtherEntries) {
  TempHome home;
  std::string cfg = home.path() + "/cfg";
  ScopedEnv xdg("XDG_CONFIG_HOME", cfg.c_str());
  ASSERT_TRUE(plat::makeDirectories(cfg + "/autostart"));
  ASSERT_TRUE(plat::atomicWrite(cfg + "/autostart/other.desktop", "[Desktop Entry]\nExec=/usr/bin/other --x\n"));
  ASSERT_TRUE(plat::loginItems()->add("Quorva", "/usr/bin/quorva"));
  EXPECT_TRUE(plat::fileExists(cfg + "/autostart/Quorva.desktop"));
  EXPECT_TRUE(plat::loginItems()->find("/usr/bin/other"));
  EXPECT_TRUE(plat::loginItems()->remove("/usr/bin/quorva"));
  EXPECT_TRUE(plat::fileExists(cfg + "/autostart/other.desktop"));
}

TEST(Autostart, ReadsTheProgramOfDesktopEntries) {
  struct Case {
    const char* text;
    std::optional<std::string> program;
  } cases[] = {
      {"[Desktop Entry]\nExec=/usr/bin/quorva\n", "/usr/bin/quorva"},
      {"[Desktop Entry]\nExec = /usr/bin/quorva --hidden %U\n", "/usr/bin/quorva"},
      {"[Desktop Entry]\r\nExec=\"/a b/q\\\\\"x\" -m\r\n", "/a b/q\"x"},
      {"[Desktop Entry]\nExec=\"/a/100%% q\"\n", "/a/100% q"},
      {"[Desktop Entry]\nExec=/usr/bin/quorva\nHidden=true\n", std::nullopt},
      {"[Other]\nExec=/usr/bin/quorva\n", std::nullopt},
      {"[Desktop Entry]\nName=x\n", std::nullopt},
      {"# only a comment\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::desktopEntryProgram(c.text), c.program) << c.text;
  // What we write reads back as the same program, whatever it holds.
  for (const std::string p : {"/usr/bin/q", "/o/a b/\"q\"", "/o/$x`y`\\z", "/o/50%"}) {
    EXPECT_EQ(plat::desktopEntryProgram(plat::autostartDesktopEntry("Q", p)), p) << p;
  }
}

}  // namespace
