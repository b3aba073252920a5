// The read stream through the loopback proxies: HTTP absolute-form, HTTPS
// through CONNECT, SOCKS5 with and without a password.
#include <gtest/gtest.h>

#include "platform/net/http_read_stream.h"
#include "tests/support/stream_runner.h"
#include "tests/support/test_http_server.h"
#include "tests/support/test_proxy.h"

namespace plat {
namespace {

using qvtest::makeStream;
using qvtest::runStream;
using qvtest::ScriptedResponse;
using qvtest::TestCertificates;
using qvtest::TestHTTPServer;
using qvtest::TestProxy;

struct Servers {
  TestHTTPServer http;
  TestHTTPServer https{TestHTTPServer::Options{.tls = true, .certificate = TestCertificates::shared().server}};
  Servers() {
    auto echo = [](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, r.method + " " + r.target); };
    http.setHandler(echo);
    https.setHandler(echo);
  }
};

qvtest::StreamOutcome viaProxy(const std::string& url, const ProxySettings& proxy, int64_t connectionID = -1) {
  auto s = makeStream(url);
  s->setProxy(proxy);
  SSLSettings ssl;
  ssl.trustedCertificatesPEM = TestCertificates::shared().ca.certificatePEM;
  s->setSSLSettings(ssl);
  if (connectionID >= 0) {
    s->setAttemptPersistentConnection(true);
    s->setConnectionID(connectionID);
  }
  return runStream(s);
}

TEST(ProxyTest, HTTPProxyGetsTheAbsoluteFormAndTheOriginTheOriginForm) {
  Servers servers;
  TestProxy proxy({.kind = TestProxy::Kind::HTTP});
  ProxySettings settings{
      .type = ProxySettings::Type::HTTP, .host = "127.0.0.1", .port = proxy.port(), .username = "u", .password = "p"};
  auto r = viaProxy(servers.http.url("/a/b?c=1"), settings);
  EXPECT_EQ(r.body, "GET /a/b?c=1");
  ASSERT_EQ(proxy.log().size(), 1u);
  EXPECT_EQ(proxy.log()[0], "GET " + servers.http.url("/a/b?c=1"));
  EXPECT_NE(proxy.heads()[0].find("Proxy-Authorization: Basic dTpw\r\n"), std::string::npos);
  EXPECT_EQ(servers.http.requests().at(0).target, "/a/b?c=1");
}

TEST(ProxyTest, HTTPSGoesThroughCONNECTWithCredentialsForTheProxyOnly) {
  Servers servers;
  TestProxy proxy({.kind = TestProxy::Kind::HTTP});
  ProxySettings settings{
      .type = ProxySettings::Type::HTTP, .host = "localhost", .port = proxy.port(), .username = "u", .password = "p"};
  auto r = viaProxy(servers.https.url("localhost", "/secure"), settings);
  EXPECT_EQ(r.body, "GET /secure") << (r.error ? r.error->description() : "");
  ASSERT_EQ(proxy.log().size(), 1u);
  EXPECT_EQ(proxy.log()[0], "CONNECT localhost:" + std::to_string(servers.https.port()));
  EXPECT_NE(proxy.heads()[0].find("Proxy-Authorization: Basic dTpw\r\n"), std::string::npos);
  EXPECT_FALSE(servers.https.requests().at(0).header("Proxy-Authorization"));
}

TEST(ProxyTest, RefusedCONNECTIsHandedUpAsTheResponse) {
  Servers servers;
  std::string refusal =
      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 6\r\n\r\ndenied";
  TestProxy proxy({.kind = TestProxy::Kind::HTTP, .refuseConnectWith = refusal});
  auto r = viaProxy(servers.https.url("/x"),
                    ProxySettings{.type = ProxySettings::Type::HTTP, .host = "127.0.0.1", .port = proxy.port()});
  EXPECT_TRUE(r.ended);
  EXPECT_EQ(r.status(), 407);
  EXPECT_EQ(r.head->headerFieldValue("Proxy-Authenticate"), "Basic realm=\"p\"");
  EXPECT_EQ(r.body, "denied");
  EXPECT_EQ(servers.https.requestCount(), 0u);
}

TEST(ProxyTest, SOCKS5ForHTTPAndHTTPSWithAndWithoutPassword) {
  Servers servers;
  TestProxy open({.kind = TestProxy::Kind::SOCKS5});
  TestProxy guarded({.kind = TestProxy::Kind::SOCKS5, .username = "alice", .password = "s3cret"});
  ProxySettings none{.type = ProxySettings::Type::SOCKS5, .host = "127.0.0.1", .port = open.port()};
  ProxySettings good{.type = ProxySettings::Type::SOCKS5, .host = "127.0.0.1", .port = guarded.port(),
                     .username = "alice", .password = "s3cret"};
  ProxySettings bad = good;
  bad.password = "wrong";
  ProxySettings missing = good;
  missing.username.clear();

  EXPECT_EQ(viaProxy(servers.http.url("/plain"), none).body, "GET /plain");
  EXPECT_EQ(viaProxy(servers.https.url("localhost", "/tls"), none).body, "GET /tls");
  EXPECT_EQ(open.log(), (std::vector<std::string>{"SOCKS5 127.0.0.1:" + std::to_string(servers.http.port()),
                                                  "SOCKS5 localhost:" + std::to_string(servers.https.port())}));
  EXPECT_EQ(viaProxy(servers.http.url("/pw"), good).body, "GET /pw");

  auto refused = viaProxy(servers.http.url("/pw"), bad);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code(), kCFSOCKS5ErrorBadCredentials);
  auto noMethod = viaProxy(servers.http.url("/pw"), missing);
  ASSERT_TRUE(noMethod.error);
  EXPECT_EQ(noMethod.error->code(), kCFSOCKS5ErrorNoAcceptableMethod);
}

TEST(ProxyTest, KeepAliveThroughAProxyStaysWithThatProxy) {
  Servers servers;
  TestProxy proxy({.kind = TestProxy::Kind::SOCKS5});
  ProxySettings settings{.type = ProxySettings::Type::SOCKS5, .host = "127.0.0.1", .port = proxy.port()};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(viaProxy(servers.https.url("localhost", "/k"), settings, 51).body, "GET /k");
  EXPECT_EQ(proxy.connectionCount(), 1);
  // The same origin without the proxy is another connection.
  auto direct = makeStream(servers.https.url("localhost", "/k"));
  SSLSettings ssl;
  ssl.trustedCertificatesPEM = TestCertificates::shared().ca.certificatePEM;
  direct->setSSLSettings(ssl);
  direct->setAttemptPersistentConnection(true);
  direct->setConnectionID(51);
  EXPECT_FALSE(runStream(direct).reused);
}

}  // namespace
}  // namespace plat
