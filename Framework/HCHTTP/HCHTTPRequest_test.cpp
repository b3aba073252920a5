#include "Framework/HCHTTP/HCHTTPRequest.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_http_server.h"
#include "tests/support/test_proxy.h"

using plat::Data;
using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

namespace {

std::string randomBytes(size_t n, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// A port on which nobody listens.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// Records what a request tells its delegate, and where.
class Recorder : public HCHTTPRequestDelegate {
public:
  bool takesData = false;
  bool confirmsRedirects = false;
  std::vector<std::string> events;
  std::string body;
  int statusAtFirstData = -1;
  int dataCalls = 0;
  size_t largestChunk = 0;
  int dataCallsAfterCancel = 0;
  bool cancelled = false;
  bool allOnMain = true;
  std::function<void(HCHTTPRequest&)> onFirstData;

  bool respondsToSelector(HCSelector s) const override {
    if (s == HCSelector::requestDidReceiveData) return takesData;
    if (s == HCSelector::requestWillRedirectToURL) return confirmsRedirects;
    return HCHTTPRequestDelegate::respondsToSelector(s);
  }
  void note(const std::string& e) {
    if (!plat::MainThread::isMainThread()) allOnMain = false;
    events.push_back(e);
  }
  void requestStarted(HCHTTPRequest&) override { note("started"); }
  void requestDidReceiveResponseHeaders(HCHTTPRequest&, const plat::Dictionary&) override { note("headers"); }
  void requestRedirected(HCHTTPRequest&) override { note("redirected"); }
  void requestWillRedirectToURL(HCHTTPRequest&, const plat::URL& url) override {
    note("willRedirect " + url.absoluteString());
  }
  void requestFinished(HCHTTPRequest&) override { note("finished"); }
  void requestFailed(HCHTTPRequest&) override { note("failed"); }
  void requestDidReceiveData(HCHTTPRequest& r, const Data& d) override {
    if (!plat::MainThread::isMainThread()) allOnMain = false;
    if (cancelled) ++dataCallsAfterCancel;
    if (dataCalls++ == 0) {
      statusAtFirstData = r.responseStatusCode();
      if (onFirstData) onFirstData(r);
    }
    largestChunk = std::max(largestChunk, d.size());
    body.append(d.begin(), d.end());
  }
  int count(const std::string& e) const { return static_cast<int>(std::count(events.begin(), events.end(), e)); }
  bool ended() const { return count("finished") + count("failed") > 0; }
};

class HCHTTPRequestTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    HCHTTPCookieStorage::shared().deleteAllCookies();
  }
  void TearDown() override { plat::RunLoop::main()->remove(keepAlive_); }

  // Serves the main thread until `done`; the real-time bound only keeps a
  // broken build from hanging.
  bool pumpUntil(const std::function<bool()>& done, double bound = 30) {
    double until = plat::currentClock().monotonic() + bound;
    while (!done()) {
      if (plat::currentClock().monotonic() > until) return false;
      plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
    }
    return true;
  }
  // Synchronously on a thread of its own, the main thread pumping the reports.
  void runOnWorker(const std::shared_ptr<HCHTTPRequest>& r, Recorder& rec) {
    r->setDelegate(&rec);
    std::atomic<bool> returned{false};
    std::thread t = plat::startThread("sync request", [&] {
      r->startSynchronous();
      returned = true;
    });
    const bool ended = pumpUntil([&] { return returned && rec.ended(); });
    t.join();
    ASSERT_TRUE(ended);
  }
  // Runs asynchronously and waits for its end report (and its operation end).
  void runAsync(const std::shared_ptr<HCHTTPRequest>& r, Recorder& rec) {
    r->setDelegate(&rec);
    r->startAsynchronous();
    ASSERT_TRUE(pumpUntil([&] { return rec.ended() && r->isFinished(); }));
    // Late reports would show up here.
    pumpUntil([] { return false; }, 0.05);
  }
  static long errorCode(const HCHTTPRequest& r) { return r.error() ? r.error()->code() : 0; }
  static std::string errorText(const HCHTTPRequest& r) { return r.error() ? r.error()->localizedDescription() : ""; }

  TestHTTPServer server;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

// --- the object and its headers ---------------------------------------------------------

TEST_F(HCHTTPRequestTest, NewRequestHasTheDefaults) {
  auto r = HCHTTPRequest::requestWithURL("http://127.0.0.1/");
  EXPECT_EQ(r->requestMethod(), "GET");
  EXPECT_EQ(r->runLoopMode(), plat::kDefaultRunLoopMode);
  EXPECT_TRUE(r->shouldAttemptPersistentConnection());
  EXPECT_EQ(r->persistentConnectionTimeoutSeconds(), 60.0);
  EXPECT_TRUE(r->shouldPresentCredentialsBeforeChallenge());
  EXPECT_TRUE(r->shouldRedirect());
  EXPECT_TRUE(r->showAccurateProgress());
  EXPECT_TRUE(r->allowCompressedResponse());
  EXPECT_TRUE(r->shouldWaitToInflateCompressedResponses());
  EXPECT_EQ(r->defaultResponseEncoding(), HCISOLatin1StringEncoding);
  EXPECT_EQ(r->timeOutSeconds(), 10.0);
  EXPECT_TRUE(r->validatesSecureCertificate());
  EXPECT_TRUE(r->useCookiePersistence());
  EXPECT_EQ(r->numberOfTimesToRetryOnTimeout(), 0);
  EXPECT_FALSE(r->allowResumeForFileDownloads());
  EXPECT_EQ(r->didFinishSelector(), HCSelector::requestFinished);
  EXPECT_EQ(r->didReceiveDataSelector(), HCSelector::requestDidReceiveData);
  EXPECT_EQ(r->responseStatusCode(), 0);
  EXPECT_FALSE(r->isExecuting() || r->isFinished() || r->isCancelled());
}

TEST_F(HCHTTPRequestTest, SharedErrorsCarryTheirCodesAndTexts) {
  struct Row {
    const plat::Error& e;
    long code;
    const char* text;
  } rows[] = {
      {HCHTTPRequest::HCRequestTimedOutError(), 2, "The request timed out"},
      {HCHTTPRequest::HCAuthenticationError(), 3, "Authentication needed"},
      {HCHTTPRequest::HCRequestCancelledError(), 4, "The request was cancelled"},
      {HCHTTPRequest::HCUnableToCreateRequestError(), 5, "Unable to create request (bad url?)"},
      {HCHTTPRequest::HCTooMuchRedirectionError(), 9, "The request failed because it redirected too many times"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.e.domain(), "HCHTTPRequestErrorDomain");
    EXPECT_EQ(row.e.code(), row.code);
    EXPECT_EQ(row.e.localizedDescription(), row.text);
  }
}

TEST_F(HCHTTPRequestTest, SettingAMethodOrBodyTurnsPersistentConnectionsOff) {
  auto r = HCHTTPRequest::requestWithURL("http://127.0.0.1/");
  r->setRequestMethod("POST");
  EXPECT_FALSE(r->shouldAttemptPersistentConnection());
  auto g = HCHTTPRequest::requestWithURL("http://127.0.0.1/");
  g->appendPostData(Data{'x'});
  g->setRequestMethod("PUT");
  g->setRequestMethod("GET");
  EXPECT_FALSE(g->shouldAttemptPersistentConnection());
}

TEST_F(HCHTTPRequestTest, HeadersSentByDefaultAndByTheCaller) {
  HCHTTPRequest::setDefaultUserAgentString(std::string("Quorva 1.0 (test)"));
  HCHTTPCookieStorage::shared().setCookies({*HCHTTPCookie::parse("a=1", *plat::URL::parse(server.url("/")))});
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "ok"); });

  auto plain = HCHTTPRequest::requestWithURL(server.url("/plain"));
  plain->setRequestCookies({*HCHTTPCookie::parse("b=2", *plat::URL::parse(server.url("/")))});
  auto own = HCHTTPRequest::requestWithURL(server.url("/own"));
  own->addRequestHeader("User-Agent", "client_quorva");
  own->addRequestHeader("Range", "bytes=0-9");
  own->setUseCookiePersistence(false);
  for (auto& r : {plain, own}) r->startSynchronous();

  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].header("User-Agent").value_or(""), "Quorva 1.0 (test)");
  EXPECT_EQ(reqs[0].header("Accept-Encoding").value_or(""), "gzip");
  EXPECT_EQ(reqs[0].header("Cookie").value_or(""), "b=2; a=1");
  EXPECT_FALSE(reqs[0].header("Range").has_value());
  EXPECT_EQ(reqs[1].header("User-Agent").value_or(""), "client_quorva");
  EXPECT_EQ(reqs[1].header("Range").value_or(""), "bytes=0-9");
  EXPECT_FALSE(reqs[1].header("Cookie").has_value());
  HCHTTPRequest::setDefaultUserAgentString(std::nullopt);
}

TEST_F(HCHTTPRequestTest, BodiesFromMemoryAndFromAFile) {
  server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, r.method); });
  auto empty = HCHTTPRequest::requestWithURL(server.url("/e"));
  empty->appendPostData(Data());
  empty->startSynchronous();
  EXPECT_EQ(empty->requestMethod(), "GET");

  std::string big = randomBytes(262144 * 2 + 1234);
  std::string path = plat::format("%@/hchttp-body-%d", "/tmp", getpid());
  {
    std::ofstream f(path, std::ios::binary);
    f << big;
  }
  auto file = HCHTTPRequest::requestWithURL(server.url("/f"));
  file->appendPostData(Data{'<'});
  file->appendPostDataFromFile(path);
  file->startSynchronous();
  ::unlink(path.c_str());
  EXPECT_EQ(file->requestMethod(), "POST");
  EXPECT_EQ(file->responseString().value_or(""), "POST");

  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].method, "GET");
  EXPECT_FALSE(reqs[0].header("Content-Length").has_value());
  EXPECT_EQ(reqs[1].header("Content-Length").value_or(""), std::to_string(big.size() + 1));
  EXPECT_TRUE(reqs[1].body == "<" + big);
}

// --- the main road: a block through the data callback ------------------------------------

TEST_F(HCHTTPRequestTest, RangeBlockArrivesByteExactOnTheMainThreadWithItsStatusFirst) {
  std::string block = randomBytes(1 << 20);
  ScriptedResponse resp;
  resp.status = 206;
  resp.reason = "Partial Content";
  resp.headers = {{"Content-Range", "bytes 1048576-2097151/4718592"}};
  resp.body = block;
  resp.delayBeforeBody = 0.05;  // the head arrives on its own first
  server.enqueue(resp);

  Recorder rec;
  rec.takesData = true;
  auto r = HCHTTPRequest::requestWithURL(server.url("/file"));
  r->addRequestHeader("User-Agent", "client_quorva");
  r->addRequestHeader("Range", "bytes=1048576-2097151");
  runAsync(r, rec);

  EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "headers", "finished"}));
  EXPECT_TRUE(rec.allOnMain);
  EXPECT_EQ(rec.statusAtFirstData, 206);
  EXPECT_EQ(rec.body.size(), block.size());
  EXPECT_TRUE(rec.body == block);
  // Handed over, not stored.
  EXPECT_TRUE(!r->responseData() || r->responseData()->empty());
  EXPECT_FALSE(r->isExecuting());
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].header("Range").value_or(""), "bytes=1048576-2097151");
}

