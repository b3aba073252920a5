// MyTimer: the periodic jobs thread. It wakes about once a second and asks
// the application object, on a schedule of its own, for the count of items
// still to sync and the transfer speeds, a look at the network (with a token
// renewal, or an automatic login, when it comes back), the message poll, the
// account refresh and the update check. It does none of the work itself.
//
// The schedule (seconds of its clock, each comparison strictly greater):
//   sync count + speeds   now - message stamp > 1, while signed in
//   network               now - message stamp > 2
//   messages              now - message stamp > 30, while signed in; resets the stamp
//   account               now - account stamp > 300; resets it
//   update                now - update stamp > 1800; resets it
// Between two message polls the first two run on every pass.
//
// States: running (from construction) -> ended (exit: the thread is woken
// from its sleep and joined). A step that throws ends its pass early; the
// thread goes on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/foundation/clock.h"

class AppDelegate;

class MyTimer {
public:
  // How often each step ran, for the log and for tests.
  struct Counts {
    int64_t passes = 0, syncCount = 0, network = 0, renewals = 0, logins = 0, messages = 0, account = 0, update = 0;
  };

  // Starts the thread at once. Without a clock the process's clock is used.
  explicit MyTimer(AppDelegate& app, std::shared_ptr<plat::Clock> clock = nullptr);
  ~MyTimer();
  MyTimer(const MyTimer&) = delete;
  MyTimer& operator=(const MyTimer&) = delete;

  // Ends the thread and waits for it (never from the thread itself).
  void exit();
  // Tells the thread to end when it next wakes, without waiting.
  void stop();
  Counts counts() const;

  // The platform's absolute time of a clock: seconds since 1 January 2001.
  static double absoluteTime(plat::Clock& clock);

private:
  void run();
  void pass(double now);
  void networkStep();
  void pause(double seconds);

  AppDelegate& app_;
  std::shared_ptr<plat::Clock> clock_;
  double msgStamp_ = 0, accountStamp_ = 0, updateStamp_ = 0;  // the thread's own
  std::atomic<bool> bOut_{false};
  std::mutex sleepMutex_;
  std::condition_variable sleepCv_;
  mutable std::mutex countsMutex_;
  Counts counts_;
  std::thread thread_;
};
