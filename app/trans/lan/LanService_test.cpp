// The LAN service on loopback: the file service's answers and bounds over
// real TCP connections, discovery's answers and notices over real UDP
// datagrams, the service threads' start and end, and a real download that
// takes its blocks from two file services.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/APIHosts.h"
#include "app/sync/sync_test_util.h"
#include "app/trans/Download.h"
#include "app/trans/TransManager.h"
#include "app/trans/download_test_util.h"
#include "app/trans/lan/HttpThread.h"
#include "app/trans/lan/LanWire.h"
#include "app/trans/lan/lan_test_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/notification_center.h"
#include "platform/net/lan_socket.h"

namespace {

using lantest::FolderClient;
using lantest::Response;

constexpr uint64_t MiB = 1048576;
const std::string kDate = "Fri, 11 Dec 2026 01:00:00 GMT";

std::string sha1(const std::string& s) { return NSDataExpand::sha1HexDigest(s); }

class LanServiceTest : public ::testing::Test {
protected:
  void SetUp() override {
    client_ = std::make_shared<FolderClient>();
    start();
  }
  void TearDown() override {
    if (service_) {
      service_->exit();
      service_->join();
    }
  }
  void start() {
    HttpThread::Options o;
    o.httpPort = 0;
    o.udpPort = 0;
    service_ = HttpThread::init(client_, o);
    ASSERT_TRUE(service_->waitReady(10));
    httpPort_ = static_cast<int>(service_->httplisten()->nPort());
    udpPort_ = static_cast<int>(service_->udpsocket()->nPort());
    ASSERT_GT(httpPort_, 0);
    ASSERT_GT(udpPort_, 0);
  }
  // A file of the folder, held whole under its hash.
  std::string hold(const std::string& name, const std::string& content) {
    const std::string path = dir_.path() + "/" + name;
    EXPECT_TRUE(plat::atomicWrite(path, content));
    client_->addWhole(sha1(content), path);
    return sha1(content);
  }
  static std::string get(const std::string& hash, const std::string& extra = "Host: 127.0.0.1:24753\r\n") {
    return "GET /download?filehash=" + hash + " HTTP/1.1\r\n" + extra + "User-Agent: client_quorva\r\n\r\n";
  }
  Response exchange(const std::string& request) {
    const int fd = lantest::connectTo(httpPort_);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(lantest::sendAll(fd, request));
    Response r = lantest::readResponse(fd);
    if (!r.closed) {
      // After the body the service keeps the connection open; anything more
      // would be a fault.
      bool closed = false;
      EXPECT_EQ(lantest::readSome(fd, 1, 0.05, &closed), "");
    }
    ::close(fd);
    return r;
  }
  // Sends `request` and reads whatever comes until the service closes.
  std::string rawUntilClosed(const std::string& request, bool* closed) {
    const int fd = lantest::connectTo(httpPort_);
    EXPECT_TRUE(lantest::sendAll(fd, request));
    std::string got = lantest::readSome(fd, 1 << 20, 5, closed);
    ::close(fd);
    return got;
  }

