// Directoryhandler: the watcher of one root of the sync engine (the
// personal root, the team root or a linked folder). A plat::FolderWatcher
// reads the folder's events on a thread of its own; each batch becomes one
// DirectoryhandlerTask on the handler's serial queue, which pairs the halves
// of renames and moves and calls the local-event operations of its owner.
//
// States: made (reporting), stopped (stopMonitoring: no thread, no events).
// isWatchingPaths may be cleared and set from any thread; events that arrive
// while it is clear are dropped, and so are the events of a folder that the
// owner no longer counts as a root. The events waiting for the task queue are
// bounded: past the bound they are dropped and the root is scanned again
// instead. Any thread may start or stop the handler; the owner outlives it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/serial_queue.h"
#include "platform/fs/folder_watcher.h"

// What a handler's tasks call; SyncManager answers them.
class LocalEvents {
public:
  virtual ~LocalEvents() = default;
  virtual bool eventadd(const std::string& path) = 0;
  virtual bool eventupdate(const std::string& path) = 0;
  virtual bool eventdel(const std::string& path) = 0;
  virtual bool eventrename(const std::string& oldpath, const std::string& newpath, bool push) = 0;
  virtual bool eventremove(const std::string& oldpath, const std::string& newpath, bool push) = 0;
  // Events of the root were lost: the whole root is scanned again.
  virtual void rescanroot(const std::string& root) = 0;
  // The system's watch limit is reached below `root`: folders past it are
  // seen only by scans. Once per watcher.
  virtual void watchlimit(const std::string& root) { (void)root; }
  // Whether the folder reported as `root` is still one of the owner's roots.
  virtual bool watching(const std::string& root) = 0;
  virtual void lock() = 0;
  virtual void unlock() = 0;
};

struct HandlerItem {
  std::string path;
  int64_t type = 0;  // 0 file, 1 folder, 2 symbolic link
  int64_t itemid = 0;
  bool bCreate = false, bRemove = false, bRename = false, bModify = false;
  bool bUse = false;
};

class Directoryhandler;

class DirectoryhandlerTask {
public:
  DirectoryhandlerTask(Directoryhandler* handler, std::vector<HandlerItem> array)
      : handler_(handler), array_(std::move(array)) {}
  void main();

private:
  Directoryhandler* handler_;
  std::vector<HandlerItem> array_;
};

class Directoryhandler {
public:
  // Events waiting for the task queue before a rescan takes their place.
  static constexpr size_t kBacklog = 200000;

  Directoryhandler(const std::string& path, LocalEvents* manager);
  ~Directoryhandler();
  Directoryhandler(const Directoryhandler&) = delete;
  Directoryhandler& operator=(const Directoryhandler&) = delete;

  void setPath(const std::string& src, const std::string& dst);
  void renamePath(const std::string& dst);
  void startMonitoringThread();
  void stopMonitoring();
  // Waits until every task queued so far has run.
  void drain();
  void setBacklogLimit(size_t events) { backlogLimit_.store(events); }
  // Test seams of the watcher (see FolderWatcher): a low watch limit, taken
  // at the next start, and events lost as in a queue overflow.
  void setWatchLimit(size_t watches) { watchLimit_.store(watches); }
  void injectOverflow();
  // Batches and rescans run since the handler was made (for watching it work).
  int64_t tasks() const { return tasks_.load(); }
  int64_t rescans() const { return rescans_.load(); }
  int64_t overflows() const { return overflows_.load(); }

  std::string srcPath() const;
  std::string dstPath() const;
  bool isWatchingPaths() const { return isWatchingPaths_.load(); }
  void setWatchingPaths(bool v) { isWatchingPaths_.store(v); }

  // The path under which an item is reported: the source folder at its
  // head replaced by the destination when replacing.
  std::string reported(const std::string& path) const;
  // The watched folder as it is reported, without a final "/".
  std::string reportedRoot() const;
  LocalEvents* manager() const { return manager_; }
  // The batch as the task receives it, from the watcher's events.
  static std::vector<HandlerItem> items(const std::vector<plat::FsEvent>& events);

private:
  friend class DirectoryhandlerTask;
  void callback(std::vector<plat::FsEvent> events);
  // Drops what waits and queues one rescan of the root.
  void overflow();

  mutable std::mutex mutex_;  // guards the two paths and bReplace
  std::string srcPath_, dstPath_;
  bool bReplace_ = false;
  LocalEvents* manager_;
  std::atomic<bool> isWatchingPaths_{true};
  std::mutex streamMutex_;  // guards eventStream_ (start and stop come from any thread)
  std::unique_ptr<plat::FolderWatcher> eventStream_;
  std::atomic<size_t> backlog_{0}, backlogLimit_{kBacklog}, watchLimit_{0};
  std::atomic<int64_t> overflows_{0};
  std::atomic<bool> overflowed_{false};  // a rescan is queued; events until it runs are dropped
  std::atomic<int64_t> tasks_{0}, rescans_{0};
  std::unique_ptr<plat::SerialQueue> taskqueue_;
};
