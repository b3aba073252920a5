#include "app/sync/SyncManager.h"
#include "platform/fs/file_ops.h"

#include <dirent.h>

#include <chrono>
#include <filesystem>
#include <cmath>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/ServiceHosts.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncPath.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

namespace {

std::shared_ptr<UserData> user() {
  auto u = Util::getAppDelegate().userdata();
  return u ? u : std::make_shared<UserData>();
}

std::string withSlash(std::string p) {
  if (p.empty() || p.back() != '/') p += '/';
  return p;
}

bool isFolderChange(const CompareItem& c) { return c.filehash.empty() && c.filesize == 0; }

// Seconds since 2001, whole, as the engine's own stamps are.
uint64_t nowStamp() { return static_cast<uint64_t>(std::max<int64_t>(0, Syncdb::now())); }

}  // namespace

// ---------------------------------------------------------------------------
// Timetable

SyncTimetable::Due SyncTimetable::tick(double now, bool syncnow, bool idle) {
  Due d;
  if (now - rename_ > kRename) {
    rename_ = now;
    d.rename = true;
  }
  if (now - cache_ > kCache) {
    cache_ = now;
    d.cacheClean = idle;
  }
  if (now - compare_ > kCompare || syncnow) {
    compare_ = now;
    d.compare = true;
  }
  return d;
}

// ---------------------------------------------------------------------------
// Construction and life

SyncManager::SyncManager(const std::string& path, bool bReset, bool resetorg) {
  const auto u = user();
  synccache_ = std::make_shared<SyncCache>(u->getcache());
  syncdb_ = std::make_shared<Syncdb>(u->getsyncdb());
  if (bReset) {
    syncdb_->clear_total_version();
    syncdb_->clear_all_files();
    syncdb_->del_unsync_nodes();
  }
  setRoots(path);
  writeRecycleBinLink();
  bStart_ = false, bScaned_ = false, bSyncnow_ = true, bOut_ = false, bFristScan_ = true;
  syncdb_->insert_total_version("/", 0, 0, 0);
  auto nodes = syncdb_->get_unsync_nodes();
  removefileunsync(nodes);
  unsyncnode_.setnode(nodes);
  if (resetorg) resetorgshare();
  initsharefolder();
  for (const auto& l : syncdb_->get_links()) linkfolder_.add(l.webpath, l.fullpath);
  watchLinks();
  transcache_ = std::make_shared<SyncTransCache>(u->gettranscache(), this);
  lastrename_ = {};
  thread_ = plat::startThread("sync.run", [this] { run(); });
  threadcheck_ = plat::startThread("sync.runcheck", [this] { runcheck(); });
  watchRoots();
}

SyncManager::~SyncManager() {
  exit();
  exitlink();  // the watchers call into the engine: they end before it
}

std::shared_ptr<SyncManager> SyncManager::initwithpath(const std::string& path, bool bReset, bool resetorg) {
  return std::make_shared<SyncManager>(path, bReset, resetorg);
}

void SyncManager::setRoots(const std::string& parent) {
  const std::string p = withSlash(parent);
  Util::createfolder(p);
  const std::string personal = p + kPersonal + "/";
  const std::string team = user()->orgID() > 0 ? p + kTeam + "/" : std::string();
  {
    std::lock_guard<std::mutex> l(pathsMutex_);
    syncparent_ = p, syncpath_ = personal, syncorg_ = team;
  }
  // A root that went missing is fetched again whole.
  if (!Util::existfile(personal)) {
    syncdb_->resetsync(1);
    Util::createfolder(personal);
  }
  if (!team.empty() && !Util::existfile(team)) {
    syncdb_->resetsync(2);
    Util::createfolder(team);
  }
}

void SyncManager::writeRecycleBinLink() {
  const std::string link = syncparent() + kRecycleBin;
  if (Util::existfile(link)) return;
  const std::string url = Util::getDealWithHttpsOrHttpUrl(ServiceHosts::webSite() + "/recyclebin");
  const std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n\t<key>URL</key>\n\t<string>" +
      url + "</string>\n</dict>\n</plist>\n";
  if (plat::atomicWrite(link, plist)) Util::setfileexthide(link);
}

void SyncManager::initsharefolder() {
  for (const auto& v : syncdb_->get_all_version()) {
    if (v.webpath == "/" || v.webpath.empty()) continue;
    // A team row of an older form (no slashes round it) is dropped.
    if (v.webpath.front() != '/' && v.webpath.back() != '/' && v.org > 0) {
      syncdb_->del_total_version_check(v.webpath);
      continue;
    }
    std::string p = v.webpath;
    if (p.front() == '/') p.erase(0, 1);
    if (!p.empty() && p.back() == '/') p.pop_back();
    syncshare_.add(p, v.synctype, v.local, v.org);
  }
}

void SyncManager::setUnsyncnode(const std::optional<std::vector<UnSyncNodeItem>>& nodes, bool overwrite) {
  if (nodes) {
    std::vector<UnSyncNodeItem> leaving;
    for (const auto& n : *nodes) {
      if (unsyncnode_.need_sync(n.path, true)) leaving.push_back(n);
    }
    for (const auto& n : leaving) cancel_trans(n.path);
    // Judged while the rows are there; the watchers see the removals once
    // the folders are excluded.
    std::lock_guard<std::mutex> l(controllock_);
    for (const auto& n : leaving) removeExcluded(getnormalpath(n.path), n.type == 2);
    unsyncnode_.setnode(*nodes);
    const auto list = unsyncnode_.getlist();
    syncdb_->insert_unsync_nodes(list);
    syncdb_->update_unsync_nodes(list);
  }
  bOverwrite_ = overwrite;
}

