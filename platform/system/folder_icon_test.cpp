#include "platform/system/folder_icon.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "platform/foundation/file_util.h"
#include "tests/support/tray_host.h"

namespace {

// The metadata service is reached over the session bus that GIO met first,
// so the program keeps one bus of its own, with its own metadata store.
qvtest::PrivateSessionBus& bus() {
  static const std::string data = [] {
    std::string d = plat::makeTemporaryDirectory("qv-icon-data");
    ::setenv("XDG_DATA_HOME", d.c_str(), 1);
    return d;
  }();
  static qvtest::PrivateSessionBus b;
  return b;
}

class FolderIconTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(bus().started()) << bus().failure();
    dir_ = plat::makeTemporaryDirectory("qv-icon");
    plat::makeDirectories(dir_ + "/我的 Quorva");
    plat::atomicWrite(dir_ + "/folder.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
  }
  void TearDown() override { plat::removeTree(dir_); }
  std::string dir_;
};

TEST_F(FolderIconTest, TheFolderCarriesTheIconFileAsItsCustomIcon) {
  const std::string folder = dir_ + "/我的 Quorva";
  if (!plat::setFolderCustomIcon(folder + "/", dir_ + "/folder.svg")) {
    GTEST_SKIP() << "no metadata service (gvfs) on the test's session bus";
  }
  // Read back by a new query; the trailing "/" named the same folder.
  const auto icon = plat::folderCustomIcon(folder);
  ASSERT_TRUE(icon.has_value());
  EXPECT_EQ(*icon, "file://" + dir_ + "/folder.svg");  // the temporary folder's name needs no escapes
  // Set again: one value, the last.
  plat::atomicWrite(dir_ + "/other.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
  ASSERT_TRUE(plat::setFolderCustomIcon(folder, dir_ + "/other.svg"));
  EXPECT_EQ(plat::folderCustomIcon(folder).value_or(""), "file://" + dir_ + "/other.svg");
}

TEST_F(FolderIconTest, AMissingFolderGetsNothing) {
  EXPECT_FALSE(plat::setFolderCustomIcon(dir_ + "/absent", dir_ + "/folder.svg"));
  EXPECT_FALSE(plat::setFolderCustomIcon("", dir_ + "/folder.svg"));
  EXPECT_FALSE(plat::folderCustomIcon(dir_ + "/absent").has_value());
}

}  // namespace
