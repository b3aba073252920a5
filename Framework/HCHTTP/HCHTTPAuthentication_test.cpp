#include <gtest/gtest.h>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/test_auth.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_http_server.h"
#include "tests/support/test_proxy.h"

using qvtest::RecordedRequest;
using qvtest::ScriptedResponse;
using qvtest::TestAuthChallenger;
using qvtest::TestHTTPServer;

namespace {

class AuthDelegate : public HCHTTPRequestDelegate {
public:
  std::function<void(HCHTTPRequest&)> onChallenge;
  int started = 0, finished = 0, failed = 0, asked = 0;
  bool respondsToSelector(HCSelector s) const override {
    if (s == HCSelector::authenticationNeededForRequest) return static_cast<bool>(onChallenge);
    return HCHTTPRequestDelegate::respondsToSelector(s);
  }
  void requestStarted(HCHTTPRequest&) override { ++started; }
  void requestFinished(HCHTTPRequest&) override { ++finished; }
  void requestFailed(HCHTTPRequest&) override { ++failed; }
  void authenticationNeededForRequest(HCHTTPRequest& r) override {
    ++asked;
    onChallenge(r);
  }
};

class HCHTTPAuthenticationTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    HCHTTPRequest::clearSession();
    dir_ = plat::makeTemporaryDirectory("qv-auth");
    store_ = std::make_shared<plat::FileCredentialStorage>(plat::pathJoin(dir_, "credentials"));
    plat::CredentialStorage::setShared(store_);
  }
  void TearDown() override {
    plat::CredentialStorage::setShared(nullptr);
    plat::removeTree(dir_);
    plat::RunLoop::main()->remove(keepAlive_);
  }
  bool pumpUntil(const std::function<bool()>& done, double bound = 30) {
    double until = plat::currentClock().monotonic() + bound;
    while (!done()) {
      if (plat::currentClock().monotonic() > until) return false;
      plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
    }
    return true;
  }
  // Serves `challenger`'s realm: "ok <path>" once authorised.
  void guard(TestHTTPServer& s, TestAuthChallenger& challenger) {
    s.setHandler([&challenger](const RecordedRequest& r) {
      if (auto no = challenger.refusal(r)) return *no;
      return ScriptedResponse::text(200, "ok " + r.target);
    });
  }
  std::string withUser(const TestHTTPServer& s, const std::string& userInfo, const std::string& path) {
    std::string u = s.url(path);
    return u.replace(u.find("//") + 2, 0, userInfo + "@");
  }
  static long code(const HCHTTPRequest& r) { return r.error() ? r.error()->code() : 0; }

  TestHTTPServer server;
  std::string dir_;
  std::shared_ptr<plat::FileCredentialStorage> store_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

}  // namespace

TEST_F(HCHTTPAuthenticationTest, ChallengesAnsweredFromTheURLThenPreemptivelyFromTheSession) {
  struct Case {
    TestAuthChallenger::Scheme scheme;
    const char* algorithm;
    const char* prefix;
  } cases[] = {{TestAuthChallenger::Scheme::Basic, "", "Basic "},
               {TestAuthChallenger::Scheme::Digest, "MD5", "Digest "},
               {TestAuthChallenger::Scheme::Digest, "SHA-256", "Digest "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.algorithm);
    HCHTTPRequest::clearSession();
    TestHTTPServer s;
    TestAuthChallenger challenger({c.scheme, "vault", "ann", "s3cret", c.algorithm});
    guard(s, challenger);

    auto first = HCHTTPRequest::requestWithURL(withUser(s, "ann:s3cret", "/a?x=1"));
    first->startSynchronous();
    EXPECT_EQ(code(*first), 0);
    EXPECT_EQ(first->responseString().value_or(""), "ok /a?x=1");
    auto reqs = s.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_FALSE(reqs[0].header("Authorization"));
    EXPECT_EQ(reqs[1].header("Authorization").value_or("").rfind(c.prefix, 0), 0u);
    EXPECT_EQ(first->authenticationRealm(), std::optional<std::string>("vault"));
    EXPECT_EQ(HCHTTPRequest::sessionCredentialsStore().size(), 1u);

    // Another path of the same origin, no credentials of its own: answered before any challenge.
    auto second = HCHTTPRequest::requestWithURL(s.url("/b"));
    second->startSynchronous();
    EXPECT_EQ(second->responseString().value_or(""), "ok /b");
    EXPECT_EQ(s.requests().size(), 3u);
    EXPECT_EQ(challenger.refusals(), 1);
  }
}

