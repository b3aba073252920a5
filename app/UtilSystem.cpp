// Util: the client's entries in the desktop: the sync folder among the file
// manager's favourites and the application's login item.
#include <unistd.h>

#include <vector>

#include "app/Util.h"
#include "platform/system/autostart.h"
#include "platform/system/bookmarks.h"
#include "platform/ui/toolkit.h"

namespace {
constexpr const char* kLoginItemName = "Quorva";
}

void Util::addfoldertofavorite(const std::string& path) { plat::sidebarFavorites()->insertFirst(path); }

void Util::deletefolderfavorite(const std::string& path) { plat::sidebarFavorites()->remove(path); }

void Util::addAppAsLoginItem() { plat::loginItems()->add(kLoginItemName, applicationPath()); }

bool Util::findAppAsLoginItem() { return plat::loginItems()->find(applicationPath()); }

void Util::deleteAppFromLoginItem() { plat::loginItems()->remove(applicationPath()); }

std::string Util::applicationPath() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
}

plat::Point Util::getWindowDisplayOriginPoint(plat::Size size) {
  auto toolkit = plat::Toolkit::current();
  const plat::Size screen = toolkit ? toolkit->mainScreenSize() : plat::Size{};
  return {(screen.width - size.width) / 2, 100};
}
