#include "app/trans/TransManager.h"

#include <algorithm>

#include "app/core/AppServices.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/trans/Upload.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/error.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

namespace {
constexpr double kSince1970To2001 = 978307200.0;
}

double TransManager::absoluteTime() { return plat::currentClock().now().secondsSince1970 - kSince1970To2001; }

TransManager::TransManager(std::shared_ptr<TransHandoff> sync) : sync_(std::move(sync)) {
  arrTranData_.reserve(2 * kMaxPerDirection);
  downloadFactory_ = [](const TransItem& job, TransManager& m) -> std::shared_ptr<Transfer> {
    return std::make_shared<Download>(job, &m);
  };
  udpObserver_ = plat::ScopedObserver(kUdpAddPeer, [this](const plat::Notification& n) { AddUdpPeer(n); });
}

TransManager::~TransManager() {
  udpObserver_.reset();
  exit();
  // No transfer outlives the manager: stop every one still known and wait.
  std::vector<std::shared_ptr<Transfer>> all;
  for (Queue* q : {&downloads_, &uploads_}) {
    std::lock_guard<std::mutex> l(q->lock);
    for (Entry& e : q->running) {
      e.transfer->stop(false);
      all.push_back(e.transfer);
    }
    q->running.clear();
    all.insert(all.end(), q->left.begin(), q->left.end());
    q->left.clear();
  }
  joinAll(std::move(all));
}

std::shared_ptr<TransManager> TransManager::init(std::shared_ptr<TransHandoff> sync, DownloadFactory downloads,
                                                 Notice notice) {
  auto m = std::make_shared<TransManager>(std::move(sync));
  if (downloads) m->setDownloadFactory(std::move(downloads));
  m->setNotice(std::move(notice));
  if (m->sync_) m->sync_->settrans(m);
  m->startThreads();
  return m;
}

void TransManager::startThreads() {
  bOut_ = false;
  downloadThread_ = plat::startThread("downloadrun", [this] { downloadrun(); });
  uploadThread_ = plat::startThread("uploadrun", [this] { uploadrun(); });
}

void TransManager::exit() {
  {
    std::lock_guard<std::mutex> l(sleepMutex_);
    bOut_ = true;
  }
  sleepCv_.notify_all();
  if (downloadThread_.joinable()) downloadThread_.join();
  if (uploadThread_.joinable()) uploadThread_.join();
}

void TransManager::setDownloadFactory(DownloadFactory f) {
  std::lock_guard<std::mutex> l(hooklock_);
  downloadFactory_ = std::move(f);
}

void TransManager::setNotice(Notice n) {
  std::lock_guard<std::mutex> l(hooklock_);
  notice_ = std::move(n);
}

void TransManager::pause(double seconds, int woken) {
  auto& clock = plat::currentClock();
  std::unique_lock<std::mutex> l(sleepMutex_);
  bool* kick = woken < 0 ? nullptr : &kicked_[woken];
  const bool early = sleepCv_.wait_for(l, std::chrono::duration<double>(clock.realSecondsFor(seconds)),
                                       [&] { return bOut_.load() || (kick && *kick); });
  if (kick) *kick = false;
  l.unlock();
  if (!bOut_ && !early) clock.idle(seconds);
}

void TransManager::wakeup(int direction) {
  {
    std::lock_guard<std::mutex> l(sleepMutex_);
    if (direction != 1) kicked_[0] = true;
    if (direction != 0) kicked_[1] = true;
  }
  sleepCv_.notify_all();
}

bool TransManager::readyToFill() const {
  AppServices& app = Util::getAppDelegate();
  return app.bSyncStart() && app.bLink() && app.synccount() != 0;
}

void TransManager::downloadrun() { fillrun(false); }
void TransManager::uploadrun() { fillrun(true); }

// The filler of one direction: asks the sync engine for jobs while fewer
// than kMaxPerDirection run. Its sleeps end early when a slot of its
// direction frees or the sync engine has new work (wakeup), so small files
// go at the machine's pace; the fixed sleeps remain the longest wait.
void TransManager::fillrun(bool upload) {
  const int dir = upload ? 1 : 0;
  while (!bOut_) {
    try {
      if (!readyToFill()) {
        pause(3, dir);
        continue;
      }
      reap();
      fillpass(upload);
    } catch (...) {
      // Whatever a step threw, the filler lives on.
      plat::log("trans fill: unexpected exception");
    }
    pause(1, dir);
  }
}

