#include "platform/fs/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/foundation/file_util.h"

namespace plat {

DiskState DiskState::of(const std::string& path) {
  DiskState s;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.dir = S_ISDIR(st.st_mode);
  s.size = s.dir ? 0 : static_cast<uint64_t>(st.st_size);
  s.inode = st.st_ino;
  // A folder's time moves with its entries, which are judged on their own.
  if (!s.dir) s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return s;
}

static SystemClock& systemClock() {
  static SystemClock c;
  return c;
}

FileOps::FileOps(Clock* clock) : clock_(clock ? clock : &systemClock()) {}

FileOps& FileOps::shared() {
  static FileOps ops;
  return ops;
}

void FileOps::remember(const std::string& path) {
  DiskState s = DiskState::of(path);
  std::lock_guard<std::mutex> g(mutex_);
  Entry e;
  e.state = s;
  e.added = clock_->monotonic();
  entries_[path] = e;
}

void FileOps::expect(const std::string& path, const DiskState& state, Match match) {
  std::lock_guard<std::mutex> g(mutex_);
  const double now = clock_->monotonic();
  Entry e;
  e.state = state;
  e.added = now;
  e.match = match;
  auto it = entries_.find(path);
  if (it != entries_.end() && it->second.match == Match::exact && now - it->second.added <= kKeep) {
    e.hasBefore = true;
    e.before = it->second.state;
  }
  entries_[path] = e;
}

void FileOps::settle(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = entries_.find(path);
  if (it != entries_.end()) it->second.hasBefore = false;
}

bool FileOps::matches(const Entry& e, const std::string& path) const {
  if (clock_->monotonic() - e.added > kKeep) return false;
  const DiskState now = DiskState::of(path);
  switch (e.match) {
    case Match::anyState: return true;
    case Match::anyFolder: return !now.exists || now.dir;
    case Match::exact: break;
  }
  return e.state == now || (e.hasBefore && e.before == now);
}

bool FileOps::isOwn(const std::string& path) const {
  // The state is read under the lock: a step that begins and settles between
  // a stale read and the comparison would otherwise disown its own event.
  std::lock_guard<std::mutex> g(mutex_);
  auto it = entries_.find(path);
  return it != entries_.end() && matches(it->second, path);
}

bool FileOps::isOwnEvent(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = entries_.find(path);
  if (it == entries_.end()) return false;
  if (matches(it->second, path)) return true;
  // A step still running keeps its entry: its own events may come yet.
  if (it->second.match == Match::exact && !it->second.hasBefore) entries_.erase(it);
  return false;
}

void FileOps::forget(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  entries_.erase(path);
}

void FileOps::trim() {
  std::lock_guard<std::mutex> g(mutex_);
  double now = clock_->monotonic();
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (now - it->second.added > kKeep) {
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t FileOps::size() const {
  std::lock_guard<std::mutex> g(mutex_);
  return entries_.size();
}

// Written beside the target under a private name, then renamed over it. The
// file's final state is known before the rename (the rename keeps inode,
// size and time), so the target's events are ours from the first one.
// The private name: "." + the target's name + ".qvtmp" + the writer's pid +
// "-" + a serial of that process. The pid in it tells a copy whose writer
// died before its rename from one being written. A target's name too long
// for that (a name is at most NAME_MAX bytes) lends only its head, cut at a
// character's start.
static constexpr std::string_view kPrivate = ".qvtmp";

bool FileOps::place(const std::string& path, std::string_view data, int fromFd, const struct timespec* times,
                    Error* error) {
  static std::atomic<uint64_t> serial{0};
  // Built by appending: GCC 12 warns (-Wrestrict, falsely) on "." + std::string.
  std::string tail(kPrivate);
  tail += std::to_string(::getpid());
  tail += "-";
  tail += std::to_string(serial.fetch_add(1));
  std::string head = pathBasename(path);
  const size_t room = NAME_MAX - 1 - tail.size();
  if (head.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(head[cut]) & 0xC0) == 0x80) --cut;
    head.resize(cut);
  }
  std::string leaf = ".";
  leaf += head;
  leaf += tail;
  const std::string tmp = pathJoin(pathDirname(path), leaf);
  expect(tmp, DiskState{}, Match::anyState);
  {
    std::lock_guard<std::mutex> g(mutex_);
    placing_.insert(tmp);
  }
  struct Placed {
    FileOps& ops;
    const std::string& tmp;
    ~Placed() {
      std::lock_guard<std::mutex> g(ops.mutex_);
      ops.placing_.erase(tmp);
    }
  } placed{*this, tmp};
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    setError(error, posixError(errno, "create", tmp));
    forget(tmp);
    return false;
  }
  bool ok = writeAll(fd, data.data(), data.size());
  if (ok && fromFd >= 0) {
    std::vector<char> buf(1 << 20);
    for (;;) {
      ssize_t n = ::read(fromFd, buf.data(), buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      if (!writeAll(fd, buf.data(), static_cast<size_t>(n))) {
        ok = false;
        break;
      }
    }
  }
  ok = ok && (!times || ::futimens(fd, times) == 0) && ::fsync(fd) == 0;
  int err = errno;
  ::close(fd);
  if (ok) {
    expect(path, DiskState::of(tmp));
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
      err = errno;
      ok = false;
      remember(path);
    }
    settle(path);
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    setError(error, posixError(err, "write", path));
  }
  remember(tmp);  // absent from now on
  return ok;
}

