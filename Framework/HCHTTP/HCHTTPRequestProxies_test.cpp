#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/proxy_pac.h"
#include "tests/support/proxy_schema.h"
#include "tests/support/test_http_server.h"
#include "tests/support/test_proxy.h"

using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;
using qvtest::TestProxy;

namespace {

const char* const kProxyVariables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                       "ALL_PROXY",  "no_proxy",    "NO_PROXY",    "HTTP_PROXY"};

class Ended : public HCHTTPRequestDelegate {
public:
  int ends = 0;
  void requestFinished(HCHTTPRequest&) override { ++ends; }
  void requestFailed(HCHTTPRequest&) override { ++ends; }
};

class HCHTTPProxiesTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    for (const char* v : kProxyVariables) {
      if (const char* old = std::getenv(v)) saved_.emplace_back(v, old);
      ::unsetenv(v);
    }
    // No schema: the environment decides, whatever the machine's desktop says.
    plat::setProxySettingsSource(std::make_shared<plat::ProxySettingsSource>("/nonexistent-schema-folder"));
    plat::PACEvaluator::shared().clearCache();
    dir_ = plat::makeTemporaryDirectory("qv-pac");
    server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, "at " + r.target); });
  }
  void TearDown() override {
    plat::setProxySettingsSource(nullptr);
    plat::PACEvaluator::shared().setTimeLimit(5);
    for (const char* v : kProxyVariables) ::unsetenv(v);
    for (auto& [k, v] : saved_) ::setenv(k.c_str(), v.c_str(), 1);
    plat::removeTree(dir_);
    plat::RunLoop::main()->remove(keepAlive_);
  }
  std::string pacFile(const std::string& body) {
    std::string path = plat::pathJoin(dir_, "proxy" + std::to_string(++files_) + ".pac");
    EXPECT_TRUE(plat::atomicWrite(path, body));
    return "file://" + path;
  }
  std::string routeTo(const TestProxy& p) {
    return "function FindProxyForURL(url, host) { return 'PROXY 127.0.0.1:" + std::to_string(p.port()) +
           "; DIRECT'; }";
  }
  // Runs synchronously or through the shared queue.
  std::shared_ptr<HCHTTPRequest> run(const std::string& path, bool async,
                                     std::function<void(HCHTTPRequest&)> setup = nullptr) {
    auto r = HCHTTPRequest::requestWithURL(server.url(path));
    // The test proxy looks at the first request of each connection only.
    r->setShouldAttemptPersistentConnection(false);
    if (setup) setup(*r);
    if (!async) {
      r->startSynchronous();
      return r;
    }
    Ended d;
    r->setDelegate(&d);
    r->startAsynchronous();
    double until = plat::currentClock().monotonic() + 30;
    while ((d.ends == 0 || !r->isFinished()) && plat::currentClock().monotonic() < until) {
      plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
    }
    EXPECT_EQ(d.ends, 1);
    r->setDelegate(nullptr);
    return r;
  }
  static long code(const HCHTTPRequest& r) { return r.error() ? r.error()->code() : 0; }

  TestHTTPServer server;
  TestProxy proxy{{TestProxy::Kind::HTTP}};
  std::string dir_;
  int files_ = 0;
  std::vector<std::pair<std::string, std::string>> saved_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

}  // namespace

TEST_F(HCHTTPProxiesTest, TheEnvironmentsProxyAndItsExceptions) {
  ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
  auto via = run("/env", false);
  EXPECT_EQ(via->responseString().value_or(""), "at /env");
  EXPECT_EQ(via->proxyHost(), std::optional<std::string>("127.0.0.1"));
  ASSERT_EQ(proxy.log().size(), 1u);
  EXPECT_EQ(proxy.log()[0], "GET " + server.url("/env"));

  ::setenv("no_proxy", "example.test, 127.0.0.1", 1);
  auto direct = run("/direct", true);
  EXPECT_EQ(direct->responseString().value_or(""), "at /direct");
  EXPECT_FALSE(direct->proxyHost());
  EXPECT_EQ(proxy.log().size(), 1u);

  // A proxy set that can't be used fails the request instead of going round it.
  ::unsetenv("no_proxy");
  ::setenv("http_proxy", "https://127.0.0.1:1", 1);
  auto refused = run("/bad", false);
  EXPECT_EQ(code(*refused), HCInternalErrorWhileBuildingRequestType);
  EXPECT_EQ(refused->error()->localizedDescription(), "Unable to obtain information on proxy servers needed for request");

  // A proxy the caller set wins; so does a port alone, which skips the system settings.
  auto own = run("/own", false, [](HCHTTPRequest& r) { r.setProxyPort(1); });
  EXPECT_FALSE(own->proxyHost());
  EXPECT_EQ(own->responseString().value_or(""), "at /own");
}

