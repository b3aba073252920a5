// The local road of the sync engine: the watchers and the events they
// report, and renames and moves sent to the service with the replay of
// refused ones. The scans and commit are in SyncManagerScan.cpp, the
// selective-sync changes and file states in SyncManagerFileState.cpp, the
// rule that gives each top-level name one root in SyncManagerRoots.cpp.
//
// What never happens here, whatever the events say: nothing is deleted (on
// the disk or on the service) below a root whose top is missing; a path
// without a row is never renamed on the service.
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
#include "platform/fs/file_ops.h"


using namespace synclocal;

// ---------------------------------------------------------------------------
// Small helpers

std::string SyncManager::trimmed(const std::string& path) {
  if (!Util::findspace(path)) return path;
  const std::string to = Util::replacespace(path);
  if (Util::existfile(to)) return path;  // never over another file
  return plat::FileOps::shared().move(path, to) ? to : path;
}

bool SyncManager::isEcho(const std::string& webpath, uint64_t size, uint64_t last) const {
  auto it = copylist_.find(webpath);
  return it != copylist_.end() && it->second.filesize == size && it->second.lasttime == last;
}

std::string SyncManager::userName() const {
  const auto u = Util::getAppDelegate().userdata();
  return u ? u->userWebName().value_or("") : "";
}

int64_t SyncManager::userId() const {
  const auto u = Util::getAppDelegate().userdata();
  return u ? u->userID() : 0;
}

bool SyncManager::unchangedSynced(const SyncFileItem& row, const std::string& local) {
  if (row.status == syncstatus::none || !row.file || row.filehash.empty()) return false;
  const auto st = plat::statNoFollow(local);
  if (!st || !st->isRegular || st->size != row.size || Util::filemodifytime(local) != row.last) return false;
  // Size and second are no proof: an edit in the same second at the same
  // size differs in content.
  return Util::getfilehash(local).value_or("") == row.filehash;
}

void SyncManager::restored(SyncFileItem row, const std::string& local) {
  const auto st = plat::statNoFollow(local);
  if (!st) return;
  const bool kept = unsyncnode_.need_sync(row.webpath, !row.file);
  if (!st->isRegular) {
    // A folder comes back as one to make on the service again (making an
    // existing folder there is harmless).
    syncdb_->update_status(row.webpath, kept ? syncstatus::toUpload : syncstatus::excluded);
    return;
  }
  // The hash of a row on its way up (or asked up again) is of what is being
  // sent, which the service has not taken: the same content on disk is no
  // sign of being in step there.
  const bool sending = row.status == syncstatus::uploading || row.status == syncstatus::toReupload;
  if (!sending && unchangedSynced(row, local)) {
    syncdb_->update_status(row.webpath, kept ? syncstatus::synced : syncstatus::excluded);
    return;
  }
  row.file = true, row.size = st->size, row.last = Util::filemodifytime(local), row.filehash.clear();
  row.status = kept ? syncstatus::toUpload : syncstatus::excluded;
  syncdb_->update_file(row);
}

SyncManager::KindChange SyncManager::localKindChange(const SyncFileItem& row, const std::string& path, bool dir,
                                                     bool cancel) {
  if (row.status == syncstatus::none || row.file != dir) return KindChange::none;
  const std::string& w = row.webpath;
  if (row.status == syncstatus::toDelete) return KindChange::waiting;  // its deletion is on its way
  // The service holds the row's kind: it was in step here, or it is the
  // local side's to send (a local version wins over the service's). A newer
  // version on its way down, or an excluded item, is never deleted for it.
  const bool inStepHere = row.status == syncstatus::synced || row.status == syncstatus::toUpload ||
                          row.status == syncstatus::uploading || row.status == syncstatus::toReupload;
  if (!inStepHere && row.status != syncstatus::toRemove) return KindChange::none;
  const bool neverSent = row.status != syncstatus::synced && row.version == 0 && row.diskversion == 0;
  if (cancel) cancel_trans(w);
  if (!row.file) {
    removelink(path);
    syncdb_->del_total_version(w);
    syncshare_.remove(w, false);
  }
  if (neverSent || row.status == syncstatus::toRemove) {
    // Nothing of the old kind to delete on the service (or it is gone there).
    syncdb_->del_dir(w);
    return KindChange::addNew;
  }
  syncdb_->update_diskdelete(w);
  if (!row.file) syncdb_->mark_del_by_parent(w);
  syncdb_->update_membername(w, userName(), userId());
  QVLog::sharedQVLog().addLogNormalFile(w, dir ? "文件已换成同名文件夹，先删除云端文件：" : "文件夹已换成同名文件，先删除云端文件夹：");
  bSyncnow_ = true;
  return KindChange::waiting;
}

