// The selective-sync changes and the local file states (read-only, the
// copy list, files left out).
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
