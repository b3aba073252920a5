#include "qvedit/EditURL.h"

#include <gtest/gtest.h>

#include "Framework/Staticclass/NSStringExpand.h"

namespace {

std::string url(const std::string& fields) { return "qvedit://" + NSStringExpand::base64Encoded(fields).value_or(""); }

TEST(EditURL, AcceptsTheThreeFields) {
  struct {
    std::string url, webpath, token;
    int64_t mount;
  } cases[] = {
      {url("5|docs/a b.txt|0123abcdef"), "docs/a b.txt", "0123abcdef", 5},
      {url("12|/报告/季度.docx|tok-en_1.2~"), "/报告/季度.docx", "tok-en_1.2~", 12},
      {url("007|x|t"), "x", "t", 7},
      // A browser's trailing slash and escaped padding.
      {url("5|a.txt|t") + "/", "a.txt", "t", 5},
      {"QVEDIT://" + url("5|a..b|t").substr(9), "a..b", "t", 5},
  };
  std::string eq = url("5|ab|tt");  // padded: "NXxhYnx0dA=="
  ASSERT_NE(eq.find('='), std::string::npos);
  std::string escaped = eq.substr(0, eq.find('=')) + "%3D%3D";
  for (const auto& c : cases) {
    std::string why;
    auto link = parseEditURL(c.url, &why);
    ASSERT_TRUE(link) << c.url << ": " << why;
    EXPECT_EQ(link->mountId, c.mount);
    EXPECT_EQ(link->webpath, c.webpath);
    EXPECT_EQ(link->refreshToken, c.token);
  }
  auto link = parseEditURL(escaped);
  ASSERT_TRUE(link);
  EXPECT_EQ(link->webpath, "ab");
}

TEST(EditURL, RefusesAnythingElseAndSaysWhy) {
  struct {
    std::string url;
    const char* why;
  } cases[] = {
      {"http://" + url("5|a|t").substr(9), "not a qvedit:// address"},
      {"qvedit:", "not a qvedit:// address"},
      {"qvedit://", "the address carries no data"},
      {"qvedit://!!!!", "the address is not Base64 of UTF-8 text"},
      {"qvedit://" + NSStringExpand::base64Encoded("\xff\xfe|a|t").value_or(""), "the address is not Base64 of UTF-8 text"},
      {url("5|a"), "the address must hold exactly three fields"},
      {url("5|a|t|x"), "the address must hold exactly three fields"},
      {url("5|a|b|"), "the address must hold exactly three fields"},
      {url("|a|t"), "the mount id is not a decimal number"},
      {url("-5|a|t"), "the mount id is not a decimal number"},
      {url("0x5|a|t"), "the mount id is not a decimal number"},
      {url(" 5|a|t"), "the mount id is not a decimal number"},
      {url("1234567890123456789|a|t"), "the mount id is not a decimal number"},
      {url("5||t"), "the cloud path is empty"},
      {url("5|a\nb|t"), "the cloud path holds a control character"},
      {url("5|a\x7f|t"), "the cloud path holds a control character"},
      {url("5|docs/|t"), "the cloud path ends in \"/\""},
      {url("5|/|t"), "the cloud path ends in \"/\""},
      {url("5|../a|t"), "the cloud path has a \".\" or \"..\" component"},
      {url("5|a/./b|t"), "the cloud path has a \".\" or \"..\" component"},
      {url("5|a/..|t"), "the cloud path has a \".\" or \"..\" component"},
      {url("5|a//b|t"), "the cloud path has an empty component"},
      {url("5|a|"), "the refresh token is missing or too long"},
      {url("5|a|" + std::string(600, 'a')), "the refresh token is missing or too long"},
      {url("5|a|t&client_id=x"), "the refresh token holds a character it can't have"},
      {url("5|a|t t"), "the refresh token holds a character it can't have"},
      {"qvedit://" + std::string(20000, 'A'), "the address is too long"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(parseEditURL(c.url, &why)) << c.url;
    EXPECT_EQ(why, c.why) << c.url;
  }
}

}  // namespace
