// SyncManager: the sync engine of the signed-in account. It owns the sync
// database, the caches, the folder sets and two threads:
//   run       the engine's clock: replays refused renames (2 s), cleans the
//             transfer folder while nothing is left to sync (60 s), compares
//             every root with the service (30 s, or at once on sync-now),
//             scans once per start and commits;
//   runcheck  finished downloads (1 s), the file cache trimmed (1800 s).
//
// States (bStart, bOut):
//   constructed  NO, NO   threads idle (2 s sleeps); watchers made, silent
//   started      YES, NO  threads working, watchers reporting    (start)
//   stopped      NO, NO   idle, no watchers; start works again   (stop)
//   ended        -, YES   threads joined, no watchers            (exit, or destruction)
// The watchers stay silent until start because its first pass scans
// everything anyway.
//
// Who calls from which thread: construction, start, stop, exit, movedir and
// setUnsyncnode from the main thread (login, logout, pause, folder move);
// the remote road, the scans and commit only from the run thread;
// finishdownload from runcheck; the event calls from the watchers' task
// queues (one per watched folder, in `handlerlist`); get_download and
// get_upload from the transfer engine's filler threads, finishupload from an
// upload's thread. The flags are atomic and may be read and set from any
// thread. controllock serialises the writers of SYNC of different threads
// (each remote change, the replay of refused renames and moves, commit, a
// finished download, the hand-off, each watcher batch, a finished upload); a
// rename or move of a watcher batch takes it only around its table steps,
// not across its service call, but for a move with a new name, which holds
// it across its move and rename so that no remote change lands between. The
// folder sets and the database guard themselves.
//
// Lock order: controllock, then handlersMutex_ (a watcher batch under
// controllock may add, stop or rename a watcher), then listsMutex_; handlers
// are ended outside all of them, since ending one waits for its running batch.
// The transfer engine's locks come after controllock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/interface/RequestRet.h"
#include "app/sync/Directoryhandler.h"
#include "app/sync/LinkFolder.h"
#include "app/sync/SyncCache.h"
#include "app/sync/SyncShare.h"
#include "app/sync/SyncTransCache.h"
#include "app/sync/Syncdb.h"
#include "app/sync/UnSyncNode.h"
#include "app/trans/TransHandoff.h"
#include "platform/fs/file_ops.h"

class UserData;

// When each periodic job of the run thread is due, from the monotonic clock.
// All periods are strictly exceeded: a job with period 2 s runs only after
// more than 2 s.
class SyncTimetable {
public:
  static constexpr double kRename = 2, kCache = 60, kCompare = 30;
  struct Due {
    bool rename = false, cacheClean = false, compare = false;
  };
  explicit SyncTimetable(double start) : rename_(start), cache_(start), compare_(start) {}
  // The jobs due at `now`; `syncnow` asks for a compare at once, `idle`
  // (nothing left to sync) allows the clean-up. Stamps move when a job is due.
  Due tick(double now, bool syncnow, bool idle);

private:
  double rename_, cache_, compare_;
};

struct movefile_stx {
  std::string oldpath, newpath;  // local paths
};

struct renamefile_stx {
  std::string webpath;
  int64_t version = 0;
  uint64_t lasttime = 0;  // seconds since 2001
};

struct copy_file_stx {
  uint64_t filesize = 0, lasttime = 0, addtime = 0;
};

class SyncManager : public SyncTransCache::Manager, public LocalEvents, public TransHandoff {
public:
  static constexpr const char* kPersonal = "个人的文件";
  static constexpr const char* kTeam = "团队的文件";
  static constexpr const char* kRecycleBin = "回收站.webloc";
  static constexpr int kPageSize = 1000;
  static constexpr int kCallsPerRoot = 3;

  // Built in the system's order: caches and database (emptied with bReset),
  // the roots under `path` (created, their rows reset when missing), the
  // recycle-bin link, the flags, the "/" root, the sets, the transfer
  // folder, then the two threads.
  SyncManager(const std::string& path, bool bReset, bool resetorg);
  ~SyncManager() override;
  SyncManager(const SyncManager&) = delete;
  SyncManager& operator=(const SyncManager&) = delete;
  static std::shared_ptr<SyncManager> initwithpath(const std::string& path, bool bReset, bool resetorg);

  void setUnsyncnode(const std::optional<std::vector<UnSyncNodeItem>>& nodes, bool overwrite);
  void start();
  void stop();
  // Ends both threads and waits for them.
  void exit();
  void movedir(const std::string& parent);

