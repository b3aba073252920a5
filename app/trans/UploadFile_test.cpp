#include "app/trans/UploadFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <random>
#include <thread>
#include <string>

#include "Framework/Staticclass/NSDataExpand.h"
#include "platform/foundation/file_util.h"

namespace {

std::string noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// The server's checksum list of `base` cut in blocks of L: n weak checksums,
// then n MD5 digests.
plat::Data checksums(const std::string& base, size_t L) {
  const size_t n = base.size() / L;
  plat::Data weak, strong;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t a = static_cast<uint32_t>(::adler32(1, reinterpret_cast<const Bytef*>(base.data() + i * L),
                                                       static_cast<uInt>(L)));
    for (int k = 0; k < 4; ++k) weak.push_back(static_cast<uint8_t>(a >> (8 * k)));
    plat::Data md5 = NSDataExpand::md5HexDigest(std::string_view(base.data() + i * L, L));
    strong.insert(strong.end(), md5.begin(), md5.end());
  }
  weak.insert(weak.end(), strong.begin(), strong.end());
  return weak;
}

class MatcherTest : public ::testing::Test {
protected:
  void SetUp() override { dir_ = plat::makeTemporaryDirectory("qv-matcher"); }
  void TearDown() override { plat::removeTree(dir_); }

  struct Result {
    bool ok = false;
    std::string diff;
    std::vector<ServerItem> have;
    std::optional<plat::Data> body;
  };

  Result match(const std::string& base, const std::string& local, int32_t L) {
    UploadFile f;
    EXPECT_TRUE(f.resolve_serverinof(checksums(base, L)));
    f.setPiece(L);
    const std::string in = dir_ + "/local", out = dir_ + "/dif";
    EXPECT_TRUE(plat::atomicWrite(in, local));
    int fd = ::open(in.c_str(), O_RDONLY);
    int nfd = ::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    Result r;
    r.ok = f.resolve_file(fd, nfd);
    ::close(fd);
    ::close(nfd);
    r.diff = plat::readFile(out).value_or("");
    r.have = f.serverhave();
    r.body = f.get_serverhave();
    return r;
  }

  // What the upload server rebuilds from the have-list and the stream.
  static std::string rebuild(const std::string& base, const Result& r, size_t L) {
    std::string out;
    size_t lit = 0;
    for (const ServerItem& s : r.have) {
      const size_t gap = s.offset - out.size();
      out += r.diff.substr(lit, gap);
      lit += gap;
      out += base.substr(size_t{s.index} * L, L);
    }
    out += r.diff.substr(lit);
    return out;
  }

  std::string dir_;
};

TEST(UploadFileChecksum, WeakChecksumIsAdler32AndRollsLikeAFreshOne) {
  const std::string data = noise(5000, 7);
  for (int32_t L : {1, 2, 17, 512, 4096}) {
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    uint64_t c = UploadFile::alder32(p, L);
    ASSERT_EQ(c, ::adler32(1, p, static_cast<uInt>(L))) << L;
    for (size_t pos = 1; pos + L <= data.size(); ++pos) {
      c = UploadFile::rolling32(c, p[pos - 1], p[pos + L - 1], L);
      ASSERT_EQ(c, UploadFile::alder32(p + pos, L)) << "L " << L << " pos " << pos;
    }
  }
  // All 0xFF bytes drive both sums to their wrap-around.
  const std::string ff(6000, '\xff');
  const auto* q = reinterpret_cast<const uint8_t*>(ff.data());
  uint64_t c = UploadFile::alder32(q, 5552);
  for (size_t pos = 1; pos + 5552 <= ff.size(); ++pos) c = UploadFile::rolling32(c, q[pos - 1], q[pos + 5551], 5552);
  EXPECT_EQ(c, ::adler32(1, q + ff.size() - 5552, 5552));
}

TEST(UploadFileChecksum, ListsThatCannotBeReadAreRefused) {
  UploadFile f;
  EXPECT_FALSE(f.resolve_serverinof({}));
  EXPECT_FALSE(f.resolve_serverinof(plat::Data(30, 1)));
  // More blocks than a 16-bit number can name.
  EXPECT_FALSE(f.resolve_serverinof(plat::Data(20 * (UploadFile::kMaxBlocks + 1), 0)));
  EXPECT_TRUE(f.serverinfo().empty());

  // 40 bytes: two blocks, weak checksums in bytes 0-7, digests in 8-39.
  plat::Data two(40, 0);
  two[0] = 1;
  two[4] = 2;
  two[8] = 0xAA;
  two[24] = 0xBB;
  ASSERT_TRUE(f.resolve_serverinof(two));
  ASSERT_EQ(f.serverinfo().size(), 2u);
  ASSERT_EQ(f.serverinfo().count(1), 1u);
  EXPECT_EQ(f.serverinfo().find(1)->second.index, 0);
  EXPECT_EQ(f.serverinfo().find(1)->second.MD5[0], 0xAA);
  ASSERT_EQ(f.serverinfo().count(2), 1u);
  EXPECT_EQ(f.serverinfo().find(2)->second.index, 1);
  EXPECT_EQ(f.serverinfo().find(2)->second.MD5[0], 0xBB);
}

