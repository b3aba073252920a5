// The sync engine's side of the transfers: the hand-off of one job at a time
// to the transfer engine (get_download, get_upload), the completion of a
// finished download (finishdownload, from runcheck) and of a finished upload
// (finishupload, from the upload's thread).
//
// Each of them reads the row, decides and writes under controllock, so a
// watcher batch or a remote change can't slip between the read and the
// write. The lock is never held across a service call or while a transfer
// is stopped (cancel_trans): the transfer engine's locks come after it.
//
// Nothing local is lost on the way: a file edited after its row was last in
// step wins over a download (it is uploaded instead), a local version that
// the service never had goes to the Trash before the service's version takes
// its place (with a log line and a notice), a folder is never replaced by a
// file, and an upload is recorded only when the local file still holds what
// was sent.
#include "app/sync/SyncManager.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <vector>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/text_codec.h"
#include "platform/system/trash.h"

namespace {

// The engine's own stamps: whole seconds since 2001.
uint64_t stampNow() { return static_cast<uint64_t>(std::max<int64_t>(0, Syncdb::now())); }

void lognormal(const std::string& webpath, const std::string& info) {
  QVLog::sharedQVLog().addLogNormalFile(webpath, info);
}

void logerror(const std::string& webpath, const std::string& info) {
  QVLog::sharedQVLog().addLogErrorFile(webpath, info);
}

bool isRegularFile(const std::string& path) {
  const auto st = plat::statNoFollow(path);
  return st && st->isRegular;
}

}  // namespace

// ---------------------------------------------------------------------------
// The transfer engine

void SyncManager::settrans(std::weak_ptr<TransControl> trans) {
  std::lock_guard<std::mutex> l(hooksMutex_);
  trans_ = std::move(trans);
}

std::shared_ptr<TransControl> SyncManager::trans() const {
  std::lock_guard<std::mutex> l(hooksMutex_);
  return trans_.lock();
}

void SyncManager::cancel_trans(const std::string& webpath) {
  if (auto t = trans()) t->cleartrans(webpath);
}

// ---------------------------------------------------------------------------
// Small steps shared by the hand-off and the completions (controllock held)

void SyncManager::park(const std::string& webpath) { syncdb_->update_acttime(webpath); }

bool SyncManager::unusable(const SyncFileItem& row) {
  if (!row.webpath.empty() && plat::isValidUTF8(row.webpath)) return false;
  // No name the service could carry (an older client stored names that
  // are not UTF-8): the row goes, and is parked should it stay, so the
  // next pick is another row.
  syncdb_->del_file(row.webpath);
  park(row.webpath);
  return true;
}

bool SyncManager::parentDeleting(const SyncFileItem& row, bool checkCase) {
  std::string parent = row.parent;
  while (!parent.empty()) {
    const SyncFileItem a = syncdb_->get_single_file(parent);
    if (a.status == syncstatus::none) return false;
    if (a.status == syncstatus::toRemove || a.status == syncstatus::toDelete) return true;
    if (checkCase && Util::checknamecase(getnormalpath(parent))) return true;
    // A parent is always shorter: a row naming itself can't loop.
    if (a.parent.size() >= parent.size()) return false;
    parent = a.parent;
  }
  return false;
}

SyncManager::LocalEdit SyncManager::localWins(const SyncFileItem& row, const std::string& local,
                                              const std::string& fetched) {
  const auto st = plat::statNoFollow(local);
  if (!st || !st->isRegular) return LocalEdit::none;
  const uint64_t m = Util::filemodifytime(local);
  if (row.last >= m) return LocalEdit::none;
  if (!keepServiceVersion(row, local, fetched)) return LocalEdit::waits;
  // The user changed it after it was last in step: it is uploaded, and the
  // row says what is on disk now.
  SyncFileItem r = row;
  r.size = st->size, r.last = m, r.filehash.clear();
  r.status = keptStatus(row.webpath, false, syncstatus::toUpload);
  syncdb_->update_file(r);
  lognormal(row.webpath, "本地文件已修改，保留本地文件并上传:");
  return LocalEdit::wins;
}

