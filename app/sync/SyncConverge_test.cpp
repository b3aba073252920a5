// Two clients of one account in one process, each with its own configuration
// folder, sync parent, sync engine (watching its roots over inotify) and
// transfer engine, against one devcloud: what the user does on either side
// reaches the other, and both end with the same tree as the service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <functional>
#include <optional>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/interface/EngineFixture.h"
#include "app/sync/GetMoveFileTask.h"
#include "app/sync/SyncManager.h"
#include "app/sync/converge_test_util.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/TransManager.h"
#include "app/trans/download_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/operation_queue.h"
#include "platform/system/system_test_util.h"

namespace {

using convergetest::Client;
using convergetest::Tree;
using enginetest::Account;
using enginetest::sha1;
using plat::Value;

class SyncConverge : public enginetest::ServiceTest {
protected:
  // Waits for `done` while asking both clients for a pass every second, so
  // the 30 s compare timer is not what the test waits for.
  bool nudgedUntil(const std::function<bool()>& done, double seconds) {
    plat::SystemClock real;
    double nudged = 0;
    return dltest::pumpUntil(
        [&] {
          if (real.monotonic() - nudged > 1) {
            a_.sync->setBSyncnow(true);
            b_.sync->setBSyncnow(true);
            nudged = real.monotonic();
          }
          return done();
        },
        seconds);
  }

  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    account_ = newUser();
    a_.user = userData(account_);
    // The second client's configuration folder is fixed from HOME when its
    // account data is made: a fresh one each test, so a mount id that a
    // devcloud started again hands out again never meets an earlier
    // round's database (also under --gtest_repeat).
    secondHome_ = plat::makeTemporaryDirectory("qv-second-home");
    b_.user = convergetest::userWithHome(secondHome_);
    for (auto* u : {a_.user.get(), b_.user.get()}) convergetest::signIn(*u, account_);
    ASSERT_NE(a_.user->getsyncdb(), b_.user->getsyncdb());
    AppServices& app = AppServices::shared();
    app.setBLink(true);
    app.setBSyncStart(true);
    app.setSynccount(1);
    app.setBRecyclebin(false);
    a_.start(dir_.path() + "/A/");
    b_.start(dir_.path() + "/B/");
  }
  void TearDown() override {
    a_.stop();
    b_.stop();
    plat::RunLoop::main()->remove(keepAlive_);
    AppServices::shared().setBSyncStart(false);
    AppServices::shared().setUserdata(nullptr);
    b_.user.reset();
    if (!secondHome_.empty()) plat::removeTree(secondHome_);
    ServiceTest::TearDown();
  }

  static void writeInPlace(const std::string& path, const std::string& text) {
    convergetest::writeInPlace(path, text);
  }
  static Tree treeOf(const std::string& root) { return convergetest::treeOf(root); }
  Tree service() { return convergetest::serviceTree(*cloud, account_.username); }
  static Tree hashed(const Tree& t) { return convergetest::hashed(t); }
  static bool settled(const Client& c) { return c.settled(); }

  // Waits until both disks and the service hold one of the trees and
  // neither engine has anything left to do.
  bool converge(const std::vector<Tree>& anyOf) {
    return convergetest::pumpNudging(
        {&a_, &b_},
        [&] {
          if (!settled(a_) || !settled(b_)) return false;
          const Tree ta = treeOf(a_.root()), tb = treeOf(b_.root()), ts = service();
          for (const Tree& t : anyOf) {
            if (ta == t && tb == t && ts == hashed(t)) return true;
          }
          return false;
        },
        240);
  }
  bool converge(const Tree& expected) { return converge(std::vector<Tree>{expected}); }

  // What each side, the service, the Trash and the log hold, for a
  // failure's message.
  std::string describe() {
    std::string out = convergetest::describeClient("A", a_) + convergetest::describeClient("B", b_);
    out += convergetest::describeTree("service", service());
    for (const auto& t : synctest::trashed()) out += "  trash: " + t.substr(0, 40) + "\n";
    return out + convergetest::describeLog();
  }

