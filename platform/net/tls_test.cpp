// HTTPS through the read stream against the loopback server with minted
// certificates.
#include "platform/net/tls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/net/connection.h"
#include "platform/net/http_read_stream.h"
#include "tests/support/stream_runner.h"
#include "tests/support/test_http_server.h"

namespace plat {
namespace {

using qvtest::CertifiedKey;
using qvtest::makeStream;
using qvtest::runStream;
using qvtest::ScriptedResponse;
using qvtest::TestCertificates;
using qvtest::TestHTTPServer;

std::unique_ptr<TestHTTPServer> httpsServer(const CertifiedKey& cert, std::string clientCA = "") {
  auto s = std::make_unique<TestHTTPServer>(
      TestHTTPServer::Options{.tls = true, .certificate = cert, .clientCAPEM = std::move(clientCA)});
  s->setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "secret"); });
  return s;
}

SSLSettings trustingTestCA() {
  SSLSettings s;
  s.trustedCertificatesPEM = TestCertificates::shared().ca.certificatePEM;
  return s;
}

qvtest::StreamOutcome fetch(const std::string& url, const SSLSettings& settings) {
  auto s = makeStream(url);
  s->setSSLSettings(settings);
  return runStream(s);
}

TEST(TLSTest, CertificatesRefusedByDefaultAndAcceptedWithTheTestCAWhereValid) {
  const auto& certs = TestCertificates::shared();
  SSLSettings systemStore;
  SSLSettings otherCA;
  otherCA.trustedCertificatesPEM = certs.otherCA.certificatePEM;
  struct Case {
    const char* name;
    const CertifiedKey& cert;
    SSLSettings settings;
    const char* host;
    long code;  // 0: accepted
  } cases[] = {
      {"valid, system store", certs.server, systemStore, "127.0.0.1", errSSLNoRootCert},
      {"self-signed, system store", certs.selfSigned, systemStore, "localhost", errSSLNoRootCert},
      {"expired, system store", certs.expired, systemStore, "localhost", errSSLNoRootCert},
      {"wrong host, system store", certs.wrongHost, systemStore, "localhost", errSSLNoRootCert},
      {"valid, test CA, by IP", certs.server, trustingTestCA(), "127.0.0.1", 0},
      {"valid, test CA, by name", certs.server, trustingTestCA(), "localhost", 0},
      {"valid, an unrelated CA", certs.server, otherCA, "localhost", errSSLNoRootCert},
      {"self-signed, test CA", certs.selfSigned, trustingTestCA(), "localhost", errSSLNoRootCert},
      {"expired, test CA", certs.expired, trustingTestCA(), "localhost", errSSLCertExpired},
      {"wrong host, test CA", certs.wrongHost, trustingTestCA(), "localhost", errSSLXCertChainInvalid},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = httpsServer(c.cert);
    auto r = fetch(server->url(c.host, "/"), c.settings);
    if (c.code == 0) {
      EXPECT_TRUE(r.ended) << (r.error ? r.error->description() : "");
      EXPECT_EQ(r.body, "secret");
    } else {
      ASSERT_TRUE(r.error);
      EXPECT_EQ(r.error->domain(), kOSStatusErrorDomain);
      EXPECT_EQ(r.error->code(), c.code) << r.error->description();
      EXPECT_EQ(server->requestCount(), 0u);
    }
  }
}

TEST(TLSTest, RelaxedSettingsAcceptWhatTheyName) {
  const auto& certs = TestCertificates::shared();
  SSLSettings unchecked;
  unchecked.validatesCertificateChain = false;
  SSLSettings expiredOK = trustingTestCA();
  expiredOK.allowsExpiredCertificates = true;
  SSLSettings anyRoot;
  anyRoot.allowsAnyRoot = true;
  struct Case {
    const char* name;
    const CertifiedKey& cert;
    SSLSettings settings;
    bool accepted;
  } cases[] = {
      {"unchecked self-signed", certs.selfSigned, unchecked, true},
      {"unchecked wrong host", certs.wrongHost, unchecked, true},
      {"expired allowed", certs.expired, expiredOK, true},
      {"any root, self-signed", certs.selfSigned, anyRoot, true},
      // Any root still checks the name.
      {"any root, wrong host", certs.wrongHost, anyRoot, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = httpsServer(c.cert);
    auto r = fetch(server->url("localhost", "/"), c.settings);
    EXPECT_EQ(r.ended, c.accepted) << (r.error ? r.error->description() : "");
  }
}

TEST(TLSTest, ServerNameIndicationForNamesNotAddresses) {
  auto server = httpsServer(TestCertificates::shared().server);
  EXPECT_TRUE(fetch(server->url("localhost", "/"), trustingTestCA()).ended);
  EXPECT_TRUE(fetch(server->url("127.0.0.1", "/"), trustingTestCA()).ended);
  auto reqs = server->requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].serverName, "localhost");
  EXPECT_EQ(reqs[1].serverName, "");
}

