#include "platform/foundation/run_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <future>
#include <limits>

#include "platform/foundation/clock.h"
#include "platform/foundation/error.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread.h"

namespace plat {

struct RunLoop::Source {
  enum class Kind { Timer, Fd } kind;
  SourceId id = 0;
  Modes modes;
  bool removed = false;  // guarded by the loop's mutex
  // timer
  double deadline = 0;
  double interval = 0;
  bool repeats = false;
  std::function<void()> fire;
  // fd
  int fd = -1;
  uint32_t events = 0;
  uint32_t registered = 0;  // epoll events currently registered, 0 = not registered
  std::function<void(uint32_t)> handler;
};

namespace {
constexpr double kForever = std::numeric_limits<double>::infinity();

uint32_t toEpoll(uint32_t ev) {
  uint32_t e = 0;
  if (ev & RunLoop::kReadable) e |= EPOLLIN;
  if (ev & RunLoop::kWritable) e |= EPOLLOUT;
  return e;
}

uint32_t fromEpoll(uint32_t e) {
  uint32_t ev = 0;
  if (e & (EPOLLIN | EPOLLPRI)) ev |= RunLoop::kReadable;
  if (e & EPOLLOUT) ev |= RunLoop::kWritable;
  if (e & (EPOLLHUP | EPOLLRDHUP)) ev |= RunLoop::kHangup;
  if (e & EPOLLERR) ev |= RunLoop::kError;
  return ev;
}

thread_local std::shared_ptr<RunLoop> tLoop;

const std::string& defaultModeName() {
  static const std::string& name = *new std::string(kDefaultRunLoopMode);
  return name;
}
std::mutex gMainMutex;
std::shared_ptr<RunLoop> gMainLoop;  // guarded by gMainMutex
std::atomic<bool> gMainSet{false};
std::thread::id gMainThreadId;       // written once before gMainSet
}  // namespace

RunLoop::RunLoop() : thread_(std::this_thread::get_id()) {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || wake_ < 0) throw Exception(kInternalInconsistencyException, "RunLoop: cannot create epoll or eventfd");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
}

RunLoop::~RunLoop() {
  if (wake_ >= 0) close(wake_);
  if (epoll_ >= 0) close(epoll_);
}

std::shared_ptr<RunLoop> RunLoop::current() {
  if (!tLoop) tLoop = std::shared_ptr<RunLoop>(new RunLoop());
  return tLoop;
}

std::shared_ptr<RunLoop> RunLoop::main() { return MainThread::runLoop(); }

RunLoop::SourceId RunLoop::addTimer(double delay, double interval, bool repeats, std::function<void()> fire,
                                    Modes modes) {
  auto s = std::make_shared<Source>();
  s->kind = Source::Kind::Timer;
  s->modes = std::move(modes);
  s->deadline = currentClock().monotonic() + std::max(0.0, delay);
  s->interval = interval;
  s->repeats = repeats && interval > 0;
  s->fire = std::move(fire);
  SourceId id;
  {
    std::lock_guard<std::mutex> l(mutex_);
    id = s->id = nextId_++;
    sources_[id] = std::move(s);
  }
  wakeUpFromElsewhere();
  return id;
}

void RunLoop::setTimerDelay(SourceId timer, double delay) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    auto it = sources_.find(timer);
    if (it == sources_.end() || it->second->kind != Source::Kind::Timer) return;
    it->second->deadline = currentClock().monotonic() + std::max(0.0, delay);
  }
  wakeUpFromElsewhere();
}

RunLoop::SourceId RunLoop::addFd(int fd, uint32_t events, std::function<void(uint32_t)> handler, Modes modes) {
  auto s = std::make_shared<Source>();
  s->kind = Source::Kind::Fd;
  s->modes = std::move(modes);
  s->fd = fd;
  s->events = events;
  s->handler = std::move(handler);
  SourceId id;
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (fdSources_.count(fd)) {
      throw Exception(kInvalidArgumentException, format("RunLoop: descriptor %d already has a source", fd));
    }
    id = s->id = nextId_++;
    fdSources_[fd] = id;
    sources_[id] = std::move(s);
    if (inPassLocked()) return id;
  }
  wakeUp();
  return id;
}

