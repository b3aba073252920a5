#include "Framework/HCHTTP/HCNetworkQueue.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/foundation/clock.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/test_http_server.h"

using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

namespace {

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

// The queue's delegate: counts what the queue passes on, and how many of
// its requests run at once.
class QueueWatcher : public HCHTTPRequestDelegate {
public:
  int started = 0, finished = 0, failed = 0, queueFinishedCount = 0;
  int running = 0, mostRunning = 0;
  std::vector<long> failureCodes;
  bool respondsToSelector(HCSelector s) const override {
    return s == HCSelector::queueFinished || HCHTTPRequestDelegate::respondsToSelector(s);
  }
  void requestStarted(HCHTTPRequest&) override {
    ++started;
    mostRunning = std::max(mostRunning, ++running);
  }
  void requestFinished(HCHTTPRequest&) override {
    ++finished;
    --running;
  }
  void requestFailed(HCHTTPRequest& r) override {
    ++failed;
    if (running > 0) --running;
    failureCodes.push_back(r.error() ? r.error()->code() : 0);
  }
  void queueFinished(HCNetworkQueue&) override { ++queueFinishedCount; }
};

class HCNetworkQueueTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
  }
  void TearDown() override { plat::RunLoop::main()->remove(keepAlive_); }
  bool pumpUntil(const std::function<bool()>& done, double bound = 30) {
    double until = plat::currentClock().monotonic() + bound;
    while (!done()) {
      if (plat::currentClock().monotonic() > until) return false;
      plat::RunLoop::main()->runInMode(plat::kDefaultRunLoopMode, 0.02, true);
    }
    return true;
  }
  std::shared_ptr<HCNetworkQueue> watchedQueue(QueueWatcher& w) {
    auto q = HCNetworkQueue::queue();
    q->setDelegate(&w);
    q->setRequestDidStartSelector(HCSelector::requestStarted);
    q->setRequestDidFinishSelector(HCSelector::requestFinished);
    q->setRequestDidFailSelector(HCSelector::requestFailed);
    q->setQueueDidFinishSelector(HCSelector::queueFinished);
    return q;
  }

  TestHTTPServer server;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

TEST_F(HCNetworkQueueTest, MadeSuspendedFourWideAndCountsUnitsWithoutAccurateProgress) {
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "ok"); });
  QueueWatcher w;
  auto q = watchedQueue(w);
  EXPECT_TRUE(q->isSuspended());
  EXPECT_EQ(q->maxConcurrentOperationCount(), 4);
  EXPECT_TRUE(q->shouldCancelAllRequestsOnFailure());
  EXPECT_FALSE(q->showAccurateProgress());
  for (int i = 0; i < 3; ++i) q->addOperation(HCHTTPRequest::requestWithURL(server.url("/u")));
  EXPECT_EQ(q->totalBytesToDownload(), 3u);
  EXPECT_EQ(q->totalBytesToUpload(), 3u);
  EXPECT_EQ(q->requestsCount(), 3);
  pumpUntil([] { return false; }, 0.2);
  EXPECT_EQ(server.requestCount(), 0u);  // nothing before go()
  q->go();
  ASSERT_TRUE(pumpUntil([&] { return w.queueFinishedCount > 0; }));
  pumpUntil([] { return false; }, 0.05);
  EXPECT_EQ(w.finished, 3);
  EXPECT_EQ(w.queueFinishedCount, 1);
  EXPECT_EQ(q->requestsCount(), 0);
  // One unit per request, reported at its end.
  EXPECT_EQ(q->bytesDownloadedSoFar(), 3u);
}

TEST_F(HCNetworkQueueTest, OnlyRequestsMayBeAdded) {
  auto q = HCNetworkQueue::queue();
  struct Plain : plat::Operation {};
  try {
    q->addOperation(std::make_shared<Plain>());
    FAIL() << "no exception";
  } catch (const plat::Exception& e) {
    EXPECT_EQ(e.name(), "AttemptToAddInvalidRequest");
    EXPECT_EQ(e.reason(), "Attempted to add an object that was not an HCHTTPRequest to an HCNetworkQueue");
  }
  EXPECT_EQ(q->requestsCount(), 0);
}

TEST_F(HCNetworkQueueTest, ResetAndCancelKeepWhatTheyShould) {
  QueueWatcher w;
  auto q = watchedQueue(w);
  q->setRequestWillRedirectSelector(HCSelector::requestWillRedirectToURL);
  q->setShouldCancelAllRequestsOnFailure(false);
  q->addOperation(HCHTTPRequest::requestWithURL(server.url("/never")));
  q->cancelAllOperations();
  EXPECT_EQ(q->totalBytesToDownload(), 0u);
  EXPECT_EQ(q->totalBytesToUpload(), 0u);
  EXPECT_EQ(q->requestsCount(), 1);  // falls as the cancelled request reports
  ASSERT_TRUE(pumpUntil([&] { return q->requestsCount() == 0; }));
  EXPECT_EQ(w.failureCodes, std::vector<long>{HCRequestCancelledErrorType});
  q->go();
  // The cancelled request still has to run out of the queue (it holds the queue).
  ASSERT_TRUE(pumpUntil([&] { return q->operationCount() == 0; }));
  q->reset();
  EXPECT_EQ(q->delegate(), nullptr);
  EXPECT_EQ(q->requestDidFinishSelector(), HCSelector::none);
  EXPECT_EQ(q->queueDidFinishSelector(), HCSelector::none);
  EXPECT_EQ(q->requestWillRedirectSelector(), HCSelector::requestWillRedirectToURL);
  EXPECT_FALSE(q->shouldCancelAllRequestsOnFailure());
  EXPECT_TRUE(q->isSuspended());
  auto c = q->copy();
  EXPECT_TRUE(c->isSuspended());
  EXPECT_EQ(c->requestWillRedirectSelector(), HCSelector::requestWillRedirectToURL);
  EXPECT_FALSE(c->shouldCancelAllRequestsOnFailure());
}

