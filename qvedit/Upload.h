// The upload of one saved version of a job's file, on a thread of the
// helper's upload queue. It reads a snapshot of the copy (hash and size of
// the same bytes, so a save during the upload can't mix two versions),
// renews the token (keeping the refresh token the service hands back),
// then add-file, upload_init, upload_req, the pieces and upload_finish.
// It writes the job's outcome and, last, `type` 6 (done) or 7 (not done).
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/operation_queue.h"
#include "qvedit/TransData.h"

class Upload : public plat::Operation {
public:
  // Why an upload ended without sending: the job's `uploadFailure`.
  static constexpr const char* kChanged = "changed";    // saved again while read: wait for quiet
  static constexpr const char* kTooLarge = "toolarge";  // 2 GiB and more
  static constexpr const char* kFailed = "failed";      // a step failed
  // 409 answers that may move the offset before the upload gives up.
  static constexpr int kMaxRewinds = 32;

  // Takes the job and sets its state to 5.
  static std::shared_ptr<Upload> initupload(std::shared_ptr<TransData> transdata);
  void main() override;
  const std::shared_ptr<TransData>& transdata() const { return transdata_; }

private:
  explicit Upload(std::shared_ptr<TransData> t) : transdata_(std::move(t)) {}
  // The steps after the snapshot; "" when the service holds the snapshot.
  std::string send(int fd, const std::string& hash, int64_t size);
  std::shared_ptr<TransData> transdata_;
};
