#include "app/core/UserData.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/system/device_identity.h"
#include "platform/system/system_test_util.h"

namespace {

using plat::testing::TempHome;

TEST(UserData, StartsEmptyWithTheDeviceId) {
  TempHome home;
  struct Fixed : plat::DeviceIdentity {
    std::optional<std::string> serialNumber() const override { return "DEV-1"; }
  };
  plat::setDeviceIdentity(std::make_shared<Fixed>());
  UserData u;
  plat::setDeviceIdentity(nullptr);
  EXPECT_EQ(u.configPath(), home.path() + "/.quorvacfg");
  EXPECT_FALSE(plat::fileExists(u.configPath()));  // not made by the constructor
  EXPECT_EQ(u.userName(), "");
  EXPECT_EQ(u.userToken(), "");
  EXPECT_EQ(u.expiresTime(), 18000);
  EXPECT_EQ(u.userID(), 0);
  EXPECT_FALSE(u.userEmail());
  EXPECT_TRUE(u.menuArray().empty());
  EXPECT_EQ(u.computerid(), "DEV-1");
  EXPECT_EQ(u.getdevice(), "DEV-1");
}

TEST(UserData, ConfigurationFolderLayout) {
  TempHome home;
  UserData u;
  u.setUserID(42);
  u.setMountID(7);
  const std::string c = home.path() + "/.quorvacfg";
  EXPECT_EQ(u.getsetting(), c + "/settings.db");
  EXPECT_EQ(u.getmountpath(), c + "/42");
  EXPECT_EQ(u.getmsgpath(), c + "/42/msg.dat");
  EXPECT_EQ(u.getappupdatepath(), c + "/quorvaupdate.dmg");
  EXPECT_FALSE(plat::fileExists(c));  // none of these makes a folder

  EXPECT_EQ(u.getcache(), c + "/42/cache");
  EXPECT_TRUE(plat::isDirectory(c + "/42"));
  EXPECT_FALSE(plat::fileExists(c + "/42/cache"));
  EXPECT_EQ(u.getmountdb(), c + "/42/qvmountex.db");
  EXPECT_EQ(u.getoldmountdb(), c + "/42/mount.db");
  EXPECT_EQ(u.gettranscache(), c + "/42/7/cache");
  EXPECT_TRUE(plat::isDirectory(c + "/42/7"));
  EXPECT_FALSE(plat::fileExists(c + "/42/7/cache"));
  EXPECT_EQ(u.getsyncdb(), c + "/42/7/qvsyncdbex.db");
  EXPECT_EQ(u.getoldsyncdb(), c + "/42/7/qvsyncdb.db");

  EXPECT_EQ(UserData::getsyncpath("/Volumes/Data"), "/Volumes/Data/我的Quorva/");
  EXPECT_EQ(UserData::getnormalpath(), home.path() + "/我的Quorva/");
  EXPECT_EQ(UserData::getmountname(), "我的Quorva");

  UserData fresh;  // ids not set yet: the folder "0"
  EXPECT_EQ(fresh.getsyncdb(), c + "/0/0/qvsyncdbex.db");
}

TEST(UserData, StorageLine) {
  TempHome home;
  UserData u;
  struct Case {
    int64_t org, used, orgUsed, total;
    const char* text;
  } cases[] = {
      {0, 1048576, 0, 10 * 1048576, "9.00M可用, 总10.00M"},
      {0, 2000, 0, 1000, "0.00M可用, 总0.00M"},  // more used than there is
      {0, 0, 0, 1073741824, "1.00G可用, 总1.00G"},
      {0, 1, 0, 1073741824, "1024.00M可用, 总1.00G"},
      {9, 1073741824, 5 * 1048576, 0, "个人已用1.00G,团队已用5.00M"},
  };
  for (const auto& c : cases) {
    u.setOrgID(c.org);
    u.setUsersize(c.used);
    u.setOrgsize(c.orgUsed);
    u.setMountsize(c.total);
    EXPECT_EQ(u.getsize(), c.text);
  }
}

TEST(UserData, DeviceDescription) {
  struct Case {
    const char* name;
    const char* type;
  } cases[] = {{"Office \u201CiMac\u201D", "iMac"},
               {"plain-host", "plain-host"},
               {"a\u201Cb\u201Cc\u201D", "c"},
               {"trailing\u201C", ""},
               {"x\u201C\u7535\u8111\u201D", "\u7535\u8111"}};
  for (const auto& c : cases) EXPECT_EQ(UserData::computertypeOf(c.name), c.type) << c.name;

  TempHome home;
  UserData u;
  auto info = JDDeserializing::objectFromJSONString(u.getinfo());
  ASSERT_TRUE(info && info->isDictionary()) << u.getinfo();
  EXPECT_EQ((*info)["CLIENT_ID"].string(), "3e7a19c05d4b82f6a0c1e9d47b2f5a68");
  EXPECT_EQ((*info)["DISPLAY"].string(), UserData::getcomputerusername());
  EXPECT_EQ((*info)["BRAND"].string(), UserData::getcomputertype());
  EXPECT_EQ((*info)["VERSION"].string().rfind("Linux ", 0), 0u);

  // Names that would break the JSON text if put in as they are.
  struct Names {
    const char* brand;
    const char* version;
    const char* display;
  } names[] = {{"Bob's \"Mac\"", "Linux 6.1.0", "bob"},
               {"back\\slash", "v\"", "tab\there\nline"},
               {"\u7535\u8111", "", "\x01" "ctl"}};
  for (const auto& n : names) {
    auto parsed = JDDeserializing::objectFromJSONString(UserData::infoOf(n.brand, n.version, n.display));
    ASSERT_TRUE(parsed && parsed->isDictionary()) << UserData::infoOf(n.brand, n.version, n.display);
    EXPECT_EQ((*parsed)["BRAND"].string(), n.brand);
    EXPECT_EQ((*parsed)["VERSION"].string(), n.version);
    EXPECT_EQ((*parsed)["DISPLAY"].string(), n.display);
    EXPECT_EQ((*parsed)["CLIENT_ID"].string(), UserData::kClientId);
  }
}

TEST(UserData, TokensAreReadWhole) {
  TempHome home;
  UserData u;
  const std::string a(4000, 'a'), b(4000, 'b'), c(4000, 'c'), d(4000, 'd');
  u.setTokens(a, b, 1);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      if (i % 2) {
        u.setTokens(a, b, 1);
      } else {
        u.setTokens(c, d, 2);
      }
    }
  });
  for (int i = 0; i < 20000; ++i) {
    std::string t = u.userToken();
    ASSERT_TRUE(t == a || t == c);
    std::string r = u.refreshToken();
    ASSERT_TRUE(r == b || r == d);
  }
  stop = true;
  writer.join();
}

