// What the windows ask of the sync engine about local paths and linked
// folders. The linked-folder calls go to the engine's own operations once
// it has them; until then they answer nothing and the caller is told, so
// no folder is moved without its link being kept.
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
