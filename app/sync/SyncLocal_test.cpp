// The local road on a real sync parent: event calls, the scan after a start,
// the deletion scan, and real inotify through a Directoryhandler.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/Directoryhandler.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"
#include "platform/ui/headless/headless_toolkit.h"

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

// A clock whose pauses, on one thread, try to take the write lock of a file
// from a connection of their own and count the times it was held.
class LockProbeClock : public plat::SystemClock {
public:
  LockProbeClock(std::string file, std::thread::id on) : file_(std::move(file)), on_(on) {}
  void sleepFor(double seconds) override {
    if (std::this_thread::get_id() == on_) {
      sqlite3* db = nullptr;
      if (sqlite3_open(file_.c_str(), &db) == SQLITE_OK) {
        ++probes;
        if (sqlite3_exec(db, "BEGIN IMMEDIATE; ROLLBACK;", nullptr, nullptr, nullptr) != SQLITE_OK) ++held;
      }
      sqlite3_close(db);
    }
    plat::SystemClock::sleepFor(seconds);
  }
  std::atomic<int> probes{0}, held{0};

private:
  std::string file_;
  std::thread::id on_;
};

// A scan that runs inside a page of changes (a new share's folder) pauses
// between folders and every 20 entries; no pause holds the write lock, the
// page's or the scan's.
TEST_F(SyncLocal, AScanInsideAPageHoldsNoWriteLockAcrossItsPauses) {
  m_.reset();
  const std::string file = user_->getsyncdb();
  auto clock = std::make_shared<LockProbeClock>(file, std::this_thread::get_id());
  plat::ScopedClock scoped(clock);
  m_ = std::make_unique<SyncManager>(home_.path() + "/Quorva/", false, false);
  m_->setPacing(true);
  for (const char* d : {"share/a", "share/b"}) {
    plat::makeDirectories(root_ + d);
    for (int i = 0; i < 45; ++i) write(root_ + d + "/f" + std::to_string(i), "x");
  }
  write(root_ + "share/a/f3", "changed");
  synced("share", false);
  synced("share/a", false);
  synced("share/a/f3");
  m_->syncdb()->update_lasttime("share/a/f3", 1);  // found changed: a write before the folder's first pause
  {
    Syncdb::Batch page(*m_->syncdb());
    m_->syncdb()->update_status("share", syncstatus::synced);  // the page's own write before the scan
    m_->scandir(root_ + "share");
    EXPECT_TRUE(page.finish());
  }
  EXPECT_GE(clock->probes.load(), 3);
  EXPECT_EQ(clock->held.load(), 0);
  EXPECT_EQ(row("share/b/f44").status, syncstatus::toUpload);
  m_.reset();  // its threads read the clock
}

// A clock that stops the engine at the first pause on one thread.
class StopClock : public plat::SystemClock {
public:
  explicit StopClock(std::thread::id on) : on_(on) {}
  void sleepFor(double seconds) override {
    if (std::this_thread::get_id() == on_ && !stopped.exchange(true)) stop();
    plat::SystemClock::sleepFor(seconds);
  }
  std::function<void()> stop;
  std::atomic<bool> stopped{false};

private:
  std::thread::id on_;
};

