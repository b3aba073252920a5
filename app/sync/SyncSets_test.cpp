// The three folder sets: excluded folders, shared roots, linked folders.
#include <gtest/gtest.h>

#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "app/sync/LinkFolder.h"
#include "app/sync/SyncShare.h"
#include "app/sync/UnSyncNode.h"

namespace {

struct NeedSync {
  const char* path;
  bool dir;
  bool expected;
};

TEST(UnSyncNode, AnsweringWhetherAPathIsSynced) {
  UnSyncNode empty;
  EXPECT_TRUE(empty.need_sync("anything", false));
  EXPECT_TRUE(empty.need_sync("", true));

  UnSyncNode n;
  n.setnode({{"Docs", 0}, {"Loose", 2}, {"Ärger", 0}});
  const NeedSync cases[] = {
      {"docs", true, false},       {"DOCS/a.txt", false, false}, {"Docs/x/y", false, false},
      {"Docs2", true, true},       {"Docsa/b", false, true},     {"Loose/a.txt", false, false},
      {"loose/sub", true, true},   {"Loose/sub/b.txt", false, true}, {"Loose", true, true},
      {"ärger/x", false, false},   {"Arger/x", false, true},     {"/Docs", true, true},
  };
  for (const auto& c : cases) EXPECT_EQ(n.need_sync(c.path, c.dir), c.expected) << c.path;

  UnSyncNode top;
  top.setnode({{"", 2}});
  EXPECT_FALSE(top.need_sync("a.txt", false));
  EXPECT_TRUE(top.need_sync("d", true));
  EXPECT_TRUE(top.need_sync("d/a.txt", false));
  top.setnode({{"", 0}});
  EXPECT_FALSE(top.need_sync("d", true));
}

TEST(UnSyncNode, EditingTheList) {
  UnSyncNode n;
  EXPECT_TRUE(n.add("Docs", 0));
  EXPECT_FALSE(n.add("DOCS", 2));
  EXPECT_EQ(n.getlist(), (std::vector<UnSyncNodeItem>{{"Docs", 2}}));
  EXPECT_FALSE(n.checksync("Docs", 2));
  EXPECT_TRUE(n.checksync("Docs", 0));
  EXPECT_TRUE(n.checksync("Other", 2));

  n.setunsyncnodes("", {{"A", 0}, {"a/b", 0}, {"AB", 0}, {"c", 0}});
  EXPECT_FALSE(n.checksync("c/x", 0));
  n.setunsyncnodes("a", {{"a/new", 2}});
  EXPECT_EQ(n.getlist(), (std::vector<UnSyncNodeItem>{{"AB", 0}, {"c", 0}, {"a/new", 2}}));
  EXPECT_TRUE(n.remove("C"));
  EXPECT_FALSE(n.remove("c"));
  EXPECT_EQ(n.getlist().size(), 2u);
}

TEST(UnSyncNode, TheListHandedOutIsACopy) {
  UnSyncNode n;
  n.add("keep", 0);
  auto list = n.getlist();
  list.clear();
  list.push_back({"x", 0});
  EXPECT_EQ(n.getlist(), (std::vector<UnSyncNodeItem>{{"keep", 0}}));

  // Readers walk their copies while writers change the set.
  std::barrier start(3);
  std::thread writer([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 2000; ++i) {
      n.add("w" + std::to_string(i % 50), 0);
      n.remove("w" + std::to_string((i + 25) % 50));
    }
  });
  std::thread reader([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 2000; ++i) {
      for (const auto& e : n.getlist()) ASSERT_FALSE(e.path.empty());
      n.need_sync("w3/x", false);
    }
  });
  start.arrive_and_wait();
  writer.join();
  reader.join();
  EXPECT_FALSE(n.need_sync("keep/x", false));
}

