#include "platform/foundation/serial_queue.h"

#include <algorithm>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread.h"

namespace plat {

namespace {
// The queues whose blocks the calling thread is inside, innermost last.
thread_local std::vector<const SerialQueue*> tCurrent;
}

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> l(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

bool SerialQueue::isCurrent() const {
  return std::find(tCurrent.begin(), tCurrent.end(), this) != tCurrent.end();
}

void SerialQueue::enter() { tCurrent.push_back(this); }

void SerialQueue::leave() {
  auto it = std::find(tCurrent.rbegin(), tCurrent.rend(), this);
  if (it != tCurrent.rend()) tCurrent.erase(std::next(it).base());
}

void SerialQueue::sync(const std::function<void()>& block) {
  if (isCurrent()) {
    throw Exception(kInternalInconsistencyException,
                    "SerialQueue \"" + name_ + "\": sync called from a block of the same queue (deadlock)");
  }
  std::unique_lock<std::mutex> l(mutex_);
  const uint64_t ticket = nextTicket_++;
  items_.push_back(Item{ticket, nullptr});
  cv_.wait(l, [&] { return !running_ && items_.front().ticket == ticket; });
  items_.pop_front();
  running_ = true;
  l.unlock();

  struct Done {
    SerialQueue* q;
    ~Done() {
      q->leave();
      {
        std::lock_guard<std::mutex> g(q->mutex_);
        q->running_ = false;
      }
      q->cv_.notify_all();
    }
  } done{this};
  enter();
  block();
}

void SerialQueue::async(std::function<void()> block) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    items_.push_back(Item{nextTicket_++, std::move(block)});
    if (!worker_.joinable()) {
      worker_ = startThread(name_, [this] { workerLoop(); });
    }
  }
  cv_.notify_all();
}

void SerialQueue::workerLoop() {
  std::unique_lock<std::mutex> l(mutex_);
  for (;;) {
    cv_.wait(l, [&] {
      return (!running_ && !items_.empty() && items_.front().block) || (stopping_ && items_.empty());
    });
    if (items_.empty()) return;  // stopping and drained
    Item item = std::move(items_.front());
    items_.pop_front();
    running_ = true;
    l.unlock();
    enter();
    runGuarded("queue " + name_, item.block);
    leave();
    l.lock();
    running_ = false;
    cv_.notify_all();
  }
}

}  // namespace plat
