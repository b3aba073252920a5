#include "Framework/JSONDecoder/JDManagedBuffer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(JDManagedBuffer, GrowsFromCallerStorageToTheHeap) {
  unsigned char storage[64];
  std::memset(storage, 'a', sizeof storage);
  JDManagedBuffer b;
  jd_managedBuffer_setToStackBuffer(&b, storage, sizeof storage);
  EXPECT_EQ(b.flags & JDManagedBufferLocationMask, JDManagedBufferCallerOwned);
  // Within the capacity nothing moves; it never shrinks.
  EXPECT_EQ(jd_managedBuffer_resize(&b, 10), storage);
  EXPECT_EQ(b.bytes.length, 64u);
  b.growthGranule = 4096;
  unsigned char* p = jd_managedBuffer_resize(&b, 4097);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(p, storage);
  EXPECT_EQ(b.bytes.length, 8192u);
  EXPECT_EQ(b.flags, uint64_t(JDManagedBufferOnHeap | JDManagedBufferMustFree));
  for (size_t i = 0; i < 64; ++i) ASSERT_EQ(p[i], 'a');  // the whole capacity was copied
  p[8191] = 'z';
  unsigned char* q = jd_managedBuffer_resize(&b, 8193);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(b.bytes.length, 12288u);
  EXPECT_EQ(q[0], 'a');
  EXPECT_EQ(q[8191], 'z');
  EXPECT_EQ(jd_managedBuffer_resize(&b, 100), q);
  jd_managedBuffer_release(&b);
  EXPECT_EQ(b.bytes.ptr, nullptr);
  EXPECT_EQ(b.bytes.length, 0u);
  EXPECT_EQ(b.flags, 0u);
}

TEST(JDManagedBuffer, ReleasingCallerStorageFreesNothingAndGranuleZeroIsExact) {
  unsigned char storage[16];
  JDManagedBuffer b;
  jd_managedBuffer_setToStackBuffer(&b, storage, sizeof storage);
  jd_managedBuffer_release(&b);  // would crash under ASan if it freed the array
  EXPECT_EQ(b.flags, 0u);
  jd_managedBuffer_setToStackBuffer(&b, storage, sizeof storage);
  ASSERT_NE(jd_managedBuffer_resize(&b, 17), nullptr);
  EXPECT_EQ(b.bytes.length, 17u);
  // Setting new storage releases the heap block first.
  jd_managedBuffer_setToStackBuffer(&b, storage, sizeof storage);
  EXPECT_EQ(b.bytes.ptr, storage);
  EXPECT_EQ(b.flags, uint64_t(JDManagedBufferCallerOwned));
}

struct CodePointCase {
  std::vector<uint8_t> bytes;
  ConversionResult result;
  uint32_t codePoint;
  size_t consumed;
};

TEST(ConvertSingleCodePointInUTF8, ReadsOneCodePoint) {
  const CodePointCase cases[] = {
      {{0xC3, 0xA9}, conversionOK, 0xE9, 2},
      {{0xE4, 0xB8, 0xAD}, conversionOK, 0x4E2D, 3},
      {{0xF0, 0x9F, 0x98, 0x80}, conversionOK, 0x1F600, 4},
      {{0xC3}, sourceExhausted, 0xFFFD, 1},
      {{0xE4, 0xB8}, sourceExhausted, 0xFFFD, 2},
      {{0xC0, 0x80}, sourceIllegal, 0xFFFD, 2},
      {{0xED, 0xA0, 0x80}, sourceIllegal, 0xFFFD, 3},
      {{0xEF, 0xBF, 0xBE}, sourceIllegal, 0xFFFD, 3},
      {{0xEF, 0xB7, 0x90}, sourceIllegal, 0xFFFD, 3},  // U+FDD0
      {{0xF4, 0x90, 0x80, 0x80}, sourceIllegal, 0xFFFD, 4},
      {{0x80, 'a'}, sourceIllegal, 0xFFFD, 1},
      {{0xC3, 'a'}, sourceIllegal, 0xFFFD, 1},
      {{0xFF, 0x80, 0x80}, sourceExhausted, 0xFFFD, 3},
      {{0xFF, '"'}, sourceIllegal, 0xFFFD, 1},
      {{0xED, '"', 0x80}, sourceIllegal, 0xFFFD, 1},  // must not swallow the quote
  };
  for (const auto& c : cases) {
    const uint8_t* next = nullptr;
    uint32_t cp = 0;
    ConversionResult r = ConvertSingleCodePointInUTF8(c.bytes.data(), c.bytes.data() + c.bytes.size(), &next, &cp);
    SCOPED_TRACE(testing::Message() << std::hex << int(c.bytes[0]));
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(cp, c.codePoint);
    EXPECT_EQ(static_cast<size_t>(next - c.bytes.data()), c.consumed);
  }
}

TEST(isLegalUTF8, FollowsTheTable) {
  const std::pair<std::vector<uint8_t>, bool> cases[] = {
      {{0x41}, true},       {{0xC2, 0x80}, true},         {{0xC1, 0xBF}, false},
      {{0xE0, 0xA0, 0x80}, true}, {{0xE0, 0x9F, 0x80}, false}, {{0xED, 0x9F, 0xBF}, true},
      {{0xED, 0xA0, 0x80}, false}, {{0xF0, 0x90, 0x80, 0x80}, true}, {{0xF0, 0x8F, 0x80, 0x80}, false},
      {{0xF4, 0x8F, 0xBF, 0xBF}, true}, {{0xF5, 0x80, 0x80, 0x80}, false}, {{0x80}, false},
      {{0xC3, 0xC3}, false}, {{}, false}, {{0xF0, 0x90, 0x80, 0x80, 0x80}, false},
      {{0xED, 0x22, 0x80}, false}, {{0xF4, 0x41, 0x80, 0x80}, false},  // second byte below 0x80
  };
  for (const auto& [bytes, legal] : cases) EXPECT_EQ(isLegalUTF8(bytes.data(), bytes.size()), legal);
}

TEST(ConvertUTF32toUTF8, WritesOneToFourBytesAndReplacesTheIllegal) {
  const std::pair<uint32_t, std::string> cases[] = {
      {0x41, "A"}, {0xE9, "\xC3\xA9"}, {0x4E2D, "\xE4\xB8\xAD"}, {0x1F600, "\xF0\x9F\x98\x80"},
      {0xD800, "\xEF\xBF\xBD"}, {0, "\xEF\xBF\xBD"}, {0xFFFF, "\xEF\xBF\xBD"}, {0x110000, "\xEF\xBF\xBD"},
  };
  for (const auto& [cp, utf8] : cases) {
    uint8_t out[4];
    size_t n = ConvertUTF32toUTF8(cp, out, out + 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), utf8) << cp;
  }
  uint8_t small[2];
  EXPECT_EQ(ConvertUTF32toUTF8(0x4E2D, small, small + 2), 0u);
}

}  // namespace
