#include <gtest/gtest.h>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCInputStream.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/run_loop.h"
#include "tests/support/test_http_server.h"

using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

namespace {

class ThrottlingTest : public ::testing::Test {
protected:
  void SetUp() override {
    clock_ = std::make_shared<plat::ManualClock>();
    plat::setClock(clock_);
    HCHTTPRequest::setMaxBandwidthPerSecond(0);
    HCHTTPRequest::resetBandwidthMeasurement();
  }
  void TearDown() override {
    HCHTTPRequest::setMaxBandwidthPerSecond(0);
    HCHTTPRequest::resetBandwidthMeasurement();
    plat::setClock(nullptr);
  }
  double now() const { return clock_->now().secondsSince1970; }
  std::shared_ptr<plat::ManualClock> clock_;
};

}  // namespace

TEST_F(ThrottlingTest, WindowsPausesAndTheAverage) {
  HCHTTPRequest::setMaxBandwidthPerSecond(1000);
  const double start = now();
  HCHTTPRequest::measureBandwidthUsage();  // opens the first window
  HCHTTPRequest::incrementBandwidthUsedInLastSecond(1500);
  HCHTTPRequest::measureBandwidthUsage();
  ASSERT_TRUE(HCHTTPRequest::throttleWakeUpTime());
  EXPECT_DOUBLE_EQ(*HCHTTPRequest::throttleWakeUpTime(), start + 1.5) << "half a second after the window's end";

  // Windows of 1500 and 500: the average of the samples.
  clock_->advance(1.0001);
  HCHTTPRequest::measureBandwidthUsage();
  HCHTTPRequest::incrementBandwidthUsedInLastSecond(500);
  clock_->advance(1.0001);
  HCHTTPRequest::measureBandwidthUsage();
  // A window closes only once it has ended, which drops the sample before it: the last window stands.
  EXPECT_EQ(HCHTTPRequest::averageBandwidthUsedPerSecond(), 500u);
  // A window without traffic clears the history at once.
  clock_->advance(1.0001);
  HCHTTPRequest::measureBandwidthUsage();
  EXPECT_EQ(HCHTTPRequest::averageBandwidthUsedPerSecond(), 0u);

  // Ten quiet seconds, then one busy window: only it counts.
  for (unsigned v : {300u, 600u, 900u}) {
    HCHTTPRequest::incrementBandwidthUsedInLastSecond(v);
    clock_->advance(1.0001);
    HCHTTPRequest::measureBandwidthUsage();
  }
  HCHTTPRequest::incrementBandwidthUsedInLastSecond(4000);
  clock_->advance(10);
  HCHTTPRequest::measureBandwidthUsage();
  EXPECT_EQ(HCHTTPRequest::averageBandwidthUsedPerSecond(), 4000u);
}

TEST_F(ThrottlingTest, UploadReadLengths) {
  struct Case {
    unsigned long long limit, used, length;
  } cases[] = {{1000, 0, 250}, {1000, 900, 100}, {1000, 1000, 0}, {1000, 1200, 0}, {3, 0, 0}, {20480, 0, 5120}};
  for (const auto& c : cases) {
    HCHTTPRequest::resetBandwidthMeasurement();
    HCHTTPRequest::setMaxBandwidthPerSecond(c.limit);
    HCHTTPRequest::measureBandwidthUsage();
    HCHTTPRequest::incrementBandwidthUsedInLastSecond(c.used);
    EXPECT_EQ(HCHTTPRequest::maxUploadReadLength(), c.length) << c.limit << " " << c.used;
    if (c.length == 0) {
      // Nothing left this second: paused until the window's end.
      ASSERT_TRUE(HCHTTPRequest::throttleWakeUpTime());
      EXPECT_DOUBLE_EQ(*HCHTTPRequest::throttleWakeUpTime(), now() + 1);
    }
  }
  // Download reads get a quarter of what is left, never less than one byte.
  HCHTTPRequest::resetBandwidthMeasurement();
  HCHTTPRequest::setMaxBandwidthPerSecond(1000);
  HCHTTPRequest::measureBandwidthUsage();
  EXPECT_EQ(HCHTTPRequest::downloadReadLengthUnderLimit(16384), 250u);
  HCHTTPRequest::incrementBandwidthUsedInLastSecond(998);
  EXPECT_EQ(HCHTTPRequest::downloadReadLengthUnderLimit(16384), 1u);
  HCHTTPRequest::incrementBandwidthUsedInLastSecond(10);
  EXPECT_EQ(HCHTTPRequest::downloadReadLengthUnderLimit(16384), 1u);
}

