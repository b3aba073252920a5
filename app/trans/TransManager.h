// TransManager: the transfer queues of the signed-in account. Two filler
// threads ask the sync engine (through TransHandoff) for jobs and start at
// most kMaxPerDirection uploads and downloads; the manager keeps the speed
// windows, the rows of the transfer list and the upload-error messages.
//
// States (bOut): running (init starts both fillers, which idle in 3-s sleeps
// until sync has started, the network is up and something is left to sync)
// -> exited (exit: fillers end at their next check and are joined). Running
// transfers are stopped only by removeall / cleartrans, or at destruction,
// which stops and joins every transfer still known.
//
// Locks, in this order: downloadlock or uploadlock (a queue and the
// transfers that left it, not yet joined), then a transfer's own locks;
// speedlock and errorlock are never held while another lock is taken.
// Everything here may be called from any thread but a transfer's join,
// which the manager does itself, never from the transfer's thread.
//
// The sync engine reaches the manager as its TransControl (init hands it
// over); a Download reaches it as its DownloadParent. LAN discovery's
// "UdpAddPeer" notices reach the running download of their content hash
// under the download queue's lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/trans/Download.h"
#include "app/trans/LanQuery.h"
#include "app/trans/TransHandoff.h"
#include "app/trans/TransItem.h"
#include "app/trans/Transfer.h"
#include "platform/foundation/notification_center.h"

struct SpeedItem {
  std::string webpath;
  uint64_t pos = 0;
  int64_t speed = 0;
  double oldtime = 0, newtime = 0, nexttime = 0;
  uint64_t nextpos = 0;
  int64_t type = 0;  // 0 download, 1 upload
  bool removed = false;
  bool add = false;
};

class TransManager : public TransControl, public DownloadParent {
public:
  static constexpr size_t kMaxPerDirection = 5;
  static constexpr const char* kUdpAddPeer = "UdpAddPeer";

  // Builds a download for a job: a Download unless a test says otherwise.
  using DownloadFactory = std::function<std::shared_ptr<Transfer>(const TransItem&, TransManager&)>;
  // Shows a desktop notice without click context.
  using Notice = std::function<void(const std::string&)>;

  explicit TransManager(std::shared_ptr<TransHandoff> sync);
  ~TransManager() override;
  TransManager(const TransManager&) = delete;
  TransManager& operator=(const TransManager&) = delete;
  // Makes the manager, hands it to the sync engine (settrans) and starts
  // downloadrun, then uploadrun. Without a factory downloads are Downloads.
  static std::shared_ptr<TransManager> init(std::shared_ptr<TransHandoff> sync, DownloadFactory downloads = {},
                                            Notice notice = {});
  void startThreads();
  // Ends and joins both fillers; running transfers go on.
  void exit();
  // One pass of a filler after its readiness checks: asks for jobs while
  // fewer than kMaxPerDirection run. The filler threads loop over it.
  void fillpass(bool upload);

  void setDownloadFactory(DownloadFactory f);
  void setNotice(Notice n);
  std::shared_ptr<TransHandoff> sync() const { return sync_; }

  // ---- Queues ----
  bool select_downloadtask(const std::string& path) const;
  bool select_uploadtask(const std::string& path) const;
  bool check_downloadtaskok(const std::string& path) const;
  // Queues an upload for the job and starts it.
  std::shared_ptr<Transfer> addupload(const TransItem& job);
  std::shared_ptr<Transfer> adddownload(const TransItem& job);
  // A transfer leaves its queue; called by the transfer itself on its thread.
  void removedownload(const Transfer* t);
  void removedownload(Download& download) override { removedownload(static_cast<const Transfer*>(&download)); }
  void removeupload(const Transfer* t);
  void removeall() override;
  void cleartrans(const std::string& folder) override;
  // Ends a filler's sleep at once: 0 downloads, 1 uploads, anything else
  // both. Called when a slot frees and when the sync engine has new work.
  void wakeup(int direction);
  void wakeup() override { wakeup(-1); }
  // A LAN peer holds the content of a running download: [url, hash] for the
  // whole file, [url, hash, user id, bitmap, bHttpStart, bHttpAble] for part.
  void AddUdpPeer(const plat::Notification& note);
  // The local path and size of the running download of a content hash; ""
  // and the size untouched when none.
  std::string get_download_index(const std::string& filehash, uint64_t& filesize) const;
  // The flags and the held blocks of the first running download of a content
  // hash, read under the download lock (for a partial LAN answer).
  struct DownloadState {
    bool bHttpStart = false, bHttpAble = false;
    std::vector<uint8_t> haveData;
  };
  std::optional<DownloadState> get_download_state(const std::string& filehash) const;
  // The LAN service that downloads ask for peers; kept weakly, so a stopped
  // service is simply not asked.
  void setLanQuery(std::weak_ptr<LanQuery> lan);
  size_t downloadCount() const;
  size_t uploadCount() const;
  // Joins the transfers that have left their queues.
  void reap();