bool SyncManager::keepServiceVersion(const SyncFileItem& row, const std::string& local, const std::string& fetched) {
  // Nothing to keep: no content, one this disk held (in step with it), or
  // the one the local file holds too.
  if (fetched.empty() || row.filehash.empty() || (row.diskversion > 0 && row.diskversion == row.version)) return true;
  if (Util::getfilehash(local).value_or("") == row.filehash) return true;
  // A copy under the file's own name, so the Trash shows what it was.
  const std::string folder = plat::format("%@/keep_%@", transcache_->cachepath(), row.filehash);
  const std::string copy = folder + "/" + plat::pathBasename(local);
  plat::removeTree(folder);
  const bool kept = plat::makeDirectories(folder) && Util::copyfile(fetched, copy) && plat::trash()->moveToTrash(copy);
  plat::removeTree(folder);
  if (!kept) {
    logerror(row.webpath, "云端版本无法移到废纸篓，暂不上传本地文件:");
    return false;
  }
  logerror(row.webpath, "云端版本已移到废纸篓，由本地文件替换:");
  notice(plat::format("文件[%@]的云端版本已被本地文件替换，云端版本已移到废纸篓", row.webpath));
  return true;
}

bool SyncManager::keepLocalVersion(const SyncFileItem& row, const std::string& local, const std::string& hash) {
  if (!isRegularFile(local)) return true;
  // The disk holds a version the service has (the one last placed or sent).
  if (row.diskversion > 0) return true;
  if (Util::getfilehash(local).value_or("") == hash) return true;
  std::string trashed;
  if (!plat::trash()->moveToTrash(local, &trashed)) {
    logerror(row.webpath, "本地文件无法移到废纸篓，暂不替换:");
    return false;
  }
  plat::FileOps::shared().remember(local);
  logerror(row.webpath, "本地文件已移到废纸篓，由云端版本替换:");
  notice(plat::format("本地文件[%@]已被云端版本替换，原文件已移到废纸篓", row.webpath));
  return true;
}

bool SyncManager::makefolder(const std::string& given) {
  std::string folder = given;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (Util::isdir(folder)) return true;
  std::vector<std::string> missing;
  for (std::string p = folder; !p.empty() && !plat::statNoFollow(p); p = plat::pathDirname(p)) {
    missing.push_back(p);
    if (plat::pathDirname(p) == p) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!plat::FileOps::shared().makeFolder(*it)) return false;
  }
  return Util::isdir(folder);
}

bool SyncManager::placefile(const std::string& from, const std::string& local, plat::Error* error) {
  // A flushed copy with the source's times takes the target's place in one
  // rename, known as ours before it is made; a folder there stays.
  if (auto st = plat::statNoFollow(local); st && st->isDirectory) {
    if (error) *error = plat::posixError(EISDIR, "place", local);
    return false;
  }
  return plat::FileOps::shared().copyFile(from, local, error) && isRegularFile(local);
}

bool SyncManager::placefailed(const SyncFileItem& row, const std::string& why) {
  logerror(row.webpath, plat::format("下载文件无法保存到本地(%@):", why));
  if (placeTold_.insert(row.webpath).second) {
    if (placeTold_.size() > 1000) placeTold_.clear();
    notice(plat::format("文件[%@]下载后无法保存到本地：%@", row.webpath, why));
  }
  int& n = placeFailures_[row.webpath];
  if (++n < kPlaceTries) return false;
  placeFailures_.erase(row.webpath);
  return true;
}

void SyncManager::addecho(const std::string& webpath, uint64_t size, uint64_t last) {
  copy_file_stx e;
  e.filesize = size, e.lasttime = last, e.addtime = stampNow();
  addcopylist(webpath, e);
}

bool SyncManager::verifiedContent(const std::string& path, const std::string& hash) {
  const plat::DiskState before = plat::DiskState::of(path);
  if (!before.exists || before.dir) return false;
  {
    std::lock_guard<std::mutex> l(verifyMutex_);
    auto it = verified_.find(path);
    if (it != verified_.end() && it->second == before) return true;
  }
  if (Util::getfilehash(path).value_or("") != hash || !(plat::DiskState::of(path) == before)) return false;
  std::lock_guard<std::mutex> l(verifyMutex_);
  if (verified_.size() >= 256) verified_.clear();
  verified_[path] = before;
  return true;
}

