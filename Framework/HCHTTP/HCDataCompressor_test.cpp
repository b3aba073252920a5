#include "Framework/HCHTTP/HCDataCompressor.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <random>

#include "Framework/HCHTTP/HCDataDecompressor.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"

using plat::Data;

#ifndef QV_GZ_TOTAL_MIB
#define QV_GZ_TOTAL_MIB 32
#endif
namespace {

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }
std::string str(const Data& d) { return std::string(d.begin(), d.end()); }

std::string tempPath(const std::string& name) {
  return plat::pathJoin(plat::temporaryDirectory(), plat::format("hccomp-%d-%@", static_cast<int>(getpid()), name));
}

// Writes `size` bytes of mixed text and noise, chunk by chunk; returns their CRC-32.
uLong writeGenerated(const std::string& path, size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  uLong crc = crc32(0, nullptr, 0);
  Data chunk(100000);
  size_t left = size;
  while (left > 0) {
    size_t n = std::min(left, chunk.size());
    for (size_t i = 0; i < n; ++i) chunk[i] = (i / 512) % 2 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>('a' + i % 26);
    crc = crc32(crc, chunk.data(), static_cast<uInt>(n));
    EXPECT_EQ(::write(fd, chunk.data(), n), static_cast<ssize_t>(n));
    left -= n;
  }
  ::close(fd);
  return crc;
}

// CRC-32 and size of a file, read in pieces.
std::pair<uLong, size_t> crcOfFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  uLong crc = crc32(0, nullptr, 0);
  size_t size = 0;
  Data buf(65536);
  ssize_t n;
  while (fd >= 0 && (n = ::read(fd, buf.data(), buf.size())) > 0) {
    crc = crc32(crc, buf.data(), static_cast<uInt>(n));
    size += static_cast<size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  return {crc, size};
}

TEST(HCDataCompressor, WholeBuffersRoundTripAndStartWithTheGzipMagic) {
  for (std::string text : {std::string("x"), std::string("hello, hello, hello"), std::string(300000, 'q')}) {
    plat::Error e;
    auto gz = HCDataCompressor::compressData(bytes(text), &e);
    ASSERT_TRUE(gz) << e.description();
    ASSERT_GE(gz->size(), 2u);
    EXPECT_EQ((*gz)[0], 0x1F);
    EXPECT_EQ((*gz)[1], 0x8B);
    auto back = HCDataDecompressor::uncompressData(*gz, &e);
    ASSERT_TRUE(back) << e.description();
    EXPECT_TRUE(str(*back) == text) << text.size();
  }
}

TEST(HCDataCompressor, EmptyChunkGivesNothingWithoutAnError) {
  auto c = HCDataCompressor::compressor();
  ASSERT_TRUE(c->streamReady());
  plat::Error e(plat::Error::withDescription("untouched", 1, "untouched"));
  auto out = c->compressBytes(nullptr, 0, &e, false);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->empty());
  EXPECT_EQ(e.domain(), "untouched");
}

TEST(HCDataCompressor, ChunksOfAnySizeMakeOneStream) {
  std::mt19937 rng(3);
  std::string text;
  for (int i = 0; i < 20000; ++i) text += std::to_string(rng() % 100) + " ";
  auto c = HCDataCompressor::compressor();
  Data all;
  size_t at = 0;
  size_t sizes[] = {1, 2, 7, 1000, 65536};
  for (int i = 0; at < text.size(); ++i) {
    size_t n = std::min(sizes[i % 5], text.size() - at);
    plat::Error e;
    auto out = c->compressBytes(reinterpret_cast<const uint8_t*>(text.data()) + at, n, &e, false);
    ASSERT_TRUE(out) << e.description();
    all.insert(all.end(), out->begin(), out->end());
    at += n;
  }
  auto tail = c->compressBytes(nullptr, 0, nullptr, true);
  ASSERT_TRUE(tail);
  all.insert(all.end(), tail->begin(), tail->end());
  EXPECT_FALSE(c->closeStream());
  auto back = HCDataDecompressor::uncompressData(all, nullptr);
  ASSERT_TRUE(back);
  EXPECT_TRUE(str(*back) == text);
}

TEST(HCDataCompressor, FilesRoundTripWhateverTheirSize) {
  // Empty, one byte, exactly one and two read chunks, and a few MiB.
  for (size_t size : {size_t{0}, size_t{1}, size_t{262144}, size_t{524288}, size_t{5 * 1024 * 1024 + 3}}) {
    std::string src = tempPath("src"), gz = tempPath("gz"), back = tempPath("back");
    uLong crc = writeGenerated(src, size, static_cast<unsigned>(size));
    plat::Error e;
    ASSERT_TRUE(HCDataCompressor::compressDataFromFile(src, gz, &e)) << size << " " << e.description();
    ASSERT_TRUE(HCDataDecompressor::uncompressDataFromFile(gz, back, &e)) << size << " " << e.description();
    auto [backCrc, backSize] = crcOfFile(back);
    EXPECT_EQ(backSize, size);
    EXPECT_EQ(backCrc, crc) << size;
    for (const auto& p : {src, gz, back}) ::unlink(p.c_str());
  }
}

