#include "app/trans/TransManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <new>
#include <stdexcept>
#include <thread>

#include "app/core/AppServices.h"
#include "app/trans/trans_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"

namespace {

using transtest::ScriptedHandoff;
using transtest::waitFor;

// A transfer that runs until it is stopped.
class FakeTransfer : public Transfer {
public:
  explicit FakeTransfer(const TransItem& job) : size_(job.filesize) {}
  ~FakeTransfer() override { join(); }
  void begin() override {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> l(m_);
      cv_.wait(l, [this] { return stopped_; });
    });
  }
  void stop(bool abort) override {
    {
      std::lock_guard<std::mutex> l(m_);
      stopped_ = true;
    }
    aborted_ = abort;
    cv_.notify_all();
  }
  double getprogress() const override { return progress; }
  uint64_t jobFilesize() const override { return size_; }
  void join() override {
    if (thread_.joinable()) {
      thread_.join();
      joined_ = true;
    }
  }
  bool joined() const { return joined_; }
  bool aborted() const { return aborted_; }
  double progress = 0.25;

private:
  uint64_t size_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stopped_ = false;
  std::atomic<bool> aborted_{false}, joined_{false};
  std::thread thread_;
};

TransItem job(const std::string& webpath, int64_t itemid = 1) {
  TransItem t;
  t.itemid = itemid;
  t.webpath = webpath;
  t.path = "/cache/down_" + webpath;
  t.filehash = "h" + webpath;
  t.filesize = 100;
  return t;
}

class TransManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = plat::makeTemporaryDirectory("qv-trans");
    sync_ = std::make_shared<ScriptedHandoff>(dir_ + "/sync.db");
    AppServices& app = AppServices::shared();
    app.setBSyncStart(true);
    app.setBLink(true);
    app.setSynccount(1);
    manager_ = std::make_shared<TransManager>(sync_);
    manager_->setDownloadFactory([this](const TransItem& j, TransManager&) {
      auto t = std::make_shared<FakeTransfer>(j);
      std::lock_guard<std::mutex> l(m_);
      made_[j.webpath].push_back(t);
      return t;
    });
  }
  void TearDown() override {
    manager_.reset();
    plat::removeTree(dir_);
  }
  size_t made(const std::string& webpath) {
    std::lock_guard<std::mutex> l(m_);
    return made_[webpath].size();
  }
  std::shared_ptr<FakeTransfer> transfer(const std::string& webpath) {
    std::lock_guard<std::mutex> l(m_);
    return made_[webpath].empty() ? nullptr : made_[webpath].front();
  }

  std::string dir_;
  std::shared_ptr<ScriptedHandoff> sync_;
  std::shared_ptr<TransManager> manager_;
  std::mutex m_;
  std::map<std::string, std::vector<std::shared_ptr<FakeTransfer>>> made_;
};

TEST_F(TransManagerTest, APassStartsAtMostFiveAndStopsAtTheFirstKnownJob) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  std::vector<TransItem> script;
  for (int i = 0; i < 8; ++i) script.push_back(job("f" + std::to_string(i)));
  sync_->scriptDownloads(script);
  manager_->fillpass(false);
  EXPECT_EQ(manager_->downloadCount(), 5u);
  EXPECT_EQ(sync_->downloadAsks(), 5);

  // A full queue asks nothing; after removeall the rest start.
  manager_->fillpass(false);
  EXPECT_EQ(sync_->downloadAsks(), 5);
  manager_->removeall();
  EXPECT_EQ(manager_->downloadCount(), 0u);
  manager_->fillpass(false);
  EXPECT_EQ(manager_->downloadCount(), 3u);

  // The same path again ends the pass: no second transfer, the next job waits.
  manager_->removeall();
  sync_->scriptDownloads({job("a"), job("a"), job("b")});
  manager_->fillpass(false);
  EXPECT_EQ(made("a"), 1u);
  EXPECT_EQ(made("b"), 0u);
  manager_->fillpass(false);
  EXPECT_EQ(made("b"), 1u);

  // A finished download waiting for the sync engine is not started again.
  TransItem ok = job("done");
  ok.path = dir_ + "/down_x";
  ASSERT_TRUE(plat::atomicWrite(ok.path + "_ok", "x"));
  sync_->scriptDownloads({ok, job("after")});
  manager_->fillpass(false);
  EXPECT_EQ(made("done"), 0u);
  EXPECT_EQ(made("after"), 0u);
}