void SyncManager::seenDuringUpload(const SyncFileItem& row, const CompareItem& change) {
  if (!row.file || change.filehash.empty()) return;
  // An entry lives until its file's next completed upload; rows that go
  // meanwhile would leave theirs, so the list is bounded.
  if (seenDuringUpload_.size() >= 4096) seenDuringUpload_.clear();
  seenDuringUpload_[plat::foldCase(row.webpath)] = change;
}

void SyncManager::update_parenttime(const std::string& webpath) {
  if (webpath.empty()) return;
  const std::string local = getnormalpath(webpath);
  if (!plat::statNoFollow(local)) return;
  syncdb_->update_lasttime(webpath, Util::filemodifytime(local));
}

// ---------------------------------------------------------------------------
// The download hand-off

TransItem SyncManager::get_download() {
  TransItem item;
  item.itemid = 0;
  // While a round of the feed that deleted a folder is read, its new
  // entries may be that folder moved: they are fetched once it is read.
  if (holdDownloads_) return item;
  std::unique_lock<std::mutex> lock(controllock_);
  SyncFileItem row = syncdb_->get_download();
  if (row.status == syncstatus::none) return item;
  item.itemid = 2;
  if (unusable(row)) return item;
  if (!unsyncnode_.need_sync(row.webpath, !row.file)) {
    syncdb_->update_status(row.webpath, syncstatus::excluded);
    return item;
  }
  // A folder above on its way out, or one whose name on disk differs in
  // letter case: later.
  if (parentDeleting(row, true)) {
    park(row.webpath);
    return item;
  }
  const std::string local = getnormalpath(row.webpath);

  if (!row.file) {
    if (Util::isfilelock(local)) Util::setfilelock(local, false);
    if (!makefolder(local)) {
      park(row.webpath);
      return item;
    }
    const auto user = Util::getAppDelegate().userdata();
    row.membername = user ? user->userWebName().value_or("") : "";
    row.memberid = user ? user->userID() : 0;
    row.last = Util::filemodifytime(local);
    row.diskversion = row.version;
    row.status = syncstatus::synced;
    syncdb_->update_file(row);
    update_parenttime(row.parent);
    item.itemid = 3;
    return item;
  }

  // Content this engine already holds, or none at all: placed here.
  std::string cached = synccache_->getcache(row.filehash);
  if (!cached.empty() && !verifiedContent(cached, row.filehash)) cached.clear();
  if (!cached.empty() || row.size == 0) {
    if (!makefolder(plat::pathDirname(local))) {
      park(row.webpath);
      return item;
    }
    if (const LocalEdit e = localWins(row, local, cached); e != LocalEdit::none) {
      if (e == LocalEdit::waits) {
        park(row.webpath);
      } else {
        item.itemid = 3;
      }
      return item;
    }
    if (isRegularFile(local)) Util::setfilereadwirte(local);
    if (Util::isfilelock(local)) Util::setfilelock(local, false);
    bool placed = keepLocalVersion(row, local, row.filehash);
    if (placed && !cached.empty()) {
      placed = placefile(cached, local);
    } else if (placed) {
      // Never over a folder: the rename of the empty file fails there.
      placed = !Util::isdir(local) && plat::FileOps::shared().writeFile(local, "") && isRegularFile(local);
    }
    if (!placed) {
      park(row.webpath);
      return item;
    }
    row.last = Util::filemodifytime(local);
    row.status = syncstatus::synced;
    row.diskversion = row.version;
    syncdb_->update_file(row);
    addecho(row.webpath, row.size, row.last);
    if (row.lock == synclock::other) Util::setfilereadonly(local);
    lock.unlock();
    cancel_trans(row.webpath);
    update_parenttime(row.parent);
    check_readonly_path(row.webpath);
    lognormal(row.webpath, cached.empty() ? "下载文件成功：" : "从缓存中复制成功：");
    item.itemid = 3;
    return item;
  }

  // A transfer. The content hash names files: only a real one.
  if (!SyncCache::isContentHash(row.filehash)) {
    park(row.webpath);
    return item;
  }
  const std::string target = transcache_->cachepath() + "/down_" + row.filehash;
  // A failed result holds its content back for a while; a finished one is
  // being taken in by runcheck. (The row can't have been synced since it was
  // read: the lock is held.)
  if (transcache_->checkdownloaderror(target) || transcache_->checkdownloadfinish(target)) {
    park(row.webpath);
    return item;
  }
  item.itemid = 1;
  item.type = 0;
  item.ext = 0;
  item.filesize = row.size;
  item.offset = 0;
  item.addtime = stampNow();
  item.filehash = row.filehash;
  item.path = target;
  item.webpath = row.webpath;
  item.pathhash = item.url = item.session = "";
  syncdb_->update_status(row.webpath, syncstatus::downloading);
  park(row.webpath);
  return item;
}