TEST_F(HCHTTPProxiesTest, GSettingsNamesTheProxyOrThePACScript) {
  std::string schemas = qvtest::compiledProxySchemaDirectory();
  ASSERT_FALSE(schemas.empty());
  auto source = std::make_shared<plat::ProxySettingsSource>(schemas);
  ASSERT_TRUE(source->hasSchema());
  plat::setProxySettingsSource(source);
  source->setString("mode", "manual");
  source->setString("http/host", "127.0.0.1");
  source->setInt("http/port", proxy.port());
  // The schema's own exceptions send loopback direct.
  EXPECT_EQ(run("/local", false)->responseString().value_or(""), "at /local");
  EXPECT_TRUE(proxy.log().empty());
  source->setStrings("ignore-hosts", {});
  EXPECT_EQ(run("/manual", true)->responseString().value_or(""), "at /manual");
  ASSERT_EQ(proxy.log().size(), 1u);

  TestProxy second({TestProxy::Kind::HTTP});
  source->setString("mode", "auto");
  source->setString("autoconfig-url", pacFile(routeTo(second)));
  for (bool async : {false, true}) {
    auto r = run(async ? "/pac-async" : "/pac-sync", async);
    EXPECT_EQ(r->responseString().value_or(""), async ? "at /pac-async" : "at /pac-sync");
    EXPECT_EQ(r->proxyPort(), second.port());
  }
  EXPECT_EQ(second.log().size(), 2u);
}

TEST_F(HCHTTPProxiesTest, APACThatFailsOrLoopsGoesDirectWithinItsLimit) {
  plat::PACEvaluator::shared().setTimeLimit(0.3);
  struct Case {
    const char* name;
    std::string pac;
  } cases[] = {
      {"missing", "file:///nonexistent/proxy.pac"},
      {"endless", pacFile("function FindProxyForURL(u, h) { for (;;) {} }")},
      {"broken", pacFile("function FindProxyForURL(u, h) { return undefinedThing(); }")},
      {"garbage", pacFile("\x89PNG\r\n")},
  };
  for (const auto& c : cases) {
    for (bool async : {false, true}) {
      auto r = run("/" + std::string(c.name), async, [&](HCHTTPRequest& q) { q.setPACurl(plat::URL::parse(c.pac)); });
      EXPECT_EQ(code(*r), 0) << c.name;
      EXPECT_EQ(r->responseString().value_or(""), "at /" + std::string(c.name)) << c.name;
      EXPECT_FALSE(r->proxyHost()) << c.name;
    }
  }
  EXPECT_TRUE(proxy.log().empty());
}

TEST_F(HCHTTPProxiesTest, APACFetchedOverHTTPRoutesThroughTheProxy) {
  TestHTTPServer pacServer;
  pacServer.setHandler([&](const qvtest::RecordedRequest&) {
    ScriptedResponse s = ScriptedResponse::text(200, routeTo(proxy));
    s.headers = {{"Content-Type", "application/x-ns-proxy-autoconfig"}};
    return s;
  });
  const int width = HCHTTPRequest::sharedQueue().maxConcurrentOperationCount();
  for (bool async : {false, true}) {
    auto r = run(async ? "/a" : "/s", async,
                 [&](HCHTTPRequest& q) { q.setPACurl(plat::URL::parse(pacServer.url("/proxy.pac"))); });
    EXPECT_EQ(code(*r), 0);
    EXPECT_EQ(r->proxyPort(), proxy.port());
    EXPECT_FALSE(r->PACFileRequest());
  }
  EXPECT_EQ(proxy.log().size(), 2u);
  EXPECT_EQ(pacServer.requests().size(), 2u);
  EXPECT_EQ(HCHTTPRequest::sharedQueue().maxConcurrentOperationCount(), width);

  // A script that is not there goes direct as well.
  pacServer.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(404, "no"); });
  auto r = run("/none", true, [&](HCHTTPRequest& q) { q.setPACurl(plat::URL::parse(pacServer.url("/proxy.pac"))); });
  EXPECT_EQ(r->responseString().value_or(""), "at /none");
  EXPECT_FALSE(r->proxyHost());
  EXPECT_EQ(HCHTTPRequest::sharedQueue().maxConcurrentOperationCount(), width);
}

// Answers every connection with a 64 MiB script, counting the bytes the client takes before it hangs up.
class EndlessPACServer {
public:
  static constexpr size_t kBody = 64u << 20;
  EndlessPACServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 4) != 0) ADD_FAILURE() << "listen";
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~EndlessPACServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/proxy.pac"; }
  std::vector<size_t> sent() {
    std::lock_guard l(mutex_);
    return sent_;
  }

private:
  void serve() {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\nContent-Length: " +
                         std::to_string(kBody) + "\r\n\r\n";
      ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
      std::string chunk(64 * 1024, ' ');
      size_t total = 0;
      while (total < kBody) {
        ssize_t n = ::send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        total += static_cast<size_t>(n);
      }
      ::close(c);
      std::lock_guard l(mutex_);
      sent_.push_back(total);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<size_t> sent_;
};

