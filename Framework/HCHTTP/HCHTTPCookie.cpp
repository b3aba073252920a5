#include "Framework/HCHTTP/HCHTTPCookie.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "platform/foundation/clock.h"

namespace {
std::string trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return std::string(s.substr(a, b - a));
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" and the dashed variant.
std::optional<plat::Date> parseCookieDate(const std::string& text) {
  struct tm tm {};
  for (const char* f : {"%a, %d %b %Y %H:%M:%S GMT", "%a, %d-%b-%Y %H:%M:%S GMT", "%a, %d-%b-%y %H:%M:%S GMT"}) {
    tm = {};
    const char* end = strptime(text.c_str(), f, &tm);
    if (end && *end == '\0') return plat::Date{static_cast<double>(timegm(&tm))};
  }
  return std::nullopt;
}

std::string defaultPath(const plat::URL& url) {
  const std::string& p = url.path();
  if (p.empty() || p[0] != '/') return "/";
  size_t slash = p.rfind('/');
  return slash == 0 ? "/" : p.substr(0, slash);
}

bool domainMatches(const std::string& host, const std::string& domain) {
  if (host == domain) return true;
  return host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}
// A suffix under which anyone may register a name ("com", "cn", "co.uk",
// "com.cn"): a cookie for it would reach every site below it. One label is
// one; so are the usual second-level registries under a two-letter country.
bool isPublicSuffix(const std::string& domain) {
  size_t dot = domain.find('.');
  if (dot == std::string::npos) return true;
  if (domain.find('.', dot + 1) != std::string::npos || domain.size() - dot - 1 != 2) return false;
  static const char* const kRegistries[] = {"ac", "co", "com", "edu", "gov", "mil", "net", "or", "org", "ne", "go"};
  std::string first = domain.substr(0, dot);
  for (const char* r : kRegistries)
    if (first == r) return true;
  return false;
}
}  // namespace

std::optional<HCHTTPCookie> HCHTTPCookie::parse(const std::string& setCookie, const plat::URL& url) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= setCookie.size()) {
    size_t semi = setCookie.find(';', at);
    if (semi == std::string::npos) semi = setCookie.size();
    parts.push_back(setCookie.substr(at, semi - at));
    at = semi + 1;
  }
  if (parts.empty()) return std::nullopt;
  size_t eq = parts[0].find('=');
  if (eq == std::string::npos) return std::nullopt;
  HCHTTPCookie c;
  c.name = trim(std::string_view(parts[0]).substr(0, eq));
  c.value = trim(std::string_view(parts[0]).substr(eq + 1));
  if (c.name.empty()) return std::nullopt;
  std::string host = lower(url.host());
  c.domain = host;
  c.path = defaultPath(url);
  std::optional<double> maxAge;
  for (size_t i = 1; i < parts.size(); ++i) {
    std::string attr = parts[i];
    size_t e = attr.find('=');
    std::string key = lower(trim(std::string_view(attr).substr(0, e)));
    std::string val = e == std::string::npos ? "" : trim(std::string_view(attr).substr(e + 1));
    if (key == "domain" && !val.empty()) {
      std::string d = lower(val);
      if (d[0] == '.') d.erase(0, 1);
      // A server may only set cookies for its own domain.
      if (!domainMatches(host, d)) return std::nullopt;
      if (isPublicSuffix(d)) {
        // Never for a whole registry; a host that is one keeps it to itself.
        if (d != host) return std::nullopt;
        continue;
      }
      c.domain = d;
      c.hostOnly = false;
    } else if (key == "path" && !val.empty() && val[0] == '/') {
      c.path = val;
    } else if (key == "secure") {
      c.secure = true;
    } else if (key == "httponly") {
      c.httpOnly = true;
    } else if (key == "expires") {
      if (auto d = parseCookieDate(val)) c.expiresDate = d;
    } else if (key == "max-age") {
      char* end = nullptr;
      double v = std::strtod(val.c_str(), &end);
      if (end && *end == '\0' && !val.empty()) maxAge = v;
    }
  }
  if (maxAge) c.expiresDate = plat::Date{plat::currentClock().now().secondsSince1970 + *maxAge};
  return c;
}

std::vector<HCHTTPCookie> HCHTTPCookie::cookiesWithResponseHeaderFields(const plat::HeaderFields& fields,
                                                                        const plat::URL& url) {
  std::vector<HCHTTPCookie> out;
  for (const auto& [name, value] : fields) {
    if (!plat::equalsIgnoringCase(name, "Set-Cookie")) continue;
    if (auto c = parse(value, url)) out.push_back(std::move(*c));
  }
  return out;
}

bool HCHTTPCookie::matches(const plat::URL& url) const {
  std::string host = lower(url.host());
  if (hostOnly ? host != domain : !domainMatches(host, domain)) return false;
  if (secure && !url.isHTTPS()) return false;
  std::string p = url.path().empty() ? "/" : url.path();
  if (p.compare(0, path.size(), path) != 0) return false;
  if (p.size() > path.size() && path.back() != '/' && p[path.size()] != '/') return false;
  if (expiresDate && expiresDate->secondsSince1970 <= plat::currentClock().now().secondsSince1970) return false;
  return true;
}

HCHTTPCookieStorage& HCHTTPCookieStorage::shared() {
  static HCHTTPCookieStorage storage;
  return storage;
}

void HCHTTPCookieStorage::setCookies(const std::vector<HCHTTPCookie>& cookies) {
  std::lock_guard l(_mutex);
  double now = plat::currentClock().now().secondsSince1970;
  for (const auto& c : cookies) {
    std::erase_if(_cookies, [&](const HCHTTPCookie& o) { return o.sameIdentity(c); });
    if (c.expiresDate && c.expiresDate->secondsSince1970 <= now) continue;
    _cookies.push_back(c);
  }
}

std::vector<HCHTTPCookie> HCHTTPCookieStorage::cookiesForURL(const plat::URL& url) const {
  std::lock_guard l(_mutex);
  std::vector<HCHTTPCookie> out;
  for (const auto& c : _cookies) {
    if (c.matches(url)) out.push_back(c);
  }
  // Longer paths first, as browsers send them.
  std::stable_sort(out.begin(), out.end(),
                   [](const HCHTTPCookie& a, const HCHTTPCookie& b) { return a.path.size() > b.path.size(); });
  return out;
}

std::vector<HCHTTPCookie> HCHTTPCookieStorage::cookies() const {
  std::lock_guard l(_mutex);
  return _cookies;
}

void HCHTTPCookieStorage::deleteAllCookies() {
  std::lock_guard l(_mutex);
  _cookies.clear();
}

void HCHTTPCookieStorage::deleteCookie(const HCHTTPCookie& cookie) {
  std::lock_guard l(_mutex);
  std::erase_if(_cookies, [&](const HCHTTPCookie& c) { return c.sameIdentity(cookie); });
}
