#include "platform/net/http_message.h"

#include <cctype>

#include "platform/foundation/log.h"

namespace plat {

bool isHTTPToken(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (std::isalnum(c)) continue;
    switch (c) {
      case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-': case '.':
      case '^': case '_': case '`': case '|': case '~':
        continue;
      default:
        return false;
    }
  }
  return true;
}

bool isValidHeaderValue(std::string_view value) {
  for (char c : value)
    if (c == '\r' || c == '\n' || c == '\0') return false;
  return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::optional<uint64_t> parseHTTPLength(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    unsigned d = static_cast<unsigned>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return std::nullopt;
    n = n * 10 + d;
  }
  return n;
}

std::optional<HTTPMessage> HTTPMessage::createRequest(std::string_view method, const URL& url, std::string_view version) {
  if (!isHTTPToken(method)) return std::nullopt;
  if (version != kHTTPVersion1_0 && version != kHTTPVersion1_1) return std::nullopt;
  HTTPMessage m;
  m.request_ = true;
  m.method_ = std::string(method);
  m.url_ = url;
  m.version_ = std::string(version);
  return m;
}

HTTPMessage HTTPMessage::createResponse(int statusCode, std::string statusLine, std::string version) {
  HTTPMessage m;
  m.status_ = statusCode;
  m.statusLine_ = std::move(statusLine);
  m.version_ = std::move(version);
  return m;
}

static bool acceptable(std::string_view name, std::string_view value) {
  if (!isHTTPToken(name)) {
    log("HTTPMessage: refused header field name \"%@\"", std::string(name));
    return false;
  }
  if (!isValidHeaderValue(value)) {
    log("HTTPMessage: refused value of header field %@ (CR, LF or NUL)", std::string(name));
    return false;
  }
  return true;
}

bool HTTPMessage::setHeaderFieldValue(std::string_view name, std::string_view value) {
  if (!acceptable(name, value)) return false;
  bool placed = false;
  for (auto it = fields_.begin(); it != fields_.end();) {
    if (equalsIgnoringCase(it->first, name)) {
      if (!placed) {
        it->second = std::string(value);
        placed = true;
        ++it;
      } else {
        it = fields_.erase(it);
      }
    } else {
      ++it;
    }
  }
  if (!placed) fields_.emplace_back(std::string(name), std::string(value));
  return true;
}

bool HTTPMessage::addHeaderFieldValue(std::string_view name, std::string_view value) {
  if (!acceptable(name, value)) return false;
  fields_.emplace_back(std::string(name), std::string(value));
  return true;
}

void HTTPMessage::removeHeaderField(std::string_view name) {
  std::erase_if(fields_, [&](const HeaderField& f) { return equalsIgnoringCase(f.first, name); });
}

bool HTTPMessage::hasHeaderField(std::string_view name) const {
  for (const auto& f : fields_)
    if (equalsIgnoringCase(f.first, name)) return true;
  return false;
}

std::optional<std::string> HTTPMessage::headerFieldValue(std::string_view name) const {
  std::optional<std::string> v;
  for (const auto& f : fields_) {
    if (!equalsIgnoringCase(f.first, name)) continue;
    if (v)
      *v += ", " + f.second;
    else
      v = f.second;
  }
  return v;
}

std::vector<std::string> HTTPMessage::headerFieldValues(std::string_view name) const {
  std::vector<std::string> r;
  for (const auto& f : fields_)
    if (equalsIgnoringCase(f.first, name)) r.push_back(f.second);
  return r;
}

Dictionary HTTPMessage::allHeaderFields() const {
  Dictionary d;
  std::vector<std::string> seen;
  for (const auto& f : fields_) {
    bool done = false;
    for (const auto& s : seen) done = done || equalsIgnoringCase(s, f.first);
    if (done) continue;
    seen.push_back(f.first);
    d.set(f.first, Value(*headerFieldValue(f.first)));
  }
  return d;
}

}  // namespace plat
