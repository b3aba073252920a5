// UnSyncNode: the excluded folders of selective sync for the signed-in mount,
// in memory; it answers whether a cloud path is to be synced. It never
// touches the database: the sync manager writes getlist() back to SYNCNODES
// after each change.
//
// Threads: any thread may call any operation (the sync manager's threads,
// the watcher queues, the transfer threads, the main thread). Each takes the
// set's own lock for its whole run and calls nothing outside the set while
// it holds it; getlist() hands out a copy, so no caller holds the lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct UnSyncNodeItem {
  std::string path;  // cloud path, no leading or trailing slash, case as given
  // 0: the path and everything under it; 2: only the files directly in it.
  int64_t type = 0;
  bool operator==(const UnSyncNodeItem&) const = default;
};

class UnSyncNode {
public:
  UnSyncNode() = default;
  UnSyncNode(const UnSyncNode&) = delete;
  UnSyncNode& operator=(const UnSyncNode&) = delete;

  // Appends the items in order (the list may then repeat a path).
  void setnode(const std::vector<UnSyncNodeItem>& items);
  // Replaces the entries at or under `folder` by `nodes`; an empty folder
  // replaces the whole list.
  void setunsyncnodes(const std::string& folder, const std::vector<UnSyncNodeItem>& nodes);
  // True when a new entry was appended; false when one with the same path
  // existed, which then takes the type.
  bool add(const std::string& path, int64_t type);
  // Removes the entry and every entry under it; true when one went.
  bool remove(const std::string& path);
  // True when the path is to be synced.
  bool need_sync(const std::string& path, bool bdir) const;
  // True when an exclusion of that path and type is no longer in force.
  bool checksync(const std::string& path, int64_t type) const;
  // A copy of the list, in insertion order.
  std::vector<UnSyncNodeItem> getlist() const;

private:
  mutable std::mutex lock_;
  std::vector<UnSyncNodeItem> array_;
};
