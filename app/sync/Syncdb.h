// Syncdb: the sync database of one mount, "<config>/<user id>/<mount id>/
// qvsyncdbex.db". Tables SYNC (every file and folder of the synced roots),
// VERSION (the roots compared against the service, with their cursors),
// SYNCNODES, SYNCEDNOW, LINKNODE, MENU, HISTORY and sqlversion. The Finder
// plug-in opens the same file from its own process, so names, columns and
// status codes are a shared format (see SyncFileItem.h).
//
// Threads: any thread may call any operation. Each runs as one block on the
// file's serial database queue and the caller waits; an operation of several
// statements runs them in one transaction, so neither another thread nor the
// other process ever sees half of it. The file is in WAL mode and every
// connection waits a bounded time on a lock held by the other process.
//
// Paths are compared by plat::foldCase, registered as the SQL function
// qvfold() on every connection and indexed; a subtree is the range of folded
// paths that begin with the folder and "/", so no name acts as a wildcard. Every value is bound. Without a database (the file can't be
// opened) writes do nothing and reads answer their empty result.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/QVMenuItem.h"
#include "app/sync/LinkFolder.h"
#include "app/sync/SyncFileItem.h"
#include "app/sync/UnSyncNode.h"
#include "platform/foundation/value.h"

class SQDatabase;
struct sqlite3;
class SQDatabaseQueue;

class Syncdb {
public:
  static constexpr const char* kSqlVersion = "1.0.0.3";

  // Opens or creates the file, then createtable() and changeold().
  explicit Syncdb(const std::string& path);
  ~Syncdb();
  Syncdb(const Syncdb&) = delete;
  Syncdb& operator=(const Syncdb&) = delete;
  static std::shared_ptr<Syncdb> initpath(const std::string& path);

  std::shared_ptr<SQDatabaseQueue> dbQueue() const { return dbQueue_; }
  void setDbQueue(std::shared_ptr<SQDatabaseQueue> q) { dbQueue_ = std::move(q); }

  void createtable();
  // Migrates a file of an older client, then makes the indexes (they name
  // columns an older file lacks); the user id for the lock step is the
  // signed-in user's.
  void changeold();
  void changeold(int64_t userid);
  void changeunsync2status();
  void changelock(int64_t userid);
  // Closes the connection; the next operation opens it again.
  void close();

  // ---- SYNC: one entry ----
  // False when the statement failed (a row with exactly these letters exists).
  bool add_new_file(const SyncFileItem& item);
  void update_file(const SyncFileItem& item);
  void update_status(const std::string& path, int64_t status);
  void update_lasttime(const std::string& path, uint64_t lasttime);
  void update_filesize(const std::string& path, uint64_t filesize);
  void update_filehash(const std::string& path, const std::string& filehash);
  void update_membername(const std::string& path, const std::string& membername, int64_t memberid);
  void update_version(const std::string& path, int64_t version);
  void update_diskvesion(const std::string& path, int64_t version);
  void update_lock(const std::string& path, int64_t lock);
  // The completion write of a download: `version` goes into diskversion.
  bool update_finish(const std::string& path, uint64_t lasttime, int64_t status, int64_t version);
  void update_diskdelete(const std::string& path);
  void update_delete(const std::string& path);

  // ---- SYNC: subtrees and the whole table ----
  void update_dir_status(const std::string& path, int64_t status);
  void update_lock_dir(const std::string& path, int64_t lock);
  void add_sync(const std::string& path);
  void mark_del_by_parent(const std::string& path);
  void reset_del(const std::string& path);
  void del_by_org(const std::string& path);
  void del_file(const std::string& path);
  void del_dir(const std::string& path);
  void removesync(const std::string& path);
  void reset_dir(const std::string& path);
  void reset_dir_type(int64_t type);
  void clear_all_files();
  // False when nothing changed because a statement failed (for example a
  // row already has a new path); the tree is then as it was.
  bool rename(const std::string& oldpath, const std::string& newpath);
  bool update_rename(const std::string& oldpath, const std::string& newpath);
  bool move(const std::string& oldpath, const std::string& newpath);
  void resetsync(int64_t type);
  void resetpersonal();
  void resetorg();

  // ---- SYNC: reads ----
  SyncFileItem get_single_file(const std::string& path);
  std::vector<SyncFileItem> get_all_files(const std::string& path);
  std::vector<SyncFileItem> get_all_dir(const std::string& path);
  // Folders first.
  std::vector<SyncFileItem> get_all_upload_by_path(const std::string& path);
  // The same rows in no particular order, without the sort: the scan's read.
  std::vector<SyncFileItem> get_children(const std::string& path);
  // Every row below the path, at any depth (not the path's own), parents first.
  std::vector<SyncFileItem> get_below(const std::string& path);
  // A folder moved whole on disk: the rows of `below` (path, last, disk
  // version) in step, `top` stored in step, and every row of `oldTop` gone,
  // in one transaction. False, with nothing changed, when a write failed.
  struct MovedRow {
    std::string path;
    uint64_t last = 0;
    int64_t version = 0;
  };
  bool switch_moved(const std::string& oldTop, const SyncFileItem& top, const std::vector<MovedRow>& below);
  std::vector<SyncFileItem> get_all_deleted_file();
  std::vector<SyncFileItem> get_all_deleted_dir();
  bool is_upload_by_path(const std::string& path);
  // 0 no row, 1 something to sync, 2 synced, 3 locked by another member,
  // 5 locked by the user; `name` receives the row's member name.
  int64_t getstatus(const std::string& path, std::string& name);
  int64_t getAllNeedSyncCount();

