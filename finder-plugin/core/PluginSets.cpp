#include "finder-plugin/core/PluginSets.h"

#include <algorithm>

#include "platform/foundation/case_fold.h"

namespace finder {

namespace paths {
bool same(std::string_view a, std::string_view b) { return plat::equalFolded(a, b); }

bool within(std::string_view path, std::string_view root) {
  const std::string p = plat::foldCase(path), r = plat::foldCase(root);
  if (p == r) return true;
  return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

std::string restAfter(std::string_view path, std::string_view root) {
  // Folding keeps code points one for one.
  size_t points = 0;
  for (char c : root) points += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  size_t i = 0;
  while (i < path.size() && points > 0) {
    ++i;
    while (i < path.size() && (static_cast<unsigned char>(path[i]) & 0xC0) == 0x80) ++i;
    --points;
  }
  return std::string(path.substr(i));
}
}  // namespace paths

void LinkFolder::set(const std::vector<LinkFolderNode>& nodes) {
  std::lock_guard<std::mutex> l(cs_);
  nodes_ = nodes;
}

std::string LinkFolder::getrelativepath(const std::string& fullpath) const {
  std::lock_guard<std::mutex> l(cs_);
  for (const auto& n : nodes_) {
    if (!n.fullpath.empty() && paths::within(fullpath, n.fullpath)) return n.webpath + paths::restAfter(fullpath, n.fullpath);
  }
  return {};
}

bool LinkFolder::islinkforwebpath(const std::string& webpath) const {
  std::lock_guard<std::mutex> l(cs_);
  return std::any_of(nodes_.begin(), nodes_.end(), [&](const LinkFolderNode& n) { return paths::within(webpath, n.webpath); });
}

bool LinkFolder::islinkforfullpath(const std::string& fullpath) const {
  std::lock_guard<std::mutex> l(cs_);
  return std::any_of(nodes_.begin(), nodes_.end(),
                     [&](const LinkFolderNode& n) { return !n.fullpath.empty() && paths::within(fullpath, n.fullpath); });
}

std::vector<LinkFolderNode> LinkFolder::getlinknodes() const {
  std::lock_guard<std::mutex> l(cs_);
  return nodes_;
}

void UnSyncNode::setnode(const std::vector<UnSyncNodeItem>& items) {
  std::lock_guard<std::mutex> l(lock_);
  items_ = items;
}

bool UnSyncNode::need_sync(const std::string& path, bool bdir) const {
  std::lock_guard<std::mutex> l(lock_);
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
  for (const auto& e : items_) {
    if (e.type != 2) {
      if (e.path.empty() || paths::within(path, e.path)) return false;
    } else if (!bdir && paths::same(parent, e.path)) {
      return false;
    }
  }
  return true;
}

void SyncShare::add(const std::string& path, int64_t synctype, int64_t local, int64_t org) {
  std::lock_guard<std::mutex> l(cs_);
  for (auto& n : nodes_) {
    if (paths::same(n.webpath, path)) {
      n.type = synctype, n.local = local, n.org = org;
      return;
    }
  }
  nodes_.push_back({path, synctype, local, org});
}

void SyncShare::removeall() {
  std::lock_guard<std::mutex> l(cs_);
  nodes_.clear();
}

bool SyncShare::isorg(const std::string& path) const {
  std::lock_guard<std::mutex> l(cs_);
  for (const auto& n : nodes_) {
    if (paths::within(path, n.webpath)) return n.org > 0;
  }
  return false;
}

}  // namespace finder
