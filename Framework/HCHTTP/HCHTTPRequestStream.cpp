// The request on the wire: opening its stream, the stream's events, where
// the body goes (memory, a temporary file, the data callbacks), the response
// head with its redirects and encodings, the status timer with its time-out
// and retries, and the clean-up of streams and temporary files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/net/inflation_limit.h"
#include "Framework/HCHTTP/HCInputStream.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"

using plat::Data;
using plat::Dictionary;
using plat::Error;
using plat::HTTPReadStream;
using plat::URL;
using namespace hchttp;

namespace {
constexpr uint32_t kStreamEvents = HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventErrorOccurred |
                                   HTTPReadStream::kEventEndEncountered;

double now() { return plat::currentClock().monotonic(); }
plat::Date wallNow() { return plat::currentClock().now(); }


mode_t processUmask() {
  // umask() can only be read by changing it; /proc tells without a race.
  auto status = plat::readFile("/proc/self/status");
  if (status) {
    size_t at = status->find("Umask:");
    if (at != std::string::npos) return static_cast<mode_t>(std::strtoul(status->c_str() + at + 6, nullptr, 8));
  }
  return 022;
}

// Copies a file across file systems: into a private file beside the
// destination, flushed, then renamed into place.
bool copyIntoPlace(const std::string& from, const std::string& to, int* err) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *err = errno;
    return false;
  }
  std::string tmp = plat::pathJoin(plat::pathDirname(to), "." + plat::pathBasename(uniqueTemporaryPath()));
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    *err = errno;
    ::close(in);
    return false;
  }
  Data buf(256 * 1024);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && !plat::writeAll(out, buf.data(), static_cast<size_t>(n)))) {
      *err = errno;
      ok = false;
      break;
    }
    if (n == 0) break;
  }
  if (ok && ::fsync(out) != 0) {
    *err = errno;
    ok = false;
  }
  ::close(out);
  ::close(in);
  if (ok && ::rename(tmp.c_str(), to.c_str()) != 0) {
    *err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  ::unlink(from.c_str());
  return true;
}
}  // namespace

// --- opening the stream ------------------------------------------------------------

void HCHTTPRequest::startRequest() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  if (_cancelled) return;
  if (keep && !_error && !_mainRequest) keep->notifyOnMainThread([keep] { keep->requestStarted(); });

  _downloadComplete = false;
  _complete = false;
  _totalBytesRead = 0;
  // lastBytesRead is kept: what was reported before a retry stays reported.
  if (_redirectCount == 0) _originalURL = _url;
  if (_lastBytesSent != 0) removeUploadProgressSoFar();
  _lastBytesSent = 0;
  _contentLength = 0;
  _responseHeaders = Dictionary();
  _responseHead.reset();
  _inflatedResponseData.reset();
  _dataDecompressor.reset();
  if (!_downloadDestinationPath) _rawResponseData = Data();
  _readStreamIsScheduled = false;

  if (!_request || !_url) {
    failWithError(HCUnableToCreateRequestError());
    return;
  }
  _readingPaused = false;
  std::unique_ptr<plat::BodySource> body;
  if (_shouldStreamPostDataFromDisk && _postBodyFilePath) {
    const std::string& path = _compressedPostBodyFilePath ? *_compressedPostBodyFilePath : *_postBodyFilePath;
    Error e;
    body = plat::FileBodySource::open(path, &e);
    if (!body) {
      failWithError(requestError(HCInternalErrorWhileBuildingRequestType, "Unable to create read stream",
                                 std::make_shared<const Error>(e)));
      return;
    }
  } else if (_postBody && !_postBody->empty()) {
    body = std::make_unique<plat::DataBodySource>(_shouldCompressRequestBody && _compressedPostBody ? *_compressedPostBody
                                                                                                    : *_postBody);
  }
  // Counted and cut to the bandwidth limit as the stream reads it.
  if (body) body = std::make_unique<HCInputStream>(std::move(body), self());
  _readStream = HTTPReadStream::create(*_request, std::move(body));
  if (!_readStream) {
    failWithError(requestError(HCInternalErrorWhileBuildingRequestType, "Unable to create read stream"));
    return;
  }

  if (_url->isHTTPS()) {
    plat::SSLSettings ssl;
    if (!_validatesSecureCertificate) {
      ssl.allowsExpiredCertificates = true;
      ssl.allowsAnyRoot = true;
      ssl.validatesCertificateChain = false;
    }
    if (_clientCertificateIdentity) {
      // The identity's settings stand alone: checking is on again with it.
      ssl = plat::SSLSettings();
      ssl.clientIdentity = _clientCertificateIdentity;
    }
    ssl.trustedCertificatesPEM = _trustedCertificatesPEM;
    _readStream->setSSLSettings(ssl);
  }

  std::string proxyKey;  // empty: direct
  if (_proxyHost && _proxyPort != 0) {
    if (!_proxyType) _proxyType = kHCProxyTypeHTTP;
    plat::ProxySettings proxy;
    proxy.type = *_proxyType == kHCProxyTypeSOCKS ? plat::ProxySettings::Type::SOCKS5 : plat::ProxySettings::Type::HTTP;
    proxy.host = *_proxyHost;
    proxy.port = _proxyPort;
    proxy.username = _proxyUsername.value_or("");
    proxy.password = _proxyPassword.value_or("");
    _readStream->setProxy(proxy);
    proxyKey = proxy.key();
  }

  std::shared_ptr<HTTPReadStream> oldStream;
  {
    ClassState& cs = classState();
    std::lock_guard c(cs.connectionsLock);
    expirePersistentConnections();
    const std::string host = _url->host();
    const std::string scheme = _url->scheme();
    const int port = _url->port().value_or(0);
    if (host.empty() || scheme.empty()) {
      _connectionInfo.reset();
      _shouldAttemptPersistentConnection = false;
    }
    if (_shouldAttemptPersistentConnection) {
      // The same origin reached the same way: a connection through a proxy is
      // never taken for a direct request, nor the reverse.
      auto fits = [&](const HCConnectionRecord& rec) {
        return rec.host == host && rec.scheme == scheme && rec.port == port && rec.proxy == proxyKey;
      };
      if (_connectionInfo) {
        bool same = fits(*_connectionInfo);
        if (!same) {
          _connectionInfo.reset();
        } else if (_connectionInfo->expires && _connectionInfo->expires->secondsSince1970 < wallNow().secondsSince1970) {
          dropConnectionRecordLocked(_connectionInfo);
          _connectionInfo.reset();
        } else if (_connectionInfo->request) {
          _connectionInfo.reset();
        }
      }
      if (!_connectionInfo) {
        for (auto& rec : cs.persistentConnectionsPool) {
          if (!rec->request && fits(*rec)) _connectionInfo = rec;
        }
      }
      if (_connectionInfo && _connectionInfo->stream) oldStream = _connectionInfo->stream;
      if (!_connectionInfo) {
        _connectionInfo = std::make_shared<HCConnectionRecord>();
        _connectionInfo->id = ++cs.nextConnectionNumberToCreate;
        _connectionInfo->host = host;
        _connectionInfo->port = port;
        _connectionInfo->scheme = scheme;
        _connectionInfo->proxy = proxyKey;
        cs.persistentConnectionsPool.push_back(_connectionInfo);
      }
      if (!_requestID) _requestID = ++cs.nextRequestID;
      _connectionInfo->request = _requestID;
      _connectionInfo->expires.reset();
      _connectionInfo->stream = _readStream;
      _readStream->setAttemptPersistentConnection(true);
      _readStream->setConnectionID(_connectionInfo->id);
    }
  }

  _runLoop = plat::RunLoop::current();
  scheduleReadStream();
  bool opened = _readStream->open();
  if (oldStream && oldStream != _readStream) oldStream->close();
  if (!opened) {
    _connectionCanBeReused = false;
    destroyReadStream();
    failWithError(requestError(HCInternalErrorWhileBuildingRequestType, "Unable to start HTTP connection"));
    return;
  }
  if (!_mainRequest) {
    if (_shouldResetUploadProgress) {
      long long want = _showAccurateProgress ? static_cast<long long>(_postLength) : 1;
      if (want != _uploadSizeAnnounced) incrementUploadSizeBy(want - _uploadSizeAnnounced);
      setIndicatorLocked(false, 0, 1);
    }
    if (_shouldResetDownloadProgress && _partialDownloadSize == 0) setIndicatorLocked(true, 0, 1);
  }
  _lastActivityTime = now();
  setStatusTimerLocked(true);
}