class MoveOldConfig : public ::testing::Test {
protected:
  TempHome home;
  std::string old() const { return home.path() + "/quorvacfg"; }
  std::string now() const { return home.path() + "/.quorvacfg"; }
  void put(const std::string& path, const std::string& content) {
    ASSERT_TRUE(plat::makeDirectories(plat::pathDirname(path)));
    ASSERT_TRUE(plat::atomicWrite(path, content, 0644));
  }
};

TEST_F(MoveOldConfig, CopiesTheDatabasesAndRemovesTheOldFolder) {
  put(old() + "/settings.db", "S");
  put(old() + "/5/mount.db", "M");
  put(old() + "/5/9/qvsyncdb.db", "Y");
  put(old() + "/5/9/x.db.bak", "B");
  put(old() + "/5/msg.dat", "not a database");
  UserData u;
  EXPECT_EQ(plat::readFile(now() + "/settings.db"), "S");
  EXPECT_EQ(plat::readFile(now() + "/5/mount.db"), "M");
  EXPECT_EQ(plat::readFile(now() + "/5/9/qvsyncdb.db"), "Y");
  EXPECT_EQ(plat::readFile(now() + "/5/9/x.db.bak"), "B");
  EXPECT_FALSE(plat::fileExists(now() + "/5/msg.dat"));
  for (const char* db : {"/settings.db", "/5/mount.db", "/5/9/qvsyncdb.db"}) {  // they hold the password
    EXPECT_EQ(plat::statFollow(now() + db)->mode & 0777, 0600u) << db;
  }
  EXPECT_FALSE(plat::fileExists(old()));
}

