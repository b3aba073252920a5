// libFuzzer target: the scanner-based reader must neither crash nor read out
// of bounds on any input, under every setting. The first byte picks the
// settings, the rest is the reply body.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Framework/SJSON/SJSONDeserializer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  auto d = SJSONDeserializer::deserializer();
  d->scanner()->setStrictEscapeCodes(mode & 1);
  if (mode & 2) d->setNullObject(std::nullopt);
  if (mode & 4) d->setAllowedEncoding(kStringEncodingISOLatin1);
  plat::Error e;
  std::optional<plat::Value> v = (mode & 8)    ? d->deserializeAsDictionary(text, &e)
                                 : (mode & 16) ? d->deserializeAsArray(text, &e)
                                               : d->deserialize(text, &e);
  if (v) {
    (void)v->description();
  } else if (e.domain() == kJSONScannerErrorDomain && e.code() != -12) {
    // An error always points inside the (converted) text.
    if (!e.userInfo().contains("snippet")) abort();
  }

  // The byte scanner's own operations over the same bytes.
  SDataScanner s(std::make_shared<const plat::Data>(data, data + size));
  std::optional<std::string> out;
  while (!s.isAtEnd()) {
    size_t before = s.scanLocation();
    try {
      s.scanCStyleComment(&out);
    } catch (const plat::Exception&) {
      s.setScanLocation(before + 1);
    }
    s.scanCPlusPlusStyleComment(&out);
    plat::Value n;
    s.scanNumber(&n);
    s.skipWhitespace();
    if (s.scanLocation() == before) s.scanCharacter();
  }
  s.setScanLocation(size / 2);
  (void)s.userInfoForScanLocation();
  return 0;
}
