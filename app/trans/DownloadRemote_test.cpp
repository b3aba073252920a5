// Downloads from devcloud's content URL, as the file API names it: sizes
// from empty to several blocks, resume after SIGKILL, a resume file of the
// wrong length, and the service's faults (a cut body, corrupted bytes, the
// file gone, silence), each with the result and the row as the sync engine
// then finds them.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/core/Util.h"
#include "app/trans/download_remote_fixture.h"

extern char** environ;

namespace {

using dltest::DownloadRemoteTest;
using dltest::MiB;
using dltest::pumpUntil;
using enginetest::sha1;
using plat::Dictionary;
using plat::Value;

TEST_P(DownloadRemoteTest, SizesFromEmptyToSeveralBlocksEndOk) {
  for (uint64_t size : {uint64_t{0}, uint64_t{1}, 3 * MiB, 4 * MiB + MiB / 2}) {
    const std::string content = dltest::randomBytes(size, static_cast<unsigned>(size));
    const TransItem t = put(plat::format("sizes/%llu.bin", static_cast<unsigned long long>(size)), content);
    const int64_t since = cloud->lastSeq();
    auto d = download(t);
    EXPECT_EQ(d->result(), Download::kOk) << size;
    EXPECT_TRUE(plat::readFile(t.path + "_ok") == content) << size;
    EXPECT_FALSE(Util::existfile(t.path + ".tmp")) << size;
    const auto ranges = contentRanges(since);
    if (size == 0) {
      EXPECT_TRUE(ranges.empty());
    } else {
      EXPECT_EQ(ranges, (std::vector<std::string>{plat::format("bytes=0-%llu",
                                                               static_cast<unsigned long long>(size - 1))}));
      for (const Value& e : recorded(since, "/content/")) EXPECT_EQ(headerOf(e, "User-Agent"), "client_quorva");
    }
  }
}

TEST_P(DownloadRemoteTest, AResumeFileOfTheWrongLengthStartsFromZero) {
  const std::string content = dltest::randomBytes(3 * MiB, 5);
  const TransItem t = put("resume/wrong.bin", content);
  ASSERT_TRUE(plat::makeDirectories(plat::pathDirname(t.path)));
  ASSERT_TRUE(plat::atomicWrite(t.path, std::string(content.size(), 'z')));
  ASSERT_TRUE(plat::atomicWrite(t.path + ".tmp", std::string("\x07\x00", 2)));
  const int64_t since = cloud->lastSeq();
  auto d = download(t);
  EXPECT_EQ(d->result(), Download::kOk);
  EXPECT_TRUE(plat::readFile(t.path + "_ok") == content);
  EXPECT_EQ(contentRanges(since), (std::vector<std::string>{"bytes=0-3145727"}));
}

TEST_P(DownloadRemoteTest, KilledMidwayAndRestartedFetchesOnlyTheMissingBlocks) {
  const TransItem t = putGenerated("resume/killed.bin", 24 * MiB + 3, 21);
  // Eight blocks arrive, then the service holds the answer open.
  fault({{"kind", Value("stall")}, {"path", Value("/content/")}, {"after", Value(int64_t(8 * MiB + 1000))},
         {"seconds", Value(60)}});
  pid_t pid = 0;
  const std::string mount = std::to_string(account_.mount), size = std::to_string(t.filesize);
  const std::string host = cloud->hostPort();
  std::vector<const char*> args = {DOWNLOAD_RUNNER, host.c_str(), account_.token.c_str(), mount.c_str(),
                                   t.webpath.c_str(), t.filehash.c_str(), size.c_str(), t.path.c_str(), nullptr};
  ASSERT_EQ(posix_spawn(&pid, DOWNLOAD_RUNNER, nullptr, nullptr, const_cast<char**>(args.data()), environ), 0);
  std::set<int64_t> present;
  ASSERT_TRUE(pumpUntil([&] {
    auto tmp = plat::readFile(t.path + ".tmp");
    if (tmp) present = dltest::blocksOf(std::vector<uint8_t>(tmp->begin(), tmp->end()));
    return present.size() == 8;
  }, 60));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(present, (std::set<int64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  cloud->hook("DELETE", "faults");

  const int64_t since = cloud->lastSeq();
  auto d = download(t);
  EXPECT_EQ(d->result(), Download::kOk);
  EXPECT_EQ(contentRanges(since), (std::vector<std::string>{"bytes=8388608-25165826"}));
  EXPECT_EQ(Util::getfilehash(t.path + "_ok"), t.filehash);
  EXPECT_EQ(parent_.bytes.load(), t.filesize - 8 * MiB);
}

TEST_P(DownloadRemoteTest, ABodyCutMidBlockIsFetchedAgainFromThatBlock) {
  const std::string content = dltest::randomBytes(3 * MiB, 8);
  const TransItem t = put("faults/cut.bin", content);
  fault({{"kind", Value("cut")}, {"path", Value("/content/")}, {"after", Value(int64_t(MiB + MiB / 2))}});
  const int64_t since = cloud->lastSeq();
  auto d = download(t);
  EXPECT_EQ(d->result(), Download::kOk);
  EXPECT_TRUE(plat::readFile(t.path + "_ok") == content);
  EXPECT_EQ(contentRanges(since), (std::vector<std::string>{"bytes=0-3145727", "bytes=1048576-3145727"}));
}

TEST_P(DownloadRemoteTest, CorruptedBytesEndAsErrorNeverOk) {
  const std::string content = dltest::randomBytes(2 * MiB + 10, 9);
  const TransItem t = put("faults/corrupt.bin", content);
  fault({{"kind", Value("corrupt")}, {"path", Value("/content/")}, {"at", Value(int64_t(MiB + 7))}});
  auto d = download(t);
  EXPECT_EQ(d->result(), Download::kError);
  EXPECT_FALSE(Util::existfile(t.path + "_ok"));
  EXPECT_EQ(Util::filesize(t.path + "_error"), content.size());
  EXPECT_FALSE(Util::existfile(t.path + ".tmp"));
  EXPECT_TRUE(logHas("下载文件失败:"));
}

TEST_P(DownloadRemoteTest, AFileGoneFromTheServiceDeletesTheRow) {
  const TransItem t = put("faults/gone.bin", "gone soon");
  fault({{"kind", Value("error")}, {"method", Value("GET")}, {"path", Value("/faults/gone.bin")},
         {"status", Value(404)}, {"error_code", Value(40402)}, {"error_msg", Value("文件不存在")}});
  auto d = download(t);
  EXPECT_EQ(d->result(), 80);
  EXPECT_EQ(db_->get_single_file(t.webpath).status, -1);
  EXPECT_TRUE(logHas("未找到下载地址:faults/gone.bin"));
}

TEST_P(DownloadRemoteTest, SilenceEndsWith80AfterTwoMinutesAndParksTheRow) {
  const std::string content = dltest::randomBytes(2 * MiB, 10);
  const TransItem t = put("faults/silent.bin", content);
  // Headers, then nothing: every request of the source hangs.
  fault({{"kind", Value("stall")}, {"path", Value("/content/")}, {"after", Value(0)}, {"seconds", Value(2)},
         {"count", Value(10000)}});
  parent_.park = true;
  std::vector<std::shared_ptr<PeerDownload>> sources;
  bool allStopped = false;
  parent_.onRemove = [&](Download&) {
    allStopped = true;
    for (const auto& s : sources) allStopped = allStopped && !s->isRunning();
  };
  auto clock = std::make_shared<plat::ScaledClock>(40);
  plat::ScopedClock scoped(clock);
  auto d = std::make_shared<Download>(t, &parent_);
  const double started = clock->now().secondsSince1970;
  ASSERT_TRUE(d->run());
  ASSERT_TRUE(pumpUntil([&] {
    if (sources.empty()) sources = d->httpPeers();
    return d->result() != Download::kRunning;
  }, 120));
  d->join();
  const double ended = clock->now().secondsSince1970;
  EXPECT_EQ(d->result(), 80);
  EXPECT_GE(ended - started, Download::kNoDataSeconds);
  ASSERT_FALSE(sources.empty());
  EXPECT_TRUE(allStopped);
  EXPECT_TRUE(logHas("未找到下载地址:faults/silent.bin"));
  // Held back 300 s from the moment it failed.
  const double since2001 = 978307200.0;
  const int64_t actlast = db_->get_single_file(t.webpath).actlast;
  EXPECT_GE(actlast, static_cast<int64_t>(started - since2001 + Download::kNoDataSeconds + 300) - 2);
  EXPECT_LE(actlast, static_cast<int64_t>(ended - since2001 + 300) + 1);
  // The target and its bitmap stay for a later resume.
  EXPECT_TRUE(Util::existfile(t.path));
  EXPECT_TRUE(Util::existfile(t.path + ".tmp"));
}

TEST_P(DownloadRemoteTest, ARegetThatChangesTheSizeReplansTheBitmap) {
  // The job was handed out for the first content; the service now has
  // another, longer one, and the row is still to download.
  const std::string before = dltest::randomBytes(MiB + 3, 11);
  const std::string after = dltest::randomBytes(3 * MiB + 5, 12);
  TransItem t = row("changed/f.bin", sha1(before), before.size());
  put("changed/f.bin", after);
  ASSERT_TRUE(plat::makeDirectories(plat::pathDirname(t.path)));
  // A resume state of the old content: its one block marked present.
  ASSERT_TRUE(plat::atomicWrite(t.path, before));
  ASSERT_TRUE(plat::atomicWrite(t.path + ".tmp", std::string("\x03", 1)));
  const int64_t since = cloud->lastSeq();
  auto d = download(t);
  EXPECT_EQ(d->result(), Download::kOk);
  EXPECT_TRUE(plat::readFile(t.path + "_ok") == after);
  EXPECT_EQ(contentRanges(since), (std::vector<std::string>{"bytes=0-3145732"}));
  EXPECT_EQ(db_->get_single_file(t.webpath).filehash, sha1(after));
  EXPECT_EQ(db_->get_single_file(t.webpath).size, after.size());
  EXPECT_EQ(d->item().filehash, sha1(after));

  // A row no longer to download: the changed file is not fetched.
  const std::string third = dltest::randomBytes(100, 13);
  TransItem u = row("changed/g.bin", sha1(before), before.size(), 4);
  put("changed/g.bin", third);
  const int64_t since2 = cloud->lastSeq();
  auto e = download(u);
  EXPECT_EQ(e->result(), 80);
  EXPECT_TRUE(contentRanges(since2).empty());
  EXPECT_EQ(db_->get_single_file(u.webpath).filehash, sha1(before));
}

// A reget that claims a size no disk here can hold fails that download with
// its own log line before anything is planned for that size: the bitmaps
// stay those of the job, the row keeps its size.
TEST_P(DownloadRemoteTest, ASizeFromTheServiceNoDiskCanHoldFailsTheDownload) {
  const char* lies[] = {"1000000000000000", "4611686018427387904", "9223372036854775807", "-1"};
  int n = 0;
  for (const char* size : lies) {
    const std::string webpath = "lies/f" + std::to_string(++n) + ".bin";
    const std::string content = dltest::randomBytes(3000, 40 + n);
    const TransItem t = put(webpath, content);
    const std::string other = sha1(content + "other");
    fault({{"kind", Value("error")}, {"method", Value("GET")}, {"path", Value("/" + webpath)},
           {"status", Value(200)},
           {"body", Value(std::string(R"({"filehash":")") + other + R"(","filesize":)" + size + R"(,"uri":")" +
                          cloud->url() + R"(/content/)" + other + R"("})")}});
    auto d = download(t);
    EXPECT_EQ(d->result(), 81) << size;
    EXPECT_TRUE(logHas("文件大小超出磁盘可用空间:" + webpath)) << size;
    EXPECT_LE(d->dataCount(), 1) << size;
    EXPECT_EQ(d->item().filesize, content.size()) << size;
    EXPECT_EQ(db_->get_single_file(webpath).size, content.size()) << size;
    EXPECT_FALSE(Util::existfile(t.path + "_ok")) << size;
  }
}

INSTANTIATE_TEST_SUITE_P(Plain, DownloadRemoteTest, ::testing::Values(false));

}  // namespace
