#include "platform/foundation/clock.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <vector>

namespace plat {

namespace {
double monoNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
Date wallNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return Date{static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9};
}
void realSleep(double seconds) {
  if (!(seconds > 0)) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(std::floor(seconds));
  ts.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

std::mutex gClockMutex;
std::shared_ptr<Clock> gClock;  // guarded by gClockMutex
std::atomic<Clock*> gClockRaw{nullptr};
SystemClock gSystemClock;
}  // namespace

Date SystemClock::now() const { return wallNow(); }
double SystemClock::monotonic() const { return monoNow(); }
void SystemClock::sleepFor(double seconds) { realSleep(seconds); }

ScaledClock::ScaledClock(double factor) : factor_(factor > 0 ? factor : 1), startMono_(monoNow()), startWall_(wallNow()) {}
Date ScaledClock::now() const {
  return Date{startWall_.secondsSince1970 + (monoNow() - startMono_) * factor_};
}
double ScaledClock::monotonic() const { return startMono_ + (monoNow() - startMono_) * factor_; }
void ScaledClock::sleepFor(double seconds) { realSleep(seconds / factor_); }

ManualClock::ManualClock(Date start) : start_(start) {}
Date ManualClock::now() const {
  std::lock_guard<std::mutex> l(mutex_);
  return Date{start_.secondsSince1970 + elapsed_};
}
double ManualClock::monotonic() const {
  std::lock_guard<std::mutex> l(mutex_);
  return 1000.0 + elapsed_;
}
void ManualClock::advance(double seconds) {
  if (!(seconds > 0)) return;
  std::lock_guard<std::mutex> l(mutex_);
  elapsed_ += seconds;
}

Clock& currentClock() {
  Clock* c = gClockRaw.load(std::memory_order_acquire);
  return c ? *c : gSystemClock;
}

void setClock(std::shared_ptr<Clock> c) {
  std::lock_guard<std::mutex> l(gClockMutex);
  gClockRaw.store(c.get(), std::memory_order_release);
  // Replaced clocks are kept for the life of the process: a thread that has
  // just read the raw pointer must never see it vanish. Only tests replace it.
  static std::vector<std::shared_ptr<Clock>> retired;
  if (gClock) retired.push_back(std::move(gClock));
  gClock = std::move(c);
}

}  // namespace plat
