// The process's shared HTTP cache, in memory and on disk, each tier within
// its capacity; URLConnection consults it for GET exchanges. A private
// cache that keeps only what the service allows: whole 200 answers to a
// GET that went to no other address, not marked no-store, setting no
// cookie and varying by nothing; a request with credentials, a range or
// conditions of its own, or asking for no cache, passes it by. A kept
// answer is given back while fresh (Cache-Control max-age, else Expires
// against Date; no guessing); a stale one with a validator (ETag,
// Last-Modified) is asked about, and a 304 gives it back. An entry bigger
// than a twentieth of a tier's capacity is not kept in that tier. Any thread.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/net/http_message.h"

namespace plat {

struct CachedURLResponse {
  int status = 200;
  std::string statusLine;
  HeaderFields headers;
  Data body;
  double storedAt = 0;  // wall-clock seconds when the answer came (or was confirmed)

  std::optional<std::string> header(std::string_view name) const;
  size_t cost() const;
};

class URLCache {
public:
  URLCache(uint64_t memoryCapacity, uint64_t diskCapacity, std::string diskPath);

  // The cache every URLConnection uses; none by default.
  static std::shared_ptr<URLCache> shared();
  static void setShared(std::shared_ptr<URLCache> cache);

  std::optional<CachedURLResponse> cachedResponse(const std::string& url);
  // Kept when the answer may be (see storable); `url` is the request's.
  void storeCachedResponse(const std::string& url, CachedURLResponse response);
  void removeCachedResponse(const std::string& url);
  void removeAllCachedResponses();

  uint64_t memoryCapacity() const { return memoryCapacity_; }
  uint64_t diskCapacity() const { return diskCapacity_; }
  const std::string& diskPath() const { return diskPath_; }
  uint64_t currentMemoryUsage() const;
  uint64_t currentDiskUsage() const;
  // The most bytes one entry may take in the larger tier.
  uint64_t maxEntrySize() const;

  // ---- The rules ----
  // The request may be answered from (and fill) the cache.
  static bool cacheableRequest(std::string_view method, const HeaderFields& headers);
  // The answer may be kept.
  static bool storable(const HTTPMessage& response);
  // Seconds the answer stays fresh after it came (0 when it must be asked about).
  static double freshnessLifetime(const CachedURLResponse& r);
  static bool isFresh(const CachedURLResponse& r, double now);
  static bool hasValidator(const CachedURLResponse& r);
  // A kept answer confirmed by a 304: its fields updated by the 304's.
  static CachedURLResponse confirmed(CachedURLResponse kept, const HTTPMessage& notModified, double now);

private:
  struct Memory {
    CachedURLResponse response;
    std::list<std::string>::iterator lru;
  };
  struct OnDisk {
    uint64_t size = 0;
    uint64_t used = 0;  // the use's place in order, most recent highest
  };
  std::string fileFor(const std::string& url) const;
  void storeInMemoryLocked(const std::string& url, const CachedURLResponse& r);
  void storeOnDiskLocked(const std::string& url, const CachedURLResponse& r);
  void evictDiskLocked();
  void dropMemoryLocked(const std::string& url);
  void scanDiskLocked();

  const uint64_t memoryCapacity_, diskCapacity_;
  const std::string diskPath_;
  mutable std::mutex mutex_;
  std::map<std::string, Memory> memory_;
  std::list<std::string> lru_;  // most recent first
  uint64_t memoryUsage_ = 0;
  std::map<std::string, OnDisk> disk_;  // by file name
  uint64_t diskUsage_ = 0;
  uint64_t tick_ = 0;
  bool scanned_ = false;
};

// Seconds since 1970 of an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::optional<double> parseHTTPDate(std::string_view text);

}  // namespace plat
