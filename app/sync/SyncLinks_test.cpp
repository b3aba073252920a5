// Linked folders without the service: which local folders may be linked,
// the JSON list for the pages, and the set, LINKNODE, the excluded folders
// and the watchers kept in agreement by linking and unlinking.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "Framework/SJSON/SJSONSerialization.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

std::string synctestNoSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

class SyncLinksTest : public ::testing::Test {
protected:
  void SetUp() override {
    user_ = std::make_shared<UserData>();
    user_->setUserID(7);
    user_->setMountID(70);
    user_->setOrgID(5);
    Util::getAppDelegate().setUserdata(user_);
    Util::getAppDelegate().setBLink(false);
    home_ = plat::homeDirectory();
    ASSERT_TRUE(plat::makeDirectories(home_ + "/links/one"));
    ASSERT_TRUE(plat::makeDirectories(home_ + "/links/one2"));
    ASSERT_TRUE(plat::makeDirectories(home_ + "/other"));
    sync_ = std::make_unique<SyncManager>(home_ + "/Quorva/", false, false);
  }
  void TearDown() override {
    sync_.reset();
    Util::getAppDelegate().setUserdata(nullptr);
  }
  std::shared_ptr<Directoryhandler> handlerOf(const std::string& folder) {
    for (auto& h : sync_->handlers()) {
      if (h->srcPath() == folder + "/") return h;
    }
    return nullptr;
  }

  plat::testing::TempHome temp_;
  std::string home_;
  std::shared_ptr<UserData> user_;
  std::unique_ptr<SyncManager> sync_;
};

TEST_F(SyncLinksTest, AFolderMayBeLinkedOnlyWhereItOverlapsNothing) {
  const std::string link = home_ + "/links/one";
  ASSERT_TRUE(sync_->add_link("L1", link + "/"));
  const std::string personal = sync_->syncpath(), team = sync_->syncorg();
  ASSERT_FALSE(team.empty());
  const std::string config = user_->getconfigpath();
  ASSERT_TRUE(plat::makeDirectories(config));
  // A link elsewhere that leads to the personal root.
  ASSERT_EQ(::symlink(personal.c_str(), (home_ + "/alias").c_str()), 0);
  const struct Case {
    std::string path, conflict;
  } cases[] = {
      {personal, personal},
      {personal.substr(0, personal.size() - 1), personal},
      {personal + "docs/deep", personal},
      {home_ + "/Quorva", personal},  // holds both roots
      {home_ + "/QUORVA/个人的文件/x", personal},
      {team + "share", team},
      {link, link},
      {link + "/sub", link},
      {home_ + "/links", link},
      {home_ + "/LINKS/One", link},
      {home_ + "/links/one2", ""},  // the same start of a name is no overlap
      {home_ + "/other", ""},
      {home_ + "/other/new folder", ""},
      {home_ + "/alias", personal},
      {home_ + "/alias/sub", personal},
      {home_ + "/other/../Quorva/个人的文件", personal},
      {config, config},
      {config + "/7", config},
      {home_, link},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    bool unBind = false;
    const std::string got = sync_->check_dir_legecy(c.path, unBind);
    EXPECT_EQ(synctestNoSlash(got), synctestNoSlash(c.conflict));
    EXPECT_EQ(unBind, c.conflict.empty());
  }
  bool unBind = false;
  EXPECT_EQ(sync_->check_dir_legecy("", unBind), "");
  EXPECT_TRUE(unBind);
}

TEST_F(SyncLinksTest, TheListIsValidJsonWhateverTheFolderIsCalled) {
  EXPECT_EQ(sync_->getlinkpathjson(), "{\"list\":[]}");
  const std::string odd = home_ + "/links/say \"hi\" \\ back";
  ASSERT_TRUE(plat::makeDirectories(odd));
  sync_->add_link("plain", home_ + "/links/one");
  sync_->add_link("share \"q\"", odd);
  sync_->add_link("lan", home_ + "/other");
  sync_->syncshare().add("share \"q\"", 0, 0, 0);
  sync_->syncshare().add("lan", 0, 1, 0);
  const std::string text = sync_->getlinkpathjson();
  auto v = SJSONSerialization::JSONObjectWithData(plat::Data(text.begin(), text.end()), 0);
  ASSERT_TRUE(v) << text;
  const auto& list = (*v)["list"].array();
  ASSERT_EQ(list.size(), 3u) << text;
  const struct Item {
    std::string webpath, fullpath;
    bool share, local;
  } want[] = {
      {"plain", home_ + "/links/one/", false, false},
      {"share \"q\"", odd + "/", true, false},
      {"lan", home_ + "/other/", true, true},
  };
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(want[i].webpath);
    EXPECT_EQ(list[i]["webpath"].string(), want[i].webpath);
    EXPECT_EQ(list[i]["fullpath"].string(), want[i].fullpath);
    EXPECT_EQ(list[i]["type"].longLongValue(), 0);
    EXPECT_EQ(list[i]["share"].longLongValue(), want[i].share ? 1 : 0);
    EXPECT_EQ(list[i]["local"].longLongValue(), want[i].local ? 1 : 0);
  }
}

