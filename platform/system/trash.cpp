#include "platform/system/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/system/path_escape.h"
#include "platform/system/replaceable.h"

namespace plat {

namespace {

Replaceable<Trash, FreedesktopTrash> gTrash;

std::string deletionDate() {
  time_t t = static_cast<time_t>(std::floor(currentClock().now().secondsSince1970));
  struct tm tm{};
  localtime_r(&t, &tm);
  return format("%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
}

// "report.pdf" -> "report", ".pdf"; a leading dot is part of the stem.
void splitName(const std::string& name, std::string& stem, std::string& ext) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    stem = name;
    ext.clear();
  } else {
    stem = name.substr(0, dot);
    ext = name.substr(dot);
  }
}

bool ensureDir(const std::string& dir, Error* error) {
  if (!makeDirectories(dir, 0700, error)) return false;
  return true;
}

// Moves `path` into the trash folder `trashDir`; `infoPath` is what goes
// into "Path=" (absolute for the home trash, relative to the top folder for
// a top-folder trash).
bool trashInto(const std::string& trashDir, const std::string& path, const std::string& infoPath,
               std::string* trashedPath, Error* error, int* renameErrno) {
  std::string filesDir = trashDir + "/files", infoDir = trashDir + "/info";
  if (!ensureDir(filesDir, error) || !ensureDir(infoDir, error)) return false;
  std::string name = pathBasename(path), stem, ext;
  splitName(name, stem, ext);
  std::string content = "[Trash Info]\nPath=" + trashInfoEscape(infoPath) + "\nDeletionDate=" + deletionDate() + "\n";
  for (int n = 1; n < 10000; ++n) {
    std::string candidate = n == 1 ? name : format("%@.%d%@", stem, n, ext);
    std::string info = infoDir + "/" + candidate + ".trashinfo";
    std::string target = filesDir + "/" + candidate;
    // The info file is made exclusively first: it reserves the name against
    // another program trashing the same name at the same moment.
    int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      setError(error, posixError(errno, "create", info));
      return false;
    }
    if (statNoFollow(target)) {  // a leftover without info: keep it
      close(fd);
      unlink(info.c_str());
      continue;
    }
    bool ok = writeAll(fd, content.data(), content.size()) && fsync(fd) == 0;
    int e = errno;
    ok = (close(fd) == 0) && ok;
    if (!ok) {
      unlink(info.c_str());
      setError(error, posixError(e, "write", info));
      return false;
    }
    if (rename(path.c_str(), target.c_str()) != 0) {
      e = errno;
      unlink(info.c_str());
      if (renameErrno) *renameErrno = e;
      setError(error, posixError(e, "rename", path));
      return false;
    }
    if (trashedPath) *trashedPath = target;
    return true;
  }
  setError(error, posixError(EEXIST, "trash", path));
  return false;
}

// The mount point of the file system that holds `path` (its parent folder).
std::string topDirectory(const std::string& path) {
  std::string dir = pathDirname(path);
  auto st = statFollow(dir);
  if (!st) return {};
  while (dir != "/" && !dir.empty()) {
    std::string up = pathDirname(dir);
    if (up.empty()) up = "/";
    auto ust = statFollow(up);
    if (!ust || ust->device != st->device) break;
    dir = up;
  }
  return dir;
}

std::string topTrashDirectory(const std::string& top) {
  std::string base = top == "/" ? "" : top;
  std::string shared = base + "/.Trash";
  struct stat st{};
  if (lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
    return format("%@/%u", shared, static_cast<unsigned>(getuid()));
  }
  return format("%@/.Trash-%u", base, static_cast<unsigned>(getuid()));
}

}  // namespace

std::string trashInfoEscape(const std::string& path) { return percentEscapePath(path); }

std::string FreedesktopTrash::homeTrashDirectory() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') return std::string(dataHome) + "/Trash";
  return homeDirectory() + "/.local/share/Trash";
}

bool FreedesktopTrash::moveToTrash(const std::string& given, std::string* trashedPath, Error* error) {
  std::string path = given;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path[0] != '/' || pathBasename(path).empty() || pathBasename(path) == "." ||
      pathBasename(path) == "..") {
    setError(error, posixError(EINVAL, "trash", given));
    return false;
  }
  if (!statNoFollow(path)) {
    setError(error, posixError(ENOENT, "trash", path));
    return false;
  }
  int renameErrno = 0;
  std::string home = homeTrashDirectory();
  if (trashInto(home, path, path, trashedPath, error, &renameErrno)) return true;
  if (renameErrno != EXDEV) return false;

  // Another file system: its own trash, with the path relative to its top.
  std::string top = topDirectory(path);
  if (top.empty()) return false;
  std::string relative = top == "/" ? path.substr(1) : path.substr(top.size() + 1);
  return trashInto(topTrashDirectory(top), path, relative, trashedPath, error, nullptr);
}

std::shared_ptr<Trash> trash() { return gTrash.get(); }

void setTrash(std::shared_ptr<Trash> t) { gTrash.set(std::move(t)); }

}  // namespace plat
