// The LAN wire byte for byte: datagrams as peers of other versions write and
// read them, what the strict readers refuse, the request reader's cases and
// the reply heads.
#include "app/trans/lan/LanWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef01234567";

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

std::string head(const std::string& tag, const std::string& hash, const std::string& addr, uint32_t port) {
  std::string a = addr;
  a.resize(16, '\0');
  return tag + hash + a + le32(port);
}

TEST(LanWire, DatagramsAreWrittenFieldByFieldAtTheirOffsets) {
  lanwire::Datagram q;
  q.kind = lanwire::Kind::kQuery;
  q.hash = kHash;
  q.address = "192.168.1.20";
  q.port = 14753;
  EXPECT_EQ(*lanwire::encode(q), bytes(head("neQUORVA", kHash, "192.168.1.20", 14753)));

  lanwire::Datagram w = q;
  w.kind = lanwire::Kind::kWhole;
  w.port = 24753;
  EXPECT_EQ(*lanwire::encode(w), bytes(head("reQUORVA", kHash, "192.168.1.20", 24753)));

  lanwire::Datagram p = w;
  p.kind = lanwire::Kind::kPartial;
  p.bHttpStart = true;
  p.bHttpAble = false;
  p.userid = 0x01020304;
  p.bitmap = {0xff, 0x0f, 0x01};
  const std::string expected =
      head("rxQUORVA", kHash, "192.168.1.20", 24753) + std::string("\x01\x00", 2) + le32(0x01020304) + le32(3) +
      std::string("\xff\x0f\x01", 3);
  EXPECT_EQ(*lanwire::encode(p), bytes(expected));
  EXPECT_EQ(expected.size(), 81u);

  // A longer address leaves nothing behind in a shorter one's field.
  q.address = "10.0.0.5";
  EXPECT_EQ(*lanwire::encode(q), bytes(head("neQUORVA", kHash, "10.0.0.5", 14753)));

  // What does not fit its field is not written.
  q.hash = "0123456789ABCDEF0123456789abcdef01234567";
  EXPECT_FALSE(lanwire::encode(q));
  p.bitmap.assign(65430, 0);
  EXPECT_FALSE(lanwire::encode(p));
  p.bitmap.assign(65429, 0);
  EXPECT_EQ(lanwire::encode(p)->size(), 65507u);
}

TEST(LanWire, TheDatagramReaderTakesOnlyWhatItsTagAndLengthSay) {
  const std::string partialHead = head("rxQUORVA", kHash, "10.0.0.5", 24753) + std::string("\x01\x03", 2) + le32(7);
  struct Case {
    const char* name;
    std::string datagram;
    bool accepted;
  } cases[] = {
      {"query", head("neQUORVA", kHash, "192.168.1.20", 14753), true},
      {"whole reply", head("reQUORVA", kHash, "10.0.0.5", 24753), true},
      {"partial reply", partialHead + le32(2) + "\x01\x02", true},
      {"partial reply, empty bitmap", partialHead + le32(0), true},
      {"query, empty address", head("neQUORVA", kHash, "", 14753), true},
      {"short query", head("neQUORVA", kHash, "10.0.0.5", 14753).substr(0, 67), false},
      {"long query", head("neQUORVA", kHash, "10.0.0.5", 14753) + "x", false},
      {"tag only", "neQUORVA", false},
      {"unknown tag", head("xxQUORVA", kHash, "10.0.0.5", 14753), false},
      {"partial head cut", partialHead, false},
      {"bitmap longer than said", partialHead + le32(1) + "\x01\x02", false},
      {"bitmap shorter than said", partialHead + le32(3) + "\x01\x02", false},
      {"negative bitmap length", partialHead + le32(0xffffffffu), false},
      {"bitmap length past one datagram", partialHead + le32(65430) + std::string(65430, '\0'), false},
      {"upper-case hash", head("reQUORVA", "0123456789ABCDEF0123456789abcdef01234567", "10.0.0.5", 1), false},
      {"hash with a zero byte", head("reQUORVA", std::string(39, 'a') + '\0', "10.0.0.5", 1), false},
      {"address not dotted text", head("neQUORVA", kHash, "evil\r\nhost", 14753), false},
      {"junk after the address's end", head("neQUORVA", kHash, std::string("10.0.0.5\0\0x", 11), 14753), false},
      {"port 0", head("neQUORVA", kHash, "10.0.0.5", 0), false},
      {"port past 65535", head("reQUORVA", kHash, "10.0.0.5", 65536), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Exactly the datagram's bytes, so a read past its end is a fault.
    std::vector<uint8_t> b = bytes(c.datagram);
    auto d = lanwire::decode(b.data(), b.size());
    EXPECT_EQ(d.has_value(), c.accepted);
  }
  auto b = bytes(partialHead + le32(2) + "\x05\x06");
  auto d = lanwire::decode(b.data(), b.size());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->kind, lanwire::Kind::kPartial);
  EXPECT_EQ(d->hash, kHash);
  EXPECT_EQ(d->address, "10.0.0.5");
  EXPECT_EQ(d->port, 24753u);
  EXPECT_TRUE(d->bHttpStart);  // lowest bit of 0x01
  EXPECT_TRUE(d->bHttpAble);   // lowest bit of 0x03
  EXPECT_EQ(d->userid, 7u);
  EXPECT_EQ(d->bitmap, (std::vector<uint8_t>{5, 6}));
  EXPECT_FALSE(lanwire::decode(nullptr, 68));
}

