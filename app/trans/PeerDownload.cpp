#include "app/trans/PeerDownload.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread.h"

namespace {

double monoNow() { return plat::currentClock().monotonic(); }

bool bitAt(const std::vector<uint8_t>& set, int64_t i) { return (set[static_cast<size_t>(i / 8)] >> (i % 8)) & 1u; }

}  // namespace

// The request's callbacks reach the source through this small object: the
// request's blocks keep it alive, and once stop() has cleared `owner` under
// `lock`, a callback already on its way finds nobody to call.
struct PeerDownload::Receiver {
  explicit Receiver(PeerDownload* o) : owner(o) {}
  std::mutex lock;
  PeerDownload* owner;
};

PeerDownload::PeerDownload(Task* task, std::string url, const std::vector<uint8_t>& havedata, uint64_t filesize,
                           bool bUdp)
    : _strUrl(std::move(url)),
      _bUdp(bUdp),
      _llFilesize(filesize),
      _indexCount(Util::getblockcount(filesize)),
      _dataCount(Util::getbytecount(_indexCount)),
      _task(task),
      _haveData(static_cast<size_t>(_dataCount), 0) {
  if (static_cast<int64_t>(havedata.size()) == _dataCount) _haveData = havedata;
}

PeerDownload::~PeerDownload() { cut(); }

void PeerDownload::updateHaveData(const uint8_t* data, int64_t length) {
  std::lock_guard l(_cs);
  if (length == _dataCount) _haveData.assign(data, data + length);
}

void PeerDownload::setdownload(const uint8_t* data, int64_t length) {
  std::lock_guard l(_cs);
  if (length == _dataCount) _download = std::vector<uint8_t>(data, data + length);
}

void PeerDownload::copy(uint8_t* dest, int type) const {
  std::lock_guard l(_cs);
  const std::vector<uint8_t>* from = type == 0 ? &_haveData : (_download ? &*_download : nullptr);
  if (from) std::copy(from->begin(), from->end(), dest);
}

void PeerDownload::run() {
  std::lock_guard t(_threadLock);
  if (_thread.joinable()) {
    if (_bStart) return;  // one fetch thread per source: the loop still lives
    _thread.join();
  }
  {
    std::lock_guard l(_cs);
    if (!_task) return;
    _bStop = false;
    _bLeave = false;
    if (!_receiver) _receiver = std::make_shared<Receiver>(this);
  }
  _bStart = true;
  _starttime = monoNow();
  _thread = plat::startThread("PeerDownload", [this] { downloadrun(); });
}

void PeerDownload::stop() {
  std::shared_ptr<Receiver> receiver;
  std::shared_ptr<HCHTTPRequest> request;
  {
    std::lock_guard l(_cs);
    _bStop = true;
    if (_bRequestStart) request = _request;
    _bRequestStart = false;
    _download.reset();
    receiver = std::move(_receiver);
  }
  if (receiver) {
    // Waits for a callback in progress on the main thread.
    std::lock_guard g(receiver->lock);
    receiver->owner = nullptr;
  }
  if (request) request->clearDelegatesAndCancel();
  _wake.notify_all();
  {
    std::lock_guard t(_threadLock);
    if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id()) _thread.join();
  }
  _bStart = false;
}

void PeerDownload::cut() {
  stop();
  std::lock_guard l(_cs);
  _task = nullptr;
}

bool PeerDownload::isbad() const {
  std::lock_guard l(_cs);
  return _bBad;
}

void PeerDownload::clearbad() {
  std::lock_guard l(_cs);
  _bBad = false;
}

bool PeerDownload::checkdownloadindex() const {
  std::lock_guard l(_cs);
  return _task && _download && Util::getFrist(const_cast<uint8_t*>(_download->data()), _indexCount) >= 0;
}

int64_t PeerDownload::getdownloadnum() const {
  std::lock_guard l(_cs);
  return _download ? Util::getAll(const_cast<uint8_t*>(_download->data()), _indexCount) : 0;
}

