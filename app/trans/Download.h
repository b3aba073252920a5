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
// Threads: the download thread (runthread, checkpeer, finish, taskerror);
// the main thread, where the sources' data callbacks write blocks
// (writefile, updateindex); LAN discovery (addUdpPeer, copy, the flags);
// the manager's callers (stop). Locks: the manager's queue lock before
// `_cs` (source lists, scheduler bitmaps, flags), `_cs` before a source's
// own lock; `_filecs` (file handles, `_haveData`) is taken after a source's
// lock by the data callbacks and is never held while calling a source.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  // Asks the local network who holds the content (LAN discovery).
  virtual void checkfilehash(const std::string& /*filehash*/) {}
};

class Download : public PeerDownload::Task, public Transfer, public std::enable_shared_from_this<Download> {
public:
  static constexpr double kNoDataSeconds = 120;
  static constexpr double kParkSeconds = 300;
  static constexpr int kMaxRunning = 3;

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
  // One scheduler pass; t0 is the start of the fetch loop (monotonic seconds).
  void checkpeer(double t0);
  bool checkfinish();
  void finish();
  void taskerror(int code);
  bool isBad();

  bool writefile(const uint8_t* bytes, uint64_t pos, uint64_t size) override;
  void updateindex(int64_t index) override;
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
  // The target file is flushed after each block, before the bitmap names it
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
  bool regetsources();
  bool beginEnd();
  void replanLocked(uint64_t filesize);
  void sleepOneSecond();
  std::shared_ptr<PeerDownload> firstRunningHttpLocked() const;
  bool placefile(const std::string& to);
  void closefileLocked();  // under `_filecs`
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

  mutable std::mutex _filecs;
  std::vector<uint8_t> _haveData;  // under `_filecs`
  int _file = -1, _file_index = -1;

  std::mutex _sleepLock;
  std::condition_variable _sleepWake;
  std::mutex _threadLock;
  std::thread _thread;
};
