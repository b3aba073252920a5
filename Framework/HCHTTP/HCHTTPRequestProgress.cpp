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
  std::lock_guard p(classState().progressLock);
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

void HCHTTPRequest::updateProgressIndicator(HCProgressDelegate* indicator, unsigned long long progress,
                                            unsigned long long total) {
  if (!indicator || !indicator->respondsToSetDoubleValue()) return;
  std::lock_guard p(classState().progressLock);
  const double fraction = static_cast<double>(progress) / static_cast<double>(total);
  performOnMainThread([indicator, fraction] { indicator->setDoubleValue(fraction); });
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
  auto keep = self();
  if (keep) {
    keep->notifyOnMainThread([keep, increment] {
      std::shared_ptr<HCHTTPRequestQueue> q;
      HCProgressDelegate* d;
      {
        std::lock_guard g(keep->_cancelledLock);
        q = keep->_queue;
        d = keep->_downloadProgressDelegate;
      }
      if (q) q->requestDidReceiveBytes(*keep, increment);
      if (d) d->requestDidReceiveBytes(*keep, increment);
    });
  }
  const unsigned long long total = _contentLength + _partialDownloadSize;
  setIndicatorLocked(true, soFar, total);
  if (_bytesReceivedBlock && keep) {
    keep->notifyOnMainThread([keep, increment, total] {
      ProgressBlock b;
      {
        std::lock_guard g(keep->_cancelledLock);
        b = keep->_bytesReceivedBlock;
      }
      if (b) b(static_cast<unsigned long long>(increment), total);
    });
  }
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
  auto keep = self();
  if (!keep) return;
  keep->notifyOnMainThread([keep, increment] {
    std::shared_ptr<HCHTTPRequestQueue> q;
    HCProgressDelegate* d;
    {
      std::lock_guard g(keep->_cancelledLock);
      q = keep->_queue;
      d = keep->_uploadProgressDelegate;
    }
    if (q) q->requestDidSendBytes(*keep, increment);
    if (d) d->requestDidSendBytes(*keep, increment);
  });
  setIndicatorLocked(false, _totalBytesSent - _uploadBufferSize, _postLength - _uploadBufferSize);
  const unsigned long long total = _postLength;
  keep->notifyOnMainThread([keep, increment, total] {
    ProgressBlock b;
    {
      std::lock_guard g(keep->_cancelledLock);
      b = keep->_bytesSentBlock;
    }
    if (b) b(static_cast<unsigned long long>(increment), total);
  });
}

void HCHTTPRequest::incrementDownloadSizeBy(long long length) {
  auto keep = self();
  {
    std::lock_guard l(_cancelledLock);
    _downloadSizeAnnounced += length;
  }
  if (!keep) return;
  keep->notifyOnMainThread([keep, length] {
    std::shared_ptr<HCHTTPRequestQueue> q;
    HCProgressDelegate* d;
    SizeBlock b;
    {
      std::lock_guard g(keep->_cancelledLock);
      q = keep->_queue;
      d = keep->_downloadProgressDelegate;
      b = keep->_downloadSizeIncrementedBlock;
    }
    if (q) q->requestIncrementDownloadSizeBy(*keep, length);
    if (d) d->requestIncrementDownloadSizeBy(*keep, length);
    if (b) b(length);
  });
}

void HCHTTPRequest::incrementUploadSizeBy(long long length) {
  auto keep = self();
  {
    std::lock_guard l(_cancelledLock);
    _uploadSizeAnnounced += length;
  }
  if (!keep) return;
  keep->notifyOnMainThread([keep, length] {
    std::shared_ptr<HCHTTPRequestQueue> q;
    HCProgressDelegate* d;
    SizeBlock b;
    {
      std::lock_guard g(keep->_cancelledLock);
      q = keep->_queue;
      d = keep->_uploadProgressDelegate;
      b = keep->_uploadSizeIncrementedBlock;
    }
    if (q) q->requestIncrementUploadSizeBy(*keep, length);
    if (d) d->requestIncrementUploadSizeBy(*keep, length);
    if (b) b(length);
  });
}

