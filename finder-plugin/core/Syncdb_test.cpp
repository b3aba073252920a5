#include "finder-plugin/core/Syncdb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "finder-plugin/core/fp_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"

namespace finder {
namespace {

class PluginSyncdbTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = plat::makeTemporaryDirectory("fpsyncdb");
    root_ = dir_ + "/sync/";
    personal_ = root_ + "个人的文件/";
    team_ = root_ + "团队的文件/";
    link_ = dir_ + "/linked";
    for (const auto& d : {personal_ + "dir", personal_ + "busy", personal_ + "ex", team_ + "Team A", link_}) {
      plat::makeDirectories(d);
    }
    dbpath_ = dir_ + "/qvsyncdbex.db";
    fptest::Raw raw(dbpath_);
    raw.exec(fptest::kSchema);
    raw.row("a.txt", 1, 4);
    raw.row("Wait.txt", 1, 1);
    raw.row("locked.txt", 1, 4, 1);
    raw.row("edit.txt", 1, 4, 2);
    raw.row("dir", 0, 4);
    raw.row("dir/x.txt", 1, 4);
    raw.row("busy", 0, 4);
    raw.row("busy/y.txt", 1, 3);
    raw.row("It's.txt", 1, 4);
    raw.row("Ünï.txt", 1, 4);
    raw.row("Team A/t.txt", 1, 4);
    raw.row("linked/l.txt", 1, 4);
    raw.exec("insert into SYNCNODES values('ex',0);");
    raw.exec("insert into VERSION(path,synctype,local,org) values('/',0,0,0);");
    raw.exec("insert into VERSION(path,synctype,local,org) values('/Team A/',0,1,1);");
    raw.exec("insert into LINKNODE values('linked','" + link_ + "');");
    raw.exec("insert into MENU values('共享',0x110);");
    raw.exec("insert into MENU values('锁定',0x230);");
  }
  void TearDown() override { plat::removeTree(dir_); }

  std::string dir_, root_, personal_, team_, link_, dbpath_;
};

TEST_F(PluginSyncdbTest, EachKindOfPathGetsItsState) {
  Syncdb db;
  ASSERT_TRUE(db.setpath(dbpath_, root_.substr(0, root_.size() - 1), "我的Quorva", 5)) << "the slash is added";
  struct Case {
    std::string path;
    bool showparent;
    int state;
  };
  const Case cases[] = {
      {personal_ + "a.txt", true, 2},
      {personal_ + "A.TXT", true, 2},          // letter case
      {personal_ + "ünï.txt", true, 2},        // beyond ASCII too
      {personal_ + "It's.txt", true, 2},       // a quote in the name
      {personal_ + "Wait.txt", true, 1},
      {personal_ + "locked.txt", true, 3},
      {personal_ + "edit.txt", true, 5},
      {personal_ + "dir", true, 2},            // a folder with everything synced
      {personal_ + "busy", true, 1},           // a folder holding a waiting file
      {personal_ + "ex/f.txt", true, 6},       // excluded
      {personal_ + "unknown.txt", true, 0},
      {personal_ + "linked/l.txt", true, 6},   // inside a link, not here
      {personal_ + "Team A", true, 6},         // a team root in the personal area
      {team_ + "Team A/t.txt", true, 2},
      {team_ + "Nope", true, 6},               // not a team root
      {link_ + "/l.txt", true, 2},             // in the linked folder
      {root_ + "回收站.webloc", true, 0},
      {root_ + "stray.txt", true, 6},
      {personal_.substr(0, personal_.size() - 1), false, 0},
      {personal_.substr(0, personal_.size() - 1), true, 1},  // Wait.txt is not in step
      {team_.substr(0, team_.size() - 1), true, 2},
      {dir_ + "/elsewhere.txt", true, 0},
      {root_.substr(0, root_.size() - 1), true, 0},  // the sync folder itself
  };
  for (const Case& c : cases) {
    Syncdb fresh;  // no cache between the cases
    ASSERT_TRUE(fresh.setpath(dbpath_, root_, "我的Quorva", 5));
    EXPECT_EQ(fresh.getstatus(c.path, c.showparent), c.state) << c.path << " showparent " << c.showparent;
  }
  EXPECT_EQ(db.getrightstatus(team_ + "Team A/t.txt"), 4) << "a synced file under a root kept locally";
  EXPECT_EQ(db.getrightstatus(personal_ + "a.txt"), 2);
  db.close();
  EXPECT_FALSE(db.bStart());
  EXPECT_EQ(db.getstatus(personal_ + "a.txt", true), 0) << "closed: nothing to show";
}

TEST_F(PluginSyncdbTest, AMissingFileIsNeitherOpenedNorMade) {
  Syncdb db;
  EXPECT_FALSE(db.setpath(dir_ + "/none.db", root_, "m", 0));
  EXPECT_FALSE(db.bStart());
  EXPECT_FALSE(plat::fileExists(dir_ + "/none.db"));
}

