#include <gtest/gtest.h>

#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/system/autostart.h"
#include "platform/system/bookmarks.h"
#include "platform/system/system_test_util.h"

namespace {

using plat::testing::TempHome;

TEST(UtilSystem, LoginItemOfThisProgram) {
  TempHome home;
  std::string self = Util::applicationPath();
  ASSERT_FALSE(self.empty());
  EXPECT_TRUE(plat::fileExists(self));
  EXPECT_FALSE(Util::findAppAsLoginItem());
  Util::addAppAsLoginItem();
  Util::addAppAsLoginItem();  // twice: two items
  EXPECT_TRUE(Util::findAppAsLoginItem());
  EXPECT_EQ(plat::AutostartEntries::entriesFor(self).size(), 2u);
  Util::deleteAppFromLoginItem();
  EXPECT_TRUE(Util::findAppAsLoginItem());
  Util::deleteAppFromLoginItem();
  EXPECT_FALSE(Util::findAppAsLoginItem());
  Util::deleteAppFromLoginItem();  // nothing left: nothing happens
}

TEST(UtilSystem, SyncFolderAmongTheFavourites) {
  TempHome home;
  std::string folder = home.path() + "/我的Quorva";
  Util::deletefolderfavorite(folder);  // not there: nothing changes
  EXPECT_FALSE(plat::fileExists(plat::GtkBookmarks::file()));
  Util::addfoldertofavorite(home.path() + "/Other");
  Util::addfoldertofavorite(folder);
  EXPECT_EQ(plat::sidebarFavorites()->folders(), (std::vector<std::string>{folder, home.path() + "/Other"}));
  Util::deletefolderfavorite(folder + "/");
  EXPECT_EQ(plat::sidebarFavorites()->folders(), std::vector<std::string>{home.path() + "/Other"});
}

}  // namespace