TEST(LanWire, RequestsAreReadStrictlyAndWithinTheirBounds) {
  const std::string get = "GET /download?filehash=" + kHash + " HTTP/1.1\r\n";
  struct Case {
    const char* name;
    std::string request;
    lanwire::Parse parse;
    std::string host = "";
    bool hasRange = false;
    uint64_t first = 0;
    std::optional<uint64_t> last = std::nullopt;
  } cases[] = {
      {"plain", get + "Host: 192.168.1.20:24753\r\nUser-Agent: client_quorva\r\n\r\n", lanwire::Parse::kRequest,
       "192.168.1.20:24753"},
      {"no host", get + "\r\n", lanwire::Parse::kRequest},
      {"range", get + "Host: h\r\nRange: bytes=1048576-2097152\r\n\r\n", lanwire::Parse::kRequest, "h", true, 1048576,
       2097152},
      {"open range", get + "Range: bytes=100-\r\n\r\n", lanwire::Parse::kRequest, "", true, 100},
      {"first of two ranges", get + "Range: bytes=0-99,200-299\r\n\r\n", lanwire::Parse::kRequest, "", true, 0, 99},
      {"HTTP/1.0", "GET /download?filehash=" + kHash + " HTTP/1.0\r\n\r\n", lanwire::Parse::kRequest},
      {"head not whole yet", get + "Host: h\r\n", lanwire::Parse::kNeedMore},
      {"cut inside the hash", get.substr(0, 40), lanwire::Parse::kNeedMore},
      {"another path", "GET /index.html HTTP/1.1\r\n\r\n", lanwire::Parse::kNotDownload},
      {"a path before the query", "GET /x/download?filehash=" + kHash + " HTTP/1.1\r\n\r\n",
       lanwire::Parse::kNotDownload},
      {"another method", "POST /download?filehash=" + kHash + " HTTP/1.1\r\n\r\n", lanwire::Parse::kNotDownload},
      {"short hash", "GET /download?filehash=abc HTTP/1.1\r\n\r\n", lanwire::Parse::kNotFound},
      {"upper-case hash", "GET /download?filehash=0123456789ABCDEF0123456789abcdef01234567 HTTP/1.1\r\n\r\n",
       lanwire::Parse::kNotFound},
      {"a path after the hash", "GET /download?filehash=" + kHash + "/../../etc/passwd HTTP/1.1\r\n\r\n",
       lanwire::Parse::kNotFound},
      {"range without unit", get + "Range: 0-99\r\n\r\n", lanwire::Parse::kNotFound},
      {"suffix range", get + "Range: bytes=-500\r\n\r\n", lanwire::Parse::kNotFound},
      {"reversed range", get + "Range: bytes=500-100\r\n\r\n", lanwire::Parse::kNotFound},
      {"range not a number", get + "Range: bytes=1x-2\r\n\r\n", lanwire::Parse::kNotFound},
      {"range past 18 digits", get + "Range: bytes=1234567890123456789-\r\n\r\n", lanwire::Parse::kNotFound},
      {"two range headers", get + "Range: bytes=0-1\r\nRange: bytes=2-3\r\n\r\n", lanwire::Parse::kNotFound},
      {"two hosts", get + "Host: a\r\nHost: b\r\n\r\n", lanwire::Parse::kBad},
      {"a body", get + "Content-Length: 5\r\n\r\nhello", lanwire::Parse::kBad},
      {"chunked body", get + "Transfer-Encoding: chunked\r\n\r\n", lanwire::Parse::kBad},
      {"folded header", get + "Host: a\r\n b\r\n\r\n", lanwire::Parse::kBad},
      {"header without colon", get + "Host a\r\n\r\n", lanwire::Parse::kBad},
      {"control byte in a value", get + "Host: a\x01z\r\n\r\n", lanwire::Parse::kBad},
      {"bare LF request line", "GET /download?filehash=" + kHash + " HTTP/1.1\n\r\n\r\n", lanwire::Parse::kBad},
      {"no version", "GET /download?filehash=" + kHash + "\r\n\r\n", lanwire::Parse::kBad},
      {"another protocol", "GET /download?filehash=" + kHash + " HTTP/2.0\r\n\r\n", lanwire::Parse::kBad},
      {"too many headers", get + [] {
         std::string h;
         for (size_t i = 0; i <= lanwire::kMaxHeaders; ++i) h += "X-" + std::to_string(i) + ": 1\r\n";
         return h;
       }() + "\r\n",
       lanwire::Parse::kBad},
      {"head over the bound", get + "X: " + std::string(lanwire::kMaxRequestHead, 'a') + "\r\n\r\n",
       lanwire::Parse::kBad},
      {"unended head at the bound", get + "X: " + std::string(lanwire::kMaxRequestHead, 'a'), lanwire::Parse::kBad},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lanwire::Request r;
    size_t consumed = 0;
    EXPECT_EQ(lanwire::parseRequest(c.request, r, consumed), c.parse);
    if (c.parse != lanwire::Parse::kRequest) continue;
    EXPECT_EQ(consumed, c.request.size());
    EXPECT_EQ(r.hash, kHash);
    EXPECT_EQ(r.host, c.host);
    EXPECT_EQ(r.hasRange, c.hasRange);
    EXPECT_EQ(r.first, c.first);
    EXPECT_EQ(r.last, c.last);
  }
  // A second request behind the first is left for later.
  const std::string two = get + "\r\n" + get + "\r\n";
  lanwire::Request r;
  size_t consumed = 0;
  EXPECT_EQ(lanwire::parseRequest(two, r, consumed), lanwire::Parse::kRequest);
  EXPECT_EQ(consumed, two.size() / 2);
}

