#include "Framework/JSONCategories/JSONCategories.h"

#include <bit>
#include <cmath>

#include <gtest/gtest.h>

#include "Framework/JSONCategories/JSONCategoryEncoder.h"
#include "tests/support/random_json.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;
using namespace JSONCategories;

Value dec(const char* s) { return Value(*plat::Decimal::parse(s)); }

std::string orNil(const std::optional<std::string>& s) { return s ? *s : "<nil>"; }

TEST(JSONCategories, WriterTable) {
  struct Case {
    Value in;
    long level;
    std::string out;
  } cases[] = {
      {Value(Dictionary{}), 0, "{}"},
      {Value(Array{}), 0, "[]"},
      {Value(Dictionary{{"a", 1}}), 0, "{\n \"a\" : 1}"},
      {Value(Dictionary{{"a", 1}}), jsonDoNotIndent, "{ \"a\" : 1}"},
      {Value(Dictionary{{"a", 1}, {"b", 2}}), 0, "{\n \"a\" : 1,\n \"b\" : 2}"},
      {Value(Dictionary{{"a", Value(Dictionary{{"b", 1}})}}), 0, "{\n \"a\" : {\n\t \"b\" : 1}}"},
      {Value(Dictionary{{"a", Value(Dictionary{{"b", 1}})}}), 2, "{\n\t\t \"a\" : {\n\t\t\t \"b\" : 1}}"},
      {Value(Array{1, "x", Value(), true, false}), 0, "[1, \"x\", null, true, false]"},
      {Value(Array{Value(Dictionary{{"a", Value(Array{1, 2})}})}), 0, "[{\n\t \"a\" : [1, 2]}]"},
      {Value(Array{dec("2.50"), 0.1, -7, Value(plat::Number::fromChar(1))}), 0, "[2.5, 0.1, -7, true]"},
      {Value(Array{1.5e10, 1e300}), 0, "[15000000000, 1e+300]"},
      {Value(Array{"\b\t\n\f\r\"/\\"}), 0, "[\"\\b\\t\\n\\f\\r\\\"\\/\\\\\"]"},
      // Other control characters are escaped too, so the text is JSON.
      {Value(Array{std::string("\x01\x1f\0\x7f\xC3\xA9", 6)}), 0, "[\"\\u0001\\u001f\\u0000\x7f\xC3\xA9\"]"},
      // Escapes past the first blocks of a long string.
      {Value(Array{std::string(20, 'x') + "\t" + std::string(15, 'y') + "\"" + std::string(16, 'z') + "\xC3\xA9/"}), 0,
       "[\"" + std::string(20, 'x') + "\\t" + std::string(15, 'y') + "\\\"" + std::string(16, 'z') + "\xC3\xA9\\/\"]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    if (c.in.isDictionary()) {
      EXPECT_EQ(orNil(dictionaryJSONStringValueWithIndentLevel(c.in, c.level)), c.out);
      if (c.level == 0) {
        EXPECT_EQ(orNil(dictionaryJSONStringValue(c.in)), c.out);
      }
    } else {
      EXPECT_EQ(orNil(arrayJSONStringValueWithIndentLevel(c.in, c.level)), c.out);
      if (c.level == 0) {
        EXPECT_EQ(orNil(arrayJSONStringValue(c.in)), c.out);
      }
    }
  }
  EXPECT_EQ(jsonIndentStringForLevel(jsonDoNotIndent), "");
  EXPECT_EQ(jsonIndentStringForLevel(0), "\n");
  EXPECT_EQ(jsonIndentStringForLevel(2), "\n\t\t");
  EXPECT_EQ(orNil(stringJSONStringValue("a\"b")), "\"a\\\"b\"");
  // The encoder passes a dictionary one level down, an array at its own level.
  EXPECT_EQ(orNil(JSONCategoryEncoder::jsonStringForValue(Value(Dictionary{{"k", "v"}}), 0)), "{\n\t \"k\" : \"v\"}");
  EXPECT_EQ(orNil(JSONCategoryEncoder::jsonStringForValue(Value(Array{"v"}), 3)), "[\"v\"]");
}

TEST(JSONCategories, WriterRefusesWhatJSONCannotHold) {
  Value deep(Array{});
  for (int i = 0; i < kMaxDepth; ++i) deep = Value(Array{deep});
  const Value cases[] = {
      Value(plat::Date{}),
      Value(plat::Data{1, 2}),
      Value(Array{std::nan("")}),
      Value(Dictionary{{"x", HUGE_VAL}}),
      Value(Array{Value(plat::Decimal::notANumber())}),
      Value(Array{"bad \xC3"}),
      Value(Dictionary{{"bad \xFF", 1}}),
      deep,
  };
  for (const auto& v : cases) {
    SCOPED_TRACE(v.className());
    EXPECT_FALSE(JSONCategoryEncoder::jsonStringForValue(v, 0));
  }
  EXPECT_FALSE(dictionaryJSONStringValue(Value(Array{})));
  EXPECT_FALSE(arrayJSONStringValue(Value(Dictionary{})));
  EXPECT_FALSE(stringJSONStringValue("\xC0\x80"));
}