// ---------------------------------------------------------------------------
// The upload hand-off

TransItem SyncManager::get_upload() {
  TransItem item;
  item.itemid = -1;
  std::unique_lock<std::mutex> lock(controllock_);
  SyncFileItem row = syncdb_->get_upload();
  if (row.status == syncstatus::none) return item;
  item.itemid = 2;
  if (unusable(row)) return item;
  const std::string local = getnormalpath(row.webpath);
  const auto st = plat::statNoFollow(local);
  const auto drop = [&] {
    if (row.file) {
      syncdb_->del_file(row.webpath);
    } else {
      syncdb_->del_dir(row.webpath);
    }
  };
  if (!st) {
    // A root whose disk is gone is unavailable, not emptied; an item whose
    // rename or move waits keeps its row for it (dropped, the old name would
    // stay on the service for good).
    if (!missingTop(local).empty() || pendingInvolves(local)) {
      // Handed out before the rename or move: the replay sends it only for
      // an item that waits to go up, not for one on its way (which no
      // transfer carries now), and the upload follows from the new place.
      if (row.status == syncstatus::uploading && pendingInvolves(local)) {
        cancel_trans(row.webpath);
        syncdb_->update_status(row.webpath, syncstatus::toUpload);
      }
      park(row.webpath);
    } else if (!row.file || !markMissing(row, local)) {
      // A file is judged as a scan judges it: one the service holds is
      // marked deleted, not dropped, for the move or deletion the watcher
      // reports next (dropped, the service's copy would stay for good).
      drop();
    }
    return item;
  }
  if (isigonore(local)) {
    drop();
    return item;
  }
  if (st->isSymlink) {
    // Links are never uploaded.
    syncdb_->del_file(row.webpath);
    return item;
  }

  // The disk holds the other kind: the old one is deleted on the service
  // before the new one is sent (never a folder made for a file, or the reverse).
  const bool diskDir = plat::isDirectory(local);
  if ((!row.file && !diskDir) || (row.file && diskDir)) {
    switch (localKindChange(row, local, diskDir, false)) {
      case KindChange::addNew:
        addLocalItem(row.webpath, local);
        break;
      case KindChange::waiting:
        break;
      case KindChange::none:
        park(row.webpath);
        break;
    }
    return item;
  }
  if (!row.file) {
    lock.unlock();
    return uploadFolder(row, local);
  }
  if (!st->isRegular) {
    park(row.webpath);
    return item;
  }

  item.itemid = 1;
  if (Util::isfilelock(local)) Util::setfilelock(local, false);
  const uint64_t m = Util::filemodifytime(local);
  item.path = local;
  if (st->size < kUploadCopyLimit) {
    const std::string copy = plat::format("%@/upload_%@_%llu", transcache_->cachepath(),
                                          NSStringExpand::sha1HexDigest(row.webpath), static_cast<unsigned long long>(m));
    item.path = copy;
    if (m != row.last) {
      // Changed after the row was written: the row takes what is on disk now
      // and the file goes at a later call.
      item.itemid = 2;
      row.size = st->size, row.last = m, row.filehash.clear();
      syncdb_->update_file(row);
    } else {
      // A copy of this second may be of an earlier edit within the same
      // second: it serves only while it has the file's size and exact time.
      const plat::DiskState have = plat::DiskState::of(copy), want = plat::DiskState::of(local);
      const bool current = have.exists && !have.dir && have.size == want.size && have.mtimeNs == want.mtimeNs;
      if (!current) Util::copyfile(local, copy);
      if (isRegularFile(copy)) {
        Util::setfilereadwirte(copy);
      } else {
        item.itemid = 2;
      }
    }
  }
  item.type = 1;
  item.ext = row.status == syncstatus::toReupload ? 1 : 0;
  item.filesize = Util::filesize(item.path);
  item.offset = 0;
  item.addtime = stampNow();
  item.filehash = "";
  item.webpath = row.webpath;
  item.pathhash = item.url = item.session = "";
  item.cachepath = transcache_->cachepath();
  syncdb_->update_status(row.webpath, syncstatus::uploading);
  park(row.webpath);
  return item;
}

