#include "platform/system/file_flags.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {
// Flags live on regular files and folders; a link or device is not opened.
int openForFlags(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return -1;
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
}
}  // namespace

bool isImmutable(const std::string& path) {
  int fd = openForFlags(path);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  close(fd);
  return ok && (flags & FS_IMMUTABLE_FL);
}

bool setImmutable(const std::string& path, bool immutable) {
  int fd = openForFlags(path);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok && static_cast<bool>(flags & FS_IMMUTABLE_FL) != immutable) {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

bool isExtensionHidden(const std::string& path) {
  char v[4] = {};
  ssize_t n = lgetxattr(path.c_str(), kExtensionHiddenAttribute, v, sizeof v);
  return n == 1 && v[0] == '1';
}

bool setExtensionHidden(const std::string& path, bool hidden) {
  if (hidden) return lsetxattr(path.c_str(), kExtensionHiddenAttribute, "1", 1, 0) == 0;
  if (lremovexattr(path.c_str(), kExtensionHiddenAttribute) == 0) return true;
  return errno == ENODATA;
}

}  // namespace plat
