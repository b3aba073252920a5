// The upload-server requests end to end against devcloud: a difference upload
// through the checksum calls, the answers of the session opening, and the
// replies whose bodies the requests read themselves.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/interface/EngineFixture.h"
#include "app/interface/HTTPEngine.h"
#include "app/interface/QVHTTPRequest.h"

namespace {

using namespace enginetest;

class UploadServerTest : public ServiceTest {
protected:
  // Every upload-server request after `since`: tied to its session alone,
  // never signed.
  void expectUnsigned(int64_t since) {
    for (const Value& e : cloud->requests(since)) {
      if (e["target"].string().rfind("/upload_", 0) != 0 && e["target"].string() != "/download_checksum") continue;
      for (const char* name : {"Authorization", "date", "x-qv-mount", "x-qv-machine"}) {
        EXPECT_EQ(headerOf(e, name), std::nullopt) << e["target"].string() << " " << name;
      }
    }
  }
};

// Bytes that repeat nowhere, so that every block of a file is its own.
std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

uint32_t adler(std::string_view block) {
  return static_cast<uint32_t>(
      ::adler32(1, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size())));
}

uint32_t le32(const plat::Data& d, size_t at) {
  return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

struct Block {
  plat::Data md5;
  uint16_t index;
};

// The server's checksum list: n weak checksums, then n MD5 digests. A later
// block with the same weak checksum stands for it.
std::map<uint32_t, Block> parseChecksums(const plat::Data& list) {
  std::map<uint32_t, Block> out;
  size_t n = list.size() / 20;
  for (size_t i = 0; i < n; ++i) {
    auto md5 = list.begin() + static_cast<std::ptrdiff_t>(4 * n + 16 * i);
    out[le32(list, 4 * i)] = Block{plat::Data(md5, md5 + 16), static_cast<uint16_t>(i % 65536)};
  }
  return out;
}

struct Delta {
  plat::Data have;     // 8-byte offset and 2-byte block, little-endian, per match
  std::string stream;  // the bytes no server block covers, in file order
  std::vector<std::pair<uint64_t, uint16_t>> matches;
};

Delta match(const std::string& file, const std::map<uint32_t, Block>& blocks, size_t length) {
  Delta d;
  size_t pos = 0;
  while (pos + length <= file.size()) {
    std::string_view window(file.data() + pos, length);
    auto it = blocks.find(adler(window));
    if (it != blocks.end() && NSDataExpand::md5HexDigest(window) == it->second.md5) {
      d.matches.emplace_back(pos, it->second.index);
      for (int b = 0; b < 8; ++b) d.have.push_back(static_cast<uint8_t>(static_cast<uint64_t>(pos) >> (8 * b)));
      d.have.push_back(static_cast<uint8_t>(it->second.index));
      d.have.push_back(static_cast<uint8_t>(it->second.index >> 8));
      pos += length;
    } else {
      d.stream.push_back(file[pos++]);
    }
  }
  d.stream.append(file, pos, std::string::npos);
  return d;
}

TEST_P(UploadServerTest, DifferenceUploadThroughTheChecksumCalls) {
  Account a = newUser();
  const std::string v1 = noise(40 * 1024 + 1000, 7);
  uploadPlain(a, "delta.bin", v1, 16384);
  RetReget old = HTTPEngine::reget(a.token, "delta.bin", a.mount);
  ASSERT_EQ(old.status, 200);
  RetCompare base = HTTPEngine::compare(a.token, "/", "", a.mount, 0, 0);
  ASSERT_EQ(base.status, 200);

  int64_t since = cloud->lastSeq();
  RetAddFile added0 = HTTPEngine::addfile(a.token, "delta.bin", a.mount, sha1("placeholder"), 11, old.version);
  ASSERT_EQ(added0.status, 200);
  RetUploadInit probe = HTTPEngine::sendinit(added0.server, a.token, "delta.bin", added0.pathhash,
                                             sha1("placeholder"), 11);
  ASSERT_EQ(probe.status, 200);
  ASSERT_GT(probe.piecelen, 0) << "an older copy of a few blocks is offered for a difference upload";
  const size_t L = static_cast<size_t>(probe.piecelen);
  ASSERT_EQ(HTTPEngine::sendabort(added0.server, probe.session).status, 200);

  // New head, blocks 0-4, a changed stretch in place of block 5, blocks 6 on, new tail.
  const std::string v2 = noise(100, 99) + v1.substr(0, 5 * L) + noise(300, 98) + v1.substr(6 * L) + "tail";
  RetAddFile added = HTTPEngine::addfile(a.token, "delta.bin", a.mount, sha1(v2), v2.size(), old.version);
  ASSERT_EQ(added.status, 200);
  ASSERT_EQ(added.state, 0);
  RetUploadInit init = HTTPEngine::sendinit(added.server, a.token, "delta.bin", added.pathhash, sha1(v2), v2.size());
  ASSERT_EQ(init.status, 200) << init.errormsg.value_or("");
  ASSERT_EQ(static_cast<size_t>(init.piecelen), L);

  RetUploadCheckSum sums = HTTPEngine::senddownloadchecksum(added.server, init.session);
  ASSERT_EQ(sums.status, 200);
  const size_t n = v1.size() / L;
  ASSERT_EQ(sums.checksum.size(), 20 * n);
  std::map<uint32_t, Block> blocks = parseChecksums(sums.checksum);
  ASSERT_EQ(blocks.size(), n);
  for (size_t i = 0; i < n; ++i) {
    std::string_view block(v1.data() + i * L, L);
    auto it = blocks.find(adler(block));
    ASSERT_NE(it, blocks.end()) << "block " << i;
    EXPECT_EQ(it->second.index, i);
    EXPECT_EQ(it->second.md5, NSDataExpand::md5HexDigest(block)) << "block " << i;
  }

  Delta d = match(v2, blocks, L);
  ASSERT_EQ(d.matches.size(), n - 1);  // every old block but the changed one
  EXPECT_EQ(d.matches.front(), (std::pair<uint64_t, uint16_t>{100, 0}));
  EXPECT_EQ(d.matches[5], (std::pair<uint64_t, uint16_t>{100 + 5 * L + 300, 6}));
  EXPECT_EQ(d.stream.size(), v2.size() - (n - 1) * L);

  // A have-list whose CRC does not match it is refused...
  uint32_t crc = NSDataExpand::crc32(NSDataExpand::Bytes(d.have.data(), d.have.size()));
  QVHTTPRequest forged(added.server + "/upload_checksum_result", "PUT",
                       plat::HeaderFields{{"x-qv-upload-session", init.session},
                                          {"x-qv-upload-crc", plat::format("%u", crc + 1)}},
                       d.have);
  std::optional<plat::HTTPURLResponse> response;
  auto refusal = forged.connectNetSyncWithResponse(&response);
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->statusCode(), 400);
  RequestRet why;
  why.setValueWithErrorData(refusal);
  EXPECT_EQ(why.error, 40005);

  // ...and the one the client sends is accepted, with its own CRC.
  int64_t sent = cloud->lastSeq();
  RequestRet accepted = HTTPEngine::senduploadchecksum(added.server, init.session, d.have);
  ASSERT_EQ(accepted.status, 200);
  plat::Array checks = recorded(sent, "/upload_checksum_result");
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(headerOf(checks[0], "x-qv-upload-crc"), plat::format("%u", crc));
  EXPECT_EQ(bodyOf(checks[0]), std::string(d.have.begin(), d.have.end()));

  RetUploadReq req = HTTPEngine::sendreq(added.server, init.session);
  ASSERT_EQ(req.status, 200);
  EXPECT_EQ(req.offset, 0);
  ASSERT_NO_FATAL_FAILURE(sendPieces(added.server, init.session, d.stream, 0, 128));
  // The finish names the size of the stream, not of the file.
  ASSERT_EQ(HTTPEngine::sendfinish(added.server, init.session, d.stream.size()).status, 200);

  RetCompare next = HTTPEngine::compare(a.token, "/", base.changekey, a.mount, base.version, base.dateline);
  ASSERT_EQ(next.status, 200);
  ASSERT_EQ(next.itemlist.size(), 1u);
  EXPECT_EQ(next.itemlist[0].webpath, "delta.bin");
  EXPECT_EQ(next.itemlist[0].filehash, sha1(v2));
  EXPECT_EQ(next.itemlist[0].filesize, static_cast<int64_t>(v2.size()));
  EXPECT_GT(next.itemlist[0].version, old.version);
  expectUnsigned(since);
}