  synctest::TempDir dir_;
  Account account_;
  Client a_, b_;
  std::string secondHome_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

// A table of what the user does, step by step, on one side or the other;
// after each step both sides and the service hold the same tree.
TEST_P(SyncConverge, WhatEitherSideDoesReachesTheOther) {
  enum Side { kA, kB };
  enum Kind { kWrite, kFolder, kRemove, kRename };
  const std::string big = dltest::randomBytes(2 * 1048576 + 3, 9);
  const struct Step {
    Side side;
    Kind kind;
    const char* path;
    std::string content;  // kWrite: the file's text; kRename: the new path
  } steps[] = {
      {kA, kWrite, "a.txt", "written on A"},
      {kB, kFolder, "dir", ""},
      {kB, kWrite, "dir/b.txt", "written on B"},
      {kA, kWrite, "dir/b.txt", "A changed the file B wrote"},
      {kB, kWrite, "a.txt", "B changed A's"},
      {kA, kWrite, "sub/deep/c.bin", big},
      {kB, kWrite, "sub/deep/c.bin", big + "tail"},
      {kA, kWrite, "empty.txt", ""},
      {kB, kRename, "empty.txt", "renamed.txt"},
      {kA, kRename, "dir/b.txt", "sub/b.txt"},
      {kB, kRemove, "a.txt", ""},
      {kA, kRename, "sub/deep", "deep"},
      {kB, kRename, "deep", "deeper"},
      {kA, kRename, "deeper", "sub/deepest"},
      {kB, kRename, "sub/b.txt", "b moved.txt"},
      {kB, kRemove, "dir", ""},
  };
  Tree expected;
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.side == kA ? "A: " : "B: ") + s.path);
    Client& c = s.side == kA ? a_ : b_;
    const std::string path = c.root() + s.path;
    // Below a path, in the tree as it stands.
    const auto below = [&](const std::string& p) {
      std::vector<std::string> out;
      for (const auto& [q, v] : expected) {
        if (q == p || q.rfind(p + "/", 0) == 0) out.push_back(q);
      }
      return out;
    };
    switch (s.kind) {
      case kWrite:
        writeInPlace(path, s.content);
        break;
      case kFolder:
        ASSERT_TRUE(plat::makeDirectories(path));
        break;
      case kRemove:
        ASSERT_TRUE(plat::removeTree(path));
        for (const auto& q : below(s.path)) expected.erase(q);
        break;
      case kRename: {
        ASSERT_EQ(::rename(path.c_str(), (c.root() + s.content).c_str()), 0);
        Tree moved;
        for (const auto& q : below(s.path)) {
          moved[s.content + q.substr(std::string(s.path).size())] = expected[q];
          expected.erase(q);
        }
        expected.insert(moved.begin(), moved.end());
        break;
      }
    }
    if (s.kind == kWrite || s.kind == kFolder) {
      // Folders above a path are part of the tree too.
      for (std::string p = s.path; p.find('/') != std::string::npos;) {
        p = p.substr(0, p.rfind('/'));
        expected[p] = std::nullopt;
      }
      expected[s.path] = s.kind == kWrite ? std::optional<std::string>(s.content) : std::nullopt;
    }
    ASSERT_TRUE(converge(expected)) << "A and B did not converge:\n" << describe();
  }
}

