// The local road on a real sync parent: event calls, the scan after a start,
// the deletion scan, and real inotify through a Directoryhandler.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "app/AppDelegate.h"
#include "app/UserData.h"
#include "app/Util.h"
#include "app/sync/Directoryhandler.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class SyncLocal : public ::testing::Test {
protected:
  void SetUp() override {
    user_ = std::make_shared<UserData>();
    user_->setUserID(7);
    user_->setMountID(70);
    Util::getAppDelegate().setUserdata(user_);
    Util::getAppDelegate().setBLink(false);
    m_ = std::make_unique<SyncManager>(home_.path() + "/Quorva/", false, false);
    m_->setPacing(false);
    root_ = m_->syncpath();
  }
  void TearDown() override {
    m_.reset();
    Util::getAppDelegate().setUserdata(nullptr);
  }
  SyncFileItem row(const std::string& w) { return m_->syncdb()->get_single_file(w); }
  // A row as the service left it: in step with the file on disk.
  void synced(const std::string& w, bool file = true) {
    SyncFileItem it;
    it.webpath = w;
    it.parent = w.find('/') == std::string::npos ? "" : w.substr(0, w.rfind('/'));
    it.file = file;
    it.status = syncstatus::synced;
    std::string local = root_ + w;
    it.last = Util::filemodifytime(local);
    if (file) {
      it.size = Util::filesize(local);
      it.filehash = Util::getfilehash(local).value_or("");
    }
    m_->syncdb()->add_new_file(it);
  }
  plat::testing::TempHome home_;
  std::shared_ptr<UserData> user_;
  std::unique_ptr<SyncManager> m_;
  std::string root_;
};

TEST_F(SyncLocal, IgnoredNamesNeverGetARow) {
  for (const char* name : {".hidden", "~lock", "a.TMP", "x.tmp.doc", "a:b", "ends.", "q?", "t\tab"}) {
    write(root_ + name, "1");
    EXPECT_FALSE(m_->eventadd(root_ + name)) << name;
    EXPECT_EQ(row(name).status, syncstatus::none) << name;
  }
  ::mkdir((root_ + ".git").c_str(), 0755);
  write(root_ + ".git/config", "1");
  EXPECT_FALSE(m_->eventadd(root_ + ".git/config"));
}

TEST_F(SyncLocal, AddsTrimsAndRestoresTheFoldersAbove) {
  write(root_ + " lead.txt", "abc");
  EXPECT_TRUE(m_->eventadd(root_ + " lead.txt"));
  EXPECT_TRUE(plat::fileExists(root_ + "lead.txt"));
  auto r = row("lead.txt");
  EXPECT_EQ(r.status, syncstatus::toUpload);
  EXPECT_EQ(r.size, 3u);
  EXPECT_EQ(r.memberid, 7);

  // A file two levels below a folder waiting for its deletion on the service.
  plat::makeDirectories(root_ + "d/e");
  synced("d", false);
  synced("d/e", false);
  m_->syncdb()->update_status("d", syncstatus::toDelete);
  m_->syncdb()->update_status("d/e", syncstatus::toDelete);
  write(root_ + "d/e/new.txt", "n");
  EXPECT_TRUE(m_->eventadd(root_ + "d/e/new.txt"));
  EXPECT_EQ(row("d").status, syncstatus::toUpload);
  EXPECT_EQ(row("d/e").status, syncstatus::toUpload);
  EXPECT_EQ(row("d/e/new.txt").status, syncstatus::toUpload);
}

TEST_F(SyncLocal, AnEditInTheSameSecondAtTheSameSizeIsAChange) {
  write(root_ + "f.txt", "aaaa");
  synced("f.txt");
  const uint64_t m = Util::filemodifytime(root_ + "f.txt");
  write(root_ + "f.txt", "bbbb");
  plat::setModificationTime(root_ + "f.txt", plat::Date{static_cast<double>(m)});
  EXPECT_TRUE(m_->eventupdate(root_ + "f.txt"));
  EXPECT_EQ(row("f.txt").status, syncstatus::toUpload);

  // Unchanged content: stays in step.
  write(root_ + "g.txt", "same");
  synced("g.txt");
  EXPECT_TRUE(m_->eventupdate(root_ + "g.txt"));
  EXPECT_EQ(row("g.txt").status, syncstatus::synced);
}