  // ---- The remote road (run thread) ----
  void receive_from_server();
  void receive_server_version(std::vector<SyncVersion> rows, bool bChange);
  // One page in one batch; false when its write failed (the page is undone).
  bool receive_datas(const std::vector<CompareItem>& items, int64_t synctype);
  void receive_add(const CompareItem& item, int64_t synctype);
  void receive_del(const CompareItem& item);
  void receive_reset(const CompareItem& item);
  void receive_add_sharefolder(const CompareItem& item);

  // ---- Linked folders (main thread; the sets lock themselves) ----
  // Links the local folder to the cloud folder: its row, the set, LINKNODE,
  // out of the excluded folders, and a watcher (the one it had, switched on
  // again). Always true.
  bool add_link(const std::string& webpath, const std::string& fullpath);
  // Unlinks exactly that cloud folder: excluded (its rows and transfers go
  // the first time), out of the set and LINKNODE; the local files stay and
  // its watcher falls silent. False when the path is no linked folder.
  bool remove_link(const std::string& webpath);
  // {"list":[{"webpath":..,"fullpath":..,"type":0[,"share":1[,"local":1]]},..]}
  std::string getlinkpathjson();
  // The folder that the candidate overlaps (a linked folder, a root, the
  // configuration folder), with unBind cleared; "" and unBind set when it
  // may be linked.
  std::string check_dir_legecy(const std::string& path, bool& unBind);

  // ---- Comparison rules ----
  bool compare_file(const std::string& local, SyncFileItem& row, bool bCheck);
  bool compare_data(SyncFileItem row, const CompareItem& change);
  bool check_readonly_path(const std::string& webpath);

  // ---- Paths ----
  // The local path of a cloud path: a linked folder first, then the team
  // root for team paths, else the personal root.
  std::string getnormalpath(const std::string& webpath) const;
  // The cloud path of a local path and its root type: 0 linked folder,
  // 1 personal, 2 team, 3 other entry of the sync parent, 4 the recycle-bin
  // link, -1 elsewhere.
  std::string getrelativepath(const std::string& local, int64_t* type) const;
  // The root rule: may the path of a root of this type be synced? 0 yes;
  // 1 a linked folder holds it (or it is no path of a root); 2 a team
  // share's name in the personal root; 3 a new top-level entry of the team
  // root (a folder becomes a team share when `show` is set); 4 a top-level
  // name of the team root that the personal root holds; 5 below a top-level
  // folder of the team root that is no team share; 6 a name that is not
  // UTF-8 (the service's JSON carries text only), logged and told once. With
  // `show` the user is told why a path is left out.
  int64_t checkfilepath(int64_t type, const std::string& webpath, const std::string& fullpath, bool show);
  // Names never synced: hidden (a component starting with "." or "~"),
  // temporary and reserved names, characters the service refuses.
  static bool isigonore(std::string_view local);

  // ---- The local road ----
  // Events of the watchers. add, update and del run with controllock held by
  // the caller (the watcher's batch, the replay); rename and move take it
  // themselves for their table steps, or run under the caller's when
  // replayed. Each answers YES when the change is settled.
  bool eventadd(const std::string& path) override;
  bool eventupdate(const std::string& path) override;
  bool eventdel(const std::string& path) override;
  // With push, a rename or move the service did not take is queued and
  // replayed every 2 s by the run thread.
  bool eventrename(const std::string& oldpath, const std::string& newpath, bool push) override;
  bool eventremove(const std::string& oldpath, const std::string& newpath, bool push) override;
  // Events of the root were lost: it is scanned again (controllock taken).
  void rescanroot(const std::string& root) override;
  // The watch limit is reached: told to the user once per manager.
  void watchlimit(const std::string& root) override;
  // A folder still counts as a root: the personal or team root or a folder
  // inside them, or a linked folder.
  bool watching(const std::string& root) override;
  void lock() override { controllock_.lock(); }
  void unlock() override { controllock_.unlock(); }

  // The replay of refused renames and moves (controllock held).
  void check_rename_and_remove();
  // The path is the old path of a queued rename or move.
  bool check_movelist(const std::string& path);
  // Where a local path is now by the renames and moves the service has not
  // taken yet; "" when none of them involves it.
  std::string pendingPlace(const std::string& local);
  std::vector<movefile_stx> renamelist();
  std::vector<movefile_stx> removelist();