TEST_F(HCHTTPRequestTest, CancelFromInsideTheDataCallbackStopsTheRequest) {
  // Half the announced body, then the server waits: only the cancel ends it.
  ScriptedResponse resp;
  resp.raw = "HTTP/1.1 206 Partial Content\r\nContent-Length: 1048576\r\n\r\n" + randomBytes(300000);
  server.enqueue(resp);

  Recorder rec;
  rec.takesData = true;
  rec.onFirstData = [&](HCHTTPRequest& r) {
    EXPECT_FALSE(r.isCancelled());
    r.cancel();
    rec.cancelled = true;
  };
  auto r = HCHTTPRequest::requestWithURL(server.url("/file"));
  bool blockFailed = false, blockFinished = false;
  r->setFailedBlock([&] { blockFailed = true; });
  r->setCompletionBlock([&] { blockFinished = true; });
  runAsync(r, rec);

  EXPECT_EQ(rec.count("failed"), 1);
  EXPECT_EQ(rec.count("finished"), 0);
  EXPECT_EQ(rec.dataCallsAfterCancel, 0);
  EXPECT_TRUE(blockFailed);
  EXPECT_FALSE(blockFinished);
  EXPECT_EQ(errorCode(*r), 4);
  EXPECT_EQ(errorText(*r), "The request was cancelled");
  EXPECT_TRUE(r->isCancelled());
  // Cancelling again changes nothing.
  r->cancel();
  pumpUntil([] { return false; }, 0.05);
  EXPECT_EQ(rec.count("failed"), 1);
}

// A cancel that comes after the exchange ended but before its end was told
// turns the end into a failure. That report, like the others, is made
// without the request's lock: another thread may ask the request for its
// status while the failure callback runs (a caller's callback that takes a
// lock of its own would otherwise wait for that thread the other way round).
TEST_F(HCHTTPRequestTest, AFailureToldAtTheEndLeavesTheRequestFreeForOtherThreads) {
  server.enqueue(ScriptedResponse::text(200, randomBytes(20000)));
  Recorder rec;
  rec.takesData = true;
  rec.onFirstData = [&](HCHTTPRequest& r) {
    // The whole exchange ends on the network thread before the cancel.
    const double until = plat::currentClock().monotonic() + 30;
    while (!r.isFinished() && plat::currentClock().monotonic() < until) plat::currentClock().sleepFor(0.005);
    EXPECT_TRUE(r.isFinished());
    r.cancel();
  };
  auto r = HCHTTPRequest::requestWithURL(server.url("/file"));
  bool answeredDuringTheFailure = false;
  std::promise<int> status;
  auto asked = status.get_future();
  std::thread other;
  r->setFailedBlock([&] {
    other = std::thread([&] { status.set_value(r->responseStatusCode()); });
    // A generous bound: the other thread only has to take a free lock.
    answeredDuringTheFailure = asked.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  });
  runAsync(r, rec);
  if (other.joinable()) other.join();
  const int statusSeen = asked.valid() && answeredDuringTheFailure ? asked.get() : -1;
  EXPECT_EQ(rec.count("failed"), 1);
  EXPECT_EQ(rec.count("finished"), 0);
  EXPECT_EQ(errorCode(*r), 4);
  EXPECT_TRUE(answeredDuringTheFailure);
  EXPECT_EQ(statusSeen, 200);
}

TEST_F(HCHTTPRequestTest, CancelOfACompletedRequestDoesNothing) {
  server.enqueue(ScriptedResponse::text(200, "done"));
  Recorder rec;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  runAsync(r, rec);
  r->cancel();
  pumpUntil([] { return false; }, 0.1);
  EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "headers", "finished"}));
  EXPECT_FALSE(r->isCancelled());
  EXPECT_FALSE(r->error());
}

TEST_F(HCHTTPRequestTest, NotificationsGoToDelegateThenBlockThenQueue) {
  struct Queue : HCHTTPRequestQueue {
    std::vector<std::string>* log;
    void requestStarted(HCHTTPRequest&) override { log->push_back("queue started"); }
    void requestFinished(HCHTTPRequest&) override { log->push_back("queue finished"); }
  };
  std::vector<std::string> log;
  struct Delegate : HCHTTPRequestDelegate {
    std::vector<std::string>* log;
    void requestStarted(HCHTTPRequest&) override { log->push_back("delegate started"); }
    void requestFinished(HCHTTPRequest&) override { log->push_back("delegate finished"); }
  } d;
  d.log = &log;
  auto q = std::make_shared<Queue>();
  q->log = &log;
  server.enqueue(ScriptedResponse::text(500, "oops"));
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setDelegate(&d);
  r->setQueue(q);
  r->setStartedBlock([&] { log.push_back("block started"); });
  r->setCompletionBlock([&] { log.push_back("block finished"); });
  r->startAsynchronous();
  ASSERT_TRUE(pumpUntil([&] { return log.size() == 6; }));
  EXPECT_EQ(log, (std::vector<std::string>{"delegate started", "block started", "queue started", "delegate finished",
                                           "block finished", "queue finished"}));
  EXPECT_EQ(r->responseStatusCode(), 500);
  EXPECT_EQ(r->responseString().value_or(""), "oops");
}

TEST_F(HCHTTPRequestTest, TheStartIsToldWhileTheAnswerIsStillAwaited) {
  // The server answers only once the main thread has heard of the start (or
  // after its bound): a start report held back with the later ones would
  // reach the caller only after the answer.
  std::atomic<bool> startTold{false}, answeredAfterStart{false};
  server.setHandler([&](const qvtest::RecordedRequest&) {
    for (int i = 0; i < 500 && !startTold; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    answeredAfterStart = startTold.load();
    return ScriptedResponse::text(200, "late");
  });
  for (bool viaQueue : {true, false}) {
    startTold = false;
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(server.url("/"));
    r->setStartedBlock([&] { startTold = true; });
    if (viaQueue) {
      runAsync(r, rec);
    } else {
      runOnWorker(r, rec);  // the reports still go to the main thread
    }
    EXPECT_TRUE(answeredAfterStart) << (viaQueue ? "queued" : "synchronous");
    EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "headers", "finished"}));
    EXPECT_TRUE(rec.allOnMain);
  }
}

// --- synchronous runs and files ------------------------------------------------------------

TEST_F(HCHTTPRequestTest, SynchronousDownloadReplacesAnOldFile) {
  std::string dir = plat::format("/tmp/hchttp-dl-%d", getpid());
  ::mkdir(dir.c_str(), 0700);
  std::string dest = dir + "/installer.bin";
  {
    std::ofstream f(dest);
    f << "old contents that are longer than the new ones, to see they go";
  }
  std::string payload = randomBytes(700000, 3);
  ScriptedResponse resp;
  resp.body = payload;
  server.enqueue(resp);

  Recorder rec;
  auto r = HCHTTPRequest::requestWithURL(server.url("/installer"));
  r->setDelegate(&rec);
  r->setDownloadDestinationPath(dest);
  r->startSynchronous();  // on the main thread: every report in line

  EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "headers", "finished"}));
  EXPECT_TRUE(readWholeFile(dest) == payload);
  EXPECT_FALSE(r->temporaryFileDownloadPath().has_value());
  struct stat st{};
  ::stat(dest.c_str(), &st);
  mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "an ordinary file of the user's, not the private temporary one";
  EXPECT_FALSE(r->isExecuting());
  ::unlink(dest.c_str());
  ::rmdir(dir.c_str());
}

TEST_F(HCHTTPRequestTest, SynchronousRunOnAnotherThreadReportsOnTheMainThread) {
  server.enqueue(ScriptedResponse::text(200, "from a worker"));
  Recorder rec;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  runOnWorker(r, rec);
  EXPECT_TRUE(rec.allOnMain);
  EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "headers", "finished"}));
  EXPECT_EQ(r->responseString().value_or(""), "from a worker");
}

