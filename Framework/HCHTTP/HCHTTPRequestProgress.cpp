// Progress of a request to its receivers (the queue first, then the
// progress delegate, then the block), its HEAD companion, its copies and the
// operations it waits for. Counts change on the request's thread; every
// report reaches the main thread in the order of the request's other
// notifications, and reads its receiver when it is delivered, so a receiver
// removed meanwhile gets nothing.
#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"

using namespace hchttp;

void HCHTTPRequest::setIndicatorLocked(bool download, unsigned long long progress, unsigned long long total) {
  HCProgressDelegate* d = download ? _downloadProgressDelegate : _uploadProgressDelegate;
  if (!d || !d->respondsToSetDoubleValue()) return;
  auto keep = self();
  if (!keep) return;
  ProgressLockGuard p;
  const double fraction = static_cast<double>(progress) / static_cast<double>(total);
  keep->notifyOnMainThread([keep, download, fraction] {
    HCProgressDelegate* now;
    {
      std::lock_guard l(keep->_cancelledLock);
      now = download ? keep->_downloadProgressDelegate : keep->_uploadProgressDelegate;
    }
    if (now && now->respondsToSetDoubleValue()) now->setDoubleValue(fraction);
  });
}

// Bytes moved one way: to the queue and the progress delegate, then the
// indicator, then the block, in that order behind the request's other
// notifications.
void HCHTTPRequest::notifyBytesMovedLocked(bool download, long long increment, unsigned long long progress,
                                           unsigned long long indicatorTotal, unsigned long long blockTotal) {
  auto keep = self();
  if (keep) {
    keep->notifyOnMainThread([keep, download, increment] {
      std::shared_ptr<HCHTTPRequestQueue> q;
      HCProgressDelegate* d;
      {
        std::lock_guard g(keep->_cancelledLock);
        q = keep->_queue;
        d = download ? keep->_downloadProgressDelegate : keep->_uploadProgressDelegate;
      }
      if (download) {
        if (q) q->requestDidReceiveBytes(*keep, increment);
        if (d) d->requestDidReceiveBytes(*keep, increment);
      } else {
        if (q) q->requestDidSendBytes(*keep, increment);
        if (d) d->requestDidSendBytes(*keep, increment);
      }
    });
  }
  setIndicatorLocked(download, progress, indicatorTotal);
  // The block counts in unsigned bytes: progress taken back (a retry) is told
  // to the signed receivers above, never here as a huge number.
  if (increment <= 0) return;
  if (!keep || !(download ? _bytesReceivedBlock : _bytesSentBlock)) return;
  keep->notifyOnMainThread([keep, download, increment, blockTotal] {
    ProgressBlock b;
    {
      std::lock_guard g(keep->_cancelledLock);
      b = download ? keep->_bytesReceivedBlock : keep->_bytesSentBlock;
    }
    if (b) b(static_cast<unsigned long long>(increment), blockTotal);
  });
}

// A change of the expected size one way, to the same receivers.
void HCHTTPRequest::notifySizeIncrement(bool download, long long length) {
  auto keep = self();
  {
    std::lock_guard l(_cancelledLock);
    (download ? _downloadSizeAnnounced : _uploadSizeAnnounced) += length;
  }
  if (!keep) return;
  keep->notifyOnMainThread([keep, download, length] {
    std::shared_ptr<HCHTTPRequestQueue> q;
    HCProgressDelegate* d;
    SizeBlock b;
    {
      std::lock_guard g(keep->_cancelledLock);
      q = keep->_queue;
      d = download ? keep->_downloadProgressDelegate : keep->_uploadProgressDelegate;
      b = download ? keep->_downloadSizeIncrementedBlock : keep->_uploadSizeIncrementedBlock;
    }
    if (download) {
      if (q) q->requestIncrementDownloadSizeBy(*keep, length);
      if (d) d->requestIncrementDownloadSizeBy(*keep, length);
    } else {
      if (q) q->requestIncrementUploadSizeBy(*keep, length);
      if (d) d->requestIncrementUploadSizeBy(*keep, length);
    }
    if (b) b(length);
  });
}

