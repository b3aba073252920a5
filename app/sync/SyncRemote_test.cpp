// The remote road against devcloud with a real sync parent folder: changes
// of the service reach the SYNC table and the disk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/Util.h"
#include "app/interface/EngineFixture.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/file_util.h"

extern char** environ;

namespace {

using enginetest::Account;
using enginetest::sha1;
using plat::Array;
using plat::Dictionary;
using plat::Value;

class SyncRemoteTest : public enginetest::SignedInTest {
protected:
  void SetUp() override {
    SignedInTest::SetUp();
    if (HasFatalFailure()) return;
    AppServices::shared().setBLink(true);
    AppServices::shared().setBRecyclebin(false);
    manager_ = std::make_unique<SyncManager>(dir_.path() + "/Quorva/", false, false);
  }
  void TearDown() override {
    manager_.reset();
    SignedInTest::TearDown();
  }

  // Files (path to text) and folders put straight into the user's tree.
  void put(const std::vector<std::pair<std::string, std::string>>& files, const std::vector<std::string>& folders = {}) {
    Array f, d;
    for (const auto& [path, text] : files) f.push_back(Value(Dictionary{{"path", Value(path)}, {"text", Value(text)}}));
    for (const auto& p : folders) d.push_back(Value(p));
    ASSERT_TRUE(cloud->hook("POST", "files",
                            Value(Dictionary{{"username", Value(account_.username)}, {"files", Value(f)},
                                             {"folders", Value(d)}})));
  }

  Syncdb& db() { return *manager_->syncdb(); }
  std::string local(const std::string& webpath) { return manager_->syncpath() + webpath; }

  // The row as if its download had been placed: the local file written,
  // the row in step with it.
  void placed(const std::string& webpath, const std::string& text) {
    auto row = db().get_single_file(webpath);
    ASSERT_NE(row.status, -1) << webpath;
    plat::makeDirectories(plat::pathDirname(local(webpath)));
    ASSERT_TRUE(plat::atomicWrite(local(webpath), text));
    row.last = Util::filemodifytime(local(webpath));
    row.size = text.size();
    row.diskversion = row.version;
    row.status = 4;
    db().update_file(row);
  }

  int64_t files() {
    int64_t n = 0;
    synctest::Raw raw(manager_->syncdb()->dbQueue()->path());
    n = std::stoll(raw.rows("select count(*) from SYNC where type=1")[0][0]);
    return n;
  }

