// The plug-in's own view of the main application's sync database: the sync
// state of a disk path, the browsing history and the submenu's entries. It
// opens the file itself and never writes to it but to HISTORY (an
// authorizer refuses every other change); every statement runs through the
// file's serial queue, so a close from the polling thread never meets a
// lookup of the file manager's thread, and a file that the engine holds
// locked is waited for only briefly: no state is better than a frozen
// window.
//
// States: 0 nothing to show (outside, unknown, not open), 1 waiting to
// sync, 2 synced, 3 locked, 5 being edited, 6 not synced; 4 (a synced
// folder under a root kept locally) only from getrightstatus.
//
// Threads: setpath and close run on the polling thread; everything else on
// the file manager's main thread. The cache and the history list are main
// thread only; the paths are guarded by `mutex_`.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "finder-plugin/core/PluginSets.h"
#include "finder-plugin/core/QuorvaMenuItem.h"

class SQDatabaseQueue;
class SQDatabase;

namespace finder {

struct OverTemp {
  std::string path;
  int32_t status = 0;
  int64_t time = 0;  // whole seconds of absolute time
};

class Syncdb {
public:
  // How many times a busy file is tried again before a statement gives up;
  // the pauses double from 20 us to 4 ms, so about 0.1 s in all.
  static constexpr int kBusyRetries = 30;
  static constexpr int kCacheLimit = 200;
  static constexpr int kHistoryLimit = 5;

  Syncdb();
  ~Syncdb();
  Syncdb(const Syncdb&) = delete;
  Syncdb& operator=(const Syncdb&) = delete;

  // Opens the database and rebuilds the sets; false (and closed) when the
  // file is missing or can't be opened.
  bool setpath(const std::string& dbpath, const std::string& syncpath, const std::string& mountname, int64_t orgid);
  void close();
  bool bStart() const { return bStart_.load(); }

  std::string syncpath() const;
  std::string mountName() const;
  int64_t orgid() const { return orgid_.load(); }

  std::string getrelativepath(const std::string& path, int* type) const;
  int getstatus(const std::string& path, bool showparent);
  int getrightstatus(const std::string& path);
  bool check_local(const std::string& path);
  bool check_mount(const std::string& path) const;
  bool check_sync(const std::string& path) const;
  int checkfilepath(int type, const std::string& webpath) const;
  static bool isdir(const std::string& path);

  void addHistory(const std::string& path);
  std::vector<std::string> gethistory();
  void sethistory(const std::vector<std::string>& list);
  std::vector<QuorvaMenuItem> getMenu();

  std::vector<LinkFolderNode> getlinknodes();
  std::vector<UnSyncNodeItem> getunsyncnodes();
  std::vector<ShareNode> getallversion();
  const LinkFolder& linkfolders() const { return linkfolders_; }

  bool check_overtemp(const std::string& path, int* status);
  void add_overtemp(const std::string& path, int status);
  size_t cacheSize() const { return overlaylist_.size(); }

  // The badges' emblem names, by state (empty for no badge).
  static std::string emblemFor(int state);

private:
  std::shared_ptr<SQDatabaseQueue> queue() const;
  int lookup(const std::string& path, bool showparent, bool* cacheIt);
  std::vector<std::string> teamRoots(SQDatabase* db);

  mutable std::mutex mutex_;
  std::shared_ptr<SQDatabaseQueue> dbQueue_;
  std::string syncpath_;
  std::string mountName_;
  std::atomic<int64_t> orgid_{0};
  std::atomic<bool> bStart_{false};

  LinkFolder linkfolders_;
  UnSyncNode unsyncnodes_;
  SyncShare syncshares_;
  std::vector<std::string> historylist_;
  std::vector<OverTemp> overlaylist_;
};

}  // namespace finder