// A change that the watcher judges only after the user renamed or moved the
// item (its batch waited for the engine's lock, as it does under load): the
// change names a path that is gone, yet the rename or move that follows
// reaches the service, and an edit made before it too. A late batch judges
// the gone path as changed (it looked before it waited) or as deleted (it
// looked after); the second is the batch of a folder the engine placed, as
// the test's own call makes it.
TEST_P(SyncConverge, AChangeJudgedAfterTheItemMovedOnLosesNeitherTheMoveNorTheChange) {
  enum Late { kChanged, kDeleted };
  const struct {
    const char* file;  // written on A, then edited on B when `edit`
    const char* from;  // the item B moves on
    const char* to;
    bool edit;
    Late late;
  } cases[] = {
      {"note.txt", "note.txt", "renamed note.txt", true, kChanged},
      {"box/moved.txt", "box/moved.txt", "moved.txt", true, kChanged},
      {"deep/c.txt", "deep", "deeper", false, kDeleted},
      {"plain.txt", "plain.txt", "plainer.txt", false, kDeleted},
  };
  Tree expected{{"box", std::nullopt}};
  ASSERT_TRUE(plat::makeDirectories(a_.root() + "box"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    writeInPlace(a_.root() + c.file, "first");
    if (std::string(c.file) != c.from) expected[c.from] = std::nullopt;
    expected[c.file] = "first";
    ASSERT_TRUE(converge(expected)) << describe();
    const std::string text = std::string("edited on B, then moved on: ") + c.to;
    const std::string from = b_.root() + c.from;
    const int64_t tasks = b_.sync->watcherTasks();
    b_.sync->lock();
    bool waiting = true;
    if (c.edit) {
      writeInPlace(b_.root() + c.file, text);
      // The edit's task has started and waits for the lock; the main loop is
      // not run meanwhile (what it runs may want the lock too).
      plat::SystemClock real;
      const double until = real.monotonic() + 60;
      while (b_.sync->watcherTasks() == tasks && real.monotonic() < until) ::usleep(10000);
      waiting = b_.sync->watcherTasks() > tasks;
    }
    const int moved = ::rename(from.c_str(), (b_.root() + c.to).c_str());
    if (c.late == kDeleted) b_.sync->eventdel(from);
    b_.sync->unlock();
    ASSERT_TRUE(waiting);
    ASSERT_EQ(moved, 0);
    Tree after;
    for (auto it = expected.begin(); it != expected.end();) {
      const std::string& q = it->first;
      if (q == c.from || q.rfind(std::string(c.from) + "/", 0) == 0) {
        after[c.to + q.substr(std::string(c.from).size())] = it->second;
        it = expected.erase(it);
      } else {
        ++it;
      }
    }
    expected.insert(after.begin(), after.end());
    if (c.edit) expected[std::string(c.to)] = text;
    ASSERT_TRUE(converge(expected)) << describe();
  }
}

// Both sides edit the same file at once: each uploads its own version, the
// later one stands on the service, and the other side takes it.
TEST_P(SyncConverge, AnEditOnBothSidesAtOnceEndsTheSameOnBoth) {
  writeInPlace(a_.root() + "shared.txt", "first");
  ASSERT_TRUE(converge(Tree{{"shared.txt", "first"}})) << describe();
  writeInPlace(a_.root() + "shared.txt", "A's edit");
  writeInPlace(b_.root() + "shared.txt", "B's longer edit");
  EXPECT_TRUE(converge(std::vector<Tree>{{{"shared.txt", "A's edit"}}, {{"shared.txt", "B's longer edit"}}}))
      << describe();
}

// A edits first, B later, but B's edit reaches the service first: A's edit
// still wins (the local edit wins over the service's), yet B's version,
// which A's disk never held, is kept in the Trash before A's upload replaces
// it. A's edit waits because A was not running (judged at the first compare
// after the start), or because its transfers were stopped (the watcher had
// judged it before B's version came); or A's compares are refused, so only
// its upload, asking the service first, can find B's version.
TEST_P(SyncConverge, AnEditThatReachesTheServiceLastKeepsTheOtherInTheTrash) {
  enum Held { kEngineStopped, kTransfersStopped, kComparesRefused };
  const struct {
    const char* name;
    Held held;
  } cases[] = {{"A not running", kEngineStopped},
               {"A's transfers stopped", kTransfersStopped},
               {"A's compares refused", kComparesRefused}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string w = "shared" + std::to_string(++n) + ".txt";
    const std::string mine = "A's earlier edit " + std::to_string(n);
    const std::string theirs = "B's later edit, longer " + std::to_string(n);
    writeInPlace(a_.root() + w, "base");
    ASSERT_TRUE(nudgedUntil([&] { return treeOf(b_.root())[w] == "base" && settled(a_) && settled(b_); }, 240))
        << describe();

    AppServices::shared().setUserdata(a_.user);
    switch (c.held) {
      case kEngineStopped:
        a_.sync->stop();
        break;
      case kTransfersStopped:
        a_.trans.reset();
        break;
      case kComparesRefused:
        ASSERT_TRUE(cloud->hook("POST", "fault",
                                Value(plat::Dictionary{{"kind", Value("error")}, {"method", Value("COMPARE")},
                                                       {"count", Value(1000000)}, {"status", Value(503)},
                                                       {"error_code", Value(503)}, {"error_msg", Value("busy")}})));
        break;
    }
    if (c.held != kComparesRefused) writeInPlace(a_.root() + w, mine);
    if (c.held == kTransfersStopped) {
      ASSERT_TRUE(dltest::pumpUntil([&] { return a_.sync->syncdb()->get_single_file(w).status == syncstatus::toUpload; },
                                    60))
          << describe();
    }
    writeInPlace(b_.root() + w, theirs);
    ASSERT_TRUE(nudgedUntil([&] { return service()[w] == sha1(theirs); }, 240)) << describe();
    const auto keptUp = [&] {
      const auto r = a_.sync->syncdb()->get_single_file(w);
      return r.filehash == sha1(theirs) && r.last == 0;
    };
    switch (c.held) {
      case kEngineStopped:
        a_.sync->start();
        break;
      case kTransfersStopped:
        // A meets B's version while its own waits for the upload: B's is
        // taken up to be kept first.
        ASSERT_TRUE(nudgedUntil(keptUp, 60)) << "A never took up B's version to keep it\n" << describe();
        AppServices::shared().setUserdata(a_.user);
        a_.trans = TransManager::init(a_.sync);
        break;
      case kComparesRefused:
        writeInPlace(a_.root() + w, mine);
        ASSERT_TRUE(nudgedUntil(
            [&] {
              const auto trash = synctest::trashed();
              return std::count(trash.begin(), trash.end(), theirs) == 1;
            },
            60))
            << "A's upload went over B's version\n"
            << describe();
        ASSERT_TRUE(cloud->hook("DELETE", "faults"));
        break;
    }

    Tree expected = treeOf(a_.root());
    expected[w] = mine;
    ASSERT_TRUE(converge(expected)) << describe();
    const auto trash = synctest::trashed();
    EXPECT_EQ(std::count(trash.begin(), trash.end(), theirs), 1) << describe();
    EXPECT_EQ(std::count(trash.begin(), trash.end(), mine), 0) << describe();
    EXPECT_TRUE(synctest::logged(w, "云端版本已移到废纸篓，由本地文件替换:"));
  }
}

// A folder outside the sync folder linked on both sides to one cloud folder:
// an edit on one side reaches the other; unlinked, its rows go, its files
// stay and its watcher falls silent; linked again, the same watcher goes on.
TEST_P(SyncConverge, ALinkedFolderSyncsUnlinksAndLinksAgain) {
  ASSERT_TRUE(cloud->hook("POST", "files",
                          Value(plat::Dictionary{{"username", Value(account_.username)}, {"files", Value(plat::Array{})},
                                           {"folders", Value(plat::Array{Value("Linked")})}})));
  const std::string la = dir_.path() + "/elsewhere A", lb = dir_.path() + "/elsewhere B";
  ASSERT_TRUE(plat::makeDirectories(la));
  ASSERT_TRUE(plat::makeDirectories(lb));
  for (auto* c : {&a_, &b_}) {
    // As the launch pad does it: the engine stopped around the link.
    AppServices::shared().setUserdata(c->user);
    c->sync->stop();
    ASSERT_TRUE(c->sync->add_link("Linked", c == &a_ ? la : lb));
    c->sync->start();
  }
  const auto until = [&](const std::function<bool()>& done, double seconds = 60) { return nudgedUntil(done, seconds); };
  const auto holds = [](const std::string& path, const std::string& text) {
    return plat::readFile(path).value_or("<none>") == text;
  };
  writeInPlace(la + "/one.txt", "from A");
  ASSERT_TRUE(until([&] { return holds(lb + "/one.txt", "from A"); })) << describe();
  writeInPlace(lb + "/one.txt", "B's edit, longer");
  ASSERT_TRUE(until([&] { return holds(la + "/one.txt", "B's edit, longer"); })) << describe();
  ASSERT_TRUE(until([&] { return settled(a_) && settled(b_); })) << describe();
  // The personal roots never saw the linked files.
  EXPECT_FALSE(plat::statNoFollow(a_.root() + "Linked/one.txt"));
  EXPECT_FALSE(plat::statNoFollow(b_.root() + "Linked/one.txt"));

  std::shared_ptr<Directoryhandler> watcher;
  for (auto& h : b_.sync->handlers()) {
    if (h->srcPath() == lb + "/") watcher = h;
  }
  ASSERT_TRUE(watcher);
  ASSERT_TRUE(b_.sync->remove_link("Linked"));
  EXPECT_TRUE(b_.sync->syncdb()->get_links().empty());
  EXPECT_EQ(b_.sync->syncdb()->get_single_file("Linked/one.txt").status, -1);
  EXPECT_TRUE(holds(lb + "/one.txt", "B's edit, longer"));
  EXPECT_FALSE(watcher->isWatchingPaths());
  const int64_t tasks = watcher->tasks();
  writeInPlace(lb + "/two.txt", "while unlinked");
  // Two passes of both engines later, nothing of it went anywhere.
  const int64_t passes = b_.sync->passes();
  ASSERT_TRUE(until([&] { return b_.sync->passes() >= passes + 2; })) << describe();
  watcher->drain();
  EXPECT_EQ(watcher->tasks(), tasks);
  EXPECT_EQ(b_.sync->syncdb()->get_single_file("Linked/two.txt").status, -1);
  EXPECT_EQ(service().count("Linked/two.txt"), 0u);
  EXPECT_TRUE(holds(la + "/one.txt", "B's edit, longer"));  // A keeps its link and files

  ASSERT_TRUE(b_.sync->add_link("Linked", lb));
  std::shared_ptr<Directoryhandler> again;
  for (auto& h : b_.sync->handlers()) {
    if (h->srcPath() == lb + "/") again = h;
  }
  EXPECT_EQ(again, watcher);
  EXPECT_TRUE(watcher->isWatchingPaths());
  ASSERT_TRUE(until([&] { return holds(la + "/two.txt", "while unlinked"); })) << describe();
  writeInPlace(lb + "/three.txt", "watched again");
  ASSERT_TRUE(until([&] { return holds(la + "/three.txt", "watched again"); })) << describe();
}

// The sync folder of A moves, first on its own disk (one step), then onto
// another file system (a checked copy), each time while files wait for their
// upload: after "100" the engine works from the new place and every file
// reaches B.
TEST_P(SyncConverge, TheSyncFolderMovesWhileFilesWaitToUpload) {
  writeInPlace(a_.root() + "before.txt", "synced before");
  Tree expected{{"before.txt", "synced before"}};
  ASSERT_TRUE(converge(expected)) << describe();
  std::string shm = "/dev/shm/qvconverge.XXXXXX";
  const bool haveShm = ::mkdtemp(shm.data()) != nullptr;
  std::vector<std::string> targets{dir_.path() + "/moved/Quorva"};
  if (haveShm) targets.push_back(shm + "/Quorva");
  std::mutex m;
  std::vector<std::string> posted;
  plat::ScopedObserver watch(GetMoveFileTask::kNotification, [&](const plat::Notification& n) {
    std::lock_guard<std::mutex> l(m);
    posted.push_back(n.object.string());
  });
  int step = 0;
  for (const auto& target : targets) {
    SCOPED_TRACE(target);
    ++step;
    // Uploads held back: the new files wait in their rows.
    a_.trans.reset();
    const std::string old = a_.sync->syncparent();
    const std::string name = "waiting " + std::to_string(step) + ".txt";
    writeInPlace(a_.root() + name, "written before move " + std::to_string(step));
    expected[name] = "written before move " + std::to_string(step);
    ASSERT_TRUE(dltest::pumpUntil([&] { return a_.sync->syncdb()->get_single_file(name).status == 3; }, 30));
    AppServices::shared().setUserdata(a_.user);
    AppServices::shared().setSync(a_.sync);
    {
      std::lock_guard<std::mutex> l(m);
      posted.clear();
    }
    auto task = std::make_shared<GetMoveFileTask>(target);
    plat::OperationQueue queue("move");
    queue.addOperation(task);
    task->waitUntilFinished();
    AppServices::shared().setSync(nullptr);
    {
      std::lock_guard<std::mutex> l(m);
      ASSERT_FALSE(posted.empty());
      EXPECT_EQ(posted.back(), "100");
    }
    EXPECT_EQ(a_.sync->syncparent(), target + "/");
    EXPECT_FALSE(plat::statNoFollow(old));
    a_.trans = TransManager::init(a_.sync);
    ASSERT_TRUE(converge(expected)) << describe();
  }
  if (haveShm) {
    a_.stop();
    plat::removeTree(shm);
  }
}

// A folder swapped for a file of the same name, and back, on either side,
// online and while the client is not running: the old kind goes on the
// service (with what was in it) and the new one reaches the other side.
TEST_P(SyncConverge, AChangeOfKindReachesTheServiceAndTheOtherSide) {
  enum Side { kA, kB };
  const struct Step {
    Side side;
    bool offline;        // swapped while the client is stopped, found by the scan at start
    bool toFile;         // folder to file, else file to folder
    const char* content;  // the file's, or of "k/inner.txt" in the new folder
  } steps[] = {
      {kA, false, true, "A: a file now"},
      {kB, false, false, "B: a folder again"},
      {kA, true, true, "A offline: a file"},
      {kB, true, false, "B offline: a folder"},
  };
  writeInPlace(a_.root() + "k/inner.txt", "first");
  writeInPlace(a_.root() + "k/sub/deep.txt", "deep");
  ASSERT_TRUE(converge(Tree{{"k", std::nullopt},
                            {"k/inner.txt", "first"},
                            {"k/sub", std::nullopt},
                            {"k/sub/deep.txt", "deep"}}))
      << describe();
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.side == kA ? "A" : "B") + (s.offline ? " offline " : " ") + s.content);
    Client& c = s.side == kA ? a_ : b_;
    const std::string parent = c.sync->syncparent();
    const std::string k = c.root() + "k";
    if (s.offline) c.stop();
    ASSERT_TRUE(plat::removeTree(k));
    Tree expected;
    if (s.toFile) {
      writeInPlace(k, s.content);
      expected = {{"k", s.content}};
    } else {
      writeInPlace(k + "/inner.txt", s.content);
      expected = {{"k", std::nullopt}, {"k/inner.txt", s.content}};
    }
    if (s.offline) c.start(parent);
    ASSERT_TRUE(converge(expected)) << describe();
  }
}