TEST_F(HCHTTPRequestTest, TemporaryDownloadFileIsPrivateAndGoesAwayOnCancel) {
  ScriptedResponse resp;
  resp.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + randomBytes(40000);
  server.enqueue(resp);
  Recorder rec;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setDelegate(&rec);
  r->setDownloadDestinationPath(plat::format("/tmp/hchttp-never-%d", getpid()));
  r->startAsynchronous();
  ASSERT_TRUE(pumpUntil([&] { return r->totalBytesRead() >= 40000; }));
  auto tmp = r->temporaryFileDownloadPath();
  ASSERT_TRUE(tmp.has_value());
  struct stat st{};
  ASSERT_EQ(::stat(tmp->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  r->cancel();
  ASSERT_TRUE(pumpUntil([&] { return rec.ended(); }));
  EXPECT_EQ(errorCode(*r), 4);
  EXPECT_FALSE(exists(*tmp));
  EXPECT_FALSE(exists(plat::format("/tmp/hchttp-never-%d", getpid())));
}

TEST_F(HCHTTPRequestTest, DataCallbacksWinOverADestinationPath) {
  server.enqueue(ScriptedResponse::text(200, "to the block"));
  std::string dest = plat::format("/tmp/hchttp-unused-%d", getpid());
  std::string got;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setDownloadDestinationPath(dest);
  r->setDataReceivedBlock([&](const Data& d) { got.append(d.begin(), d.end()); });
  r->startSynchronous();
  EXPECT_EQ(got, "to the block");
  EXPECT_FALSE(r->temporaryFileDownloadPath().has_value());
  EXPECT_FALSE(exists(dest));
}

// --- redirects ---------------------------------------------------------------------------------

TEST_F(HCHTTPRequestTest, RedirectTable) {
  struct Row {
    int status;
    bool rfc2616;
    const char* expectedMethod;
    bool bodyKept;
  } rows[] = {
      {301, false, "GET", false}, {302, false, "GET", false}, {303, false, "GET", false}, {307, false, "POST", true},
      {301, true, "POST", true},  {302, true, "POST", true},  {303, true, "GET", false},
  };
  for (const auto& row : rows) {
    TestHTTPServer s;
    ScriptedResponse redirect;
    redirect.status = row.status;
    redirect.reason = "Moved";
    redirect.headers = {{"Location", "/b"}};
    redirect.body = "redirect body";
    s.enqueue(redirect);
    s.enqueue(ScriptedResponse::text(200, "at b"));
    auto r = HCHTTPRequest::requestWithURL(s.url("/a"));
    r->setShouldUseRFC2616RedirectBehaviour(row.rfc2616);
    r->addRequestHeader("Accept", "text/plain");
    r->addRequestHeader("X-Other", "1");
    r->appendPostData(Data{'h', 'i'});
    r->startSynchronous();
    auto reqs = s.requests();
    ASSERT_EQ(reqs.size(), 2u) << row.status;
    EXPECT_EQ(reqs[1].target, "/b");
    EXPECT_EQ(reqs[1].method, row.expectedMethod) << row.status << " rfc " << row.rfc2616;
    EXPECT_EQ(reqs[1].body, row.bodyKept ? "hi" : "") << row.status;
    EXPECT_EQ(reqs[1].header("Accept").value_or(""), "text/plain");
    EXPECT_EQ(reqs[1].header("X-Other").has_value(), row.bodyKept) << row.status;
    EXPECT_EQ(r->responseString().value_or(""), "at b");
    EXPECT_EQ(r->redirectCount(), 1);
    EXPECT_EQ(r->originalURL()->absoluteString(), s.url("/a"));
  }
}

TEST_F(HCHTTPRequestTest, RedirectsThatAreNotFollowed) {
  struct Row {
    int status;
    bool location;
  } rows[] = {{302, false}, {300, true}, {304, true}, {308, true}};
  for (const auto& row : rows) {
    TestHTTPServer s;
    ScriptedResponse resp;
    resp.status = row.status;
    if (row.location) resp.headers = {{"Location", "/elsewhere"}};
    s.enqueue(resp);
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    r->startSynchronous();
    EXPECT_EQ(r->responseStatusCode(), row.status);
    EXPECT_FALSE(r->error()) << row.status;
    EXPECT_EQ(s.requests().size(), 1u);
  }
}

TEST_F(HCHTTPRequestTest, FiveRedirectsAreFollowedTheSixthFails) {
  for (int hops : {5, 6}) {
    TestHTTPServer s;
    for (int i = 0; i < hops; ++i) {
      ScriptedResponse resp;
      resp.status = 302;
      resp.headers = {{"location", "/hop" + std::to_string(i + 1)}};  // any letter case
      s.enqueue(resp);
    }
    s.enqueue(ScriptedResponse::text(200, "end"));
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(s.url("/hop0"));
    runAsync(r, rec);
    if (hops == 5) {
      EXPECT_EQ(rec.count("finished"), 1);
      EXPECT_EQ(r->responseString().value_or(""), "end");
    } else {
      EXPECT_EQ(rec.count("failed"), 1);
      EXPECT_EQ(errorCode(*r), 9);
      EXPECT_EQ(errorText(*r), "The request failed because it redirected too many times");
    }
    EXPECT_EQ(rec.count("redirected"), std::min(hops, 6));
  }
}

TEST_F(HCHTTPRequestTest, RedirectBodiesNeverReachTheCallbacksOrTheFile) {
  for (int way = 0; way < 4; ++way) {
    bool toFile = way & 1, gz = way & 2;
    TestHTTPServer s;
    ScriptedResponse redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", "/real"}};
    redirect.body = "<html>moved</html>";
    redirect.gzip = gz;
    s.enqueue(redirect);
    ScriptedResponse real = ScriptedResponse::text(200, "the real body");
    real.gzip = gz;
    s.enqueue(real);
    Recorder rec;
    rec.takesData = !toFile;
    std::string dest = plat::format("/tmp/hchttp-redir-%d", getpid());
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    if (toFile) r->setDownloadDestinationPath(dest);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("finished"), 1);
    if (toFile) {
      EXPECT_EQ(readWholeFile(dest), "the real body");
      ::unlink(dest.c_str());
    } else {
      EXPECT_EQ(rec.body, "the real body");
    }
  }
}

TEST_F(HCHTTPRequestTest, DelegateConfirmsARedirect) {
  ScriptedResponse redirect;
  redirect.status = 301;
  redirect.headers = {{"Location", "/next"}};
  server.enqueue(redirect);
  server.enqueue(ScriptedResponse::text(200, "confirmed"));
  Recorder rec;
  rec.confirmsRedirects = true;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setDelegate(&rec);
  r->startAsynchronous();
  std::string expected = "willRedirect " + server.url("/next");
  ASSERT_TRUE(pumpUntil([&] { return rec.count(expected) == 1; }));
  EXPECT_EQ(server.requests().size(), 1u);
  r->redirectToURL(*plat::URL::parse(server.url("/next")));
  ASSERT_TRUE(pumpUntil([&] { return rec.ended(); }));
  EXPECT_EQ(rec.count("finished"), 1);
  EXPECT_EQ(r->responseString().value_or(""), "confirmed");
}

// Credentials and cookies stay within their origin: another host, another
// port or another scheme is another origin. The https-to-http hop goes
// through a proxy, which sees the clear text as a network in between would.
TEST_F(HCHTTPRequestTest, RedirectToAnotherOriginDropsCredentialsAndCookies) {
  const auto& certs = qvtest::TestCertificates::shared();
  enum Kind { Host, Port, Scheme };
  for (Kind kind : {Host, Port, Scheme}) {
    for (int status : {302, 307}) {
      TestHTTPServer s, other;
      TestHTTPServer secure(TestHTTPServer::Options{.tls = true, .certificate = certs.server});
      qvtest::TestProxy proxy({.kind = qvtest::TestProxy::Kind::HTTP});
      std::string from = kind == Scheme ? secure.url("localhost", "/here") : s.url("/here");
      std::string to = kind == Host   ? s.url("localhost", "/there")  // the same server, not the same host
                       : kind == Port ? other.url("/there")
                                      : "http://localhost:" + std::to_string(secure.port()) + "/there";
      // The stored cookie is for 127.0.0.1 (of any port, as cookies go); the
      // caller's own Cookie header is for the first origin alone.
      HCHTTPCookieStorage::shared().deleteAllCookies();
      if (kind == Host)
        HCHTTPCookieStorage::shared().setCookies({*HCHTTPCookie::parse("first=1", *plat::URL::parse(s.url("/")))});
      ScriptedResponse redirect;
      redirect.status = status;
      redirect.headers = {{"Location", to}};
      (kind == Scheme ? secure : s).enqueue(redirect);
      s.enqueue(ScriptedResponse::text(200, "there"));
      other.enqueue(ScriptedResponse::text(200, "there"));
      auto r = HCHTTPRequest::requestWithURL(from);
      r->setTrustedCertificatesPEM(certs.ca.certificatePEM);
      if (kind == Scheme) {
        r->setProxyHost(std::string("127.0.0.1"));
        r->setProxyPort(proxy.port());
      }
      r->addRequestHeader("Authorization", "Bearer secret");
      if (kind != Host) r->addRequestHeader("Cookie", "sid=caller");
      r->setUsername(std::string("user"));
      r->setPassword(std::string("pw"));
      r->setAuthenticationScheme(std::string(kHCHTTPAuthenticationSchemeBasic));
      r->startSynchronous();
      std::string first, second;
      if (kind == Scheme) {
        auto reqs = secure.requests();
        ASSERT_EQ(reqs.size(), 1u) << status;
        first = reqs[0].raw;
        auto heads = proxy.heads();
        ASSERT_GE(heads.size(), 2u) << status;
        second = heads.back();
        EXPECT_NE(second.find("GET " + to), std::string::npos) << second;
      } else {
        auto reqs = s.requests();
        auto later = other.requests();
        reqs.insert(reqs.end(), later.begin(), later.end());
        ASSERT_EQ(reqs.size(), 2u) << kind << " " << status;
        first = reqs[0].raw;
        second = reqs[1].raw;
        EXPECT_EQ(r->responseString().value_or(""), "there");
      }
      const char* cookie = kind == Host ? "first=1" : "sid=caller";
      EXPECT_NE(first.find("Authorization: Bearer secret"), std::string::npos) << kind;
      EXPECT_NE(first.find(cookie), std::string::npos) << kind;
      EXPECT_EQ(second.find("Authorization"), std::string::npos) << kind << " " << status;
      EXPECT_EQ(second.find(cookie), std::string::npos) << kind << " " << status;
    }
  }
  HCHTTPCookieStorage::shared().deleteAllCookies();
}

// A redirect to something that is no http(s) URL fails with its own error and
// leaves url() at the last address fetched.
TEST_F(HCHTTPRequestTest, RedirectToAnotherSchemeFails) {
  for (const char* location : {"ftp://127.0.0.1/file", "file:///etc/passwd", "javascript:alert(1)"}) {
    ScriptedResponse redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", location}};
    server.enqueue(redirect);
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(server.url("/start"));
    runAsync(r, rec);
    EXPECT_EQ(rec.count("failed"), 1) << location;
    EXPECT_EQ(errorCode(*r), 5) << location;
    EXPECT_NE(errorText(*r).find("not an http or https URL"), std::string::npos) << errorText(*r);
    EXPECT_EQ(r->url()->absoluteString(), server.url("/start")) << location;
  }
}

// --- time-outs and retries ---------------------------------------------------------------------

TEST_F(HCHTTPRequestTest, SilentServerTimesOutAfterTheConfiguredRetries) {
  for (int retries : {0, 2}) {
    TestHTTPServer s;
    ScriptedResponse silent;
    silent.silent = true;
    s.setHandler([&](const qvtest::RecordedRequest&) { return silent; });
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(s.url("/slow"));
    r->setTimeOutSeconds(0.3);
    r->setNumberOfTimesToRetryOnTimeout(retries);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("failed"), 1);
    EXPECT_EQ(errorCode(*r), 2);
    EXPECT_EQ(errorText(*r), "The request timed out");
    EXPECT_EQ(s.requests().size(), static_cast<size_t>(retries + 1));
    EXPECT_EQ(rec.count("started"), retries + 1);
  }
}

TEST_F(HCHTTPRequestTest, ZeroTimeOutMeansNeverAndASlowAnswerThatComesInTimeFinishes) {
  ScriptedResponse slow = ScriptedResponse::text(200, "late");
  slow.delayBeforeHead = 0.6;
  server.enqueue(slow);
  server.enqueue(slow);
  for (double timeout : {0.0, 5.0}) {
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(server.url("/"));
    r->setTimeOutSeconds(timeout);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("finished"), 1) << timeout;
    EXPECT_EQ(r->responseString().value_or(""), "late");
  }
}

TEST_F(HCHTTPRequestTest, ReusedConnectionThatDiesIsRetriedOnceOnANewOne) {
  server.enqueue(ScriptedResponse::text(200, "first"));
  ScriptedResponse drop;
  drop.dropWithoutAnswer = true;
  server.enqueue(drop);
  server.enqueue(ScriptedResponse::text(200, "second"));
  Recorder a, b;
  auto r1 = HCHTTPRequest::requestWithURL(server.url("/1"));
  runAsync(r1, a);
  auto r2 = HCHTTPRequest::requestWithURL(server.url("/2"));
  runAsync(r2, b);
  EXPECT_EQ(b.count("finished"), 1);
  EXPECT_EQ(r2->responseString().value_or(""), "second");
  EXPECT_EQ(r2->retryCount(), 0) << "retryCount counts the time-out retries alone";
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(server.connectionCount(), 2);
  // Each start of a stream is told, the retry's too; the lost attempt fails nothing.
  EXPECT_EQ(b.count("started"), 2);
}

TEST_F(HCHTTPRequestTest, LostConnectionWithABodyIsNotSentAgain) {
  server.enqueue(ScriptedResponse::text(200, "first"));
  ScriptedResponse drop;
  drop.dropWithoutAnswer = true;
  server.enqueue(drop);
  server.enqueue(ScriptedResponse::text(200, "must not be asked"));
  Recorder a, b;
  auto r1 = HCHTTPRequest::requestWithURL(server.url("/1"));
  runAsync(r1, a);
  auto r2 = HCHTTPRequest::requestWithURL(server.url("/2"));
  r2->appendPostData(Data{'p', 'a', 'y'});
  r2->setShouldAttemptPersistentConnection(true);  // a body normally turns reuse off
  runAsync(r2, b);
  EXPECT_EQ(b.count("failed"), 1);
  EXPECT_EQ(errorCode(*r2), 1);
  EXPECT_EQ(server.requests().size(), 2u);
}

// The lost-connection retry is allowed once per hop of a redirect chain, and
// a time-out retry does not use it up: a server that closes kept connections
// must not make redirect chains fail at random.
TEST_F(HCHTTPRequestTest, LostConnectionRetryOncePerRedirectHop) {
  for (bool timeoutFirst : {false, true}) {
    TestHTTPServer s;
    s.enqueue(ScriptedResponse::text(200, "warm"));
    ScriptedResponse lost;
    lost.dropWithoutAnswer = true;
    ScriptedResponse silent;
    silent.silent = true;
    s.enqueue(timeoutFirst ? silent : lost);
    ScriptedResponse redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", "/b"}};
    s.enqueue(redirect);
    s.enqueue(lost);
    s.enqueue(ScriptedResponse::text(200, "end"));
    Recorder a, b;
    auto r1 = HCHTTPRequest::requestWithURL(s.url("/1"));
    runAsync(r1, a);
    auto r2 = HCHTTPRequest::requestWithURL(s.url("/a"));
    r2->setTimeOutSeconds(0.3);
    r2->setNumberOfTimesToRetryOnTimeout(1);
    runAsync(r2, b);
    EXPECT_EQ(b.count("finished"), 1) << "time-out first " << timeoutFirst << ": " << errorText(*r2);
    EXPECT_EQ(r2->responseString().value_or(""), "end");
    EXPECT_EQ(s.requests().size(), 5u);
    EXPECT_EQ(r2->retryCount(), timeoutFirst ? 1 : 0);
  }
}

// --- the error table, reached by real faults ----------------------------------------------------