TEST_F(HCHTTPAuthenticationTest, AStaleDigestNonceIsRenewedWithTheSameCredentials) {
  TestAuthChallenger challenger({TestAuthChallenger::Scheme::Digest, "vault", "ann", "pw", "SHA-256", 1});
  guard(server, challenger);
  auto first = HCHTTPRequest::requestWithURL(withUser(server, "ann:pw", "/one"));
  first->startSynchronous();
  ASSERT_EQ(code(*first), 0);
  // The session's nonce served once; the server calls it stale and the request answers the new one.
  auto second = HCHTTPRequest::requestWithURL(server.url("/two"));
  second->startSynchronous();
  EXPECT_EQ(code(*second), 0);
  EXPECT_EQ(second->responseString().value_or(""), "ok /two");
  EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(HCHTTPAuthenticationTest, WrongCredentialsEndAfterOneRetryAndLeaveTheSessionStore) {
  TestAuthChallenger challenger({TestAuthChallenger::Scheme::Digest, "vault", "ann", "right", "MD5"});
  guard(server, challenger);
  auto wrong = HCHTTPRequest::requestWithURL(withUser(server, "ann:wrong", "/"));
  wrong->startSynchronous();
  EXPECT_EQ(code(*wrong), HCAuthenticationErrorType);
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_TRUE(HCHTTPRequest::sessionCredentialsStore().empty());

  // Credentials that worked once and then are refused (the password changed) leave the store too.
  auto good = HCHTTPRequest::requestWithURL(withUser(server, "ann:right", "/"));
  good->startSynchronous();
  ASSERT_EQ(code(*good), 0);
  ASSERT_EQ(HCHTTPRequest::sessionCredentialsStore().size(), 1u);
  TestAuthChallenger changed({TestAuthChallenger::Scheme::Digest, "vault", "ann", "new", "MD5"});
  guard(server, changed);
  size_t before = server.requests().size();
  auto later = HCHTTPRequest::requestWithURL(server.url("/"));
  later->startSynchronous();
  EXPECT_EQ(code(*later), HCAuthenticationErrorType);
  EXPECT_TRUE(HCHTTPRequest::sessionCredentialsStore().empty());
  EXPECT_LE(server.requests().size() - before, 2u);
}

TEST_F(HCHTTPAuthenticationTest, StoredCredentialsAnswerWhenTheRequestMayUseThem) {
  TestAuthChallenger challenger({TestAuthChallenger::Scheme::Basic, "vault", "ann", "kept"});
  guard(server, challenger);
  HCHTTPRequest::saveCredentials(plat::URLCredential{"ann", "kept"}, "127.0.0.1", server.port(), "http", "vault");
  auto without = HCHTTPRequest::requestWithURL(server.url("/"));
  without->startSynchronous();
  EXPECT_EQ(code(*without), HCAuthenticationErrorType) << "the store is used only when asked";

  auto with = HCHTTPRequest::requestWithURL(server.url("/"));
  with->setUseKeychainPersistence(true);
  with->startSynchronous();
  EXPECT_EQ(code(*with), 0);
  EXPECT_EQ(HCHTTPRequest::savedCredentialsForHost("127.0.0.1", server.port(), "http", "vault")->password, "kept");
  HCHTTPRequest::removeCredentialsForHost("127.0.0.1", server.port(), "http", "vault");
  EXPECT_FALSE(HCHTTPRequest::savedCredentialsForHost("127.0.0.1", server.port(), "http", "vault"));
}

TEST_F(HCHTTPAuthenticationTest, AProxyChallengeIsAnsweredFromTheStoredProxyCredentials) {
  qvtest::TestProxy proxy({qvtest::TestProxy::Kind::HTTP, "", "", "", "pxuser", "pxpass"});
  server.setHandler([](const RecordedRequest& r) {
    return ScriptedResponse::text(200, r.header("Proxy-Authorization").value_or("clean"));
  });
  auto run = [&] {
    auto r = HCHTTPRequest::requestWithURL(server.url("/via"));
    r->setProxyHost(std::string("127.0.0.1"));
    r->setProxyPort(proxy.port());
    // The test proxy checks the first request of a connection only.
    r->setShouldAttemptPersistentConnection(false);
    r->startSynchronous();
    return r;
  };
  auto refused = run();
  EXPECT_EQ(code(*refused), HCAuthenticationErrorType);
  EXPECT_EQ(refused->responseStatusCode(), 407);

  HCHTTPRequest::saveCredentials(plat::URLCredential{"pxuser", "pxpass"}, "127.0.0.1", proxy.port(), "test-proxy");
  size_t before = proxy.log().size();
  auto answered = run();
  EXPECT_EQ(code(*answered), 0);
  EXPECT_EQ(answered->responseString().value_or(""), "clean") << "the proxy's credentials stop at the proxy";
  EXPECT_EQ(proxy.log().size() - before, 2u);
  EXPECT_EQ(answered->proxyAuthenticationRealm(), std::optional<std::string>("test-proxy"));

  before = proxy.log().size();
  auto next = run();  // the session's proxy credentials go with the first attempt
  EXPECT_EQ(code(*next), 0) << (next->error() ? next->error()->localizedDescription() : "");
  EXPECT_EQ(proxy.log().size() - before, 1u);
}

TEST_F(HCHTTPAuthenticationTest, ADigestChallengeToAnHTTPSTunnelIsAnsweredOnItsCONNECT) {
  const auto& certs = qvtest::TestCertificates::shared();
  TestHTTPServer secure(TestHTTPServer::Options{.tls = true, .certificate = certs.server});
  secure.setHandler([](const RecordedRequest& r) {
    return ScriptedResponse::text(200, r.header("Proxy-Authorization").value_or("clean") + " " + r.target);
  });
  const std::string authority = "127.0.0.1:" + std::to_string(secure.port());
  for (const char* algorithm : {"MD5", "SHA-256"}) {
    SCOPED_TRACE(algorithm);
    auto challenger = std::make_shared<TestAuthChallenger>(
        TestAuthChallenger::Options{TestAuthChallenger::Scheme::Digest, "proxy-realm", "px", "pw", algorithm, 1000, true});
    qvtest::TestProxy::Options po;
    po.challenger = challenger;
    qvtest::TestProxy proxy(po);
    auto run = [&](const std::string& path, std::optional<std::string> password) {
      auto r = HCHTTPRequest::requestWithURL(secure.url(path));
      r->setTrustedCertificatesPEM(certs.ca.certificatePEM);
      r->setProxyHost(std::string("127.0.0.1"));
      r->setProxyPort(proxy.port());
      if (password) {
        r->setProxyUsername(std::string("px"));
        r->setProxyPassword(*password);
      }
      // Every request opens its own tunnel, so each shows its CONNECT.
      r->setShouldAttemptPersistentConnection(false);
      r->startSynchronous();
      return r;
    };

    auto wrong = run("/wrong", "nope");
    EXPECT_EQ(code(*wrong), HCAuthenticationErrorType);
    EXPECT_EQ(wrong->responseStatusCode(), 407);
    EXPECT_EQ(proxy.log(), (std::vector<std::string>{"CONNECT " + authority, "CONNECT " + authority}));

    auto first = run("/one", "pw");
    EXPECT_EQ(code(*first), 0) << (first->error() ? first->error()->localizedDescription() : "");
    EXPECT_EQ(first->responseString().value_or(""), "clean /one") << "the proxy's credentials end at the proxy";
    EXPECT_EQ(first->proxyAuthenticationScheme(), std::optional<std::string>("Digest"));
    EXPECT_EQ(first->proxyAuthenticationRealm(), std::optional<std::string>("proxy-realm"));
    auto heads = proxy.heads();
    ASSERT_EQ(heads.size(), 4u);
    EXPECT_NE(heads[3].find("Proxy-Authorization: Digest "), std::string::npos) << heads[3];
    EXPECT_NE(heads[3].find("uri=\"" + authority + "\""), std::string::npos) << heads[3];
    EXPECT_EQ(challenger->refusals(), 3);

    // The session's proxy credentials go with the next tunnel's first CONNECT.
    auto second = run("/two", std::nullopt);
    EXPECT_EQ(code(*second), 0);
    EXPECT_EQ(second->responseString().value_or(""), "clean /two");
    EXPECT_EQ(proxy.log().size(), 5u);
    EXPECT_EQ(challenger->refusals(), 3);
  }
}

TEST_F(HCHTTPAuthenticationTest, CredentialsNeverCrossToAnotherOrigin) {
  // A redirect to another host that then challenges gets nothing of the first host's.
  TestHTTPServer other;
  other.setHandler([](const RecordedRequest& r) {
    ScriptedResponse s = ScriptedResponse::text(401, "no");
    s.headers = {{"WWW-Authenticate", "Basic realm=\"elsewhere\""}};
    if (r.header("Authorization")) s = ScriptedResponse::text(200, "leaked");
    return s;
  });
  ScriptedResponse redirect;
  redirect.status = 302;
  redirect.headers = {{"Location", other.url("localhost", "/there")}};
  server.enqueue(redirect);
  auto r = HCHTTPRequest::requestWithURL(server.url("/here"));
  r->setUsername(std::string("ann"));
  r->setPassword(std::string("pw"));
  r->startSynchronous();
  EXPECT_EQ(code(*r), HCAuthenticationErrorType);
  for (const auto& q : other.requests()) EXPECT_FALSE(q.header("Authorization"));

  // Session credentials of one port are not offered to another port of the same host.
  TestAuthChallenger challenger({TestAuthChallenger::Scheme::Basic, "vault", "ann", "pw"});
  guard(server, challenger);
  auto good = HCHTTPRequest::requestWithURL(withUser(server, "ann:pw", "/"));
  good->startSynchronous();
  ASSERT_EQ(code(*good), 0);
  TestHTTPServer third;
  third.enqueue(ScriptedResponse::text(200, "fine"));
  auto elsewhere = HCHTTPRequest::requestWithURL(third.url("/"));
  elsewhere->startSynchronous();
  ASSERT_EQ(third.requests().size(), 1u);
  EXPECT_FALSE(third.requests()[0].header("Authorization"));
}

TEST_F(HCHTTPAuthenticationTest, ChallengesThatCannotBeAnsweredFailAtOnce) {
  struct Case {
    const char* challenge;
    long code;
    const char* text;
  } cases[] = {
      {"NTLM", HCInternalErrorWhileApplyingCredentialsType, "Failed to get authentication object from response headers"},
      // Needs no user name and password, and nothing here can answer it: fails instead of waiting for ever.
      {"Negotiate", HCAuthenticationErrorType, "Authentication needed"},
  };
  for (const auto& c : cases) {
    ScriptedResponse s = ScriptedResponse::text(401, "no");
    s.headers = {{"WWW-Authenticate", c.challenge}};
    server.enqueue(s);
    auto r = HCHTTPRequest::requestWithURL(withUser(server, "ann:pw", "/"));
    AuthDelegate d;
    r->setDelegate(&d);
    r->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return d.failed + d.finished > 0 && r->isFinished(); }, 10)) << c.challenge;
    EXPECT_EQ(code(*r), c.code) << c.challenge;
    EXPECT_EQ(r->error()->localizedDescription(), c.text);
  }
}