void HCHTTPRequest::updateProgressIndicator(HCProgressDelegate* indicator, unsigned long long progress,
                                            unsigned long long total) {
  if (!indicator || !indicator->respondsToSetDoubleValue()) return;
  ProgressLockGuard p;
  const double fraction = static_cast<double>(progress) / static_cast<double>(total);
  notifyOnMainThread([indicator, fraction] { indicator->setDoubleValue(fraction); });
}

void HCHTTPRequest::updateProgressIndicators() {
  std::lock_guard l(_cancelledLock);
  if (_mainRequest) return;
  if (_showAccurateProgress || (_complete && !_updatedProgress)) {
    updateUploadProgress();
    updateDownloadProgress();
  }
}

void HCHTTPRequest::updateDownloadProgress() {
  std::lock_guard l(_cancelledLock);
  if (!_responseHead || _needsRedirect) return;
  if (_contentLength == 0 && !_complete) return;
  const unsigned long long soFar = _totalBytesRead + _partialDownloadSize;
  long long increment;
  if (_showAccurateProgress && _contentLength != 0) {
    // What was reported stays reported: a restart or a retry shows nothing
    // new until it has gone past it.
    if (soFar <= _lastBytesRead) return;
    increment = static_cast<long long>(soFar - _lastBytesRead);
  } else {
    if (_updatedProgress) return;
    increment = 1;
    _updatedProgress = true;
  }
  const unsigned long long total = _contentLength + _partialDownloadSize;
  notifyBytesMovedLocked(true, increment, soFar, total, total);
  _lastBytesRead = std::max(_lastBytesRead, soFar);
}

void HCHTTPRequest::updateUploadProgress() {
  std::lock_guard l(_cancelledLock);
  if (_cancelled || _totalBytesSent == 0) return;
  if (_uploadBufferSize == 0 && _totalBytesSent != _postLength) {
    _uploadBufferSize = _totalBytesSent;
    incrementUploadSizeBy(-static_cast<long long>(_uploadBufferSize));
  }
  long long increment;
  if (_showAccurateProgress) {
    if (_totalBytesSent != _postLength && _lastBytesSent == 0) return;
    increment = static_cast<long long>(_totalBytesSent) - static_cast<long long>(_lastBytesSent);
  } else {
    if (_updatedProgress) return;
    increment = 1;
    _updatedProgress = true;
  }
  if (increment == 0) return;
  notifyBytesMovedLocked(false, increment, _totalBytesSent - _uploadBufferSize, _postLength - _uploadBufferSize,
                         _postLength);
}

void HCHTTPRequest::incrementDownloadSizeBy(long long length) { notifySizeIncrement(true, length); }

void HCHTTPRequest::incrementUploadSizeBy(long long length) { notifySizeIncrement(false, length); }

void HCHTTPRequest::removeUploadProgressSoFar() {
  std::lock_guard l(_cancelledLock);
  notifyBytesMovedLocked(false, -static_cast<long long>(_totalBytesSent), 0, _postLength, _postLength);
}

// --- dependencies ------------------------------------------------------------------

bool HCHTTPRequest::isReady() const {
  std::lock_guard l(_dependenciesMutex);
  for (const auto& w : _dependencies) {
    auto op = w.lock();
    if (op && !op->isFinished()) return false;
  }
  return true;
}

void HCHTTPRequest::addDependency(const std::shared_ptr<plat::Operation>& operation) {
  if (!operation) return;
  std::lock_guard l(_dependenciesMutex);
  _dependencies.push_back(operation);
}

// --- HEAD companion and copies -----------------------------------------------------

HCHTTPRequest* HCHTTPRequest::mainRequest() const {
  std::lock_guard l(_cancelledLock);
  return _mainRequest;
}

