#include "Framework/HCHTTP/HCDownloadCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/error.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/net/http_authentication.h"

using plat::Data;
using plat::Dictionary;
using plat::URL;
using plat::Value;

namespace {

constexpr const char* kSessionCacheFolder = "SessionStore";
constexpr const char* kPermanentCacheFolder = "PermanentStore";
constexpr const char* kExpiresKey = "X-HCHTTPRequest-Expires";
constexpr const char* kStatusKey = "X-HCHTTPRequest-Response-Status-Code";

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::optional<std::string> headerOf(const Dictionary& d, std::string_view name) {
  for (const auto& [k, v] : d) {
    if (v.isString() && lower(k) == lower(std::string(name))) return v.string();
  }
  return std::nullopt;
}

// A copy that a crash or a second writer can never leave half-written in place.
bool copyFileThroughTemporary(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  std::string tmp = to + ".XXXXXX";
  int out = ::mkstemp(tmp.data());
  if (out < 0) {
    ::close(in);
    return false;
  }
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0 || !plat::writeAll(out, buf, static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  ::close(in);
  if (ok) ok = ::fsync(out) == 0;
  if (::close(out) != 0) ok = false;
  if (ok) ok = ::rename(tmp.c_str(), to.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

void escapeInto(std::string& out, const std::string& s) {
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
}

std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

}  // namespace

HCDownloadCache::HCDownloadCache() { setDefaultCachePolicy(CacheUseDefault); }

HCDownloadCache* HCDownloadCache::sharedCache() {
  static std::mutex lock;
  static HCDownloadCache* shared = nullptr;
  std::lock_guard l(lock);
  if (!shared) {
    auto* cache = new HCDownloadCache();
    std::string folder = userCachesFolder();
    plat::makeDirectories(folder, 0700);
    cache->setStoragePath(plat::pathJoin(folder, "HCHTTPRequestCache"));
    shared = cache;
  }
  return shared;
}

std::string HCDownloadCache::userCachesFolder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  std::string base = xdg && *xdg == '/' ? std::string(xdg) : plat::pathJoin(plat::homeDirectory(), ".cache");
  return plat::pathJoin(base, "Quorva");
}

const std::vector<std::string>& HCDownloadCache::fileExtensionsToHandleAsHTML() {
  static const std::vector<std::string> list{"asp", "aspx", "jsp", "php", "rb", "py", "pl", "cgi"};
  return list;
}

bool HCDownloadCache::serverAllowsResponseCachingForRequest(const HCHTTPRequest& request) {
  if (auto cc = request.responseHeader("Cache-Control")) {
    std::string v = lower(*cc);
    if (v == "no-cache" || v == "no-store") return false;
  }
  if (auto pragma = request.responseHeader("Pragma")) {
    if (lower(*pragma) == "no-cache") return false;
  }
  return true;
}

std::optional<std::string> HCDownloadCache::keyForURL(const URL& url) {
  std::string text = url.absoluteString();
  if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  if (text.empty()) return std::nullopt;
  if (text.back() == '/') text.pop_back();
  std::string hex = plat::hexDigest("MD5", text);
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex;
}

std::string HCDownloadCache::bodyExtensionForURL(const URL& url) {
  std::string name = plat::pathBasename(url.path());
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size() || dot == 0) return "html";
  std::string ext = name.substr(dot + 1);
  const auto& html = fileExtensionsToHandleAsHTML();
  if (std::find(html.begin(), html.end(), lower(ext)) != html.end()) return "html";
  return ext;
}

std::optional<std::string> HCDownloadCache::storagePath() const {
  std::lock_guard l(*_accessLock);
  return _storagePath;
}

void HCDownloadCache::setStoragePath(std::optional<std::string> path) {
  std::lock_guard l(*_accessLock);
  clearCachedResponsesForStoragePolicy(StoreForSession);
  _storagePath = std::move(path);
  if (!_storagePath) return;
  for (const std::string& dir : {*_storagePath, plat::pathJoin(*_storagePath, kSessionCacheFolder),
                                 plat::pathJoin(*_storagePath, kPermanentCacheFolder)}) {
    if (auto st = plat::statFollow(dir)) {
      if (st->isDirectory) continue;
      throw plat::Exception("FileExistsAtCachePath",
                            plat::format("Cannot create a directory for the cache at '%@', because a file already exists", dir));
    }
    ::mkdir(dir.c_str(), 0700);
    if (!plat::isDirectory(dir)) {
      throw plat::Exception("FailedToCreateCacheDirectory",
                            plat::format("Failed to create a directory for the cache at '%@'", dir));
    }
  }
  clearCachedResponsesForStoragePolicy(StoreForSession);
}

int HCDownloadCache::defaultCachePolicy() const {
  std::lock_guard l(*_accessLock);
  return _defaultCachePolicy;
}

void HCDownloadCache::setDefaultCachePolicy(int policy) {
  std::lock_guard l(*_accessLock);
  _defaultCachePolicy = policy == CacheUseDefault ? CacheRevalidateWhenStale : policy;
}

bool HCDownloadCache::shouldRespectCacheControlHeaders() const {
  std::lock_guard l(*_accessLock);
  return _shouldRespectCacheControlHeaders;
}

void HCDownloadCache::setShouldRespectCacheControlHeaders(bool respect) {
  std::lock_guard l(*_accessLock);
  _shouldRespectCacheControlHeaders = respect;
}

std::optional<plat::Date> HCDownloadCache::expiryDateForRequest(const HCHTTPRequest& request, double maxAge) const {
  return HCHTTPRequest::expiryDateForRequest(request, maxAge);
}

std::string HCDownloadCache::encodeHeaders(const Dictionary& headers) {
  std::string out;
  for (const auto& [k, v] : headers) {
    escapeInto(out, k);
    out += '\t';
    escapeInto(out, v.isString() ? v.string() : v.isNumber() ? v.number().description() : std::string());
    out += '\n';
  }
  return out;
}

Dictionary HCDownloadCache::decodeHeaders(std::string_view text) {
  std::vector<Dictionary::Entry> entries;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    std::string key = unescape(line.substr(0, tab));
    std::string value = unescape(line.substr(tab + 1));
    if (key == kExpiresKey) {
      entries.emplace_back(key, Value(plat::Number::fromDouble(std::strtod(value.c_str(), nullptr))));
    } else if (key == kStatusKey) {
      entries.emplace_back(key, Value(plat::Number::fromInt(std::atoi(value.c_str()))));
    } else {
      entries.emplace_back(key, Value(value));
    }
  }
  return Dictionary::fromEntries(std::move(entries));
}