void TransManager::fillpass(bool upload) {
  Queue& q = upload ? uploads_ : downloads_;
  auto count = [&q] {
    std::lock_guard<std::mutex> l(q.lock);
    return q.running.size();
  };
  (upload ? uploadPasses_ : downloadPasses_)++;
  size_t n = count();
  while (n < kMaxPerDirection && !bOut_) {
    AppServices& app = Util::getAppDelegate();
    if (!app.bSyncStart() || !app.bLink()) return;
    try {
      TransItem job = upload ? sync_->get_upload() : sync_->get_download();
      if (job.itemid == 1) {
        // Already running or finished: the pass ends, the row stays handed out.
        if (upload ? select_uploadtask(job.path)
                   : (select_downloadtask(job.path) || check_downloadtaskok(job.path))) {
          return;
        }
        if (!(upload ? addupload(job) : adddownload(job))) return;
        n = count();
      } else if (job.itemid == 2) {
        return;
      } else if (job.itemid == 3 && !upload) {
        pause(0.01, -1);
      } else {
        pause(2, upload ? 1 : 0);
        return;
      }
    } catch (const std::exception& e) {
      // The pass ends, not the thread: a step that keeps throwing can't spin.
      plat::log("trans fill: %@", std::string(e.what()));
      return;
    } catch (...) {
      plat::log("trans fill: unexpected exception");
      return;
    }
  }
}

std::shared_ptr<Transfer> TransManager::add(Queue& q, const TransItem& job, std::shared_ptr<Transfer> t) {
  if (!t) return nullptr;
  {
    std::lock_guard<std::mutex> l(q.lock);
    q.running.push_back(Entry{t, job});
  }
  try {
    t->begin();
  } catch (...) {
    // A transfer that could not start holds no slot.
    remove(q, t.get(), &q == &uploads_ ? 1 : 0);
    throw;
  }
  return t;
}

std::shared_ptr<Transfer> TransManager::addupload(const TransItem& job) {
  return add(uploads_, job, Upload::init(job, *this));
}

std::shared_ptr<Transfer> TransManager::adddownload(const TransItem& job) {
  DownloadFactory f;
  {
    std::lock_guard<std::mutex> l(hooklock_);
    f = downloadFactory_;
  }
  return f ? add(downloads_, job, f(job, *this)) : nullptr;
}

bool TransManager::select(const Queue& q, const std::string& path) const {
  std::lock_guard<std::mutex> l(q.lock);
  return std::any_of(q.running.begin(), q.running.end(), [&](const Entry& e) { return e.job.path == path; });
}

bool TransManager::select_downloadtask(const std::string& path) const { return select(downloads_, path); }
bool TransManager::select_uploadtask(const std::string& path) const { return select(uploads_, path); }
bool TransManager::check_downloadtaskok(const std::string& path) const { return Util::existfile(path + "_ok"); }

void TransManager::remove(Queue& q, const Transfer* t, int64_t type) {
  std::string webpath;
  bool found = false;
  {
    std::lock_guard<std::mutex> l(q.lock);
    auto it = std::find_if(q.running.begin(), q.running.end(), [&](const Entry& e) { return e.transfer.get() == t; });
    if (it != q.running.end()) {
      webpath = it->job.webpath;
      q.left.push_back(it->transfer);
      q.running.erase(it);
      found = true;
    }
  }
  if (found) {
    RemoveSpeed(webpath, type);
    wakeup(static_cast<int>(type));
  }
}

void TransManager::removedownload(const Transfer* t) {
  remove(downloads_, t, 0);
  if (sync_) sync_->wakecheck();
}
void TransManager::removeupload(const Transfer* t) { remove(uploads_, t, 1); }

void TransManager::stopWhere(Queue& q, bool abort, const std::function<bool(const Entry&)>& pick) {
  std::lock_guard<std::mutex> l(q.lock);
  for (auto it = q.running.begin(); it != q.running.end();) {
    if (pick(*it)) {
      it->transfer->stop(abort);
      q.left.push_back(it->transfer);
      it = q.running.erase(it);
    } else {
      ++it;
    }
  }
}

void TransManager::removeall() {
  stopWhere(downloads_, false, [](const Entry&) { return true; });
  stopWhere(uploads_, false, [](const Entry&) { return true; });
  RemoveSpeedAll();
}

void TransManager::cleartrans(const std::string& folder) {
  // Only what lies under the folder: "x/a/b" is not under "a".
  auto under = [&folder](const Entry& e) {
    const std::string& w = e.job.webpath;
    return w == folder || (w.size() > folder.size() && w.compare(0, folder.size(), folder) == 0 &&
                           w[folder.size()] == '/');
  };
  stopWhere(downloads_, true, under);
  stopWhere(uploads_, true, under);
  RemoveSpeedForDir(folder);
}

void TransManager::joinAll(std::vector<std::shared_ptr<Transfer>> ts) {
  for (auto& t : ts) t->join();
}

