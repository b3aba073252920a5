#include "platform/net/http_authentication.h"

#include <gtest/gtest.h>

#include <map>

using namespace plat;

namespace {

HTTPMessage challenge(int status, std::vector<std::string> values) {
  HTTPMessage m = HTTPMessage::createResponse(status, "HTTP/1.1 " + std::to_string(status) + " X");
  for (auto& v : values) m.addHeaderFieldValue(status == 407 ? "Proxy-Authenticate" : "WWW-Authenticate", v);
  return m;
}

// "k=v, k2=v2" of a Digest answer, quotes removed.
std::map<std::string, std::string> paramsOf(const std::string& answer) {
  auto ch = parseAuthChallenges({answer});
  EXPECT_EQ(ch.size(), 1u);
  return ch.empty() ? std::map<std::string, std::string>{} : ch[0].params;
}

}  // namespace

TEST(HTTPAuthenticationParse, SeveralChallengesInOneFieldAndAcrossFields) {
  auto ch = parseAuthChallenges(
      {"Newauth realm=\"apps\", type=1, title=\"Login to \\\"apps\\\"\", Basic realm=\"simple\"", "Negotiate abc+/=="});
  ASSERT_EQ(ch.size(), 3u);
  EXPECT_EQ(ch[0].scheme, "Newauth");
  EXPECT_EQ(ch[0].params.at("realm"), "apps");
  EXPECT_EQ(ch[0].params.at("type"), "1");
  EXPECT_EQ(ch[0].params.at("title"), "Login to \"apps\"");
  EXPECT_EQ(ch[1].scheme, "Basic");
  EXPECT_EQ(ch[1].params.at("realm"), "simple");
  EXPECT_EQ(ch[2].scheme, "Negotiate");
  EXPECT_EQ(ch[2].token68, "abc+/==");
}

TEST(HTTPAuthentication, ChoosesTheStrongestSchemeOffered) {
  struct Case {
    std::vector<std::string> values;
    const char* scheme;  // nullptr: no object
  } cases[] = {
      {{"Basic realm=\"r\""}, "Basic"},
      {{"Basic realm=\"r\"", "Digest realm=\"r\", nonce=\"n\", qop=\"auth\""}, "Digest"},
      {{"NTLM"}, nullptr},  // not offered here: the request fails for want of an object
      {{"NTLM", "Basic realm=\"r\""}, "Basic"},
      {{"Negotiate"}, "Negotiate"},
      {{"Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\""}, nullptr},  // needs the body hash: not offered
      {{"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256"}, nullptr},
      {{"Digest realm=\"r\", qop=\"auth\""}, nullptr},  // no nonce
      {{}, nullptr},
  };
  for (const auto& c : cases) {
    auto a = HTTPAuthentication::createFromResponse(challenge(401, c.values));
    if (!c.scheme) {
      EXPECT_EQ(a, nullptr) << (c.values.empty() ? "" : c.values[0]);
      continue;
    }
    ASSERT_NE(a, nullptr) << c.values[0];
    EXPECT_EQ(a->method(), c.scheme);
    EXPECT_EQ(a->requiresUserNameAndPassword(), std::string(c.scheme) != "Negotiate");
  }
  auto sha = HTTPAuthentication::createFromResponse(
      challenge(401, {"Digest realm=\"r\", nonce=\"a\", algorithm=MD5, qop=\"auth\"",
                      "Digest realm=\"r\", nonce=\"b\", algorithm=SHA-256, qop=\"auth\""}));
  ASSERT_NE(sha, nullptr);
  EXPECT_NE(sha->authorization("GET", "/", "u", "p")->find("algorithm=SHA-256"), std::string::npos);
}

