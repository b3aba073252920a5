// A folder tree watched through inotify: one watch per folder, added as
// folders appear (made or moved in) and dropped as they go. Events come in
// batches: the first event of a quiet period opens a batch that is handed
// over `latency` seconds later, with the flags and kinds the sync engine
// reads. Event ids are process-wide; the two halves of one rename (one
// inotify cookie) get consecutive ids, and unrelated events are always at
// least 4 apart, so that two files created together never look like a
// rename. A lost event (queue overflow, watch limit reached) asks for a
// rescan of the root instead; before it runs, the tree is walked again and
// every folder that came in the lost window is watched. A full watch limit
// is told once (onLimit). Events on paths that FileOps says are in the
// state the engine left them in are dropped (a rename pair as a whole).
//
// Threads: start() runs the reading loop on a thread of its own; the
// callbacks run on it. stop() ends and joins it. Without start(), a test may
// drive pump() on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/clock.h"
#include "platform/fs/file_ops.h"
#include "platform/fs/inotify_watch.h"

namespace plat {

struct FsEvent {
  enum Kind : int { kFile = 0, kFolder = 1, kLink = 2 };
  std::string path;
  int64_t id = 0;
  int kind = kFile;
  bool created = false, removed = false, renamed = false, modified = false;
};

class FolderWatcher {
public:
  static constexpr double kLatency = 0.1;
  using Batch = std::function<void(std::vector<FsEvent>)>;
  using Rescan = std::function<void(const std::string& root)>;
  using Limit = std::function<void(const std::string& folder)>;

  FolderWatcher(std::string root, Batch onBatch, Rescan onRescan, Clock* clock = nullptr, FileOps* ops = nullptr,
                double latency = kLatency);
  ~FolderWatcher();
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Watches the root and every folder below it; false when the root cannot be watched.
  bool open(Error* error = nullptr);
  void start();
  void stop();
  // Waits up to `seconds` for events and delivers every batch that is due.
  void pump(double seconds);
  // Delivers what is collected now, due or not (for the end of a test).
  void flush();

  const std::string& root() const { return root_; }
  size_t watchCount() const;
  // Called once, on the reading thread, the first time a folder cannot be
  // watched because the watch limit is reached. Set before start().
  void setOnLimit(Limit onLimit) { onLimit_ = std::move(onLimit); }
  // Test seams: at most `watches` folders are watched, as if the system's
  // limit were that low (0: the system's own); and the events queued now are
  // lost as in a queue overflow (the next pump reads them away and reports one).
  void setWatchLimit(size_t watches) { watchLimit_ = watches; }
  void injectOverflow();
  static int64_t nextId(int64_t span);

private:
  void addTree(const std::string& folder, int depth);
  void limitReached(const std::string& folder);
  void dropTree(const std::string& folder);
  void movedTree(const std::string& from, const std::string& to);
  void take(std::vector<InotifyWatch::Event> events);
  void deliver();

  std::string root_;
  Batch onBatch_;
  Rescan onRescan_;
  Limit onLimit_;
  std::atomic<size_t> watchLimit_{0};
  std::atomic<bool> injected_{false};
  bool limitTold_ = false;
  bool rewalking_ = false;  // a rescan's walk: a full limit asks for no second rescan
  Clock* clock_;
  FileOps* ops_;
  double latency_;
  std::unique_ptr<InotifyWatch> watch_;
  mutable std::mutex mutex_;  // guards the watch maps
  std::map<int, std::string> folders_;
  std::map<std::string, int> watches_;
  std::vector<FsEvent> pending_;
  double batchStart_ = 0;
  bool rescan_ = false;
  std::atomic<bool> stop_{false};
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace plat
