#include "platform/fs/folder_watcher.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <mutex>

#include "platform/foundation/file_util.h"

namespace {

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A watcher over a temporary tree, pumped on the test's thread.
struct Tree {
  std::string dir = plat::makeTemporaryDirectory("qv-watch");
  std::vector<std::vector<plat::FsEvent>> batches;
  int rescans = 0;
  plat::FileOps ops;
  std::unique_ptr<plat::FolderWatcher> w;
  Tree() {
    w = std::make_unique<plat::FolderWatcher>(
        dir, [this](std::vector<plat::FsEvent> b) { batches.push_back(std::move(b)); },
        [this](const std::string&) { ++rescans; }, nullptr, &ops);
    EXPECT_TRUE(w->open());
  }
  ~Tree() { plat::removeTree(dir); }
  std::string p(const std::string& rel) const { return dir + "/" + rel; }
  // Pumps until no batch came for a quiet 0.3 s; returns all events seen.
  std::vector<plat::FsEvent> settle() {
    size_t seen = batches.size();
    for (int quiet = 0; quiet < 3;) {
      w->pump(0.1);
      if (batches.size() != seen) {
        seen = batches.size();
        quiet = 0;
      } else {
        ++quiet;
      }
    }
    w->flush();
    std::vector<plat::FsEvent> all;
    for (auto& b : batches) all.insert(all.end(), b.begin(), b.end());
    batches.clear();
    return all;
  }
};

const plat::FsEvent* find(const std::vector<plat::FsEvent>& ev, const std::string& path) {
  for (auto& e : ev) {
    if (e.path == path) return &e;
  }
  return nullptr;
}

TEST(FolderWatcher, FlagsAndKindsOfCreateWriteDeleteAndChmod) {
  Tree t;
  write(t.p("a.txt"), "x");
  ::mkdir(t.p("d").c_str(), 0755);
  auto ev = t.settle();
  auto a = find(ev, t.p("a.txt"));
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->created);
  EXPECT_TRUE(a->modified);  // created and written within one batch: one coalesced event
  EXPECT_EQ(a->kind, plat::FsEvent::kFile);
  auto d = find(ev, t.p("d"));
  ASSERT_TRUE(d);
  EXPECT_TRUE(d->created);
  EXPECT_EQ(d->kind, plat::FsEvent::kFolder);

  ::chmod(t.p("a.txt").c_str(), 0600);  // permission only: nothing
  EXPECT_TRUE(t.settle().empty());

  ::unlink(t.p("a.txt").c_str());
  ev = t.settle();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_TRUE(ev[0].removed);
  EXPECT_FALSE(ev[0].created);
}

TEST(FolderWatcher, NewFoldersAreWatchedAndRemovedOnesDropped) {
  Tree t;
  size_t base = t.w->watchCount();
  ::mkdir(t.p("a").c_str(), 0755);
  t.settle();
  ::mkdir(t.p("a/b").c_str(), 0755);
  t.settle();
  EXPECT_EQ(t.w->watchCount(), base + 2);
  write(t.p("a/b/deep.txt"), "1");
  EXPECT_TRUE(find(t.settle(), t.p("a/b/deep.txt")));

  // A folder renamed keeps reporting under its new name.
  ::rename(t.p("a").c_str(), t.p("z").c_str());
  t.settle();
  write(t.p("z/b/later.txt"), "2");
  EXPECT_TRUE(find(t.settle(), t.p("z/b/later.txt")));

  plat::removeTree(t.p("z"));
  auto ev = t.settle();
  EXPECT_TRUE(find(ev, t.p("z/b/deep.txt")));
  EXPECT_TRUE(find(ev, t.p("z")));
  EXPECT_EQ(t.w->watchCount(), base);
}

TEST(FolderWatcher, RenameHalvesAreConsecutiveAndUnrelatedEventsNever) {
  Tree t;
  write(t.p("old.txt"), "x");
  ::mkdir(t.p("sub").c_str(), 0755);
  t.settle();
  ::rename(t.p("old.txt").c_str(), t.p("sub/new.txt").c_str());
  auto ev = t.settle();
  auto from = find(ev, t.p("old.txt"));
  auto to = find(ev, t.p("sub/new.txt"));
  ASSERT_TRUE(from && to);
  EXPECT_TRUE(from->renamed && to->renamed);
  EXPECT_EQ(to->id, from->id + 1);

  // Two files created together (cp a b into the tree) are never one id apart.
  write(t.p("one"), "1");
  write(t.p("two"), "2");
  ev = t.settle();
  auto one = find(ev, t.p("one"));
  auto two = find(ev, t.p("two"));
  ASSERT_TRUE(one && two);
  EXPECT_GE(two->id - one->id, 3);
}

