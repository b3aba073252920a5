// The download against loopback sources: the resume file, the scheduler's
// choices with scripted whole-file and partial peers, and whole runs that
// end "_ok" or "_error". The file API is a loopback server that fails, so
// the download goes on with the peers it was given.
#include "app/trans/Download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/APIHosts.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/download_test_util.h"
#include "platform/foundation/file_util.h"

namespace {

using dltest::bitmap;
using dltest::blocksOf;
using dltest::MiB;
using dltest::pumpUntil;
using dltest::RangeServer;
using dltest::RecordingParent;

constexpr const char* kHashOfA = "0123456789abcdef0123456789abcdef01234567";

class DownloadTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { plat::MainThread::setCurrentThreadAsMain(); }
  void SetUp() override {
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    auto ud = std::make_shared<UserData>();
    ud->setUserID(50);
    AppServices::shared().setUserdata(ud);
    AppServices::shared().setBHttps(false);
  }
  void TearDown() override {
    AppServices::shared().setUserdata(nullptr);
    plat::RunLoop::main()->remove(keepAlive_);
  }

  TransItem job(const std::string& content, const std::string& hash = "") {
    TransItem t;
    t.itemid = 1;
    t.filehash = hash.empty() ? sha1(content) : hash;
    t.filesize = content.size();
    t.webpath = "docs/f.bin";
    t.path = dir_.path() + "/cache/down_" + t.filehash;
    return t;
  }
  static std::string sha1(const std::string& s) { return NSDataExpand::sha1HexDigest(s); }

  synctest::TempDir dir_;
  RecordingParent parent_;
  plat::RunLoop::SourceId keepAlive_ = 0;
};

struct ResumeCase {
  const char* what;
  std::optional<std::string> tmp;  // the ".tmp" before; none: missing
  std::set<int64_t> present;
  size_t tmpAfter;
};

TEST_F(DownloadTest, TheResumeFileIsTakenOnlyAtItsExactLength) {
  // 10 blocks: a 2-byte bitmap.
  const std::string content(10 * MiB - 5, 'x');
  const std::vector<ResumeCase> cases = {
      {"missing", std::nullopt, {}, 0},
      {"exact length", std::string("\x05\x02", 2), {0, 2, 9}, 2},
      {"bits past the last block are dropped", std::string("\x01\xFE", 2), {0, 9}, 2},
      {"too short", std::string("\xFF", 1), {}, 0},
      {"too long", std::string("\xFF\xFF\xFF", 3), {}, 0},
  };
  for (const auto& c : cases) {
    TransItem t = job(content, kHashOfA);
    plat::removeTree(dir_.path() + "/cache");
    ASSERT_TRUE(plat::makeDirectories(dir_.path() + "/cache"));
    ASSERT_TRUE(plat::atomicWrite(t.path, "old bytes stay until overwritten"));
    if (c.tmp) {
      ASSERT_TRUE(plat::atomicWrite(t.path + ".tmp", *c.tmp));
    }
    auto d = std::make_shared<Download>(t, &parent_);
    ASSERT_TRUE(d->createfile()) << c.what;
    EXPECT_EQ(d->dataCount(), 2);
    EXPECT_EQ(blocksOf(d->haveData()), c.present) << c.what;
    d->closefile();
    EXPECT_EQ(plat::fileSize(t.path + ".tmp").value_or(99), c.tmpAfter) << c.what;
    EXPECT_EQ(plat::readFile(t.path).value_or(""), "old bytes stay until overwritten") << c.what;
  }
}

TEST_F(DownloadTest, ThreeMiBHaveThreeBlocksInOneByte) {
  auto d = std::make_shared<Download>(job(std::string(3 * MiB, 'a'), kHashOfA), &parent_);
  EXPECT_EQ(d->indexCount(), 3);
  EXPECT_EQ(d->dataCount(), 1);
  ASSERT_TRUE(d->createfile());
  d->updateindex(0);
  d->updateindex(2);
  EXPECT_EQ(d->haveData(), std::vector<uint8_t>{0x05});
  // The resume file names the blocks once the download thread has recorded them.
  d->saveindex();
  EXPECT_EQ(plat::readFile(d->item().path + ".tmp").value_or(""), std::string("\x05", 1));
  EXPECT_FALSE(d->checkfinish());
  d->updateindex(1);
  EXPECT_TRUE(d->checkfinish());
  EXPECT_DOUBLE_EQ(d->getprogress(), 1.0);
}

