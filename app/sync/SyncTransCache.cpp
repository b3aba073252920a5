#include "app/sync/SyncTransCache.h"

#include <filesystem>
#include <vector>

#include "app/core/Util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> names(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    out.push_back(it->path().filename().string());
  }
  return out;
}

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

}  // namespace

SyncTransCache::SyncTransCache(const std::string& cachepath, Manager* manager)
    : cachepath_(cachepath), cachemanager_(manager) {
  plat::makeDirectories(cachepath_);
  removeerrorfile();
}

void SyncTransCache::checkfinish() {
  const auto entries = names(cachepath_);
  const double start = plat::currentClock().monotonic();
  for (const auto& name : entries) {
    if (plat::currentClock().monotonic() - start > kPassBudget) break;
    if (contains(name, "_ok") && cachemanager_) cachemanager_->finishdownload(cachepath_ + "/" + name);
  }
}

void SyncTransCache::timeremovefile() {
  const auto entries = names(cachepath_);
  const double start = plat::currentClock().monotonic();
  for (const auto& name : entries) {
    if (plat::currentClock().monotonic() - start > kPassBudget) break;
    if (!contains(name, "_ok")) plat::removeTree(cachepath_ + "/" + name);
  }
}

bool SyncTransCache::checkdownloadfinish(const std::string& path) const { return plat::fileExists(path + "_ok"); }

bool SyncTransCache::checkdownloaderror(const std::string& path) const {
  const std::string error = path + "_error";
  const auto st = plat::statNoFollow(error);
  if (!st) return false;
  const auto now = static_cast<int64_t>(plat::currentClock().now().secondsSince1970);
  if (now - static_cast<int64_t>(st->modified.secondsSince1970) > kErrorHold) plat::removeTree(error);
  return true;
}

void SyncTransCache::removeerrorfile() {
  for (const auto& name : names(cachepath_)) {
    if (contains(name, "_error")) plat::removeTree(cachepath_ + "/" + name);
  }
}

bool SyncTransCache::copyfile(const std::string& from, const std::string& to) const {
  return plat::fileExists(to) || Util::copyfile(from, to);
}

void SyncTransCache::clear() { plat::removeTree(cachepath_); }
