#include "app/sync/SyncCache.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "app/core/Util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"

namespace fs = std::filesystem;

SyncCache::SyncCache(const std::string& path) : path_(path) { plat::makeDirectories(path_); }

bool SyncCache::isContentHash(const std::string& s) {
  return s.size() == 40 &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string SyncCache::target(const std::string& filehash) const {
  return path_ + "/" + filehash.substr(0, 2) + "/" + filehash;
}

bool SyncCache::addcache(const std::string& file, const std::string& filehash) {
  // A name that is not a hash could climb out of the cache ("../..").
  if (!isContentHash(filehash)) return false;
  plat::makeDirectories(path_ + "/" + filehash.substr(0, 2));
  const auto st = plat::statFollow(file);
  if (!st || !st->isRegular || st->size >= kMaxFile) return false;
  const std::string t = target(filehash);
  std::lock_guard<std::mutex> l(lock_);
  if (plat::fileExists(t)) return true;  // equal hash, equal content
  if (!Util::copyfileneedtemp(file, t)) return false;
  // The copy's time is when it was cached, which is what the trim orders by.
  plat::setModificationTime(t, plat::currentClock().now());
  return true;
}

bool SyncCache::movecache(const std::string& file, const std::string& filehash) {
  bool kept = false;
  if (isContentHash(filehash)) {
    plat::makeDirectories(path_ + "/" + filehash.substr(0, 2));
    const auto st = plat::statNoFollow(file);
    if (st && st->isRegular && st->size < kMaxFile) {
      const std::string t = target(filehash);
      std::lock_guard<std::mutex> l(lock_);
      if (plat::fileExists(t)) {
        kept = true;  // equal hash, equal content
      } else if (::rename(file.c_str(), t.c_str()) == 0) {
        plat::setModificationTime(t, plat::currentClock().now());
        return true;
      } else if (errno == EXDEV && Util::copyfileneedtemp(file, t)) {
        plat::setModificationTime(t, plat::currentClock().now());
        kept = true;
      }
    }
  }
  ::unlink(file.c_str());
  return kept;
}

std::string SyncCache::getcache(const std::string& filehash) {
  if (!isContentHash(filehash)) return {};
  const std::string t = target(filehash);
  std::lock_guard<std::mutex> l(lock_);
  const auto st = plat::statNoFollow(t);
  return st && st->isRegular ? t : std::string();
}

void SyncCache::findfile(const std::string& dir, std::vector<CacheFileItem>& out) const {
  std::error_code ec;
  for (fs::directory_iterator sub(dir, ec), end; !ec && sub != end; sub.increment(ec)) {
    const std::string prefix = sub->path().filename().string();
    // Links are not followed: the cache never reaches outside its folder.
    if (prefix.size() != 2 || prefix[0] == '.' || !sub->is_directory(ec) || sub->is_symlink(ec)) continue;
    std::error_code ec2;
    for (fs::directory_iterator f(sub->path(), ec2), fend; !ec2 && f != fend; f.increment(ec2)) {
      const std::string name = f->path().filename().string();
      if (!isContentHash(name) || name.compare(0, 2, prefix) != 0) continue;
      const auto st = plat::statNoFollow(f->path().string());
      if (!st || !st->isRegular) continue;
      out.push_back({f->path().string(), static_cast<int64_t>(st->size),
                     static_cast<int64_t>(st->modified.secondsSince1970)});
    }
  }
}

void SyncCache::clean(int64_t limit) {
  std::lock_guard<std::mutex> l(lock_);
  std::vector<CacheFileItem> files;
  findfile(path_, files);
  // Newest first; equal times by path, so a trim is repeatable.
  std::sort(files.begin(), files.end(), [](const CacheFileItem& a, const CacheFileItem& b) {
    return a.time != b.time ? a.time > b.time : a.path < b.path;
  });
  int64_t total = 0;
  bool over = false;
  for (const auto& f : files) {
    total += f.size;
    over = over || total >= limit;
    if (over) plat::removeTree(f.path);
  }
}

void SyncCache::clear() {
  std::lock_guard<std::mutex> l(lock_);
  plat::removeTree(path_);
  plat::makeDirectories(path_);
}