  // ---- Hand-off and content-hash queries ----
  SyncFileItem get_download();
  SyncFileItem get_upload();
  void update_acttime(const std::string& path);
  void update_acttime(const std::string& path, double acttime);
  std::vector<SyncFileItem> get_files_downloading(const std::string& filehash);
  std::string get_local_hash(const std::string& filehash);
  bool check_local_hash(const std::string& filehash);
  std::string get_synced_hash(const std::string& filehash);
  bool check_local(const std::string& path);

  // ---- VERSION ----
  void insert_total_version(const std::string& path, int64_t synctype, int64_t local, int64_t org);
  SyncVersion get_total_version(const std::string& path);
  std::vector<SyncVersion> get_all_version();
  void update_total_version(const SyncVersion& v);
  void update_total_version(const std::string& path, int64_t version, int64_t dateline);
  void del_total_version(const std::string& path);
  void del_total_version_check(const std::string& path);
  void clear_total_version();
  void reset_total_version();
  bool update_total_version_org(const std::vector<std::string>& paths);

  // ---- SYNCEDNOW ----
  void inset_sync_now(const std::string& path, int64_t type);
  std::vector<SyncVersion> get_sync_now();
  void del_sync_now(const std::string& path, int64_t type);

  // ---- SYNCNODES ----
  void insert_unsync_nodes(const std::vector<UnSyncNodeItem>& items);
  void del_unsync_nodes();
  std::vector<UnSyncNodeItem> get_unsync_nodes();
  std::vector<UnSyncNodeItem> get_unsync_nodes(const std::string& path);
  bool update_unsync_nodes(const std::vector<UnSyncNodeItem>& items);

  // ---- LINKNODE ----
  bool add_link(const std::string& webpath, const std::string& fullpath);
  void remove_link(const std::string& webpath, bool same);
  std::vector<LinkFolderNode> get_links();

  // ---- MENU and HISTORY ----
  void insert_menu(const std::vector<QVMenuItem>& items);
  void setHistory(const std::vector<std::string>& entries);
  void getHistory(plat::Array& out);

  // Many new rows in one transaction (a scan, a first listing); the rows
  // that failed are left out. The number stored.
  size_t add_new_files(const std::vector<SyncFileItem>& items);

  // The operations of the thread that made the batch, until it ends, join
  // one transaction, committed when the batch goes: a page of changes is
  // one write of the file instead of a thousand. Operations of several
  // statements stay atomic inside it. Another thread's operation is never
  // joined in: what the batch wrote so far is committed first and the
  // operation stands on its own, so no failed commit of the batch can undo
  // it. A batch made while one is open (on any thread) does nothing.
  class Batch {
  public:
    explicit Batch(Syncdb& db);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // Ends the batch now; false when a commit of it failed (its writes up
    // to then are undone): the caller does not take the work for done.
    bool finish();

  private:
    Syncdb& db_;
    bool open_ = false;
  };
  // Commits what the calling thread's open batch wrote so far, so that no
  // write lock is held across a pause; the batch goes on after it. False
  // when that commit failed (what the batch wrote since its last commit is
  // undone and the batch reports the failure).
  bool pauseBatch();

  // Registers qvfold() on a connection of another owner (a reader, a
  // benchmark), so its SQL folds case as the engine's does.
  static void registerFunctions(sqlite3* db);

  // Seconds since 2001-01-01 UTC, whole, from plat::Clock: the hand-off stamp.
  static int64_t now();

private:
  // Runs the block with a connection set up for this file (qvfold, WAL, the
  // busy limit); with `transaction` inside one transaction, rolled back when
  // the block returns false or throws.
  bool run(bool transaction, const std::function<bool(SQDatabase* db)>& block);
  void exec(const std::string& sql, const plat::Array& args);
  // "update SYNC set <assignments>" on the one entry of the path.
  void setOne(const char* assignments, plat::Array values, const std::string& path);
  std::vector<SyncFileItem> files(const std::string& sql, const plat::Array& args);
  std::vector<std::string> teamRoots(SQDatabase* db);
  std::vector<std::string> localRoots(SQDatabase* db);

  // Ends the open batch's transaction; false when the commit failed.
  bool commitBatch(SQDatabase* db);

  std::shared_ptr<SQDatabaseQueue> dbQueue_;
  // The connection that was last set up, touched only inside queue blocks.
  std::weak_ptr<SQDatabase> configured_;
  // The open batch: the thread that made it, whether its transaction is
  // begun, whether a commit of it failed. Touched only inside queue blocks.
  std::thread::id batchOwner_;
  bool batchBegun_ = false;
  bool batchFailed_ = false;
};