std::string PeerDownload::rangeText(const uint8_t* bitmap, int64_t indexCount, uint64_t filesize,
                                    bool firstRunOnly) {
  std::string runs;
  for (int64_t i = 0; i < indexCount; ++i) {
    if (!((bitmap[i / 8] >> (i % 8)) & 1u)) continue;
    const int64_t a = i;
    while (i + 1 < indexCount && ((bitmap[(i + 1) / 8] >> ((i + 1) % 8)) & 1u)) ++i;
    const uint64_t start = static_cast<uint64_t>(a) * kBlockSize;
    uint64_t end = static_cast<uint64_t>(i + 1) * kBlockSize - 1;
    if (end >= filesize) end = filesize - 1;
    runs += plat::format("%lld-%lld,", static_cast<long long>(start), static_cast<long long>(end));
    if (firstRunOnly) break;
  }
  if (runs.empty()) return "";
  runs.pop_back();
  return "bytes=" + runs;
}

std::string PeerDownload::getRange() const {
  std::lock_guard l(_cs);
  if (!_download) return "";
  return rangeText(_download->data(), _indexCount, _llFilesize, _bUdp);
}

bool PeerDownload::acceptsResponse(int status, const std::optional<std::string>& contentRange,
                                   const std::optional<std::string>& contentType, uint64_t start,
                                   uint64_t filesize) {
  // Several runs come back as multipart/byteranges: framing, not file bytes.
  if (contentType && strncasecmp(contentType->c_str(), "multipart/", 10) == 0) return false;
  if (status == 200) return start == 0;
  if (status != 206 || !contentRange) return false;
  unsigned long long a = 0, b = 0, total = 0;
  int used = 0;
  if (std::sscanf(contentRange->c_str(), "bytes %llu-%llu/%llu%n", &a, &b, &total, &used) != 3) return false;
  if (static_cast<size_t>(used) != contentRange->size()) return false;
  return a == start && b >= a && b < filesize && total == filesize;
}

void PeerDownload::beginBody(uint64_t start, uint64_t end) {
  std::lock_guard l(_cs);
  _reqStart = start;
  _reqEnd = end;
  _bodypos = start;
  _llpos = 0;
}

bool PeerDownload::consume(const uint8_t* bytes, size_t n) {
  std::lock_guard l(_cs);
  while (n > 0) {
    // A byte past the run asked for, or outside the assigned blocks, ends
    // the request: the body is not what was asked for.
    if (_bodypos > _reqEnd || _bodypos >= _llFilesize) return false;
    const int64_t i = static_cast<int64_t>(_bodypos / kBlockSize);
    if (!_download || !bitAt(*_download, i)) return false;
    const uint64_t blockStart = static_cast<uint64_t>(i) * kBlockSize;
    const uint64_t blockEnd = std::min(blockStart + kBlockSize, _llFilesize);
    const uint64_t take = std::min<uint64_t>({n, blockEnd - _bodypos, _reqEnd + 1 - _bodypos});
    if (!_task || !_task->writefile(bytes, _bodypos, take)) return false;
    _bodypos += take;
    bytes += take;
    n -= static_cast<size_t>(take);
    _llpos = _bodypos - blockStart;
    if (_bodypos == blockEnd) {
      updateindexLocked(i);
      _llpos = 0;
    }
  }
  return true;
}

void PeerDownload::updateindexLocked(int64_t index) {
  if (_task) _task->updateindex(index);
  if (_download) Util::setIndex0(_download->data(), _indexCount, index);
}

double PeerDownload::idletime(double now) const {
  const double st = _starttime.load();
  return st == 0 ? 0 : now - st;
}

void PeerDownload::setPeerInfo(int64_t userid, bool bHttpStart, bool bHttpAble) {
  _userid = userid;
  _bHttpStart = bHttpStart;
  _bHttpAble = bHttpAble;
}

std::vector<std::string> PeerDownload::sentRanges() const {
  std::lock_guard l(_cs);
  return _sentRanges;
}

