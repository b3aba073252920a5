// Class-wide state and small helpers shared by the request's source files.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Framework/HCHTTP/HCHTTPRequest.h"

namespace hchttp {

// Locks, when two are held:
// - a request's cancelledLock first, then progressLock, connectionsLock or
//   bandwidthThrottlingLock; bandwidthThrottlingLock before connectionsLock;
//   delegateAuthenticationLock after cancelledLock, sessionCredentialsLock
//   and sessionCookiesLock after both.
// - Of two requests that belong together, the one that serves the other
//   first: a HEAD request's cancelledLock before that of the request it
//   stands in for, a page resource's before that of its page
//   (HCWebPageRequest). So a request that makes another (a copy, a HEAD
//   request, a page's resources) fills it in without the new one's lock,
//   or sets it up and reads it with its own lock released.
// - A page's xmlParsingLock (HCWebPageRequest.cpp) after the page's
//   cancelledLock; under it only that same cancelledLock again.
// Delegates and blocks never run under a class-wide lock: a request on the
// main thread reports in line, under its own lock only (ProgressLockGuard).
struct ClassState {
  std::recursive_mutex connectionsLock;
  std::recursive_mutex progressLock;
  std::mutex bandwidthThrottlingLock;
  std::recursive_mutex sessionCookiesLock;
  std::recursive_mutex sessionCredentialsLock;
  std::recursive_mutex delegateAuthenticationLock;
  std::vector<std::shared_ptr<HCConnectionRecord>> persistentConnectionsPool;
  int nextConnectionNumberToCreate = 0;
  uint32_t nextRequestID = 0;
  long long runningRequestCount = 0;
  bool shouldUpdateNetworkActivityIndicator = true;
  std::vector<HCHTTPCookie> sessionCookies;
};

ClassState& classState();

// progressLock, with the main thread's in-line notifications held back
// until it is released: they go out then, in the order sent.
class ProgressLockGuard {
public:
  ProgressLockGuard();
  ~ProgressLockGuard();
  ProgressLockGuard(const ProgressLockGuard&) = delete;
  ProgressLockGuard& operator=(const ProgressLockGuard&) = delete;

private:
  std::unique_lock<std::recursive_mutex> lock_;
};

// Held by the request's own thread around the handling of one event: what
// it sends to the main thread meanwhile is handed over as one, when the
// outermost batch ends. Made before the request's lock is taken, it ends
// after that lock is released, so the main thread never runs a notification
// only to wait for that lock. No effect on the main thread, whose
// notifications go out in line.
class NotificationBatch {
public:
  NotificationBatch();
  ~NotificationBatch();
  NotificationBatch(const NotificationBatch&) = delete;
  NotificationBatch& operator=(const NotificationBatch&) = delete;
  // Hands over what waits now, and what is sent while it lives as it is
  // sent: a run loop nested in the handling (a synchronous request) must
  // not hold the outer batch back.
  class Suspend {
  public:
    Suspend();
    ~Suspend();
    Suspend(const Suspend&) = delete;
    Suspend& operator=(const Suspend&) = delete;

  private:
    int depth_;
  };
};
// Takes a record out of the pool (connectionsLock held) and closes the idle
// socket kept behind it, so a forgotten record never leaves one open.
void dropConnectionRecordLocked(const std::shared_ptr<HCConnectionRecord>& record);

plat::Error requestError(long code, std::string description, std::shared_ptr<const plat::Error> underlying = nullptr);
const plat::Dictionary::Entry* findIgnoringCase(const plat::Dictionary& d, std::string_view name);
void removeIgnoringCase(plat::Dictionary& d, std::string_view name);
std::string lowercase(std::string s);
// A fresh, globally unique name in the temporary folder.
std::string uniqueTemporaryPath();
void addSessionCookie(const HCHTTPCookie& cookie);

}  // namespace hchttp
