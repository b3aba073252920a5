#include "Framework/HCHTTP/HCNetworkQueue.h"

#include "platform/foundation/error.h"

HCNetworkQueue::HCNetworkQueue() {
  _base.setMaxConcurrentOperationCount(4);
  _base.setSuspended(true);
}

HCNetworkQueue::~HCNetworkQueue() {
  for (auto& op : _base.operations()) {
    if (auto r = std::dynamic_pointer_cast<HCHTTPRequest>(op)) r->setQueue(nullptr);
  }
}

std::shared_ptr<HCNetworkQueue> HCNetworkQueue::queue() { return std::make_shared<HCNetworkQueue>(); }

void HCNetworkQueue::go() { setSuspended(false); }

void HCNetworkQueue::setSuspended(bool suspended) { _base.setSuspended(suspended); }

void HCNetworkQueue::reset() {
  cancelAllOperations();
  setDelegate(nullptr);
  setDownloadProgressDelegate(nullptr);
  setUploadProgressDelegate(nullptr);
  _requestDidStartSelector = HCSelector::none;
  _requestDidReceiveResponseHeadersSelector = HCSelector::none;
  _requestDidFailSelector = HCSelector::none;
  _requestDidFinishSelector = HCSelector::none;
  _queueDidFinishSelector = HCSelector::none;
  setSuspended(true);
}

void HCNetworkQueue::cancelAllOperations() {
  _bytesUploadedSoFar = 0;
  _totalBytesToUpload = 0;
  _bytesDownloadedSoFar = 0;
  _totalBytesToDownload = 0;
  _base.cancelAllOperations();
}

void HCNetworkQueue::setUploadProgressDelegate(HCProgressDelegate* d) {
  _uploadProgressDelegate = d;
  resetProgressDelegate(d);
}

void HCNetworkQueue::setDownloadProgressDelegate(HCProgressDelegate* d) {
  _downloadProgressDelegate = d;
  resetProgressDelegate(d);
}

void HCNetworkQueue::resetProgressDelegate(HCProgressDelegate* d) {
  if (!d) return;
  if (d->respondsToSetMaxValue()) HCHTTPRequest::performOnMainThread([d] { d->setMaxValue(1.0); });
  if (d->respondsToSetDoubleValue()) HCHTTPRequest::performOnMainThread([d] { d->setDoubleValue(0.0); });
}

void HCNetworkQueue::addHEADOperation(const std::shared_ptr<plat::Operation>& operation) {
  auto request = std::dynamic_pointer_cast<HCHTTPRequest>(operation);
  if (!request) return;
  request->setRequestMethod("HEAD");
  // Added ahead of the request it serves, it also starts ahead of it.
  request->setShowAccurateProgress(true);
  request->setQueue(shared_from_this());
  _base.addOperation(request);
}

void HCNetworkQueue::addOperation(const std::shared_ptr<plat::Operation>& operation) {
  auto request = std::dynamic_pointer_cast<HCHTTPRequest>(operation);
  if (!request) {
    throw plat::Exception("AttemptToAddInvalidRequest",
                          "Attempted to add an object that was not an HCHTTPRequest to an HCNetworkQueue");
  }
  _requestsCount++;
  if (_showAccurateProgress) {
    request->buildPostBody();
    if (request->requestMethod() == "GET" && _base.isSuspended()) {
      auto head = request->HEADRequest();
      addHEADOperation(head);
      request->addDependency(head);
      if (request->shouldResetDownloadProgress()) {
        resetProgressDelegate(_downloadProgressDelegate);
        request->setShouldResetDownloadProgress(false);
      }
    }
    request->buildPostBody();
    _totalBytesToUpload += request->postLength();
  } else {
    _totalBytesToDownload += 1;
    _totalBytesToUpload += 1;
  }
  if (request->shouldResetUploadProgress()) {
    resetProgressDelegate(_uploadProgressDelegate);
    request->setShouldResetUploadProgress(false);
  }
  request->setShowAccurateProgress(_showAccurateProgress);
  request->setQueue(shared_from_this());
  _base.addOperation(request);
}

std::shared_ptr<HCNetworkQueue> HCNetworkQueue::copy() const {
  auto q = queue();
  q->setDelegate(_delegate);
  q->_requestDidStartSelector = _requestDidStartSelector;
  q->_requestDidReceiveResponseHeadersSelector = _requestDidReceiveResponseHeadersSelector;
  q->_requestWillRedirectSelector = _requestWillRedirectSelector;
  q->_requestDidFinishSelector = _requestDidFinishSelector;
  q->_requestDidFailSelector = _requestDidFailSelector;
  q->_queueDidFinishSelector = _queueDidFinishSelector;
  q->setUploadProgressDelegate(_uploadProgressDelegate);
  q->setDownloadProgressDelegate(_downloadProgressDelegate);
  q->_shouldCancelAllRequestsOnFailure = _shouldCancelAllRequestsOnFailure;
  q->_showAccurateProgress = _showAccurateProgress;
  q->setUserInfo(userInfo());
  return q;
}

plat::Dictionary HCNetworkQueue::userInfo() const {
  std::lock_guard l(_userInfoMutex);
  return _userInfo;
}

