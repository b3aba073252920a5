// The sync engine's side of the transfers on a real sync parent, without the
// service: the hand-off's order and its jobs, what it settles on the spot,
// and the completion of finished downloads and uploads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/system/system_test_util.h"
#include "platform/ui/headless/headless_toolkit.h"

namespace {

std::string sha1(const std::string& s) { return NSDataExpand::sha1HexDigest(s); }

bool isRegular(const std::string& path) {
  const auto st = plat::statNoFollow(path);
  return st && st->isRegular;
}

class SyncTransfer : public ::testing::Test {
protected:
  void SetUp() override {
    ui_ = plat::HeadlessToolkit::make();
    plat::Toolkit::setCurrent(ui_);
    user_ = std::make_shared<UserData>();
    user_->setUserID(7);
    user_->setMountID(70);
    user_->setUserWebName(std::string("tester"));
    Util::getAppDelegate().setUserdata(user_);
    Util::getAppDelegate().setBLink(false);
    m_ = std::make_unique<SyncManager>(home_.path() + "/Quorva/", false, false);
    // Only the test calls in: the engine's own threads would move a manual
    // clock on their own.
    m_->exit();
    scoped_ = std::make_unique<plat::ScopedClock>(clock_);
    root_ = m_->syncpath();
    cache_ = m_->transcache()->cachepath();
    trans_ = std::make_shared<synctest::RecordingTrans>();
    m_->settrans(trans_);
  }
  void TearDown() override {
    m_.reset();
    scoped_.reset();
    Util::getAppDelegate().setUserdata(nullptr);
    plat::Toolkit::setCurrent(nullptr);
  }

  Syncdb& db() { return *m_->syncdb(); }
  SyncFileItem row(const std::string& w) { return db().get_single_file(w); }
  std::string local(const std::string& w) { return root_ + w; }
  void write(const std::string& path, const std::string& text) {
    plat::makeDirectories(plat::pathDirname(path));
    ASSERT_TRUE(plat::atomicWrite(path, text));
  }
  // A row of the service's content (to download unless told otherwise).
  SyncFileItem remote(const std::string& w, const std::string& content, int64_t status = syncstatus::toDownload,
                      int64_t version = 5) {
    SyncFileItem it;
    it.webpath = w;
    it.parent = w.find('/') == std::string::npos ? "" : w.substr(0, w.rfind('/'));
    it.file = true;
    it.status = status;
    it.size = content.size();
    it.filehash = sha1(content);
    it.version = version;
    EXPECT_TRUE(db().add_new_file(it)) << w;
    return it;
  }
  SyncFileItem folder(const std::string& w, int64_t status) {
    SyncFileItem it;
    it.webpath = w;
    it.parent = w.find('/') == std::string::npos ? "" : w.substr(0, w.rfind('/'));
    it.status = status;
    it.version = 3;
    EXPECT_TRUE(db().add_new_file(it)) << w;
    return it;
  }
  // A local file in step with its row, as the engine would have left it.
  SyncFileItem insync(const std::string& w, const std::string& content, int64_t version = 4) {
    write(local(w), content);
    SyncFileItem it = remote(w, content, syncstatus::synced, version);
    it.last = Util::filemodifytime(local(w));
    it.diskversion = version;
    db().update_file(it);
    return it;
  }
  // A finished download of the content, as the transfer engine leaves it.
  std::string finished(const std::string& content) {
    const std::string d = cache_ + "/down_" + sha1(content) + "_ok";
    write(d, content);
    return d;
  }