// A folder is made on the service by the add-file call, without the lock;
// its answer is written only while the row still waits for it.
TransItem SyncManager::uploadFolder(const SyncFileItem& row, const std::string& local) {
  TransItem item;
  item.itemid = 2;
  const auto user = Util::getAppDelegate().userdata();
  const RetAddFile r = HTTPEngine::addfile(user ? user->userToken() : "", row.webpath + "/", user ? user->mountID() : 0,
                                           std::string(), 0, row.version);
  if (r.status == 200) {
    std::lock_guard<std::mutex> l(controllock_);
    const SyncFileItem now = syncdb_->get_single_file(row.webpath);
    const bool waiting = now.status == syncstatus::toUpload || now.status == syncstatus::uploading ||
                         now.status == syncstatus::toReupload;
    if (waiting && !now.file && plat::isDirectory(local)) {
      syncdb_->update_version(row.webpath, r.version);
      syncdb_->update_diskvesion(row.webpath, r.version);
      syncdb_->update_status(row.webpath, syncstatus::synced);
      syncdb_->update_lasttime(row.webpath, Util::filemodifytime(local));
    }
    lognormal(row.webpath, "上传文件夹成功：");
    return item;
  }
  logerror(row.webpath, plat::format("上传文件夹失败,返回 %@ :", r.errormsg.value_or("")));
  {
    std::lock_guard<std::mutex> l(controllock_);
    park(row.webpath);
  }
  if (r.error == 40101 || r.error == 40102) {
    if (user) user->regettoken();
    item.itemid = 0;  // no job: ask again later
    return item;
  }
  if (r.error == 40322) {
    // The user only views this shared folder: the folder leaves the sync,
    // and the local one goes to the Trash, never deleted.
    {
      std::lock_guard<std::mutex> l(controllock_);
      syncdb_->del_dir(row.webpath);
    }
    if (plat::trash()->moveToTrash(local)) plat::FileOps::shared().remember(local);
    std::string share;
    const auto t = trans();
    if (syncshare_.isreadonly(row.webpath, share) && !(t && t->getTransErrorMsgFileHash(row.filehash))) {
      notice(plat::format("您共享文件夹[%@]的权限是查看者，不能新增或修改文件夹", share));
    }
  }
  return item;
}

// ---------------------------------------------------------------------------
// Completions