void SyncManager::start() {
  bStart_ = true, bScaned_ = false, bSyncnow_ = true, bFristScan_ = true;
  // After a stop (a pause) the roots and linked folders are watched again;
  // the full scan of this start finds what changed meanwhile.
  watchLinks();
  watchRoots();
  for (auto& h : handlers()) h->setWatchingPaths(true);
}

void SyncManager::stop() {
  bStart_ = false;
  exitlink();
}

void SyncManager::exit() {
  {
    std::lock_guard<std::mutex> l(sleepMutex_);
    bOut_ = true;
  }
  sleepCv_.notify_all();
  exitlink();
  for (auto* t : {&thread_, &threadcheck_}) {
    if (t->joinable() && t->get_id() != std::this_thread::get_id()) t->join();
  }
}

void SyncManager::movedir(const std::string& parent) {
  setRoots(parent);
  writeRecycleBinLink();
  watchRoots();
}

std::string SyncManager::syncpath() const {
  std::lock_guard<std::mutex> l(pathsMutex_);
  return syncpath_;
}
std::string SyncManager::syncorg() const {
  std::lock_guard<std::mutex> l(pathsMutex_);
  return syncorg_;
}
std::string SyncManager::syncparent() const {
  std::lock_guard<std::mutex> l(pathsMutex_);
  return syncparent_;
}
renamefile_stx SyncManager::lastrename() const {
  std::lock_guard<std::mutex> l(pathsMutex_);
  return lastrename_;
}
void SyncManager::setLastrename(renamefile_stx r) {
  std::lock_guard<std::mutex> l(pathsMutex_);
  lastrename_ = std::move(r);
}

void SyncManager::passThrough(const std::string& webpath, int64_t version) {
  passedThrough(webpath, version);  // drops what is over
  if (passedThrough_.size() >= kPassedThroughMax) passedThrough_.erase(passedThrough_.begin());
  passedThrough_.push_back({webpath, version, nowStamp()});
}

bool SyncManager::passedThrough(const std::string& webpath, int64_t version) {
  const uint64_t now = nowStamp();
  std::erase_if(passedThrough_, [&](const renamefile_stx& p) { return now - p.lasttime > 60; });
  const std::string w = plat::foldCase(webpath);
  for (const auto& p : passedThrough_) {
    const std::string at = plat::foldCase(p.webpath);
    if (version <= p.version && (w == at || w.rfind(at + "/", 0) == 0)) return true;
  }
  return false;
}

void SyncManager::dropLanded() {
  // A page read before the rename ended comes within a pass or two; a few
  // minutes leave room for a slow feed.
  const uint64_t now = nowStamp();
  std::erase_if(landed_, [&](const Landed& m) { return now - m.from.lasttime > 300; });
}

void SyncManager::landed(const std::string& from, const std::string& to, int64_t version) {
  dropLanded();
  if (landed_.size() >= kPassedThroughMax) landed_.erase(landed_.begin());
  landed_.push_back({{from, version, nowStamp()}, to});
}

bool SyncManager::meetsFlight(const std::string& webpath) const {
  for (const auto& from : inFlight_) {
    if (syncpath::within(webpath, from)) return true;
  }
  return false;
}

std::optional<CompareItem> SyncManager::carriedThrough(CompareItem item, bool& carried) {
  carried = false;
  dropLanded();
  // In the order they landed: a rename after a move takes the item on from
  // where the move left it. A change at least as new as the rename is of
  // what the service has at the old place since.
  for (size_t i = 0; i < landed_.size(); ++i) {
    const Landed& m = landed_[i];
    if (item.version >= m.from.version || !syncpath::within(item.webpath, m.from.webpath)) continue;
    // What the service said of a place our own earlier rename or move made,
    // which a later one left: nothing new.
    for (size_t j = 0; j < i; ++j) {
      if (item.version <= landed_[j].from.version && syncpath::within(item.webpath, landed_[j].to)) return std::nullopt;
    }
    item.webpath = m.to + syncpath::restAfter(item.webpath, m.from.webpath);
    carried = true;
  }
  return item;
}

bool SyncManager::goneOnService(const std::string& webpath) {
  const auto u = Util::getAppDelegate().userdata();
  if (!u) return false;
  const auto& listed = listedOnService(syncpath::parentOf(webpath), *u, listedForPage_);
  // Not known (no answer): the entry stays rather than go on a guess.
  if (!listed) return false;
  const size_t slash = webpath.rfind('/');
  const std::string name = plat::foldCase(slash == std::string::npos ? webpath : webpath.substr(slash + 1));
  return std::none_of(listed->begin(), listed->end(),
                      [&](const FileListItem& e) { return plat::foldCase(e.filename) == name; });
}

bool SyncManager::maybeOnDisk(const std::string& local) {
  // A stat of a name that is not there costs a new negative entry in the
  // kernel's cache each time: for a page of new files in a few folders one
  // read of each folder is far cheaper.
  constexpr size_t kMostNames = 4096;
  const size_t slash = local.rfind('/');
  if (slash == std::string::npos || slash + 1 == local.size()) return true;
  const std::string folder = local.substr(0, slash + 1);
  auto at = namesOnDisk_.find(folder);
  if (at == namesOnDisk_.end()) {
    std::optional<std::unordered_set<std::string>> names;
    if (DIR* d = ::opendir(folder.c_str())) {
      names.emplace();
      while (const dirent* e = ::readdir(d)) {
        if (names->size() >= kMostNames) {
          names.reset();
          break;
        }
        names->insert(e->d_name);
      }
      ::closedir(d);
    }
    at = namesOnDisk_.emplace(folder, std::move(names)).first;
  }
  return !at->second || at->second->count(local.substr(slash + 1)) != 0;
}