  // The watchers: one per root and linked folder, one per symbolic link to
  // a folder inside a root (reporting under the link's path).
  void addlink(const std::string& path);
  void removelink(const std::string& path);
  void renamelink(const std::string& oldpath, const std::string& newpath);
  // Ends every watcher and empties the list.
  void exitlink();
  size_t handlerCount();
  // The watchers now in handlerlist (for watching the engine).
  std::vector<std::shared_ptr<Directoryhandler>> handlers();
  // Waits until every batch the watchers have handed over so far has run.
  void drainWatchers();
  // Batches and rescans run by all watchers so far (for watching the engine work).
  int64_t watcherTasks();
  int64_t watcherRescans();
  int64_t watcherOverflows();
  // Events a watcher may hold before it asks for a rescan instead (for
  // every watcher from now on).
  void setWatcherBacklog(size_t events);
  // Test seam: a low watch limit for every watcher made from now on.
  void setWatcherLimit(size_t watches) { watcherLimit_ = watches; }

  // Scans (run thread; inside the event calls under their caller's lock).
  void scandir(const std::string& folder);
  // kind 1: linked folders outside the team shares, 2: inside them, 3: all.
  void scanlink(int64_t kind);
  void mark_file_delete(const std::string& webpath);
  void scandel() { mark_file_delete(""); }
  bool compare_modify(const std::string& path, SyncFileItem& row);
  // The scan's 0.01 s pauses (off for a benchmark of the bare scan).
  void setPacing(bool on) { bPacing_ = on; }

  // Deletions: on the service what was deleted on disk, on disk what the
  // service deleted (only files in step with their row), then the echo list
  // is trimmed. commit takes controllock.
  void commit();
  void check_syncdb_delete();
  // Before a folder deleted here goes on the service: what the service holds
  // below it that this disk never held (another client's file made
  // meanwhile, a newer version) stays there and comes down again; only what
  // was held here is deleted, item by item. True when the folder is not to
  // be deleted whole (kept in part, or the listing failed: later).
  bool keepUnseen(const SyncFileItem& folder, UserData& u);
  // Listings of the service's folders by folded path, each read once (per
  // commit, per page); none where the service gave no answer.
  using Listings = std::map<std::string, std::optional<std::vector<FileListItem>>>;
  static const std::optional<std::vector<FileListItem>>& listedOnService(const std::string& folder, UserData& u,
                                                                        Listings& listings);
  bool keepNewer(const SyncFileItem& file, UserData& u, Listings& listings);
  void apply_del(const SyncFileItem& row);
  void apply_deldisk(const SyncFileItem& row);
  // Asks the user (through the confirmation set below) and schedules the
  // folder for a full sync at the next pass.
  void reset(const std::string& path);
  // How reset asks "是否确定立即重新同步[...]文件夹？"; true for "是". Without
  // one nothing is scheduled.
  void setConfirm(std::function<bool(const std::string& message)> confirm);

  // Selective sync. A folder leaving the sync loses only the local files in
  // step with the service (into the file cache first); the rest stays, and
  // the user is told.
  // setUnsyncnodes takes controllock; add_unsyncpath and del_unsyncpath run
  // under their caller's (the remote road's).
  void setUnsyncnodes(const std::string& webpath, const std::vector<UnSyncNodeItem>& nodes);
  void add_unsyncpath(const std::string& webpath);
  void del_unsyncpath(const std::string& webpath, bool bDelete);

  // ---- Local file state ----
  // dir 1: the folder and everything below it; status: the lock code (1
  // read-only, others writable).
  void setfilestatus(const std::string& webpath, int64_t dir, int64_t status);
  void setallfileread(const std::string& folder);
  void setallfilewrite(const std::string& folder);
  // Files below the folder in step with their rows enter the file cache.
  void movetocache(const std::string& folder);
  // Echo entries older than 30 s go (controllock held).
  void check_and_clear_copylist();
  // Single files of an old excluded list lose their entry and their rows.
  void removefileunsync(std::vector<UnSyncNodeItem>& list);
  // An echo entry: the engine wrote the file in this state (controllock held).
  void addcopylist(const std::string& webpath, const copy_file_stx& entry);
  // Roots whose top is missing (an unmounted disk): nothing below them is
  // deleted anywhere until they are back.
  std::vector<std::string> unavailableRoots();

