// URLs as RFC 3986 has them: parsing, the parts the HTTP layer needs, and
// resolution of a reference against a base. Text with control characters,
// spaces or characters that a URL may not carry is refused, not repaired.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plat {

class URL {
public:
  // An absolute URL (with a scheme), or nothing when the text is not one.
  static std::optional<URL> parse(std::string_view text);
  // `reference` (absolute or relative) resolved against `base`.
  static std::optional<URL> resolve(std::string_view reference, const URL& base);

  const std::string& absoluteString() const { return text_; }
  // Lower-cased.
  const std::string& scheme() const { return scheme_; }
  bool hasAuthority() const { return hasAuthority_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  bool hasUserInfo() const { return hasUserInfo_; }
  // Without the brackets of an IPv6 literal; as written (percent-escapes kept).
  const std::string& host() const { return host_; }
  bool isIPv6Host() const { return ipv6_; }
  // The port named in the URL, if any.
  std::optional<int> port() const { return port_; }
  // The named port, else 80 for http and 443 for https (0 for other schemes).
  int effectivePort() const;
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  bool isHTTPS() const { return scheme_ == "https"; }
  // "/path?query" as sent on a request line; "/" for an empty path.
  std::string requestTarget() const;
  // "host[:port]" for the Host header (brackets around IPv6, port only when named
  // and not the scheme's default).
  std::string hostHeader() const;
  // The URL without user info and fragment, as sent to an HTTP proxy.
  std::string absoluteFormTarget() const;

  bool operator==(const URL& o) const { return text_ == o.text_; }

private:
  URL() = default;
  static std::optional<URL> fromParts(std::string scheme, std::optional<std::string> authority, std::string path,
                                      std::optional<std::string> query, std::optional<std::string> fragment);

  std::string text_;
  std::string scheme_;
  bool hasAuthority_ = false;
  std::string authority_;
  bool hasUserInfo_ = false;
  std::string user_;
  std::string password_;
  std::string host_;
  bool ipv6_ = false;
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// Decodes %XX escapes; nothing when an escape is malformed.
std::optional<std::string> percentDecode(std::string_view text);
// One origin: the same scheme, host and (effective) port. Credentials and
// cookies given to one origin are not for another.
bool isSameOrigin(const URL& a, const URL& b);

}  // namespace plat