TEST_F(MoveOldConfig, EveryCopyIsAPrivateFile) {
  // Databases reached through links, and a folder named like one: what comes
  // across is always a private file with the content, never a link into the
  // folder that goes or to a file left readable.
  std::string outside = home.path() + "/elsewhere.db";
  put(outside, "E");
  put(old() + "/settings.db", "S");
  put(old() + "/5/real-mount", "M");
  put(old() + "/5/9/old.db/inside", "I");
  ASSERT_EQ(::chmod((old() + "/5/9/old.db").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((old() + "/5/real-mount").c_str(), (old() + "/5/mount.db").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (old() + "/5/9/qvsyncdb.db").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/x", (old() + "/5/gone.db").c_str()), 0);
  UserData u;
  struct Case {
    const char* path;
    const char* content;
  } cases[] = {{"/settings.db", "S"}, {"/5/mount.db", "M"}, {"/5/9/qvsyncdb.db", "E"}, {"/5/9/old.db/inside", "I"}};
  for (const Case& c : cases) {
    auto st = plat::statNoFollow(now() + c.path);
    ASSERT_TRUE(st) << c.path;
    EXPECT_TRUE(st->isRegular) << c.path;
    EXPECT_EQ(st->mode & 0777, 0600u) << c.path;
    EXPECT_EQ(plat::readFile(now() + c.path), c.content) << c.path;
  }
  EXPECT_FALSE(plat::statNoFollow(now() + "/5/gone.db"));
  EXPECT_EQ(plat::statFollow(outside)->mode & 0777, 0644u);  // not ours: left as it was
  EXPECT_FALSE(plat::fileExists(old()));
}

TEST_F(MoveOldConfig, ExistingSettingsMeanNothingToCopy) {
  put(now() + "/settings.db", "new");
  put(old() + "/settings.db", "old");
  put(old() + "/5/mount.db", "M");
  UserData u;
  EXPECT_EQ(plat::readFile(now() + "/settings.db"), "new");
  EXPECT_FALSE(plat::fileExists(now() + "/5"));
  EXPECT_FALSE(plat::fileExists(old()));
}

TEST_F(MoveOldConfig, AFailedCopyKeepsTheOldFolder) {
  put(old() + "/settings.db", "S");
  put(old() + "/5/mount.db", "M");
  put(now() + "/5", "a file where the user folder belongs");
  {
    UserData u;
    EXPECT_FALSE(plat::fileExists(now() + "/settings.db"));
    EXPECT_EQ(plat::readFile(old() + "/5/mount.db"), "M");
  }
  // Once the way is clear, the next launch completes the move.
  ASSERT_TRUE(plat::removeTree(now() + "/5"));
  UserData again;
  EXPECT_EQ(plat::readFile(now() + "/settings.db"), "S");
  EXPECT_EQ(plat::readFile(now() + "/5/mount.db"), "M");
  EXPECT_FALSE(plat::fileExists(old()));
}

TEST_F(MoveOldConfig, WithoutOldSettingsTheOldFolderStillGoes) {
  put(old() + "/5/mount.db", "M");
  UserData u;
  EXPECT_FALSE(plat::fileExists(now()));
  EXPECT_FALSE(plat::fileExists(old()));
}

}  // namespace
