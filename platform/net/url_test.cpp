#include "platform/net/url.h"

#include <gtest/gtest.h>

namespace plat {
namespace {

TEST(URLTest, PartsOfAbsoluteURLs) {
  struct Case {
    const char* text;
    const char* scheme;
    const char* host;
    std::optional<int> port;
    int effectivePort;
    const char* path;
    std::optional<std::string> query;
    const char* target;
    const char* hostHeader;
  } cases[] = {
      {"http://example.com", "http", "example.com", {}, 80, "", {}, "/", "example.com"},
      {"HTTPS://Host.Example:8443/a/b?x=1&y", "https", "Host.Example", 8443, 8443, "/a/b", "x=1&y", "/a/b?x=1&y",
       "Host.Example:8443"},
      {"http://127.0.0.1:80/", "http", "127.0.0.1", 80, 80, "/", {}, "/", "127.0.0.1"},
      {"http://[::1]:8080/p", "http", "::1", 8080, 8080, "/p", {}, "/p", "[::1]:8080"},
      {"https://[2001:db8::7]/", "https", "2001:db8::7", {}, 443, "/", {}, "/", "[2001:db8::7]"},
      {"http://h/docs/a%20b.txt?sc=%2F", "http", "h", {}, 80, "/docs/a%20b.txt", "sc=%2F", "/docs/a%20b.txt?sc=%2F", "h"},
      {"http://h:/x", "http", "h", {}, 80, "/x", {}, "/x", "h"},
      {"http://h?q", "http", "h", {}, 80, "", "q", "/?q", "h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto u = URL::parse(c.text);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->scheme(), c.scheme);
    EXPECT_EQ(u->host(), c.host);
    EXPECT_EQ(u->port(), c.port);
    EXPECT_EQ(u->effectivePort(), c.effectivePort);
    EXPECT_EQ(u->path(), c.path);
    EXPECT_EQ(u->query(), c.query);
    EXPECT_EQ(u->requestTarget(), c.target);
    EXPECT_EQ(u->hostHeader(), c.hostHeader);
  }
}

TEST(URLTest, UserInfoAndFragment) {
  auto u = URL::parse("http://bob:s%3Acret@h:81/p#frag");
  ASSERT_TRUE(u);
  EXPECT_TRUE(u->hasUserInfo());
  EXPECT_EQ(u->user(), "bob");
  EXPECT_EQ(u->password(), "s%3Acret");
  EXPECT_EQ(*percentDecode(u->password()), "s:cret");
  EXPECT_EQ(u->fragment(), "frag");
  // The proxy target carries neither the credentials nor the fragment.
  EXPECT_EQ(u->absoluteFormTarget(), "http://h:81/p");
}

TEST(URLTest, RefusesBadText) {
  for (const char* bad : {"", "example.com/path", "http://h/a b", "http://h/a\tb", "http://h/\x01", "http://h/\x7f",
                          "http://h/%zz", "http://h/%4", "http://h:99999/", "http://h:8a/", "http://[::1/",
                          "http://[nothex]/", "http:///path", "http://h/a#b#c", "http://h/\xc3\xa9", "http://h/a|b",
                          "http://h/a\"b", "http://h/a<b>", "1http://h/", "http://a@b@c/", "http://h/[x]"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(URL::parse(bad));
  }
}

TEST(URLTest, ResolvesReferencesAsRFC3986Examples) {
  auto base = URL::parse("http://a/b/c/d;p?q");
  ASSERT_TRUE(base);
  struct Case {
    const char* ref;
    const char* expect;
  } cases[] = {
      {"g:h", "g:h"},          {"g", "http://a/b/c/g"},        {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"}, {"/g", "http://a/g"},         {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"}, {"g?y", "http://a/b/c/g?y"}, {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"}, {";x", "http://a/b/c/;x"},   {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},   {"./", "http://a/b/c/"},       {"..", "http://a/b/"},
      {"../", "http://a/b/"},   {"../g", "http://a/b/g"},      {"../..", "http://a/"},
      {"../../g", "http://a/g"}, {"../../../g", "http://a/g"}, {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},  {"g.", "http://a/b/c/g."},     {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"}, {"g/./h", "http://a/b/c/g/h"}, {"g/../h", "http://a/b/c/h"},
      {"g;x=1/../y", "http://a/b/c/y"}, {"g?y/./x", "http://a/b/c/g?y/./x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ref);
    auto r = URL::resolve(c.ref, *base);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->absoluteString(), c.expect);
  }
  EXPECT_FALSE(URL::resolve("/a b", *base));
}

}  // namespace
}  // namespace plat