void HCHTTPRequest::scheduleReadStream() {
  std::lock_guard l(_cancelledLock);
  if (!_readStream || _readStreamIsScheduled) return;
  {
    ClassState& cs = classState();
    std::lock_guard c(cs.connectionsLock);
    cs.runningRequestCount++;
    if (cs.shouldUpdateNetworkActivityIndicator) showNetworkActivityIndicator();
  }
  _lastActivityTime = now();
  std::weak_ptr<HCHTTPRequest> weak = self();
  _readStream->setClient(kStreamEvents, [weak](uint32_t type) {
    if (auto s = weak.lock()) s->handleNetworkEvent(type);
  });
  if (!_runLoop) _runLoop = plat::RunLoop::current();
  _readStream->scheduleInRunLoop(_runLoop, _runLoopMode);
  _readStreamIsScheduled = true;
}

void HCHTTPRequest::unscheduleReadStream() {
  std::lock_guard l(_cancelledLock);
  if (!_readStream || !_readStreamIsScheduled) return;
  {
    ClassState& cs = classState();
    std::lock_guard c(cs.connectionsLock);
    cs.runningRequestCount--;
    if (cs.shouldUpdateNetworkActivityIndicator && cs.runningRequestCount == 0) {
      performOnMainThread([] { hideNetworkActivityIndicatorAfterDelay(); });
    }
  }
  _readStream->setClient(0, nullptr);
  if (_runLoop) _readStream->unscheduleFromRunLoop(_runLoop, _runLoopMode);
  _readStreamIsScheduled = false;
}

void HCHTTPRequest::destroyReadStream() {
  std::lock_guard l(_cancelledLock);
  if (!_readStream) return;
  unscheduleReadStream();
  // A stream that ended cleanly has already handed its socket back for reuse.
  if (!_connectionCanBeReused) _readStream->close();
  _readStream.reset();
}

void HCHTTPRequest::setStatusTimerLocked(bool on) {
  if (_statusTimer && _statusTimerLoop) _statusTimerLoop->remove(_statusTimer);
  _statusTimer = 0;
  _statusTimerLoop.reset();
  if (!on || !_runLoop) return;
  std::weak_ptr<HCHTTPRequest> weak = self();
  _statusTimerLoop = _runLoop;
  _statusTimer = _runLoop->addTimer(
      0.25, 0.25, true,
      [weak] {
        if (auto s = weak.lock()) s->updateStatus();
      },
      {_runLoopMode});
}

// --- stream events ---------------------------------------------------------------------

void HCHTTPRequest::handleNetworkEvent(uint32_t type) {
  auto keep = self();
  NotificationBatch batch;
  bool redirect = false, authenticate = false;
  // A throw here (memory running out, a delegate asked on this thread) would
  // be dropped by the run loop and leave the request running for ever.
  try {
    std::lock_guard l(_cancelledLock);
    if (_complete || _cancelled) return;
    switch (type) {
      case HTTPReadStream::kEventEndEncountered:
        handleStreamComplete();
        break;
      case HTTPReadStream::kEventErrorOccurred:
        handleStreamError();
        break;
      case HTTPReadStream::kEventHasBytesAvailable:
        handleBytesAvailable();
        break;
      default:
        break;
    }
    redirect = _downloadComplete && _needsRedirect && !_error;
    authenticate = !redirect && _downloadComplete && _authenticationNeeded != 0 && !_error;
    performThrottling();
  } catch (const std::exception& e) {
    failWithExceptionLocked(e);
    return;
  }
  try {
    if (redirect) {
      if (!willAskDelegateToConfirmRedirect()) performRedirect();
    } else if (authenticate) {
      attemptToApplyCredentialsAndResume();
    }
  } catch (const std::exception& e) {
    failWithExceptionLocked(e);
  }
}