TEST_F(HCHTTPAuthenticationTest, TheDelegateSuppliesOrRefusesCredentials) {
  TestAuthChallenger challenger({TestAuthChallenger::Scheme::Digest, "vault", "ann", "pw", "MD5"});
  guard(server, challenger);
  AuthDelegate supplies;
  supplies.onChallenge = [](HCHTTPRequest& r) {
    EXPECT_TRUE(plat::MainThread::isMainThread());
    r.setUsername(std::string("ann"));
    r.setPassword(std::string("pw"));
    r.retryUsingSuppliedCredentials();
  };
  auto r = HCHTTPRequest::requestWithURL(server.url("/asked"));
  r->setUseSessionPersistence(false);
  r->setDelegate(&supplies);
  r->startAsynchronous();
  ASSERT_TRUE(pumpUntil([&] { return supplies.finished + supplies.failed > 0 && r->isFinished(); }));
  EXPECT_EQ(supplies.asked, 1);
  EXPECT_EQ(supplies.finished, 1);
  EXPECT_EQ(supplies.started, 2);
  EXPECT_EQ(r->responseString().value_or(""), "ok /asked");

  AuthDelegate refuses;
  refuses.onChallenge = [](HCHTTPRequest& r) { r.cancelAuthentication(); };
  auto r2 = HCHTTPRequest::requestWithURL(server.url("/refused"));
  r2->setUseSessionPersistence(false);
  r2->setDelegate(&refuses);
  r2->startAsynchronous();
  ASSERT_TRUE(pumpUntil([&] { return refuses.finished + refuses.failed > 0 && r2->isFinished(); }));
  EXPECT_EQ(refuses.asked, 1);
  EXPECT_EQ(code(*r2), HCAuthenticationErrorType);

  // A synchronous request never asks.
  AuthDelegate never;
  never.onChallenge = [](HCHTTPRequest&) { ADD_FAILURE() << "asked"; };
  auto r3 = HCHTTPRequest::requestWithURL(server.url("/sync"));
  r3->setDelegate(&never);
  r3->startSynchronous();
  EXPECT_EQ(code(*r3), HCAuthenticationErrorType);
}

