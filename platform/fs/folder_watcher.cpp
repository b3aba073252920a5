#include "platform/fs/folder_watcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

namespace plat {

namespace {
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY |
                           IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
std::atomic<int64_t> gNextId{1};

SystemClock& systemClock() {
  static SystemClock c;
  return c;
}

bool under(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}
}  // namespace

int64_t FolderWatcher::nextId(int64_t span) { return gNextId.fetch_add(span); }

FolderWatcher::FolderWatcher(std::string root, Batch onBatch, Rescan onRescan, Clock* clock, FileOps* ops,
                             double latency)
    : root_(std::move(root)),
      onBatch_(std::move(onBatch)),
      onRescan_(std::move(onRescan)),
      clock_(clock ? clock : &systemClock()),
      ops_(ops ? ops : &FileOps::shared()),
      latency_(latency) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

FolderWatcher::~FolderWatcher() {
  stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool FolderWatcher::open(Error* error) {
  watch_ = InotifyWatch::create(error);
  if (!watch_) return false;
  if (watch_->addFolder(root_, kMask, error) < 0) return false;
  addTree(root_, 0);
  return true;
}

size_t FolderWatcher::watchCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return folders_.size();
}

void FolderWatcher::injectOverflow() {
  injected_ = true;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t n = ::write(wakeFd_, &one, sizeof one);
    (void)n;
  }
}

void FolderWatcher::limitReached(const std::string& folder) {
  if (!rewalking_) rescan_ = true;  // what changes there is found by a rescan
  if (limitTold_) return;
  limitTold_ = true;
  logLine("folder watcher: watch limit reached at " + folder);
  if (onLimit_) onLimit_(folder);
}

void FolderWatcher::addTree(const std::string& folder, int depth) {
  Error e;
  bool known = false;
  size_t count = 0;
  {
    std::lock_guard<std::mutex> g(mutex_);
    known = watches_.count(folder) > 0;
    count = folders_.size();
  }
  const size_t limit = watchLimit_.load();
  if (limit > 0 && !known && count >= limit) {
    limitReached(folder);
    return;
  }
  int wd = watch_->addFolder(folder, kMask, &e);
  if (wd < 0) {
    // ENOSPC: the watch limit is reached; the tree below is not watched.
    if (e.code() == ENOSPC) limitReached(folder);
    return;
  }
  {
    std::lock_guard<std::mutex> g(mutex_);
    auto old = folders_.find(wd);
    if (old != folders_.end()) watches_.erase(old->second);
    folders_[wd] = folder;
    watches_[folder] = wd;
  }
  if (depth > 256) return;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  std::vector<std::string> subs;
  while (dirent* ent = ::readdir(d)) {
    std::string n = ent->d_name;
    if (n == "." || n == "..") continue;
    if (ent->d_type == DT_DIR || ent->d_type == DT_UNKNOWN) {
      std::string p = folder + "/" + n;
      struct stat st;
      if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) subs.push_back(p);
    }
  }
  ::closedir(d);
  for (auto& s : subs) addTree(s, depth + 1);
}