TEST_F(TransManagerTest, AnswerThreeAsksAgainOnlyForDownloads) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  const double t0 = clock->monotonic();
  sync_->setFallback(2);
  sync_->scriptDownloads({job("x", 3), job("x", 3), job("d")});
  manager_->fillpass(false);
  EXPECT_EQ(made("d"), 1u);
  EXPECT_EQ(sync_->downloadAsks(), 4);  // 3, 3, the job, then 2
  EXPECT_NEAR(clock->monotonic() - t0, 0.02, 1e-9);

  const double t1 = clock->monotonic();
  sync_->scriptUploads({job("x", 3), job("u")});
  manager_->fillpass(true);
  EXPECT_EQ(sync_->uploadAsks(), 1);
  EXPECT_EQ(manager_->uploadCount(), 0u);
  EXPECT_NEAR(clock->monotonic() - t1, 2.0, 1e-9);
  // Any other answer, 0 included, also ends the pass after 2 s.
  sync_->scriptUploads({job("x", 0)});
  manager_->fillpass(true);
  EXPECT_EQ(sync_->uploadAsks(), 2);
  EXPECT_NEAR(clock->monotonic() - t1, 4.0, 1e-9);
}

TEST_F(TransManagerTest, FillerThreadsIdleUntilReadyAndAreJoinedAtExit) {
  auto clock = std::make_shared<plat::ScaledClock>(1000);
  plat::ScopedClock scoped(clock);
  AppServices& app = AppServices::shared();
  sync_->setFallback(2);
  const struct {
    bool start, link;
    int64_t count;
  } idle[] = {{false, true, 1}, {true, false, 1}, {true, true, 0}};
  for (const auto& c : idle) {
    app.setBSyncStart(c.start);
    app.setBLink(c.link);
    app.setSynccount(c.count);
    auto m = std::make_shared<TransManager>(sync_);
    m->startThreads();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // 50 s of the clock
    m->exit();
    EXPECT_EQ(sync_->uploadAsks() + sync_->downloadAsks(), 0) << c.start << c.link << c.count;
  }
  app.setBSyncStart(true);
  app.setBLink(true);
  app.setSynccount(1);
  sync_->scriptDownloads({job("t1"), job("t2")});
  manager_->startThreads();
  ASSERT_TRUE(waitFor([&] { return manager_->downloadCount() == 2 && sync_->uploadAsks() > 2; }, 20));
  manager_->exit();
  const int64_t asked = sync_->downloadAsks();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(sync_->downloadAsks(), asked) << "a filler still runs after exit";
  // Running transfers are left to run by exit, and stopped and joined when
  // the manager goes.
  auto t1 = transfer("t1");
  ASSERT_TRUE(t1);
  EXPECT_FALSE(t1->joined());
  manager_.reset();
  EXPECT_TRUE(t1->joined());
}

TEST_F(TransManagerTest, CleartransStopsOnlyTheFolderAndWhatLiesUnderIt) {
  for (const char* p : {"a/b", "a/b/c", "x/a/b/c", "a/bc", "a/b2/c"}) manager_->adddownload(job(p));
  for (const char* p : {"a/b", "a/bc"}) manager_->AddTransportData(p, 1, 0);
  manager_->cleartrans("a/b");
  EXPECT_EQ(manager_->downloadCount(), 3u);
  for (const char* kept : {"a/bc", "x/a/b/c", "a/b2/c"}) {
    EXPECT_TRUE(manager_->select_downloadtask(job(kept).path)) << kept;
    EXPECT_FALSE(transfer(kept)->aborted()) << kept;
  }
  for (const char* gone : {"a/b", "a/b/c"}) EXPECT_TRUE(transfer(gone)->aborted()) << gone;
  // The speed entries of the folder text anywhere, a/bc included, go.
  auto s = manager_->speeds();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_TRUE(s[0].removed && s[1].removed);
  manager_->SpeedTimer();
  EXPECT_TRUE(manager_->speeds().empty());
  manager_->reap();
  EXPECT_TRUE(transfer("a/b")->joined());
}

// A transfer that ends by itself, as a real one does, once the test lets it.
class GateTransfer : public Transfer {
public:
  GateTransfer(TransManager& m) : m_(m) {}
  ~GateTransfer() override { join(); }
  void begin() override {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> l(lock_);
      cv_.wait(l, [this] { return open_ || stopped_; });
      const bool leave = open_ && !stopped_;
      l.unlock();
      if (leave) m_.removedownload(this);
    });
  }
  void open() {
    std::lock_guard<std::mutex> l(lock_);
    open_ = true;
    cv_.notify_all();
  }
  void stop(bool) override {
    std::lock_guard<std::mutex> l(lock_);
    stopped_ = true;
    cv_.notify_all();
  }
  double getprogress() const override { return 0; }
  uint64_t jobFilesize() const override { return 1; }
  void join() override {
    if (thread_.joinable()) thread_.join();
  }