  plat::testing::TempHome home_;
  std::shared_ptr<plat::HeadlessToolkit> ui_;  // sees the notices
  // Stamps of the hand-off in whole seconds, moved only by the test.
  std::shared_ptr<plat::ManualClock> clock_ = std::make_shared<plat::ManualClock>();
  std::unique_ptr<plat::ScopedClock> scoped_;
  std::shared_ptr<UserData> user_;
  std::unique_ptr<SyncManager> m_;
  std::shared_ptr<synctest::RecordingTrans> trans_;
  std::string root_, cache_;
};

// A name that is not UTF-8 can't travel in the service's JSON: the events
// and the scan refuse it (told once), and a row an older client stored for
// such a name leaves the hand-off at its first pick instead of holding up
// every upload after it.
TEST_F(SyncTransfer, ANameThatIsNotUtf8IsRefusedAndItsOldRowHoldsUpNothing) {
  const std::string bad = "bad\xff\xfe.txt", shown = "bad\xEF\xBF\xBD\xEF\xBF\xBD.txt";
  write(local(bad), "b");
  EXPECT_FALSE(m_->eventadd(local(bad)));
  m_->scandir(root_);
  EXPECT_EQ(row(bad).status, syncstatus::none);
  EXPECT_EQ(ui_->count("notice", "文件名不是有效的 UTF-8 编码，未同步：" + root_ + shown), 1u);
  EXPECT_TRUE(synctest::logged(root_ + shown, "文件名不是有效的 UTF-8 编码，未同步："));

  remote(bad, "b", syncstatus::toUpload);
  write(local("good.txt"), "g");
  SyncFileItem good = remote("good.txt", "g", syncstatus::toUpload);
  good.last = Util::filemodifytime(local("good.txt"));
  db().update_file(good);
  EXPECT_EQ(db().get_upload().webpath, bad);  // read back as its own bytes, first in line
  EXPECT_EQ(m_->get_upload().itemid, 2);
  EXPECT_EQ(row(bad).status, syncstatus::none);
  const TransItem next = m_->get_upload();
  EXPECT_EQ(next.itemid, 1);
  EXPECT_EQ(next.webpath, "good.txt");

  // Renamed to such a name: gone from the service's side, nothing sent.
  insync("ren.txt", "r");
  const std::string renamed = "ren\xc3.txt";
  ASSERT_EQ(::rename(local("ren.txt").c_str(), local(renamed).c_str()), 0);
  EXPECT_FALSE(m_->eventrename(local("ren.txt"), local(renamed), true));
  EXPECT_EQ(row("ren.txt").status, syncstatus::toDelete);
  EXPECT_EQ(row(renamed).status, syncstatus::none);
  EXPECT_EQ(ui_->count("notice", "ren\xEF\xBF\xBD.txt"), 1u);
}

// The hand-off's order through the engine: 5 before 2, then 8 before 3
// before 1; within a status the oldest stamp; a row stamped in this second
// or parked waits. Each job is stamped as it goes, so the next call in the
// same second gives the next row.
TEST_F(SyncTransfer, JobsGoOutInTheirOrderAndEachIsStampedAsItGoes) {
  auto& clock = clock_;
  remote("handed.bin", "h", syncstatus::downloading);
  remote("old.bin", "o");
  remote("new.bin", "n");
  remote("parked.bin", "p");
  db().update_acttime("old.bin", 5);
  db().update_acttime("new.bin", 9);
  db().update_acttime("parked.bin", static_cast<double>(Syncdb::now() + 300));
  std::vector<std::string> order;
  for (TransItem t = m_->get_download(); t.itemid == 1; t = m_->get_download()) order.push_back(t.webpath);
  EXPECT_EQ(order, (std::vector<std::string>{"old.bin", "new.bin", "handed.bin"}));
  EXPECT_EQ(row("old.bin").status, syncstatus::downloading);
  EXPECT_EQ(row("parked.bin").status, syncstatus::toDownload);
  clock->advance(1);
  // A second later the handed-out rows come again, the oldest stamp first.
  EXPECT_EQ(m_->get_download().webpath, "handed.bin");

  for (const char* w : {"one", "three", "eight"}) write(local(w), w);
  const auto up = [&](const std::string& w, int64_t status) {
    SyncFileItem it;
    it.webpath = w, it.file = true, it.status = status;
    it.size = Util::filesize(local(w)), it.last = Util::filemodifytime(local(w));
    db().add_new_file(it);
  };
  up("one", syncstatus::uploading);
  up("three", syncstatus::toUpload);
  up("eight", syncstatus::toReupload);
  std::vector<std::pair<std::string, int64_t>> uploads;
  for (TransItem t = m_->get_upload(); t.itemid == 1; t = m_->get_upload()) uploads.emplace_back(t.webpath, t.ext);
  EXPECT_EQ(uploads, (std::vector<std::pair<std::string, int64_t>>{{"eight", 1}, {"three", 0}, {"one", 0}}));
  EXPECT_EQ(m_->get_upload().itemid, -1);
  EXPECT_EQ(row("eight").status, syncstatus::uploading);
}

TEST_F(SyncTransfer, JobsCarryWhatTheTransferNeeds) {
  EXPECT_EQ(m_->get_download().itemid, 0);
  EXPECT_EQ(m_->get_upload().itemid, -1);

  remote("d/x.bin", "remote content");
  const TransItem d = m_->get_download();
  EXPECT_EQ(d.itemid, 1);
  EXPECT_EQ(d.type, 0);
  EXPECT_EQ(d.ext, 0);
  EXPECT_EQ(d.filesize, 14u);
  EXPECT_EQ(d.filehash, sha1("remote content"));
  EXPECT_EQ(d.path, cache_ + "/down_" + sha1("remote content"));
  EXPECT_EQ(d.webpath, "d/x.bin");
  EXPECT_EQ(d.addtime, static_cast<uint64_t>(Syncdb::now()));
  EXPECT_FALSE(d.cachepath);
  EXPECT_TRUE(d.url.empty() && d.session.empty() && d.pathhash.empty());

  write(local("u/y.txt"), "local words");
  SyncFileItem it;
  it.webpath = "u/y.txt", it.parent = "u", it.file = true, it.status = syncstatus::toUpload;
  it.size = 11, it.last = Util::filemodifytime(local("u/y.txt"));
  db().add_new_file(it);
  const TransItem u = m_->get_upload();
  EXPECT_EQ(u.itemid, 1);
  EXPECT_EQ(u.type, 1);
  EXPECT_EQ(u.filehash, "");
  EXPECT_EQ(u.filesize, 11u);
  EXPECT_EQ(u.cachepath, cache_);
  EXPECT_EQ(u.path, plat::format("%@/upload_%@_%llu", cache_, sha1("u/y.txt"),
                                 static_cast<unsigned long long>(it.last)));
  // The copy holds the file, with its time.
  EXPECT_EQ(plat::readFile(u.path), "local words");
  EXPECT_EQ(Util::filemodifytime(u.path), it.last);
}

// Where the hand-off can't move a finished file into place (its result
// failed or is waiting to be taken in), the row waits its turn.
TEST_F(SyncTransfer, AResultOfTheContentKeepsTheRowBack) {
  remote("waits.bin", "abc");
  const std::string target = cache_ + "/down_" + sha1("abc");
  for (const char* suffix : {"_error", "_ok"}) {
    write(target + suffix, "x");
    const TransItem t = m_->get_download();
    EXPECT_EQ(t.itemid, 2) << suffix;
    EXPECT_EQ(row("waits.bin").status, syncstatus::toDownload) << suffix;
    EXPECT_EQ(row("waits.bin").actlast, Syncdb::now()) << suffix;
    ::unlink((target + suffix).c_str());
    db().update_acttime("waits.bin", 0);
  }
}

// Folders, empty files and content in the local file cache need no
// transfer: the hand-off settles them and asks for the next row at once.
TEST_F(SyncTransfer, FoldersEmptyFilesAndCacheHitsAreSettledHere) {
  folder("a", syncstatus::toDownload);
  folder("a/b", syncstatus::toDownload);
  TransItem t = m_->get_download();
  EXPECT_EQ(t.itemid, 3);
  t = m_->get_download();
  EXPECT_EQ(t.itemid, 3);
  EXPECT_TRUE(Util::isdir(local("a/b")));
  auto f = row("a/b");
  EXPECT_EQ(f.status, syncstatus::synced);
  EXPECT_EQ(f.diskversion, 3);
  EXPECT_EQ(f.membername, "tester");
  EXPECT_EQ(f.memberid, 7);
  EXPECT_EQ(f.last, Util::filemodifytime(local("a/b")));

  remote("a/empty.txt", "");
  EXPECT_EQ(m_->get_download().itemid, 3);
  EXPECT_TRUE(isRegular(local("a/empty.txt")));
  EXPECT_EQ(Util::filesize(local("a/empty.txt")), 0u);
  EXPECT_EQ(row("a/empty.txt").status, syncstatus::synced);
  EXPECT_EQ(row("a/empty.txt").last, Util::filemodifytime(local("a/empty.txt")));
  EXPECT_TRUE(synctest::logged("a/empty.txt", "下载文件成功："));

  const std::string content = "cached content";
  write(home_.path() + "/elsewhere", content);
  ASSERT_TRUE(m_->synccache()->addcache(home_.path() + "/elsewhere", sha1(content)));
  remote("a/c/cached.txt", content);
  EXPECT_EQ(m_->get_download().itemid, 3);
  EXPECT_EQ(plat::readFile(local("a/c/cached.txt")), content);
  const auto c = row("a/c/cached.txt");
  EXPECT_EQ(c.status, syncstatus::synced);
  EXPECT_EQ(c.diskversion, 5);
  EXPECT_EQ(c.last, Util::filemodifytime(local("a/c/cached.txt")));
  EXPECT_EQ(trans_->cleared(), (std::vector<std::string>{"a/empty.txt", "a/c/cached.txt"}));
  EXPECT_TRUE(synctest::logged("a/c/cached.txt", "从缓存中复制成功："));
  // The placement is the engine's own: the watcher's report changes nothing.
  EXPECT_TRUE(m_->eventupdate(local("a/c/cached.txt")));
  EXPECT_EQ(row("a/c/cached.txt").status, syncstatus::synced);

  // Cached content that is not what its name says is not placed.
  const std::string bad = m_->synccache()->getcache(sha1(content));
  ASSERT_TRUE(plat::atomicWrite(bad, "tampered"));
  remote("a/other.txt", content);
  EXPECT_EQ(m_->get_download().itemid, 1);
  EXPECT_FALSE(plat::fileExists(local("a/other.txt")));
}

// What stands at the path when the hand-off places a file there: a file the
// user changed since the row wins, a version the service never had goes to
// the Trash first, a folder stays.
TEST_F(SyncTransfer, PlacementsNeverDestroyALocalVersion) {
  // Edited after the row last saw it: kept, and uploaded instead.
  write(local("edited.txt"), "the user's words");
  SyncFileItem e = remote("edited.txt", "");
  e.last = Util::filemodifytime(local("edited.txt")) - 10;
  db().update_file(e);
  EXPECT_EQ(m_->get_download().itemid, 3);
  EXPECT_EQ(plat::readFile(local("edited.txt")), "the user's words");
  EXPECT_EQ(row("edited.txt").status, syncstatus::toUpload);
  EXPECT_EQ(row("edited.txt").size, 16u);

  // A local file the service never had (disk version 0): to the Trash, told.
  write(local("never.txt"), "never uploaded");
  SyncFileItem n = remote("never.txt", "");
  n.last = Util::filemodifytime(local("never.txt"));
  db().update_file(n);
  EXPECT_EQ(m_->get_download().itemid, 3);
  EXPECT_EQ(Util::filesize(local("never.txt")), 0u);
  EXPECT_EQ(synctest::trashed(), std::vector<std::string>{"never uploaded"});
  EXPECT_TRUE(synctest::logged("never.txt", "本地文件已移到废纸篓，由云端版本替换:"));
  EXPECT_EQ(ui_->count("notice", "本地文件[never.txt]已被云端版本替换，原文件已移到废纸篓"), 1u);

  // Likewise when the service's content comes from the local file cache.
  const std::string cachedContent = "the service's content";
  write(home_.path() + "/c", cachedContent);
  ASSERT_TRUE(m_->synccache()->addcache(home_.path() + "/c", sha1(cachedContent)));
  write(local("mine.txt"), "mine alone");
  SyncFileItem c = remote("mine.txt", cachedContent);
  c.last = Util::filemodifytime(local("mine.txt"));
  db().update_file(c);
  EXPECT_EQ(m_->get_download().itemid, 3);
  EXPECT_EQ(plat::readFile(local("mine.txt")), cachedContent);
  EXPECT_EQ(synctest::trashed(), (std::vector<std::string>{"mine alone", "never uploaded"}));

  // The version last in step with the service is simply replaced.
  SyncFileItem s = insync("old.txt", "old version");
  s.status = syncstatus::toDownload, s.size = 0, s.filehash = sha1(""), s.version = 9;
  db().update_file(s);
  EXPECT_EQ(m_->get_download().itemid, 3);
  EXPECT_EQ(Util::filesize(local("old.txt")), 0u);
  EXPECT_EQ(synctest::trashed().size(), 2u);

  // A folder where the file would go stays with what it holds.
  write(local("dir.txt/inside"), "kept");
  remote("dir.txt", "");
  EXPECT_EQ(m_->get_download().itemid, 2);
  EXPECT_EQ(plat::readFile(local("dir.txt/inside")), "kept");
  EXPECT_EQ(row("dir.txt").status, syncstatus::toDownload);
}

// Rows the hand-off finds meaningless are dropped or set aside on the spot.
TEST_F(SyncTransfer, RowsThatLostTheirFileOrTheirPlaceAreDropped) {
  SyncFileItem gone;
  gone.webpath = "gone.txt", gone.file = true, gone.status = syncstatus::toUpload;
  db().add_new_file(gone);
  folder("gonedir", syncstatus::toUpload);
  SyncFileItem below;
  below.webpath = "gonedir/in.txt", below.parent = "gonedir", below.file = true, below.status = syncstatus::synced;
  db().add_new_file(below);
  write(local(".hidden"), "h");
  SyncFileItem hidden;
  hidden.webpath = ".hidden", hidden.file = true, hidden.status = syncstatus::toUpload;
  db().add_new_file(hidden);
  write(home_.path() + "/target", "t");
  ASSERT_EQ(::symlink((home_.path() + "/target").c_str(), local("link").c_str()), 0);
  SyncFileItem link;
  link.webpath = "link", link.file = true, link.status = syncstatus::toUpload;
  db().add_new_file(link);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(m_->get_upload().itemid, 2);
  for (const char* w : {"gone.txt", "gonedir", "gonedir/in.txt", ".hidden", "link"}) {
    EXPECT_EQ(row(w).status, syncstatus::none) << w;
  }
  EXPECT_TRUE(plat::fileExists(home_.path() + "/target"));

  // Excluded meanwhile: status 7, never fetched.
  remote("skip/x.bin", "x");
  m_->unsyncnode().setnode({{"skip", 0}});
  EXPECT_EQ(m_->get_download().itemid, 2);
  EXPECT_EQ(row("skip/x.bin").status, syncstatus::excluded);

  // Below a folder being deleted: parked, not fetched.
  folder("del", syncstatus::toDelete);
  remote("del/y.bin", "y");
  EXPECT_EQ(m_->get_download().itemid, 2);
  EXPECT_EQ(row("del/y.bin").status, syncstatus::toDownload);
  EXPECT_EQ(row("del/y.bin").actlast, Syncdb::now());

  // A linked folder whose disk is gone: its rows wait, none is dropped.
  const std::string outside = home_.path() + "/Work";
  write(outside + "/l.txt", "1");
  m_->linkfolder().add("linked", outside);
  SyncFileItem in;
  in.webpath = "linked/l.txt", in.parent = "linked", in.file = true, in.status = syncstatus::toUpload;
  db().add_new_file(in);
  plat::removeTree(outside);
  EXPECT_EQ(m_->get_upload().itemid, 2);
  EXPECT_EQ(row("linked/l.txt").status, syncstatus::toUpload);
}

TEST_F(SyncTransfer, TheUploadCopyIsOfWhatTheFileHoldsNow) {
  auto& clock = clock_;
  write(local("f.txt"), "first");
  SyncFileItem it;
  it.webpath = "f.txt", it.file = true, it.status = syncstatus::toUpload, it.size = 5;
  it.last = Util::filemodifytime(local("f.txt")) - 3;  // the row is older than the file
  db().add_new_file(it);
  TransItem t = m_->get_upload();
  EXPECT_EQ(t.itemid, 2);
  EXPECT_FALSE(plat::fileExists(t.path));
  auto r = row("f.txt");
  EXPECT_EQ(r.status, syncstatus::uploading);
  EXPECT_EQ(r.last, Util::filemodifytime(local("f.txt")));
  clock->advance(1);
  t = m_->get_upload();
  ASSERT_EQ(t.itemid, 1);
  EXPECT_EQ(plat::readFile(t.path), "first");

  // An edit within the same second at the same size: a new copy, not the old.
  const auto m = Util::filemodifytime(local("f.txt"));
  write(local("f.txt"), "again");
  ASSERT_TRUE(plat::setModificationTime(local("f.txt"), plat::Date{static_cast<double>(m) + 0.5}));
  clock->advance(1);
  const TransItem again = m_->get_upload();
  ASSERT_EQ(again.itemid, 1);
  EXPECT_EQ(again.path, t.path);
  EXPECT_EQ(plat::readFile(again.path), "again");

  // From the size limit on the file itself goes, unchanged.
  const std::string big = local("big.bin");
  write(big, "");
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(SyncManager::kUploadCopyLimit)), 0);
  SyncFileItem b;
  b.webpath = "big.bin", b.file = true, b.status = syncstatus::toUpload, b.size = SyncManager::kUploadCopyLimit;
  b.last = Util::filemodifytime(big);
  db().add_new_file(b);
  clock->advance(1);
  const TransItem bt = m_->get_upload();  // status 3 before the handed-out one
  EXPECT_EQ(bt.webpath, "big.bin");
  EXPECT_EQ(bt.itemid, 1);
  EXPECT_EQ(bt.path, big);
  EXPECT_EQ(bt.filesize, SyncManager::kUploadCopyLimit);
}

