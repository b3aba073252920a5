#include "Framework/SJSON/SJSONSerializer.h"

#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "Framework/SJSON/SFilteringJSONSerializer.h"
#include "Framework/SJSON/SJSONDeserializer.h"
#include "Framework/SJSON/SJSONSerialization.h"
#include "platform/foundation/format.h"
#include "tests/support/random_json.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Number;
using plat::Value;

std::string text(const std::optional<plat::Data>& d) {
  return d ? std::string(d->begin(), d->end()) : std::string("<nil>");
}

std::string write(const Value& v, unsigned options = 0) {
  SJSONSerializer s;
  s.setOptions(options);
  return text(s.serializeObject(v));
}

TEST(SJSONSerializer, OutputTable) {
  struct Case {
    Value in;
    unsigned options;
    std::string out;
  } cases[] = {
      {Value(), 0, "null"},
      {Value(true), 0, "true"},
      {Value(false), 0, "false"},
      {Value(Number::fromChar(1)), 0, "true"},  // the one-byte type is how booleans are stored
      {Value(Number::fromChar(0)), 0, "false"},
      {Value(Number::fromChar(5)), 0, "5"},
      {Value(1), 0, "1"},
      {Value(0), 0, "0"},
      {Value(-42), 0, "-42"},
      {Value(INT64_MIN), 0, "-9223372036854775808"},
      {Value(UINT64_MAX), 0, "18446744073709551615"},
      {Value(0.1), 0, "0.1"},
      {Value(1.0), 0, "1"},
      {Value(1e300), 0, "1e+300"},
      {Value(*plat::Decimal::parse("2.50")), 0, "2.5"},
      {Value(*plat::Decimal::parse("-1.5e31")), 0, "-1.5e31"},
      {Value(*plat::Decimal::parse("1e40")), 0, "1.0e40"},
      {Value(*plat::Decimal::parse("1.5e3")), 0, "1500"},
      {Value("\t/\xC3\xA9"), 0, "\"\\t/\xC3\xA9\""},
      {Value("\t/\xC3\xA9"), 1, "\"\\t\\/\xC3\xA9\""},
      {Value("\"\\\b\f\n\r"), 0, "\"\\\"\\\\\\b\\f\\n\\r\""},
      // Control characters are escaped so the text stays valid JSON; 0x7F is not a control character to JSON.
      {Value(std::string("\x01\x1f\x7f\0", 4)), 0, "\"\\u0001\\u001f\x7f\\u0000\""},
      {Value("\xF0\x9F\x98\x80"), 0, "\"\xF0\x9F\x98\x80\""},
      // A lone surrogate as the reader keeps it goes back out as its escape.
      {Value("a\xED\xA0\x80" "b\xED\xBF\xBF"), 0, "\"a\\ud800b\\udfff\""},
      {Value(Array{}), 0, "[]"},
      {Value(Dictionary{}), 0, "{}"},
      {Value(Array{1, Value(Array{2, Value(Dictionary{{"a", Value()}})})}), 0, "[1,[2,{\"a\":null}]]"},
      {Value(Dictionary{{"b", 1}, {"a", 2}, {"c/d", "x"}}), 0, "{\"a\":2,\"b\":1,\"c/d\":\"x\"}"},
      {Value(plat::Data{'a', '"', 'b'}), 0, "\"a\\\"b\""},
      // Escapes past the first blocks of a long string, and after an encoded surrogate.
      {Value(std::string(20, 'x') + "\t" + std::string(15, 'y') + "\"" + std::string(16, 'z') + "\xC3\xA9/"), 1,
       "\"" + std::string(20, 'x') + "\\t" + std::string(15, 'y') + "\\\"" + std::string(16, 'z') + "\xC3\xA9\\/\""},
      {Value(std::string(20, 'x') + "\xED\xA0\x80" + std::string(17, 'y') + "\n"), 0,
       "\"" + std::string(20, 'x') + "\\ud800" + std::string(17, 'y') + "\\n\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(write(c.in, c.options), c.out);
  }
}

TEST(SJSONSerializer, ErrorTable) {
  Value date(plat::Date{0});
  Array deep = {1};
  Value nested(deep);
  for (int i = 0; i < SJSONSerializer::kMaxDepth; ++i) nested = Value(Array{nested});
  struct Case {
    Value in;
    std::string message;
  } cases[] = {
      {date, "Cannot serialize data of type 'NSDate'"},
      {Value(Dictionary{{"when", date}}), plat::format("Could not serialize object '%@'", Value(Dictionary{{"when", date}}))},
      {Value(std::nan("")), "Could not serialize object 'nan'"},
      {Value(Array{1, std::numeric_limits<double>::infinity()}),
       plat::format("Could not serialize object '%@'", Value(Array{1, std::numeric_limits<double>::infinity()}))},
      {Value(plat::Decimal::notANumber()), plat::format("Could not serialize object '%@'", Value(plat::Decimal::notANumber()))},
      {Value(plat::Data{0xff, 0xfe}), plat::format("Could not serialize object '%@'", Value(plat::Data{0xff, 0xfe}))},
      {Value("bad \xC3"), "Could not serialize object 'bad \xC3'"},
      {nested, plat::format("Could not serialize object '%@'", nested)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 80));
    plat::Error e;
    EXPECT_FALSE(SJSONSerializer::serializer()->serializeObject(c.in, &e));
    EXPECT_EQ(e.domain(), "TODO_DOMAIN");
    EXPECT_EQ(e.code(), -1);
    EXPECT_EQ(e.localizedDescription(), c.message);
  }
  // One level less than the limit is written.
  Value ok(deep);
  for (int i = 0; i < SJSONSerializer::kMaxDepth - 1; ++i) ok = Value(Array{ok});
  EXPECT_EQ(write(ok).size(), 2u * SJSONSerializer::kMaxDepth + 1);
}

