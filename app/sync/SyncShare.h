// SyncShare: the shared roots of the signed-in mount (folders shared with
// the user and the roots of the team area) with the user's permission and
// the service's flags; it answers, for any cloud path, in which root it lies.
// The first root in insertion order that holds a path decides.
//
// Threads: any thread may call any operation; each holds the set's own lock
// for its whole run and calls nothing outside the set. What leaves the set
// is a copy or a plain value.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct ShareNode {
  std::string webpath;  // cloud path of the root, no leading or trailing slash
  int64_t type = 0;     // 1: the user only views it; 0: full access
  int64_t local = 0;    // above 0: synced files may be offered to peers
  int64_t org = 0;      // above 0: a root of the team area
  bool operator==(const ShareNode&) const = default;
};

class SyncShare {
public:
  SyncShare() = default;
  SyncShare(const SyncShare&) = delete;
  SyncShare& operator=(const SyncShare&) = delete;

  // Updates the flags of the root equal to the path (keeping its letters),
  // or appends a new root.
  void add(const std::string& path, int64_t synctype, int64_t local, int64_t org);
  // same: only the root equal to the path; otherwise also every root under it.
  bool remove(const std::string& path, bool same);
  // The root equal to the old path takes the new one; roots under it stay.
  bool rename(const std::string& oldpath, const std::string& newwebpath);
  bool get(const std::string& path, ShareNode& node) const;
  bool isorg(const std::string& path) const;
  bool isreadonly(const std::string& path) const;
  // On true, `parent` receives the read-only root's path.
  bool isreadonly(const std::string& path, std::string& parent) const;
  bool islocal(const std::string& path) const;
  // A root equals the path; with same false also when a root lies under it.
  bool isshare(const std::string& path, bool same) const;
  // On a match sets share to 1, and local to 1 for a local root; never 0.
  void getshare(const std::string& path, int64_t& share, int64_t& local) const;
  std::vector<ShareNode> getall() const;
  std::vector<ShareNode> getallorg() const;

private:
  // The first root holding the path, or null. Called with the lock held.
  const ShareNode* containing(const std::string& path) const;

  mutable std::mutex _cs;
  std::vector<ShareNode> _nodes;
};