TEST(SyncShare, TheFirstContainingRootDecides) {
  SyncShare s;
  s.add("Shared", 1, 0, 0);
  s.add("Shared/Inner", 0, 1, 1);
  s.add("Team", 0, 1, 1);
  EXPECT_TRUE(s.isreadonly("Shared/Inner/a.txt"));
  EXPECT_FALSE(s.islocal("shared/inner/a.txt"));
  EXPECT_FALSE(s.isreadonly("SharedX/a.txt"));
  EXPECT_TRUE(s.isorg("team/x"));
  EXPECT_TRUE(s.islocal("TEAM"));
  std::string parent = "untouched";
  EXPECT_FALSE(s.isreadonly("Team/a", parent));
  EXPECT_EQ(parent, "untouched");
  EXPECT_TRUE(s.isreadonly("SHARED/b", parent));
  EXPECT_EQ(parent, "Shared");

  s.add("SHARED", 0, 0, 0);  // flags change, letters stay
  ShareNode node;
  EXPECT_TRUE(s.get("shared", node));
  EXPECT_EQ(node, (ShareNode{"Shared", 0, 0, 0}));
  EXPECT_FALSE(s.get("nothing", node));

  int64_t share = 7, local = 7;
  s.getshare("outside/x", share, local);
  EXPECT_EQ(share, 7);
  share = 0, local = 0;
  s.getshare("team/x", share, local);
  EXPECT_EQ(share, 1);
  EXPECT_EQ(local, 1);

  EXPECT_TRUE(s.isshare("Shared", true));
  EXPECT_FALSE(s.isshare("", true));
  SyncShare ab;
  ab.add("A/B", 0, 0, 0);
  EXPECT_TRUE(ab.isshare("a", false));
  EXPECT_FALSE(ab.isshare("a", true));
  EXPECT_EQ(s.getallorg(), (std::vector<ShareNode>{{"Shared/Inner", 0, 1, 1}, {"Team", 0, 1, 1}}));
}

TEST(SyncShare, RemovingAndRenaming) {
  SyncShare s;
  for (const char* p : {"Team", "team/a", "Teams"}) s.add(p, 0, 0, 0);
  EXPECT_TRUE(s.remove("TEAM", false));
  EXPECT_EQ(s.getall(), (std::vector<ShareNode>{{"Teams", 0, 0, 0}}));
  for (const char* p : {"Team", "team/a"}) s.add(p, 0, 0, 0);
  EXPECT_TRUE(s.remove("team", true));
  EXPECT_EQ(s.getall().size(), 2u);
  EXPECT_FALSE(s.remove("none", true));

  EXPECT_TRUE(s.rename("TEAMS", "Crew"));
  EXPECT_FALSE(s.rename("Teams", "x"));
  auto all = s.getall();
  all[0].type = 1;  // a copy
  EXPECT_EQ(s.getall()[0], (ShareNode{"Crew", 0, 0, 0}));
  EXPECT_FALSE(s.isreadonly("crew/x"));
}

TEST(LinkFolder, MappingBothWays) {
  LinkFolder l;
  EXPECT_EQ(l.getnormalpath("Photos/a"), "");
  l.add("Photos", "/home/u/Pics");
  l.add("A", "/a");
  l.add("A/B", "/b");
  l.add("Ärger", "/home/u/Ä");
  struct Case {
    const char* webpath;
    const char* fullpath;
  };
  const Case normal[] = {
      {"photos/2014/a.jpg", "/home/u/Pics/2014/a.jpg"},
      {"Photos", "/home/u/Pics"},
      {"PhotosOld/a.jpg", ""},
      {"A/B/c", "/a/B/c"},  // through the first link
      {"ärger/Öl.txt", "/home/u/Ä/Öl.txt"},
  };
  for (const auto& c : normal) EXPECT_EQ(l.getnormalpath(c.webpath), c.fullpath) << c.webpath;
  EXPECT_EQ(l.getrelativepath("/HOME/u/pics/x.txt"), "Photos/x.txt");
  EXPECT_EQ(l.getrelativepath("/home/u/ä/x"), "Ärger/x");
  EXPECT_EQ(l.getrelativepath("/home/u/Pics2/x"), "");

  EXPECT_TRUE(l.islink("photos"));
  EXPECT_FALSE(l.islink("photos/x"));
  EXPECT_TRUE(l.islinkforwebpath("photos/x"));
  EXPECT_FALSE(l.islinkforwebpath("photosx"));
  EXPECT_TRUE(l.islinkforfullpath("/home/u/Pics/x"));
  EXPECT_FALSE(l.islinkforfullpath("/home/u/PicsX"));

  l.add("PHOTOS", "/new");
  EXPECT_EQ(l.getlinknodes().front(), (LinkFolderNode{"Photos", "/new"}));
  l.add("Photos/Sub", "/sub");
  l.add("PhotosOld", "/old");
  EXPECT_TRUE(l.remove("photos", false));
  std::vector<std::string> left;
  for (const auto& n : l.getlinknodes()) left.push_back(n.webpath);
  EXPECT_EQ(left, (std::vector<std::string>{"A", "A/B", "Ärger", "PhotosOld"}));
  EXPECT_TRUE(l.remove("a", true));
  EXPECT_EQ(l.getlinknodes().size(), 3u);

  LinkFolder s;
  s.set({{"x", "/x"}, {"y", "/y"}});
  EXPECT_EQ(s.getnormalpath("y/1"), "/y/1");
}

}  // namespace
