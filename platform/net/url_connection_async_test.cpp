#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/run_loop.h"
#include "platform/net/url_connection.h"
#include "tests/support/test_http_server.h"

namespace plat {
namespace {

using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

// Writes down every delegate call as it comes.
class Recorder : public URLConnectionDelegate {
public:
  void connectionDidReceiveResponse(URLConnection&, const HTTPURLResponse& r) override {
    calls.push_back("response " + std::to_string(r.statusCode()));
    ++responses;
  }
  void connectionDidReceiveData(URLConnection& c, const Data& d) override {
    if (calls.empty() || calls.back() != "data") calls.push_back("data");
    body.append(d.begin(), d.end());
    ++pieces;
    if (cancelOnData) c.cancel();
    if (throwOnData) throw std::runtime_error("the delegate gave up");
  }
  void connectionDidFinishLoading(URLConnection&) override {
    calls.push_back("finish");
    ++ends;
  }
  void connectionDidFailWithError(URLConnection&, const Error& e) override {
    calls.push_back("fail " + std::to_string(e.code()));
    error = e;
    ++ends;
  }
  std::vector<std::string> calls;
  std::string body;
  int responses = 0, pieces = 0, ends = 0;
  bool cancelOnData = false;
  bool throwOnData = false;
  std::optional<Error> error;
};

// Runs the caller's loop until every recorder has ended (or a real-time cap).
void runUntilEnded(const std::vector<Recorder*>& recorders, double capSeconds = 20) {
  auto loop = RunLoop::current();
  auto start = std::chrono::steady_clock::now();
  auto allEnded = [&] {
    for (auto* r : recorders) {
      if (r->ends == 0) return false;
    }
    return true;
  };
  while (!allEnded() && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < capSeconds)
    loop->runInMode(kDefaultRunLoopMode, 0.05, true);
}

void runFor(double seconds) {
  auto loop = RunLoop::current();
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds)
    loop->runInMode(kDefaultRunLoopMode, 0.02, true);
}

std::string bigText(size_t size) {
  std::string s(size, 'x');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(URLConnectionAsyncTest, ResponseThenBodyThenOneEnd) {
  std::string big = bigText(300000);
  struct Case {
    const char* name;
    std::vector<ScriptedResponse> script;
    std::vector<std::string> calls;
    std::string body;
  } cases[] = {
      {"plain", {ScriptedResponse::text(200, "hello")}, {"response 200", "data", "finish"}, "hello"},
      {"chunked in pieces",
       {{.body = big, .chunked = true, .chunkSize = 4096}},
       {"response 200", "data", "finish"},
       big},
      {"gzip inflated as it comes", {{.body = big, .chunked = true, .chunkSize = 1000, .gzip = true}},
       {"response 200", "data", "finish"}, big},
      {"error status keeps its body", {ScriptedResponse::text(404, "{\"error_code\":40402}")},
       {"response 404", "data", "finish"}, "{\"error_code\":40402}"},
      {"empty body", {{.status = 204, .reason = "No Content"}}, {"response 204", "finish"}, ""},
      {"the redirect's own body is never seen",
       {{.status = 302, .reason = "Found", .headers = {{"Location", "/there"}}, .body = "moved away"},
        ScriptedResponse::text(200, "arrived")},
       {"response 200", "data", "finish"},
       "arrived"},
      {"broken gzip", {{.headers = {{"Content-Encoding", "gzip"}}, .body = "not compressed at all"}},
       {"response 200", "fail " + std::to_string(kURLErrorCannotDecodeContentData)}, ""},
  };
  for (auto& c : cases) {
    TestHTTPServer server;
    for (auto& r : c.script) server.enqueue(r);
    Recorder rec;
    auto connection = URLConnection::start({.url = server.url("/here")}, &rec);
    EXPECT_TRUE(rec.calls.empty()) << c.name << ": nothing is told from inside start()";
    runUntilEnded({&rec});
    runFor(0.05);  // nothing more may come after the end
    EXPECT_EQ(rec.calls, c.calls) << c.name;
    EXPECT_EQ(rec.body, c.body) << c.name;
    EXPECT_EQ(rec.ends, 1) << c.name;
    EXPECT_TRUE(connection->isFinished()) << c.name;
  }
}

TEST(URLConnectionAsyncTest, FailuresReachTheDelegateOnce) {
  TestHTTPServer silent;
  silent.enqueue({.silent = true});
  TestHTTPServer cut;
  cut.enqueue({.body = bigText(100000), .closeAfterBytes = 5000});
  struct Case {
    const char* name;
    URLRequest request;
    long code;
  } cases[] = {
      {"silent server", {.url = silent.url("/"), .timeoutInterval = 0.3}, kURLErrorTimedOut},
      {"refused", {.url = "http://127.0.0.1:1/"}, kURLErrorCannotConnectToHost},
      {"not a URL", {.url = "http://127.0.0.1:1/a b"}, kURLErrorBadURL},
      {"not http", {.url = "ftp://127.0.0.1/"}, kURLErrorUnsupportedURL},
      {"cut short", {.url = cut.url("/")}, kURLErrorNetworkConnectionLost},
  };
  for (auto& c : cases) {
    Recorder rec;
    auto connection = URLConnection::start(c.request, &rec);
    runUntilEnded({&rec});
    runFor(0.05);
    ASSERT_TRUE(rec.error) << c.name;
    EXPECT_EQ(rec.error->domain(), kURLErrorDomain) << c.name;
    EXPECT_EQ(rec.error->code(), c.code) << c.name;
    EXPECT_EQ(rec.ends, 1) << c.name;
    EXPECT_NE(rec.calls.back(), "finish") << c.name;
  }
}

TEST(URLConnectionAsyncTest, CancelFromTheDelegateStopsEverything) {
  TestHTTPServer server;
  server.enqueue({.body = bigText(2 << 20), .chunked = true, .chunkSize = 16384, .delayBeforeBody = 0.05});
  Recorder rec;
  rec.cancelOnData = true;
  auto connection = URLConnection::start({.url = server.url("/big")}, &rec);
  std::weak_ptr<URLConnection> weak = connection;
  connection.reset();  // the running exchange keeps itself
  auto start = std::chrono::steady_clock::now();
  while (rec.pieces == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
    RunLoop::current()->runInMode(kDefaultRunLoopMode, 0.05, true);
  runFor(0.3);
  EXPECT_EQ(rec.pieces, 1);
  EXPECT_EQ(rec.ends, 0);
  EXPECT_TRUE(weak.expired()) << "a cancelled exchange lets itself go";
}

TEST(URLConnectionAsyncTest, SeveralRunSideBySideOnOneLoop) {
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest& r) {
    ScriptedResponse s = ScriptedResponse::text(200, "answer to " + r.target);
    s.delayBeforeBody = 0.1;  // all four are under way at once
    return s;
  });
  Recorder recs[4];
  std::vector<std::shared_ptr<URLConnection>> connections;
  for (int i = 0; i < 4; ++i)
    connections.push_back(URLConnection::start({.url = server.url("/n" + std::to_string(i))}, &recs[i]));
  runUntilEnded({&recs[0], &recs[1], &recs[2], &recs[3]});
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(recs[i].body, "answer to /n" + std::to_string(i));
    EXPECT_EQ(recs[i].calls.back(), "finish");
  }
  EXPECT_GE(server.connectionCount(), 2) << "they did not wait for each other";
}