void RunLoop::setFdEvents(SourceId source, uint32_t events) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    auto it = sources_.find(source);
    if (it == sources_.end() || it->second->kind != Source::Kind::Fd) return;
    it->second->events = events;
    if (inPassLocked()) return;
  }
  wakeUp();
}

void RunLoop::remove(SourceId source) {
  std::lock_guard<std::mutex> l(mutex_);
  auto it = sources_.find(source);
  if (it == sources_.end()) return;
  Source& s = *it->second;
  s.removed = true;
  if (s.kind == Source::Kind::Fd) {
    if (s.registered) epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);  // EBADF if closed already: fine
    fdSources_.erase(s.fd);
  }
  sources_.erase(it);
}

void RunLoop::perform(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    performs_.push_back(Perform{std::move(fn), {}, true});
  }
  wakeUpFromElsewhere();
}

void RunLoop::perform(std::function<void()> fn, Modes modes) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    performs_.push_back(Perform{std::move(fn), std::move(modes), false});
  }
  wakeUpFromElsewhere();
}

void RunLoop::addCommonMode(const std::string& mode) {
  std::lock_guard<std::mutex> l(mutex_);
  commonModes_.insert(mode);
}

// A perform or a timer made on the loop's own thread needs no wake-up: that
// thread is not asleep in the loop, which looks at both before it sleeps
// again (and so does the desktop toolkit's poll, through pollTimeoutMs).
// From elsewhere one write wakes it for every change until it has read it.
void RunLoop::wakeUpFromElsewhere() {
  if (isCurrent() || wakePending_.exchange(true)) return;
  wakeUp();
}

// Descriptors are registered by a pass of the loop, before it sleeps and as
// it ends: a change made inside a pass on the loop's own thread needs no
// wake-up; any other writes, so the toolkit's poll wakes for it too.
bool RunLoop::inPassLocked() const { return isCurrent() && !modeStack_.empty(); }

void RunLoop::wakeUp() {
  uint64_t one = 1;
  ssize_t r = write(wake_, &one, sizeof one);
  (void)r;  // EAGAIN means a wake-up is already pending
}

void RunLoop::stop() {
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (modeStack_.empty()) return;
  }
  stopRequests_.fetch_add(1);
  wakeUp();
}

std::string RunLoop::currentMode() const {
  std::lock_guard<std::mutex> l(mutex_);
  return modeStack_.empty() ? std::string() : *modeStack_.back();
}

bool RunLoop::inMode(const Source& s, const std::string& mode) const {
  for (const auto& m : s.modes) {
    if (m == mode) return true;
    if (m == kCommonRunLoopModes && commonModes_.count(mode)) return true;
  }
  return false;
}

bool RunLoop::performInModeLocked(const Perform& p, const std::string& mode) const {
  if (p.common) return mode == kCommonRunLoopModes || commonModes_.count(mode) != 0;
  for (const auto& m : p.modes) {
    if (m == mode) return true;
    if (m == kCommonRunLoopModes && commonModes_.count(mode)) return true;
  }
  return false;
}

bool RunLoop::hasSourcesFor(const std::string& mode) const {
  for (const auto& [id, s] : sources_) {
    if (inMode(*s, mode)) return true;
  }
  for (const auto& p : performs_) {
    if (performInModeLocked(p, mode)) return true;
  }
  return false;
}

double RunLoop::nextTimerDeadline(const std::string& mode) const {
  double next = kForever;
  for (const auto& [id, s] : sources_) {
    if (s->kind == Source::Kind::Timer && inMode(*s, mode)) next = std::min(next, s->deadline);
  }
  return next;
}

int RunLoop::pollTimeoutMs() const {
  double deadline;
  {
    std::lock_guard<std::mutex> l(mutex_);
    for (const auto& p : performs_) {
      if (performInModeLocked(p, defaultModeName())) return 0;
    }
    deadline = nextTimerDeadline(kDefaultRunLoopMode);
  }
  if (deadline >= kForever) return -1;
  Clock& clk = currentClock();
  const double wait = deadline - clk.monotonic();
  if (wait <= 0) return 0;
  const double real = clk.realSecondsFor(wait);
  return real <= 0 ? 0 : static_cast<int>(std::min(std::ceil(real * 1000.0), 2147483647.0));
}

