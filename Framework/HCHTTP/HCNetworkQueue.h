// A queue of HCHTTPRequests: at most four run at once, their progress is
// summed into one upload and one download figure, their events go on to one
// delegate through the selectors set, and by default the first failure
// cancels the rest. Made suspended: nothing runs until go(). The event and
// progress calls reach it on the main thread, so its counters are changed
// there only.
#pragma once

#include <memory>
#include <mutex>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "platform/foundation/operation_queue.h"

class HCNetworkQueue : public HCHTTPRequestQueue, public std::enable_shared_from_this<HCNetworkQueue> {
public:
  HCNetworkQueue();
  ~HCNetworkQueue() override;
  static std::shared_ptr<HCNetworkQueue> queue();

  void go();
  void setSuspended(bool suspended);
  bool isSuspended() const { return _base.isSuspended(); }
  void reset();
  void cancelAllOperations();
  // Raises "AttemptToAddInvalidRequest" for anything but a request.
  void addOperation(const std::shared_ptr<plat::Operation>& operation);
  void addHEADOperation(const std::shared_ptr<plat::Operation>& operation);
  size_t operationCount() const { return _base.operationCount(); }
  std::vector<std::shared_ptr<plat::Operation>> operations() const { return _base.operations(); }
  int maxConcurrentOperationCount() const { return _base.maxConcurrentOperationCount(); }
  void setMaxConcurrentOperationCount(int count) { _base.setMaxConcurrentOperationCount(count); }
  std::shared_ptr<HCNetworkQueue> copy() const;

  HCHTTPRequestDelegate* delegate() const { return _delegate; }
  void setDelegate(HCHTTPRequestDelegate* d) { _delegate = d; }
  HCProgressDelegate* uploadProgressDelegate() const { return _uploadProgressDelegate; }
  void setUploadProgressDelegate(HCProgressDelegate* d);
  HCProgressDelegate* downloadProgressDelegate() const { return _downloadProgressDelegate; }
  void setDownloadProgressDelegate(HCProgressDelegate* d);
  void resetProgressDelegate(HCProgressDelegate* d);

#define HC_QUEUE_FIELD(Type, name, Name, init) \
public:                                        \
  Type name() const { return _##name; }        \
  void set##Name(Type v) { _##name = v; }      \
                                               \
private:                                       \
  Type _##name = init

  HC_QUEUE_FIELD(HCSelector, requestDidStartSelector, RequestDidStartSelector, HCSelector::none);
  HC_QUEUE_FIELD(HCSelector, requestDidReceiveResponseHeadersSelector, RequestDidReceiveResponseHeadersSelector,
                 HCSelector::none);
  HC_QUEUE_FIELD(HCSelector, requestWillRedirectSelector, RequestWillRedirectSelector, HCSelector::none);
  HC_QUEUE_FIELD(HCSelector, requestDidFinishSelector, RequestDidFinishSelector, HCSelector::none);
  HC_QUEUE_FIELD(HCSelector, requestDidFailSelector, RequestDidFailSelector, HCSelector::none);
  HC_QUEUE_FIELD(HCSelector, queueDidFinishSelector, QueueDidFinishSelector, HCSelector::none);
  HC_QUEUE_FIELD(unsigned long long, bytesUploadedSoFar, BytesUploadedSoFar, 0);
  HC_QUEUE_FIELD(unsigned long long, totalBytesToUpload, TotalBytesToUpload, 0);
  HC_QUEUE_FIELD(unsigned long long, bytesDownloadedSoFar, BytesDownloadedSoFar, 0);
  HC_QUEUE_FIELD(unsigned long long, totalBytesToDownload, TotalBytesToDownload, 0);
  HC_QUEUE_FIELD(bool, shouldCancelAllRequestsOnFailure, ShouldCancelAllRequestsOnFailure, true);
  HC_QUEUE_FIELD(int, requestsCount, RequestsCount, 0);
  HC_QUEUE_FIELD(bool, showAccurateProgress, ShowAccurateProgress, false);
#undef HC_QUEUE_FIELD

public:
  plat::Dictionary userInfo() const;
  void setUserInfo(plat::Dictionary info);

  // --- what the requests tell the queue --------------------------------------------
  bool respondsToSelector(HCSelector selector) const override;
  void requestStarted(HCHTTPRequest& request) override;
  void requestDidReceiveResponseHeaders(HCHTTPRequest& request, const plat::Dictionary& headers) override;
  void requestWillRedirectToURL(HCHTTPRequest& request, const plat::URL& url) override;
  void requestFinished(HCHTTPRequest& request) override;
  void requestFailed(HCHTTPRequest& request) override;
  void authenticationNeededForRequest(HCHTTPRequest& request) override;
  void proxyAuthenticationNeededForRequest(HCHTTPRequest& request) override;
  void requestDidReceiveBytes(HCHTTPRequest& request, long long bytes) override;
  void requestDidSendBytes(HCHTTPRequest& request, long long bytes) override;
  void requestIncrementDownloadSizeBy(HCHTTPRequest& request, long long newLength) override;
  void requestIncrementUploadSizeBy(HCHTTPRequest& request, long long newLength) override;

private:
  void send(HCSelector selector, HCHTTPRequest* request, const plat::Dictionary* headers, const plat::URL* url);

  plat::OperationQueue _base{"HCNetworkQueue"};
  HCHTTPRequestDelegate* _delegate = nullptr;
  HCProgressDelegate* _uploadProgressDelegate = nullptr;
  HCProgressDelegate* _downloadProgressDelegate = nullptr;
  mutable std::mutex _userInfoMutex;
  plat::Dictionary _userInfo;
};
