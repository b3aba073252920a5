#include "platform/system/reachability.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

const char* kHeader = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(Reachability, Ipv4RouteTables) {
  struct Case {
    std::string body;
    std::optional<bool> reachable;
  } cases[] = {
      {"eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", true},
      {"eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", false},       // no default route
      {"lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", false},         // loopback only
      {"eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", false},       // not up
      {"eth0\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n", false},       // reject route
      {"", false},
      {"eth0\tzz\t0\t1\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::hasDefaultRoute(kHeader + c.body, false), c.reachable) << c.body;
  EXPECT_EQ(plat::hasDefaultRoute("", false), std::nullopt);
  EXPECT_EQ(plat::hasDefaultRoute("garbage\n", false), std::nullopt);
}

TEST(Reachability, Ipv6RouteTables) {
  const std::string zero(32, '0');
  std::string def = zero + " 00 " + zero + " 00 fd000000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n";
  std::string local = "fe800000000000000000000000000000 40 " + zero + " 00 " + zero +
                      " 00000100 00000002 00000000 00000001     eth0\n";
  std::string lo = zero + " 00 " + zero + " 00 " + zero + " 00000400 00000002 00000000 00200201 lo\n";
  EXPECT_EQ(plat::hasDefaultRoute(local + def, true), true);
  EXPECT_EQ(plat::hasDefaultRoute(local, true), false);
  EXPECT_EQ(plat::hasDefaultRoute(lo, true), false);
  EXPECT_EQ(plat::hasDefaultRoute("x y\n", true), std::nullopt);
}

TEST(Reachability, ReadsBothTablesAndFailsClosed) {
  plat::testing::TempHome home;
  std::string v4 = home.path() + "/route", v6 = home.path() + "/ipv6_route";
  EXPECT_FALSE(plat::RouteTableReachability(v4, v6).isReachable());  // nothing to read
  ASSERT_TRUE(plat::atomicWrite(v4, std::string(kHeader) + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"));
  EXPECT_FALSE(plat::RouteTableReachability(v4, v6).isReachable());
  const std::string zero(32, '0');
  ASSERT_TRUE(plat::atomicWrite(v6, zero + " 00 " + zero + " 00 " + zero + " 00000400 00000002 00000000 00000003 wlan0\n"));
  EXPECT_TRUE(plat::RouteTableReachability(v4, v6).isReachable());
}

}  // namespace
