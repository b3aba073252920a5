#include "Framework/Staticclass/FileSHA1.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class FileSHA1Test : public testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "filesha1-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string makeFile(const std::string& name, size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng());
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // What the sha1sum command prints for the file.
  static std::string sha1sum(const std::string& path) {
    std::string cmd = "sha1sum '" + path + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    char buf[256] = {0};
    size_t n = std::fread(buf, 1, sizeof buf - 1, p);
    ::pclose(p);
    return std::string(buf, n).substr(0, 40);
  }

  fs::path dir_;
};

TEST_F(FileSHA1Test, EqualsSha1sumAcrossSizesAndChunks) {
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, (size_t{256} << 10) - 1, (size_t{256} << 10) + 1,
                          (size_t{3} << 20) + 17};
  const uint64_t chunks[] = {0, 1, 4096, 65536, uint64_t{1} << 20, uint64_t{64} << 20};
  for (size_t size : sizes) {
    std::string path = makeFile(std::to_string(size) + ".bin", size, static_cast<unsigned>(size));
    std::string expect = sha1sum(path);
    ASSERT_EQ(expect.size(), 40u) << expect;
    for (uint64_t chunk : chunks) {
      EXPECT_EQ(FileSHA1::FileMD5HashCreateWithPath(path, chunk), expect) << "size " << size << " chunk " << chunk;
    }
  }
}

TEST_F(FileSHA1Test, EmptyFileAndNamesThatNeedQuoting) {
  std::string path = makeFile("报告 #1 100%.txt", 0, 1);
  EXPECT_EQ(FileSHA1::FileMD5HashCreateWithPath(path, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST_F(FileSHA1Test, FailuresGiveNoHash) {
  fs::create_directory(dir_ / "folder");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir_ / "missing", dir_ / "dangling");
  const std::string paths[] = {
      (dir_ / "missing").string(),
      "",
      (dir_ / "folder").string(),
      (dir_ / "missing" / "below").string(),
      (dir_ / "dangling").string(),
      // Would block the open, then the reads, with no writer.
      (dir_ / "fifo").string(),
      // Never ends.
      "/dev/zero",
      // Opens, then fails to read: a read error midway must not give the
      // hash of what was read before it.
      "/proc/self/mem",
  };
  for (const auto& p : paths) EXPECT_EQ(FileSHA1::FileMD5HashCreateWithPath(p, 0), std::nullopt) << p;
}

TEST_F(FileSHA1Test, FollowsSymbolicLinks) {
  std::string target = makeFile("target", 5000, 3);
  fs::create_symlink(target, dir_ / "link");
  EXPECT_EQ(FileSHA1::FileMD5HashCreateWithPath((dir_ / "link").string(), 0), sha1sum(target));
}

TEST_F(FileSHA1Test, ManyThreadsAtOnce) {
  std::string path = makeFile("shared", (size_t{1} << 20) + 5, 9);
  std::string expect = sha1sum(path);
  std::vector<std::optional<std::string>> results(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&, i] { results[i] = FileSHA1::FileMD5HashCreateWithPath(path, 4096 * (i + 1)); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, expect);
}

}  // namespace