  synctest::TempDir dir_;
  std::unique_ptr<SyncManager> manager_;
};

TEST_P(SyncRemoteTest, AddsReachTheTableAndFoldersTheDisk) {
  put({{"docs/a.txt", "hello"}, {"docs/空.txt", ""}, {"中文/深/层/很/深/x.md", "deep"}}, {"empty dir"});
  manager_->receive_from_server();

  const auto a = db().get_single_file("docs/a.txt");
  EXPECT_EQ(a.status, 5);
  EXPECT_EQ(a.filehash, sha1("hello"));
  EXPECT_EQ(a.size, 5u);
  EXPECT_TRUE(a.file);
  EXPECT_EQ(a.parent, "docs");
  const auto empty = db().get_single_file("docs/空.txt");
  EXPECT_EQ(empty.status, 5);
  EXPECT_EQ(empty.size, 0u);
  EXPECT_TRUE(empty.file);
  EXPECT_EQ(db().get_single_file("中文/深/层/很/深/x.md").filehash, sha1("deep"));
  // Folders need no transfer: made on disk and in step.
  for (const char* folder : {"docs", "empty dir", "中文/深/层/很/深"}) {
    EXPECT_EQ(db().get_single_file(folder).status, 4) << folder;
    EXPECT_TRUE(plat::isDirectory(local(folder))) << folder;
  }
  EXPECT_GT(db().get_total_version("/").version, 0);
  // Nothing new: the next pass changes nothing.
  manager_->receive_from_server();
  EXPECT_EQ(db().get_single_file("docs/a.txt"), a);
}

TEST_P(SyncRemoteTest, DeletesNeverTakeALocalChangeAndRenamesMoveTheRows) {
  put({{"d/keep.txt", "k"}, {"d/changed.txt", "c"}, {"d/busy.txt", "b"}, {"d/busychanged.txt", "bc"},
       {"d/wait.txt", "w"}, {"d/tokeep.txt", "t"}, {"d/older.txt", "o"}, {"r/x/y.txt", "y"}});
  manager_->receive_from_server();
  // A local edit waiting for the service's version to be fetched and kept.
  ASSERT_TRUE(plat::atomicWrite(local("d/tokeep.txt"), "edited, not sent"));
  auto tokeep = db().get_single_file("d/tokeep.txt");
  tokeep.last = 0;
  db().update_file(tokeep);
  // A version held here whose successor was not fetched yet.
  placed("d/older.txt", "o");
  put({{"d/older.txt", "o, newer"}});
  manager_->receive_from_server();
  ASSERT_EQ(db().get_single_file("d/older.txt").status, 5);
  placed("d/keep.txt", "k");
  placed("d/changed.txt", "c");
  placed("d/busy.txt", "b");
  placed("d/busychanged.txt", "bc");
  db().update_status("d/busy.txt", 2);
  db().update_status("d/busychanged.txt", 2);
  // The user edits two of them after they were in step.
  for (const char* p : {"d/changed.txt", "d/busychanged.txt"}) {
    ASSERT_TRUE(plat::atomicWrite(local(p), "edited by the user"));
    ASSERT_TRUE(plat::setModificationTime(local(p), plat::Date{2000000000}));
  }
  auto trans = std::make_shared<synctest::RecordingTrans>();
  manager_->settrans(trans);

  for (const char* p : {"d/keep.txt", "d/changed.txt", "d/busy.txt", "d/busychanged.txt", "d/wait.txt",
                        "d/tokeep.txt", "d/older.txt"}) {
    ASSERT_EQ(HTTPEngine::delfile(account_.token, p, account_.mount).status, 200) << p;
  }
  ASSERT_EQ(HTTPEngine::renamefile(account_.token, "r", account_.mount, "R2").status, 200);
  manager_->receive_from_server();

  EXPECT_EQ(db().get_single_file("d/keep.txt").status, 6);  // removed from disk at commit
  EXPECT_EQ(db().get_single_file("d/changed.txt").status, 3);
  EXPECT_EQ(plat::readFile(local("d/changed.txt")).value_or(""), "edited by the user");
  EXPECT_EQ(db().get_single_file("d/busy.txt").status, 6);  // transfer stopped, file gone at once
  EXPECT_FALSE(plat::fileExists(local("d/busy.txt")));
  EXPECT_EQ(db().get_single_file("d/busychanged.txt").status, 3);
  EXPECT_EQ(plat::readFile(local("d/busychanged.txt")).value_or(""), "edited by the user");
  EXPECT_EQ(db().get_single_file("d/wait.txt").status, -1);  // never fetched: the row goes
  // Nothing left to keep: the edit goes up.
  EXPECT_EQ(db().get_single_file("d/tokeep.txt").status, 3);
  EXPECT_EQ(plat::readFile(local("d/tokeep.txt")).value_or(""), "edited, not sent");
  // The older version goes at once and its row at commit, as a stopped
  // transfer's: no file is left on disk with no row.
  EXPECT_EQ(db().get_single_file("d/older.txt").status, 6);
  EXPECT_FALSE(plat::statNoFollow(local("d/older.txt")));
  const auto cancelled = trans->cleared();
  EXPECT_NE(std::find(cancelled.begin(), cancelled.end(), "d/busy.txt"), cancelled.end());

  EXPECT_EQ(db().get_single_file("R2/x/y.txt").filehash, sha1("y"));
  EXPECT_EQ(db().get_single_file("r/x/y.txt").status, -1);
  EXPECT_TRUE(plat::isDirectory(local("R2/x")));
}

// A folder deleted here goes on the service only with what this disk held:
// what another client put in it meanwhile (not yet listed here, or listed but
// not fetched, or a newer version of a file held here) stays there and comes
// down again; with nothing unseen the folder goes whole.
TEST_P(SyncRemoteTest, AFolderDeletedHereLeavesWhatThisDiskNeverHeld) {
  // The service's tree below a folder: path to content hash, "" for a folder.
  const auto serviceBelow = [&](const std::string& folder) {
    std::map<std::string, std::string> out;
    auto t = cloud->hook("GET", "tree?username=" + NSStringExpand::urlEncoded(account_.username));
    if (!t) return out;
    for (const Value& n : (*t)["nodes"].array()) {
      std::string p = n["path"].string();
      if (!p.empty() && p.front() == '/') p.erase(0, 1);
      if (p == folder || p.rfind(folder + "/", 0) == 0) out[p] = n["dir"].boolValue() ? "" : n["filehash"].string();
    }
    return out;
  };
  enum Other { kNothing, kUnlisted, kListed, kNewerVersion };
  const struct {
    const char* name;
    Other other;
    std::map<std::string, std::string> stays;  // below the folder, on the service
    std::vector<std::string> fetched;          // rows to download again
  } cases[] = {
      {"nothing unseen: the folder goes whole", kNothing, {}, {}},
      {"a file not yet listed here stays", kUnlisted,
       {{"d1", ""}, {"d1/sub", ""}, {"d1/sub/new.txt", sha1("new")}}, {"d1", "d1/sub", "d1/sub/new.txt"}},
      {"a file listed, not fetched, stays", kListed,
       {{"d2", ""}, {"d2/sub", ""}, {"d2/sub/new.txt", sha1("new")}}, {"d2", "d2/sub", "d2/sub/new.txt"}},
      {"a newer version stays", kNewerVersion, {{"d3", ""}, {"d3/old.txt", sha1("newer")}}, {"d3", "d3/old.txt"}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string d = "d" + std::to_string(i);
    put({{d + "/old.txt", "old"}, {d + "/sub/deep.txt", "deep"}});
    manager_->receive_from_server();
    placed(d + "/old.txt", "old");
    placed(d + "/sub/deep.txt", "deep");
    ASSERT_EQ(db().get_single_file(d + "/sub").status, 4);
    // Another client's work in the folder.
    if (c.other == kUnlisted || c.other == kListed) put({{d + "/sub/new.txt", "new"}});
    if (c.other == kNewerVersion) put({{d + "/old.txt", "newer"}});
    if (c.other == kListed) {
      manager_->receive_from_server();
      ASSERT_EQ(db().get_single_file(d + "/sub/new.txt").status, 5);
    }
    // The user deletes the folder here.
    ASSERT_TRUE(plat::removeTree(local(d)));
    manager_->scandir(manager_->syncpath());
    ASSERT_EQ(db().get_single_file(d).status, 9);
    manager_->commit();

    EXPECT_EQ(serviceBelow(d), c.stays);
    if (c.stays.empty()) {
      EXPECT_EQ(db().get_single_file(d).status, -1);
      EXPECT_TRUE(synctest::logged(d, "删除云端文件夹成功："));
      continue;
    }
    EXPECT_TRUE(synctest::logged(d, "云端文件夹中有本地未曾同步的内容，只删除已同步的部分："));
    for (const auto& w : c.fetched) EXPECT_EQ(db().get_single_file(w).status, 5) << w;
    // What was held here is gone, row and all.
    for (const std::string w : {d + "/old.txt", d + "/sub", d + "/sub/deep.txt"}) {
      if (c.stays.count(w)) continue;
      EXPECT_EQ(db().get_single_file(w).status, -1) << w;
    }
    // The next commit has nothing more to delete.
    manager_->commit();
    EXPECT_EQ(serviceBelow(d), c.stays);
  }
}

// A folder the service deleted while a new file in it was going up (its
// transfer stopped with the deletion): the folder stays and the file goes up
// again, though its row already describes the file as it is on disk.
TEST_P(SyncRemoteTest, AFolderDeletedOnTheServiceKeepsAFileThatWasGoingUp) {
  put({{"u/in.txt", "i"}});
  manager_->receive_from_server();
  placed("u/in.txt", "i");
  ASSERT_EQ(db().get_single_file("u").status, 4);
  for (const int64_t status : {1, 8}) {
    SCOPED_TRACE(status);
    const std::string w = "u/new" + std::to_string(status) + ".txt";
    ASSERT_TRUE(plat::atomicWrite(local(w), "new here"));
    SyncFileItem up;
    up.webpath = w, up.parent = "u", up.file = true, up.status = status, up.size = 8;
    up.last = Util::filemodifytime(local(w)), up.filehash = sha1("new here");
    db().add_new_file(up);
  }
  ASSERT_EQ(HTTPEngine::delfile(account_.token, "u/", account_.mount).status, 200);
  manager_->receive_from_server();
  ASSERT_EQ(db().get_single_file("u").status, 6);
  manager_->commit();

  EXPECT_EQ(db().get_single_file("u/new1.txt").status, 3);
  EXPECT_EQ(db().get_single_file("u/new8.txt").status, 8);
  for (const char* w : {"u/new1.txt", "u/new8.txt"}) EXPECT_EQ(plat::readFile(local(w)).value_or(""), "new here");
  EXPECT_EQ(db().get_single_file("u").status, 3);  // made on the service again
  // What was in step goes.
  EXPECT_FALSE(plat::statNoFollow(local("u/in.txt")));
}

// A file deleted here while its edit waited to go up, or went up: the
// service's copy is deleted too (the other clients would keep it, and this
// one would never hear of it again); a new file only loses its row.
TEST_P(SyncRemoteTest, AFileDeletedHereWhileItsEditWaitsIsDeletedOnTheService) {
  const struct {
    const char* path;
    int64_t status;
    bool onService;
  } cases[] = {{"waits.txt", 3, true}, {"going.txt", 1, true}, {"new.txt", 3, false}};
  for (const auto& c : cases) {
    if (c.onService) put({{c.path, "v1"}});
  }
  manager_->receive_from_server();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.onService) {
      placed(c.path, "v1");
    } else {
      SyncFileItem n;
      n.webpath = c.path, n.file = true;
      db().add_new_file(n);
    }
    // Edited, then deleted before the edit reached the service.
    ASSERT_TRUE(plat::atomicWrite(local(c.path), "edited"));
    auto row = db().get_single_file(c.path);
    row.status = c.status, row.size = 6, row.last = Util::filemodifytime(local(c.path)), row.filehash.clear();
    db().update_file(row);
    ASSERT_EQ(::unlink(local(c.path).c_str()), 0);
  }
  manager_->scandir(manager_->syncpath());
  for (const auto& c : cases) EXPECT_EQ(db().get_single_file(c.path).status, c.onService ? 9 : -1) << c.path;
  manager_->commit();
  for (const auto& c : cases) {
    EXPECT_EQ(db().get_single_file(c.path).status, -1) << c.path;
    EXPECT_TRUE(synctest::logged(c.path, "删除云端文件成功：") == c.onService) << c.path;
  }
  const auto t = cloud->hook("GET", "tree?username=" + NSStringExpand::urlEncoded(account_.username));
  ASSERT_TRUE(t);
  for (const Value& n : (*t)["nodes"].array()) {
    EXPECT_EQ(n["path"].string().find(".txt"), std::string::npos) << n["path"].string();
  }
}