// A scan stopped at its first pause (before the first subfolder) still has
// a row for every folder it found; what is in the folders it did not reach
// waits for the next scan.
TEST_F(SyncLocal, AScanStoppedShortKeepsARowForEveryFolderItFound) {
  m_.reset();
  auto clock = std::make_shared<StopClock>(std::this_thread::get_id());
  plat::ScopedClock scoped(clock);
  m_ = std::make_unique<SyncManager>(home_.path() + "/Quorva/", false, false);
  clock->stop = [this] { m_->exit(); };
  m_->setPacing(true);
  for (const char* d : {"a", "b", "c"}) {
    plat::makeDirectories(root_ + "top/" + d);
    write(root_ + "top/" + d + "/f", "x");
  }
  write(root_ + "top/g", "x");
  m_->scandir(root_ + "top");
  EXPECT_TRUE(clock->stopped.load());
  for (const char* w : {"top/a", "top/b", "top/c", "top/g"}) {
    const SyncFileItem r = row(w);
    EXPECT_EQ(r.status, syncstatus::toUpload) << w;
    EXPECT_EQ(r.parent, "top") << w;
    EXPECT_EQ(r.file, std::string(w) == "top/g") << w;
  }
  for (const char* w : {"top/a/f", "top/b/f", "top/c/f"}) EXPECT_EQ(row(w).status, syncstatus::none) << w;
  m_.reset();  // its threads read the clock
}

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

  m_->scandir(root_);  // the scan marks what is missing as it goes
  EXPECT_EQ(row("gone.txt").status, syncstatus::toDelete);
  EXPECT_EQ(row("remote.txt").status, syncstatus::toDownload);
  m_->scandel();  // and the deletion scan finds nothing more
  EXPECT_EQ(row("gone.txt").status, syncstatus::toDelete);
  EXPECT_EQ(row("edit.txt").status, syncstatus::toUpload);
  EXPECT_EQ(row("fresh.txt").status, syncstatus::toUpload);
  EXPECT_EQ(row("remote.txt").status, syncstatus::toDownload);
  EXPECT_EQ(row("keep").status, syncstatus::toUpload);
  EXPECT_EQ(row("keep/in.txt").status, syncstatus::synced);  // still in step: nothing to send again
}

// An item missing from the disk whose change waits to go up: one the service
// has (a version of its own) is deleted there, or taken up by the rename the
// watcher reports next; one it never had just loses its row.
TEST_F(SyncLocal, AMissingItemWaitingToGoUpIsDeletedOnTheServiceOnlyWhenItIsThere) {
  const struct {
    const char* path;
    bool file;
    int64_t status, version;
    int64_t after;  // -1: no row
  } cases[] = {
      {"edited.txt", true, syncstatus::toUpload, 4, syncstatus::toDelete},
      {"sending.txt", true, syncstatus::uploading, 4, syncstatus::toDelete},
      {"new.txt", true, syncstatus::toUpload, 0, -1},
      {"newsending.txt", true, syncstatus::uploading, 0, -1},
      {"remade", false, syncstatus::toUpload, 4, syncstatus::toDelete},
      {"newdir", false, syncstatus::toUpload, 0, -1},
  };
  for (const auto& c : cases) {
    SyncFileItem it;
    it.webpath = c.path, it.file = c.file, it.status = c.status, it.version = c.version, it.last = 5;
    if (c.file) it.size = 3, it.filehash = "0123456789012345678901234567890123456789";  // an upload's, of content gone
    m_->syncdb()->add_new_file(it);
  }
  m_->scandel();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const SyncFileItem r = row(c.path);
    EXPECT_EQ(r.status, c.after);
    // Back on disk unchanged, no hash of content the service never took
    // makes it look in step.
    if (c.after == syncstatus::toDelete && c.file) EXPECT_EQ(r.filehash, "");
  }
}