  synctest::TempDir dir_;
  std::shared_ptr<FolderClient> client_;
  std::shared_ptr<HttpThread> service_;
  int httpPort_ = 0, udpPort_ = 0;
};

// ---- The file service ----

TEST_F(LanServiceTest, AWholeFileIsServedWithItsHeadAndExactlyItsBytes) {
  struct Case {
    const char* name;
    size_t size;
  } cases[] = {{"five million bytes", 5000000}, {"one byte", 1}, {"empty", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string content = dltest::randomBytes(c.size, 11);
    const std::string hash = hold(c.name, content);
    Response r = exchange(get(hash));
    EXPECT_EQ(r.head, lanwire::head200("127.0.0.1:24753", kDate, c.size));
    EXPECT_TRUE(r.body == content) << r.body.size();
    EXPECT_FALSE(r.closed);
  }
  // No Host: the Server line is empty.
  const std::string hash = hold("small", "abc");
  EXPECT_EQ(exchange(get(hash, "")).head, lanwire::head200("", kDate, 3));
}

TEST_F(LanServiceTest, OneByteRangeIsServedAndARangeOutsideTheFileRefused) {
  const std::string big = dltest::randomBytes(5 * MiB, 12), small = dltest::randomBytes(1000, 13);
  const std::string hb = hold("big", big), hs = hold("small", small);
  struct Case {
    const char* name;
    std::string hash;
    std::string range;
    int64_t first, last;  // -1: refused
    uint64_t size;
  } cases[] = {
      {"a block and a byte", hb, "bytes=1048576-2097152", 1048576, 2097152, 5 * MiB},
      {"to the end", hs, "bytes=100-", 100, 999, 1000},
      {"only the first of two", hs, "bytes=0-99,200-299", 0, 99, 1000},
      {"end past the file, cut to it", hs, "bytes=900-5000", 900, 999, 1000},
      {"start past the file", hs, "bytes=1000-1100", -1, -1, 1000},
      {"reversed", hs, "bytes=500-100", -1, -1, 1000},
      {"no unit", hs, "0-99", -1, -1, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Response r = exchange(get(c.hash, "Host: h\r\nRange: " + c.range + "\r\n"));
    const std::string& content = c.size == 1000 ? small : big;
    if (c.first < 0) {
      EXPECT_EQ(r.head, lanwire::head404("h", kDate));
      EXPECT_TRUE(r.closed);
      continue;
    }
    EXPECT_EQ(r.head, lanwire::head206("h", kDate, c.first, c.last, c.size));
    EXPECT_TRUE(r.body == content.substr(c.first, c.last - c.first + 1));
  }
}

TEST_F(LanServiceTest, WhatNamesNoFileGets404AndWhatIsNoDownloadIsClosedUnanswered) {
  hold("f", "content");
  struct Case {
    const char* name;
    std::string request;
    bool answers404;
  } cases[] = {
      {"unknown hash", get(std::string(40, 'a')), true},
      {"no content hash", get("../../etc/passwd"), true},
      {"upper-case hash", get(std::string(40, 'A')), true},
      {"another path", "GET /etc/passwd HTTP/1.1\r\nHost: h\r\n\r\n", false},
      {"garbage", std::string("\x16\x03\x01\x02\x00\r\n\r\n", 9), false},
      {"a body", "GET /download?filehash=" + sha1("content") + " HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", false},
      {"a head without end", "GET /download?filehash=" + std::string(lanwire::kMaxRequestHead, 'a'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool closed = false;
    const std::string got = rawUntilClosed(c.request, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, c.answers404 ? lanwire::head404("127.0.0.1:24753", kDate) : std::string());
  }
}

TEST_F(LanServiceTest, ARequestInPiecesIsAnsweredOnceWholeAndAConnectionServesSeveral) {
  const std::string a = dltest::randomBytes(300000, 14), b = dltest::randomBytes(2000, 15);
  const std::string ha = hold("a", a), hb = hold("b", b);
  const int fd = lantest::connectTo(httpPort_);
  const std::string req = get(ha);
  // Cut inside the hash: nothing is answered yet.
  ASSERT_TRUE(lantest::sendAll(fd, req.substr(0, 40)));
  EXPECT_EQ(lantest::readSome(fd, 1, 0.3), "");
  ASSERT_TRUE(lantest::sendAll(fd, req.substr(40)));
  Response r = lantest::readResponse(fd);
  EXPECT_EQ(r.head, lanwire::head200("127.0.0.1:24753", kDate, a.size()));
  EXPECT_TRUE(r.body == a);
  // Two more on the same connection, sent at once.
  ASSERT_TRUE(lantest::sendAll(fd, get(hb, "Range: bytes=10-19\r\n") + get(ha, "Range: bytes=299990-\r\n")));
  r = lantest::readResponse(fd);
  EXPECT_EQ(r.head, lanwire::head206("", kDate, 10, 19, b.size()));
  EXPECT_EQ(r.body, b.substr(10, 10));
  r = lantest::readResponse(fd);
  EXPECT_EQ(r.head, lanwire::head206("", kDate, 299990, 299999, a.size()));
  EXPECT_EQ(r.body, a.substr(299990));
  EXPECT_FALSE(r.closed);
  ::close(fd);
}

TEST_F(LanServiceTest, ARunningDownloadServesOnlyTheBlocksItHolds) {
  // Three blocks announced, only 0 and 2 written so far.
  const std::string content = dltest::randomBytes(3 * MiB - 10, 16);
  const std::string path = dir_.path() + "/down";
  std::string partial = content;
  std::fill(partial.begin() + MiB, partial.begin() + 2 * MiB, '\0');
  ASSERT_TRUE(plat::atomicWrite(path, partial));
  const std::string hash = sha1(content);
  client_->addDownload(hash, {path, content.size(), {false, true, dltest::bitmap(3, {0, 2})}});
  struct Case {
    const char* name;
    std::string range;
    bool served;
  } cases[] = {
      {"block 0", "Range: bytes=0-1048575\r\n", true},
      {"block 2 to the end", "Range: bytes=2097152-\r\n", true},
      {"block 1", "Range: bytes=1048576-2097151\r\n", false},
      {"blocks 0 and 1", "Range: bytes=0-2097151\r\n", false},
      {"the whole file", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Response r = exchange(get(hash, c.range));
    if (!c.served) {
      EXPECT_EQ(r.head, lanwire::head404("", kDate));
      continue;
    }
    ASSERT_NE(r.head.find("206 Partial Content"), std::string::npos) << r.head;
    EXPECT_NE(r.head.find("/" + std::to_string(content.size()) + "\r\n"), std::string::npos);
    const uint64_t first = c.range.find("=0-") != std::string::npos ? 0 : 2 * MiB;
    EXPECT_TRUE(r.body == content.substr(first, first == 0 ? MiB : std::string::npos));
  }
}

TEST_F(LanServiceTest, TheSwitchOffRefusesEveryConnection) {
  const std::string hash = hold("f", "content");
  client_->setSwitch(false);
  bool closed = false;
  EXPECT_EQ(rawUntilClosed(get(hash), &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_FALSE(service_->httplisten()->iscanhttp());
  EXPECT_EQ(client_->lookups(), 0);
  client_->setSwitch(true);
  EXPECT_EQ(exchange(get(hash)).body, "content");
}

TEST_F(LanServiceTest, ConnectionsPerPeerAreBoundedAndAStalledPeerIsCut) {
  const std::string hash = hold("big", dltest::randomBytes(8 * MiB, 17));
  std::vector<int> open;
  for (size_t i = 0; i < HttpListen::kMaxPerPeer; ++i) open.push_back(lantest::connectTo(httpPort_));
  // Once the service has taken them all, one more from the same peer is
  // closed at once.
  const int extra = lantest::connectTo(httpPort_);
  bool closed = false;
  EXPECT_EQ(lantest::readSome(extra, 1, 5, &closed), "");
  EXPECT_TRUE(closed);
  ::close(extra);
  for (int fd : open) ::close(fd);

  // A scaled clock makes the idle time-out short: a peer that asks for a
  // large body and reads none of it is cut, as is one that never asks.
  TearDown();
  plat::ScopedClock fast(std::make_shared<plat::ScaledClock>(100));
  start();
  const int reader = lantest::connectTo(httpPort_);
  const int silent = lantest::connectTo(httpPort_);
  int buf = 4096;
  ::setsockopt(reader, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  ASSERT_TRUE(lantest::sendAll(reader, get(hash)));
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(HttpListen::kIdleSeconds * 10 + 500)));
  // What the service sent before it stalled, then the end (read with a
  // window wide enough to drain the buffers quickly).
  buf = 4 << 20;
  ::setsockopt(reader, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  std::string got = lantest::readSome(reader, 16 * MiB, 2, &closed);
  EXPECT_TRUE(closed);
  EXPECT_LT(got.size(), 8 * MiB);
  EXPECT_EQ(lantest::readSome(silent, 1, 2, &closed), "");
  EXPECT_TRUE(closed);
  ::close(reader);
  ::close(silent);
  service_->exit();
  service_->join();
  service_.reset();
}

// ---- Discovery ----

std::vector<uint8_t> datagram(lanwire::Kind kind, const std::string& hash, const std::string& address, uint32_t port,
                              std::vector<uint8_t> bitmap = {}) {
  lanwire::Datagram d;
  d.kind = kind;
  d.hash = hash;
  d.address = address;
  d.port = port;
  d.userid = 77;
  d.bHttpAble = true;
  d.bitmap = std::move(bitmap);
  return *lanwire::encode(d);
}

TEST_F(LanServiceTest, AQueryIsAnsweredWholePartialOrNotAtAll) {
  const std::string whole = hold("f", "content");
  const std::string running = sha1("running");
  client_->addDownload(running, {dir_.path() + "/f", 7, {true, false, {0x05}}});
  lantest::UdpPeer peer;
  struct Case {
    const char* name;
    std::string hash;
    std::function<void()> before;
    std::optional<lanwire::Datagram> expected;
  };
  lanwire::Datagram w;
  w.kind = lanwire::Kind::kWhole;
  w.hash = whole;
  w.address = "10.254.0.1";
  w.port = static_cast<uint32_t>(httpPort_);
  lanwire::Datagram p = w;
  p.kind = lanwire::Kind::kPartial;
  p.hash = running;
  p.bHttpStart = true;
  p.bHttpAble = false;
  p.userid = 4242;
  p.bitmap = {0x05};
  std::vector<Case> cases = {
      {"held whole", whole, [] {}, w},
      {"a running download", running, [] {}, p},
      {"held nowhere", sha1("nothing"), [] {}, std::nullopt},
      {"switch off", whole, [this] { client_->setSwitch(false); }, std::nullopt},
      {"from one of this host's addresses", whole,
       [this] { client_->setAddresses({"10.254.0.1", "127.0.0.1"}); }, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    peer.sendTo(udpPort_, datagram(lanwire::Kind::kQuery, c.hash, "127.0.0.1", static_cast<uint32_t>(peer.port())));
    auto got = peer.receive(c.expected ? 5 : 0.3);
    if (!c.expected) {
      EXPECT_FALSE(got);
    } else {
      ASSERT_TRUE(got);
      EXPECT_EQ(*got, *lanwire::encode(*c.expected));
    }
    client_->setSwitch(true);
    client_->setAddresses({"10.254.0.1"});
  }
  // Datagrams that lie about themselves are dropped, and the socket goes on.
  auto q = datagram(lanwire::Kind::kQuery, whole, "127.0.0.1", static_cast<uint32_t>(peer.port()));
  auto longer = q;
  longer.push_back(0);
  for (const auto& bad : {std::vector<uint8_t>(q.begin(), q.end() - 1), longer, std::vector<uint8_t>(65000, 'n')}) {
    peer.sendTo(udpPort_, bad);
  }
  EXPECT_FALSE(peer.receive(0.3));
  peer.sendTo(udpPort_, q);
  EXPECT_TRUE(peer.receive(5));
}

TEST_F(LanServiceTest, RepliesBecomeUdpAddPeerNoticesWithTheSendersAddress) {
  std::mutex m;
  std::vector<plat::Array> notes;
  plat::ScopedObserver obs(LocalUdpSocket::kUdpAddPeer, [&](const plat::Notification& n) {
    std::lock_guard<std::mutex> l(m);
    notes.push_back(n.object.array());
  });
  auto wait = [&](size_t count) {
    for (int i = 0; i < 300; ++i) {
      {
        std::lock_guard<std::mutex> l(m);
        if (notes.size() >= count) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  const std::string h = sha1("x");
  lantest::UdpPeer peer;
  // The address field says another host: the URL takes the sender's.
  peer.sendTo(udpPort_, datagram(lanwire::Kind::kWhole, h, "192.168.1.30", 24753));
  ASSERT_TRUE(wait(1));
  peer.sendTo(udpPort_, datagram(lanwire::Kind::kPartial, h, "192.168.1.30", 24754, {0x03, 0x01}));
  ASSERT_TRUE(wait(2));
  // Switched off, or lying about its bitmap: nothing.
  client_->setSwitch(false);
  peer.sendTo(udpPort_, datagram(lanwire::Kind::kWhole, h, "192.168.1.30", 24753));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  client_->setSwitch(true);
  auto lying = datagram(lanwire::Kind::kPartial, h, "192.168.1.30", 24754, {0x03, 0x01});
  lying.pop_back();
  peer.sendTo(udpPort_, lying);
  peer.sendTo(udpPort_, datagram(lanwire::Kind::kWhole, h, "", 1));
  ASSERT_TRUE(wait(3));
  std::lock_guard<std::mutex> l(m);
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0], (plat::Array{"http://127.0.0.1:24753/download?filehash=" + h, h}));
  ASSERT_EQ(notes[1].size(), 6u);
  EXPECT_EQ(notes[1][0].string(), "http://127.0.0.1:24754/download?filehash=" + h);
  EXPECT_EQ(notes[1][1].string(), h);
  EXPECT_EQ(notes[1][2].longLongValue(), 77);
  EXPECT_EQ(notes[1][3].dataValue(), (plat::Data{0x03, 0x01}));
  EXPECT_FALSE(notes[1][4].boolValue());
  EXPECT_TRUE(notes[1][5].boolValue());
  EXPECT_EQ(notes[2], (plat::Array{"http://127.0.0.1:1/download?filehash=" + h, h}));
}

TEST_F(LanServiceTest, ATakenDiscoveryPortFallsBackAndATakenServicePortLeavesNoService) {
  uint16_t udp = 0, tcp = 0;
  const int holdUdp = plat::udpBind(0, &udp);
  // A listener on the port, and one on the discovery port (whatever it is).
  const int holdTcp = plat::tcpListen(0, &tcp, 1);
  ASSERT_GE(holdUdp, 0);
  ASSERT_GE(holdTcp, 0);
  TearDown();
  HttpThread::Options o;
  o.httpPort = tcp;
  o.udpPort = udp >= 10000 ? udp : 0;
  service_ = HttpThread::init(client_, o);
  ASSERT_TRUE(service_->waitReady(10));
  EXPECT_FALSE(service_->httplisten()->bListen());
  EXPECT_FALSE(service_->httplisten()->iscanhttp());
  EXPECT_TRUE(service_->udpsocket()->bCreate());
  EXPECT_NE(service_->udpsocket()->nPort(), udp);
  EXPECT_GE(service_->udpsocket()->nPort(), 10000);
  EXPECT_LE(service_->udpsocket()->nPort(), 65534);
  // Without a file service, a query for what this client holds is not answered.
  const std::string whole = hold("f", "content");
  lantest::UdpPeer peer;
  peer.sendTo(static_cast<int>(service_->udpsocket()->nPort()),
              datagram(lanwire::Kind::kQuery, whole, "127.0.0.1", static_cast<uint32_t>(peer.port())));
  EXPECT_FALSE(peer.receive(0.3));
  ::close(holdUdp);
  ::close(holdTcp);
}

// ---- The service threads ----

TEST_F(LanServiceTest, AnEndedServiceFreesItsPortsAndAsksNothing) {
  const uint16_t tcp = static_cast<uint16_t>(httpPort_), udp = static_cast<uint16_t>(udpPort_);
  service_->exit();
  service_->join();
  EXPECT_FALSE(service_->httplisten());
  EXPECT_FALSE(service_->udpsocket());
  EXPECT_FALSE(service_->checkfilehash(sha1("x")));
  EXPECT_LT(lantest::connectTo(tcp), 0);
  uint16_t bound = 0;
  const int u = plat::udpBind(udp, &bound);
  EXPECT_GE(u, 0);
  ::close(u);
  const int t = plat::tcpListen(tcp, &bound, 1);
  EXPECT_GE(t, 0);
  ::close(t);
  // Ended at once after it began: its threads end all the same.
  for (int i = 0; i < 20; ++i) {
    HttpThread::Options o;
    o.httpPort = 0;
    o.udpPort = 0;
    auto s = HttpThread::init(client_, o);
    s->exit();
    s->join();
    EXPECT_FALSE(s->httplisten());
  }
}

TEST(LanQueryTest, TheTransferManagerAsksTheServiceItWasGivenWhileItLives) {
  struct Recorder : LanQuery {
    bool checkfilehash(const std::string& h) override {
      asked.push_back(h);
      return true;
    }
    std::vector<std::string> asked;
  };
  TransManager m(nullptr);
  EXPECT_FALSE(m.checkfilehash("h"));
  auto lan = std::make_shared<Recorder>();
  m.setLanQuery(lan);
  EXPECT_TRUE(m.checkfilehash("h1"));
  EXPECT_EQ(lan->asked, (std::vector<std::string>{"h1"}));
  lan.reset();
  EXPECT_FALSE(m.checkfilehash("h2"));
}

// ---- A real download from two file services ----

class LanDownloadTest : public LanServiceTest {
protected:
  static void SetUpTestSuite() { plat::MainThread::setCurrentThreadAsMain(); }
  void SetUp() override {
    LanServiceTest::SetUp();
    keepAlive_ = plat::RunLoop::main()->addTimer(1e9, 1e9, true, [] {});
    auto ud = std::make_shared<UserData>();
    ud->setUserID(50);
    AppServices::shared().setUserdata(ud);
    AppServices::shared().setBHttps(false);
    // The file API answers nothing useful: the peers are the only sources.
    APIHosts::setAll(api_.hostPort());
  }
  void TearDown() override {
    APIHosts::setAll("");
    AppServices::shared().setUserdata(nullptr);
    plat::RunLoop::main()->remove(keepAlive_);
    LanServiceTest::TearDown();
  }
  dltest::RangeServer api_{""};
  plat::RunLoop::SourceId keepAlive_ = 0;
};

TEST_F(LanDownloadTest, ADownloadTakesHalfFromARunningDownloadAndTheRestFromAWholeFile) {
  const std::string content = dltest::randomBytes(6 * MiB + 123, 18);
  const std::string hash = sha1(content);
  // This service holds blocks 0-2 of a download still running.
  const std::string partialPath = dir_.path() + "/partial";
  std::string partial = content;
  std::fill(partial.begin() + 3 * MiB, partial.end(), '\0');
  ASSERT_TRUE(plat::atomicWrite(partialPath, partial));
  client_->addDownload(hash, {partialPath, content.size(), {false, true, dltest::bitmap(7, {0, 1, 2})}});
  // A second service holds the whole file.
  auto other = std::make_shared<FolderClient>();
  const std::string wholePath = dir_.path() + "/whole";
  ASSERT_TRUE(plat::atomicWrite(wholePath, content));
  other->addWhole(hash, wholePath);
  HttpThread::Options o;
  o.httpPort = 0;
  o.udpPort = 0;
  auto second = HttpThread::init(other, o);
  ASSERT_TRUE(second->waitReady(10));

  TransItem t;
  t.itemid = 1;
  t.filehash = hash;
  t.filesize = content.size();
  t.webpath = "docs/f.bin";
  t.path = dir_.path() + "/cache/down_" + hash;
  dltest::RecordingParent parent;
  auto d = std::make_shared<Download>(t, &parent);
  const auto bits = dltest::bitmap(7, {0, 1, 2});
  d->addUdpPeer(lanwire::peerUrl("127.0.0.1", static_cast<uint32_t>(httpPort_), hash), false, true, 0, bits.data(),
                static_cast<int64_t>(bits.size()));
  ASSERT_TRUE(d->run());
  ASSERT_TRUE(dltest::pumpUntil([&] { return d->haveData()[0] & 0x07; }));
  d->addUdpPeer(lanwire::peerUrl("127.0.0.1", static_cast<uint32_t>(second->httplisten()->nPort()), hash));
  ASSERT_TRUE(dltest::pumpUntil([&] { return d->result() != Download::kRunning; }));
  d->join();
  EXPECT_EQ(d->result(), Download::kOk);
  EXPECT_TRUE(plat::readFile(t.path + "_ok").value_or("") == content);
  second->exit();
  second->join();
}

}  // namespace
