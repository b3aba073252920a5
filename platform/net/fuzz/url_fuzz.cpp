// libFuzzer target: URL parsing and resolution must neither crash nor read
// out of bounds, and what they accept must be safe to put on a request
// line: no control character, space or line break in the parts the HTTP
// layer sends, and a URL's own text parses back to the same URL. The first
// byte splits the input into a base and a reference.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/net/url.h"

namespace {

void checkSendable(std::string_view part) {
  for (unsigned char c : part)
    if (c <= 0x20 || c == 0x7f) abort();
}

void check(const plat::URL& url) {
  auto again = plat::URL::parse(url.absoluteString());
  if (!again || !(*again == url)) abort();
  if (again->scheme() != url.scheme() || again->host() != url.host() || again->port() != url.port() ||
      again->path() != url.path() || again->query() != url.query())
    abort();
  if (url.scheme() == "http" || url.scheme() == "https") {
    checkSendable(url.requestTarget());
    checkSendable(url.hostHeader());
    checkSendable(url.absoluteFormTarget());
  }
  if (url.port() && (*url.port() < 0 || *url.port() > 65535)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t split = std::min<size_t>(data[0], size - 1);
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view baseText = rest.substr(0, split), reference = rest.substr(split);
  auto whole = plat::URL::parse(rest);
  if (whole) check(*whole);
  auto base = plat::URL::parse(baseText);
  if (!base) return 0;
  check(*base);
  if (auto resolved = plat::URL::resolve(reference, *base)) check(*resolved);
  (void)plat::percentDecode(reference);
  return 0;
}
