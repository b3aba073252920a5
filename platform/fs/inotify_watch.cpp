#include "platform/fs/inotify_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/file_util.h"

namespace plat {

static_assert(InotifyWatch::kDefaultMask == (IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                             IN_CREATE | IN_DELETE));

std::unique_ptr<InotifyWatch> InotifyWatch::create(Error* error) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    setError(error, posixError(errno, "inotify_init1", ""));
    return nullptr;
  }
  return std::unique_ptr<InotifyWatch>(new InotifyWatch(fd));
}

InotifyWatch::~InotifyWatch() {
  if (fd_ >= 0) ::close(fd_);
}

int InotifyWatch::addFolder(const std::string& path, uint32_t mask, Error* error) {
  int wd = ::inotify_add_watch(fd_, path.c_str(), mask | IN_ONLYDIR);
  if (wd < 0) setError(error, posixError(errno, "inotify_add_watch", path));
  return wd;
}

void InotifyWatch::removeFolder(int watch) {
  if (watch >= 0) ::inotify_rm_watch(fd_, watch);
}

std::vector<InotifyWatch::Event> InotifyWatch::readEvents() {
  std::vector<Event> out;
  alignas(inotify_event) char buf[16384];
  while (true) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event ev;
      std::memcpy(&ev, buf + off, sizeof ev);
      Event e;
      e.watch = ev.wd;
      e.mask = ev.mask;
      e.cookie = ev.cookie;
      if (ev.len > 0) e.name.assign(buf + off + sizeof ev, ::strnlen(buf + off + sizeof ev, ev.len));
      out.push_back(std::move(e));
      off += static_cast<ssize_t>(sizeof ev + ev.len);
    }
  }
  return out;
}

}  // namespace plat
