// Linked folders: a local folder anywhere on the disk kept in step with a
// cloud folder, with a watcher of its own. The set, LINKNODE, the excluded
// folders and the watchers are kept in agreement here.
#include <sys/stat.h>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncLocalShared.h"
#include "app/sync/SyncManager.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/format.h"

using namespace synclocal;

bool SyncManager::add_link(const std::string& webpath, const std::string& fullpath) {
  const std::string local = NSStringExpand::lastremoveslash(fullpath);
  {
    std::lock_guard<std::mutex> l(controllock_);
    if (syncdb_->get_single_file(webpath).status == syncstatus::none) {
      SyncFileItem n;
      n.webpath = webpath;
      n.parent = syncpath::parentOf(webpath);
      n.file = false;
      n.status = syncstatus::synced;
      n.last = Util::filemodifytime(local);
      syncdb_->add_new_file(n);
    }
    linkfolder_.add(webpath, local);
    syncdb_->add_link(webpath, local);
    // Linked again after an unlink: the folder is listed and scanned anew.
    del_unsyncpath(webpath, false);
  }
  Util::getAppDelegate().setBRemove(true);
  const std::string src = withSlash(local);
  {
    std::lock_guard<std::mutex> w(watchMutex_);
    for (auto& h : handlers()) {
      if (noSlash(h->srcPath()) == noSlash(src)) {
        h->setWatchingPaths(true);
        return true;
      }
    }
    watch(src, "");
  }
  return true;
}

bool SyncManager::remove_link(const std::string& webpath) {
  bool done = false;
  {
    std::lock_guard<std::mutex> l(controllock_);
    done = unlink(webpath);
  }
  if (!done) return false;
  Util::getAppDelegate().UpdateLaunchpadJS();
  return true;
}

bool SyncManager::unlink(const std::string& webpath) {
  if (!linkfolder_.islink(webpath)) return false;
  const std::string local = linkfolder_.getnormalpath(webpath);
  if (unsyncnode_.add(webpath, 0)) {
    syncdb_->insert_unsync_nodes(unsyncnode_.getlist());
    syncdb_->removesync(webpath);
    cancel_trans(webpath);
  }
  linkfolder_.remove(webpath, true);
  syncdb_->remove_link(webpath, true);
  // The watcher stays for a later link of the same folder, silent meanwhile.
  for (auto& h : handlers()) {
    if (noSlash(h->srcPath()) == noSlash(local)) h->setWatchingPaths(false);
  }
  Util::getAppDelegate().setBRemove(true);
  return true;
}

void SyncManager::retirelinkwatch(const std::string& local) {
  std::lock_guard<std::mutex> l(handlersMutex_);
  for (auto it = handlerlist_.begin(); it != handlerlist_.end();) {
    if (noSlash((*it)->srcPath()) == noSlash(local)) {
      (*it)->setWatchingPaths(false);
      retired_.push_back(*it);
      it = handlerlist_.erase(it);
    } else {
      ++it;
    }
  }
}

void SyncManager::endretired() {
  std::vector<std::shared_ptr<Directoryhandler>> gone;
  {
    std::lock_guard<std::mutex> l(handlersMutex_);
    gone.swap(retired_);
  }
  for (auto& h : gone) h->stopMonitoring();
}

std::string SyncManager::getlinkpathjson() {
  std::string out = "{\"list\":[";
  bool first = true;
  for (const auto& n : linkfolder_.getlinknodes()) {
    std::string suffix;
    ShareNode share;
    if (syncshare_.get(n.webpath, share)) suffix = share.local > 0 ? ",\"share\":1,\"local\":1" : ",\"share\":1";
    if (!first) out += ",";
    first = false;
    out += plat::format("{\"webpath\":\"%@\",\"fullpath\":\"%@\",\"type\":0%@}", Util::jsonText(n.webpath),
                        Util::jsonText(NSStringExpand::lastaddslash(n.fullpath)), suffix);
  }
  return out + "]}";
}

std::string SyncManager::check_dir_legecy(const std::string& path, bool& unBind) {
  unBind = true;
  if (path.empty()) return "";
  std::vector<std::string> others;
  for (const auto& n : linkfolder_.getlinknodes()) others.push_back(n.fullpath);
  for (const std::string& r : {syncpath(), syncorg()}) {
    if (!r.empty()) others.push_back(r);
  }
  // Linking the client's own files would sync its databases while they change.
  const auto u = Util::getAppDelegate().userdata();
  if (u && !u->getconfigpath().empty()) others.push_back(u->getconfigpath());
  const std::string cand = noSlash(path);
  for (const auto& o : others) {
    if (foldersOverlap(cand, noSlash(o))) {
      unBind = false;
      return o;
    }
  }
  return "";
}