std::optional<std::string> HCDownloadCache::storePathForRequestLocked(HCHTTPRequest& request, const std::string& extension) {
  if (!_storagePath || !request.url()) return std::nullopt;
  auto key = keyForURL(*request.url());
  if (!key) return std::nullopt;
  const char* folder = request.cacheStoragePolicy() == StoreForSession ? kSessionCacheFolder : kPermanentCacheFolder;
  return plat::pathJoin(plat::pathJoin(*_storagePath, folder), *key + "." + extension);
}

std::optional<std::string> HCDownloadCache::pathToStoreCachedResponseDataForRequest(HCHTTPRequest& request) {
  std::lock_guard l(*_accessLock);
  if (!request.url()) return std::nullopt;
  return storePathForRequestLocked(request, bodyExtensionForURL(*request.url()));
}

std::optional<std::string> HCDownloadCache::pathToStoreCachedResponseHeadersForRequest(HCHTTPRequest& request) {
  std::lock_guard l(*_accessLock);
  return storePathForRequestLocked(request, "cachedheaders");
}

void HCDownloadCache::updateExpiryForRequest(HCHTTPRequest& request, double maxAge) {
  auto path = pathToStoreCachedResponseHeadersForRequest(request);
  if (!path) return;
  auto text = plat::readFile(*path);
  if (!text) return;
  auto expiry = expiryDateForRequest(request, maxAge);
  if (!expiry) return;
  Dictionary headers = decodeHeaders(*text);
  headers.set(kExpiresKey, Value(plat::Number::fromDouble(expiry->secondsSince1970)));
  plat::atomicWrite(*path, encodeHeaders(headers), 0600);
}

void HCDownloadCache::storeResponseForRequest(HCHTTPRequest& request, double maxAge) {
  std::lock_guard l(*_accessLock);
  if (request.error() || request.responseHeaders().empty() || (request.cachePolicy() & CacheSkipWrite)) return;
  const int status = request.responseStatusCode();
  if (status != 200 && status != 301 && status != 302 && status != 303 && status != 307) return;
  if (_shouldRespectCacheControlHeaders && !serverAllowsResponseCachingForRequest(request)) return;
  auto headerPath = pathToStoreCachedResponseHeadersForRequest(request);
  auto dataPath = pathToStoreCachedResponseDataForRequest(request);
  if (!headerPath || !dataPath) return;

  Dictionary headers = request.responseHeaders();
  if (request.isResponseCompressed()) {
    for (const auto& [k, v] : request.responseHeaders()) {
      if (lower(k) == "content-encoding") headers.remove(k);
    }
  }
  if (auto expiry = expiryDateForRequest(request, maxAge)) {
    headers.set(kExpiresKey, Value(plat::Number::fromDouble(expiry->secondsSince1970)));
  }
  headers.set(kStatusKey, Value(plat::Number::fromInt(status)));

  // The body first, then the headers: a reader finds headers only beside a whole body.
  bool bodyStored = false;
  if (auto dest = request.downloadDestinationPath()) {
    if (*dest == *dataPath) {
      bodyStored = true;
    } else {
      bodyStored = copyFileThroughTemporary(*dest, *dataPath);
    }
  } else if (auto body = request.responseData()) {
    bodyStored = plat::atomicWrite(*dataPath, std::string_view(reinterpret_cast<const char*>(body->data()), body->size()), 0600);
  } else {
    bodyStored = plat::atomicWrite(*dataPath, std::string_view(), 0600);
  }
  if (!bodyStored) {
    // Old headers must not be read with another (or no) body.
    ::unlink(headerPath->c_str());
    return;
  }
  plat::atomicWrite(*headerPath, encodeHeaders(headers), 0600);
}

