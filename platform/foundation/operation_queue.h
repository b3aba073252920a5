// Operations and the queues that run them. An operation is ready, then
// executing, then finished; it may be cancelled at any point. A queue starts
// ready operations in the order they were added, at most
// `maxConcurrentOperationCount` at once, on worker threads of its own.
//
// A plain operation does its work in main() and is finished when main()
// returns. An asynchronous operation (isAsynchronous() true) overrides
// start(), may return from it at once, and tells its queue with
// stateDidChange() once its isExecuting()/isFinished() answers change; its
// slot stays taken until isFinished() says true. The queue starts such an
// operation on the thread that added it or saw a slot come free, so its
// start() must not block.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plat {

class OperationQueue;

class Operation : public std::enable_shared_from_this<Operation> {
public:
  Operation() = default;
  virtual ~Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Runs the operation on the calling thread: main() unless cancelled.
  virtual void start();
  virtual void main() {}
  virtual void cancel();

  virtual bool isAsynchronous() const { return false; }
  virtual bool isReady() const { return true; }
  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  virtual bool isCancelled() const;

  // Runs once the operation has finished, on the thread that saw it finish.
  void setCompletionBlock(std::function<void()> block);

  // Blocks until isFinished() (real waiting; any thread but the operation's own).
  void waitUntilFinished();

protected:
  // Subclasses with states of their own call this after any change of
  // isReady(), isExecuting() or isFinished().
  void stateDidChange();

private:
  friend class OperationQueue;
  void setObserver(std::function<void()> observer);
  void runCompletionIfFinished();

  mutable std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool executing_ = false;
  bool finished_ = false;
  bool cancelled_ = false;
  bool completionRan_ = false;
  std::function<void()> completion_;
  std::function<void()> observer_;
};

class OperationQueue {
public:
  static constexpr int kDefaultMaxConcurrentOperationCount = -1;  // as many as there are processors

  explicit OperationQueue(std::string name = "operation queue");
  // Cancels nothing: waits for the workers to hand over what they started,
  // then stops them. Asynchronous operations already started run on.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  void addOperation(std::shared_ptr<Operation> operation);
  void addOperation(std::function<void()> block);

  void setMaxConcurrentOperationCount(int count);
  int maxConcurrentOperationCount() const;
  // A suspended queue starts nothing new; running operations go on.
  void setSuspended(bool suspended);
  bool isSuspended() const;

  // Operations not yet finished, in the order added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  size_t operationCount() const;
  void cancelAllOperations();
  // Blocks until every operation added so far has finished.
  void waitUntilAllOperationsAreFinished();

  const std::string& name() const { return name_; }

private:
  // Shared with the operations' observers, which may outlive the queue.
  struct Core;
  std::string name_;
  std::shared_ptr<Core> core_;
};

}  // namespace plat
