#include "Framework/SJSON/SDataScanner.h"

#include <bit>
#include <cmath>

#include <gtest/gtest.h>

#include "platform/foundation/error.h"

using plat::Data;
using plat::Value;

namespace {

std::shared_ptr<const Data> bytes(std::string_view s) {
  return std::make_shared<const Data>(s.begin(), s.end());
}

struct NumberCase {
  const char* run;
  char type;  // 'q' signed, 'Q' unsigned, 'D' decimal
  const char* value;
  size_t consumed;
};

TEST(SDataScanner, NumberRunsFollowTheirOwnRules) {
  const NumberCase cases[] = {
      {"-12", 'q', "-12", 3},
      {"12", 'Q', "12", 2},
      {"010", 'Q', "8", 3},
      {"09", 'Q', "0", 2},
      {"12+3", 'Q', "12", 4},
      {"-1e5", 'D', "-100000", 4},
      {"1e5", 'D', "100000", 3},
      {"25E-1,", 'D', "2.5", 5},
      {"-", 'q', "0", 1},
      {"18446744073709551615", 'Q', "18446744073709551615", 20},
      {"-9223372036854775808", 'q', "-9223372036854775808", 20},
      // Past 64 bits a whole number keeps its value as a decimal.
      {"18446744073709551616", 'D', "18446744073709551616", 20},
      {"-9223372036854775809", 'D', "-9223372036854775809", 20},
      {"123456789012345678901234567890123456789012", 'D', "1234567890123456789012345678901234567890e2", 42},
      {"99999999999999999999+1", 'D', "99999999999999999999", 22},
      {"-99999999999999999999-1", 'D', "-99999999999999999999", 23},
      {"01777777777777777777777", 'Q', "18446744073709551615", 23},  // octal, as before
      {"02000000000000000000000", 'D', "2000000000000000000000", 23},
      {"1.5e3", 'D', "1500", 5},
      {"2.5,", 'D', "2.5", 3},
      {"1.2.3", 'D', "1.2", 5},
      {"-0.5]", 'D', "-0.5", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.run);
    SDataScanner s(bytes(c.run));
    Value v;
    ASSERT_TRUE(s.scanNumber(&v));
    EXPECT_EQ(s.scanLocation(), c.consumed);
    if (c.type == 'D') {
      ASSERT_TRUE(v.isDecimal());
      EXPECT_EQ(*v.decimal(), *plat::Decimal::parse(c.value));
    } else {
      ASSERT_TRUE(v.isNumber());
      EXPECT_EQ(v.number().type(), c.type);
      EXPECT_EQ(v.number().description(), c.value);
    }
  }
}

TEST(SDataScanner, NumberNeedsANumberByteAndConsumesWithoutOut) {
  SDataScanner s(bytes("x1"));
  Value v;
  EXPECT_FALSE(s.scanNumber(&v));
  EXPECT_EQ(s.scanLocation(), 0u);
  SDataScanner t(bytes("123 "));
  EXPECT_TRUE(t.scanNumber(nullptr));
  EXPECT_EQ(t.scanLocation(), 3u);
  plat::Decimal d;
  SDataScanner u(bytes("12"));
  ASSERT_TRUE(u.scanDecimalNumber(&d));
  EXPECT_EQ(d, *plat::Decimal::parse("12"));
  SDataScanner n(bytes("."));
  ASSERT_TRUE(n.scanDecimalNumber(&d));
  EXPECT_TRUE(d.isNaN());
}

TEST(SDataScanner, NumbersBeyondTheDecimalReadAsDoublesAndNoneAsNaN) {
  struct {
    const char* text;
    bool ok;
    double value;
  } cases[] = {
      {"1e308", true, 1e308},
      {"1.7976931348623157e+308", true, 1.7976931348623157e+308},
      {"4.9406564584124654e-324", true, 4.9406564584124654e-324},
      {"1e-130", true, 1e-130},
      {"-0.0", true, -0.0},
      {"1e999", false, 0},
      {".", false, 0},
      {"-.e5", false, 0},
  };
  for (const auto& c : cases) {
    SDataScanner s(bytes(c.text));
    plat::Value v;
    ASSERT_EQ(s.scanNumber(&v), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(s.scanLocation(), 0u) << c.text;
      continue;
    }
    EXPECT_FALSE(std::isnan(v.doubleValue())) << c.text;
    EXPECT_EQ(std::bit_cast<uint64_t>(v.doubleValue()), std::bit_cast<uint64_t>(c.value)) << c.text;
  }
}

TEST(SDataScanner, SingleBytesAndTheEnd) {
  SDataScanner s(bytes("A"));
  EXPECT_FALSE(s.scanCharacter(uint16_t(0x141)));  // above 255 never matches
  EXPECT_EQ(s.currentCharacter(), 'A');
  EXPECT_EQ(s.scanCharacter(), 'A');
  EXPECT_TRUE(s.isAtEnd());
  EXPECT_EQ(s.currentCharacter(), 0);
  EXPECT_EQ(s.scanCharacter(), 0);
  EXPECT_EQ(s.scanLocation(), 1u);

  SDataScanner empty;
  EXPECT_TRUE(empty.isAtEnd());
  EXPECT_EQ(empty.bytesRemaining(), 0u);
  EXPECT_EQ(empty.currentCharacter(), 0);
  empty.skipWhitespace();
  EXPECT_FALSE(empty.scanUTF8String("a", nullptr));
}

TEST(SDataScanner, StringsAndRuns) {
  SDataScanner s(bytes(" \t\v\f\r\nabc123def\xC3\xA9"));
  s.skipWhitespace();
  EXPECT_EQ(s.scanLocation(), 6u);
  std::optional<std::string> out;
  EXPECT_FALSE(s.scanUTF8String("abd", &out));
  EXPECT_TRUE(s.scanUTF8String("ab", &out));
  EXPECT_EQ(out, "ab");
  auto digits = SCharacterSet::characterSetWithCharactersInString("0123456789");
  EXPECT_FALSE(s.scanCharactersFromSet(digits, &out));
  EXPECT_TRUE(s.scanUpToCharactersFromSet(digits, &out));
  EXPECT_EQ(out, "c");
  EXPECT_TRUE(s.scanCharactersFromSet(digits, &out));
  EXPECT_EQ(out, "123");
  std::string def = "def";
  EXPECT_TRUE(s.scanString(def, &out));
  EXPECT_EQ(out, def);
  EXPECT_EQ(s.remainingString(), "\xC3\xA9");
  EXPECT_EQ(s.remainingData(), (Data{0xC3, 0xA9}));
  s.setScanLocation(s.scanLocation() + 1);  // inside the character
  EXPECT_EQ(s.remainingString(), std::nullopt);
  s.setScanLocation(1000);
  EXPECT_TRUE(s.isAtEnd());
}

TEST(SDataScanner, UpToStringStopsAtAZeroByte) {
  SDataScanner s(bytes("abcdef"));
  std::optional<std::string> out;
  EXPECT_TRUE(s.scanUpToString("abc", &out));
  EXPECT_EQ(out, "");
  EXPECT_EQ(s.scanLocation(), 0u);
  EXPECT_TRUE(s.scanUpToString("ef", &out));
  EXPECT_EQ(out, "abcd");
  EXPECT_EQ(s.scanLocation(), 4u);
  EXPECT_FALSE(s.scanUpToString("x", &out));

  SDataScanner z(bytes(std::string_view("abc\0def", 7)));
  EXPECT_FALSE(z.scanUpToString("def", &out));
  EXPECT_EQ(z.scanLocation(), 0u);
}

TEST(SDataScanner, DataOfLength) {
  auto d = bytes("abcd");
  SDataScanner s(d);
  const uint8_t* p = nullptr;
  EXPECT_FALSE(s.scanDataOfLength(5, &p));
  EXPECT_TRUE(s.scanDataOfLength(2, &p));
  EXPECT_EQ(p, d->data());  // not a copy
  Data copy;
  EXPECT_TRUE(s.scanDataOfLength(2, &copy));
  EXPECT_EQ(copy, (Data{'c', 'd'}));
}

TEST(SDataScanner, SlashStarComments) {
  std::optional<std::string> out;
  SDataScanner s(bytes("/**/x"));
  EXPECT_TRUE(s.scanCStyleComment(&out));
  EXPECT_EQ(out, "");
  EXPECT_EQ(s.currentCharacter(), 'x');
  EXPECT_FALSE(s.scanCStyleComment(&out));

  struct { const char* text; const char* reason; } raising[] = {
      {"/* a /* b */", "C style comments should not be nested."},
      {"/* abc", "Started to scan a C style comment but it wasn't terminated."},
      {"/*", "Started to scan a C style comment but it wasn't terminated."},
  };
  for (const auto& r : raising) {
    SDataScanner t(bytes(r.text));
    try {
      t.scanCStyleComment(&out);
      ADD_FAILURE() << r.text;
    } catch (const plat::Exception& e) {
      EXPECT_EQ(e.name(), plat::kGenericException);
      EXPECT_EQ(e.reason(), r.reason);
    }
  }
}

TEST(SDataScanner, DoubleSlashComments) {
  std::optional<std::string> out;
  SDataScanner s(bytes("// to the end"));
  EXPECT_TRUE(s.scanCPlusPlusStyleComment(&out));
  EXPECT_EQ(out, " to the end");
  EXPECT_TRUE(s.isAtEnd());

  SDataScanner t(bytes("//x\r\n\ny"));
  EXPECT_TRUE(t.scanCPlusPlusStyleComment(&out));
  EXPECT_EQ(out, "x");
  EXPECT_EQ(t.currentCharacter(), 'y');

  SDataScanner e(bytes("//\ny"));
  out = "unchanged";
  EXPECT_TRUE(e.scanCPlusPlusStyleComment(&out));
  EXPECT_EQ(out, std::nullopt);

  // A byte 0x85 inside a character (U+2005 is E2 80 85) ends the comment too.
  SDataScanner m(bytes("//a\xE2\x80\x85z"));
  EXPECT_TRUE(m.scanCPlusPlusStyleComment(&out));
  EXPECT_EQ(out, std::nullopt);  // "a" E2 80 does not decode
  EXPECT_EQ(m.currentCharacter(), 'z');

  SDataScanner n(bytes("/x"));
  EXPECT_FALSE(n.scanCPlusPlusStyleComment(&out));
}

TEST(SDataScanner, LinesAndPositions) {
  SDataScanner s(bytes("a\r\nb"));
  s.setScanLocation(3);
  EXPECT_EQ(s.lineOfScanLocation(), 2u);  // CR LF counts two

  struct Case {
    const char* text;
    size_t location;
    unsigned long line, character;
    const char* snippet;
  } cases[] = {
      {"abcdef", 3, 0, 3, "abc!HERE>!def"},
      {"ab\ncd", 3, 1, 2, "ab\n!HERE>!cd"},
      {"ab\ncd", 4, 1, 3, "ab\nc!HERE>!d"},
      {"0123456789012345678901234", 22, 0, 22, "23456789012345678901!HERE>!234"},
      {"\xC3\xA9", 1, 0, 1, "(null)!HERE>!(null)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SDataScanner t(bytes(c.text));
    t.setScanLocation(c.location);
    auto info = t.userInfoForScanLocation();
    EXPECT_EQ(info.size(), 4u);
    EXPECT_EQ(info["line"].unsignedLongLongValue(), c.line);
    EXPECT_EQ(info["character"].unsignedLongLongValue(), c.character);
    EXPECT_EQ(info["location"].unsignedLongLongValue(), c.location);
    EXPECT_EQ(info["snippet"].string(), c.snippet);
  }
}

TEST(SDataScanner, SetDataReplacesAndNullZeroes) {
  SDataScanner s(bytes("abc"));
  s.scanCharacter();
  auto d = bytes("xy");
  s.setData(d);
  EXPECT_EQ(s.data(), d);
  EXPECT_EQ(s.scanLocation(), 0u);
  EXPECT_EQ(s.bytesRemaining(), 2u);
  s.setData(nullptr);
  EXPECT_EQ(s.data(), nullptr);
  EXPECT_TRUE(s.isAtEnd());
  EXPECT_EQ(s.bytesRemaining(), 0u);
}

}  // namespace