TEST(SJSONSerializer, TypedWritersAndValidity) {
  auto s = SJSONSerializer::serializer();
  EXPECT_EQ(text(s->serializeNull(Value())), "null");
  EXPECT_EQ(text(s->serializeNumber(Value(7))), "7");
  EXPECT_EQ(text(s->serializeString(Value("x"))), "\"x\"");
  EXPECT_EQ(text(s->serializeArray(Value(Array{Value()}))), "[null]");
  EXPECT_EQ(text(s->serializeDictionary(Value(Dictionary{{"k", 1}}))), "{\"k\":1}");
  EXPECT_FALSE(s->serializeArray(Value("not an array")));
  EXPECT_TRUE(s->isValidJSONObject(Value(plat::Data{})));
  EXPECT_TRUE(s->isValidJSONObject(Value(Array{Value(plat::Date{})})));  // shallow
  EXPECT_FALSE(s->isValidJSONObject(Value(plat::Date{})));
  SJSONSerializedData ready(plat::Data{'[', '1', ']'});
  EXPECT_EQ(text(s->serializeObject(ready)), "[1]");
  EXPECT_EQ(ready.JSONDataRepresentation(), ready.data());
}

TEST(SFilteringJSONSerializer, ConvertsAtEveryDepth) {
  SFilteringJSONSerializer s;
  s.addTest([](const Value& v) -> std::optional<std::string> {
    if (v.isDate()) return std::string("date");
    return std::nullopt;
  });
  s.addTest([](const Value& v) -> std::optional<std::string> {
    if (v.isString() && v.string() == "raw") return std::string("raw");
    if (v.isString() && v.string() == "loop") return std::string("loop");
    if (v.isString() && v.string() == "bad") return std::string("bad");
    return std::nullopt;
  });
  s.addConverter([](const Value& v) -> std::optional<Value> { return Value(plat::format("%.0f", v.date().secondsSince1970)); },
                 "date");
  s.addConverter([](const Value&) -> std::optional<Value> { return Value(plat::Data{'{', '}'}); }, "raw");
  // A replacement that holds the value again: stopped by the depth limit.
  s.addConverter([](const Value& v) -> std::optional<Value> { return Value(Array{v}); }, "loop");
  // A replacement of no supported kind: dropped, the value itself is written.
  s.addConverter([](const Value&) -> std::optional<Value> { return Value(plat::Date{}); }, "bad");

  EXPECT_EQ(text(s.serializeObject(Value(Dictionary{{"a", Value(Array{Value(plat::Date{86400})})}}))),
            "{\"a\":[\"86400\"]}");
  EXPECT_EQ(text(s.serializeObject(Value(Array{"raw", 1}))), "[{},1]");
  EXPECT_EQ(text(s.serializeObject(Value(Array{"bad"}))), "[\"bad\"]");
  // The replacement that holds its value again ends at the depth limit,
  // where the value itself is written.
  std::string looped = text(s.serializeObject(Value(Array{"loop"})));
  const size_t n = (looped.size() - 6) / 2;
  EXPECT_EQ(looped, std::string(n, '[') + "\"loop\"" + std::string(n, ']'));
  EXPECT_GT(n, 100u);
  EXPECT_LT(looped.size(), 2u * SJSONSerializer::kMaxDepth + 8);
}

