// The wait between two attempts on a busy or locked database. The first pause
// is 20 microseconds and each further one doubles, up to 4 ms, so a file held
// for long by another process is polled without burning a CPU. The pause is
// real time, not the system clock: it waits for another process.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace sqdetail {

class BusyWait {
public:
  // Sleeps, then tells whether to try again. A limit of 0 never gives up;
  // otherwise the attempt after the limit plus one retries gives up.
  bool retry(int busyRetryTimeout) {
    std::this_thread::sleep_for(pause_);
    pause_ = std::min(pause_ * 2, kMaxPause);
    return !(busyRetryTimeout && numberOfRetries_++ > busyRetryTimeout);
  }
  int retries() const { return numberOfRetries_; }
  std::chrono::microseconds nextPause() const { return pause_; }

private:
  static constexpr std::chrono::microseconds kMaxPause{4000};
  std::chrono::microseconds pause_{20};
  int numberOfRetries_ = 0;
};

inline bool isBusy(int rc) { return rc == 5 /* SQLITE_BUSY */ || rc == 6 /* SQLITE_LOCKED */; }

// Whether waiting can clear a busy result. SQLITE_LOCKED from this
// connection's own unfinished statement (a DROP TABLE while a result set is
// open) lasts as long as this very thread keeps it: waiting would hang the
// caller for ever. Only another connection of a shared cache can lift it.
inline bool isWorthRetrying(int rc, int extendedRc) {
  if (rc == 5 /* SQLITE_BUSY */) return true;
  return rc == 6 && extendedRc == 262 /* SQLITE_LOCKED_SHAREDCACHE */;
}

}  // namespace sqdetail
