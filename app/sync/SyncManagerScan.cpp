// The scans of the local road, the deletion scan and commit: a file is
// deleted from the disk only when its size, time and content are those its
// row says the service holds, and nothing below a root whose top is missing.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "app/sync/SyncLocalShared.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/text_codec.h"
#include "platform/fs/file_ops.h"


using namespace synclocal;

namespace {

// The service holds a newer content than the row knows: one this disk never
// held, which a deletion made here did not cover.
bool newerThanHeld(const FileListItem& e, const SyncFileItem& row) {
  return e.filehash != row.filehash && e.version > row.version;
}

}  // namespace

// ---------------------------------------------------------------------------
// Scans

// A full scan walks the tree folder by folder (depth first, in listing
// order), with the writes of many folders in one transaction unless it
// paces itself.
void SyncManager::scandir(const std::string& given) {
  ScanFolder top;
  top.local = withSlash(given);
  top.webpath = getrelativepath(noSlash(top.local), &top.type);
  std::vector<ScanFolder> stack{top};
  std::optional<Syncdb::Batch> batch;
  size_t written = 0;
  bool first = true;
  auto& clock = plat::currentClock();
  while (!stack.empty() && !bOut_) {
    ScanFolder f = std::move(stack.back());
    stack.pop_back();
    if (!first && bPacing_) {
      batch.reset();  // no transaction held across a pause,
      syncdb_->pauseBatch();  // nor one of a page that this scan is part of
      written = 0;
      clock.sleepFor(0.01);
    }
    first = false;
    if (!batch) batch.emplace(*syncdb_);
    std::vector<ScanFolder> subfolders;
    written += scanFolder(f, subfolders);
    for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) stack.push_back(std::move(*it));
    if (written >= kScanBatch) {
      batch.reset();
      written = 0;
    }
  }
  // A scan stopped short still writes the rows of the folders it found.
  std::vector<SyncFileItem> found;
  for (auto& s : stack) {
    if (s.fresh) found.push_back(std::move(*s.fresh));
  }
  if (!found.empty()) syncdb_->add_new_files(found);
}