  // Called in each compare pass after the remote road, before the local part
  // (scans and commit), with whether the pass scans everything; for watching
  // the engine.
  void setLocalPass(std::function<void(bool fullScan)> pass);

  std::shared_ptr<Syncdb> syncdb() const override { return syncdb_; }
  std::shared_ptr<SyncCache> synccache() const { return synccache_; }
  std::shared_ptr<SyncTransCache> transcache() const { return transcache_; }
  UnSyncNode& unsyncnode() { return unsyncnode_; }
  SyncShare& syncshare() override { return syncshare_; }
  LinkFolder& linkfolder() { return linkfolder_; }
  std::string syncpath() const;
  std::string syncorg() const;
  std::string syncparent() const;

  bool bStart() const override { return bStart_.load(); }
  bool bOut() const { return bOut_.load(); }
  bool bSyncnow() const { return bSyncnow_.load(); }
  void setBSyncnow(bool v) { bSyncnow_.store(v); }
  bool bScaned() const { return bScaned_.load(); }
  bool bOverwrite() const { return bOverwrite_.load(); }
  void setBOverwrite(bool v) { bOverwrite_.store(v); }
  bool bFristScan() const { return bFristScan_.load(); }

  renamefile_stx lastrename() const;
  void setLastrename(renamefile_stx r);

  // Counters for watching the engine: compare passes begun, cycles of each
  // thread, exceptions caught.
  int64_t passes() const { return passes_.load(); }
  int64_t faults() const { return faults_.load(); }
  // Cycles of the check thread that looked for finished downloads.
  int64_t checks() const { return checks_.load(); }
  // Folders moved on the service placed here by one local rename.
  int64_t placedMoves() const { return placedMoves_.load(); }

  // ---- Transfers (SyncManagerTransfer.cpp): the hand-off of jobs to the
  // transfer engine and the completion of finished ones. get_download and
  // get_upload run on the transfer engine's filler threads, finishupload on
  // an upload's thread, finishdownload on runcheck. Each holds controllock
  // around its read-decide-write, never across a service call and never
  // while it stops a transfer. A local version that the service's version
  // replaces goes to the Trash first, and the user is told. ----
  // Files below this size are handed over as a copy in the transfer folder.
  static constexpr uint64_t kUploadCopyLimit = 102400000;
  // Placements of one finished download tried before it counts as failed.
  static constexpr int kPlaceTries = 5;
  TransItem get_download() override;
  TransItem get_upload() override;
  void finishupload(const std::string& path, const std::string& webpath) override;
  bool keepbeforeupload(const CompareItem& current) override;
  void finishdownload(const std::string& path) override;
  void downloadgone(const std::string& webpath) override;
  void wakecheck() override;
  // The row of the path takes the modification time of its local item.
  void update_parenttime(const std::string& webpath);
  void settrans(std::weak_ptr<TransControl> trans) override;
  // The transfer engine, while there is one.
  std::shared_ptr<TransControl> trans() const;
  // Stops the transfers of the path and of everything below it.
  void cancel_trans(const std::string& webpath);

private:
  // Parks the row: its hand-out stamp becomes now, so it waits its turn.
  void park(const std::string& webpath);
  // A folder above the row is on its way out (status 6 or 9) or, with
  // checkCase, differs on disk from its cloud name in letter case.
  bool parentDeleting(const SyncFileItem& row, bool checkCase);
  // The service's version `c` is one this disk never held, with other
  // content than the local file (controllock held).
  bool unheldVersion(const SyncFileItem& row, const CompareItem& c, const std::string& local);
  // The row fetches `c` to keep it; last 0 keeps the local file for upload.
  void fetchToKeep(SyncFileItem row, const CompareItem& c);
  // The local file changed after the row last saw it: the row takes its
  // time and waits for upload instead of being replaced (wins). The
  // service's content `fetched` goes to the Trash first when this disk never
  // held it; when it can't, the row waits (waits).
  enum class LocalEdit { none, wins, waits };
  LocalEdit localWins(const SyncFileItem& row, const std::string& local, const std::string& fetched);
  // False when the service's version had to be kept and could not be.
  bool keepServiceVersion(const SyncFileItem& row, const std::string& local, const std::string& fetched);
  // Moves a local version that the service never had to the Trash before
  // the service's content `hash` replaces it; false when it had to stay.
  bool keepLocalVersion(const SyncFileItem& row, const std::string& local, const std::string& hash);
  // Copies `from` over `local` through a flushed temporary copy keeping the
  // source's times, never over a folder; our own writes, so no echo.
  bool placefile(const std::string& from, const std::string& local, plat::Error* error = nullptr);
  // A finished download that could not be put in place: logged each time,
  // told once per path; after kPlaceTries the result is dropped as failed
  // (fetched again after the error hold) instead of being tried every second.
  bool placefailed(const SyncFileItem& row, const std::string& why);
  // Makes the folder and those above it as our own writes.
  bool makefolder(const std::string& folder);
  // The engine wrote this state of the file itself (the watcher's echo).
  void addecho(const std::string& webpath, uint64_t size, uint64_t last);
  // The file's content is the hash it is named for (checked once per state).
  bool verifiedContent(const std::string& path, const std::string& hash);
  TransItem uploadFolder(const SyncFileItem& row, const std::string& local);
  // A change of the service met while the local file waits for its upload
  // (controllock held): the upload goes first, but when the service's
  // version turns out newer than the one the upload made, the completion
  // takes the service's instead of calling the file in step.
  void seenDuringUpload(const SyncFileItem& row, const CompareItem& change);

