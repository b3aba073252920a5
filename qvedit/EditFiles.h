// The files of the edit helper's jobs. Each job has a private folder (0700)
// under "$XDG_CACHE_HOME/qvedit", named from the mount id and the cloud
// path, so two files of the same name never share a copy: "edit/" holds the
// copy the editor opens, "parts/" the partial download and the upload
// snapshot, so no cloud name can meet a name of the helper's own. Only
// files are ever removed, never a folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace EditFiles {

// "$XDG_CACHE_HOME/qvedit" (or "~/.cache/qvedit").
std::string cacheRoot();
// The job's folder under `root`, made with its "edit/" and "parts/" folders,
// each 0700 and ours; empty when that can't be had.
std::string makeJobFolder(const std::string& root, int64_t mountId, const std::string& webpath);
std::string editFolder(const std::string& jobFolder);
std::string partialDownload(const std::string& jobFolder);
std::string uploadSnapshot(const std::string& jobFolder);

// Identity and content stamp of a regular file (device, inode, size and the
// modification time to the nanosecond); empty for anything else.
std::string stamp(const std::string& path);
// The modification time as "yyyy-MM-dd HH:mm:ss" (local), empty when missing.
std::string modifyTimeText(const std::string& path);

bool existfile(const std::string& path);
// True when the path exists already or an empty file could be made there.
bool createfile(const std::string& path);
// Removes the file (or link) at the path; a folder is never removed.
bool deletefile(const std::string& path);

}  // namespace EditFiles