TEST(FolderWatcher, OwnWritesAreDroppedButALaterUserChangePasses) {
  Tree t;
  ASSERT_TRUE(t.ops.writeFile(t.p("placed.txt"), "abc"));
  ASSERT_TRUE(t.ops.makeFolder(t.p("made")));
  ASSERT_TRUE(t.ops.move(t.p("placed.txt"), t.p("made/moved.txt")));
  for (auto& e : t.settle()) ADD_FAILURE() << "echo of " << e.path;

  // The user's write within the same second, same size: a different state.
  { std::ofstream(t.p("made/moved.txt"), std::ios::binary | std::ios::in | std::ios::out) << "xyz"; }
  auto ev = t.settle();
  EXPECT_TRUE(find(ev, t.p("made/moved.txt")));

  ASSERT_TRUE(t.ops.remove(t.p("made")));
  for (auto& e : t.settle()) ADD_FAILURE() << "echo of " << e.path;
}

// A path we removed (or wrote) and someone else then changed is theirs from
// then on: their change taking it back to the state we left (removing the
// folder or file they made there) is reported, never taken for our echo.
TEST(FolderWatcher, AStateOfOursThatAnotherWriterReturnsToIsTheirs) {
  Tree t;
  const struct {
    const char* name;
    bool folder;
  } cases[] = {{"folder", true}, {"file", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = t.p(c.name);
    ASSERT_TRUE(c.folder ? t.ops.makeFolder(path) : t.ops.writeFile(path, "ours"));
    ASSERT_TRUE(t.ops.remove(path));
    for (auto& e : t.settle()) ADD_FAILURE() << "echo of " << e.path;

    if (c.folder) {
      ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    } else {
      write(path, "theirs");
    }
    auto made = t.settle();
    ASSERT_TRUE(find(made, path));
    EXPECT_TRUE(find(made, path)->created);

    ASSERT_EQ(c.folder ? ::rmdir(path.c_str()) : ::unlink(path.c_str()), 0);
    auto gone = t.settle();
    ASSERT_TRUE(find(gone, path)) << "the removal was taken for our own";
    EXPECT_TRUE(find(gone, path)->removed);
  }
}

// The watcher reads on its own thread while the writes happen, so it may
// judge an event before the write has returned: the write must already count
// as ours by then.
TEST(FolderWatcher, OwnWritesAreDroppedWhileTheWatcherReadsAlongside) {
  std::string dir = plat::makeTemporaryDirectory("qv-watch");
  plat::FileOps ops;
  std::mutex m;
  std::vector<std::string> got;
  plat::FolderWatcher w(
      dir,
      [&](std::vector<plat::FsEvent> b) {
        std::lock_guard<std::mutex> g(m);
        for (auto& e : b) got.push_back(e.path);
      },
      nullptr, nullptr, &ops);
  ASSERT_TRUE(w.open());
  w.start();
  write(dir + "/src", "source");
  const std::string end = dir + "/zz-end";
  auto seen = [&](const std::string& path) {
    std::lock_guard<std::mutex> g(m);
    return std::find(got.begin(), got.end(), path) != got.end();
  };
  for (int i = 0; i < 100 && !seen(dir + "/src"); ++i) ::usleep(20000);
  {
    std::lock_guard<std::mutex> g(m);
    got.clear();
  }
  for (int i = 0; i < 150; ++i) {
    const std::string n = std::to_string(i);
    ASSERT_TRUE(ops.writeFile(dir + "/w" + n, "data " + n));
    ASSERT_TRUE(ops.makeFolder(dir + "/d" + n + "/inner"));
    ASSERT_TRUE(ops.move(dir + "/w" + n, dir + "/d" + n + "/inner/moved"));
    ASSERT_TRUE(ops.copyFile(dir + "/src", dir + "/c" + n));
    ASSERT_TRUE(ops.remove(dir + "/c" + n));
    ASSERT_TRUE(ops.remove(dir + "/d" + n));
  }
  // A user's file after all of them: once it is reported, every event before
  // it has been judged.
  write(end, "1");
  for (int i = 0; i < 500 && !seen(end); ++i) ::usleep(20000);
  w.stop();
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(got, std::vector<std::string>{end});
  plat::removeTree(dir);
}

TEST(FolderWatcher, CopiesKeepTheModificationTime) {
  Tree t;
  write(t.p("src"), "data");
  plat::setModificationTime(t.p("src"), plat::Date{1600000000});
  ASSERT_TRUE(t.ops.copyFile(t.p("src"), t.p("dst")));
  auto st = plat::statFollow(t.p("dst"));
  ASSERT_TRUE(st);
  EXPECT_EQ(st->modified.secondsSince1970, 1600000000);
  EXPECT_EQ(*plat::readFile(t.p("dst")), "data");
}

TEST(FolderWatcher, QueueOverflowAsksForARescan) {
  Tree t;
  // Nothing reads while far more events than the kernel queue holds are made.
  long max = 16384;
  if (FILE* f = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
    if (std::fscanf(f, "%ld", &max) != 1) max = 16384;
    std::fclose(f);
  }
  if (max > 200000) GTEST_SKIP() << "inotify queue too large to overflow quickly";
  // Each file: created, closed after writing, deleted.
  for (long i = 0; i < max / 2 + 100; ++i) {
    std::string n = t.p("n" + std::to_string(i));
    write(n, "");
    ::unlink(n.c_str());
  }
  t.settle();
  EXPECT_EQ(t.rescans, 1);
}

// Folders made while events were lost have their watches again before the
// rescan runs, so what is made in them later is reported.
TEST(FolderWatcher, FoldersMadeWhileEventsWereLostAreWatchedAgain) {
  Tree t;
  const size_t base = t.w->watchCount();
  ::mkdir(t.p("gone").c_str(), 0755);
  t.settle();
  ::mkdir(t.p("lost").c_str(), 0755);
  ::mkdir(t.p("lost/deeper").c_str(), 0755);
  ::rmdir(t.p("gone").c_str());
  t.w->injectOverflow();  // the events above are read away unseen
  t.settle();
  EXPECT_EQ(t.rescans, 1);
  EXPECT_EQ(t.w->watchCount(), base + 2);  // lost, lost/deeper; gone dropped
  write(t.p("lost/deeper/after.txt"), "x");
  EXPECT_TRUE(find(t.settle(), t.p("lost/deeper/after.txt")));
}

// A full watch limit is told once, asks for a rescan, and the rescan's own
// walk into the full limit asks for no further one.
TEST(FolderWatcher, AFullWatchLimitIsToldOnceAndRescansOnce) {
  Tree t;
  std::vector<std::string> told;
  t.w->setOnLimit([&](const std::string& f) { told.push_back(f); });
  const size_t base = t.w->watchCount();
  t.w->setWatchLimit(base + 1);
  ::mkdir(t.p("a").c_str(), 0755);
  t.settle();
  EXPECT_EQ(t.rescans, 0);
  ::mkdir(t.p("b").c_str(), 0755);
  ::mkdir(t.p("c").c_str(), 0755);
  t.settle();
  EXPECT_EQ(t.rescans, 1);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(t.w->watchCount(), base + 1);
  // Room again: the next rescan's walk watches what was left out.
  ::rmdir(t.p("a").c_str());
  t.settle();
  t.w->injectOverflow();
  t.settle();
  EXPECT_EQ(t.w->watchCount(), base + 1);
  EXPECT_EQ(told.size(), 1u);
  EXPECT_EQ(t.rescans, 2);
}

TEST(FolderWatcher, ARemovedRootAsksForARescan) {
  Tree t;
  ::rmdir(t.dir.c_str());
  t.settle();
  EXPECT_GE(t.rescans, 1);
  ::mkdir(t.dir.c_str(), 0755);
}

// A watcher without its inotify instance (none was left to create) leaves
// an idle thread, not a spinning one: the process uses next to no CPU while
// the test sleeps.
TEST(FolderWatcher, AWatcherWithoutItsInstanceWaitsIdle) {
  std::string dir = plat::makeTemporaryDirectory("qv-watch");
  plat::FolderWatcher w(dir, [](std::vector<plat::FsEvent>) {}, nullptr);  // never opened
  auto cpu = [] {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
  };
  const double before = cpu();
  w.start();
  ::usleep(1000000);
  const double used = cpu() - before;
  w.stop();
  EXPECT_LT(used, 0.3);  // a spinning thread takes about all of that second
  plat::removeTree(dir);
}

TEST(FolderWatcher, RunsOnItsOwnThreadAndStops) {
  std::string dir = plat::makeTemporaryDirectory("qv-watch");
  std::mutex m;
  std::vector<plat::FsEvent> got;
  plat::FolderWatcher w(dir, [&](std::vector<plat::FsEvent> b) {
    std::lock_guard<std::mutex> g(m);
    got.insert(got.end(), b.begin(), b.end());
  }, nullptr);
  ASSERT_TRUE(w.open());
  w.start();
  write(dir + "/x", "1");
  for (int i = 0; i < 100; ++i) {
    {
      std::lock_guard<std::mutex> g(m);
      if (!got.empty()) break;
    }
    ::usleep(20000);
  }
  w.stop();
  std::lock_guard<std::mutex> g(m);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0].path, dir + "/x");
  plat::removeTree(dir);
}

}  // namespace
