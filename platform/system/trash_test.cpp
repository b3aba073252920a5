#include "platform/system/trash.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

using plat::testing::ScopedEnv;
using plat::testing::TempHome;

class TrashTest : public ::testing::Test {
protected:
  TempHome home;
  ScopedEnv tz{"TZ", "UTC0"};
  plat::ScopedClock clock{std::make_shared<plat::ManualClock>()};  // 2024-01-01 10:00:00 UTC
  void SetUp() override { tzset(); }
  void TearDown() override { tzset(); }
  std::string trashDir() const { return home.path() + "/.local/share/Trash"; }
};

TEST_F(TrashTest, MovesAFileAndWritesItsInfo) {
  std::string folder = home.path() + "/我的 Quorva";
  ASSERT_TRUE(plat::makeDirectories(folder));
  std::string file = folder + "/a b%.txt";
  ASSERT_TRUE(plat::atomicWrite(file, "content"));

  std::string where;
  plat::Error err;
  ASSERT_TRUE(plat::FreedesktopTrash().moveToTrash(file, &where, &err)) << err.description();
  EXPECT_EQ(where, trashDir() + "/files/a b%.txt");
  EXPECT_FALSE(plat::fileExists(file));
  EXPECT_EQ(plat::readFile(where), "content");
  EXPECT_EQ(plat::readFile(trashDir() + "/info/a b%.txt.trashinfo"),
            "[Trash Info]\nPath=" + plat::trashInfoEscape(folder) +
                "/a%20b%25.txt\nDeletionDate=2024-01-01T10:00:00\n");
  EXPECT_EQ(plat::trashInfoEscape("/h/我"), "/h/%E6%88%91");
  auto st = plat::statFollow(trashDir() + "/files");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->mode & 0777, 0700u);
}

TEST_F(TrashTest, SameNameTwiceKeepsBothAndFoldersGoWhole) {
  std::string a = home.path() + "/one/report.pdf", b = home.path() + "/two/report.pdf";
  ASSERT_TRUE(plat::makeDirectories(home.path() + "/one") && plat::makeDirectories(home.path() + "/two"));
  ASSERT_TRUE(plat::atomicWrite(a, "A") && plat::atomicWrite(b, "B"));
  std::string dir = home.path() + "/tree";
  ASSERT_TRUE(plat::makeDirectories(dir + "/sub"));
  ASSERT_TRUE(plat::atomicWrite(dir + "/sub/f", "F"));

  plat::FreedesktopTrash t;
  std::string wa, wb, wd;
  ASSERT_TRUE(t.moveToTrash(a, &wa));
  ASSERT_TRUE(t.moveToTrash(b, &wb));
  ASSERT_TRUE(t.moveToTrash(dir + "/", &wd));  // a trailing slash names the folder itself
  EXPECT_EQ(wa, trashDir() + "/files/report.pdf");
  EXPECT_EQ(wb, trashDir() + "/files/report.2.pdf");
  EXPECT_EQ(plat::readFile(wb), "B");
  EXPECT_TRUE(plat::fileExists(trashDir() + "/info/report.2.pdf.trashinfo"));
  EXPECT_EQ(plat::readFile(wd + "/sub/f"), "F");
  EXPECT_FALSE(plat::fileExists(dir));
}

TEST_F(TrashTest, RefusesMissingAndRelativePaths) {
  plat::FreedesktopTrash t;
  for (const std::string& p : {home.path() + "/missing", std::string("relative/file"), std::string("/")}) {
    plat::Error err;
    EXPECT_FALSE(t.moveToTrash(p, nullptr, &err)) << p;
    EXPECT_EQ(err.domain(), plat::kPOSIXErrorDomain) << p;
  }
  // Nothing was reserved in the trash for a failed move.
  EXPECT_FALSE(plat::fileExists(trashDir() + "/info/missing.trashinfo"));
}

TEST_F(TrashTest, FollowsXdgDataHome) {
  std::string data = home.path() + "/data";
  ScopedEnv xdg("XDG_DATA_HOME", data.c_str());
  std::string f = home.path() + "/x";
  ASSERT_TRUE(plat::atomicWrite(f, "x"));
  std::string where;
  ASSERT_TRUE(plat::trash()->moveToTrash(f, &where));
  EXPECT_EQ(where, data + "/Trash/files/x");
}

}  // namespace
