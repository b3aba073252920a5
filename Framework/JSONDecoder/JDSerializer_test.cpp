#include "Framework/JSONDecoder/JDSerializer.h"

#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "platform/foundation/format.h"
#include "tests/support/random_json.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Number;
using plat::Value;

std::string compact(const Value& v, uint64_t options = 0) {
  plat::Error e;
  auto r = JDSerializer::serializeObject(v, options, JDEncodeOptionOutputString, {}, nullptr, {}, &e);
  return r ? r->string() : "<nil: " + e.localizedDescription() + ">";
}

TEST(JDSerializer, OutputTable) {
  struct Case {
    Value in;
    uint64_t options;
    std::string out;
  } cases[] = {
      {Value(Array{}), 0, "[]"},
      {Value(Dictionary{}), 0, "{}"},
      {Value(Array{}), JDSerializeOptionPretty, "[\n  \n]"},
      {Value(Dictionary{}), JDSerializeOptionPretty, "{\n  \n}"},
      {Value(Dictionary{{"b", 1}, {"a", 2}}), 0, "{\"a\":2,\"b\":1}"},
      {Value(Dictionary{{"b", 1}, {"a", 2}}), JDSerializeOptionPretty, "{\n  \"a\": 2,\n  \"b\": 1\n}"},
      {Value(Array{1, Value(Array{2})}), JDSerializeOptionPretty, "[\n  1,\n  [\n    2\n  ]\n]"},
      {Value(Array{1, Value(Dictionary{{"k", Value(Array{})}})}), 0, "[1,{\"k\":[]}]"},
      {Value(Array{"a/b"}), 0, "[\"a/b\"]"},
      {Value(Array{"a/b"}), JDSerializeOptionEscapeSlash, "[\"a\\/b\"]"},
      {Value(Array{"\x7f\x01\x1f"}), 0, "[\"\x7f\\u0001\\u001f\"]"},
      {Value(Array{"\"\\\b\f\n\r\t"}), 0, "[\"\\\"\\\\\\b\\f\\n\\r\\t\"]"},
      {Value(Array{"\xC3\xA9"}), 0, "[\"\xC3\xA9\"]"},
      {Value(Array{"\xC3\xA9"}), JDSerializeOptionEscapeNonASCII, "[\"\\u00e9\"]"},
      {Value(Array{"\xF0\x9F\x98\x80"}), JDSerializeOptionEscapeNonASCII, "[\"\\ud83d\\ude00\"]"},
      {Value(Array{"\xEF\xBF\xBE\xEF\xB7\x90"}), 0, "[\"\xEF\xBF\xBE\xEF\xB7\x90\"]"},
      // No character to write: an encoded surrogate and stray bytes become "?".
      {Value(Array{"a\xED\xA0\x80" "b\xFF\xC3"}), 0, "[\"a?b??\"]"},
      {Value(Array{true, false, 1, 0, Value(Number::fromChar(1))}), 0, "[true,false,1,0,1]"},
      {Value(Array{1.0, 0.1, 1e300, -0.0}), 0, "[1,0.10000000000000001,1.0000000000000001e+300,-0]"},
      {Value(Array{INT64_MIN, INT64_MAX, UINT64_MAX}), 0,
       "[-9223372036854775808,9223372036854775807,18446744073709551615]"},
      {Value(Array{Value(*plat::Decimal::parse("2.5")), Value(Number::fromUnsignedShort(65535)), Value()}), 0,
       "[2.5,65535,null]"},
      // Escapes past the first blocks of a long string.
      {Value(Array{std::string(20, 'x') + "\t" + std::string(15, 'y') + "\"" + std::string(16, 'z') + "\xC3\xA9/\x01"}),
       JDSerializeOptionEscapeSlash,
       "[\"" + std::string(20, 'x') + "\\t" + std::string(15, 'y') + "\\\"" + std::string(16, 'z') +
           "\xC3\xA9\\/\\u0001\"]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(compact(c.in, c.options), c.out);
  }
}

TEST(JDSerializer, StringCategory) {
  EXPECT_EQ(JDSerializing::JSONString("q\"b\\\t"), "\"q\\\"b\\\\\\t\"");
  EXPECT_EQ(JDSerializing::JSONStringWithOptions("q\"b\\\t", 0, false, nullptr), "q\\\"b\\\\\\t");
  auto data = JDSerializing::JSONDataWithOptions("/\xC3\xA9", JDSerializeOptionEscapeSlash, true, nullptr);
  ASSERT_TRUE(data);
  EXPECT_EQ(std::string(data->begin(), data->end()), "\"\\/\xC3\xA9\"");
  plat::Error e;
  EXPECT_FALSE(JDSerializing::JSONStringWithOptions("\xEF\xBF\xBE", JDSerializeOptionEscapeNonASCII, true, &e));
  EXPECT_EQ(e.domain(), "JDErrorDomain");
  EXPECT_EQ(e.code(), -1);
  EXPECT_EQ(e.localizedDescription(), "Error converting UTF8.");
  EXPECT_FALSE(JDSerializing::JSONStringWithOptions("\xEF\xB7\x90", JDSerializeOptionEscapeNonASCII, true, nullptr));
}

TEST(JDSerializer, ErrorTable) {
  Value date(plat::Date{1000});
  Value deep(Array{});
  for (int i = 0; i < JDSerializer::kMaxDepth; ++i) deep = Value(Array{deep});
  auto returnsDate = [](const Value&) -> std::optional<Value> { return Value(plat::Date{5}); };
  auto returnsNothing = [](const Value&) -> std::optional<Value> { return std::nullopt; };
  struct Case {
    Value in;
    uint64_t encodeOption;
    JDSerializer::FormatterBlock block;
    std::string message;
  } cases[] = {
      {Value("text"), 9, {}, "Unable to serialize object class NSString, expected a NSArray or NSDictionary."},
      {Value(Array{}), 18, {}, "Unable to serialize object class NSArray, expected a NSString."},
      {Value(Array{}), 0, {}, "Unknown encode as type."},
      {Value(Array{}), 3, {}, "Unknown encode as type."},
      {Value(Array{date}), 10, {}, "Unable to serialize object class NSDate."},
      {Value(Array{Value(plat::Data{1})}), 10, {}, "Unable to serialize object class NSData."},
      {Value(Array{date}), 10, returnsNothing, "Unable to serialize object class NSDate."},
      {Value(Array{date}), 10, returnsDate,
       "Unable to serialize object class NSDate that was returned by the unsupported class formatter.  Original "
       "object class was NSDate."},
      {Value(Array{std::nan("")}), 10, {},
       "Floating point values must be finite.  JSON does not support NaN or Infinity."},
      {Value(Array{-std::numeric_limits<double>::infinity()}), 10, {},
       "Floating point values must be finite.  JSON does not support NaN or Infinity."},
      {deep, 10, {}, "Unable to serialize object: nesting deeper than 512 levels."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    plat::Error e(plat::kPOSIXErrorDomain, 1);
    EXPECT_FALSE(JDSerializer::serializeObject(c.in, 0, c.encodeOption, c.block, nullptr, {}, &e));
    EXPECT_EQ(e.domain(), "JDErrorDomain");
    EXPECT_EQ(e.code(), -1);
    EXPECT_EQ(e.localizedDescription(), c.message);
  }
  // A stale error in the argument is cleared by a call that succeeds.
  plat::Error stale(plat::kPOSIXErrorDomain, 1);
  EXPECT_TRUE(JDSerializer::serializeObject(Value(Array{}), 0, 10, {}, nullptr, {}, &stale));
  EXPECT_TRUE(stale.domain().empty());
}

class Describer : public JDSerializerDelegate {
public:
  bool respondsToSelector(const std::string& sel) const override { return sel == "describe:"; }
  std::optional<Value> performSelector(const std::string&, const Value& v) override {
    ++calls;
    return Value(v.description());
  }
  int calls = 0;
};

TEST(JDSerializer, FormattersAndTheCache) {
  Value date(plat::Date{0});
  Value shared(Array{date});
  Value doc(Array{shared, shared});  // one date object met twice
  int calls = 0;
  auto block = [&](const Value& v) -> std::optional<Value> {
    ++calls;
    return Value(v.description());
  };
  EXPECT_EQ(JDSerializing::collectionJSONStringWithOptions(doc, 0, block, nullptr),
            "[[\"1970-01-01 00:00:00 +0000\"],[\"1970-01-01 00:00:00 +0000\"]]");
  EXPECT_EQ(calls, 1);

  Describer d;
  EXPECT_TRUE(JDSerializing::collectionJSONDataWithOptions(doc, 0, &d, "describe:", nullptr));
  EXPECT_EQ(d.calls, 1);
  try {
    JDSerializing::collectionJSONStringWithOptions(doc, 0, &d, "", nullptr);
    ADD_FAILURE();
  } catch (const plat::Exception& ex) {
    EXPECT_EQ(ex.name(), plat::kInvalidArgumentException);
    EXPECT_EQ(ex.reason(), "The delegate argument is not NULL, but the selector argument is NULL.");
  }
  try {
    JDSerializing::collectionJSONStringWithOptions(doc, 0, &d, "other:", nullptr);
    ADD_FAILURE();
  } catch (const plat::Exception& ex) {
    EXPECT_EQ(ex.reason(),
              "The serializeUnsupportedClassesUsingDelegate: delegate does not respond to the selector argument.");
  }
  EXPECT_THROW(JDSerializer::serializeObject(doc, 0, 10, block, &d, "describe:", nullptr), plat::Exception);
  EXPECT_THROW(JDSerializer::serializeObject(doc, 0, 8 | 16 | 2, {}, nullptr, {}, nullptr), plat::Exception);

  // A formatter's exception passes through and leaves no state behind.
  JDSerializer serializer;
  auto thrower = [](const Value&) -> std::optional<Value> { throw plat::Exception("Boom", "formatter"); };
  EXPECT_THROW(serializer.serializeObjectWith(doc, 0, 10, thrower, nullptr, {}, nullptr), plat::Exception);
  EXPECT_TRUE(serializer.serializeObjectWith(Value(Array{1}), 0, 10, {}, nullptr, {}, nullptr));
}

// Each replacement lives until the call ends: were one freed, the next could
// take its address and be written from the cache as the earlier text.
TEST(JDSerializer, ReplacementsAreNotConfusedByTheCache) {
  Array dates;
  std::string expected = "[";
  for (int i = 0; i < 200; ++i) {
    dates.push_back(Value(plat::Date{static_cast<double>(i)}));
    expected += (i ? "," : "") + plat::format("[\"%d\"]", i);
  }
  expected += "]";
  auto block = [](const Value& v) -> std::optional<Value> {
    return Value(Array{Value(plat::format("%.0f", v.date().secondsSince1970))});
  };
  EXPECT_EQ(JDSerializing::collectionJSONStringWithOptions(Value(dates), 0, block, nullptr), expected);
}

// Outputs past any first size, among them one whose later elements are far
// longer than its first ones (its length is estimated short and it grows).
TEST(JDSerializer, LargeArraysAndOutputs) {
  const struct {
    int count;
    int longFrom;  // elements from here are 2 KiB strings
  } cases[] = {{1021, 1021}, {7000, 5000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Array many;
    std::string expected = "[";
    for (int i = 0; i < c.count; ++i) {
      std::string text = "item number " + std::to_string(i);
      if (i >= c.longFrom) text += std::string(2048, 'x');
      many.push_back(Value(text));
      expected += (i ? ",\"" : "\"") + text + "\"";
    }
    expected += "]";
    ASSERT_GT(expected.size(), 4096u);
    EXPECT_EQ(JDSerializing::collectionJSONString(Value(many)), expected);
    auto data = JDSerializing::collectionJSONData(Value(many));
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), expected);
  }
}

// Writer to reader through the decoder family, compact and pretty.
TEST(JDSerializer, RoundTripsRandomDocuments) {
  testsupport::RandomJSON gen(130);
  for (int i = 0; i < 400; ++i) {
    Value doc = gen.document();
    for (uint64_t options : {uint64_t{0}, uint64_t{JDSerializeOptionPretty},
                             uint64_t{JDSerializeOptionEscapeNonASCII | JDSerializeOptionEscapeSlash}}) {
      plat::Error e;
      auto text = JDSerializing::collectionJSONStringWithOptions(doc, options, &e);
      ASSERT_TRUE(text) << e.localizedDescription() << doc.description();
      auto back = JDDeserializing::objectFromJSONString(*text);
      ASSERT_TRUE(back) << *text;
      ASSERT_EQ(*back, doc) << *text;
    }
  }
}

std::optional<Value> decoderRoundTrip(const Value& doc) {
  plat::Error e;
  auto text = JDSerializing::collectionJSONStringWithOptions(doc, 0, &e);
  if (!text) return std::nullopt;
  return JDDeserializing::objectFromJSONString(*text);
}

// Each edge number alone in an array: written, read back bit for bit.
TEST(JDSerializer, EdgeNumbersReadBackExactly) {
  for (double x : testsupport::edgeDoubles()) {
    auto back = decoderRoundTrip(Value(Array{Value(x)}));
    ASSERT_TRUE(back) << x;
    ASSERT_TRUE(back->isArray() && back->array().size() == 1) << x;
    double y = back->array()[0].doubleValue();
    EXPECT_EQ(std::bit_cast<uint64_t>(y), std::bit_cast<uint64_t>(x)) << x << " read back as " << y;
  }
  for (int64_t i : testsupport::edgeIntegers()) {
    auto back = decoderRoundTrip(Value(Array{Value(static_cast<long long>(i))}));
    ASSERT_TRUE(back && back->isArray() && back->array().size() == 1) << i;
    EXPECT_EQ(back->array()[0].longLongValue(), i);
  }
}

}  // namespace
