// A folder's own icon in the file manager: GIO's metadata attribute
// "metadata::custom-icon", which Nautilus reads for the folder's icon. The
// metadata lives in the desktop's metadata service (gvfs), reached over the
// session bus; without it nothing is stored and the calls say so.
#pragma once

#include <optional>
#include <string>

namespace plat {

// Gives the folder the icon file; false when the folder is missing or the
// metadata can't be written.
bool setFolderCustomIcon(const std::string& folder, const std::string& iconFile);
// The icon's address (a file:// URI) the folder carries, if any.
std::optional<std::string> folderCustomIcon(const std::string& folder);

}  // namespace plat
