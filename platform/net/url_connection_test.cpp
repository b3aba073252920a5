#include "platform/net/url_connection.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/foundation/clock.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_http_server.h"
#include "tests/support/test_proxy.h"

namespace plat {
namespace {

using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

std::string text(const std::optional<Data>& d) { return d ? std::string(d->begin(), d->end()) : "<none>"; }

TEST(URLConnectionTest, SendsExactlyWhatTheCallerGave) {
  TestHTTPServer server;
  server.enqueue({.status = 201, .reason = "Created", .headers = {{"x-qv-Result", "done"}}, .body = "{\"a\":1}"});
  URLRequest req{.url = server.url("/docs/a%20b.txt"),
                 .method = "ORG_SHARE",
                 .headers = {{"x-qv-mount", "12"}, {"x-qv-dir", ""}, {"Content-Length", "3"}},
                 .body = Data{'x', 'y', 'z'}};
  std::optional<HTTPURLResponse> resp;
  Error e;
  auto body = URLConnection::sendSynchronousRequest(req, &resp, &e);
  EXPECT_EQ(text(body), "{\"a\":1}");
  ASSERT_TRUE(resp);
  EXPECT_EQ(resp->statusCode(), 201);
  EXPECT_EQ(resp->headerFieldValue("X-QV-RESULT"), "done");
  EXPECT_EQ(resp->allHeaderFields()["x-qv-Result"].string(), "done");
  auto r = server.requests().at(0);
  EXPECT_EQ(r.raw, "ORG_SHARE /docs/a%20b.txt HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                       "\r\nx-qv-mount: 12\r\nx-qv-dir: \r\nContent-Length: 3\r\n\r\nxyz");
}

TEST(URLConnectionTest, ErrorStatusesStillCarryTheirBody) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(401, "{\"error_code\":40101}"));
  server.enqueue({.status = 204, .reason = "No Content"});
  std::optional<HTTPURLResponse> resp;
  EXPECT_EQ(text(URLConnection::sendSynchronousRequest({.url = server.url("/t")}, &resp, nullptr)), "{\"error_code\":40101}");
  EXPECT_EQ(resp->statusCode(), 401);
  EXPECT_EQ(text(URLConnection::sendSynchronousRequest({.url = server.url("/t")}, &resp, nullptr)), "");
  EXPECT_EQ(resp->statusCode(), 204);
}

TEST(URLConnectionTest, RefusesWhatCannotBeSentSafely) {
  struct Case {
    URLRequest request;
    long code;
  } cases[] = {
      {{.url = "http://127.0.0.1:1/a b"}, kURLErrorBadURL},
      {{.url = "ftp://127.0.0.1/"}, kURLErrorUnsupportedURL},
      {{.url = "http://127.0.0.1:1/", .method = "GET X"}, kURLErrorBadURL},
      {{.url = "http://127.0.0.1:1/", .headers = {{"x-qv-newname", "a\r\nInjected: 1"}}}, kURLErrorUnknown},
  };
  for (auto& c : cases) {
    Error e;
    std::optional<HTTPURLResponse> resp;
    EXPECT_FALSE(URLConnection::sendSynchronousRequest(c.request, &resp, &e));
    EXPECT_FALSE(resp);
    EXPECT_EQ(e.domain(), kURLErrorDomain);
    EXPECT_EQ(e.code(), c.code);
  }
}

TEST(URLConnectionTest, SilentServerEndsAtTheTimeOut) {
  TestHTTPServer server;
  server.enqueue({.silent = true});
  Error e;
  std::optional<HTTPURLResponse> resp;
  double start = currentClock().monotonic();
  EXPECT_FALSE(URLConnection::sendSynchronousRequest({.url = server.url("/"), .timeoutInterval = 0.3}, &resp, &e));
  EXPECT_GE(currentClock().monotonic() - start, 0.3);
  EXPECT_EQ(e.code(), kURLErrorTimedOut);
  EXPECT_FALSE(resp);
}

TEST(URLConnectionTest, SilenceIsMeasuredInRealTimeWhateverTheClock) {
  // A hand-driven clock jumps whenever a wait has nothing to do; a slow peer
  // must not look silent for that.
  ScopedClock manual(std::make_shared<ManualClock>());
  TestHTTPServer server;
  server.enqueue({.body = "late but fine", .delayBeforeHead = 0.2});
  server.enqueue({.silent = true});
  Error e;
  EXPECT_EQ(text(URLConnection::sendSynchronousRequest({.url = server.url("/slow"), .timeoutInterval = 5}, nullptr, &e)),
            "late but fine");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(URLConnection::sendSynchronousRequest({.url = server.url("/silent"), .timeoutInterval = 0.3}, nullptr, &e));
  EXPECT_EQ(e.code(), kURLErrorTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(URLConnectionTest, FailuresBecomeURLErrors) {
  int port;
  {
    TestHTTPServer gone;
    port = gone.port();
  }
  TestHTTPServer server;
  server.enqueue({.body = std::string(1000, 'x'), .closeAfterBytes = 100});
  struct Case {
    std::string url;
    long code;
  } cases[] = {
      {"http://nowhere.invalid/", kURLErrorCannotFindHost},
      {"http://127.0.0.1:" + std::to_string(port) + "/", kURLErrorCannotConnectToHost},
      {server.url("/cut"), kURLErrorNetworkConnectionLost},
  };
  for (auto& c : cases) {
    Error e;
    EXPECT_FALSE(URLConnection::sendSynchronousRequest({.url = c.url}, nullptr, &e));
    EXPECT_EQ(e.code(), c.code) << c.url;
    EXPECT_TRUE(e.underlyingError());
  }
}

TEST(URLConnectionTest, ReusesConnectionsAndRetriesOneThatWentStale) {
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, r.target); });
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(text(URLConnection::sendSynchronousRequest({.url = server.url("/k")}, nullptr, nullptr)), "/k");
  EXPECT_EQ(server.connectionCount(), 1);
  // The server drops the kept connection right as the next request comes.
  server.enqueue({.dropWithoutAnswer = true});
  EXPECT_EQ(text(URLConnection::sendSynchronousRequest({.url = server.url("/again")}, nullptr, nullptr)), "/again");
  EXPECT_EQ(server.connectionCount(), 2);
}

