#include "platform/net/http_read_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

#include "platform/foundation/thread.h"

#include "platform/net/connection.h"
#include "tests/support/stream_runner.h"
#include "tests/support/test_http_server.h"

namespace plat {
namespace {

using qvtest::makeStream;
using qvtest::runStream;
using qvtest::ScriptedResponse;
using qvtest::TestHTTPServer;

std::shared_ptr<HTTPReadStream> persistentStream(const std::string& url, int64_t id = 1) {
  auto s = makeStream(url);
  s->setAttemptPersistentConnection(true);
  s->setConnectionID(id);
  return s;
}

TEST(HTTPReadStreamTest, ReadsBodiesInEveryFraming) {
  TestHTTPServer server;
  std::string big(300 * 1024 + 7, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  struct Case {
    const char* name;
    ScriptedResponse response;
    const char* method;
    std::string body;
  } cases[] = {
      {"content-length", ScriptedResponse::text(200, "hello"), "GET", "hello"},
      {"chunked in small pieces", {.body = big, .chunked = true, .chunkSize = 1000}, "GET", big},
      {"until close", {.body = "to the end", .contentLength = false}, "GET", "to the end"},
      {"HEAD", ScriptedResponse::text(200, "unsent"), "HEAD", ""},
      {"204", {.status = 204, .reason = "No Content"}, "GET", ""},
      {"1xx first", {.raw = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, "GET", "ok"},
      {"gzip stays compressed", {.body = "zipped text", .gzip = true}, "GET", qvtest::gzip("zipped text")},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.enqueue(c.response);
    auto r = runStream(makeStream(server.url("/f"), c.method));
    EXPECT_TRUE(r.ended);
    EXPECT_FALSE(r.error) << (r.error ? r.error->description() : "");
    EXPECT_EQ(r.body, c.body);
    ASSERT_TRUE(r.head);
    EXPECT_EQ(r.status(), c.response.raw ? 200 : c.response.status);
  }
}

TEST(HTTPReadStreamTest, ResponseHeadKeepsSpellingAndEveryCookie) {
  TestHTTPServer server;
  server.enqueue({.headers = {{"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}, {"X-Qv-Thing", "v"}}, .body = "b"});
  auto r = runStream(makeStream(server.url("/")));
  ASSERT_TRUE(r.head);
  EXPECT_EQ(r.head->headerFieldValues("Set-Cookie"), (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(r.head->headerFieldValue("x-qv-thing"), "v");
  EXPECT_EQ(r.head->statusLine(), "HTTP/1.1 200 OK");
  auto req = server.requests().at(0);
  EXPECT_EQ(req.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(req.target, "/");
}

TEST(HTTPReadStreamTest, TheHeadIsAnnouncedBeforeAnyBodyByte) {
  TestHTTPServer server;
  server.enqueue({.status = 206, .reason = "Partial Content", .body = "later", .delayBeforeBody = 0.5});
  auto s = makeStream(server.url("/"));
  std::vector<std::pair<int, bool>> seen;  // status known, bytes available
  HTTPReadStream* raw = s.get();
  bool done = false;
  s->setClient(HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventEndEncountered, [&](uint32_t ev) {
    if (ev == HTTPReadStream::kEventEndEncountered) {
      done = true;
      return;
    }
    auto head = raw->responseHeader();
    seen.emplace_back(head ? head->statusCode() : 0, raw->hasBytesAvailable());
    uint8_t buf[64];
    while (raw->read(buf, sizeof buf) > 0) {
    }
  });
  auto loop = RunLoop::current();
  s->scheduleInRunLoop(loop, "head-mode");
  ASSERT_TRUE(s->open());
  for (int i = 0; i < 200 && !done; ++i) loop->runInMode("head-mode", 0.05, true);
  ASSERT_TRUE(done);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(206, false));
  EXPECT_EQ(seen.back(), std::make_pair(206, true));
  s->setClient(0, nullptr);
}

TEST(HTTPReadStreamTest, CutShortIsAnErrorNeverAnEnd) {
  TestHTTPServer server;
  std::string body(10000, 'b');
  struct Case {
    const char* name;
    ScriptedResponse response;
  } cases[] = {
      {"content-length", {.body = body, .closeAfterBytes = 5000}},
      {"chunked", {.body = body, .chunked = true, .chunkSize = 1000, .closeAfterBytes = 5000}},
      {"chunked without its last chunk",
       {.closeAfterBytes = 1000, .raw = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"}},
      {"in the head", {.body = body, .closeAfterBytes = 20}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.enqueue(c.response);
    auto r = runStream(makeStream(server.url("/")));
    EXPECT_FALSE(r.ended);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->domain(), kCFErrorDomainCFNetwork);
    EXPECT_EQ(r.error->code(), kCFErrorHTTPConnectionLost);
    EXPECT_EQ(r.events.back(), HTTPReadStream::kEventErrorOccurred);
    EXPECT_LT(r.body.size(), body.size());
  }
}

// A reader that takes its time still gets every byte the server sent before
// it cut the connection, and only then the failure.
TEST(HTTPReadStreamTest, BytesSentBeforeACutAreReadBeforeTheFailure) {
  TestHTTPServer server;
  std::string half(100000, 'h');
  for (size_t i = 0; i < half.size(); ++i) half[i] = static_cast<char>('a' + (i * 13) % 26);
  server.enqueue({.close = true, .raw = "HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n" + half});
  auto s = makeStream(server.url("/"));
  HTTPReadStream* raw = s.get();
  std::vector<uint32_t> events;
  s->setClient(HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventEndEncountered |
                   HTTPReadStream::kEventErrorOccurred,
               [&](uint32_t ev) { events.push_back(ev); });  // reads nothing while the cut comes
  auto loop = RunLoop::current();
  s->scheduleInRunLoop(loop, "slow-reader");
  ASSERT_TRUE(s->open());
  // Until the server has sent its half and closed, with nothing read yet.
  for (int i = 0; i < 500 && server.requestCount() == 0; ++i) loop->runInMode("slow-reader", 0.01, true);
  for (int i = 0; i < 20; ++i) loop->runInMode("slow-reader", 0.01, false);
  std::string body;
  uint8_t buf[4096];
  for (int i = 0; i < 2000 && std::find(events.begin(), events.end(), HTTPReadStream::kEventErrorOccurred) == events.end();
       ++i) {
    long n;
    while ((n = raw->read(buf, sizeof buf)) > 0) body.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    loop->runInMode("slow-reader", 0.01, true);
  }
  EXPECT_EQ(body, half);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), HTTPReadStream::kEventErrorOccurred);
  ASSERT_TRUE(raw->error());
  EXPECT_EQ(raw->error()->code(), kCFErrorHTTPConnectionLost);
  EXPECT_EQ(raw->read(buf, sizeof buf), -1);
  s->setClient(0, nullptr);
}

TEST(HTTPReadStreamTest, MalformedOrOversizedResponseIsAParseFailure) {
  TestHTTPServer server;
  std::string manyFields = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 200; ++i) manyFields += "X-" + std::to_string(i) + ": v\r\n";
  for (std::string raw : {std::string("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"),
                          "HTTP/1.1 200 OK\r\nX-Big: " + std::string(100 * 1024, 'v') + "\r\n\r\n",
                          manyFields + "\r\n", std::string("garbage\r\n\r\n")}) {
    server.enqueue({.raw = raw});
    auto r = runStream(makeStream(server.url("/")));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code(), kCFErrorHTTPParseFailure);
  }
  // The limits are the caller's to set.
  server.enqueue({.raw = manyFields + "Content-Length: 0\r\n\r\n"});
  auto s = makeStream(server.url("/"));
  s->setResponseLimits({.maxHeadBytes = 64 * 1024, .maxHeaderCount = 500});
  EXPECT_TRUE(runStream(s).ended);
}

TEST(HTTPReadStreamTest, KeepAliveReusesOneConnectionPerConnectionID) {
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, r.target); });
  for (int i = 0; i < 5; ++i) {
    auto r = runStream(persistentStream(server.url("/n" + std::to_string(i)), 7));
    EXPECT_EQ(r.body, "/n" + std::to_string(i));
    EXPECT_EQ(r.reused, i > 0);
  }
  EXPECT_EQ(server.connectionCount(), 1);
  // Another connection id never shares it.
  runStream(persistentStream(server.url("/other"), 8));
  EXPECT_EQ(server.connectionCount(), 2);
  // Without persistence, or when the server says close, the connection goes.
  runStream(makeStream(server.url("/plain")));
  runStream(makeStream(server.url("/plain")));
  EXPECT_EQ(server.connectionCount(), 4);
  server.enqueue({.body = "bye", .close = true});
  runStream(persistentStream(server.url("/close"), 9));
  runStream(persistentStream(server.url("/after"), 9));
  EXPECT_EQ(server.connectionCount(), 6);
}

TEST(HTTPReadStreamTest, StaleIdleSocketIsNotReused) {
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse::text(200, "ok"); });
  ASSERT_TRUE(runStream(persistentStream(server.url("/a"), 21)).ended);
  auto before = ConnectionRegistry::shared().stats();
  ASSERT_TRUE(server.waitForIdleConnections(1));
  EXPECT_EQ(server.closeIdleConnections(), 1);
  // The close has to reach our socket before we look at it.
  for (int i = 0; i < 200 && server.openConnectionCount() > 0; ++i) usleep(5000);
  usleep(20000);
  auto r = runStream(persistentStream(server.url("/b"), 21));
  EXPECT_TRUE(r.ended);
  EXPECT_FALSE(r.reused);
  EXPECT_EQ(server.connectionCount(), 2);
  EXPECT_EQ(ConnectionRegistry::shared().stats().stale, before.stale + 1);
}

TEST(HTTPReadStreamTest, ReusedConnectionDyingBeforeAnswerReportsConnectionLost) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "first"));
  server.enqueue({.dropWithoutAnswer = true});
  server.enqueue(ScriptedResponse::text(200, "retried"));
  ASSERT_TRUE(runStream(persistentStream(server.url("/a"), 31)).ended);
  auto lost = runStream(persistentStream(server.url("/b"), 31));
  EXPECT_TRUE(lost.reused);
  ASSERT_TRUE(lost.error);
  EXPECT_EQ(lost.error->domain(), kCFErrorDomainCFNetwork);
  EXPECT_EQ(lost.error->code(), kCFURLErrorNetworkConnectionLost);
  // The caller's one retry goes out on a fresh connection.
  auto retry = runStream(persistentStream(server.url("/b"), 31));
  EXPECT_EQ(retry.body, "retried");
  EXPECT_FALSE(retry.reused);
  // A fresh connection that dies unanswered is not "connection lost".
  server.enqueue({.dropWithoutAnswer = true});
  auto fresh = runStream(makeStream(server.url("/c")));
  ASSERT_TRUE(fresh.error);
  EXPECT_EQ(fresh.error->code(), kCFErrorHTTPConnectionLost);
}

