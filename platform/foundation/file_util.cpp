#include "platform/foundation/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace plat {

Error posixError(int code, const std::string& what, const std::string& path) {
  return Error::withDescription(kPOSIXErrorDomain, code, what + " \"" + path + "\": " + std::strerror(code));
}

namespace {
FileStat fromStat(const struct stat& st) {
  FileStat f;
  f.isDirectory = S_ISDIR(st.st_mode);
  f.isRegular = S_ISREG(st.st_mode);
  f.isSymlink = S_ISLNK(st.st_mode);
  f.size = static_cast<uint64_t>(st.st_size);
  f.modified = Date{static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9};
  f.mode = st.st_mode;
  f.inode = st.st_ino;
  f.device = st.st_dev;
  return f;
}

bool fsyncDir(const std::string& dir) {
  int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}
}  // namespace

std::optional<FileStat> statFollow(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return fromStat(st);
}

std::optional<FileStat> statNoFollow(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  return fromStat(st);
}

std::optional<FileStat> statNoFollowAt(int dirFd, const std::string& name) {
  struct stat st{};
  if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return fromStat(st);
}

bool fileExists(const std::string& path) { return statFollow(path).has_value(); }

std::optional<uint64_t> fileSize(const std::string& path) {
  auto s = statFollow(path);
  if (!s) return std::nullopt;
  return s->size;
}

bool isDirectory(const std::string& path) {
  auto s = statFollow(path);
  return s && s->isDirectory;
}

bool makeDirectories(const std::string& path, mode_t mode, Error* error) {
  if (path.empty()) {
    setError(error, posixError(ENOENT, "mkdir", path));
    return false;
  }
  if (isDirectory(path)) return true;
  std::string parent = pathDirname(path);
  if (!parent.empty() && parent != path && !isDirectory(parent)) {
    if (!makeDirectories(parent, mode, error)) return false;
  }
  if (mkdir(path.c_str(), mode) != 0 && !(errno == EEXIST && isDirectory(path))) {
    setError(error, posixError(errno, "mkdir", path));
    return false;
  }
  return true;
}

bool atomicWrite(const std::string& path, std::string_view data, mode_t mode, Error* error) {
  std::string dir = pathDirname(path);
  std::string leaf = ".";
  leaf.append(pathBasename(path));
  leaf.append(".XXXXXX");
  std::string tmpl = pathJoin(dir.empty() ? "." : dir, leaf);
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    setError(error, posixError(errno, "create", tmpl));
    return false;
  }
  auto fail = [&](const char* what) {
    int e = errno;
    close(fd);
    unlink(name.data());
    setError(error, posixError(e, what, path));
    return false;
  };
  if (!writeAll(fd, data.data(), data.size())) return fail("write");
  if (fchmod(fd, mode) != 0) return fail("chmod");
  if (fsync(fd) != 0) return fail("fsync");
  if (close(fd) != 0) {
    int e = errno;
    unlink(name.data());
    setError(error, posixError(e, "close", path));
    return false;
  }
  if (rename(name.data(), path.c_str()) != 0) {
    int e = errno;
    unlink(name.data());
    setError(error, posixError(e, "rename", path));
    return false;
  }
  fsyncDir(dir);
  return true;
}

bool makeOwnerOnly(const std::string& path, Error* error) {
  // O_PATH would not allow fchmod; O_NONBLOCK keeps a FIFO from blocking the open.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, posixError(errno, "open", path));
    return false;
  }
  auto fail = [&](int code) {
    close(fd);
    setError(error, posixError(code, "chmod", path));
    return false;
  };
  struct stat st{};
  if (fstat(fd, &st) != 0) return fail(errno);
  if (!S_ISREG(st.st_mode)) return fail(EINVAL);
  if ((st.st_mode & 077) != 0 && fchmod(fd, st.st_mode & 07700) != 0) return fail(errno);
  if (fstat(fd, &st) != 0) return fail(errno);
  if ((st.st_mode & 077) != 0) return fail(EPERM);
  close(fd);
  return true;
}

bool writeAll(int fd, const void* bytes, size_t n) {
  const auto* p = static_cast<const char*>(bytes);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::optional<std::string> readFile(const std::string& path, Error* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, posixError(errno, "open", path));
    return std::nullopt;
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      close(fd);
      setError(error, posixError(e, "read", path));
      return std::nullopt;
    }
    if (r == 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  close(fd);
  return out;
}

bool setModificationTime(const std::string& path, Date when, Error* error) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  double s = std::floor(when.secondsSince1970);
  times[1].tv_sec = static_cast<time_t>(s);
  times[1].tv_nsec = static_cast<long>((when.secondsSince1970 - s) * 1e9);
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    setError(error, posixError(errno, "utimensat", path));
    return false;
  }
  return true;
}

bool removeTree(const std::string& path, Error* error) {
  auto st = statNoFollow(path);
  if (!st) return true;
  if (st->isDirectory) {
    DIR* d = opendir(path.c_str());
    if (!d) {
      setError(error, posixError(errno, "opendir", path));
      return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
    }
    closedir(d);
    for (const auto& n : names) {
      if (!removeTree(pathJoin(path, n), error)) return false;
    }
    if (rmdir(path.c_str()) != 0) {
      setError(error, posixError(errno, "rmdir", path));
      return false;
    }
    return true;
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    setError(error, posixError(errno, "unlink", path));
    return false;
  }
  return true;
}

std::string temporaryDirectory() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = t && *t ? t : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string homeDirectory() {
  const char* h = std::getenv("HOME");
  if (h && *h) return h;
  if (passwd* pw = getpwuid(getuid())) return pw->pw_dir ? pw->pw_dir : "/";
  return "/";
}

std::string makeTemporaryDirectory(const std::string& prefix) {
  std::string tmpl = pathJoin(temporaryDirectory(), prefix + ".XXXXXX");
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) return {};
  return name.data();
}

std::string pathJoin(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  std::string out(a);
  if (out.back() != '/') out.push_back('/');
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  out.append(b);
  return out;
}

std::string pathDirname(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string pathBasename(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace plat
