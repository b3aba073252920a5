#include "app/shell/MyTimer.h"

#include "app/shell/AppDelegate.h"
#include "app/shell/ManageStatusController.h"
#include "app/shell/NotificationCenter.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncManager.h"
#include "app/trans/TransManager.h"
#include "platform/foundation/error.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

namespace {
constexpr double kSince1970To2001 = 978307200.0;
}

double MyTimer::absoluteTime(plat::Clock& clock) { return clock.now().secondsSince1970 - kSince1970To2001; }

MyTimer::MyTimer(AppDelegate& app, std::shared_ptr<plat::Clock> clock) : app_(app), clock_(std::move(clock)) {
  thread_ = plat::startThread("MyTimer", [this] { run(); });
}

MyTimer::~MyTimer() { exit(); }

void MyTimer::stop() {
  {
    std::lock_guard<std::mutex> l(sleepMutex_);
    bOut_ = true;
  }
  sleepCv_.notify_all();
}

void MyTimer::exit() {
  stop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

MyTimer::Counts MyTimer::counts() const {
  std::lock_guard<std::mutex> l(countsMutex_);
  return counts_;
}

void MyTimer::pause(double seconds) {
  plat::Clock& clock = clock_ ? *clock_ : plat::currentClock();
  std::unique_lock<std::mutex> l(sleepMutex_);
  sleepCv_.wait_for(l, std::chrono::duration<double>(clock.realSecondsFor(seconds)), [this] { return bOut_.load(); });
  l.unlock();
  if (!bOut_) clock.idle(seconds);
}

void MyTimer::run() {
  plat::Clock& clock = clock_ ? *clock_ : plat::currentClock();
  msgStamp_ = accountStamp_ = updateStamp_ = absoluteTime(clock);
  while (!bOut_) {
    pass(absoluteTime(clock));
    pause(1.0);
  }
}

// One pass. Each step runs at most once, so a step long overdue (the
// machine slept) runs once and its stamp moves to now.
void MyTimer::pass(double now) {
  auto count = [this](int64_t Counts::*field) {
    std::lock_guard<std::mutex> l(countsMutex_);
    ++(counts_.*field);
  };
  count(&Counts::passes);
  try {
    if (now - msgStamp_ > 1 && app_.bLogin()) {
      count(&Counts::syncCount);
      auto sync = app_.sync();
      app_.setSynccount(sync ? sync->syncdb()->getAllNeedSyncCount() : 0);
      if (auto trans = app_.trans()) trans->SpeedTimer();
    }
    if (now - msgStamp_ > 2) {
      count(&Counts::network);
      networkStep();
    }
    if (now - msgStamp_ > 30 && app_.bLogin()) {
      count(&Counts::messages);
      app_.handleTimerForMsg();
      msgStamp_ = now;
    }
    if (now - accountStamp_ > 300) {
      count(&Counts::account);
      app_.handleTimerUserInfo();
      accountStamp_ = now;
    }
    if (now - updateStamp_ > 1800) {
      count(&Counts::update);
      app_.handleTimerForUpdate();
      updateStamp_ = now;
    }
  } catch (const plat::Exception& e) {
    plat::log("MyTimer: pass ended by '%@': %@", e.name(), e.reason());
  } catch (const std::exception& e) {
    // Anything else ends the pass too: the heartbeat must not stop.
    plat::log("MyTimer: pass ended by %s", e.what());
  }
}

void MyTimer::networkStep() {
  if (auto status = app_.manageStatusController()) status->setSyncFileCount(app_.synccount());
  const bool reachable = Util::islink();
  if (!reachable) {
    // One notice per outage: only a change of the flag is told.
    if (app_.bLink()) NotificationCenter::shareCenter().setGrowlNotificationDescripation("网络已断开连接，请检查网络！", std::nullopt);
    app_.setBLink(false);
    return;
  }
  if (app_.bLink()) return;
  app_.setBLink(true);
  NotificationCenter::shareCenter().setGrowlNotificationDescripation("网络已连接！", std::nullopt);
  auto user = app_.userdata();
  if (!user) return;
  if (app_.bLogin()) {
    {
      std::lock_guard<std::mutex> l(countsMutex_);
      ++counts_.renewals;
    }
    user->regettoken();
    return;
  }
  if (!app_.bAuto()) return;
  const std::string name = user->userName();
  const std::string password = user->userPassword();
  const bool hasAt = name.find('@') != std::string::npos;
  bool withKey;
  if (!name.empty() && hasAt && !password.empty()) {
    withKey = false;
  } else if (!name.empty() && !hasAt && password.empty()) {
    withKey = true;
  } else {
    return;
  }
  {
    std::lock_guard<std::mutex> l(countsMutex_);
    ++counts_.logins;
  }
  app_.startLogin(withKey);
}
