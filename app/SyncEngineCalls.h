// What the windows ask of the sync engine beyond what every engine offers:
// selective-sync changes, file states and linked folders. Each call goes to
// the engine's own operation where the engine has it; where it does not
// yet, the fallback says what happens instead (for the linked folders:
// nothing, and the caller is told, so no folder is moved without its link
// being kept).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/sync/SyncManager.h"

namespace syncengine {

// A cloud path or a relative page path that holds "." or ".." as a
// component, a NUL or a line break: never a path of ours.
bool hasDotSegment(const std::string& path);

// The local path of a cloud path, only when it stays inside the sync
// folders (the sync parent or a linked folder), on paper and on disk (a
// link inside may not lead out); nothing otherwise.
std::optional<std::string> localPathOf(SyncManager& s, const std::string& webpath);

// Copies the tree at `from` to a new folder `to`: links to the same place,
// folders made, files copied; false at the first failure (what was copied
// stays).
bool copyTree(const std::string& from, const std::string& to);

// Replaces the excluded folders at or under `webpath` ("" for the whole
// account) and applies the change.
template <class Sync = SyncManager>
void setUnsyncnodes(Sync& s, const std::string& webpath, const std::vector<UnSyncNodeItem>& nodes) {
  if constexpr (requires { s.setUnsyncnodes(webpath, nodes); }) {
    s.setUnsyncnodes(webpath, nodes);
  } else {
    // The set in memory and in SYNCNODES; the engine's next pass follows it.
    s.unsyncnode().setunsyncnodes(webpath, nodes);
    s.syncdb()->insert_unsync_nodes(s.unsyncnode().getlist());
    s.setBSyncnow(true);
  }
}

// True when the engine changed the file's state.
template <class Sync = SyncManager>
bool setfilestatus(Sync& s, const std::string& webpath, int64_t dir, int64_t status) {
  if constexpr (requires { s.setfilestatus(webpath, dir, status); }) {
    s.setfilestatus(webpath, dir, status);
    return true;
  } else {
    return false;
  }
}

// Nothing when the engine keeps no linked folders.
template <class Sync = SyncManager>
std::optional<bool> add_link(Sync& s, const std::string& webpath, const std::string& fullpath) {
  if constexpr (requires { s.add_link(webpath, fullpath); }) {
    return s.add_link(webpath, fullpath);
  } else {
    return std::nullopt;
  }
}

template <class Sync = SyncManager>
std::optional<bool> remove_link(Sync& s, const std::string& webpath) {
  if constexpr (requires { s.remove_link(webpath); }) {
    return s.remove_link(webpath);
  } else {
    return std::nullopt;
  }
}

template <class Sync = SyncManager>
std::optional<std::string> getlinkpathjson(Sync& s) {
  if constexpr (requires { s.getlinkpathjson(); }) {
    return s.getlinkpathjson();
  } else {
    return std::nullopt;
  }
}

// The folder the candidate conflicts with ("" for none); `unBind` cleared
// when it may not be linked. Nothing when the engine keeps no linked folders.
template <class Sync = SyncManager>
std::optional<std::string> check_dir_legecy(Sync& s, const std::string& path, bool& unBind) {
  if constexpr (requires { s.check_dir_legecy(path, unBind); }) {
    return s.check_dir_legecy(path, unBind);
  } else {
    return std::nullopt;
  }
}

}  // namespace syncengine