void SyncManager::setLocalPass(std::function<void(bool)> pass) {
  std::lock_guard<std::mutex> l(hooksMutex_);
  localPass_ = std::move(pass);
}

std::string SyncManager::getnormalpath(const std::string& webpath) const {
  const std::string linked = linkfolder_.getnormalpath(webpath);
  if (!linked.empty()) return linked;
  const std::string team = syncorg();
  if (!team.empty() && syncshare_.isorg(webpath)) return team + webpath;
  return syncpath() + webpath;
}

std::string SyncManager::getrelativepath(const std::string& local, int64_t* type) const {
  int64_t t = -1;
  std::string out = linkfolder_.getrelativepath(local);
  // Letter case is folded by the one rule the linked set and the database
  // use; the rest keeps the path's own letters.
  const std::string l = plat::foldCase(local);
  const auto startsWith = [&](const std::string& root) {
    return !root.empty() && l.rfind(plat::foldCase(root), 0) == 0;
  };
  const std::string org = syncorg(), personal = syncpath(), parent = syncparent();
  if (!out.empty()) {
    t = 0;
  } else if (startsWith(org)) {
    t = 2, out = syncpath::restAfter(local, org);
  } else if (startsWith(personal)) {
    t = 1, out = syncpath::restAfter(local, personal);
  } else if (startsWith(parent)) {
    std::string rest = syncpath::restAfter(local, parent);
    while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    const auto user = Util::getAppDelegate().userdata();
    if (rest == kPersonal) {
      t = 1;
    } else if (rest == kTeam && user && user->orgID() >= 1) {
      t = 2;
    } else if (rest == kRecycleBin) {
      t = 4;
    } else {
      t = 3;
    }
    out.clear();
  }
  if (type) *type = t;
  return out;
}

// One pass over the path, without a lower-cased copy: the scans ask it of
// every entry.
bool SyncManager::isigonore(std::string_view local) {
  static constexpr std::string_view kAfterDot[] = {"tmp", "qvreset", "qvdif", "qvtmp", "qvcopy"};
  const size_t n = local.size();
  if (n > 0 && local.back() == '.') return true;
  for (size_t i = 0; i < n; ++i) {
    switch (local[i]) {
      case '<': case '>': case '|': case '?': case ':': case '\\': case '"': case '\n': case '\r': case '\t':
        return true;
      case '/':
        if (i + 1 < n && (local[i + 1] == '.' || local[i + 1] == '~')) return true;
        break;
      case '.':
        for (const auto tail : kAfterDot) {
          if (n - i - 1 < tail.size()) continue;
          size_t k = 0;
          while (k < tail.size() && std::tolower(static_cast<unsigned char>(local[i + 1 + k])) == tail[k]) ++k;
          if (k == tail.size()) return true;
        }
        break;
      default:
        break;
    }
  }
  return false;
}

bool SyncManager::compare_modify(const std::string& path, SyncFileItem& row) {
  if (!row.file) return true;
  const uint64_t size = Util::filesize(path), m = Util::filemodifytime(path);
  const bool kept = unsyncnode_.need_sync(row.webpath, false);
  // Last 0 while the service's version is fetched to be kept: the completion
  // takes the file as it is then and uploads it.
  if (row.last == 0 && (row.status == syncstatus::toDownload || row.status == syncstatus::downloading)) return true;
  // Same size and second is not proof: an edit within the same second at
  // the same size is told apart by the content.
  if (row.size == size && !row.filehash.empty() && row.last == m &&
      Util::getfilehash(path).value_or("") == row.filehash) {
    if (row.status == syncstatus::toDownload) {
      syncdb_->update_status(row.webpath, kept ? syncstatus::synced : syncstatus::excluded);
    }
    return true;
  }
  row.size = size, row.last = m, row.filehash = "", row.status = kept ? syncstatus::toUpload : syncstatus::excluded;
  syncdb_->update_file(row);
  return false;
}


void SyncManager::removeLocal(const std::string& local) {
  if (!Util::existfile(local) && !plat::statNoFollow(local)) return;
  if (Util::getAppDelegate().bRecyclebin()) {
    Util::deletefile2recyclebin(local);
  } else {
    plat::FileOps::shared().remove(local);  // no echo for the watcher
  }
}

bool SyncManager::placeFolder(const SyncFileItem& row, const std::string& local) {
  if (row.file || row.status != syncstatus::toDownload) return false;
  // Made as our own: a deletion of ours there before would otherwise still
  // be remembered, and the user's deletion of this folder taken for its echo.
  if (!Util::existfile(local) && !plat::FileOps::shared().makeFolder(local)) return false;
  syncdb_->update_finish(row.webpath, Util::filemodifytime(local), syncstatus::synced, row.version);
  return true;
}

void SyncManager::setAllFiles(const std::string& folder, bool readonly) {
  readonly ? setallfileread(folder) : setallfilewrite(folder);
}

void SyncManager::tell(const std::string& file, const std::string& info) {
  QVLog::sharedQVLog().addLogErrorFile(file, info);
}

void SyncManager::notice(const std::string& text) { Util::getAppDelegate().notice(text); }

// ---------------------------------------------------------------------------
// Threads

void SyncManager::pause(double seconds, bool* kick) {
  auto& clock = plat::currentClock();
  std::unique_lock<std::mutex> l(sleepMutex_);
  const bool early = sleepCv_.wait_for(l, std::chrono::duration<double>(clock.realSecondsFor(seconds)),
                                       [&] { return bOut_.load() || (kick && *kick); });
  if (kick) *kick = false;
  l.unlock();
  if (!bOut_ && !early) clock.idle(seconds);
}

