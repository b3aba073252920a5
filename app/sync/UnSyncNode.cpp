#include "app/sync/UnSyncNode.h"

#include <algorithm>

#include "app/sync/SyncPath.h"

void UnSyncNode::setnode(const std::vector<UnSyncNodeItem>& items) {
  std::lock_guard<std::mutex> l(lock_);
  array_.insert(array_.end(), items.begin(), items.end());
}

void UnSyncNode::setunsyncnodes(const std::string& folder, const std::vector<UnSyncNodeItem>& nodes) {
  std::lock_guard<std::mutex> l(lock_);
  if (folder.empty()) {
    array_.clear();
  } else {
    std::erase_if(array_, [&](const UnSyncNodeItem& e) { return syncpath::within(e.path, folder); });
  }
  array_.insert(array_.end(), nodes.begin(), nodes.end());
}

bool UnSyncNode::add(const std::string& path, int64_t type) {
  std::lock_guard<std::mutex> l(lock_);
  for (auto& e : array_) {
    if (syncpath::same(e.path, path)) {
      e.type = type;
      return false;
    }
  }
  array_.push_back({path, type});
  return true;
}

bool UnSyncNode::remove(const std::string& path) {
  std::lock_guard<std::mutex> l(lock_);
  return std::erase_if(array_, [&](const UnSyncNodeItem& e) { return syncpath::within(e.path, path); }) > 0;
}

bool UnSyncNode::need_sync(const std::string& path, bool bdir) const {
  std::lock_guard<std::mutex> l(lock_);
  const std::string parent = syncpath::parentOf(path);
  for (const auto& e : array_) {
    if (e.type != 2) {
      if (e.path.empty() || syncpath::within(path, e.path)) return false;
    } else if (!bdir && syncpath::same(parent, e.path)) {
      return false;
    }
  }
  return true;
}

bool UnSyncNode::checksync(const std::string& path, int64_t type) const {
  std::lock_guard<std::mutex> l(lock_);
  for (const auto& e : array_) {
    if (e.type != 2) {
      if (e.path.empty() || syncpath::within(path, e.path)) return false;
    } else if (syncpath::same(e.path, path)) {
      return type != 2;
    }
  }
  return true;
}

std::vector<UnSyncNodeItem> UnSyncNode::getlist() const {
  std::lock_guard<std::mutex> l(lock_);
  return array_;
}