void SyncManager::addLocalItem(const std::string& w, const std::string& local) {
  const auto st = plat::statFollow(local);
  if (!st || (!st->isDirectory && !st->isRegular)) return;
  SyncFileItem n;
  n.webpath = w;
  n.parent = syncpath::parentOf(w);
  n.file = !st->isDirectory;
  n.status = unsyncnode_.need_sync(w, st->isDirectory) ? syncstatus::toUpload : syncstatus::excluded;
  n.size = n.file ? st->size : 0;
  n.last = Util::filemodifytime(local);
  n.membername = userName();
  n.memberid = userId();
  syncdb_->add_new_file(n);
  if (!n.file) {
    addlink(local);
    scandir(withSlash(local));
  }
  bSyncnow_ = true;
}

bool SyncManager::caseTwin(const std::string& path, const std::string& webpath, const SyncFileItem& row) {
  if (row.status == syncstatus::none || row.webpath == webpath) return false;
  const std::string other = getnormalpath(row.webpath);
  const auto a = plat::statNoFollow(other), b = plat::statNoFollow(path);
  if (!a || (b && a->inode == b->inode && a->device == b->device)) return false;  // one item, two spellings
  tell(path, kCaseTwin);
  return true;
}
// ---------------------------------------------------------------------------
// Roots that are not there

std::string SyncManager::missingTop(const std::string& local) {
  std::string top;
  for (const auto& n : linkfolder_.getlinknodes()) {
    if (atOrUnder(local, n.fullpath)) {
      top = noSlash(n.fullpath);
      break;
    }
  }
  if (top.empty()) {
    const std::string org = syncorg(), personal = syncpath();
    if (!org.empty() && atOrUnder(local, org)) {
      top = noSlash(org);
    } else if (atOrUnder(local, personal)) {
      top = noSlash(personal);
    } else {
      return {};
    }
  }
  std::string missing;
  if (!plat::isDirectory(top)) {
    missing = top;
  } else {
    // A symbolic link to a folder on the way down whose target is gone is a
    // root of its own that is not there.
    const std::string rest = noSlash(local).substr(top.size());
    std::string at = top;
    for (size_t i = 1; i <= rest.size() && missing.empty(); ++i) {
      if (i < rest.size() && rest[i] != '/') continue;
      at = top + rest.substr(0, i);
      const auto st = plat::statNoFollow(at);
      if (st && st->isSymlink && !plat::isDirectory(at) && Util::getlinksrcpath(at)) missing = at;
    }
  }
  if (missing.empty()) return {};
  bool fresh = false;
  {
    std::lock_guard<std::mutex> l(rootsMutex_);
    if (std::find(unavailable_.begin(), unavailable_.end(), missing) == unavailable_.end()) {
      unavailable_.push_back(missing);
      fresh = true;
    }
  }
  if (fresh) tell(missing, kUnavailable);
  return missing;
}

std::vector<std::string> SyncManager::unavailableRoots() {
  std::lock_guard<std::mutex> l(rootsMutex_);
  return unavailable_;
}

