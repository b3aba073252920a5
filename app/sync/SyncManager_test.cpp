// The sync manager without the service: construction on a real parent
// folder, the timetable, and the two threads under an injected clock.
#include "app/sync/SyncManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

TEST(SyncTimetable, PeriodsAreStrictlyExceeded) {
  SyncTimetable t(100);
  struct Step {
    double at;
    bool syncnow, idle;
    bool rename, clean, compare;
  };
  const Step steps[] = {
      {101, false, true, false, false, false},
      {102.0, false, true, false, false, false},  // exactly 2 s: not yet
      {102.5, false, true, true, false, false},
      {103, true, true, false, false, true},      // sync-now: at once
      {130, false, true, true, false, false},
      {133.0, false, true, true, false, false},   // exactly 30 s after 103
      {133.5, false, true, false, false, true},
      {160.5, false, false, true, false, false},  // 60 s passed but work is left: no clean-up
      {161, false, true, false, false, false},    // the period began again at 160.5
      {221, false, true, true, true, true},
  };
  for (const auto& s : steps) {
    const auto d = t.tick(s.at, s.syncnow, s.idle);
    EXPECT_EQ(d.rename, s.rename) << s.at;
    EXPECT_EQ(d.cacheClean, s.clean) << s.at;
    EXPECT_EQ(d.compare, s.compare) << s.at;
  }
}

// A line of the activity log names the file.
bool logged(const std::string& file) {
  QVLog::sharedQVLog().flush();
  for (const auto& line : QVLog::sharedQVLog().arrLogData()) {
    if (line.text.find(file) != std::string::npos) return true;
  }
  return false;
}

class SyncManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    user_ = std::make_shared<UserData>();
    user_->setUserID(7);
    user_->setMountID(70);
    Util::getAppDelegate().setUserdata(user_);
    Util::getAppDelegate().setBLink(false);
    parent_ = home_.path() + "/Quorva/";
  }
  void TearDown() override { Util::getAppDelegate().setUserdata(nullptr); }

  plat::testing::TempHome home_;
  std::shared_ptr<UserData> user_;
  std::string parent_;
};

TEST_F(SyncManagerTest, AFreshParentGetsItsRootsAndTheRecycleBinLink) {
  for (int64_t org : {0, 5}) {
    SCOPED_TRACE(org);
    user_->setOrgID(org);
    const std::string parent = parent_ + std::to_string(org) + "/";
    SyncManager m(parent, false, false);
    EXPECT_TRUE(plat::isDirectory(parent + "个人的文件"));
    EXPECT_EQ(m.syncpath(), parent + "个人的文件/");
    EXPECT_EQ(plat::isDirectory(parent + "团队的文件"), org > 0);
    EXPECT_EQ(m.syncorg(), org > 0 ? parent + "团队的文件/" : "");
    EXPECT_NE(plat::readFile(parent + "回收站.webloc").value_or("").find("<key>URL</key>"), std::string::npos);
    EXPECT_FALSE(m.bStart());
    EXPECT_TRUE(m.bSyncnow());
    EXPECT_TRUE(m.bFristScan());
    const auto roots = m.syncdb()->get_all_version();
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].webpath, "/");
  }
}

// A local path is matched to its root by the rule the linked set and the
// database fold by (every script, not only ASCII); the rest keeps its letters.
TEST_F(SyncManagerTest, LocalPathsFoldByTheOneRuleOfTheLinkedSet) {
  user_->setOrgID(5);
  const std::string home = home_.path();
  SyncManager m(home + "/Ärger/", false, false);
  struct Case {
    std::string local, webpath;
    int64_t type;
  };
  const Case cases[] = {
      {home + "/Ärger/个人的文件/Öl/a.txt", "Öl/a.txt", 1},
      {home + "/ärger/个人的文件/Öl/a.txt", "Öl/a.txt", 1},
      {home + "/ÄRGER/团队的文件/Σ/b", "Σ/b", 2},
      {home + "/ärger/个人的文件", "", 1},
      {home + "/ärger/回收站.webloc", "", 4},
      {home + "/Ärgerlich/个人的文件/a", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.local);
    int64_t type = 99;
    EXPECT_EQ(m.getrelativepath(c.local, &type), c.webpath);
    EXPECT_EQ(type, c.type);
  }
  // A linked folder in other letters goes by the same rule.
  plat::makeDirectories(home + "/Éte");
  m.linkfolder().add("Photos", home + "/Éte");
  int64_t type = 99;
  EXPECT_EQ(m.getrelativepath(home + "/éte/x.jpg", &type), "Photos/x.jpg");
  EXPECT_EQ(type, 0);
}