TEST_P(UploadServerTest, SessionOpeningAnswers202And500) {
  Account a = newUser();
  const std::string content = noise(5000, 3);
  const std::string name = "报告 b.txt";
  // Two versions of the same new content wait for it; the first upload brings it.
  RetAddFile second = HTTPEngine::addfile(a.token, name, a.mount, sha1(content), content.size(), 0);
  ASSERT_EQ(second.status, 200);
  ASSERT_EQ(second.state, 0);
  uploadPlain(a, "a.txt", content, 2048);
  RetCompare base = HTTPEngine::compare(a.token, "/", "", a.mount, 0, 0);
  ASSERT_EQ(base.status, 200);

  int64_t since = cloud->lastSeq();
  RetUploadInit held = HTTPEngine::sendinit(second.server, a.token, name, second.pathhash, sha1(content),
                                            content.size());
  EXPECT_EQ(held.status, 202);
  EXPECT_EQ(held.error, 202);
  EXPECT_FALSE(held.errormsg.value_or("").empty());
  EXPECT_EQ(held.session, "");
  plat::Array inits = recorded(since, "/upload_init");
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(headerOf(inits[0], "x-qv-upload-filename"), "%E6%8A%A5%E5%91%8A%20b.txt");
  EXPECT_EQ(headerOf(inits[0], "x-qv-upload-pathhash"), second.pathhash);
  EXPECT_EQ(headerOf(inits[0], "x-qv-upload-filehash"), sha1(content));
  EXPECT_EQ(headerOf(inits[0], "x-qv-upload-filesize"), std::to_string(content.size()));
  EXPECT_EQ(headerOf(inits[0], "x-qv-token"), a.token);
  // The service completed that version from the content it holds.
  RetCompare next = HTTPEngine::compare(a.token, "/", base.changekey, a.mount, base.version, base.dateline);
  ASSERT_EQ(next.status, 200);
  ASSERT_EQ(next.itemlist.size(), 1u);
  EXPECT_EQ(next.itemlist[0].webpath, name);
  EXPECT_EQ(next.itemlist[0].filehash, sha1(content));

  const std::string other = noise(3000, 4);
  RetAddFile third = HTTPEngine::addfile(a.token, "c.txt", a.mount, sha1(other), other.size(), 0);
  ASSERT_EQ(third.status, 200);
  ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("error")}, {"path", Value("/upload_init")},
                                                             {"status", Value(500)}})));
  RetUploadInit busy = HTTPEngine::sendinit(third.server, a.token, "c.txt", third.pathhash, sha1(other), other.size());
  EXPECT_EQ(busy.status, 500);
  EXPECT_EQ(busy.error, 500);
  EXPECT_EQ(busy.errormsg, "injected fault");
  EXPECT_EQ(busy.session, "");
  EXPECT_EQ(busy.piecelen, 0);
  RetUploadInit again = HTTPEngine::sendinit(third.server, a.token, "c.txt", third.pathhash, sha1(other), other.size());
  EXPECT_EQ(again.status, 200);
  EXPECT_FALSE(again.session.empty());
  expectUnsigned(since);
}

