#include "platform/foundation/operation_queue.h"

#include <algorithm>
#include <deque>

#include "platform/foundation/thread.h"

namespace plat {

// --- Operation -----------------------------------------------------------------

void Operation::start() {
  {
    std::lock_guard l(stateMutex_);
    if (executing_ || finished_) return;
    if (!cancelled_) executing_ = true;
  }
  stateDidChange();
  bool run;
  {
    std::lock_guard l(stateMutex_);
    run = executing_;
  }
  if (run) runGuarded("operation", [this] { main(); });
  {
    std::lock_guard l(stateMutex_);
    executing_ = false;
    finished_ = true;
  }
  stateDidChange();
}

void Operation::cancel() {
  {
    std::lock_guard l(stateMutex_);
    if (cancelled_ || finished_) return;
    cancelled_ = true;
  }
  stateDidChange();
}

bool Operation::isExecuting() const {
  std::lock_guard l(stateMutex_);
  return executing_;
}

bool Operation::isFinished() const {
  std::lock_guard l(stateMutex_);
  return finished_;
}

bool Operation::isCancelled() const {
  std::lock_guard l(stateMutex_);
  return cancelled_;
}

void Operation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard l(stateMutex_);
  completion_ = std::move(block);
}

void Operation::setObserver(std::function<void()> observer) {
  std::lock_guard l(stateMutex_);
  observer_ = std::move(observer);
}

void Operation::stateDidChange() {
  std::function<void()> observer;
  {
    std::lock_guard l(stateMutex_);
    observer = observer_;
  }
  stateChanged_.notify_all();
  runCompletionIfFinished();
  if (observer) observer();
}

void Operation::runCompletionIfFinished() {
  if (!isFinished()) return;
  std::function<void()> block;
  {
    std::lock_guard l(stateMutex_);
    if (completionRan_) return;
    completionRan_ = true;
    block = std::move(completion_);
    completion_ = nullptr;
  }
  if (block) runGuarded("operation completion", block);
}

void Operation::waitUntilFinished() {
  std::unique_lock l(stateMutex_);
  // isFinished() may be overridden; ask it without our lock held.
  for (;;) {
    l.unlock();
    bool done = isFinished();
    l.lock();
    if (done) return;
    stateChanged_.wait_for(l, std::chrono::milliseconds(50));
  }
}

namespace {
class BlockOperation : public Operation {
public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  void main() override {
    if (block_) block_();
  }

private:
  std::function<void()> block_;
};
}  // namespace

// --- OperationQueue -----------------------------------------------------------

struct OperationQueue::Core : std::enable_shared_from_this<OperationQueue::Core> {
  struct Entry {
    std::shared_ptr<Operation> op;
    bool started = false;
  };

  std::string name;
  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable idle;
  std::deque<Entry> entries;
  int maxCount = kDefaultMaxConcurrentOperationCount;
  bool suspended = false;
  bool stopping = false;
  std::vector<std::thread> workers;
  size_t idleWorkers = 0;

  size_t widthLocked() const {
    if (maxCount > 0) return static_cast<size_t>(maxCount);
    if (maxCount == 0) return 0;
    return std::max(2u, std::thread::hardware_concurrency());
  }
  size_t runningLocked() const {
    size_t n = 0;
    for (const auto& e : entries) n += e.started ? 1 : 0;
    return n;
  }
  // Finished operations leave the queue.
  void reapLocked() {
    std::erase_if(entries, [](const Entry& e) { return e.started && e.op->isFinished(); });
    if (entries.empty()) idle.notify_all();
  }
  Entry* nextLocked() {
    if (suspended || stopping || runningLocked() >= widthLocked()) return nullptr;
    for (auto& e : entries) {
      if (!e.started && (e.op->isReady() || e.op->isCancelled())) return &e;
    }
    return nullptr;
  }
  void ensureWorkerLocked() {
    // One worker per slot at most; an idle one is woken instead of a new one made.
    if (idleWorkers > 0 || workers.size() >= widthLocked() || stopping) return;
    std::weak_ptr<Core> weak = weak_from_this();
    workers.push_back(startThread(name, [weak] {
      if (auto self = weak.lock()) self->workerLoop();
    }));
  }
  // Asynchronous operations only hand their work on: they are started on
  // the thread that found their slot free, which saves a hop to a worker.
  // Plain ones go to the workers.
  std::vector<std::shared_ptr<Operation>> takeAsynchronousLocked() {
    std::vector<std::shared_ptr<Operation>> out;
    while (Entry* e = nextLocked()) {
      if (!e->op->isAsynchronous()) break;
      e->started = true;
      out.push_back(e->op);
    }
    return out;
  }
  void startAll(const std::vector<std::shared_ptr<Operation>>& ops) {
    for (const auto& op : ops) op->start();
  }
  void stateChanged() {
    std::vector<std::shared_ptr<Operation>> inline_;
    {
      std::lock_guard l(mutex);
      reapLocked();
      inline_ = takeAsynchronousLocked();
      if (nextLocked()) ensureWorkerLocked();
      work.notify_all();
    }
    startAll(inline_);
  }
  void workerLoop() {
    std::unique_lock l(mutex);
    for (;;) {
      Entry* e = nextLocked();
      if (!e) {
        if (stopping) return;
        ++idleWorkers;
        work.wait(l);
        --idleWorkers;
        continue;
      }
      e->started = true;
      std::shared_ptr<Operation> op = e->op;
      l.unlock();
      op->start();
      l.lock();
      reapLocked();
    }
  }
};

OperationQueue::OperationQueue(std::string name) : name_(name), core_(std::make_shared<Core>()) {
  core_->name = std::move(name);
}

OperationQueue::~OperationQueue() {
  std::vector<std::thread> workers;
  {
    std::lock_guard l(core_->mutex);
    core_->stopping = true;
    for (auto& e : core_->entries) e.op->setObserver(nullptr);
    workers.swap(core_->workers);
  }
  core_->work.notify_all();
  for (auto& t : workers) {
    if (t.joinable()) t.join();
  }
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) return;
  std::weak_ptr<Core> weak = core_;
  operation->setObserver([weak] {
    if (auto core = weak.lock()) core->stateChanged();
  });
  std::vector<std::shared_ptr<Operation>> inline_;
  {
    std::lock_guard l(core_->mutex);
    core_->entries.push_back({std::move(operation), false});
    inline_ = core_->takeAsynchronousLocked();
    if (core_->nextLocked()) core_->ensureWorkerLocked();
    core_->work.notify_all();
  }
  core_->startAll(inline_);
}

void OperationQueue::addOperation(std::function<void()> block) {
  addOperation(std::make_shared<BlockOperation>(std::move(block)));
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    std::lock_guard l(core_->mutex);
    core_->maxCount = count;
  }
  core_->stateChanged();
}

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard l(core_->mutex);
  return core_->maxCount;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard l(core_->mutex);
    core_->suspended = suspended;
  }
  core_->stateChanged();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard l(core_->mutex);
  return core_->suspended;
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard l(core_->mutex);
  std::vector<std::shared_ptr<Operation>> out;
  for (const auto& e : core_->entries) out.push_back(e.op);
  return out;
}

size_t OperationQueue::operationCount() const {
  std::lock_guard l(core_->mutex);
  return core_->entries.size();
}

void OperationQueue::cancelAllOperations() {
  for (auto& op : operations()) op->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock l(core_->mutex);
  for (;;) {
    core_->reapLocked();
    if (core_->entries.empty()) return;
    // Asynchronous operations may finish without telling us; look again now and then.
    core_->idle.wait_for(l, std::chrono::milliseconds(50));
  }
}

}  // namespace plat