TEST_F(SyncLocal, AMissingRootMarksNothingDeleted) {
  plat::makeDirectories(root_ + "a");
  write(root_ + "a/f", "1");
  synced("a", false);
  synced("a/f");
  // The root's disk is unmounted: the whole tree is missing.
  ASSERT_EQ(::rename(root_.substr(0, root_.size() - 1).c_str(), (home_.path() + "/away").c_str()), 0);
  m_->scandir(root_);
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

// Waits (real time, bounded) for a condition the engine's threads make true.
template <class F>
bool eventually(F&& f) {
  for (int i = 0; i < 4000; ++i) {
    if (f()) return true;
    ::usleep(5000);
  }
  return f();
}

// A line of the activity log names the file.
bool logged(const std::string& file) {
  QVLog::sharedQVLog().flush();
  for (const auto& line : QVLog::sharedQVLog().arrLogData()) {
    if (line.text.find(file) != std::string::npos) return true;
  }
  return false;
}

// Real inotify on the personal root into the manager's rows. A user's file
// written last on the same watcher orders everything before it.
TEST_F(SyncLocal, WatchedRootWritesRowsAndItsOwnPlacementsDoNot) {
  Directoryhandler h(root_.substr(0, root_.size() - 1), m_.get());
  h.startMonitoringThread();
  write(root_ + "one", "1");
  write(root_ + "two", "2");
  plat::makeDirectories(root_ + "dir/sub");
  write(root_ + "dir/sub/deep", "3");
  ASSERT_TRUE(eventually([&] { return row("dir/sub/deep").status == syncstatus::toUpload; }));
  ASSERT_TRUE(eventually([&] { return row("two").status == syncstatus::toUpload; }));
  // A new folder's own row is written once its listing is in, after the
  // rows of what it holds.
  for (const char* w : {"one", "two", "dir", "dir/sub", "dir/sub/deep"}) {
    EXPECT_TRUE(eventually([&] { return row(w).status == syncstatus::toUpload; })) << w << ": " << row(w).status;
  }
  EXPECT_TRUE(m_->renamelist().empty());  // two files made together are no rename

  // The engine places a file (a finished download): no event, no row.
  ASSERT_TRUE(plat::FileOps::shared().writeFile(root_ + "placed", "engine"));
  write(root_ + "marker", "m");
  ASSERT_TRUE(eventually([&] { return row("marker").status == syncstatus::toUpload; }));
  EXPECT_EQ(row("placed").status, syncstatus::none);
  // The user's edit afterwards passes.
  write(root_ + "placed", "user!!");
  EXPECT_TRUE(eventually([&] { return row("placed").status == syncstatus::toUpload; }));
  h.stopMonitoring();
}

// The engine's own watchers: silent until start, gone at stop, made again at
// the next start; a symbolic link to a folder gets one of its own that
// reports under the link's path, and follows a rename of the link.
TEST_F(SyncLocal, TheWatchersFollowStartStopAndTheLinks) {
  const std::string work = home_.path() + "/Work";
  plat::makeDirectories(work);
  ASSERT_EQ(::symlink(work.c_str(), (root_ + "Docs").c_str()), 0);
  EXPECT_EQ(m_->handlerCount(), 1u);  // the personal root (no team, no linked folder)
  m_->start();
  // The first scan after start gives the link its watcher.
  ASSERT_TRUE(eventually([&] { return m_->bScaned() && m_->handlerCount() == 2; }));
  EXPECT_EQ(row("Docs").status, syncstatus::toUpload);
  write(work + "/a.txt", "a");
  ASSERT_TRUE(eventually([&] { return row("Docs/a.txt").status == syncstatus::toUpload; }));
  write(root_ + "w1", "1");
  ASSERT_TRUE(eventually([&] { return row("w1").status == syncstatus::toUpload; }));

  // The link renamed (as a rename the service took leaves it).
  ASSERT_TRUE(plat::FileOps::shared().move(root_ + "Docs", root_ + "Docs2"));
  m_->renamelink(root_ + "Docs", root_ + "Docs2");
  write(work + "/b.txt", "b");
  ASSERT_TRUE(eventually([&] { return row("Docs2/b.txt").status == syncstatus::toUpload; }));
  EXPECT_EQ(row("Docs/b.txt").status, syncstatus::none);

  // The link's folder is dropped from the sync: its watcher stays, silent.
  auto linkWatcher = [&]() -> std::shared_ptr<Directoryhandler> {
    for (auto& h : m_->handlers()) {
      if (h->dstPath() == root_ + "Docs2") return h;
    }
    return nullptr;
  };
  ASSERT_TRUE(linkWatcher());
  EXPECT_TRUE(linkWatcher()->isWatchingPaths());
  m_->removelink(root_ + "Docs2");
  ASSERT_TRUE(linkWatcher());
  EXPECT_FALSE(linkWatcher()->isWatchingPaths());

  m_->stop();
  EXPECT_EQ(m_->handlerCount(), 0u);
  m_->start();
  EXPECT_GE(m_->handlerCount(), 1u);
  ASSERT_TRUE(eventually([&] { return m_->bScaned() && m_->handlerCount() == 2; }));
  write(root_ + "w2", "2");
  ASSERT_TRUE(eventually([&] { return row("w2").status == syncstatus::toUpload; }));
  m_->exit();
  EXPECT_EQ(m_->handlerCount(), 0u);
}

// A sync folder with more folders than the system lets us watch: the user is
// told once, however often the watchers are made again.
TEST_F(SyncLocal, AFullWatchLimitIsToldOnce) {
  auto ui = plat::HeadlessToolkit::make();
  plat::Toolkit::setCurrent(ui);
  for (const char* d : {"d1", "d2", "d3", "d1/e"}) plat::makeDirectories(root_ + d);
  m_->setWatcherLimit(2);
  const char* text = "同步文件夹中的文件夹太多，已达到系统可监视的上限，部分文件夹的变化要到下次扫描时才会同步";
  m_->stop();  // the root's watcher, made with the manager, is made again with the limit
  m_->start();
  ASSERT_TRUE(eventually([&] { return m_->bScaned() && ui->count("notice", text) == 1; }));
  m_->stop();
  m_->start();
  ASSERT_TRUE(eventually([&] { return m_->bScaned(); }));
  plat::makeDirectories(root_ + "d4");
  ASSERT_TRUE(eventually([&] { return row("d4").status == syncstatus::toUpload; }));
  m_->exit();
  EXPECT_EQ(ui->count("notice", text), 1u);
  plat::Toolkit::setCurrent(nullptr);
}

// A linked folder that is no longer linked still has its watcher, but what
// happens in it is nobody's business now.
TEST_F(SyncLocal, EventsOfAFolderThatIsNoLongerARootAreIgnored) {
  const std::string outside = home_.path() + "/Linked";
  plat::makeDirectories(outside);
  m_->syncdb()->add_link("linked", outside);
  m_->linkfolder().add("linked", outside);
  m_->start();  // the roots and the linked folder are watched
  ASSERT_TRUE(eventually([&] { return m_->bScaned(); }));
  EXPECT_EQ(m_->handlerCount(), 2u);
  write(outside + "/a.txt", "a");
  ASSERT_TRUE(eventually([&] { return row("linked/a.txt").status == syncstatus::toUpload; }));

  m_->linkfolder().remove("linked", true);
  const int64_t before = m_->watcherTasks();
  write(outside + "/b.txt", "b");
  ASSERT_TRUE(eventually([&] { return m_->watcherTasks() > before; }));
  m_->drainWatchers();
  EXPECT_EQ(row("linked/b.txt").status, syncstatus::none);
  EXPECT_EQ(row("b.txt").status, syncstatus::none);

  // The same for a sync folder that moved elsewhere while its watcher ran.
  const std::string oldRoot = root_;
  m_->movedir(home_.path() + "/Moved/");
  const int64_t moved = m_->watcherTasks();
  write(oldRoot + "c.txt", "c");
  ASSERT_TRUE(eventually([&] { return m_->watcherTasks() > moved; }));
  m_->drainWatchers();
  EXPECT_EQ(row("c.txt").status, syncstatus::none);
  m_->exit();
}

// Two names that differ only in letter case are one path for the service:
// the one the table knows (else the first) is synced, the user is told of
// the other, and removing the other touches nothing.
TEST_F(SyncLocal, NamesDifferingOnlyInCaseSyncOnce) {
  write(root_ + "note.txt", "synced");
  synced("note.txt");
  write(root_ + "Note.txt", "another file");
  write(root_ + "A.txt", "1");
  write(root_ + "a.txt", "2");
  m_->scandir(root_);
  EXPECT_EQ(row("note.txt").webpath, "note.txt");
  EXPECT_EQ(row("note.txt").status, syncstatus::synced);
  EXPECT_EQ(row("A.txt").webpath, "A.txt");  // the first of two new ones
  EXPECT_TRUE(logged(root_ + "Note.txt"));
  EXPECT_TRUE(logged(root_ + "a.txt"));
  synctest::Raw raw(m_->syncdb()->dbQueue()->path());
  EXPECT_EQ(raw.column("select path from SYNC order by path"), (std::vector<std::string>{"A.txt", "note.txt"}));

  EXPECT_FALSE(m_->eventadd(root_ + "Note.txt"));
  EXPECT_FALSE(m_->eventupdate(root_ + "Note.txt"));
  ::unlink((root_ + "Note.txt").c_str());
  EXPECT_TRUE(m_->eventdel(root_ + "Note.txt"));
  EXPECT_EQ(row("note.txt").status, syncstatus::synced);
  EXPECT_EQ(row("note.txt").webpath, "note.txt");
}

// Rows that differ only in letter case (the service's names can): the scan
// takes the folder's row for a folder on disk, whichever row came first, and
// no name that is there is taken for missing.
TEST_F(SyncLocal, AFolderOnDiskIsJudgedByItsFolderRowBesideACaseTwinFileRow) {
  plat::makeDirectories(root_ + "docs");
  write(root_ + "docs/in.txt", "1");
  SyncFileItem twin;  // written first, so it comes first in the table
  twin.webpath = "DOCS", twin.file = true, twin.status = syncstatus::synced;
  twin.last = Util::filemodifytime(root_ + "docs"), twin.size = 1, twin.filehash = std::string(40, 'a');
  ASSERT_TRUE(m_->syncdb()->add_new_file(twin));
  synced("docs", false);
  synced("docs/in.txt");
  m_->scandir(root_);
  synctest::Raw raw(m_->syncdb()->dbQueue()->path());
  EXPECT_EQ(raw.rows("select path, status from SYNC order by path"),
            (synctest::Rows{{"DOCS", "4"}, {"docs", "4"}, {"docs/in.txt", "4"}}));
}

// What the service deleted leaves the disk only when it is exactly what the
// service had; a deletion made here and undone before commit is kept.
TEST_F(SyncLocal, CommitRemovesOnlyFilesInStepWithTheService) {
  write(root_ + "same.txt", "unchanged");
  synced("same.txt");
  write(root_ + "edited.txt", "aaaa");
  synced("edited.txt");
  const uint64_t m = Util::filemodifytime(root_ + "edited.txt");
  write(root_ + "edited.txt", "bbbb");  // same size, same second: only the content tells
  plat::setModificationTime(root_ + "edited.txt", plat::Date{static_cast<double>(m)});
  plat::makeDirectories(root_ + "D/sub");
  write(root_ + "D/s", "s");
  write(root_ + "D/c", "c");
  write(root_ + "D/sub/s2", "s2");
  synced("D", false);
  synced("D/sub", false);
  synced("D/s");
  synced("D/c");
  synced("D/sub/s2");
  write(root_ + "D/c", "changed");
  write(root_ + "D/n", "never uploaded");
  plat::makeDirectories(root_ + "E/sub");
  write(root_ + "E/s", "e");
  write(root_ + "E/sub/s2", "e2");
  synced("E", false);
  synced("E/sub", false);
  synced("E/s");
  synced("E/sub/s2");
  // Deleted here, then back before commit.
  write(root_ + "back.txt", "back");
  synced("back.txt");
  plat::makeDirectories(root_ + "R");
  synced("R", false);
  for (const char* w : {"same.txt", "edited.txt", "D", "E"}) m_->syncdb()->update_status(w, syncstatus::toRemove);
  for (const char* w : {"back.txt", "R"}) m_->syncdb()->update_status(w, syncstatus::toDelete);
  Util::getAppDelegate().setBRecyclebin(false);

  m_->commit();
  Util::getAppDelegate().setBRecyclebin(true);
  EXPECT_FALSE(plat::fileExists(root_ + "same.txt"));
  EXPECT_EQ(row("same.txt").status, syncstatus::none);
  EXPECT_NE(m_->synccache()->getcache(NSDataExpand::sha1HexDigest("unchanged")), "");  // restorable without a download
  EXPECT_EQ(plat::readFile(root_ + "edited.txt").value_or(""), "bbbb");
  EXPECT_EQ(row("edited.txt").status, syncstatus::toUpload);
  // D keeps what the service never had and is made again there.
  EXPECT_FALSE(plat::fileExists(root_ + "D/s"));
  EXPECT_FALSE(plat::fileExists(root_ + "D/sub"));
  EXPECT_EQ(plat::readFile(root_ + "D/c").value_or(""), "changed");
  EXPECT_EQ(plat::readFile(root_ + "D/n").value_or(""), "never uploaded");
  EXPECT_EQ(row("D").status, syncstatus::toUpload);
  EXPECT_EQ(row("D/c").status, syncstatus::toUpload);
  EXPECT_TRUE(logged(root_ + "D"));
  // E was all on the service: gone, rows and all.
  EXPECT_FALSE(plat::fileExists(root_ + "E"));
  EXPECT_EQ(row("E/sub/s2").status, syncstatus::none);
  EXPECT_EQ(row("E").status, syncstatus::none);
  // Restored before commit: kept, in step.
  EXPECT_EQ(plat::readFile(root_ + "back.txt").value_or(""), "back");
  EXPECT_EQ(row("back.txt").status, syncstatus::synced);
  EXPECT_TRUE(plat::isDirectory(root_ + "R"));
  EXPECT_EQ(row("R").status, syncstatus::toUpload);
}

// The service deleted a folder while files in it were on their way up: their
// rows hold the hash of what was being sent, which the service never took.
// Same content on disk is no sign of being in step: they stay and go up again
// with the folder.
TEST_F(SyncLocal, FilesOnTheirWayUpInAFolderTheServiceDeletedAreSentAgain) {
  const struct {
    const char* name;
    int64_t status, version, after;
  } cases[] = {
      {"new.txt", syncstatus::uploading, 0, syncstatus::toUpload},  // never on the service
      {"edit.txt", syncstatus::uploading, 4, syncstatus::toUpload},  // an edit of a version the service has
      {"again.txt", syncstatus::toReupload, 4, syncstatus::toReupload},  // still asked up again
  };
  plat::makeDirectories(root_ + "G");
  synced("G", false);
  for (const auto& c : cases) {
    const std::string w = std::string("G/") + c.name;
    write(root_ + w, std::string("being sent: ") + c.name);
    synced(w);
    SyncFileItem r = row(w);
    r.status = c.status, r.version = c.version, r.diskversion = c.version;
    m_->syncdb()->update_file(r);
  }
  m_->syncdb()->update_status("G", syncstatus::toRemove);
  Util::getAppDelegate().setBRecyclebin(false);
  m_->commit();
  Util::getAppDelegate().setBRecyclebin(true);
  EXPECT_EQ(row("G").status, syncstatus::toUpload);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string w = std::string("G/") + c.name;
    EXPECT_EQ(plat::readFile(root_ + w).value_or(""), std::string("being sent: ") + c.name);
    EXPECT_EQ(row(w).status, c.after);
  }
}