// Versions past 32 bits are taken whole from the service, stored and read
// back whole: a stale change of an older version is still told apart.
TEST_P(SyncRemoteTest, VersionsPast32BitsAreTakenWhole) {
  constexpr int64_t k2to31 = int64_t{1} << 31;
  put({{"v/a.txt", "v1"}});
  manager_->receive_from_server();
  const SyncFileItem first = db().get_single_file("v/a.txt");
  ASSERT_EQ(first.filehash, sha1("v1"));
  ASSERT_LT(first.version, k2to31);
  ASSERT_TRUE(cloud->hook("POST", "mount_version",
                          Value(Dictionary{{"username", Value(account_.username)}, {"version", Value(k2to31 + 5)}})));
  put({{"v/a.txt", "v2"}});
  manager_->receive_from_server();
  const SyncFileItem second = db().get_single_file("v/a.txt");
  EXPECT_EQ(second.filehash, sha1("v2"));
  EXPECT_GT(second.version, k2to31 + 5);
  // The first version's change again, as a page read late would hold it.
  CompareItem stale;
  stale.webpath = "v/a.txt", stale.cmd = 1, stale.version = first.version;
  stale.filehash = sha1("v1"), stale.filesize = 2;
  stale.lastmemberid = second.memberid, stale.lastmembername = second.membername, stale.lock = second.lock;
  EXPECT_TRUE(manager_->receive_datas({stale}, 0));
  EXPECT_EQ(db().get_single_file("v/a.txt"), second);
  // A newer one past 32 bits is still taken.
  put({{"v/a.txt", "v3"}});
  manager_->receive_from_server();
  EXPECT_EQ(db().get_single_file("v/a.txt").filehash, sha1("v3"));
  EXPECT_GT(db().get_single_file("v/a.txt").version, second.version);
}

