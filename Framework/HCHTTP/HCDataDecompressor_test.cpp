#include "Framework/HCHTTP/HCDataDecompressor.h"

#include <gtest/gtest.h>
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

}  // namespace
