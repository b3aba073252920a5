#include "platform/net/url_cache.h"

#include <dirent.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>

#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"

namespace plat {

namespace {

std::mutex gSharedMutex;
std::shared_ptr<URLCache> gShared;

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The directives of every Cache-Control (or Pragma) field, lower-cased,
// each with its value ("" when it has none).
std::vector<std::pair<std::string, std::string>> directives(const HeaderFields& fields, std::string_view field) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [name, value] : fields) {
    if (!sameName(name, field)) continue;
    std::string_view rest = value;
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      std::string_view part = trim(rest.substr(0, comma));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      if (part.empty()) continue;
      const size_t eq = part.find('=');
      std::string key(trim(part.substr(0, eq)));
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string v = eq == std::string_view::npos ? std::string() : std::string(trim(part.substr(eq + 1)));
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      out.emplace_back(std::move(key), std::move(v));
    }
  }
  return out;
}

bool has(const std::vector<std::pair<std::string, std::string>>& d, std::string_view key) {
  return std::any_of(d.begin(), d.end(), [&](const auto& p) { return p.first == key; });
}

std::optional<std::string> fieldOf(const HeaderFields& fields, std::string_view name) {
  for (const auto& [n, v] : fields) {
    if (sameName(n, name)) return v;
  }
  return std::nullopt;
}

std::optional<double> seconds(std::string_view text) {
  long long n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < 0) return std::nullopt;
  return static_cast<double>(n);
}

// ---- The file of one entry ----
// "QVURLCACHE1\n" url "\n" storedAt "\n" status "\n" statusLine "\n"
// fieldCount "\n" then per field its name's length, value's length, name,
// value, then the body to the end.

void putNumber(std::string& out, uint64_t n) {
  out += std::to_string(n);
  out += '\n';
}

std::string encode(const std::string& url, const CachedURLResponse& r) {
  std::string out = "QVURLCACHE1\n";
  out += url + "\n";
  putNumber(out, static_cast<uint64_t>(r.storedAt));
  putNumber(out, static_cast<uint64_t>(r.status));
  out += r.statusLine + "\n";
  putNumber(out, r.headers.size());
  for (const auto& [name, value] : r.headers) {
    putNumber(out, name.size());
    putNumber(out, value.size());
    out += name;
    out += value;
  }
  out.append(r.body.begin(), r.body.end());
  return out;
}

class Reader {
public:
  explicit Reader(std::string_view text) : rest_(text) {}
  std::optional<std::string_view> line() {
    const size_t nl = rest_.find('\n');
    if (nl == std::string_view::npos) return std::nullopt;
    std::string_view l = rest_.substr(0, nl);
    rest_.remove_prefix(nl + 1);
    return l;
  }
  std::optional<uint64_t> number() {
    auto l = line();
    if (!l) return std::nullopt;
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(l->data(), l->data() + l->size(), n);
    if (ec != std::errc() || end != l->data() + l->size()) return std::nullopt;
    return n;
  }
  std::optional<std::string_view> bytes(uint64_t n) {
    if (n > rest_.size()) return std::nullopt;
    std::string_view b = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return b;
  }
  std::string_view rest() const { return rest_; }

private:
  std::string_view rest_;
};

std::optional<CachedURLResponse> decode(std::string_view text, const std::string& url) {
  Reader r(text);
  auto magic = r.line();
  auto storedUrl = r.line();
  if (!magic || *magic != "QVURLCACHE1" || !storedUrl || *storedUrl != url) return std::nullopt;
  auto stored = r.number();
  auto status = r.number();
  auto statusLine = r.line();
  auto count = r.number();
  if (!stored || !status || !statusLine || !count || *status < 100 || *status > 999 || *count > 1000) {
    return std::nullopt;
  }
  CachedURLResponse out;
  out.storedAt = static_cast<double>(*stored);
  out.status = static_cast<int>(*status);
  out.statusLine = std::string(*statusLine);
  for (uint64_t i = 0; i < *count; ++i) {
    auto nameSize = r.number();
    auto valueSize = r.number();
    if (!nameSize || !valueSize) return std::nullopt;
    auto name = r.bytes(*nameSize);
    auto value = r.bytes(*valueSize);
    if (!name || !value) return std::nullopt;
    out.headers.emplace_back(std::string(*name), std::string(*value));
  }
  out.body.assign(r.rest().begin(), r.rest().end());
  return out;
}

}  // namespace