void TransManager::reap() {
  std::vector<std::shared_ptr<Transfer>> done;
  for (Queue* q : {&downloads_, &uploads_}) {
    std::lock_guard<std::mutex> l(q->lock);
    done.insert(done.end(), q->left.begin(), q->left.end());
    q->left.clear();
  }
  // Joined outside the locks: a transfer on its way out may still call in.
  joinAll(std::move(done));
}

size_t TransManager::downloadCount() const {
  std::lock_guard<std::mutex> l(downloads_.lock);
  return downloads_.running.size();
}

size_t TransManager::uploadCount() const {
  std::lock_guard<std::mutex> l(uploads_.lock);
  return uploads_.running.size();
}

void TransManager::AddUdpPeer(const plat::Notification& note) {
  const plat::Value& a = note.object;
  if (a.count() < 2 || !a[size_t{1}].isString() || a[size_t{1}].string().empty()) return;
  const std::string& hash = a[size_t{1}].string();
  std::lock_guard<std::mutex> l(downloads_.lock);
  for (const Entry& e : downloads_.running) {
    if (e.job.filehash != hash) continue;
    auto d = std::dynamic_pointer_cast<Download>(e.transfer);
    if (!d) return;
    const std::string& url = a[size_t{0}].string();
    if (a.count() == 2) {
      d->addUdpPeer(url);
    } else if (a.count() == 6) {
      const plat::Data& bits = a[size_t{3}].dataValue();
      d->addUdpPeer(url, a[size_t{4}].boolValue(), a[size_t{5}].boolValue(), a[size_t{2}].longLongValue(), bits.data(),
                    static_cast<int64_t>(bits.size()));
    }
    return;
  }
}

std::shared_ptr<Syncdb> TransManager::syncdb() { return sync_ ? sync_->syncdb() : nullptr; }

bool TransManager::parkfailed(const std::string& webpath) {
  return sync_ && sync_->bStart() && sync_->syncshare().islocal(webpath);
}

void TransManager::downloadgone(const std::string& webpath) {
  if (sync_) sync_->downloadgone(webpath);
}

std::string TransManager::get_download_index(const std::string& filehash, uint64_t& filesize) const {
  std::lock_guard<std::mutex> l(downloads_.lock);
  for (const Entry& e : downloads_.running) {
    if (e.job.filehash == filehash) {
      filesize = e.job.filesize;
      return e.job.path;
    }
  }
  return "";
}

std::optional<TransManager::DownloadState> TransManager::get_download_state(const std::string& filehash) const {
  std::lock_guard<std::mutex> l(downloads_.lock);
  for (const Entry& e : downloads_.running) {
    if (e.job.filehash != filehash) continue;
    auto d = std::dynamic_pointer_cast<Download>(e.transfer);
    if (!d) return std::nullopt;
    DownloadState s;
    s.bHttpStart = d->bHttpStart();
    s.bHttpAble = d->bHttpAble();
    s.haveData = d->haveData();
    return s;
  }
  return std::nullopt;
}

void TransManager::setLanQuery(std::weak_ptr<LanQuery> lan) {
  std::lock_guard<std::mutex> l(hooklock_);
  lan_ = std::move(lan);
}

bool TransManager::checkfilehash(const std::string& filehash) {
  std::shared_ptr<LanQuery> lan;
  {
    std::lock_guard<std::mutex> l(hooklock_);
    lan = lan_.lock();
  }
  return lan && lan->checkfilehash(filehash);
}

// ---- Speeds ----

void TransManager::AddTransportData(const std::string& webpath, uint64_t n, int64_t type) {
  bool matched = false;
  {
    std::lock_guard<std::mutex> l(speedlock_);
    const double now = absoluteTime();
    for (SpeedItem& s : speedlist_) {
      if (s.webpath != webpath || s.type != type) continue;
      matched = true;
      s.add = true;
      s.newtime = now;
      const double d = s.newtime - s.oldtime;
      if (d > 6) {
        s.pos = s.nextpos + n;
        if (s.nexttime == 0) s.nexttime = s.newtime - 3;
        s.oldtime = s.nexttime;
        s.nexttime = 0;
        s.nextpos = 0;
      } else if (d > 3) {
        s.pos += n;
        if (s.nexttime == 0) {
          s.nexttime = s.newtime;
          s.nextpos = 0;
        }
        s.nextpos += n;
      } else {
        s.pos += n;
      }
    }
  }
  if (!matched) CreateSpeed(webpath, type);
}

void TransManager::CreateSpeed(const std::string& webpath, int64_t type) {
  std::lock_guard<std::mutex> l(speedlock_);
  for (const SpeedItem& s : speedlist_) {
    if (s.webpath == webpath && s.type == type) return;
  }
  SpeedItem s;
  s.webpath = webpath;
  s.type = type;
  s.oldtime = s.newtime = absoluteTime();
  speedlist_.push_back(s);
}

