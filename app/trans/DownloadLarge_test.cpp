// One 1 GiB download from devcloud, the whole road: the file API, one run
// of 1024 blocks, a flush and a bitmap write per block, the SHA-1 check.
#include <gtest/gtest.h>

#include "app/core/Util.h"
#include "app/trans/download_remote_fixture.h"

namespace {

using dltest::DownloadRemoteTest;
using dltest::MiB;

TEST_P(DownloadRemoteTest, OneGiBEndsOk) {
  const TransItem t = putGenerated("large/1g.bin", 1024 * MiB, 1);
  const int64_t since = cloud->lastSeq();
  auto d = download(t);
  EXPECT_EQ(d->result(), Download::kOk);
  EXPECT_EQ(Util::filesize(t.path + "_ok"), 1024 * MiB);
  EXPECT_EQ(contentRanges(since), (std::vector<std::string>{"bytes=0-1073741823"}));
  EXPECT_EQ(parent_.bytes.load(), 1024 * MiB);
  // Checked by the download itself; read again here.
  EXPECT_EQ(Util::getfilehash(t.path + "_ok"), t.filehash);
  plat::removeTree(t.path + "_ok");
}

INSTANTIATE_TEST_SUITE_P(Plain, DownloadRemoteTest, ::testing::Values(false));

}  // namespace