// Replies that the requests read as raw bodies rather than as JSON.
TEST_P(UploadServerTest, RawReplyBodies) {
  Account a = newUser();
  const std::string content = noise(4000, 5);
  RetAddFile added = HTTPEngine::addfile(a.token, "raw.bin", a.mount, sha1(content), content.size(), 0);
  ASSERT_EQ(added.status, 200);
  RetUploadInit init = HTTPEngine::sendinit(added.server, a.token, "raw.bin", added.pathhash, sha1(content),
                                            content.size());
  ASSERT_EQ(init.status, 200);
  EXPECT_EQ(init.piecelen, 0) << "no older copy: a plain upload";

  // A plain session has no checksums: the refusal's body is not taken for them.
  RetUploadCheckSum none = HTTPEngine::senddownloadchecksum(added.server, init.session);
  EXPECT_EQ(none.status, 400);
  EXPECT_TRUE(none.checksum.empty());
  EXPECT_EQ(none.error, 0);

  struct Case {
    std::string path, body;
    int status;
    int64_t offset;
    size_t checksum;
  } cases[] = {
      {"/upload_req", "3000000000", 200, 3000000000LL, 0},  // a resume point past 2 GiB
      {"/upload_req", "5368709120\r\n", 200, 5368709120LL, 0},
      {"/upload_req", "not a number", 200, 0, 0},
      {"/upload_req", "4096", 503, 0, 0},
      {"/download_checksum", "", 200, 0, 0},
      {"/download_checksum", std::string(40, 'c'), 200, 0, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body);
    ASSERT_TRUE(cloud->hook("POST", "fault", Value(Dictionary{{"kind", Value("error")}, {"path", Value(c.path)},
                                                               {"status", Value(c.status)}, {"body", Value(c.body)}})));
    if (c.path == "/upload_req") {
      RetUploadReq r = HTTPEngine::sendreq(added.server, init.session);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.offset, c.offset);
    } else {
      RetUploadCheckSum r = HTTPEngine::senddownloadchecksum(added.server, init.session);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.checksum.size(), c.checksum);
      if (c.checksum) {
        EXPECT_EQ(r.checksum, dataOf(c.body));
      }
    }
  }
  // Without the faults the session is where it was.
  EXPECT_EQ(HTTPEngine::sendreq(added.server, init.session).offset, 0);

  // An empty piece still names its length and CRC; the server refuses its range.
  int64_t since = cloud->lastSeq();
  EXPECT_EQ(HTTPEngine::sendpiece(added.server, init.session, 0, -1, plat::Data{}).status, 400);
  plat::Array pieces = recorded(since, "/upload_part");
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(headerOf(pieces[0], "x-qv-upload-crc"), "0");
  EXPECT_EQ(headerOf(pieces[0], "Content-Length"), "0");
  EXPECT_EQ(headerOf(pieces[0], "x-qv-upload-range"), "0--1");
}

INSTANTIATE_TEST_SUITE_P(Wire, UploadServerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "TLS" : "HTTP"; });

}  // namespace
