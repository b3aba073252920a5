#include "platform/system/host_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

TEST(HostInfo, ParsesKernelReleases) {
  struct Case {
    const char* release;
    int major, minor, patch;
  } cases[] = {{"6.1.0-18-amd64", 6, 1, 0}, {"5.15.133.1-microsoft", 5, 15, 133}, {"4.19", 4, 19, 0},
               {"6", 6, 0, 0},             {"", 0, 0, 0},                       {"x6.1", 0, 0, 0}};
  for (const auto& c : cases) {
    auto v = plat::parseSystemVersion(c.release);
    EXPECT_EQ(v.major, c.major) << c.release;
    EXPECT_EQ(v.minor, c.minor) << c.release;
    EXPECT_EQ(v.patch, c.patch) << c.release;
  }
  EXPECT_GT(plat::systemVersion().major, 0);
}

TEST(HostInfo, ComputerNamePrefersThePrettyName) {
  plat::testing::TempHome home;
  std::string info = home.path() + "/machine-info";
  ASSERT_TRUE(plat::atomicWrite(info, "ICON_NAME=computer\nPRETTY_HOSTNAME=\"Office \\\"iMac\\\"\"\n"));
  EXPECT_EQ(plat::computerName(info), "Office \"iMac\"");
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(plat::computerName(home.path() + "/missing"), host);
  EXPECT_FALSE(plat::userName().empty());
}

}  // namespace
