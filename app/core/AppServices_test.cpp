#include "app/core/AppServices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/error.h"
#include "platform/system/system_test_util.h"

namespace {

TEST(AppServices, OneObjectReachedFromEveryThread) {
  AppServices* fromThread = nullptr;
  std::thread t([&] { fromThread = &Util::getAppDelegate(); });
  t.join();
  EXPECT_EQ(fromThread, &Util::getAppDelegate());
  EXPECT_EQ(&AppServices::shared(), &Util::getAppDelegate());
}

// In a program without the shell the plain object stays the one object: a
// second one can't take its place once it has been handed out.
TEST(AppServices, TheObjectHandedOutIsNeverReplaced) {
  AppServices& first = Util::getAppDelegate();
  AppServices other;
  EXPECT_THROW(AppServices::install(other), plat::Exception);
  AppServices::install(first);  // the same object again is no change
  EXPECT_EQ(&Util::getAppDelegate(), &first);
}

TEST(AppServices, RemoveFlagIsTakenOnce) {
  AppServices app;
  EXPECT_FALSE(app.takeBRemove());
  app.setBRemove(true);
  std::atomic<int> taken{0};
  std::vector<std::thread> polls;
  for (int i = 0; i < 8; ++i) polls.emplace_back([&] { taken += app.takeBRemove() ? 1 : 0; });
  for (auto& p : polls) p.join();
  EXPECT_EQ(taken, 1);
  EXPECT_FALSE(app.bRemove());
}

TEST(AppServices, LogoutClearsTheSignedInFlagsOnly) {
  plat::testing::TempHome home;
  AppServices app;
  auto user = std::make_shared<UserData>();
  user->setUserName("user@example.com");
  app.setUserdata(user);
  app.setBLogin(true);
  app.setBAuto(true);
  app.setBLink(true);
  app.setSynccount(12);
  app.onLogout();
  EXPECT_FALSE(app.bLogin());
  EXPECT_FALSE(app.bAuto());
  EXPECT_TRUE(app.bLink());
  EXPECT_EQ(app.userdata()->userName(), "user@example.com");
}

TEST(AppServices, TextsAreWhole) {
  AppServices app;
  EXPECT_FALSE(app.servertime());
  app.setServertime("Mon, 01 Jan 2024 10:00:00 GMT");
  EXPECT_EQ(app.servertime(), "Mon, 01 Jan 2024 10:00:00 GMT");
  app.setTempsyncpath("/home/u/new/");
  EXPECT_EQ(app.tempsyncpath(), "/home/u/new/");
  app.setAppversion("2.1.0");
  EXPECT_EQ(app.appversion(), "2.1.0");
}

}  // namespace
