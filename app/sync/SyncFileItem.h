// SyncFileItem: one row of the SYNC table in memory; SyncVersion: one row of
// the VERSION table (also a plain carrier of a path and a number for the
// sync-now requests). Plain values, copied freely.
#pragma once

#include <cstdint>
#include <string>

// SYNC status codes; the Finder plug-in reads the same numbers.
namespace syncstatus {
constexpr int64_t none = -1;         // no row
constexpr int64_t uploading = 1;     // upload handed to the transfer engine
constexpr int64_t downloading = 2;   // download handed to the transfer engine
constexpr int64_t toUpload = 3;
constexpr int64_t synced = 4;
constexpr int64_t toDownload = 5;
constexpr int64_t toRemove = 6;      // to remove on disk
constexpr int64_t excluded = 7;
constexpr int64_t toReupload = 8;    // upload again after a reset on the service
constexpr int64_t toDelete = 9;      // removed on disk, to delete on the service
}  // namespace syncstatus

// Lock codes of a SYNC row.
namespace synclock {
constexpr int64_t none = 0;
constexpr int64_t other = 1;  // locked by another member
constexpr int64_t mine = 2;   // locked by the signed-in user
}  // namespace synclock

struct SyncFileItem {
  std::string webpath;  // path
  std::string parent;
  std::string filehash;
  std::string membername;
  uint64_t size = 0;  // filesize
  uint64_t last = 0;  // local modification time, seconds since 1970
  // -1 until a row is read: an operation that matched no row leaves it.
  int64_t status = syncstatus::none;
  bool file = false;  // type: true for a file
  int64_t version = 0;
  int64_t memberid = 0;
  int64_t diskversion = 0;
  int64_t lock = 0;
  int64_t actlast = 0;  // hand-out stamp, seconds since 2001

  bool operator==(const SyncFileItem&) const = default;
};

struct SyncVersion {
  std::string webpath;  // "/" for the mount root, "/<share>/" for a shared root
  int64_t version = 0;
  int64_t dateline = 0;
  std::string changekey;
  int64_t synctype = 0;  // 1: the user only views this root
  int64_t local = 0;     // 1: synced files may be offered to peers
  int64_t org = 0;       // 1: a root of the team files

  bool operator==(const SyncVersion&) const = default;
};
