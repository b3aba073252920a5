#include "Framework/Staticclass/NSDataExpand.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <zlib.h>

#include <random>
#include <string>

namespace {

using NSDataExpand::Bytes;

plat::Data fromHex(std::string_view hex) {
  plat::Data d;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) d.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return d;
}

plat::Data randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  plat::Data d(n);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  return d;
}

TEST(NSDataExpandDigest, KnownAnswers) {
  const std::string million(1000000, 'a');
  struct Case {
    std::string input;
    const char* md5;
    const char* sha1;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {million, "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"中文", "a7bac2239fcdcb3a067903d8077c4a07", "7be2d2d20c106eee0836c9bc2b939890a78e8fb3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 10));
    EXPECT_EQ(NSDataExpand::md5Data2String(c.input), c.md5);
    EXPECT_EQ(NSDataExpand::sha1HexDigest(c.input), c.sha1);
    // md5HexDigest is the raw digest: 16 bytes, no text.
    EXPECT_EQ(NSDataExpand::md5HexDigest(c.input), fromHex(c.md5));
    plat::Data asData(c.input.begin(), c.input.end());
    EXPECT_EQ(NSDataExpand::sha1HexDigest(asData), c.sha1);
  }
}

// The same digests given in pieces of any size, the stream starting over
// after each digest.
TEST(NSDataExpandDigest, InPiecesTheDigestIsTheWholeOne) {
  const plat::Data data = randomBytes(300000, 9);
  const std::string whole = NSDataExpand::sha1HexDigest(data);
  NSDataExpand::DigestStream stream;
  EXPECT_EQ(stream.hexDigest(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  for (size_t piece : {size_t{1}, size_t{63}, size_t{4096}, size_t{1} << 20}) {
    for (size_t at = 0; at < data.size(); at += piece) {
      ASSERT_TRUE(stream.update(Bytes(data).subspan(at, std::min(piece, data.size() - at))));
    }
    EXPECT_EQ(stream.hexDigest(), whole) << piece;
  }
  ASSERT_TRUE(stream.update(NSDataExpand::bytesOf("ab")));
  stream.reset();
  ASSERT_TRUE(stream.update(NSDataExpand::bytesOf("abc")));
  EXPECT_EQ(stream.hexDigest(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  NSDataExpand::DigestStream md5(NSDataExpand::DigestStream::kMD5);
  for (size_t at = 0; at < data.size(); at += 4096) {
    ASSERT_TRUE(md5.update(Bytes(data).subspan(at, std::min<size_t>(4096, data.size() - at))));
  }
  EXPECT_EQ(md5.digest(), NSDataExpand::md5HexDigest(data));
  EXPECT_EQ(md5.hexDigest(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(NSDataExpandCRC, KnownAnswers) {
  struct Case {
    std::string input;
    uint32_t seed, polynomial, crc;
  } cases[] = {
      {"123456789", 0xFFFFFFFF, 0xEDB88320, 0xCBF43926},
      {"", 0xFFFFFFFF, 0xEDB88320, 0},
      {"a", 0xFFFFFFFF, 0xEDB88320, 0xE8B7BE43},
      {"The quick brown fox jumps over the lazy dog", 0xFFFFFFFF, 0xEDB88320, 0x414FA339},
      {"123456789", 0, 0xEDB88320, 0xD202D277},
      // No data leaves the seed, complemented.
      {"", 0x12345678, 0xEDB88320, 0x12345678 ^ 0xFFFFFFFF},
      {"", 0x12345678, 0x82F63B78, 0x12345678 ^ 0xFFFFFFFF},
      // CRC-32C (Castagnoli) through the table of another polynomial.
      {"123456789", 0xFFFFFFFF, 0x82F63B78, 0xE3069283},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input + " seed " + std::to_string(c.seed) + " poly " + std::to_string(c.polynomial));
    EXPECT_EQ(NSDataExpand::crc32WithSeed(c.input, c.seed, c.polynomial), c.crc);
  }
  EXPECT_EQ(NSDataExpand::crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(NSDataExpand::crc32(""), 0u);
}

TEST(NSDataExpandCRC, TableOfTheStandardPolynomial) {
  auto t = NSDataExpand::generateCRC32Table(0xEDB88320);
  EXPECT_EQ(t[0], 0u);
  EXPECT_EQ(t[1], 0x77073096u);
  EXPECT_EQ(t[128], 0xEDB88320u);
  EXPECT_EQ(t[255], 0x2D02EF8Du);
}

TEST(NSDataExpandCRC, MatchesZlibAndContinues) {
  plat::Data d = randomBytes(100000, 7);
  for (size_t n : {size_t{1}, size_t{3}, size_t{64}, size_t{4095}, size_t{100000}}) {
    Bytes all(d.data(), n);
    uint32_t expect = static_cast<uint32_t>(::crc32(0, d.data(), static_cast<uInt>(n)));
    EXPECT_EQ(NSDataExpand::crc32(all), expect) << n;
    // Continuing over a split gives the CRC of the whole, at any split.
    for (size_t cut : {size_t{0}, n / 3, n}) {
      uint32_t head = NSDataExpand::crc32(all.first(cut));
      EXPECT_EQ(NSDataExpand::crc32WithSeed(all.subspan(cut), head ^ 0xFFFFFFFF, 0xEDB88320), expect)
          << n << " cut " << cut;
    }
  }
}

TEST(NSDataExpandCRC, DataOfMoreThanFourGiB) {
  // Zero pages cost no memory; huge pages keep the faults few.
  const size_t n = (size_t{4} << 30) + 3;
  void* p = ::mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  ::madvise(p, n, MADV_HUGEPAGE);
  uint32_t crc = NSDataExpand::crc32(Bytes(static_cast<const uint8_t*>(p), n));
  ::munmap(p, n);
  // CRC-32 of 4 GiB + 3 zero bytes; a length wrapped to 32 bits gives that
  // of 3 zero bytes (0xFF41D912).
  EXPECT_EQ(crc, 0x2144DF1Cu);
}

TEST(NSDataExpandBase64, Encoding) {
  struct Case {
    plat::Data input;
    const char* text;
  } cases[] = {
      {{'f'}, "Zg=="},
      {{'f', 'o'}, "Zm8="},
      {{'f', 'o', 'o'}, "Zm9v"},
      {{'f', 'o', 'o', 'b'}, "Zm9vYg=="},
      {{'f', 'o', 'o', 'b', 'a'}, "Zm9vYmE="},
      {{'f', 'o', 'o', 'b', 'a', 'r'}, "Zm9vYmFy"},
      {{0xFF, 0xFE, 0x00}, "//4A"},
      {{0xFB, 0xFF}, "+/8="},
  };
  for (const auto& c : cases) EXPECT_EQ(NSDataExpand::base64Encoded(c.input), c.text);
  EXPECT_EQ(NSDataExpand::base64Encoded(plat::Data{}), std::nullopt);
}

TEST(NSDataExpandBase64, RoundTripsAndMatchesLibcrypto) {
  for (size_t n = 1; n < 200; ++n) {
    plat::Data d = randomBytes(n, static_cast<unsigned>(n));
    auto text = NSDataExpand::base64Encoded(d);
    ASSERT_TRUE(text) << n;
    std::string ref((n + 2) / 3 * 4 + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(ref.data()), d.data(), static_cast<int>(n));
    ref.resize(static_cast<size_t>(len));
    EXPECT_EQ(*text, ref) << n;
    EXPECT_EQ(NSDataExpand::base64Decoded(*text), d) << n;
    // Line breaks as a MIME encoder writes them are skipped.
    std::string wrapped;
    for (size_t i = 0; i < text->size(); ++i) wrapped += (i && i % 76 == 0 ? "\r\n" : "") + std::string(1, (*text)[i]);
    EXPECT_EQ(NSDataExpand::base64Decoded(wrapped), d) << n;
  }
}

TEST(NSDataExpandBase64, DecodingAndRefusals) {
  struct Case {
    std::string text;
    std::optional<plat::Data> bytes;
  } cases[] = {
      {"YWJj", plat::Data{'a', 'b', 'c'}},
      {"YWI", plat::Data{'a', 'b'}},
      {"YWI=", plat::Data{'a', 'b'}},
      {"YQ", plat::Data{'a'}},
      {"YW Jj", plat::Data{'a', 'b', 'c'}},
      {"YW\nJj", plat::Data{'a', 'b', 'c'}},
      {" \tYW\r\nJj\n", plat::Data{'a', 'b', 'c'}},
      // "=" is skipped wherever it stands.
      {"QQ==QQ==", plat::Data{0x41, 0x04, 0x10}},
      {"Y", std::nullopt},
      {"", std::nullopt},
      {"====", std::nullopt},
      {" \n", std::nullopt},
      // Not Base64 at all: refused rather than decoded around.
      {"YW-j", std::nullopt},
      {"YW_j", std::nullopt},
      {"YWJj!", std::nullopt},
      {"YW%3D", std::nullopt},
      {std::string("YW\0Jj", 5), std::nullopt},
      {"YW\xC3\xA9Jj", std::nullopt},
      {"\xD9\xC7", std::nullopt},  // low seven bits read "YG": must not decode
  };
  for (const auto& c : cases) EXPECT_EQ(NSDataExpand::base64Decoded(c.text), c.bytes) << '"' << c.text << '"';
}

}  // namespace
