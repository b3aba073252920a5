#include "Framework/Staticclass/NSStringExpand.h"

#include <gtest/gtest.h>

#include "Framework/Staticclass/NSDataExpand.h"

namespace {

std::string hexOf(const plat::Data& d) {
  static const char k[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s += k[b >> 4];
    s += k[b & 15];
  }
  return s;
}

TEST(NSStringExpandDigest, KnownAnswers) {
  struct Case {
    std::string text;
    const char* md5;
    const char* sha1;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"中文", "a7bac2239fcdcb3a067903d8077c4a07", "7be2d2d20c106eee0836c9bc2b939890a78e8fb3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NSStringExpand::md5HexDigest(c.text), c.md5);
    EXPECT_EQ(NSStringExpand::sha1HexDigest(c.text), c.sha1);
  }
}

TEST(NSStringExpandHMAC, RFC2202) {
  struct Case {
    std::string key, message;
    const char* mac;
  } cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19",
       std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& c : cases) EXPECT_EQ(hexOf(NSStringExpand::hmac_sha1(c.message, c.key)), c.mac) << c.message;
}

TEST(NSStringExpandHMAC, RequestSignature) {
  const std::string key = "9b04d6e2c7f1a35e8d20b4c6f9e17a3d";
  const std::string text = "get\nMon,01 Jan 2024 10:00:00 GMT\n12\n/docs/a%20b.txt";
  plat::Data mac = NSStringExpand::hmac_sha1(text, key);
  ASSERT_EQ(mac.size(), 20u);
  EXPECT_EQ(NSDataExpand::base64Encoded(mac), "uH8JKwvBR73r5gFjgnU+R7jINvA=");
  // The argument is the key: swapping receiver and argument signs differently.
  EXPECT_NE(NSStringExpand::hmac_sha1(key, text), mac);
}