void PeerDownload::downloadrun() {
  QVLog::sharedQVLog().addLogNormalFile("", plat::format("开始从节点%@下载数据:", _strUrl));
  plat::Clock& clock = plat::currentClock();
  std::unique_lock l(_cs);
  while (!_bStop) {
    if (!_bRequestStart) {
      if (!_task || !_download || _bBad || _bLeave) break;
      // One run per request: every answer then has one Content-Range to check.
      const std::string range = rangeText(_download->data(), _indexCount, _llFilesize, true);
      if (range.empty()) break;
      unsigned long long a = 0, b = 0;
      std::sscanf(range.c_str(), "bytes=%llu-%llu", &a, &b);
      auto request = HCHTTPRequest::requestWithURL(_strUrl);
      request->addRequestHeader("User-Agent", "client_quorva");
      request->addRequestHeader("Range", range);
      // Offsets count the file's bytes: no content coding, no redirect body.
      request->setAllowCompressedResponse(false);
      request->setShouldRedirect(false);
      HCHTTPRequest* raw = request.get();
      auto receiver = _receiver;
      request->setDataReceivedBlock([receiver, raw](const plat::Data& d) {
        std::lock_guard g(receiver->lock);
        if (receiver->owner) receiver->owner->requestDidReceiveData(*raw, d);
      });
      request->setCompletionBlock([receiver, raw] {
        std::lock_guard g(receiver->lock);
        if (receiver->owner) receiver->owner->requestFinished(*raw);
      });
      request->setFailedBlock([receiver, raw] {
        std::lock_guard g(receiver->lock);
        if (receiver->owner) receiver->owner->requestFailed(*raw);
      });
      _request = request;
      _bRequestStart = true;
      _judged = _accepted = false;
      _reqStart = _bodypos = a;
      _reqEnd = b;
      _llpos = 0;
      _sentRanges.push_back(range);
      l.unlock();
      request->startAsynchronous();
      l.lock();
      continue;
    }
    const bool woken = _wake.wait_for(l, std::chrono::duration<double>(clock.realSecondsFor(1.0)),
                                      [this] { return _bStop || !_bRequestStart; });
    if (!woken) {
      l.unlock();
      clock.idle(1.0);
      l.lock();
    }
  }
  _bStart = false;
}

bool PeerDownload::judgeLocked(HCHTTPRequest& request) {
  const auto encoding = request.responseHeader("Content-Encoding");
  if (encoding && strcasecmp(encoding->c_str(), "identity") != 0) return false;
  return acceptsResponse(request.responseStatusCode(), request.responseHeader("Content-Range"),
                         request.responseHeader("Content-Type"), _reqStart, _llFilesize);
}

void PeerDownload::requestDidReceiveData(HCHTTPRequest& request, const plat::Data& data) {
  bool cancel = false;
  {
    std::lock_guard l(_cs);
    if (&request != _request.get() || !_bRequestStart || _bStop || data.empty()) return;
    _starttime = monoNow();
    if (!_judged) {
      _judged = true;
      _accepted = judgeLocked(request);
      if (!_accepted) _bBad = true;
    }
    cancel = !_accepted || !_task;
  }
  if (!cancel) cancel = !consume(data.data(), data.size());
  // Cancelled outside `_cs`: the failure report may come in line.
  if (cancel) request.cancel();
}

void PeerDownload::requestFinished(HCHTTPRequest& request) {
  {
    std::lock_guard l(_cs);
    if (&request != _request.get() || !_bRequestStart) return;
    _bRequestStart = false;
    if (!_judged) {
      _judged = true;
      _accepted = judgeLocked(request);
    }
    if (_accepted) {
      _nPriority = 0;
    } else {
      _bBad = true;
      ++_nPriority;
    }
  }
  _wake.notify_all();
}

void PeerDownload::requestFailed(HCHTTPRequest& request) {
  {
    std::lock_guard l(_cs);
    if (&request != _request.get() || !_bRequestStart) return;
    _bRequestStart = false;
    if (!_judged && request.responseStatusCode() != 0) {
      _judged = true;
      _accepted = judgeLocked(request);
    }
    ++_nPriority;
    if (!_accepted) _bBad = true;
    // The loop ends; the scheduler starts the source again when it is due.
    _bLeave = true;
  }
  _wake.notify_all();
}
