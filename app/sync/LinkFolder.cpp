#include "app/sync/LinkFolder.h"

#include <algorithm>

#include "app/sync/SyncPath.h"

void LinkFolder::set(const std::vector<LinkFolderNode>& nodes) {
  std::lock_guard<std::mutex> l(_cs);
  _nodes.insert(_nodes.end(), nodes.begin(), nodes.end());
}

void LinkFolder::add(const std::string& webpath, const std::string& fullpath) {
  std::lock_guard<std::mutex> l(_cs);
  for (auto& n : _nodes) {
    if (syncpath::same(n.webpath, webpath)) {
      n.fullpath = fullpath;
      return;
    }
  }
  _nodes.push_back({webpath, fullpath});
}

bool LinkFolder::remove(const std::string& webpath, bool same) {
  std::lock_guard<std::mutex> l(_cs);
  if (same) {
    auto it = std::find_if(_nodes.begin(), _nodes.end(),
                           [&](const LinkFolderNode& n) { return syncpath::same(n.webpath, webpath); });
    if (it == _nodes.end()) return false;
    _nodes.erase(it);
    return true;
  }
  return std::erase_if(_nodes, [&](const LinkFolderNode& n) { return syncpath::within(n.webpath, webpath); }) > 0;
}

bool LinkFolder::islink(const std::string& webpath) const {
  std::lock_guard<std::mutex> l(_cs);
  return std::any_of(_nodes.begin(), _nodes.end(),
                     [&](const LinkFolderNode& n) { return syncpath::same(webpath, n.webpath); });
}

bool LinkFolder::islinkforwebpath(const std::string& webpath) const {
  std::lock_guard<std::mutex> l(_cs);
  return std::any_of(_nodes.begin(), _nodes.end(),
                     [&](const LinkFolderNode& n) { return syncpath::within(webpath, n.webpath); });
}

bool LinkFolder::islinkforfullpath(const std::string& fullpath) const {
  std::lock_guard<std::mutex> l(_cs);
  return std::any_of(_nodes.begin(), _nodes.end(),
                     [&](const LinkFolderNode& n) { return syncpath::within(fullpath, n.fullpath); });
}

std::string LinkFolder::getnormalpath(const std::string& webpath) const {
  std::lock_guard<std::mutex> l(_cs);
  for (const auto& n : _nodes) {
    if (syncpath::within(webpath, n.webpath)) return n.fullpath + syncpath::restAfter(webpath, n.webpath);
  }
  return {};
}

std::string LinkFolder::getrelativepath(const std::string& fullpath) const {
  std::lock_guard<std::mutex> l(_cs);
  for (const auto& n : _nodes) {
    if (syncpath::within(fullpath, n.fullpath)) return n.webpath + syncpath::restAfter(fullpath, n.fullpath);
  }
  return {};
}

std::vector<LinkFolderNode> LinkFolder::getlinknodes() const {
  std::lock_guard<std::mutex> l(_cs);
  return _nodes;
}
