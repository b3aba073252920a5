#include "app/trans/Download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "app/sync/SyncCache.h"
#include "app/sync/Syncdb.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

namespace {

constexpr double kSince1970To2001 = 978307200.0;

double monoNow() { return plat::currentClock().monotonic(); }
double absoluteNow() { return plat::currentClock().now().secondsSince1970 - kSince1970To2001; }

bool preadAt(int fd, uint8_t* to, size_t n, uint64_t pos) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd, to + got, n - got, static_cast<off_t>(pos + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool pwriteAll(int fd, const uint8_t* from, size_t n, uint64_t pos) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::pwrite(fd, from + done, n - done, static_cast<off_t>(pos + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

void syncFolderOf(const std::string& path) {
  int dfd = ::open(plat::pathDirname(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

const char* errorText(int code) {
  switch (code) {
    case 81:
      return "创建文件失败:";
    case 83:
      return "下载地址错误:";
    default:
      return "未找到下载地址:";
  }
}

}  // namespace

void DownloadParent::downloadgone(const std::string& webpath) {
  if (auto db = syncdb()) db->del_file(webpath);
}

Download::Download(TransItem item, DownloadParent* parent) : manager(parent), _item(std::move(item)) {
  replanLocked(_item.filesize);
}

Download::~Download() {
  clearpeer();
  closefile();
  std::lock_guard t(_threadLock);
  if (_thread.joinable()) {
    // The thread holds the last reference when it ends by itself.
    if (_thread.get_id() == std::this_thread::get_id()) {
      _thread.detach();
    } else {
      _thread.join();
    }
  }
}

bool Download::sizefits(uint64_t size, const std::string& path) {
  if (size > kMaxFilesize) return false;
  struct statvfs vs {};
  if (::statvfs(plat::pathDirname(path).c_str(), &vs) != 0) return true;  // the file's creation will tell
  const uint64_t free = static_cast<uint64_t>(vs.f_bavail) * static_cast<uint64_t>(vs.f_frsize);
  struct stat st {};
  const uint64_t have = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  return size <= free + have;
}

void Download::replanLocked(uint64_t filesize) {
  // A size past what can be held plans no block: the download fails on it
  // before it asks for any.
  if (filesize > kMaxFilesize) filesize = 0;
  _indexCount = Util::getblockcount(filesize);
  _dataCount = Util::getbytecount(_indexCount);
  const size_t n = static_cast<size_t>(_dataCount);
  _needData.assign(n, 0);
  _tempData.assign(n, 0);
  _copyData.assign(n, 0);
  _unlostData.assign(n, 0);
  {
    std::lock_guard fl(_flushLock);
    std::lock_guard h(_hashLock);
    _savedData.assign(n, 0);
    _sha1.reset();
    _hashed = 0;
    _hashbroken = false;
    std::lock_guard f(_filecs);
    _haveData.assign(n, 0);
    _filesize = filesize;
  }
  Util::setAll(_needData.data(), _indexCount);
}

std::vector<uint8_t> Download::allOnes() const {
  std::vector<uint8_t> all(static_cast<size_t>(_dataCount), 0);
  Util::setAll(all.data(), _indexCount);
  return all;
}

TransItem Download::item() const {
  std::lock_guard l(_cs);
  return _item;
}

int64_t Download::dataCount() const {
  std::lock_guard l(_cs);
  return _dataCount;
}

int64_t Download::indexCount() const {
  std::lock_guard l(_cs);
  return _indexCount;
}

std::vector<std::shared_ptr<PeerDownload>> Download::udpPeers() const {
  std::lock_guard l(_cs);
  return _listUdp;
}

std::vector<std::shared_ptr<PeerDownload>> Download::httpPeers() const {
  std::lock_guard l(_cs);
  return _listHttp;
}

bool Download::run() {
  auto self = shared_from_this();
  std::lock_guard t(_threadLock);
  if (_thread.joinable()) return false;
  QVLog::sharedQVLog().addLogNormalFile(item().webpath, "开始下载:");
  try {
    _thread = plat::startThread("Download", [self] {
      // Whatever threw, the download fails and leaves its queue.
      try {
        self->runthread();
      } catch (const std::exception& e) {
        plat::log("download: uncaught exception: %s", e.what());
        self->taskerror(80);
      } catch (...) {
        plat::log("download: uncaught exception of unknown type");
        self->taskerror(80);
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool Download::beginEnd() { return !_ended.exchange(true); }

void Download::stop(bool bDelete) {
  if (!beginEnd()) return;
  _bStop = true;
  _sleepWake.notify_all();
  clearpeer();
  // A thread that has not yet made its files sees the stop under the same
  // locks and makes none, so nothing stays behind the deletion.
  closefiles(bDelete ? item().path : std::string());
  _result = kStopped;
}

void Download::join() {
  std::lock_guard t(_threadLock);
  if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id()) _thread.join();
}

bool Download::createfile() {
  const TransItem job = item();
  const std::string& path = job.path;
  // Under the file locks, as the stop that deletes the files: a download
  // stopped before its thread came here makes nothing.
  std::lock_guard fl(_flushLock);
  std::lock_guard h(_hashLock);
  std::lock_guard f(_filecs);
  if (_bStop) return false;
  if (!Util::createfolder(plat::pathDirname(path)) || !Util::createfile(path)) return false;
  const int file = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (file < 0) return false;
  // Bytes past the end can't belong to the file: the check would fail on them.
  struct stat st {};
  if (::fstat(file, &st) == 0 && static_cast<uint64_t>(st.st_size) > job.filesize) {
    if (::ftruncate(file, static_cast<off_t>(job.filesize)) != 0) {
      ::close(file);
      return false;
    }
  }
  // The disk space is taken once, not block by block in every flush (the
  // size the file shows is left alone).
  if (job.filesize > 0) ::fallocate(file, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(job.filesize));
  const std::string tmp = path + ".tmp";
  const int index = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // The blocks are read back for their hash through a handle of their own.
  const int readback = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (index < 0 || readback < 0) {
    ::close(file);
    if (index >= 0) ::close(index);
    if (readback >= 0) ::close(readback);
    return false;
  }
  const size_t n = _haveData.size();
  struct stat ist {};
  bool reused = false;
  if (::fstat(index, &ist) == 0 && static_cast<uint64_t>(ist.st_size) == n) {
    std::vector<uint8_t> back(n, 0);
    if (preadAt(index, back.data(), n, 0)) {
      if (n > 0) Util::setLast(&back[n - 1], static_cast<int>(_indexCount % 8));
      _haveData = back;
      reused = true;
    }
  }
  if (!reused) {
    if (::ftruncate(index, 0) != 0) {
      ::close(file);
      ::close(index);
      ::close(readback);
      return false;
    }
    std::fill(_haveData.begin(), _haveData.end(), 0);
  }
  _savedData = _haveData;
  _sha1.reset();
  _hashed = 0;
  _hashbroken = false;
  _file = file;
  _file_index = index;
  _readfile = readback;
  return true;
}

void Download::closefile() { closefiles(""); }

void Download::closefiles(const std::string& removing) {
  // Waits for a record being made: its handles are closed only after it.
  std::lock_guard fl(_flushLock);
  std::lock_guard h(_hashLock);
  if (_readfile >= 0) ::close(_readfile);
  _readfile = -1;
  std::lock_guard f(_filecs);
  closefileLocked();
  if (!removing.empty()) {
    ::unlink((removing + ".tmp").c_str());
    ::unlink(removing.c_str());
  }
}

void Download::closefileLocked() {
  if (_file >= 0) ::close(_file);
  if (_file_index >= 0) ::close(_file_index);
  _file = _file_index = -1;
}

void Download::deletetmpfile() {
  const std::string tmp = item().path + ".tmp";
  if (Util::existfile(tmp)) ::unlink(tmp.c_str());
}

bool Download::addHttpPeer(const std::string& url) {
  if (url.empty()) return false;
  std::lock_guard l(_cs);
  if (_bStop) return false;
  for (const auto& p : _listHttp) {
    if (p->url() == url) return false;
  }
  QVLog::sharedQVLog().addLogNormalFile(_item.webpath, plat::format("新增下载节点 %@ :", url));
  _listHttp.push_back(std::make_shared<PeerDownload>(this, url, allOnes(), _item.filesize, false));
  return true;
}

bool Download::addUdpPeer(const std::string& url) {
  std::lock_guard l(_cs);
  if (_bStop) return false;
  const auto all = allOnes();
  for (const auto& p : _listUdp) {
    if (p->url() == url) {
      p->updateHaveData(all.data(), _dataCount);
      p->clearbad();
      return false;
    }
  }
  QVLog::sharedQVLog().addLogNormalFile(_item.webpath, plat::format("新增下载节点 %@ :", url));
  _listUdp.push_back(std::make_shared<PeerDownload>(this, url, all, _item.filesize, true));
  return true;
}

bool Download::addUdpPeer(const std::string& url, bool bHttpStart, bool bHttpAble, int64_t userid,
                          const uint8_t* data, int64_t length) {
  std::shared_ptr<PeerDownload> dropped;
  {
    std::lock_guard l(_cs);
    if (_bStop || length != _dataCount) return false;
    std::vector<uint8_t> both(static_cast<size_t>(_dataCount), 0);
    Util::setNeedAND(_needData.data(), data, both.data(), _indexCount);
    const bool useful = Util::getAll(both.data(), _indexCount) > 0;
    for (auto it = _listUdp.begin(); it != _listUdp.end(); ++it) {
      auto& p = *it;
      if (p->url() != url) continue;
      p->setPeerInfo(userid, bHttpStart, bHttpAble);
      p->clearbad();
      if (useful) {
        p->updateHaveData(data, length);
      } else {
        p->stop();
        dropped = p;
        _listUdp.erase(it);
      }
      return false;
    }
    QVLog::sharedQVLog().addLogNormalFile(_item.webpath, plat::format("新增下载节点 %@ :", url));
    if (useful) {
      auto p = std::make_shared<PeerDownload>(this, url, std::vector<uint8_t>(data, data + length), _item.filesize,
                                              true);
      p->setPeerInfo(userid, bHttpStart, bHttpAble);
      _listUdp.push_back(p);
    }
  }
  return true;
}

void Download::clearpeer() {
  std::vector<std::shared_ptr<PeerDownload>> all;
  {
    std::lock_guard l(_cs);
    for (auto& p : _listUdp) p->cut();
    for (auto& p : _listHttp) p->cut();
    all.swap(_listUdp);
    all.insert(all.end(), _listHttp.begin(), _listHttp.end());
    _listHttp.clear();
  }
}

std::shared_ptr<PeerDownload> Download::firstRunningHttpLocked() const {
  for (const auto& s : _listHttp) {
    if (s->isRunning()) return s;
  }
  return nullptr;
}

void Download::checkpeer(double t0) {
  std::lock_guard l(_cs);
  const double now = monoNow();
  auto ud = Util::getAppDelegate().userdata();
  const int64_t me = ud ? ud->userID() : 0;
  std::vector<PeerItem> candidates;
  {
    std::lock_guard f(_filecs);
    _unlostData = _haveData;
  }
  std::vector<uint8_t> have = _unlostData;
  Util::setNOT(have.data(), _needData.data(), _indexCount);
  int64_t running = 0, defer = 0;
  // A server source that ended by itself no longer counts as started.
  if (_bHttpStart && !firstRunningHttpLocked()) _bHttpStart = false;

  for (auto it = _listUdp.begin(); it != _listUdp.end();) {
    auto p = *it;
    const bool pRunning = p->isRunning();
    if (pRunning) ++running;
    if (p->nPriority() >= 11) {
      ++it;
      continue;
    }
    if (p->bHttpStart()) defer = 999;
    p->copy(_copyData.data(), 0);
    Util::setNeedAND(_needData.data(), _copyData.data(), _tempData.data(), _indexCount);
    if (Util::isSame(_copyData.data(), have.data(), _indexCount)) {
      if (p->idletime(now) >= 60) {
        p->stop();
        it = _listUdp.erase(it);
      } else {
        ++it;
      }
      continue;
    }
    const int64_t n = Util::getAll(_tempData.data(), _indexCount);
    if (n == 0 || p->isbad()) {
      ++it;
      continue;
    }
    if (p->bHttpStart()) defer = 999;
    if (p->userid() != 0 && p->userid() < me && p->bHttpAble()) ++defer;
    Util::setOR(_unlostData.data(), _copyData.data(), _indexCount);
    if (!pRunning) {
      PeerItem hand{p, n, p->nPriority()};
      for (auto& c : candidates) {
        if (c.num < hand.num && c.nPriority >= hand.nPriority) std::swap(c, hand);
      }
      if (candidates.size() < 3) candidates.push_back(hand);
    } else {
      std::vector<uint8_t> given(_needData.size(), 0);
      p->copy(given.data(), 1);
      Util::setMove(_needData.data(), given.data(), _indexCount);
    }
    ++it;
  }
  _bHttpAble = defer < 999;

  if (candidates.empty()) {
    if (Util::getAll(have.data(), _indexCount) == _indexCount) return;
    if (auto s = firstRunningHttpLocked()) {
      if (s->idletime(now) >= 60) {
        s->stop();
        _bHttpStart = false;
      }
      return;
    }
    if (Util::getFrist(_needData.data(), _indexCount) < 0) return;
    for (auto& s : _listHttp) {
      if (s->isbad()) {
        if (s->idletime(now) >= 60) s->clearbad();
        s->stop();
        continue;
      }
      // Half a second for the LAN's answers, when a query went out.
      if (_bHttpAble && (now > t0 + 0.5 || !_lanquery) && !s->isRunning() && running < kMaxRunning) {
        s->setdownload(_needData.data(), _dataCount);
        s->run();
        _bHttpStart = true;
        return;
      }
    }
    return;
  }

  while (running < kMaxRunning && !candidates.empty()) {
    if (Util::getFrist(_needData.data(), _indexCount) < 0) return;
    auto p = candidates.front().peer;
    p->copy(_copyData.data(), 0);
    Util::setNeedAND(_needData.data(), _copyData.data(), _tempData.data(), _indexCount);
    p->setdownload(_tempData.data(), _dataCount);
    Util::setMove(_needData.data(), _tempData.data(), _indexCount);
    p->run();
    ++running;
    candidates.erase(candidates.begin());
  }
  const int64_t unlost = Util::getAll(_unlostData.data(), _indexCount);
  if (unlost == _indexCount) {
    if (_bHttpStart) {
      if (auto s = firstRunningHttpLocked()) s->stop();
      _bHttpStart = false;
    }
    return;
  }
  if (!_bHttpStart) {
    if (defer >= (static_cast<int64_t>(_listUdp.size()) + 5) / 5) return;
    Util::setNOT(_unlostData.data(), _tempData.data(), _indexCount);
    for (auto& s : _listHttp) {
      if (_bHttpAble && now > t0 + 1 && !s->isRunning() && !s->isbad()) {
        s->setdownload(_tempData.data(), _dataCount);
        s->run();
        _bHttpStart = true;
        return;
      }
    }
    return;
  }
  if (auto s = firstRunningHttpLocked()) {
    if (s->getdownloadnum() > unlost + 10) {
      s->stop();
      _bHttpStart = false;
    }
  }
}

bool Download::checkfinish() {
  std::lock_guard f(_filecs);
  return Util::getAll(_haveData.data(), _indexCount) == _indexCount;
}

bool Download::isBad() {
  std::lock_guard l(_cs);
  const auto& list = _listHttp.empty() ? _listUdp : _listHttp;
  if (list.empty()) return false;
  for (const auto& p : list) {
    if (!p->isbad()) return false;
  }
  return true;
}

bool Download::placefile(const std::string& to) {
  const std::string path = item().path;
  // The file reaches the disk before its new name can replace anything.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = ::fsync(fd) == 0;
  ::close(fd);
  if (!flushed || ::rename(path.c_str(), to.c_str()) != 0) return false;
  syncFolderOf(to);
  return true;
}

void Download::finish() {
  if (!beginEnd()) return;
  _bStop = true;
  clearpeer();
  const auto hash = contenthash();
  const TransItem job = item();
  const uint64_t size = Util::filesize(job.path);
  const bool ok = Util::existfile(job.path) && size == job.filesize && hash && *hash == job.filehash;
  // The placement's own sync runs beside a record still being made: the
  // resume file goes with the placement anyway.
  if (ok) {
    if (placefile(job.path + "_ok")) {
      deletetmpfile();
      QVLog::sharedQVLog().addLogNormalFile(job.webpath, "下载完成:");
      _result = kOk;
    } else {
      QVLog::sharedQVLog().addLogErrorFile(job.webpath, "下载文件失败:");
      _result = 81;
    }
  } else {
    QVLog::sharedQVLog().addLogErrorFile(job.webpath, "下载文件失败:");
    placefile(job.path + "_error");
    deletetmpfile();
    _result = kError;
  }
  stopflush();
  closefile();
  if (manager) manager->removedownload(*this);
}

void Download::taskerror(int code) {
  if (!beginEnd()) return;
  const TransItem job = item();
  QVLog::sharedQVLog().addLogErrorFile(job.webpath, errorText(code));
  // No source may write into the file once the download has left.
  _bStop = true;
  clearpeer();
  stopflush();
  // What came is kept for a later resume.
  saveindex();
  closefile();
  if (manager && manager->parkfailed(job.webpath)) {
    if (auto db = manager->syncdb()) db->update_acttime(job.webpath, absoluteNow() + kParkSeconds);
  }
  _result = code;
  if (manager) manager->removedownload(*this);
}

bool Download::writefile(const uint8_t* bytes, uint64_t pos, uint64_t size) {
  if (manager) manager->AddTransportData(_item.webpath, size, 0);
  _starttime = monoNow();
  std::lock_guard f(_filecs);
  if (_file < 0 || pos > _filesize || size > _filesize - pos) return false;
  for (uint64_t done = 0; done < size;) {
    const uint64_t at = pos + done;
    const uint64_t block = at / PeerDownload::kBlockSize;
    const uint64_t n = std::min(size - done, (block + 1) * PeerDownload::kBlockSize - at);
    // A complete block keeps the bytes it was completed and hashed with.
    const bool complete = (_haveData[static_cast<size_t>(block / 8)] >> (block % 8)) & 1u;
    if (!complete && !pwriteAll(_file, bytes + done, static_cast<size_t>(n), at)) {
      plat::log("download write at %llu failed: %s", static_cast<unsigned long long>(at), std::strerror(errno));
      return false;
    }
    done += n;
  }
  return true;
}

void Download::updateindex(int64_t index) {
  bool all = false;
  {
    std::lock_guard f(_filecs);
    const int64_t blocks = Util::getblockcount(_filesize);
    if (_file < 0 || _file_index < 0 || index < 0 || index >= blocks) return;
    Util::setIndex1(_haveData.data(), blocks, index);
    all = Util::getAll(_haveData.data(), blocks) == blocks;
    // The disk starts on the block now, without waiting: the sync that
    // records it then has less left to wait for.
    const uint64_t at = static_cast<uint64_t>(index) * PeerDownload::kBlockSize;
    ::sync_file_range(_file, static_cast<off_t>(at),
                      static_cast<off_t>(std::min<uint64_t>(PeerDownload::kBlockSize, _filesize - at)),
                      SYNC_FILE_RANGE_WRITE);
  }
  wake(all);
  {
    std::lock_guard l(_flushWaitLock);
    _flushDue = true;
  }
  _flushWake.notify_one();
}

void Download::hashblocksLocked() {
  uint64_t filesize = 0;
  std::vector<uint8_t> have;
  const int readback = _readfile;
  {
    std::lock_guard f(_filecs);
    filesize = _filesize;
    have = _haveData;
  }
  const int64_t blocks = Util::getblockcount(filesize);
  while (!_hashbroken && _hashed < blocks && ((have[static_cast<size_t>(_hashed / 8)] >> (_hashed % 8)) & 1u)) {
    const uint64_t at = static_cast<uint64_t>(_hashed) * PeerDownload::kBlockSize;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(PeerDownload::kBlockSize, filesize - at));
    _hashbuf.resize(PeerDownload::kBlockSize);
    // Just written, the block is still in the page cache.
    if (readback < 0 || !preadAt(readback, _hashbuf.data(), n, at) || !_sha1.update({_hashbuf.data(), n})) {
      _hashbroken = true;
      break;
    }
    ++_hashed;
  }
}

void Download::saveindex() {
  std::lock_guard fl(_flushLock);
  std::vector<uint8_t> have;
  int file = -1, index = -1;
  {
    std::lock_guard f(_filecs);
    file = _file;
    index = _file_index;
    have = _haveData;
  }
  if (file < 0 || index < 0 || have == _savedData) return;
  // Every block of `have` was written before this sync began: the resume
  // file never names a block that is not on disk.
  if (_blockflush && ::fdatasync(file) != 0) return;
  if (!pwriteAll(index, have.data(), have.size(), 0)) return;
  if (_blockflush) ::fdatasync(index);
  _savedData = std::move(have);
}

std::optional<std::string> Download::contenthash() {
  const std::string path = item().path;
  std::lock_guard h(_hashLock);
  hashblocksLocked();
  uint64_t filesize = 0;
  {
    std::lock_guard f(_filecs);
    filesize = _filesize;
  }
  if (!_hashbroken && _hashed == Util::getblockcount(filesize)) return _sha1.hexDigest();
  // Not every block could be taken in order: the file as it stands.
  return Util::getfilehash(path);
}

void Download::copy(uint8_t* dest) {
  std::lock_guard f(_filecs);
  std::copy(_haveData.begin(), _haveData.end(), dest);
}

std::vector<uint8_t> Download::haveData() {
  std::lock_guard f(_filecs);
  return _haveData;
}

double Download::getprogress() const {
  std::vector<uint8_t> have;
  {
    std::lock_guard f(_filecs);
    have = _haveData;
  }
  const int64_t blocks = indexCount();
  if (blocks == 0 || have.size() != static_cast<size_t>(Util::getbytecount(blocks))) return 0;
  return static_cast<double>(Util::getAll(have.data(), blocks)) / static_cast<double>(blocks);
}

void Download::wake(bool round) {
  {
    std::lock_guard l(_sleepLock);
    _woken = true;
    _roundNow = _roundNow || round;
  }
  _sleepWake.notify_all();
}

bool Download::sleepUntil(double until) {
  plat::Clock& clock = plat::currentClock();
  std::unique_lock l(_sleepLock);
  const double left = until - clock.monotonic();
  if (left > 0 && !_woken && !_bStop) {
    const bool woken = _sleepWake.wait_for(l, std::chrono::duration<double>(clock.realSecondsFor(left)),
                                           [this] { return _woken || _bStop.load(); });
    if (!woken) {
      l.unlock();
      clock.idle(left);
      l.lock();
    }
  }
  const bool round = _roundNow;
  _woken = _roundNow = false;
  return round;
}

// Asks the file API for the sources; false when the download has ended.
bool Download::regetsources() {
  TransItem job = item();
  QVLog::sharedQVLog().addLogNormalFile(job.webpath, "获取下载地址:");
  auto ud = Util::getAppDelegate().userdata();
  RetReget ret = HTTPEngine::reget(ud ? ud->userToken() : "", job.webpath, ud ? ud->mountID() : 0);
  if (_bStop) return false;
  if (ret.status == 200) {
    if (ret.filehash != job.filehash || ret.filesize != job.filesize) {
      // The new hash names the file in the sync engine: only a real one.
      if (!SyncCache::isContentHash(ret.filehash)) {
        taskerror(80);
        return false;
      }
      // A size no disk here can hold is not believed.
      if (!sizefits(ret.filesize, job.path)) {
        QVLog::sharedQVLog().addLogErrorFile(job.webpath, "文件大小超出磁盘可用空间:");
        taskerror(81);
        return false;
      }
      auto db = manager ? manager->syncdb() : nullptr;
      const int64_t status = db ? db->get_single_file(job.webpath).status : -1;
      if (status != 5 && status != 2) {
        taskerror(80);
        return false;
      }
      db->update_filehash(job.webpath, ret.filehash);
      db->update_filesize(job.webpath, ret.filesize);
      std::vector<std::shared_ptr<PeerDownload>> old;
      {
        std::lock_guard l(_cs);
        _item.filehash = ret.filehash;
        _item.filesize = ret.filesize;
        // Other content: no block here or at a peer of the old one counts.
        old.swap(_listUdp);
        replanLocked(ret.filesize);
      }
      for (auto& p : old) p->cut();
      bool emptied = true;
      {
        std::lock_guard f(_filecs);
        if (_file >= 0 && ::ftruncate(_file, 0) != 0) emptied = false;
        if (_file_index >= 0 && ::ftruncate(_file_index, 0) != 0) emptied = false;
      }
      if (!emptied) {
        taskerror(81);
        return false;
      }
    }
    std::vector<std::string> urls;
    for (const plat::Value& v : ret.localserver) {
      if (v.isString()) urls.push_back(v.string());
    }
    if (urls.empty()) urls.push_back(ret.uri);
    for (const auto& u : urls) addHttpPeer(u);
    std::lock_guard l(_cs);
    _item.url = ret.uri;
  } else if (ret.error == 40402) {
    // Parked first: a row the sync engine keeps to go up is not held back.
    taskerror(80);
    if (manager) manager->downloadgone(job.webpath);
    return false;
  }
  return true;
}

void Download::hashblocks() {
  std::lock_guard h(_hashLock);
  hashblocksLocked();
}

void Download::flushrun() {
  for (;;) {
    {
      std::unique_lock l(_flushWaitLock);
      _flushWake.wait(l, [this] { return _flushDue || _flushQuit; });
      if (_flushQuit) return;
      _flushDue = false;
    }
    saveindex();
  }
}

void Download::stopflush() {
  {
    std::lock_guard l(_flushWaitLock);
    _flushQuit = true;
  }
  _flushWake.notify_all();
  if (_flushThread.joinable() && _flushThread.get_id() != std::this_thread::get_id()) _flushThread.join();
}

void Download::lanquery() { _lanquery = manager && manager->checkfilehash(item().filehash); }

bool Download::round(double t0, double& lastquery) {
  if (isBad()) {
    taskerror(83);
    return false;
  }
  if (checkfinish()) {
    finish();
    return false;
  }
  size_t sources = 0;
  {
    std::lock_guard l(_cs);
    sources = _listUdp.size() + _listHttp.size();
  }
  const double now = monoNow();
  if (sources == 0) {
    if (now < t0 + 3) {
      taskerror(83);
      return false;
    }
  } else {
    checkpeer(t0);
  }
  if (now - _starttime.load() > kNoDataSeconds) {
    taskerror(80);
    return false;
  }
  if (now - lastquery > 10) {
    if (manager) manager->checkfilehash(item().filehash);
    lastquery = now;
  }
  return true;
}

void Download::runthread() {
  if (!sizefits(item().filesize, item().path)) {
    QVLog::sharedQVLog().addLogErrorFile(item().webpath, "文件大小超出磁盘可用空间:");
    taskerror(81);
    return;
  }
  if (!SyncCache::isContentHash(item().filehash) || !createfile()) {
    taskerror(81);
    return;
  }
  _flushThread = plat::startThread("DownloadFlush", [this] { flushrun(); });
  // However the download ends, its flush thread ends with it.
  struct Joined {
    Download* d;
    ~Joined() { d->stopflush(); }
  } joined{this};
  lanquery();
  if (!regetsources()) return;
  const double t0 = monoNow();
  double lastquery = t0, next = t0;
  bool roundNow = true;
  _starttime = t0;
  // A round once a second, at once when every block is here; between
  // rounds, the blocks that came are hashed and recorded.
  while (!_bStop) {
    if (!roundNow) hashblocks();
    const double now = monoNow();
    if (roundNow || now >= next) {
      if (!round(t0, lastquery)) return;
      next = now + 1;
      // A server source that waits only for the LAN's first answers starts
      // when that half second is over, not a whole round later.
      if (_lanquery && !_bHttpStart && now <= t0 + 0.5) next = std::min(next, t0 + 0.51);
    }
    roundNow = sleepUntil(next);
  }
}