TEST_F(DownloadTest, AHashThatIsNotFortyLowercaseHexNamesNoFile) {
  for (const std::string& hash : {std::string("../../escape"), std::string(40, 'A'), std::string("abc"),
                                 std::string(39, 'a') + "/"}) {
    TransItem t = job("data", kHashOfA);
    t.filehash = hash;
    t.path = dir_.path() + "/cache/down_" + hash;
    parent_.removed = false;
    auto d = std::make_shared<Download>(t, &parent_);
    ASSERT_TRUE(d->run());
    d->join();
    EXPECT_EQ(d->result(), 81) << hash;
    EXPECT_TRUE(parent_.removed);
    EXPECT_FALSE(Util::existfile(t.path)) << hash;
  }
}

// One pass of the scheduler over scripted peers, the sources then left
// alone (nothing is served to them while the main thread is not pumped).
struct Peer {
  std::string name;
  std::set<int64_t> blocks;  // empty: the whole file
  int64_t userid = 0;
  bool bHttpStart = false, bHttpAble = false;
};

struct SchedCase {
  const char* what;
  std::vector<Peer> peers;
  std::map<std::string, std::set<int64_t>> given;  // running sources and their blocks; "http" the server
  bool httpStart;
  bool httpAble;
};

TEST_F(DownloadTest, SchedulerTable) {
  const std::string content = dltest::randomBytes(8 * MiB);
  RangeServer server(content);
  server.silenceOthers();
  const std::vector<SchedCase> cases = {
      {"a whole-file peer takes everything; the server stays off",
       {{"w", {}}}, {{"w", {0, 1, 2, 3, 4, 5, 6, 7}}}, false, true},
      {"two halves: each peer its own, no server",
       {{"a", {0, 1, 2, 3}}, {"b", {4, 5, 6, 7}}}, {{"a", {0, 1, 2, 3}}, {"b", {4, 5, 6, 7}}}, false, true},
      {"overlapping halves: the second gets only what is left",
       {{"a", {0, 1, 2, 3, 4}}, {"b", {3, 4, 5, 6, 7}}}, {{"a", {0, 1, 2, 3, 4}}, {"b", {5, 6, 7}}}, false, true},
      {"a partial peer; the server gets the blocks no peer has",
       {{"a", {0, 1}}}, {{"a", {0, 1}}, {"http", {2, 3, 4, 5, 6, 7}}}, true, true},
      {"a peer fetching from the server keeps this one off it",
       {{"a", {0, 1}, 0, true, true}}, {{"a", {0, 1}}}, false, false},
      {"with 4 peers, one of lower id that may use the server defers ((4+5)/5 = 1)",
       {{"a", {0}, 10, false, true}, {"b", {1}, 60}, {"c", {2}, 70}, {"d", {3}, 80}},
       {{"a", {0}}, {"b", {1}}, {"c", {2}}}, false, true},
      {"a lower id that may not use the server does not defer",
       {{"a", {0}, 10, false, false}, {"b", {1}, 60}, {"c", {2}, 70}, {"d", {3}, 80}},
       {{"a", {0}}, {"b", {1}}, {"c", {2}}, {"http", {4, 5, 6, 7}}}, true, true},
      {"at most 3 peers run, those offering more first",
       {{"a", {0}}, {"b", {1, 2}}, {"c", {3, 4, 5}}, {"d", {6, 7, 0, 1}}},
       {{"d", {0, 1, 6, 7}}, {"c", {3, 4, 5}}, {"b", {2}}}, false, true},
  };
  for (const auto& c : cases) {
    TransItem t = job(content);
    auto d = std::make_shared<Download>(t, &parent_);
    ASSERT_TRUE(d->createfile());
    d->addHttpPeer(server.url("http"));
    for (const auto& p : c.peers) {
      if (p.blocks.empty()) {
        d->addUdpPeer(server.url(p.name));
      } else {
        auto b = bitmap(8, p.blocks);
        d->addUdpPeer(server.url(p.name), p.bHttpStart, p.bHttpAble, p.userid, b.data(), 1);
      }
    }
    d->checkpeer(plat::currentClock().monotonic() - 10);
    std::map<std::string, std::set<int64_t>> given;
    for (const auto& s : d->httpPeers()) {
      std::vector<uint8_t> b(1, 0);
      s->copy(b.data(), 1);
      if (s->isRunning()) given["http"] = blocksOf(b);
    }
    for (const auto& s : d->udpPeers()) {
      std::vector<uint8_t> b(1, 0);
      s->copy(b.data(), 1);
      if (s->isRunning()) given[s->url().substr(s->url().rfind('/') + 1)] = blocksOf(b);
    }
    EXPECT_EQ(given, c.given) << c.what;
    EXPECT_EQ(d->bHttpStart(), c.httpStart) << c.what;
    EXPECT_EQ(d->bHttpAble(), c.httpAble) << c.what;
    d->stop(true);
  }
}

