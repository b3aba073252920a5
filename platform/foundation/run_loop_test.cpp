#include "platform/foundation/run_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/foundation/clock.h"
#include "platform/foundation/error.h"
#include "platform/foundation/thread.h"

using namespace plat;

namespace {
struct SocketPair {
  int fd[2];
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~SocketPair() {
    if (fd[0] >= 0) close(fd[0]);
    if (fd[1] >= 0) close(fd[1]);
  }
};
}  // namespace

TEST(RunLoop, FdSourceFiresOnlyInItsMode) {
  auto loop = RunLoop::current();
  SocketPair sp;
  std::string got;
  auto id = loop->addFd(sp.fd[0], RunLoop::kReadable, [&](uint32_t ev) {
    ASSERT_TRUE(ev & RunLoop::kReadable);
    char buf[16];
    ssize_t n = read(sp.fd[0], buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }, {"HCHTTPRequestRunLoopMode"});
  ASSERT_EQ(write(sp.fd[1], "hi", 2), 2);

  // The default mode has no sources at all.
  EXPECT_EQ(loop->runInMode(kDefaultRunLoopMode, 0.05), RunLoop::RunResult::Finished);
  EXPECT_EQ(got, "");
  EXPECT_EQ(loop->runInMode("HCHTTPRequestRunLoopMode", 1.0, true), RunLoop::RunResult::HandledSource);
  EXPECT_EQ(got, "hi");
  loop->remove(id);
  EXPECT_EQ(loop->runInMode("HCHTTPRequestRunLoopMode", 0.01), RunLoop::RunResult::Finished);
}

TEST(RunLoop, HangupReportedAndSourceCanRemoveItself) {
  auto loop = RunLoop::current();
  SocketPair sp;
  int calls = 0;
  RunLoop::SourceId id = 0;
  id = loop->addFd(sp.fd[0], RunLoop::kReadable, [&](uint32_t ev) {
    ++calls;
    EXPECT_TRUE(ev & (RunLoop::kHangup | RunLoop::kReadable));
    loop->remove(id);
  });
  close(sp.fd[1]);
  sp.fd[1] = -1;
  EXPECT_EQ(loop->runInMode(kDefaultRunLoopMode, 1.0), RunLoop::RunResult::Finished);
  EXPECT_EQ(calls, 1);
}

TEST(RunLoop, TimersRepeatAndStopOnManualClock) {
  auto manual = std::make_shared<ManualClock>();
  ScopedClock sc(manual);
  auto loop = RunLoop::current();
  std::vector<double> fired;
  const double t0 = currentClock().monotonic();
  auto tick = loop->addTimer(1.0, 1.0, true, [&] { fired.push_back(currentClock().monotonic() - t0); });
  int once = 0;
  loop->addTimer(2.5, 0, false, [&] { ++once; });
  // Ten seconds of timetable with no real waiting.
  EXPECT_EQ(loop->runInMode(kDefaultRunLoopMode, 10.0), RunLoop::RunResult::TimedOut);
  ASSERT_EQ(fired.size(), 10u);
  for (size_t i = 0; i < fired.size(); ++i) EXPECT_DOUBLE_EQ(fired[i], static_cast<double>(i + 1));
  EXPECT_EQ(once, 1);
  loop->remove(tick);
}

TEST(RunLoop, PerformsFromOtherThreadsAndStop) {
  auto loop = RunLoop::current();
  std::atomic<int> n{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i) {
    ts.push_back(startThread("poster", [loop, &n] {
      for (int j = 0; j < 100; ++j) loop->perform([&n] { n.fetch_add(1); });
    }));
  }
  for (auto& t : ts) t.join();
  loop->perform([loop] { loop->stop(); });
  loop->run();
  EXPECT_EQ(n.load(), 400);
}

TEST(RunLoop, PerformWaitsForItsMode) {
  auto loop = RunLoop::current();
  bool ran = false;
  loop->perform([&] { ran = true; }, {"private"});
  loop->runInMode(kDefaultRunLoopMode, 0);
  EXPECT_FALSE(ran);
  loop->runInMode("private", 0);
  EXPECT_TRUE(ran);
  // Common-mode performs run in modes added to the common set.
  bool common = false;
  loop->addCommonMode("modal");
  loop->perform([&] { common = true; });
  loop->runInMode("modal", 0);
  EXPECT_TRUE(common);
  // ...and in no other.
  bool commonOnly = false;
  loop->perform([&] { commonOnly = true; });
  loop->runInMode("private", 0);
  EXPECT_FALSE(commonOnly);
  loop->runInMode(kDefaultRunLoopMode, 0);
  EXPECT_TRUE(commonOnly);
}

TEST(RunLoop, NestedRunKeepsOuterSources) {
  auto loop = RunLoop::current();
  SocketPair sp;
  int outer = 0;
  auto id = loop->addFd(sp.fd[0], RunLoop::kReadable, [&](uint32_t) {
    char c;
    if (read(sp.fd[0], &c, 1) == 1) ++outer;
    if (outer == 1) {
      // A synchronous job runs its own mode inside a default-mode callback.
      bool inner = false;
      EXPECT_EQ(loop->currentMode(), kDefaultRunLoopMode);
      loop->perform(
          [&] {
            inner = true;
            EXPECT_EQ(loop->currentMode(), "inner");
          },
          {"inner"});
      loop->runInMode(std::string("inner"), 0.5, true);
      EXPECT_TRUE(inner);
      EXPECT_EQ(loop->currentMode(), kDefaultRunLoopMode);
      EXPECT_EQ(write(sp.fd[1], "b", 1), 1);
    } else {
      loop->stop();
    }
  });
  ASSERT_EQ(write(sp.fd[1], "a", 1), 1);
  EXPECT_EQ(loop->runInMode(kDefaultRunLoopMode, 5.0), RunLoop::RunResult::Stopped);
  EXPECT_EQ(outer, 2);
  loop->remove(id);
}

TEST(MainThread, PerformAndWaitInLineOnMainQueuedElsewhere) {
  MainThread::setCurrentThreadAsMain();
  EXPECT_TRUE(MainThread::isMainThread());
  int inLine = 0;
  MainThread::performAndWait([&] { inLine = 1; });
  EXPECT_EQ(inLine, 1);  // ran at once, no loop needed

  std::atomic<bool> done{false};
  std::atomic<bool> ranOnMain{false};
  std::thread worker = startThread("worker", [&] {
    EXPECT_FALSE(MainThread::isMainThread());
    MainThread::performAndWait([&] { ranOnMain = MainThread::isMainThread(); });
    done = true;
    MainThread::perform([] { RunLoop::main()->stop(); });
  });
  RunLoop::main()->run();
  worker.join();
  EXPECT_TRUE(done.load());
  EXPECT_TRUE(ranOnMain.load());
}

TEST(RunLoop, RunFromAnotherThreadIsRefused) {
  auto loop = RunLoop::current();
  std::atomic<bool> threw{false};
  std::thread t([&] {
    try {
      loop->runInMode(kDefaultRunLoopMode, 0);
    } catch (const Exception&) {
      threw = true;
    }
  });
  t.join();
  EXPECT_TRUE(threw.load());
}