// The hand-off never makes a folder for a file on disk, or sends a file for a
// folder row: an old kind the service has waits to be deleted there (its
// rows below with it); one it never had becomes the new kind at once.
TEST_F(SyncTransfer, TheHandOffSettlesAChangeOfKind) {
  const struct {
    const char* path;
    bool rowIsFolder;
    int64_t version;      // 0: never on the service
    int64_t rowStatus;    // of the path afterwards
    bool rowIsFileAfter;
  } cases[] = {
      {"was folder", true, 3, syncstatus::toDelete, false},
      {"new folder", true, 0, syncstatus::toUpload, true},
      {"was file", false, 4, syncstatus::toDelete, true},
      {"new file", false, 0, syncstatus::toUpload, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string w = c.path;
    SyncFileItem it;
    it.webpath = w;
    it.file = !c.rowIsFolder;
    it.status = syncstatus::toUpload;
    it.version = c.version;
    it.size = 1;
    ASSERT_TRUE(db().add_new_file(it));
    if (c.rowIsFolder) {
      remote(w + "/inside.txt", "in", syncstatus::synced);
      write(local(w), "a file now");
    } else {
      ASSERT_TRUE(plat::makeDirectories(local(w) + "/sub"));
      write(local(w) + "/sub/x.txt", "x");
    }
    const TransItem t = m_->get_upload();
    EXPECT_EQ(t.itemid, 2);
    const SyncFileItem r = row(w);
    EXPECT_EQ(r.status, c.rowStatus);
    EXPECT_EQ(r.file, c.rowIsFileAfter);
    if (c.rowIsFolder) {
      const int64_t inside = row(w + "/inside.txt").status;
      EXPECT_EQ(inside, c.version ? syncstatus::toDelete : syncstatus::none);
    } else {
      // Nothing of the new folder is sent before the old file is deleted.
      if (c.version) {
        EXPECT_EQ(row(w + "/sub/x.txt").status, syncstatus::none);
      }
    }
    db().del_dir(w);
  }
}

// ---------------------------------------------------------------------------
// Finished downloads

TEST_F(SyncTransfer, AFinishedDownloadIsPlacedForEveryRowWaitingForIt) {
  const std::string content = "shared content";
  remote("one/a.txt", content);
  remote("two/b.txt", content, syncstatus::downloading);
  const std::string d = finished(content);
  ASSERT_TRUE(plat::setModificationTime(d, plat::Date{1600000000}));
  m_->finishdownload(d);
  for (const char* w : {"one/a.txt", "two/b.txt"}) {
    EXPECT_EQ(plat::readFile(local(w)), content) << w;
    const auto r = row(w);
    EXPECT_EQ(r.status, syncstatus::synced) << w;
    EXPECT_EQ(r.diskversion, 5) << w;
    // The placed file keeps the time of what was fetched; the row says so.
    EXPECT_EQ(Util::filemodifytime(local(w)), 1600000000u) << w;
    EXPECT_EQ(r.last, 1600000000u) << w;
    // The watcher's report of this write is the engine's own.
    EXPECT_TRUE(m_->eventupdate(local(w)));
    EXPECT_EQ(row(w).status, syncstatus::synced) << w;
  }
  EXPECT_FALSE(plat::fileExists(d));
  EXPECT_EQ(plat::readFile(m_->synccache()->getcache(sha1(content))), content);
  EXPECT_FALSE(plat::fileExists(local("one/a.txt.qvcopy")));
}

// A name near the limit of a name is placed like any other; a placement
// that cannot be made is logged every time, told once, and after a few tries
// the result is dropped as failed instead of being tried every second.
TEST_F(SyncTransfer, LongNamesArePlacedAndAFailingPlacementIsToldAndBounded) {
  const std::string content = "long named";
  const std::string longName = std::string(245, 'l') + ".txt";
  remote("docs/" + longName, content);
  const std::string d = finished(content);
  m_->finishdownload(d);
  EXPECT_EQ(plat::readFile(local("docs/" + longName)), content);
  EXPECT_EQ(row("docs/" + longName).status, syncstatus::synced);
  EXPECT_FALSE(plat::fileExists(d));

  // A file holds the name of the folder the download goes into.
  write(local("blocked"), "a file");
  const std::string other = "other content";
  remote("blocked/x.txt", other);
  const std::string d2 = finished(other);
  const std::string text = "文件[blocked/x.txt]下载后无法保存到本地：无法创建文件夹";
  for (int i = 1; i < SyncManager::kPlaceTries; ++i) {
    m_->finishdownload(d2);
    ASSERT_TRUE(plat::fileExists(d2)) << i;
  }
  EXPECT_EQ(ui_->count("notice", text), 1u);
  EXPECT_TRUE(synctest::logged("blocked/x.txt", "下载文件无法保存到本地(无法创建文件夹):"));
  m_->finishdownload(d2);
  EXPECT_FALSE(plat::fileExists(d2));
  EXPECT_TRUE(plat::fileExists(cache_ + "/down_" + sha1(other) + "_error"));
  EXPECT_EQ(row("blocked/x.txt").status, syncstatus::toDownload);
  EXPECT_EQ(ui_->count("notice", text), 1u);
  EXPECT_EQ(plat::readFile(local("blocked")), "a file");
}

TEST_F(SyncTransfer, AFinishedDownloadNeverTakesTheUsersFile) {
  const std::string content = "the service's";
  // Edited after the row: the local file wins, the download still counts.
  write(local("edited.txt"), "the user's");
  SyncFileItem e = remote("edited.txt", content);
  e.last = Util::filemodifytime(local("edited.txt")) - 5;
  db().update_file(e);
  // Its folder is being deleted: not placed, consumed.
  folder("bin", syncstatus::toRemove);
  remote("bin/x.txt", content);
  const std::string d = finished(content);
  m_->finishdownload(d);
  EXPECT_EQ(plat::readFile(local("edited.txt")), "the user's");
  EXPECT_EQ(row("edited.txt").status, syncstatus::toUpload);
  // The service's version this disk never held is kept in the Trash.
  EXPECT_EQ(synctest::trashed(), std::vector<std::string>{content});
  EXPECT_FALSE(plat::fileExists(local("bin/x.txt")));
  EXPECT_FALSE(plat::fileExists(d));

  // A row of another size keeps the download waiting.
  SyncFileItem w = remote("wrong.txt", content);
  w.size = 3;
  db().update_file(w);
  const std::string d2 = finished(content);
  m_->finishdownload(d2);
  EXPECT_TRUE(plat::fileExists(d2));
  EXPECT_FALSE(plat::fileExists(local("wrong.txt")));
  EXPECT_EQ(row("wrong.txt").status, syncstatus::toDownload);
  db().del_file("wrong.txt");

  // A version the service never had goes to the Trash before it is replaced.
  write(local("mine.txt"), "only here");
  SyncFileItem n = remote("mine.txt", content);
  n.last = Util::filemodifytime(local("mine.txt"));
  db().update_file(n);
  m_->finishdownload(d2);
  EXPECT_EQ(plat::readFile(local("mine.txt")), content);
  EXPECT_EQ(synctest::trashed(), (std::vector<std::string>{"only here", content}));
  EXPECT_TRUE(synctest::logged("mine.txt", "本地文件已移到废纸篓，由云端版本替换:"));
  EXPECT_FALSE(plat::fileExists(d2));
}

TEST_F(SyncTransfer, OnlyADownloadThatIsItsContentIsPlaced) {
  remote("x.txt", "right");
  const std::string d = cache_ + "/down_" + sha1("right") + "_ok";
  write(d, "wrong");
  m_->finishdownload(d);
  EXPECT_FALSE(plat::fileExists(local("x.txt")));
  EXPECT_FALSE(plat::fileExists(d));
  // Failed: its content waits out the error hold before it is fetched again.
  EXPECT_TRUE(m_->transcache()->checkdownloaderror(cache_ + "/down_" + sha1("right")));
  EXPECT_EQ(row("x.txt").status, syncstatus::toDownload);
  // Names that are no finished download are left alone.
  for (const std::string& name : std::vector<std::string>{"down_" + sha1("right") + "_ok.part", "upload_x_ok", "down_1234_ok"}) {
    write(cache_ + "/" + name, "right");
    m_->finishdownload(cache_ + "/" + name);
    EXPECT_TRUE(plat::fileExists(cache_ + "/" + name)) << name;
  }
}

// ---------------------------------------------------------------------------
// Finished uploads

TEST_F(SyncTransfer, AFinishedUploadIsRecordedOnlyForWhatWasSent) {
  const auto handed = [&](const std::string& w, const std::string& content) {
    write(local(w), content);
    SyncFileItem it;
    it.webpath = w, it.file = true, it.status = syncstatus::uploading, it.version = 12;
    it.size = content.size(), it.last = Util::filemodifytime(local(w));
    it.filehash = sha1(content);  // what the upload hashed and sent
    db().add_new_file(it);
    const std::string copy = cache_ + "/upload_" + sha1(w) + "_" + std::to_string(it.last);
    EXPECT_TRUE(Util::copyfile(local(w), copy));
    return copy;
  };

  const std::string good = handed("good.txt", "sent");
  m_->finishupload(good, "good.txt");
  EXPECT_EQ(row("good.txt").status, syncstatus::synced);
  EXPECT_EQ(row("good.txt").diskversion, 12);
  EXPECT_EQ(plat::readFile(m_->synccache()->getcache(sha1("sent"))), "sent");
  EXPECT_FALSE(plat::fileExists(good));  // the copy has done its work

  // Changed after it was sent (another size): it goes again, with no hash.
  const std::string grown = handed("grown.txt", "sent");
  write(local("grown.txt"), "sent and more");
  m_->finishupload(grown, "grown.txt");
  auto r = row("grown.txt");
  EXPECT_EQ(r.status, syncstatus::uploading);
  EXPECT_EQ(r.filehash, "");
  EXPECT_EQ(r.size, 13u);
  EXPECT_EQ(trans_->cleared(), std::vector<std::string>{"grown.txt"});

  // Within the same second at the same size: the content tells.
  const std::string same = handed("same.txt", "aaaa");
  const auto m = Util::filemodifytime(local("same.txt"));
  write(local("same.txt"), "bbbb");
  ASSERT_TRUE(plat::setModificationTime(local("same.txt"), plat::Date{static_cast<double>(m)}));
  m_->finishupload(same, "same.txt");
  EXPECT_EQ(row("same.txt").status, syncstatus::uploading);
  EXPECT_EQ(row("same.txt").filehash, "");

  // A large file went from its place: it stays where it is.
  write(local("inplace.bin"), "big");
  SyncFileItem big;
  big.webpath = "inplace.bin", big.file = true, big.status = syncstatus::uploading, big.size = 3;
  big.last = Util::filemodifytime(local("inplace.bin")), big.filehash = sha1("big");
  db().add_new_file(big);
  m_->finishupload(local("inplace.bin"), "inplace.bin");
  EXPECT_EQ(row("inplace.bin").status, syncstatus::synced);
  EXPECT_EQ(plat::readFile(local("inplace.bin")), "big");
}

// The service took another client's version while this one's upload was on
// its way. The service may number the upload's commit after that version
// (devcloud does), so the upload stops: the service's version is fetched and
// kept in the Trash, then the local file goes again, whether the change is
// newer or older than the version the upload asked for.
TEST_F(SyncTransfer, AServiceChangeMetDuringAnUploadIsKeptBeforeTheUploadGoesOn) {
  const auto handed = [&](const std::string& w, int64_t version) {
    write(local(w), "mine");
    SyncFileItem it;
    it.webpath = w, it.file = true, it.status = syncstatus::uploading, it.version = version;
    it.size = 4, it.last = Util::filemodifytime(local(w)), it.filehash = sha1("mine");
    db().add_new_file(it);
    return it;
  };
  const struct {
    const char* path;
    int64_t uploadVersion, changeVersion;
    std::string theirs;
  } cases[] = {{"race.txt", 6, 7, "theirs, newer"}, {"older.txt", 9, 8, "theirs, older"}};
  std::vector<std::string> trashed;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SyncFileItem r = handed(c.path, c.uploadVersion);
    CompareItem change;
    change.webpath = c.path, change.cmd = 1, change.version = c.changeVersion, change.filehash = sha1(c.theirs);
    change.filesize = static_cast<int64_t>(c.theirs.size());
    m_->lock();
    EXPECT_FALSE(m_->compare_data(r, change));
    m_->unlock();
    r = row(c.path);
    EXPECT_EQ(r.status, syncstatus::toDownload);
    EXPECT_EQ(r.filehash, sha1(c.theirs));
    EXPECT_EQ(r.version, c.changeVersion);
    EXPECT_EQ(r.last, 0u);  // the local file stays and goes again
    const auto cleared = trans_->cleared();
    EXPECT_NE(std::find(cleared.begin(), cleared.end(), c.path), cleared.end());
    // The stopped upload's completion, should it still come, records nothing.
    m_->finishupload(local(c.path), c.path);
    EXPECT_EQ(row(c.path).status, syncstatus::toDownload);
    clock_->advance(1);  // past the second the completion stamped
    const TransItem t = m_->get_download();
    EXPECT_EQ(t.itemid, 1);
    EXPECT_EQ(t.webpath, c.path);
    // Fetched: kept in the Trash, and the local file is uploaded again.
    m_->finishdownload(finished(c.theirs));
    trashed.push_back(c.theirs);
    std::sort(trashed.begin(), trashed.end());
    EXPECT_EQ(synctest::trashed(), trashed);
    EXPECT_EQ(plat::readFile(local(c.path)), "mine");
    r = row(c.path);
    EXPECT_EQ(r.status, syncstatus::toUpload);
    EXPECT_EQ(r.size, 4u);
    EXPECT_EQ(r.last, Util::filemodifytime(local(c.path)));
    EXPECT_TRUE(synctest::logged(c.path, "云端版本已移到废纸篓，由本地文件替换:"));
  }

  // Content this disk already holds needs no keeping: the upload goes on,
  // and once it is done the newer version of the service is taken.
  write(home_.path() + "/held", "held here");
  ASSERT_TRUE(m_->synccache()->addcache(home_.path() + "/held", sha1("held here")));
  SyncFileItem h = handed("held.txt", 6);
  CompareItem change;
  change.webpath = "held.txt", change.cmd = 1, change.version = 7, change.filehash = sha1("held here");
  change.filesize = 9;
  m_->lock();
  EXPECT_FALSE(m_->compare_data(h, change));
  m_->unlock();
  EXPECT_EQ(row("held.txt").status, syncstatus::uploading);
  m_->finishupload(local("held.txt"), "held.txt");
  h = row("held.txt");
  EXPECT_EQ(h.status, syncstatus::toDownload);
  EXPECT_EQ(h.filehash, sha1("held here"));
  EXPECT_EQ(h.version, 7);
  EXPECT_EQ(h.diskversion, 6);  // the disk holds the version just sent
}

