#include "app/sync/Directoryhandler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "platform/foundation/file_util.h"

namespace {

void write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Records the calls a handler makes, and whether the lock was held.
struct Recorder : LocalEvents {
  std::mutex m;
  std::vector<std::string> calls;
  bool locked = false;
  void note(std::string s) {
    std::lock_guard<std::mutex> g(m);
    calls.push_back(std::move(s));
  }
  bool eventadd(const std::string& p) override { note(std::string(locked ? "L " : "") + "add " + p); return true; }
  bool eventupdate(const std::string& p) override { note(std::string(locked ? "L " : "") + "update " + p); return true; }
  bool eventdel(const std::string& p) override { note(std::string(locked ? "L " : "") + "del " + p); return true; }
  bool eventrename(const std::string& o, const std::string& n, bool push) override {
    note(std::string(locked ? "L " : "") + "rename " + o + " " + n + (push ? " push" : ""));
    return true;
  }
  bool eventremove(const std::string& o, const std::string& n, bool push) override {
    note(std::string(locked ? "L " : "") + "move " + o + " " + n + (push ? " push" : ""));
    return true;
  }
  void rescanroot(const std::string& r) override { note("rescan " + r); }
  bool watching(const std::string&) override { return true; }
  void lock() override { locked = true; }
  void unlock() override { locked = false; }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> g(m);
    auto out = calls;
    calls.clear();
    return out;
  }
};

struct Watched : ::testing::Test {
  std::string dir = plat::makeTemporaryDirectory("qv-handler");
  Recorder rec;
  std::unique_ptr<Directoryhandler> h;
  void SetUp() override {
    h = std::make_unique<Directoryhandler>(dir, &rec);
    h->startMonitoringThread();
  }
  void TearDown() override {
    h.reset();
    plat::removeTree(dir);
  }
  std::string p(const std::string& rel) const { return dir + "/" + rel; }
  // The calls of everything done so far: waits for the watcher to be quiet.
  std::vector<std::string> calls() {
    std::vector<std::string> all;
    for (int quiet = 0; quiet < 4;) {
      ::usleep(100000);
      h->drain();
      auto got = rec.take();
      quiet = got.empty() ? quiet + 1 : 0;
      all.insert(all.end(), got.begin(), got.end());
    }
    return all;
  }
};

