// SyncManager: the sync engine of the signed-in account. It owns the sync
// database, the caches, the folder sets and two threads:
//   run       the engine's clock: replays refused renames (2 s), cleans the
//             transfer folder while nothing is left to sync (60 s), compares
//             every root with the service (30 s, or at once on sync-now),
//             scans once per start and commits;
//   runcheck  finished downloads (1 s), the file cache trimmed (1800 s).
//
// States (bStart, bOut):
//   constructed  NO, NO   threads running, idle (2 s sleeps)
//   started      YES, NO  threads working           (start)
//   stopped      NO, NO   idle; start works again   (stop)
//   ended        -, YES   threads joined            (exit, or destruction)
//
// Who calls from which thread: construction, start, stop, exit, movedir and
// setUnsyncnode from the main thread (login, logout, pause, folder move);
// the remote road only from the run thread; finishdownload from runcheck;
// get_download and get_upload from the transfer engine's filler threads,
// finishupload from an upload's thread. The flags are atomic and may be read and set from any thread. controllock
// serialises the writers of SYNC of different threads (each remote change,
// the replay, commit, a finished download, the hand-off, each watcher
// batch, a finished upload); it is never held across a sleep or a service
// call, and the transfer engine's locks come after it. The folder sets and
// the database guard themselves.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/interface/RequestRet.h"
#include "app/sync/LinkFolder.h"
#include "app/sync/SyncCache.h"
#include "app/sync/SyncShare.h"
#include "app/sync/SyncTransCache.h"
#include "app/sync/Syncdb.h"
#include "app/sync/UnSyncNode.h"
#include "app/trans/TransHandoff.h"
#include "platform/fs/file_ops.h"

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

class SyncManager : public SyncTransCache::Manager, public TransHandoff {
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
  void receive_datas(const std::vector<CompareItem>& items, int64_t synctype);
  void receive_add(const CompareItem& item, int64_t synctype);
  void receive_del(const CompareItem& item);
  void receive_reset(const CompareItem& item);
  void receive_add_sharefolder(const CompareItem& item);

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
  // Names never synced: hidden (a component starting with "." or "~"),
  // temporary and reserved names, characters the service refuses.
  static bool isigonore(const std::string& local);

  // ---- The local road: events of the watchers (controllock held by the
  // caller), the scans (run thread) ----
  bool eventadd(const std::string& path);
  bool eventupdate(const std::string& path);
  bool eventdel(const std::string& path);
  void scandir(const std::string& folder);
  void mark_file_delete(const std::string& webpath);
  void scandel() { mark_file_delete(""); }
  bool compare_modify(const std::string& path, SyncFileItem& row);
  // The scan's 0.01 s pauses (off for a benchmark of the bare scan).
  void setPacing(bool on) { bPacing_ = on; }

  // Runs once per compare pass after the remote road; the local road (scan,
  // commit) plugs in here.
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

  void lock() { controllock_.lock(); }
  void unlock() { controllock_.unlock(); }

  // ---- Transfers (SyncManagerTransfer.cpp): the hand-off of jobs to the
  // transfer engine and the completion of finished ones. get_download and
  // get_upload run on the transfer engine's filler threads, finishupload on
  // an upload's thread, finishdownload on runcheck. Each holds controllock
  // around its read-decide-write, never across a service call and never
  // while it stops a transfer. A local version that the service's version
  // replaces goes to the Trash first, and the user is told. ----
  // Files below this size are handed over as a copy in the transfer folder.
  static constexpr uint64_t kUploadCopyLimit = 102400000;
  TransItem get_download() override;
  TransItem get_upload() override;
  void finishupload(const std::string& path, const std::string& webpath) override;
  void finishdownload(const std::string& path) override;
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
  // The local file changed after the row last saw it: the row takes its
  // time and waits for upload instead of being replaced.
  bool localWins(const SyncFileItem& row, const std::string& local);
  // Moves a local version that the service never had to the Trash before
  // the service's content `hash` replaces it; false when it had to stay.
  bool keepLocalVersion(const SyncFileItem& row, const std::string& local, const std::string& hash);
  // Copies `from` over `local` through a flushed temporary copy keeping the
  // source's times, never over a folder; our own writes, so no echo.
  bool placefile(const std::string& from, const std::string& local);
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

  void setRoots(const std::string& parent);
  void initsharefolder();
  void writeRecycleBinLink();
  void run();
  void runcheck();
  // Sleeps `seconds` of plat::Clock, cut short by exit.
  void pause(double seconds);
  // One compare pass and what follows it.
  void comparePass();
  SyncFileItem newRow(const CompareItem& item, int64_t status) const;
  int64_t keptStatus(const std::string& webpath, bool dir, int64_t status) const;
  void removeLocal(const std::string& local);
  // A folder row still to fetch needs no transfer: the folder is made and
  // the row is in step. False for anything else.
  bool placeFolder(const SyncFileItem& row, const std::string& local);
  // Every file under the folder read-only (a view-only share) or writable.
  void setAllFiles(const std::string& folder, bool readonly);
  void tell(const std::string& file, const std::string& info);
  // Until the team-share rules exist: only paths inside a root may sync.
  int64_t checkfilepath(int64_t type, const std::string& webpath) const;
  // A name with blanks at either end renamed on disk; the path to use.
  std::string trimmed(const std::string& path);
  // The root holding a local path is there (not an unmounted disk).
  bool rootAvailable(const std::string& local) const;
  bool isEcho(const std::string& webpath, uint64_t size, uint64_t last) const;

  std::shared_ptr<SyncCache> synccache_;
  std::shared_ptr<Syncdb> syncdb_;
  std::shared_ptr<SyncTransCache> transcache_;
  UnSyncNode unsyncnode_;
  SyncShare syncshare_;
  LinkFolder linkfolder_;

  mutable std::mutex pathsMutex_;  // guards the three root paths and lastrename
  std::string syncpath_, syncorg_, syncparent_;
  renamefile_stx lastrename_;

  std::atomic<bool> bScaned_{false}, bSyncnow_{true}, bStart_{false}, bOut_{false}, bOverwrite_{false},
      bFristScan_{true}, bPacing_{true};
  std::atomic<int64_t> passes_{0}, faults_{0};

  std::mutex controllock_;
  std::vector<movefile_stx> renamelist_, removelist_;  // under controllock
  std::map<std::string, copy_file_stx> copylist_;      // under controllock

  mutable std::mutex hooksMutex_;
  std::weak_ptr<TransControl> trans_;  // under hooksMutex_
  std::function<void(bool)> localPass_;

  std::mutex sleepMutex_;
  std::condition_variable sleepCv_;
  std::thread thread_, threadcheck_;
};
