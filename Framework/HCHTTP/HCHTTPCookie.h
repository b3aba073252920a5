// Cookies as the request uses them: parsed from a response's Set-Cookie
// fields for its URL, kept in one process-wide store, and picked again for
// the URLs they belong to (host, path, secure, expiry).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/net/http_message.h"
#include "platform/net/url.h"

struct HCHTTPCookie {
  std::string name;
  std::string value;
  std::string domain;  // lower case, without a leading dot
  bool hostOnly = true;
  std::string path = "/";
  bool secure = false;
  bool httpOnly = false;
  std::optional<plat::Date> expiresDate;  // none: a session cookie

  // The cookies of every Set-Cookie field of the response, for `url`. Fields
  // that can't be parsed or name a domain the URL is not in are skipped.
  static std::vector<HCHTTPCookie> cookiesWithResponseHeaderFields(const plat::HeaderFields& fields,
                                                                   const plat::URL& url);
  static std::optional<HCHTTPCookie> parse(const std::string& setCookie, const plat::URL& url);

  bool matches(const plat::URL& url) const;
  bool sameIdentity(const HCHTTPCookie& o) const {
    return name == o.name && domain == o.domain && path == o.path;
  }
};

class HCHTTPCookieStorage {
public:
  static HCHTTPCookieStorage& shared();

  // Replaces cookies of the same name, domain and path; an expired one removes its match.
  void setCookies(const std::vector<HCHTTPCookie>& cookies);
  std::vector<HCHTTPCookie> cookiesForURL(const plat::URL& url) const;
  std::vector<HCHTTPCookie> cookies() const;
  void deleteCookie(const HCHTTPCookie& cookie);
  void deleteAllCookies();

private:
  mutable std::mutex _mutex;
  std::vector<HCHTTPCookie> _cookies;
};