// The examples of RFC 7616 section 3.9.1, MD5 and SHA-256.
TEST(HTTPAuthentication, DigestAnswersMatchThePublishedExamples) {
  for (auto [algorithm, expected] :
       {std::pair<std::string, std::string>{"MD5", "8ca523f5e9506fed4657c9700eebdbec"},
        {"SHA-256", "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"}}) {
    auto a = HTTPAuthentication::createFromResponse(challenge(
        401, {"Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=" + algorithm +
                  ", nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
                  "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""}));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->realm(), "http-auth@example.org");
    a->setClientNonce("f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ");
    auto v = a->authorization("GET", "/dir/index.html", "Mufasa", "Circle of Life");
    ASSERT_TRUE(v);
    auto p = paramsOf(*v);
    EXPECT_EQ(p["response"], expected) << algorithm;
    EXPECT_EQ(p["nc"], "00000001");
    EXPECT_EQ(p["qop"], "auth");
    EXPECT_EQ(p["username"], "Mufasa");
    EXPECT_EQ(p["opaque"], "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS");
    // The next use of the same nonce counts on.
    EXPECT_EQ(paramsOf(*a->authorization("GET", "/", "Mufasa", "Circle of Life"))["nc"], "00000002");
  }
}

TEST(HTTPAuthentication, RefusedCredentialsInvalidateButAStaleNonceDoesNot) {
  auto digest = HTTPAuthentication::createFromResponse(
      challenge(401, {"Digest realm=\"r\", nonce=\"one\", qop=\"auth\""}));
  ASSERT_NE(digest, nullptr);
  ASSERT_TRUE(digest->authorization("GET", "/", "u", "p"));
  digest->updateWithResponse(challenge(401, {"Digest realm=\"r\", nonce=\"two\", qop=\"auth\", stale=true"}));
  EXPECT_TRUE(digest->isValid());
  auto p = paramsOf(*digest->authorization("GET", "/", "u", "p"));
  EXPECT_EQ(p["nonce"], "two");
  EXPECT_EQ(p["nc"], "00000001");
  digest->updateWithResponse(challenge(401, {"Digest realm=\"r\", nonce=\"three\", qop=\"auth\""}));
  Error e;
  EXPECT_FALSE(digest->isValid(&e));
  EXPECT_EQ(e.domain(), kCFStreamErrorDomainHTTP);
  EXPECT_EQ(e.code(), kCFStreamErrorHTTPAuthenticationBadPassword);

  // A server that calls every nonce stale is answered a few times, then refused.
  auto endless = HTTPAuthentication::createFromResponse(challenge(401, {"Digest realm=\"r\", nonce=\"n\""}));
  ASSERT_NE(endless, nullptr);
  int answers = 0;
  while (endless->isValid() && answers < 10) {
    ASSERT_TRUE(endless->authorization("GET", "/", "u", "p"));
    ++answers;
    endless->updateWithResponse(challenge(401, {"Digest realm=\"r\", nonce=\"n\", stale=TRUE"}));
  }
  EXPECT_EQ(answers, 3);

  auto basic = HTTPAuthentication::createFromResponse(challenge(407, {"Basic realm=\"proxy\""}));
  ASSERT_NE(basic, nullptr);
  EXPECT_TRUE(basic->isProxy());
  EXPECT_STREQ(basic->headerName(), "Proxy-Authorization");
  basic->updateWithResponse(challenge(407, {"Basic realm=\"proxy\""}));
  EXPECT_TRUE(basic->isValid()) << "nothing was applied yet";
  EXPECT_EQ(*basic->authorization("GET", "/", "Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  basic->updateWithResponse(challenge(407, {"Basic realm=\"proxy\""}));
  EXPECT_FALSE(basic->isValid());
}

TEST(HTTPAuthentication, CredentialsThatCannotBeWrittenAreRefused) {
  auto basic = HTTPAuthentication::createFromResponse(challenge(401, {"Basic realm=\"r\""}));
  auto digest = HTTPAuthentication::createFromResponse(challenge(401, {"Digest realm=\"r\", nonce=\"n\""}));
  ASSERT_TRUE(basic && digest);
  EXPECT_FALSE(basic->authorization("GET", "/", "a:b", "p")) << "a colon ends a Basic user-id";
  EXPECT_FALSE(basic->authorization("GET", "/", "a", "p\r\nX-Injected: 1"));
  EXPECT_FALSE(digest->authorization("GET", "/", "a\nb", "p"));
  // Quotes are escaped inside the quoted user name; other bytes go as username*.
  EXPECT_EQ(paramsOf(*digest->authorization("GET", "/", "a\"b", "p"))["username"], "a\"b");
  EXPECT_NE(digest->authorization("GET", "/", "J\xC3\xA4s\xC3\xB8n", "p")->find("username*=UTF-8''J%C3%A4s%C3%B8n"),
            std::string::npos);
  auto negotiate = HTTPAuthentication::createFromResponse(challenge(401, {"Negotiate"}));
  ASSERT_NE(negotiate, nullptr);
  EXPECT_FALSE(negotiate->authorization("GET", "/", "u", "p"));
}

TEST(HTTPAuthentication, ADigestChallengeWithControlBytesIsNotAnswered) {
  // Each value is echoed into the Authorization header (CR and LF never get
  // this far: the message refuses them).
  const char* cases[] = {
      "Digest realm=\"r\x01\", nonce=\"n\"",
      "Digest realm=\"r\", nonce=\"n\x01\"",
      "Digest realm=\"r\", nonce=\"n\x1b[2J\"",
      "Digest realm=\"r\", nonce=\"n\", opaque=\"o\x7f\"",
      "Digest realm=\"r\", nonce=\"n\", opaque=\"o\x0b\"",
  };
  for (const char* c : cases) {
    auto digest = HTTPAuthentication::createFromResponse(challenge(401, {c}));
    ASSERT_TRUE(digest) << c;
    EXPECT_FALSE(digest->authorization("GET", "/", "u", "p")) << c;
  }
  // The same challenge without them is answered, opaque echoed.
  auto clean = HTTPAuthentication::createFromResponse(challenge(401, {"Digest realm=\"r\", nonce=\"n\", opaque=\"o\""}));
  ASSERT_TRUE(clean);
  auto answer = clean->authorization("GET", "/", "u", "p");
  ASSERT_TRUE(answer);
  EXPECT_EQ(paramsOf(*answer)["opaque"], "o");
}
