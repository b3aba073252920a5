#include "app/sync/Directoryhandler.h"

#include <sys/stat.h>


namespace {
bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    out.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return out;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

Directoryhandler::Directoryhandler(const std::string& path, LocalEvents* manager)
    : srcPath_(path), manager_(manager), taskqueue_(std::make_unique<plat::SerialQueue>("watch tasks " + path)) {}

Directoryhandler::~Directoryhandler() {
  stopMonitoring();
  taskqueue_.reset();  // runs what is queued, then ends
}

void Directoryhandler::setPath(const std::string& src, const std::string& dst) {
  std::lock_guard<std::mutex> g(mutex_);
  srcPath_ = src;
  dstPath_ = dst;
  bReplace_ = true;
}

void Directoryhandler::renamePath(const std::string& dst) {
  std::lock_guard<std::mutex> g(mutex_);
  dstPath_ = dst;
}

std::string Directoryhandler::srcPath() const {
  std::lock_guard<std::mutex> g(mutex_);
  return srcPath_;
}

std::string Directoryhandler::dstPath() const {
  std::lock_guard<std::mutex> g(mutex_);
  return dstPath_;
}

// Only the head of the path: a folder of the same name deeper down is no
// occurrence of the watched folder.
std::string Directoryhandler::reported(const std::string& path) const {
  std::lock_guard<std::mutex> g(mutex_);
  if (!bReplace_ || srcPath_.empty()) return path;
  std::string src = srcPath_, dst = dstPath_;
  while (src.size() > 1 && src.back() == '/') src.pop_back();
  while (dst.size() > 1 && dst.back() == '/') dst.pop_back();
  if (path.compare(0, src.size(), src) != 0 || (path.size() > src.size() && path[src.size()] != '/')) return path;
  return dst + path.substr(src.size());
}

std::string Directoryhandler::reportedRoot() const {
  std::string r = reported(srcPath());
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r;
}

void Directoryhandler::startMonitoringThread() {
  stopMonitoring();
  auto stream = std::make_unique<plat::FolderWatcher>(
      srcPath(), [this](std::vector<plat::FsEvent> ev) { callback(std::move(ev)); },
      [this](const std::string&) {
        if (isWatchingPaths_) overflow();
      });
  stream->setWatchLimit(watchLimit_.load());
  // Told even while silent: the limit holds for the whole time it runs.
  stream->setOnLimit([this](const std::string&) { manager_->watchlimit(reportedRoot()); });
  stream->open();
  stream->start();
  std::lock_guard<std::mutex> g(streamMutex_);
  eventStream_ = std::move(stream);
  isWatchingPaths_ = true;
}

void Directoryhandler::stopMonitoring() {
  std::unique_ptr<plat::FolderWatcher> stream;
  {
    std::lock_guard<std::mutex> g(streamMutex_);
    stream = std::move(eventStream_);
  }
  if (!stream) return;
  isWatchingPaths_ = false;
  stream->stop();
}

void Directoryhandler::injectOverflow() {
  std::lock_guard<std::mutex> g(streamMutex_);
  if (eventStream_) eventStream_->injectOverflow();
}

void Directoryhandler::overflow() {
  ++overflows_;
  if (overflowed_.exchange(true)) return;  // one rescan covers everything until it runs
  taskqueue_->async([this] {
    // Events from here on are queued again; the scan sees whatever they
    // report, so taking one twice does no harm.
    overflowed_ = false;
    if (!isWatchingPaths_) return;
    const std::string root = reportedRoot();
    ++rescans_;
    if (manager_->watching(root)) manager_->rescanroot(root);
  });
}

void Directoryhandler::drain() {
  taskqueue_->sync([] {});
}

std::vector<HandlerItem> Directoryhandler::items(const std::vector<plat::FsEvent>& events) {
  std::vector<HandlerItem> batch;
  for (const auto& e : events) {
    if (endsWith(e.path, "/.DS_Store")) continue;
    if (!(e.created || e.removed || e.renamed || e.modified)) continue;
    HandlerItem it;
    it.path = e.path;
    it.itemid = e.id;
    it.type = e.kind;
    it.bCreate = e.created;
    it.bRemove = e.removed;
    it.bRename = e.renamed;
    it.bModify = e.modified;
    batch.push_back(std::move(it));
  }
  return batch;
}

void Directoryhandler::callback(std::vector<plat::FsEvent> events) {
  if (!isWatchingPaths_) return;
  auto batch = items(events);
  const size_t n = batch.size();
  if (overflowed_ || backlog_.load() + n > backlogLimit_.load()) {
    overflow();
    return;
  }
  backlog_ += n;
  auto task = std::make_shared<DirectoryhandlerTask>(this, std::move(batch));
  taskqueue_->async([this, task, n] {
    backlog_ -= n;
    ++tasks_;
    task->main();
  });
}

void DirectoryhandlerTask::main() {
  if (!handler_->isWatchingPaths()) return;
  LocalEvents* m = handler_->manager();
  // A folder that is no longer a root (a link undone, a moved sync folder).
  if (!m->watching(handler_->reportedRoot())) return;
  auto locked = [m](auto&& f) {
    m->lock();
    try {
      f();
    } catch (...) {
      m->unlock();
      throw;
    }
    m->unlock();
  };
  if (array_.size() == 1) {
    const HandlerItem& a = array_[0];
    std::string r = handler_->reported(a.path);
    if (!exists(a.path)) {
      locked([&] { m->eventdel(r); });
    } else if (a.bCreate && !a.bModify) {
      locked([&] { m->eventadd(r); });
    } else {
      locked([&] { m->eventupdate(r); });
    }
    return;
  }
  for (size_t i = 0; i < array_.size(); ++i) {
    HandlerItem& a = array_[i];
    bool handled = false;
    // Only the two halves of one rename pair: the watcher gives them
    // consecutive ids and keeps unrelated events further apart, so two
    // files created together are never taken for a rename.
    if (a.bRename) {
      for (auto& b : array_) {
        if (!b.bRename || b.itemid != a.itemid + 1 || !exists(b.path)) continue;
        auto ca = split(a.path), cb = split(b.path);
        bool rename = false, move = false;
        if (ca.size() == cb.size()) {
          for (size_t k = 0; k < ca.size(); ++k) {
            if (ca[k] != cb[k]) {
              (k + 1 == ca.size() ? rename : move) = true;
              break;
            }
          }
        } else {
          move = true;
        }
        if (!rename && !move) continue;
        b.bUse = true;
        handled = true;
        std::string ra = handler_->reported(a.path), rb = handler_->reported(b.path);
        if (rename) {
          m->eventrename(ra, rb, true);
        } else {
          m->eventremove(ra, rb, true);
        }
      }
    }
    if (!handled && !a.bUse) {
      std::string r = handler_->reported(a.path);
      if (!exists(a.path)) {
        locked([&] { m->eventdel(r); });
      } else {
        locked([&] { m->eventupdate(r); });
      }
    }
  }
}