void SyncManager::wakecheck() {
  {
    std::lock_guard<std::mutex> l(sleepMutex_);
    checkKicked_ = true;
  }
  sleepCv_.notify_all();
}

void SyncManager::run() {
  SyncTimetable table(plat::currentClock().monotonic());
  while (!bOut_) {
    if (!bStart_) {
      pause(2);
      continue;
    }
    try {
      const auto due = table.tick(plat::currentClock().monotonic(), bSyncnow_.load(),
                                  Util::getAppDelegate().synccount() == 0);
      if (due.rename) {
        std::lock_guard<std::mutex> l(controllock_);
        check_rename_and_remove();
      }
      if (due.cacheClean) transcache_->timeremovefile();
      if (due.compare) comparePass();
    } catch (const std::exception& e) {
      // The pass is dropped, not the thread; the pause below keeps a fault
      // that repeats from turning the loop into a spin.
      ++faults_;
      plat::log("sync run: %@", std::string(e.what()));
    }
    pause(1);
  }
}

void SyncManager::comparePass() {
  ++passes_;
  // The team may have gained shares while the engine was off.
  if (bFristScan_) resetorgshare();
  bSyncnow_ = false;
  receive_from_server();
  // What the service's changes made to fetch starts now, not after the
  // transfer fillers' sleep; the same once the local pass has run.
  wakeTransfers();
  const bool fullScan = !bScaned_;
  const auto hook = hookOf(localPass_);
  if (hook && !bOut_) hook(fullScan);
  if (!bOut_) localPass(fullScan);
  if (fullScan && !bOut_) {
    bScaned_ = true;
    bFristScan_ = false;
  }
  wakeTransfers();
}

void SyncManager::wakeTransfers() {
  auto t = trans();
  if (!t) return;
  // The fillers start nothing while the count of items to sync reads 0, and
  // the periodic job brings it up to date only once a second.
  Util::getAppDelegate().setSynccount(syncdb_->getAllNeedSyncCount());
  t->wakeup();
}

void SyncManager::runcheck() {
  double stamp = plat::currentClock().monotonic();
  while (!bOut_) {
    if (!bStart_) {
      pause(2);
      continue;
    }
    try {
      transcache_->checkfinish();
      ++checks_;
      const double now = plat::currentClock().monotonic();
      if (now - stamp > 1800) {
        synccache_->clean(SyncCache::kTrimLimit);
        stamp = now;
      }
    } catch (const std::exception& e) {
      ++faults_;
      plat::log("sync runcheck: %@", std::string(e.what()));
    }
    // A finished download ends the wait: its file is placed at once, not up
    // to a second later; the second stays the longest wait.
    pause(1, &checkKicked_);
  }
}

// ---------------------------------------------------------------------------
// The remote road

void SyncManager::receive_from_server() {
  if (!Util::getAppDelegate().bLink()) return;
  struct Release {
    std::atomic<bool>& hold;
    ~Release() { hold = false; }
  } release{holdDownloads_};
  const auto rows = syncdb_->get_all_version();
  receive_server_version(rows, true);
  // Roots added by this pass (new shares) are listed in the same pass.
  std::vector<SyncVersion> added;
  for (const auto& v : syncdb_->get_all_version()) {
    if (bOut_) return;
    bool known = false;
    for (const auto& r : rows) known = known || r.webpath == v.webpath;
    if (!known) added.push_back(v);
  }
  if (!added.empty()) receive_server_version(added, true);

  for (const auto& req : syncdb_->get_sync_now()) {
    if (bOut_) return;
    if (req.webpath.empty()) {
      syncdb_->reset_dir_type(req.version);
      if (auto t = trans()) t->removeall();
      SyncVersion root;
      root.webpath = "/";
      receive_server_version({root}, false);
      // A type that names no root forces no scan.
      if (req.version == 3) {
        scandir(syncpath());
        const std::string org = syncorg();
        if (!org.empty()) scandir(org);
        scanlink(3);
        scandel();
      } else if (req.version == 1) {
        scandir(syncpath());
        scanlink(1);
        scandel();
      }
    } else {
      syncdb_->reset_dir(req.webpath);
      if (syncdb_->get_single_file(req.webpath).status == syncstatus::none) {
        SyncFileItem it;
        it.webpath = req.webpath;
        it.parent = syncpath::parentOf(req.webpath);
        it.membername = user()->userName();
        it.memberid = user()->userID();
        it.status = syncstatus::toDownload;
        syncdb_->add_new_file(it);
      } else {
        syncdb_->update_status(req.webpath, syncstatus::toDownload);
      }
      cancel_trans(req.webpath);
      SyncVersion root;
      root.webpath = "/" + req.webpath + "/";
      receive_server_version({root}, false);
      if (bOut_) return;
      // What only this disk holds below the folder goes up in this pass.
      const std::string local = getnormalpath(req.webpath);
      if (plat::isDirectory(local)) scandir(local);
      mark_file_delete(req.webpath);
    }
    syncdb_->del_sync_now(req.webpath, req.version);
  }
}