TEST(HCDataCompressor, MissingSourceIsAnErrorAfterTheDestinationWasMade) {
  std::string src = tempPath("missing"), dst = tempPath("made");
  ::unlink(src.c_str());
  plat::Error e;
  EXPECT_FALSE(HCDataCompressor::compressDataFromFile(src, dst, &e));
  EXPECT_EQ(e.domain(), "HCHTTPRequestErrorDomain");
  EXPECT_EQ(e.code(), 11);
  EXPECT_EQ(e.localizedDescription(), plat::format("Compression of %@ failed the file does not exist", src));
  EXPECT_TRUE(plat::fileExists(dst));
  EXPECT_EQ(plat::fileSize(dst).value_or(99), 0u);
  EXPECT_FALSE(HCDataCompressor::compressDataFromFile(src, "/nonexistent-dir/x.gz", &e));
  EXPECT_EQ(e.localizedDescription(),
            plat::format("Compression of %@ failed because we were to create a file at %@", src, "/nonexistent-dir/x.gz"));
  ::unlink(dst.c_str());
}

TEST(HCDataCompressor, ErrorTextCarriesTheZlibResult) {
  EXPECT_EQ(HCDataCompressor::deflateErrorWithCode(-2).localizedDescription(), "Compression of data failed with code -2");
  EXPECT_EQ(HCDataCompressor::deflateErrorWithCode(-2).code(), 11);
}

// Through both directions in chunks, from a generator: nothing holds more
// than a chunk of it. The bench build sets a gigabyte.
TEST(HCDataCompressor, ALargeStreamGoesThroughInChunks) {
  const size_t total = size_t{QV_GZ_TOTAL_MIB} << 20;
  auto c = HCDataCompressor::compressor();
  auto d = HCDataDecompressor::decompressor();
  Data chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>("quorva blocks "[i % 14]);
  uLong crcIn = crc32(0, nullptr, 0), crcOut = crc32(0, nullptr, 0);
  size_t out = 0;
  for (size_t sent = 0; sent <= total; sent += chunk.size()) {
    const bool last = sent == total;
    chunk[0] = static_cast<uint8_t>(sent >> 20);  // no two chunks alike
    size_t n = last ? 0 : chunk.size();
    if (n) crcIn = crc32(crcIn, chunk.data(), static_cast<uInt>(n));
    auto z = c->compressBytes(chunk.data(), n, nullptr, last);
    ASSERT_TRUE(z);
    auto plain = d->uncompressBytes(z->data(), z->size(), nullptr);
    ASSERT_TRUE(plain);
    // crc32 of a null buffer starts over: empty pieces are skipped.
    if (!plain->empty()) crcOut = crc32(crcOut, plain->data(), static_cast<uInt>(plain->size()));
    out += plain->size();
  }
  EXPECT_TRUE(d->isStreamEnded());
  EXPECT_EQ(out, total);
  EXPECT_EQ(crcOut, crcIn);
}

}  // namespace

// zlib counts input in 32 bits: a buffer past 4 GiB must be compressed
// whole, not cut at its low 32 bits. The zeros are untouched pages of a
// reservation, so they cost no memory.
TEST(HCDataCompressor, ABufferPastFourGiBIsCompressedWhole) {
  const uint64_t length = (uint64_t{1} << 32) + 4096;
  void* zeros = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(zeros, MAP_FAILED);
  auto c = HCDataCompressor::compressor();
  plat::Error error;
  auto out = c->compressBytes(static_cast<const uint8_t*>(zeros), length, &error, true);
  ::munmap(zeros, length);
  ASSERT_TRUE(out) << error.localizedDescription();
  // Count what it inflates to without holding it.
  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
  z.next_in = out->data();
  z.avail_in = static_cast<uInt>(out->size());
  std::vector<uint8_t> buf(1 << 20);
  uint64_t total = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = buf.data();
    z.avail_out = static_cast<uInt>(buf.size());
    status = inflate(&z, Z_NO_FLUSH);
    total += buf.size() - z.avail_out;
  }
  inflateEnd(&z);
  EXPECT_EQ(status, Z_STREAM_END);
  EXPECT_EQ(total, length);
}
