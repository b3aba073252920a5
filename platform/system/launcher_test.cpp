#include "platform/system/launcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

using plat::testing::TempHome;

// Waits for a detached program to leave its result; the program is not our
// child, so there is nothing to wait on but the file.
std::optional<std::string> waitForFile(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    if (auto t = plat::readFile(path); t && !t->empty() && t->back() == '\n') return t;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

std::string writeScript(const std::string& dir, const std::string& out) {
  std::string script = dir + "/opener";
  EXPECT_TRUE(plat::atomicWrite(script, "#!/bin/sh\nprintf '%s|' \"$@\" > " + out + ".part\necho >> " + out +
                                            ".part\nmv " + out + ".part " + out + "\n",
                                0755));
  return script;
}

TEST(Launcher, OpenURLHandsTheAddressToTheOpenerAsOneArgument) {
  TempHome home;
  std::string out = home.path() + "/args";
  plat::XdgLauncher l(writeScript(home.path(), out));
  ASSERT_TRUE(l.openURL("https://example.invalid/a b?x=1&y=$HOME"));
  EXPECT_EQ(waitForFile(out), "https://example.invalid/a b?x=1&y=$HOME|\n");
}

TEST(Launcher, LaunchPassesEveryArgument) {
  TempHome home;
  std::string out = home.path() + "/args";
  std::string script = writeScript(home.path(), out);
  plat::Error err;
  ASSERT_TRUE(plat::XdgLauncher().launch(script, {"-e", "tell application \"Finder\" to quit", ""}, &err))
      << err.description();
  EXPECT_EQ(waitForFile(out), "-e|tell application \"Finder\" to quit||\n");
}

TEST(Launcher, ReportsProgramsThatCannotRun) {
  TempHome home;
  std::string notExecutable = home.path() + "/plain";
  ASSERT_TRUE(plat::atomicWrite(notExecutable, "x", 0644));
  std::string badInterpreter = home.path() + "/bad";
  ASSERT_TRUE(plat::atomicWrite(badInterpreter, "#!/nonexistent/shell\n", 0755));
  for (const std::string& p : {std::string("/nonexistent/program"), std::string("qv-no-such-program-xyz"),
                               notExecutable, badInterpreter}) {
    plat::Error err;
    EXPECT_FALSE(plat::spawnDetached(p, {}, &err)) << p;
    EXPECT_EQ(err.domain(), plat::kPOSIXErrorDomain) << p;
  }
  // An address that would read as an option is refused before anything runs.
  EXPECT_FALSE(plat::XdgLauncher(notExecutable).openURL("--help"));
  EXPECT_FALSE(plat::XdgLauncher(notExecutable).openURL(""));
}

TEST(Launcher, ProcessWideLauncherCanBeReplaced) {
  struct Recorder : plat::Launcher {
    std::vector<std::string> urls;
    bool openURL(const std::string& url, plat::Error*) override {
      urls.push_back(url);
      return true;
    }
    bool launch(const std::string&, const std::vector<std::string>&, plat::Error*) override { return false; }
  };
  auto r = std::make_shared<Recorder>();
  plat::setLauncher(r);
  EXPECT_TRUE(plat::launcher()->openURL("http://x"));
  plat::setLauncher(nullptr);
  EXPECT_EQ(r->urls, std::vector<std::string>{"http://x"});
  EXPECT_NE(dynamic_cast<plat::XdgLauncher*>(plat::launcher().get()), nullptr);
}

}  // namespace