// Two different server blocks with one weak checksum (+1, -2, +1 on three
// neighbouring bytes keeps both Adler sums): each is found by its MD5.
TEST_F(MatcherTest, BlocksSharingAWeakChecksumBothMatch) {
  const int32_t L = 64;
  std::string a = noise(L, 21);
  a[10] = 100, a[11] = 100, a[12] = 100;
  std::string b = a;
  b[10] = 101, b[11] = 98, b[12] = 101;
  const auto weak = [&](const std::string& s) { return UploadFile::alder32(reinterpret_cast<const uint8_t*>(s.data()), L); };
  ASSERT_EQ(weak(a), weak(b));
  const std::string base = a + b + noise(4 * L, 22);
  Result r = match(base, base, L);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.have.size(), 6u);
  EXPECT_EQ(r.have[0].index, 0);
  EXPECT_EQ(r.have[1].index, 1);
  EXPECT_TRUE(r.diff.empty());
  EXPECT_TRUE(rebuild(base, r, L) == base);
}

TEST_F(MatcherTest, EdgeCasesOfTheScan) {
  const int32_t L = 64;
  const std::string base = noise(3 * L, 1);

  // Equal copy of three blocks: the window ending at the file's end is
  // tested too, so nothing goes as literal bytes.
  Result same = match(base, base, L);
  ASSERT_TRUE(same.ok);
  ASSERT_EQ(same.have.size(), 3u);
  for (uint16_t i = 0; i < 3; ++i) {
    EXPECT_EQ(same.have[i].offset, uint64_t(i * L));
    EXPECT_EQ(same.have[i].index, i);
  }
  EXPECT_TRUE(same.diff.empty());
  ASSERT_TRUE(same.body);
  const plat::Data want = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                           128, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  EXPECT_EQ(*same.body, want);

  // Five new bytes in front: block 0 matches at offset 5.
  const std::string bigger = noise(3 * L, 2) + base + noise(2 * L, 3);
  Result front = match(bigger, "12345" + bigger, L);
  ASSERT_TRUE(front.ok);
  ASSERT_FALSE(front.have.empty());
  EXPECT_EQ(front.have[0].offset, 5u);
  EXPECT_EQ(front.have[0].index, 0);
  EXPECT_EQ(front.diff.substr(0, 5), "12345");

  // Shorter than a block: no match, the whole file is literal, no body.
  Result small = match(base, base.substr(0, L - 1), L);
  ASSERT_TRUE(small.ok);
  EXPECT_TRUE(small.have.empty());
  EXPECT_FALSE(small.body);
  EXPECT_EQ(small.diff, base.substr(0, L - 1));

  // Exactly one block: it matches and nothing is literal.
  Result one = match(base, base.substr(0, L), L);
  ASSERT_TRUE(one.ok);
  ASSERT_EQ(one.have.size(), 1u);
  EXPECT_EQ(one.have[0].index, 0);
  EXPECT_TRUE(one.diff.empty());

  // Nothing in common past two thirds of a larger file: given up.
  Result none = match(base, noise(40 * L, 9), L);
  EXPECT_FALSE(none.ok);
}