void TransManager::RemoveSpeed(const std::string& webpath, int64_t type) {
  std::lock_guard<std::mutex> l(speedlock_);
  for (SpeedItem& s : speedlist_) {
    if (s.webpath == webpath && s.type == type) {
      s.removed = true;
      return;
    }
  }
}

void TransManager::RemoveSpeedForDir(const std::string& folder) {
  std::lock_guard<std::mutex> l(speedlock_);
  for (SpeedItem& s : speedlist_) {
    if (s.webpath.find(folder) != std::string::npos) s.removed = true;
  }
}

void TransManager::RemoveSpeedAll() {
  std::lock_guard<std::mutex> l(speedlock_);
  speedlist_.clear();
}

void TransManager::SpeedTimer() {
  std::lock_guard<std::mutex> l(speedlock_);
  downloadSpeed_ = uploadSpeed_ = 0;
  for (SpeedItem& s : speedlist_) {
    const double d = s.newtime - s.oldtime;
    if (d > 0 && s.add) {
      s.speed = static_cast<int64_t>(static_cast<double>(s.pos) / d);
      (s.type == 0 ? downloadSpeed_ : uploadSpeed_) += s.speed;
    } else {
      s.speed = 0;
    }
    s.add = false;
  }
  speedlist_.erase(std::remove_if(speedlist_.begin(), speedlist_.end(), [](const SpeedItem& s) { return s.removed; }),
                   speedlist_.end());
}

uint64_t TransManager::GetSpeed(const std::string& webpath, int64_t type) const {
  std::lock_guard<std::mutex> l(speedlock_);
  for (const SpeedItem& s : speedlist_) {
    if (s.webpath == webpath && s.type == type) return static_cast<uint64_t>(std::max<int64_t>(s.speed, 0));
  }
  return 0;
}

double TransManager::GetProgress(const std::string& webpath, int64_t type) const {
  const Queue& q = type == 0 ? downloads_ : uploads_;
  std::lock_guard<std::mutex> l(q.lock);
  for (const Entry& e : q.running) {
    if (e.job.webpath == webpath) return e.transfer->getprogress();
  }
  return 0;
}

int64_t TransManager::downloadSpeed() const {
  std::lock_guard<std::mutex> l(speedlock_);
  return downloadSpeed_;
}

int64_t TransManager::uploadSpeed() const {
  std::lock_guard<std::mutex> l(speedlock_);
  return uploadSpeed_;
}

std::vector<SpeedItem> TransManager::speeds() const {
  std::lock_guard<std::mutex> l(speedlock_);
  return speedlist_;
}

// ---- Rows ----

std::vector<TransItem> TransManager::getTraningData() {
  // The speed of a row is the last entry with its path, read apart from the
  // queue locks (the speed lock is never held while a queue lock is taken).
  std::map<std::pair<std::string, int64_t>, uint64_t> speed;
  {
    std::lock_guard<std::mutex> l(speedlock_);
    for (const SpeedItem& s : speedlist_) speed[{s.webpath, s.type}] = static_cast<uint64_t>(std::max<int64_t>(s.speed, 0));
  }
  std::vector<TransItem> rows;
  for (int type : {0, 1}) {
    const Queue& q = type == 0 ? downloads_ : uploads_;
    std::lock_guard<std::mutex> l(q.lock);
    for (const Entry& e : q.running) {
      TransItem r;
      r.webpath = e.job.webpath;
      r.filesize = e.transfer->jobFilesize();
      r.status = type;
      auto it = speed.find({e.job.webpath, type});
      r.speed = it == speed.end() ? 0 : it->second;
      r.progress = e.transfer->getprogress();
      rows.push_back(r);
    }
  }
  std::lock_guard<std::mutex> l(dataLock_);
  arrTranData_ = rows;
  return rows;
}

// ---- Error messages ----

std::optional<std::string> TransManager::getTransErrorMsgFileHash(const std::string& filehash) const {
  std::lock_guard<std::mutex> l(errorlock_);
  auto it = errors_.find(filehash);
  if (it == errors_.end()) return std::nullopt;
  return it->second;
}

void TransManager::addTransErrorMsgFileHash(const std::string& filehash, const std::optional<std::string>& msg) {
  if (!msg) return;
  bool show = false;
  {
    std::lock_guard<std::mutex> l(errorlock_);
    // A repeat of the same message for the same content is not shown again.
    auto it = errors_.find(filehash);
    show = it == errors_.end() || it->second != *msg;
    errors_[filehash] = *msg;
  }
  Notice n;
  {
    std::lock_guard<std::mutex> l(hooklock_);
    n = notice_;
  }
  if (show && n) n(*msg);
}

void TransManager::removeTransErrorFileHash(const std::string& filehash) {
  std::lock_guard<std::mutex> l(errorlock_);
  errors_.erase(filehash);
}