// A folder renamed or moved on the service is placed here by one rename only
// when every entry of the old folder is in step on disk; otherwise the rows
// take the ordinary road and the user's change stays where it was.
TEST_P(SyncRemoteTest, AMovedFolderIsRenamedHereOnlyWhenTheOldOneIsInStep) {
  const struct Case {
    const char* name;
    bool rename;           // a rename on the service, else a move into "into"
    const char* spoil;     // what makes the old folder not in step ("" for nothing)
    bool placed;
  } cases[] = {
      {"renamed, in step", true, "", true},
      {"moved, in step", false, "", true},
      {"renamed, a file edited here", true, "edit", false},
      {"renamed, a file not fetched yet", true, "unfetched", false},
      {"renamed, a file here the scan has not seen", true, "unseen", false},
      {"renamed, a file deleted here", true, "deleted", false},
      {"renamed, the new name already here", true, "target", false},
      // The new folder no longer holds what the old one did.
      {"renamed, then a file deleted on the service", true, "gone", false},
      // Which of two deleted folders of the same entries moved is a guess.
      {"renamed, a twin deleted beside it", true, "twin", false},
  };
  // Rows a repeat left under the same mount id would be taken for the old
  // folders: the feed is read from its start into an empty table.
  db().clear_all_files();
  db().reset_total_version();
  put({}, {"into"});
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string from = "f" + std::to_string(i), to = c.rename ? from + " renamed" : "into/" + from;
    // Each case's own content: an earlier case's old folder never fits.
    const std::string a = "a" + std::to_string(i), bb = "bb" + std::to_string(i);
    const std::string twin = from + " twin";
    put({{from + "/a.txt", a}, {from + "/sub/b.txt", bb}});
    if (std::string(c.spoil) == "twin") {
      put({{twin + "/a.txt", a}, {twin + "/sub/b.txt", bb}});
    }
    manager_->receive_from_server();
    if (std::string(c.spoil) == "twin") {
      placed(twin + "/a.txt", a);
      placed(twin + "/sub/b.txt", bb);
      ASSERT_EQ(HTTPEngine::delfile(account_.token, twin, account_.mount).status, 200);
    }
    placed(from + "/a.txt", a);
    if (std::string(c.spoil) != "unfetched") placed(from + "/sub/b.txt", bb);
    if (std::string(c.spoil) == "edit") {
      ASSERT_TRUE(plat::atomicWrite(local(from + "/a.txt"), "edited here"));
      ASSERT_TRUE(plat::setModificationTime(local(from + "/a.txt"), plat::Date{2000000000}));
    }
    const std::string spoil = c.spoil;
    // Not seen yet: no row (nothing here watches the folder).
    if (spoil == "unseen") { ASSERT_TRUE(plat::atomicWrite(local(from + "/sub/new.txt"), "new here")); }
    if (spoil == "deleted") { ASSERT_TRUE(plat::removeTree(local(from + "/sub/b.txt"))); }
    if (spoil == "target") {
      ASSERT_TRUE(plat::makeDirectories(local(to)));
      ASSERT_TRUE(plat::atomicWrite(local(to + "/x.txt"), "already here"));
    }
    // Never synced: an ignored name.
    ASSERT_TRUE(plat::atomicWrite(local(from + "/sub/.mine"), "mine"));
    const int64_t before = manager_->placedMoves();
    const int64_t status = c.rename ? HTTPEngine::renamefile(account_.token, from, account_.mount, from + " renamed").status
                                    : HTTPEngine::movefile(account_.token, from, account_.mount, "into").status;
    ASSERT_EQ(status, 200);
    if (spoil == "gone") { ASSERT_EQ(HTTPEngine::delfile(account_.token, to + "/sub/b.txt", account_.mount).status, 200); }
    manager_->receive_from_server();
    EXPECT_EQ(manager_->placedMoves(), before + (c.placed ? 1 : 0));
    if (c.placed) {
      EXPECT_FALSE(plat::statNoFollow(local(from)));
      EXPECT_EQ(plat::readFile(local(to + "/a.txt")).value_or(""), a);
      EXPECT_EQ(plat::readFile(local(to + "/sub/b.txt")).value_or(""), bb);
      EXPECT_EQ(plat::readFile(local(to + "/sub/.mine")).value_or(""), "mine");
      for (const std::string& p : {to, to + "/a.txt", to + "/sub", to + "/sub/b.txt"}) {
        const auto row = db().get_single_file(p);
        EXPECT_EQ(row.status, 4) << p;
        EXPECT_EQ(row.diskversion, row.version) << p;
      }
      EXPECT_EQ(db().get_single_file(to + "/a.txt").last, Util::filemodifytime(local(to + "/a.txt")));
      EXPECT_EQ(db().get_single_file(from).status, -1);
      EXPECT_TRUE(db().get_below(from).empty());
    } else {
      // The ordinary road: the new entries are to fetch, the old folder is
      // still here with what the user has in it.
      EXPECT_EQ(db().get_single_file(to + "/a.txt").status, 5);
      EXPECT_TRUE(plat::isDirectory(local(to + "/sub")));
      EXPECT_EQ(plat::readFile(local(from + "/sub/.mine")).value_or(""), "mine");
      if (std::string(c.spoil) == "edit") {
        EXPECT_EQ(plat::readFile(local(from + "/a.txt")).value_or(""), "edited here");
      }
      // What the user has here stays where it is, and nothing deleted here comes back there.
      if (spoil == "unseen") {
        EXPECT_EQ(plat::readFile(local(from + "/sub/new.txt")).value_or(""), "new here");
        EXPECT_FALSE(plat::statNoFollow(local(to + "/sub/new.txt")));
      }
      if (spoil == "gone") {
        EXPECT_EQ(db().get_single_file(to + "/sub/b.txt").status, -1);
        EXPECT_FALSE(plat::statNoFollow(local(to + "/sub/b.txt")));
      }
      if (spoil == "deleted") { EXPECT_FALSE(plat::statNoFollow(local(from + "/sub/b.txt"))); }
      if (spoil == "target") { EXPECT_EQ(plat::readFile(local(to + "/x.txt")).value_or(""), "already here"); }
    }
  }
}

