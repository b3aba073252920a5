// The remote road against devcloud with a real sync parent folder: changes
// of the service reach the SYNC table and the disk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "app/Util.h"
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

class SyncRemoteTest : public enginetest::ServiceTest {
protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    account_ = newUser();
    auto ud = userData(account_);
    ud->setMountID(account_.mount);
    ud->setUserID(account_.mount);
    AppDelegate::shared().setBLink(true);
    AppDelegate::shared().setBRecyclebin(false);
    manager_ = std::make_unique<SyncManager>(dir_.path() + "/Quorva/", false, false);
  }
  void TearDown() override {
    manager_.reset();
    AppDelegate::shared().setUserdata(nullptr);
    ServiceTest::TearDown();
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
  Account account_;
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
       {"d/wait.txt", "w"}, {"r/x/y.txt", "y"}});
  manager_->receive_from_server();
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

  for (const char* p : {"d/keep.txt", "d/changed.txt", "d/busy.txt", "d/busychanged.txt", "d/wait.txt"}) {
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
  const auto cancelled = trans->cleared();
  EXPECT_NE(std::find(cancelled.begin(), cancelled.end(), "d/busy.txt"), cancelled.end());

  EXPECT_EQ(db().get_single_file("R2/x/y.txt").filehash, sha1("y"));
  EXPECT_EQ(db().get_single_file("r/x/y.txt").status, -1);
  EXPECT_TRUE(plat::isDirectory(local("R2/x")));
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
  EXPECT_EQ(db().get_single_file("c/both.txt").status, 3);  // the local change goes up
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

TEST_P(SyncRemoteTest, ALocalCopyWinsInNormalMode) {
  put({{"mine.txt", "cloud"}});
  ASSERT_TRUE(plat::atomicWrite(local("mine.txt"), "local"));
  manager_->receive_from_server();
  const auto row = db().get_single_file("mine.txt");
  EXPECT_EQ(row.status, 3);
  EXPECT_EQ(row.last, 0u);
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
  const std::string old = AppDelegate::shared().userdata()->userToken();
  manager_->receive_from_server();
  EXPECT_EQ(db().get_single_file("t.txt").status, 5);
  EXPECT_NE(AppDelegate::shared().userdata()->userToken(), old);
}

TEST_P(SyncRemoteTest, ARefusedChangeKeyIsReadAgainFromTheStart) {
  put({{"early.txt", "e"}});
  // Where the client believes it stands is refused by the service once.
  db().update_total_version(SyncVersion{"/", 999999, 1, "bogus", 0, 0, 0});
  ASSERT_TRUE(cloud->hook("POST", "fault",
                          Value(Dictionary{{"kind", Value("error")}, {"method", Value("COMPARE")},
                                           {"status", Value(400)}, {"error_code", Value(40001)},
                                           {"count", Value(1)}})));
  manager_->receive_from_server();
  EXPECT_EQ(db().get_single_file("early.txt").status, 5);
  EXPECT_LT(db().get_total_version("/").version, 999999);
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
                                   AppDelegate::shared().userdata()->userToken(), account_.refresh,
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

INSTANTIATE_TEST_SUITE_P(Devcloud, SyncRemoteTest, ::testing::Values(false));

}  // namespace
