// The plug-in's copies of the three sets it rebuilds from the sync database:
// the linked folders, the excluded paths and the share roots. Paths compare
// as the main application compares them (letter case folded in every script;
// a path lies in a root when it equals it or begins with the root and "/").
// Each set holds its own lock for every operation; the polling thread
// replaces the contents while the file manager's thread asks.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace finder {

namespace paths {
bool same(std::string_view a, std::string_view b);
bool within(std::string_view path, std::string_view root);
// What follows `root` in `path`, in the path's own letters.
std::string restAfter(std::string_view path, std::string_view root);
}  // namespace paths

struct LinkFolderNode {
  std::string webpath;   // LINKNODE srcpath
  std::string fullpath;  // LINKNODE dstpath
};

class LinkFolder {
public:
  // Empties the list, then copies the nodes in order.
  void set(const std::vector<LinkFolderNode>& nodes);
  // The cloud path of a disk path inside a link, "" when none holds it.
  std::string getrelativepath(const std::string& fullpath) const;
  bool islinkforwebpath(const std::string& webpath) const;
  bool islinkforfullpath(const std::string& fullpath) const;
  std::vector<LinkFolderNode> getlinknodes() const;

private:
  mutable std::mutex cs_;
  std::vector<LinkFolderNode> nodes_;
};

struct UnSyncNodeItem {
  std::string path;
  int64_t type = 0;  // 0: the path and all below it; 2: only the files directly in it
};

class UnSyncNode {
public:
  // Empties the list, then adds the items.
  void setnode(const std::vector<UnSyncNodeItem>& items);
  // Whether the cloud path is to be synced.
  bool need_sync(const std::string& path, bool bdir) const;

private:
  mutable std::mutex lock_;
  std::vector<UnSyncNodeItem> items_;
};

struct ShareNode {
  std::string webpath;
  int64_t type = 0;  // synctype: 1 the user only views it
  int64_t local = 0;
  int64_t org = 0;
};

class SyncShare {
public:
  void add(const std::string& path, int64_t synctype, int64_t local, int64_t org);
  void removeall();
  // The first root holding the path is a team root.
  bool isorg(const std::string& path) const;

private:
  mutable std::mutex cs_;
  std::vector<ShareNode> nodes_;
};

}  // namespace finder