  std::map<std::string, CompareItem> seenDuringUpload_;  // by folded path, under controllock

  std::mutex verifyMutex_;
  std::map<std::string, plat::DiskState> verified_;  // under verifyMutex_
  std::map<std::string, int> placeFailures_;           // under controllock, by cloud path
  std::set<std::string> placeTold_;                    // under controllock, paths told of

  // remove_link under the caller's controllock.
  bool unlink(const std::string& webpath);
  // A watcher of a folder that is gone leaves the list at once, silent, and
  // is ended by endretired outside controllock (ending waits for its batch).
  void retirelinkwatch(const std::string& local);
  void endretired();
  std::vector<std::shared_ptr<Directoryhandler>> retired_;  // under handlersMutex_

  void setRoots(const std::string& parent);
  void initsharefolder();
  void writeRecycleBinLink();
  void run();
  void runcheck();
  // Sleeps `seconds` of plat::Clock, cut short by exit.
  // Sleeps up to `seconds`; ended early by exit and, when `kick` is given,
  // by that flag (taken under sleepMutex_).
  void pause(double seconds, bool* kick = nullptr);
  // Tells the transfer fillers that jobs may be waiting.
  void wakeTransfers();
  // One compare pass and what follows it.
  void comparePass();
  SyncFileItem newRow(const CompareItem& item, int64_t status) const;
  int64_t keptStatus(const std::string& webpath, bool dir, int64_t status) const;
  void removeLocal(const std::string& local);
  // A folder row still to fetch needs no transfer: the folder is made and
  // the row is in step. False for anything else.
  bool placeFolder(const SyncFileItem& row, const std::string& local);
  // A row no hand-off can use (no name, or one that is not UTF-8): removed
  // (parked should it stay). controllock held.
  bool unusable(const SyncFileItem& row);
  // A new folder of the service that is a folder deleted here, moved or
  // renamed: when the old one is on disk in step with its rows and holds the
  // same entries, it is renamed to `local` and the rows switch over (under
  // controllock). False, with nothing touched, otherwise.
  bool placeMovedFolder(const CompareItem& item, const std::string& local);
  // Every entry on disk below `folder` is one of `rows` (keyed by folded
  // path below it) or has an ignored name, and every row is there.
  bool onlyKnown(const std::string& folder,
                 const std::unordered_map<std::string, const SyncFileItem*>& rows);
  // Every file under the folder read-only (a view-only share) or writable.
  void setAllFiles(const std::string& folder, bool readonly);
  void tell(const std::string& file, const std::string& info);
  // A name the service can't carry: logged and told once per path.
  void refuseName(const std::string& fullpath);
  // A desktop notice.
  static void notice(const std::string& text);
  // A folder made at the top of the team root becomes a team share.
  void createorgshare(const std::string& webpath, const std::string& fullpath);
  // The team root, made when a team share arrives while there is none.
  void createorgpath();
  // The team shares rebuilt from the listing of the mount's top (three
  // tries, 1 s apart; unchanged when all fail).
  void resetorgshare();
  // A place an item of ours passed through on the service at that version
  // (under controllock): older changes at or below it are left alone for
  // a minute, while a page read before the move ended may still bring them.
  void passThrough(const std::string& webpath, int64_t version);
  bool passedThrough(const std::string& webpath, int64_t version);
  static constexpr size_t kPassedThroughMax = 64;
  // A rename or move of ours that the service answered, with the version it
  // gave: a change the service made before it, read only afterwards, is
  // carried to the new place (under controllock).
  void landed(const std::string& from, const std::string& to, int64_t version);
  void dropLanded();
  // True when a rename or move of ours at or above the path is with the
  // service right now (under controllock).
  bool meetsFlight(const std::string& webpath) const;
  // The change as it applies to where the item is now; `carried` says it
  // was moved on by a rename or move of ours. None for a change that tells
  // nothing new (the echo of a place of ours that we left again).
  std::optional<CompareItem> carriedThrough(CompareItem item, bool& carried);
  // A deletion carried to a new place holds there only when the service has
  // nothing at that place: the service's echo of our own move deletes the
  // old place too. Listings are kept for the page (under controllock).
  bool goneOnService(const std::string& webpath);
  // Whether a new file of the page may have a local copy: false only when
  // its folder, read once for the page, has no entry of that name. Reads
  // what was read before only while the page made nothing on disk.
  bool maybeOnDisk(const std::string& local);
  // A name with blanks at either end renamed on disk; the path to use.
  std::string trimmed(const std::string& path);
  bool isEcho(const std::string& webpath, uint64_t size, uint64_t last) const;

