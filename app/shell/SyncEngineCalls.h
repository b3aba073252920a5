// What the windows ask of the sync engine about local paths: where a cloud
// path lives on disk, and copying a tree. The linked folders are the
// engine's own calls (SyncManager::add_link and the others).
#pragma once

#include <optional>
#include <string>

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

}  // namespace syncengine
