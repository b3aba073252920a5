// What a request asks of its download cache. The request does not own it.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/net/url.h"

class HCHTTPRequest;

// Cache policy bits.
enum HCCachePolicy : int {
  CacheUseDefault = 0,
  CacheSkipRead = 1,
  CacheSkipWrite = 2,
  CacheRevalidateWhenStale = 4,
  CacheAlwaysRevalidate = 8,
  CachePreferCached = 16,
  CacheOnly = 32,
  CacheFallbackOnFailure = 64,
};

// Storage policy: the session store (emptied at each start of a cache on its
// folder), or the permanent one.
enum HCCacheStoragePolicy : int {
  StoreForSession = 0,
  StorePermanently = 1,
};

class HCCacheDelegate {
public:
  virtual ~HCCacheDelegate() = default;
  virtual int defaultCachePolicy() const = 0;
  virtual void storeResponseForRequest(HCHTTPRequest& request, double maxAge) = 0;
  virtual void updateExpiryForRequest(HCHTTPRequest& request, double maxAge) = 0;
  virtual std::optional<plat::Dictionary> cachedResponseHeadersForURL(const plat::URL& url) = 0;
  virtual std::optional<plat::Data> cachedResponseDataForURL(const plat::URL& url) = 0;
  virtual std::optional<std::string> pathToCachedResponseDataForURL(const plat::URL& url) = 0;
  virtual std::optional<std::string> pathToStoreCachedResponseDataForRequest(HCHTTPRequest& request) = 0;
  virtual void removeCachedDataForURL(const plat::URL& url) = 0;
  virtual bool isCachedDataCurrentForRequest(HCHTTPRequest& request) = 0;
  virtual bool canUseCachedDataForRequest(HCHTTPRequest& request) = 0;
  virtual void clearCachedResponsesForStoragePolicy(int storagePolicy) = 0;
};
