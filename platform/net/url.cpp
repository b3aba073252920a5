#include "platform/net/url.h"

#include "platform/net/http_message.h"

#include <arpa/inet.h>

#include <cctype>

namespace plat {

namespace {

bool isUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(unsigned char c) {
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
      return true;
    default:
      return false;
  }
}
bool isHex(unsigned char c) { return std::isxdigit(c) != 0; }

// Every byte is one a URL may carry and every '%' starts an escape.
bool wellFormed(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = s[i];
    if (c == '%') {
      if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
      i += 2;
      continue;
    }
    if (isUnreserved(c) || isSubDelim(c)) continue;
    switch (c) {
      case ':': case '/': case '?': case '#': case '[': case ']': case '@':
        continue;
      default:
        return false;
    }
  }
  return true;
}

std::string lower(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

// RFC 3986 5.2.4.
std::string removeDotSegments(std::string_view in) {
  std::string input(in), out;
  while (!input.empty()) {
    if (input.rfind("../", 0) == 0) {
      input.erase(0, 3);
    } else if (input.rfind("./", 0) == 0) {
      input.erase(0, 2);
    } else if (input.rfind("/./", 0) == 0) {
      input.replace(0, 3, "/");
    } else if (input == "/.") {
      input = "/";
    } else if (input.rfind("/../", 0) == 0 || input == "/..") {
      input = input.size() == 3 ? std::string("/") : input.substr(3);
      auto slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (input == "." || input == "..") {
      input.clear();
    } else {
      size_t start = input[0] == '/' ? 1 : 0;
      size_t next = input.find('/', start);
      if (next == std::string::npos) next = input.size();
      out.append(input, 0, next);
      input.erase(0, next);
    }
  }
  return out;
}

struct Split {
  std::optional<std::string> scheme;
  std::optional<std::string> authority;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

// RFC 3986 appendix B, with the checks that the regular expression leaves out.
std::optional<Split> split(std::string_view s) {
  if (!wellFormed(s)) return std::nullopt;
  Split r;
  size_t hash = s.find('#');
  if (hash != std::string_view::npos) {
    r.fragment = std::string(s.substr(hash + 1));
    if (r.fragment->find('#') != std::string::npos) return std::nullopt;
    s = s.substr(0, hash);
  }
  size_t q = s.find('?');
  if (q != std::string_view::npos) {
    r.query = std::string(s.substr(q + 1));
    s = s.substr(0, q);
  }
  size_t colon = s.find(':');
  size_t slash = s.find('/');
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash) && colon > 0) {
    std::string_view scheme = s.substr(0, colon);
    bool ok = std::isalpha(static_cast<unsigned char>(scheme[0])) != 0;
    for (unsigned char c : scheme) ok = ok && (std::isalnum(c) || c == '+' || c == '-' || c == '.');
    if (!ok) return std::nullopt;
    r.scheme = lower(scheme);
    s = s.substr(colon + 1);
  }
  if (s.rfind("//", 0) == 0) {
    s = s.substr(2);
    size_t end = s.find('/');
    if (end == std::string_view::npos) end = s.size();
    r.authority = std::string(s.substr(0, end));
    s = s.substr(end);
  }
  r.path = std::string(s);
  // '[' and ']' belong to the host only.
  for (const std::string* part : {&r.path, r.query ? &*r.query : nullptr, r.fragment ? &*r.fragment : nullptr}) {
    if (part && part->find_first_of("[]") != std::string::npos) return std::nullopt;
  }
  return r;
}

}  // namespace

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::optional<URL> URL::fromParts(std::string scheme, std::optional<std::string> authority, std::string path,
                                  std::optional<std::string> query, std::optional<std::string> fragment) {
  URL u;
  u.scheme_ = std::move(scheme);
  if (authority) {
    u.hasAuthority_ = true;
    u.authority_ = *authority;
    std::string_view a = *authority;
    size_t at = a.rfind('@');
    if (at != std::string_view::npos) {
      u.hasUserInfo_ = true;
      std::string_view info = a.substr(0, at);
      if (info.find('@') != std::string_view::npos) return std::nullopt;
      size_t c = info.find(':');
      u.user_ = std::string(info.substr(0, c));
      if (c != std::string_view::npos) u.password_ = std::string(info.substr(c + 1));
      a = a.substr(at + 1);
    }
    std::string_view portText;
    bool hasPort = false;
    if (!a.empty() && a[0] == '[') {
      size_t close = a.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      std::string literal(a.substr(1, close - 1));
      in6_addr addr;
      if (inet_pton(AF_INET6, literal.c_str(), &addr) != 1) return std::nullopt;
      u.host_ = literal;
      u.ipv6_ = true;
      std::string_view rest = a.substr(close + 1);
      if (!rest.empty()) {
        if (rest[0] != ':') return std::nullopt;
        hasPort = true;
        portText = rest.substr(1);
      }
    } else {
      size_t c = a.find(':');
      if (c != std::string_view::npos) {
        hasPort = true;
        portText = a.substr(c + 1);
        a = a.substr(0, c);
      }
      if (a.find_first_of("[]") != std::string_view::npos) return std::nullopt;
      u.host_ = std::string(a);
    }
    if (hasPort && !portText.empty()) {
      if (portText.size() > 5) return std::nullopt;
      int p = 0;
      for (unsigned char c : portText) {
        if (!std::isdigit(c)) return std::nullopt;
        p = p * 10 + (c - '0');
      }
      if (p > 65535) return std::nullopt;
      u.port_ = p;
    }
    // http and https need somewhere to connect to.
    if ((u.scheme_ == "http" || u.scheme_ == "https") && u.host_.empty()) return std::nullopt;
  } else if (path.rfind("//", 0) == 0) {
    return std::nullopt;
  }
  if (authority && !path.empty() && path[0] != '/') return std::nullopt;
  u.path_ = std::move(path);
  u.query_ = std::move(query);
  u.fragment_ = std::move(fragment);
  u.text_.reserve(u.scheme_.size() + u.authority_.size() + u.path_.size() + (u.query_ ? u.query_->size() : 0) +
                  (u.fragment_ ? u.fragment_->size() : 0) + 5);
  u.text_ += u.scheme_;
  u.text_ += ':';
  if (u.hasAuthority_) u.text_.append("//").append(u.authority_);
  u.text_ += u.path_;
  if (u.query_) u.text_.append("?").append(*u.query_);
  if (u.fragment_) u.text_.append("#").append(*u.fragment_);
  return u;
}

