// What the files of the local road share: path helpers and the texts the
// user is told. Internal to the sync engine.
#pragma once

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/sync/SyncManager.h"
#include "app/sync/Syncdb.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/file_util.h"

namespace synclocal {

inline std::string withSlash(std::string p) {
  if (p.empty() || p.back() != '/') p += '/';
  return p;
}

inline std::string noSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// `path` is `top` or lies below it (local paths, letters as they are).
inline bool atOrUnder(const std::string& path, const std::string& top) {
  const std::string p = noSlash(path), t = noSlash(top);
  return p == t || (p.size() > t.size() && p.compare(0, t.size(), t) == 0 && p[t.size()] == '/');
}

inline bool exists(const std::string& path) { return plat::statNoFollow(path).has_value(); }

inline std::string lastComponent(const std::string& webpath) {
  const size_t at = webpath.rfind('/');
  return at == std::string::npos ? webpath : webpath.substr(at + 1);
}

// The entries of a folder, sorted so that every scan meets them alike.
inline std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(std::move(n));
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// The folder as the disk resolves it (links, "..", doubled slashes); for a
// path not made yet, its nearest existing parent resolved and the rest kept.
inline std::string resolvedPath(const std::string& path) {
  std::string head = noSlash(path), tail;
  while (!head.empty() && head != "/") {
    const std::string r = realPath(head);
    if (!r.empty()) return noSlash(r + tail);
    const size_t at = head.rfind('/');
    if (at == std::string::npos) break;
    tail = head.substr(at) + tail;
    head = at == 0 ? "/" : head.substr(0, at);
  }
  return noSlash(path);
}

// Two local folders overlap (one is the other or lies inside it), compared
// as they are, with letter case ignored (a disk may ignore it) and as the
// disk resolves them.
inline bool foldersOverlap(const std::string& a, const std::string& b) {
  const auto either = [](const std::string& x, const std::string& y) { return atOrUnder(x, y) || atOrUnder(y, x); };
  return either(a, b) || either(plat::foldCase(a), plat::foldCase(b)) || either(resolvedPath(a), resolvedPath(b));
}

// Every regular file below the folder whose path is not ignored, through
// folders but not through links to them.
inline void eachFileBelow(const std::string& folder, const std::function<void(const std::string&)>& onFile, int depth = 0) {
  const std::string f = withSlash(noSlash(folder));
  for (const auto& name : entriesOf(f)) {
    const std::string path = f + name;
    if (SyncManager::isigonore(path)) continue;
    const auto st = plat::statNoFollow(path);
    if (!st) continue;
    if (st->isDirectory) {
      if (depth < 256) eachFileBelow(path, onFile, depth + 1);
    } else if (st->isRegular) {
      onFile(path);
    }
  }
}

inline uint64_t nowStamp() { return static_cast<uint64_t>(std::max<int64_t>(0, Syncdb::now())); }

inline constexpr const char* kCaseTwin = "文件名仅大小写不同，未同步：";
inline constexpr const char* kKept = "文件未上传或已修改，已保留在本地：";
inline constexpr const char* kUnavailable = "同步目录不存在（磁盘未连接？），其中的文件不会被删除：";
inline constexpr const char* kBack = "同步目录已恢复，重新检查：";
inline constexpr const char* kRenameBack = "只能查看此共享文件夹，已恢复原名：";
inline constexpr const char* kFetchAgain = "只能查看此共享文件夹，将重新下载：";
inline constexpr const char* kUploadAgain = "云端文件已删除，本地文件已修改，将重新上传";

}  // namespace synclocal