std::optional<double> parseHTTPDate(std::string_view text) {
  const std::string t(trim(text));
  std::tm tm{};
  const char* end = strptime(t.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  if (!end || *end != '\0') return std::nullopt;
  return static_cast<double>(timegm(&tm));
}

std::optional<std::string> CachedURLResponse::header(std::string_view name) const { return fieldOf(headers, name); }

size_t CachedURLResponse::cost() const {
  size_t n = body.size() + statusLine.size() + 64;
  for (const auto& [name, value] : headers) n += name.size() + value.size() + 4;
  return n;
}

URLCache::URLCache(uint64_t memoryCapacity, uint64_t diskCapacity, std::string diskPath)
    : memoryCapacity_(memoryCapacity), diskCapacity_(diskCapacity), diskPath_(std::move(diskPath)) {}

std::shared_ptr<URLCache> URLCache::shared() {
  std::lock_guard<std::mutex> l(gSharedMutex);
  return gShared;
}

void URLCache::setShared(std::shared_ptr<URLCache> cache) {
  std::lock_guard<std::mutex> l(gSharedMutex);
  gShared = std::move(cache);
}

uint64_t URLCache::maxEntrySize() const { return std::max(memoryCapacity_, diskCapacity_) / 20; }

bool URLCache::cacheableRequest(std::string_view method, const HeaderFields& headers) {
  if (method != "GET") return false;
  for (const char* personal : {"Authorization", "Proxy-Authorization", "Cookie", "Range", "If-None-Match",
                               "If-Modified-Since", "If-Match", "If-Unmodified-Since", "If-Range"}) {
    if (fieldOf(headers, personal)) return false;
  }
  const auto cc = directives(headers, "Cache-Control");
  return !has(cc, "no-cache") && !has(cc, "no-store") && !has(directives(headers, "Pragma"), "no-cache");
}

bool URLCache::storable(const HTTPMessage& response) {
  if (response.statusCode() != 200) return false;
  const HeaderFields& f = response.headerFields();
  if (fieldOf(f, "Set-Cookie") || fieldOf(f, "Set-Cookie2")) return false;
  if (auto vary = fieldOf(f, "Vary"); vary && !trim(*vary).empty()) return false;
  if (has(directives(f, "Cache-Control"), "no-store")) return false;
  CachedURLResponse probe;
  probe.headers = f;
  // Kept only when it can be given back: fresh for a while, or asked about.
  return freshnessLifetime(probe) > 0 || hasValidator(probe);
}

double URLCache::freshnessLifetime(const CachedURLResponse& r) {
  const auto cc = directives(r.headers, "Cache-Control");
  if (has(cc, "no-cache") || has(directives(r.headers, "Pragma"), "no-cache")) return 0;
  for (const auto& [key, value] : cc) {
    if (key == "max-age") return seconds(value).value_or(0);
  }
  auto expires = r.header("Expires");
  if (!expires) return 0;
  auto when = parseHTTPDate(*expires);
  if (!when) return 0;  // an unreadable date means already expired
  auto date = r.header("Date");
  const double base = date ? parseHTTPDate(*date).value_or(r.storedAt) : r.storedAt;
  return std::max(0.0, *when - base);
}

bool URLCache::isFresh(const CachedURLResponse& r, double at) {
  const double age = std::max(0.0, at - r.storedAt) + seconds(trim(r.header("Age").value_or("0"))).value_or(0);
  return age < freshnessLifetime(r);
}

bool URLCache::hasValidator(const CachedURLResponse& r) { return r.header("ETag") || r.header("Last-Modified"); }

CachedURLResponse URLCache::confirmed(CachedURLResponse kept, const HTTPMessage& notModified, double at) {
  // The 304's fields replace the kept ones of the same name (its length excepted).
  for (const auto& [name, value] : notModified.headerFields()) {
    if (sameName(name, "Content-Length") || sameName(name, "Transfer-Encoding") ||
        sameName(name, "Content-Encoding") || sameName(name, "Connection")) {
      continue;
    }
    const std::string& field = name;  // clang before 16 cannot capture a structured binding
    std::erase_if(kept.headers, [&](const HeaderField& f) { return sameName(f.first, field); });
  }
  for (const auto& [name, value] : notModified.headerFields()) {
    if (sameName(name, "Content-Length") || sameName(name, "Transfer-Encoding") ||
        sameName(name, "Content-Encoding") || sameName(name, "Connection")) {
      continue;
    }
    kept.headers.emplace_back(name, value);
  }
  std::erase_if(kept.headers, [](const HeaderField& f) { return sameName(f.first, "Age"); });
  kept.storedAt = at;
  return kept;
}

std::string URLCache::fileFor(const std::string& url) const {
  unsigned char md[32];
  unsigned int n = 0;
  EVP_Digest(url.data(), url.size(), md, &n, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string name;
  for (unsigned i = 0; i < n; ++i) {
    name += hex[md[i] >> 4];
    name += hex[md[i] & 15];
  }
  return name;
}

void URLCache::scanDiskLocked() {
  if (scanned_ || diskPath_.empty()) return;
  scanned_ = true;
  DIR* dir = ::opendir(diskPath_.c_str());
  if (!dir) return;
  std::vector<std::pair<double, std::string>> found;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() != 64) continue;  // our entries only (a temporary file is not one)
    auto st = statNoFollow(pathJoin(diskPath_, name));
    if (!st || !st->isRegular) continue;
    found.emplace_back(st->modified.secondsSince1970, name);
    disk_[name] = OnDisk{st->size, 0};
    diskUsage_ += st->size;
  }
  ::closedir(dir);
  // An earlier run's use is told by the files' times.
  std::sort(found.begin(), found.end());
  for (const auto& [when, name] : found) disk_[name].used = ++tick_;
  evictDiskLocked();
}