TEST(URLConnectionTest, ASharedBodyGoesWholeOnEveryAttemptAndIsLetGo) {
  TestHTTPServer server;
  // Longer than one frame of the stream, with no two frames alike.
  auto big = std::make_shared<Data>(600 * 1024 + 17);
  for (size_t i = 0; i < big->size(); ++i) (*big)[i] = static_cast<uint8_t>((i * 131) ^ (i >> 11));
  const std::string expected(big->begin(), big->end());
  server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, r.target); });
  ASSERT_EQ(text(URLConnection::sendSynchronousRequest({.url = server.url("/warm")}, nullptr, nullptr)), "/warm");
  // The kept connection dies as the body comes, the fresh one is sent on to
  // a place that keeps method and body.
  server.enqueue({.dropWithoutAnswer = true});
  server.enqueue({.status = 307, .reason = "Temporary Redirect", .headers = {{"Location", "/moved"}}});
  server.enqueue({.body = "taken"});
  URLRequest req{.url = server.url("/up"), .method = "PUT", .sharedBody = big};
  std::optional<HTTPURLResponse> resp;
  Error e;
  EXPECT_EQ(text(URLConnection::sendSynchronousRequest(req, &resp, &e)), "taken") << e.localizedDescription();
  req.sharedBody.reset();
  EXPECT_EQ(big.use_count(), 1);  // nothing of the exchange holds it any more
  auto reqs = server.requests();
  ASSERT_GE(reqs.size(), 3u);
  const auto& redirected = reqs[reqs.size() - 2];
  const auto& moved = reqs.back();
  EXPECT_EQ(redirected.target, "/up");
  EXPECT_EQ(moved.target, "/moved");
  for (const auto* r : {&redirected, &moved}) {
    EXPECT_EQ(r->method, "PUT");
    EXPECT_EQ(r->header("Content-Length"), std::to_string(expected.size()));
    EXPECT_TRUE(r->body == expected) << r->target << ": " << r->body.size() << " bytes";
  }
  EXPECT_EQ(server.connectionCount(), 2);
}

TEST(URLConnectionTest, FollowsRedirectsAndInflatesGzip) {
  TestHTTPServer server;
  server.enqueue({.status = 302, .reason = "Found", .headers = {{"Location", "/b"}}});
  server.enqueue({.body = "inflated", .gzip = true});
  std::optional<HTTPURLResponse> resp;
  URLRequest req{.url = server.url("/a"), .method = "POST", .headers = {{"Content-Length", "1"}}, .body = Data{'q'}};
  EXPECT_EQ(text(URLConnection::sendSynchronousRequest(req, &resp, nullptr)), "inflated");
  EXPECT_EQ(resp->url().path(), "/b");
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].method, "GET");
  EXPECT_EQ(reqs[1].body, "");
  EXPECT_FALSE(reqs[1].header("Content-Length"));
}