size_t SyncManager::scanFolder(const ScanFolder& f, std::vector<ScanFolder>& subfolders) {
  const std::string& folder = f.local;
  const std::string& wfolder = f.webpath;
  const std::vector<std::string> names = entriesOf(folder);
  // The rows of the folder in one read, by folded name; of rows that differ
  // only in letter case a folder's stands, else the first.
  std::unordered_map<std::string, SyncFileItem> rows;
  for (auto& r : syncdb_->get_children(wfolder)) {
    auto [at, added] = rows.try_emplace(plat::foldCase(lastComponent(r.webpath)), std::move(r));
    if (!added && at->second.file && !r.file) at->second = std::move(r);
  }
  std::vector<std::string> folded;
  folded.reserve(names.size());
  for (const auto& name : names) folded.push_back(plat::foldCase(name));
  // Names that differ only in letter case: the one the table knows (else the
  // first) is synced, the others are left out and the user told.
  std::unordered_map<std::string, size_t> chosen;
  for (size_t i = 0; i < names.size(); ++i) {
    auto [it, added] = chosen.emplace(folded[i], i);
    if (added) continue;
    auto row = rows.find(folded[i]);
    if (row != rows.end() && lastComponent(row->second.webpath) == names[i]) it->second = i;
  }
  auto& clock = plat::currentClock();
  // No pattern but "/." and "/~" spans the "/" before a name, so the folder
  // (with its final "/") is judged once and each entry by "/" and its name.
  const bool folderIgnored = isigonore(folder);
  std::vector<SyncFileItem> fresh;
  if (f.fresh) fresh.push_back(*f.fresh);
  std::string slashed;
  size_t written = 0;
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; i < names.size() && !bOut_; ++i) {
    if (i > 0 && i % 20 == 0 && bPacing_) {
      syncdb_->pauseBatch();  // no write lock held across the pause
      clock.sleepFor(0.01);
    }
    slashed.assign("/").append(names[i]);
    if (folderIgnored) continue;
    if (isigonore(slashed)) {
      // A placement cut short by a kill leaves its private copy beside the
      // target, where nothing else would ever remove it.
      plat::FileOps::shared().removeLeftover(folder + names[i]);
      continue;
    }
    std::string path = folder + names[i];
    if (chosen[folded[i]] != i) {
      tell(path, kCaseTwin);
      continue;
    }
    if (pendingTarget(path)) continue;
    const bool blank = names[i].front() == ' ' || names[i].back() == ' ';
    if (blank) path = trimmed(path);
    const std::string name = path.substr(folder.size());
    const std::string w = wfolder.empty() ? name : wfolder + "/" + name;
    const auto lst = dirFd >= 0 && !blank ? plat::statNoFollowAt(dirFd, name) : plat::statNoFollow(path);
    if (!lst || checkfilepath(f.type, w, path, false) != 0) continue;
    const auto st = lst->isSymlink ? plat::statFollow(path) : lst;
    if (!st) continue;
    const bool dir = st->isDirectory;
    if (!unsyncnode_.need_sync(w, dir)) continue;
    const uint64_t m = static_cast<uint64_t>(std::max<double>(0, lst->modified.secondsSince1970));
    auto found = rows.find(blank ? plat::foldCase(name) : folded[i]);
    static const SyncFileItem kNone;
    const SyncFileItem& known = found == rows.end() ? kNone : found->second;
    if (!dir && !lst->isSymlink && st->isRegular && known.status == syncstatus::synced && known.size == st->size &&
        known.last == m && !known.filehash.empty() && known.version == known.diskversion) {
      continue;  // in step as the row says: what compare_file would answer, without writing
    }
    SyncFileItem row = known;
    if (!lst->isSymlink || dir) {
      const KindChange kind = localKindChange(row, path, dir);
      if (kind == KindChange::waiting) {
        ++written;
        continue;  // sent once the old kind is deleted on the service
      }
      if (kind == KindChange::addNew) row = SyncFileItem{}, ++written;
    }
    SyncFileItem n;
    n.webpath = w, n.parent = wfolder, n.last = m, n.status = syncstatus::toUpload;
    if (dir) {
      if (lst->isSymlink) {
        // A link back up the tree would be scanned for ever.
        const std::string target = realPath(path);
        if (target.empty() || atOrUnder(realPath(folder), target)) continue;
        if (bFristScan_) addlink(path);
      }
      std::optional<SyncFileItem> newFolder;
      if (row.status == syncstatus::none) {
        n.file = false;
        newFolder = std::move(n);
      } else if (row.last == m && row.status == syncstatus::toRemove) {
        continue;  // deleted on the service and unchanged here: not entered
      } else if (row.status == syncstatus::toDelete) {
        // Deleted, then back before the deletion reached the service: kept,
        // and what is in it is judged entry by entry.
        syncdb_->update_lasttime(w, m);
        restored(row, path);
        ++written;
      } else if (row.last != m) {
        syncdb_->update_lasttime(w, m);
        ++written;
        if (row.status == syncstatus::toRemove) {
          // Changed here after the service deleted it: made again with
          // everything in it.
          syncdb_->del_dir(w);
          n.file = false;
          syncdb_->add_new_file(n);
        }
      }
      subfolders.push_back({withSlash(path), w, f.type, std::move(newFolder)});
      continue;
    }
    if (lst->isSymlink || !st->isRegular) continue;
    n.file = true, n.size = st->size;
    if (row.status == syncstatus::none) {
      fresh.push_back(std::move(n));
      continue;
    }
    ++written;
    if (row.status == syncstatus::synced) {
      compare_file(path, row, false);
    } else if (row.status == syncstatus::toRemove) {
      if (row.size != st->size || row.last != m) {
        row.size = st->size, row.last = m, row.filehash = "", row.status = syncstatus::toUpload;
        syncdb_->update_file(row);
      }
    } else if (row.status == syncstatus::toDelete) {
      restored(row, path);
    } else if (row.last == 0 && (row.status == syncstatus::toDownload || row.status == syncstatus::downloading)) {
      // Changed here while the service's version is fetched to be kept: the
      // completion takes the file as it is then and uploads it.
      continue;
    } else if (row.last != m) {
      const bool same = Util::getfilehash(path).value_or("") == row.filehash && !row.filehash.empty();
      row.size = st->size, row.last = m;
      if (same) {
        row.status = unsyncnode_.need_sync(w, false) ? syncstatus::synced : syncstatus::excluded;
      } else {
        row.filehash = "", row.status = syncstatus::toUpload;
      }
      syncdb_->update_file(row);
    }
  }
  if (dirFd >= 0) ::close(dirFd);
  // New rows of the folder in one write.
  if (!fresh.empty()) syncdb_->add_new_files(fresh);
  written += fresh.size();
  // Rows of this folder whose item is not in it: what the deletion scan
  // would find here, found while the rows are at hand.
  const std::string here = noSlash(folder);
  for (const auto& [key, r] : rows) {
    if (bOut_) break;
    if (r.webpath.empty() || r.status == syncstatus::excluded) continue;
    if (std::binary_search(names.begin(), names.end(), lastComponent(r.webpath))) continue;
    const std::string local = getnormalpath(r.webpath);
    if (plat::pathDirname(local) != here) continue;  // a root or link of its own elsewhere
    if (markMissing(r, local)) ++written;
  }
  return written;
}

