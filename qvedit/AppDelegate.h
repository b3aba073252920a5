// The edit helper's application object: the jobs, in the order they came
// (a job is never removed), the one-second job timer on the main run loop
// (its clock is plat::currentClock()), the inotify watch on the jobs'
// folders, the download and upload work and the notices. Every member runs
// on the main thread; Uploads run on the upload queue and hand their end
// back through the job's `type`, which the next tick reads.
//
// What the ticks add to the job states (see TransData): a copy is uploaded
// once it differs from what was last downloaded or uploaded and has been
// quiet for kQuietSeconds; a failed upload is tried again after a growing
// pause and the user is told; a hand-over of a job whose copy holds saves
// not yet uploaded keeps the copy and opens it again. Whether a copy holds
// such saves is kept beside it on disk, so a new helper (after a quit, a
// crash or a reboot) keeps it too. The renewal and the file details of a
// new job run on a queue of their own, never on the main thread: a renewal
// that gets no answer is tried again after a growing wait, details that
// can't be had are asked for a few times, then the job ends with a notice.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/operation_queue.h"
#include "platform/foundation/run_loop.h"
#include "platform/fs/inotify_watch.h"
#include "qvedit/Download.h"
#include "qvedit/Notices.h"
#include "qvedit/TransData.h"

class AppDelegate {
public:
  static constexpr double kTickSeconds = 1.0;
  static constexpr double kQuietSeconds = 2.0;
  static constexpr double kFirstRetrySeconds = 5.0;
  static constexpr double kLastRetrySeconds = 300.0;
  static constexpr double kFirstRenewalRetrySeconds = 2.0;
  static constexpr int kDetailsTries = 5;

  // `cacheRoot` holds the jobs' folders (EditFiles::cacheRoot() in the program).
  AppDelegate(std::shared_ptr<Notifier> notifier, std::string cacheRoot);
  ~AppDelegate();  // stops the timer and waits for running uploads
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Starts the job timer and the folder watch on the main run loop.
  void applicationDidFinishLaunching();
  // A URL handed over; false (and a notice saying why) when it makes no job.
  bool handleURLEvent(const std::string& url, std::string* why = nullptr);
  // One pass over the jobs, as the timer does every second.
  void handleTimer();
  // Stops the main run loop.
  void quitAction();

  const std::vector<std::shared_ptr<TransData>>& mArray() const { return mArray_; }
  void setGrowlNotificationDescripation(const std::string& message);
  // Waits until no upload runs (tests, and the end of the program).
  void waitForUploads();
  // Waits until no renewal or file details call runs (tests).
  void waitForFetches();
  // The names of the files whose saves the service does not have yet.
  std::vector<std::string> unsentFiles() const;
  // Reads queued folder events (the run loop does it when the watch is readable).
  void readFolderEvents();

private:
  void tickNew(const std::shared_ptr<TransData>& job);
  void startFetch(const std::shared_ptr<TransData>& job);
  void takeFetched(const std::shared_ptr<TransData>& job, TransData::Fetched fetched);
  // Keeps whether the copy holds unsent saves beside it on disk.
  static void saveState(const TransData& job);
  // A copy a former helper left with unsent saves: kept and watched.
  bool resumeUnsent(const std::shared_ptr<TransData>& job);
  void tickDownloaded(TransData& job);
  void tickWatching(const std::shared_ptr<TransData>& job);
  void tickUploaded(TransData& job);
  void tickUploadFailed(TransData& job);
  void open(TransData& job);
  static std::string fileName(const TransData& job);
  static bool hasUnsentSaves(const TransData& job);

  std::shared_ptr<Notifier> notifier_;
  std::string tempDir_;
  std::vector<std::shared_ptr<TransData>> mArray_;
  // Every download that has not ended: the request does not keep its delegate.
  std::vector<std::unique_ptr<Download>> downloads_;
  std::unique_ptr<plat::OperationQueue> qTrans_;
  std::unique_ptr<plat::OperationQueue> qFetch_;
  std::unique_ptr<plat::InotifyWatch> watch_;
  std::map<int, std::weak_ptr<TransData>> watched_;
  plat::RunLoop::SourceId timer_ = 0, watchSource_ = 0;
};