// Credentials follow a redirect only within one origin (scheme, host and
// port). The https-to-http hop goes through a proxy, which sees the clear
// text exactly as a network in between would.
TEST(URLConnectionTest, RedirectsKeepCredentialsWithinTheirOrigin) {
  const auto& certs = qvtest::TestCertificates::shared();
  TestHTTPServer plain, other;
  TestHTTPServer secure(TestHTTPServer::Options{.tls = true, .certificate = certs.server});
  qvtest::TestProxy proxy({.kind = qvtest::TestProxy::Kind::HTTP});
  struct Case {
    const char* name;
    TestHTTPServer* first;
    std::string from, to;
    bool viaProxy;
    bool kept;
  } cases[] = {
      {"same origin", &plain, plain.url("/a"), plain.url("/b"), false, true},
      {"another port", &plain, plain.url("/a"), other.url("/b"), false, false},
      {"https to http on the same host and port", &secure, secure.url("localhost", "/a"),
       "http://localhost:" + std::to_string(secure.port()) + "/b", true, false},
  };
  for (const auto& c : cases) {
    c.first->enqueue({.status = 302, .reason = "Found", .headers = {{"Location", c.to}}});
    plain.enqueue(ScriptedResponse::text(200, "landed"));
    other.enqueue(ScriptedResponse::text(200, "landed"));
    URLRequest req{.url = c.from, .headers = {{"Authorization", "Bearer secret"}, {"Cookie", "sid=1"}}};
    req.ssl.trustedCertificatesPEM = certs.ca.certificatePEM;
    if (c.viaProxy) req.proxy = ProxySettings{.type = ProxySettings::Type::HTTP, .host = "127.0.0.1", .port = proxy.port()};
    size_t before = proxy.heads().size();
    URLConnection::sendSynchronousRequest(req, nullptr, nullptr);
    std::string second;
    if (c.viaProxy) {
      auto heads = proxy.heads();
      ASSERT_GT(heads.size(), before + 1) << c.name;  // the tunnel, then the clear-text hop
      second = heads.back();
      EXPECT_NE(second.find("GET " + c.to), std::string::npos) << second;
    } else {
      TestHTTPServer& at = c.to == other.url("/b") ? other : plain;
      auto reqs = at.requests();
      ASSERT_FALSE(reqs.empty()) << c.name;
      second = reqs.back().raw;
    }
    EXPECT_EQ(second.find("Bearer secret") != std::string::npos, c.kept) << c.name;
    EXPECT_EQ(second.find("sid=1") != std::string::npos, c.kept) << c.name;
  }
}

// A gzip body that inflates far past its wire size fails with its own error,
// and never hands over one piece larger than the inflater's buffer.
TEST(URLConnectionTest, InflationIsBoundedAndComesInPieces) {
  TestHTTPServer server;
  std::string zeros(8 << 20, '\0');
  std::string wire = qvtest::gzip(zeros);
  for (uint64_t limit : {uint64_t{0}, uint64_t{1} << 20, uint64_t{64} << 20}) {
    server.enqueue({.headers = {{"Content-Encoding", "gzip"}}, .body = wire});
    struct Pieces : URLConnectionDelegate {
      size_t largest = 0, total = 0;
      std::optional<Error> error;
      bool done = false;
      void connectionDidReceiveData(URLConnection&, const Data& d) override {
        largest = std::max(largest, d.size());
        total += d.size();
      }
      void connectionDidFinishLoading(URLConnection&) override { done = true; }
      void connectionDidFailWithError(URLConnection&, const Error& e) override {
        error = e;
        done = true;
      }
    } pieces;
    auto loop = RunLoop::current();
    URLRequest req{.url = server.url("/z")};
    req.maxInflatedBytes = limit;
    auto c = URLConnection::start(req, &pieces, loop, {kDefaultRunLoopMode});
    while (!pieces.done) loop->runInMode(kDefaultRunLoopMode, 1, true);
    EXPECT_LE(pieces.largest, 65536u) << limit;
    if (limit == (uint64_t{64} << 20)) {
      EXPECT_FALSE(pieces.error) << limit;
      EXPECT_EQ(pieces.total, zeros.size());
    } else {
      // 8 KiB of wire inflating to 8 MiB is past the default multiple.
      ASSERT_TRUE(pieces.error) << limit;
      EXPECT_EQ(pieces.error->code(), kURLErrorDataLengthExceedsMaximum);
      EXPECT_LT(pieces.total, zeros.size());
    }
  }
}

}  // namespace
}  // namespace plat