TEST(URLConnectionAsyncTest, RunsOnlyInItsModes) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "late"));
  Recorder rec;
  auto connection = URLConnection::start({.url = server.url("/")}, &rec, nullptr, {"private.mode"});
  auto loop = RunLoop::current();
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300))
    loop->runInMode(kDefaultRunLoopMode, 0.02, true);
  EXPECT_EQ(rec.ends, 0);
  EXPECT_EQ(server.requestCount(), 0u) << "nothing moves outside its modes";
  start = std::chrono::steady_clock::now();
  while (rec.ends == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
    loop->runInMode("private.mode", 0.05, true);
  EXPECT_EQ(rec.body, "late");
}

// A delegate that throws (or a piece that can't be had) fails the exchange:
// the rest of the body must not arrive as if nothing was lost.
TEST(URLConnectionAsyncTest, AThrowingDelegateFailsTheExchange) {
  TestHTTPServer server;
  std::string body = bigText(400000);
  for (bool gz : {false, true}) {
    server.enqueue({.body = body, .chunked = true, .chunkSize = 10000, .gzip = gz});
    Recorder rec;
    rec.throwOnData = true;
    auto c = URLConnection::start({.url = server.url("/")}, &rec);
    runUntilEnded({&rec});
    EXPECT_EQ(rec.ends, 1) << gz;
    EXPECT_EQ(rec.pieces, 1) << gz;
    ASSERT_TRUE(rec.error) << gz;
    EXPECT_EQ(rec.error->code(), kURLErrorUnknown);
    EXPECT_NE(rec.calls.back().find("fail"), std::string::npos);
    runFor(0.1);
    EXPECT_EQ(rec.ends, 1) << "nothing after the failure";
  }
}

}  // namespace
}  // namespace plat