TEST(LanWire, RangesResolveInsideTheFile) {
  auto req = [](bool range, uint64_t first, std::optional<uint64_t> last) {
    lanwire::Request r;
    r.hasRange = range;
    r.first = first;
    r.last = last;
    return r;
  };
  struct Case {
    const char* name;
    lanwire::Request r;
    uint64_t size;
    bool served;
    uint64_t first;
    int64_t last;
  } cases[] = {
      {"whole", req(false, 0, {}), 5000000, true, 0, 4999999},
      {"empty file", req(false, 0, {}), 0, true, 0, -1},
      {"one byte", req(false, 0, {}), 1, true, 0, 0},
      {"one block and a byte", req(true, 1048576, 2097152), 5242880, true, 1048576, 2097152},
      {"to the end", req(true, 100, {}), 1000, true, 100, 999},
      {"end past the file", req(true, 900, 5000), 1000, true, 900, 999},
      {"last byte", req(true, 999, 999), 1000, true, 999, 999},
      {"start at the end", req(true, 1000, {}), 1000, false, 0, 0},
      {"start past the end", req(true, 5000, 6000), 1000, false, 0, 0},
      {"range of an empty file", req(true, 0, {}), 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = lanwire::resolve(c.r, c.size);
    ASSERT_EQ(s.has_value(), c.served);
    if (!s) continue;
    EXPECT_EQ(s->first, c.first);
    EXPECT_EQ(s->last, c.last);
    EXPECT_EQ(s->partial, c.r.hasRange);
  }
}

TEST(LanWire, ReplyHeadsAreByteForByteWhatPeersRead) {
  const std::string date = "Fri, 11 Dec 2026 01:00:00 GMT";
  EXPECT_EQ(lanwire::head200("192.168.1.20:24753", date, 5000000),
            "HTTP/1.1 200 OK\r\nServer: 192.168.1.20:24753\r\nDate: Fri, 11 Dec 2026 01:00:00 GMT\r\n"
            "Content-Length: 5000000\r\nContent-Type: close\r\n\r\n");
  EXPECT_EQ(lanwire::head206("h", date, 1048576, 2097152, 5242880),
            "HTTP/1.1 206 Partial Content\r\nServer: h\r\nDate: Fri, 11 Dec 2026 01:00:00 GMT\r\n"
            "Content-Range: bytes 1048576-2097152/5242880\r\nAccept-Ranges: bytes\r\nContent-Length: 1048577\r\n"
            "Content-Type: close\r\n\r\n");
  EXPECT_EQ(lanwire::head404("", date),
            "HTTP/1.1 404  Not Found\r\nDate: Fri, 11 Dec 2026 01:00:00 GMT\r\nServer: \r\nContent-Type: close\r\n\r\n");
  EXPECT_EQ(lanwire::peerUrl("192.168.1.30", 24753, kHash),
            "http://192.168.1.30:24753/download?filehash=" + kHash);
}

}  // namespace