TEST_F(Watched, ScenarioTable) {
  struct Case {
    const char* name;
    std::function<void(Watched&)> prepare, act;
    std::vector<std::string> want;  // with {} for the folder
  };
  std::vector<Case> cases = {
      {"create empty", nullptr, [](Watched& w) { ::close(::creat(w.p("new").c_str(), 0644)); }, {"L add {}/new"}},
      {"write", [](Watched& w) { write(w.p("f"), "1"); }, [](Watched& w) { write(w.p("f"), "22"); },
       {"L update {}/f"}},
      {"rename in place", [](Watched& w) { write(w.p("a"), "1"); },
       [](Watched& w) { ::rename(w.p("a").c_str(), w.p("b").c_str()); }, {"rename {}/a {}/b push"}},
      {"case only", [](Watched& w) { write(w.p("c"), "1"); },
       [](Watched& w) { ::rename(w.p("c").c_str(), w.p("C").c_str()); }, {"rename {}/c {}/C push"}},
      {"move same depth",
       [](Watched& w) {
         ::mkdir(w.p("x").c_str(), 0755);
         ::mkdir(w.p("y").c_str(), 0755);
         write(w.p("x/f"), "1");
       },
       [](Watched& w) { ::rename(w.p("x/f").c_str(), w.p("y/f").c_str()); }, {"move {}/x/f {}/y/f push"}},
      {"move up a level", [](Watched& w) { ::mkdir(w.p("u").c_str(), 0755); write(w.p("u/g"), "1"); },
       [](Watched& w) { ::rename(w.p("u/g").c_str(), w.p("g").c_str()); }, {"move {}/u/g {}/g push"}},
      {"two files at once", [](Watched& w) { write(w.p("s1"), "1"); write(w.p("s2"), "2"); },
       [](Watched& w) {
         plat::FileOps other;  // a copy by another program is no echo
         std::ofstream(w.p("c1")) << plat::readFile(w.p("s1")).value_or("");
         std::ofstream(w.p("c2")) << plat::readFile(w.p("s2")).value_or("");
       },
       {"L update {}/c1", "L update {}/c2"}},
      {"editor save", [](Watched& w) { write(w.p("doc"), "old"); },
       [](Watched& w) {
         write(w.p("doc.tmp1"), "new");
         ::rename(w.p("doc.tmp1").c_str(), w.p("doc").c_str());
       },
       {"L del {}/doc.tmp1", "rename {}/doc.tmp1 {}/doc push"}},
      {"create then delete in one batch", nullptr,
       [](Watched& w) {
         write(w.p("brief"), "1");
         ::unlink(w.p("brief").c_str());
       },
       {"L del {}/brief"}},
      {"chmod only", [](Watched& w) { write(w.p("m"), "1"); }, [](Watched& w) { ::chmod(w.p("m").c_str(), 0600); },
       {}},
      {".DS_Store", nullptr, [](Watched& w) { write(w.p(".DS_Store"), "1"); }, {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.prepare) c.prepare(*this);
    calls();
    c.act(*this);
    std::vector<std::string> want;
    for (std::string s : c.want) {
      for (size_t at; (at = s.find("{}")) != std::string::npos;) s.replace(at, 2, dir);
      want.push_back(s);
    }
    EXPECT_EQ(calls(), want);
  }
}

TEST_F(Watched, RmRfOfATreeReportsEachDeletionUnderTheLock) {
  ::mkdir(p("t").c_str(), 0755);
  ::mkdir(p("t/u").c_str(), 0755);
  write(p("t/u/f"), "1");
  write(p("t/g"), "1");
  calls();
  plat::removeTree(p("t"));
  auto got = calls();
  for (auto& want : {"L del " + p("t/u/f"), "L del " + p("t/g"), "L del " + p("t")}) {
    EXPECT_NE(std::find(got.begin(), got.end(), want), got.end()) << want;
  }
  for (auto& c : got) EXPECT_EQ(c.rfind("L del ", 0), 0u) << c;
}

TEST_F(Watched, ALinkedFolderReportsUnderItsLinkPathAndAClearedFlagDropsAll) {
  std::string link = "/somewhere/Docs";
  h->setPath(dir, link);
  write(p("a.txt"), "1");
  EXPECT_EQ(calls(), std::vector<std::string>{"L update " + link + "/a.txt"});
  h->setWatchingPaths(false);
  write(p("b.txt"), "1");
  EXPECT_TRUE(calls().empty());
}

TEST(Directoryhandler, OnlyTheHeadOfAPathIsReplaced) {
  Recorder rec;
  Directoryhandler h("/data/W", &rec);
  h.setPath("/data/W/", "/home/u/Docs");
  EXPECT_EQ(h.reported("/data/W/x/data/W/y"), "/home/u/Docs/x/data/W/y");
  EXPECT_EQ(h.reported("/data/W"), "/home/u/Docs");
  EXPECT_EQ(h.reported("/data/Work/a"), "/data/Work/a");  // another folder sharing the prefix
  EXPECT_EQ(h.reportedRoot(), "/home/u/Docs");
}

// The task queue waits (the owner's lock is held): what piles up beyond the
// bound is dropped and one rescan of the root takes its place.
TEST_F(Watched, AFullBacklogBecomesOneRescan) {
  struct Gate : Recorder {
    std::mutex gate;
    void lock() override {
      gate.lock();
      gate.unlock();
      Recorder::lock();
    }
  };
  Gate gated;
  Directoryhandler g(dir, &gated);
  g.setBacklogLimit(5);
  g.startMonitoringThread();
  gated.gate.lock();
  write(p("first"), "1");
  // The first batch waits in the lock; then many more events than the bound.
  for (int i = 0; i < 40 && g.tasks() == 0; ++i) ::usleep(50000);
  for (int i = 0; i < 30; ++i) write(p("f" + std::to_string(i)), "x");
  for (int i = 0; i < 100 && g.rescans() == 0; ++i) {
    ::usleep(50000);
    if (i == 10) gated.gate.unlock();
  }
  g.drain();
  EXPECT_GE(g.rescans(), 1);
  auto got = gated.take();
  EXPECT_NE(std::find(got.begin(), got.end(), "rescan " + dir), got.end());
  g.stopMonitoring();
}

TEST(DirectoryhandlerTask, HalvesInDifferentBatchesAreADeleteAndAnUpdate) {
  std::string dir = plat::makeTemporaryDirectory("qv-handler");
  write(dir + "/new", "1");
  Recorder rec;
  Directoryhandler h(dir, &rec);
  HandlerItem from{dir + "/old", 0, 10, false, false, true, false, false};
  HandlerItem to{dir + "/new", 0, 11, false, false, true, false, false};
  HandlerItem other{dir + "/other", 0, 20, false, true, false, false, false};
  DirectoryhandlerTask(&h, {from, other}).main();
  DirectoryhandlerTask(&h, {to, other}).main();
  EXPECT_EQ(rec.take(), (std::vector<std::string>{"L del " + dir + "/old", "L del " + dir + "/other",
                                                  "L update " + dir + "/new", "L del " + dir + "/other"}));
  plat::removeTree(dir);
}

}  // namespace