void SyncManager::scanlink(int64_t kind) {
  for (const auto& n : linkfolder_.getlinknodes()) {
    if (bOut_) return;
    const bool org = syncshare_.isorg(n.webpath);
    if (kind == 3 || (kind == 1 && !org) || (kind == 2 && org)) scandir(n.fullpath);
  }
}

bool SyncManager::markMissing(const SyncFileItem& r, const std::string& local) {
  // Unavailable (an unmounted disk) is not deleted; a pending rename or move
  // still has the old name on the service.
  if (!missingTop(local).empty() || pendingInvolves(local)) return false;
  // A change waiting to go up of an item the service has (a version of its
  // own) is still that item there: dropped, its rename or move that the
  // watcher reports next would find no row and send the new name as a new
  // item, and the old one would stay on the service and come back to the
  // other computers. Marked deleted, the rename takes it up or the commit
  // deletes it.
  const bool onService = r.version > 0;
  if (!r.file) {
    if (r.status == syncstatus::synced || (r.status == syncstatus::toUpload && onService)) {
      syncdb_->update_status(r.webpath, syncstatus::toDelete);
    } else if (r.status == syncstatus::toUpload) {
      syncdb_->del_dir(r.webpath);
    } else {
      return false;
    }
    return true;
  }
  if (r.status == syncstatus::uploading) cancel_trans(r.webpath);
  if (r.status == syncstatus::synced) {
    syncdb_->update_status(r.webpath, r.last == 0 ? syncstatus::toDownload : syncstatus::toDelete);
  } else if ((r.status == syncstatus::toUpload || r.status == syncstatus::uploading) && onService) {
    // The hash an upload wrote is of content the service never took: should
    // the file come back, it is no proof of being in step.
    SyncFileItem gone = r;
    gone.filehash.clear();
    gone.status = syncstatus::toDelete;
    syncdb_->update_file(gone);
  } else if (r.status == syncstatus::toUpload || r.status == syncstatus::uploading) {
    syncdb_->del_file(r.webpath);
  } else {
    return false;
  }
  return true;
}