TEST_F(DownloadTest, AServerSourceThatEndedByItselfIsStartedAgain) {
  const std::string content = dltest::randomBytes(4 * MiB);
  RangeServer server(content);
  server.silenceOthers();
  auto d = std::make_shared<Download>(job(content), &parent_);
  ASSERT_TRUE(d->createfile());
  d->addHttpPeer(server.url("http"));
  auto b = bitmap(4, {0, 1});
  d->addUdpPeer(server.url("a"), false, true, 0, b.data(), 1);
  const double t0 = plat::currentClock().monotonic() - 10;
  d->checkpeer(t0);
  ASSERT_TRUE(d->bHttpStart());
  // Both sources end without finishing (as after a transport failure).
  for (const auto& s : d->httpPeers()) s->stop();
  for (const auto& s : d->udpPeers()) s->stop();
  d->checkpeer(t0);
  ASSERT_EQ(d->httpPeers().size(), 1u);
  EXPECT_TRUE(d->httpPeers()[0]->isRunning());
  EXPECT_EQ(d->httpPeers()[0]->getdownloadnum(), 2);
  EXPECT_TRUE(d->udpPeers()[0]->isRunning());
  d->stop(true);
}

// The server source waits half a second for the LAN's answers only when a
// query went out; with none, the first pass starts it.
TEST_F(DownloadTest, TheServerWaitsForLanAnswersOnlyWhenAQueryWentOut) {
  const std::string content = dltest::randomBytes(3 * MiB);
  RangeServer server(content);
  server.silenceOthers();
  struct NoLan : RecordingParent {
    bool checkfilehash(const std::string&) override {
      ++queries;
      return false;
    }
  } nolan;
  for (DownloadParent* parent : {static_cast<DownloadParent*>(&nolan), static_cast<DownloadParent*>(&parent_)}) {
    const bool queried = parent == &parent_;
    auto d = std::make_shared<Download>(job(content), parent);
    ASSERT_TRUE(d->createfile());
    d->addHttpPeer(server.url("http"));
    d->lanquery();
    const double now = plat::currentClock().monotonic();
    d->checkpeer(now);
    EXPECT_EQ(d->bHttpStart(), !queried) << queried;
    d->checkpeer(now - 0.6);
    EXPECT_TRUE(d->bHttpStart()) << queried;
    d->stop(true);
  }
  EXPECT_EQ(nolan.queries.load(), 1);
  EXPECT_EQ(parent_.queries.load(), 1);
}

// What a block holds once complete is what was hashed: later writes into it
// change nothing, and nothing is written past the file's end.
TEST_F(DownloadTest, ACompleteBlockIsNeverWrittenAgain) {
  const std::string content = dltest::randomBytes(2 * MiB + 10);
  auto d = std::make_shared<Download>(job(content), &parent_);
  ASSERT_TRUE(d->createfile());
  const auto* bytes = reinterpret_cast<const uint8_t*>(content.data());
  ASSERT_TRUE(d->writefile(bytes, 0, MiB));
  d->updateindex(0);
  const std::string other(MiB + 100, 'q');
  const auto* q = reinterpret_cast<const uint8_t*>(other.data());
  // Into the complete block 0 and on into block 1: only block 1 takes it.
  EXPECT_TRUE(d->writefile(q, MiB - 100, 200));
  EXPECT_TRUE(d->writefile(bytes + MiB + 100, MiB + 100, MiB - 100));
  EXPECT_TRUE(d->writefile(bytes + 2 * MiB, 2 * MiB, 10));
  EXPECT_FALSE(d->writefile(q, 2 * MiB + 5, 6));
  EXPECT_FALSE(d->writefile(q, ~uint64_t{0} - 2, 6));
  d->closefile();
  std::string expect = content;
  expect.replace(MiB, 100, 100, 'q');
  EXPECT_TRUE(plat::readFile(d->item().path) == expect);
}