TEST_F(SyncManagerTest, AnExistingParentKeepsItsStateOrIsResetAsAsked) {
  {
    SyncManager m(parent_, false, false);
    SyncFileItem it;
    it.webpath = "docs/a.txt";
    it.parent = "docs";
    it.file = true;
    it.status = 4;
    m.syncdb()->add_new_file(it);
    SyncVersion v{"/", 12, 34, "k", 0, 0, 0};
    m.syncdb()->update_total_version(v);
    m.syncdb()->insert_total_version("/Share/", 1, 1, 0);
    m.syncdb()->insert_unsync_nodes({{"skip", 0}});
  }
  {
    SyncManager m(parent_, false, false);  // the roots exist: nothing is reset
    EXPECT_EQ(m.syncdb()->get_single_file("docs/a.txt").status, 4);
    EXPECT_EQ(m.syncdb()->get_total_version("/").version, 12);
    EXPECT_TRUE(m.syncshare().isreadonly("share/x"));
    EXPECT_FALSE(m.unsyncnode().need_sync("skip/x", false));
  }
  plat::removeTree(parent_ + "个人的文件");
  {
    // The personal root went missing: made again, its rows fetched again.
    SyncManager m(parent_, false, false);
    EXPECT_TRUE(plat::isDirectory(parent_ + "个人的文件"));
    EXPECT_EQ(m.syncdb()->get_single_file("docs/a.txt").status, 5);
  }
  {
    SyncManager m(parent_, true, false);
    EXPECT_EQ(m.syncdb()->get_single_file("docs/a.txt").status, -1);
    EXPECT_TRUE(m.syncdb()->get_unsync_nodes().empty());
    const auto roots = m.syncdb()->get_all_version();
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0], (SyncVersion{"/", 0, 0, "", 0, 0, 0}));
  }
}

TEST_F(SyncManagerTest, SetUnsyncnodeRemovesOnlyWhatTheServiceHoldsAndStoresTheSet) {
  SyncManager m(parent_, false, false);
  plat::makeDirectories(m.syncpath() + "big/sub");
  ASSERT_TRUE(plat::atomicWrite(m.syncpath() + "big/sub/f", "x"));
  ASSERT_TRUE(plat::atomicWrite(m.syncpath() + "big/edited", "was y"));
  ASSERT_TRUE(plat::atomicWrite(m.syncpath() + "big/new", "never sent"));
  plat::makeDirectories(m.syncpath() + "other");
  ASSERT_TRUE(plat::atomicWrite(m.syncpath() + "other/f", "x"));
  for (const char* w : {"big/sub/f", "big/edited", "other/f"}) {
    SyncFileItem it;
    it.webpath = w;
    it.status = 4;
    it.file = true;
    it.size = Util::filesize(m.syncpath() + w);
    it.last = Util::filemodifytime(m.syncpath() + w);
    it.filehash = *Util::getfilehash(m.syncpath() + w);
    m.syncdb()->add_new_file(it);
  }
  ASSERT_TRUE(plat::atomicWrite(m.syncpath() + "big/edited", "now z"));  // changed since in step
  Util::getAppDelegate().setBRecyclebin(false);
  auto trans = std::make_shared<synctest::RecordingTrans>();
  m.settrans(trans);
  m.setUnsyncnode(std::vector<UnSyncNodeItem>{{"big", 0}, {"other", 0}}, true);
  Util::getAppDelegate().setBRecyclebin(true);
  // All of "other" is on the service: it goes, into the file cache first.
  EXPECT_FALSE(plat::fileExists(m.syncpath() + "other"));
  EXPECT_NE(m.synccache()->getcache(NSDataExpand::sha1HexDigest("x")), "");
  // In "big" only the file in step goes; the edited and the never sent stay.
  EXPECT_FALSE(plat::fileExists(m.syncpath() + "big/sub"));
  EXPECT_EQ(plat::readFile(m.syncpath() + "big/edited").value_or(""), "now z");
  EXPECT_EQ(plat::readFile(m.syncpath() + "big/new").value_or(""), "never sent");
  for (const char* kept : {"big/edited", "big/new"}) EXPECT_TRUE(logged(m.syncpath() + kept)) << kept;
  EXPECT_EQ(m.syncdb()->get_single_file("big/sub/f").status, -1);
  EXPECT_EQ(m.syncdb()->get_single_file("big/edited").status, -1);
  EXPECT_EQ(m.syncdb()->get_unsync_nodes(), (std::vector<UnSyncNodeItem>{{"big", 0}, {"other", 0}}));
  EXPECT_EQ(trans->cleared(), (std::vector<std::string>{"big", "other"}));
  EXPECT_TRUE(m.bOverwrite());
}