std::optional<std::string> HCDownloadCache::pathToFile(const std::string& fileName) {
  std::lock_guard l(*_accessLock);
  if (!_storagePath) return std::nullopt;
  for (const char* folder : {kSessionCacheFolder, kPermanentCacheFolder}) {
    std::string p = plat::pathJoin(plat::pathJoin(*_storagePath, folder), fileName);
    if (plat::fileExists(p)) return p;
  }
  return std::nullopt;
}

std::optional<std::string> HCDownloadCache::pathToCachedResponseDataForURL(const URL& url) {
  auto key = keyForURL(url);
  if (!key) return std::nullopt;
  return pathToFile(*key + "." + bodyExtensionForURL(url));
}

std::optional<std::string> HCDownloadCache::pathToCachedResponseHeadersForURL(const URL& url) {
  auto key = keyForURL(url);
  if (!key) return std::nullopt;
  return pathToFile(*key + ".cachedheaders");
}

std::optional<Dictionary> HCDownloadCache::cachedResponseHeadersForURL(const URL& url) {
  std::lock_guard l(*_accessLock);
  auto path = pathToCachedResponseHeadersForURL(url);
  if (!path) return std::nullopt;
  auto text = plat::readFile(*path);
  if (!text) return std::nullopt;
  return decodeHeaders(*text);
}

std::optional<Data> HCDownloadCache::cachedResponseDataForURL(const URL& url) {
  std::lock_guard l(*_accessLock);
  auto path = pathToCachedResponseDataForURL(url);
  if (!path) return std::nullopt;
  auto text = plat::readFile(*path);
  if (!text) return std::nullopt;
  return Data(text->begin(), text->end());
}

void HCDownloadCache::removeCachedDataForURL(const URL& url) {
  std::lock_guard l(*_accessLock);
  if (!_storagePath) return;
  if (auto p = pathToCachedResponseHeadersForURL(url)) ::unlink(p->c_str());
  if (auto p = pathToCachedResponseDataForURL(url)) ::unlink(p->c_str());
}

void HCDownloadCache::removeCachedDataForRequest(HCHTTPRequest& request) {
  if (request.url()) removeCachedDataForURL(*request.url());
}

bool HCDownloadCache::isCachedDataCurrentForRequest(HCHTTPRequest& request) {
  std::lock_guard l(*_accessLock);
  if (!_storagePath || !request.url()) return false;
  auto cached = cachedResponseHeadersForURL(*request.url());
  if (!cached || !pathToCachedResponseDataForURL(*request.url())) return false;
  if (request.responseStatusCode() == 304) return true;
  if (!request.responseHeaders().empty() && request.complete()) {
    for (const char* name : {"Etag", "Last-Modified"}) {
      auto fresh = request.responseHeader(name);
      auto stored = headerOf(*cached, name);
      if (!fresh || !stored || *fresh != *stored) return false;
    }
  }
  if (_shouldRespectCacheControlHeaders) {
    const Value* expires = cached->find(kExpiresKey);
    if (!expires || !expires->isNumber()) return false;
    return expires->number().doubleValue() >= plat::currentClock().now().secondsSince1970;
  }
  return true;
}

bool HCDownloadCache::canUseCachedDataForRequest(HCHTTPRequest& request) {
  std::lock_guard l(*_accessLock);
  const int policy = request.cachePolicy();
  if (policy & CacheSkipRead) return false;
  if (!request.url()) return false;
  const bool stored = cachedResponseHeadersForURL(*request.url()) && pathToCachedResponseDataForURL(*request.url());
  // Cache-only with nothing stored answers no: the request then fails rather
  // than finishing as a success with no body.
  if (policy & CacheOnly) return stored;
  if (!stored) return false;
  if (policy & CachePreferCached) return true;
  if (request.complete() && (policy & CacheFallbackOnFailure)) return true;
  if (policy & CacheRevalidateWhenStale) return isCachedDataCurrentForRequest(request);
  if (policy & CacheAlwaysRevalidate) {
    if (request.responseHeaders().empty()) return false;
    return isCachedDataCurrentForRequest(request);
  }
  return false;
}

void HCDownloadCache::clearCachedResponsesForStoragePolicy(int storagePolicy) {
  std::lock_guard l(*_accessLock);
  if (!_storagePath) return;
  std::string folder = plat::pathJoin(*_storagePath, storagePolicy == StoreForSession ? kSessionCacheFolder : kPermanentCacheFolder);
  if (!plat::isDirectory(folder)) return;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    throw plat::Exception("FailedToTraverseCacheDirectory", plat::format("Listing cache directory failed at path '%@'", folder));
  }
  std::vector<std::string> names;
  while (auto* e = ::readdir(dir)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(dir);
  for (const auto& n : names) {
    if (!plat::removeTree(plat::pathJoin(folder, n))) {
      throw plat::Exception("FailedToRemoveCacheFile", plat::format("Failed to remove cached data at path '%@'", folder));
    }
  }
}
