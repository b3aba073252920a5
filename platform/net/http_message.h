// An HTTP/1.1 message: a request (method, URL, version, ordered header
// fields, body) or a response head (status, status line, version, header
// fields as received). Header names are matched without regard to case and
// keep the spelling they were given; a field may appear several times
// (Set-Cookie). A header value holding CR, LF or NUL is refused, so no caller
// can split a request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/net/url.h"

namespace plat {

inline constexpr const char* kHTTPVersion1_0 = "HTTP/1.0";
inline constexpr const char* kHTTPVersion1_1 = "HTTP/1.1";

using HeaderField = std::pair<std::string, std::string>;
using HeaderFields = std::vector<HeaderField>;

bool isHTTPToken(std::string_view s);
bool isValidHeaderValue(std::string_view value);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// A length as HTTP writes it: decimal digits only (no sign, no white space)
// that fit 64 bits; nothing otherwise.
std::optional<uint64_t> parseHTTPLength(std::string_view text);

class HTTPMessage {
public:
  // A request message; nothing when the method is not an HTTP token or the
  // version is neither 1.0 nor 1.1. Custom verbs (RENAME, ORG_SHARE) are tokens.
  static std::optional<HTTPMessage> createRequest(std::string_view method, const URL& url,
                                                  std::string_view version = kHTTPVersion1_1);
  static HTTPMessage createResponse(int statusCode, std::string statusLine, std::string version = kHTTPVersion1_1);

  bool isRequest() const { return request_; }
  const std::string& method() const { return method_; }
  const std::optional<URL>& url() const { return url_; }
  void setURL(const URL& url) { url_ = url; }
  const std::string& version() const { return version_; }
  int statusCode() const { return status_; }
  // The whole status line as received ("HTTP/1.1 200 OK").
  const std::string& statusLine() const { return statusLine_; }

  // Replaces every field of that name (the first keeps its place) or appends
  // one. False, and nothing changed, for a name that is not a token or a value
  // with CR, LF or NUL. An empty value is a value.
  bool setHeaderFieldValue(std::string_view name, std::string_view value);
  // Appends one more field of that name, same refusals.
  bool addHeaderFieldValue(std::string_view name, std::string_view value);
  void removeHeaderField(std::string_view name);
  bool hasHeaderField(std::string_view name) const;
  // The value of the field; several fields of the name come joined by ", ".
  std::optional<std::string> headerFieldValue(std::string_view name) const;
  // Each field of the name, in order (every Set-Cookie separately).
  std::vector<std::string> headerFieldValues(std::string_view name) const;
  // Every field in the order given or received, names as spelled.
  const HeaderFields& headerFields() const { return fields_; }
  // One entry per name (spelled as it first came), repeated fields joined by ", ".
  Dictionary allHeaderFields() const;

  const Data& body() const { return body_; }
  void setBody(Data body) { body_ = std::move(body); }

  bool isHeaderComplete() const { return headerComplete_; }
  void setHeaderComplete(bool v) { headerComplete_ = v; }

private:
  friend class ResponseParser;
  HTTPMessage() = default;
  bool request_ = false;
  std::string method_;
  std::optional<URL> url_;
  std::string version_ = kHTTPVersion1_1;
  int status_ = 0;
  std::string statusLine_;
  HeaderFields fields_;
  Data body_;
  bool headerComplete_ = true;
};

}  // namespace plat
