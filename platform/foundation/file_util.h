// File helpers the system needs of the platform's file manager: folders made
// with their parents, files replaced atomically, stat through links, times.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace plat {

// An error of the POSIX domain for errno `code`, described by the operation,
// the path and the system's text.
Error posixError(int code, const std::string& what, const std::string& path);

struct FileStat {
  bool isDirectory = false;
  bool isRegular = false;
  bool isSymlink = false;  // only from statNoFollow
  uint64_t size = 0;
  Date modified;
  mode_t mode = 0;
  uint64_t inode = 0;
  uint64_t device = 0;
};

std::optional<FileStat> statFollow(const std::string& path);
std::optional<FileStat> statNoFollow(const std::string& path);
// An entry of the open folder `dirFd`, its own state (links not followed):
// no walk of the whole path for each entry of a folder.
std::optional<FileStat> statNoFollowAt(int dirFd, const std::string& name);
bool fileExists(const std::string& path);  // follows links
std::optional<uint64_t> fileSize(const std::string& path);  // follows links
bool isDirectory(const std::string& path);

// Makes the folder and any missing parents; true when it exists afterwards.
bool makeDirectories(const std::string& path, mode_t mode = 0755, Error* error = nullptr);
// Writes to a temporary file beside the target, flushes it to disk and
// renames it into place, so a crash leaves the old file or the new one.
bool atomicWrite(const std::string& path, std::string_view data, mode_t mode = 0644, Error* error = nullptr);
std::optional<std::string> readFile(const std::string& path, Error* error = nullptr);
// Writes all n bytes, going on after short writes and interruptions; false
// (with errno set by the failing write) when the descriptor takes no more.
bool writeAll(int fd, const void* bytes, size_t n);
bool setModificationTime(const std::string& path, Date when, Error* error = nullptr);
// Takes group and other access from a regular file, never through a link
// (a link is refused, and what it leads to keeps its mode); true only when the
// file is then checked to be owner-only.
bool makeOwnerOnly(const std::string& path, Error* error = nullptr);
// Removes a file, or a folder with everything in it; true when gone.
bool removeTree(const std::string& path, Error* error = nullptr);

std::string temporaryDirectory();  // $TMPDIR or /tmp, without a trailing slash
std::string homeDirectory();       // $HOME, else the password database
// A new, empty, private folder under the temporary folder.
std::string makeTemporaryDirectory(const std::string& prefix);

// Path text helpers.
std::string pathJoin(std::string_view a, std::string_view b);
std::string pathDirname(std::string_view path);
std::string pathBasename(std::string_view path);

}  // namespace plat