TEST_F(SyncLocal, LockStatesReachEveryFileBelowAFolder) {
  plat::makeDirectories(root_ + "L/a/b");
  for (const char* f : {"L/top", "L/a/mid", "L/a/b/deep", "L/.hidden"}) write(root_ + f, "x");
  synced("L", false);
  auto writable = [&](const char* f) { return (plat::statNoFollow(root_ + f)->mode & 0200) != 0; };
  m_->setfilestatus("L", 1, 1);
  for (const char* f : {"L/top", "L/a/mid", "L/a/b/deep"}) EXPECT_FALSE(writable(f)) << f;
  EXPECT_TRUE(writable("L/.hidden"));  // ignored names are not the engine's
  EXPECT_EQ(row("L").lock, 1);
  m_->setfilestatus("L", 1, 0);
  for (const char* f : {"L/top", "L/a/mid", "L/a/b/deep"}) EXPECT_TRUE(writable(f)) << f;
  m_->setfilestatus("L/top", 0, 1);
  EXPECT_FALSE(writable("L/top"));
  EXPECT_TRUE(writable("L/a/mid"));
}

TEST_F(SyncLocal, OnlyFilesInStepEnterTheCache) {
  plat::makeDirectories(root_ + "C/in");
  write(root_ + "C/in/ok", "cached");
  write(root_ + "C/changed", "old");
  synced("C/in/ok");
  synced("C/changed");
  write(root_ + "C/changed", "new!");
  m_->movetocache(root_ + "C");
  EXPECT_NE(m_->synccache()->getcache(*Util::getfilehash(root_ + "C/in/ok")), "");
  EXPECT_EQ(m_->synccache()->getcache(*Util::getfilehash(root_ + "C/changed")), "");
  EXPECT_EQ(m_->synccache()->getcache(row("C/changed").filehash), "");
}

