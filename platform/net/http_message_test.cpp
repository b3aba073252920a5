#include "platform/net/http_message.h"

#include <gtest/gtest.h>

#include "platform/foundation/log.h"

namespace plat {
namespace {

HTTPMessage makeRequest(const char* method = "GET") {
  return *HTTPMessage::createRequest(method, *URL::parse("http://h/p"));
}

TEST(HTTPMessageTest, MethodsAreTokensCustomVerbsIncluded) {
  for (const char* m : {"GET", "PUT", "RENAME", "ORG_SHARE", "FAVORITES_ADD", "COMPARE"})
    EXPECT_TRUE(HTTPMessage::createRequest(m, *URL::parse("http://h/"))) << m;
  for (const char* m : {"", "GE T", "GET\r\n", "A:B"})
    EXPECT_FALSE(HTTPMessage::createRequest(m, *URL::parse("http://h/"))) << m;
  EXPECT_FALSE(HTTPMessage::createRequest("GET", *URL::parse("http://h/"), "HTTP/2"));
}

TEST(HTTPMessageTest, RefusesHeaderValuesThatWouldSplitTheRequest) {
  LogCapture logs;
  auto m = makeRequest();
  for (std::string v : {std::string("a\r\nX-Injected: 1"), std::string("a\nb"), std::string("a\rb"),
                        std::string("a\0b", 3)}) {
    EXPECT_FALSE(m.setHeaderFieldValue("X-Test", v));
    EXPECT_FALSE(m.addHeaderFieldValue("X-Test", v));
  }
  EXPECT_FALSE(m.setHeaderFieldValue("Bad Name", "v"));
  EXPECT_FALSE(m.setHeaderFieldValue("Bad:Name", "v"));
  EXPECT_TRUE(m.headerFields().empty());
  EXPECT_TRUE(logs.contains("refused value of header field X-Test"));
}

TEST(HTTPMessageTest, CaseInsensitiveLookupKeepsSpellingAndOrder) {
  auto m = makeRequest();
  EXPECT_TRUE(m.setHeaderFieldValue("x-qv-Mount", "12"));
  EXPECT_TRUE(m.setHeaderFieldValue("Range", "bytes=0-"));
  EXPECT_TRUE(m.setHeaderFieldValue("x-qv-empty", ""));
  EXPECT_TRUE(m.setHeaderFieldValue("X-QV-MOUNT", "13"));  // replaces in place
  ASSERT_EQ(m.headerFields().size(), 3u);
  EXPECT_EQ(m.headerFields()[0], (HeaderField{"x-qv-Mount", "13"}));
  EXPECT_EQ(m.headerFields()[2], (HeaderField{"x-qv-empty", ""}));
  EXPECT_EQ(m.headerFieldValue("X-Qv-Empty"), "");
  EXPECT_FALSE(m.headerFieldValue("missing"));
  m.removeHeaderField("RANGE");
  EXPECT_FALSE(m.hasHeaderField("range"));
}

TEST(HTTPMessageTest, RepeatedFieldsKeptApartAndJoinedInTheDictionary) {
  auto r = HTTPMessage::createResponse(200, "HTTP/1.1 200 OK");
  r.addHeaderFieldValue("Set-Cookie", "a=1; Path=/");
  r.addHeaderFieldValue("Content-Type", "text/plain");
  r.addHeaderFieldValue("set-cookie", "b=2");
  EXPECT_EQ(r.headerFieldValues("SET-COOKIE"), (std::vector<std::string>{"a=1; Path=/", "b=2"}));
  auto all = r.allHeaderFields();
  EXPECT_EQ(all.size(), 2u);
  EXPECT_EQ(all["Set-Cookie"].string(), "a=1; Path=/, b=2");
  EXPECT_EQ(all["Content-Type"].string(), "text/plain");
}

}  // namespace
}  // namespace plat
