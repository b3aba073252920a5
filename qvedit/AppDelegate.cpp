#include "qvedit/AppDelegate.h"

#include <algorithm>

#include "Framework/Staticclass/NSStringExpand.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/system/launcher.h"
#include "qvedit/EditFiles.h"
#include "qvedit/EditURL.h"
#include "qvedit/HTTPEngine.h"
#include "qvedit/Upload.h"

namespace {

double now() { return plat::currentClock().monotonic(); }

// A growing wait: first, twice that, ... up to AppDelegate::kLastRetrySeconds.
double growingWait(double first, int failures) {
  return std::min(AppDelegate::kLastRetrySeconds, first * static_cast<double>(1 << std::min(failures - 1, 16)));
}

// The state file beside a job's copy: "dirty" or "clean", then the copy's
// stamp as last downloaded or uploaded.
std::string statePath(const std::string& jobFolder) { return jobFolder + "/parts/state"; }

// A stamp without the device and inode, which a reboot or a restore may change.
std::string contentPart(const std::string& stamp) {
  size_t a = stamp.find(':');
  size_t b = a == std::string::npos ? a : stamp.find(':', a + 1);
  return b == std::string::npos ? stamp : stamp.substr(b + 1);
}

}  // namespace

AppDelegate::AppDelegate(std::shared_ptr<Notifier> notifier, std::string cacheRoot)
    : notifier_(std::move(notifier)), tempDir_(std::move(cacheRoot)),
      qTrans_(std::make_unique<plat::OperationQueue>("qvedit upload")),
      qFetch_(std::make_unique<plat::OperationQueue>("qvedit details")) {
  plat::Error e;
  watch_ = plat::InotifyWatch::create(&e);
  if (!watch_) plat::log("qvedit: no folder watch: %@", e.localizedDescription());
}

AppDelegate::~AppDelegate() {
  auto loop = plat::RunLoop::main();
  if (timer_) loop->remove(timer_);
  if (watchSource_) loop->remove(watchSource_);
  waitForFetches();
  waitForUploads();
}

void AppDelegate::applicationDidFinishLaunching() {
  auto loop = plat::RunLoop::main();
  timer_ = loop->addTimer(kTickSeconds, kTickSeconds, true, [this] { handleTimer(); });
  if (watch_) {
    watchSource_ = loop->addFd(watch_->fd(), plat::RunLoop::kReadable, [this](uint32_t) { readFolderEvents(); });
  }
}

void AppDelegate::quitAction() { plat::RunLoop::main()->stop(); }

void AppDelegate::waitForUploads() { qTrans_->waitUntilAllOperationsAreFinished(); }

void AppDelegate::waitForFetches() { qFetch_->waitUntilAllOperationsAreFinished(); }

std::vector<std::string> AppDelegate::unsentFiles() const {
  std::vector<std::string> names;
  for (const auto& job : mArray_) {
    const int64_t type = job->type;
    if (type == 3 || type == 9 || job->savepath.empty()) continue;
    // An upload that ended but is not taken in yet counts by what it sent.
    bool unsent = type == 6 ? EditFiles::stamp(job->savepath) != job->uploadedStamp()
                            : hasUnsentSaves(*job) || type == 5;
    if (unsent) names.push_back(fileName(*job));
  }
  return names;
}

void AppDelegate::saveState(const TransData& job) {
  plat::Error e;
  if (!plat::atomicWrite(statePath(job.folder), std::string(job.dirty ? "dirty\n" : "clean\n") + job.stamp + "\n",
                         0600, &e))
    plat::log("qvedit: can't keep the copy's state: %@", e.localizedDescription());
}

bool AppDelegate::resumeUnsent(const std::shared_ptr<TransData>& job) {
  auto text = plat::readFile(statePath(job->folder));
  if (!text) return false;
  size_t nl = text->find('\n');
  if (nl == std::string::npos) return false;
  const std::string kind = text->substr(0, nl);
  std::string recorded = text->substr(nl + 1);
  while (!recorded.empty() && recorded.back() == '\n') recorded.pop_back();
  const std::string path = EditFiles::editFolder(job->folder) + "/" + fileName(*job);
  const std::string current = EditFiles::stamp(path);
  if (current.empty()) return false;
  // Dirty as recorded, or saved after the last record (a crash before a tick saw it).
  bool dirty = kind == "dirty" || (kind == "clean" && contentPart(current) != contentPart(recorded));
  if (!dirty) return false;
  job->savepath = path;
  job->stamp = recorded;
  job->seenStamp = current;
  job->lastChange = now();
  job->dirty = true;
  job->modifytime = EditFiles::modifyTimeText(path);
  job->reopen = true;
  job->type = 8;
  saveState(*job);
  return true;
}

void AppDelegate::setGrowlNotificationDescripation(const std::string& message) {
  if (notifier_) notifier_->notify(kNoticeTitle, message);
}

bool AppDelegate::hasUnsentSaves(const TransData& job) {
  if (job.dirty) return true;
  // A save the ticks have not seen yet counts as well.
  std::string current = EditFiles::stamp(job.savepath);
  return !job.stamp.empty() && !current.empty() && current != job.stamp;
}

