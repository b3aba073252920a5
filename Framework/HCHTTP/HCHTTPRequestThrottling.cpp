// The class-wide bandwidth limit: bytes moved (downloads and upload bodies
// together) are counted in one-second windows; the last few windows give
// the average; a window that went over the limit pauses every request's
// read stream until the excess has been paid for. All counters are behind
// bandwidthThrottlingLock (a plain lock); the wall clock is plat::Clock's.
#include <deque>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/foundation/clock.h"

using namespace hchttp;

namespace {

struct Throttle {
  unsigned long long maxBandwidthPerSecond = 0;
  unsigned long long bandwidthUsedInLastSecond = 0;
  std::optional<double> bandwidthMeasurementDate;  // end of the current window
  std::deque<unsigned long long> bandwidthUsageTracker;
  unsigned long long averageBandwidthUsedPerSecond = 0;
  std::optional<double> throttleWakeUpTime;
};

Throttle& throttle() {
  static Throttle t;
  return t;
}

double wallNow() { return plat::currentClock().now().secondsSince1970; }

// Closes the current window (the lock is held).
void recordBandwidthUsageLocked() {
  Throttle& t = throttle();
  const double now = wallNow();
  if (t.bandwidthUsedInLastSecond == 0) {
    t.bandwidthUsageTracker.clear();
  } else {
    // One sample goes for every second started since the window ended, and the list keeps at most 5 before this one.
    double since = t.bandwidthMeasurementDate ? *t.bandwidthMeasurementDate - now : 0;
    while (!t.bandwidthUsageTracker.empty() && (since < 0 || t.bandwidthUsageTracker.size() > 5)) {
      t.bandwidthUsageTracker.pop_front();
      since += 1;
    }
  }
  t.bandwidthUsageTracker.push_back(t.bandwidthUsedInLastSecond);
  t.bandwidthMeasurementDate = now + 1;
  t.bandwidthUsedInLastSecond = 0;
  unsigned long long total = 0;
  for (auto v : t.bandwidthUsageTracker) total += v;
  t.averageBandwidthUsedPerSecond = total / t.bandwidthUsageTracker.size();
}

void measureBandwidthUsageLocked() {
  Throttle& t = throttle();
  if (!t.bandwidthMeasurementDate || *t.bandwidthMeasurementDate < wallNow()) recordBandwidthUsageLocked();
  if (t.maxBandwidthPerSecond > 0 && t.bandwidthUsedInLastSecond > t.maxBandwidthPerSecond) {
    unsigned long long over = t.bandwidthUsedInLastSecond - t.maxBandwidthPerSecond;
    t.throttleWakeUpTime =
        *t.bandwidthMeasurementDate + static_cast<double>(over) / static_cast<double>(t.maxBandwidthPerSecond);
  }
}

}  // namespace

unsigned long long HCHTTPRequest::maxBandwidthPerSecond() {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  return throttle().maxBandwidthPerSecond;
}

void HCHTTPRequest::setMaxBandwidthPerSecond(unsigned long long bytes) {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  throttle().maxBandwidthPerSecond = bytes;
}

bool HCHTTPRequest::isBandwidthThrottled() { return maxBandwidthPerSecond() > 0; }

void HCHTTPRequest::incrementBandwidthUsedInLastSecond(unsigned long long bytes) {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  throttle().bandwidthUsedInLastSecond += bytes;
}

unsigned long long HCHTTPRequest::averageBandwidthUsedPerSecond() {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  return throttle().averageBandwidthUsedPerSecond;
}

unsigned long long HCHTTPRequest::bandwidthUsedInLastSecond() {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  return throttle().bandwidthUsedInLastSecond;
}

std::optional<double> HCHTTPRequest::throttleWakeUpTime() {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  return throttle().throttleWakeUpTime;
}

void HCHTTPRequest::measureBandwidthUsage() {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  measureBandwidthUsageLocked();
}

void HCHTTPRequest::resetBandwidthMeasurement() {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  unsigned long long limit = throttle().maxBandwidthPerSecond;
  throttle() = Throttle();
  throttle().maxBandwidthPerSecond = limit;
}

