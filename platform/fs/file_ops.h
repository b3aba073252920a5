// The engine's own writes on disk. inotify reports our own changes like any
// other, so every write of the engine goes through FileOps, which remembers
// the path and the exact state it leaves (absent, or kind, size, inode and
// nanosecond modification time). The watcher drops an event whose path is in
// exactly that state; any later change (even within the same second at the
// same size) no longer matches and passes. Entries live 30 s of the clock.
// The watcher reads on its own thread and may judge an event before the
// write returns, so each state is registered before the step that makes it:
// a file is finished under a private name and its state known before the
// rename; a private name counts as ours in any state; a folder being made
// counts as ours as a folder of any inode until it exists. While a step
// runs, the state it replaces still counts as ours too, so an event of an
// earlier own write judged meanwhile is not taken for the user's.
// Thread-safe; one per process (shared()).
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/foundation/clock.h"
#include "platform/foundation/error.h"

namespace plat {

struct DiskState {
  bool exists = false;
  bool dir = false;
  uint64_t size = 0, inode = 0;
  int64_t mtimeNs = 0;
  bool operator==(const DiskState& o) const {
    return exists == o.exists && dir == o.dir && size == o.size && inode == o.inode && mtimeNs == o.mtimeNs;
  }
  static DiskState of(const std::string& path);  // without following a final link
};

class FileOps {
public:
  static constexpr double kKeep = 30;
  explicit FileOps(Clock* clock = nullptr);
  static FileOps& shared();

  // The state the path is in now is ours.
  void remember(const std::string& path);
  // The state the path is about to be put in is ours (known before the
  // write, so that the watcher can't read the event first).
  void remember(const std::string& path, const DiskState& state);
  // True when the path is in the state we left it in (an echo).
  bool isOwn(const std::string& path) const;
  // The same for a reported event; when it is not ours, someone else changed
  // the path after our last step there, and that step's state is forgotten:
  // the path coming back to it later (a folder we removed, made again by
  // another hand and removed again) is that writer's change, not an echo.
  bool isOwnEvent(const std::string& path);
  void forget(const std::string& path);
  void trim();  // drops entries older than kKeep
  size_t size() const;

  // Writes through which the engine changes the disk; each remembers what it left.
  bool writeFile(const std::string& path, std::string_view data, Error* error = nullptr);
  bool makeFolder(const std::string& path, Error* error = nullptr);
  bool move(const std::string& from, const std::string& to, Error* error = nullptr);
  // The same, failing (EEXIST) where anything, an empty folder too, is at `to`.
  bool moveNoReplace(const std::string& from, const std::string& to, Error* error = nullptr);
  bool remove(const std::string& path, Error* error = nullptr);  // a file, or a folder with all below it
  // A copy that keeps the source's modification time.
  bool copyFile(const std::string& from, const std::string& to, Error* error = nullptr);
  // A private copy that a process killed before its rename left behind:
  // named as ours, by a process that is gone (or by this one, not writing
  // it now). It holds nobody's content, and nothing else ever removes it.
  bool isLeftover(const std::string& path) const;
  // Removes the path (as our own change) when it is such a leftover.
  bool removeLeftover(const std::string& path);

private:
  bool moveTree(const std::string& from, const std::string& to, bool noReplace, Error* error);
  // exact: only that state; anyState: a private name of ours; anyFolder: a
  // folder we are making, whatever its inode.
  enum class Match { exact, anyState, anyFolder };
  struct Entry {
    DiskState state;
    double added = 0;
    Match match = Match::exact;
    bool hasBefore = false;  // a step is running: `before` is ours as well
    DiskState before;
  };
  // The state a step is about to leave; the one it replaces stays ours until
  // settle().
  void expect(const std::string& path, const DiskState& state, Match match = Match::exact);
  void settle(const std::string& path);
  bool matches(const Entry& e, const std::string& path) const;  // under mutex_
  void rememberTree(const std::string& path, int depth);
  // Writes `data` (or, with fromFd >= 0, the rest of that file) under a
  // private name beside `path`, with the given times, then renames it over
  // `path` with its state registered first.
  bool place(const std::string& path, std::string_view data, int fromFd, const struct timespec* times, Error* error);
  Clock* clock_;
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::set<std::string> placing_;  // private copies being written now
};

}  // namespace plat
