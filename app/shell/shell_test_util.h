// Tests only: what the application-shell tests share. A clock that lets the
// periodic jobs thread take one pass at a time, a network that a test can
// pull and plug back, and a fixture with its own home folder, the headless
// toolkit and devcloud.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/AccountSecrets.h"
#include "app/shell/AppDelegate.h"
#include "app/sync/LastSyncdb.h"
#include "app/core/ServiceHosts.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/interface/APIHosts.h"
#include "app/interface/HTTPEngine.h"
#include "app/interface/QVHTTPRequest.h"
#include "app/sync/SyncManager.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/user_defaults.h"
#include "platform/net/credential_storage.h"
#include "platform/system/launcher.h"
#include "platform/system/reachability.h"
#include "platform/system/system_test_util.h"
#include "platform/ui/headless/headless_toolkit.h"
#include "tests/support/DevCloudProcess.h"

namespace shelltest {

using plat::Dictionary;
using plat::Value;

// A hand-driven clock whose sleeper waits at each idle until the test lets
// it take one more pass.
class StepClock : public plat::ManualClock {
public:
  void idle(double seconds) override {
    {
      std::unique_lock<std::mutex> l(mutex_);
      ++parks_;
      cv_.notify_all();
      cv_.wait(l, [this] { return grants_ > 0 || released_; });
      if (grants_ > 0) --grants_;
    }
    advance(seconds);
  }
  // Waits up to `seconds` until the sleeper has parked `count` times.
  bool waitParks(int64_t count, double seconds) {
    std::unique_lock<std::mutex> l(mutex_);
    return cv_.wait_for(l, std::chrono::duration<double>(seconds), [&] { return parks_ >= count; });
  }
  int64_t parks() const {
    std::lock_guard<std::mutex> l(mutex_);
    return parks_;
  }
  void grant() {
    std::lock_guard<std::mutex> l(mutex_);
    ++grants_;
    cv_.notify_all();
  }
  // Lets the sleeper run free (before its thread is stopped).
  void release() {
    std::lock_guard<std::mutex> l(mutex_);
    released_ = true;
    cv_.notify_all();
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int64_t parks_ = 0, grants_ = 0;
  bool released_ = false;
};

// The network as a test leaves it.
class SwitchedNetwork : public plat::Reachability {
public:
  bool isReachable() const override { return up.load(); }
  std::atomic<bool> up{true};
};

// The names of the threads of this process now.
inline std::vector<std::string> threadNames() {
  std::vector<std::string> out;
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    out.push_back(name);
  }
  ::closedir(d);
  return out;
}

struct Account {
  std::string username, password;
  int64_t userid = 0, mount = 0, org = 0;
};

class ShellTest : public ::testing::Test {
protected:
  static DevCloudProcess& cloud() {
    static DevCloudProcess c(false);
    return c;
  }

  static void SetUpTestSuite() { plat::MainThread::setCurrentThreadAsMain(); }

  void SetUp() override {
    ASSERT_TRUE(cloud().started()) << "devcloud did not start";
    home_ = std::make_unique<plat::testing::TempHome>();
    plat::UserDefaults::setStandardPath(home_->path() + "/.config/Quorva/defaults");
    plat::CredentialStorage::setShared(
        std::make_shared<plat::FileCredentialStorage>(home_->path() + "/.local/share/Quorva/credentials"));
    ui = plat::HeadlessToolkit::make();
    plat::Toolkit::setCurrent(ui);
    plat::setLauncher(ui->launcher());
    network = std::make_shared<SwitchedNetwork>();
    plat::setReachability(network);
    APIHosts::setAll(cloud().hostPort());
    ServiceHosts::setWebSite(cloud().hostPort());
    ServiceHosts::setUpdateService(cloud().hostPort());
    QVHTTPRequest::setTimeoutInterval(20);
    app().setBHttps(false);  // devcloud here speaks plain HTTP
    clock = std::make_shared<StepClock>();
  }

  void TearDown() override {
    AppDelegate& a = app();
    stopApp();
    a.setEngineMakers(AppDelegate::defaultEngineMakers());
    cloud().hook("DELETE", "faults");
    plat::Toolkit::setCurrent(nullptr);
    plat::setLauncher(nullptr);
    plat::setReachability(nullptr);
    plat::CredentialStorage::setShared(nullptr);
    home_.reset();
  }

  static AppDelegate& app() { return AppDelegate::shared(); }
  std::string home() const { return home_->path(); }

