#include "app/sync/SyncShare.h"

#include <algorithm>

#include "app/sync/SyncPath.h"

const ShareNode* SyncShare::containing(const std::string& path) const {
  for (const auto& n : _nodes) {
    if (syncpath::within(path, n.webpath)) return &n;
  }
  return nullptr;
}

void SyncShare::add(const std::string& path, int64_t synctype, int64_t local, int64_t org) {
  std::lock_guard<std::mutex> l(_cs);
  for (auto& n : _nodes) {
    if (syncpath::same(n.webpath, path)) {
      n.type = synctype, n.local = local, n.org = org;
      return;
    }
  }
  _nodes.push_back({path, synctype, local, org});
}

bool SyncShare::remove(const std::string& path, bool same) {
  std::lock_guard<std::mutex> l(_cs);
  if (same) {
    auto it = std::find_if(_nodes.begin(), _nodes.end(),
                           [&](const ShareNode& n) { return syncpath::same(n.webpath, path); });
    if (it == _nodes.end()) return false;
    _nodes.erase(it);
    return true;
  }
  return std::erase_if(_nodes, [&](const ShareNode& n) { return syncpath::within(n.webpath, path); }) > 0;
}

bool SyncShare::rename(const std::string& oldpath, const std::string& newwebpath) {
  std::lock_guard<std::mutex> l(_cs);
  for (auto& n : _nodes) {
    if (syncpath::same(n.webpath, oldpath)) {
      n.webpath = newwebpath;
      return true;
    }
  }
  return false;
}

bool SyncShare::get(const std::string& path, ShareNode& node) const {
  std::lock_guard<std::mutex> l(_cs);
  for (const auto& n : _nodes) {
    if (syncpath::same(n.webpath, path)) {
      node = n;
      return true;
    }
  }
  return false;
}

bool SyncShare::isorg(const std::string& path) const {
  std::lock_guard<std::mutex> l(_cs);
  const ShareNode* n = containing(path);
  return n && n->org > 0;
}

bool SyncShare::isreadonly(const std::string& path) const {
  std::lock_guard<std::mutex> l(_cs);
  const ShareNode* n = containing(path);
  return n && n->type == 1;
}

bool SyncShare::isreadonly(const std::string& path, std::string& parent) const {
  std::lock_guard<std::mutex> l(_cs);
  const ShareNode* n = containing(path);
  if (!n || n->type != 1) return false;
  parent = n->webpath;
  return true;
}

bool SyncShare::islocal(const std::string& path) const {
  std::lock_guard<std::mutex> l(_cs);
  const ShareNode* n = containing(path);
  return n && n->local > 0;
}

bool SyncShare::isshare(const std::string& path, bool same) const {
  std::lock_guard<std::mutex> l(_cs);
  return std::any_of(_nodes.begin(), _nodes.end(), [&](const ShareNode& n) {
    return syncpath::same(n.webpath, path) || (!same && syncpath::below(n.webpath, path));
  });
}

void SyncShare::getshare(const std::string& path, int64_t& share, int64_t& local) const {
  std::lock_guard<std::mutex> l(_cs);
  const ShareNode* n = containing(path);
  if (!n) return;
  share = 1;
  if (n->local > 0) local = 1;
}

std::vector<ShareNode> SyncShare::getall() const {
  std::lock_guard<std::mutex> l(_cs);
  return _nodes;
}

std::vector<ShareNode> SyncShare::getallorg() const {
  std::lock_guard<std::mutex> l(_cs);
  std::vector<ShareNode> out;
  std::copy_if(_nodes.begin(), _nodes.end(), std::back_inserter(out), [](const ShareNode& n) { return n.org > 0; });
  return out;
}