TEST_F(HCHTTPProxiesTest, APACFetchedOverHTTPIsReadNoFurtherThanItsLimit) {
  EndlessPACServer pacServer;
  for (bool async : {false, true}) {
    auto r = run(async ? "/a" : "/s", async, [&](HCHTTPRequest& q) { q.setPACurl(plat::URL::parse(pacServer.url())); });
    EXPECT_EQ(code(*r), 0);
    EXPECT_EQ(r->responseString().value_or(""), async ? "at /a" : "at /s");
    EXPECT_FALSE(r->proxyHost());
  }
  double until = plat::currentClock().monotonic() + 30;
  while (pacServer.sent().size() < 2 && plat::currentClock().monotonic() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto sent = pacServer.sent();
  ASSERT_EQ(sent.size(), 2u);
  // The 1 MiB limit and what the sockets' buffers hold, far from the whole.
  for (size_t n : sent) EXPECT_LT(n, EndlessPACServer::kBody / 2);
}

TEST_F(HCHTTPProxiesTest, ARunningPACScriptHoldsUpNoOtherRequest) {
  plat::PACEvaluator::shared().setTimeLimit(1);
  auto slow = HCHTTPRequest::requestWithURL(server.url("/slow"));
  slow->setPACurl(plat::URL::parse(pacFile("function FindProxyForURL(u, h) { for (;;) {} }")));
  Ended slowEnd, quickEnd;
  slow->setDelegate(&slowEnd);
  slow->startAsynchronous();
  auto quick = HCHTTPRequest::requestWithURL(server.url("/quick"));
  quick->setDelegate(&quickEnd);
  quick->startAsynchronous();
  double until = plat::currentClock().monotonic() + 30;
  while (quickEnd.ends == 0 && plat::currentClock().monotonic() < until) {
    plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
  }
  EXPECT_EQ(quick->responseString().value_or(""), "at /quick");
  EXPECT_EQ(slowEnd.ends, 0) << "the script is still running, on its own thread";
  while ((slowEnd.ends == 0 || !slow->isFinished()) && plat::currentClock().monotonic() < until) {
    plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
  }
  EXPECT_EQ(slow->responseString().value_or(""), "at /slow");
  slow->setDelegate(nullptr);
  quick->setDelegate(nullptr);
}

namespace {

// Sends the head of a script at once, then a byte every 50 ms until let go,
// then the rest: the fetch stays alive as long as the test wants.
class TricklePACServer {
public:
  TricklePACServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 4) != 0) ADD_FAILURE() << "listen";
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~TricklePACServer() {
    release();
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/proxy.pac"; }
  void release() { released_ = true; }

private:
  void serve() {
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    const std::string script = "function FindProxyForURL(u, h) { return 'DIRECT'; }";
    const size_t pad = 4096;
    std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                       std::to_string(script.size() + pad) + "\r\n\r\n" + script;
    ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
    size_t sent = 0;
    while (!released_ && sent < pad) {
      if (::send(c, " ", 1, MSG_NOSIGNAL) != 1) break;
      ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string rest(pad - sent, ' ');
    ::send(c, rest.data(), rest.size(), MSG_NOSIGNAL);
    ::close(c);
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> released_{false};
  std::thread thread_;
};

}  // namespace

TEST_F(HCHTTPProxiesTest, APACFetchEndingAfterItsRequestIsGoneGivesItsQueueSlotBack) {
  TricklePACServer pacServer;
  const int width = HCHTTPRequest::sharedQueue().maxConcurrentOperationCount();
  std::weak_ptr<HCHTTPRequest> fetch;
  {
    Ended d;
    auto r = HCHTTPRequest::requestWithURL(server.url("/gone"));
    r->setTimeOutSeconds(0.5);  // the PAC step gives up before the script has come
    r->setPACurl(plat::URL::parse(pacServer.url()));
    r->setDelegate(&d);
    r->startAsynchronous();
    double until = plat::currentClock().monotonic() + 30;
    while ((d.ends == 0 || !r->isFinished()) && plat::currentClock().monotonic() < until) {
      if (!fetch.lock() && r->PACFileRequest()) fetch = r->PACFileRequest();
      plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
    }
    EXPECT_EQ(r->responseString().value_or(""), "at /gone") << "direct, without the script";
    r->setDelegate(nullptr);
  }
  // The request is gone; its fetch is still under way, then ends.
  ASSERT_TRUE(fetch.lock()) << "the fetch outlives its request";
  pacServer.release();
  double until = plat::currentClock().monotonic() + 30;
  while (auto f = fetch.lock()) {
    if (f->isFinished() || plat::currentClock().monotonic() > until) break;
    f.reset();
    plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
  }
  for (int i = 0; i < 10; ++i) plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
  EXPECT_EQ(HCHTTPRequest::sharedQueue().maxConcurrentOperationCount(), width);
}