  // A copy of a hook, taken under hooksMutex_, to be called outside it.
  template <class F>
  F hookOf(const F& hook) {
    std::lock_guard<std::mutex> l(hooksMutex_);
    return hook;
  }

  // ---- The local road's own steps (SyncManagerLocal.cpp) ----
  struct ScanFolder {
    std::string local;    // with a final "/"
    std::string webpath;  // its cloud path
    int64_t type = -1;    // its root type
    // Its own row when it is new: written with its entries, so that a first
    // scan writes rows in the order of their paths, at the end of each index.
    std::optional<SyncFileItem> fresh;
  };
  // Rows written by a full scan before its transaction is committed.
  static constexpr size_t kScanBatch = 5000;
  // The entries of one folder; its subfolders are handed back to be scanned.
  // Returns how many rows it wrote.
  size_t scanFolder(const ScanFolder& folder, std::vector<ScanFolder>& subfolders);
  enum class Outcome { settled, refused, unreachable };
  Outcome renameStep(const std::string& oldpath, const std::string& newpath, bool push, bool held);
  Outcome moveStep(const std::string& oldpath, const std::string& newpath, bool push, bool held);
  void beginFlight(std::unique_lock<std::mutex>& l, const std::string& wo);
  void endFlight(std::unique_lock<std::mutex>& l, const std::string& wo);
  Outcome refusal(const RequestRet& ret, const std::string& oldpath, const std::string& newpath,
                  const std::string& oldweb, bool push, std::vector<movefile_stx>& list);
  void queueMove(std::vector<movefile_stx>& list, const std::string& oldpath, const std::string& newpath);
  // After a rename or move that landed: something at the old place again is
  // a new item (controllock held).
  void oldPlaceTaken(const std::string& oldpath);
  // A row whose item is gone from the disk: marked deleted (or dropped when
  // the service never had it), unless its root is missing or a queued rename
  // or move still involves it. True when the row changed.
  bool markMissing(const SyncFileItem& row, const std::string& local);
  // A queued rename or move involves the local path (at, above or below its
  // old path); the path is (or lies below) the new path of one.
  bool pendingInvolves(const std::string& local);
  bool pendingTarget(const std::string& local);
  // The scans and commit of one pass, after the remote road.
  void localPass(bool fullScan);
  // A row of a deleted item whose item is back: in step when unchanged, to
  // upload otherwise.
  void restored(SyncFileItem row, const std::string& local);
  // A change of kind (a folder swapped for a file of the same name, or the
  // reverse) met on the local road. When the service holds the old kind it
  // is deleted there first: the row waits as deleted on disk (with the rows
  // below it) and commit sends the new kind once the deletion is through.
  enum class KindChange { none, waiting, addNew };
  // cancel NO on the transfer engine's own threads (the hand-off).
  KindChange localKindChange(const SyncFileItem& row, const std::string& path, bool dir, bool cancel = true);
  // The row for what is on disk now at `local`, to upload (a folder with what it holds).
  void addLocalItem(const std::string& webpath, const std::string& local);
  // The service changed the kind of an item: the local old one goes when it is
  // in step (else it stays and wins), and the new kind is fetched.
  bool remoteKindChange(const SyncFileItem& row, const CompareItem& item, int64_t synctype);
  // A file with the size, time and content its row says the service holds.
  bool unchangedSynced(const SyncFileItem& row, const std::string& local);
  // Removes the local copy of what leaves the sync: files in step with the
  // service enter the file cache and go; anything else stays and the user
  // is told. With directOnly only the files directly in the folder.
  void removeExcluded(const std::string& local, bool directOnly);
  // The row of another name that differs only in letter case and exists
  // too: the path is then left out (and the user told).
  bool caseTwin(const std::string& path, const std::string& webpath, const SyncFileItem& row);
  // The top of the root holding `local` (or a symbolic link on the way to
  // it) when it is missing; empty when available. Marks and reports it.
  std::string missingTop(const std::string& local);
  void checkRoots();
  void refetchMissing(const std::string& webpath, const std::string& top);
  std::shared_ptr<Directoryhandler> watch(const std::string& path, const std::string& reportAs);
  void watchRoots();
  void watchLinks();
  std::string userName() const;
  int64_t userId() const;