class UnknownLengthSource : public BodySource {
public:
  explicit UnknownLengthSource(std::string data) : data_(std::move(data)) {}
  long read(uint8_t* buffer, size_t size) override {
    size_t n = std::min({size, data_.size() - at_, size_t(7000)});
    memcpy(buffer, data_.data() + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }
  std::optional<uint64_t> length() const override { return std::nullopt; }

private:
  std::string data_;
  size_t at_ = 0;
};

TEST(HTTPReadStreamTest, RequestBodiesAreFramedAndCounted) {
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, std::to_string(r.body.size())); });
  std::string big(3 * 1024 * 1024 + 11, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);

  auto known = runStream(makeStream(server.url("/up"), "PUT", std::make_unique<DataBodySource>(Data(big.begin(), big.end()))));
  EXPECT_EQ(known.body, std::to_string(big.size()));
  EXPECT_EQ(known.bytesWritten, big.size());
  auto chunked = runStream(makeStream(server.url("/up"), "POST", std::make_unique<UnknownLengthSource>(big)));
  EXPECT_EQ(chunked.bytesWritten, big.size());

  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].header("Content-Length"), std::to_string(big.size()));
  EXPECT_FALSE(reqs[0].chunked);
  EXPECT_EQ(reqs[0].body, big);
  EXPECT_TRUE(reqs[1].chunked);
  EXPECT_FALSE(reqs[1].header("Content-Length"));
  EXPECT_EQ(reqs[1].body, big);

  // The message's own body goes when no source is given; nothing else is added.
  auto m = HTTPMessage::createRequest("RENAME", *URL::parse(server.url("/x")));
  m->setHeaderFieldValue("x-qv-newname", "");
  m->setBody(Data{'a', 'b'});
  auto r = runStream(HTTPReadStream::create(*m));
  EXPECT_EQ(r.bytesWritten, 2u);
  auto last = server.requests().back();
  EXPECT_EQ(last.method, "RENAME");
  EXPECT_EQ(last.raw, "RENAME /x HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                          "\r\nx-qv-newname: \r\nContent-Length: 2\r\n\r\nab");
}