TEST_F(HCNetworkQueueTest, NoMoreThanFourRunAtOnce) {
  server.setHandler([](const qvtest::RecordedRequest&) {
    auto r = ScriptedResponse::text(200, "slow");
    r.delayBeforeHead = 0.15;
    return r;
  });
  QueueWatcher w;
  auto q = watchedQueue(w);
  for (int i = 0; i < 10; ++i) q->addOperation(HCHTTPRequest::requestWithURL(server.url("/w")));
  q->go();
  ASSERT_TRUE(pumpUntil([&] { return w.queueFinishedCount > 0; }));
  EXPECT_EQ(w.started, 10);
  EXPECT_EQ(w.finished, 10);
  EXPECT_LE(w.mostRunning, 4);
  EXPECT_GE(w.mostRunning, 1);
}

TEST_F(HCNetworkQueueTest, AFailureCancelsTheRestWhenSoConfigured) {
  server.setHandler([](const qvtest::RecordedRequest&) {
    ScriptedResponse r;
    r.silent = true;  // only a cancel ends these
    return r;
  });
  for (bool cancelRest : {true, false}) {
    QueueWatcher w;
    auto q = watchedQueue(w);
    q->setShouldCancelAllRequestsOnFailure(cancelRest);
    std::vector<std::shared_ptr<HCHTTPRequest>> silent;
    for (int i = 0; i < 3; ++i) {
      auto r = HCHTTPRequest::requestWithURL(server.url("/silent"));
      r->setTimeOutSeconds(cancelRest ? 60 : 0.5);
      silent.push_back(r);
      q->addOperation(r);
    }
    q->addOperation(HCHTTPRequest::requestWithURL("http://127.0.0.1:" + std::to_string(closedPort()) + "/"));
    q->go();
    ASSERT_TRUE(pumpUntil([&] { return w.queueFinishedCount > 0; })) << cancelRest;
    pumpUntil([] { return false; }, 0.05);
    EXPECT_EQ(w.failed, 4);
    EXPECT_EQ(w.queueFinishedCount, 1);
    EXPECT_EQ(q->requestsCount(), 0);
    int cancelled = static_cast<int>(std::count(w.failureCodes.begin(), w.failureCodes.end(), HCRequestCancelledErrorType));
    int timedOut = static_cast<int>(std::count(w.failureCodes.begin(), w.failureCodes.end(), HCRequestTimedOutErrorType));
    EXPECT_EQ(cancelled, cancelRest ? 3 : 0);
    EXPECT_EQ(timedOut, cancelRest ? 0 : 3);
  }
}

TEST_F(HCNetworkQueueTest, AccurateProgressSumsKnownAndUnknownLengths) {
  server.setHandler([](const qvtest::RecordedRequest& req) {
    ScriptedResponse r;
    if (req.target == "/a") r.body = std::string(1000, 'a');
    if (req.target == "/b") r.body = std::string(70000, 'b');
    if (req.target == "/c") {
      r.body = std::string(3000, 'c');
      r.chunked = true;
      r.chunkSize = 500;
    }
    return r;
  });
  QueueWatcher w;
  auto q = watchedQueue(w);
  q->setShowAccurateProgress(true);
  struct Bar : HCProgressDelegate {
    std::vector<double> values;
    bool respondsToSetDoubleValue() const override { return true; }
    void setDoubleValue(double v) override { values.push_back(v); }
  } bar;
  q->setDownloadProgressDelegate(&bar);
  for (const char* p : {"/a", "/b", "/c"}) q->addOperation(HCHTTPRequest::requestWithURL(server.url(p)));
  EXPECT_EQ(q->requestsCount(), 3);
  EXPECT_EQ(q->operationCount(), 6u);  // each GET has its HEAD companion
  q->go();
  ASSERT_TRUE(pumpUntil([&] { return w.queueFinishedCount > 0; }));
  pumpUntil([] { return false; }, 0.05);
  EXPECT_EQ(w.finished, 3);
  EXPECT_EQ(w.started, 3);  // the HEAD requests are not counted or passed on
  // Known lengths in bytes, the unknown one as one unit.
  EXPECT_EQ(q->totalBytesToDownload(), 71001u);
  EXPECT_EQ(q->bytesDownloadedSoFar(), 71001u);
  ASSERT_FALSE(bar.values.empty());
  EXPECT_DOUBLE_EQ(bar.values.back(), 1.0);
  // The fraction may fall while HEAD answers still raise the total; the end is whole.
  int heads = 0;
  for (const auto& r : server.requests()) heads += r.method == "HEAD";
  EXPECT_EQ(heads, 3);
  // Each HEAD came before its GET.
  for (const char* p : {"/a", "/b", "/c"}) {
    int head = -1, get = -1, i = 0;
    for (const auto& r : server.requests()) {
      if (r.target == p) (r.method == "HEAD" ? head : get) = i;
      ++i;
    }
    EXPECT_LT(head, get) << p;
  }
}

}  // namespace