  std::shared_ptr<SyncCache> synccache_;
  std::shared_ptr<Syncdb> syncdb_;
  std::shared_ptr<SyncTransCache> transcache_;
  UnSyncNode unsyncnode_;
  SyncShare syncshare_;
  LinkFolder linkfolder_;

  mutable std::mutex pathsMutex_;  // guards the three root paths and lastrename
  std::string syncpath_, syncorg_, syncparent_;
  renamefile_stx lastrename_;
  // Middle places of a move with a new name, with the move's version: what
  // the service said of them until then is over. Under controllock.
  std::vector<renamefile_stx> passedThrough_;
  // Renames and moves of ours that landed (`webpath` the old place), with
  // their new place; those with the service now (old places, one entry per
  // request); the service's listings read for the page. Under controllock.
  struct Landed {
    renamefile_stx from;
    std::string to;
  };
  std::vector<Landed> landed_;
  std::vector<std::string> inFlight_;
  std::condition_variable flightEnded_;
  Listings listedForPage_;
  // Local folders read for the page (maybeOnDisk): their entries' names, or
  // nothing for a folder too large to read whole. Used by the run thread only.
  std::unordered_map<std::string, std::optional<std::unordered_set<std::string>>> namesOnDisk_;

  std::atomic<bool> bScaned_{false}, bSyncnow_{true}, bStart_{false}, bOut_{false}, bOverwrite_{false},
      bFristScan_{true}, bPacing_{true};
  std::atomic<int64_t> passes_{0}, faults_{0}, placedMoves_{0}, checks_{0};
  // A folder deletion came in this round of the feed: it may be a move whose
  // new entries follow, so nothing is fetched until the round is read.
  std::atomic<bool> holdDownloads_{false};

  std::mutex controllock_;
  // The queued renames and moves: changed under controllock, and each
  // access also under listsMutex_ (last in the lock order) so that the
  // scans may read them without controllock.
  std::mutex listsMutex_;
  std::vector<movefile_stx> renamelist_, removelist_;
  std::atomic<bool> anyPending_{false};  // either list holds an entry
  std::map<std::string, copy_file_stx> copylist_;      // under controllock
  std::mutex scansMutex_;
  std::vector<std::string> pendingScans_;  // folders included again, to scan once served

  std::mutex watchMutex_;     // after controllock, before handlersMutex_
  std::mutex handlersMutex_;  // after controllock
  std::vector<std::shared_ptr<Directoryhandler>> handlerlist_;
  std::atomic<size_t> watcherBacklog_{Directoryhandler::kBacklog};
  std::atomic<size_t> watcherLimit_{0};
  std::atomic<bool> watchLimitTold_{false};

  std::mutex rootsMutex_;
  std::vector<std::string> unavailable_;
  std::vector<std::string> refusedNames_;  // told once each, bounded; under rootsMutex_
  std::function<bool(const std::string&)> confirm_;  // under hooksMutex_

  mutable std::mutex hooksMutex_;
  std::weak_ptr<TransControl> trans_;  // under hooksMutex_
  std::function<void(bool)> localPass_;

  std::mutex sleepMutex_;
  std::condition_variable sleepCv_;
  bool checkKicked_ = false;  // under sleepMutex_: a download left its queue
  std::thread thread_, threadcheck_;
};