TEST_F(HCHTTPRequestTest, ConnectionFailuresAreCodeOne) {
  const auto& certs = qvtest::TestCertificates::shared();
  TestHTTPServer::Options tlsOptions;
  tlsOptions.tls = true;
  tlsOptions.certificate = certs.selfSigned;
  TestHTTPServer tls(tlsOptions);
  tls.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "tls"); });

  struct Row {
    std::string url;
    const char* description;
  } rows[] = {
      {plat::format("http://127.0.0.1:%d/", closedPort()), "A connection failure occurred"},
      {"http://no-such-host.invalid/", "A connection failure occurred"},
      {tls.url("/"),
       "A connection failure occurred: SSL problem (Possible causes may include a bad/expired/self-signed certificate, "
       "clock set to wrong date)"},
  };
  const char* sslText =
      "A connection failure occurred: SSL problem (Possible causes may include a bad/expired/self-signed certificate, "
      "clock set to wrong date)";
  TestHTTPServer::Options expiredOptions = tlsOptions, wrongHostOptions = tlsOptions;
  expiredOptions.certificate = certs.expired;
  wrongHostOptions.certificate = certs.wrongHost;
  TestHTTPServer expired(expiredOptions), wrongHost(wrongHostOptions);
  for (const auto& row : rows) {
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(row.url);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("failed"), 1) << row.url;
    ASSERT_TRUE(r->error()) << row.url;
    EXPECT_EQ(r->error()->domain(), "HCHTTPRequestErrorDomain");
    EXPECT_EQ(r->error()->code(), 1) << row.url;
    EXPECT_EQ(r->error()->localizedDescription(), row.description) << row.url;
    EXPECT_TRUE(r->error()->underlyingError()) << row.url;
  }
  // Signed by the CA the request trusts, and still refused.
  for (TestHTTPServer* bad : {&expired, &wrongHost}) {
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(bad->url("/"));
    r->setTrustedCertificatesPEM(certs.ca.certificatePEM);
    runAsync(r, rec);
    EXPECT_EQ(errorCode(*r), 1);
    EXPECT_EQ(errorText(*r), sslText);
  }
  // The same self-signed server is taken when checking is off.
  auto lax = HCHTTPRequest::requestWithURL(tls.url("/"));
  lax->setValidatesSecureCertificate(false);
  lax->startSynchronous();
  EXPECT_FALSE(lax->error());
  EXPECT_EQ(lax->responseString().value_or(""), "tls");
}

TEST_F(HCHTTPRequestTest, HTTPSWithTheTrustedCA) {
  const auto& certs = qvtest::TestCertificates::shared();
  TestHTTPServer::Options o;
  o.tls = true;
  o.certificate = certs.server;
  TestHTTPServer tls(o);
  tls.enqueue(ScriptedResponse::text(200, "secure"));
  auto r = HCHTTPRequest::requestWithURL(tls.url("/"));
  r->setTrustedCertificatesPEM(certs.ca.certificatePEM);
  r->startSynchronous();
  EXPECT_FALSE(r->error());
  EXPECT_EQ(r->responseString().value_or(""), "secure");
}

TEST_F(HCHTTPRequestTest, RequestsThatCantBeMadeOrStarted) {
  struct Row {
    std::optional<plat::URL> url;
    long code;
    const char* text;
    std::vector<std::string> events;
  } rows[] = {
      {std::nullopt, 5, "Unable to create request (bad url?)", {"failed"}},
      // Started is told before the stream is opened.
      {plat::URL::parse("ftp://127.0.0.1/file"), 6, "Unable to start HTTP connection", {"started", "failed"}},
  };
  for (const auto& row : rows) {
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(row.url);
    runAsync(r, rec);
    EXPECT_EQ(rec.events, row.events) << row.code;
    EXPECT_EQ(errorCode(*r), row.code);
    EXPECT_EQ(errorText(*r), row.text);
  }
  // A header that would split the request never goes out.
  Recorder rec;
  auto split = HCHTTPRequest::requestWithURL(server.url("/"));
  split->addRequestHeader("X-Note", "a\r\nX-Injected: 1");
  runAsync(split, rec);
  EXPECT_EQ(errorCode(*split), 5);
  EXPECT_EQ(server.requests().size(), 0u);
}

// What the caller gave that can't be sent as given fails the request, and
// nothing reaches the server: a length that is no 64-bit decimal number,
// SOCKS5 fields past their one-byte length, a body file that can't be read
// or written.
TEST_F(HCHTTPRequestTest, WhatCantBeSentAsGivenFailsTheRequest) {
  qvtest::TestProxy socks({.kind = qvtest::TestProxy::Kind::SOCKS5});
  std::string missing = plat::format("/tmp/hchttp-no-such-%d", getpid());
  struct Row {
    const char* what;
    std::function<void(HCHTTPRequest&)> set;
    long code;
  } rows[] = {
      {"20-digit Content-Length", [](HCHTTPRequest& r) { r.addRequestHeader("Content-Length", "18446744073709551616"); }, 6},
      {"Content-Length with a byte over 0x7f", [](HCHTTPRequest& r) { r.addRequestHeader("Content-Length", "1\xb2"); }, 6},
      {"SOCKS5 user name of 256 bytes",
       [&](HCHTTPRequest& r) {
         r.setProxyHost(std::string("127.0.0.1"));
         r.setProxyPort(socks.port());
         r.setProxyType(std::string(kHCProxyTypeSOCKS));
         r.setProxyUsername(std::string(256, 'u'));
         r.setProxyPassword(std::string("p"));
       },
       6},
      {"SOCKS5 password of 256 bytes",
       [&](HCHTTPRequest& r) {
         r.setProxyHost(std::string("127.0.0.1"));
         r.setProxyPort(socks.port());
         r.setProxyType(std::string(kHCProxyTypeSOCKS));
         r.setProxyUsername(std::string("u"));
         r.setProxyPassword(std::string(256, 'p'));
       },
       6},
      {"appended from a missing file", [&](HCHTTPRequest& r) { r.appendPostDataFromFile(missing); }, 8},
      {"streamed body file that can't be made",
       [&](HCHTTPRequest& r) {
         r.setShouldStreamPostDataFromDisk(true);
         r.setPostBodyFilePath(missing + "/body");
         r.appendPostData(Data{'a'});
       },
       8},
      {"streamed body file that is gone",
       [&](HCHTTPRequest& r) {
         r.setShouldStreamPostDataFromDisk(true);
         r.setPostBodyFilePath(missing);
       },
       8},
  };
  for (const auto& row : rows) {
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(server.url("/"));
    row.set(*r);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("failed"), 1) << row.what;
    EXPECT_EQ(errorCode(*r), row.code) << row.what << ": " << errorText(*r);
  }
  EXPECT_EQ(server.requests().size(), 0u);
  EXPECT_TRUE(socks.log().empty());
}

// A request runs on the network thread and reports later: one that nothing
// shares can never be reached again, so starting it is refused out loud.
TEST_F(HCHTTPRequestTest, StartingARequestNobodySharesThrows) {
  HCHTTPRequest alone(plat::URL::parse(server.url("/")));
  EXPECT_THROW(alone.startAsynchronous(), plat::Exception);
  EXPECT_THROW(alone.start(), plat::Exception);
  EXPECT_FALSE(alone.isExecuting());
  EXPECT_EQ(server.requests().size(), 0u);
}

TEST_F(HCHTTPRequestTest, BodiesCutShortAreFailures) {
  std::string body = randomBytes(50000);
  std::string gz = qvtest::gzip(body);
  struct Row {
    const char* what;
    ScriptedResponse resp;
    long code;
  };
  std::vector<Row> rows;
  {
    ScriptedResponse r;
    r.body = body;
    r.closeAfterBytes = 20000;
    rows.push_back({"Content-Length not reached", r, 1});
  }
  {
    ScriptedResponse r;
    r.body = body;
    r.chunked = true;
    r.chunkSize = 4096;
    r.closeAfterBytes = 30000;
    rows.push_back({"chunking unfinished", r, 1});
  }
  {
    ScriptedResponse r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(gz.size() / 2) +
            "\r\n\r\n" + gz.substr(0, gz.size() / 2);
    rows.push_back({"gzip without its end", r, 11});
  }
  {
    ScriptedResponse r;
    r.raw = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 64\r\n\r\n" + randomBytes(64);
    rows.push_back({"not gzip at all", r, 11});
  }
  for (auto& row : rows) {
    for (int way = 0; way < 3; ++way) {  // to the data callback, to memory, to a file
      TestHTTPServer s;
      s.enqueue(row.resp);
      Recorder rec;
      rec.takesData = way == 0;
      std::string dest = plat::format("/tmp/hchttp-cut-%d", getpid());
      {
        std::ofstream f(dest);
        f << "previous";
      }
      auto r = HCHTTPRequest::requestWithURL(s.url("/"));
      if (way == 2) r->setDownloadDestinationPath(dest);
      runAsync(r, rec);
      EXPECT_EQ(rec.count("failed"), 1) << row.what << " way " << way;
      EXPECT_EQ(rec.count("finished"), 0) << row.what << " way " << way;
      EXPECT_EQ(errorCode(*r), row.code) << row.what << " way " << way;
      EXPECT_EQ(readWholeFile(dest), "previous") << row.what << " way " << way;
      if (auto tmp = r->temporaryFileDownloadPath()) {
        EXPECT_FALSE(exists(*tmp));
      }
      ::unlink(dest.c_str());
    }
  }
}

// A folder at the destination is the user's, with all it holds: the download
// fails with a clear error and leaves it as it was, compressed or not.
TEST_F(HCHTTPRequestTest, AFolderAtTheDestinationStaysAndTheDownloadFails) {
  for (bool gz : {false, true}) {
    std::string dest = plat::format("/tmp/hchttp-folder-%d", getpid());
    ::mkdir(dest.c_str(), 0700);
    {
      std::ofstream f(dest + "/inside");
      f << "x";
    }
    ScriptedResponse resp = ScriptedResponse::text(200, "file now");
    resp.gzip = gz;
    server.enqueue(resp);
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(server.url("/"));
    r->setDownloadDestinationPath(dest);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("failed"), 1) << gz;
    EXPECT_EQ(errorCode(*r), 8);
    EXPECT_NE(errorText(*r).find("a folder is there"), std::string::npos) << errorText(*r);
    EXPECT_TRUE(plat::isDirectory(dest));
    EXPECT_EQ(readWholeFile(dest + "/inside"), "x");
    for (const auto& tmp : {r->temporaryFileDownloadPath(), r->temporaryUncompressedDataDownloadPath()})
      if (tmp) ::unlink(tmp->c_str());
    plat::removeTree(dest);
  }
}

// An empty body is the new contents of the file, like any other body.
TEST_F(HCHTTPRequestTest, AnEmptyBodyReplacesTheOldFile) {
  struct Row {
    const char* what;
    bool chunked;
    bool contentLength;
    bool gzipLabel = false;
  } rows[] = {{"Content-Length: 0", false, true},
              {"empty chunked", true, true},
              {"close-delimited", false, false},
              // Some servers label even an empty body gzip: it is still empty.
              {"labelled gzip", false, true, true}};
  for (const auto& row : rows) {
    std::string dest = plat::format("/tmp/hchttp-empty-%d", getpid());
    {
      std::ofstream f(dest);
      f << "old contents";
    }
    ScriptedResponse resp = ScriptedResponse::text(200, "");
    resp.chunked = row.chunked;
    resp.contentLength = row.contentLength;
    resp.close = !row.contentLength;
    if (row.gzipLabel) resp.headers = {{"Content-Encoding", "gzip"}};
    server.enqueue(resp);
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(server.url("/empty"));
    r->setDownloadDestinationPath(dest);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("finished"), 1) << row.what;
    EXPECT_TRUE(exists(dest)) << row.what;
    EXPECT_EQ(readWholeFile(dest), "") << row.what;
    ::unlink(dest.c_str());
  }
}

TEST_F(HCHTTPRequestTest, DownloadMovesIntoPlaceAcrossFileSystems) {
  struct stat shm{}, tmp{};
  if (::stat("/dev/shm", &shm) != 0 || ::stat("/tmp", &tmp) != 0 || shm.st_dev == tmp.st_dev) {
    GTEST_SKIP() << "needs /dev/shm and /tmp on different file systems";
  }
  std::string old = getenv("TMPDIR") ? getenv("TMPDIR") : "";
  setenv("TMPDIR", "/dev/shm", 1);
  std::string payload = randomBytes(300000, 11);
  ScriptedResponse resp;
  resp.body = payload;
  server.enqueue(resp);
  std::string dest = plat::format("/tmp/hchttp-xdev-%d", getpid());
  {
    std::ofstream f(dest);
    f << "old";
  }
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setDownloadDestinationPath(dest);
  r->startSynchronous();
  if (old.empty()) {
    unsetenv("TMPDIR");
  } else {
    setenv("TMPDIR", old.c_str(), 1);
  }
  EXPECT_FALSE(r->error());
  EXPECT_TRUE(readWholeFile(dest) == payload);
  ::unlink(dest.c_str());
}

