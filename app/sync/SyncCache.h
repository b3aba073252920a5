// SyncCache: the local file cache of the signed-in user, "<config>/<user id>/
// cache": whole files named by their content hash H (40 lowercase hex
// digits) in the subfolder named by H's first two characters. A file enters
// when the engine is about to lose a local copy or has just got one; the
// download hand-off and the LAN service read it; it is trimmed to 1 GiB.
//
// Threads: any thread. The lock makes each test-and-copy, each lookup and
// each whole trim atomic with respect to one another. Only names that are
// checked hashes are ever made, found or deleted here: nothing else in the
// folder belongs to the cache.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct CacheFileItem {
  std::string path;
  int64_t size = 0;
  int64_t time = 0;  // when the file was cached, seconds since 1970
};

class SyncCache {
public:
  // Files of this size or more are never cached.
  static constexpr uint64_t kMaxFile = 536870912;  // 512 MiB
  static constexpr int64_t kTrimLimit = 1073741824;  // 1 GiB, what the engine passes

  explicit SyncCache(const std::string& path);
  SyncCache(const SyncCache&) = delete;
  SyncCache& operator=(const SyncCache&) = delete;

  const std::string& path() const { return path_; }

  // True when the hash is in the cache afterwards.
  bool addcache(const std::string& file, const std::string& filehash);
  // The same for a file the caller gives up (a finished download, already
  // flushed): renamed into the cache when it lies on the cache's file
  // system, copied otherwise. The file is gone afterwards either way.
  bool movecache(const std::string& file, const std::string& filehash);
  // The cached file of the hash, "" when there is none.
  std::string getcache(const std::string& filehash);
  // Keeps the newest files while their sizes add up to less than `limit`.
  void clean(int64_t limit);
  void clear();
  // Every cache file under the folder (names that are hashes in their own
  // two-character folder), appended to `out`.
  void findfile(const std::string& dir, std::vector<CacheFileItem>& out) const;

  // 40 lowercase hexadecimal digits.
  static bool isContentHash(const std::string& s);

private:
  std::string target(const std::string& filehash) const;

  std::mutex lock_;
  const std::string path_;
};