TEST(JSONCategories, ReaderTable) {
  struct Case {
    bool dictionary;
    std::string in;
    std::optional<Value> out;
  } cases[] = {
      {true, "xyz{\"a\":1}", Value(Dictionary{{"a", dec("1")}})},
      {true, "{\"a\":1 \"b\":2}", Value(Dictionary{{"a", dec("1")}, {"b", dec("2")}})},
      {true, "{\"a\":1,}", Value(Dictionary{{"a", dec("1")}})},
      {true, "{ \"a\" : 1, \"a\" : 2 }", Value(Dictionary{{"a", dec("2")}})},
      {true, "{}", Value(Dictionary{})},
      {true, "{\n \"a\" : {\n\t \"b\" : [1, \"x\"]}}", Value(Dictionary{{"a", Value(Dictionary{{"b", Value(Array{dec("1"), "x"})}})}})},
      {false, "1, 2]", Value(Array{dec("1"), dec("2")})},
      {false, "[true, null, 2.50]", Value(Array{true, Value(), dec("2.5")})},
      {false, "[\"\\q\"]", Value(Array{"\\q"})},
      {false, "[\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"]", Value(Array{"\"/\\\b\f\n\r\t"})},
      {false, "[\"\\u00e9\\ud83d\\ude00\\ud83d\"]", Value(Array{"\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD"})},
      {false, "[1,\xC2\xA0 2\xE3\x80\x80]", Value(Array{dec("1"), dec("2")})},
      {false, "[-1.5e3, 0.25, -0]", Value(Array{dec("-1500"), dec("0.25"), dec("0")})},
      {false, "[]", Value(Array{})},
      {false, "[\"\\u00zz\"]", std::nullopt},
      {false, "[\"open", std::nullopt},
      {false, "[\"\\", std::nullopt},
      {false, "[1", std::nullopt},
      {false, "[x]", std::nullopt},
      {false, "[-]", std::nullopt},
      {false, "", std::nullopt},
      {true, "", std::nullopt},
      {true, "no object", std::nullopt},
      {true, "{\"a\":", std::nullopt},
      {true, std::string(600, '{'), std::nullopt},
      {false, std::string(600, '[') + std::string(600, ']'), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in.substr(0, 60));
    auto got = c.dictionary ? dictionaryWithJSONString(c.in) : arrayWithJSONString(c.in);
    ASSERT_EQ(got.has_value(), c.out.has_value());
    if (got) {
      EXPECT_EQ(*got, *c.out);
    }
  }
  // Every number is a decimal, 7 included.
  auto seven = arrayWithJSONString("[7]");
  ASSERT_TRUE(seven);
  EXPECT_TRUE((*seven)[size_t{0}].isDecimal());
  auto nested = arrayWithJSONString(std::string(100, '[') + std::string(100, ']'));
  EXPECT_TRUE(nested);
}

// Writer to reader: a random document reads back equal, and writing what
// was read gives the same text.
TEST(JSONCategories, RoundTripsRandomDocuments) {
  testsupport::RandomJSON gen(113);
  for (int i = 0; i < 400; ++i) {
    Value doc = gen.document();
    auto text = doc.isArray() ? arrayJSONStringValue(doc) : dictionaryJSONStringValue(doc);
    ASSERT_TRUE(text) << doc.description();
    auto back = doc.isArray() ? arrayWithJSONString(*text) : dictionaryWithJSONString(*text);
    ASSERT_TRUE(back) << *text;
    ASSERT_EQ(*back, doc) << *text;
    auto again = back->isArray() ? arrayJSONStringValue(*back) : dictionaryJSONStringValue(*back);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *text);
  }
}

std::optional<Value> categoryRoundTrip(const Value& doc) {
  auto text = arrayJSONStringValue(doc);
  if (!text) return std::nullopt;
  return arrayWithJSONString(*text);
}

// Each edge number alone in an array: written, read back bit for bit.
TEST(JSONCategories, EdgeNumbersReadBackExactly) {
  for (double x : testsupport::edgeDoubles()) {
    auto back = categoryRoundTrip(Value(Array{Value(x)}));
    ASSERT_TRUE(back) << x;
    ASSERT_TRUE(back->isArray() && back->array().size() == 1) << x;
    double y = back->array()[0].doubleValue();
    EXPECT_EQ(std::bit_cast<uint64_t>(y), std::bit_cast<uint64_t>(x)) << x << " read back as " << y;
  }
  for (int64_t i : testsupport::edgeIntegers()) {
    auto back = categoryRoundTrip(Value(Array{Value(static_cast<long long>(i))}));
    ASSERT_TRUE(back && back->isArray() && back->array().size() == 1) << i;
    EXPECT_EQ(back->array()[0].longLongValue(), i);
  }
}

}  // namespace