TEST(HCHTTPSessionStore, EntriesAreFoundByExactURLThenOriginAndReplacedByIdentity) {
  HCHTTPRequest::clearSession();
  auto creds = [](const char* user) {
    return std::make_shared<const HCCredentials>(HCCredentials{user, "pw", std::nullopt});
  };
  auto entry = [](HCCredentialsRef c, const char* url) {
    HCSessionCredentials e;
    e.credentials = std::move(c);
    e.url = plat::URL::parse(url);
    e.authenticationScheme = "Basic";
    return e;
  };
  auto a = creds("other-path"), b = creds("exact"), c = creds("port");
  HCHTTPRequest::storeAuthenticationCredentialsInSessionStore(entry(a, "http://h.test/x"));
  HCHTTPRequest::storeAuthenticationCredentialsInSessionStore(entry(b, "http://h.test/y"));
  HCHTTPRequest::storeAuthenticationCredentialsInSessionStore(entry(c, "http://h.test:81/y"));
  auto lookup = [](const char* url) {
    auto r = HCHTTPRequest::requestWithURL(std::string_view(url));
    auto e = r->findSessionAuthenticationCredentials();
    return e ? e->credentials->username : std::string("none");
  };
  EXPECT_EQ(lookup("http://h.test/y"), "exact");
  EXPECT_EQ(lookup("http://h.test/z"), "other-path");
  EXPECT_EQ(lookup("http://h.test:81/z"), "port");
  EXPECT_EQ(lookup("http://h.test:82/y"), "none");
  EXPECT_EQ(lookup("https://h.test/y"), "none");

  // The same dictionary again moves to the end; equal contents in another dictionary add an entry.
  HCHTTPRequest::storeAuthenticationCredentialsInSessionStore(entry(a, "http://h.test/x"));
  auto store = HCHTTPRequest::sessionCredentialsStore();
  ASSERT_EQ(store.size(), 3u);
  EXPECT_EQ(store.back().credentials, a);
  HCHTTPRequest::storeAuthenticationCredentialsInSessionStore(entry(creds("other-path"), "http://h.test/x"));
  EXPECT_EQ(HCHTTPRequest::sessionCredentialsStore().size(), 4u);
  HCHTTPRequest::removeAuthenticationCredentialsFromSessionStore(b);
  EXPECT_EQ(lookup("http://h.test/y"), "other-path");

  // clearSession leaves the proxy's credentials.
  HCSessionCredentials px;
  px.credentials = creds("proxy");
  px.host = "p.test";
  px.port = 3128;
  size_t proxies = HCHTTPRequest::sessionProxyCredentialsStore().size();
  HCHTTPRequest::storeProxyAuthenticationCredentialsInSessionStore(px);
  HCHTTPRequest::clearSession();
  EXPECT_TRUE(HCHTTPRequest::sessionCredentialsStore().empty());
  EXPECT_EQ(HCHTTPRequest::sessionProxyCredentialsStore().size(), proxies + 1);
  HCHTTPRequest::removeProxyAuthenticationCredentialsFromSessionStore(px.credentials);
}

TEST(HCHTTPSessionStore, SessionCookiesReplaceByDomainPathAndExactName) {
  HCHTTPRequest::clearSession();
  auto url = *plat::URL::parse("http://c.test/");
  HCHTTPRequest::addSessionCookie(*HCHTTPCookie::parse("a=1", url));
  HCHTTPRequest::addSessionCookie(*HCHTTPCookie::parse("a=2", url));
  HCHTTPRequest::addSessionCookie(*HCHTTPCookie::parse("A=3", url));
  auto cookies = HCHTTPRequest::sessionCookies();
  ASSERT_EQ(cookies.size(), 2u);
  EXPECT_EQ(cookies[0].value, "2");
  EXPECT_EQ(cookies[1].name, "A");
  HCHTTPCookieStorage::shared().setCookies(cookies);
  HCHTTPRequest::clearSession();
  EXPECT_TRUE(HCHTTPRequest::sessionCookies().empty());
  EXPECT_TRUE(HCHTTPCookieStorage::shared().cookiesForURL(url).empty());
}