private:
  TransManager& m_;
  std::mutex lock_;
  std::condition_variable cv_;
  bool open_ = false, stopped_ = false;
  std::thread thread_;
};

// The filler's sleeps last 100 real seconds under this clock: a job that
// starts within the test's bound was started by a wake-up, not a sleep's end.
TEST_F(TransManagerTest, FillersWakeWhenASlotFreesOrNewWorkArrives) {
  auto clock = std::make_shared<plat::ScaledClock>(0.01);
  plat::ScopedClock scoped(clock);
  std::map<std::string, std::shared_ptr<GateTransfer>> gates;
  std::mutex gm;
  manager_->setDownloadFactory([&](const TransItem& j, TransManager& m) {
    auto t = std::make_shared<GateTransfer>(m);
    std::lock_guard<std::mutex> l(gm);
    gates[j.webpath] = t;
    return t;
  });
  auto started = [&](const std::string& w) {
    std::lock_guard<std::mutex> l(gm);
    return gates.count(w) != 0;
  };
  sync_->setFallback(2);
  std::vector<TransItem> script;
  for (int i = 0; i < 6; ++i) script.push_back(job("g" + std::to_string(i)));
  sync_->scriptDownloads(script);
  manager_->startThreads();
  ASSERT_TRUE(waitFor([&] { return manager_->downloadCount() == 5; }, 30));
  EXPECT_FALSE(started("g5")) << "more than five at once";

  const struct {
    const char* what;
    bool slotFrees;
    std::string next;
  } cases[] = {{"a slot frees", true, "g5"}, {"the sync engine has new work", false, "late"}};
  for (const auto& c : cases) {
    const int64_t asks = sync_->downloadAsks();
    {
      std::lock_guard<std::mutex> l(gm);
      gates[c.slotFrees ? "g0" : "g1"]->open();
    }
    if (!c.slotFrees) {
      // The pass after the freed slot found nothing; the filler sleeps until
      // the sync engine says it has work.
      ASSERT_TRUE(waitFor([&] { return manager_->downloadCount() == 4 && sync_->downloadAsks() > asks; }, 30));
      sync_->scriptDownloads({job(c.next)});
      manager_->wakeup();
    }
    EXPECT_TRUE(waitFor([&] { return started(c.next); }, 30)) << c.what;
    EXPECT_LE(manager_->downloadCount(), 5u) << c.what;
  }
  manager_->exit();
}

// A download that leaves its queue has the sync engine look for its result
// at once, not at the check thread's next tick; one that is stopped from
// outside leaves nothing to take in.
TEST_F(TransManagerTest, ADownloadLeavingItsQueueWakesTheCheckForResults) {
  std::shared_ptr<GateTransfer> gate;
  manager_->setDownloadFactory([&](const TransItem&, TransManager& m) { return gate = std::make_shared<GateTransfer>(m); });
  ASSERT_TRUE(manager_->adddownload(job("d")));
  EXPECT_EQ(sync_->wakechecks(), 0);
  gate->open();
  ASSERT_TRUE(waitFor([&] { return manager_->downloadCount() == 0; }, 30));
  EXPECT_EQ(sync_->wakechecks(), 1);

  ASSERT_TRUE(manager_->adddownload(job("e")));
  manager_->cleartrans("e");
  manager_->reap();
  EXPECT_EQ(manager_->downloadCount(), 0u);
  EXPECT_EQ(sync_->wakechecks(), 1);
}

// Whatever a step of the sync engine throws, the filler goes on asking.
class ThrowingHandoff : public ScriptedHandoff {
public:
  using ScriptedHandoff::ScriptedHandoff;
  TransItem get_download() override {
    TransItem t = ScriptedHandoff::get_download();
    if (downloadAsks() <= 3) throwOne();
    return t;
  }
  TransItem get_upload() override {
    TransItem t = ScriptedHandoff::get_upload();
    if (uploadAsks() <= 3) throwOne();
    return t;
  }
  int kind = 0;

private:
  void throwOne() const {
    if (kind == 0) throw std::runtime_error("sync database gone");
    if (kind == 1) throw std::bad_alloc();
    throw 42;
  }
};