RunLoop::RunResult RunLoop::runInMode(const std::string& mode, double seconds, bool returnAfterSourceHandled) {
  if (!isCurrent()) throw Exception(kInternalInconsistencyException, "RunLoop: run from another thread");
  Clock& clk = currentClock();
  const double start = clk.monotonic();
  const double until = seconds >= kForever || std::isnan(seconds) ? kForever : start + std::max(0.0, seconds);
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (!hasSourcesFor(mode)) return RunResult::Finished;
    modeStack_.push_back(&mode);
  }

  // Registers with epoll exactly the descriptors of `m`.
  auto syncRegistrations = [this](const std::string& m) {
    for (auto& [id, s] : sources_) {
      if (s->kind != Source::Kind::Fd) continue;
      uint32_t want = inMode(*s, m) ? (toEpoll(s->events) | EPOLLRDHUP) : 0;
      if (want == s->registered) continue;
      epoll_event ev{};
      ev.events = want;
      ev.data.u64 = id;
      if (!want) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, s->fd, nullptr);
      } else if (!s->registered) {
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, s->fd, &ev) != 0 && errno == EEXIST) {
          epoll_ctl(epoll_, EPOLL_CTL_MOD, s->fd, &ev);
        }
      } else {
        epoll_ctl(epoll_, EPOLL_CTL_MOD, s->fd, &ev);
      }
      s->registered = want;
    }
  };

  RunResult result = RunResult::TimedOut;
  bool firstPass = true;
  for (;;) {
    if (stopRequests_.load() > 0) {
      stopRequests_.fetch_sub(1);
      result = RunResult::Stopped;
      break;
    }
    bool handled = false;

    // Performs queued for this mode, in order; others stay queued. Most
    // passes find one at most: it needs no list.
    std::function<void()> firstDue;
    std::vector<std::function<void()>> moreDue;
    {
      std::lock_guard<std::mutex> l(mutex_);
      for (auto it = performs_.begin(); it != performs_.end();) {
        if (performInModeLocked(*it, mode)) {
          if (!firstDue)
            firstDue = std::move(it->fn);
          else
            moreDue.push_back(std::move(it->fn));
          it = performs_.erase(it);
        } else {
          ++it;
        }
      }
    }
    if (firstDue) {
      runGuarded("run loop perform", firstDue);
      handled = true;
    }
    for (auto& fn : moreDue) runGuarded("run loop perform", fn);

    // Timers that are due, earliest first.
    for (;;) {
      std::shared_ptr<Source> t;
      const double now = clk.monotonic();
      {
        std::lock_guard<std::mutex> l(mutex_);
        for (auto& [id, s] : sources_) {
          if (s->kind == Source::Kind::Timer && inMode(*s, mode) && s->deadline <= now &&
              (!t || s->deadline < t->deadline)) {
            t = s;
          }
        }
        if (!t) break;
        if (t->repeats) {
          t->deadline += t->interval;
          if (t->deadline <= now) t->deadline = now + t->interval;
        } else {
          t->removed = true;
          sources_.erase(t->id);
        }
      }
      runGuarded("run loop timer", t->fire);
      handled = true;
      if (returnAfterSourceHandled) break;
    }

    if (handled && returnAfterSourceHandled) {
      result = RunResult::HandledSource;
      break;
    }
    if (stopRequests_.load() > 0) continue;

    double now = clk.monotonic();
    if (!firstPass && now >= until) {
      result = RunResult::TimedOut;
      break;
    }
    double wakeAt;
    bool performsPending = false;
    {
      std::lock_guard<std::mutex> l(mutex_);
      if (!hasSourcesFor(mode)) {
        result = RunResult::Finished;
        break;
      }
      wakeAt = std::min(until, nextTimerDeadline(mode));
      for (const auto& p : performs_) performsPending |= performInModeLocked(p, mode);
      syncRegistrations(mode);
    }
    double wait = performsPending ? 0 : std::max(0.0, wakeAt - now);
    int timeoutMs;
    if (wait >= kForever) {
      timeoutMs = -1;
    } else {
      double real = clk.realSecondsFor(wait);
      timeoutMs = real <= 0 ? 0 : static_cast<int>(std::min(std::ceil(real * 1000.0), 2147483647.0));
    }
    epoll_event events[64];
    int n = epoll_wait(epoll_, events, 64, timeoutMs);
    if (n < 0) n = 0;  // EINTR
    if (n == 0 && timeoutMs == 0 && wait > 0 && wait < kForever) clk.idle(wait);
    firstPass = false;

    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == 0) {
        // One read takes every write made so far (the counter is reset).
        uint64_t v;
        ssize_t r = read(wake_, &v, sizeof v);
        (void)r;
        // Cleared after the read: a change whose write was left out came
        // before this, and the loop looks at every change before it sleeps.
        wakePending_.store(false);
        continue;
      }
      std::shared_ptr<Source> s;
      uint32_t bits;
      {
        std::lock_guard<std::mutex> l(mutex_);
        auto it = sources_.find(events[i].data.u64);
        if (it == sources_.end() || it->second->removed || !inMode(*it->second, mode)) continue;
        s = it->second;
        bits = fromEpoll(events[i].events) & (s->events | kHangup | kError);
      }
      if (!bits) continue;
      runGuarded("run loop source", [&] { s->handler(bits); });
      handled = true;
      if (returnAfterSourceHandled) break;
    }
    if (handled && returnAfterSourceHandled) {
      result = RunResult::HandledSource;
      break;
    }
    if (clk.monotonic() >= until && n == 0 && !performsPending) {
      // Nothing left to do before the limit.
      bool timerDue;
      {
        std::lock_guard<std::mutex> l(mutex_);
        timerDue = nextTimerDeadline(mode) <= clk.monotonic();
      }
      if (!timerDue) {
        result = RunResult::TimedOut;
        break;
      }
    }
  }

  {
    std::lock_guard<std::mutex> l(mutex_);
    modeStack_.pop_back();
    // Leave the registrations as the outer run (or a toolkit polling the
    // default mode) expects them.
    syncRegistrations(modeStack_.empty() ? defaultModeName() : *modeStack_.back());
  }
  return result;
}

