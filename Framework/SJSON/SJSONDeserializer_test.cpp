#include "Framework/SJSON/SJSONDeserializer.h"

#include <gtest/gtest.h>

#include "platform/foundation/run_loop.h"

using plat::Array;
using plat::Data;
using plat::Decimal;
using plat::Dictionary;
using plat::Error;
using plat::Number;
using plat::Value;

namespace {

Value U(unsigned long long v) { return Value(Number::fromUnsignedLongLong(v)); }
Value Q(long long v) { return Value(Number::fromLongLong(v)); }
Value D(const char* text) { return Value(*Decimal::parse(text)); }

// Equality that also holds the number's C type to account.
bool same(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  if (a.isNumber()) return a.number().type() == b.number().type() && a.number() == b.number();
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

struct Accepted {
  std::string text;
  Value value;
};

TEST(SJSONDeserializer, AcceptedTexts) {
  const Accepted cases[] = {
      {"{}", Dictionary()},
      {"[]", Array()},
      {"[1,2,]", Array{U(1), U(2)}},
      {"{\"a\":1,}", Dictionary{{"a", U(1)}}},
      {"{\"a\":1,\"a\":2}", Dictionary{{"a", U(2)}}},
      {"{\"a\":1} and more words", Dictionary{{"a", U(1)}}},
      {"[010, 1e5, -1e5, 2.5]", Array{U(8), D("100000"), D("-100000"), D("2.5")}},
      {"[1.5e3, -0, 18446744073709551616]", Array{D("1500"), Q(0), D("18446744073709551616")}},
      {"[-9223372036854775809, 12+3]", Array{D("-9223372036854775809"), U(12)}},
      {"\"a\\qb\"", Value("aqb")},
      {"\"\\u00e9\"", Value("\xC3\xA9")},
      {"\"\\ud83d\\ude00\"", Value("\xF0\x9F\x98\x80")},
      // A lone surrogate has no UTF-8 form: U+FFFD, and what follows it stays.
      {"\"\\ud800x\"", Value("\xEF\xBF\xBDx")},
      {"\"\\ud800\"", Value("\xEF\xBF\xBD")},
      {"\"\\udc00\\ud800\\n\"", Value("\xEF\xBF\xBD\xEF\xBF\xBD\n")},
      {"\"\\ud800\\u0041\"", Value("\xEF\xBF\xBD" "A")},
      {"\"\\ud800\\ud800\\udc00\"", Value("\xEF\xBF\xBD\xF0\x90\x80\x80")},
      {"\"\\ud83dz\\ude00\"", Value("\xEF\xBF\xBDz\xEF\xBF\xBD")},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", Value("\"\\/\b\f\n\r\t")},
      {"\"tab\there\"", Value("tab\there")},  // raw control bytes are taken
      {"\"\xE4\xB8\xAD\xE6\x96\x87.txt\"", Value("\xE4\xB8\xAD\xE6\x96\x87.txt")},
      {"null", Value()},
      {"true", Value(true)},
      {" false ", Value(false)},
      {"-12", Q(-12)},
      {"12", U(12)},
      {"[\v1\f,\r\n2 ]", Array{U(1), U(2)}},
      {"{\"a\":{\"b\":[true,false,null]}}",
       Dictionary{{"a", Value(Dictionary{{"b", Value(Array{Value(true), Value(false), Value()})}})}}},
      {"{ \"k\" : \"v\" , \"n\" : null }", Dictionary{{"k", Value("v")}, {"n", Value()}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Error e;
    auto v = SJSONDeserializer::deserializer()->deserialize(c.text, &e);
    ASSERT_TRUE(v.has_value()) << e.description();
    EXPECT_TRUE(same(*v, c.value)) << v->description();
  }
}

struct Refused {
  std::string text;
  long code;
  unsigned long location;
  bool strict = false;
};

TEST(SJSONDeserializer, RefusedTextsGiveCodeTextAndPosition) {
  const Refused cases[] = {
      {"[,1]", -202, 0},
      {"{,}", -102, 0},
      {"[1 2]", -204, 0},
      {"[1", -204, 0},
      {"  [1 2]", -204, 2},
      {"{\"a\" 1}", -103, 0},
      {"{\"a\":1 \"b\":2}", -105, 0},
      {"{\"a\":1", -105, 0},
      {"{", -102, 0},
      {"{\"a\":}", -104, 0},
      {"{\"a\":[1,}", -104, 0},
      {"['x']", -202, 0},
      {"'x'", -301, 0},
      {"[nul]", -203, 1},
      {"{\"a\":nul}", -105, 0},
      {"\"a\\qb\"", -303, 0, true},
      {"\"\\u00g1\"", -302, 0},
      {"\"\\u12", -302, 0},
      {"\"abc", -304, 4},
      {"\"abc\\", -304, 5, true},  // a backslash at the end is no unknown escape
      {"\"\\\xC3\xA9\"", -302, 0},  // an escaped byte leaves half a character
      {"\"\xC3\"", -302, 0},        // too short to be converted, and not UTF-8
      {"+1", -15, 0},
      {"  .5", -15, 2},
      {"   ", -15, 3},
      {"}", -15, 0},
      {"{\"a\":\"\xFF\"}", -12, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto d = SJSONDeserializer::deserializer();
    d->scanner()->setStrictEscapeCodes(c.strict);
    Error e;
    auto v = d->deserialize(c.text, &e);
    EXPECT_FALSE(v.has_value());
    EXPECT_EQ(e.domain(), kJSONScannerErrorDomain);
    EXPECT_EQ(e.code(), c.code);
    EXPECT_EQ(e.userInfo()["location"].unsignedLongLongValue(), c.location);
    EXPECT_TRUE(e.userInfo().contains("snippet"));
    EXPECT_TRUE(e.userInfo().contains("line"));
    EXPECT_TRUE(e.userInfo().contains("character"));
  }
}

TEST(SJSONDeserializer, ErrorTexts) {
  const std::pair<std::string, std::string> cases[] = {
      {"+", "Could not scan object. Character not a valid JSON character."},
      {"{,}", "Could not scan dictionary. Failed to scan a key."},
      {"{\"a\" 1}", "Could not scan dictionary. Key was not terminated with a ':' character."},
      {"{\"a\":}", "Could not scan dictionary. Failed to scan a value."},
      {"{\"a\":1 \"b\":2}", "Could not scan dictionary close delimiter."},
      {"[,]", "Could not scan array. Could not scan a value."},
      {"[nul]", "Could not scan array. Value is NULL."},
      {"[1 2]", "Could not scan array. Array not terminated by a ']' character."},
      {"'x'", "Could not scan string constant. String not started by a '\"' character."},
      {"\"\\u00g1\"", "Could not scan string constant. Unicode character could not be decoded."},
      {"\"abc", "Could not scan string constant. No terminating double quote character."},
      {"{\"a\":\"\xFF\"}", "Could not scan data. Data wasn't encoded properly?"},
  };
  for (const auto& [text, message] : cases) {
    Error e;
    EXPECT_FALSE(SJSONDeserializer::deserializer()->deserialize(text, &e));
    EXPECT_EQ(e.localizedDescription(), message) << text;
  }
}

TEST(SJSONDeserializer, ScannerEntryPointsGiveTheirOwnErrors) {
  auto scanOne = [](const char* text, auto scan) {
    SJSONScanner s;
    EXPECT_TRUE(s.setData(std::make_shared<const Data>(text, text + strlen(text)), nullptr));
    Error e;
    std::optional<Value> v;
    EXPECT_FALSE((s.*scan)(&v, &e));
    return e.code();
  };
  EXPECT_EQ(scanOne("[1]", &SJSONScanner::scanJSONDictionary), -101);
  EXPECT_EQ(scanOne("{}", &SJSONScanner::scanJSONArray), -201);
  EXPECT_EQ(scanOne("{}", &SJSONScanner::scanJSONNumberConstant), -401);
  EXPECT_EQ(scanOne("[1]", &SJSONScanner::scanJSONStringConstant), -301);
  // The typed fronts refuse the other container.
  Error e;
  EXPECT_FALSE(SJSONDeserializer::deserializer()->deserializeAsDictionary("[1]", &e));
  EXPECT_EQ(e.code(), -101);
  EXPECT_FALSE(SJSONDeserializer::deserializer()->deserializeAsArray("{}", &e));
  EXPECT_EQ(e.code(), -201);
  auto v = SJSONDeserializer::deserializer()->deserializeAsArray(" [1] x", &e);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->count(), 1u);
}

TEST(SJSONDeserializer, ErrorPositionOnALaterLine) {
  Error e;
  EXPECT_FALSE(SJSONDeserializer::deserializer()->deserialize("\n\n  \"abc", &e));
  EXPECT_EQ(e.code(), -304);
  EXPECT_EQ(e.userInfo()["line"].unsignedLongLongValue(), 2u);
  EXPECT_EQ(e.userInfo()["location"].unsignedLongLongValue(), 8u);
  EXPECT_EQ(e.userInfo()["character"].unsignedLongLongValue(), 8u - 0u);  // mark one before the last break
  EXPECT_EQ(e.userInfo()["snippet"].string(), "\n\n  \"abc!HERE>!");
}

TEST(SJSONDeserializer, NilResultsAndTheDeserializersOwnError) {
  auto d = SJSONDeserializer::deserializer();
  Error e;
  EXPECT_FALSE(d->deserialize(static_cast<const Data*>(nullptr), &e));
  EXPECT_EQ(e.domain(), kJSONDeserializerErrorDomain);
  EXPECT_EQ(e.code(), -11);
  EXPECT_TRUE(e.userInfo().empty());
  Error e2;
  Data empty;
  EXPECT_FALSE(d->deserialize(&empty, &e2));
  EXPECT_EQ(e2.code(), -11);
  EXPECT_FALSE(d->deserialize(std::string_view(), nullptr));

  // A word that starts like a literal: nil, and no error.
  for (const char* word : {"nul", "tru", "fals", "nothing"}) {
    Error none;
    EXPECT_FALSE(d->deserialize(word, &none)) << word;
    EXPECT_TRUE(none.domain().empty()) << word;
  }
}

TEST(SJSONDeserializer, NullObject) {
  auto d = SJSONDeserializer::deserializer();
  d->setNullObject(Value("NULL"));
  EXPECT_EQ(*d->deserialize("[null]"), Value(Array{Value("NULL")}));
  d->setNullObject(std::nullopt);
  EXPECT_EQ(d->nullObject(), std::nullopt);
  EXPECT_EQ(*d->deserialize("[1,null,2]"), Value(Array{U(1), U(2)}));
  EXPECT_EQ(*d->deserialize("{\"a\":null,\"b\":1}"), Value(Dictionary{{"b", U(1)}}));
  EXPECT_FALSE(d->deserialize("null"));  // nil at the top
  // A misspelt literal is skipped too, and the array then lacks its comma.
  Error e;
  EXPECT_FALSE(d->deserialize("[nul]", &e));
  EXPECT_EQ(e.code(), -204);
}

std::string bytesOf(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

TEST(SJSONDeserializer, EncodingsAreSniffedAndConverted) {
  const std::pair<std::string, Value> cases[] = {
      {bytesOf({'"', 0, 'a', 0, '"', 0}), Value("a")},                              // UTF-16 LE
      {bytesOf({0, '[', 0, '1', 0, ']'}), Value(Array{U(1)})},                      // UTF-16 BE
      {bytesOf({'[', 0, 0, 0, '2', 0, 0, 0, ']', 0, 0, 0}), Value(Array{U(2)})},    // UTF-32 LE
      {bytesOf({0, 0, 0, '[', 0, 0, 0, '3', 0, 0, 0, ']'}), Value(Array{U(3)})},    // UTF-32 BE
      {bytesOf({'[', 0, '"', 0, 0x2D, 0x4E, '"', 0, ']', 0}), Value(Array{Value("\xE4\xB8\xAD")})},
      {bytesOf({'[', 0, '"', 0, 0x3D, 0xD8, 0x00, 0xDE, '"', 0, ']', 0}), Value(Array{Value("\xF0\x9F\x98\x80")})},
      // Only the first four bytes are looked at: this is UTF-8 with a zero byte.
      {bytesOf({'"', 0, 0x2D, 0x4E, '"', 0}), Value(std::string("\0-N", 3))},
  };
  for (const auto& [bytes, value] : cases) {
    Error e;
    auto v = SJSONDeserializer::deserializer()->deserialize(bytes, &e);
    ASSERT_TRUE(v) << e.description();
    EXPECT_TRUE(same(*v, value)) << v->description();
  }
  // A lone surrogate in UTF-16 has no UTF-8 form.
  Error e;
  EXPECT_FALSE(SJSONDeserializer::deserializer()->deserialize(bytesOf({'[', 0, '"', 0, 0x00, 0xD8, '"', 0, ']', 0}), &e));
  EXPECT_EQ(e.code(), -12);
}

TEST(SJSONDeserializer, AllowedEncodingIsTheSecondTry) {
  std::string latin1 = "[\"caf\xE9\"]";
  auto d = SJSONDeserializer::deserializer();
  Error e;
  EXPECT_FALSE(d->deserialize(latin1, &e));
  EXPECT_EQ(e.code(), -12);
  d->setAllowedEncoding(kStringEncodingISOLatin1);
  EXPECT_EQ(d->allowedEncoding(), kStringEncodingISOLatin1);
  EXPECT_EQ(*d->deserialize(latin1), Value(Array{Value("caf\xC3\xA9")}));
  d->setAllowedEncoding(kStringEncodingGB18030);
  EXPECT_EQ(*d->deserialize(std::string("[\"\xD6\xD0\"]")), Value(Array{Value("\xE4\xB8\xAD")}));
}

TEST(SJSONDeserializer, ScannerKeepsItsDataWhenNewDataDoesNotDecode) {
  SJSONScanner s;
  auto good = std::make_shared<const Data>(Data{'[', '1', ']', ' '});
  ASSERT_TRUE(s.setData(good, nullptr));
  Error e;
  EXPECT_FALSE(s.setData(std::make_shared<const Data>(Data{'[', '"', 0xFF, '"', ']'}), &e));
  EXPECT_EQ(e.code(), -12);
  EXPECT_EQ(s.data(), good);
  EXPECT_FALSE(s.setData(nullptr, &e));
  EXPECT_EQ(s.data(), good);
  std::optional<Value> v;
  EXPECT_TRUE(s.scanJSONObject(&v, nullptr));
  EXPECT_EQ(v->count(), 1u);
}

TEST(SJSONDeserializer, ErrorDescriptionMustNotBeNull) {
  SJSONScanner s;
  try {
    s.error(-1, nullptr);
    ADD_FAILURE();
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.reason(), "Invalid parameter not satisfying: inDescription != NULL");
  }
}

TEST(SJSONDeserializer, NestingIsBounded) {
  std::string ok(SJSONScanner::kMaxDepth, '[');
  ok += std::string(SJSONScanner::kMaxDepth, ']');
  EXPECT_TRUE(SJSONDeserializer::deserializer()->deserialize(ok));
  for (size_t depth : {size_t(SJSONScanner::kMaxDepth + 1), size_t(200000)}) {
    std::string deep(depth, '[');
    Error e;
    EXPECT_FALSE(SJSONDeserializer::deserializer()->deserialize(deep + std::string(depth, ']'), &e));
    EXPECT_EQ(e.code(), -202);
    EXPECT_EQ(e.userInfo()["location"].unsignedLongLongValue(), 0u);
  }
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  Error e;
  EXPECT_FALSE(SJSONDeserializer::deserializer()->deserialize(objects, &e));
  EXPECT_EQ(e.code(), -104);
}

TEST(SJSONDeserializer, ADeserializerReadsOneReplyAfterAnother) {
  auto d = SJSONDeserializer::deserializer();
  std::string first = "{\"hash\":\"a\",\"filesize\":12}";
  std::string second = "[\"b\"]";
  EXPECT_EQ((*d->deserialize(first))["filesize"].unsignedLongLongValue(), 12u);
  EXPECT_EQ(*d->deserialize(second), Value(Array{Value("b")}));
  EXPECT_EQ(d->scanner()->data(), nullptr);  // nothing of the caller's bytes is kept
}

TEST(SJSONDeserializer, CompletionBlocksRunOnTheMainThread) {
  plat::MainThread::setCurrentThreadAsMain();
  auto d = SJSONDeserializer::deserializer();
  int calls = 0;
  // Nil data: at once.
  d->deserializeAsDictionary(nullptr, [&](std::optional<Value> r, const Error* e) {
    ++calls;
    EXPECT_FALSE(r);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code(), -11);
  });
  EXPECT_EQ(calls, 1);
  std::string text = "{\"a\":[1]}";
  d->deserializeAsDictionary(std::make_shared<const Data>(text.begin(), text.end()),
                             [&](std::optional<Value> r, const Error* e) {
                               ++calls;
                               EXPECT_FALSE(e);
                               ASSERT_TRUE(r);
                               EXPECT_EQ((*r)["a"].count(), 1u);
                               plat::MainThread::runLoop()->stop();
                             });
  d->deserializeAsArray(std::make_shared<const Data>(text.begin(), text.end()),
                        [&](std::optional<Value> r, const Error* e) {
                          ++calls;
                          EXPECT_FALSE(r);
                          ASSERT_TRUE(e);
                          EXPECT_EQ(e->code(), -201);
                          plat::MainThread::runLoop()->stop();
                        });
  EXPECT_EQ(calls, 1);
  for (int i = 0; i < 20 && calls < 3; ++i) plat::MainThread::runLoop()->runInMode(plat::kDefaultRunLoopMode, 0.05);
  EXPECT_EQ(calls, 3);
}

}  // namespace