unsigned long long HCHTTPRequest::maxUploadReadLength() {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  Throttle& t = throttle();
  long long length = static_cast<long long>(t.maxBandwidthPerSecond / 4);
  if (t.maxBandwidthPerSecond > 0 && t.bandwidthUsedInLastSecond + static_cast<unsigned long long>(length) >
                                         t.maxBandwidthPerSecond) {
    length = static_cast<long long>(t.maxBandwidthPerSecond) - static_cast<long long>(t.bandwidthUsedInLastSecond);
    if (length < 0) length = 0;
  }
  if (length > 0 && t.bandwidthMeasurementDate && *t.bandwidthMeasurementDate >= wallNow()) {
    return static_cast<unsigned long long>(length);
  }
  t.throttleWakeUpTime = t.bandwidthMeasurementDate;
  return static_cast<unsigned long long>(length);
}

size_t HCHTTPRequest::downloadReadLengthUnderLimit(size_t readLength) {
  std::lock_guard l(classState().bandwidthThrottlingLock);
  Throttle& t = throttle();
  if (t.maxBandwidthPerSecond > 0) {
    long long remaining =
        static_cast<long long>(t.maxBandwidthPerSecond) - static_cast<long long>(t.bandwidthUsedInLastSecond);
    if (remaining < 0) {
      readLength = 1;
    } else if (static_cast<unsigned long long>(remaining) / 4 < readLength) {
      readLength = static_cast<size_t>(remaining / 4);
    }
  }
  return readLength < 1 ? 1 : readLength;
}

void HCHTTPRequest::performThrottling() {
  std::lock_guard l(_cancelledLock);
  // A stream that ended (or waits for an answer to a challenge) stays as it is.
  if (!_readStream || _complete) return;
  bool pause = false, resume = false;
  {
    std::lock_guard b(classState().bandwidthThrottlingLock);
    measureBandwidthUsageLocked();
    Throttle& t = throttle();
    if (t.maxBandwidthPerSecond > 0) {
      if (t.throttleWakeUpTime) {
        const bool future = *t.throttleWakeUpTime > wallNow();
        pause = future && _readStreamIsScheduled;
        resume = !future && !_readStreamIsScheduled;
      }
    } else {
      resume = !_readStreamIsScheduled;
    }
  }
  // (Un)scheduling takes connectionsLock: after bandwidthThrottlingLock, never inside it here.
  if (pause) unscheduleReadStream();
  if (resume) scheduleReadStream();
  if (resume || isBandwidthThrottled()) continueReadingSoonLocked();
}

// The stream tells of new bytes once; a read cut to the limit leaves some of
// them behind, and an end that came meanwhile is not told again. So the
// request goes on reading by itself while it may.
void HCHTTPRequest::continueReadingSoonLocked() {
  if (_continueReadingPosted || !_readStream || !_readStreamIsScheduled || _complete || !_runLoop) return;
  const bool more = _readStream->hasBytesAvailable();
  const bool ended = !more && _readStream->status() == plat::HTTPReadStream::Status::AtEnd;
  if (!more && !ended) return;
  auto keep = self();
  if (!keep) return;
  _continueReadingPosted = true;
  const uint32_t event = more ? plat::HTTPReadStream::kEventHasBytesAvailable : plat::HTTPReadStream::kEventEndEncountered;
  _runLoop->perform(
      [keep, event] {
        {
          std::lock_guard l(keep->_cancelledLock);
          keep->_continueReadingPosted = false;
          // Paused meanwhile: the read waits for the resume.
          if (!keep->_readStreamIsScheduled) return;
        }
        keep->handleNetworkEvent(event);
      },
      {_runLoopMode});
}

void HCHTTPRequest::performThrottlingSoon() {
  std::shared_ptr<plat::RunLoop> loop;
  std::string mode;
  {
    // Called from the body's read, under the read stream's lock, which the
    // request takes after its own: waiting here would invert that order. A
    // nudge left out costs nothing, as every stream event and status tick
    // throttles again.
    std::unique_lock l(_cancelledLock, std::try_to_lock);
    if (!l.owns_lock()) return;
    loop = _runLoop;
    mode = _runLoopMode;
  }
  auto keep = self();
  if (!loop || !keep) return;
  loop->perform([keep] { keep->performThrottling(); }, {mode});
}
