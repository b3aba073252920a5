#include "platform/system/secure_random.h"

#include <gtest/gtest.h>

#include <set>

TEST(SecureRandom, HexHasTwoDigitsPerByteAndDiffersEachTime) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string h = plat::secureRandomHex(16);
    ASSERT_EQ(h.size(), 32u);
    EXPECT_EQ(h.find_first_not_of("0123456789abcdef"), std::string::npos) << h;
    seen.insert(h);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(SecureRandom, FillsLargeBuffersAndEmptyRequests) {
  plat::Data d = plat::secureRandomData(100000);
  ASSERT_EQ(d.size(), 100000u);
  // Every byte value shows up in 100000 random bytes.
  std::set<uint8_t> values(d.begin(), d.end());
  EXPECT_EQ(values.size(), 256u);
  EXPECT_TRUE(plat::secureRandomData(0).empty());
}