void RunLoop::run() {
  // A far-off timer keeps the default mode from being empty, so the loop
  // waits for work instead of returning.
  SourceId keepAlive = addTimer(1e9, 1e9, true, [] {}, {kDefaultRunLoopMode});
  while (runInMode(kDefaultRunLoopMode, kForever, false) != RunResult::Stopped) {
  }
  remove(keepAlive);
}

// ---- MainThread ----

void MainThread::setCurrentThreadAsMain() {
  std::lock_guard<std::mutex> l(gMainMutex);
  if (gMainSet.load()) {
    if (gMainThreadId != std::this_thread::get_id()) {
      throw Exception(kInternalInconsistencyException, "MainThread: the main thread was set up on another thread");
    }
    return;
  }
  gMainLoop = RunLoop::current();
  gMainThreadId = std::this_thread::get_id();
  if (currentThreadName().empty()) setCurrentThreadName("main");
  gMainSet.store(true);
}

bool MainThread::isMainThread() {
  return gMainSet.load() && gMainThreadId == std::this_thread::get_id();
}

std::shared_ptr<RunLoop> MainThread::runLoop() {
  std::lock_guard<std::mutex> l(gMainMutex);
  if (!gMainLoop) throw Exception(kInternalInconsistencyException, "MainThread: no main thread was set up");
  return gMainLoop;
}

void MainThread::perform(std::function<void()> fn) { runLoop()->perform(std::move(fn)); }

void MainThread::performAndWait(const std::function<void()>& fn) {
  if (isMainThread()) {
    fn();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> f = done->get_future();
  runLoop()->perform([&fn, done] {
    try {
      fn();
      done->set_value();
    } catch (...) {
      done->set_exception(std::current_exception());
    }
  });
  f.get();
}

}  // namespace plat