// A folder renamed, then moved, on A reaches B as one rename of B's folder
// each time: B's files keep their inodes (nothing fetched or copied again), a
// file of an ignored name that only B has goes along, and B's rows follow.
TEST_P(SyncConverge, AFolderMovedOnOneSideIsRenamedWholeOnTheOther) {
  Tree expected{{"proj/a.txt", "alpha"},         {"proj/src/b.c", "int b;"},
                {"proj/src/deep/c.h", "#define C"}, {"proj/src/deep/d.txt", "delta"},
                {"proj/src", std::nullopt},       {"proj/src/deep", std::nullopt},
                {"proj", std::nullopt},           {"proj/empty", std::nullopt}};
  for (const auto& [p, c] : expected) {
    if (c) writeInPlace(a_.root() + p, *c);
  }
  ASSERT_TRUE(plat::makeDirectories(a_.root() + "proj/empty"));
  ASSERT_TRUE(converge(expected)) << describe();
  // Never synced: a name the engine ignores, on B alone.
  writeInPlace(b_.root() + "proj/src/.notes", "B's own notes");
  const auto until = [&](const std::function<bool()>& done) { return nudgedUntil(done, 240); };
  const auto inode = [](const std::string& path) -> uint64_t {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const struct Move {
    const char* from;
    const char* to;
  } moves[] = {{"proj", "project"}, {"project/src", "src"}};
  std::string notes = "proj/src/.notes";
  int64_t placed = b_.sync->placedMoves();
  for (const auto& mv : moves) {
    SCOPED_TRACE(std::string(mv.from) + " -> " + mv.to);
    const std::string from = mv.from, to = mv.to;
    std::map<std::string, uint64_t> inodes;  // B's file at its new path -> its inode before
    Tree moved;
    for (const auto& [p, c] : expected) {
      if (p != from && p.rfind(from + "/", 0) != 0) {
        moved[p] = c;
        continue;
      }
      const std::string q = to + p.substr(from.size());
      moved[q] = c;
      if (c) inodes[q] = inode(b_.root() + p);
    }
    const std::string notesThen = to + notes.substr(from.size());
    ASSERT_EQ(::rename((a_.root() + from).c_str(), (a_.root() + to).c_str()), 0);
    expected = moved;
    Tree onB = expected;
    onB[notesThen] = "B's own notes";
    ASSERT_TRUE(until([&] {
      return settled(a_) && settled(b_) && treeOf(a_.root()) == expected && treeOf(b_.root()) == onB &&
             service() == hashed(expected);
    })) << describe();
    notes = notesThen;
    EXPECT_EQ(b_.sync->placedMoves(), ++placed);
    for (const auto& [q, ino] : inodes) {
      EXPECT_NE(ino, 0u) << q;
      EXPECT_EQ(inode(b_.root() + q), ino) << q << " was written again";
      EXPECT_EQ(b_.sync->syncdb()->get_single_file(q).status, 4) << q;
    }
    EXPECT_EQ(b_.sync->syncdb()->get_single_file(to).status, 4);
    EXPECT_EQ(b_.sync->syncdb()->get_single_file(from).status, -1);
    EXPECT_TRUE(b_.sync->syncdb()->get_below(from).empty());
    EXPECT_FALSE(plat::statNoFollow(b_.root() + from));
  }
}

// A renames or moves an item while B changes or deletes something of it:
// B's change reaches the service while A's request waits there, and A reads
// it while its own request is still in flight. The service applies A's
// rename or move to what B left, and A carries B's change through its
// rename: the change lands at the new place, the old name never comes back.
TEST_P(SyncConverge, AServiceChangeMeetingARenameInFlightFollowsTheRename) {
  enum BDoes { kEdit, kDelete };
  const struct {
    const char* verb;  // A's request, held at the service
    const char* from;
    const char* to;
    BDoes b;
    const char* bpath;
  } cases[] = {
      {"RENAME", "x.txt", "y.txt", kEdit, "x.txt"},
      {"RENAME", "d", "d2", kEdit, "d/f.txt"},
      {"RENAME", "d2", "d3", kDelete, "d2/g.txt"},
      {"MOVE", "d3", "e/d3", kDelete, "d3/f.txt"},
      {"MOVE", "e/d3/h.txt", "h.txt", kEdit, "e/d3/h.txt"},
  };
  Tree expected{{"x.txt", "x first"}, {"d", std::nullopt}, {"d/f.txt", "f first"}, {"d/g.txt", "g first"},
                {"d/h.txt", "h first"}, {"e", std::nullopt}};
  for (const auto& [p, c] : expected) {
    if (c) writeInPlace(a_.root() + p, *c);
  }
  ASSERT_TRUE(plat::makeDirectories(a_.root() + "e"));
  ASSERT_TRUE(converge(expected)) << describe();
  plat::SystemClock real;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " " + c.from + " -> " + c.to);
    const int64_t since = cloud->lastSeq();
    const double stall = 10;
    ASSERT_TRUE(cloud->hook("POST", "fault",
                            Value(plat::Dictionary{{"kind", Value("stall")}, {"method", Value(c.verb)},
                                                   {"seconds", Value(stall)}, {"count", Value(int64_t{1})}})));
    ASSERT_EQ(::rename((a_.root() + c.from).c_str(), (a_.root() + c.to).c_str()), 0);
    // A's request arrived and waits.
    const double start = real.monotonic();
    const auto heldRequest = [&] {
      for (const Value& e : cloud->requests(since)) {
        if (e["method"].string() == c.verb) return e["status"].isNull() ? 1 : 2;
      }
      return 0;
    };
    ASSERT_TRUE(dltest::pumpUntil([&] { return heldRequest() != 0; }, stall / 2)) << describe();
    // B's change reaches the service meanwhile; only B is asked for passes.
    const std::string text = std::string("B's edit while A's ") + c.verb + " waits";
    if (c.b == kEdit) {
      writeInPlace(b_.root() + c.bpath, text);
    } else {
      ASSERT_TRUE(plat::removeTree(b_.root() + c.bpath));
    }
    ASSERT_TRUE(convergetest::pumpNudging(
        {&b_},
        [&] {
          const Tree s = service();
          const auto at = s.find(c.bpath);
          return c.b == kEdit ? at != s.end() && at->second == sha1(text) : at == s.end();
        },
        stall - 3))
        << describe();
    ASSERT_EQ(heldRequest(), 1) << "A's request ended before B's change reached the service";
    ASSERT_LT(real.monotonic() - start, stall - 1);
    // A reads B's change now, while its request is still held.
    if (c.b == kEdit) {
      expected[c.bpath] = text;
    } else {
      expected.erase(c.bpath);
    }
    Tree after;
    const std::string from = c.from;
    for (auto it = expected.begin(); it != expected.end();) {
      if (it->first == from || it->first.rfind(from + "/", 0) == 0) {
        after[c.to + it->first.substr(from.size())] = it->second;
        it = expected.erase(it);
      } else {
        ++it;
      }
    }
    expected.insert(after.begin(), after.end());
    ASSERT_TRUE(converge(expected)) << describe();
    EXPECT_EQ(heldRequest(), 2);
  }
}