// An echo entry covers the engine's own write for 30 s; commit drops older ones.
TEST_F(SyncLocal, EchoEntriesLiveThirtySeconds) {
  for (const char* f : {"old", "young"}) {
    write(root_ + f, "1");
    synced(f);
    write(root_ + f, "written by the engine");
    const uint64_t now = static_cast<uint64_t>(Syncdb::now());
    m_->lock();
    m_->addcopylist(f, {Util::filesize(root_ + f), Util::filemodifytime(root_ + f),
                        std::string(f) == "old" ? now - 31 : now - 29});
    m_->unlock();
  }
  m_->commit();
  m_->lock();
  EXPECT_TRUE(m_->eventupdate(root_ + "old"));
  EXPECT_TRUE(m_->eventupdate(root_ + "young"));
  m_->unlock();
  EXPECT_EQ(row("old").status, syncstatus::toUpload);
  EXPECT_EQ(row("young").status, syncstatus::synced);
}

// The engine placed a file at the old name of an item whose rename the disk
// had made already: the rename moves the row on, and the placed file is left
// without one. It is then a new item to send, not an echo to ignore.
TEST_F(SyncLocal, AnEchoWithoutARowIsANewItem) {
  for (const char* f : {"kept", "orphan"}) {
    write(root_ + f, std::string("placed by the engine: ") + f);
    if (std::string(f) == "kept") synced(f);
    m_->lock();
    m_->addcopylist(f, {Util::filesize(root_ + f), Util::filemodifytime(root_ + f), static_cast<uint64_t>(Syncdb::now())});
    EXPECT_TRUE(m_->eventadd(root_ + f));
    m_->unlock();
  }
  EXPECT_EQ(row("kept").status, syncstatus::synced);
  EXPECT_EQ(row("orphan").status, syncstatus::toUpload);
}