TEST_F(TransManagerTest, AFillStepThatThrowsLeavesTheFillerRunning) {
  auto clock = std::make_shared<plat::ScaledClock>(1000);
  plat::ScopedClock scoped(clock);
  for (int kind : {0, 1, 2}) {
    auto sync = std::make_shared<ThrowingHandoff>(dir_ + "/throw" + std::to_string(kind) + ".db");
    sync->kind = kind;
    sync->setFallback(2);
    auto m = std::make_shared<TransManager>(sync);
    m->startThreads();
    EXPECT_TRUE(waitFor([&] { return sync->uploadAsks() > 6 && sync->downloadAsks() > 6; }, 30)) << kind;
    m->exit();
  }
}

TEST_F(TransManagerTest, SpeedWindowsTickUnderAnInjectedClock) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  manager_->AddTransportData("up", 999, 1);  // makes the entry, not counted
  manager_->AddTransportData("down", 5, 0);
  clock->advance(1);
  manager_->AddTransportData("up", 1000, 1);
  manager_->AddTransportData("down", 500, 0);
  manager_->SpeedTimer();
  EXPECT_EQ(manager_->GetSpeed("up", 1), 1000u);
  EXPECT_EQ(manager_->uploadSpeed(), 1000);
  EXPECT_EQ(manager_->downloadSpeed(), 500);

  // Nothing arrived in the last second: speed 0, the entry stays.
  clock->advance(1);
  manager_->SpeedTimer();
  EXPECT_EQ(manager_->GetSpeed("up", 1), 0u);
  EXPECT_EQ(manager_->uploadSpeed(), 0);
  ASSERT_EQ(manager_->speeds().size(), 2u);

  // Past 3 s a next window opens; past 6 s it becomes the window.
  clock->advance(2);  // 4 s after the start
  manager_->AddTransportData("up", 4000, 1);
  auto s = manager_->speeds()[0];
  EXPECT_EQ(s.pos, 5000u);
  EXPECT_EQ(s.nextpos, 4000u);
  clock->advance(3);  // 7 s
  manager_->AddTransportData("up", 3000, 1);
  s = manager_->speeds()[0];
  EXPECT_EQ(s.pos, 7000u);
  EXPECT_EQ(s.nextpos, 0u);
  EXPECT_DOUBLE_EQ(s.newtime - s.oldtime, 3.0);
  manager_->SpeedTimer();
  EXPECT_EQ(manager_->GetSpeed("up", 1), 7000u / 3);

  manager_->RemoveSpeed("up", 1);
  manager_->SpeedTimer();
  EXPECT_EQ(manager_->speeds().size(), 1u);
}

TEST_F(TransManagerTest, RowsOfTheTransferListAndProgress) {
  manager_->adddownload(job("d1"));
  manager_->AddTransportData("d1", 1, 0);
  auto rows = manager_->getTraningData();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].webpath, "d1");
  EXPECT_EQ(rows[0].status, 0);
  EXPECT_EQ(rows[0].filesize, 100u);
  EXPECT_DOUBLE_EQ(rows[0].progress, 0.25);
  EXPECT_DOUBLE_EQ(manager_->GetProgress("d1", 0), 0.25);
  EXPECT_DOUBLE_EQ(manager_->GetProgress("d1", 1), 0);
  uint64_t size = 7;
  EXPECT_EQ(manager_->get_download_index("hd1", size), job("d1").path);
  EXPECT_EQ(size, 100u);
  size = 7;
  EXPECT_EQ(manager_->get_download_index("nope", size), "");
  EXPECT_EQ(size, 7u);
}

TEST_F(TransManagerTest, ErrorMessagesShowOncePerRepeat) {
  std::vector<std::string> shown;
  manager_->setNotice([&](const std::string& m) { shown.push_back(m); });
  manager_->addTransErrorMsgFileHash("h1", std::string("no room"));
  manager_->addTransErrorMsgFileHash("h1", std::string("no room"));
  manager_->addTransErrorMsgFileHash("h2", std::string("no room"));
  manager_->addTransErrorMsgFileHash("h1", std::string("other"));
  manager_->addTransErrorMsgFileHash("h3", std::nullopt);
  EXPECT_EQ(shown, (std::vector<std::string>{"no room", "no room", "other"}));
  EXPECT_EQ(manager_->getTransErrorMsgFileHash("h1"), "other");
  EXPECT_EQ(manager_->getTransErrorMsgFileHash("h3"), std::nullopt);
  manager_->removeTransErrorFileHash("h1");
  EXPECT_EQ(manager_->getTransErrorMsgFileHash("h1"), std::nullopt);
}

}  // namespace
