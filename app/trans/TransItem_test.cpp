#include "app/trans/TransItem.h"

#include <gtest/gtest.h>

namespace {

// What the pulling threads read first: a fresh record says "nothing to do",
// and only upload records carry the transfer directory.
TEST(TransItem, AFreshRecordIsEmptyAndHasNoCachePath) {
  TransItem t;
  EXPECT_EQ(t.itemid, 0);
  EXPECT_EQ(t.filesize, 0u);
  EXPECT_EQ(t.addtime, 0u);
  EXPECT_TRUE(t.webpath.empty());
  EXPECT_FALSE(t.cachepath.has_value());
  EXPECT_EQ(t.progress, 0.0);
}

TEST(TransItem, OnlyAnUploadRowShowsAsUpload) {
  TransItem t;
  const struct {
    int64_t status;
    const char* text;
  } cases[] = {{1, "上传"}, {0, "下载"}, {2, "下载"}, {-1, "下载"}};
  for (const auto& c : cases) {
    t.status = c.status;
    EXPECT_STREQ(t.directionText(), c.text) << c.status;
  }
}

}  // namespace
