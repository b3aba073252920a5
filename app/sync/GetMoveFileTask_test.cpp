// The sync-folder move on real trees: a move in one step on one disk, a
// checked copy onto another file system (/dev/shm), the refused places and
// a copy that fails, each with what is posted and what stays on disk.
#include "app/sync/GetMoveFileTask.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Framework/Sqlite/SQDatabaseQueue.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncManager.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/notification_center.h"
#include "platform/system/system_test_util.h"

extern char** environ;

namespace {

// A new private folder on /dev/shm; "" when there is none.
std::string shmFolder() {
  std::string tmpl = "/dev/shm/qvmove.XXXXXX";
  return ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

// A tree by path: the file's content, or no value for a folder.
using Tree = std::map<std::string, std::optional<std::string>>;

Tree treeOf(const std::string& root) {
  Tree t;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string rel = it->path().string().substr(root.size());
    if (it->is_symlink(ec)) {
      t[rel] = "-> " + std::filesystem::read_symlink(it->path(), ec).string();
    } else if (it->is_directory(ec)) {
      t[rel] = std::nullopt;
    } else if (!it->is_regular_file(ec)) {
      t[rel] = "<special>";
    } else {
      t[rel] = plat::readFile(it->path().string()).value_or("<unreadable>");
    }
  }
  return t;
}

// The application object of this program: it notes the calls the move makes
// upward, with the history list and how many notices had gone out then.
class RecordingApp : public AppServices {
public:
  struct Call {
    std::string what;
    size_t history = 0;
  };
  void resetBrowserFileHistoryMenu() override { note("history"); }
  void setSyncDirectoryIcon(const std::string& path) override { note("icon:" + path); }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> l(m);
    return calls_;
  }
  void clear() {
    std::lock_guard<std::mutex> l(m);
    calls_.clear();
  }

private:
  void note(const std::string& what) {
    const auto u = userdata();
    std::lock_guard<std::mutex> l(m);
    calls_.push_back({what, u ? u->historyArray().size() : 0});
  }
  std::mutex m;
  std::vector<Call> calls_;
};
RecordingApp recordingApp;
const bool recordingInstalled = (AppServices::install(recordingApp), true);

class MoveTask : public ::testing::Test {
protected:
  void SetUp() override {
    user_ = std::make_shared<UserData>();
    user_->setUserID(7);
    user_->setMountID(70);
    user_->setHistoryArray({plat::Value(std::string("/old/place/a.txt"))});
    recordingApp.clear();
    app().setUserdata(user_);
    app().setBLink(false);
    home_ = plat::homeDirectory();
    old_ = home_ + "/Quorva/";
    sync_ = std::make_shared<SyncManager>(old_, false, false);
    app().setSync(sync_);
    sync_->start();
    token_ = plat::NotificationCenter::defaultCenter().addObserver(
        GetMoveFileTask::kNotification, [this](const plat::Notification& n) {
          std::lock_guard<std::mutex> l(m_);
          posted_.push_back(n.object.string());
        });
    // What the user has: files, a folder, an empty folder, and a link to a
    // folder elsewhere whose content is never copied.
    ASSERT_TRUE(plat::makeDirectories(old_ + "个人的文件/docs/empty"));
    ASSERT_TRUE(plat::atomicWrite(old_ + "个人的文件/a.txt", "alpha"));
    ASSERT_TRUE(plat::atomicWrite(old_ + "个人的文件/docs/b.txt", std::string(300, 'b')));
    ASSERT_TRUE(plat::makeDirectories(home_ + "/outside"));
    ASSERT_TRUE(plat::atomicWrite(home_ + "/outside/big.txt", "not copied"));
    ASSERT_EQ(::symlink((home_ + "/outside").c_str(), (old_ + "个人的文件/docs/link").c_str()), 0);
    before_ = treeOf(old_);
  }
  void TearDown() override {
    plat::NotificationCenter::defaultCenter().removeObserver(token_);
    if (sync_) sync_->exit();
    app().setSync(nullptr);
    app().setUserdata(nullptr);
    for (const auto& d : cleanup_) plat::removeTree(d);
  }
  static AppServices& app() { return Util::getAppDelegate(); }
  std::vector<std::string> posted() {
    std::lock_guard<std::mutex> l(m_);
    return posted_;
  }
  void run(const std::string& target) {
    auto task = std::make_shared<GetMoveFileTask>(target);
    auto queue = std::make_shared<plat::OperationQueue>("move test");
    queue->addOperation(task);
    task->waitUntilFinished();
  }