// Waits (real time, bounded) for a condition the engine's threads make true.
template <class F>
bool eventually(F&& f) {
  for (int i = 0; i < 2000; ++i) {
    if (f()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return f();
}

TEST_F(SyncManagerTest, StartStopStartAndExitJoiningTheThreads) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  std::atomic<int> fullScans{0}, localPasses{0};
  // The clock at each pass, taken by the engine's thread: the test thread may
  // look later, after the engine's pauses have moved the clock on.
  std::mutex timesMutex;
  std::vector<double> passTimes;
  auto m = std::make_unique<SyncManager>(parent_, false, false);
  m->setLocalPass([&](bool full) {
    {
      std::lock_guard<std::mutex> l(timesMutex);
      passTimes.push_back(clock->monotonic());
    }
    ++localPasses;
    if (full) ++fullScans;
  });
  // Constructed: idle, no pass.
  clock->advance(100);
  EXPECT_EQ(m->passes(), 0);

  // The first compare is due at once; nothing can come before this time.
  const double started = clock->monotonic();
  m->start();
  ASSERT_TRUE(eventually([&] { return m->passes() >= 1 && m->bScaned(); }));
  EXPECT_EQ(fullScans.load(), 1);
  EXPECT_FALSE(m->bFristScan());
  // Without sync-now the next compare waits out more than 30 s of the clock.
  ASSERT_TRUE(eventually([&] { return localPasses.load() >= 2; }));
  {
    std::lock_guard<std::mutex> l(timesMutex);
    ASSERT_GE(passTimes.size(), 2u);
    // The check thread's pauses move the shared clock too, by as much as the
    // machine's pace lets them between a pass's tick and its hook, so the
    // first hook's time is no bound; the start is.
    EXPECT_GT(passTimes[1] - started, 30.0);
  }

  m->stop();
  const int64_t stopped = m->passes();
  clock->advance(300);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LE(m->passes(), stopped + 1);  // a pass under way may finish

  m->start();  // works again, with a full scan of its own
  ASSERT_TRUE(eventually([&] { return fullScans.load() == 2; }));

  m->setBSyncnow(true);
  const int64_t asked = m->passes();
  ASSERT_TRUE(eventually([&] { return m->passes() > asked; }));

  const auto t0 = std::chrono::steady_clock::now();
  m->exit();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  const int64_t ended = m->passes();
  clock->advance(1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(m->passes(), ended);  // nothing runs after exit returned
  m.reset();
}

TEST_F(SyncManagerTest, AFailingPassNeverSpins) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  SyncManager m(parent_, false, false);
  m.setLocalPass([&](bool) {
    m.setBSyncnow(true);  // the next cycle is a pass again
    throw std::runtime_error("disk gone");
  });
  const double start = clock->monotonic();
  m.start();
  ASSERT_TRUE(eventually([&] { return m.faults() >= 20; }));
  m.exit();
  // Every failed cycle still waited its second before the next.
  EXPECT_GE(clock->monotonic() - start, static_cast<double>(m.faults()) - 1);
}

// Real time whose waits can be made to last hours: short while the engine
// settles, then long, so that only a wake can end a wait.
class SwitchedClock : public plat::SystemClock {
public:
  double realSecondsFor(double seconds) const override { return slow ? seconds * 3600 : seconds / 1000; }
  std::atomic<bool> slow{false};
};

// A download that left its queue is placed at once: the check thread's wait
// for its next tick ends early.
TEST_F(SyncManagerTest, AFinishedDownloadIsPlacedWhenTheTransferSaysSoNotAtTheNextTick) {
  auto clock = std::make_shared<SwitchedClock>();
  plat::ScopedClock scoped(clock);
  SyncManager m(parent_, false, false);
  m.start();
  ASSERT_TRUE(eventually([&] { return m.checks() >= 1 && m.passes() >= 1 && m.bScaned(); }));
  clock->slow = true;
  // A check that ends after the switch is followed by a wait of an hour.
  const int64_t before = m.checks();
  ASSERT_TRUE(eventually([&] { return m.checks() > before; }));
  const std::string content = "fetched";
  const std::string hash = NSDataExpand::sha1HexDigest(content);
  SyncFileItem it;
  it.webpath = "got.txt";
  it.file = true;
  it.status = syncstatus::downloading;
  it.size = content.size();
  it.filehash = hash;
  it.version = 5;
  ASSERT_TRUE(m.syncdb()->add_new_file(it));
  ASSERT_TRUE(plat::atomicWrite(m.transcache()->cachepath() + "/down_" + hash + "_ok", content));
  const int64_t checked = m.checks();
  m.wakecheck();
  ASSERT_TRUE(eventually([&] { return m.syncdb()->get_single_file("got.txt").status == syncstatus::synced; }));
  EXPECT_EQ(plat::readFile(m.syncpath() + "got.txt").value_or(""), content);
  // One check, counted once it is over.
  EXPECT_TRUE(eventually([&] { return m.checks() == checked + 1; }));
  m.exit();
}

// Work a pass finds reaches the transfer fillers at once: the count they
// wait on is brought up to date before they are woken, not up to a second
// later by the periodic job.
TEST_F(SyncManagerTest, APassThatFindsWorkSetsTheCountTheFillersWaitOnAndWakesThem) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  Util::getAppDelegate().setSynccount(0);
  SyncManager m(parent_, false, false);
  auto trans = std::make_shared<synctest::RecordingTrans>();
  m.settrans(trans);
  ASSERT_TRUE(plat::atomicWrite(m.syncpath() + "new.txt", "n"));
  m.start();
  ASSERT_TRUE(eventually([&] { return m.bScaned() && trans->wakeups() >= 2; }));
  m.exit();
  EXPECT_EQ(m.syncdb()->get_single_file("new.txt").status, syncstatus::toUpload);
  EXPECT_GE(Util::getAppDelegate().synccount(), 1);
  EXPECT_EQ(Util::getAppDelegate().synccount(), m.syncdb()->getAllNeedSyncCount());
  Util::getAppDelegate().setSynccount(0);
}

TEST_F(SyncManagerTest, TheTransferFolderIsCleanedOnlyWhenNothingIsLeft) {
  auto clock = std::make_shared<plat::ManualClock>();
  plat::ScopedClock scoped(clock);
  SyncManager m(parent_, false, false);
  const std::string left = m.transcache()->cachepath() + "/down_" + std::string(40, 'a') + ".tmp";
  ASSERT_TRUE(plat::atomicWrite(left, "partial"));
  Util::getAppDelegate().setSynccount(1);
  m.start();
  // Work is left: the transfer folder is not cleaned, however long it runs.
  const double t0 = clock->monotonic();
  ASSERT_TRUE(eventually([&] { return clock->monotonic() - t0 > 200; }));
  EXPECT_TRUE(plat::fileExists(left));
  Util::getAppDelegate().setSynccount(0);
  ASSERT_TRUE(eventually([&] { return !plat::fileExists(left); }));
  m.exit();
}

}  // namespace
