#include "Framework/HCHTTP/HCHTTPCookie.h"

#include <gtest/gtest.h>

namespace {

plat::URL url(const char* s) { return *plat::URL::parse(s); }

TEST(HCHTTPCookie, Parsing) {
  auto base = url("http://files.example.com/dir/page");
  auto c = HCHTTPCookie::parse("sid=abc; Path=/; Domain=.example.com; Secure; HttpOnly", base);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->name, "sid");
  EXPECT_EQ(c->value, "abc");
  EXPECT_EQ(c->domain, "example.com");
  EXPECT_FALSE(c->hostOnly);
  EXPECT_TRUE(c->secure && c->httpOnly);
  auto d = HCHTTPCookie::parse("k = v ", base);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->name, "k");
  EXPECT_EQ(d->value, "v");
  EXPECT_EQ(d->path, "/dir");
  EXPECT_TRUE(d->hostOnly);
  // Refused: no name, no '=', a domain that isn't the server's.
  for (const char* bad : {"=v", "novalue", "x=1; Domain=other.org"}) EXPECT_FALSE(HCHTTPCookie::parse(bad, base)) << bad;
  auto dated = HCHTTPCookie::parse("t=1; Expires=Sun, 06 Nov 1994 08:49:37 GMT", base);
  ASSERT_TRUE(dated && dated->expiresDate);
  EXPECT_EQ(dated->expiresDate->secondsSince1970, 784111777.0);
}

TEST(HCHTTPCookie, StorageHandsCookiesOnlyToTheirURLs) {
  HCHTTPCookieStorage& s = HCHTTPCookieStorage::shared();
  s.deleteAllCookies();
  auto from = url("https://a.example.com/app/x");
  s.setCookies({*HCHTTPCookie::parse("host=1", from), *HCHTTPCookie::parse("dom=2; Domain=example.com; Path=/", from),
                *HCHTTPCookie::parse("sec=3; Secure; Path=/", from),
                *HCHTTPCookie::parse("old=4; Max-Age=0", from)});
  struct Row {
    const char* url;
    std::vector<std::string> names;
  } rows[] = {
      {"https://a.example.com/app/y", {"host", "dom", "sec"}},
      {"http://a.example.com/app/y", {"host", "dom"}},
      {"https://b.example.com/app/y", {"dom"}},
      {"https://a.example.com/apple", {"dom", "sec"}},
      {"https://other.org/", {}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> names;
    for (const auto& c : s.cookiesForURL(url(row.url))) names.push_back(c.name);
    std::sort(names.begin(), names.end());
    auto expected = row.names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected) << row.url;
  }
  // The same name, domain and path replaces; an expired one removes.
  s.setCookies({*HCHTTPCookie::parse("host=9", from)});
  s.setCookies({*HCHTTPCookie::parse("dom=x; Domain=example.com; Path=/; Max-Age=-1", from)});
  auto left = s.cookiesForURL(url("https://a.example.com/app/"));
  ASSERT_EQ(left.size(), 2u);
  for (const auto& c : left) {
    if (c.name == "host") {
      EXPECT_EQ(c.value, "9");
    }
    EXPECT_NE(c.name, "dom");
  }
  s.deleteAllCookies();
}

// A Domain that is a public suffix would hand the cookie to every site
// under it: refused, unless the host is that name itself (then host-only).
TEST(HCHTTPCookie, NoCookieForABarePublicSuffix) {
  struct Row {
    const char* url;
    const char* setCookie;
    bool accepted;
    const char* domain;
    bool hostOnly;
  } rows[] = {
      {"http://files.example.com/", "a=1; Domain=com", false, "", false},
      {"http://files.example.com/", "a=1; Domain=.com", false, "", false},
      {"http://www.shop.co.uk/", "a=1; Domain=co.uk", false, "", false},
      {"http://pan.site.com.cn/", "a=1; Domain=.com.cn", false, "", false},
      {"http://pan.site.com.cn/", "a=1; Domain=site.com.cn", true, "site.com.cn", false},
      {"http://files.example.com/", "a=1; Domain=example.com", true, "example.com", false},
      {"http://localhost/", "a=1; Domain=localhost", true, "localhost", true},
  };
  for (const auto& row : rows) {
    auto c = HCHTTPCookie::parse(row.setCookie, url(row.url));
    ASSERT_EQ(c.has_value(), row.accepted) << row.setCookie << " from " << row.url;
    if (!c) continue;
    EXPECT_EQ(c->domain, row.domain) << row.setCookie;
    EXPECT_EQ(c->hostOnly, row.hostOnly) << row.setCookie;
  }
}

}  // namespace