  plat::testing::TempHome temp_;
  std::string home_, old_;
  std::shared_ptr<UserData> user_;
  std::shared_ptr<SyncManager> sync_;
  plat::NotificationCenter::Token token_ = 0;
  std::mutex m_;
  std::vector<std::string> posted_;
  Tree before_;
  std::vector<std::string> cleanup_;
};

TEST_F(MoveTask, OnOneDiskTheFolderMovesInOneStep) {
  const std::string fresh = home_ + "/new place/Quorva/";
  ASSERT_TRUE(plat::makeDirectories(home_ + "/new place"));
  run(home_ + "/new place/Quorva");
  // No percentages: the move took one step, the switch-over repeats "100".
  EXPECT_EQ(posted(), (std::vector<std::string>{"100", "100"}));
  EXPECT_EQ(treeOf(fresh), before_);
  EXPECT_FALSE(plat::statNoFollow(old_));
  EXPECT_EQ(sync_->syncparent(), fresh);
  EXPECT_EQ(sync_->syncpath(), fresh + "个人的文件/");
  EXPECT_EQ(app().tempsyncpath(), fresh);
  EXPECT_TRUE(sync_->bStart());
  EXPECT_EQ(sync_->getnormalpath("a.txt"), fresh + "个人的文件/a.txt");
  // The history menu is made again from the emptied list, and the new
  // personal root gets the folder icon.
  const auto calls = recordingApp.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].what, "history");
  EXPECT_EQ(calls[0].history, 0u);
  EXPECT_EQ(calls[1].what, "icon:" + fresh + "个人的文件/");
}

TEST_F(MoveTask, OntoAnotherFileSystemTheTreeIsCopiedCheckedAndOnlyThenRemoved) {
  struct statfs here {}, shm {};
  if (::statfs("/dev/shm", &shm) != 0 || ::statfs(home_.c_str(), &here) != 0 ||
      std::memcmp(&here.f_fsid, &shm.f_fsid, sizeof here.f_fsid) == 0) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const std::string base = shmFolder();
  ASSERT_FALSE(base.empty());
  cleanup_.push_back(base);
  const std::string fresh = base + "/Quorva/";
  const auto mtime = Util::filemodifytime(old_ + "个人的文件/docs/b.txt");
  run(base + "/Quorva");
  const auto p = posted();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back(), "100");
  // Percentages in order, each between 1 and 99, then "100" once.
  long last = 0;
  for (size_t i = 0; i + 1 < p.size(); ++i) {
    const long v = std::stol(p[i]);
    EXPECT_GT(v, last) << i;
    EXPECT_GE(v, 1);
    EXPECT_LE(v, 99);
    last = v;
  }
  EXPECT_GE(p.size(), 3u);
  EXPECT_EQ(treeOf(fresh), before_);
  // The link stays a link to the same place.
  EXPECT_TRUE(plat::statNoFollow(fresh + "个人的文件/docs/link")->isSymlink);
  EXPECT_EQ(Util::filemodifytime(fresh + "个人的文件/docs/b.txt"), mtime);
  EXPECT_FALSE(plat::statNoFollow(old_));
  EXPECT_EQ(plat::readFile(home_ + "/outside/big.txt").value_or(""), "not copied");
  EXPECT_EQ(sync_->syncparent(), fresh);
  EXPECT_TRUE(sync_->bStart());
}

TEST_F(MoveTask, RefusedPlacesTouchNothing) {
  ASSERT_TRUE(plat::makeDirectories(home_ + "/full"));
  ASSERT_TRUE(plat::atomicWrite(home_ + "/full/mine.txt", "someone's"));
  ASSERT_TRUE(plat::makeDirectories(home_ + "/dotted"));
  ASSERT_TRUE(plat::atomicWrite(home_ + "/dotted/.hidden", "kept"));
  const std::string refused[] = {
      old_,                          // the sync folder itself
      old_ + "个人的文件/inside",   // inside it
      home_,                         // holding it
      home_ + "/QUORVA/sub",         // inside it, in other letters
      home_ + "/full",               // a folder that holds files already
      home_ + "/dotted",             // even hidden ones
  };
  for (const auto& target : refused) {
    SCOPED_TRACE(target);
    {
      std::lock_guard<std::mutex> l(m_);
      posted_.clear();
    }
    run(target);
    EXPECT_EQ(posted(), (std::vector<std::string>{"-1"}));
    EXPECT_EQ(treeOf(old_), before_);
    EXPECT_EQ(sync_->syncparent(), old_);
    EXPECT_TRUE(sync_->bStart());
  }
  EXPECT_EQ(plat::readFile(home_ + "/full/mine.txt").value_or(""), "someone's");
  EXPECT_FALSE(plat::statNoFollow(old_ + "个人的文件/inside"));
}