TEST_F(SyncLinksTest, LinkUnlinkAndLinkAgainKeepSetTableExclusionsAndWatcherInStep) {
  const std::string folder = home_ + "/links/one";
  Syncdb& db = *sync_->syncdb();
  ASSERT_TRUE(sync_->add_link("Work", folder));
  EXPECT_TRUE(sync_->linkfolder().islink("Work"));
  ASSERT_EQ(db.get_links().size(), 1u);
  EXPECT_EQ(db.get_links()[0].fullpath, folder);
  const auto row = db.get_single_file("Work");
  EXPECT_EQ(row.status, syncstatus::synced);
  EXPECT_FALSE(row.file);
  EXPECT_EQ(sync_->getnormalpath("Work/a.txt"), folder + "/a.txt");
  auto watcher = handlerOf(folder);
  ASSERT_TRUE(watcher);

  SyncFileItem below;
  below.webpath = "Work/a.txt", below.parent = "Work", below.file = true, below.status = syncstatus::synced;
  db.add_new_file(below);
  ASSERT_TRUE(plat::atomicWrite(folder + "/a.txt", "kept"));
  sync_->start();
  ASSERT_TRUE(watcher->isWatchingPaths());

  EXPECT_FALSE(sync_->remove_link("Elsewhere"));
  EXPECT_FALSE(sync_->remove_link("Work/a.txt"));  // inside a link is no link
  ASSERT_TRUE(sync_->remove_link("Work"));
  EXPECT_FALSE(sync_->linkfolder().islink("Work"));
  EXPECT_TRUE(db.get_links().empty());
  EXPECT_EQ(db.get_single_file("Work").status, syncstatus::none);
  EXPECT_EQ(db.get_single_file("Work/a.txt").status, syncstatus::none);
  EXPECT_FALSE(sync_->unsyncnode().need_sync("Work/a.txt", false));
  EXPECT_EQ(db.get_unsync_nodes().size(), 1u);
  EXPECT_EQ(plat::readFile(folder + "/a.txt").value_or(""), "kept");
  EXPECT_EQ(handlerOf(folder), watcher);
  EXPECT_FALSE(watcher->isWatchingPaths());
  EXPECT_FALSE(sync_->remove_link("Work"));

  ASSERT_TRUE(sync_->add_link("Work", folder));
  EXPECT_EQ(handlerOf(folder), watcher);  // the same watcher, switched on again
  EXPECT_TRUE(watcher->isWatchingPaths());
  EXPECT_TRUE(sync_->unsyncnode().need_sync("Work/a.txt", false));
  EXPECT_TRUE(db.get_unsync_nodes().empty());
  EXPECT_EQ(db.get_links().size(), 1u);
  // Listed again from the service at the next pass.
  bool asked = false;
  for (const auto& r : db.get_sync_now()) asked = asked || r.webpath == "Work";
  EXPECT_TRUE(asked);
}

TEST_F(SyncLinksTest, UnlinkingAnExcludedFolderLeavesItsRowsAndStillUnlinks) {
  const std::string folder = home_ + "/links/one";
  sync_->add_link("Work", folder);
  SyncFileItem below;
  below.webpath = "Work/a.txt", below.parent = "Work", below.file = true, below.status = syncstatus::excluded;
  sync_->syncdb()->add_new_file(below);
  sync_->unsyncnode().add("Work", 0);
  ASSERT_TRUE(sync_->remove_link("Work"));
  EXPECT_EQ(sync_->syncdb()->get_single_file("Work/a.txt").status, syncstatus::excluded);
  EXPECT_TRUE(sync_->syncdb()->get_links().empty());
  EXPECT_FALSE(sync_->linkfolder().islink("Work"));
}

}  // namespace
