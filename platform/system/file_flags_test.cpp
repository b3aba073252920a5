#include "platform/system/file_flags.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

TEST(FileFlags, ImmutableFlagReadsFalseForPlainAndMissingItems) {
  plat::testing::TempHome home;
  std::string f = home.path() + "/f";
  ASSERT_TRUE(plat::atomicWrite(f, "x"));
  EXPECT_FALSE(plat::isImmutable(f));
  EXPECT_FALSE(plat::isImmutable(home.path()));
  EXPECT_FALSE(plat::isImmutable(home.path() + "/missing"));
  // Clearing a flag that is not set needs no privilege.
  EXPECT_TRUE(plat::setImmutable(f, false) || geteuid() != 0);
  EXPECT_FALSE(plat::isImmutable(f));
  EXPECT_FALSE(plat::setImmutable(home.path() + "/missing", true));
  if (plat::setImmutable(f, true)) {  // privileged run: the flag really holds
    EXPECT_TRUE(plat::isImmutable(f));
    EXPECT_FALSE(plat::atomicWrite(home.path() + "/f", "y"));
    EXPECT_TRUE(plat::setImmutable(f, false));
    EXPECT_FALSE(plat::isImmutable(f));
  }
}

TEST(FileFlags, ExtensionHiddenMarkRoundTrips) {
  plat::testing::TempHome home;
  std::string f = home.path() + "/回收站.webloc";
  ASSERT_TRUE(plat::atomicWrite(f, "x"));
  EXPECT_FALSE(plat::isExtensionHidden(f));
  if (!plat::setExtensionHidden(f, true)) GTEST_SKIP() << "no user extended attributes on this file system";
  EXPECT_TRUE(plat::isExtensionHidden(f));
  EXPECT_TRUE(plat::setExtensionHidden(f, false));
  EXPECT_FALSE(plat::isExtensionHidden(f));
  EXPECT_TRUE(plat::setExtensionHidden(f, false));
}

}  // namespace