// A root that is back is scanned again; what its rows say was there and is
// not is fetched again rather than deleted (the disk may have come back
// only in part, or empty).
void SyncManager::checkRoots() {
  std::vector<std::string> back;
  {
    std::lock_guard<std::mutex> l(rootsMutex_);
    for (auto it = unavailable_.begin(); it != unavailable_.end();) {
      if (plat::isDirectory(*it)) {
        back.push_back(*it);
        it = unavailable_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& top : back) {
    tell(top, kBack);
    for (const auto& h : handlers()) {
      if (noSlash(h->reportedRoot()) == top) {
        h->startMonitoringThread();
        h->setWatchingPaths(bStart_);
      }
    }
    int64_t type = -1;
    const std::string w = getrelativepath(top, &type);
    {
      std::lock_guard<std::mutex> l(controllock_);
      refetchMissing(w, top);
    }
    scandir(top);
  }
}

void SyncManager::refetchMissing(const std::string& webpath, const std::string& top) {
  for (const auto& row : syncdb_->get_all_upload_by_path(webpath)) {
    if (bOut_) return;
    if (row.webpath.empty()) continue;
    const std::string local = getnormalpath(row.webpath);
    if (!atOrUnder(local, top)) continue;
    if (!row.file) {
      if (exists(local)) {
        refetchMissing(row.webpath, top);
      } else if (row.status == syncstatus::synced || row.status == syncstatus::toDelete) {
        syncdb_->update_dir_status(row.webpath, syncstatus::toDownload);
      }
      continue;
    }
    if (exists(local)) continue;
    if (row.status == syncstatus::synced || row.status == syncstatus::toDelete) {
      syncdb_->update_status(row.webpath, syncstatus::toDownload);
      syncdb_->update_lasttime(row.webpath, 0);
    }
  }
}

// ---------------------------------------------------------------------------
// Watchers

std::shared_ptr<Directoryhandler> SyncManager::watch(const std::string& path, const std::string& reportAs) {
  auto h = std::make_shared<Directoryhandler>(path, this);
  if (!reportAs.empty()) h->setPath(path, reportAs);
  h->setBacklogLimit(watcherBacklog_.load());
  h->setWatchLimit(watcherLimit_.load());
  h->startMonitoringThread();
  // Made before start: silent until start (its first pass scans everything).
  h->setWatchingPaths(bStart_);
  std::lock_guard<std::mutex> l(handlersMutex_);
  handlerlist_.push_back(h);
  return h;
}

// Each root and linked folder gets a watcher unless one watches it already.
void SyncManager::watchRoots() {
  // The run thread (a new team root) and start may both get here: one
  // watcher per root.
  std::lock_guard<std::mutex> w(watchMutex_);
  std::vector<std::string> roots{syncpath()};
  const std::string org = syncorg();
  if (!org.empty() && plat::isDirectory(org)) roots.push_back(org);
  for (const auto& r : roots) {
    bool watched = false;
    for (const auto& h : handlers()) watched = watched || noSlash(h->srcPath()) == noSlash(r);
    if (!watched) watch(r, "");
  }
}

void SyncManager::watchLinks() {
  std::lock_guard<std::mutex> w(watchMutex_);
  for (const auto& n : linkfolder_.getlinknodes()) {
    bool watched = false;
    for (const auto& h : handlers()) watched = watched || noSlash(h->srcPath()) == noSlash(n.fullpath);
    if (!watched) watch(withSlash(n.fullpath), "");
  }
}

std::vector<std::shared_ptr<Directoryhandler>> SyncManager::handlers() {
  std::lock_guard<std::mutex> l(handlersMutex_);
  return handlerlist_;
}

bool SyncManager::watching(const std::string& root) {
  const std::string r = noSlash(root);
  const std::string personal = syncpath(), org = syncorg();
  if (atOrUnder(r, personal) || (!org.empty() && atOrUnder(r, org))) return true;
  for (const auto& n : linkfolder_.getlinknodes()) {
    if (noSlash(n.fullpath) == r) return true;
  }
  return false;
}

void SyncManager::addlink(const std::string& path) {
  if (!Util::checklinkdir(path)) return;
  const std::string dest = realPath(path);
  if (dest.empty() || !plat::isDirectory(dest)) return;
  // A link to a folder holding the link would watch (and scan) itself.
  if (atOrUnder(noSlash(path), dest)) return;
  {
    std::lock_guard<std::mutex> l(handlersMutex_);
    for (auto& h : handlerlist_) {
      if (noSlash(h->srcPath()) == dest) {
        h->renamePath(path);
        h->setWatchingPaths(true);
        return;
      }
      if (!h->dstPath().empty() && noSlash(h->dstPath()) == noSlash(path)) {
        h->setWatchingPaths(true);
        return;
      }
    }
  }
  watch(dest, noSlash(path));
}

void SyncManager::removelink(const std::string& path) {
  std::lock_guard<std::mutex> l(handlersMutex_);
  for (auto& h : handlerlist_) {
    if (!h->dstPath().empty() && noSlash(h->dstPath()) == noSlash(path)) {
      h->setWatchingPaths(false);
      return;
    }
  }
}

// Every watcher reporting at or below the old path reports below the new one.
void SyncManager::renamelink(const std::string& oldpath, const std::string& newpath) {
  const std::string from = noSlash(oldpath), to = noSlash(newpath);
  std::lock_guard<std::mutex> l(handlersMutex_);
  for (auto& h : handlerlist_) {
    const std::string d = h->dstPath();
    if (d.empty() || !atOrUnder(d, from)) continue;
    h->renamePath(to + noSlash(d).substr(from.size()));
  }
}

void SyncManager::exitlink() {
  std::vector<std::shared_ptr<Directoryhandler>> gone;
  {
    std::lock_guard<std::mutex> l(handlersMutex_);
    gone.swap(handlerlist_);
    gone.insert(gone.end(), retired_.begin(), retired_.end());
    retired_.clear();
  }
  // Outside the lists' lock: ending a watcher waits for its running batch,
  // which may itself need the list.
  for (auto& h : gone) h->stopMonitoring();
}

size_t SyncManager::handlerCount() {
  std::lock_guard<std::mutex> l(handlersMutex_);
  return handlerlist_.size();
}

void SyncManager::drainWatchers() {
  for (auto& h : handlers()) h->drain();
}

int64_t SyncManager::watcherTasks() {
  int64_t n = 0;
  for (auto& h : handlers()) n += h->tasks();
  return n;
}

int64_t SyncManager::watcherRescans() {
  int64_t n = 0;
  for (auto& h : handlers()) n += h->rescans();
  return n;
}

int64_t SyncManager::watcherOverflows() {
  int64_t n = 0;
  for (auto& h : handlers()) n += h->overflows();
  return n;
}

void SyncManager::setWatcherBacklog(size_t events) {
  watcherBacklog_ = events;
  for (auto& h : handlers()) h->setBacklogLimit(events);
}

void SyncManager::rescanroot(const std::string& root) {
  std::lock_guard<std::mutex> l(controllock_);
  if (!watching(root) || !missingTop(withSlash(root)).empty()) return;
  int64_t type = -1;
  const std::string w = getrelativepath(noSlash(root), &type);
  scandir(root);
  mark_file_delete(w);
  bSyncnow_ = true;
}

void SyncManager::watchlimit(const std::string& root) {
  if (watchLimitTold_.exchange(true)) return;
  QVLog::sharedQVLog().addLogErrorFile(root, "监视的文件夹数量已达系统上限：");
  notice("同步文件夹中的文件夹太多，已达到系统可监视的上限，部分文件夹的变化要到下次扫描时才会同步");
}

// ---------------------------------------------------------------------------
// Events: additions, changes, deletions

bool SyncManager::eventadd(const std::string& given) {
  if (isigonore(given) || !plat::statNoFollow(given)) return false;
  // The new name of a rename the service has not taken yet: the old row
  // stands for it until then.
  if (pendingTarget(given)) return true;
  const std::string path = trimmed(given);
  int64_t type = -1;
  const std::string w = getrelativepath(path, &type);
  if (checkfilepath(type, w, path, true) != 0) return false;
  const bool dir = Util::isdir(path);
  if (!unsyncnode_.need_sync(w, dir)) return false;
  SyncFileItem row = syncdb_->get_single_file(w);
  if (caseTwin(path, w, row)) return false;
  switch (localKindChange(row, path, dir)) {
    case KindChange::waiting:
      return true;  // the new kind is sent once the old one is deleted
    case KindChange::addNew:
      row = SyncFileItem{};
      break;
    case KindChange::none:
      break;
  }
  const uint64_t m = Util::filemodifytime(path);
  uint64_t size = 0;
  if (dir) {
    addlink(path);
    scandir(path);
  } else {
    size = Util::filesize(path);
  }
  // Our own write, while a row stands for it. Without one (its row moved on
  // with a rename or move that the disk made before our write landed) the
  // file is nobody's: it is a new item, never left unsynced.
  if (row.status != syncstatus::none && isEcho(w, size, m)) return true;
  for (size_t at = w.find('/'); at != std::string::npos; at = w.find('/', at + 1)) {
    // A file row above is the old kind of a folder here now: its deletion stays.
    const SyncFileItem up = syncdb_->get_single_file(w.substr(0, at));
    if (up.status != syncstatus::none && up.file) break;
    syncdb_->reset_del(w.substr(0, at));
  }
  if (row.status == syncstatus::toDelete) {
    restored(row, path);  // deleted, then back before the deletion was sent
  } else if (row.status == syncstatus::toRemove) {
    // The service deleted it; a local change since wins and is uploaded.
    if (!dir && (row.size != size || row.last != m)) restored(row, path);
  } else if (row.status != syncstatus::none) {
    row.membername = userName(), row.memberid = userId();
    if (!compare_file(path, row, false) && !dir) cancel_trans(w);
  } else {
    SyncFileItem n;
    n.webpath = w;
    n.parent = syncpath::parentOf(w);
    n.file = !dir;
    n.status = syncstatus::toUpload;
    n.size = size;
    n.last = m;
    n.membername = userName();
    n.memberid = userId();
    syncdb_->add_new_file(n);
  }
  bSyncnow_ = true;
  return true;
}

bool SyncManager::eventupdate(const std::string& path) {
  if (isigonore(path)) return false;
  // Judged after the item went (its batch waited for the lock): its
  // deletion, or the rename or move that took it, is an event of its own
  // that follows. Judged now, the row would say an empty file waits to go up.
  if (!plat::statNoFollow(path)) return false;
  if (pendingTarget(path)) return true;
  int64_t type = -1;
  const std::string w = getrelativepath(path, &type);
  if (!unsyncnode_.need_sync(w, Util::isdir(path)) || checkfilepath(type, w, path, false) != 0) return false;
  SyncFileItem row = syncdb_->get_single_file(w);
  if (row.status == syncstatus::none) return eventadd(path);
  if (caseTwin(path, w, row)) return false;
  if (row.status == syncstatus::toDelete || row.status == syncstatus::toRemove) return eventadd(path);
  if (row.file == Util::isdir(path)) return eventadd(path);  // a change of kind
  if (!row.file) return true;
  if (isEcho(w, Util::filesize(path), Util::filemodifytime(path))) return true;
  if (!compare_modify(path, row)) {
    cancel_trans(w);
    bSyncnow_ = true;
  }
  return true;
}

bool SyncManager::eventdel(const std::string& path) {
  if (isigonore(path)) return false;
  int64_t type = -1;
  const std::string w = getrelativepath(path, &type);
  if (checkfilepath(type, w, path, false) != 0) return false;
  // A root gone as a whole (an unmounted disk, a removed link target) is
  // unavailable, not emptied.
  if (!missingTop(path).empty()) return true;
  SyncFileItem row = syncdb_->get_single_file(w);
  if (row.status != syncstatus::none && caseTwin(path, w, row)) return true;  // the other spelling stays
  cancel_trans(w);
  if (row.status != syncstatus::none && unsyncnode_.need_sync(w, !row.file) && !plat::statNoFollow(path)) {
    syncdb_->update_diskdelete(w);
    if (!row.file) {
      removelink(path);
      syncdb_->mark_del_by_parent(w);
      syncdb_->del_total_version(w);
      syncshare_.remove(w, false);
    }
    syncdb_->update_membername(w, userName(), userId());
    bSyncnow_ = true;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Renames and moves

void SyncManager::queueMove(std::vector<movefile_stx>& list, const std::string& oldpath, const std::string& newpath) {
  std::lock_guard<std::mutex> g(listsMutex_);
  for (const auto& e : list) {
    if (e.oldpath == oldpath && e.newpath == newpath) return;
  }
  list.push_back({oldpath, newpath});
  anyPending_ = true;
}

bool SyncManager::eventrename(const std::string& oldpath, const std::string& newpath, bool push) {
  return renameStep(oldpath, newpath, push, false) == Outcome::settled;
}

bool SyncManager::eventremove(const std::string& oldpath, const std::string& newpath, bool push) {
  return moveStep(oldpath, newpath, push, false) == Outcome::settled;
}

// held: the caller holds controllock (the replay) and keeps it across the
// service call; otherwise the lock is taken for the table steps only.
SyncManager::Outcome SyncManager::renameStep(const std::string& o, const std::string& given, bool push, bool held) {
  std::unique_lock<std::mutex> l(controllock_, std::defer_lock);
  if (!held) l.lock();
  // Gone again, or renamed to a name that is never synced: the old one was
  // deleted as far as the service is concerned.
  if (isigonore(given) || !exists(given)) {
    eventdel(o);
    return Outcome::refused;
  }
  const std::string n = trimmed(given);
  if (n == o) return Outcome::refused;
  int64_t to = -1, tn = -1;
  const std::string wo = getrelativepath(o, &to), wn = getrelativepath(n, &tn);
  const int64_t ro = checkfilepath(to, wo, o, false), rn = checkfilepath(tn, wn, n, false);
  if (ro == 0 && rn == 6) {  // to a name the service can't carry: gone there
    eventdel(o);
    return Outcome::refused;
  }
  if (ro != 0 || (rn != 0 && rn != 3)) {
    eventadd(n);
    return Outcome::settled;
  }
  const bool dir = Util::isdir(n);
  if (!unsyncnode_.need_sync(wn, dir)) {
    eventdel(o);
    return Outcome::refused;
  }
  const SyncFileItem old = syncdb_->get_single_file(wo);
  // A change of letter case only finds the old row under the new name too.
  const SyncFileItem target = syncpath::same(wo, wn) ? SyncFileItem{} : syncdb_->get_single_file(wn);
  // Nothing the service knows of: the new name is a new item.
  if (old.status == syncstatus::none) {
    eventadd(n);
    return Outcome::settled;
  }
  // Over another item: the old one is deleted, the new one compared.
  if (target.status != syncstatus::none) {
    eventdel(o);
    eventadd(n);
    return Outcome::settled;
  }
  // The service deleted the item, or moved it away, before it heard of the
  // rename: there is nothing there to rename, and what the user renamed is
  // theirs. It goes up as a new item; queued, it would wait for good for a
  // row that never gets in step again.
  if (old.status == syncstatus::toRemove) {
    cancel_trans(wo);
    syncdb_->del_dir(wo);
    eventadd(n);
    return Outcome::settled;
  }
  // Sent for an item in step, for one whose change waits to go up (it goes
  // up under the new name; without the rename the old name would stay on
  // the service) and for one a change judged late took for deleted (the
  // commit finds it back under the new name). An item the service never had
  // answers 40402 and becomes a new one. Transfers in flight wait.
  if (old.status != syncstatus::synced && old.status != syncstatus::toUpload && old.status != syncstatus::toDelete) {
    if (push) queueMove(renamelist_, o, n);
    return Outcome::refused;
  }
  const auto u = Util::getAppDelegate().userdata();
  if (!u) return Outcome::refused;
  if (!held) beginFlight(l, wo);
  const RetRename ret =
      HTTPEngine::renamefile(u->userToken(), old.file ? wo : wo + "/", u->mountID(), lastComponent(wn));
  if (!held) endFlight(l, wo);
  if (ret.status == 200) {
    setLastrename({old.webpath, old.version, nowStamp()});
    landed(wo, wn, ret.version);
    syncdb_->rename(wo, wn);
    if (!old.file) {
      renamelink(o, n);
      syncshare_.rename(wo, wn);
      scandir(n);
    } else {
      // An edit just before the rename may have been judged when the old
      // name was already gone.
      eventupdate(n);
    }
    oldPlaceTaken(o);
    bSyncnow_ = true;
    return Outcome::settled;
  }
  if (ret.error == 40322) {
    // A view-only share: the old name comes back, on disk at once when it is
    // free, else from the service.
    if (!exists(o) && plat::FileOps::shared().move(n, o)) {
      tell(o, kRenameBack);
    } else {
      syncdb_->update_dir_status(wo, syncstatus::toDownload);
      syncdb_->update_lasttime(wo, 0);
      tell(o, kFetchAgain);
    }
    return Outcome::settled;
  }
  return refusal(ret, o, n, wo, push, renamelist_);
}

// The rows left the old place with a rename or move the service took. What
// is on disk there now came after the disk's rename (our own placement that
// landed before the watcher told us of it, or the user's new item) and is
// judged as a new item: left alone, nothing would ever sync it.
void SyncManager::oldPlaceTaken(const std::string& o) {
  if (exists(o)) eventadd(o);
}

// The lock is let go while the service is asked; the remote road meanwhile
// holds back the changes of the item, which its answer may move elsewhere.
void SyncManager::beginFlight(std::unique_lock<std::mutex>& l, const std::string& wo) {
  inFlight_.push_back(wo);
  l.unlock();
}

void SyncManager::endFlight(std::unique_lock<std::mutex>& l, const std::string& wo) {
  l.lock();
  const auto at = std::find(inFlight_.begin(), inFlight_.end(), wo);
  if (at != inFlight_.end()) inFlight_.erase(at);
  flightEnded_.notify_all();
}

// What a rename and a move do alike with an answer that is no success.
SyncManager::Outcome SyncManager::refusal(const RequestRet& ret, const std::string& o, const std::string& n,
                                          const std::string& wo, bool push, std::vector<movefile_stx>& list) {
  if (ret.error == 40402) {
    // The service no longer has the old one: the new name is a new item.
    syncdb_->del_dir(wo);
    eventadd(n);
    return Outcome::settled;
  }
  if (ret.error == 40901) {
    // The service has something under the new name already.
    eventdel(o);
    eventadd(n);
    return Outcome::settled;
  }
  if (ret.error == 40101 || ret.error == 40102) {
    if (const auto u = Util::getAppDelegate().userdata()) u->regettoken();
  }
  if (push) queueMove(list, o, n);
  return ret.status == 0 ? Outcome::unreachable : Outcome::refused;
}

SyncManager::Outcome SyncManager::moveStep(const std::string& o, const std::string& n, bool push, bool held) {
  std::unique_lock<std::mutex> l(controllock_, std::defer_lock);
  if (!held) l.lock();
  if (isigonore(n) || !exists(n)) {
    eventdel(o);
    return Outcome::refused;
  }
  int64_t to = -1, tn = -1;
  const std::string wo = getrelativepath(o, &to), wn = getrelativepath(n, &tn);
  if (checkfilepath(to, wo, o, false) != 0 || checkfilepath(tn, wn, n, false) != 0) {
    eventdel(o);
    eventadd(n);
    return Outcome::settled;
  }
  const bool dir = Util::isdir(n);
  if (!unsyncnode_.need_sync(wn, dir)) {
    eventdel(o);
    return Outcome::refused;
  }
  const SyncFileItem old = syncdb_->get_single_file(wo);
  if (old.status == syncstatus::none) return eventadd(n) ? Outcome::settled : Outcome::refused;
  if (!syncpath::same(wo, wn) && syncdb_->get_single_file(wn).status != syncstatus::none) {
    eventdel(o);
    return eventadd(n) ? Outcome::settled : Outcome::refused;
  }
  // A file whose new version is being fetched: the disk holds the version
  // before, which the move would send up as the user's. The move waits for
  // the download, which lands at the new place.
  if (old.file && (old.status == syncstatus::downloading || old.status == syncstatus::toDownload)) {
    if (push) queueMove(removelist_, o, n);
    return Outcome::refused;
  }
  const auto u = Util::getAppDelegate().userdata();
  if (!u) return Outcome::refused;
  const std::string parent = syncpath::parentOf(wn);
  // The service keeps the old name on a move: a new name is a rename of its
  // own after it, from where the service has the item then. The remote road
  // waits for both, so that it never meets that middle place.
  const bool renamed = lastComponent(wn) != lastComponent(wo);
  if (!held && !renamed) beginFlight(l, wo);
  const RetMoveFile ret =
      HTTPEngine::movefile(u->userToken(), dir ? wo + "/" : wo, u->mountID(), dir ? parent + "/" : parent);
  if (!held && !renamed) endFlight(l, wo);
  if (ret.status == 200) {
    const std::string wm = renamed ? (parent.empty() ? "" : parent + "/") + lastComponent(wo) : wn;
    landed(wo, wm, ret.version);
    syncdb_->move(wo, wm);
    if (dir) {
      renamelink(o, n);
      syncdb_->del_total_version(wo);
      syncshare_.remove(wo, false);
      if (!renamed) scandir(n);
    } else if (!renamed) {
      // The moved file as the disk holds it: an edit just before the move
      // may have been judged when the old place was already empty.
      SyncFileItem moved = syncdb_->get_single_file(wm);
      if (moved.status != syncstatus::none && !compare_modify(n, moved)) cancel_trans(wm);
    }
    oldPlaceTaken(o);
    bSyncnow_ = true;
    if (renamed) {
      // The move is done whatever the rename answers: a refused rename
      // waits in its own list, from the moved place.
      renameStep(getnormalpath(wm), n, true, true);
      passThrough(wm, ret.version);
    }
    return Outcome::settled;
  }
  if (ret.error == 40322) {
    // The old place gets its content again from the service; the moved copy
    // is a new item.
    syncdb_->update_dir_status(wo, syncstatus::toDownload);
    syncdb_->update_lasttime(wo, 0);
    tell(o, kFetchAgain);
    eventadd(n);
    return Outcome::settled;
  }
  return refusal(ret, o, n, wo, push, removelist_);
}

void SyncManager::check_rename_and_remove() {
  // Each entry leaves its list while it is tried (so that the step may judge
  // the new path as an ordinary path) and goes back to its place if refused.
  // Only this replay removes entries, under controllock, so the places hold.
  auto replay = [this](std::vector<movefile_stx>& list, bool rename) {
    for (size_t i = 0;;) {
      if (bOut_) return false;
      movefile_stx e;
      {
        std::lock_guard<std::mutex> g(listsMutex_);
        if (i >= list.size()) return true;
        e = list[i];
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        anyPending_ = !renamelist_.empty() || !removelist_.empty();
      }
      if (!exists(e.newpath)) {
        // The new name went away meanwhile: the entry is dropped and the old
        // path judged as it is now.
        if (exists(e.oldpath)) {
          eventupdate(e.oldpath);
        } else {
          eventdel(e.oldpath);
        }
        continue;
      }
      const Outcome r =
          rename ? renameStep(e.oldpath, e.newpath, false, true) : moveStep(e.oldpath, e.newpath, false, true);
      if (r == Outcome::settled) {
        // Changed while it waited: judged now.
        if (exists(e.newpath) && !Util::isdir(e.newpath)) eventupdate(e.newpath);
        continue;
      }
      {
        std::lock_guard<std::mutex> g(listsMutex_);
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(std::min(i, list.size())), e);
        anyPending_ = true;
      }
      ++i;
      // The service can't be reached: the rest waits for the next round.
      if (r == Outcome::unreachable) return false;
    }
  };
  if (replay(renamelist_, true)) replay(removelist_, false);
}

bool SyncManager::check_movelist(const std::string& path) {
  std::lock_guard<std::mutex> l(listsMutex_);
  for (const auto* list : {&renamelist_, &removelist_}) {
    for (const auto& e : *list) {
      if (e.oldpath == path) return true;
    }
  }
  return false;
}

bool SyncManager::pendingTarget(const std::string& local) {
  if (!anyPending_) return false;
  std::lock_guard<std::mutex> l(listsMutex_);
  for (const auto* list : {&renamelist_, &removelist_}) {
    for (const auto& e : *list) {
      if (atOrUnder(local, e.newpath)) return true;
    }
  }
  return false;
}

std::string SyncManager::pendingPlace(const std::string& local) {
  if (!anyPending_) return "";
  std::lock_guard<std::mutex> l(listsMutex_);
  std::string at = local;
  bool moved = false;
  // Each entry at most once: a rename of the new name waits after it.
  for (const auto* list : {&renamelist_, &removelist_}) {
    for (const auto& e : *list) {
      if (!atOrUnder(at, e.oldpath)) continue;
      at = noSlash(e.newpath) + noSlash(at).substr(noSlash(e.oldpath).size());
      moved = true;
    }
  }
  return moved ? at : "";
}

bool SyncManager::pendingInvolves(const std::string& local) {
  if (!anyPending_) return false;
  std::lock_guard<std::mutex> l(listsMutex_);
  for (const auto* list : {&renamelist_, &removelist_}) {
    for (const auto& e : *list) {
      if (atOrUnder(e.oldpath, local) || atOrUnder(local, e.oldpath)) return true;
    }
  }
  return false;
}

std::vector<movefile_stx> SyncManager::renamelist() {
  std::lock_guard<std::mutex> l(listsMutex_);
  return renamelist_;
}

std::vector<movefile_stx> SyncManager::removelist() {
  std::lock_guard<std::mutex> l(listsMutex_);
  return removelist_;
}
