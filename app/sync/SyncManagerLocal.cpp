// The local road of the sync engine: the events of the folder watchers,
// the scans and the deletion scan.
#include <filesystem>

#include "app/AppDelegate.h"
#include "app/UserData.h"
#include "app/Util.h"
#include "app/sync/SyncManager.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/fs/file_ops.h"

int64_t SyncManager::checkfilepath(int64_t type, const std::string& webpath) const {
  if (type == 1 || type == 0) return webpath.empty() ? 1 : 0;
  if (type == 2) return webpath.empty() ? 1 : 0;
  return 1;
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

bool SyncManager::eventadd(const std::string& given) {
  if (isigonore(given) || !plat::statNoFollow(given)) return false;
  const std::string path = trimmed(given);
  int64_t type = -1;
  const std::string w = getrelativepath(path, &type);
  if (checkfilepath(type, w) != 0) return false;
  const bool dir = Util::isdir(path);
  if (!unsyncnode_.need_sync(w, dir)) return false;
  SyncFileItem row = syncdb_->get_single_file(w);
  const uint64_t m = Util::filemodifytime(path);
  uint64_t size = 0;
  if (dir) {
    scandir(path);
  } else {
    size = Util::filesize(path);
  }
  if (isEcho(w, size, m)) return true;
  for (size_t at = w.find('/'); at != std::string::npos; at = w.find('/', at + 1)) {
    syncdb_->reset_del(w.substr(0, at));
  }
  const auto user = Util::getAppDelegate().userdata();
  const std::string name = user ? user->userWebName().value_or("") : "";
  const int64_t uid = user ? user->userID() : 0;
  if (row.status != syncstatus::none) {
    row.membername = name, row.memberid = uid;
    if (!compare_file(path, row, false) && !dir) cancel_trans(w);
  } else {
    SyncFileItem n;
    n.webpath = w;
    n.parent = syncpath::parentOf(w);
    n.file = !dir;
    n.status = syncstatus::toUpload;
    n.size = size;
    n.last = m;
    n.membername = name;
    n.memberid = uid;
    syncdb_->add_new_file(n);
  }
  bSyncnow_ = true;
  return true;
}

bool SyncManager::eventupdate(const std::string& path) {
  if (isigonore(path)) return false;
  int64_t type = -1;
  const std::string w = getrelativepath(path, &type);
  if (!unsyncnode_.need_sync(w, Util::isdir(path)) || checkfilepath(type, w) != 0) return false;
  SyncFileItem row = syncdb_->get_single_file(w);
  if (row.status == syncstatus::none) return eventadd(path);
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
  if (checkfilepath(type, w) != 0) return false;
  cancel_trans(w);
  SyncFileItem row = syncdb_->get_single_file(w);
  if (row.status != syncstatus::none && unsyncnode_.need_sync(w, !row.file) && !plat::statNoFollow(path)) {
    syncdb_->update_diskdelete(w);
    if (!row.file) {
      syncdb_->mark_del_by_parent(w);
      syncdb_->del_total_version(w);
      syncshare_.remove(w, false);
    }
    const auto user = Util::getAppDelegate().userdata();
    syncdb_->update_membername(w, user ? user->userWebName().value_or("") : "", user ? user->userID() : 0);
    bSyncnow_ = true;
  }
  return true;
}

void SyncManager::scandir(const std::string& given) {
  std::string folder = given;
  if (folder.empty() || folder.back() != '/') folder += '/';
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  auto& clock = plat::currentClock();
  for (size_t i = 0; i < names.size() && !bOut_; ++i) {
    if (i > 0 && i % 20 == 0 && bPacing_) clock.sleepFor(0.01);
    std::string path = folder + names[i];
    if (isigonore(path)) continue;
    path = trimmed(path);
    int64_t type = -1;
    const std::string w = getrelativepath(path, &type);
    const auto st = plat::statFollow(path);
    if (!st || checkfilepath(type, w) != 0) continue;
    const bool dir = st->isDirectory;
    if (!unsyncnode_.need_sync(w, dir)) continue;
    const uint64_t m = Util::filemodifytime(path);
    SyncFileItem row = syncdb_->get_single_file(w);
    SyncFileItem n;
    n.webpath = w, n.parent = syncpath::parentOf(w), n.last = m, n.status = syncstatus::toUpload;
    if (dir) {
      if (row.status == syncstatus::none) {
        n.file = false;
        syncdb_->add_new_file(n);
      } else if (row.last == m && row.status == syncstatus::toRemove) {
        continue;
      } else if (row.last != m || row.status == syncstatus::toDelete) {
        syncdb_->update_lasttime(w, m);
        if (row.status == syncstatus::toRemove || row.status == syncstatus::toDelete) {
          // Restored before the deletion reached the service: kept, made again.
          syncdb_->del_dir(w);
          n.file = false;
          syncdb_->add_new_file(n);
        }
      }
      if (bPacing_) clock.sleepFor(0.01);
      scandir(path);
      continue;
    }
    if (plat::statNoFollow(path)->isSymlink || !st->isRegular) continue;
    n.file = true, n.size = st->size;
    if (row.status == syncstatus::none) {
      syncdb_->add_new_file(n);
    } else if (row.status == syncstatus::synced) {
      compare_file(path, row, false);
    } else if (row.status == syncstatus::toRemove) {
      if (row.size != st->size || row.last != m) {
        row.size = st->size, row.last = m, row.filehash = "", row.status = syncstatus::toUpload;
        syncdb_->update_file(row);
      }
    } else if (row.status == syncstatus::toDelete) {
      row.size = st->size, row.last = m, row.filehash = "", row.status = syncstatus::toUpload;
      syncdb_->update_file(row);
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
}

bool SyncManager::rootAvailable(const std::string& local) const {
  for (const auto& n : linkfolder_.getlinknodes()) {
    if (local == n.fullpath || local.rfind(n.fullpath + "/", 0) == 0) return plat::isDirectory(n.fullpath);
  }
  const std::string org = syncorg(), personal = syncpath();
  if (!org.empty() && local.rfind(org, 0) == 0) return plat::isDirectory(org);
  if (local.rfind(personal, 0) == 0) return plat::isDirectory(personal);
  return true;
}

void SyncManager::mark_file_delete(const std::string& webpath) {
  for (const auto& d : syncdb_->get_all_dir(webpath)) {
    if (d.webpath.empty() || d.status == syncstatus::excluded) continue;
    if (bOut_) return;
    const std::string local = getnormalpath(d.webpath);
    if (!plat::statFollow(local)) {
      // A root or linked folder whose top is gone (an unmounted disk) is
      // unavailable, not deleted: nothing below it is touched.
      if (!rootAvailable(local)) continue;
      if (d.status == syncstatus::synced) {
        syncdb_->update_status(d.webpath, syncstatus::toDelete);
      } else if (d.status == syncstatus::toUpload) {
        syncdb_->del_dir(d.webpath);
      }
    } else {
      mark_file_delete(d.webpath);
    }
  }
  for (const auto& f : syncdb_->get_all_files(webpath)) {
    if (f.status == syncstatus::excluded) continue;
    if (bOut_) return;
    const std::string local = getnormalpath(f.webpath);
    if (plat::statNoFollow(local)) continue;
    if (!rootAvailable(local)) continue;
    if (f.status == syncstatus::synced) {
      syncdb_->update_status(f.webpath, f.last == 0 ? syncstatus::toDownload : syncstatus::toDelete);
    } else if (f.status == syncstatus::toUpload) {
      syncdb_->del_file(f.webpath);
    } else if (f.status == syncstatus::uploading) {
      cancel_trans(f.webpath);
      syncdb_->del_file(f.webpath);
    }
  }
}
