// Download: one file of the cloud fetched into "<transfer cache>/down_<hash>"
// in 1 MiB blocks from several sources at once (the file servers that the
// file API names, and clients on the local network that hold all or part of
// it), resumable from the block bitmap "<path>.tmp", checked by size and
// SHA-1 and left as "<path>_ok" or "<path>_error" for the sync engine.
//
// States: created -> running (run(): the download thread asks the file API
// for the sources, then once a second runs the scheduler checkpeer()) ->
// ended, once, by the first of finish() ("_ok" or "_error"), taskerror()
// (failure: target and ".tmp" stay for a later resume) or stop() (from the
// manager). Whichever ends it stops and joins every source first.
//
// Threads: the download thread (runthread, checkpeer, the running hash,
// finish, taskerror); its flush thread (saveindex); the main thread, where
// the sources' data callbacks write blocks (writefile, updateindex); LAN
// discovery (addUdpPeer, copy, the flags); the manager's callers (stop).
// Locks: the manager's queue lock before `_cs` (source lists, scheduler
// bitmaps, flags), `_cs` before a source's own lock; `_filecs` (file
// handles, `_haveData`) is taken after a source's lock by the data
// callbacks and is never held while calling a source. `_flushLock` (the
// record of the blocks on disk), then `_hashLock` (the running hash), come
// after `_cs` and before `_filecs`; the data callbacks take neither: a slow
// disk holds up the flush thread, not the main thread.
//
// The main thread only writes a block, starts its writeback and marks it
// complete in memory. Woken for it, the download thread hashes the blocks
// complete in order, and the flush thread records them in the resume file
// once the target has reached the disk, so that the resume file never names
// a block the disk may not hold; blocks that complete while a flush runs
// are recorded by the next one. A complete block is never written again:
// the bytes hashed are the bytes placed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/trans/PeerDownload.h"
#include "app/trans/TransItem.h"
#include "app/trans/Transfer.h"

class Download;
class Syncdb;

// What a download needs of the transfer manager that owns it. The defaults
// are a download without a manager (a helper process, the benchmark).
class DownloadParent {
public:
  virtual ~DownloadParent() = default;
  // Bytes moved for the speed of the file (type 0: download).
  virtual void AddTransportData(const std::string& /*webpath*/, uint64_t /*add*/, int64_t /*type*/) {}
  // The download ended by itself and leaves the queue.
  virtual void removedownload(Download& /*download*/) {}
  // The sync database of the account; null when there is none.
  virtual std::shared_ptr<Syncdb> syncdb() { return nullptr; }
  // The sync engine runs and the cloud path lies in a locally kept share:
  // a failed download of it is held back.
  virtual bool parkfailed(const std::string& /*webpath*/) { return false; }
  // Asks the local network who holds the content (LAN discovery); true
  // when a query went out, so that answers may come.
  virtual bool checkfilehash(const std::string& /*filehash*/) { return false; }
  // The service has no file at the cloud path any more: its row goes, unless
  // the sync engine keeps it (a local version waiting to go up).
  virtual void downloadgone(const std::string& webpath);
};

class Download : public PeerDownload::Task, public Transfer, public std::enable_shared_from_this<Download> {
public:
  static constexpr double kNoDataSeconds = 120;
  static constexpr double kParkSeconds = 300;
  static constexpr int kMaxRunning = 3;
  // The largest size believed from the service (16 TiB): the block bitmaps
  // of such a file stay a few MiB whatever a reply claims.
  static constexpr uint64_t kMaxFilesize = uint64_t{1} << 44;
  // Whether a file of `size` can be held at `path`: at most kMaxFilesize and
  // within the free space of its disk (what is there already counts).
  static bool sizefits(uint64_t size, const std::string& path);

  // How a download ended: still running, stopped by the manager, checked
  // and placed, placed as "_error", or a failure code (80, 81, 83).
  enum Result { kRunning = 0, kStopped = -1, kOk = 1, kError = 2 };

  // init:parent:. Make it with std::make_shared: run() keeps it alive.
  Download(TransItem item, DownloadParent* manager);
  ~Download() override;
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  bool run();
  // From the manager: with bDelete the partial file and its bitmap go too.
  void stop(bool bDelete) override;
  // Waits for the download thread to end (never from that thread).
  void join() override;
  void begin() override { run(); }
  uint64_t jobFilesize() const override { return item().filesize; }

  bool createfile();
  void closefile();
  void deletetmpfile();

