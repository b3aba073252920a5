// The range fetcher: its Range texts, what answers it takes into blocks, how
// a body is cut into blocks, and its requests against a loopback source.
#include "app/trans/PeerDownload.h"

#include <gtest/gtest.h>

#include "app/trans/download_test_util.h"
#include "platform/foundation/run_loop.h"

namespace {

using dltest::bitmap;
using dltest::MemoryTask;
using dltest::MiB;
using dltest::pumpUntil;
using dltest::RangeServer;

struct RangeCase {
  uint64_t size;
  std::set<int64_t> blocks;
  bool lan;
  std::string expected;
};

TEST(PeerDownloadRange, TextOfTheAssignedBlocks) {
  const std::vector<RangeCase> cases = {
      {4718592, {0, 1, 4}, false, "bytes=0-2097151,4194304-4718591"},
      {4718592, {0, 1, 4}, true, "bytes=0-2097151"},
      {4718592, {4}, false, "bytes=4194304-4718591"},
      {4718592, {}, false, ""},
      {3 * MiB, {0, 1, 2}, false, "bytes=0-3145727"},
      {1, {0}, false, "bytes=0-0"},
      {10 * MiB, {1, 3, 5, 6, 9}, false, "bytes=1048576-2097151,3145728-4194303,5242880-7340031,9437184-10485759"},
  };
  for (const auto& c : cases) {
    const int64_t blocks = static_cast<int64_t>((c.size + MiB - 1) / MiB);
    auto b = bitmap(blocks, c.blocks);
    EXPECT_EQ(PeerDownload::rangeText(b.data(), blocks, c.size, c.lan), c.expected) << c.expected;
    MemoryTask task(c.size);
    PeerDownload p(&task, "http://127.0.0.1:1/f", bitmap(blocks, {}), c.size, c.lan);
    p.setdownload(b.data(), static_cast<int64_t>(b.size()));
    EXPECT_EQ(p.getRange(), c.expected);
  }
}

struct AnswerCase {
  const char* what;
  int status;
  std::optional<std::string> contentRange, contentType;
  uint64_t start;
  bool accepted;
};

TEST(PeerDownloadRange, OnlyTheAnswerAskedForIsTakenIntoBlocks) {
  const uint64_t size = 4718592;
  const std::vector<AnswerCase> cases = {
      {"206 from the start asked", 206, "bytes 1048576-2097151/4718592", std::nullopt, 1048576, true},
      {"206 of the last short block", 206, "bytes 4194304-4718591/4718592", "application/octet-stream", 4194304, true},
      {"206 from another offset", 206, "bytes 0-2097151/4718592", std::nullopt, 1048576, false},
      {"206 of a file of another size", 206, "bytes 1048576-2097151/9999999", std::nullopt, 1048576, false},
      {"206 without Content-Range", 206, std::nullopt, std::nullopt, 0, false},
      {"206 with an unreadable Content-Range", 206, "bytes 0-x/4718592", std::nullopt, 0, false},
      {"206 with trailing text", 206, "bytes 0-10/4718592 junk", std::nullopt, 0, false},
      {"206 with a range past the end", 206, "bytes 0-4718592/4718592", std::nullopt, 0, false},
      {"multipart", 206, std::nullopt, "multipart/byteranges; boundary=x", 0, false},
      {"multipart with a Content-Range", 206, "bytes 0-10/4718592", "Multipart/ByteRanges; boundary=x", 0, false},
      {"200 for a request from 0", 200, std::nullopt, std::nullopt, 0, true},
      {"200 for a request from block 1", 200, std::nullopt, std::nullopt, 1048576, false},
      {"redirect", 302, std::nullopt, "text/html", 0, false},
      {"not modified", 304, std::nullopt, std::nullopt, 0, false},
      {"not found", 404, std::nullopt, "text/plain", 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PeerDownload::acceptsResponse(c.status, c.contentRange, c.contentType, c.start, size), c.accepted)
        << c.what;
  }
}

struct Write {
  uint64_t pos, size;
  bool operator==(const Write&) const = default;
};

struct ChunkCase {
  const char* what;
  uint64_t filesize;
  std::set<int64_t> assigned;
  uint64_t start, end;  // the run asked for
  std::vector<size_t> chunks;
  std::vector<std::pair<uint64_t, uint64_t>> writes;
  std::vector<int64_t> done;
  std::vector<bool> results;
  int64_t leftAssigned;
};

TEST(PeerDownloadChunks, ABodyIsCutIntoItsBlocks) {
  const std::vector<ChunkCase> cases = {
      {"a chunk across a block end goes on into the next block",
       3 * MiB, {0, 1}, 0, 2 * MiB - 1, {1048000, 1000, 1048152},
       {{0, 1048000}, {1048000, 576}, {1048576, 424}, {1049000, 1048152}}, {0, 1}, {true, true, true}, 0},
      {"the last block ends at the file's end",
       2621440, {2}, 2 * MiB, 2621439, {524288}, {{2097152, 524288}}, {2}, {true}, 0},
      {"a byte past the run ends the request after the block",
       3 * MiB, {0, 2}, 0, MiB - 1, {MiB + 1}, {{0, MiB}}, {0}, {false}, 1},
      {"a block cut short is not complete",
       3 * MiB, {1}, MiB, 2 * MiB - 1, {1000}, {{MiB, 1000}}, {}, {true}, 1},
      {"a one-byte file",
       1, {0}, 0, 0, {1}, {{0, 1}}, {0}, {true}, 0},
  };
  for (const auto& c : cases) {
    MemoryTask task(c.filesize);
    const int64_t blocks = static_cast<int64_t>((c.filesize + MiB - 1) / MiB);
    PeerDownload p(&task, "http://127.0.0.1:1/f", bitmap(blocks, {}), c.filesize, false);
    auto a = bitmap(blocks, c.assigned);
    p.setdownload(a.data(), static_cast<int64_t>(a.size()));
    p.beginBody(c.start, c.end);
    const std::string body = dltest::randomBytes(c.end - c.start + 2);
    size_t at = 0;
    std::vector<bool> results;
    for (size_t n : c.chunks) {
      results.push_back(p.consume(reinterpret_cast<const uint8_t*>(body.data()) + at, n));
      at += n;
    }
    EXPECT_EQ(results, c.results) << c.what;
    EXPECT_EQ(task.writes, c.writes) << c.what;
    EXPECT_EQ(task.done, c.done) << c.what;
    EXPECT_EQ(p.getdownloadnum(), c.leftAssigned) << c.what;
    // What was written is the body's bytes at their file offsets.
    for (const auto& [pos, size] : task.writes) {
      if (pos + size <= c.filesize) {
        EXPECT_EQ(task.file.substr(pos, size), body.substr(pos - c.start, size)) << c.what;
      }
    }
  }
}

TEST(PeerDownloadChunks, AFailedWriteOrAStoppedSourceTakesNothing) {
  MemoryTask refusing(2 * MiB, false);
  PeerDownload p(&refusing, "http://127.0.0.1:1/f", bitmap(2, {}), 2 * MiB, false);
  auto a = bitmap(2, {0, 1});
  p.setdownload(a.data(), 1);
  p.beginBody(0, 2 * MiB - 1);
  const std::string body = dltest::randomBytes(MiB);
  EXPECT_FALSE(p.consume(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  EXPECT_TRUE(refusing.done.empty());
  EXPECT_EQ(p.getdownloadnum(), 2);

  MemoryTask task(2 * MiB);
  PeerDownload q(&task, "http://127.0.0.1:1/f", bitmap(2, {}), 2 * MiB, false);
  q.setdownload(a.data(), 1);
  q.stop();
  q.beginBody(0, 2 * MiB - 1);
  EXPECT_FALSE(q.consume(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  EXPECT_TRUE(task.writes.empty());
}

class PeerDownloadFetch : public ::testing::Test {
protected:
  void SetUp() override {
    plat::MainThread::setCurrentThreadAsMain();
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
  }
  void TearDown() override { plat::RunLoop::main()->remove(keepAlive_); }
  plat::RunLoop::SourceId keepAlive_ = 0;
};

TEST_F(PeerDownloadFetch, ALanPeerAsksOneRunAtATimeAndFillsItsBlocks) {
  const uint64_t size = 4718592;
  RangeServer server(dltest::randomBytes(size));
  server.hold("peer");
  MemoryTask task(size);
  PeerDownload p(&task, server.url("peer"), bitmap(5, {0, 1, 2, 3, 4}), size, true);
  auto a = bitmap(5, {0, 1, 4});
  p.setdownload(a.data(), 1);
  p.run();
  ASSERT_TRUE(pumpUntil([&] { return !p.isRunning(); }));
  EXPECT_EQ(server.ranges("peer"), (std::vector<std::string>{"bytes=0-2097151", "bytes=4194304-4718591"}));
  EXPECT_EQ(task.done, (std::vector<int64_t>{0, 1, 4}));
  EXPECT_EQ(task.file.substr(0, 2 * MiB), server.content().substr(0, 2 * MiB));
  EXPECT_EQ(task.file.substr(4 * MiB), server.content().substr(4 * MiB));
  EXPECT_FALSE(p.isbad());
  EXPECT_EQ(p.nPriority(), 0);
  EXPECT_EQ(p.getdownloadnum(), 0);
}

TEST_F(PeerDownloadFetch, AServerSourceAlsoSendsOneRunPerRequest) {
  // Several runs in one request come back multipart (or, from some servers,
  // without framing): one run per request keeps every answer checkable.
  const uint64_t size = 5 * MiB;
  RangeServer server(dltest::randomBytes(size));
  server.hold("f");
  MemoryTask task(size);
  PeerDownload p(&task, server.url("f"), bitmap(5, {0, 1, 2, 3, 4}), size, false);
  auto a = bitmap(5, {1, 3, 4});
  p.setdownload(a.data(), 1);
  p.run();
  ASSERT_TRUE(pumpUntil([&] { return !p.isRunning(); }));
  EXPECT_EQ(server.ranges("f"), (std::vector<std::string>{"bytes=1048576-2097151", "bytes=3145728-5242879"}));
  EXPECT_EQ(task.done, (std::vector<int64_t>{1, 3, 4}));
}

struct RefusedCase {
  const char* what;
  qvtest::ScriptedResponse response;
};

TEST_F(PeerDownloadFetch, AnAnswerNotAskedForMarksTheSourceBadAndWritesNothing) {
  const uint64_t size = 2 * MiB;
  const std::string content = dltest::randomBytes(size);
  auto part = [&](int status, qvtest::Fields headers, std::string body) {
    qvtest::ScriptedResponse r;
    r.status = status;
    r.reason = "X";
    r.headers = std::move(headers);
    r.body = std::move(body);
    return r;
  };
  const std::string block1 = content.substr(MiB, MiB);
  const std::vector<RefusedCase> cases = {
      {"404", part(404, {}, "missing")},
      {"206 from another offset", part(206, {{"Content-Range", "bytes 0-1048575/2097152"}}, content.substr(0, MiB))},
      {"multipart", part(206, {{"Content-Type", "multipart/byteranges; boundary=B"}},
                         "--B\r\nContent-Range: bytes 1048576-2097151/2097152\r\n\r\n" + block1 + "\r\n--B--\r\n")},
      {"200 of the whole file for block 1", part(200, {}, content)},
      {"a redirect with a body", part(302, {{"Location", "/elsewhere"}}, std::string(MiB, 'R'))},
      {"a compressed body", part(206, {{"Content-Range", "bytes 1048576-2097151/2097152"},
                                       {"Content-Encoding", "gzip"}}, qvtest::gzip(block1))},
  };
  for (const auto& c : cases) {
    RangeServer server(content);
    server.hold("f");
    server.script("f", c.response);
    MemoryTask task(size);
    PeerDownload p(&task, server.url("f"), bitmap(2, {0, 1}), size, false);
    auto a = bitmap(2, {1});
    p.setdownload(a.data(), 1);
    p.run();
    ASSERT_TRUE(pumpUntil([&] { return !p.isRunning(); })) << c.what;
    EXPECT_TRUE(p.isbad()) << c.what;
    EXPECT_EQ(p.nPriority(), 1) << c.what;
    EXPECT_TRUE(task.writes.empty()) << c.what;
    EXPECT_TRUE(task.done.empty()) << c.what;
    EXPECT_EQ(server.ranges("f").size(), 1u) << c.what;
  }
}

TEST_F(PeerDownloadFetch, ACutAnswerLeavesTheSourceUsableAndAStoppedSourceRunsAgain) {
  const uint64_t size = 3 * MiB;
  RangeServer server(dltest::randomBytes(size));
  server.hold("f");
  qvtest::ScriptedResponse cut;
  cut.status = 206;
  cut.reason = "Partial Content";
  cut.headers = {{"Content-Range", "bytes 0-3145727/3145728"}};
  cut.body = server.content();
  cut.closeAfterBytes = 1500000 + 200;  // past the head, inside block 1
  server.script("f", cut);
  MemoryTask task(size);
  PeerDownload p(&task, server.url("f"), bitmap(3, {0, 1, 2}), size, false);
  auto all = bitmap(3, {0, 1, 2});
  p.setdownload(all.data(), 1);
  p.run();
  ASSERT_TRUE(pumpUntil([&] { return !p.isRunning(); }));
  // A transport failure after an answer that was asked for: not bad.
  EXPECT_FALSE(p.isbad());
  EXPECT_EQ(p.nPriority(), 1);
  EXPECT_EQ(task.done, (std::vector<int64_t>{0}));
  EXPECT_EQ(p.getdownloadnum(), 2);

  // Stopped (as the scheduler stops a source), it fetches again when run.
  p.stop();
  auto rest = bitmap(3, {1, 2});
  p.setdownload(rest.data(), 1);
  p.run();
  ASSERT_TRUE(pumpUntil([&] { return !p.isRunning(); }));
  EXPECT_EQ(task.done, (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(task.file, server.content());
  EXPECT_EQ(p.nPriority(), 0);
  EXPECT_EQ(server.ranges("f"), (std::vector<std::string>{"bytes=0-3145727", "bytes=1048576-3145727"}));
}

TEST_F(PeerDownloadFetch, StopCancelsTheRequestInFlightAndLaterChunksAreIgnored) {
  const uint64_t size = 2 * MiB;
  RangeServer server(dltest::randomBytes(size));
  server.hold("f");
  qvtest::ScriptedResponse slow;
  slow.status = 206;
  slow.reason = "Partial Content";
  slow.headers = {{"Content-Range", "bytes 0-2097151/2097152"}};
  slow.body = server.content();
  slow.delayBeforeBody = 0.3;
  server.script("f", slow);
  MemoryTask task(size);
  PeerDownload p(&task, server.url("f"), bitmap(2, {0, 1}), size, false);
  auto all = bitmap(2, {0, 1});
  p.setdownload(all.data(), 1);
  p.run();
  ASSERT_TRUE(pumpUntil([&] { return server.ranges("f").size() == 1; }));
  p.stop();
  EXPECT_FALSE(p.isRunning());
  EXPECT_EQ(p.getdownloadnum(), 0);
  pumpUntil([] { return false; }, 0.6);
  EXPECT_TRUE(task.writes.empty());
  EXPECT_TRUE(task.done.empty());
}

}  // namespace