bool FileOps::writeFile(const std::string& path, std::string_view data, Error* error) {
  return place(path, data, -1, nullptr, error);
}

bool FileOps::makeFolder(const std::string& path, Error* error) {
  std::vector<std::string> made;
  for (std::string p = path; !p.empty() && p != "/" && p != "." && !DiskState::of(p).exists; p = pathDirname(p)) {
    made.push_back(p);
    expect(p, DiskState{}, Match::anyFolder);
  }
  const bool ok = makeDirectories(path, 0755, error);
  for (auto& p : made) remember(p);
  return ok;
}

// Everything below a folder that we moved or removed is ours too. Bounded
// in depth so a link loop cannot run away.
void FileOps::rememberTree(const std::string& path, int depth) {
  remember(path);
  if (depth > 64) return;
  DIR* d = ::opendir(path.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  for (auto& n : names) {
    std::string child = pathJoin(path, n);
    struct stat st;
    if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      rememberTree(child, depth + 1);
    } else {
      remember(child);
    }
  }
}

static void collect(const std::string& path, std::vector<std::string>& out, int depth) {
  out.push_back(path);
  if (depth > 64) return;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  DIR* d = ::opendir(path.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") collect(pathJoin(path, n), out, depth + 1);
  }
  ::closedir(d);
}

bool FileOps::move(const std::string& from, const std::string& to, Error* error) {
  return moveTree(from, to, false, error);
}

bool FileOps::moveNoReplace(const std::string& from, const std::string& to, Error* error) {
  return moveTree(from, to, true, error);
}

bool FileOps::moveTree(const std::string& from, const std::string& to, bool noReplace, Error* error) {
  std::vector<std::string> old;
  collect(from, old, 0);
  const DiskState moving = DiskState::of(from);
  for (auto& p : old) expect(p, DiskState{});
  expect(to, moving);
  const int done = noReplace ? ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE)
                             : ::rename(from.c_str(), to.c_str());
  if (done != 0) {
    setError(error, posixError(errno, "rename", from));
    for (auto& p : old) remember(p);
    remember(to);
    return false;
  }
  for (auto& p : old) settle(p);
  rememberTree(to, 0);
  return true;
}

bool FileOps::remove(const std::string& path, Error* error) {
  std::vector<std::string> old;
  collect(path, old, 0);
  for (auto& p : old) expect(p, DiskState{});
  const bool ok = removeTree(path, error);
  for (auto& p : old) {
    if (ok) {
      settle(p);
    } else {
      remember(p);
    }
  }
  return ok;
}

bool FileOps::isLeftover(const std::string& path) const {
  const std::string leaf = pathBasename(path);
  const size_t at = leaf.rfind(kPrivate);
  if (leaf.size() < 2 || leaf[0] != '.' || at == std::string::npos || at < 2) return false;
  // pid "-" serial, both plain decimal, up to the end.
  const std::string tail = leaf.substr(at + kPrivate.size());
  const size_t dash = tail.find('-');
  auto digits = [](std::string_view s) {
    return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (dash == std::string::npos || !digits(std::string_view(tail).substr(0, dash)) ||
      !digits(std::string_view(tail).substr(dash + 1))) {
    return false;
  }
  const long long pid = std::stoll(tail.substr(0, dash));
  if (pid <= 0 || pid > INT32_MAX) return false;
  if (pid == ::getpid()) {
    std::lock_guard<std::mutex> g(mutex_);
    return placing_.count(path) == 0;
  }
  // A live process of that number may be writing it: kept.
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool FileOps::removeLeftover(const std::string& path) {
  if (!isLeftover(path)) return false;
  const auto st = statNoFollow(path);
  return st && st->isRegular && remove(path);
}

bool FileOps::copyFile(const std::string& from, const std::string& to, Error* error) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat s;
  if (in < 0 || ::fstat(in, &s) != 0 || !S_ISREG(s.st_mode)) {
    setError(error, posixError(in < 0 ? errno : EINVAL, "open", from));
    if (in >= 0) ::close(in);
    return false;
  }
  const struct timespec times[2] = {s.st_atim, s.st_mtim};
  const bool ok = place(to, {}, in, times, error);
  ::close(in);
  return ok;
}

}  // namespace plat
