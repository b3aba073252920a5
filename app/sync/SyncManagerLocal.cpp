// The local road of the sync engine: the watchers and the events they
// report, renames and moves sent to the service with the replay of refused
// ones, the scans, the deletion scan, commit, the selective-sync changes and
// the local file state operations.
//
// What never happens here, whatever the events say: a file is deleted from
// the disk only when its size, time and content are those its row says the
// service holds; nothing is deleted (on the disk or on the service) below a
// root whose top is missing; a path without a row is never renamed on the
// service.
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
#include "app/AppDelegate.h"
#include "app/QVLog.h"
#include "app/UserData.h"
#include "app/Util.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncManager.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/fs/file_ops.h"

namespace {

std::string withSlash(std::string p) {
  if (p.empty() || p.back() != '/') p += '/';
  return p;
}

std::string noSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// `path` is `top` or lies below it (local paths, letters as they are).
bool atOrUnder(const std::string& path, const std::string& top) {
  const std::string p = noSlash(path), t = noSlash(top);
  return p == t || (p.size() > t.size() && p.compare(0, t.size(), t) == 0 && p[t.size()] == '/');
}

bool exists(const std::string& path) { return plat::statNoFollow(path).has_value(); }

std::string lastComponent(const std::string& webpath) {
  const size_t at = webpath.rfind('/');
  return at == std::string::npos ? webpath : webpath.substr(at + 1);
}

// The entries of a folder, sorted so that every scan meets them alike.
std::vector<std::string> entriesOf(const std::string& folder) {
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

std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// Every regular file below the folder whose path is not ignored, through
// folders but not through links to them.
void eachFileBelow(const std::string& folder, const std::function<void(const std::string&)>& onFile, int depth = 0) {
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

uint64_t nowStamp() { return static_cast<uint64_t>(std::max<int64_t>(0, Syncdb::now())); }

constexpr const char* kCaseTwin = "文件名仅大小写不同，未同步：";
constexpr const char* kKept = "文件未上传或已修改，已保留在本地：";
constexpr const char* kUnavailable = "同步目录不存在（磁盘未连接？），其中的文件不会被删除：";
constexpr const char* kBack = "同步目录已恢复，重新检查：";
constexpr const char* kRenameBack = "只能查看此共享文件夹，已恢复原名：";
constexpr const char* kFetchAgain = "只能查看此共享文件夹，将重新下载：";
constexpr const char* kUploadAgain = "云端文件已删除，本地文件已修改，将重新上传";

}  // namespace

// ---------------------------------------------------------------------------
// Small helpers

int64_t SyncManager::checkfilepath(int64_t type, const std::string& webpath, const std::string& fullpath, bool show) {
  // The roots themselves and what lies outside every root are never synced.
  if (webpath.empty() || (type != 0 && type != 1 && type != 2)) return 1;
  if (type == 0) return 0;
  // The personal root and the team root share one cloud namespace: each
  // name has one place on disk, the one getnormalpath gives it.
  if (linkfolder_.islinkforwebpath(webpath)) {
    if (show && linkfolder_.islink(webpath)) notice(plat::format("另一个绑定目录下已经存在同名文件[%@]", webpath));
    return 1;
  }
  const bool team = !syncorg().empty() && syncshare_.isorg(webpath);
  if (type == 1) {
    if (!team) return 0;
    if (show && syncshare_.isshare(webpath, true)) notice(plat::format("在[团队的文件]根目录下已经存在[%@]", webpath));
    return 2;
  }
  if (webpath.find('/') != std::string::npos) return team ? 0 : 5;
  if (team) return 0;
  if (syncdb_->get_single_file(webpath).status != syncstatus::none) {
    if (show) notice(plat::format("在[个人的文件]根目录下已经存在[%@]", webpath));
    return 4;
  }
  if (show) {
    const auto st = plat::statNoFollow(fullpath);
    if (st && st->isDirectory && !st->isSymlink) createorgshare(webpath, fullpath);
  }
  return 3;
}

void SyncManager::createorgshare(const std::string& webpath, const std::string& fullpath) {
  const auto u = Util::getAppDelegate().userdata();
  if (!u) return;
  const RequestRet ret = HTTPEngine::addorgshare(u->userToken(), webpath + "/", u->mountID(), u->userEmail().value_or(""));
  if (ret.status != 200) {
    const std::string msg = ret.errormsg.value_or("");
    notice(msg.empty() ? std::string("[团队的文件]根目录下不能自己新增文件/文件夹") : "[团队的文件]根目录下 " + msg);
    return;
  }
  syncshare_.add(webpath, 0, 0, 1);
  syncdb_->insert_total_version("/" + webpath + "/", 0, 0, 1);
  SyncFileItem n;
  n.webpath = webpath;
  n.parent = syncpath::parentOf(webpath);
  n.file = false;
  n.status = syncstatus::synced;
  n.last = Util::filemodifytime(fullpath);
  syncdb_->add_new_file(n);
  scandir(fullpath);
  Util::getAppDelegate().setBRemove(true);
}

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
  if (unchangedSynced(row, local)) {
    syncdb_->update_status(row.webpath, kept ? syncstatus::synced : syncstatus::excluded);
    return;
  }
  row.file = true, row.size = st->size, row.last = Util::filemodifytime(local), row.filehash.clear();
  row.status = kept ? syncstatus::toUpload : syncstatus::excluded;
  syncdb_->update_file(row);
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
  const uint64_t m = Util::filemodifytime(path);
  uint64_t size = 0;
  if (dir) {
    addlink(path);
    scandir(path);
  } else {
    size = Util::filesize(path);
  }
  if (isEcho(w, size, m)) return true;
  for (size_t at = w.find('/'); at != std::string::npos; at = w.find('/', at + 1)) {
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
  if (pendingTarget(path)) return true;
  int64_t type = -1;
  const std::string w = getrelativepath(path, &type);
  if (!unsyncnode_.need_sync(w, Util::isdir(path)) || checkfilepath(type, w, path, false) != 0) return false;
  SyncFileItem row = syncdb_->get_single_file(w);
  if (row.status == syncstatus::none) return eventadd(path);
  if (caseTwin(path, w, row)) return false;
  if (row.status == syncstatus::toDelete || row.status == syncstatus::toRemove) return eventadd(path);
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
  if (old.status != syncstatus::synced) {
    if (push) queueMove(renamelist_, o, n);
    return Outcome::refused;
  }
  const auto u = Util::getAppDelegate().userdata();
  if (!u) return Outcome::refused;
  if (!held) l.unlock();
  const RetRename ret =
      HTTPEngine::renamefile(u->userToken(), old.file ? wo : wo + "/", u->mountID(), lastComponent(wn));
  if (!held) l.lock();
  if (ret.status == 200) {
    setLastrename({old.webpath, old.version, nowStamp()});
    syncdb_->rename(wo, wn);
    if (!old.file) {
      renamelink(o, n);
      syncshare_.rename(wo, wn);
      scandir(n);
    }
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
  const auto u = Util::getAppDelegate().userdata();
  if (!u) return Outcome::refused;
  const std::string parent = syncpath::parentOf(wn);
  // The service keeps the old name on a move: a new name is a rename of its
  // own after it, from where the service has the item then. The remote road
  // waits for both, so that it never meets that middle place.
  const bool renamed = lastComponent(wn) != lastComponent(wo);
  if (!held && !renamed) l.unlock();
  const RetMoveFile ret =
      HTTPEngine::movefile(u->userToken(), dir ? wo + "/" : wo, u->mountID(), dir ? parent + "/" : parent);
  if (!held && !renamed) l.lock();
  if (ret.status == 200) {
    const std::string wm = renamed ? (parent.empty() ? "" : parent + "/") + lastComponent(wo) : wn;
    syncdb_->move(wo, wm);
    if (dir) {
      renamelink(o, n);
      syncdb_->del_total_version(wo);
      syncshare_.remove(wo, false);
      if (!renamed) scandir(n);
    } else {
      syncdb_->update_filesize(wm, Util::filesize(n));
      syncdb_->update_lasttime(wm, Util::filemodifytime(n));
    }
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
      batch.reset();  // no transaction held across a pause
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
  std::string slashed;
  size_t written = 0;
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; i < names.size() && !bOut_; ++i) {
    if (i > 0 && i % 20 == 0 && bPacing_) clock.sleepFor(0.01);
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
    SyncFileItem n;
    n.webpath = w, n.parent = wfolder, n.last = m, n.status = syncstatus::toUpload;
    if (dir) {
      if (lst->isSymlink) {
        // A link back up the tree would be scanned for ever.
        const std::string target = realPath(path);
        if (target.empty() || atOrUnder(realPath(folder), target)) continue;
        if (bFristScan_) addlink(path);
      }
      if (row.status == syncstatus::none) {
        n.file = false;
        fresh.push_back(std::move(n));
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
      subfolders.push_back({withSlash(path), w, f.type});
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
  if (!r.file) {
    if (r.status == syncstatus::synced) {
      syncdb_->update_status(r.webpath, syncstatus::toDelete);
    } else if (r.status == syncstatus::toUpload) {
      syncdb_->del_dir(r.webpath);
    } else {
      return false;
    }
    return true;
  }
  if (r.status == syncstatus::synced) {
    syncdb_->update_status(r.webpath, r.last == 0 ? syncstatus::toDownload : syncstatus::toDelete);
  } else if (r.status == syncstatus::toUpload) {
    syncdb_->del_file(r.webpath);
  } else if (r.status == syncstatus::uploading) {
    cancel_trans(r.webpath);
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
  for (const auto& listed : rows) {
    if (bOut_) return;
    const std::string local = getnormalpath(listed.webpath);
    // A move or rename the service has not taken yet still involves it.
    if (pendingInvolves(local)) continue;
    const SyncFileItem r = syncdb_->get_single_file(listed.webpath);
    if (r.status != syncstatus::toRemove && r.status != syncstatus::toDelete) continue;
    if (!missingTop(local).empty()) continue;
    if (exists(local)) {
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
    const RetDelFile ret = HTTPEngine::delfile(u->userToken(), r.file ? r.webpath : r.webpath + "/", u->mountID());
    // Already gone on the service is as good as deleted.
    if (ret.status == 200 || ret.error == 40402) {
      QVLog::sharedQVLog().addLogNormalFile(r.webpath, r.file ? "删除云端文件成功：" : "删除云端文件夹成功：");
      r.file ? syncdb_->del_file(r.webpath) : syncdb_->del_dir(r.webpath);
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
        if (child.status != syncstatus::none && child.status != syncstatus::toUpload) {
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

// ---------------------------------------------------------------------------
// Selective sync

void SyncManager::removeExcluded(const std::string& local, bool directOnly) {
  const auto top = plat::statNoFollow(local);
  if (!top) return;
  struct Item {
    std::string path;
    SyncFileItem row;
    bool keep;
  };
  std::vector<Item> files;
  bool keeps = false;
  std::function<void(const std::string&, int)> walk = [&](const std::string& folder, int depth) {
    for (const auto& name : entriesOf(withSlash(folder))) {
      const std::string path = withSlash(folder) + name;
      const auto st = plat::statNoFollow(path);
      if (!st) continue;
      if (st->isDirectory) {
        if (!directOnly && depth < 256) walk(path, depth + 1);
        continue;
      }
      const SyncFileItem row = syncdb_->get_single_file(getrelativepath(path, nullptr));
      const bool keep = !st->isRegular || !unchangedSynced(row, path);
      keeps = keeps || keep;
      files.push_back({path, row, keep});
    }
  };
  if (top->isDirectory) {
    walk(local, 0);
  } else {
    const SyncFileItem row = syncdb_->get_single_file(getrelativepath(local, nullptr));
    keeps = !top->isRegular || !unchangedSynced(row, local);
    files.push_back({local, row, keeps});
  }
  for (const auto& f : files) {
    if (f.keep) {
      tell(f.path, kKept);
    } else {
      synccache_->addcache(f.path, f.row.filehash);
    }
  }
  if (!keeps && !directOnly) {
    removeLocal(local);  // all of it is on the service: one removal
    return;
  }
  for (const auto& f : files) {
    if (!f.keep) removeLocal(f.path);
  }
  if (directOnly || !top->isDirectory) return;
  // Folders left empty go, deepest first; a folder holding what was kept stays.
  std::vector<std::string> folders;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(local, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) folders.push_back(it->path().string());
  }
  std::sort(folders.rbegin(), folders.rend());
  folders.push_back(local);
  for (const auto& d : folders) {
    if (entriesOf(d).empty()) plat::FileOps::shared().remove(d);
  }
}

// The local copies are judged while their rows are still there, and under
// controllock, so the watchers see the removals only once the folders are
// excluded (and ignore them).
void SyncManager::setUnsyncnodes(const std::string& webpath, const std::vector<UnSyncNodeItem>& nodes) {
  // Only what leaves the sync now: a folder left out before may hold files
  // put there since, which are nobody's but the user's.
  std::vector<UnSyncNodeItem> leaving;
  for (const auto& n : nodes) {
    if (unsyncnode_.need_sync(n.path, true)) leaving.push_back(n);
  }
  for (const auto& n : leaving) cancel_trans(n.path);
  std::lock_guard<std::mutex> l(controllock_);
  const auto before = syncdb_->get_unsync_nodes();
  for (const auto& n : leaving) removeExcluded(getnormalpath(n.path), n.type == 2);
  unsyncnode_.setunsyncnodes(webpath, nodes);
  const auto list = unsyncnode_.getlist();
  syncdb_->insert_unsync_nodes(list);
  syncdb_->update_unsync_nodes(list);
  std::vector<UnSyncNodeItem> back;
  for (const auto& n : before) {
    if (unsyncnode_.checksync(n.path, n.type)) back.push_back(n);
  }
  for (const auto& n : back) {
    bool inner = false;
    for (const auto& o : back) inner = inner || syncpath::below(n.path, o.path);
    if (inner || !unsyncnode_.checksync(n.path, n.type)) continue;
    syncdb_->inset_sync_now(n.path, 0);
    std::lock_guard<std::mutex> s(scansMutex_);
    pendingScans_.push_back(n.path);
  }
  for (const auto& n : nodes) {
    if (n.type != 2) {
      syncdb_->remove_link(n.path, false);
      linkfolder_.remove(n.path, false);
    }
  }
  bSyncnow_ = true;
}

void SyncManager::add_unsyncpath(const std::string& webpath) {
  // Already left out (itself or a folder above): its local copy was judged then.
  if (unsyncnode_.need_sync(webpath, true)) {
    cancel_trans(webpath);
    removeExcluded(getnormalpath(webpath), false);
  }
  if (!unsyncnode_.add(webpath, 0)) return;
  syncdb_->insert_unsync_nodes(unsyncnode_.getlist());
  syncdb_->removesync(webpath);
}

void SyncManager::del_unsyncpath(const std::string& webpath, bool bDelete) {
  if (!unsyncnode_.remove(webpath)) return;
  syncdb_->insert_unsync_nodes(unsyncnode_.getlist());
  if (bDelete) return;
  syncdb_->inset_sync_now(webpath, 0);
  {
    std::lock_guard<std::mutex> l(scansMutex_);
    pendingScans_.push_back(webpath);
  }
  bSyncnow_ = true;
}

// ---------------------------------------------------------------------------
// Local file state

void SyncManager::setfilestatus(const std::string& webpath, int64_t dir, int64_t status) {
  const std::string local = getnormalpath(webpath);
  if (dir == 1) {
    syncdb_->update_lock_dir(webpath, status);
    status == 1 ? setallfileread(local) : setallfilewrite(local);
  } else {
    syncdb_->update_lock(webpath, status);
    status == 1 ? Util::setfilereadonly(local) : Util::setfilereadwirte(local);
  }
}

void SyncManager::setallfileread(const std::string& folder) { eachFileBelow(folder, Util::setfilereadonly); }

void SyncManager::setallfilewrite(const std::string& folder) { eachFileBelow(folder, Util::setfilereadwirte); }

void SyncManager::movetocache(const std::string& folder) {
  eachFileBelow(folder, [this](const std::string& path) {
    // Only content that is what its row names: the cache is read by hash.
    const SyncFileItem row = syncdb_->get_single_file(getrelativepath(path, nullptr));
    if (unchangedSynced(row, path)) synccache_->addcache(path, row.filehash);
  });
}

void SyncManager::check_and_clear_copylist() {
  const uint64_t now = nowStamp();
  for (auto it = copylist_.begin(); it != copylist_.end();) {
    if (now > it->second.addtime + 30) {
      it = copylist_.erase(it);
    } else {
      ++it;
    }
  }
  plat::FileOps::shared().trim();
}

void SyncManager::addcopylist(const std::string& webpath, const copy_file_stx& entry) { copylist_[webpath] = entry; }

void SyncManager::removefileunsync(std::vector<UnSyncNodeItem>& list) {
  for (auto it = list.begin(); it != list.end();) {
    const SyncFileItem row = it->type == 1 ? syncdb_->get_single_file(it->path) : SyncFileItem{};
    if (row.status != syncstatus::none && row.file) {
      syncdb_->removesync(it->path);
      it = list.erase(it);
    } else {
      ++it;
    }
  }
}
