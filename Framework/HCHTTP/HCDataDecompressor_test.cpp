#include "Framework/HCHTTP/HCDataDecompressor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <sstream>

#include "platform/foundation/format.h"
#include "tests/support/test_http_server.h"

using plat::Data;

namespace {

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }
std::string str(const Data& d) { return std::string(d.begin(), d.end()); }

std::string sampleText() {
  std::string s;
  for (int i = 0; i < 5000; ++i) s += "block " + std::to_string(i * 7919 % 1000) + " of the file\n";
  return s;
}

Data zlibWrapped(const std::string& s) {
  uLongf n = compressBound(s.size());
  Data out(n);
  compress2(out.data(), &n, reinterpret_cast<const Bytef*>(s.data()), s.size(), 6);
  out.resize(n);
  return out;
}

TEST(HCDataDecompressor, WholeBuffers) {
  std::string text = sampleText();
  plat::Error e;
  auto gz = HCDataDecompressor::uncompressData(bytes(qvtest::gzip(text)), &e);
  ASSERT_TRUE(gz) << e.description();
  EXPECT_TRUE(str(*gz) == text);
  auto z = HCDataDecompressor::uncompressData(zlibWrapped(text), &e);
  ASSERT_TRUE(z);
  EXPECT_TRUE(str(*z) == text);
}

TEST(HCDataDecompressor, FaultsAreErrorsOfCodeEleven) {
  std::mt19937 rng(1);
  Data noise(4096);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  noise[0] = 0x1f;
  noise[1] = 0x8b;  // looks like gzip, isn't
  std::string gz = qvtest::gzip(sampleText());
  struct Row {
    const char* what;
    Data input;
    const char* text;
  } rows[] = {
      {"random bytes", noise, "Decompression of data failed with code -3"},
      {"cut short", bytes(gz.substr(0, gz.size() / 2)), "Decompression of data failed with code -5"},
      {"bytes after the end", bytes(gz + "trailing"), "Decompression of data failed with code -3"},
  };
  for (const auto& row : rows) {
    plat::Error e;
    EXPECT_FALSE(HCDataDecompressor::uncompressData(row.input, &e)) << row.what;
    EXPECT_EQ(e.domain(), "HCHTTPRequestErrorDomain");
    EXPECT_EQ(e.code(), 11);
    EXPECT_EQ(e.localizedDescription(), row.text) << row.what;
  }
}

TEST(HCDataDecompressor, ChunkByChunkKnowsWhetherTheStreamEnded) {
  std::string text = sampleText();
  std::string gz = qvtest::gzip(text);
  auto d = HCDataDecompressor::decompressor();
  ASSERT_TRUE(d->streamReady());
  plat::Error e;
  auto empty = d->uncompressBytes(nullptr, 0, &e);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  std::string out;
  for (size_t at = 0; at < gz.size(); at += 7) {
    size_t n = std::min<size_t>(7, gz.size() - at);
    EXPECT_FALSE(d->isStreamEnded());
    auto chunk = d->uncompressBytes(reinterpret_cast<const uint8_t*>(gz.data() + at), n, &e);
    ASSERT_TRUE(chunk) << e.description();
    out.append(chunk->begin(), chunk->end());
  }
  EXPECT_TRUE(d->isStreamEnded());
  EXPECT_TRUE(out == text);
  EXPECT_FALSE(d->closeStream());
  EXPECT_FALSE(d->streamReady());
}

TEST(HCDataDecompressor, WholeFiles) {
  std::string text = sampleText();
  std::string src = plat::format("/tmp/hcdd-src-%d", getpid()), dst = plat::format("/tmp/hcdd-dst-%d", getpid());
  {
    std::ofstream f(src, std::ios::binary);
    f << qvtest::gzip(text);
  }
  plat::Error e;
  ASSERT_TRUE(HCDataDecompressor::uncompressDataFromFile(src, dst, &e)) << e.description();
  std::ifstream in(dst, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_TRUE(ss.str() == text);
  ::unlink(src.c_str());
  EXPECT_FALSE(HCDataDecompressor::uncompressDataFromFile(src, dst, &e));
  EXPECT_EQ(e.localizedDescription(), plat::format("Decompression of %@ failed the file does not exist", src));
  ::unlink(dst.c_str());
}

// A few compressed bytes may stand for gigabytes: output comes in pieces of
// at most kPieceSize, and a limit stops the inflation with its own error,
// for buffers and files alike.
TEST(HCDataDecompressor, OutputComesInBoundedPiecesUpToALimit) {
  std::string zeros(64 << 20, '\0');
  Data gz = bytes(qvtest::gzip(zeros));
  ASSERT_LT(gz.size(), 256u * 1024);
  auto d = HCDataDecompressor::decompressor();
  size_t largest = 0, total = 0, calls = 0;
  plat::Error e;
  ASSERT_TRUE(d->uncompressBytes(
      gz.data(), gz.size(),
      [&](const uint8_t*, size_t n) {
        largest = std::max(largest, n);
        total += n;
        ++calls;
        return true;
      },
      &e));
  EXPECT_TRUE(d->isStreamEnded());
  EXPECT_EQ(total, zeros.size());
  EXPECT_LE(largest, HCDataDecompressor::kPieceSize);
  EXPECT_GT(calls, 1u);

  EXPECT_FALSE(HCDataDecompressor::uncompressData(gz, &e, 1 << 20));
  EXPECT_EQ(e.code(), 11);
  EXPECT_NE(e.localizedDescription().find("inflates past its limit of 1048576 bytes"), std::string::npos);

  std::string dir = plat::format("/tmp/hchttp-inflate-%d", getpid());
  ::mkdir(dir.c_str(), 0700);
  {
    std::ofstream f(dir + "/in.gz", std::ios::binary);
    f.write(reinterpret_cast<const char*>(gz.data()), static_cast<std::streamsize>(gz.size()));
  }
  EXPECT_FALSE(HCDataDecompressor::uncompressDataFromFile(dir + "/in.gz", dir + "/out", &e, 1 << 20));
  EXPECT_NE(e.localizedDescription().find("inflates past its limit"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/out").c_str(), &st), 0);
  EXPECT_LE(static_cast<size_t>(st.st_size), (1u << 20) + HCDataDecompressor::kPieceSize);
  ::unlink((dir + "/out").c_str());
  ::unlink((dir + "/in.gz").c_str());
  ::rmdir(dir.c_str());
}

// A private destination is made new and 0600 from the start, whatever the
// umask, and never through a name that is already there (a planted link).
TEST(HCDataDecompressor, APrivateDestinationIsNewAndOwnerOnly) {
  std::string dir = plat::format("/tmp/hchttp-private-%d", getpid());
  ::mkdir(dir.c_str(), 0700);
  {
    std::ofstream f(dir + "/in.gz", std::ios::binary);
    f << qvtest::gzip("secret body");
  }
  mode_t old = ::umask(0);
  plat::Error e;
  bool made = HCDataDecompressor::uncompressDataFromFile(dir + "/in.gz", dir + "/out", &e, UINT64_MAX, true);
  ::symlink((dir + "/elsewhere").c_str(), (dir + "/planted").c_str());
  bool planted = HCDataDecompressor::uncompressDataFromFile(dir + "/in.gz", dir + "/planted", &e, UINT64_MAX, true);
  ::umask(old);
  ASSERT_TRUE(made);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/out").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(planted);
  EXPECT_NE(::access((dir + "/elsewhere").c_str(), F_OK), 0) << "nothing written through the link";
  for (const char* n : {"/in.gz", "/out", "/planted"}) ::unlink((dir + n).c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