class ShortWrites : public SJSONOutputStream {
public:
  explicit ShortWrites(size_t per, size_t limit = SIZE_MAX) : per_(per), limit_(limit) {}
  long write(const uint8_t* b, size_t n) override {
    if (got.size() >= limit_) return 0;
    n = std::min({n, per_, limit_ - got.size()});
    got.append(reinterpret_cast<const char*>(b), n);
    return static_cast<long>(n);
  }
  std::string got;

private:
  size_t per_, limit_;
};

TEST(SJSONSerialization, StreamWritesAreContinuedToTheEnd) {
  Value doc(Dictionary{{"name", "a/b"}, {"list", Value(Array{1, 2, 3})}});
  ShortWrites three(3);
  EXPECT_EQ(SJSONSerialization::writeJSONObject(doc, three, 0), 29);
  EXPECT_EQ(three.got, "{\"list\":[1,2,3],\"name\":\"a/b\"}");
  ShortWrites full(3, 10);  // stops taking bytes: a failure, not a count
  EXPECT_EQ(SJSONSerialization::writeJSONObject(doc, full, 0), -1);
  plat::Error e;
  EXPECT_EQ(SJSONSerialization::writeJSONObject(Value(plat::Date{}), three, 0, &e), -1);
  EXPECT_EQ(e.localizedDescription(), "Cannot serialize data of type 'NSDate'");
  EXPECT_FALSE(SJSONSerialization::JSONObjectWithStream(&three, 0));
}

TEST(SJSONSerialization, ClassMethodsAndDictionaryConstructors) {
  auto data = SJSONSerialization::dataWithJSONObject(Value(Array{1, "x"}), 0);
  ASSERT_TRUE(data);
  EXPECT_EQ(text(data), "[1,\"x\"]");
  EXPECT_EQ(SJSONSerialization::JSONObjectWithData(*data, 0), Value(Array{1, "x"}));
  EXPECT_TRUE(SJSONSerialization::isValidJSONObject(Value()));
  EXPECT_EQ(NSDictionary_JSONExtensions::dictionaryWithJSONString("[1]"), Value(Array{1}));
  EXPECT_EQ(NSDictionary_JSONExtensions::dictionaryWithJSONString("{\"a\":true}"), Value(Dictionary{{"a", true}}));
  plat::Error e;
  EXPECT_FALSE(NSDictionary_JSONExtensions::dictionaryWithJSONString("{\"a\":", &e));
  EXPECT_FALSE(e.domain().empty());
}

// Writer to reader: every random document reads back equal.
TEST(SJSONSerializer, RoundTripsRandomDocuments) {
  testsupport::RandomJSON gen(19);
  auto serializer = SJSONSerializer::serializer();
  for (int i = 0; i < 400; ++i) {
    Value doc = gen.document();
    auto bytes = serializer->serializeObject(doc);
    ASSERT_TRUE(bytes) << doc.description();
    auto back = SJSONDeserializer::deserializer()->deserialize(&*bytes);
    ASSERT_TRUE(back) << text(bytes);
    ASSERT_EQ(*back, doc) << text(bytes);
  }
}

std::optional<Value> scannerRoundTrip(const Value& doc) {
  auto bytes = SJSONSerializer::serializer()->serializeObject(doc);
  if (!bytes) return std::nullopt;
  return SJSONDeserializer::deserializer()->deserialize(&*bytes);
}

// Each edge number alone in an array: written, read back bit for bit.
TEST(SJSONSerializer, EdgeNumbersReadBackExactly) {
  for (double x : testsupport::edgeDoubles()) {
    auto back = scannerRoundTrip(Value(Array{Value(x)}));
    ASSERT_TRUE(back) << x;
    ASSERT_TRUE(back->isArray() && back->array().size() == 1) << x;
    double y = back->array()[0].doubleValue();
    EXPECT_EQ(std::bit_cast<uint64_t>(y), std::bit_cast<uint64_t>(x)) << x << " read back as " << y;
  }
  for (int64_t i : testsupport::edgeIntegers()) {
    auto back = scannerRoundTrip(Value(Array{Value(static_cast<long long>(i))}));
    ASSERT_TRUE(back && back->isArray() && back->array().size() == 1) << i;
    EXPECT_EQ(back->array()[0].longLongValue(), i);
  }
}

}  // namespace