TEST_F(ThrottlingTest, TheInputStreamReadsWithinTheAllowanceAndCountsWhatItRead) {
  uint8_t buf[1000];
  auto free = HCInputStream::inputStreamWithData(plat::Data(300, 'x'), nullptr);
  EXPECT_EQ(free->length(), 300u);
  EXPECT_EQ(free->read(buf, 1000), 300);
  EXPECT_EQ(free->read(buf, 1000), 0);
  EXPECT_EQ(HCHTTPRequest::bandwidthUsedInLastSecond(), 300u) << "only bytes read are counted";

  HCHTTPRequest::setMaxBandwidthPerSecond(400);
  HCHTTPRequest::resetBandwidthMeasurement();
  HCHTTPRequest::measureBandwidthUsage();
  auto limited = HCInputStream::inputStreamWithData(plat::Data(1000, 'y'), nullptr);
  EXPECT_EQ(limited->read(buf, 1000), 100);  // a quarter of the limit
  EXPECT_EQ(limited->read(buf, 50), 50);     // never more than asked
  HCHTTPRequest::incrementBandwidthUsedInLastSecond(250);
  EXPECT_EQ(limited->read(buf, 1000), 1) << "an allowance of nothing still reads one byte";
  EXPECT_EQ(HCHTTPRequest::bandwidthUsedInLastSecond(), 401u);
  EXPECT_FALSE(HCInputStream::inputStreamWithFileAtPath("/nonexistent/body", nullptr));
}

// Real sockets under a clock that runs ten times faster: the windows are the
// limit's seconds, waited for in tenths.
TEST_F(ThrottlingTest, ADownloadUnderTheLimitLastsItsWindows) {
  plat::setClock(std::make_shared<plat::ScaledClock>(10));
  plat::MainThread::setCurrentThreadAsMain();
  TestHTTPServer server;
  std::string body(100 * 1024, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 + 7);
  server.enqueue(ScriptedResponse::text(200, body));
  const unsigned long long limit = 20 * 1024;
  HCHTTPRequest::setMaxBandwidthPerSecond(limit);
  auto r = HCHTTPRequest::requestWithURL(server.url("/big"));
  r->setTimeOutSeconds(0);
  const double start = plat::currentClock().monotonic();
  r->startSynchronous();
  const double took = plat::currentClock().monotonic() - start;
  ASSERT_FALSE(r->error()) << r->error()->localizedDescription();
  ASSERT_EQ(r->responseData()->size(), body.size());
  const plat::Data got = *r->responseData();
  EXPECT_TRUE(std::string(got.begin(), got.end()) == body);
  // Each window carries at most one byte over the limit and then waits for its end:
  // 102400 bytes need five windows, so the last byte comes in the fifth second.
  EXPECT_GE(took, 4.0);
  // The clock runs ten times faster than real time: a busy machine's delays count ten-fold here.
  EXPECT_LE(took, 9.0);
  EXPECT_LE(HCHTTPRequest::averageBandwidthUsedPerSecond(), limit + 64);
}

TEST_F(ThrottlingTest, AnUploadUnderTheLimitArrivesWhole) {
  plat::setClock(std::make_shared<plat::ScaledClock>(10));
  plat::MainThread::setCurrentThreadAsMain();
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest& q) { return ScriptedResponse::text(200, q.body); });
  std::string body(8 * 1024, 'u');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  HCHTTPRequest::setMaxBandwidthPerSecond(4 * 1024);
  auto r = HCHTTPRequest::requestWithURL(server.url("/up"));
  r->setTimeOutSeconds(0);
  r->appendPostData(plat::Data(body.begin(), body.end()));
  const double start = plat::currentClock().monotonic();
  r->startSynchronous();
  const double took = plat::currentClock().monotonic() - start;
  ASSERT_FALSE(r->error()) << r->error()->localizedDescription();
  EXPECT_EQ(r->responseString().value_or(""), body);
  EXPECT_GE(took, 1.0) << "8 KiB at 4 KiB/s spans at least two windows";
}