TEST_F(HCHTTPRequestTest, ADestinationThatCantBeReachedIsAFileError) {
  server.enqueue(ScriptedResponse::text(200, "body"));
  Recorder rec;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  std::string dest = plat::format("/tmp/hchttp-no-such-dir-%d/file", getpid());
  r->setDownloadDestinationPath(dest);
  runAsync(r, rec);
  EXPECT_EQ(rec.count("failed"), 1);
  EXPECT_EQ(errorCode(*r), 8);
  EXPECT_EQ(errorText(*r).rfind("Failed to move file from '", 0), 0u) << errorText(*r);
  ASSERT_TRUE(r->error()->underlyingError());
  // The download itself is kept where it lies.
  ASSERT_TRUE(r->temporaryFileDownloadPath().has_value());
  EXPECT_EQ(readWholeFile(*r->temporaryFileDownloadPath()), "body");
  ::unlink(r->temporaryFileDownloadPath()->c_str());
}

TEST_F(HCHTTPRequestTest, StatusCodesOfAnyKindFinish) {
  for (int status : {200, 404, 500}) {
    server.enqueue(ScriptedResponse::text(status, "page " + std::to_string(status)));
    Recorder rec;
    auto r = HCHTTPRequest::requestWithURL(server.url("/"));
    runAsync(r, rec);
    EXPECT_EQ(rec.count("finished"), 1);
    EXPECT_EQ(r->responseStatusCode(), status);
    EXPECT_EQ(r->responseString().value_or(""), "page " + std::to_string(status));
  }
}

TEST_F(HCHTTPRequestTest, AuthenticationChallenge) {
  ScriptedResponse challenge = ScriptedResponse::text(401, "who are you");
  challenge.headers = {{"WWW-Authenticate", "Basic realm=\"q\""}};
  server.enqueue(challenge);
  Recorder rec;
  auto anonymous = HCHTTPRequest::requestWithURL(server.url("/"));
  runAsync(anonymous, rec);
  EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "headers", "failed"}));
  EXPECT_EQ(errorCode(*anonymous), 3);
  EXPECT_EQ(errorText(*anonymous), "Authentication needed");
  EXPECT_EQ(anonymous->authenticationNeeded(), 0);

  server.enqueue(challenge);
  server.setHandler([](const qvtest::RecordedRequest& r) {
    return ScriptedResponse::text(200, r.header("Authorization").value_or("none"));
  });
  Recorder rec2;
  auto named = HCHTTPRequest::requestWithURL(server.url("/"));
  named->setUsername(std::string("user"));
  named->setPassword(std::string("pw"));
  runAsync(named, rec2);
  EXPECT_EQ(rec2.count("finished"), 1);
  EXPECT_EQ(named->responseString().value_or(""), "Basic dXNlcjpwdw==");
}

// --- response headers, encodings, gzip ---------------------------------------------------------

TEST_F(HCHTTPRequestTest, ResponseHeadersMatchWithoutRegardToCase) {
  ScriptedResponse resp = ScriptedResponse::text(200, "caf\xc3\xa9");
  resp.headers = {{"content-type", "text/plain; charset=UTF-8"}};
  server.enqueue(resp);
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->startSynchronous();
  EXPECT_EQ(r->responseHeader("Content-Type").value_or(""), "text/plain; charset=UTF-8");
  EXPECT_EQ(r->responseHeader("CONTENT-LENGTH").value_or(""), "5");
  EXPECT_EQ(r->responseEncoding(), HCUTF8StringEncoding);
  EXPECT_EQ(r->responseString().value_or(""), "caf\xc3\xa9");
  EXPECT_EQ(r->contentLength(), 5u);
  EXPECT_EQ(r->responseStatusMessage().value_or(""), "HTTP/1.1 200 OK");

  ScriptedResponse latin = ScriptedResponse::text(200, "caf\xe9");
  server.enqueue(latin);
  auto l = HCHTTPRequest::requestWithURL(server.url("/"));
  l->startSynchronous();
  EXPECT_EQ(l->responseEncoding(), HCISOLatin1StringEncoding);
  EXPECT_EQ(l->responseString().value_or(""), "caf\xc3\xa9");
}

TEST_F(HCHTTPRequestTest, KeepAliveDecidesWhetherTheConnectionIsKept) {
  struct Row {
    std::vector<std::pair<std::string, std::string>> headers;
    bool http10;
    bool reusable;
    double timeout;
  } rows[] = {
      {{}, false, true, 60},
      {{{"Connection", "CLOSE"}}, false, false, 60},
      {{}, true, false, 60},
      {{{"Connection", "keep-alive"}}, true, true, 60},
      {{{"Keep-Alive", "timeout=15, max=100"}}, false, true, 15},
      {{{"Keep-Alive", "timeout=15, max=5"}}, false, false, 60},
      {{{"Keep-Alive", "max=100"}}, false, true, 0},
      {{{"Keep-Alive", "timeout=15"}}, false, false, 60},
  };
  for (const auto& row : rows) {
    TestHTTPServer s;
    std::string head = std::string(row.http10 ? "HTTP/1.0" : "HTTP/1.1") + " 200 OK\r\nContent-Length: 2\r\n";
    for (const auto& [k, v] : row.headers) head += k + ": " + v + "\r\n";
    ScriptedResponse resp;
    resp.raw = head + "\r\nok";
    s.enqueue(resp);
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    r->startSynchronous();
    EXPECT_FALSE(r->error());
    EXPECT_EQ(r->connectionCanBeReused(), row.reusable) << head;
    EXPECT_EQ(r->persistentConnectionTimeoutSeconds(), row.timeout) << head;
  }
}

TEST_F(HCHTTPRequestTest, GzipBodiesAreInflated) {
  std::string body;
  for (int i = 0; i < 20000; ++i) body += "line " + std::to_string(i) + "\n";
  struct Row {
    const char* what;
    bool dataCallback;
    bool toFile;
    bool waitToInflate;
  } rows[] = {
      {"data callback", true, false, true},  {"memory, at the end", false, false, true},
      {"memory, on the fly", false, false, false}, {"file, at the end", false, true, true},
      {"file, on the fly", false, true, false},
  };
  for (const auto& row : rows) {
    TestHTTPServer s;
    ScriptedResponse resp = ScriptedResponse::text(200, body);
    resp.gzip = true;
    resp.chunked = true;
    resp.chunkSize = 3000;
    s.enqueue(resp);
    Recorder rec;
    rec.takesData = row.dataCallback;
    std::string dest = plat::format("/tmp/hchttp-gz-%d", getpid());
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    r->setShouldWaitToInflateCompressedResponses(row.waitToInflate);
    if (row.toFile) r->setDownloadDestinationPath(dest);
    runAsync(r, rec);
    EXPECT_EQ(rec.count("finished"), 1) << row.what;
    EXPECT_TRUE(r->isResponseCompressed());
    if (row.dataCallback) {
      EXPECT_TRUE(rec.body == body) << row.what;
    } else if (row.toFile) {
      EXPECT_TRUE(readWholeFile(dest) == body) << row.what;
      EXPECT_FALSE(r->temporaryFileDownloadPath().has_value()) << row.what;
      EXPECT_FALSE(r->temporaryUncompressedDataDownloadPath().has_value()) << row.what;
      ::unlink(dest.c_str());
    } else {
      EXPECT_TRUE(r->responseString().value_or("") == body) << row.what;
    }
    EXPECT_LT(r->totalBytesRead(), body.size()) << "raw bytes count, not inflated ones";
  }
}

// A compressed body inflates only so far: past the caller's limit, or by
// default a multiple of its wire size (a fixed cap for memory bodies), the
// request fails with a clear error, in memory, on disk or to the callbacks.
TEST_F(HCHTTPRequestTest, InflationIsBounded) {
  const std::string zeros(16 << 20, '\0');  // some 16 KiB on the wire
  struct Row {
    const char* what;
    bool dataCallback, toFile, waitToInflate;
    unsigned long long limit, memoryCap;
    bool fails;
  } rows[] = {
      {"file, at the end, default", false, true, true, 0, kHCDefaultMaxResponseDataSize, true},
      {"file, on the fly, default", false, true, false, 0, kHCDefaultMaxResponseDataSize, true},
      {"callbacks, default", true, false, true, 0, kHCDefaultMaxResponseDataSize, true},
      {"memory, at the end, small cap", false, false, true, 0, 4 << 20, true},
      {"memory, on the fly, small cap", false, false, false, 0, 4 << 20, true},
      {"memory, default cap", false, false, true, 0, kHCDefaultMaxResponseDataSize, false},
      {"file, the caller's larger limit", false, true, true, 32 << 20, kHCDefaultMaxResponseDataSize, false},
      {"callbacks, the caller's larger limit", true, false, false, 32 << 20, kHCDefaultMaxResponseDataSize, false},
      {"memory, the caller's smaller limit", false, false, true, 1 << 20, kHCDefaultMaxResponseDataSize, true},
  };
  for (const auto& row : rows) {
    TestHTTPServer s;
    ScriptedResponse resp;
    resp.body = zeros;
    resp.gzip = true;
    s.enqueue(resp);
    Recorder rec;
    rec.takesData = row.dataCallback;
    std::string dest = plat::format("/tmp/hchttp-bomb-%d", getpid());
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    r->setShouldWaitToInflateCompressedResponses(row.waitToInflate);
    r->setMaxInflatedResponseSize(row.limit);
    r->setMaxResponseDataSize(row.memoryCap);
    if (row.toFile) r->setDownloadDestinationPath(dest);
    runAsync(r, rec);
    if (row.fails) {
      EXPECT_EQ(rec.count("failed"), 1) << row.what;
      EXPECT_EQ(errorCode(*r), 11) << row.what << ": " << errorText(*r);
      EXPECT_NE(errorText(*r).find("inflates past its limit"), std::string::npos) << errorText(*r);
      EXPECT_FALSE(exists(dest)) << row.what;
      EXPECT_LT(rec.body.size(), zeros.size()) << row.what;
    } else {
      EXPECT_EQ(rec.count("finished"), 1) << row.what << ": " << errorText(*r);
      if (row.dataCallback) {
        EXPECT_EQ(rec.body.size(), zeros.size()) << row.what;
      }
      if (row.toFile) {
        EXPECT_EQ(plat::fileSize(dest).value_or(0), zeros.size()) << row.what;
      }
      if (!row.dataCallback && !row.toFile) {
        EXPECT_EQ(r->responseData()->size(), zeros.size()) << row.what;
      }
    }
    EXPECT_LE(rec.largestChunk, HCDataDecompressor::kPieceSize) << row.what;
    for (const auto& tmp : {r->temporaryFileDownloadPath(), r->temporaryUncompressedDataDownloadPath()})
      if (tmp) {
        EXPECT_FALSE(exists(*tmp)) << row.what;
      }
    ::unlink(dest.c_str());
  }
  // A plain body kept in memory has its cap too.
  server.enqueue(ScriptedResponse::text(200, std::string(5000, 'x')));
  Recorder rec;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setMaxResponseDataSize(4096);
  runAsync(r, rec);
  EXPECT_EQ(rec.count("failed"), 1);
  EXPECT_EQ(errorCode(*r), 12);
}

