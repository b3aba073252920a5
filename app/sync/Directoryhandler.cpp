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

std::string Directoryhandler::reported(const std::string& path) const {
  std::lock_guard<std::mutex> g(mutex_);
  if (!bReplace_ || srcPath_.empty()) return path;
  std::string out = path;
  for (size_t at = out.find(srcPath_); at != std::string::npos; at = out.find(srcPath_, at + dstPath_.size())) {
    out.replace(at, srcPath_.size(), dstPath_);
  }
  return out;
}

void Directoryhandler::startMonitoringThread() {
  stopMonitoring();
  eventStream_ = std::make_unique<plat::FolderWatcher>(
      srcPath(), [this](std::vector<plat::FsEvent> ev) { callback(std::move(ev)); },
      [this](const std::string&) {
        if (isWatchingPaths_) {
          std::string root = reported(srcPath());
          taskqueue_->async([this, root] { manager_->rescanroot(root); });
        }
      });
  eventStream_->open();
  eventStream_->start();
  isWatchingPaths_ = true;
}

void Directoryhandler::stopMonitoring() {
  if (!eventStream_) return;
  eventStream_->stop();
  eventStream_.reset();
  isWatchingPaths_ = false;
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
  auto task = std::make_shared<DirectoryhandlerTask>(this, std::move(batch));
  taskqueue_->async([task] { task->main(); });
}

void DirectoryhandlerTask::main() {
  if (!handler_->isWatchingPaths()) return;
  LocalEvents* m = handler_->manager();
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