bool HCHTTPRequest::wantsDataCallbacksLocked() const {
  return (_delegate && _didReceiveDataSelector != HCSelector::none &&
          _delegate->respondsToSelector(_didReceiveDataSelector)) ||
         static_cast<bool>(_dataReceivedBlock);
}

void HCHTTPRequest::handleBytesAvailable() {
  std::lock_guard l(_cancelledLock);
  if (!_responseHead) readResponseHeaders();
  if (_complete || !_readStream || !_readStream->hasBytesAvailable()) return;

  // The body of a redirect that will be followed is not the caller's body.
  const bool redirectBody = _needsRedirect && _shouldRedirect;
  const bool dataCallbacks = !redirectBody && wantsDataCallbacksLocked();
  // A main thread that falls behind must not make the queue to it grow
  // without bound: the socket waits until the callbacks catch up.
  if (dataCallbacks && _pendingDeliveryBytes >= kHCMaxPendingDeliveryBytes) {
    _readingPaused = true;
    if (_pendingDeliveryBytes >= kHCMaxPendingDeliveryBytes / 2) return;  // deliveredToMainThread resumes
    _readingPaused = false;  // drained meanwhile
  }
  // Nothing is kept to inflate later when the body goes to the callbacks.
  const bool inflateNow =
      !redirectBody && isResponseCompressedLocked() && (!_shouldWaitToInflateCompressedResponses || dataCallbacks);

  size_t readLength = 16384;
  if (_contentLength > 262144) {
    readLength = 262144;
  } else if (_contentLength > 65536) {
    readLength = 65536;
  }
  // Inflated for the callbacks, one read makes at most a bounded number of chunks.
  if (inflateNow && dataCallbacks) readLength = 16384;
  if (isBandwidthThrottled()) readLength = downloadReadLengthUnderLimit(readLength);
  // One buffer for the request's reads: no allocation or clearing per read.
  if (_readBufferSize < readLength) {
    _readBuffer = std::make_unique_for_overwrite<uint8_t[]>(readLength);
    _readBufferSize = readLength;
  }
  uint8_t* raw = _readBuffer.get();
  long n = _readStream->read(raw, readLength);
  if (n < 0) {
    handleStreamError();
    return;
  }
  if (n == 0) return;
  const size_t length = static_cast<size_t>(n);

  _totalBytesRead += static_cast<unsigned long long>(n);
  _lastActivityTime = now();
  incrementBandwidthUsedInLastSecond(static_cast<unsigned long long>(n));
  if (redirectBody) return;

  auto deliver = [this](const uint8_t* bytes, size_t size) {
    auto keep = self();
    auto chunk = std::make_shared<const Data>(bytes, bytes + size);
    _deliveredBodyBytes += size;
    _pendingDeliveryBytes += size;
    if (keep) keep->notifyOnMainThread([keep, chunk] {
      keep->passOnReceivedData(*chunk);
      keep->deliveredToMainThread(chunk->size());
    });
  };
  const bool toFile = !dataCallbacks && _downloadDestinationPath;
  // A file can be written again on a retry: no count in deliveredBodyBytes.
  if (toFile && !writeDownloadBytesLocked(raw, length, nullptr)) return;
  if (!inflateNow) {
    if (dataCallbacks) {
      deliver(raw, length);
    } else if (!toFile) {
      keepInMemoryLocked(raw, length);
    }
    return;
  }
  if (!_dataDecompressor) _dataDecompressor = HCDataDecompressor::decompressor();
  const unsigned long long limit = inflationLimitLocked(_totalBytesRead);
  std::optional<Error> pieceError;
  Error e;
  bool ok = _dataDecompressor->uncompressBytes(
      raw, length,
      [&](const uint8_t* bytes, size_t size) {
        if (_dataDecompressor->totalOut() > limit) {
          pieceError = HCDataDecompressor::inflateLimitError(limit);
          return false;
        }
        if (dataCallbacks) {
          deliver(bytes, size);
          return true;
        }
        if (toFile) {
          Data piece(bytes, bytes + size);
          return writeDownloadBytesLocked(nullptr, 0, &piece);
        }
        return keepInMemoryLocked(bytes, size);
      },
      &e);
  if (ok || _complete) return;  // a write or the memory cap failed the request already
  failWithError(pieceError ? *pieceError : e);
  cancelLoad();
}

unsigned long long HCHTTPRequest::inflationLimitLocked(unsigned long long wireBytes) const {
  if (_maxInflatedResponseSize != 0) return _maxInflatedResponseSize;
  // Kept in memory, the fixed cap is the bound; elsewhere a multiple of the wire.
  if (!_downloadDestinationPath && !wantsDataCallbacksLocked()) return _maxResponseDataSize;
  return plat::inflationLimit(wireBytes);
}

bool HCHTTPRequest::keepInMemoryLocked(const uint8_t* bytes, size_t length) {
  if (!_rawResponseData) _rawResponseData = Data();
  if (_rawResponseData->size() + length > _maxResponseDataSize) {
    failWithError(requestError(
        HCResponseTooLargeErrorType,
        plat::format("The response body is larger than %llu bytes, the most kept in memory: download it to a file",
                     _maxResponseDataSize)));
    cancelLoad();
    return false;
  }
  _rawResponseData->insert(_rawResponseData->end(), bytes, bytes + length);
  return true;
}