void SyncManager::finishdownload(const std::string& path) {
  const std::string name = plat::pathBasename(path);
  if (name.size() < 45 || name.rfind("down_", 0) != 0) return;
  const std::string hash = name.substr(5, 40);
  if (!SyncCache::isContentHash(hash) || name != "down_" + hash + "_ok") return;
  const auto st = plat::statNoFollow(path);
  if (!st || !st->isRegular) return;
  // Only what its name says is placed. Anything else is a failed result:
  // its content is fetched again once the error hold is over.
  if (!verifiedContent(path, hash)) {
    logerror(name, "下载文件失败:");
    const std::string error = plat::pathDirname(path) + "/down_" + hash + "_error";
    if (::rename(path.c_str(), error.c_str()) != 0) ::unlink(path.c_str());
    return;
  }
  size_t rows = 0, settled = 0;
  bool giveup = false;
  {
    std::lock_guard<std::mutex> l(controllock_);
    const auto waiting = syncdb_->get_files_downloading(hash);
    rows = waiting.size();
    for (SyncFileItem r : waiting) {
      if (st->size != r.size) continue;
      std::string local = getnormalpath(r.webpath);
      // Renamed or moved meanwhile, and the service not told yet: the new
      // version goes where the item is now, and the rename takes it up.
      if (!plat::statNoFollow(local)) {
        if (std::string moved = pendingPlace(local); !moved.empty()) local = std::move(moved);
      }
      const LocalEdit edit = localWins(r, local, path);
      if (edit == LocalEdit::waits) continue;  // tried again with the result
      if (edit == LocalEdit::wins || parentDeleting(r, false)) {
        ++settled;
        continue;
      }
      if (!makefolder(plat::pathDirname(local))) {
        giveup = placefailed(r, "无法创建文件夹") || giveup;
        continue;
      }
      if (isRegularFile(local)) Util::setfilereadwirte(local);
      if (Util::isfilelock(local)) Util::setfilelock(local, false);
      if (!keepLocalVersion(r, local, hash)) continue;
      plat::Error e;
      if (!placefile(path, local, &e)) {
        giveup = placefailed(r, e.code() != 0 ? std::strerror(static_cast<int>(e.code())) : "未知错误") || giveup;
        continue;
      }
      placeFailures_.erase(r.webpath);
      r.last = Util::filemodifytime(local);
      if (r.lock == synclock::other) Util::setfilereadonly(local);
      check_readonly_path(r.webpath);
      if (syncdb_->update_finish(r.webpath, r.last, syncstatus::synced, r.version)) {
        addecho(r.webpath, r.size, r.last);
        ++settled;
        update_parenttime(r.parent);
      }
    }
  }
  // A placement that keeps failing: the result waits out the error hold
  // like a failed download, then the rows are handed out again.
  if (giveup && settled != rows) {
    const std::string error = plat::pathDirname(path) + "/down_" + hash + "_error";
    if (::rename(path.c_str(), error.c_str()) != 0) ::unlink(path.c_str());
    std::lock_guard<std::mutex> l(verifyMutex_);
    verified_.erase(path);
    return;
  }
  // Kept until every waiting row has its copy; then the engine keeps it in
  // the local file cache instead.
  if (settled == rows) {
    synccache_->movecache(path, hash);
    std::lock_guard<std::mutex> l(verifyMutex_);
    verified_.erase(path);
  }
}

void SyncManager::downloadgone(const std::string& webpath) {
  {
    std::lock_guard<std::mutex> l(controllock_);
    SyncFileItem row = syncdb_->get_single_file(webpath);
    // Only a row still waiting for its fetch; anything else took another
    // road meanwhile (a second fetch of it already ended here, say).
    if (row.status != syncstatus::toDownload && row.status != syncstatus::downloading) return;
    std::string local = getnormalpath(webpath);
    if (!plat::statNoFollow(local)) {
      if (std::string moved = pendingPlace(local); !moved.empty()) local = std::move(moved);
    }
    const auto st = plat::statNoFollow(local);
    if (!row.file || !st || !st->isRegular) {
      syncdb_->del_file(webpath);
      return;
    }
    if (row.last != 0 && Util::filemodifytime(local) == row.last) {
      // The older version, in step: the service no longer has the item at
      // this path either, and it goes as the service's deletion would take
      // it. Left with no row, the next scan would send it up again.
      if (local == getnormalpath(webpath)) removeLocal(local);
      syncdb_->del_file(webpath);
      return;
    }
    // The local file waited for the service's version to be kept first
    // (last 0), or changed since it was last in step: it is the user's
    // version, and with nothing left to keep it goes up at its path. The
    // row dropped, it would stay on this disk only, synced nowhere.
    row.status = keptStatus(webpath, false, syncstatus::toUpload);
    row.filehash.clear();
    row.actlast = 0;  // not held back like a failed download
    syncdb_->update_file(row);
  }
  logerror(webpath, "云端文件已不存在，保留本地文件并上传:");
  wakeTransfers();
}

