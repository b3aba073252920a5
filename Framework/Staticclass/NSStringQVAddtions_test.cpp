// The hand-built JSON writer: what it writes for each kind, and that any
// text survives a JSON reader.
#include <gtest/gtest.h>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "Framework/Staticclass/NSStringQVAddtions.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;

std::optional<Value> parse(const std::string& text) {
  auto decoder = JSONDecoder::decoder();
  return decoder->valueWithUTF8String(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(JSONWriter, WritesEachKindAsJSON) {
  struct Case {
    Value in;
    std::optional<std::string> out;
  } cases[] = {
      {Value(int64_t(18)), "18"},
      {Value(true), "1"},
      {Value(false), "0"},
      {Value("a\nb\"c"), R"("a\nb\"c")"},
      {Value("back\\slash"), R"("back\\slash")"},
      {Value(std::string("tab\tbell\x07")), R"("tab\tbell\u0007")"},
      {Value("中文"), "\"中文\""},
      {Value(Array{Value(int64_t(1)), Value(), Value("x")}), R"([1,"x"])"},
      {Value(Dictionary{{"when", Value(plat::Date{0})}}), "{}"},
      {Value(Dictionary{{"k\"ey", Value(int64_t(2))}}), R"({"k\"ey":2})"},
      {Value(), std::nullopt},
      {Value(plat::Date{0}), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NSStringQVAddtions::jsonStringWithObject(c.in), c.out) << c.in.description();
  }
}

TEST(JSONWriter, AnyTextComesBackWholeFromAReader) {
  std::string every;
  for (int c = 1; c < 128; ++c) every += static_cast<char>(c);
  every += "末尾";
  const Value sample(Dictionary{
      {"string", Value(every)},
      {"array", Value(Array{Value(Dictionary{{"name", Value("a\\b")}, {"age", Value(int64_t(18))}}),
                            Value(Dictionary{{"name", Value("\"q\"")}, {"age", Value("21")}})})},
  });
  auto text = NSStringQVAddtions::jsonStringWithObject(sample);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find('\n'), std::string::npos);
  auto back = parse(*text);
  ASSERT_TRUE(back) << *text;
  EXPECT_EQ((*back)["string"].string(), every);
  EXPECT_EQ((*back)["array"][size_t(0)]["name"].string(), "a\\b");
  EXPECT_EQ((*back)["array"][size_t(1)]["name"].string(), "\"q\"");
  EXPECT_EQ((*back)["array"][size_t(1)]["age"].string(), "21");
}

}  // namespace
