#include "platform/foundation/text_encoding.h"

#include <gtest/gtest.h>

using namespace plat;

TEST(TextEncoding, UTF8ValidationTable) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"plain", true},           {"caf\xC3\xA9", true},     {"\xF0\x9F\x98\x80", true}, {"\xC3", false},
      {"\xC0\xAF", false},       {"\xE0\x80\xAF", false},   {"\xED\xA0\x80", false},    {"\xF4\x90\x80\x80", false},
      {"\xFF", false},           {"a\xE9z", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << c.bytes;
}

TEST(TextEncoding, Conversions) {
  EXPECT_EQ(latin1ToUTF8("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(convertText("caf\xC3\xA9", "ISO-8859-1", "UTF-8"), std::optional<std::string>("caf\xE9"));
  EXPECT_FALSE(convertText("\xE4\xB8\xAD", "ISO-8859-1", "UTF-8")) << "no Latin-1 form";
  EXPECT_FALSE(convertText("x", "NO-SUCH-CHARSET", "UTF-8"));
}