TEST_F(PluginSyncdbTest, ItWritesNothingButTheHistory) {
  fptest::Raw raw(dbpath_);
  const std::string everything =
      "select group_concat(x, '|') from (select path||status||lock as x from SYNC union all select path||local from VERSION "
      "union all select name||status from MENU union all select srcpath||dstpath from LINKNODE union all select path from SYNCNODES)";
  const auto before = raw.column(everything);
  Syncdb db;
  ASSERT_TRUE(db.setpath(dbpath_, root_, "m", 5));
  for (const char* f : {"a.txt", "dir/x.txt", "busy/y.txt"}) db.getstatus(personal_ + f, true);
  db.addHistory(personal_ + "dir/x.txt");
  db.getrightstatus(personal_ + "dir");
  db.check_local(team_ + "Team A/t.txt");
  db.getMenu();
  db.close();
  EXPECT_EQ(raw.column(everything), before);
  EXPECT_EQ(raw.column("select path from HISTORY"), std::vector<std::string>{personal_ + "dir"});
}

TEST_F(PluginSyncdbTest, AFileHeldByTheEngineDoesNotHoldTheLookup) {
  Syncdb db;
  ASSERT_TRUE(db.setpath(dbpath_, root_, "m", 5));
  fptest::Raw writer(dbpath_);
  writer.exec("BEGIN EXCLUSIVE;");  // the engine in the middle of a long write
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(db.getstatus(personal_ + "a.txt", true), 0) << "no state rather than a frozen window";
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  writer.exec("COMMIT;");
  EXPECT_EQ(db.getstatus(personal_ + "a.txt", true), 2) << "the busy answer was not cached";
}

TEST_F(PluginSyncdbTest, TheCacheKeepsAStateTwoSecondsAndAtMost201Entries) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  Syncdb db;
  ASSERT_TRUE(db.setpath(dbpath_, root_, "m", 5));
  EXPECT_EQ(db.getstatus(personal_ + "Wait.txt", true), 1);
  fptest::Raw(dbpath_).row("Wait.txt", 1, 4);
  clock->advance(2.0);
  EXPECT_EQ(db.getstatus(personal_ + "Wait.txt", true), 1) << "still within two seconds";
  clock->advance(1.0);
  EXPECT_EQ(db.getstatus(personal_ + "Wait.txt", true), 2) << "an old entry is dropped";

  for (int i = 0; i < 250; ++i) db.getstatus(personal_ + "n" + std::to_string(i), true);
  EXPECT_EQ(db.cacheSize(), 201u);
  int state = -1;
  EXPECT_FALSE(db.check_overtemp(personal_ + "n48", &state)) << "the oldest went first";
  EXPECT_TRUE(db.check_overtemp(personal_ + "n49", &state));
  EXPECT_TRUE(db.check_overtemp(personal_ + "n249", &state));
  EXPECT_EQ(state, 0);
}

TEST_F(PluginSyncdbTest, TheHistoryKeepsTheLastFiveFoldersNewestFirst) {
  Syncdb db;
  ASSERT_TRUE(db.setpath(dbpath_, root_, "m", 5));
  for (int i = 1; i <= 6; ++i) db.addHistory(personal_ + "f" + std::to_string(i) + "/file.txt");
  db.addHistory(personal_ + "f4/other.txt");  // already listed: no change of order
  db.addHistory("bare-name");                 // no folder
  std::vector<std::string> expected;
  for (int i = 6; i >= 2; --i) expected.push_back(personal_ + "f" + std::to_string(i));
  EXPECT_EQ(fptest::Raw(dbpath_).column("select path from HISTORY"), expected);
  EXPECT_EQ(db.gethistory(), expected);
}

TEST_F(PluginSyncdbTest, TheMenuEntriesAndTheSetsComeFromTheirTables) {
  Syncdb db;
  ASSERT_TRUE(db.setpath(dbpath_, root_, "我的Quorva", 5));
  const auto menu = db.getMenu();
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].title, "共享");
  EXPECT_EQ(menu[0].status, 0x110);
  EXPECT_EQ(db.mountName(), "我的Quorva");
  int type = -9;
  EXPECT_EQ(db.getrelativepath(link_ + "/sub/l.txt", &type), "linked/sub/l.txt");
  EXPECT_EQ(type, 0);
  EXPECT_TRUE(db.check_mount(root_));
  EXPECT_TRUE(db.check_mount(root_.substr(0, root_.size() - 1)));
  EXPECT_TRUE(db.check_sync(link_ + "/x"));
  EXPECT_FALSE(db.check_sync(dir_ + "/elsewhere"));
}

}  // namespace
}  // namespace finder