TEST_P(SyncRemoteTest, ChangesOnTheServiceAreFetchedUnlessTheLocalFileChangedToo) {
  put({{"c/plain.txt", "v1"}, {"c/both.txt", "v1"}, {"m/tree/deep.txt", "d"}});
  manager_->receive_from_server();
  placed("c/plain.txt", "v1");
  placed("c/both.txt", "v1");
  ASSERT_TRUE(plat::atomicWrite(local("c/both.txt"), "mine"));
  ASSERT_TRUE(plat::setModificationTime(local("c/both.txt"), plat::Date{2000000000}));
  put({{"c/plain.txt", "v2"}, {"c/both.txt", "v2"}});
  ASSERT_EQ(HTTPEngine::movefile(account_.token, "m/tree", account_.mount, "c").status, 200);
  manager_->receive_from_server();

  const auto plain = db().get_single_file("c/plain.txt");
  EXPECT_EQ(plain.status, 5);
  EXPECT_EQ(plain.filehash, sha1("v2"));
  // The local change goes up once the service's version, which this disk
  // never held, is fetched to be kept (last 0: the completion keeps the file).
  const auto both = db().get_single_file("c/both.txt");
  EXPECT_EQ(both.status, 5);
  EXPECT_EQ(both.filehash, sha1("v2"));
  EXPECT_EQ(both.last, 0u);
  EXPECT_EQ(plat::readFile(local("c/both.txt")).value_or(""), "mine");
  EXPECT_EQ(db().get_single_file("c/tree/deep.txt").filehash, sha1("d"));
  EXPECT_EQ(db().get_single_file("m/tree/deep.txt").status, -1);
  EXPECT_TRUE(plat::isDirectory(local("c/tree")));
}

TEST_P(SyncRemoteTest, ALocalCopyTheServiceNeverHadIsNeverReplaced) {
  put({{"mine.txt", "cloud"}, {"ours.txt", "cloud too"}, {"same.txt", "equal"}});
  for (const auto& [p, t] : std::vector<std::pair<std::string, std::string>>{
           {"mine.txt", "local"}, {"ours.txt", "local too"}, {"same.txt", "equal"}}) {
    ASSERT_TRUE(plat::atomicWrite(local(p), t));
  }
  manager_->setUnsyncnode(std::nullopt, true);  // overwrite mode: the service's copy would win
  manager_->receive_from_server();
  for (const char* p : {"mine.txt", "ours.txt"}) {
    const auto row = db().get_single_file(p);
    EXPECT_EQ(row.last, 0u) << p;  // changed since in step: the completion keeps the local file
  }
  EXPECT_EQ(plat::readFile(local("mine.txt")).value_or(""), "local");
  EXPECT_EQ(db().get_single_file("same.txt").status, 4);  // equal content: in step at once
}