void HCHTTPRequest::deliveredToMainThread(size_t bytes) {
  unsigned long long left = _pendingDeliveryBytes.fetch_sub(bytes) - bytes;
  if (left >= kHCMaxPendingDeliveryBytes / 2 || !_readingPaused.exchange(false)) return;
  std::shared_ptr<plat::RunLoop> loop;
  std::string mode;
  {
    std::lock_guard l(_cancelledLock);
    loop = _runLoop;
    mode = _runLoopMode;
  }
  auto keep = self();
  if (keep && loop) loop->perform([keep] { keep->resumeReading(); }, {mode});
}

void HCHTTPRequest::resumeReading() {
  {
    std::lock_guard l(_cancelledLock);
    // The wait was for the main thread, not the server.
    _lastActivityTime = now();
  }
  handleNetworkEvent(HTTPReadStream::kEventHasBytesAvailable);
}

namespace {
// "bytes 11-22/23" -> 11
std::optional<unsigned long long> contentRangeStart(const std::string& value) {
  if (value.compare(0, 6, "bytes ") != 0) return std::nullopt;
  size_t dash = value.find('-', 6);
  if (dash == std::string::npos) return std::nullopt;
  return plat::parseHTTPLength(std::string_view(value).substr(6, dash - 6));
}
}  // namespace