void SyncManager::receive_server_version(std::vector<SyncVersion> rows, bool bChange) {
  const auto u = user();
  for (auto& row : rows) {
    if (bChange) {
      const SyncVersion stored = syncdb_->get_total_version(row.webpath);
      if (stored.webpath.empty()) continue;
      row.version = stored.version, row.dateline = stored.dateline, row.changekey = stored.changekey;
    }
    for (int call = 0; call < kCallsPerRoot; ++call) {
      if (bOut_) return;
      const RetCompare ret =
          HTTPEngine::compare(u->userToken(), row.webpath, row.changekey, u->mountID(), row.version, row.dateline);
      if (ret.status == 200) {
        const SyncVersion before = row;
        row.dateline = ret.dateline, row.version = ret.version, row.changekey = ret.changekey;
        const bool whole = receive_datas(ret.itemlist, row.synctype);
        // Stopped inside the page, or its write failed: the cursor stays,
        // the page comes again.
        if (bOut_) return;
        if (!whole) {
          row.dateline = before.dateline, row.version = before.version, row.changekey = before.changekey;
          continue;
        }
        syncdb_->update_total_version(row);
        // The page's files are fetched while the next page is read.
        wakeTransfers();
        if (static_cast<int>(ret.itemlist.size()) < kPageSize) break;
        continue;
      }
      if (ret.error == 40101 || ret.error == 40102) {
        u->regettoken();
      } else if (ret.status == 400 && ret.error == 40008) {
        // The service refuses where the client stands in the feed: read it
        // again from its start rather than skip what lies between.
        row.version = 0, row.dateline = 0, row.changekey.clear();
        syncdb_->update_total_version(row);
      }
    }
  }
}

bool SyncManager::receive_datas(const std::vector<CompareItem>& items, int64_t synctype) {
  Syncdb::Batch batch(*syncdb_);
  {
    std::lock_guard<std::mutex> l(controllock_);
    listedForPage_.clear();
  }
  namesOnDisk_.clear();
  struct Forget {
    decltype(namesOnDisk_)& names;
    ~Forget() { names.clear(); }
  } forget{namesOnDisk_};
  for (const auto& item : items) {
    if (bOut_) return batch.finish();
    // Anything but a new file may make or move entries on disk.
    if (item.cmd != 1 || isFolderChange(item)) namesOnDisk_.clear();
    if (item.cmd == 0 && isFolderChange(item)) holdDownloads_ = true;
    {
      std::unique_lock<std::mutex> l(controllock_);
      // A rename or move of ours of this item is with the service: its answer
      // says where the item is, and the change is carried there.
      if (meetsFlight(item.webpath)) {
        syncdb_->pauseBatch();
        while (!bOut_ && meetsFlight(item.webpath)) flightEnded_.wait_for(l, std::chrono::milliseconds(100));
        if (bOut_) break;
      }
      bool carried = false;
      const std::optional<CompareItem> through = carriedThrough(item, carried);
      if (through) {
        const CompareItem& c = *through;
        switch (c.cmd) {
          case -1: receive_reset(c); break;
          case 0:
            if (!carried || goneOnService(c.webpath)) receive_del(c);
            break;
          case 1: receive_add(c, synctype); break;
          case 1000:
          case 1001:
          case 1003: receive_add_sharefolder(c); break;
          default: break;
        }
      }
    }
    if (item.cmd == 0) endretired();
  }
  return batch.finish();
}

int64_t SyncManager::keptStatus(const std::string& webpath, bool dir, int64_t status) const {
  return unsyncnode_.need_sync(webpath, dir) ? status : syncstatus::excluded;
}

SyncFileItem SyncManager::newRow(const CompareItem& item, int64_t status) const {
  SyncFileItem it;
  it.webpath = item.webpath;
  it.parent = syncpath::parentOf(item.webpath);
  it.filehash = item.filehash;
  it.membername = item.lastmembername;
  it.size = static_cast<uint64_t>(std::max<int64_t>(0, item.filesize));
  it.status = status;
  it.file = !isFolderChange(item);
  it.version = item.version;
  it.memberid = item.lastmemberid;
  it.lock = item.lock;
  return it;
}

void SyncManager::receive_add(const CompareItem& item, int64_t synctype) {
  const bool dir = isFolderChange(item);
  if (item.local == 1) {
    syncdb_->insert_total_version(dir ? "/" + item.webpath + "/" : item.webpath, 0, item.local, item.org);
  }
  SyncFileItem row = syncdb_->get_single_file(item.webpath);
  const std::string local = getnormalpath(item.webpath);
  if (row.status == syncstatus::none) {
    if (passedThrough(item.webpath, item.version)) return;
    if (dir && placeMovedFolder(item, local)) return;
    const int64_t status = keptStatus(item.webpath, dir, syncstatus::toDownload);
    row = newRow(item, status);
    syncdb_->add_new_file(row);
    // A folder whose parent is not on disk yet belongs to a tree whose top
    // comes later (a move): it is made by the hand-off, or moved here whole
    // with its top.
    if (dir && holdDownloads_ && !plat::statNoFollow(plat::pathDirname(local))) return;
    if (placeFolder(row, local)) {
      // Not a move after all: the folders below that waited for it are made now.
      if (holdDownloads_) {
        for (const auto& below : syncdb_->get_below(item.webpath)) {
          if (!below.file) placeFolder(below, getnormalpath(below.webpath));
        }
      }
      return;
    }
    if (maybeOnDisk(local) && Util::existfile(local) && !compare_file(local, row, true)) {
      // A local copy that the service never had: it is never replaced by a
      // download. Its row says "changed since in step" (last 0), so the
      // completion keeps it and uploads it instead.
      const bool serviceWins = bOverwrite_ || synctype == 1;
      row = syncdb_->get_single_file(item.webpath);
      // The service's version, which this disk never held, is fetched and
      // kept in the Trash before the local file replaces it.
      if (!serviceWins && !dir && row.status != syncstatus::excluded && unheldVersion(row, item, local)) {
        fetchToKeep(row, item);
        return;
      }
      row.status = serviceWins ? status : keptStatus(item.webpath, dir, syncstatus::toUpload);
      row.last = 0;
      if (synctype == 1) {
        row.filehash = item.filehash;
        row.size = static_cast<uint64_t>(std::max<int64_t>(0, item.filesize));
        row.version = item.version;
      }
      syncdb_->update_file(row);
      if (serviceWins && !dir) tell(local, "本地文件与云端不同，已保留本地文件");
    }
    return;
  }
  namesOnDisk_.clear();
  syncdb_->update_membername(item.webpath, item.lastmembername, item.lastmemberid);
  if (row.lock != item.lock) {
    syncdb_->update_lock(item.webpath, item.lock);
    if (item.lock == 1) {
      Util::setfilereadonly(local);
    } else {
      Util::setfilereadwirte(local);
    }
  }
  // An upload takes its number when it is announced, so another client's
  // commit that the service took after this upload asked may carry a lower
  // one: a version this disk never held, judged like any change met during
  // an upload (kept before this upload replaces it).
  if (row.version > item.version) {
    const bool uploading = row.status == syncstatus::uploading || row.status == syncstatus::toUpload ||
                           row.status == syncstatus::toReupload;
    if (!uploading || dir || !unheldVersion(row, item, local)) return;
  }
  if (row.status == syncstatus::toDelete && row.version == item.version) return;
  if (row.file == dir) {
    remoteKindChange(row, item, synctype);
    return;
  }
  if (row.file) check_readonly_path(item.webpath);
  const renamefile_stx last = lastrename();
  if (syncpath::same(last.webpath, item.webpath) && last.version == item.version) {
    if (nowStamp() - last.lasttime <= 60) return;
    setLastrename({});
  }
  compare_data(syncdb_->get_single_file(item.webpath), item);
}