// The local copy wins in normal mode, but the service's version, which this
// disk never held, is fetched first and kept in the Trash.
TEST_P(SyncRemoteTest, ALocalCopyWinsInNormalModeAndTheServicesVersionIsKept) {
  put({{"mine.txt", "cloud"}});
  ASSERT_TRUE(plat::atomicWrite(local("mine.txt"), "local"));
  manager_->receive_from_server();
  auto row = db().get_single_file("mine.txt");
  EXPECT_EQ(row.status, 5);
  EXPECT_EQ(row.filehash, sha1("cloud"));
  EXPECT_EQ(row.last, 0u);
  EXPECT_EQ(plat::readFile(local("mine.txt")).value_or(""), "local");
  EXPECT_TRUE(synctest::logged("mine.txt", "本地文件已修改，先保存云端版本再上传:"));

  // Its download done: the service's version is in the Trash, the local
  // file stays and goes up.
  const TransItem t = manager_->get_download();
  ASSERT_EQ(t.itemid, 1);
  EXPECT_EQ(t.webpath, "mine.txt");
  const std::string done = manager_->transcache()->cachepath() + "/down_" + sha1("cloud") + "_ok";
  plat::makeDirectories(manager_->transcache()->cachepath());
  ASSERT_TRUE(plat::atomicWrite(done, "cloud"));
  manager_->finishdownload(done);
  EXPECT_EQ(synctest::trashed(), std::vector<std::string>{"cloud"});
  EXPECT_TRUE(synctest::logged("mine.txt", "云端版本已移到废纸篓，由本地文件替换:"));
  EXPECT_EQ(plat::readFile(local("mine.txt")).value_or(""), "local");
  row = db().get_single_file("mine.txt");
  EXPECT_EQ(row.status, 3);
  EXPECT_EQ(row.size, 5u);
  EXPECT_EQ(row.last, Util::filemodifytime(local("mine.txt")));
}

TEST_P(SyncRemoteTest, LocalCopiesAmongManyNewFilesOfAPageAreAllFound) {
  // A folder read once for the page, and one with too many entries to read
  // whole; local copies in both, some equal to the service's. A copy that
  // differs is found too: the service's version is fetched to be kept
  // before the local one goes up (status 5 with nothing recorded as held).
  std::vector<std::pair<std::string, std::string>> cloudFiles;
  for (int i = 0; i < 60; ++i) cloudFiles.emplace_back("few/f" + std::to_string(i), "cloud " + std::to_string(i));
  cloudFiles.emplace_back("crowded/f1", "cloud 1");
  cloudFiles.emplace_back("crowded/f2", "cloud 2");
  cloudFiles.emplace_back("crowded/f3", "cloud 3");
  put(cloudFiles);
  ASSERT_TRUE(plat::makeDirectories(local("few")));
  ASSERT_TRUE(plat::makeDirectories(local("crowded")));
  for (int i = 0; i < 4200; ++i) ASSERT_TRUE(plat::atomicWrite(local("crowded/other" + std::to_string(i)), "x"));
  const struct {
    const char* path;
    const char* localText;  // nullptr: no local copy
    int64_t status;
  } cases[] = {
      {"few/f0", nullptr, 5},         {"few/f7", "mine", 5},          {"few/f42", "cloud 42", 4},
      {"few/f59", "mine too", 5},     {"crowded/f1", "mine", 5},      {"crowded/f2", "cloud 2", 4},
      {"crowded/f3", nullptr, 5},
  };
  for (const auto& c : cases) {
    if (c.localText) {
      ASSERT_TRUE(plat::atomicWrite(local(c.path), c.localText));
    }
  }
  manager_->receive_from_server();
  for (const auto& c : cases) {
    const auto row = db().get_single_file(c.path);
    EXPECT_EQ(row.status, c.status) << c.path;
    if (c.localText && c.status == 5) {
      EXPECT_EQ(row.last, 0u) << c.path;
      EXPECT_TRUE(synctest::logged(c.path, "本地文件已修改，先保存云端版本再上传:")) << c.path;
    }
    if (c.localText) {
      EXPECT_EQ(plat::readFile(local(c.path)).value_or(""), c.localText) << c.path;
    }
  }
  EXPECT_EQ(db().get_single_file("few/f1").status, 5);
}

TEST_P(SyncRemoteTest, ThreePagesAPassAndTheRestInTheNext) {
  std::vector<std::pair<std::string, std::string>> many;
  for (int i = 0; i < 3500; ++i) many.emplace_back("bulk/f" + std::to_string(i), std::to_string(i));
  put(many);
  manager_->receive_from_server();
  const int64_t first = files();
  EXPECT_GE(first, 2999);
  EXPECT_LE(first, 3000);
  manager_->receive_from_server();
  EXPECT_EQ(files(), 3500);
  EXPECT_EQ(db().get_single_file("bulk/f3499").filehash, sha1("3499"));
}

