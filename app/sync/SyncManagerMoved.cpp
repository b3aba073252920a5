// A folder moved or renamed on another client reaches this one as the
// deletion of every entry of the old folder and the addition of every entry
// of the new one. When the old folder is on disk in step with its rows and
// the new one holds the same entries with the same content, one local rename
// gives the same result without fetching or copying anything, and takes
// along what was never synced from there (ignored names).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>

#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/sync/SyncLocalShared.h"
#include "app/sync/SyncManager.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/file_util.h"
#include "platform/fs/file_ops.h"

using namespace synclocal;

namespace {

uint64_t secondsOf(const plat::FileStat& st) {
  return static_cast<uint64_t>(std::max<double>(0, st.modified.secondsSince1970));
}

// The part of `path` below `top` ("" when it is not below it).
std::string below(const std::string& path, const std::string& top) {
  return path.size() > top.size() + 1 ? path.substr(top.size() + 1) : std::string();
}

}  // namespace

bool SyncManager::onlyKnown(const std::string& folder,
                            const std::unordered_map<std::string, const SyncFileItem*>& rows) {
  std::vector<std::pair<std::string, std::string>> todo{{noSlash(folder), ""}};
  size_t seen = 0;
  while (!todo.empty()) {
    auto [dir, rel] = std::move(todo.back());
    todo.pop_back();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    bool ok = true;
    while (ok) {
      const dirent* e = ::readdir(d);
      if (!e) break;
      const std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      const std::string full = dir + "/" + n, sub = rel.empty() ? n : rel + "/" + n;
      // An ignored name goes along with everything below it.
      if (isigonore(full)) continue;
      ok = rows.count(plat::foldCase(sub)) == 1 && ++seen <= rows.size();
      if (!ok) break;
      const auto st = plat::statNoFollow(full);
      if (st && st->isDirectory && !st->isSymlink) todo.emplace_back(full, sub);
    }
    ::closedir(d);
    if (!ok) return false;
  }
  return seen == rows.size();
}

bool SyncManager::placeMovedFolder(const CompareItem& item, const std::string& local) {
  const std::string& to = item.webpath;
  if (to.empty() || plat::statNoFollow(local) || !plat::isDirectory(plat::pathDirname(noSlash(local)))) return false;
  // Only a folder that is nothing but a folder: no root, share or link of its own.
  if (linkfolder_.islinkforwebpath(to) || !syncdb_->get_total_version("/" + to + "/").webpath.empty()) return false;
  const std::string name = lastComponent(to), parent = syncpath::parentOf(to);
  // A rename keeps the parent, a move the name: the folders that can have
  // been this one are few, and a big deleted tree elsewhere is never read.
  std::vector<SyncFileItem> candidates;
  for (auto& d : syncdb_->get_all_deleted_dir()) {
    if (d.status != syncstatus::toRemove || plat::foldCase(d.webpath) == plat::foldCase(to)) continue;
    if (plat::foldCase(lastComponent(d.webpath)) != plat::foldCase(name) &&
        plat::foldCase(d.parent) != plat::foldCase(parent)) {
      continue;
    }
    candidates.push_back(std::move(d));
  }
  if (candidates.empty()) return false;
  // What has arrived of the new folder: every entry still to fetch.
  const std::vector<SyncFileItem> fresh = syncdb_->get_below(to);
  if (fresh.empty()) return false;
  for (const auto& r : fresh) {
    if (r.status != syncstatus::toDownload || (r.file && r.filehash.empty())) return false;
  }
  // Two deleted folders that would both fit: which one moved is a guess,
  // and a guess could carry one folder's unsynced names into the other.
  const SyncFileItem* match = nullptr;
  std::vector<SyncFileItem> matchOld;
  for (const auto& d : candidates) {
    if (bOut_) return false;
    if (linkfolder_.islinkforwebpath(d.webpath) || !syncdb_->get_total_version("/" + d.webpath + "/").webpath.empty()) {
      continue;
    }
    const std::string from = getnormalpath(d.webpath);
    const auto top = plat::statNoFollow(from);
    if (!top || !top->isDirectory || top->isSymlink) continue;
    const std::vector<SyncFileItem> old = syncdb_->get_below(d.webpath);
    if (old.size() != fresh.size()) continue;
    std::unordered_map<std::string, const SyncFileItem*> byPath;
    for (const auto& r : old) byPath.emplace(plat::foldCase(below(r.webpath, d.webpath)), &r);
    bool same = byPath.size() == old.size();
    // Every entry of the old folder in step on disk, and one of the same
    // kind and content in the new folder.
    for (size_t i = 0; same && i < fresh.size(); ++i) {
      const SyncFileItem& n = fresh[i];
      const auto at = byPath.find(plat::foldCase(below(n.webpath, to)));
      if (at == byPath.end()) {
        same = false;
        break;
      }
      const SyncFileItem& o = *at->second;
      if (o.status != syncstatus::toRemove || o.file != n.file) {
        same = false;
        break;
      }
      const auto st = plat::statNoFollow(getnormalpath(o.webpath));
      if (!st || st->isSymlink) {
        same = false;
      } else if (!o.file) {
        same = st->isDirectory;
      } else {
        same = st->isRegular && o.filehash == n.filehash && o.size == n.size && st->size == o.size &&
               secondsOf(*st) == o.last;
      }
    }
    // Nothing on disk that the rows do not know (a file the scan has not
    // seen yet), ignored names aside: it would go along unseen.
    if (!same || !onlyKnown(from, byPath)) continue;
    if (match) return false;
    match = &d;
    matchOld = old;
  }
  if (!match) return false;
  const SyncFileItem& d = *match;
  const std::string from = getnormalpath(d.webpath);
  std::unordered_map<std::string, const SyncFileItem*> byPath;
  for (const auto& r : matchOld) byPath.emplace(plat::foldCase(below(r.webpath, d.webpath)), &r);
  {
    // What the page wrote so far stands on its own before the disk changes:
    // the switch below is committed, or undone with the rename, alone.
    if (!syncdb_->pauseBatch()) return false;
    if (!plat::FileOps::shared().moveNoReplace(noSlash(from), noSlash(local))) return false;
    std::vector<Syncdb::MovedRow> rows;
    rows.reserve(fresh.size());
    for (const auto& n : fresh) {
      const SyncFileItem& o = *byPath.at(plat::foldCase(below(n.webpath, to)));
      rows.push_back({n.webpath, o.file ? o.last : Util::filemodifytime(getnormalpath(n.webpath)), n.version});
    }
    SyncFileItem row = newRow(item, syncstatus::synced);
    row.last = Util::filemodifytime(local);
    row.diskversion = item.version;
    if (!syncdb_->switch_moved(d.webpath, row, rows) || !syncdb_->pauseBatch()) {
      // The rows still say the old place: the folder goes back there.
      if (!plat::FileOps::shared().moveNoReplace(noSlash(local), noSlash(from))) {
        QVLog::sharedQVLog().addLogNormalFile(local, "moved folder kept here, rows not switched");
      }
      return false;
    }
    // Out of a view-only share or into one: the files follow the new place.
    const bool readonly = syncshare_.isreadonly(to);
    if (readonly != syncshare_.isreadonly(d.webpath)) setAllFiles(local, readonly);
    ++placedMoves_;
    QVLog::sharedQVLog().addLogNormalFile(local, "moved here from " + from);
    return true;
  }
}
