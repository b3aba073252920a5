// libFuzzer target: the discovery datagram reader must never read past the
// datagram, must accept only what its tag and length say, and what it
// accepts must encode back to the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/trans/lan/LanWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so a read past it is caught.
  std::vector<uint8_t> bytes(data, data + size);
  auto d = lanwire::decode(bytes.data(), bytes.size());
  if (!d) return 0;
  if (!lanwire::isContentHash(d->hash) || d->port == 0 || d->port > 65535) abort();
  if (d->kind == lanwire::Kind::kPartial) {
    if (bytes.size() != lanwire::kPartialHeadSize + d->bitmap.size()) abort();
    if (d->bitmap.size() > static_cast<size_t>(lanwire::kMaxBitmap)) abort();
  } else if (bytes.size() != lanwire::kHeadSize) {
    abort();
  }
  auto again = lanwire::encode(*d);
  if (!again) abort();
  // The flags are read from their lowest bit: compare the rest whole.
  if (d->kind == lanwire::Kind::kPartial) {
    (*again)[68] = bytes[68];
    (*again)[69] = bytes[69];
  }
  if (*again != bytes) abort();
  return 0;
}
