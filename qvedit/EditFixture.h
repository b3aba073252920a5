// Tests only: the edit helper against a devcloud of its own, under a
// hand-driven clock. A test makes a user with files, hands the helper a URL
// and drives the one-second ticks itself; openings go to a recording
// launcher and notices to a recording notifier.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <fstream>
#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>

#include "Framework/Staticclass/NSDataExpand.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/url_connection.h"
#include "platform/system/launcher.h"
#include "qvedit/AppDelegate.h"
#include "qvedit/HTTPEngine.h"
#include "tests/support/DevCloudProcess.h"

namespace edittest {

class RecordingLauncher : public plat::Launcher {
public:
  bool openURL(const std::string& url, plat::Error* = nullptr) override {
    std::lock_guard<std::mutex> l(m_);
    opened_.push_back(url);
    return true;
  }
  bool launch(const std::string&, const std::vector<std::string>&, plat::Error* = nullptr) override { return false; }
  std::vector<std::string> opened() const {
    std::lock_guard<std::mutex> l(m_);
    return opened_;
  }

private:
  mutable std::mutex m_;
  std::vector<std::string> opened_;
};

// Time that moves only when a test ticks. Unlike plat::ManualClock it does
// not jump while a thread waits: the HTTP library's network thread waits all
// the time, and its time-outs would fire at once.
class TickClock : public plat::Clock {
public:
  plat::Date now() const override {
    std::lock_guard<std::mutex> l(m_);
    return plat::Date{1704103200.0 + elapsed_};
  }
  double monotonic() const override {
    std::lock_guard<std::mutex> l(m_);
    return 1000.0 + elapsed_;
  }
  void sleepFor(double seconds) override { advance(seconds); }
  // Waits stay short in real time, so a waiter looks at this clock again soon.
  double realSecondsFor(double seconds) const override { return std::min(seconds, 0.005); }
  void advance(double seconds) {
    std::lock_guard<std::mutex> l(m_);
    elapsed_ += seconds;
  }

private:
  mutable std::mutex m_;
  double elapsed_ = 0;
};

struct User {
  std::string name, refresh;
  int64_t mount = 0;
};

inline std::string readAll(const std::string& path) { return plat::readFile(path).value_or("<missing>"); }

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

inline std::string editURL(int64_t mount, const std::string& path, const std::string& token) {
  return "qvedit://" + NSStringExpand::base64Encoded(plat::format("%ld|%@|%@", static_cast<long>(mount), path, token))
                           .value_or("");
}

class EditTest : public ::testing::Test {
protected:
  static std::unique_ptr<DevCloudProcess>& cloudSlot() {
    static std::unique_ptr<DevCloudProcess> c;
    return c;
  }
  // One clock for the whole program: the HTTP library's network thread,
  // started once and never stopped, keeps reading the clock it found.
  static std::shared_ptr<TickClock>& clockSlot() {
    static std::shared_ptr<TickClock> c = std::make_shared<TickClock>();
    return c;
  }
  static void SetUpTestSuite() {
    plat::MainThread::setCurrentThreadAsMain();
    plat::setClock(clockSlot());
    if (!cloudSlot()) cloudSlot() = std::make_unique<DevCloudProcess>(false);
  }
  static void TearDownTestSuite() { cloudSlot().reset(); }

  void SetUp() override {
    cloud = cloudSlot().get();
    ASSERT_TRUE(cloud && cloud->started()) << "devcloud did not start";
    HTTPEngine::setServer(cloud->url());
    // Ticks move the clock far faster than real time: exchanges must not
    // time out on it while they wait for a real socket.
    HTTPEngine::setTimeoutInterval(1e6);
    clock = clockSlot();
    launcher = std::make_shared<RecordingLauncher>();
    plat::setLauncher(launcher);
    notices = std::make_shared<RecordingNotifier>();
    home = plat::makeTemporaryDirectory("qvedit-e2e");
    app = std::make_unique<AppDelegate>(notices, home + "/cache/qvedit");
    // A run loop with no source at all runs nothing, not even the library's
    // reports: the program's loop always has the timer and the watch.
    idleFd_ = ::eventfd(0, EFD_CLOEXEC);
    idleSource_ = plat::RunLoop::main()->addFd(idleFd_, plat::RunLoop::kReadable, [](uint32_t) {});
  }

  void TearDown() override {
    if (cloud) cloud->hook("DELETE", "faults");
    app.reset();
    plat::RunLoop::main()->remove(idleSource_);
    ::close(idleFd_);
    // Reports of the library that are still queued reach no one.
    plat::RunLoop::main()->dispatchPending();
    plat::setLauncher(nullptr);
    HTTPEngine::resetServer();
    HTTPEngine::setTimeoutInterval(60);
    plat::removeTree(home);
  }

