// HCDownloadCache: the on-disk response cache. Per URL it keeps a headers
// file and a body file, named by the MD5 of the URL, in "SessionStore" or
// "PermanentStore" under its storage path; it decides by a request's cache
// policy whether a stored response may answer it. Every access holds the
// recursive accessLock, so requests on the network thread and callers on
// other threads may share one cache.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Framework/HCHTTP/HCCacheDelegate.h"

class HCDownloadCache : public HCCacheDelegate {
public:
  HCDownloadCache();

  // $XDG_CACHE_HOME (else ~/.cache)/Quorva/HCHTTPRequestCache, made on first use.
  static HCDownloadCache* sharedCache();
  // $XDG_CACHE_HOME/Quorva (~/.cache/Quorva), not made here.
  static std::string userCachesFolder();
  static const std::vector<std::string>& fileExtensionsToHandleAsHTML();
  static bool serverAllowsResponseCachingForRequest(const HCHTTPRequest& request);
  // 32 upper-case hex digits, or none for an empty URL text.
  static std::optional<std::string> keyForURL(const plat::URL& url);

  std::optional<std::string> storagePath() const;
  // Throws plat::Exception "FileExistsAtCachePath" or "FailedToCreateCacheDirectory".
  void setStoragePath(std::optional<std::string> path);

  int defaultCachePolicy() const override;
  void setDefaultCachePolicy(int policy);
  bool shouldRespectCacheControlHeaders() const;
  void setShouldRespectCacheControlHeaders(bool respect);
  std::recursive_mutex& accessLock() const { return *_accessLock; }

  std::optional<plat::Date> expiryDateForRequest(const HCHTTPRequest& request, double maxAge) const;
  void updateExpiryForRequest(HCHTTPRequest& request, double maxAge) override;
  void storeResponseForRequest(HCHTTPRequest& request, double maxAge) override;
  std::optional<plat::Dictionary> cachedResponseHeadersForURL(const plat::URL& url) override;
  std::optional<plat::Data> cachedResponseDataForURL(const plat::URL& url) override;
  std::optional<std::string> pathToCachedResponseDataForURL(const plat::URL& url) override;
  std::optional<std::string> pathToCachedResponseHeadersForURL(const plat::URL& url);
  std::optional<std::string> pathToFile(const std::string& fileName);
  std::optional<std::string> pathToStoreCachedResponseDataForRequest(HCHTTPRequest& request) override;
  std::optional<std::string> pathToStoreCachedResponseHeadersForRequest(HCHTTPRequest& request);
  void removeCachedDataForURL(const plat::URL& url) override;
  void removeCachedDataForRequest(HCHTTPRequest& request);
  bool isCachedDataCurrentForRequest(HCHTTPRequest& request) override;
  bool canUseCachedDataForRequest(HCHTTPRequest& request) override;
  // Throws plat::Exception "FailedToTraverseCacheDirectory" or "FailedToRemoveCacheFile".
  void clearCachedResponsesForStoragePolicy(int storagePolicy) override;

  // The headers file: one "name\tvalue" line each, CR, LF, tab and backslash escaped.
  static std::string encodeHeaders(const plat::Dictionary& headers);
  static plat::Dictionary decodeHeaders(std::string_view text);

private:
  static std::string bodyExtensionForURL(const plat::URL& url);
  std::optional<std::string> storePathForRequestLocked(HCHTTPRequest& request, const std::string& extension);

  int _defaultCachePolicy = CacheRevalidateWhenStale;
  std::optional<std::string> _storagePath;
  std::shared_ptr<std::recursive_mutex> _accessLock = std::make_shared<std::recursive_mutex>();
  bool _shouldRespectCacheControlHeaders = true;
};
