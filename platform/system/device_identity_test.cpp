#include "platform/system/device_identity.h"

#include <gtest/gtest.h>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

TEST(DeviceIdentity, DerivedIdIsStableAndHidesTheMachineId) {
  const std::string machine = "0123456789abcdef0123456789abcdef";
  auto a = plat::applicationDeviceId(machine);
  auto b = plat::applicationDeviceId(machine + "\n");
  ASSERT_TRUE(a);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->size(), 32u);
  EXPECT_EQ(a->find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_NE(*a, "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_NE(*a, *plat::applicationDeviceId("fedcba9876543210fedcba9876543210"));
}

TEST(DeviceIdentity, RejectsTextsThatAreNoMachineId) {
  for (const char* bad : {"", "uninitialized\n", "0123456789abcdef0123456789abcde", "g123456789abcdef0123456789abcdef",
                          "0123456789abcdef0123456789abcdef00"}) {
    EXPECT_FALSE(plat::applicationDeviceId(bad)) << bad;
  }
}

TEST(DeviceIdentity, ReadsTheFirstFileThatHoldsAnId) {
  plat::testing::TempHome home;
  std::string empty = home.path() + "/machine-id", good = home.path() + "/dbus-machine-id";
  ASSERT_TRUE(plat::atomicWrite(empty, "uninitialized\n"));
  ASSERT_TRUE(plat::atomicWrite(good, "00112233445566778899aabbccddeeff\n"));
  plat::MachineIdIdentity id({home.path() + "/missing", empty, good});
  EXPECT_EQ(id.serialNumber(), plat::applicationDeviceId("00112233445566778899aabbccddeeff"));

  plat::MachineIdIdentity none({home.path() + "/missing", empty});
  EXPECT_FALSE(none.serialNumber());
}

TEST(DeviceIdentity, ProcessWideIdentityCanBeReplaced) {
  struct Fixed : plat::DeviceIdentity {
    std::optional<std::string> serialNumber() const override { return "C02TEST"; }
  };
  plat::setDeviceIdentity(std::make_shared<Fixed>());
  EXPECT_EQ(plat::deviceIdentity()->serialNumber(), "C02TEST");
  plat::setDeviceIdentity(nullptr);
  // Back to the machine id of this computer (present or not).
  EXPECT_EQ(plat::deviceIdentity()->serialNumber(), plat::MachineIdIdentity().serialNumber());
}

}  // namespace
