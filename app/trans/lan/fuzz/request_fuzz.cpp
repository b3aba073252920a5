// libFuzzer target: the file service's request reader must stay within the
// buffer and its bounds, name only content hashes, and give ranges that
// resolve inside the file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/trans/lan/LanWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  // The first 8 bytes pick a file size; the rest is the request.
  uint64_t fileSize = 0;
  for (int i = 0; i < 8; ++i) fileSize = (fileSize << 8) | data[i];
  fileSize %= (uint64_t{1} << 40);
  const std::string buffer(reinterpret_cast<const char*>(data + 8), size - 8);
  lanwire::Request r;
  size_t consumed = 0;
  const lanwire::Parse p = lanwire::parseRequest(buffer, r, consumed);
  if (p == lanwire::Parse::kNeedMore && buffer.size() >= lanwire::kMaxRequestHead) abort();
  if (p != lanwire::Parse::kRequest) return 0;
  if (consumed > buffer.size() || consumed > lanwire::kMaxRequestHead) abort();
  if (!lanwire::isContentHash(r.hash)) abort();
  for (char c : r.host)
    if (c == '\r' || c == '\n') abort();
  auto span = lanwire::resolve(r, fileSize);
  if (!span) {
    if (!r.hasRange || r.first < fileSize) abort();
    return 0;
  }
  if (static_cast<int64_t>(span->first) > span->last + 1) abort();
  if (span->last >= 0 && static_cast<uint64_t>(span->last) >= fileSize) abort();
  if (span->partial) {
    (void)lanwire::head206(r.host, "d", span->first, static_cast<uint64_t>(span->last), fileSize);
  } else {
    (void)lanwire::head200(r.host, "d", fileSize);
  }
  return 0;
}