// A request body streamed from disk goes out gzipped when compression is
// asked for, as the header says; so does one from memory.
TEST_F(HCHTTPRequestTest, CompressedRequestBodiesAreCompressed) {
  std::string payload;
  for (int i = 0; i < 50000; ++i) payload += "row " + std::to_string(i) + "\n";
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "ok"); });
  for (bool fromDisk : {false, true}) {
    auto r = HCHTTPRequest::requestWithURL(server.url("/up"));
    r->setShouldCompressRequestBody(true);
    r->setShouldStreamPostDataFromDisk(fromDisk);
    r->appendPostData(Data(payload.begin(), payload.end()));
    r->startSynchronous();
    EXPECT_FALSE(r->error()) << fromDisk;
    auto reqs = server.requests();
    ASSERT_FALSE(reqs.empty());
    const auto& got = reqs.back();
    EXPECT_EQ(got.header("Content-Encoding").value_or(""), "gzip") << fromDisk;
    EXPECT_LT(got.body.size(), payload.size() / 4) << fromDisk;
    EXPECT_TRUE(qvtest::gunzip(got.body) == payload) << fromDisk;
    EXPECT_EQ(got.header("Content-Length").value_or(""), std::to_string(got.body.size()));
    if (fromDisk) {
      EXPECT_FALSE(r->postBodyFilePath().has_value()) << "the temporary body files go away";
    }
  }
}

// An exception inside a stream callback (here a delegate asked on the
// network thread) or a delivery callback (the delegate's data callback on
// the main thread) fails the exchange: it never ends as a success with a
// hole in its body, nor stays running.
TEST_F(HCHTTPRequestTest, AnExceptionInACallbackFailsTheExchange) {
  struct Thrower : Recorder {
    bool onNetworkThread = false;
    bool respondsToSelector(HCSelector s) const override {
      if (s == HCSelector::requestDidReceiveData && onNetworkThread && !plat::MainThread::isMainThread())
        throw std::runtime_error("asked at a bad moment");
      return Recorder::respondsToSelector(s);
    }
  };
  for (bool onNetworkThread : {true, false}) {
    for (bool inMemory : {true, false}) {
      TestHTTPServer s;
      ScriptedResponse resp = ScriptedResponse::text(200, randomBytes(300000));
      resp.chunked = true;
      resp.chunkSize = 20000;
      s.enqueue(resp);
      Thrower rec;
      rec.onNetworkThread = onNetworkThread;
      rec.takesData = !inMemory || !onNetworkThread;
      if (!onNetworkThread) rec.onFirstData = [](HCHTTPRequest&) { throw std::runtime_error("the delegate gave up"); };
      auto r = HCHTTPRequest::requestWithURL(s.url("/"));
      runAsync(r, rec);
      EXPECT_EQ(rec.count("failed"), 1) << onNetworkThread << inMemory;
      EXPECT_EQ(rec.count("finished"), 0) << onNetworkThread << inMemory;
      EXPECT_EQ(errorCode(*r), 10) << errorText(*r);
      EXPECT_TRUE(r->isFinished());
      if (!onNetworkThread) {
        EXPECT_EQ(rec.dataCalls, 1) << "nothing handed over after the throw";
      }
    }
  }
}

// A main thread that falls behind stops the network thread from reading
// that request: the chunks waiting for it stay bounded, the wait is no
// time-out, and every byte arrives once the main thread catches up.
TEST_F(HCHTTPRequestTest, ASlowMainThreadHoldsBackTheReading) {
  std::string body(16 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 + i / 4099);
  ScriptedResponse resp;
  resp.body = body;
  server.enqueue(resp);
  Recorder rec;
  rec.takesData = true;
  auto r = HCHTTPRequest::requestWithURL(server.url("/big"));
  // Generous, so that a loaded machine's slow start is no time-out.
  r->setTimeOutSeconds(3);
  r->setDelegate(&rec);
  r->startAsynchronous();
  ASSERT_TRUE(pumpUntil([&] { return rec.count("headers") == 1; })) << errorText(*r);
  // Then the main thread sleeps (real time) past the time-out.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  // What was read but not yet handed over stays within the limit (and one read).
  EXPECT_LE(r->totalBytesRead() - rec.body.size(), kHCMaxPendingDeliveryBytes + 262144);
  ASSERT_TRUE(pumpUntil([&] { return rec.ended() && r->isFinished(); }));
  EXPECT_EQ(rec.count("finished"), 1) << errorText(*r);
  EXPECT_TRUE(rec.body == body);
}

// Progress taken back (a retried upload) never reaches the byte block as a
// huge unsigned number.
TEST_F(HCHTTPRequestTest, NegativeProgressNeverReachesTheByteBlocks) {
  ScriptedResponse silent;
  silent.silent = true;
  server.enqueue(silent);
  server.enqueue(ScriptedResponse::text(200, "took it"));
  std::vector<unsigned long long> sent;
  auto r = HCHTTPRequest::requestWithURL(server.url("/up"));
  std::string payload = randomBytes(600000, 9);
  r->appendPostData(Data(payload.begin(), payload.end()));
  r->setTimeOutSeconds(0.3);
  r->setNumberOfTimesToRetryOnTimeout(1);
  r->setBytesSentBlock([&](unsigned long long size, unsigned long long) { sent.push_back(size); });
  Recorder rec;
  runAsync(r, rec);
  EXPECT_EQ(rec.count("finished"), 1) << errorText(*r);
  ASSERT_FALSE(sent.empty());
  for (auto v : sent) {
    EXPECT_LE(v, payload.size());
  }
}

TEST_F(HCHTTPRequestTest, ResponseCookiesAreStoredAndSentAgain) {
  ScriptedResponse set = ScriptedResponse::text(200, "set");
  set.headers = {{"Set-Cookie", "sid=abc; Path=/"}, {"Set-Cookie", "theme=dark; Expires=Wed, 09 Jun 2100 10:18:14 GMT"}};
  server.enqueue(set);
  server.enqueue(ScriptedResponse::text(200, "again"));
  auto first = HCHTTPRequest::requestWithURL(server.url("/"));
  first->startSynchronous();
  ASSERT_EQ(first->responseCookies().size(), 2u);
  EXPECT_EQ(first->responseCookies()[0].name, "sid");
  auto second = HCHTTPRequest::requestWithURL(server.url("/x"));
  second->startSynchronous();
  EXPECT_EQ(server.requests()[1].header("Cookie").value_or(""), "sid=abc; theme=dark");
}

// --- the shared network thread and queue -------------------------------------------------------

TEST_F(HCHTTPRequestTest, AllAsynchronousRequestsShareOneNetworkThread) {
  std::shared_ptr<plat::RunLoop> seen[2];
  std::thread a = plat::startThread("a", [&] { seen[0] = HCHTTPRequest::threadForRequest(nullptr); });
  std::thread b = plat::startThread("b", [&] { seen[1] = HCHTTPRequest::threadForRequest(nullptr); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], HCHTTPRequest::threadForRequest(nullptr));
  EXPECT_EQ(HCHTTPRequest::sharedQueue().maxConcurrentOperationCount(), 4);
}

TEST_F(HCHTTPRequestTest, ManyRequestsThroughTheSharedQueue) {
  server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, r.target); });
  std::vector<std::shared_ptr<HCHTTPRequest>> reqs;
  std::vector<Recorder> recs(12);
  for (int i = 0; i < 12; ++i) {
    reqs.push_back(HCHTTPRequest::requestWithURL(server.url("/n" + std::to_string(i))));
    reqs.back()->setDelegate(&recs[static_cast<size_t>(i)]);
    reqs.back()->startAsynchronous();
  }
  ASSERT_TRUE(pumpUntil([&] {
    return std::all_of(recs.begin(), recs.end(), [](const Recorder& r) { return r.ended(); });
  }));
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(reqs[static_cast<size_t>(i)]->responseString().value_or(""), "/n" + std::to_string(i));
  }
  // Kept-alive connections: never more than the queue's width.
  EXPECT_LE(server.connectionCount(), 4);
  HCHTTPRequest::sharedQueue().waitUntilAllOperationsAreFinished();
}

TEST_F(HCHTTPRequestTest, ARequestThatFailedBeforeItRanFinishesAtOnce) {
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->failWithError(HCHTTPRequest::HCRequestCancelledError());
  Recorder rec;
  r->setDelegate(&rec);
  pumpUntil([] { return false; }, 0.05);
  r->startAsynchronous();
  ASSERT_TRUE(pumpUntil([&] { return r->isFinished(); }));
  EXPECT_EQ(server.requests().size(), 0u);
  EXPECT_EQ(rec.count("finished"), 0);
}

TEST_F(HCHTTPRequestTest, ReadLengthFollowsTheAnnouncedLength) {
  struct Row {
    size_t length;
    size_t largest;
  } rows[] = {{65536, 16384}, {65537, 65536}, {262144, 65536}, {262145, 262144}};
  for (const auto& row : rows) {
    TestHTTPServer s;
    ScriptedResponse resp;
    resp.body = randomBytes(row.length);
    resp.delayBeforeBody = 0.05;
    s.enqueue(resp);
    Recorder rec;
    rec.takesData = true;
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    runAsync(r, rec);
    EXPECT_EQ(rec.body.size(), row.length);
    EXPECT_LE(rec.largestChunk, row.largest) << row.length;
  }
}

// A resumed download appends a 206 only when its Content-Range starts where
// the held bytes stop; a 200, or a range from 0, starts the file again; any
// other start fails and keeps what is held for another try.
TEST_F(HCHTTPRequestTest, ResumedDownloadAppendsOnlyWhatTheServerSaysIsTheRest) {
  struct Row {
    const char* what;
    int status;
    const char* contentRange;
    const char* body;
    const char* expected;  // at the destination; nullptr: the request fails
  } rows[] = {
      {"the rest", 206, "bytes 11-22/23", "second half", "first half|second half"},
      {"a 200 is the whole body", 200, nullptr, "the whole body", "the whole body"},
      {"a 200 with a stray range", 200, "bytes 11-24/25", "the whole body", "the whole body"},
      {"a range from 0", 206, "bytes 0-13/14", "the whole body", "the whole body"},
      {"a range past the end", 206, "bytes 15-25/26", "later bytes", nullptr},
      {"a range before the end", 206, "bytes 5-22/23", "lf|second half", nullptr},
      {"no Content-Range", 206, nullptr, "second half", nullptr},
      {"a range that is no number", 206, "bytes x-22/23", "second half", nullptr},
  };
  for (const auto& row : rows) {
    TestHTTPServer s;
    ScriptedResponse resp;
    resp.status = row.status;
    if (row.contentRange) resp.headers = {{"Content-Range", row.contentRange}};
    resp.body = row.body;
    s.enqueue(resp);
    std::string tmp = plat::format("/tmp/hchttp-partial-%d", getpid());
    std::string dest = tmp + ".done";
    {
      std::ofstream f(tmp);
      f << "first half|";
    }
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    r->setAllowResumeForFileDownloads(true);
    r->setTemporaryFileDownloadPath(tmp);
    r->setDownloadDestinationPath(dest);
    r->startSynchronous();
    EXPECT_EQ(s.requests()[0].header("Range").value_or(""), "bytes=11-");
    if (row.expected) {
      EXPECT_FALSE(r->error()) << row.what;
      EXPECT_EQ(readWholeFile(dest), row.expected) << row.what;
      EXPECT_FALSE(exists(tmp));
    } else {
      EXPECT_EQ(errorCode(*r), 8) << row.what;
      EXPECT_NE(errorText(*r).find("does not continue the 11 bytes"), std::string::npos) << errorText(*r);
      EXPECT_FALSE(exists(dest)) << row.what;
      EXPECT_EQ(readWholeFile(tmp), "first half|") << row.what;
    }
    ::unlink(tmp.c_str());
    ::unlink(dest.c_str());
  }
}