bool SyncManager::keepbeforeupload(const CompareItem& current) {
  std::lock_guard<std::mutex> l(controllock_);
  const SyncFileItem row = syncdb_->get_single_file(current.webpath);
  // Overwrite mode and view-only shares take the service's version on
  // their own road; an upload no longer waited for is not ours to judge.
  if (row.status != syncstatus::uploading || bOverwrite_ || syncshare_.isreadonly(current.webpath) ||
      !unsyncnode_.need_sync(row.webpath, false)) {
    return false;
  }
  if (!unheldVersion(row, current, getnormalpath(current.webpath))) return false;
  fetchToKeep(row, current);
  return true;
}

void SyncManager::finishupload(const std::string& path, const std::string& webpath) {
  // What the local file holds now, read before the lock; the state taken
  // around it says whether it still holds that when the row is written.
  const std::string local = getnormalpath(webpath);
  const plat::DiskState before = plat::DiskState::of(local);
  const std::string hash = before.exists && !before.dir ? Util::getfilehash(local).value_or("") : "";
  SyncFileItem row;
  std::string sentHash;
  bool good = false;
  {
    std::lock_guard<std::mutex> l(controllock_);
    row = syncdb_->get_single_file(webpath);
    sentHash = row.filehash;
    if (row.status != syncstatus::none) {
      syncdb_->update_acttime(webpath);
      const auto sent = plat::statNoFollow(path);
      // Size, second and content: an edit within the same second at the same
      // size is not the content that was sent.
      good = sent && sent->isRegular && before.exists && !before.dir && plat::DiskState::of(local) == before &&
             row.size == sent->size && row.size == before.size && row.last == Util::filemodifytime(path) &&
             row.last == Util::filemodifytime(local) && !row.filehash.empty() && hash == row.filehash;
      // A change of the service met while this upload was on its way: when it
      // is newer than the version the upload made, the service's version
      // stands and is fetched (the local file is the version just sent).
      std::optional<CompareItem> newer;
      if (auto it = seenDuringUpload_.find(plat::foldCase(webpath)); it != seenDuringUpload_.end()) {
        if (it->second.version > row.version && it->second.filehash != row.filehash) newer = it->second;
        seenDuringUpload_.erase(it);
      }
      if (good && newer) {
        row.diskversion = row.version;
        row.size = static_cast<uint64_t>(std::max<int64_t>(0, newer->filesize));
        row.filehash = newer->filehash;
        row.version = newer->version;
        row.memberid = newer->lastmemberid;
        row.status = keptStatus(webpath, false, syncstatus::toDownload);
        syncdb_->update_file(row);
        update_parenttime(row.parent);
      } else if (good) {
        syncdb_->update_diskvesion(webpath, row.version);
        syncdb_->update_status(webpath, syncstatus::synced);
        update_parenttime(row.parent);
      } else if (row.status == syncstatus::uploading && !before.exists) {
        // Gone while it was sent (deleted, or renamed or moved on): the
        // service has what was sent, so the item is one that this disk
        // removed; a rename or move waiting for it takes it from there, else
        // the deletion is sent. Left "uploading", nothing would ever pick it.
        row.filehash.clear();
        row.size = 0, row.last = 0;
        row.status = syncstatus::toDelete;
        syncdb_->update_file(row);
      } else if (row.status == syncstatus::uploading) {
        // Changed while it was sent: never recorded under the old hash, it
        // goes again.
        row.filehash.clear();
        row.size = before.exists && !before.dir ? before.size : 0;
        row.last = Util::filemodifytime(local);
        syncdb_->update_file(row);
      }
    }
  }
  if (row.status != syncstatus::none) {
    if (good) {
      synccache_->addcache(path, sentHash);
    } else {
      cancel_trans(webpath);
    }
  }
  // The copy in the transfer folder has done its work; a file of the sync
  // folders is never deleted here.
  int64_t type = 0;
  getrelativepath(path, &type);
  if (type == -1 && plat::pathDirname(path) == transcache_->cachepath() &&
      plat::pathBasename(path).rfind("upload_", 0) == 0) {
    ::unlink(path.c_str());
  }
}