void SyncManager::mark_file_delete(const std::string& webpath) {
  // One read of the folder's rows (folders first) and one listing per local
  // folder instead of a look at every file.
  const auto rows = syncdb_->get_all_upload_by_path(webpath);
  std::map<std::string, std::set<std::string>> listings;
  auto present = [&](const std::string& local) {
    const std::string parent = plat::pathDirname(local);
    auto it = listings.find(parent);
    if (it == listings.end()) {
      const auto names = entriesOf(parent);
      it = listings.emplace(parent, std::set<std::string>(names.begin(), names.end())).first;
    }
    return it->second.count(plat::pathBasename(local)) > 0;
  };
  for (const auto& d : rows) {
    if (d.file || d.webpath.empty() || d.status == syncstatus::excluded) continue;
    if (bOut_) return;
    const std::string local = getnormalpath(d.webpath);
    if (plat::statFollow(local)) {
      mark_file_delete(d.webpath);
    } else {
      markMissing(d, local);
    }
  }
  for (const auto& f : rows) {
    if (!f.file || f.status == syncstatus::excluded) continue;
    if (bOut_) return;
    const std::string local = getnormalpath(f.webpath);
    if (!present(local)) markMissing(f, local);
  }
}

// ---------------------------------------------------------------------------
// The pass's local part and commit

void SyncManager::localPass(bool fullScan) {
  checkRoots();
  if (fullScan) {
    // The scans mark what is missing folder by folder as they go, which is
    // all the deletion scan would find after them.
    scandir(syncpath());
    const std::string org = syncorg();
    if (!org.empty()) scandir(org);
    scanlink(3);
    if (bOut_) return;
  }
  // Folders included again: once their sync-now request is served, what
  // only this disk holds is found.
  std::vector<std::string> scans;
  {
    std::lock_guard<std::mutex> l(scansMutex_);
    scans.swap(pendingScans_);
  }
  const auto waiting = syncdb_->get_sync_now();
  for (const auto& w : scans) {
    bool served = true;
    for (const auto& r : waiting) served = served && !syncpath::same(r.webpath, w);
    if (!served) {
      std::lock_guard<std::mutex> l(scansMutex_);
      pendingScans_.push_back(w);
      continue;
    }
    const std::string local = getnormalpath(w);
    if (plat::isDirectory(local)) scandir(local);
  }
  if (!bOut_) commit();
}

void SyncManager::commit() {
  bOverwrite_ = false;
  std::lock_guard<std::mutex> l(controllock_);
  check_syncdb_delete();
  check_and_clear_copylist();
}

void SyncManager::check_syncdb_delete() {
  std::vector<SyncFileItem> rows = syncdb_->get_all_deleted_dir();
  for (auto& f : syncdb_->get_all_deleted_file()) rows.push_back(std::move(f));
  const auto u = Util::getAppDelegate().userdata();
  Listings listings;
  for (const auto& listed : rows) {
    if (bOut_) return;
    // A name that is not UTF-8 was never on the service: only the row goes.
    if (!plat::isValidUTF8(listed.webpath)) {
      listed.file ? syncdb_->del_file(listed.webpath) : syncdb_->del_dir(listed.webpath);
      continue;
    }
    const std::string local = getnormalpath(listed.webpath);
    // A move or rename the service has not taken yet still involves it.
    if (pendingInvolves(local)) continue;
    const SyncFileItem r = syncdb_->get_single_file(listed.webpath);
    if (r.status != syncstatus::toRemove && r.status != syncstatus::toDelete) continue;
    if (!missingTop(local).empty()) continue;
    // Deleted here as the old kind of what is there now: deleted on the
    // service all the same, and the new kind follows.
    const bool swapped = r.status == syncstatus::toDelete && exists(local) && Util::isdir(local) == r.file;
    if (exists(local) && !swapped) {
      if (r.status == syncstatus::toDelete) {
        restored(r, local);  // deleted here, then back: kept
      } else if (r.file) {
        apply_del(r);
      } else {
        apply_deldisk(r);
      }
      continue;
    }
    if (!unsyncnode_.need_sync(r.webpath, !r.file)) {
      r.file ? syncdb_->del_file(r.webpath) : syncdb_->del_dir(r.webpath);
      continue;
    }
    if (!r.parent.empty() && !exists(getnormalpath(r.parent))) {
      syncdb_->del_dir(r.webpath);  // the parent's own deletion reaches the service
      continue;
    }
    if (!u) return;
    if (!r.file && keepUnseen(r, *u)) continue;
    if (r.file && r.status == syncstatus::toDelete && keepNewer(r, *u, listings)) continue;
    const RetDelFile ret = HTTPEngine::delfile(u->userToken(), r.file ? r.webpath : r.webpath + "/", u->mountID());
    // Already gone on the service is as good as deleted.
    if (ret.status == 200 || ret.error == 40402) {
      QVLog::sharedQVLog().addLogNormalFile(r.webpath, r.file ? "删除云端文件成功：" : "删除云端文件夹成功：");
      r.file ? syncdb_->del_file(r.webpath) : syncdb_->del_dir(r.webpath);
      if (swapped) addLocalItem(r.webpath, local);
      continue;
    }
    const std::string msg = ret.errormsg.value_or("");
    QVLog::sharedQVLog().addLogErrorFile(
        r.webpath, std::string(r.file ? "删除云端文件失败,返回 " : "删除云端文件夹失败,返回 ") + msg + " :");
    if (ret.error == 40101 || ret.error == 40102) {
      u->regettoken();
    } else if (ret.error == 40322) {
      r.file ? syncdb_->del_file(r.webpath) : syncdb_->del_dir(r.webpath);
    }
    // The service can't be reached: the rest waits for the next commit.
    if (ret.status == 0) return;
  }
}