TEST(NSStringExpandBase64, TextRoundTripsAndRefusals) {
  EXPECT_EQ(NSStringExpand::base64Encoded("abc"), "YWJj");
  EXPECT_EQ(NSStringExpand::base64Encoded("中文"), "5Lit5paH");
  EXPECT_EQ(NSStringExpand::base64Encoded(""), std::nullopt);
  for (const std::string& s : {std::string("1000000"), std::string("1000|docs/a b#1.txt"),
                              std::string("中文/报告|2"), std::string("a\0b", 3)}) {
    auto enc = NSStringExpand::base64Encoded(s);
    ASSERT_TRUE(enc);
    EXPECT_EQ(NSStringExpand::base64Decoded(*enc), s);
  }
  struct Case {
    const char* text;
    std::optional<std::string> decoded;
  } cases[] = {
      {"YWJj", "abc"},
      {"5Lit5paH", "中文"},
      {"", std::nullopt},
      {"Y", std::nullopt},
      {"/w==", std::nullopt},     // 0xFF is not UTF-8
      {"wK8=", std::nullopt},     // overlong "/"
      {"5Lit5p", std::nullopt},   // a character cut short
      {"MTAwMA==/x", std::nullopt},  // "/x" is alphabet, but the bytes aren't UTF-8
      {"MTAw MA==", "1000"},
      {"MTAwMA%3D%3D", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(NSStringExpand::base64Decoded(c.text), c.decoded) << c.text;
}

TEST(NSStringExpandURL, PlatformEscaping) {
  struct Case {
    const char* text;
    const char* escaped;
  } cases[] = {
      {"", ""},
      {"a b", "a%20b"},
      {"AZaz09", "AZaz09"},
      {"-_.!~*'()", "-_.!~*'()"},
      {";/?:@&=+$,", ";/?:@&=+$,"},
      {"#", "%23"},
      {"%", "%25"},
      {"\"<>[\\]^`{|}", "%22%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
      {"a\nb\tc\x7f", "a%0Ab%09c%7F"},
      {"中文", "%E4%B8%AD%E6%96%87"},
      {"docs/报告 1#2.txt", "docs/%E6%8A%A5%E5%91%8A%201%232.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(NSStringExpand::stringByAddingPercentEscapes(c.text), c.escaped) << c.text;
}

TEST(NSStringExpandURL, UrlEncoded) {
  struct Case {
    const char* text;
    const char* encoded;
  } cases[] = {
      {"a b&c/d", "a%20b%26c%2Fd"},
      {";/?:@&=+$,!'()*", "%3B%2F%3F%3A%40%26%3D%2B%24%2C%21%27%28%29%2A"},
      {"AZaz09-_.~", "AZaz09-_.~"},
      {"#", "%23"},
      {"%", "%25"},
      {"100%", "100%25"},
      {"a+b", "a%2Bb"},
      {"中文", "%E4%B8%AD%E6%96%87"},
      {"uH8JKwvBR73r5gFjgnU+R7jINvA=", "uH8JKwvBR73r5gFjgnU%2BR7jINvA%3D"},
      {"https://h/p?q=1&r=#f", "https%3A%2F%2Fh%2Fp%3Fq%3D1%26r%3D%23f"},
  };
  for (const auto& c : cases) EXPECT_EQ(NSStringExpand::urlEncoded(c.text), c.encoded) << c.text;
}

TEST(NSStringExpandURL, UrlDecoded) {
  struct Case {
    const char* text;
    std::optional<std::string> decoded;
  } cases[] = {
      {"a+b%20c", "a b c"},
      {"%E4%B8%AD%e6%96%87", "中文"},
      {"%2B", "+"},
      {"%23%25%2F", "#%/"},
      {"中文", "中文"},
      {"", ""},
      {"%FF", std::nullopt},
      {"%C0%AF", std::nullopt},  // overlong "/"
      {"%E4%B8", std::nullopt},  // cut short
      {"%4", std::nullopt},
      {"abc%", std::nullopt},
      {"%zz", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(NSStringExpand::urlDecoded(c.text), c.decoded) << c.text;
  for (const char* s : {"a b+c&d=e", "中文/报告 #1 100%.txt", ";/?:@&=+$,!'()*\"<>"})
    EXPECT_EQ(NSStringExpand::urlDecoded(NSStringExpand::urlEncoded(s)), s);
}

TEST(NSStringExpandURL, ToUtf8) {
  struct Case {
    const char* text;
    const char* normalised;
  } cases[] = {
      {"a%2Fb", "a/b"},
      {"a b", "a%20b"},
      {"a%20b", "a%20b"},
      {"中文.txt", "%E4%B8%AD%E6%96%87.txt"},
      {"%E4%B8%AD%E6%96%87.txt", "%E4%B8%AD%E6%96%87.txt"},
      {"a+b&c", "a+b&c"},
      {"%23", "%23"},
      {"a#b", "a%23b"},
      {"a%2523", "a%2523"},
      // Escapes that don't decode: the text is escaped as it stands.
      {"50% off", "50%25%20off"},
      {"%FF", "%25FF"},
  };
  for (const auto& c : cases) EXPECT_EQ(NSStringExpand::toUtf8(c.text), c.normalised) << c.text;
}

TEST(NSStringExpandPath, SlashOperations) {
  struct Case {
    const char* path;
    const char* parent;
    const char* filename;
    const char* added;
    const char* removed;
  } cases[] = {
      {"a/b/c", "a/b", "c", "a/b/c/", "a/b/c"},
      {"/a", "", "a", "/a/", "/a"},
      {"abc", "", "abc", "abc/", "abc"},
      {"a/b/", "a/b", "", "a/b/", "a/b"},
      {"", "", "", "/", ""},
      {"/", "", "", "/", ""},
      {"a//", "a/", "", "a//", "a/"},
      {"文档/报告 1.txt", "文档", "报告 1.txt", "文档/报告 1.txt/", "文档/报告 1.txt"},
      {"a b/c#d+e%f", "a b", "c#d+e%f", "a b/c#d+e%f/", "a b/c#d+e%f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(NSStringExpand::getParent(c.path), c.parent);
    EXPECT_EQ(NSStringExpand::getFilename(c.path), c.filename);
    EXPECT_EQ(NSStringExpand::lastaddslash(c.path), c.added);
    EXPECT_EQ(NSStringExpand::lastremoveslash(c.path), c.removed);
  }
}

TEST(NSStringExpandPath, ReplaceToJson) {
  EXPECT_EQ(NSStringExpand::replacetojson("a/b/c"), "a\\/b\\/c");
  EXPECT_EQ(NSStringExpand::replacetojson("//"), "\\/\\/");
  EXPECT_EQ(NSStringExpand::replacetojson("中文"), "中文");
  EXPECT_EQ(NSStringExpand::replacetojson(""), "");
}

}  // namespace
