// Time for the whole system. The system's timetables (1 s ticks, 30 s
// compares, 1800 s refreshes) read this clock, so a test can replace it with
// a faster or a hand-driven one and run minutes of timetable in milliseconds.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/foundation/value.h"

namespace plat {

class Clock {
public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;           // wall clock
  virtual double monotonic() const = 0;   // seconds, never goes back
  virtual void sleepFor(double seconds) = 0;
  // Real seconds to block in a wait (epoll, condition) that should last
  // `seconds` of this clock.
  virtual double realSecondsFor(double seconds) const = 0;
  // Called by a waiter that found nothing to do for `seconds` of this clock;
  // a hand-driven clock moves forward, the others ignore it.
  virtual void idle(double /*seconds*/) {}
};

class SystemClock : public Clock {
public:
  Date now() const override;
  double monotonic() const override;
  void sleepFor(double seconds) override;
  double realSecondsFor(double seconds) const override { return seconds; }
};

// Real time run `factor` times faster: sleeping 1 s lasts 1/factor s.
class ScaledClock : public Clock {
public:
  explicit ScaledClock(double factor);
  Date now() const override;
  double monotonic() const override;
  void sleepFor(double seconds) override;
  double realSecondsFor(double seconds) const override { return seconds / factor_; }

private:
  double factor_;
  double startMono_;
  Date startWall_;
};

// Time that moves only when told to (or when someone sleeps or idles).
class ManualClock : public Clock {
public:
  explicit ManualClock(Date start = Date{1704103200.0});  // 2024-01-01 10:00:00 UTC
  Date now() const override;
  double monotonic() const override;
  void sleepFor(double seconds) override { advance(seconds); }
  double realSecondsFor(double) const override { return 0; }
  void idle(double seconds) override { advance(seconds); }
  void advance(double seconds);

private:
  mutable std::mutex mutex_;
  Date start_;
  double elapsed_ = 0;
};

// The process-wide clock (a SystemClock unless replaced).
Clock& currentClock();
// Replaces the process-wide clock; null restores the system clock. Tests set
// it before starting the threads that read it.
void setClock(std::shared_ptr<Clock> c);

// Replaces the clock for a scope.
class ScopedClock {
public:
  explicit ScopedClock(std::shared_ptr<Clock> c) { setClock(std::move(c)); }
  ~ScopedClock() { setClock(nullptr); }
};

}  // namespace plat