class DownloadRunTest : public DownloadTest {
protected:
  void SetUp() override {
    DownloadTest::SetUp();
    APIHosts::setAll(server_.hostPort());
  }
  void TearDown() override {
    APIHosts::setAll("");
    DownloadTest::TearDown();
  }
  std::shared_ptr<Download> runToEnd(const TransItem& t, const std::function<void(Download&)>& before = {}) {
    auto d = std::make_shared<Download>(t, &parent_);
    if (before) before(*d);
    EXPECT_TRUE(d->run());
    EXPECT_TRUE(pumpUntil([&] { return d->result() != Download::kRunning; }));
    d->join();
    return d;
  }
  RangeServer server_{dltest::randomBytes(9 * MiB + 77, 3)};
};

TEST_F(DownloadRunTest, ScriptedWholeAndPartialPeersBringTheFileWithoutTheServer) {
  // Two partial peers first; a whole-file peer answers later and gets only
  // the blocks nobody else offers.
  server_.hold("a", {0, 1, 2, 3});
  server_.hold("b", {4, 5, 6, 7});
  server_.hold("w");
  const TransItem t = job(server_.content());
  auto d = std::make_shared<Download>(t, &parent_);
  auto a = bitmap(10, {0, 1, 2, 3});
  auto b = bitmap(10, {4, 5, 6, 7});
  d->addUdpPeer(server_.url("a"), false, true, 0, a.data(), 2);
  d->addUdpPeer(server_.url("b"), false, true, 0, b.data(), 2);
  ASSERT_TRUE(d->run());
  ASSERT_TRUE(pumpUntil([&] { return !server_.ranges("a").empty() && !server_.ranges("b").empty(); }));
  EXPECT_TRUE(d->addUdpPeer(server_.url("w")));
  ASSERT_TRUE(pumpUntil([&] { return d->result() != Download::kRunning; }));
  d->join();
  EXPECT_EQ(d->result(), Download::kOk);
  EXPECT_EQ(plat::readFile(t.path + "_ok").value_or(""), server_.content());
  EXPECT_FALSE(Util::existfile(t.path + ".tmp"));
  EXPECT_FALSE(Util::existfile(t.path));
  EXPECT_EQ(server_.ranges("a"), (std::vector<std::string>{"bytes=0-4194303"}));
  EXPECT_EQ(server_.ranges("b"), (std::vector<std::string>{"bytes=4194304-8388607"}));
  EXPECT_EQ(server_.ranges("w"), (std::vector<std::string>{"bytes=8388608-9437260"}));
  EXPECT_EQ(parent_.bytes.load(), server_.content().size());
  EXPECT_TRUE(parent_.removed);
}

TEST_F(DownloadRunTest, AResumeFileThatLiesEndsAsErrorNeverOk) {
  const TransItem t = job(server_.content());
  ASSERT_TRUE(plat::makeDirectories(plat::pathDirname(t.path)));
  // Every block marked present, but the bytes are not the file's.
  ASSERT_TRUE(plat::atomicWrite(t.path, std::string(server_.content().size(), 'z')));
  ASSERT_TRUE(plat::atomicWrite(t.path + ".tmp", std::string("\xFF\x03", 2)));
  // An older result of the same name is replaced by nothing unchecked.
  ASSERT_TRUE(plat::atomicWrite(t.path + "_ok", "stale"));
  server_.hold("w");
  auto d = runToEnd(t, [&](Download& d) { d.addUdpPeer(server_.url("w")); });
  EXPECT_EQ(d->result(), Download::kError);
  EXPECT_EQ(plat::readFile(t.path + "_error").value_or(""), std::string(server_.content().size(), 'z'));
  EXPECT_EQ(plat::readFile(t.path + "_ok").value_or(""), "stale");
  EXPECT_FALSE(Util::existfile(t.path + ".tmp"));
  EXPECT_TRUE(server_.ranges("w").empty());
}

TEST_F(DownloadRunTest, NoSourceAtAllFailsWith83AndEverySourceBadToo) {
  const TransItem t = job(server_.content());
  auto none = runToEnd(t);
  EXPECT_EQ(none->result(), 83);

  server_.script("gone", qvtest::ScriptedResponse::text(404, "no"));
  server_.script("gone", qvtest::ScriptedResponse::text(404, "no"));
  std::vector<std::shared_ptr<PeerDownload>> seen;
  parent_.onRemove = [&](Download& d) {
    for (auto& p : d.udpPeers()) seen.push_back(p);
  };
  auto bad = runToEnd(t, [&](Download& d) { d.addUdpPeer(server_.url("gone")); });
  EXPECT_EQ(bad->result(), 83);
  // Its sources were stopped and dropped before it left.
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(Util::existfile(t.path));
}

}  // namespace