std::string AppDelegate::fileName(const TransData& job) { return NSStringExpand::getFilename(job.webpath); }

bool AppDelegate::handleURLEvent(const std::string& url, std::string* why) {
  std::string reason;
  auto link = parseEditURL(url, &reason);
  if (!link) {
    plat::log("qvedit: address refused: %@", reason);
    setGrowlNotificationDescripation(plat::format("无法打开编辑链接：%@", reason));
    if (why) *why = reason;
    return false;
  }
  for (auto& job : mArray_) {
    if (job->mountId != link->mountId || job->webpath != link->webpath) continue;
    // The newest hand-over carries the refresh token the page just made.
    job->setRefreshToken(link->refreshToken);
    int64_t type = job->type;
    if (type == 1) return true;  // being fetched: it opens when it arrives
    // Saves not uploaded yet (or an upload running) keep the copy.
    if (hasUnsentSaves(*job) || type == 5) {
      job->reopen = true;
      setGrowlNotificationDescripation(plat::format("%@ 文件有未上传的修改，保留本地文件", fileName(*job)));
      return true;
    }
    // A new hand-over asks at once, with fresh counts.
    job->fetchAt = 0;
    job->renewalFailures = job->detailsFailures = 0;
    job->type = 0;
    return true;
  }
  std::string folder = EditFiles::makeJobFolder(tempDir_, link->mountId, link->webpath);
  if (folder.empty()) {
    reason = "the job's folder can't be made";
    setGrowlNotificationDescripation(plat::format("无法打开编辑链接：%@", reason));
    if (why) *why = reason;
    return false;
  }
  auto job = std::make_shared<TransData>();
  job->webpath = link->webpath;
  job->mountId = link->mountId;
  job->setRefreshToken(link->refreshToken);
  job->folder = folder;
  job->type = 0;
  if (resumeUnsent(job)) {
    setGrowlNotificationDescripation(plat::format("%@ 文件有未上传的修改，保留本地文件", fileName(*job)));
  }
  if (watch_) {
    int wd = watch_->addFolder(EditFiles::editFolder(folder));
    if (wd >= 0) watched_[wd] = job;
  }
  mArray_.push_back(job);
  return true;
}

void AppDelegate::readFolderEvents() {
  if (!watch_) return;
  double t = now();
  for (const auto& e : watch_->readEvents()) {
    auto it = watched_.find(e.watch);
    if (it == watched_.end()) continue;
    auto job = it->second.lock();
    // Any entry counts: editors save through files of their own beside the copy.
    if (job) job->lastChange = t;
  }
}

void AppDelegate::handleTimer() {
  readFolderEvents();
  // Ended downloads go here, well after the library's report has returned.
  std::erase_if(downloads_, [](const std::unique_ptr<Download>& d) { return d->ended(); });
  for (size_t i = 0; i < mArray_.size(); ++i) {
    std::shared_ptr<TransData> job = mArray_[i];
    switch (job->type) {
      case 0: tickNew(job); break;
      case 2: tickDownloaded(*job); break;
      case 4:
      case 8: tickWatching(job); break;
      case 6: tickUploaded(*job); break;
      case 7: tickUploadFailed(*job); break;
      default: break;  // 1 and 5 wait for their work, 3 and 9 for a new hand-over
    }
  }
}

void AppDelegate::tickNew(const std::shared_ptr<TransData>& job) {
  job->savepath = EditFiles::editFolder(job->folder) + "/" + fileName(*job);
  if (job->fetching) {
    if (auto fetched = job->takeFetched()) {
      job->fetching = false;
      takeFetched(job, std::move(*fetched));
    }
    return;
  }
  if (now() < job->fetchAt) return;
  startFetch(job);
}

void AppDelegate::startFetch(const std::shared_ptr<TransData>& job) {
  job->fetching = true;
  std::weak_ptr<TransData> weak = job;
  std::string refresh = job->refreshToken(), webpath = job->webpath;
  int64_t mount = job->mountId;
  // Off the main thread: a stalled service never holds up hand-overs or ticks.
  qFetch_->addOperation([weak, refresh, webpath, mount] {
    TransData::Fetched f;
    f.renewed = HTTPEngine::refreshToken(refresh);
    if (f.renewed.status == 200 && !f.renewed.accessToken.empty())
      f.details = HTTPEngine::regetfile(f.renewed.accessToken, webpath, mount);
    if (auto j = weak.lock()) j->setFetched(std::move(f));
  });
}