std::optional<URL> URL::parse(std::string_view text) {
  auto s = split(text);
  if (!s || !s->scheme) return std::nullopt;
  return fromParts(std::move(*s->scheme), std::move(s->authority), std::move(s->path), std::move(s->query),
                   std::move(s->fragment));
}

std::optional<URL> URL::resolve(std::string_view reference, const URL& base) {
  auto r = split(reference);
  if (!r) return std::nullopt;
  std::string scheme;
  std::optional<std::string> authority;
  std::string path;
  std::optional<std::string> query;
  if (r->scheme) {
    scheme = *r->scheme;
    authority = r->authority;
    path = removeDotSegments(r->path);
    query = r->query;
  } else {
    scheme = base.scheme_;
    if (r->authority) {
      authority = r->authority;
      path = removeDotSegments(r->path);
      query = r->query;
    } else {
      if (base.hasAuthority_) authority = base.authority_;
      if (r->path.empty()) {
        path = base.path_;
        query = r->query ? r->query : base.query_;
      } else {
        if (r->path[0] == '/') {
          path = removeDotSegments(r->path);
        } else {
          std::string merged;
          if (base.hasAuthority_ && base.path_.empty()) {
            merged = "/" + r->path;
          } else {
            auto slash = base.path_.rfind('/');
            merged = (slash == std::string::npos ? std::string() : base.path_.substr(0, slash + 1)) + r->path;
          }
          path = removeDotSegments(merged);
        }
        query = r->query;
      }
    }
  }
  return fromParts(scheme, authority, path, query, r->fragment);
}

int URL::effectivePort() const {
  if (port_) return *port_;
  if (scheme_ == "http") return 80;
  if (scheme_ == "https") return 443;
  return 0;
}

std::string URL::requestTarget() const {
  std::string t = path_.empty() ? "/" : path_;
  if (query_) t += "?" + *query_;
  return t;
}

std::string URL::hostHeader() const {
  std::string h = ipv6_ ? "[" + host_ + "]" : host_;
  if (port_ && *port_ != (scheme_ == "https" ? 443 : scheme_ == "http" ? 80 : -1)) {
    h += ':';
    h += std::to_string(*port_);
  }
  return h;
}

std::string URL::absoluteFormTarget() const {
  std::string t = scheme_ + "://" + (ipv6_ ? "[" + host_ + "]" : host_);
  if (port_) {
    t += ':';
    t += std::to_string(*port_);
  }
  return t + requestTarget();
}

bool isSameOrigin(const URL& a, const URL& b) {
  return equalsIgnoringCase(a.scheme(), b.scheme()) && equalsIgnoringCase(a.host(), b.host()) &&
         a.effectivePort() == b.effectivePort();
}

}  // namespace plat
