// Util: the client's entries in the desktop: the sync folder among the file
// manager's favourites and the application's login item.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/system/autostart.h"
#include "platform/system/launcher.h"
#include "platform/system/bookmarks.h"
#include "platform/system/folder_icon.h"
#include "platform/ui/toolkit.h"

namespace {
constexpr const char* kLoginItemName = "Quorva";

// Names a desktop runs rather than shows.
constexpr const char* kRunnableExtensions[] = {
    "desktop", "sh",  "bash", "zsh",  "csh", "ksh", "fish",     "py",  "pl",   "rb",  "php", "lua", "tcl", "js",
    "jar",     "run", "bin",  "appimage", "exe", "msi", "bat", "cmd", "com", "command", "ps1", "vbs", "scr", "deb",
    "rpm",     "flatpakref", "snap"};

bool startsWithHashBang(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char head[2] = {0, 0};
  const bool bang = ::read(fd, head, 2) == 2 && head[0] == '#' && head[1] == '!';
  ::close(fd);
  return bang;
}
}  // namespace

bool Util::isRunnable(const std::string& path) {
  auto st = plat::statFollow(path);
  if (!st || st->isDirectory) return false;
  if (st->mode & 0111) return true;
  std::string name = plat::pathBasename(path);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) {
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* r : kRunnableExtensions) {
      if (ext == r) return true;
    }
  }
  return startsWithHashBang(path);
}

void Util::openFile(const std::string& path) {
  if (isRunnable(path)) {
    plat::launcher()->reveal(path);
  } else {
    plat::launcher()->openURL(path);
  }
}

void Util::addfoldertofavorite(const std::string& path) { plat::sidebarFavorites()->insertFirst(path); }

void Util::deletefolderfavorite(const std::string& path) { plat::sidebarFavorites()->remove(path); }

void Util::setSyncDirectoryIcon(const std::string& path) {
  // Without a metadata service the folder keeps the desktop's icon.
  plat::setFolderCustomIcon(path, plat::pathJoin(resourcePath(), "folder.svg"));
}

void Util::addAppAsLoginItem() { plat::loginItems()->add(kLoginItemName, applicationPath()); }

bool Util::findAppAsLoginItem() { return plat::loginItems()->find(applicationPath()); }

void Util::deleteAppFromLoginItem() { plat::loginItems()->remove(applicationPath()); }

std::string Util::applicationPath() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

std::string Util::findProgram(const std::string& name) {
  auto runnable = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
  };
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return runnable(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  const std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t colon = dirs.find(':', start);
    const std::string_view dir = dirs.substr(start, colon == std::string_view::npos ? dirs.npos : colon - start);
    // An empty entry is the current folder.
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate.append("/").append(name);
    if (runnable(candidate)) return candidate;
    if (colon == std::string_view::npos) return {};
    start = colon + 1;
  }
}

plat::Point Util::getWindowDisplayOriginPoint(plat::Size size) {
  auto toolkit = plat::Toolkit::current();
  const plat::Size screen = toolkit ? toolkit->mainScreenSize() : plat::Size{};
  return {(screen.width - size.width) / 2, 100};
}