TEST(HTTPReadStreamTest, FileBodySource) {
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest& r) { return ScriptedResponse::text(200, r.body); });
  char path[] = "/tmp/qv-net-body-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string content(700 * 1024, 'f');
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
  Error e;
  auto source = FileBodySource::open(path, &e);
  ASSERT_TRUE(source);
  auto r = runStream(makeStream(server.url("/file"), "PUT", std::move(source)));
  EXPECT_TRUE(r.body == content);
  EXPECT_EQ(r.bytesWritten, content.size());
  unlink(path);
  EXPECT_FALSE(FileBodySource::open(path, &e));
  EXPECT_EQ(e.domain(), kPOSIXErrorDomain);
  EXPECT_EQ(e.code(), ENOENT);
}

TEST(HTTPReadStreamTest, EventsArriveOnTheThreadThatScheduledTheStream) {
  TestHTTPServer server;
  server.setHandler([](const qvtest::RecordedRequest&) { return ScriptedResponse{.body = std::string(500000, 'n'), .chunked = true, .chunkSize = 4096}; });
  std::mutex mutex;
  std::condition_variable cv;
  std::shared_ptr<RunLoop> loop;
  std::atomic<bool> stop{false};
  std::thread network = startThread("test-network", [&] {
    {
      std::lock_guard lock(mutex);
      loop = RunLoop::current();
    }
    cv.notify_all();
    while (!stop) loop->runInMode(kDefaultRunLoopMode, 0.05);
  });
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return loop != nullptr; });
  }
  constexpr int kStreams = 6;
  std::atomic<int> ended{0};
  std::atomic<bool> wrongThread{false};
  std::atomic<size_t> total{0};
  std::vector<std::shared_ptr<HTTPReadStream>> streams;
  for (int i = 0; i < kStreams; ++i) streams.push_back(persistentStream(server.url("localhost", "/t"), 61));
  for (auto& st : streams) {
    HTTPReadStream* s = st.get();
    loop->perform([&, s, loop = loop] {
      s->setClient(HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventEndEncountered |
                       HTTPReadStream::kEventErrorOccurred,
                   [&, s, loop](uint32_t ev) {
                     if (!loop->isCurrent()) wrongThread = true;
                     uint8_t buf[8192];
                     long n;
                     while ((n = s->read(buf, sizeof buf)) > 0) total += static_cast<size_t>(n);
                     if (ev != HTTPReadStream::kEventHasBytesAvailable) ++ended;
                   });
      s->scheduleInRunLoop(loop, kDefaultRunLoopMode);
      s->open();
    });
  }
  for (int i = 0; i < 500 && ended < kStreams; ++i) usleep(10000);
  EXPECT_EQ(ended, kStreams);
  EXPECT_EQ(total, kStreams * 500000u);
  EXPECT_FALSE(wrongThread);
  // Another thread may close a stream while its loop runs.
  server.enqueue({.body = std::string(1 << 20, 'c'), .delayBeforeBody = 0.05});
  auto late = makeStream(server.url("/late"));
  loop->perform([s = late.get(), loop = loop] {
    s->setClient(HTTPReadStream::kEventHasBytesAvailable, [s](uint32_t) {
      uint8_t buf[1024];
      s->read(buf, sizeof buf);
    });
    s->scheduleInRunLoop(loop, kDefaultRunLoopMode);
    s->open();
  });
  server.waitForRequests(kStreams + 1);
  late->close();
  EXPECT_EQ(late->status(), HTTPReadStream::Status::Closed);
  stop = true;
  network.join();
  for (auto& st : streams) st->setClient(0, nullptr);
  late->setClient(0, nullptr);
}

