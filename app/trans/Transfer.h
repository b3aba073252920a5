// Transfer: what the transfer manager needs of a running upload or download.
// Each transfer runs on a thread of its own; the manager holds it by shared
// ownership from its start until that thread has been joined, so no transfer
// outlives the manager's view of it.
#pragma once

#include <cstdint>

class Transfer {
public:
  virtual ~Transfer() = default;
  // Starts the thread (an upload's start, a download's run).
  virtual void begin() = 0;
  // Asks the thread to end at its next check; `abort` also ends the
  // server's session where there is one. Any thread.
  virtual void stop(bool abort) = 0;
  // 0 to 1; any thread, without a lock.
  virtual double getprogress() const = 0;
  // The job's size as the transfer knows it now; any thread.
  virtual uint64_t jobFilesize() const = 0;
  // Waits for the thread; never called from the thread itself.
  virtual void join() = 0;
};
