// PeerDownload: one source of a download (a file server named by the file
// API, or a client on the local network) that fetches the 1 MiB blocks the
// download assigns to it with HTTP range requests, one request at a time,
// on a fetch thread of its own, and writes them through the download.
//
// States: idle (no fetch thread) -> running (run(): `_bStart`, a fetch loop
// sends one request per run of assigned blocks) -> idle again when nothing
// is assigned, the source turned bad, a request failed in transport, or
// stop() (which cancels the request in flight and joins the loop). A stopped
// source keeps its link to the download and may run again; cut() ends the
// link for good when the download leaves.
//
// A body is taken into blocks only when it is what was asked for: 206 with a
// Content-Range that starts where the request starts (and names this file's
// size), or 200 for a request that starts at byte 0. Anything else (another
// status, a multipart answer, a redirect) marks the source bad.
//
// Threads: the scheduler of the download (setdownload, run, stop, copy,
// getdownloadnum, the flags); the fetch thread; the main thread, where the
// HTTP library delivers the request's callbacks. `_cs` guards the bitmaps,
// the position, the request and the flags. A callback holds its receiver's
// lock, then `_cs`, then the download's file lock; stop() takes the
// receiver's lock without holding `_cs`, so a callback in progress finishes
// before the source can go.
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

#include "platform/foundation/value.h"

class HCHTTPRequest;

class PeerDownload {
public:
  static constexpr uint64_t kBlockSize = 1048576;

  // What a source writes into: the download (its target file and bitmap).
  class Task {
  public:
    virtual ~Task() = default;
    // Bytes of the file at `pos`; false when they did not land there.
    virtual bool writefile(const uint8_t* bytes, uint64_t pos, uint64_t size) = 0;
    // Block `index` is complete in the file.
    virtual void updateindex(int64_t index) = 0;
  };

  // initPeer:url:havedata:filesize:bUdp:. `havedata` is the held bitmap.
  PeerDownload(Task* task, std::string url, const std::vector<uint8_t>& havedata, uint64_t filesize, bool bUdp);
  ~PeerDownload();
  PeerDownload(const PeerDownload&) = delete;
  PeerDownload& operator=(const PeerDownload&) = delete;

  void updateHaveData(const uint8_t* data, int64_t length);
  void setdownload(const uint8_t* data, int64_t length);
  // type 0: the held blocks; 1: the assigned blocks (nothing when none).
  void copy(uint8_t* dest, int type) const;
  // Starts the fetch thread unless one already runs.
  void run();
  // Cancels the request in flight, forgets the assigned blocks and joins the
  // fetch thread. The source may run again.
  void stop();
  // stop() and the link to the download cut for good.
  void cut();

  bool isbad() const;
  void clearbad();
  bool checkdownloadindex() const;
  int64_t getdownloadnum() const;
  // The Range value for the assigned blocks (every run; the first only for a
  // LAN peer); empty when nothing is assigned.
  std::string getRange() const;
  // The Range text of `bitmap` for a file of `filesize` bytes.
  static std::string rangeText(const uint8_t* bitmap, int64_t indexCount, uint64_t filesize, bool firstRunOnly);

  // Whether a response may be taken as the bytes from `start` on of a file
  // of `filesize` bytes.
  static bool acceptsResponse(int status, const std::optional<std::string>& contentRange,
                              const std::optional<std::string>& contentType, uint64_t start, uint64_t filesize);

  // The body of the request in flight, as the data callback hands it over:
  // beginBody once the response is accepted (the run asked for), then
  // consume for each chunk; false when the request is to be cancelled.
  void beginBody(uint64_t start, uint64_t end);
  bool consume(const uint8_t* bytes, size_t n);

  // --- what the scheduler reads --------------------------------------------
  const std::string& url() const { return _strUrl; }
  bool bUdp() const { return _bUdp; }
  bool isRunning() const { return _bStart.load(); }
  // Seconds (plat::Clock monotonic) since the last start or chunk; 0 before
  // the first start.
  double idletime(double now) const;
  int64_t nPriority() const { return _nPriority.load(); }
  int64_t userid() const { return _userid.load(); }
  bool bHttpStart() const { return _bHttpStart.load(); }
  bool bHttpAble() const { return _bHttpAble.load(); }
  void setPeerInfo(int64_t userid, bool bHttpStart, bool bHttpAble);
  // The Range header of every request sent, oldest first (for tests).
  std::vector<std::string> sentRanges() const;

  // --- request callbacks (main thread) -------------------------------------
  void requestDidReceiveData(HCHTTPRequest& request, const plat::Data& data);
  void requestFinished(HCHTTPRequest& request);
  void requestFailed(HCHTTPRequest& request);

private:
  struct Receiver;
  void downloadrun();
  void updateindexLocked(int64_t index);
  bool judgeLocked(HCHTTPRequest& request);
  void stopLocked(std::unique_lock<std::mutex>& l);

  const std::string _strUrl;
  const bool _bUdp;
  const uint64_t _llFilesize;
  const int64_t _indexCount;
  const int64_t _dataCount;

  mutable std::mutex _cs;
  std::condition_variable _wake;  // a request ended, or stop
  Task* _task;                    // null once cut
  std::vector<uint8_t> _haveData;
  std::optional<std::vector<uint8_t>> _download;
  std::shared_ptr<HCHTTPRequest> _request;
  std::shared_ptr<Receiver> _receiver;
  bool _bRequestStart = false;
  bool _bStop = false;
  bool _bBad = false;
  bool _bLeave = false;  // the last request failed in transport: the loop ends
  // The request in flight: its run, whether its answer was judged and
  // accepted, and the file offset of the next body byte.
  uint64_t _reqStart = 0, _reqEnd = 0, _bodypos = 0;
  bool _judged = false, _accepted = false;
  uint64_t _llpos = 0;
  std::vector<std::string> _sentRanges;

  std::atomic<bool> _bStart{false};
  std::atomic<double> _starttime{0};
  std::atomic<int64_t> _nPriority{0};
  std::atomic<int64_t> _userid{0};
  std::atomic<bool> _bHttpStart{false};
  std::atomic<bool> _bHttpAble{false};

  std::mutex _threadLock;  // the fetch thread object; never taken under `_cs`
  std::thread _thread;
};