void HCHTTPRequest::removeUploadProgressSoFar() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  const long long back = -static_cast<long long>(_totalBytesSent);
  const unsigned long long total = _postLength;
  if (keep) {
    keep->notifyOnMainThread([keep, back] {
      std::shared_ptr<HCHTTPRequestQueue> q;
      HCProgressDelegate* d;
      {
        std::lock_guard g(keep->_cancelledLock);
        q = keep->_queue;
        d = keep->_uploadProgressDelegate;
      }
      if (q) q->requestDidSendBytes(*keep, back);
      if (d) d->requestDidSendBytes(*keep, back);
    });
  }
  setIndicatorLocked(false, 0, total);
  if (keep) {
    keep->notifyOnMainThread([keep, back, total] {
      ProgressBlock b;
      {
        std::lock_guard g(keep->_cancelledLock);
        b = keep->_bytesSentBlock;
      }
      if (b) b(static_cast<unsigned long long>(back), total);
    });
  }
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

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::HEADRequest() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  auto r = requestWithURL(_url);
  // Not shared with anybody yet: no lock of its own, so that no order
  // between the two requests' locks is set here.
  r->_requestHeaders = _requestHeaders;
  r->_requestCookies = _requestCookies;
  r->_useCookiePersistence = _useCookiePersistence;
  r->_useKeychainPersistence = _useKeychainPersistence;
  r->_useSessionPersistence = _useSessionPersistence;
  r->_allowCompressedResponse = _allowCompressedResponse;
  r->_username = _username;
  r->_password = _password;
  r->_domain = _domain;
  r->_proxyUsername = _proxyUsername;
  r->_proxyPassword = _proxyPassword;
  r->_proxyDomain = _proxyDomain;
  r->_proxyHost = _proxyHost;
  r->_proxyPort = _proxyPort;
  r->_proxyType = _proxyType;
  r->_shouldPresentAuthenticationDialog = _shouldPresentAuthenticationDialog;
  r->_shouldPresentProxyAuthenticationDialog = _shouldPresentProxyAuthenticationDialog;
  r->_timeOutSeconds = _timeOutSeconds;
  r->_useHTTPVersionOne = _useHTTPVersionOne;
  r->_validatesSecureCertificate = _validatesSecureCertificate;
  r->_clientCertificateIdentity = _clientCertificateIdentity;
  r->_trustedCertificatesPEM = _trustedCertificatesPEM;
  r->_shouldPresentCredentialsBeforeChallenge = _shouldPresentCredentialsBeforeChallenge;
  r->_numberOfTimesToRetryOnTimeout = _numberOfTimesToRetryOnTimeout;
  r->_shouldUseRFC2616RedirectBehaviour = _shouldUseRFC2616RedirectBehaviour;
  r->_shouldAttemptPersistentConnection = _shouldAttemptPersistentConnection;
  r->_persistentConnectionTimeoutSeconds = _persistentConnectionTimeoutSeconds;
  r->_mainRequest = this;
  r->_mainRequestKeep = keep;
  r->_requestMethod = "HEAD";
  return r;
}

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::copy() const {
  std::lock_guard l(_cancelledLock);
  auto r = requestWithURL(_url);
  // Not shared with anybody yet: no lock of its own, so that no order
  // between the two requests' locks is set here.
  r->_delegate = _delegate;
  r->_requestMethod = _requestMethod;
  r->_postBody = _postBody;
  r->_shouldStreamPostDataFromDisk = _shouldStreamPostDataFromDisk;
  r->_postBodyFilePath = _postBodyFilePath;
  r->_requestHeaders = _requestHeaders;
  r->_requestCookies = _requestCookies;
  r->_useCookiePersistence = _useCookiePersistence;
  r->_useKeychainPersistence = _useKeychainPersistence;
  r->_useSessionPersistence = _useSessionPersistence;
  r->_allowCompressedResponse = _allowCompressedResponse;
  r->_downloadDestinationPath = _downloadDestinationPath;
  r->_temporaryFileDownloadPath = _temporaryFileDownloadPath;
  r->_username = _username;
  r->_password = _password;
  r->_domain = _domain;
  r->_proxyUsername = _proxyUsername;
  r->_proxyPassword = _proxyPassword;
  r->_proxyDomain = _proxyDomain;
  r->_proxyHost = _proxyHost;
  r->_proxyPort = _proxyPort;
  r->_proxyType = _proxyType;
  r->_uploadProgressDelegate = _uploadProgressDelegate;
  r->_downloadProgressDelegate = _downloadProgressDelegate;
  r->_shouldPresentAuthenticationDialog = _shouldPresentAuthenticationDialog;
  r->_shouldPresentProxyAuthenticationDialog = _shouldPresentProxyAuthenticationDialog;
  r->_postLength = _postLength;
  r->_haveBuiltPostBody = _haveBuiltPostBody;
  r->_didStartSelector = _didStartSelector;
  r->_didFinishSelector = _didFinishSelector;
  r->_didFailSelector = _didFailSelector;
  r->_timeOutSeconds = _timeOutSeconds;
  r->_shouldResetDownloadProgress = _shouldResetDownloadProgress;
  r->_shouldResetUploadProgress = _shouldResetUploadProgress;
  r->_showAccurateProgress = _showAccurateProgress;
  r->_defaultResponseEncoding = _defaultResponseEncoding;
  r->_allowResumeForFileDownloads = _allowResumeForFileDownloads;
  r->_userInfo = _userInfo;
  r->_tag = _tag;
  r->_useHTTPVersionOne = _useHTTPVersionOne;
  r->_shouldRedirect = _shouldRedirect;
  r->_validatesSecureCertificate = _validatesSecureCertificate;
  r->_clientCertificateIdentity = _clientCertificateIdentity;
  r->_trustedCertificatesPEM = _trustedCertificatesPEM;
  r->_shouldPresentCredentialsBeforeChallenge = _shouldPresentCredentialsBeforeChallenge;
  r->_numberOfTimesToRetryOnTimeout = _numberOfTimesToRetryOnTimeout;
  r->_shouldUseRFC2616RedirectBehaviour = _shouldUseRFC2616RedirectBehaviour;
  r->_shouldAttemptPersistentConnection = _shouldAttemptPersistentConnection;
  r->_persistentConnectionTimeoutSeconds = _persistentConnectionTimeoutSeconds;
  r->_authenticationScheme = _authenticationScheme;
  return r;
}