TEST(HTTPReadStreamTest, SlowReaderGetsEveryByte) {
  TestHTTPServer server;
  std::string big(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  server.enqueue({.body = big});
  auto r = runStream(makeStream(server.url("/")), 30, 100 * 1024);
  EXPECT_TRUE(r.ended);
  EXPECT_TRUE(r.body == big);
}

// A stream's body buffer is handed on to later streams when it ends; what
// a later stream reads is its own body alone, whether the earlier one read
// everything, or was dropped with megabytes still unread in the buffer.
TEST(HTTPReadStreamTest, LaterStreamsReadOnlyTheirOwnBodies) {
  TestHTTPServer server;
  auto pattern = [](size_t n, int seed) {
    std::string b(n, '\0');
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) % 251);
    return b;
  };
  const std::string dropped = pattern(3 * 1024 * 1024, 1);
  const struct {
    const char* name;
    ScriptedResponse response;
    std::string body;
  } cases[] = {
      {"small", ScriptedResponse::text(200, "hello"), "hello"},
      {"larger than one read", {.body = pattern(2 * 1024 * 1024 + 3, 2)}, pattern(2 * 1024 * 1024 + 3, 2)},
      {"chunked", {.body = pattern(300 * 1024, 3), .chunked = true, .chunkSize = 4000}, pattern(300 * 1024, 3)},
      {"empty", ScriptedResponse::text(200, ""), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Dropped once bytes are buffered, having read a few of them.
    server.enqueue({.body = dropped});
    {
      auto s = makeStream(server.url("/dropped"));
      HTTPReadStream* raw = s.get();
      std::string got;
      s->setClient(HTTPReadStream::kEventHasBytesAvailable, [&, raw](uint32_t) {
        if (!got.empty()) return;
        char buf[10];
        long n = raw->read(reinterpret_cast<uint8_t*>(buf), sizeof buf);
        if (n > 0) got.assign(buf, static_cast<size_t>(n));
      });
      auto loop = RunLoop::current();
      s->scheduleInRunLoop(loop, qvtest::kTestStreamMode);
      ASSERT_TRUE(s->open());
      const double deadline = currentClock().monotonic() + 10 * qvtest::kStreamTimeoutScale;
      while (got.empty() && currentClock().monotonic() < deadline) loop->runInMode(qvtest::kTestStreamMode, 0.1, true);
      ASSERT_EQ(got, dropped.substr(0, got.size()));
      s->setClient(0, nullptr);
      s->unscheduleFromRunLoop(loop, qvtest::kTestStreamMode);
      s->close();
    }
    // Both fully read, one after the other.
    for (int round = 0; round < 2; ++round) {
      server.enqueue(c.response);
      auto r = runStream(makeStream(server.url("/next")));
      EXPECT_TRUE(r.ended);
      EXPECT_FALSE(r.error) << (r.error ? r.error->description() : "");
      EXPECT_TRUE(r.body == c.body) << r.body.size() << " bytes for " << c.body.size();
    }
  }
}

