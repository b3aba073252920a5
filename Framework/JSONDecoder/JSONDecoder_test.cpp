#include "Framework/JSONDecoder/JSONDecoder.h"

#include <gtest/gtest.h>

#include <cmath>

using plat::Array;
using plat::Dictionary;
using plat::Error;
using plat::Number;
using plat::Value;

namespace {

Value Q(long long v) { return Value(Number::fromLongLong(v)); }
Value UQ(unsigned long long v) { return Value(Number::fromUnsignedLongLong(v)); }
Value D(double v) { return Value(Number::fromDouble(v)); }

bool same(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  if (a.isNumber()) {
    if (a.number().type() != b.number().type()) return false;
    if (a.number().isFloating())
      return a.doubleValue() == b.doubleValue() && std::signbit(a.doubleValue()) == std::signbit(b.doubleValue());
    return a.number() == b.number();
  }
  if (a.isArray()) {
    if (a.count() != b.count()) return false;
    for (size_t i = 0; i < a.count(); ++i)
      if (!same(a[i], b[i])) return false;
    return true;
  }
  if (a.isDictionary()) {
    if (a.count() != b.count()) return false;
    for (const auto& [k, v] : a.dictionary())
      if (!b.dictionary().contains(k) || !same(v, b[k])) return false;
    return true;
  }
  return a == b;
}

const unsigned char* bytesOf(const std::string& s) {
  static const unsigned char none = 0;
  return s.empty() ? &none : reinterpret_cast<const unsigned char*>(s.data());
}

// Both roads: plain values from the category, and the decoder's own objects.
std::optional<Value> bothRoads(const std::string& text, unsigned long options, Error* error) {
  Error e1, e2;
  plat::Data data(text.begin(), text.end());
  auto plain = JDDeserializing::objectFromJSONDataWithParseOptions(&data, options, &e1);
  JSONDecoder decoder(options);
  JDRef object = decoder.objectWithUTF8String(bytesOf(text), text.size(), &e2);
  EXPECT_EQ(plain.has_value(), object != nullptr) << text;
  EXPECT_EQ(e1.localizedDescription(), e2.localizedDescription()) << text;
  EXPECT_EQ(e1.userInfo(), e2.userInfo()) << text;
  if (plain && object) {
    EXPECT_TRUE(same(*plain, object->toValue())) << text;
  }
  if (error) *error = e1;
  return plain;
}

struct Accepted {
  std::string text;
  unsigned long options;
  Value value;
};

TEST(JSONDecoder, AcceptedTexts) {
  const std::string fffd = "\xEF\xBF\xBD";
  const Accepted cases[] = {
      {"{}", 0, Dictionary()},
      {"[]", 0, Array()},
      {" \t\r\n[ 1 ]\r\n", 0, Array{Q(1)}},
      {"[1,-1,0,-0,1.5,1e2,2E-1]", 0, Array{Q(1), Q(-1), Q(0), D(-0.0), D(1.5), D(100), D(0.2)}},
      {"[9223372036854775807,9223372036854775808,18446744073709551615,-9223372036854775808]", 0,
       Array{Q(INT64_MAX), UQ(9223372036854775808ULL), UQ(UINT64_MAX), Q(INT64_MIN)}},
      {"[1e-310]", 0, Array{D(1e-310)}},  // subnormal, still a number
      {"[true,false,null]", 0, Array{Value(true), Value(false), Value()}},
      {"{\"a\":1,\"a\":2}", 0, Dictionary{{"a", Q(2)}}},
      {"{\"error_code\":40101,\"error_msg\":\"token expired\"}", 0,
       Dictionary{{"error_code", Q(40101)}, {"error_msg", Value("token expired")}}},
      {"[\"\\ud83d\\ude00\"]", 0, Array{Value("\xF0\x9F\x98\x80")}},
      {"[\"\\u00e9\\\"\\\\\\/\\b\\f\\n\\r\\t\"]", 0, Array{Value("\xC3\xA9\"\\/\b\f\n\r\t")}},
      {"[\"\xE4\xB8\xAD\xE6\x96\x87\",\"\"]", 0, Array{Value("\xE4\xB8\xAD\xE6\x96\x87"), Value("")}},
      {"{\"a\":{\"b\":[{},[]]}}", 0, Dictionary{{"a", Value(Dictionary{{"b", Value(Array{Value(Dictionary()), Value(Array())})}})}}},
      {"[1] x", JDParseFlagAllowTrailingText, Array{Q(1)}},
      {"[1]// c", JDParseFlagAllowComments, Array{Q(1)}},
      {"/*a*/[1,/* c\n */2]//", JDParseFlagAllowComments, Array{Q(1), Q(2)}},
      {"[1,\xE2\x80\xA8 2\xC2\x85]", JDParseFlagUnicodeLineBreaks, Array{Q(1), Q(2)}},
      {"[\"\\u0000\"]", JDParseFlagReplaceBadUnicode, Array{Value(fffd)}},
      {"[\"\xC0\x80\"]", JDParseFlagReplaceBadUnicode, Array{Value(fffd)}},
      {"[\"a\xED\xA0\x80z\"]", JDParseFlagReplaceBadUnicode, Array{Value("a" + fffd + "z")}},
      {"[\"\\ud800\\n\"]", JDParseFlagReplaceBadUnicode, Array{Value(fffd + "\n")}},
      {"[\"\\ud800\\u0041\"]", JDParseFlagReplaceBadUnicode, Array{Value(fffd)}},
      {"[\"\\udc00\\uffff\"]", JDParseFlagReplaceBadUnicode, Array{Value(fffd + fffd)}},
      {"[\"\xFF\xC3\"]", JDParseFlagReplaceBadUnicode, Array{Value(fffd + fffd)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Error e;
    auto v = bothRoads(c.text, c.options, &e);
    ASSERT_TRUE(v.has_value()) << e.localizedDescription();
    EXPECT_TRUE(same(*v, c.value)) << v->description();
  }
}

struct Refused {
  std::string text;
  unsigned long options;
  std::string message;
  unsigned long atIndex;
};

TEST(JSONDecoder, RefusedTextsGiveTheFirstError) {
  const std::string unexpectedToken =
      "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'.";
  const Refused cases[] = {
      {"", 0, "Reached the end of the buffer.", 0},
      {"[", 0, "Reached the end of the buffer.", 1},
      {"[\"a\"", 0, "Reached the end of the buffer.", 4},
      {"[1,", 0, "Reached the end of the buffer.", 3},
      {"   ", 0, unexpectedToken, 3},
      {"[1 ", 0, unexpectedToken, 3},
      {"[truex]", 0, unexpectedToken, 5},
      {"[nul]", 0, unexpectedToken, 1},
      {"[true", 0, unexpectedToken, 1},  // a literal needs a byte after it
      {"\"a\" ", 0, "Expected either '[' or '{'.", 3},
      {"1 ", 0, "Expected either '[' or '{'.", 1},
      {"true ", 0, "Expected either '[' or '{'.", 4},
      {"[1] x", 0, "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 4},
      {"[1]// c", 0, "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 3},
      {"[1]\f", 0, "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 3},
      {"[1]\xE2\x80\xA8", 0, "A valid JSON object was parsed but there were additional non-white-space characters remaining.", 3},
      {"[1,]", 0, "Unexpected ']'.", 4},
      {"[1 2]", 0, "Unexpected value.", 4},
      {"[01]", 0, "Unexpected value.", 3},
      {"[,1]", 0, "Unexpected ','.", 2},
      {"[1,,2]", 0, "Unexpected ','.", 4},
      {"[:]", 0, "Expected a value or a ']', not ':'", 2},
      {"[1:]", 0, "Expected a comma or a ']', not ':'", 3},
      {"[1,:]", 0, "Expected a value, not ':'", 4},
      {"[1}", 0, "Expected a comma or a ']', not '}'", 3},
      {"{\"a\" 1}", 0, "Expected ':'.", 6},
      {"{,}", 0, "Unexpected ','.", 2},
      {"{\"a\":1,}", 0, "Unexpected '}'.", 8},
      {"{\"a\":1 \"b\":2}", 0, "Unexpected string.", 10},
      {"{1:2}", 0, "Expected a \"STRING\" or a '}', not '1'", 2},
      {"{true :2}", 0, "Expected a \"STRING\" or a '}', not 'true'", 5},
      {"{\"a\":}", 0, "Expected a value or a '}', not '}'", 6},
      {"{\"a\":1,\"b\":]", 0, "Expected a value, not ']'", 12},
      {"{\"a\":1:}", 0, "Expected a comma or a '}', not ':'", 7},
      {"[1", 0, "Reached the end of the buffer.", 2},  // digits that run into the end
      {"{\"a\":1.5e3", 0, "Reached the end of the buffer.", 10},
      {"[-", 0, "Invalid number.", 1},  // a required digit is missing
      {"[1.", 0, "Invalid number.", 1},
      {"[-]", 0, "Invalid number.", 1},
      {"[1.]", 0, "Invalid number.", 1},
      {"[1e]", 0, "Invalid number.", 1},
      {"[1e+]", 0, "Invalid number.", 1},
      {"[-a]", 0, "Invalid number.", 1},
      {"[18446744073709551616]", 0,
       "The value '18446744073709551616' exceeded the maximum value that could be represented: 18446744073709551615.", 1},
      {"[-9223372036854775809]", 0,
       "The value '-9223372036854775809' exceeded the minimum value that could be represented: -9223372036854775808.", 1},
      {"[1e999]", 0, "The value '1e999' could not be represented as a 'double' due to overflow.", 1},
      {"[-1e999]", 0, "The value '-1e999' could not be represented as a 'double' due to overflow.", 1},
      {"[1e-999]", 0, "The value '1e-999' could not be represented as a 'double' due to underflow.", 1},
      {"[\"\\u0000\"]", 0, "Illegal \\u Unicode escape sequence.", 1},
      {"[\"\\ufdd0\"]", 0, "Illegal \\u Unicode escape sequence.", 1},
      {"[\"\\ufffe\"]", 0, "Illegal \\u Unicode escape sequence.", 1},
      {"[\"\\udc00\"]", 0, "Illegal \\u Unicode escape sequence.", 1},
      {"[\"\\ud800\\u0041\"]", 0, "Illegal \\u Unicode escape sequence.", 1},
      {"[\"\\ud83f\\udffe\"]", 0, "Illegal \\u Unicode escape sequence.", 1},  // U+1FFFE
      {"[\"\\ud800\"]", 0,
       "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence.", 1},
      {"[\"\\ud800\\n\"]", 0,
       "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape sequence.", 1},
      {"[\"\\u12g4\"]", 0,
       "Unexpected character found in \\u Unicode escape sequence.  Found 'g', expected [0-9a-fA-F].", 1},
      {"[\"\\q\"]", 0, "Invalid escape sequence found in \"\" string.", 1},
      {"[\"a\tb\"]", 0, "Invalid character < 0x20 found in string: 0x09.", 1},
      {"[\"\\n\x01\"]", 0, "Invalid character < 0x20 found in string: 0x01.", 1},
      {"[\"\xC0\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1},
      {"[\"\xED\xA0\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1},
      {"[\"\xEF\xBF\xBE\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1},
      {"[\"\xFF\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1},
      {"[\"\xED\"\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1},
      {"[\"\xF4\x41\x80\x80\"]", 0, "Illegal UTF8 sequence found in \"\" string.", 1},
      {"[\"\xC3", 0, "End of buffer reached while parsing UTF8 in \"\" string.", 1},
      {"[\"\xC3", JDParseFlagReplaceBadUnicode, "End of buffer reached while parsing UTF8 in \"\" string.", 1},
      {"[\"abc", 0, "Invalid string.", 1},
      {"[\"abc\\", 0, "Invalid string.", 1},
      {"[\"\\u12", 0, "Invalid string.", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Error e;
    EXPECT_FALSE(bothRoads(c.text, c.options, &e));
    EXPECT_EQ(e.domain(), JDErrorDomain);
    EXPECT_EQ(e.code(), -1);
    EXPECT_EQ(e.localizedDescription(), c.message);
    EXPECT_EQ(e.userInfo()[JDAtIndexKey].unsignedLongLongValue(), c.atIndex);
    EXPECT_EQ(e.userInfo()[JDAtIndexKey].number().type(), 'Q');
    EXPECT_EQ(e.userInfo()[JDLineNumberKey].unsignedLongLongValue(), 1u);
  }
}

TEST(JSONDecoder, LineNumbersCountEveryKindOfBreak) {
  const std::pair<std::string, unsigned long> cases[] = {
      {"\n\n[x]", 3},
      {"\r\n[\rx]", 3},  // CR LF is one break
      {"[1,\xE2\x80\xA8 x]", 1},
      {"[/*\n\n*/x]", 1},
  };
  for (const auto& [text, line] : cases) {
    Error e;
    EXPECT_FALSE(bothRoads(text, 0, &e));
    EXPECT_EQ(e.userInfo()[JDLineNumberKey].unsignedLongLongValue(), line) << text;
  }
  Error e;
  EXPECT_FALSE(bothRoads("[1,\xE2\x80\xA8 x]", JDParseFlagUnicodeLineBreaks, &e));
  EXPECT_EQ(e.userInfo()[JDLineNumberKey].unsignedLongLongValue(), 2u);
  EXPECT_FALSE(bothRoads("[/*\n\n*/x]", JDParseFlagAllowComments, &e));
  EXPECT_EQ(e.userInfo()[JDLineNumberKey].unsignedLongLongValue(), 3u);
  EXPECT_FALSE(bothRoads("[1,// c\r\nx]", JDParseFlagAllowComments, &e));
  EXPECT_EQ(e.userInfo()[JDLineNumberKey].unsignedLongLongValue(), 2u);
}

TEST(JSONDecoder, NestingIsBounded) {
  std::string ok = std::string(JSONDecoder::kMaxDepth, '[') + std::string(JSONDecoder::kMaxDepth, ']');
  EXPECT_TRUE(bothRoads(ok, 0, nullptr));
  for (size_t depth : {size_t(JSONDecoder::kMaxDepth + 1), size_t(300000)}) {
    Error e;
    EXPECT_FALSE(bothRoads(std::string(depth, '['), 0, &e));
    EXPECT_EQ(e.localizedDescription(), "Reached the maximum nesting depth of 512 arrays and objects.");
  }
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  Error e;
  EXPECT_FALSE(bothRoads(objects, 0, &e));
  EXPECT_EQ(e.localizedDescription(), "Reached the maximum nesting depth of 512 arrays and objects.");
}

TEST(JSONDecoder, BadOptionsAndNullArgumentsRaise) {
  try {
    JSONDecoder d(16);
    ADD_FAILURE();
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.name(), plat::kInvalidArgumentException);
    EXPECT_EQ(e.reason(), "Invalid parse options.");
  }
  EXPECT_THROW(JDDeserializing::objectFromJSONStringWithParseOptions("[]", 16), plat::Exception);
  JSONDecoder d;
  try {
    d.objectWithUTF8String(nullptr, 0);
    ADD_FAILURE();
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.reason(), "The string argument is NULL.");
  }
  try {
    d.objectWithData(nullptr);
    ADD_FAILURE();
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.reason(), "The jsonData argument is NULL.");
  }
  try {
    JDDeserializing::objectFromJSONData(nullptr);
    ADD_FAILURE();
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.reason(), "The jsonData argument is NULL.");
  }
  _JSONDecoderCleanup(&d);
  _JSONDecoderCleanup(&d);  // twice is fine
  try {
    d.objectWithUTF8String(reinterpret_cast<const unsigned char*>("[]"), 2);
    ADD_FAILURE();
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.name(), plat::kInternalInconsistencyException);
    EXPECT_EQ(e.reason(), "parseState is NULL.");
  }
}

TEST(JSONDecoder, StringsAreConvertedLikeThePlatformsStrings) {
  // An encoded lone surrogate has no UTF-8 form and becomes "?"; a pair of
  // them is the character they make.
  EXPECT_EQ(*JDDeserializing::objectFromJSONString("[\"a\xED\xA0\x80\"]"), Value(Array{Value("a?")}));
  EXPECT_EQ(*JDDeserializing::objectFromJSONString("[\"\xED\xA0\xBD\xED\xB8\x80\"]"),
            Value(Array{Value("\xF0\x9F\x98\x80")}));
  Error e;
  EXPECT_FALSE(JDDeserializing::objectFromJSONStringWithParseOptions("[\"\xFF\"]", 0, &e));
  EXPECT_EQ(e.domain(), JDErrorDomain);
  EXPECT_EQ(e.code(), -1);
  EXPECT_EQ(e.localizedDescription(), "An error occurred converting the contents of a NSString to UTF8.");
  // Data is taken as it is.
  plat::Data data{'[', '"', 0xED, 0xA0, 0x80, '"', ']'};
  EXPECT_FALSE(JDDeserializing::objectFromJSONDataWithParseOptions(&data, 0, &e));
  EXPECT_EQ(e.localizedDescription(), "Illegal UTF8 sequence found in \"\" string.");
  plat::Data ok{'{', '"', 'a', '"', ':', '1', '}'};
  EXPECT_EQ(*JDDeserializing::mutableObjectFromJSONData(&ok), Value(Dictionary{{"a", Q(1)}}));
  EXPECT_EQ(JDDeserializing::objectFromJSONString("[1] x"), std::nullopt);
  EXPECT_TRUE(JDDeserializing::objectFromJSONStringWithParseOptions("[1] x", JDParseFlagAllowTrailingText));
}

// A text is parsed as it stands when that gives what converting it first
// would: the result, or the error, is always the converted text's.
TEST(JSONDecoder, TextsGiveWhatTheirConversionGives) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string conversion = "An error occurred converting the contents of a NSString to UTF8.";
  struct Case {
    std::string text;
    unsigned long options;
    std::optional<Value> value;
    std::string message;
  } cases[] = {
      {"[\"caf\xC3\xA9 \xE4\xB8\xAD\"]", 0, Value(Array{Value("caf\xC3\xA9 \xE4\xB8\xAD")}), ""},
      // Repairing is the parser's, and only of what the conversion lets through.
      {"[\"\xFF\"]", JDParseFlagReplaceBadUnicode, std::nullopt, conversion},
      {"[\"a\xED\xA0\x80\"]", JDParseFlagReplaceBadUnicode, Value(Array{Value("a?")}), ""},
      {"[\"\xEF\xBF\xBE\"]", JDParseFlagReplaceBadUnicode, Value(Array{Value(fffd)}), ""},
      {"[\"\xEF\xBF\xBE\"]", 0, std::nullopt, "Illegal UTF8 sequence found in \"\" string."},
      // Bytes outside strings: the conversion's error comes first.
      {"[1]\xFF", 0, std::nullopt, conversion},
      {"[1,\xC3]", 0, std::nullopt, conversion},
      {"[1,\xC3\xA9]", 0, std::nullopt,
       "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', 'NUMBER'."},
      {"[1,\xE2\x80\xA8 2]", JDParseFlagUnicodeLineBreaks, Value(Array{Q(1), Q(2)}), ""},
      // What the parser skips unread is converted all the same.
      {"[1]//\xFF", JDParseFlagAllowComments, std::nullopt, conversion},
      {"[1] \xFF", JDParseFlagAllowTrailingText, std::nullopt, conversion},
      {"[1] \xC3\xA9", JDParseFlagAllowTrailingText, Value(Array{Q(1)}), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Error e;
    auto v = JDDeserializing::objectFromJSONStringWithParseOptions(c.text, c.options, &e);
    EXPECT_EQ(v, c.value);
    if (c.value) {
      EXPECT_EQ(e.domain(), "");
    } else {
      EXPECT_EQ(e.localizedDescription(), c.message);
    }
    // Without an error to report the answer is the same.
    EXPECT_EQ(JDDeserializing::objectFromJSONStringWithParseOptions(c.text, c.options), c.value);
  }
}

// The end of a string's plain run is found wherever it falls: before, in and
// after the runs the reader passes many bytes at a time.
TEST(JSONDecoder, StringStopsAreFoundAtEveryOffset) {
  for (size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    const std::string head(n, 'x');
    const std::string tail(n % 7, 'y');
    const struct {
      std::string inside;  // between the quotes
      std::optional<std::string> value;
      std::string message;
    } cases[] = {
        {head + tail, head + tail, ""},
        {head + "\x7F~ " + tail, head + "\x7F~ " + tail, ""},
        {head + "\\n" + tail, head + "\n" + tail, ""},
        {head + "\\\"" + tail, head + "\"" + tail, ""},
        {head + "\xC2\x80\xDF\xBF" + tail, head + "\xC2\x80\xDF\xBF" + tail, ""},
        {head + "\xE4\xB8\xAD\xEE\x80\x80" + tail, head + "\xE4\xB8\xAD\xEE\x80\x80" + tail, ""},
        {head + "\xEF\xBF\xBD\xF0\x9F\x98\x80" + tail, head + "\xEF\xBF\xBD\xF0\x9F\x98\x80" + tail, ""},
        {head + "\t" + tail, std::nullopt, "Invalid character < 0x20 found in string: 0x09."},
        {head + "\\n\x1F" + tail, std::nullopt, "Invalid character < 0x20 found in string: 0x1f."},
        {head + "\xEF\xB7\x90" + tail, std::nullopt, "Illegal UTF8 sequence found in \"\" string."},
        {head + "\xE4\xB8" + tail, std::nullopt, "Illegal UTF8 sequence found in \"\" string."},
        {head + "\xC2" + tail, std::nullopt, "Illegal UTF8 sequence found in \"\" string."},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::PrintToString(c.inside));
      Error e;
      auto v = bothRoads("[\"" + c.inside + "\"]", 0, &e);
      if (c.value) {
        ASSERT_TRUE(v) << e.localizedDescription();
        EXPECT_EQ((*v)[0].string(), *c.value);
      } else {
        EXPECT_FALSE(v);
        EXPECT_EQ(e.localizedDescription(), c.message);
      }
    }
  }
}

TEST(JSONDecoder, LongAndEscapedStringsGrowTheTokenBuffer) {
  std::string big(100000, 'x');
  std::string text = "[\"\\n" + big + "\\u00e9\",\"" + big + "\"]";
  auto v = bothRoads(text, 0, nullptr);
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)[0].string(), "\n" + big + "\xC3\xA9");
  EXPECT_EQ((*v)[1].string(), big);
  // Many members move the object stack to the heap.
  std::string many = "[";
  for (int i = 0; i < 5000; ++i) many += std::to_string(i) + ",";
  many += "{";
  for (int i = 0; i < 3000; ++i) many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  many += "\"end\":0}]";
  auto m = bothRoads(many, 0, nullptr);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->count(), 5001u);
  EXPECT_EQ((*m)[4999].longLongValue(), 4999);
  EXPECT_EQ((*m)[5000].count(), 3001u);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ((*m)[5000]["k" + std::to_string(i)].longLongValue(), i) << i;
  // Far more distinct strings than cache slots, then the same ones again.
  JSONDecoder d;
  for (int round = 0; round < 2; ++round) {
    JDRef r = d.objectWithUTF8String(bytesOf(many), many.size());
    ASSERT_TRUE(r);
    auto& inner = static_cast<JDDictionary&>(*static_cast<JDArray&>(*r).objectAtIndex(5000));
    for (int i = 0; i < 3000; ++i)
      ASSERT_EQ(inner.objectForKey("k" + std::to_string(i))->toValue(), Q(i)) << round << " " << i;
  }
}

TEST(JSONDecoder, TheCacheSharesEqualStringsAndNumbers) {
  JSONDecoder d;
  std::string text = "[\"a\",\"a\",12,12,\"\",\"\"]";
  JDRef r = d.objectWithUTF8String(bytesOf(text), text.size());
  ASSERT_TRUE(r);
  auto& a = static_cast<JDArray&>(*r);
  EXPECT_EQ(a.objectAtIndex(0).get(), a.objectAtIndex(1).get());
  EXPECT_EQ(a.objectAtIndex(2).get(), a.objectAtIndex(3).get());
  EXPECT_EQ(a.objectAtIndex(4).get(), JDString::empty().get());
  EXPECT_EQ(a.objectAtIndex(5).get(), JDString::empty().get());
  // The cache carries over to the next document of the same decoder...
  JDRef again = d.objectWithUTF8String(bytesOf(text), text.size());
  EXPECT_EQ(static_cast<JDArray&>(*again).objectAtIndex(0).get(), a.objectAtIndex(0).get());
  // ...until it is cleared.
  d.clearCache();
  JDRef fresh = d.objectWithUTF8String(bytesOf(text), text.size());
  EXPECT_NE(static_cast<JDArray&>(*fresh).objectAtIndex(0).get(), a.objectAtIndex(0).get());
  // Keys come through the cache too, and a decoded key finds its value.
  std::string obj = "{\"error_code\":40101,\"error_msg\":\"x\",\"error_code\":7}";
  JDRef o = d.objectWithUTF8String(bytesOf(obj), obj.size());
  auto& dict = static_cast<JDDictionary&>(*o);
  EXPECT_EQ(dict.count(), 1u + 1u);
  ASSERT_TRUE(dict.objectForKey("error_code"));
  EXPECT_EQ(dict.objectForKey("error_code")->toValue(), Q(7));
  EXPECT_FALSE(dict.isMutable());
  // Literals are the shared constants.
  std::string lits = "[true,false,null]";
  JDRef l = d.objectWithUTF8String(bytesOf(lits), lits.size());
  auto& la = static_cast<JDArray&>(*l);
  EXPECT_EQ(la.objectAtIndex(0), JDBoolean::trueValue());
  EXPECT_EQ(la.objectAtIndex(1), JDBoolean::falseValue());
  EXPECT_EQ(la.objectAtIndex(2), JDNull::null());
}

TEST(JSONDecoder, MutableEntryPointsMakeMutableContainers) {
  JSONDecoder d;
  std::string text = "{\"a\":[1]}";
  JDRef r = d.mutableObjectWithUTF8String(bytesOf(text), text.size());
  auto& dict = static_cast<JDDictionary&>(*r);
  EXPECT_TRUE(dict.isMutable());
  auto* inner = static_cast<JDArray*>(dict.objectForKey("a"));
  ASSERT_TRUE(inner);
  EXPECT_TRUE(inner->isMutable());
  inner->addObject(JDString::make("b"));
  dict.setObject(JDNumber::make(Number::fromInt(2)), JDString::make("c"));
  EXPECT_EQ(r->toValue(), Value(Dictionary{{"a", Value(Array{Q(1), Value("b")})}, {"c", Value(2)}}));
  plat::Data data(text.begin(), text.end());
  EXPECT_TRUE(static_cast<JDDictionary&>(*d.mutableObjectWithData(&data)).isMutable());
  EXPECT_FALSE(static_cast<JDDictionary&>(*d.objectWithData(&data)).isMutable());
}

}  // namespace

namespace {

TEST(JSONDecoder, RepeatedLayoutsKeepEveryValue) {
  std::string text = "[";
  std::vector<Value> expected;
  const char* layouts[][4] = {
      {"error_code", "error_msg", "last_member_name", "cmd"},
      {"cmd", "error_code", "error_msg", "last_member_name"},
      {"a\\u0062", "c", "d", "e"},  // decoded into the token buffer: "ab"
      {"x", "y", "x", "z"},         // a repeated key: the later wins
  };
  for (int i = 0; i < 60; ++i) {
    int layout = i >= 40 ? i % 2 : i % 4;
    std::vector<Dictionary::Entry> entries;
    text += i ? ",{" : "{";
    for (int k = 0; k < 4; ++k) {
      std::string key = layouts[layout][k];
      std::string value = "v" + std::to_string(i) + "_" + std::to_string(k);
      text += (k ? ",\"" : "\"") + key + "\":\"" + value + "\"";
      if (key == "a\\u0062") key = "ab";
      entries.emplace_back(key, Value(value));
    }
    if (i % 7 == 0) {
      text += ",\"inner\":{\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",\"z\":[]}";
      entries.emplace_back("inner", Value(Dictionary{{"k" + std::to_string(i), Q(i)}, {"z", Value(Array())}}));
    }
    text += "}";
    expected.push_back(Value(Dictionary::fromEntries(std::move(entries))));
  }
  text += "]";
  auto v = bothRoads(text, 0, nullptr);
  ASSERT_TRUE(v);
  ASSERT_EQ(v->count(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(same((*v)[i], expected[i])) << i << " " << (*v)[i].description();
}

}  // namespace