// What a request and its HEAD companion share: headers, cookies,
// credentials, proxy, TLS, time-out, retry, redirect and connection rules.
// `r` is new and shared with nobody: no lock of its own is taken, so that no
// order between the two requests' locks is set here.
void HCHTTPRequest::copySettingsTo(HCHTTPRequest& r) const {
  r._requestHeaders = _requestHeaders;
  r._requestCookies = _requestCookies;
  r._useCookiePersistence = _useCookiePersistence;
  r._useKeychainPersistence = _useKeychainPersistence;
  r._useSessionPersistence = _useSessionPersistence;
  r._allowCompressedResponse = _allowCompressedResponse;
  r._maxInflatedResponseSize = _maxInflatedResponseSize;
  r._maxResponseDataSize = _maxResponseDataSize;
  r._username = _username;
  r._password = _password;
  r._domain = _domain;
  r._proxyUsername = _proxyUsername;
  r._proxyPassword = _proxyPassword;
  r._proxyDomain = _proxyDomain;
  r._proxyHost = _proxyHost;
  r._proxyPort = _proxyPort;
  r._proxyType = _proxyType;
  r._shouldPresentAuthenticationDialog = _shouldPresentAuthenticationDialog;
  r._shouldPresentProxyAuthenticationDialog = _shouldPresentProxyAuthenticationDialog;
  r._timeOutSeconds = _timeOutSeconds;
  r._useHTTPVersionOne = _useHTTPVersionOne;
  r._validatesSecureCertificate = _validatesSecureCertificate;
  r._clientCertificateIdentity = _clientCertificateIdentity;
  r._trustedCertificatesPEM = _trustedCertificatesPEM;
  r._shouldPresentCredentialsBeforeChallenge = _shouldPresentCredentialsBeforeChallenge;
  r._numberOfTimesToRetryOnTimeout = _numberOfTimesToRetryOnTimeout;
  r._shouldUseRFC2616RedirectBehaviour = _shouldUseRFC2616RedirectBehaviour;
  r._shouldAttemptPersistentConnection = _shouldAttemptPersistentConnection;
  r._persistentConnectionTimeoutSeconds = _persistentConnectionTimeoutSeconds;
}

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::HEADRequest() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  auto r = makeCopyTarget();
  copySettingsTo(*r);
  r->_mainRequest = this;
  r->_mainRequestKeep = keep;
  r->_requestMethod = "HEAD";
  return r;
}

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::copy() const {
  std::lock_guard l(_cancelledLock);
  auto r = makeCopyTarget();
  copySettingsTo(*r);
  r->_delegate = _delegate;
  r->_requestMethod = _requestMethod;
  r->_postBody = _postBody;
  r->_shouldStreamPostDataFromDisk = _shouldStreamPostDataFromDisk;
  r->_postBodyFilePath = _postBodyFilePath;
  r->_downloadDestinationPath = _downloadDestinationPath;
  r->_temporaryFileDownloadPath = _temporaryFileDownloadPath;
  r->_uploadProgressDelegate = _uploadProgressDelegate;
  r->_downloadProgressDelegate = _downloadProgressDelegate;
  r->_postLength = _postLength;
  r->_haveBuiltPostBody = _haveBuiltPostBody;
  r->_didStartSelector = _didStartSelector;
  r->_didFinishSelector = _didFinishSelector;
  r->_didFailSelector = _didFailSelector;
  r->_shouldResetDownloadProgress = _shouldResetDownloadProgress;
  r->_shouldResetUploadProgress = _shouldResetUploadProgress;
  r->_showAccurateProgress = _showAccurateProgress;
  r->_defaultResponseEncoding = _defaultResponseEncoding;
  r->_allowResumeForFileDownloads = _allowResumeForFileDownloads;
  r->_userInfo = _userInfo;
  r->_tag = _tag;
  r->_shouldRedirect = _shouldRedirect;
  r->_authenticationScheme = _authenticationScheme;
  return r;
}