// The service deletes a file whose new version this computer has not fetched
// yet: the file here is the user's when it was kept to go up after the
// service's version (last 0) or changed since it was last in step, and goes
// up again; the version before, in step, goes; nothing on disk, the row goes.
TEST_F(SyncLocal, ADeletionMeetingADownloadNotYetStartedKeepsOnlyTheUsersVersion) {
  const struct {
    const char* name;
    bool onDisk;
    int lastIs;  // 0: last 0; 1: the file's time; 2: another time
    int64_t after;
    bool kept;
  } cases[] = {
      {"kept.txt", true, 0, syncstatus::toUpload, true},
      {"edited.txt", true, 2, syncstatus::toUpload, true},
      {"before.txt", true, 1, syncstatus::toRemove, false},
      {"remote.txt", false, 1, -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SyncFileItem it;
    it.webpath = c.name, it.file = true, it.status = syncstatus::toDownload, it.version = 9, it.diskversion = 3;
    it.size = 40, it.filehash = std::string(40, 'a');  // the service's new version
    if (c.onDisk) write(root_ + c.name, std::string("here: ") + c.name);
    const uint64_t m = c.onDisk ? Util::filemodifytime(root_ + c.name) : 100;
    it.last = c.lastIs == 0 ? 0 : c.lastIs == 1 ? m : m - 5;
    m_->syncdb()->add_new_file(it);
    CompareItem del;
    del.webpath = c.name, del.cmd = 0, del.version = 10, del.filehash = it.filehash, del.filesize = 40;
    m_->lock();
    m_->receive_del(del);
    m_->unlock();
    EXPECT_EQ(row(c.name).status, c.after);
    EXPECT_EQ(plat::fileExists(root_ + c.name), c.kept);
  }
}

// A file handed out for upload is renamed before its upload began: the
// rename waits for an upload that no transfer carries any more. The hand-off
// puts the row back to waiting, which the replay sends the rename for.
TEST_F(SyncLocal, AnUploadHandedOutBeforeARenameLetsTheRenameGoFirst) {
  write(root_ + "up.txt", "new content");
  SyncFileItem it;
  it.webpath = "up.txt", it.file = true, it.status = syncstatus::uploading, it.version = 4, it.diskversion = 4;
  it.size = 11, it.last = Util::filemodifytime(root_ + "up.txt");
  m_->syncdb()->add_new_file(it);
  ASSERT_EQ(::rename((root_ + "up.txt").c_str(), (root_ + "renamed.txt").c_str()), 0);
  EXPECT_FALSE(m_->eventrename(root_ + "up.txt", root_ + "renamed.txt", true));  // waits: on its way up
  ASSERT_EQ(m_->renamelist().size(), 1u);
  m_->syncdb()->update_acttime("up.txt", 0);  // due now
  const TransItem job = m_->get_upload();
  EXPECT_NE(job.itemid, 1);  // nothing to send from the old name
  EXPECT_EQ(row("up.txt").status, syncstatus::toUpload);
  EXPECT_EQ(m_->renamelist().size(), 1u);
}

TEST_F(SyncLocal, SingleFilesLeaveTheExcludedListAtStart) {
  write(root_ + "single.txt", "1");
  synced("single.txt");
  m_->syncdb()->insert_unsync_nodes({{"single.txt", 1}, {"dir", 0}});
  m_.reset();
  m_ = std::make_unique<SyncManager>(home_.path() + "/Quorva/", false, false);
  EXPECT_EQ(row("single.txt").status, syncstatus::none);
  EXPECT_TRUE(m_->unsyncnode().need_sync("single.txt", false));
  EXPECT_FALSE(m_->unsyncnode().need_sync("dir/x", false));
}

// A folder the service says to leave out: only what the service holds
// leaves the disk; taken back, it is asked for again unless it was deleted.
TEST_F(SyncLocal, AFolderLeftOutAndTakenBack) {
  plat::makeDirectories(root_ + "X/in");
  write(root_ + "X/in/s", "synced");
  write(root_ + "X/c", "before");
  synced("X", false);
  synced("X/in", false);
  synced("X/in/s");
  synced("X/c");
  write(root_ + "X/c", "changed here");
  write(root_ + "X/n", "never uploaded");
  auto trans = std::make_shared<synctest::RecordingTrans>();
  m_->settrans(trans);
  Util::getAppDelegate().setBRecyclebin(false);
  m_->lock();
  m_->add_unsyncpath("X");
  m_->add_unsyncpath("X");  // already left out: nothing more happens
  m_->unlock();
  Util::getAppDelegate().setBRecyclebin(true);
  EXPECT_FALSE(plat::fileExists(root_ + "X/in"));
  EXPECT_EQ(plat::readFile(root_ + "X/c").value_or(""), "changed here");
  EXPECT_EQ(plat::readFile(root_ + "X/n").value_or(""), "never uploaded");
  EXPECT_TRUE(logged(root_ + "X/n"));
  EXPECT_EQ(row("X").status, syncstatus::none);
  EXPECT_EQ(row("X/in/s").status, syncstatus::none);
  EXPECT_EQ(trans->cleared(), std::vector<std::string>{"X"});
  EXPECT_EQ(m_->syncdb()->get_unsync_nodes(), (std::vector<UnSyncNodeItem>{{"X", 0}}));
  EXPECT_FALSE(m_->unsyncnode().need_sync("X/n", false));

  m_->setBSyncnow(false);
  m_->del_unsyncpath("X", false);
  EXPECT_TRUE(m_->syncdb()->get_unsync_nodes().empty());
  const auto again = m_->syncdb()->get_sync_now();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].webpath, "X");
  EXPECT_TRUE(m_->bSyncnow());

  // Deleted on the service while left out: nothing to ask for.
  m_->add_unsyncpath("Y");
  m_->syncdb()->del_sync_now("X", 0);
  m_->del_unsyncpath("Y", true);
  EXPECT_TRUE(m_->syncdb()->get_unsync_nodes().empty());
  EXPECT_TRUE(m_->syncdb()->get_sync_now().empty());
}

TEST_F(SyncLocal, ResetAsksAndSchedulesTheFolder) {
  plat::makeDirectories(root_ + "Proj");
  synced("Proj", false);
  std::vector<std::string> asked;
  bool answer = false;
  m_->setConfirm([&](const std::string& message) {
    asked.push_back(message);
    return answer;
  });
  m_->setBSyncnow(false);
  m_->reset(root_ + "Proj/");
  EXPECT_TRUE(m_->syncdb()->get_sync_now().empty());
  EXPECT_FALSE(m_->bSyncnow());
  answer = true;
  m_->reset(root_ + "Proj/");
  EXPECT_EQ(asked, (std::vector<std::string>(2, "是否确定立即重新同步[Proj]文件夹？")));
  const auto now = m_->syncdb()->get_sync_now();
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].webpath, "Proj");
  EXPECT_EQ(now[0].version, 0);
  EXPECT_TRUE(m_->bSyncnow());
}

}  // namespace