TEST(TLSTest, PeerNameOverridesTheNameChecked) {
  const auto& certs = TestCertificates::shared();
  auto server = httpsServer(certs.wrongHost);
  SSLSettings s = trustingTestCA();
  s.peerName = "wrong-host.invalid";
  auto r = fetch(server->url("127.0.0.1", "/"), s);
  EXPECT_TRUE(r.ended) << (r.error ? r.error->description() : "");
  EXPECT_EQ(server->requests().at(0).serverName, "wrong-host.invalid");
}

TEST(TLSTest, ClientIdentityWhenTheServerAsksForOne) {
  const auto& certs = TestCertificates::shared();
  auto server = httpsServer(certs.server, certs.ca.certificatePEM);
  auto without = fetch(server->url("localhost", "/"), trustingTestCA());
  EXPECT_TRUE(without.error);

  SSLSettings s = trustingTestCA();
  Error e;
  s.clientIdentity = ClientIdentity::fromPEM(certs.client.certificatePEM, certs.client.privateKeyPEM, &e);
  ASSERT_TRUE(s.clientIdentity) << e.description();
  auto with = fetch(server->url("localhost", "/"), s);
  EXPECT_TRUE(with.ended) << (with.error ? with.error->description() : "");

  EXPECT_FALSE(ClientIdentity::fromPEM(certs.client.certificatePEM, certs.server.privateKeyPEM, &e));
  EXPECT_EQ(e.domain(), kOSStatusErrorDomain);

  // The same identity from PKCS#12 bytes.
  auto p12 = qvtest::toPKCS12(certs.client, "pw");
  Data bytes(p12.begin(), p12.end());
  EXPECT_FALSE(ClientIdentity::fromPKCS12(bytes, "wrong", &e));
  auto fromP12 = ClientIdentity::fromPKCS12(bytes, "pw", &e);
  ASSERT_TRUE(fromP12) << e.description();
  EXPECT_EQ(fromP12->fingerprint(), s.clientIdentity->fingerprint());
  SSLSettings viaP12 = trustingTestCA();
  viaP12.clientIdentity = fromP12;
  EXPECT_TRUE(fetch(server->url("localhost", "/"), viaP12).ended);
}

TEST(TLSTest, KeepAliveOverTLSAndSettingsSeparateConnections) {
  const auto& certs = TestCertificates::shared();
  auto server = httpsServer(certs.server);
  auto get = [&](const SSLSettings& settings) {
    auto st = makeStream(server->url("localhost", "/"));
    st->setSSLSettings(settings);
    st->setAttemptPersistentConnection(true);
    st->setConnectionID(41);
    return runStream(st);
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(get(trustingTestCA()).body, "secret");
  EXPECT_EQ(server->connectionCount(), 1);
  // A kept TLS connection the server closed is seen to be dead.
  ASSERT_TRUE(server->waitForIdleConnections(1));
  server->closeIdleConnections();
  for (int i = 0; i < 200 && server->openConnectionCount() > 0; ++i) usleep(5000);
  usleep(20000);  // for the close to reach our end of the socket
  auto fresh = get(trustingTestCA());
  EXPECT_EQ(fresh.body, "secret");
  EXPECT_FALSE(fresh.reused);
  EXPECT_EQ(server->connectionCount(), 2);
  SSLSettings unchecked;
  unchecked.validatesCertificateChain = false;
  EXPECT_EQ(get(unchecked).body, "secret");
  EXPECT_EQ(server->connectionCount(), 3);
}

TEST(TLSTest, LargeBodyOverTLS) {
  const auto& certs = TestCertificates::shared();
  TestHTTPServer server(TestHTTPServer::Options{.tls = true, .certificate = certs.server});
  std::string big(5 * 1024 * 1024 + 3, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 + 1);
  server.enqueue({.body = big, .chunked = true, .chunkSize = 100000});
  auto r = fetch(server.url("localhost", "/"), trustingTestCA());
  EXPECT_TRUE(r.ended);
  EXPECT_TRUE(r.body == big);
}

}  // namespace
}  // namespace plat
