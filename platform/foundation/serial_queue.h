// A named serial queue: blocks run one at a time in the order they were
// submitted. `sync` runs the block on the caller's thread once its turn has
// come and returns when it is done; `async` hands the block to the queue's
// own worker thread. A `sync` on a queue from inside one of its own blocks
// would wait for itself for ever: it raises an exception instead.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace plat {

class SerialQueue {
public:
  explicit SerialQueue(std::string name);
  ~SerialQueue();  // runs what is still queued, then stops the worker
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& name() const { return name_; }

  // Exceptions of the block reach the caller after the queue moved on.
  void sync(const std::function<void()>& block);
  void async(std::function<void()> block);

  // True when the calling thread is inside a block of this queue.
  bool isCurrent() const;

private:
  struct Item {
    uint64_t ticket;
    std::function<void()> block;  // empty for a sync item
  };
  void workerLoop();
  void enter();
  void leave();

  std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> items_;
  bool running_ = false;
  bool stopping_ = false;
  uint64_t nextTicket_ = 0;
  std::thread worker_;
};

}  // namespace plat