  // A new devcloud user (extra fields: "org" makes it a team member).
  Account newUser(Dictionary extra = {}) {
    static int counter = 0;
    Account a;
    a.username = "shell" + std::to_string(::getpid()) + "_" + std::to_string(++counter) + "@example.test";
    a.password = "pw " + std::to_string(counter);
    Dictionary spec{{"username", Value(a.username)}, {"password", Value(a.password)}};
    for (const auto& [k, v] : extra) spec.set(k, v);
    EXPECT_TRUE(cloud().hook("POST", "user", Value(spec)));
    RetToken t = HTTPEngine::login(a.username, a.password, info(), "C02SHELL");
    EXPECT_EQ(t.status, 200);
    RetUserInfo i = HTTPEngine::userinfo(t.accessToken);
    EXPECT_EQ(i.status, 200);
    a.userid = i.userid;
    a.mount = i.mountid;
    a.org = i.orgid;
    return a;
  }

  // What an earlier run leaves for an account synced into `root`: the
  // settings row and its password, and the mount database's sync path.
  void storeAccount(const Account& a, const std::string& root, int64_t changeold = 1) {
    UserData ud;
    plat::makeDirectories(ud.configPath(), 0755);
    auto settings = SettingsDb::initpath(ud.getsetting());
    AccountSecrets::store(*settings, a.username, a.password, 0, root);
    ud.setUserID(a.userid);
    auto mountdb = LastSyncdb::initpath(ud.getmountdb());
    mountdb->setsyncpath(a.userid, root);
    mountdb->setchangeold(changeold);
    plat::makeDirectories(root, 0755);
  }

  // Starts the application. The periodic jobs take their passes when the
  // test lets them (`stepped`), else once a second of real time.
  bool lanOff = true;
  void launch(bool stepped = false, AppDelegate::LaunchOptions o = {}) {
    clock = std::make_shared<StepClock>();
    if (stepped) o.timerClock = clock;
    o.https = false;
    // The service is on loopback: nothing goes to the local network, unless
    // a test that signs nobody in reads the setting itself.
    if (lanOff) o.local = false;
    app().applicationDidFinishLaunching(o);
  }

  // Ends the application as terminate() does; a stepped timer is told to
  // stop before it is let go, so it takes no pass of its own.
  void stopApp() {
    if (auto t = app().mytimer()) t->stop();
    clock->release();
    app().terminate();
  }

  // Serves the main thread until `done` holds.
  static bool until(const std::function<bool()>& done, double seconds = 60) {
    return plat::HeadlessToolkit::runUntil(done, seconds);
  }

  bool signedIn() const {
    auto s = app().sync();
    return app().bLogin() && s && s->bStart() && !app().bLogining();
  }

  // Lets the periodic jobs take `n` more passes, serving the main thread
  // (a pass may wait for it) while each runs.
  void passes(int n) {
    auto loop = plat::MainThread::runLoop();
    for (int i = 0; i < n; ++i) {
      const int64_t parked = clock->parks();
      clock->grant();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!clock->waitParks(parked + 1, 0.001)) {
        loop->runInMode(plat::kDefaultRunLoopMode, 0, false);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "pass " << i << " did not end";
      }
    }
  }
  // Until the timer's first pass has parked.
  void firstPass() { ASSERT_TRUE(until([&] { return clock->parks() >= 1; })); }

  // Requests devcloud recorded after `since` whose target begins with `prefix`
  // and whose body holds `part`.
  size_t recorded(int64_t since, const std::string& prefix, const std::string& part = "") {
    size_t n = 0;
    for (const Value& e : cloud().requests(since)) {
      if (e["target"].string().rfind(prefix, 0) != 0) continue;
      if (!part.empty() && bodyOf(e).find(part) == std::string::npos) continue;
      ++n;
    }
    return n;
  }

  static std::string bodyOf(const Value& entry);

  static std::string info() {
    return R"({"BRAND":"Quorva","VERSION":"Linux","DISPLAY":"tester","CLIENT_ID":")" +
           std::string(HTTPEngine::kClientId) + "\"}";
  }

  std::shared_ptr<plat::HeadlessToolkit> ui;
  std::shared_ptr<SwitchedNetwork> network;
  std::shared_ptr<StepClock> clock;

private:
  std::unique_ptr<plat::testing::TempHome> home_;
};

inline std::string ShellTest::bodyOf(const Value& entry) {
  auto d = NSDataExpand::base64Decoded(entry["body_b64"].string());
  return d ? std::string(d->begin(), d->end()) : std::string();
}

}  // namespace shelltest
