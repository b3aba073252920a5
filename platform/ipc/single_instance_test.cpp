#include "platform/ipc/single_instance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "platform/foundation/file_util.h"
#include "platform/system/system_test_util.h"

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { plat::MainThread::setCurrentThreadAsMain(); }
  void SetUp() override {
    dir_ = plat::makeTemporaryDirectory("qv-inst");
    ::chmod(dir_.c_str(), 0700);
    env_ = std::make_unique<plat::testing::ScopedEnv>("XDG_RUNTIME_DIR", dir_.c_str());
  }
  void TearDown() override {
    env_.reset();
    plat::removeTree(dir_);
  }
  std::string dir_;
  std::unique_ptr<plat::testing::ScopedEnv> env_;
};

TEST_F(SingleInstanceTest, ALaterLaunchGetsTheRunningInstancesAnswer) {
  EXPECT_EQ(plat::SingleInstance::send("qvtest", "open x"), std::nullopt) << "nobody runs yet";
  std::vector<std::string> lines;
  auto instance = plat::SingleInstance::listen("qvtest", [&](const std::string& line) {
    lines.push_back(line);
    return line == "open qvp://MQ==" ? std::string("ok") : std::string("refused unknown message");
  });
  ASSERT_TRUE(instance);
  EXPECT_EQ(plat::SingleInstance::socketPath("qvtest"), dir_ + "/qvtest.sock");
  plat::Error e;
  EXPECT_FALSE(plat::SingleInstance::listen("qvtest", [](const std::string&) { return std::string(); }, &e))
      << "one instance per user";

  // The later launches run beside the instance's main loop.
  std::atomic<int> done{0};
  std::optional<std::string> first, second;
  std::thread launcher([&] {
    first = plat::SingleInstance::send("qvtest", "open qvp://MQ==");
    second = plat::SingleInstance::send("qvtest", "quit please");
    done = 1;
  });
  auto loop = plat::MainThread::runLoop();
  for (int i = 0; i < 3000 && !done; ++i) loop->runInMode(plat::kDefaultRunLoopMode, 0.01, true);
  launcher.join();
  EXPECT_EQ(first, std::optional<std::string>("ok"));
  EXPECT_EQ(second, std::optional<std::string>("refused unknown message"));
  EXPECT_EQ(lines, (std::vector<std::string>{"open qvp://MQ==", "quit please"}));

  instance.reset();
  EXPECT_FALSE(plat::fileExists(dir_ + "/qvtest.sock"));
  EXPECT_EQ(plat::SingleInstance::send("qvtest", "open x"), std::nullopt);
}

}  // namespace
