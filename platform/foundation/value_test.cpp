#include "platform/foundation/value.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/error.h"
#include "platform/foundation/format.h"

using namespace plat;

TEST(Number, KeepsTypeCodeAndConverts) {
  struct Row {
    Number n;
    char type;
    int64_t ll;
    double d;
    const char* text;
  } rows[] = {
      {Number::fromBool(true), 'c', 1, 1.0, "1"},
      {Number::fromInt(-7), 'i', -7, -7.0, "-7"},
      {Number::fromLongLong(1LL << 40), 'q', 1LL << 40, 1099511627776.0, "1099511627776"},
      {Number::fromUnsignedLongLong(18446744073709551615ULL), 'Q', -1, 18446744073709551615.0, "18446744073709551615"},
      {Number::fromDouble(0.1), 'd', 0, 0.1, "0.1"},
      {Number::fromFloat(2.5f), 'f', 2, 2.5, "2.5"},
      {Number::fromDouble(-1e300), 'd', INT64_MIN, -1e300, "-1e+300"},
      {Number::fromShort(-3), 's', -3, -3.0, "-3"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(r.n.type(), r.type);
    EXPECT_EQ(r.n.longLongValue(), r.ll);
    EXPECT_DOUBLE_EQ(r.n.doubleValue(), r.d);
    EXPECT_EQ(r.n.description(), r.text);
  }
  EXPECT_EQ(Number::fromUnsignedLongLong(18446744073709551615ULL).unsignedLongLongValue(), 18446744073709551615ULL);
  EXPECT_FALSE(Number::fromUnsignedLongLong(18446744073709551615ULL) == Number::fromLongLong(-1));
  EXPECT_EQ(Number::fromDouble(std::nan("")).longLongValue(), 0);
}

TEST(Decimal, ParsesAndPrintsExactly) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {
      {"0", "0"},
      {"-0", "0"},
      {"12.50", "12.5"},
      {"-0.001", "-0.001"},
      {"1e3", "1000"},
      {"1.5E-2", "0.015"},
      {"123456789012345678901234567890123456789", "123456789012345678901234567890123456790"},  // 39 digits rounds
      {"99999999999999999999999999999999999999", "99999999999999999999999999999999999999"},   // 38 nines stay
      {"0.00000000000000000000000000000000000001", "0.00000000000000000000000000000000000001"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in);
    auto d = Decimal::parse(r.in);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->description(), r.out);
  }
  for (const char* bad : {"", "-", ".", "1e", "1e+", "abc", "1.2.3", "--1", "1e99999"}) {
    EXPECT_FALSE(Decimal::parse(bad).has_value()) << bad;
  }
}

TEST(Decimal, ComparesAndConverts) {
  auto a = *Decimal::parse("1.50");
  auto b = *Decimal::parse("15e-1");
  auto c = *Decimal::parse("-2");
  EXPECT_EQ(a.compare(b), 0);
  EXPECT_EQ(c.compare(a), -1);
  EXPECT_EQ(a.compare(c), 1);
  EXPECT_EQ(Decimal::parse("0.9")->compare(*Decimal::parse("1")), -1);
  EXPECT_DOUBLE_EQ(a.doubleValue(), 1.5);
  EXPECT_EQ(Decimal::parse("-12.9")->longLongValue(), -12);
  EXPECT_EQ(Decimal::parse("1e30")->longLongValue(), INT64_MAX);
  EXPECT_EQ(Decimal::parse("-9223372036854775808")->longLongValue(), INT64_MIN);
  EXPECT_TRUE(Decimal::notANumber().isNaN());
}