bool SyncManager::remoteKindChange(const SyncFileItem& row, const CompareItem& item, int64_t synctype) {
  // Only a row that stands for the service's old kind; local work waiting
  // to be sent settles the kind on its own road.
  if (row.status != syncstatus::synced && row.status != syncstatus::toRemove &&
      row.status != syncstatus::toDownload && row.status != syncstatus::downloading) {
    return false;
  }
  const std::string local = getnormalpath(row.webpath);
  cancel_trans(row.webpath);
  if (const auto st = plat::statNoFollow(local)) {
    if (row.file) {
      // Only a file in step with the service goes; the user's edit stays and wins.
      if (!st->isRegular || !unchangedSynced(row, local)) return false;
      synccache_->addcache(local, row.filehash);
      removeLocal(local);
    } else {
      if (!st->isDirectory) return false;
      SyncFileItem old = row;
      old.status = syncstatus::toRemove;
      syncdb_->update_status(row.webpath, syncstatus::toRemove);
      apply_deldisk(old);  // what is in step goes; anything else keeps the folder
    }
    if (plat::statNoFollow(local)) return false;
  }
  if (!row.file) {
    syncdb_->del_total_version(row.webpath);
    syncshare_.remove(row.webpath, false);
  }
  syncdb_->del_dir(row.webpath);
  QVLog::sharedQVLog().addLogNormalFile(row.webpath, row.file ? "云端文件已换成同名文件夹：" : "云端文件夹已换成同名文件：");
  receive_add(item, synctype);  // no row now: the new kind as any new item
  return true;
}

void SyncManager::receive_del(const CompareItem& item) {
  const bool dir = isFolderChange(item);
  if (dir) {
    syncdb_->del_total_version(item.webpath);
    // A linked folder deleted on the service is unlinked and no longer watched.
    const std::string linked = linkfolder_.islink(item.webpath) ? linkfolder_.getnormalpath(item.webpath) : "";
    if (unlink(item.webpath)) retirelinkwatch(linked);
    if (item.org > 0 && syncshare_.isorg(item.webpath)) syncdb_->del_by_org(item.webpath);
  }
  SyncFileItem row = syncdb_->get_single_file(item.webpath);
  const std::string local = getnormalpath(item.webpath);
  if (row.status == syncstatus::downloading) {
    cancel_trans(item.webpath);
    const auto st = plat::statNoFollow(local);
    // A local file changed since it was last in step is the user's work: it
    // is uploaded again instead of being removed.
    if (row.file && st && st->isRegular &&
        (st->size != row.size || Util::filemodifytime(local) != row.last || row.last == 0)) {
      syncdb_->update_status(item.webpath, syncstatus::toUpload);
      tell(local, "云端文件已删除，本地文件已修改，将重新上传");
    } else {
      syncdb_->update_status(item.webpath, syncstatus::toRemove);
      if (row.file && st) removeLocal(local);
    }
  } else if (row.status == syncstatus::toDownload) {
    const auto st = plat::statNoFollow(local);
    if (row.file && st && st->isRegular && row.last != 0 && Util::filemodifytime(local) == row.last) {
      // The version before, in step here: it goes as the service's deletion says.
      syncdb_->update_status(item.webpath, syncstatus::toRemove);
      removeLocal(local);
    } else if (row.file && st && st->isRegular) {
      // The user's version, kept to go up once the service's was fetched
      // (last 0) or changed since it was last in step: it goes up again;
      // with the row gone it would stay here, synced nowhere.
      row.status = keptStatus(item.webpath, false, syncstatus::toUpload);
      row.filehash.clear();
      syncdb_->update_file(row);
      tell(local, "云端文件已删除，本地文件已修改，将重新上传");
    } else {
      syncdb_->del_dir(item.webpath);
    }
  } else if (row.status != syncstatus::none) {
    if (Util::existfile(local)) compare_file(local, row, false);
    row = syncdb_->get_single_file(item.webpath);
    if (row.status == syncstatus::synced) {
      if (!row.file) syncdb_->del_total_version(item.webpath);
      syncdb_->update_status(item.webpath, syncstatus::toRemove);
      cancel_trans(item.webpath);
    } else if (row.status == syncstatus::excluded) {
      syncdb_->del_dir(item.webpath);
    } else if (row.status == syncstatus::toUpload) {
      tell(local, "云端文件已删除，本地文件已修改，将重新上传");
    }
  }
  // The exclusion of a path that is gone goes with it.
  if (unsyncnode_.remove(item.webpath)) syncdb_->insert_unsync_nodes(unsyncnode_.getlist());
}