bool SyncManager::keepUnseen(const SyncFileItem& folder, UserData& u) {
  // The service's tree below the folder, parents before children.
  std::vector<FileListItem> entries;
  std::vector<std::string> folders{folder.webpath};
  for (size_t i = 0; i < folders.size(); ++i) {
    RetFileList ret = HTTPEngine::getfilelist(u.userToken(), folders[i], u.mountID(), false);
    if (ret.status != 200) {
      if (ret.error == 40402) {
        if (i == 0) return false;  // gone already
        continue;
      }
      if (ret.error == 40101 || ret.error == 40102) u.regettoken();
      return true;
    }
    for (auto& e : ret.itemlist) {
      e.webpath = folders[i] + "/" + e.filename;
      if (e.dir) folders.push_back(e.webpath);
      entries.push_back(std::move(e));
    }
  }
  // Never held here: no row, another kind, a version still to fetch, or a
  // newer content than the row knows.
  std::set<std::string> keep;
  for (const auto& e : entries) {
    const SyncFileItem row = syncdb_->get_single_file(e.webpath);
    bool unseen = row.status == syncstatus::none || row.file == (e.dir != 0);
    if (!unseen && !e.dir) {
      unseen = row.status == syncstatus::toDownload || row.status == syncstatus::downloading ||
               newerThanHeld(e, row);
    }
    if (!unseen) continue;
    for (std::string p = e.webpath; p.size() > folder.webpath.size(); p = syncpath::parentOf(p)) {
      if (!keep.insert(plat::foldCase(p)).second) break;
    }
  }
  if (keep.empty()) return false;
  const auto kept = [&](const std::string& p) { return keep.count(plat::foldCase(p)) > 0; };
  QVLog::sharedQVLog().addLogNormalFile(folder.webpath, "云端文件夹中有本地未曾同步的内容，只删除已同步的部分：");
  for (const auto& e : entries) {
    const std::string parent = syncpath::parentOf(e.webpath);
    if (kept(e.webpath)) {
      // Fetched again, with the folders above it.
      SyncFileItem row = syncdb_->get_single_file(e.webpath);
      const SyncFileItem fresh = newRow(e, keptStatus(e.webpath, e.dir != 0, syncstatus::toDownload));
      if (row.status == syncstatus::none) {
        syncdb_->add_new_file(fresh);
      } else if (row.status != syncstatus::downloading) {
        if (!e.dir) row.filehash = fresh.filehash, row.size = fresh.size, row.version = fresh.version;
        row.status = fresh.status;
        syncdb_->update_file(row);
      }
      continue;
    }
    // The top of a part that was held here: deleted whole.
    if (!syncpath::same(parent, folder.webpath) && !kept(parent)) continue;
    const RetDelFile ret = HTTPEngine::delfile(u.userToken(), e.dir ? e.webpath + "/" : e.webpath, u.mountID());
    if (ret.status != 200 && ret.error != 40402) continue;  // its row stays; tried again once it is back
    QVLog::sharedQVLog().addLogNormalFile(e.webpath, e.dir ? "删除云端文件夹成功：" : "删除云端文件成功：");
    e.dir ? syncdb_->del_dir(e.webpath) : syncdb_->del_file(e.webpath);
  }
  // Rows below of what the service no longer holds go; the folder comes back.
  std::set<std::string> onService;
  for (const auto& e : entries) onService.insert(plat::foldCase(e.webpath));
  for (const auto& row : syncdb_->get_below(folder.webpath)) {
    if (!onService.count(plat::foldCase(row.webpath))) syncdb_->del_file(row.webpath);
  }
  syncdb_->update_status(folder.webpath, keptStatus(folder.webpath, true, syncstatus::toDownload));
  return true;
}