TEST(Value, KindsAndNeutralAnswers) {
  Value n;
  EXPECT_TRUE(n.isNull());
  EXPECT_EQ(n.string(), "");
  EXPECT_EQ(n.intValue(), 0);
  EXPECT_TRUE(n["missing"].isNull());
  EXPECT_TRUE(n[3].isNull());
  EXPECT_EQ(n.count(), 0u);

  Value s("42abc");
  EXPECT_EQ(s.intValue(), 42);
  EXPECT_TRUE(Value("YES").boolValue());
  EXPECT_FALSE(Value("0").boolValue());
  EXPECT_TRUE(Value(true).isBool());
  EXPECT_EQ(Value(true).number().type(), 'c');
  EXPECT_TRUE(Value(true) == Value(1));
  EXPECT_FALSE(Value("1") == Value(1));
}

TEST(Value, ContainersShareUntilWritten) {
  Value a(Array{Value(1), Value("two")});
  Value b = a;
  b.mutableArray().push_back(Value(3));
  EXPECT_EQ(a.count(), 2u);
  EXPECT_EQ(b.count(), 3u);

  Value d(Dictionary{{"b", Value(2)}, {"a", Value(1)}});
  Value e = d;
  e.mutableDictionary().set("a", Value("x"));
  EXPECT_EQ(d["a"].intValue(), 1);
  EXPECT_EQ(e["a"].string(), "x");
  // Kept in key order, whatever the order of insertion.
  EXPECT_EQ(d.dictionary().entries().front().first, "a");
}

TEST(Dictionary, FromEntriesLaterKeyWins) {
  auto d = Dictionary::fromEntries({{"k", Value(1)}, {"a", Value(0)}, {"k", Value(2)}});
  EXPECT_EQ(d.size(), 2u);
  EXPECT_EQ(d["k"].intValue(), 2);
  EXPECT_TRUE(d.remove("k"));
  EXPECT_FALSE(d.remove("k"));
  EXPECT_EQ(d.find("k"), nullptr);
}

TEST(Value, Description) {
  Value v(Dictionary{{"name", Value("a b")}, {"list", Value(Array{Value(1), Value()})}, {"data", Value::data("\x01\x02\x03\x04\x05", 5)}});
  EXPECT_EQ(v.description(),
            "{\n    data = <01020304 05>;\n    list = (\n        1,\n        \"<null>\"\n    );\n    name = \"a b\";\n}");
  EXPECT_EQ(Value("plain").description(), "plain");
  EXPECT_EQ(Value(Date{0}).description(), "1970-01-01 00:00:00 +0000");
}

TEST(Error, DescriptionAndUnderlying) {
  auto cause = std::make_shared<const Error>(Error::withDescription("NSPOSIXErrorDomain", 2, "No such file"));
  Error e = Error::withDescription("SQDatabase", 14, "unable to open database file", cause);
  EXPECT_EQ(e.localizedDescription(), "unable to open database file");
  EXPECT_EQ(e.underlyingError()->code(), 2);
  EXPECT_EQ(Error("X", 3).localizedDescription(), "The operation couldn't be completed. (X error 3.)");
  Error* none = nullptr;
  setError(none, e);  // no out-parameter: nothing happens
  try {
    PLAT_PARAMETER_ASSERT(none != nullptr);
    FAIL();
  } catch (const Exception& ex) {
    EXPECT_EQ(ex.name(), "NSInternalInconsistencyException");
    EXPECT_EQ(ex.reason(), "Invalid parameter not satisfying: none != nullptr");
  }
}

TEST(Dictionary, FromSortedEntriesChecksTheOrder) {
  auto ok = Dictionary::fromSortedEntries({{"a", Value(1)}, {"b", Value(2)}});
  EXPECT_EQ(ok["b"].intValue(), 2);
  // Entries out of order or repeated are put right rather than trusted.
  auto fixed = Dictionary::fromSortedEntries({{"b", Value(2)}, {"a", Value(1)}, {"a", Value(3)}});
  EXPECT_EQ(fixed.size(), 2u);
  EXPECT_EQ(fixed["a"].intValue(), 3);
  EXPECT_EQ(fixed.entries().front().first, "a");
}