// Opens the download's temporary file: a resumed download continues it only
// when the answer starts at the bytes it holds.
bool HCHTTPRequest::openDownloadFileLocked() {
  bool append = false;
  if (_temporaryFileDownloadPath && _allowResumeForFileDownloads && headerIsSetLocked("Range")) {
    std::optional<unsigned long long> start;
    if (_responseStatusCode == 206) {
      auto range = responseHeaderLocked("Content-Range");
      start = range ? contentRangeStart(*range) : std::nullopt;
      if (start != _partialDownloadSize && start != 0ull) {
        // Appended, these bytes would land at the wrong offset; the held part stays for another try.
        failWithFileErrorLocked(requestError(
            HCFileManagementError,
            plat::format("The partial answer (Content-Range '%@') does not continue the %llu bytes already "
                         "downloaded to '%@'",
                         range.value_or(""), _partialDownloadSize, *_temporaryFileDownloadPath)));
        return false;
      }
    }
    // Only a partial answer from where the file stops continues it; anything else is the whole body.
    append = _partialDownloadSize != 0 && start == _partialDownloadSize;
    if (!append) {
      if (_partialDownloadSize != 0) incrementDownloadSizeBy(-static_cast<long long>(_partialDownloadSize));
      _partialDownloadSize = 0;
    }
  }
  _downloadAppends = append;
  if (append) {
    _fileDownloadOutputStream = ::open(_temporaryFileDownloadPath->c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  } else if (_temporaryFileDownloadPath) {
    _fileDownloadOutputStream =
        ::open(_temporaryFileDownloadPath->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  } else {
    // Made exclusively and private: nobody else can have it open or read it.
    _temporaryFileDownloadPath = uniqueTemporaryPath();
    _fileDownloadOutputStream =
        ::open(_temporaryFileDownloadPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (_fileDownloadOutputStream < 0) {
    int err = errno;
    failWithFileErrorLocked(requestError(
        HCFileManagementError, plat::format("Failed to create file at path '%@'", *_temporaryFileDownloadPath),
        std::make_shared<const Error>(plat::posixError(err, "open", *_temporaryFileDownloadPath))));
    return false;
  }
  return true;
}

// Raw bytes go to the temporary file, inflated ones (`inflated`) to the
// inflated file beside it.
bool HCHTTPRequest::writeDownloadBytesLocked(const uint8_t* raw, size_t rawLength, const Data* inflated) {
  if (_fileDownloadOutputStream < 0 && !openDownloadFileLocked()) return false;
  if (rawLength > 0 && !plat::writeAll(_fileDownloadOutputStream, raw, rawLength)) {
    int err = errno;
    failWithFileErrorLocked(requestError(
        HCFileManagementError, plat::format("Failed to write to file at path '%@'", *_temporaryFileDownloadPath),
        std::make_shared<const Error>(plat::posixError(err, "write", *_temporaryFileDownloadPath))));
    return false;
  }
  if (inflated) {
    if (_inflatedFileDownloadOutputStream < 0) {
      if (!_temporaryUncompressedDataDownloadPath) _temporaryUncompressedDataDownloadPath = uniqueTemporaryPath();
      _inflatedFileDownloadOutputStream =
          ::open(_temporaryUncompressedDataDownloadPath->c_str(),
                 O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (_downloadAppends ? O_APPEND : O_EXCL), 0600);
    }
    if (_inflatedFileDownloadOutputStream < 0 ||
        !plat::writeAll(_inflatedFileDownloadOutputStream, inflated->data(), inflated->size())) {
      int err = errno;
      failWithFileErrorLocked(requestError(
          HCFileManagementError,
          plat::format("Failed to write to file at path '%@'", *_temporaryUncompressedDataDownloadPath),
          std::make_shared<const Error>(plat::posixError(err, "write", *_temporaryUncompressedDataDownloadPath))));
      return false;
    }
  }
  return true;
}

void HCHTTPRequest::failWithFileErrorLocked(Error error) {
  cancelLoad();
  failWithError(error);
}

// A file (or a link) at the destination is replaced by the rename in one
// step, so a crash leaves the old file or the new one. A folder there is
// the user's, with whatever it holds: the download fails and leaves it.
std::optional<Error> HCHTTPRequest::placeDownloadLocked(const std::string& from, const std::string& to) {
  const auto existing = plat::statNoFollow(to);
  if (existing && existing->isDirectory)
    return requestError(HCFileManagementError,
                        plat::format("Failed to move file from '%@' to '%@': a folder is there", from, to));
  return moveDownloadedFileLocked(from, to);
}

std::optional<Error> HCHTTPRequest::moveDownloadedFileLocked(const std::string& from, const std::string& to) {
  auto moveError = [&](int err) {
    return requestError(HCFileManagementError, plat::format("Failed to move file from '%@' to '%@'", from, to),
                        std::make_shared<const Error>(plat::posixError(err, "rename", from)));
  };
  if (::rename(from.c_str(), to.c_str()) != 0) {
    int err = errno;
    if (err != EXDEV) return moveError(err);
    if (!copyIntoPlace(from, to, &err)) return moveError(err);
  }
  // The private temporary file becomes an ordinary file of the user's.
  ::chmod(to.c_str(), 0666 & ~processUmask());
  return std::nullopt;
}

bool HCHTTPRequest::checkCompressedBodyEndedLocked() {
  // No bytes at all is an empty body, labelled or not.
  if (!isResponseCompressedLocked() || _needsRedirect || (_totalBytesRead == 0 && _partialDownloadSize == 0)) return true;
  if (_dataDecompressor) {
    if (_dataDecompressor->isStreamEnded()) return true;
    failWithError(HCDataDecompressor::inflateErrorWithCode(Z_BUF_ERROR));
    return false;
  }
  if (!_downloadDestinationPath && _rawResponseData && !_rawResponseData->empty()) {
    Error e;
    _inflatedResponseData =
        HCDataDecompressor::uncompressData(*_rawResponseData, &e, inflationLimitLocked(_rawResponseData->size()));
    if (!_inflatedResponseData) {
      failWithError(e);
      return false;
    }
  }
  return true;
}

void HCHTTPRequest::handleStreamComplete() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  setStatusTimerLocked(false);
  _downloadComplete = true;
  if (!_responseHead) readResponseHeaders();
  if (_didUseCachedResponse) return;
  std::optional<Error> fileError;
  {
    ProgressLockGuard p;
    _lastBytesSent = _totalBytesSent;
    if (_readStream) _totalBytesSent = _readStream->requestBytesWritten();
    _complete = true;
    if (_contentLength == 0) _contentLength = _totalBytesRead;
    updateProgressIndicators();

    if (!checkCompressedBodyEndedLocked()) {
      cancelLoad();
      return;
    }
    _dataDecompressor.reset();
    if (_didCreateTemporaryPostDataFile && _authenticationNeeded == 0) removeTemporaryUploadFile();

    // 304 says the copy at hand is still good; HEAD has no body to place.
    const bool placeDownload = !(_shouldRedirect && _needsRedirect) && _authenticationNeeded == 0 &&
                               _downloadDestinationPath && !wantsDataCallbacksLocked() && _responseStatusCode != 304 &&
                               _requestMethod != "HEAD";
    // An empty body is a body too: it replaces the old file like any other.
    if (placeDownload && _fileDownloadOutputStream < 0 && !writeDownloadBytesLocked(nullptr, 0, nullptr)) return;
    if (_temporaryFileDownloadPath) {
      for (int* fd : {&_fileDownloadOutputStream, &_inflatedFileDownloadOutputStream}) {
        // A write the kernel could not finish shows at the close.
        if (*fd >= 0 && ::close(*fd) != 0 && !fileError) {
          int err = errno;
          fileError = requestError(HCFileManagementError, plat::format("Failed to write to file at path '%@'",
                                                                      *_temporaryFileDownloadPath),
                                   std::make_shared<const Error>(plat::posixError(err, "close", *_temporaryFileDownloadPath)));
        }
        *fd = -1;
      }
      if (!fileError && placeDownload) {
        if (isResponseCompressedLocked() && (_totalBytesRead != 0 || _partialDownloadSize != 0)) {
          if (_shouldWaitToInflateCompressedResponses && !_temporaryUncompressedDataDownloadPath) {
            // Inflated into a private file first, so a bad body never replaces the old file.
            std::string inflatedPath = uniqueTemporaryPath();
            Error e;
            const unsigned long long limit = inflationLimitLocked(plat::fileSize(*_temporaryFileDownloadPath).value_or(0));
            if (!HCDataDecompressor::uncompressDataFromFile(*_temporaryFileDownloadPath, inflatedPath, &e, limit, true)) {
              ::unlink(inflatedPath.c_str());
              fileError = e;
              // A body that doesn't inflate is of no use to anybody.
              removeTemporaryDownloadFile();
            } else {
              _temporaryUncompressedDataDownloadPath = inflatedPath;
            }
          }
          if (!fileError && _temporaryUncompressedDataDownloadPath) {
            fileError = placeDownloadLocked(*_temporaryUncompressedDataDownloadPath, *_downloadDestinationPath);
            if (!fileError) _temporaryUncompressedDataDownloadPath.reset();
          }
          if (!fileError) removeTemporaryDownloadFile();
        } else {
          fileError = placeDownloadLocked(*_temporaryFileDownloadPath, *_downloadDestinationPath);
          if (!fileError) _temporaryFileDownloadPath.reset();
        }
      }
    }
  }
  {
    std::lock_guard c(classState().connectionsLock);
    if (!_connectionCanBeReused) unscheduleReadStream();
    if (_connectionInfo) {
      _connectionInfo->request.reset();
      _connectionInfo->expires =
          plat::Date{wallNow().secondsSince1970 + _persistentConnectionTimeoutSeconds};
    }
  }
  if (_authenticationNeeded == 0) destroyReadStream();
  if (_downloadCache && !_mainRequest && !fileError && _authenticationNeeded == 0) {
    _downloadCache->storeResponseForRequest(*this, _secondsToCache);
  }
  if (!_needsRedirect && _authenticationNeeded == 0) {
    if (fileError) {
      failWithError(fileError);
    } else {
      requestFinished();
    }
    markAsFinished();
  }
}

// Once per hop of a redirect chain, whatever time-out retries were made.
bool HCHTTPRequest::retryUsingNewConnection() {
  std::lock_guard l(_cancelledLock);
  if (_retriedOnNewConnection) return false;
  // Once body bytes went out or response bytes were handed over, another
  // attempt could repeat a request or hand the same bytes over twice.
  if (_postLength != 0 || _responseHead || _totalBytesRead != 0 || _deliveredBodyBytes != 0) return false;
  _willRetryRequest = true;
  cancelLoad();
  _willRetryRequest = false;
  {
    std::lock_guard c(classState().connectionsLock);
    if (_connectionInfo) {
      _connectionInfo->request.reset();
      dropConnectionRecordLocked(_connectionInfo);
    }
    _connectionInfo.reset();
  }
  _retriedOnNewConnection = true;
  startRequest();
  return true;
}

void HCHTTPRequest::handleStreamError() {
  std::lock_guard l(_cancelledLock);
  std::optional<Error> streamError = _readStream ? _readStream->error() : std::nullopt;
  if (!_error) {
    bool qualifies = streamError && ((streamError->domain() == plat::kPOSIXErrorDomain &&
                                      (streamError->code() == ENOTCONN || streamError->code() == EPIPE)) ||
                                     (streamError->domain() == plat::kCFErrorDomainCFNetwork &&
                                      streamError->code() == plat::kCFURLErrorNetworkConnectionLost));
    if (qualifies && retryUsingNewConnection()) return;
    std::string description = "A connection failure occurred";
    if (streamError && streamError->domain() == plat::kOSStatusErrorDomain && streamError->code() >= -9818 &&
        streamError->code() <= -9800) {
      description = plat::format(
          "%@: SSL problem (Possible causes may include a bad/expired/self-signed certificate, clock set to wrong date)",
          "A connection failure occurred");
    }
    cancelLoad();
    failWithError(requestError(HCConnectionFailureErrorType, description,
                               streamError ? std::make_shared<const Error>(*streamError) : nullptr));
  } else {
    cancelLoad();
  }
  checkRequestStatus();
}

bool HCHTTPRequest::willAskDelegateToConfirmRedirect() {
  std::optional<URL> target;
  {
    std::lock_guard l(_cancelledLock);
    bool ask = (_delegate && _willRedirectSelector != HCSelector::none &&
                _delegate->respondsToSelector(_willRedirectSelector)) ||
               (_queue && _queue->respondsToSelector(HCSelector::requestWillRedirectToURL));
    if (!ask) return false;
    target = _redirectURL;
    _redirectURL.reset();
  }
  auto keep = self();
  if (keep && target && !error() && !_mainRequest) {
    keep->notifyOnMainThread([keep, target] { keep->requestWillRedirectToURL(*target); });
  }
  return true;
}

// --- the response head -------------------------------------------------------------------

void HCHTTPRequest::readResponseHeaders() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  _authenticationNeeded = 0;
  if (!_readStream) return;
  auto head = _readStream->responseHeader();
  if (!head || !head->isHeaderComplete()) return;
  _responseHead = head;
  _responseHeaders = head->allHeaderFields();
  _responseStatusCode = head->statusCode();
  _responseStatusMessage = head->statusLine();

  if (_downloadCache && !_mainRequest && _downloadCache->canUseCachedDataForRequest(*this)) {
    // A 304, or a stored answer that the fresh validators show to be current.
    _downloadCache->updateExpiryForRequest(*this, _secondsToCache);
    destroyReadStream();
    useDataFromCache();
    return;
  }

  if (_responseStatusCode == 401) _authenticationNeeded = 1;
  if (_responseStatusCode == 407) _authenticationNeeded = 2;
  storeBasicCredentialsAfterSuccessLocked();

  parseStringEncodingFromHeaders();

  _responseCookies = HCHTTPCookie::cookiesWithResponseHeaderFields(head->headerFields(), *_url);
  if (_useCookiePersistence) {
    HCHTTPCookieStorage::shared().setCookies(_responseCookies);
    for (const auto& c : _responseCookies) addSessionCookie(c);
  }

  if (!willRedirect()) {
    HCHTTPRequest* target = _mainRequest ? _mainRequest : this;
    const bool announce = _showAccurateProgress && _shouldResetDownloadProgress;
    if (auto length = responseHeaderLocked("Content-Length")) {
      unsigned long long v = 0;
      for (char ch : *length) {
        if (ch < '0' || ch > '9') break;
        v = v * 10 + static_cast<unsigned>(ch - '0');
      }
      if (_mainRequest && _allowCompressedResponse && v == 20 && announce) {
        // Twenty bytes is what a compressed HEAD answer may say of any body.
        _mainRequest->setShowAccurateProgress(false);
        _mainRequest->incrementDownloadSizeBy(1);
      } else {
        target->setContentLength(v);
        if (announce) {
          long long want = static_cast<long long>(v + target->partialDownloadSize());
          long long already;
          {
            std::lock_guard t(target->_cancelledLock);
            already = target->_downloadSizeAnnounced;
          }
          if (want != already) target->incrementDownloadSizeBy(want - already);
        }
      }
    } else if (announce) {
      target->setShowAccurateProgress(false);
      long long already;
      {
        std::lock_guard t(target->_cancelledLock);
        already = target->_downloadSizeAnnounced;
      }
      if (already != 1) target->incrementDownloadSizeBy(1 - already);
    }
  }

  if (_shouldAttemptPersistentConnection) {
    std::optional<std::string> connection = responseHeaderLocked("Connection");
    if (connection) connection = lowercase(*connection);
    bool http10 = head->version() == plat::kHTTPVersion1_0;
    if ((!http10 || connection == std::optional<std::string>("keep-alive")) &&
        connection != std::optional<std::string>("close")) {
      if (auto keepAlive = responseHeaderLocked("Keep-Alive")) {
        std::string v = lowercase(*keepAlive);
        long timeout = 0, max = 0;
        size_t at = 0;
        while (at < v.size() && std::isspace(static_cast<unsigned char>(v[at]))) ++at;
        if (v.compare(at, 8, "timeout=") == 0) at += 8;
        timeout = std::strtol(v.c_str() + at, nullptr, 10);
        size_t m = v.find("max=", at);
        if (m != std::string::npos) max = std::strtol(v.c_str() + m + 4, nullptr, 10);
        if (max > 5) {
          _connectionCanBeReused = true;
          _persistentConnectionTimeoutSeconds = static_cast<double>(timeout);
        }
      } else {
        _connectionCanBeReused = true;
      }
    }
  }

  if (keep && !_error && !_mainRequest) {
    Dictionary copy = _responseHeaders;
    keep->notifyOnMainThread([keep, copy] { keep->requestReceivedResponseHeaders(copy); });
  }
}

bool HCHTTPRequest::isCrossOriginRedirectLocked(const URL& to) const {
  // Another scheme (https to http would send them in clear) or port is another origin.
  return !_url || !plat::isSameOrigin(to, *_url);
}

bool HCHTTPRequest::willRedirect() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  const int status = _responseStatusCode;
  auto location = responseHeaderLocked("Location");
  if (!_shouldRedirect || !location || (status != 301 && status != 302 && status != 303 && status != 307)) return false;
  auto target = URL::resolve(*location, *_url);
  // A Location that is no URL can't be followed: the answer is the response.
  if (!target) return false;
  if ((target->scheme() != "http" && target->scheme() != "https") || target->host().empty()) {
    // url() stays the last address that was fetched.
    failWithError(requestError(HCUnableToCreateRequestErrorType,
                               plat::format("The request was redirected to '%@', which is not an http or https URL",
                                            target->absoluteString())));
    return false;
  }

  if (keep && !_error && !_mainRequest) keep->notifyOnMainThread([keep] { keep->requestRedirected(); });

  if (status == 307 || (_shouldUseRFC2616RedirectBehaviour && status != 303)) {
    applyCookieHeader();
  } else {
    setRequestMethod("GET");
    _postBody.reset();
    _compressedPostBody.reset();
    _postLength = 0;
    std::optional<std::string> agent, accept;
    if (auto e = findIgnoringCase(_requestHeaders, "User-Agent")) agent = e->second.string();
    if (auto e = findIgnoringCase(_requestHeaders, "Accept")) accept = e->second.string();
    _requestHeaders = Dictionary();
    if (agent) _requestHeaders.set("User-Agent", *agent);
    if (accept) _requestHeaders.set("Accept", *accept);
    _haveBuiltRequestHeaders = false;
  }
  if (isCrossOriginRedirectLocked(*target)) {
    // What the first host was given is not for the next one.
    removeIgnoringCase(_requestHeaders, "Authorization");
    removeIgnoringCase(_requestHeaders, "Cookie");
    _droppedCredentialsOnRedirect = true;
  }
  _redirectURL = target;
  _needsRedirect = true;
  _requestCookies.clear();
  return true;
}

void HCHTTPRequest::parseStringEncodingFromHeaders() {
  std::lock_guard l(_cancelledLock);
  HCStringEncoding encoding = 0;
  std::string mime;
  parseMimeType(&mime, &encoding, responseHeaderLocked("Content-Type"));
  _responseEncoding = encoding == 0 ? _defaultResponseEncoding : encoding;
}

// Answering 401 and 407 challenges: HCHTTPAuthentication.cpp.

// --- status timer, time-out and retries ---------------------------------------------------

void HCHTTPRequest::updateStatus() {
  auto keep = self();
  NotificationBatch batch;
  checkRequestStatus();
  std::lock_guard l(_cancelledLock);
  if (!_inProgress || _complete) setStatusTimerLocked(false);
}

bool HCHTTPRequest::shouldTimeOut() {
  std::lock_guard l(_cancelledLock);
  if (!_readStream || !_readStreamIsScheduled || _lastActivityTime == 0 || _timeOutSeconds <= 0) return false;
  // Waiting for the main thread to take the data is not the server's silence.
  if (_readingPaused) return false;
  double last = std::max(_lastActivityTime, _readStream->lastActivityTime());
  double idle = now() - last;
  if (idle <= _timeOutSeconds) return false;
  if (_postLength == 0) return true;
  if (_uploadBufferSize > 0 && _totalBytesSent > _uploadBufferSize) return true;
  return idle > _timeOutSeconds * 1.5;
}

void HCHTTPRequest::checkRequestStatus() {
  auto keep = self();
  std::unique_lock l(_cancelledLock);
  if (_cancelled || _complete) return;
  performThrottling();
  if (shouldTimeOut()) {
    // Bytes already handed to the data callbacks can't be taken back: no retry then.
    if (_retryCount < _numberOfTimesToRetryOnTimeout && _deliveredBodyBytes == 0) {
      updatePartialDownloadSize();
      if (_partialDownloadSize != 0 && _request) {
        std::string range = plat::format("bytes=%llu-", _partialDownloadSize);
        _request->setHeaderFieldValue("Range", range);
        // The answer is appended only when the headers say a range was asked for.
        removeIgnoringCase(_requestHeaders, "Range");
        _requestHeaders.set("Range", range);
      }
      _retryCount++;
      // The silent connection is closed and forgotten, not kept for reuse.
      _connectionCanBeReused = false;
      destroyReadStream();
      {
        std::lock_guard c(classState().connectionsLock);
        if (_connectionInfo) {
          _connectionInfo->request.reset();
          dropConnectionRecordLocked(_connectionInfo);
        }
        _connectionInfo.reset();
      }
      if (_fileDownloadOutputStream >= 0) ::close(_fileDownloadOutputStream);
      if (_inflatedFileDownloadOutputStream >= 0) ::close(_inflatedFileDownloadOutputStream);
      _fileDownloadOutputStream = -1;
      _inflatedFileDownloadOutputStream = -1;
      _dataDecompressor.reset();
      l.unlock();
      startRequest();
      return;
    }
    failWithError(HCRequestTimedOutError());
    cancelLoad();
    _complete = true;
    return;
  }
  if (_readStream) {
    if (_postLength != 0) {
      _lastBytesSent = _totalBytesSent;
      _totalBytesSent = _readStream->requestBytesWritten();
      if (_totalBytesSent > _lastBytesSent) _lastActivityTime = now();
    }
    updateProgressIndicators();
  }
}

void HCHTTPRequest::updatePartialDownloadSize() {
  std::lock_guard l(_cancelledLock);
  if (!_allowResumeForFileDownloads || !_downloadDestinationPath || !_temporaryFileDownloadPath ||
      !plat::fileExists(*_temporaryFileDownloadPath)) {
    return;
  }
  auto size = plat::fileSize(*_temporaryFileDownloadPath);
  if (!size) {
    int err = errno;
    _partialDownloadSize = 0;
    failWithError(requestError(
        HCFileManagementError, plat::format("Failed to get attributes for file at path '%@'", *_temporaryFileDownloadPath),
        std::make_shared<const Error>(plat::posixError(err, "stat", *_temporaryFileDownloadPath))));
    return;
  }
  _partialDownloadSize = *size;
}

void HCHTTPRequest::cancelLoad() {
  std::lock_guard l(_cancelledLock);
  cancelPACFetchLocked();
  destroyReadStream();
  if (_rawResponseData) {
    if (!_complete) _rawResponseData.reset();
  } else if (_temporaryFileDownloadPath) {
    if (_fileDownloadOutputStream >= 0) ::close(_fileDownloadOutputStream);
    if (_inflatedFileDownloadOutputStream >= 0) ::close(_inflatedFileDownloadOutputStream);
    _fileDownloadOutputStream = -1;
    _inflatedFileDownloadOutputStream = -1;
    // A failure marks the request complete before it gets here: only a
    // download that ended well keeps its files.
    if (!_complete || _error) {
      if (!_allowResumeForFileDownloads) removeTemporaryDownloadFile();
      removeTemporaryUncompressedDownloadFile();
    }
  }
  if (_authenticationNeeded == 0 && !_willRetryRequest && _didCreateTemporaryPostDataFile) {
    removeTemporaryUploadFile();
    _didCreateTemporaryPostDataFile = false;
  }
  // The gzipped copy of a caller's body file is ours alone.
  if (_authenticationNeeded == 0 && !_willRetryRequest && _compressedPostBodyFilePath) {
    ::unlink(_compressedPostBodyFilePath->c_str());
    _compressedPostBodyFilePath.reset();
  }
}

// --- temporary files -----------------------------------------------------------------------

bool HCHTTPRequest::removeTemporaryDownloadFile() {
  std::lock_guard l(_cancelledLock);
  if (!_temporaryFileDownloadPath) return true;
  Error e;
  bool ok = removeFileAtPath(*_temporaryFileDownloadPath, &e);
  if (!ok) failWithError(e);
  _temporaryFileDownloadPath.reset();
  return ok;
}

bool HCHTTPRequest::removeTemporaryUncompressedDownloadFile() {
  std::lock_guard l(_cancelledLock);
  if (!_temporaryUncompressedDataDownloadPath) return true;
  Error e;
  bool ok = removeFileAtPath(*_temporaryUncompressedDataDownloadPath, &e);
  if (!ok) failWithError(e);
  _temporaryUncompressedDataDownloadPath.reset();
  return ok;
}

bool HCHTTPRequest::removeTemporaryUploadFile() {
  std::lock_guard l(_cancelledLock);
  if (_compressedPostBodyFilePath) {
    ::unlink(_compressedPostBodyFilePath->c_str());
    _compressedPostBodyFilePath.reset();
  }
  if (!_postBodyFilePath) return true;
  Error e;
  bool ok = removeFileAtPath(*_postBodyFilePath, &e);
  if (!ok) failWithError(e);
  _postBodyFilePath.reset();
  return ok;
}

bool HCHTTPRequest::removeFileAtPath(const std::string& path, Error* error) {
  if (!plat::statNoFollow(path).has_value()) return true;
  Error removal;
  if (!plat::removeTree(path, &removal)) {
    plat::setError(error, requestError(HCFileManagementError, plat::format("Failed to delete file at path '%@'", path),
                                       std::make_shared<const Error>(removal)));
    return false;
  }
  return true;
}

void HCHTTPRequest::expirePersistentConnections() {
  ClassState& cs = classState();
  std::lock_guard c(cs.connectionsLock);
  double t = wallNow().secondsSince1970;
  for (size_t i = 0; i < cs.persistentConnectionsPool.size();) {
    auto& rec = cs.persistentConnectionsPool[i];
    if (!rec->request && rec->expires && rec->expires->secondsSince1970 - t <= 0) {
      if (rec->stream) rec->stream->close();
      plat::HTTPReadStream::closeIdleConnections(rec->id);
      cs.persistentConnectionsPool.erase(cs.persistentConnectionsPool.begin() + static_cast<long>(i));
      continue;
    }
    ++i;
  }
}

void hchttp::dropConnectionRecordLocked(const std::shared_ptr<HCConnectionRecord>& record) {
  if (!record) return;
  std::erase(classState().persistentConnectionsPool, record);
  plat::HTTPReadStream::closeIdleConnections(record->id);
}

std::vector<HCConnectionRecord> HCHTTPRequest::persistentConnections() {
  ClassState& cs = classState();
  std::lock_guard c(cs.connectionsLock);
  std::vector<HCConnectionRecord> out;
  for (const auto& r : cs.persistentConnectionsPool) out.push_back(*r);
  return out;
}