void FolderWatcher::dropTree(const std::string& folder) {
  std::vector<int> gone;
  {
    std::lock_guard<std::mutex> g(mutex_);
    for (auto it = watches_.begin(); it != watches_.end();) {
      if (under(it->first, folder)) {
        gone.push_back(it->second);
        folders_.erase(it->second);
        it = watches_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (int wd : gone) watch_->removeFolder(wd);
}

// A folder renamed inside the tree keeps its watches; only their paths change.
void FolderWatcher::movedTree(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> g(mutex_);
  std::map<std::string, int> moved;
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (under(it->first, from)) {
      std::string p = to + it->first.substr(from.size());
      moved[p] = it->second;
      folders_[it->second] = p;
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& m : moved) watches_[m.first] = m.second;
}

void FolderWatcher::take(std::vector<InotifyWatch::Event> events) {
  std::vector<FsEvent> out;
  std::vector<bool> used(events.size(), false);
  for (size_t i = 0; i < events.size(); ++i) {
    if (used[i]) continue;
    const auto& ev = events[i];
    if (ev.mask & IN_Q_OVERFLOW) {
      rescan_ = true;
      continue;
    }
    if (ev.mask & IN_IGNORED) {
      std::lock_guard<std::mutex> g(mutex_);
      auto it = folders_.find(ev.watch);
      if (it != folders_.end()) {
        watches_.erase(it->second);
        folders_.erase(it);
      }
      continue;
    }
    std::string folder;
    {
      std::lock_guard<std::mutex> g(mutex_);
      auto it = folders_.find(ev.watch);
      if (it == folders_.end()) continue;
      folder = it->second;
    }
    if (ev.name.empty()) {
      // The root itself went or moved away: only a rescan can say what is left.
      if ((ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) && folder == root_) rescan_ = true;
      continue;  // a folder's own events: its parent reports them
    }
    FsEvent fe;
    fe.path = folder + "/" + ev.name;
    bool isDir = ev.mask & IN_ISDIR;
    fe.kind = isDir ? FsEvent::kFolder : FsEvent::kFile;
    if (!isDir) {
      struct stat st;
      if (::lstat(fe.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) fe.kind = FsEvent::kLink;
    }
    fe.created = ev.mask & IN_CREATE;
    fe.removed = ev.mask & IN_DELETE;
    fe.modified = ev.mask & IN_MODIFY;  // a close alone changed nothing
    fe.renamed = ev.mask & (IN_MOVED_FROM | IN_MOVED_TO);

    if ((ev.mask & IN_MOVED_FROM) && ev.cookie != 0) {
      size_t j = i + 1;
      for (; j < events.size(); ++j) {
        if ((events[j].mask & IN_MOVED_TO) && events[j].cookie == ev.cookie) break;
      }
      if (j < events.size()) {
        used[j] = true;
        FsEvent to = fe;
        {
          std::lock_guard<std::mutex> g(mutex_);
          auto it = folders_.find(events[j].watch);
          to.path = (it == folders_.end() ? folder : it->second) + "/" + events[j].name;
        }
        if (isDir) movedTree(fe.path, to.path);
        if (ops_->isOwnEvent(to.path)) continue;  // our own move: both halves go
        fe.id = nextId(4);
        to.id = fe.id + 1;
        out.push_back(fe);
        out.push_back(to);
        continue;
      }
      if (isDir) dropTree(fe.path);  // moved out of the tree
    }
    if (isDir && (ev.mask & (IN_CREATE | IN_MOVED_TO))) addTree(fe.path, 0);
    if (isDir && (ev.mask & IN_DELETE)) dropTree(fe.path);
    if (ops_->isOwnEvent(fe.path)) continue;
    // Several events of one path in one batch become one, as the flags of a
    // coalesced event (a rename half stays on its own).
    if (!fe.renamed) {
      auto mergeInto = [&fe](std::vector<FsEvent>& list) {
        for (auto& p : list) {
          if (p.path == fe.path && !p.renamed) {
            p.created |= fe.created;
            p.removed |= fe.removed;
            p.modified |= fe.modified;
            p.kind = fe.kind;
            return true;
          }
        }
        return false;
      };
      bool merged = mergeInto(pending_) || mergeInto(out);
      if (merged) continue;
    }
    fe.id = nextId(4);
    out.push_back(fe);
  }
  if (!out.empty() && pending_.empty()) batchStart_ = clock_->monotonic();
  for (auto& e : out) pending_.push_back(std::move(e));
}

void FolderWatcher::deliver() {
  if (rescan_) {
    rescan_ = false;
    pending_.clear();  // the rescan finds all of it
    // Folders made while events were lost have no watch yet: watched before
    // the scan looks, so nothing made in them from here on is missed.
    std::vector<std::string> gone;
    {
      std::lock_guard<std::mutex> g(mutex_);
      for (auto& w : watches_) {
        struct stat st;
        if (::lstat(w.first.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) gone.push_back(w.first);
      }
    }
    for (auto& f : gone) dropTree(f);
    rewalking_ = true;
    addTree(root_, 0);
    rewalking_ = false;
    if (onRescan_) onRescan_(root_);
    return;
  }
  if (pending_.empty()) return;
  std::vector<FsEvent> batch;
  batch.swap(pending_);
  if (onBatch_) onBatch_(std::move(batch));
}

void FolderWatcher::pump(double seconds) {
  if (!watch_) {
    // Never opened (the root is missing, or no inotify instance was left):
    // waits like an idle watcher instead of spinning.
    pollfd w = {wakeFd_, POLLIN, 0};
    ::poll(&w, 1, static_cast<int>(clock_->realSecondsFor(seconds) * 1000));
    return;
  }
  double wait = seconds;
  if (!pending_.empty()) {
    double left = latency_ - (clock_->monotonic() - batchStart_);
    wait = left < 0 ? 0 : (left < wait ? left : wait);
  }
  pollfd p[2] = {{watch_->fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  ::poll(p, 2, static_cast<int>(clock_->realSecondsFor(wait) * 1000));
  if (injected_.exchange(false)) {
    uint64_t v;
    ssize_t n = ::read(wakeFd_, &v, sizeof v);
    (void)n;
    watch_->readEvents();  // lost, as the kernel drops them
    InotifyWatch::Event lost;
    lost.mask = IN_Q_OVERFLOW;
    take({lost});
  }
  if (p[0].revents & POLLIN) take(watch_->readEvents());
  if (rescan_ || (!pending_.empty() && clock_->monotonic() - batchStart_ >= latency_)) deliver();
}

void FolderWatcher::flush() {
  if (watch_) take(watch_->readEvents());
  deliver();
}

void FolderWatcher::start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = startThread("watch " + root_, [this] {
    while (!stop_) pump(0.5);
  });
}

void FolderWatcher::stop() {
  stop_ = true;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t n = ::write(wakeFd_, &one, sizeof one);
    (void)n;
  }
  if (thread_.joinable()) thread_.join();
  if (wakeFd_ >= 0) {
    uint64_t v;
    ssize_t n = ::read(wakeFd_, &v, sizeof v);
    (void)n;
  }
}

}  // namespace plat
