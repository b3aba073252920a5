#include "platform/foundation/text_encoding.h"

#include <gtest/gtest.h>

#include "platform/foundation/text_codec.h"

using namespace plat;

// The one validator every reader and writer uses: RFC 3629, with the quick
// paths (eight ASCII bytes, the common three-byte form) taken at every
// position of a run.
TEST(TextCodec, UTF8ValidationTable) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii text", true},
      {std::string("a\0b", 3), true},
      {"caf\xC3\xA9", true},
      {"\xE4\xB8\xAD\xE6\x96\x87", true},
      {"\xEE\x80\x80\xEF\xBF\xBD", true},  // EE and EF lead bytes take any continuation
      {"\xED\x9F\xBF", true},                  // the last before the surrogates
      {"\xF0\x9F\x98\x80", true},
      {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
      {"\xC3", false},               // cut off
      {"\xE4\xB8", false},
      {"abcdefgh\xE4\xB8", false},  // cut off after an eight-byte run
      {"\x80", false},
      {"\xC0\xAF", false},  // overlong
      {"\xC1\xBF", false},
      {"\xE0\x80\xAF", false},
      {"\xE0\x9F\xBF", false},
      {"\xED\xA0\x80", false},  // surrogate
      {"\xE4\x41\xAD", false},
      {"\xE4\xB8\x41", false},
      {"\xF0\x8F\x80\x80", false},
      {"\xF4\x90\x80\x80", false},  // past U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"a\xE9z", false},
      {"0123456789abcdef\xED\xA0\x80", false},
      {"\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xAD\xE4\xB8\xADxyz\xFF", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    // The same bytes after 1 to 9 ASCII bytes, so each fast path meets them at every alignment.
    for (size_t pad = 1; pad <= 9; ++pad)
      EXPECT_EQ(isValidUTF8(std::string(pad, 'x') + c.bytes), c.valid) << pad << testing::PrintToString(c.bytes);
  }
}

TEST(TextCodec, SequenceLengthAndEncoding) {
  const std::pair<std::string, size_t> lengths[] = {
      {"A", 1}, {"\xC3\xA9", 2}, {"\xE4\xB8\xAD", 3}, {"\xF0\x9F\x98\x80", 4}, {"\xC3", 0},
      {"\xC0\x80", 0}, {"\xED\xA0\x80", 0}, {"\xE4\xB8\xADxyz", 3}, {"\x80", 0},
  };
  for (const auto& [bytes, n] : lengths) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(utf8SequenceLength(p, p + bytes.size()), n) << testing::PrintToString(bytes);
  }
  const std::pair<uint32_t, std::string> encoded[] = {
      {0x41, "A"}, {0xE9, "\xC3\xA9"}, {0x7FF, "\xDF\xBF"}, {0x4E2D, "\xE4\xB8\xAD"},
      {0xD800, "\xED\xA0\x80"}, {0x1F600, "\xF0\x9F\x98\x80"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& [c, bytes] : encoded) {
    std::string out;
    appendUTF8(out, c);
    EXPECT_EQ(out, bytes) << c;
  }
  EXPECT_EQ(hexDigitValue('7'), 7);
  EXPECT_EQ(hexDigitValue('b'), 11);
  EXPECT_EQ(hexDigitValue('F'), 15);
  EXPECT_EQ(hexDigitValue('g'), -1);
  EXPECT_EQ(hexDigitValue(0x130), -1);
}

TEST(TextEncoding, Conversions) {
  EXPECT_EQ(latin1ToUTF8("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(convertText("caf\xC3\xA9", "ISO-8859-1", "UTF-8"), std::optional<std::string>("caf\xE9"));
  EXPECT_FALSE(convertText("\xE4\xB8\xAD", "ISO-8859-1", "UTF-8")) << "no Latin-1 form";
  EXPECT_FALSE(convertText("x", "NO-SUCH-CHARSET", "UTF-8"));
}
