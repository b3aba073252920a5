// Tests only: a scripted sync-engine hand-off over a real sync database in a
// temporary folder, and waiting for the uploads of a manager to end.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/sync/SyncShare.h"
#include "app/sync/Syncdb.h"
#include "app/trans/TransHandoff.h"
#include "app/trans/TransManager.h"

namespace transtest {

class ScriptedHandoff : public TransHandoff {
public:
  explicit ScriptedHandoff(const std::string& dbpath) : db_(Syncdb::initpath(dbpath)) {}

  // Answers in order; an exhausted script answers `fallback`.
  void scriptUploads(std::vector<TransItem> items) {
    std::lock_guard<std::mutex> l(m_);
    uploads_.assign(items.begin(), items.end());
  }
  void scriptDownloads(std::vector<TransItem> items) {
    std::lock_guard<std::mutex> l(m_);
    downloads_.assign(items.begin(), items.end());
  }
  void setFallback(int64_t itemid) {
    std::lock_guard<std::mutex> l(m_);
    fallback_ = itemid;
  }

  TransItem get_download() override { return next(downloads_, downloadAsks_); }
  TransItem get_upload() override { return next(uploads_, uploadAsks_); }
  void finishupload(const std::string& path, const std::string& webpath) override {
    std::lock_guard<std::mutex> l(m_);
    finished_.emplace_back(path, webpath);
  }
  void finishdownload(const std::string&) override {}
  void wakecheck() override { ++wakechecks_; }
  bool bStart() const override { return started_; }
  std::shared_ptr<Syncdb> syncdb() const override { return db_; }
  SyncShare& syncshare() override { return share_; }
  void settrans(std::weak_ptr<TransControl> trans) override {
    std::lock_guard<std::mutex> l(m_);
    trans_ = std::move(trans);
  }
  std::shared_ptr<TransControl> trans() const {
    std::lock_guard<std::mutex> l(m_);
    return trans_.lock();
  }

  void setStarted(bool v) { started_ = v; }
  int64_t wakechecks() const { return wakechecks_.load(); }
  std::vector<std::pair<std::string, std::string>> finished() const {
    std::lock_guard<std::mutex> l(m_);
    return finished_;
  }
  int64_t uploadAsks() const {
    std::lock_guard<std::mutex> l(m_);
    return uploadAsks_;
  }
  int64_t downloadAsks() const {
    std::lock_guard<std::mutex> l(m_);
    return downloadAsks_;
  }

private:
  TransItem next(std::deque<TransItem>& q, int64_t& asks) {
    std::lock_guard<std::mutex> l(m_);
    ++asks;
    if (q.empty()) {
      TransItem t;
      t.itemid = fallback_;
      return t;
    }
    TransItem t = q.front();
    q.pop_front();
    return t;
  }

  mutable std::mutex m_;
  std::shared_ptr<Syncdb> db_;
  SyncShare share_;
  std::deque<TransItem> uploads_, downloads_;
  int64_t fallback_ = 0;
  int64_t uploadAsks_ = 0, downloadAsks_ = 0;
  std::vector<std::pair<std::string, std::string>> finished_;
  std::weak_ptr<TransControl> trans_;
  std::atomic<bool> started_{true};
  std::atomic<int64_t> wakechecks_{0};
};

// Waits (real time, bounded) until `done` holds.
template <class Pred>
bool waitFor(Pred done, double seconds = 60) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace transtest