void SyncManager::receive_reset(const CompareItem& item) {
  const SyncFileItem row = syncdb_->get_single_file(item.webpath);
  if (row.status == syncstatus::none || row.status == syncstatus::uploading || row.status == syncstatus::toUpload ||
      row.status == syncstatus::toReupload) {
    return;
  }
  cancel_trans(item.webpath);
  syncdb_->update_status(item.webpath, syncstatus::toReupload);
}

void SyncManager::receive_add_sharefolder(const CompareItem& item) {
  SyncFileItem row = syncdb_->get_single_file(item.webpath);
  if (row.status == syncstatus::none) {
    row = newRow(item, keptStatus(item.webpath, isFolderChange(item), syncstatus::toDownload));
    syncdb_->add_new_file(row);
  }
  if (row.file) return;
  // The share is a root of its own before its local place is asked for: a
  // team share lives under the team root, and only the set says it is one.
  // Asked before, the folder would be made in the personal root, and the
  // scan of the team root would take the share for deleted there.
  const int64_t synctype = item.cmd == 1000 ? 1 : 0;
  const std::string root = "/" + item.webpath + "/";
  syncdb_->insert_total_version(root, synctype, item.local, item.org);
  syncshare_.add(item.webpath, synctype, item.local, item.org);
  syncdb_->update_total_version(root, 0, 0);
  if (item.org != 0) createorgpath();
  const std::string local = getnormalpath(item.webpath);
  placeFolder(row, local);
  if (row.status == syncstatus::toRemove || row.status == syncstatus::toDelete) {
    syncdb_->update_status(item.webpath,
                           keptStatus(item.webpath, true, Util::existfile(local) ? syncstatus::synced : syncstatus::toDownload));
  }
  setAllFiles(local, synctype == 1);
  if (item.org != 0) {
    if (plat::isDirectory(local)) scandir(local);
    Util::getAppDelegate().setBRemove(true);
  }
}

void SyncManager::createorgpath() {
  {
    std::lock_guard<std::mutex> l(pathsMutex_);
    if (!syncorg_.empty()) return;
    syncorg_ = syncparent_ + kTeam + "/";
  }
  const std::string team = syncorg();
  Util::createfolder(team);
  if (plat::isDirectory(team)) watchRoots();
}

// ---------------------------------------------------------------------------
// Comparison rules

bool SyncManager::check_readonly_path(const std::string& webpath) {
  if (!syncshare_.isreadonly(webpath)) return false;
  Util::setfilereadonly(getnormalpath(webpath));
  return true;
}

bool SyncManager::compare_file(const std::string& local, SyncFileItem& row, bool bCheck) {
  const auto st = plat::statNoFollow(local);
  if (!st) return false;
  const bool isFile = st->isRegular;
  const uint64_t size = isFile ? st->size : 0;
  const uint64_t m = Util::filemodifytime(local);
  const bool kept = unsyncnode_.need_sync(row.webpath, !row.file);
  const int64_t s4 = kept ? syncstatus::synced : syncstatus::excluded;
  const int64_t s3 = kept ? syncstatus::toUpload : syncstatus::excluded;
  const auto hashOf = [&] { return isFile ? Util::getfilehash(local).value_or("") : std::string(); };
  const auto inStep = [&](const std::string& hash, bool keepLast) {
    row.file = isFile, row.size = size, row.filehash = hash, row.diskversion = row.version, row.status = s4;
    if (!keepLast) row.last = m;
    syncdb_->update_file(row);
    return true;
  };
  if (row.size == size && !row.filehash.empty()) {
    if (row.last == m) {
      if (row.version == row.diskversion) {
        if (row.status == syncstatus::toDownload) syncdb_->update_status(row.webpath, s4);
        return true;
      }
      if (row.version > row.diskversion && row.status == syncstatus::synced) {
        const std::string h = hashOf();
        if (h != row.filehash) {
          syncdb_->update_status(row.webpath, s3);
          return false;
        }
        return inStep(h, false);
      }
    }
    if (bCheck) {
      const std::string h = hashOf();
      if (h == row.filehash && row.status == syncstatus::toDownload) return inStep(h, true);
    }
  }
  if (isFile && bOverwrite_) {
    const std::string h = hashOf();
    if (h != row.filehash) {
      syncdb_->update_lasttime(row.webpath, m);
    } else if (row.status == syncstatus::toDownload) {
      return inStep(h, true);
    }
  }
  if (!isFile && row.filehash.empty()) {
    if (row.status != syncstatus::toDownload) return false;
    row.file = false, row.size = 0, row.last = m, row.diskversion = row.version, row.status = s4;
    return true;
  }
  // Last 0: the local file is kept and uploaded once the service's version
  // is fetched (and kept in the Trash when this disk never held it).
  if (isFile && row.last == 0 && (row.status == syncstatus::toDownload || row.status == syncstatus::downloading)) {
    return false;
  }
  if (row.status != syncstatus::toDownload) {
    // The old hash goes with the old content: kept beside the new size and
    // time, a later look would find the row "in step" and the edit would
    // never go up (as when an edit meets the upload of the version before).
    row.file = isFile, row.size = size, row.last = m, row.status = s3;
    if (isFile) row.filehash.clear();
    syncdb_->update_file(row);
    return false;
  }
  // The download will replace the local file. Changed since the engine last
  // saw it, the disk holds a version the service never had (disk version 0):
  // it goes to the Trash before it is replaced.
  if (isFile && m != row.last) {
    row.diskversion = 0;
    syncdb_->update_diskvesion(row.webpath, 0);
  }
  syncdb_->update_lasttime(row.webpath, m);
  row.last = m;
  return false;
}