  // ---- What a Download asks of its manager ----
  std::shared_ptr<Syncdb> syncdb() override;
  bool parkfailed(const std::string& webpath) override;
  bool checkfilehash(const std::string& filehash) override;
  void downloadgone(const std::string& webpath) override;

  // ---- Speeds ----
  void AddTransportData(const std::string& webpath, uint64_t add, int64_t type) override;
  void CreateSpeed(const std::string& webpath, int64_t type);
  void RemoveSpeed(const std::string& webpath, int64_t type);
  void RemoveSpeedForDir(const std::string& folder);
  void RemoveSpeedAll();
  void SpeedTimer();
  uint64_t GetSpeed(const std::string& webpath, int64_t type) const;
  double GetProgress(const std::string& webpath, int64_t type) const;
  int64_t downloadSpeed() const;
  int64_t uploadSpeed() const;
  std::vector<SpeedItem> speeds() const;

  // ---- Rows of the transfer list ----
  std::vector<TransItem> getTraningData();

  // ---- Upload-error messages by content hash ----
  std::optional<std::string> getTransErrorMsgFileHash(const std::string& filehash) const override;
  void addTransErrorMsgFileHash(const std::string& filehash, const std::optional<std::string>& msg);
  void removeTransErrorFileHash(const std::string& filehash);

  // Counters for tests and the log: fill passes of each filler.
  int64_t uploadPasses() const { return uploadPasses_.load(); }
  int64_t downloadPasses() const { return downloadPasses_.load(); }

  // The platform's absolute time: seconds since 1 January 2001.
  static double absoluteTime();

private:
  struct Entry {
    std::shared_ptr<Transfer> transfer;
    TransItem job;  // as handed out; the transfer's own copy changes
  };
  struct Queue {
    mutable std::mutex lock;
    std::vector<Entry> running;
    std::vector<std::shared_ptr<Transfer>> left;  // out of the queue, not yet joined
  };

  void downloadrun();
  void uploadrun();
  void fillrun(bool upload);
  bool readyToFill() const;
  // Sleeps up to `seconds`; woken early by wakeup of direction `woken`
  // (0 downloads, 1 uploads, -1 never) and by exit.
  void pause(double seconds, int woken);
  std::shared_ptr<Transfer> add(Queue& q, const TransItem& job, std::shared_ptr<Transfer> t);
  void remove(Queue& q, const Transfer* t, int64_t type);
  bool select(const Queue& q, const std::string& path) const;
  void stopWhere(Queue& q, bool abort, const std::function<bool(const Entry&)>& pick);
  static void joinAll(std::vector<std::shared_ptr<Transfer>> ts);

  std::shared_ptr<TransHandoff> sync_;
  std::atomic<bool> bOut_{false};
  Queue downloads_, uploads_;

  mutable std::mutex speedlock_;
  std::vector<SpeedItem> speedlist_;
  int64_t downloadSpeed_ = 0, uploadSpeed_ = 0;

  mutable std::mutex errorlock_;
  std::map<std::string, std::string> errors_;

  mutable std::mutex hooklock_;
  DownloadFactory downloadFactory_;
  Notice notice_;
  std::weak_ptr<LanQuery> lan_;

  std::vector<TransItem> arrTranData_;
  std::mutex dataLock_;

  std::atomic<int64_t> uploadPasses_{0}, downloadPasses_{0};
  plat::ScopedObserver udpObserver_;
  std::mutex sleepMutex_;
  std::condition_variable sleepCv_;
  bool kicked_[2] = {false, false};  // under sleepMutex_
  std::thread downloadThread_, uploadThread_;
};
