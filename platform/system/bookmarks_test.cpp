#include "platform/system/bookmarks.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

using plat::testing::ScopedEnv;
using plat::testing::TempHome;

TEST(Bookmarks, InsertFirstAndRemoveKeepOtherLines) {
  TempHome home;
  std::string file = home.path() + "/.config/gtk-3.0/bookmarks";
  ASSERT_TRUE(plat::makeDirectories(plat::pathDirname(file)));
  ASSERT_TRUE(plat::atomicWrite(file, "file:///home/u/Music Music\nsftp://host/share\nfile:///home/u/Docs\n"));
  plat::GtkBookmarks b;
  EXPECT_EQ(plat::GtkBookmarks::file(), file);
  const std::string folder = home.path() + "/我的Quorva";
  ASSERT_TRUE(b.insertFirst(folder));
  EXPECT_EQ(b.folders(), (std::vector<std::string>{folder, "/home/u/Music", "/home/u/Docs"}));
  EXPECT_EQ(plat::readFile(file)->substr(0, plat::fileURIForPath(folder).size() + 1),
            plat::fileURIForPath(folder) + "\n");

  // A trailing slash on the folder asked for still finds the entry.
  EXPECT_TRUE(b.remove(folder + "/"));
  EXPECT_EQ(plat::readFile(file), "file:///home/u/Music Music\nsftp://host/share\nfile:///home/u/Docs\n");
  EXPECT_FALSE(b.remove(folder));
  EXPECT_FALSE(b.remove("/home/u"));
}

TEST(Bookmarks, MakesTheFileAndRemovesOneOfTwins) {
  TempHome home;
  std::string cfg = home.path() + "/cfg";
  ScopedEnv xdg("XDG_CONFIG_HOME", cfg.c_str());
  plat::GtkBookmarks b;
  EXPECT_TRUE(b.folders().empty());
  EXPECT_FALSE(b.remove("/x"));
  ASSERT_TRUE(b.insertFirst("/data/a b"));
  ASSERT_TRUE(b.insertFirst("/data/a b"));
  EXPECT_EQ(plat::readFile(cfg + "/gtk-3.0/bookmarks"), "file:///data/a%20b\nfile:///data/a%20b\n");
  EXPECT_TRUE(b.remove("/data/a b"));
  EXPECT_EQ(b.folders(), std::vector<std::string>{"/data/a b"});
}

TEST(Bookmarks, ReadsBookmarkLines) {
  struct Case {
    const char* line;
    std::optional<std::string> path;
  } cases[] = {
      {"file:///home/u/Docs", "/home/u/Docs"},
      {"file:///home/u/My%20Docs Work stuff", "/home/u/My Docs"},
      {"file:///%E6%88%91", "/\u6211"},
      {"file://host/share", std::nullopt},
      {"smb://host/share", std::nullopt},
      {"file:///bad%2", std::nullopt},
      {"file:///bad%zz", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::pathOfBookmarkLine(c.line), c.path) << c.line;
  for (const std::string p : {"/a b/c", "/我的Quorva", "/100%/x#y"}) {
    EXPECT_EQ(plat::pathOfBookmarkLine(plat::fileURIForPath(p) + " label"), p) << p;
  }
}

}  // namespace