// Progress as the receivers see it: sizes, byte increments, fractions.
class ProgressRecorder : public HCProgressDelegate {
public:
  long long bytes = 0, size = 0;
  int byteReports = 0, sizeReports = 0;
  std::vector<double> fractions;
  std::vector<double> maxValues;
  bool respondsToSetMaxValue() const override { return true; }
  void setMaxValue(double v) override { maxValues.push_back(v); }
  bool respondsToSetDoubleValue() const override { return true; }
  void setDoubleValue(double v) override { fractions.push_back(v); }
  void requestDidReceiveBytes(HCHTTPRequest&, long long n) override {
    EXPECT_GE(n, 0);  // progress never runs backwards
    bytes += n;
    ++byteReports;
  }
  void requestIncrementDownloadSizeBy(HCHTTPRequest&, long long n) override {
    size += n;
    ++sizeReports;
  }
};

TEST_F(HCHTTPRequestTest, ProgressAddsUpToTheBodyWithOrWithoutALength) {
  struct Row {
    bool chunked;
    long long expected;
  } rows[] = {{false, 300000}, {true, 1}};
  for (const auto& row : rows) {
    ScriptedResponse resp;
    resp.body = randomBytes(300000);
    resp.chunked = row.chunked;
    resp.chunkSize = 20000;
    server.enqueue(resp);
    ProgressRecorder p;
    long long blockBytes = 0;
    unsigned long long blockTotal = 0;
    auto r = HCHTTPRequest::requestWithURL(server.url("/p"));
    r->setDownloadProgressDelegate(&p);
    EXPECT_EQ(p.maxValues, std::vector<double>{1.0});  // at once on the main thread
    r->setBytesReceivedBlock([&](unsigned long long n, unsigned long long total) {
      blockBytes += static_cast<long long>(n);
      blockTotal = total;
    });
    Recorder rec;
    runAsync(r, rec);
    EXPECT_EQ(rec.count("finished"), 1);
    EXPECT_EQ(p.size, row.expected) << row.chunked;
    EXPECT_EQ(p.bytes, row.expected);
    EXPECT_EQ(blockBytes, row.expected);
    if (!row.chunked) {
      EXPECT_EQ(blockTotal, 300000u);
    } else {
      EXPECT_EQ(p.byteReports, 1);
    }
    ASSERT_FALSE(p.fractions.empty());
    EXPECT_DOUBLE_EQ(p.fractions.back(), 1.0);
    for (size_t i = 1; i < p.fractions.size(); ++i) {
      EXPECT_GE(p.fractions[i], p.fractions[i - 1]);
    }
  }
}

TEST_F(HCHTTPRequestTest, AProgressDelegateRemovedBeforeDeliveryGetsNothing) {
  server.enqueue(ScriptedResponse::text(200, std::string(5000, 'x')));
  ProgressRecorder p;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setDownloadProgressDelegate(&p);
  pumpUntil([&] { return !p.maxValues.empty(); });
  // Run on another thread while the main thread serves nothing: the reports wait.
  std::thread t([r] { r->startSynchronous(); });
  t.join();
  r->setDownloadProgressDelegate(nullptr);
  pumpUntil([] { return false; }, 0.1);
  EXPECT_EQ(p.bytes, 0);
  EXPECT_EQ(p.size, 0);
  EXPECT_TRUE(p.fractions.empty() || p.fractions == std::vector<double>{0.0});
}

TEST_F(HCHTTPRequestTest, AProgressReportOnTheMainThreadRunsUnderNoClassLock) {
  // A synchronous request on the main thread reports in line. Its receiver
  // waits for another thread that sets an indicator too: under a class-wide
  // lock held for the report, that thread could never get on.
  server.enqueue(ScriptedResponse::text(200, std::string(5000, 'x')));
  struct Waiter : ProgressRecorder {
    int reports = 0, stuck = 0;
    void requestDidReceiveBytes(HCHTTPRequest& r, long long n) override {
      ProgressRecorder::requestDidReceiveBytes(r, n);
      ++reports;
      static ProgressRecorder other;  // its report comes to the main thread later
      auto done = std::make_shared<std::promise<void>>();
      auto got = done->get_future();
      std::thread([done] {
        HCHTTPRequest::updateProgressIndicator(&other, 1, 2);
        done->set_value();
      }).detach();
      // Loose bound: it gets on at once, or never.
      if (got.wait_for(std::chrono::seconds(30)) != std::future_status::ready) ++stuck;
    }
  } p;
  auto r = HCHTTPRequest::requestWithURL(server.url("/"));
  r->setDownloadProgressDelegate(&p);
  r->startSynchronous();
  EXPECT_FALSE(r->error());
  EXPECT_GE(p.reports, 1);
  EXPECT_EQ(p.stuck, 0);
  EXPECT_EQ(p.bytes, 5000);
  r->setDownloadProgressDelegate(nullptr);
}

TEST_F(HCHTTPRequestTest, RequestsInTurnReuseOneConnectionUntilItExpires) {
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "ok"); });
  Recorder a, b, c;
  auto r1 = HCHTTPRequest::requestWithURL(server.url("/1"));
  runAsync(r1, a);
  auto r2 = HCHTTPRequest::requestWithURL(server.url("/2"));
  runAsync(r2, b);
  EXPECT_EQ(server.connectionCount(), 1);
  ASSERT_TRUE(r1->connectionID() && r2->connectionID());
  EXPECT_EQ(*r1->connectionID(), *r2->connectionID());
  // An idle record whose time is up is closed and dropped by the next start.
  auto r3 = HCHTTPRequest::requestWithURL(server.url("/3"));
  r3->setPersistentConnectionTimeoutSeconds(0);
  runAsync(r3, c);
  EXPECT_EQ(server.connectionCount(), 1);
  auto before = HCHTTPRequest::persistentConnections();
  bool idleHere = false;
  for (const auto& rec : before) idleHere |= rec.port == server.port() && !rec.request && rec.id == *r3->connectionID();
  EXPECT_TRUE(idleHere);
  ASSERT_EQ(server.openConnectionCount(), 1);
  HCHTTPRequest::expirePersistentConnections();
  for (const auto& rec : HCHTTPRequest::persistentConnections()) {
    EXPECT_NE(rec.id, *r3->connectionID());
  }
  // Its socket went with it: the server sees the connection end.
  for (int i = 0; i < 500 && server.openConnectionCount() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.openConnectionCount(), 0);
  // Its successor can't have it: a new connection.
  Recorder d;
  auto r4 = HCHTTPRequest::requestWithURL(server.url("/4"));
  runAsync(r4, d);
  EXPECT_EQ(server.connectionCount(), 2);
  EXPECT_NE(*r4->connectionID(), *r3->connectionID());
}

TEST_F(HCHTTPRequestTest, AConnectionIsReusedOnlyTheWayItWasReached) {
  struct Row {
    qvtest::TestProxy::Kind kind;
    const char* type;
  } rows[] = {{qvtest::TestProxy::Kind::HTTP, kHCProxyTypeHTTP}, {qvtest::TestProxy::Kind::SOCKS5, kHCProxyTypeSOCKS}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    HCHTTPRequest::expirePersistentConnections();
    TestHTTPServer origin;
    origin.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "ok"); });
    qvtest::TestProxy proxy({row.kind});
    auto run = [&](bool viaProxy) {
      auto r = HCHTTPRequest::requestWithURL(origin.url("/x"));
      if (viaProxy) {
        r->setProxyHost(std::string("127.0.0.1"));
        r->setProxyPort(proxy.port());
        r->setProxyType(std::string(row.type));
      }
      Recorder rec;
      runAsync(r, rec);
      EXPECT_EQ(rec.count("finished"), 1);
      EXPECT_TRUE(r->connectionID());
      return r->connectionID().value_or(-1);
    };
    const int64_t direct = run(false);
    const int64_t proxied = run(true);
    EXPECT_NE(proxied, direct) << "the direct connection's record is not taken through the proxy";
    EXPECT_EQ(run(true), proxied);
    EXPECT_EQ(run(false), direct) << "nor the proxy's for a direct request";
    EXPECT_EQ(proxy.connectionCount(), 1);
    EXPECT_EQ(origin.connectionCount(), 2);  // ours, and the proxy's on our behalf
    for (const auto& rec : HCHTTPRequest::persistentConnections()) {
      if (rec.id == direct) {
        EXPECT_EQ(rec.proxy, "");
      } else if (rec.id == proxied) {
        EXPECT_NE(rec.proxy.find(std::to_string(proxy.port())), std::string::npos) << rec.proxy;
      }
    }
  }
}

TEST_F(HCHTTPRequestTest, TimeOutRetryLeavesNoRecordOrSocketBehind) {
  ScriptedResponse silent;
  silent.silent = true;
  server.enqueue(silent);
  server.enqueue(ScriptedResponse::text(200, "second try"));
  auto r = HCHTTPRequest::requestWithURL(server.url("/t"));
  r->setTimeOutSeconds(0.3);
  r->setNumberOfTimesToRetryOnTimeout(1);
  Recorder rec;
  runAsync(r, rec);
  EXPECT_EQ(rec.count("finished"), 1);
  EXPECT_EQ(r->responseString().value_or(""), "second try");
  EXPECT_EQ(server.connectionCount(), 2);
  int records = 0;
  for (const auto& c : HCHTTPRequest::persistentConnections()) records += c.port == server.port();
  EXPECT_EQ(records, 1);  // only the connection that answered
}

TEST_F(HCHTTPRequestTest, DownloadCutAtHalfResumesFromItsTemporaryFile) {
  const std::string body = randomBytes(200000, 11);
  const size_t half = body.size() / 2;
  server.setHandler([&](const qvtest::RecordedRequest& req) {
    ScriptedResponse rest;
    auto range = req.header("Range");
    if (!range) {
      // Head and half the body, then the connection is closed at once: the
      // half already sent must still reach the file.
      rest.raw = plat::format("HTTP/1.1 200 OK\r\nContent-Length: %zu\r\n\r\n", body.size()) + body.substr(0, half);
      rest.close = true;
      return rest;
    }
    size_t from = std::stoul(range->substr(6));
    rest.status = 206;
    rest.reason = "Partial Content";
    rest.headers = {{"Content-Range", plat::format("bytes %zu-%zu/%zu", from, body.size() - 1, body.size())}};
    rest.body = body.substr(from);
    return rest;
  });
  std::string tmp = plat::format("/tmp/hchttp-resume-%d", getpid());
  std::string dest = tmp + ".done";
  ::unlink(tmp.c_str());
  auto first = HCHTTPRequest::requestWithURL(server.url("/installer"));
  first->setAllowResumeForFileDownloads(true);
  first->setTemporaryFileDownloadPath(tmp);
  first->setDownloadDestinationPath(dest);
  first->startSynchronous();
  ASSERT_TRUE(first->error());
  const size_t kept = readWholeFile(tmp).size();
  ASSERT_EQ(kept, half);
  EXPECT_EQ(readWholeFile(tmp), body.substr(0, kept));

  auto again = first->copy();
  again->setURL(plat::URL::parse(server.url("/installer")));
  ProgressRecorder p;
  again->setDownloadProgressDelegate(&p);
  Recorder rec;
  runAsync(again, rec);
  EXPECT_EQ(rec.count("finished"), 1);
  EXPECT_EQ(server.requests().back().header("Range").value_or(""), plat::format("bytes=%zu-", kept));
  EXPECT_TRUE(readWholeFile(dest) == body);
  EXPECT_FALSE(exists(tmp));
  // Fractions over the whole file, starting from what was on disk.
  EXPECT_EQ(p.size, static_cast<long long>(body.size()));
  EXPECT_EQ(p.bytes, static_cast<long long>(body.size()));
  ASSERT_FALSE(p.fractions.empty());
  EXPECT_DOUBLE_EQ(p.fractions.back(), 1.0);
  ::unlink(dest.c_str());
}

TEST_F(HCHTTPRequestTest, ResumeWithoutATemporaryPathKeepsTheCallersRange) {
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "x"); });
  std::string dest = plat::format("/tmp/hchttp-norange-%d", getpid());
  auto r = HCHTTPRequest::requestWithURL(server.url("/r"));
  r->setAllowResumeForFileDownloads(true);
  r->setDownloadDestinationPath(dest);
  r->addRequestHeader("Range", "bytes=5-9");
  r->startSynchronous();
  EXPECT_FALSE(r->error());
  EXPECT_EQ(server.requests().back().header("Range").value_or(""), "bytes=5-9");
  ::unlink(dest.c_str());
}