const std::optional<std::vector<FileListItem>>& SyncManager::listedOnService(const std::string& folder, UserData& u,
                                                                            Listings& listings) {
  auto at = listings.find(plat::foldCase(folder));
  if (at != listings.end()) return at->second;
  RetFileList ret = HTTPEngine::getfilelist(u.userToken(), folder, u.mountID(), false);
  std::optional<std::vector<FileListItem>> entries;
  if (ret.status == 200) {
    entries = std::move(ret.itemlist);
  } else if (ret.error == 40402) {
    entries.emplace();  // the folder itself is gone, and what was in it
  } else if (ret.error == 40101 || ret.error == 40102) {
    u.regettoken();
  }
  return listings.emplace(plat::foldCase(folder), std::move(entries)).first->second;
}

// A file deleted here that another client changed since this one last held
// it: that version was never seen here, and deleting it would lose it. It
// is fetched again instead (the user's deletion only ever covered what this
// disk had).
bool SyncManager::keepNewer(const SyncFileItem& file, UserData& u, Listings& listings) {
  const auto& listed = listedOnService(file.parent, u, listings);
  // Not known: the deletion waits for the next commit.
  if (!listed) return true;
  const std::string name = plat::foldCase(lastComponent(file.webpath));
  for (const auto& e : *listed) {
    if (e.dir || plat::foldCase(e.filename) != name) continue;
    if (!newerThanHeld(e, file)) return false;
    QVLog::sharedQVLog().addLogNormalFile(file.webpath, "云端文件已被修改，不删除，重新下载：");
    CompareItem c = e;
    c.webpath = file.webpath;
    SyncFileItem row = newRow(c, keptStatus(file.webpath, false, syncstatus::toDownload));
    row.last = 0;
    syncdb_->update_file(row);
    return true;
  }
  return false;
}

void SyncManager::apply_del(const SyncFileItem& r) {
  const std::string local = getnormalpath(r.webpath);
  cancel_trans(r.webpath);
  if (!unsyncnode_.need_sync(r.webpath, !r.file)) {
    syncdb_->del_dir(r.webpath);
    return;
  }
  if (!r.file) {
    apply_deldisk(r);
    return;
  }
  if (exists(local)) {
    if (unchangedSynced(r, local)) {
      synccache_->addcache(local, r.filehash);
      removeLocal(local);
    } else {
      // Changed here since the service deleted it: the local version wins.
      restored(r, local);
      tell(local, kUploadAgain);
      return;
    }
  }
  if (!exists(local)) syncdb_->del_file(r.webpath);
}

