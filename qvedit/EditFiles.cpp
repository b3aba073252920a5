#include "qvedit/EditFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "Framework/Staticclass/NSStringExpand.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"

namespace EditFiles {

namespace {

// A folder of ours, closed to others, made when missing; never a link.
bool privateFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
  if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) return false;
  return true;
}

}  // namespace

std::string cacheRoot() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  std::string base = xdg != nullptr && xdg[0] == '/' ? std::string(xdg) : plat::homeDirectory() + "/.cache";
  return base + "/qvedit";
}

std::string makeJobFolder(const std::string& root, int64_t mountId, const std::string& webpath) {
  if (!plat::makeDirectories(plat::pathDirname(root), 0700) || !privateFolder(root)) return {};
  std::string job = plat::format("%@/%ld-%@", root, static_cast<long>(mountId),
                                 NSStringExpand::sha1HexDigest(webpath).substr(0, 20));
  if (!privateFolder(job) || !privateFolder(editFolder(job)) || !privateFolder(job + "/parts")) return {};
  return job;
}

std::string editFolder(const std::string& jobFolder) { return jobFolder + "/edit"; }
std::string partialDownload(const std::string& jobFolder) { return jobFolder + "/parts/download"; }
std::string uploadSnapshot(const std::string& jobFolder) { return jobFolder + "/parts/upload"; }

std::string stamp(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return plat::format("%lu:%lu:%lld:%lld.%09ld", static_cast<unsigned long>(st.st_dev),
                      static_cast<unsigned long>(st.st_ino), static_cast<long long>(st.st_size),
                      static_cast<long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
}

std::string modifyTimeText(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  struct tm tm{};
  localtime_r(&st.st_mtim.tv_sec, &tm);
  return plat::format("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min, tm.tm_sec);
}

bool existfile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool createfile(const std::string& path) {
  if (existfile(path)) return true;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool deletefile(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

}  // namespace EditFiles