TEST(HTTPReadStreamTest, LookupAndConnectFailures) {
  struct Case {
    std::string url;
    const char* domain;
    long code;
  } cases[] = {
      {"http://no-such-host.invalid/", kCFErrorDomainCFNetwork, kCFHostErrorHostNotFound},
  };
  for (auto& c : cases) {
    auto r = runStream(makeStream(c.url));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->domain(), c.domain);
    EXPECT_EQ(r.error->code(), c.code);
  }
  int port;
  {
    TestHTTPServer gone;
    port = gone.port();
  }
  auto r = runStream(makeStream("http://127.0.0.1:" + std::to_string(port) + "/"));
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->domain(), kPOSIXErrorDomain);
  EXPECT_EQ(r.error->code(), ECONNREFUSED);
}

TEST(HTTPReadStreamTest, LocalhostIsResolvedOffTheThread) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "by name"));
  auto r = runStream(makeStream(server.url("localhost", "/")));
  EXPECT_EQ(r.body, "by name");
  EXPECT_EQ(server.requests().at(0).header("Host"), "localhost:" + std::to_string(server.port()));
}

TEST(HTTPReadStreamTest, IPv6Literal) {
  std::unique_ptr<TestHTTPServer> server;
  try {
    server = std::make_unique<TestHTTPServer>(TestHTTPServer::Options{.ipv6 = true});
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  server->enqueue(ScriptedResponse::text(200, "six"));
  auto r = runStream(makeStream(server->url("/v6")));
  EXPECT_EQ(r.body, "six");
  EXPECT_EQ(server->requests().at(0).header("Host"), "[::1]:" + std::to_string(server->port()));
}

TEST(HTTPReadStreamTest, ProxyCredentialsNeverReachTheOrigin) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "ok"));
  auto m = HTTPMessage::createRequest("GET", *URL::parse(server.url("/")));
  m->setHeaderFieldValue("Proxy-Authorization", "Basic dTpw");
  m->setHeaderFieldValue("Authorization", "token:sig");
  EXPECT_TRUE(runStream(HTTPReadStream::create(*m)).ended);
  auto r = server.requests().at(0);
  EXPECT_FALSE(r.header("Proxy-Authorization"));
  EXPECT_EQ(r.header("Authorization"), "token:sig");
}