namespace {

// Items of one reply repeat a key layout, which the scanner reuses; every
// item must still come out exactly as written.
TEST(SJSONDeserializer, RepeatedLayoutsKeepEveryValue) {
  std::string text = "[";
  std::vector<Value> expected;
  const char* layouts[][4] = {
      {"hash", "fullpath", "last_member_name", "cmd"},
      {"cmd", "hash", "fullpath", "last_member_name"},  // same keys, other order
      {"a\\u0062", "c", "d", "e"},                      // an escaped key: "ab"
      {"x", "y", "x", "z"},                             // a repeated key: the later wins
  };
  for (int i = 0; i < 60; ++i) {
    int layout = i % 4;
    if (i >= 40) layout = i % 2;  // then only the first two, which stay known
    std::vector<Dictionary::Entry> entries;
    text += i ? ",{" : "{";
    for (int k = 0; k < 4; ++k) {
      std::string key = layouts[layout][k];
      std::string value = "v" + std::to_string(i) + "_" + std::to_string(k);
      text += (k ? ",\"" : "\"") + key + "\":\"" + value + "\"";
      if (key == "a\\u0062") key = "ab";
      entries.emplace_back(key, Value(value));
    }
    // Objects of layouts never seen twice, to push the known ones out.
    if (i % 7 == 0) {
      text += ",\"inner\":{\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",\"z\":[]}";
      entries.emplace_back("inner", Value(Dictionary{{"k" + std::to_string(i), U(static_cast<unsigned>(i))},
                                                     {"z", Value(Array())}}));
    }
    text += "}";
    expected.push_back(Value(Dictionary::fromEntries(std::move(entries))));
  }
  text += "]";
  auto v = SJSONDeserializer::deserializer()->deserialize(text);
  ASSERT_TRUE(v);
  ASSERT_EQ(v->count(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(same((*v)[i], expected[i])) << i << " " << (*v)[i].description();
}

TEST(SJSONDeserializer, RepeatedLayoutsWithDroppedNulls) {
  auto d = SJSONDeserializer::deserializer();
  d->setNullObject(std::nullopt);
  auto v = d->deserialize("[{\"a\":1,\"b\":2},{\"a\":1,\"b\":2},{\"a\":null,\"b\":3},{\"a\":4,\"b\":null},{\"a\":5,\"b\":6}]");
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, Value(Array{Value(Dictionary{{"a", U(1)}, {"b", U(2)}}), Value(Dictionary{{"a", U(1)}, {"b", U(2)}}),
                            Value(Dictionary{{"b", U(3)}}), Value(Dictionary{{"a", U(4)}}),
                            Value(Dictionary{{"a", U(5)}, {"b", U(6)}})}));
}

}  // namespace