TEST_F(MatcherTest, BlockLengthsThatCannotBeUsedGiveUp) {
  const std::string base = noise(4096, 4);
  UploadFile f;
  ASSERT_TRUE(f.resolve_serverinof(checksums(base, 512)));
  const std::string in = dir_ + "/local";
  ASSERT_TRUE(plat::atomicWrite(in, base));
  for (int32_t L : {0, -1, INT32_MIN}) {
    f.setPiece(L);
    int fd = ::open(in.c_str(), O_RDONLY);
    int nfd = ::open((dir_ + "/dif").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_FALSE(f.resolve_file(fd, nfd)) << L;
    ::close(fd);
    ::close(nfd);
  }
}

// One byte changed in a copy of a few hundred blocks: only the block that
// holds it may go as literal bytes, wherever the edit falls.
TEST_F(MatcherTest, OneByteEditCostsOneBlock) {
  const int32_t L = 512;
  // Bytes of 0 and 255 only drive the rolled sums to both ends of their range.
  std::string extremes = noise(300 * L, 12);
  for (char& c : extremes) c = (c & 1) ? '\xff' : '\0';
  for (const std::string& base : {noise(300 * L, 11), extremes}) {
    for (size_t at : {size_t{0}, base.size() / 2, base.size() / 2 + 77, base.size() - L - 1, base.size() - 1}) {
      std::string local = base;
      local[at] = static_cast<char>(local[at] ^ 0xFF);
      Result r = match(base, local, L);
      ASSERT_TRUE(r.ok) << at;
      EXPECT_EQ(r.diff.size(), size_t(L)) << "edit at " << at;
      EXPECT_TRUE(r.diff == local.substr(at / L * L, L)) << "edit at " << at;
      EXPECT_TRUE(rebuild(base, r, L) == local) << "edit at " << at;
    }
  }
}

// Random edits of a server copy: whenever the matcher succeeds, the server's
// rebuild from the have-list and the stream is the local file.
TEST_F(MatcherTest, RandomEditsRoundTrip) {
  std::mt19937 rng(20261210);
  int matched = 0;
  for (int round = 0; round < 60; ++round) {
    const int32_t L = 1 << (5 + rng() % 6);  // 32 to 1024
    std::string base = noise(L * (8 + rng() % 60) + rng() % L, rng());
    std::string local = base;
    const int edits = 1 + rng() % 6;
    for (int e = 0; e < edits && !local.empty(); ++e) {
      const size_t at = rng() % local.size();
      const size_t n = 1 + rng() % (2 * L);
      switch (rng() % 3) {
        case 0: local.insert(at, noise(n, rng())); break;
        case 1: local.erase(at, n); break;
        default: local.replace(at, std::min(n, local.size() - at), noise(std::min(n, local.size() - at), rng()));
      }
    }
    // Repeats of a server block inside the file.
    if (round % 5 == 0 && base.size() >= size_t(L)) local += base.substr(0, L) + base.substr(0, L);
    Result r = match(base, local, L);
    if (!r.ok) continue;
    ++matched;
    ASSERT_EQ(rebuild(base, r, L), local) << "round " << round;
    uint64_t covered = r.diff.size() + r.have.size() * L;
    EXPECT_EQ(covered, local.size());
    for (size_t i = 1; i < r.have.size(); ++i) EXPECT_GE(r.have[i].offset, r.have[i - 1].offset + L);
  }
  EXPECT_GT(matched, 40);
}

// A large file that mostly matches takes its runs of blocks several digests
// at a time: a run broken by a block whose weak checksum is another's, by an
// unknown block or by a shifted stretch comes out as matching one window
// after another gives, literal for exactly the changed bytes.
TEST_F(MatcherTest, RunsOfMatchesInALargeFileCostOnlyTheChangedBytes) {
  constexpr int32_t L = 4096;
  std::string base = noise(20 << 20, 31);
  // Block 100's bytes 10..12 as 5,5,5: +1,-2,+1 keeps both Adler sums.
  for (int k = 10; k < 13; ++k) base[100 * L + k] = 5;
  std::string local = base;
  local[100 * L + 10] = 6;
  local[100 * L + 11] = 3;
  local[100 * L + 12] = 6;
  ASSERT_EQ(::adler32(1, reinterpret_cast<const Bytef*>(local.data() + 100 * L), L),
            ::adler32(1, reinterpret_cast<const Bytef*>(base.data() + 100 * L), L));
  local.replace(2000 * size_t{L}, L, noise(L, 32));
  const size_t inserted = 3000 * size_t{L};
  local.insert(inserted, noise(37, 33));
  Result r = match(base, local, L);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.diff.size(), size_t{2 * L + 37});
  EXPECT_TRUE(r.diff.substr(0, L) == local.substr(100 * L, L));
  ASSERT_TRUE(rebuild(base, r, L) == local);
  EXPECT_EQ(r.have.size(), base.size() / L - 2);
  for (size_t i = 1; i < r.have.size(); ++i) ASSERT_GE(r.have[i].offset, r.have[i - 1].offset + L);
}

}  // namespace

// A file cut shorter by another process while the matcher reads it: the
// scan gives up with a failed read (the upload then goes plain and finds the
// file changed) instead of the process dying of SIGBUS. The difference
// stream goes into a pipe that the test drains, so the truncate lands while
// the matcher is part way through, blocked on its first literal stretch.
TEST_F(MatcherTest, AFileThatShrinksUnderTheScanEndsItCleanly) {
  constexpr int32_t L = 65536;
  const std::string local = noise(32 << 20, 21);
  // The server holds every eighth block: the first literal is 8 blocks
  // (more than a pipe holds), and literals follow all through the file.
  std::string base;
  for (size_t i = 8; i * L + L <= local.size(); i += 8) base += local.substr(i * L, L);
  for (const off_t cut : {off_t{1} << 20, off_t{5} << 20, off_t{8} * L + 1}) {
    const std::string in = dir_ + "/shrinking";
    ASSERT_TRUE(plat::atomicWrite(in, local));
    UploadFile f;
    ASSERT_TRUE(f.resolve_serverinof(checksums(base, L)));
    f.setPiece(L);
    int fd = ::open(in.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    std::atomic<int> result{-1};
    std::thread scan([&] {
      result = f.resolve_file(fd, p[1]) ? 1 : 0;
      ::close(p[1]);
    });
    char c;
    ASSERT_EQ(::read(p[0], &c, 1), 1);
    ASSERT_EQ(::truncate(in.c_str(), cut), 0);
    std::string drained(1, c);
    char buf[65536];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) drained.append(buf, static_cast<size_t>(n));
    scan.join();
    ::close(p[0]);
    ::close(fd);
    EXPECT_EQ(result.load(), 0) << "cut at " << cut;
    // What went out before the cut is the file's own bytes.
    ASSERT_GE(drained.size(), size_t{8} * L) << cut;
    EXPECT_EQ(drained.substr(0, 8 * L), local.substr(0, 8 * L)) << cut;
  }
}
