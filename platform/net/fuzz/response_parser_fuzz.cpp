// libFuzzer target: the response parser must neither crash nor read out of
// bounds on any bytes, and must read the same response whatever the pieces
// the connection hands it. The first byte picks the request method, the
// second seeds the split; the rest is what the server sent. The same bytes
// go once in one piece and once in random pieces, some of the body taken
// the direct way (directBodyBytes) as the read stream does.
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/net/response_parser.h"

namespace {

struct Result {
  plat::ResponseParser::State state;
  std::string body;
  size_t consumed = 0;
  plat::HeaderFields fields;
  int status = 0;
};

Result run(const char* method, const char* data, size_t size, std::mt19937* rng) {
  plat::ResponseParser parser(method, plat::ResponseParser::Limits{.maxHeadBytes = 4096, .maxHeaderCount = 32});
  Result r;
  size_t at = 0;
  while (at < size && !parser.isDone() && !parser.isFailed()) {
    size_t n = size - at;
    if (rng) n = std::min<size_t>(n, 1 + (*rng)() % 17);
    uint64_t direct = parser.directBodyBytes();
    if (rng && direct > 0 && ((*rng)() & 1)) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(direct, n));
      r.body.append(data + at, take);
      parser.takeDirectBody(take);
      at += take;
      continue;
    }
    size_t used = parser.feed(data + at, n, r.body);
    if (used > n) abort();
    at += used;
    if (used < n) break;
  }
  if (!parser.isDone() && !parser.isFailed()) parser.finish();
  r.state = parser.state();
  r.consumed = at;
  if (parser.headComplete()) {
    r.fields = parser.response().headerFields();
    r.status = parser.response().statusCode();
    // A stored field never holds what could split a message.
    for (const auto& [name, value] : r.fields)
      if (!plat::isHTTPToken(name) || !plat::isValidHeaderValue(value)) abort();
  }
  if (parser.bodyBytes() != r.body.size()) abort();
  if (parser.isDone() && parser.contentLength() && !parser.isChunked() && !parser.isCloseDelimited() &&
      r.body.size() != *parser.contentLength())
    abort();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const char* const kMethods[] = {"GET", "HEAD", "CONNECT", "PUT"};
  const char* method = kMethods[data[0] & 3];
  std::mt19937 rng(data[1]);
  const char* text = reinterpret_cast<const char*>(data + 2);
  size -= 2;
  Result whole = run(method, text, size, nullptr);
  Result pieces = run(method, text, size, &rng);
  // The pieces change nothing of what is read.
  if (whole.state != pieces.state || whole.status != pieces.status || whole.fields != pieces.fields) abort();
  if (whole.state == plat::ResponseParser::State::Done &&
      (whole.body != pieces.body || whole.consumed != pieces.consumed))
    abort();
  return 0;
}