void HCNetworkQueue::setUserInfo(plat::Dictionary info) {
  std::lock_guard l(_userInfoMutex);
  _userInfo = std::move(info);
}

// --- events ------------------------------------------------------------------------

void HCNetworkQueue::send(HCSelector selector, HCHTTPRequest* request, const plat::Dictionary* headers,
                          const plat::URL* url) {
  HCHTTPRequestDelegate* d = _delegate;
  if (!d || selector == HCSelector::none || !d->respondsToSelector(selector)) return;
  static const plat::Dictionary kNoHeaders;
  switch (selector) {
    case HCSelector::requestStarted:
      d->requestStarted(*request);
      break;
    case HCSelector::requestDidReceiveResponseHeaders:
      d->requestDidReceiveResponseHeaders(*request, headers ? *headers : kNoHeaders);
      break;
    case HCSelector::requestWillRedirectToURL:
      if (url) d->requestWillRedirectToURL(*request, *url);
      break;
    case HCSelector::requestFinished:
      d->requestFinished(*request);
      break;
    case HCSelector::requestFailed:
      d->requestFailed(*request);
      break;
    case HCSelector::requestRedirected:
      d->requestRedirected(*request);
      break;
    case HCSelector::authenticationNeededForRequest:
      d->authenticationNeededForRequest(*request);
      break;
    case HCSelector::proxyAuthenticationNeededForRequest:
      d->proxyAuthenticationNeededForRequest(*request);
      break;
    case HCSelector::queueFinished:
      d->queueFinished(*this);
      break;
    case HCSelector::requestDidReceiveData:
    case HCSelector::none:
      break;
  }
}

bool HCNetworkQueue::respondsToSelector(HCSelector selector) const {
  switch (selector) {
    case HCSelector::authenticationNeededForRequest:
    case HCSelector::proxyAuthenticationNeededForRequest:
      return _delegate && _delegate->respondsToSelector(selector);
    case HCSelector::requestWillRedirectToURL:
      return _requestWillRedirectSelector != HCSelector::none && _delegate &&
             _delegate->respondsToSelector(_requestWillRedirectSelector);
    default:
      return HCHTTPRequestQueue::respondsToSelector(selector);
  }
}

void HCNetworkQueue::requestStarted(HCHTTPRequest& request) { send(_requestDidStartSelector, &request, nullptr, nullptr); }

void HCNetworkQueue::requestDidReceiveResponseHeaders(HCHTTPRequest& request, const plat::Dictionary& headers) {
  send(_requestDidReceiveResponseHeadersSelector, &request, &headers, nullptr);
}

void HCNetworkQueue::requestWillRedirectToURL(HCHTTPRequest& request, const plat::URL& url) {
  send(_requestWillRedirectSelector, &request, nullptr, &url);
}

void HCNetworkQueue::requestFinished(HCHTTPRequest& request) {
  auto keep = shared_from_this();
  _requestsCount--;
  send(_requestDidFinishSelector, &request, nullptr, nullptr);
  if (_requestsCount == 0) send(_queueDidFinishSelector, &request, nullptr, nullptr);
}

void HCNetworkQueue::requestFailed(HCHTTPRequest& request) {
  auto keep = shared_from_this();
  _requestsCount--;
  send(_requestDidFailSelector, &request, nullptr, nullptr);
  if (_requestsCount == 0) send(_queueDidFinishSelector, &request, nullptr, nullptr);
  if (_shouldCancelAllRequestsOnFailure && _requestsCount > 0) cancelAllOperations();
}

void HCNetworkQueue::authenticationNeededForRequest(HCHTTPRequest& request) {
  send(HCSelector::authenticationNeededForRequest, &request, nullptr, nullptr);
}

void HCNetworkQueue::proxyAuthenticationNeededForRequest(HCHTTPRequest& request) {
  send(HCSelector::proxyAuthenticationNeededForRequest, &request, nullptr, nullptr);
}

void HCNetworkQueue::requestDidReceiveBytes(HCHTTPRequest&, long long bytes) {
  _bytesDownloadedSoFar += static_cast<unsigned long long>(bytes);
  if (_downloadProgressDelegate) {
    HCHTTPRequest::updateProgressIndicator(_downloadProgressDelegate, _bytesDownloadedSoFar, _totalBytesToDownload);
  }
}

void HCNetworkQueue::requestDidSendBytes(HCHTTPRequest&, long long bytes) {
  _bytesUploadedSoFar += static_cast<unsigned long long>(bytes);
  if (_uploadProgressDelegate) {
    HCHTTPRequest::updateProgressIndicator(_uploadProgressDelegate, _bytesUploadedSoFar, _totalBytesToUpload);
  }
}

void HCNetworkQueue::requestIncrementDownloadSizeBy(HCHTTPRequest&, long long newLength) {
  _totalBytesToDownload += static_cast<unsigned long long>(newLength);
}

void HCNetworkQueue::requestIncrementUploadSizeBy(HCHTTPRequest&, long long newLength) {
  _totalBytesToUpload += static_cast<unsigned long long>(newLength);
}