TEST_F(MoveTask, ACopyThatFailsLeavesTheOldFolderInForceAndWhole) {
  struct statfs here {}, shm {};
  if (::statfs("/dev/shm", &shm) != 0 || ::statfs(home_.c_str(), &here) != 0 ||
      std::memcmp(&here.f_fsid, &shm.f_fsid, sizeof here.f_fsid) == 0) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  // An entry that can't be copied (a pipe) half-way through the tree.
  ASSERT_EQ(::mkfifo((old_ + "个人的文件/docs/pipe").c_str(), 0600), 0);
  before_ = treeOf(old_);
  const std::string base = shmFolder();
  cleanup_.push_back(base);
  run(base + "/Quorva");
  const auto p = posted();
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back(), "-1");
  for (const auto& v : p) EXPECT_NE(v, "100");
  EXPECT_EQ(treeOf(old_), before_);
  EXPECT_EQ(sync_->syncparent(), old_);
  EXPECT_EQ(sync_->syncpath(), old_ + "个人的文件/");
  EXPECT_TRUE(sync_->bStart());
  EXPECT_NE(app().tempsyncpath(), base + "/Quorva/");
  EXPECT_TRUE(recordingApp.calls().empty());
}

}  // namespace

namespace {

// Killed in the middle of the copy: the old folder is whole and in force, and
// a start there finds each file once; the partial copy is never merged into.
TEST_F(MoveTask, KilledDuringTheCopyTheOldFolderStaysWholeAndInForce) {
  struct statfs here {}, shm {};
  if (::statfs("/dev/shm", &shm) != 0 || ::statfs(home_.c_str(), &here) != 0 ||
      std::memcmp(&here.f_fsid, &shm.f_fsid, sizeof here.f_fsid) == 0) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  // This process lets go of the folder; the runner moves it.
  sync_->exit();
  app().setSync(nullptr);
  sync_.reset();
  ASSERT_EQ(::unlink((old_ + "个人的文件/docs/link").c_str()), 0);  // the scan would follow it
  ASSERT_TRUE(plat::makeDirectories(old_ + "个人的文件/many"));
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(plat::atomicWrite(old_ + "个人的文件/many/f" + std::to_string(i), std::string(65536, 'a' + i % 26)));
  }
  before_ = treeOf(old_);
  const std::string base = shmFolder();
  cleanup_.push_back(base);
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::string runner = MOVE_TASK_RUNNER, from = old_, to = base + "/Quorva";
  char* argv[] = {runner.data(), from.data(), to.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  // Killed once a fifth of the tree is copied.
  std::string line;
  bool midCopy = false;
  char c = 0;
  while (!midCopy && ::read(out[0], &c, 1) == 1) {
    if (c != '\n') {
      line += c;
      continue;
    }
    midCopy = line != "100" && line != "-1" && std::stol(line) >= 20;
    line.clear();
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  ASSERT_TRUE(midCopy);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the move ended before it could be killed";
  EXPECT_EQ(treeOf(old_), before_);
  EXPECT_TRUE(plat::isDirectory(base + "/Quorva"));  // the partial copy stays

  // The next start on the old folder: every file once, none of the copy.
  sync_ = std::make_shared<SyncManager>(old_, false, false);
  app().setSync(sync_);
  sync_->setPacing(false);
  sync_->start();
  for (int i = 0; i < 500 && (sync_->passes() < 1 || !sync_->bScaned()); ++i) ::usleep(20000);
  ASSERT_TRUE(sync_->bScaned());
  size_t files = 0;
  for (const auto& [p, v] : before_) files += v && p.rfind("个人的文件/", 0) == 0;
  synctest::Raw raw(sync_->syncdb()->dbQueue()->path());
  EXPECT_EQ(raw.rows("select count(*) from SYNC where type=1")[0][0], std::to_string(files));
  EXPECT_EQ(raw.rows("select count(*) from SYNC where type=1 and path like '%f29%'")[0][0], "11");
  // A second try at the same place is refused, never merged into.
  {
    std::lock_guard<std::mutex> l(m_);
    posted_.clear();
  }
  run(base + "/Quorva");
  EXPECT_EQ(posted(), (std::vector<std::string>{"-1"}));
  EXPECT_EQ(treeOf(old_), before_);
}

}  // namespace