TEST_F(HCHTTPRequestTest, HEADRequestMirrorsItsRequest) {
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "body"); });
  auto r = HCHTTPRequest::requestWithURL(server.url("/h"));
  r->addRequestHeader("User-Agent", "Quorva test");
  r->setRequestCookies({*HCHTTPCookie::parse("k=v", *plat::URL::parse(server.url("/")))});
  r->setTimeOutSeconds(7);
  r->setTag(9);
  auto h = r->HEADRequest();
  EXPECT_EQ(h->requestMethod(), "HEAD");
  EXPECT_EQ(h->mainRequest(), r.get());
  EXPECT_EQ(h->timeOutSeconds(), 7);
  EXPECT_EQ(h->tag(), 0);  // not taken over
  h->startSynchronous();
  EXPECT_FALSE(h->error());
  auto sent = server.requests().back();
  EXPECT_EQ(sent.method, "HEAD");
  EXPECT_EQ(sent.header("User-Agent").value_or(""), "Quorva test");
  EXPECT_EQ(sent.header("Cookie").value_or(""), "k=v");
  EXPECT_EQ(r->contentLength(), 4u);  // the size is the main request's
}

TEST_F(HCHTTPRequestTest, ACopyStartsFreshWithItsOwnHeaders) {
  server.enqueue(ScriptedResponse::text(200, "answer"));
  auto r = HCHTTPRequest::requestWithURL(server.url("/c"));
  r->addRequestHeader("X-One", "1");
  r->setNumberOfTimesToRetryOnTimeout(2);
  r->setDataReceivedBlock([](const Data&) {});
  r->startSynchronous();
  auto c = r->copy();
  EXPECT_EQ(c->numberOfTimesToRetryOnTimeout(), 2);
  EXPECT_FALSE(c->responseData() && !c->responseData()->empty());
  EXPECT_EQ(c->responseStatusCode(), 0);
  EXPECT_FALSE(c->connectionID());
  c->addRequestHeader("X-Two", "2");
  EXPECT_EQ(r->requestHeaders().size(), 1u + (r->requestHeaders().size() - 1));
  bool originalHasTwo = false;
  for (const auto& [k, v] : r->requestHeaders()) originalHasTwo |= k == "X-Two";
  EXPECT_FALSE(originalHasTwo);
  // The data block was not copied: the body goes to memory again.
  server.enqueue(ScriptedResponse::text(200, "again"));
  c->startSynchronous();
  EXPECT_EQ(c->responseString().value_or(""), "again");
}

TEST_F(HCHTTPRequestTest, SynchronousRequestCancelledFromTheMainThread) {
  ScriptedResponse silent;
  silent.silent = true;
  server.enqueue(silent);
  Recorder rec;
  auto r = HCHTTPRequest::requestWithURL(server.url("/installer"));
  r->setDelegate(&rec);
  r->setTimeOutSeconds(0);
  std::atomic<bool> returned{false};
  std::thread t = plat::startThread("updater", [&] {
    r->startSynchronous();
    returned = true;
  });
  ASSERT_TRUE(server.waitForRequests(1));
  if (!r->isCancelled()) {
    r->cancel();
  }
  ASSERT_TRUE(pumpUntil([&] { return returned && rec.ended(); }));
  t.join();
  EXPECT_EQ(rec.count("failed"), 1);
  EXPECT_EQ(errorCode(*r), 4);
  EXPECT_TRUE(r->isCancelled());
}

TEST_F(HCHTTPRequestTest, ExpiryDatesFromTheResponse) {
  struct Row {
    std::vector<std::pair<std::string, std::string>> headers;
    double maxAge;
    std::optional<double> fromNow;  // seconds after the call
    std::optional<double> fixed;    // or a fixed date
  } rows[] = {
      {{{"Cache-Control", "public, Max-Age=60"}}, 0, 60, std::nullopt},
      {{{"Cache-Control", "max-age=0"}, {"Expires", "Sun, 06 Nov 1994 08:49:37 GMT"}}, 0, std::nullopt, 784111777.0},
      {{{"Cache-Control", "max-age=60"}}, 5, 5, std::nullopt},
      {{}, 0, std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    TestHTTPServer s;
    ScriptedResponse resp = ScriptedResponse::text(200, "x");
    resp.headers = row.headers;
    s.enqueue(resp);
    auto r = HCHTTPRequest::requestWithURL(s.url("/"));
    r->startSynchronous();
    double before = plat::currentClock().now().secondsSince1970;
    auto got = HCHTTPRequest::expiryDateForRequest(*r, row.maxAge);
    double after = plat::currentClock().now().secondsSince1970;
    ASSERT_EQ(got.has_value(), row.fromNow || row.fixed);
    if (row.fixed) {
      EXPECT_EQ(got->secondsSince1970, *row.fixed);
    } else if (row.fromNow) {
      EXPECT_GE(got->secondsSince1970, before + *row.fromNow);
      EXPECT_LE(got->secondsSince1970, after + *row.fromNow);
    }
  }
}

TEST_F(HCHTTPRequestTest, ExplicitProxies) {
  struct Row {
    qvtest::TestProxy::Kind kind;
    const char* type;
    const char* logPrefix;
  } rows[] = {
      {qvtest::TestProxy::Kind::HTTP, nullptr, "GET http://127.0.0.1"},
      {qvtest::TestProxy::Kind::SOCKS5, kHCProxyTypeSOCKS, "SOCKS5 127.0.0.1"},
  };
  for (const auto& row : rows) {
    qvtest::TestProxy::Options o;
    o.kind = row.kind;
    qvtest::TestProxy proxy(o);
    server.enqueue(ScriptedResponse::text(200, "via proxy"));
    auto r = HCHTTPRequest::requestWithURL(server.url("/p"));
    r->setProxyHost(std::string("127.0.0.1"));
    r->setProxyPort(proxy.port());
    if (row.type) r->setProxyType(std::string(row.type));
    r->startSynchronous();
    EXPECT_FALSE(r->error()) << row.logPrefix;
    EXPECT_EQ(r->responseString().value_or(""), "via proxy");
    auto log = proxy.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind(row.logPrefix, 0), 0u) << log[0];
    EXPECT_EQ(r->proxyType().value_or(""), row.type ? row.type : kHCProxyTypeHTTP);
  }
}

TEST_F(HCHTTPRequestTest, EveryRequestEndsExactlyOnceWhateverTheMomentOfItsCancel) {
  server.setHandler([](const qvtest::RecordedRequest& r) {
    ScriptedResponse resp = ScriptedResponse::text(200, std::string(20000, 'x'));
    if (r.target == "/slow") resp.delayBeforeBody = 0.02;
    return resp;
  });
  // Cancelled at once, when started, when the head came, at the first chunk, or never.
  struct Canceller : Recorder {
    int when = 0;
    std::shared_ptr<HCHTTPRequest> request;
    void requestStarted(HCHTTPRequest& r) override {
      Recorder::requestStarted(r);
      if (when == 1) r.cancel();
    }
    void requestDidReceiveResponseHeaders(HCHTTPRequest& r, const plat::Dictionary& h) override {
      Recorder::requestDidReceiveResponseHeaders(r, h);
      if (when == 2) r.cancel();
    }
  };
  std::vector<Canceller> recs(40);
  for (size_t i = 0; i < recs.size(); ++i) {
    auto& c = recs[i];
    c.when = static_cast<int>(i % 5);
    c.takesData = true;
    if (c.when == 3) c.onFirstData = [](HCHTTPRequest& r) { r.cancel(); };
    c.request = HCHTTPRequest::requestWithURL(server.url(i % 2 ? "/slow" : "/fast"));
    c.request->setDelegate(&c);
    c.request->startAsynchronous();
    if (c.when == 0) c.request->cancel();
  }
  ASSERT_TRUE(pumpUntil([&] {
    return std::all_of(recs.begin(), recs.end(), [](const Canceller& c) { return c.ended() && c.request->isFinished(); });
  }));
  pumpUntil([] { return false; }, 0.1);
  for (const auto& c : recs) {
    EXPECT_EQ(c.count("finished") + c.count("failed"), 1) << "cancel moment " << c.when;
    if (c.when == 4) {
      EXPECT_EQ(c.count("finished"), 1);
      EXPECT_EQ(c.body.size(), 20000u);
    } else {
      EXPECT_EQ(c.count("failed"), 1) << "cancel moment " << c.when;
      EXPECT_EQ(errorCode(*c.request), 4);
    }
  }
}

// --- class utilities ------------------------------------------------------------------------------

TEST(HCHTTPRequestClass, ContentTypeParsing) {
  struct Row {
    const char* value;
    const char* mime;
    HCStringEncoding encoding;
  } rows[] = {
      {"text/html; charset=UTF-8", "text/html", HCUTF8StringEncoding},
      {"text/plain", "text/plain", 99},
      {"text/plain; charset=no-such-set", "text/plain", 99},
      {" application/json ; Charset=\"gbk\"", "application/json", HCGB18030StringEncoding},
      {"text/xml; charset=iso-8859-1; format=flowed", "text/xml", HCISOLatin1StringEncoding},
  };
  for (const auto& row : rows) {
    std::string mime;
    HCStringEncoding enc = 99;
    HCHTTPRequest::parseMimeType(&mime, &enc, std::string(row.value));
    EXPECT_EQ(mime, row.mime) << row.value;
    EXPECT_EQ(enc, row.encoding) << row.value;
  }
}

TEST(HCHTTPRequestClass, RFC1123Dates) {
  auto full = HCHTTPRequest::dateFromRFC1123String("Sun, 06 Nov 1994 08:49:37 GMT");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->secondsSince1970, 784111777.0);
  auto shortForm = HCHTTPRequest::dateFromRFC1123String("06 Nov 1994 08:49 GMT");
  ASSERT_TRUE(shortForm);
  EXPECT_EQ(shortForm->secondsSince1970, 784111740.0);
  EXPECT_FALSE(HCHTTPRequest::dateFromRFC1123String("yesterday"));
}

TEST(HCHTTPRequestClass, Base64AndMimeTypes) {
  EXPECT_EQ(HCHTTPRequest::base64forData(Data{}), "");
  EXPECT_EQ(HCHTTPRequest::base64forData(Data{'a'}), "YQ==");
  EXPECT_EQ(HCHTTPRequest::base64forData(Data{'a', 'b', 'c'}), "YWJj");
  EXPECT_FALSE(HCHTTPRequest::mimeTypeForFileAtPath("/no/such/file.txt"));
  std::string path = plat::format("/tmp/hchttp-mime-%d.qvunknown", getpid());
  {
    std::ofstream f(path);
    f << "x";
  }
  EXPECT_EQ(HCHTTPRequest::mimeTypeForFileAtPath(path).value_or(""), "application/octet-stream");
  ::unlink(path.c_str());
}

TEST(HCHTTPRequestClass, TextInItsEncoding) {
  EXPECT_EQ(HCHTTPRequest::stringWithData(Data{0xE4, 0xB8, 0xAD}, HCUTF8StringEncoding).value_or(""), "\xE4\xB8\xAD");
  EXPECT_FALSE(HCHTTPRequest::stringWithData(Data{0xE4, 0xB8}, HCUTF8StringEncoding));
  EXPECT_FALSE(HCHTTPRequest::stringWithData(Data{0xC0, 0x80}, HCUTF8StringEncoding));
  EXPECT_FALSE(HCHTTPRequest::stringWithData(Data{0x80}, HCASCIIStringEncoding));
  EXPECT_EQ(HCHTTPRequest::stringWithData(Data{0xE9}, HCISOLatin1StringEncoding).value_or(""), "\xC3\xA9");
  EXPECT_EQ(HCHTTPRequest::stringWithData(Data{0xD6, 0xD0}, HCGB18030StringEncoding).value_or(""), "\xE4\xB8\xAD");
}

}  // namespace