// The service numbers an upload when it is announced, so another client's
// commit taken after that can carry a lower number than the upload's row.
// Met in the change list while the upload is on its way, that version, which
// this disk never held, still stops the upload and is kept first; history
// from before the upload's base and content this disk holds change nothing.
TEST_F(SyncTransfer, AChangeNumberedBelowAnAnnouncedUploadIsKeptAllTheSame) {
  const struct {
    const char* path;
    int64_t change;
    bool cached;
    bool kept;
  } cases[] = {{"between.txt", 8, false, true}, {"history.txt", 4, false, false}, {"cached.txt", 8, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    write(local(c.path), "mine");
    SyncFileItem it;
    it.webpath = c.path, it.file = true, it.status = syncstatus::uploading;
    it.version = 9, it.diskversion = 5;  // announced as 9, asked over 5
    it.size = 4, it.last = Util::filemodifytime(local(c.path)), it.filehash = sha1("mine");
    db().add_new_file(it);
    const std::string theirs = std::string("theirs for ") + c.path;
    if (c.cached) {
      write(home_.path() + "/theirs", theirs);
      ASSERT_TRUE(m_->synccache()->addcache(home_.path() + "/theirs", sha1(theirs)));
    }
    CompareItem change;
    change.webpath = c.path, change.cmd = 1, change.version = c.change, change.filehash = sha1(theirs);
    change.filesize = static_cast<int64_t>(theirs.size());
    m_->lock();
    m_->receive_add(change, 0);
    m_->unlock();
    const SyncFileItem r = row(c.path);
    const auto cleared = trans_->cleared();
    const bool stopped = std::find(cleared.begin(), cleared.end(), c.path) != cleared.end();
    if (c.kept) {
      EXPECT_EQ(r.status, syncstatus::toDownload);
      EXPECT_EQ(r.filehash, sha1(theirs));
      EXPECT_EQ(r.version, c.change);
      EXPECT_EQ(r.last, 0u);  // the local file stays and goes again
      EXPECT_TRUE(stopped);
    } else {
      EXPECT_EQ(r.status, syncstatus::uploading);
      EXPECT_EQ(r.filehash, sha1("mine"));
      EXPECT_EQ(r.version, 9);
      EXPECT_FALSE(stopped);
    }
    EXPECT_EQ(plat::readFile(local(c.path)), "mine");
  }
}

// A change of the service for a path the user renamed, while the rename
// waits to be made on the service: the old name is not brought back.
TEST_F(SyncTransfer, AChangeForTheOldNameOfAPendingRenameWaits) {
  write(local("old.txt"), "edited here");
  SyncFileItem it;
  it.webpath = "old.txt", it.file = true, it.status = syncstatus::toUpload, it.size = 11;
  it.last = Util::filemodifytime(local("old.txt"));
  db().add_new_file(it);
  ASSERT_EQ(::rename(local("old.txt").c_str(), local("new.txt").c_str()), 0);
  // Not yet on the service (its upload waits): the rename is queued.
  EXPECT_FALSE(m_->eventrename(local("old.txt"), local("new.txt"), true));
  ASSERT_TRUE(m_->check_movelist(local("old.txt")));
  CompareItem c;
  c.webpath = "old.txt", c.cmd = 1, c.version = 3, c.filehash = sha1("theirs"), c.filesize = 6;
  m_->lock();
  EXPECT_FALSE(m_->compare_data(row("old.txt"), c));
  m_->unlock();
  EXPECT_EQ(row("old.txt").status, syncstatus::toUpload);
  EXPECT_EQ(row("old.txt").filehash, "");
  EXPECT_EQ(m_->get_download().itemid, 0);

  // Without a pending rename the service's version is taken.
  CompareItem gone = c;
  gone.webpath = "elsewhere.txt";
  SyncFileItem e = it;
  e.webpath = "elsewhere.txt";
  db().add_new_file(e);
  m_->lock();
  EXPECT_TRUE(m_->compare_data(row("elsewhere.txt"), gone));
  m_->unlock();
  EXPECT_EQ(row("elsewhere.txt").status, syncstatus::toDownload);
}

}  // namespace
