// One edit job: a cloud file handed over by URL, its private local copy and
// where it stands. Job states (`type`):
//   0 new or handed over again     1 downloading        2 downloaded
//   3 download failed (for good)   4 watching, nothing uploaded yet
//   5 upload queued or running     6 upload done        7 upload failed
//   8 watching after an upload     9 token renewal failed (for good)
// The main thread runs the states; an Upload (on a thread of the upload
// queue) writes the tokens, its result and, at its end, `type` 6 or 7, so
// `type` is atomic and the texts an Upload writes are behind `mutex`.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "qvedit/ReplyRecords.h"

class TransData {
public:
  std::string webpath;
  std::string folder;    // the job's private folder
  std::string savepath;  // folder + the last component of webpath
  std::string url;       // download address of the file details
  std::string modifytime;  // "yyyy-MM-dd HH:mm:ss" of the copy when last recorded
  int64_t mountId = 0;
  std::atomic<int64_t> type{0};

  // The copy as last downloaded or uploaded ("" before), as last seen, and
  // when (monotonic seconds) it was last seen to change.
  std::string stamp, seenStamp;
  double lastChange = 0;
  // The copy holds saves that the service does not have yet.
  bool dirty = false;
  // A failed upload is tried again from retryAt on (monotonic seconds).
  int retries = 0;
  double retryAt = 0;
  // A copy too large to upload is not tried again until the next save.
  std::string refusedStamp;
  // A hand-over that kept the copy asks for it to be opened again.
  bool reopen = false;
  // What the file details promise of the download.
  std::string expectHash;
  int64_t expectSize = 0;

  // The renewal and the file details of state 0 run on the helper's fetch
  // queue; the next tick takes in what they found. fetchAt: no new fetch
  // before it (monotonic seconds); the failures count the waits and tries.
  struct Fetched {
    TokenData renewed;
    std::optional<DownloadRet> details;
  };
  std::atomic<bool> fetching{false};
  double fetchAt = 0;
  int renewalFailures = 0, detailsFailures = 0;
  void setFetched(Fetched f) {
    std::lock_guard<std::mutex> l(mutex_);
    fetched_ = std::move(f);
  }
  std::optional<Fetched> takeFetched() {
    std::lock_guard<std::mutex> l(mutex_);
    auto f = std::move(fetched_);
    fetched_.reset();
    return f;
  }

  std::string refreshToken() const { return locked(refreshToken_); }
  void setRefreshToken(std::string v) { set(refreshToken_, std::move(v)); }
  std::string token() const { return locked(token_); }
  void setToken(std::string v) { set(token_, std::move(v)); }
  // The copy's stamp that the last finished upload sent.
  std::string uploadedStamp() const { return locked(uploadedStamp_); }
  void setUploadedStamp(std::string v) { set(uploadedStamp_, std::move(v)); }
  // Why the last upload failed, for the notice ("" when it was not said).
  std::string uploadFailure() const { return locked(uploadFailure_); }
  void setUploadFailure(std::string v) { set(uploadFailure_, std::move(v)); }

private:
  std::string locked(const std::string& s) const {
    std::lock_guard<std::mutex> l(mutex_);
    return s;
  }
  void set(std::string& s, std::string v) {
    std::lock_guard<std::mutex> l(mutex_);
    s = std::move(v);
  }
  mutable std::mutex mutex_;
  std::string refreshToken_, token_, uploadedStamp_, uploadFailure_;
  std::optional<Fetched> fetched_;
};
