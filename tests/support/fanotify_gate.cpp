#include "tests/support/fanotify_gate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

namespace testsupport {

FanotifyGate::FanotifyGate(const std::string& path, uint64_t events, bool children,
                           std::function<Answer(const Event&)> rule)
    : rule_(std::move(rule)) {
  fd_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return;
  if (::fanotify_mark(fd_, FAN_MARK_ADD, events | (children ? FAN_EVENT_ON_CHILD : 0), AT_FDCWD, path.c_str()) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  thread_ = std::thread([this] { answer(); });
}

FanotifyGate::~FanotifyGate() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (held_ >= 0) respond(held_, true);
  if (fd_ >= 0) ::close(fd_);
}

void FanotifyGate::respond(int eventFd, bool allow) {
  fanotify_response r{eventFd, static_cast<__u32>(allow ? FAN_ALLOW : FAN_DENY)};
  (void)!::write(fd_, &r, sizeof r);
  ::close(eventFd);
}

void FanotifyGate::answer() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    alignas(fanotify_event_metadata) char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) continue;
    for (auto* e = reinterpret_cast<fanotify_event_metadata*>(buf); FAN_EVENT_OK(e, n); e = FAN_EVENT_NEXT(e, n)) {
      if (e->fd < 0) continue;
      const Answer a = rule_(Event{e->mask, e->pid});
      if (a == Answer::kHold && held_ < 0) {
        held_ = e->fd;
        holding_ = true;
      } else if (a == Answer::kDeny) {
        ++denied_;
        respond(e->fd, false);
      } else {
        respond(e->fd, true);
      }
    }
  }
}

}  // namespace testsupport