  // A devcloud user holding `files` (cloud path, text), with a refresh token
  // of the edit helper's client.
  User newUser(const std::vector<std::pair<std::string, std::string>>& files) {
    static int counter = 0;
    User u;
    u.name = plat::format("edit%d_%d", static_cast<int>(::getpid()), ++counter);
    auto made = cloud->hook("POST", "user", plat::Value(plat::Dictionary{{"username", plat::Value(u.name)},
                                                                          {"password", plat::Value("pw")}}));
    EXPECT_TRUE(made);
    if (made) u.mount = (*made)["mount_id"].longLongValue();
    plat::Array list;
    for (const auto& [path, text] : files) {
      list.push_back(plat::Value(plat::Dictionary{{"path", plat::Value(path)}, {"text", plat::Value(text)}}));
    }
    if (!list.empty()) {
      EXPECT_TRUE(cloud->hook("POST", "files", plat::Value(plat::Dictionary{{"username", plat::Value(u.name)},
                                                                            {"files", plat::Value(list)}})));
    }
    plat::URLRequest r;
    r.url = cloud->url() + "/oauth/token";
    r.method = "POST";
    std::string form = plat::format("grant_type=password&username=%@&password=pw&device=&client_id=%@&client_secret=%@",
                                    u.name, HTTPEngine::kClientId, HTTPEngine::kClientSecret);
    r.body = plat::Data(form.begin(), form.end());
    std::optional<plat::HTTPURLResponse> response;
    auto body = plat::URLConnection::sendSynchronousRequest(r, &response, nullptr);
    TokenData t;
    EXPECT_TRUE(response && response->statusCode() == 200 && t.initWithJsonData(body));
    u.refresh = t.refreshToken;
    return u;
  }

  // The cloud's content hash of a path ("" when there is none).
  std::string cloudHash(const User& u, const std::string& path) {
    auto tree = cloud->hook("GET", "tree?username=" + u.name);
    if (!tree) return "";
    for (const auto& n : (*tree)["nodes"].array()) {
      if (n["path"].string() == path) return n["filehash"].string();
    }
    return "";
  }

  // The requests devcloud received after `since` whose target begins with `prefix`.
  int countRequests(int64_t since, const std::string& method, const std::string& prefix) {
    int n = 0;
    for (const auto& e : cloud->requests(since)) {
      if (e["method"].string() == method && e["target"].string().rfind(prefix, 0) == 0) ++n;
    }
    return n;
  }

  void fault(plat::Dictionary spec) { ASSERT_TRUE(cloud->hook("POST", "fault", plat::Value(std::move(spec)))); }

  // The next `count` add-file calls on `target` answer 500.
  void failAddFile(const std::string& target, int count) {
    fault({{"kind", plat::Value("error")}, {"method", plat::Value("PUT")}, {"path", plat::Value(target)},
           {"status", plat::Value(500)}, {"count", plat::Value(count)}});
  }

  // Runs what the main run loop has queued, waiting a moment (real time) for work.
  static void pump(int ms = 10) {
    auto loop = plat::RunLoop::main();
    pollfd p{loop->epollFd(), POLLIN, 0};
    ::poll(&p, 1, ms);
    loop->dispatchPending();
  }

  // One second of the job timer.
  void tick() {
    clock->advance(AppDelegate::kTickSeconds);
    app->handleTimer();
  }

  // Ticks (and pumps) until `done`, at most `ticks` times.
  bool tickUntil(const std::function<bool()>& done, int ticks = 1000) {
    for (int i = 0; i < ticks; ++i) {
      if (done()) return true;
      pump();
      tick();
    }
    return done();
  }

  std::shared_ptr<TransData> onlyJob() {
    EXPECT_EQ(app->mArray().size(), 1u);
    return app->mArray().empty() ? nullptr : app->mArray().front();
  }

  // Hands the URL over and ticks until the copy is opened and watched.
  std::shared_ptr<TransData> openJob(const User& u, const std::string& path) {
    size_t before = launcher->opened().size();
    EXPECT_TRUE(app->handleURLEvent(editURL(u.mount, path, u.refresh)));
    std::shared_ptr<TransData> job;
    for (const auto& j : app->mArray()) {
      if (j->webpath == path && j->mountId == u.mount) job = j;
    }
    EXPECT_TRUE(job);
    if (!job) return nullptr;
    EXPECT_TRUE(tickUntil([&] { return launcher->opened().size() > before && job->type == 4; }))
        << "state " << job->type;
    return job;
  }

  // Ticks until the job's upload has ended and been taken in (state 8).
  bool uploaded(const std::shared_ptr<TransData>& job, const std::string& name) {
    size_t before = count(notices->descriptions(), "上传完成 " + name + " 文件");
    return tickUntil(
        [&] { return count(notices->descriptions(), "上传完成 " + name + " 文件") > before && job->type == 8; });
  }

  static size_t count(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<size_t>(std::count(v.begin(), v.end(), s));
  }

  int idleFd_ = -1;
  plat::RunLoop::SourceId idleSource_ = 0;
  DevCloudProcess* cloud = nullptr;
  std::shared_ptr<TickClock> clock;
  std::shared_ptr<RecordingLauncher> launcher;
  std::shared_ptr<RecordingNotifier> notices;
  std::string home;
  std::unique_ptr<AppDelegate> app;
};

}  // namespace edittest
