// libFuzzer target: the category reader neither crashes nor reads out of
// bounds on any text, and what it reads and the writer accepts reads back
// to the same value, written again as the same text. The first byte picks
// the reader (object or array) and the indent level.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Framework/JSONCategories/JSONCategories.h"
#include "platform/foundation/text_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool object = data[0] & 1;
  const long level = (data[0] & 2) ? jsonDoNotIndent : (data[0] >> 2) & 3;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  auto read = [&](std::string_view t) {
    return object ? JSONCategories::dictionaryWithJSONString(t) : JSONCategories::arrayWithJSONString(t);
  };
  auto write = [&](const plat::Value& v) {
    return object ? JSONCategories::dictionaryJSONStringValueWithIndentLevel(v, level)
                  : JSONCategories::arrayJSONStringValueWithIndentLevel(v, level);
  };
  auto value = read(text);
  // The codec reads platform strings, which are always UTF-8; other bytes
  // only have to be survived.
  if (!value || !plat::isValidUTF8(text)) return 0;
  auto written = write(*value);
  if (!written) abort();
  auto back = read(*written);
  if (!back || !(*back == *value)) abort();
  auto again = write(*back);
  if (!again || *again != *written) abort();
  return 0;
}