TEST_P(SyncRemoteTest, AnExpiredTokenIsRenewedWithinThePass) {
  put({{"t.txt", "t"}});
  ASSERT_TRUE(cloud->hook("POST", "expire", Value(Dictionary{{"username", Value(account_.username)}})));
  const std::string old = AppServices::shared().userdata()->userToken();
  manager_->receive_from_server();
  EXPECT_EQ(db().get_single_file("t.txt").status, 5);
  EXPECT_NE(AppServices::shared().userdata()->userToken(), old);
}

// Only the refused change key reads the feed again from its start; any other
// refusal leaves the cursor where it stands for the next pass.
TEST_P(SyncRemoteTest, OnlyARefusedChangeKeyRewindsTheCursor) {
  put({{"early.txt", "e"}});
  const struct Case {
    int status, error;
    bool rewinds;
  } cases[] = {{400, 40008, true}, {400, 40001, false}, {408, 0, false}, {413, 0, false}, {429, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + "/" + std::to_string(c.error));
    db().clear_all_files();
    db().update_total_version(SyncVersion{"/", 999999, 1, "bogus", 0, 0, 0});
    // Every call of the pass is refused, but for the rewind, which is read
    // again at once.
    ASSERT_TRUE(cloud->hook("POST", "fault",
                            Value(Dictionary{{"kind", Value("error")}, {"method", Value("COMPARE")},
                                             {"status", Value(c.status)}, {"error_code", Value(c.error)},
                                             {"count", Value(c.rewinds ? 1 : 3)}})));
    manager_->receive_from_server();
    ASSERT_TRUE(cloud->hook("DELETE", "faults"));
    if (c.rewinds) {
      EXPECT_EQ(db().get_single_file("early.txt").status, 5);
      EXPECT_LT(db().get_total_version("/").version, 999999);
    } else {
      EXPECT_EQ(db().get_single_file("early.txt").status, -1);
      const auto root = db().get_total_version("/");
      EXPECT_EQ(root.version, 999999);
      EXPECT_EQ(root.changekey, "bogus");
    }
  }
}