bool SyncManager::compare_data(SyncFileItem row, const CompareItem& c) {
  const std::string local = getnormalpath(c.webpath);
  const bool kept = unsyncnode_.need_sync(row.webpath, !row.file);
  const int64_t s4 = kept ? syncstatus::synced : syncstatus::excluded;
  const int64_t s5 = kept ? syncstatus::toDownload : syncstatus::excluded;
  const uint64_t csize = static_cast<uint64_t>(std::max<int64_t>(0, c.filesize));
  const auto take = [&] {
    row.size = csize, row.filehash = c.filehash, row.version = c.version, row.memberid = c.lastmemberid;
    row.status = s5;
  };
  const auto inStep = [&] {
    row.status = s4;
    row.version = c.version, row.diskversion = c.version;
  };
  const auto st = plat::statNoFollow(local);
  if (!st) {
    // The old name of a rename or move not yet made on the service: the
    // change waits for it rather than bringing the old name back.
    if (check_movelist(local)) return false;
    // In step until now, and the service's content is the same (a version
    // the echo of a rename or move gave): the user removed or moved it here,
    // and the local road, which has still to read that, settles it. Fetched
    // again, the folder or file would come back beside its new place. Not
    // so below a folder that is itself on its way down: nothing of it is
    // here, and the folder would come back empty, its rows in step.
    const SyncFileItem above = row.parent.empty() ? SyncFileItem{} : syncdb_->get_single_file(row.parent);
    const bool parentFetched = above.status == syncstatus::toDownload || above.status == syncstatus::downloading;
    if (row.status == syncstatus::synced && !parentFetched &&
        (!row.file || (!c.filehash.empty() && row.filehash == c.filehash))) {
      row.version = c.version;
      syncdb_->update_file(row);
      return false;
    }
    take();
    syncdb_->update_file(row);
    return true;
  }
  const uint64_t m = Util::filemodifytime(local);
  if (!st->isRegular) {
    inStep();
    row.last = m;
    syncdb_->update_file(row);
    return true;
  }
  const bool normal = !bOverwrite_ && !syncshare_.isreadonly(c.webpath);
  const bool uploading = row.status == syncstatus::uploading || row.status == syncstatus::toUpload ||
                         row.status == syncstatus::toReupload;
  // Outside normal mode the service's content wins unless both are equal. A
  // local file changed since the row is a version the service never had:
  // disk version 0 sends it to the Trash before the download replaces it.
  const auto byHash = [&](bool changed) {
    if (Util::getfilehash(local).value_or("") != c.filehash) {
      take();
      row.last = m;
      if (changed) row.diskversion = 0;
      syncdb_->update_file(row);
      return false;
    }
    row.size = csize, row.last = m;
    inStep();
    syncdb_->update_file(row);
    return true;
  };
  // The local edit wins over a version of the service that this disk never
  // held, but that version is fetched first and kept in the Trash: row last
  // 0 says "changed since in step", so the completion keeps the local file
  // and uploads it. An upload already on its way stops for it: the service
  // may number its commit after this version, which would then be gone.
  const auto keepsUnheld = [&] { return kept && unheldVersion(row, c, local); };
  const auto fetchThenUpload = [&] {
    fetchToKeep(row, c);
    if (row.status == syncstatus::uploading) cancel_trans(c.webpath);
    return false;
  };
  const bool unchanged = row.size == st->size && row.last == m;
  if (unchanged) {
    if (row.filehash == c.filehash) {
      inStep();
      syncdb_->update_file(row);
      return true;
    }
    if (!normal) return byHash(false);
    if (uploading && keepsUnheld()) return fetchThenUpload();
    if (uploading) return seenDuringUpload(row, c), false;
    take();
    row.last = m;
    syncdb_->update_file(row);
    return false;
  }
  if (!normal) return byHash(true);
  const bool fetching = row.status == syncstatus::downloading || row.status == syncstatus::toDownload;
  if (fetching && m == row.last && row.size == csize && row.version == c.version && row.filehash == c.filehash) {
    return false;
  }
  if (uploading && keepsUnheld()) return fetchThenUpload();
  if (uploading) return seenDuringUpload(row, c), false;
  if (fetching && m == row.last && c.version > row.version) {
    take();
    row.last = m;
    syncdb_->update_file(row);
    return false;
  }
  // The local change wins: it is uploaded over the service's version.
  if (keepsUnheld()) return fetchThenUpload();
  row.size = st->size, row.last = m, row.filehash.clear();
  row.status = kept ? syncstatus::toUpload : syncstatus::excluded;
  if (kept) syncdb_->update_file(row);
  return false;
}

bool SyncManager::unheldVersion(const SyncFileItem& row, const CompareItem& c, const std::string& local) {
  // Content in the local file cache was on this disk (an own upload the
  // service numbered anew, say): nothing to keep.
  return row.file && row.status != syncstatus::toReupload && !c.filehash.empty() && c.version > row.diskversion &&
         synccache_->getcache(c.filehash).empty() && Util::getfilehash(local).value_or("") != c.filehash;
}

void SyncManager::fetchToKeep(SyncFileItem row, const CompareItem& c) {
  row.size = static_cast<uint64_t>(std::max<int64_t>(0, c.filesize)), row.filehash = c.filehash;
  row.version = c.version, row.memberid = c.lastmemberid;
  row.status = syncstatus::toDownload;
  row.last = 0;
  syncdb_->update_file(row);
  QVLog::sharedQVLog().addLogNormalFile(c.webpath, "本地文件已修改，先保存云端版本再上传:");
}
