// A run loop per thread over epoll, with named modes: timers, file-descriptor
// sources and performs (functions handed over from any thread) fire only
// while the loop runs in one of their modes. The main thread's loop is also
// polled by the desktop toolkit through epollFd(), so both deliver the same
// work.
//
// Every member may be called from any thread; callbacks run on the loop's own
// thread, never while an internal lock is held, so a callback may add or
// remove sources (itself included).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace plat {

inline constexpr const char* kDefaultRunLoopMode = "kCFRunLoopDefaultMode";
// A source in the common modes runs in the default mode and in every mode
// added with addCommonMode.
inline constexpr const char* kCommonRunLoopModes = "kCFRunLoopCommonModes";

class RunLoop {
public:
  using SourceId = uint64_t;
  using Modes = std::vector<std::string>;

  enum IoEvent : uint32_t { kReadable = 1, kWritable = 2, kHangup = 4, kError = 8 };
  enum class RunResult { Finished, Stopped, TimedOut, HandledSource };

  // The calling thread's loop, made on first use.
  static std::shared_ptr<RunLoop> current();
  // The main thread's loop (see MainThread).
  static std::shared_ptr<RunLoop> main();

  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // Fires `fire` after `delay` seconds of plat::currentClock(), then every
  // `interval` seconds when `repeats`. A repeating timer that fell behind
  // fires once and is rescheduled from now.
  SourceId addTimer(double delay, double interval, bool repeats, std::function<void()> fire,
                    Modes modes = {kDefaultRunLoopMode});
  // Moves the next firing to `delay` seconds from now.
  void setTimerDelay(SourceId timer, double delay);
  // Calls `handler` with the IoEvent bits that occurred; hang-ups and errors
  // are always reported.
  SourceId addFd(int fd, uint32_t events, std::function<void(uint32_t events)> handler,
                 Modes modes = {kDefaultRunLoopMode});
  void setFdEvents(SourceId source, uint32_t events);
  // Removes a timer or fd source; it never fires after this returns on the
  // loop's thread. Unknown ids are ignored.
  void remove(SourceId source);

  // Runs `fn` on the loop's thread when it next runs in one of the modes;
  // without modes, in the common modes.
  void perform(std::function<void()> fn);
  void perform(std::function<void()> fn, Modes modes);

  void addCommonMode(const std::string& mode);

  // Runs the loop in `mode` for at most `seconds` (of plat::currentClock()), or until
  // stop(), or, when returnAfterSourceHandled, until one source fired.
  // Finished: the mode has no sources at all.
  RunResult runInMode(const std::string& mode, double seconds, bool returnAfterSourceHandled = false);
  // Runs in the default mode until stop().
  void run();
  // Makes the innermost runInMode return Stopped.
  void stop();
  // Interrupts a wait so the loop looks at its sources again.
  void wakeUp();
  void wakeUpFromElsewhere();
  bool inPassLocked() const;

  // For toolkits that poll the loop: readable when the loop has work.
  int epollFd() const { return epoll_; }
  // Does whatever is due in the default mode, without waiting.
  void dispatchPending() { runInMode(kDefaultRunLoopMode, 0, false); }
  // For toolkits that poll the loop: milliseconds of real time until work
  // of the default mode is due (0: now, a perform waits or a timer is due),
  // -1 when only the descriptor can bring any.
  int pollTimeoutMs() const;

  bool isCurrent() const { return std::this_thread::get_id() == thread_; }
  std::string currentMode() const;

private:
  RunLoop();
  struct Source;
  bool inMode(const Source& s, const std::string& mode) const;
  bool hasSourcesFor(const std::string& mode) const;
  double nextTimerDeadline(const std::string& mode) const;

  int epoll_ = -1;
  int wake_ = -1;  // eventfd
  std::thread::id thread_;
  mutable std::mutex mutex_;
  std::map<SourceId, std::shared_ptr<Source>> sources_;
  std::map<int, SourceId> fdSources_;
  struct Perform {
    std::function<void()> fn;
    Modes modes;
    bool common = false;  // in the common modes, whatever `modes` says
  };
  bool performInModeLocked(const Perform& p, const std::string& mode) const;
  std::deque<Perform> performs_;
  std::set<std::string> commonModes_{kDefaultRunLoopMode};
  // The modes of the runs under way, innermost last: each names the mode
  // argument of a runInMode that has not returned.
  std::vector<const std::string*> modeStack_;
  SourceId nextId_ = 1;
  std::atomic<int> stopRequests_{0};
  // Set by a perform's or timer's wake-up from another thread, cleared once
  // the loop has read it: while one is pending no other is written.
  std::atomic<bool> wakePending_{false};
};

// The main thread of the process: its run loop receives the performs of
// every other thread (callbacks of the HTTP library, results of logins...).
class MainThread {
public:
  // Marks the calling thread as the main thread (once, at start of main()
  // or of a test program).
  static void setCurrentThreadAsMain();
  static bool isMainThread();
  static std::shared_ptr<RunLoop> runLoop();
  // Queues fn on the main run loop, in the common modes.
  static void perform(std::function<void()> fn);
  // Runs fn on the main thread and returns when it has run: in line when
  // already there, otherwise queued and waited for.
  static void performAndWait(const std::function<void()>& fn);
};

}  // namespace plat
