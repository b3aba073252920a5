#include "platform/foundation/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/notification_center.h"

using namespace plat;

class FileUtil : public ::testing::Test {
protected:
  void SetUp() override { dir_ = makeTemporaryDirectory("qv-fileutil"); ASSERT_FALSE(dir_.empty()); }
  void TearDown() override { removeTree(dir_); }
  std::string dir_;
};

TEST_F(FileUtil, MakeDirectoriesAndAtomicWrite) {
  std::string deep = pathJoin(dir_, "a/b/c");
  ASSERT_TRUE(makeDirectories(deep, 0700));
  EXPECT_TRUE(isDirectory(deep));
  EXPECT_TRUE(makeDirectories(deep));  // already there

  std::string f = pathJoin(deep, "settings.db");
  ASSERT_TRUE(atomicWrite(f, "first", 0600));
  ASSERT_TRUE(atomicWrite(f, "second"));
  EXPECT_EQ(readFile(f).value(), "second");
  auto st = statFollow(f);
  ASSERT_TRUE(st);
  EXPECT_EQ(st->mode & 0777, 0644u);
  EXPECT_EQ(st->size, 6u);
  // No temporary left behind.
  EXPECT_EQ(system(("test $(ls -A " + deep + " | wc -l) -eq 1").c_str()), 0);

  Error err;
  EXPECT_FALSE(atomicWrite(pathJoin(dir_, "missing/x"), "y", 0644, &err));
  EXPECT_EQ(err.domain(), kPOSIXErrorDomain);
  EXPECT_EQ(err.code(), ENOENT);
  // A file in the way of a folder.
  EXPECT_FALSE(makeDirectories(pathJoin(f, "sub"), 0755, &err));
}

TEST_F(FileUtil, StatFollowsLinksAndSetsTime) {
  std::string f = pathJoin(dir_, "target");
  ASSERT_TRUE(atomicWrite(f, "12345"));
  std::string l = pathJoin(dir_, "link");
  ASSERT_EQ(symlink(f.c_str(), l.c_str()), 0);
  EXPECT_EQ(statFollow(l)->size, 5u);
  EXPECT_TRUE(statNoFollow(l)->isSymlink);
  ASSERT_TRUE(setModificationTime(f, Date{1704103200.5}));
  EXPECT_DOUBLE_EQ(statFollow(f)->modified.secondsSince1970, 1704103200.5);
  EXPECT_FALSE(statFollow(pathJoin(dir_, "nothing")));
  EXPECT_FALSE(setModificationTime(pathJoin(dir_, "nothing"), Date{0}));
}

TEST(PathText, Table) {
  struct Row { const char* in; const char* dir; const char* base; } rows[] = {
      {"/a/b/c.txt", "/a/b", "c.txt"}, {"c.txt", "", "c.txt"}, {"/a/", "/", "a"}, {"/", "/", "/"}};
  for (auto& r : rows) {
    EXPECT_EQ(pathDirname(r.in), r.dir) << r.in;
    EXPECT_EQ(pathBasename(r.in), r.base) << r.in;
  }
  EXPECT_EQ(pathJoin("/a/", "/b"), "/a/b");
}

TEST(NotificationCenter, ObserversByNameAndRemoval) {
  NotificationCenter c;
  std::vector<std::string> seen;
  auto all = c.addObserver("", [&](const Notification& n) { seen.push_back("all:" + n.name); });
  NotificationCenter::Token peer = 0;
  peer = c.addObserver("UdpAddPeer", [&](const Notification& n) {
    seen.push_back("peer:" + n.object.string());
    c.removeObserver(peer);  // removing itself while being called
  });
  c.post("UdpAddPeer", Value("10.0.0.1"));
  c.post("UdpAddPeer", Value("again"));
  c.removeObserver(all);
  c.post("FileListNotification");
  EXPECT_EQ(seen, (std::vector<std::string>{"all:UdpAddPeer", "peer:10.0.0.1", "all:UdpAddPeer"}));
  {
    ScopedObserver so("MoveFileNotification", [&](const Notification& n) { seen.push_back(n.userInfo["p"].string()); }, c);
    c.post("MoveFileNotification", {}, Dictionary{{"p", Value("100")}});
  }
  c.post("MoveFileNotification", {}, Dictionary{{"p", Value("-1")}});
  EXPECT_EQ(seen.back(), "100");
}
