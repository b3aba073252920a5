// The download of one job's file, on the HTTP library's network thread with
// every report on the main thread. The body goes to the job's partial name
// and is put in place only when the reply was 200 and the bytes have the
// size and SHA-1 of the file details; then the job's state is 2, otherwise
// 3 (an error page is never opened or uploaded). A body longer than the
// file is cut off at once. The object must live until ended().
#pragma once

#include <functional>
#include <memory>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCHTTPRequestDelegate.h"
#include "qvedit/TransData.h"

class Download : public HCHTTPRequestDelegate {
public:
  // `ended` runs on the main thread once, with the job's new state.
  Download(std::shared_ptr<TransData> transdata, std::function<void(Download&, int64_t type)> ended);
  ~Download() override;

  void download();
  void requestFinished(HCHTTPRequest& request) override;
  void requestFailed(HCHTTPRequest& request) override;

  bool ended() const { return ended_; }
  const std::shared_ptr<TransData>& transdata() const { return transdata_; }

private:
  void end(int64_t type);
  std::shared_ptr<TransData> transdata_;
  std::function<void(Download&, int64_t)> onEnd_;
  std::shared_ptr<HCHTTPRequest> request_;
  bool ended_ = false;
};
