#include "platform/foundation/user_defaults.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"

using namespace plat;

class UserDefaultsTest : public ::testing::Test {
protected:
  void SetUp() override { dir_ = makeTemporaryDirectory("qv-defaults"); }
  void TearDown() override { removeTree(dir_); }
  std::string dir_;
};

TEST_F(UserDefaultsTest, ValuesSurviveAReopenWithTheirKinds) {
  std::string path = pathJoin(dir_, "cfg/Quorva/defaults");
  {
    UserDefaults d(path);
    EXPECT_TRUE(d.setObject("versionquorva", Value("1.2.3")));
    EXPECT_TRUE(d.setObject("MSG_DATALINE", Value(1704103200LL)));
    d.setObject("ratio", Value(0.25));
    d.setObject("flag", Value(true));
    d.setObject("digests", Value(Dictionary{{"start", Value("d41d8cd98f00b204e9800998ecf8427e")},
                                            {"list", Value(Array{Value(1), Value(), Value::data("\0\1", 2)})}}));
    d.setObject("gone", Value("x"));
    d.removeObjectForKey("gone");
  }
  UserDefaults d(path);
  EXPECT_EQ(d.stringForKey("versionquorva"), "1.2.3");
  EXPECT_EQ(d.integerForKey("MSG_DATALINE"), 1704103200LL);
  EXPECT_EQ(d.objectForKey("MSG_DATALINE").number().type(), 'q');
  EXPECT_DOUBLE_EQ(d.doubleForKey("ratio"), 0.25);
  EXPECT_TRUE(d.boolForKey("flag"));
  EXPECT_TRUE(d.objectForKey("flag").isBool());
  EXPECT_EQ(d.objectForKey("digests")["list"][2].dataValue(), (Data{0, 1}));
  EXPECT_TRUE(d.objectForKey("digests")["list"][1].isNull());
  EXPECT_TRUE(d.objectForKey("gone").isNull());
  EXPECT_EQ(statFollow(path)->mode & 0777, 0600u);
}

TEST_F(UserDefaultsTest, DamagedFilesAreRefusedNotGuessed) {
  Dictionary d{{"k", Value(Array{Value("a"), Value(2)})}};
  std::string good = UserDefaults::encode(d);
  ASSERT_EQ(UserDefaults::decode(good).value(), d);
  // Every truncation and a trailing byte are refused.
  for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(UserDefaults::decode(good.substr(0, n))) << n;
  EXPECT_FALSE(UserDefaults::decode(good + "x"));
  // A huge element count does not allocate or read past the end.
  std::string huge = good.substr(0, 8) + std::string("\xff\xff\xff\x7f", 4);
  EXPECT_FALSE(UserDefaults::decode(huge));

  std::string path = pathJoin(dir_, "defaults");
  ASSERT_TRUE(atomicWrite(path, "garbage"));
  LogCapture cap;
  UserDefaults u(path);
  EXPECT_TRUE(cap.contains("UserDefaults: ignoring the damaged file"));
  EXPECT_TRUE(u.objectForKey("k").isNull());
  EXPECT_TRUE(u.setObject("k", Value("v")));  // and it starts over cleanly
  UserDefaults again(path);
  EXPECT_EQ(again.stringForKey("k"), "v");
}
