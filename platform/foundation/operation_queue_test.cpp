#include "platform/foundation/operation_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/foundation/thread.h"

namespace plat {
namespace {

// Counts how many of its kind run at once; each waits for a gate.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  int running = 0, peak = 0, ran = 0;
  void pass() {
    std::unique_lock l(m);
    ++running;
    peak = std::max(peak, running);
    cv.notify_all();
    cv.wait(l, [&] { return open; });
    --running;
    ++ran;
  }
  void release() {
    std::lock_guard l(m);
    open = true;
    cv.notify_all();
  }
  bool waitRunning(int n) {
    std::unique_lock l(m);
    return cv.wait_for(l, std::chrono::seconds(10), [&] { return running >= n; });
  }
};

TEST(OperationQueue, RunsAtMostItsWidthAtOnce) {
  for (int width : {1, 4}) {
    OperationQueue q;
    q.setMaxConcurrentOperationCount(width);
    Gate gate;
    for (int i = 0; i < 10; ++i) q.addOperation([&] { gate.pass(); });
    ASSERT_TRUE(gate.waitRunning(width));
    EXPECT_EQ(q.operationCount(), 10u);
    gate.release();
    q.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(gate.ran, 10);
    EXPECT_EQ(gate.peak, width) << "width " << width;
    EXPECT_EQ(q.operationCount(), 0u);
  }
}

TEST(OperationQueue, SuspendedQueueHoldsItsOperationsUntilResumed) {
  OperationQueue q;
  q.setSuspended(true);
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) q.addOperation([&] { ++ran; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(q.operationCount(), 3u);
  q.setSuspended(false);
  q.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran.load(), 3);
}

TEST(OperationQueue, CancelledOperationsFinishWithoutRunning) {
  OperationQueue q;
  q.setSuspended(true);
  std::atomic<int> ran{0};
  auto op = std::make_shared<Operation>();
  std::atomic<bool> completed{false};
  op->setCompletionBlock([&] { completed = true; });
  q.addOperation(op);
  q.addOperation([&] { ++ran; });
  q.cancelAllOperations();
  EXPECT_TRUE(op->isCancelled());
  q.setSuspended(false);
  q.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());
  // The completion block runs after the operation is finished, on the
  // thread that finished it: a waiter may wake before it has run.
  for (int i = 0; i < 500 && !completed.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(completed.load());
}

// Finishes on a thread of its own, some time after start() returned.
class AsyncOperation : public Operation {
public:
  explicit AsyncOperation(Gate& g) : gate_(g) {}
  ~AsyncOperation() override {
    if (thread_.joinable()) thread_.join();
  }
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return executing_; }
  bool isFinished() const override { return finished_; }
  void start() override {
    executing_ = true;
    stateDidChange();
    thread_ = startThread("async op", [this] {
      gate_.pass();
      executing_ = false;
      finished_ = true;
      stateDidChange();
    });
  }

private:
  Gate& gate_;
  std::atomic<bool> executing_{false}, finished_{false};
  std::thread thread_;
};

TEST(OperationQueue, AsynchronousOperationKeepsItsSlotUntilItSaysFinished) {
  OperationQueue q;
  q.setMaxConcurrentOperationCount(2);
  Gate gate;
  std::vector<std::shared_ptr<AsyncOperation>> ops;
  for (int i = 0; i < 5; ++i) {
    ops.push_back(std::make_shared<AsyncOperation>(gate));
    q.addOperation(ops.back());
  }
  ASSERT_TRUE(gate.waitRunning(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    std::lock_guard l(gate.m);
    EXPECT_EQ(gate.running, 2);
  }
  EXPECT_EQ(q.operationCount(), 5u);
  gate.release();
  q.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(gate.ran, 5);
  EXPECT_EQ(gate.peak, 2);
  for (auto& op : ops) op->waitUntilFinished();
}

TEST(OperationQueue, StartOutsideAQueueRunsMainInLine) {
  auto op = std::make_shared<Operation>();
  op->start();
  EXPECT_TRUE(op->isFinished());
  op->cancel();  // after the end: nothing changes
  EXPECT_FALSE(op->isCancelled());
}

}  // namespace
}  // namespace plat
