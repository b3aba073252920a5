#include "platform/fs/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdio>
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

void FileOps::remember(const std::string& path) { remember(path, DiskState::of(path)); }

void FileOps::remember(const std::string& path, const DiskState& state) {
  std::lock_guard<std::mutex> g(mutex_);
  entries_[path] = Entry{state, clock_->monotonic()};
}

bool FileOps::isOwn(const std::string& path) const {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (entries_.find(path) == entries_.end()) return false;
  }
  DiskState now = DiskState::of(path);
  std::lock_guard<std::mutex> g(mutex_);
  auto it = entries_.find(path);
  return it != entries_.end() && clock_->monotonic() - it->second.added <= kKeep && it->second.state == now;
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

// Written beside the target under a name of our own, then renamed over it:
// both names are remembered, so neither half of the rename comes back.
bool FileOps::writeFile(const std::string& path, std::string_view data, Error* error) {
  static std::atomic<uint64_t> serial{0};
  std::string tmp = pathJoin(pathDirname(path), "." + pathBasename(path) + ".qvtmp" + std::to_string(::getpid()) +
                                                    "-" + std::to_string(serial.fetch_add(1)));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    setError(error, posixError(errno, "create", tmp));
    return false;
  }
  bool ok = writeAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
  int err = errno;
  ::close(fd);
  // The watcher may read the rename before this call returns: the state the
  // path will have (the temporary file's) is ours before the rename is made.
  if (ok) remember(path, DiskState::of(tmp));
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    if (ok) err = errno;
    ::unlink(tmp.c_str());
    setError(error, posixError(err, "write", path));
    remember(tmp);
    return false;
  }
  remember(tmp);
  remember(path);
  return true;
}

bool FileOps::makeFolder(const std::string& path, Error* error) {
  if (!makeDirectories(path, 0755, error)) return false;
  remember(path);
  return true;
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
  std::vector<std::string> old;
  collect(from, old, 0);
  // Known before the rename, so the watcher can't read it first: the target
  // takes the source's state (same inode, size and time) and what was at the
  // source is gone (the two halves of a rename may come in separate reads).
  remember(to, DiskState::of(from));
  for (auto& p : old) remember(p, DiskState{});
  if (::rename(from.c_str(), to.c_str()) != 0) {
    setError(error, posixError(errno, "rename", from));
    return false;
  }
  for (auto& p : old) remember(p);  // now absent
  rememberTree(to, 0);
  return true;
}

bool FileOps::remove(const std::string& path, Error* error) {
  std::vector<std::string> old;
  collect(path, old, 0);
  if (!removeTree(path, error)) return false;
  for (auto& p : old) remember(p);
  return true;
}

bool FileOps::copyFile(const std::string& from, const std::string& to, Error* error) {
  auto st = statFollow(from);
  auto data = readFile(from, error);
  if (!st || !data) {
    if (!st) setError(error, posixError(ENOENT, "stat", from));
    return false;
  }
  if (!atomicWrite(to, *data, 0644, error)) return false;
  struct timespec times[2];
  struct stat s;
  if (::stat(from.c_str(), &s) == 0) {
    times[0] = s.st_atim;
    times[1] = s.st_mtim;
    ::utimensat(AT_FDCWD, to.c_str(), times, 0);
  }
  remember(to);
  return true;
}

}  // namespace plat