// A sync-now of one folder lists it again and finds what only this disk
// holds below it; one of a whole root scans that root, as its type says.
TEST_P(SyncRemoteTest, SyncNowScansWhatItNames) {
  put({{"docs/on service.txt", "s"}});
  manager_->receive_from_server();
  ASSERT_TRUE(plat::makeDirectories(local("docs")));
  ASSERT_TRUE(plat::atomicWrite(local("docs/only here.txt"), "mine"));
  db().inset_sync_now("docs", 0);
  manager_->receive_from_server();
  EXPECT_EQ(db().get_single_file("docs/only here.txt").status, 3);
  EXPECT_EQ(db().get_single_file("docs/on service.txt").status, 5);
  EXPECT_TRUE(db().get_sync_now().empty());

  const struct Case {
    int64_t type;
    bool scans;
  } cases[] = {{2, false}, {1, true}, {3, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string name = "top " + std::to_string(c.type) + ".txt";
    ASSERT_TRUE(plat::atomicWrite(local(name), "local"));
    db().inset_sync_now("", c.type);
    manager_->receive_from_server();
    EXPECT_EQ(db().get_single_file(name).status, c.scans ? 3 : -1);
    EXPECT_TRUE(db().get_sync_now().empty());
  }
}

TEST_P(SyncRemoteTest, AViewOnlyShareBecomesARootListedInTheSamePass) {
  // Another user shares a folder with this one, view only.
  Account owner = newUser();
  ASSERT_TRUE(cloud->hook("POST", "files",
                          Value(Dictionary{{"username", Value(owner.username)},
                                           {"files", Value(Array{Value(Dictionary{{"path", Value("Pub/p.txt")},
                                                                                  {"text", Value("p")}})})}})));
  ASSERT_TRUE(cloud->hook("POST", "share",
                          Value(Dictionary{{"owner", Value(owner.username)}, {"to", Value(account_.username)},
                                           {"path", Value("Pub")}, {"readonly", Value(true)}})));
  manager_->receive_from_server();
  const auto root = db().get_total_version("/Pub/");
  EXPECT_EQ(root.webpath, "/Pub/");
  EXPECT_EQ(root.synctype, 1);
  EXPECT_TRUE(manager_->syncshare().isreadonly("Pub/p.txt"));
  EXPECT_EQ(db().get_single_file("Pub/p.txt").filehash, sha1("p"));
  EXPECT_GT(root.version, 0);
}

TEST_P(SyncRemoteTest, KilledInTheMiddleOfAPageThePassResumesWithNothingLostOrTwice) {
  std::vector<std::pair<std::string, std::string>> many;
  for (int i = 0; i < 3000; ++i) many.emplace_back("k/f" + std::to_string(i), "v" + std::to_string(i));
  put(many);
  const std::string dbfile = manager_->syncdb()->dbQueue()->path();

  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::vector<std::string> args = {SYNC_PASS_RUNNER, manager_->syncparent(), cloud->hostPort(), account_.username,
                                   AppServices::shared().userdata()->userToken(), account_.refresh,
                                   std::to_string(account_.mount)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  // Killed once the second page is being applied.
  bool midPage = false;
  for (int i = 0; i < 4000 && !midPage; ++i) {
    synctest::Raw raw(dbfile);
    const auto n = raw.rows("select count(*) from SYNC where type=1");
    midPage = !n.empty() && std::stoll(n[0][0]) > 1200;
    if (!midPage) ::usleep(2000);
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  ASSERT_TRUE(midPage);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the pass ended before it could be killed";
  const int64_t applied = files();
  EXPECT_LT(applied, 3000);
  // The cursor stands at the last page stored whole.
  const int64_t killedAt = db().get_total_version("/").version;

  manager_->receive_from_server();
  EXPECT_EQ(files(), 3000);
  EXPECT_LT(killedAt, db().get_total_version("/").version);
  synctest::Raw raw(dbfile);
  // Every change once: each file's row as the service has it, still to fetch.
  EXPECT_EQ(raw.rows("select count(*) from SYNC where type=1 and status=5")[0][0], "3000");
  EXPECT_EQ(db().get_single_file("k/f2999").filehash, sha1("v2999"));
  EXPECT_EQ(db().get_single_file("k/f1200").filehash, sha1("v1200"));
}

// The team's shares are rebuilt from the service when asked at
// construction, and at the first pass after a start: a share the team
// gained while the engine was off is a root of its own before the feed
// brings anything; a team row of an older form goes.
TEST_P(SyncRemoteTest, TeamSharesAreRebuiltFromTheService) {
  manager_.reset();
  static int teams = 0;
  const std::string team = "rt" + std::to_string(::getpid()) + "_" + std::to_string(++teams);
  account_ = newUser(Dictionary{{"org", Value(team)}});
  auto ud = userData(account_);
  ud->setMountID(account_.mount);
  ud->setUserID(account_.mount);
  ud->setOrgID(1);
  ASSERT_TRUE(cloud->hook("POST", "team_folder", Value(Dictionary{{"org", Value(team)}, {"name", Value("甲")}})));
  ASSERT_TRUE(plat::makeDirectories(plat::pathDirname(ud->getsyncdb())));
  {
    synctest::Raw raw(ud->getsyncdb());
    raw.exec("CREATE TABLE IF NOT EXISTS VERSION(path varchar[1000],version int,dateline int,changekey char[40],"
             "synctype int,local int,org int,PRIMARY KEY (path));");
    raw.exec("INSERT INTO VERSION VALUES('old form',0,0,'',0,0,1)");
  }
  const std::string parent = dir_.path() + "/Team/";
  manager_ = std::make_unique<SyncManager>(parent, false, true);
  const auto a = db().get_total_version("/甲/");
  EXPECT_EQ(a.webpath, "/甲/");
  EXPECT_GT(a.org, 0);
  EXPECT_EQ(a.synctype, 0);
  EXPECT_TRUE(manager_->syncshare().isorg("甲/x"));
  EXPECT_TRUE(db().get_total_version("old form").webpath.empty());
  manager_->exit();
  manager_.reset();

  // Between two starts the team gains a share.
  ASSERT_TRUE(cloud->hook("POST", "team_folder", Value(Dictionary{{"org", Value(team)}, {"name", Value("乙")}})));
  manager_ = std::make_unique<SyncManager>(parent, false, false);
  EXPECT_TRUE(db().get_total_version("/乙/").webpath.empty());
  std::atomic<bool> seen{false};
  manager_->setLocalPass([&](bool) {
    seen = seen || (!db().get_total_version("/乙/").webpath.empty() && manager_->syncshare().isorg("乙/y"));
  });
  manager_->start();
  for (int i = 0; i < 400 && manager_->passes() < 1; ++i) ::usleep(20000);
  for (int i = 0; i < 400 && !seen; ++i) ::usleep(20000);
  const std::string teamRoot = parent + "团队的文件/";
  for (int i = 0; i < 400 && !plat::isDirectory(teamRoot + "乙"); ++i) ::usleep(20000);
  manager_->stop();
  EXPECT_TRUE(seen);
  EXPECT_GT(db().get_total_version("/乙/").org, 0);
  EXPECT_TRUE(plat::isDirectory(teamRoot + "乙"));
  manager_->exit();
  manager_.reset();

  // Between the next two starts the team loses it again: the first pass
  // takes its root, its place in the set and its folder away; the other
  // share stays.
  ASSERT_TRUE(cloud->hook("POST", "unshare", Value(Dictionary{{"username", Value(account_.username)},
                                                               {"name", Value("乙")}})));
  manager_ = std::make_unique<SyncManager>(parent, false, false);
  EXPECT_FALSE(db().get_total_version("/乙/").webpath.empty());  // as stored before
  manager_->start();
  const auto gone = [&] {
    return manager_->passes() >= 1 && db().get_total_version("/乙/").webpath.empty() &&
           !manager_->syncshare().isorg("乙/y") && !plat::statNoFollow(teamRoot + "乙") &&
           db().get_single_file("乙").status == -1;
  };
  for (int i = 0; i < 1500 && !gone(); ++i) ::usleep(20000);
  manager_->stop();
  EXPECT_TRUE(gone());
  EXPECT_GT(db().get_total_version("/甲/").org, 0);
  EXPECT_TRUE(manager_->syncshare().isorg("甲/x"));
}

INSTANTIATE_TEST_SUITE_P(Devcloud, SyncRemoteTest, ::testing::Values(false));

}  // namespace
