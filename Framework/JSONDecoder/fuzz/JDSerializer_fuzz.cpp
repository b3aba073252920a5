// libFuzzer target: whatever the decoder reads, the encoder writes as text
// the decoder reads back to the same value, in every layout, and as bytes
// that are the same text. The first byte's low bits pick the serialize
// options.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Framework/JSONDecoder/JDSerializer.h"
#include "Framework/JSONDecoder/JSONDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint64_t options = 0;
  if (data[0] & 1) options |= JDSerializeOptionPretty;
  if (data[0] & 2) options |= JDSerializeOptionEscapeNonASCII;
  if (data[0] & 4) options |= JDSerializeOptionEscapeSlash;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  auto value = JDDeserializing::objectFromJSONString(text);
  if (!value) return 0;
  plat::Error error;
  auto written = JDSerializer::serializeObject(*value, options, JDEncodeOptionOutputString, {}, nullptr, {}, &error);
  if (!written) {
    // Only values JSON cannot hold are refused: what the decoder read is not one.
    abort();
  }
  auto back = JDDeserializing::objectFromJSONString(written->string());
  if (!back || !(*back == *value)) abort();
  auto again = JDSerializer::serializeObject(*back, options, JDEncodeOptionOutputString, {}, nullptr, {}, nullptr);
  if (!again || again->string() != written->string()) abort();
  // Bytes are the same text.
  auto bytes = JDSerializer::serializeObject(*value, options, JDEncodeOptionOutputData, {}, nullptr, {}, nullptr);
  if (!bytes || std::string_view(reinterpret_cast<const char*>(bytes->dataValue().data()), bytes->dataValue().size()) !=
                    written->string())
    abort();
  return 0;
}
