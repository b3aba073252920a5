// A gate of fanotify permission events on one file, or on the files of one
// folder: every open or read there waits for the answer the test's rule
// gives, as for a file another program has locked, or a read that stalls
// until the test lets it go. The kernel allows it only with CAP_SYS_ADMIN:
// active() says whether the gate stands, and a test skips when it does not.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

class FanotifyGate {
public:
  enum class Answer { kAllow, kDeny, kHold };
  struct Event {
    uint64_t mask;  // FAN_OPEN_PERM, FAN_ACCESS_PERM
    pid_t pid;      // who opens or reads
  };
  // `events`: the permission events to gate; `children`: `path` is a folder
  // and its files are gated. At most one access is held at a time; the
  // rule's kHold for another one lets it through.
  FanotifyGate(const std::string& path, uint64_t events, bool children, std::function<Answer(const Event&)> rule);
  // Lets the held access go.
  ~FanotifyGate();
  FanotifyGate(const FanotifyGate&) = delete;
  FanotifyGate& operator=(const FanotifyGate&) = delete;

  bool active() const { return fd_ >= 0; }
  bool holding() const { return holding_.load(); }
  int denied() const { return denied_.load(); }

private:
  void answer();
  void respond(int eventFd, bool allow);

  int fd_ = -1;
  int held_ = -1;  // the answer thread's, then the destructor's
  const std::function<Answer(const Event&)> rule_;
  std::atomic<bool> holding_{false}, stop_{false};
  std::atomic<int> denied_{0};
  std::thread thread_;
};

}  // namespace testsupport