  bool addHttpPeer(const std::string& url);
  bool addUdpPeer(const std::string& url);
  bool addUdpPeer(const std::string& url, bool bHttpStart, bool bHttpAble, int64_t userid, const uint8_t* data,
                  int64_t length);
  void clearpeer();
  // Asks the local network for the content; without a query out, the
  // server source need not wait for answers.
  void lanquery();
  // One scheduler pass; t0 is the start of the fetch loop (monotonic seconds).
  void checkpeer(double t0);
  bool checkfinish();
  void finish();
  void taskerror(int code);
  bool isBad();

  // Bytes at `pos`; those of a block already complete are left as they are.
  bool writefile(const uint8_t* bytes, uint64_t pos, uint64_t size) override;
  // Marks the block complete and wakes the download thread (its hash) and
  // the flush thread (its record).
  void updateindex(int64_t index) override;
  // Records every complete block in the resume file, after a sync of the
  // target (the flush thread's step; any thread).
  void saveindex();
  // Copies `_haveData` (dataCount() bytes).
  void copy(uint8_t* dest);
  std::vector<uint8_t> haveData();
  double getprogress() const override;

  // The job as it stands (the file API may have changed hash and size).
  TransItem item() const;
  int64_t dataCount() const;
  int64_t indexCount() const;
  bool bHttpStart() const { return _bHttpStart.load(); }
  bool bHttpAble() const { return _bHttpAble.load(); }
  int result() const { return _result.load(); }
  // The target reaches the disk before the resume file names its blocks
  // (on by default; the benchmark measures without).
  void setblockflush(bool on) { _blockflush = on; }

  // The sources, for the LAN answers and tests: copies of the lists.
  std::vector<std::shared_ptr<PeerDownload>> udpPeers() const;
  std::vector<std::shared_ptr<PeerDownload>> httpPeers() const;

private:
  struct PeerItem {
    std::shared_ptr<PeerDownload> peer;
    int64_t num = 0;
    int64_t nPriority = 0;
  };

  void runthread();
  // One round of the fetch loop; false when the download has ended.
  bool round(double t0, double& lastquery);
  bool regetsources();
  bool beginEnd();
  void replanLocked(uint64_t filesize);
  // Sleeps until `until` (monotonic) unless woken earlier; true when woken
  // for a round at once (every block is here).
  bool sleepUntil(double until);
  void wake(bool round);
  // Hashes the blocks complete in order from the first not yet hashed
  // (`_hashLock` held).
  void hashblocksLocked();
  void hashblocks();
  void flushrun();
  void stopflush();
  // The SHA-1 of the target's blocks; empty when it can't be read.
  std::optional<std::string> contenthash();
  std::shared_ptr<PeerDownload> firstRunningHttpLocked() const;
  bool placefile(const std::string& to);
  void closefileLocked();  // under `_filecs`
  // Closes every handle and, when a path is given, removes the file and its
  // bitmap under the same locks.
  void closefiles(const std::string& removing);
  std::vector<uint8_t> allOnes() const;

  DownloadParent* const manager;  // not owned; outlives the download
  mutable std::mutex _cs;
  TransItem _item;  // under `_cs`
  int64_t _indexCount = 0, _dataCount = 0;
  std::vector<uint8_t> _needData, _tempData, _copyData, _unlostData;
  std::vector<std::shared_ptr<PeerDownload>> _listUdp, _listHttp;
  std::atomic<bool> _bHttpStart{false}, _bHttpAble{true}, _bStop{false};
  std::atomic<bool> _ended{false};
  std::atomic<int> _result{kRunning};
  std::atomic<double> _starttime{0};
  std::atomic<bool> _blockflush{true};
  // A LAN query went out at the start: the server source waits half a
  // second for its answers.
  std::atomic<bool> _lanquery{true};

  // Under `_flushLock`: the bitmap as the resume file holds it.
  std::mutex _flushLock;
  std::vector<uint8_t> _savedData;
  // Under `_hashLock`: the running SHA-1 of blocks 0 to `_hashed` - 1, and a
  // handle to read blocks back.
  std::mutex _hashLock;
  NSDataExpand::DigestStream _sha1;
  int64_t _hashed = 0;
  bool _hashbroken = false;
  std::vector<uint8_t> _hashbuf;
  int _readfile = -1;

  mutable std::mutex _filecs;
  std::vector<uint8_t> _haveData;  // under `_filecs`
  uint64_t _filesize = 0;          // under `_filecs`
  int _file = -1, _file_index = -1;

  std::mutex _sleepLock;
  std::condition_variable _sleepWake;
  bool _woken = false, _roundNow = false;  // under `_sleepLock`
  std::mutex _threadLock;
  std::thread _thread;
  // The flush thread, woken by each complete block; it lives while the
  // download thread does.
  std::mutex _flushWaitLock;
  std::condition_variable _flushWake;
  bool _flushDue = false, _flushQuit = false;  // under `_flushWaitLock`
  std::thread _flushThread;
};