void AppDelegate::takeFetched(const std::shared_ptr<TransData>& job, TransData::Fetched fetched) {
  const TokenData& renewed = fetched.renewed;
  if (renewed.status == 0 || renewed.status >= 500) {
    // No answer (or the service failing for now): a network drop, tried again later.
    ++job->renewalFailures;
    double wait = growingWait(kFirstRenewalRetrySeconds, job->renewalFailures);
    job->fetchAt = now() + wait;
    plat::log("qvedit: token renewal got no answer (status %ld), again in %@ s", static_cast<long>(renewed.status),
              plat::format("%g", wait));
    if (job->renewalFailures == 1)
      setGrowlNotificationDescripation(plat::format("无法连接服务器，稍后重试 %@ 文件", fileName(*job)));
    return;
  }
  if (renewed.status != 200 || renewed.accessToken.empty()) {
    plat::log("qvedit: token renewal failed (status %ld)", static_cast<long>(renewed.status));
    job->type = 9;
    return;
  }
  job->renewalFailures = 0;
  job->setToken(renewed.accessToken);
  if (!renewed.refreshToken.empty()) job->setRefreshToken(renewed.refreshToken);
  auto& details = fetched.details;
  if (!details) {
    // Not there, not ours, or no answer: a few tries, then the job ends.
    ++job->detailsFailures;
    if (job->detailsFailures >= kDetailsTries) {
      plat::log("qvedit: the file details can't be had after %d tries", job->detailsFailures);
      setGrowlNotificationDescripation(plat::format("无法获取 %@ 文件的信息", fileName(*job)));
      job->type = 3;
      return;
    }
    job->fetchAt = now() + growingWait(kTickSeconds, job->detailsFailures);
    return;
  }
  job->detailsFailures = 0;
  if (details->filesize < 0 || details->filesize > kMaxReplyNumber) {
    setGrowlNotificationDescripation(plat::format("%@ 文件超过 2 GB，无法编辑", fileName(*job)));
    job->type = 3;
    return;
  }
  if (details->filesize != 0) {
    job->type = 1;
    job->url = details->uri;
    job->expectHash = details->filehash;
    job->expectSize = details->filesize;
    auto d = std::make_unique<Download>(job, [this](Download& done, int64_t type) {
      if (type == 3) setGrowlNotificationDescripation(plat::format("下载失败 %@ 文件", fileName(*done.transdata())));
    });
    Download* started = d.get();
    downloads_.push_back(std::move(d));
    started->download();
  } else {
    if (hasUnsentSaves(*job)) {
      job->dirty = true;
      saveState(*job);
      job->type = 8;
      return;
    }
    EditFiles::deletefile(job->savepath);
    if (!EditFiles::createfile(job->savepath)) return;
    job->type = 2;
  }
  setGrowlNotificationDescripation(plat::format("正在下载 %@ 文件", fileName(*job)));
}

void AppDelegate::open(TransData& job) {
  plat::Error e;
  if (!plat::launcher()->openURL(job.savepath, &e)) {
    plat::log("qvedit: can't open the copy: %@", e.localizedDescription());
  }
}

void AppDelegate::tickDownloaded(TransData& job) {
  setGrowlNotificationDescripation(plat::format("正在打开 %@ 文件", fileName(job)));
  job.modifytime = EditFiles::modifyTimeText(job.savepath);
  job.stamp = job.seenStamp = EditFiles::stamp(job.savepath);
  job.dirty = false;
  job.reopen = false;
  job.retries = 0;
  job.retryAt = 0;
  saveState(job);
  job.type = 4;
  open(job);
}

void AppDelegate::tickWatching(const std::shared_ptr<TransData>& job) {
  if (job->reopen) {
    job->reopen = false;
    open(*job);
  }
  std::string current = EditFiles::stamp(job->savepath);
  if (current.empty()) return;  // gone for a moment, as in a rename-over save
  double t = now();
  if (current != job->seenStamp) {
    job->seenStamp = current;
    job->lastChange = t;
  }
  if (current != job->stamp && !job->dirty) {
    job->dirty = true;
    saveState(*job);
  }
  if (!job->dirty || t - job->lastChange < kQuietSeconds || t < job->retryAt) return;
  if (current == job->refusedStamp) return;
  if (job->type == 8) job->modifytime = EditFiles::modifyTimeText(job->savepath);
  qTrans_->addOperation(Upload::initupload(job));
}

void AppDelegate::tickUploaded(TransData& job) {
  job.modifytime = EditFiles::modifyTimeText(job.savepath);
  job.stamp = job.uploadedStamp();
  // Saved again during the upload: still dirty, the next quiet moment sends it.
  job.dirty = EditFiles::stamp(job.savepath) != job.stamp;
  saveState(job);
  job.retries = 0;
  job.retryAt = 0;
  setGrowlNotificationDescripation(plat::format("上传完成 %@ 文件", fileName(job)));
  job.type = 8;
}

void AppDelegate::tickUploadFailed(TransData& job) {
  std::string failure = job.uploadFailure();
  double t = now();
  if (failure == Upload::kChanged) {
    job.lastChange = t;
  } else if (failure == Upload::kTooLarge) {
    setGrowlNotificationDescripation(plat::format("%@ 文件超过 2 GB，无法上传", fileName(job)));
    job.refusedStamp = EditFiles::stamp(job.savepath);
  } else {
    ++job.retries;
    double pause = std::min(kLastRetrySeconds, kFirstRetrySeconds * static_cast<double>(1 << std::min(job.retries - 1, 16)));
    job.retryAt = t + pause;
    setGrowlNotificationDescripation(plat::format("上传失败 %@ 文件，稍后重试", fileName(job)));
  }
  job.type = 8;
}