// B edits a file; A's download of B's version waits at the service while the
// user renames or moves the file on A, so A's rename waits for the download.
// The download lands at the new name and the rename takes it up: B's version
// stands under the new name everywhere, and the old name never comes back.
TEST_P(SyncConverge, ADownloadMeetingARenameNotYetSentLandsAtTheNewName) {
  const struct {
    const char* from;
    const char* to;
  } cases[] = {{"x.txt", "y.txt"}, {"y.txt", "d/y.txt"}};
  Tree expected{{"x.txt", "first"}, {"d", std::nullopt}};
  writeInPlace(a_.root() + "x.txt", "first");
  ASSERT_TRUE(plat::makeDirectories(a_.root() + "d"));
  ASSERT_TRUE(converge(expected)) << describe();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    const std::string text = std::string("B's edit before A's move to ") + c.to;
    writeInPlace(b_.root() + c.from, text);
    ASSERT_TRUE(convergetest::pumpNudging(
        {&b_}, [&] { return service().count(c.from) && service()[c.from] == sha1(text); }, 60))
        << describe();
    const int64_t since = cloud->lastSeq();
    ASSERT_TRUE(cloud->hook("POST", "fault",
                            Value(plat::Dictionary{{"kind", Value("stall")}, {"method", Value("GET")},
                                                   {"path", Value("/content/")}, {"seconds", Value(int64_t{6})},
                                                   {"count", Value(int64_t{1})}})));
    const auto held = [&] {
      for (const Value& e : cloud->requests(since)) {
        if (e["method"].string() == "GET" && e["target"].string().rfind("/content/", 0) == 0) {
          return e["status"].isNull();
        }
      }
      return false;
    };
    ASSERT_TRUE(convergetest::pumpNudging({&a_}, held, 5)) << describe();
    ASSERT_EQ(::rename((a_.root() + c.from).c_str(), (a_.root() + c.to).c_str()), 0);
    expected.erase(c.from);
    expected[c.to] = text;
    ASSERT_TRUE(converge(expected)) << describe();
  }
}

INSTANTIATE_TEST_SUITE_P(Http, SyncConverge, ::testing::Values(false));

}  // namespace