std::optional<CachedURLResponse> URLCache::cachedResponse(const std::string& url) {
  std::lock_guard<std::mutex> l(mutex_);
  if (auto it = memory_.find(url); it != memory_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second.lru);
    return it->second.response;
  }
  scanDiskLocked();
  const std::string name = fileFor(url);
  auto it = disk_.find(name);
  if (it == disk_.end()) return std::nullopt;
  const std::string path = pathJoin(diskPath_, name);
  auto size = fileSize(path);
  std::optional<std::string> text;
  if (size && *size <= maxEntrySize() + 64 * 1024) text = readFile(path);
  std::optional<CachedURLResponse> r = text ? decode(*text, url) : std::nullopt;
  if (!r) {
    // Damaged, cut or of another address: not ours to give back.
    ::unlink(path.c_str());
    diskUsage_ -= std::min(diskUsage_, it->second.size);
    disk_.erase(it);
    return std::nullopt;
  }
  it->second.used = ++tick_;
  storeInMemoryLocked(url, *r);
  return r;
}

void URLCache::storeCachedResponse(const std::string& url, CachedURLResponse response) {
  // What the caller got was inflated: the kept answer says so.
  std::erase_if(response.headers, [](const HeaderField& f) {
    return sameName(f.first, "Content-Encoding") || sameName(f.first, "Content-Length") ||
           sameName(f.first, "Transfer-Encoding") || sameName(f.first, "Connection") || sameName(f.first, "Keep-Alive");
  });
  response.headers.emplace_back("Content-Length", std::to_string(response.body.size()));
  std::lock_guard<std::mutex> l(mutex_);
  storeInMemoryLocked(url, response);
  storeOnDiskLocked(url, response);
}

void URLCache::dropMemoryLocked(const std::string& url) {
  auto it = memory_.find(url);
  if (it == memory_.end()) return;
  memoryUsage_ -= std::min<uint64_t>(memoryUsage_, it->second.response.cost());
  lru_.erase(it->second.lru);
  memory_.erase(it);
}

void URLCache::storeInMemoryLocked(const std::string& url, const CachedURLResponse& r) {
  dropMemoryLocked(url);
  const uint64_t cost = r.cost();
  if (memoryCapacity_ == 0 || cost > memoryCapacity_ / 20) return;
  lru_.push_front(url);
  memory_[url] = Memory{r, lru_.begin()};
  memoryUsage_ += cost;
  while (memoryUsage_ > memoryCapacity_ && !lru_.empty()) dropMemoryLocked(lru_.back());
}

void URLCache::storeOnDiskLocked(const std::string& url, const CachedURLResponse& r) {
  if (diskPath_.empty() || diskCapacity_ == 0) return;
  scanDiskLocked();
  const std::string name = fileFor(url);
  const std::string path = pathJoin(diskPath_, name);
  if (auto it = disk_.find(name); it != disk_.end()) {
    diskUsage_ -= std::min(diskUsage_, it->second.size);
    disk_.erase(it);
    ::unlink(path.c_str());
  }
  const std::string bytes = encode(url, r);
  if (bytes.size() > diskCapacity_ / 20) return;
  if (!makeDirectories(diskPath_, 0700) || !atomicWrite(path, bytes, 0600)) {
    log("URL cache: %@ can't be written", path);
    return;
  }
  disk_[name] = OnDisk{bytes.size(), ++tick_};
  diskUsage_ += bytes.size();
  evictDiskLocked();
}

void URLCache::evictDiskLocked() {
  // The least recently used go first.
  while (diskUsage_ > diskCapacity_ && !disk_.empty()) {
    auto oldest = std::min_element(disk_.begin(), disk_.end(),
                                   [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
    ::unlink(pathJoin(diskPath_, oldest->first).c_str());
    diskUsage_ -= std::min(diskUsage_, oldest->second.size);
    disk_.erase(oldest);
  }
}

void URLCache::removeCachedResponse(const std::string& url) {
  std::lock_guard<std::mutex> l(mutex_);
  dropMemoryLocked(url);
  scanDiskLocked();
  const std::string name = fileFor(url);
  if (auto it = disk_.find(name); it != disk_.end()) {
    ::unlink(pathJoin(diskPath_, name).c_str());
    diskUsage_ -= std::min(diskUsage_, it->second.size);
    disk_.erase(it);
  }
}

void URLCache::removeAllCachedResponses() {
  std::lock_guard<std::mutex> l(mutex_);
  memory_.clear();
  lru_.clear();
  memoryUsage_ = 0;
  scanDiskLocked();
  for (const auto& [name, entry] : disk_) ::unlink(pathJoin(diskPath_, name).c_str());
  disk_.clear();
  diskUsage_ = 0;
}

uint64_t URLCache::currentMemoryUsage() const {
  std::lock_guard<std::mutex> l(mutex_);
  return memoryUsage_;
}

uint64_t URLCache::currentDiskUsage() const {
  std::lock_guard<std::mutex> l(mutex_);
  const_cast<URLCache*>(this)->scanDiskLocked();
  return diskUsage_;
}

}  // namespace plat
