#include "platform/foundation/case_fold.h"

#include <gtest/gtest.h>

namespace {

struct FoldCase {
  const char* in;
  const char* out;
};

TEST(CaseFold, LowersEveryScriptOneCodePointForOne) {
  const FoldCase cases[] = {
      {"Docs/A.TXT", "docs/a.txt"},
      {"ÄÖÜ/Straße", "äöü/straße"},       // ß stays: its upper form is two letters
      {"ΣΟΦΊΑ", "σοφία"},
      {"ПРИВЕТ", "привет"},
      {"中文/文件夹", "中文/文件夹"},       // no case
      {"a_b%c\\'d", "a_b%c\\'d"},
      {"", ""},
      {"\xff\xfeX", "\xff\xfex"},         // stray bytes kept, letters still fold
      {"\xC3", "\xC3"},                    // cut sequence kept
  };
  for (const auto& c : cases) EXPECT_EQ(plat::foldCase(c.in), c.out) << c.in;
}

TEST(CaseFold, EqualFoldedAgreesWithFoldCase) {
  const char* names[] = {"abc", "ABC", "aBc", "abd", "Ä", "ä", "ab", "中", "中文", "É/x", "é/X"};
  for (const char* a : names) {
    for (const char* b : names) {
      EXPECT_EQ(plat::equalFolded(a, b), plat::foldCase(a) == plat::foldCase(b)) << a << " vs " << b;
    }
  }
}

}  // namespace