TEST_F(SyncLocal, DeletingAFolderMarksItAndEverythingBelow) {
  plat::makeDirectories(root_ + "t/u");
  write(root_ + "t/u/f", "1");
  synced("t", false);
  synced("t/u", false);
  synced("t/u/f");
  plat::removeTree(root_ + "t");
  EXPECT_TRUE(m_->eventdel(root_ + "t"));
  for (const char* w : {"t", "t/u", "t/u/f"}) EXPECT_EQ(row(w).status, syncstatus::toDelete) << w;
  // A path without a row, or one that is back on disk, changes nothing.
  write(root_ + "back", "1");
  synced("back");
  EXPECT_TRUE(m_->eventdel(root_ + "back"));
  EXPECT_EQ(row("back").status, syncstatus::synced);
}

TEST_F(SyncLocal, TheScanAfterAStartFindsOfflineChanges) {
  plat::makeDirectories(root_ + "keep");
  write(root_ + "gone.txt", "1");
  write(root_ + "edit.txt", "1");
  write(root_ + "keep/in.txt", "1");
  synced("gone.txt");
  synced("edit.txt");
  synced("keep", false);
  synced("keep/in.txt");
  SyncFileItem never;  // a row whose file was never on this disk
  never.webpath = "remote.txt", never.file = true, never.status = syncstatus::synced, never.last = 0;
  m_->syncdb()->add_new_file(never);
  // Deleted before commit, then restored: the folder is kept.
  m_->syncdb()->update_status("keep", syncstatus::toDelete);
  ::unlink((root_ + "gone.txt").c_str());
  write(root_ + "edit.txt", "changed");
  write(root_ + "fresh.txt", "new");

  m_->scandir(root_);
  m_->scandel();
  EXPECT_EQ(row("gone.txt").status, syncstatus::toDelete);
  EXPECT_EQ(row("edit.txt").status, syncstatus::toUpload);
  EXPECT_EQ(row("fresh.txt").status, syncstatus::toUpload);
  EXPECT_EQ(row("remote.txt").status, syncstatus::toDownload);
  EXPECT_EQ(row("keep").status, syncstatus::toUpload);
  EXPECT_EQ(row("keep/in.txt").status, syncstatus::synced);  // still in step: nothing to send again
}

TEST_F(SyncLocal, AMissingRootMarksNothingDeleted) {
  plat::makeDirectories(root_ + "a");
  write(root_ + "a/f", "1");
  synced("a", false);
  synced("a/f");
  // The root's disk is unmounted: the whole tree is missing.
  ASSERT_EQ(::rename(root_.substr(0, root_.size() - 1).c_str(), (home_.path() + "/away").c_str()), 0);
  m_->scandel();
  EXPECT_EQ(row("a").status, syncstatus::synced);
  EXPECT_EQ(row("a/f").status, syncstatus::synced);
  ::rename((home_.path() + "/away").c_str(), root_.substr(0, root_.size() - 1).c_str());

  // A linked folder whose disk is gone: its rows stay too.
  const std::string outside = home_.path() + "/Work";
  plat::makeDirectories(outside);
  write(outside + "/l.txt", "1");
  m_->linkfolder().add("linked", outside);
  SyncFileItem top, in;
  top.webpath = "linked", top.file = false, top.status = syncstatus::synced, top.last = 1;
  in.webpath = "linked/l.txt", in.parent = "linked", in.file = true, in.status = syncstatus::synced, in.last = 1;
  m_->syncdb()->add_new_file(top);
  m_->syncdb()->add_new_file(in);
  plat::removeTree(outside);
  m_->scandel();
  EXPECT_EQ(row("linked/l.txt").status, syncstatus::synced);
}

// Real inotify on the personal root into the manager's rows.
TEST_F(SyncLocal, WatchedRootWritesRowsAndItsOwnPlacementsDoNot) {
  Directoryhandler h(root_.substr(0, root_.size() - 1), m_.get());
  h.startMonitoringThread();
  auto settle = [&] {
    for (int i = 0; i < 5; ++i) {
      ::usleep(100000);
      h.drain();
    }
  };
  write(root_ + "one", "1");
  write(root_ + "two", "2");
  plat::makeDirectories(root_ + "dir/sub");
  write(root_ + "dir/sub/deep", "3");
  settle();
  for (const char* w : {"one", "two", "dir", "dir/sub", "dir/sub/deep"}) {
    EXPECT_EQ(row(w).status, syncstatus::toUpload) << w;
  }
  EXPECT_TRUE(m_->renamelist().empty());  // two files made together are no rename

  // The engine places a file (a finished download): no event, no row.
  ASSERT_TRUE(plat::FileOps::shared().writeFile(root_ + "placed", "engine"));
  settle();
  EXPECT_EQ(row("placed").status, syncstatus::none);
  // The user's edit afterwards passes.
  write(root_ + "placed", "user!!");
  settle();
  EXPECT_EQ(row("placed").status, syncstatus::toUpload);
  h.stopMonitoring();
}

}  // namespace