// A folder the service deleted: only what is in step with the service goes;
// a folder that keeps anything stays and is made on the service again.
void SyncManager::apply_deldisk(const SyncFileItem& r) {
  if (!unsyncnode_.need_sync(r.webpath, !r.file)) return;
  const std::string local = getnormalpath(r.webpath);
  if (r.file) {
    apply_del(r);
    return;
  }
  if (exists(local)) {
    QVLog::sharedQVLog().addLogNormalFile(r.webpath, "正在删除本地文件夹：");
    const std::string folder = withSlash(local);
    bool keeps = false;
    for (const auto& name : entriesOf(folder)) {
      const std::string path = folder + name;
      const std::string w = r.webpath + "/" + name;
      SyncFileItem child = syncdb_->get_single_file(w);
      const auto st = plat::statNoFollow(path);
      if (st && st->isDirectory) {
        if (child.status == syncstatus::none || child.file) {
          keeps = true;  // never synced: the user's
          continue;
        }
        if (child.status != syncstatus::toRemove) syncdb_->update_status(w, syncstatus::toRemove);
        child.status = syncstatus::toRemove;
        apply_deldisk(child);
        keeps = keeps || exists(path);
        continue;
      }
      if (child.status == syncstatus::uploading || child.status == syncstatus::toUpload ||
          child.status == syncstatus::toReupload || !unchangedSynced(child, path)) {
        if (child.status == syncstatus::uploading) {
          // Its transfer stopped with the folder's deletion: the row says
          // what the disk holds, not what the service has, so it goes again.
          cancel_trans(w);
          syncdb_->update_status(w, keptStatus(w, false, syncstatus::toUpload));
        } else if (child.status != syncstatus::none && child.status != syncstatus::toUpload &&
                   child.status != syncstatus::toReupload) {
          SyncFileItem up = child;
          restored(up, path);
        }
        keeps = true;
        continue;
      }
      QVLog::sharedQVLog().addLogNormalFile(w, "正在删除本地文件：");
      synccache_->addcache(path, child.filehash);
      removeLocal(path);
      if (!exists(path)) {
        QVLog::sharedQVLog().addLogNormalFile(w, "删除本地文件成功：");
        syncdb_->del_file(w);
      }
    }
    if (keeps) {
      syncdb_->update_status(r.webpath, syncstatus::toUpload);
      tell(local, kKept);
      return;
    }
    removeLocal(local);
  }
  if (!exists(local)) {
    QVLog::sharedQVLog().addLogNormalFile(r.webpath, "删除本地文件夹成功：");
    syncshare_.remove(r.webpath, false);
    syncdb_->del_dir(r.webpath);
  }
}

void SyncManager::setConfirm(std::function<bool(const std::string&)> confirm) {
  std::lock_guard<std::mutex> l(hooksMutex_);
  confirm_ = std::move(confirm);
}

void SyncManager::reset(const std::string& path) {
  const auto confirm = hookOf(confirm_);
  const std::string name = NSStringExpand::getFilename(noSlash(path));
  if (!confirm || !confirm("是否确定立即重新同步[" + name + "]文件夹？")) return;
  std::string w;
  int64_t type = 0;
  if (!path.empty()) w = getrelativepath(noSlash(path), &type);
  switch (type) {
    case 0: syncdb_->inset_sync_now(w, 0); break;
    case 1:
      if (w.empty()) {
        syncdb_->inset_sync_now(w, 1);
      } else if (syncdb_->get_single_file(w).status != syncstatus::none) {
        syncdb_->inset_sync_now(w, 0);
      }
      break;
    case 2:
      if (w.empty()) {
        for (const auto& s : syncshare_.getallorg()) {
          if (!linkfolder_.islinkforwebpath(s.webpath)) syncdb_->inset_sync_now(s.webpath, 0);
        }
      } else if (syncdb_->get_single_file(w).status != syncstatus::none) {
        syncdb_->inset_sync_now(w, 0);
      }
      break;
    case 3: syncdb_->inset_sync_now(w, 3); break;
    default: return;
  }
  bSyncnow_ = true;
}
