// A 300 MiB plain upload against devcloud, with its piece table.
#include "app/trans/upload_test_fixture.h"

namespace {

using namespace uploadtest;

class UploadLarge : public UploadTest {};

TEST_P(UploadLarge, ThreeHundredMiBGoInHalfMiBPieces) {
  const size_t size = 300 * 1048576;
  const std::string content = noise(size, 300);
  const std::string webpath = "large/300.bin";
  const int64_t since = cloud->lastSeq();
  auto u = upload(webpath, content);
  ASSERT_EQ(u->errorcode(), 0) << u->strError();
  int64_t next = 0, count = 0;
  for (const Value& e : recorded(since, "/upload_part")) {
    long first = 0, last = 0;
    std::sscanf(headerOf(e, "x-qv-upload-range").value_or("").c_str(), "%ld-%ld", &first, &last);
    EXPECT_EQ(first, next);
    EXPECT_EQ(last - first + 1, 524288);
    next = last + 1;
    ++count;
  }
  EXPECT_EQ(count, 600);
  EXPECT_EQ(node(webpath)["filehash"].string(), sha1(content));
}

INSTANTIATE_TEST_SUITE_P(Http, UploadLarge, ::testing::Values(false));

}  // namespace
