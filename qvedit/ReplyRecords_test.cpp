#include "qvedit/ReplyRecords.h"

#include <gtest/gtest.h>

#include "qvedit/HTTPEngine.h"

namespace {

TEST(ReplyRecords, ReadKeysByNameWithNullAsMissing) {
  DownloadRet d;
  ASSERT_TRUE(d.initWithJsonString(
      R"({"filesize":3000000000,"filehash":"AB","uri":"http://h/c","last_member_id":7,"lock":null,"dir":1})"));
  EXPECT_EQ(d.filesize, 3000000000) << "read whole, so the caller can refuse it";
  EXPECT_EQ(d.filehash, "AB");
  EXPECT_EQ(d.uri, "http://h/c");
  EXPECT_EQ(d.lastmemberid, 7);
  EXPECT_EQ(d.lock, 0);
  EXPECT_EQ(d.dir, "1");
  EXPECT_FALSE(d.initWithJsonString("not json"));
  EXPECT_FALSE(d.initWithJsonString("\xff{}"));

  UploadRetPiece p;
  ASSERT_TRUE(p.initWithJsonString(R"({"error_code":409,"error_msg":"m","expect":204800})"));
  EXPECT_EQ(p.expect.value_or(-1), 204800);
  UploadRetPiece none;
  ASSERT_TRUE(none.initWithJsonString(R"({"error_code":500})"));
  EXPECT_FALSE(none.expect) << "no expect is not offset 0";

  TokenData t;
  ASSERT_TRUE(t.initWithJsonString(R"({"access_token":"a","refresh_token":"r"})"));
  EXPECT_EQ(t.accessToken, "a");
  EXPECT_EQ(t.refreshToken, "r");
}

TEST(HTTPEngineEdit, PathsAndSignatures) {
  EXPECT_EQ(HTTPEngine::get_path("a/b"), "/a/b");
  EXPECT_EQ(HTTPEngine::get_path(""), "/");
  EXPECT_EQ(HTTPEngine::get_path("a b/c?d&e"), "/a%20b/c%3Fd&e");
  EXPECT_EQ(HTTPEngine::get_path("/x"), "//x");
  // The signature text ends with the mount, a line feed and the escaped path:
  // the same HMAC over the text written out by hand.
  std::string date = "Mon,01 Jan 2024 10:00:00 UTC";
  std::string auth = HTTPEngine::getAuth("GET", date, 5, HTTPEngine::get_path("a b"));
  EXPECT_EQ(auth, HTTPEngine::getAuth("get", date, 5, "/a%20b"));
  EXPECT_NE(auth, HTTPEngine::getAuth("GET", date, 6, "/a%20b"));
  EXPECT_EQ(auth.size(), 28u);
  EXPECT_EQ(auth, "kp1LKi5cj/PzbY/D2UE3+0YsZmA=");
}

}  // namespace