TEST(HTTPReadStreamTest, OpenRefusesWhatItCannotFetch) {
  EXPECT_FALSE(makeStream("ftp://h/x")->open());
  auto old = HTTPMessage::createRequest("PUT", *URL::parse("http://127.0.0.1:1/"), kHTTPVersion1_0);
  EXPECT_FALSE(HTTPReadStream::create(*old, std::make_unique<UnknownLengthSource>("abc"))->open());
  auto s = makeStream("http://127.0.0.1:1/");
  s->setProxy(ProxySettings{.host = "", .port = 0});
  EXPECT_FALSE(s->open());
}

// A caller's Content-Length that is no 64-bit decimal number, and SOCKS5
// fields that don't fit their one-byte length, are refused at open().
TEST(HTTPReadStreamTest, OpenRefusesLengthsAndSOCKSFieldsThatCantBeSent) {
  struct Case {
    const char* name;
    std::string contentLength;
    std::string username, password, host;
    bool opens;
  } cases[] = {
      {"plain length", "3", "", "", "127.0.0.1", true},
      {"20 digits", "18446744073709551616", "", "", "127.0.0.1", false},
      {"byte over 0x7f", "3\xb9", "", "", "127.0.0.1", false},
      {"signed", "+3", "", "", "127.0.0.1", false},
      {"SOCKS name of 255", "", std::string(255, 'u'), std::string(255, 'p'), "127.0.0.1", true},
      {"SOCKS name of 256", "", std::string(256, 'u'), "p", "127.0.0.1", false},
      {"SOCKS password of 256", "", "u", std::string(256, 'p'), "127.0.0.1", false},
      {"SOCKS host of 256", "", "", "", std::string(252, 'h') + ".com", false},
  };
  for (const auto& c : cases) {
    auto m = HTTPMessage::createRequest("PUT", *URL::parse("http://" + c.host + ":1/"));
    ASSERT_TRUE(m) << c.name;
    if (!c.contentLength.empty()) {
      ASSERT_TRUE(m->setHeaderFieldValue("Content-Length", c.contentLength));
    }
    auto s = HTTPReadStream::create(*m, std::make_unique<DataBodySource>(Data{'a', 'b', 'c'}));
    if (c.contentLength.empty())
      s->setProxy(ProxySettings{.type = ProxySettings::Type::SOCKS5, .host = "127.0.0.1", .port = 1,
                                .username = c.username, .password = c.password});
    EXPECT_EQ(s->open(), c.opens) << c.name;
    s->close();
  }
}

// A Transfer-Encoding spoiled by a stray CR fails the exchange; it must not
// fall back to the Content-Length framing and leave the socket for reuse.
TEST(HTTPReadStreamTest, ARefusedHeaderValueFailsTheExchange) {
  TestHTTPServer server;
  std::string smuggled = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\rx\r\nContent-Length: 3\r\n\r\nabc";
  server.enqueue({.raw = smuggled});
  auto s = makeStream(server.url("/"));
  s->setAttemptPersistentConnection(true);
  s->setConnectionID(77);
  auto r = runStream(s);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code(), kCFErrorHTTPParseFailure);
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(HTTPReadStream::closeIdleConnections(77), 0u);
}

TEST(HTTPReadStreamTest, NothingMovesOutsideItsModes) {
  TestHTTPServer server;
  server.enqueue(ScriptedResponse::text(200, "moded"));
  auto s = makeStream(server.url("/"));
  bool ended = false;
  s->setClient(HTTPReadStream::kEventEndEncountered | HTTPReadStream::kEventHasBytesAvailable, [&](uint32_t ev) {
    uint8_t buf[64];
    if (ev == HTTPReadStream::kEventHasBytesAvailable) s.get()->read(buf, sizeof buf);
    if (ev == HTTPReadStream::kEventEndEncountered) ended = true;
  });
  auto loop = RunLoop::current();
  s->scheduleInRunLoop(loop, "private-mode");
  ASSERT_TRUE(s->open());
  loop->runInMode(kDefaultRunLoopMode, 0.2);
  EXPECT_FALSE(ended);
  EXPECT_EQ(server.requestCount(), 0u);
  for (int i = 0; i < 100 && !ended; ++i) loop->runInMode("private-mode", 0.1, true);
  EXPECT_TRUE(ended);
  s->setClient(0, nullptr);
}

}  // namespace
}  // namespace plat
