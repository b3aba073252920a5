// The request object, its properties, the headers and body it sends, how it
// is run, and how it tells the outside world (the main-thread rule).
#include "Framework/HCHTTP/HCHTTPRequest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <future>

#include "Framework/HCHTTP/HCDataCompressor.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/foundation/log.h"
#include "platform/foundation/thread.h"

using plat::Data;
using plat::Dictionary;
using plat::Error;
using plat::URL;

namespace hchttp {

ClassState& classState() {
  static ClassState state;
  return state;
}

Error requestError(long code, std::string description, std::shared_ptr<const Error> underlying) {
  return Error::withDescription(NetworkRequestErrorDomain, code, std::move(description), std::move(underlying));
}

const Dictionary::Entry* findIgnoringCase(const Dictionary& d, std::string_view name) {
  for (const auto& e : d) {
    if (plat::equalsIgnoringCase(e.first, name)) return &e;
  }
  return nullptr;
}

void removeIgnoringCase(Dictionary& d, std::string_view name) {
  std::vector<std::string> doomed;
  for (const auto& e : d) {
    if (plat::equalsIgnoringCase(e.first, name)) doomed.push_back(e.first);
  }
  for (const auto& k : doomed) d.remove(k);
}

std::string lowercase(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string uniqueTemporaryPath() {
  static std::atomic<uint64_t> counter{0};
  uint8_t r[16];
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  ssize_t got = fd >= 0 ? ::read(fd, r, sizeof r) : -1;
  if (fd >= 0) ::close(fd);
  if (got != static_cast<ssize_t>(sizeof r)) {
    uint64_t a = static_cast<uint64_t>(plat::currentClock().monotonic() * 1e9) ^ (static_cast<uint64_t>(getpid()) << 32);
    uint64_t b = ++counter;
    memcpy(r, &a, 8);
    memcpy(r + 8, &b, 8);
  }
  r[6] = static_cast<uint8_t>((r[6] & 0x0F) | 0x40);
  r[8] = static_cast<uint8_t>((r[8] & 0x3F) | 0x80);
  std::string id = plat::format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", r[0], r[1],
                                r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15]);
  return plat::pathJoin(plat::temporaryDirectory(), id);
}

}  // namespace hchttp

using namespace hchttp;

// --- the shared errors -------------------------------------------------------
// Never destroyed: the network thread lives as long as the process and may
// still fail a request with one of them while the statics are torn down.

const Error& HCHTTPRequest::HCRequestTimedOutError() {
  static const Error& e = *new Error(requestError(HCRequestTimedOutErrorType, "The request timed out"));
  return e;
}
const Error& HCHTTPRequest::HCAuthenticationError() {
  static const Error& e = *new Error(requestError(HCAuthenticationErrorType, "Authentication needed"));
  return e;
}
const Error& HCHTTPRequest::HCRequestCancelledError() {
  static const Error& e = *new Error(requestError(HCRequestCancelledErrorType, "The request was cancelled"));
  return e;
}
const Error& HCHTTPRequest::HCUnableToCreateRequestError() {
  static const Error& e =
      *new Error(requestError(HCUnableToCreateRequestErrorType, "Unable to create request (bad url?)"));
  return e;
}
const Error& HCHTTPRequest::HCTooMuchRedirectionError() {
  static const Error& e =
      *new Error(requestError(HCTooMuchRedirectionErrorType,
                              "The request failed because it redirected too many times"));
  return e;
}

// --- making and releasing ------------------------------------------------------

HCHTTPRequest::HCHTTPRequest(std::optional<URL> url) {
  classState();  // class set-up before any request exists
  _timeOutSeconds = defaultTimeOutSeconds();
  _url = std::move(url);
}

HCHTTPRequest::~HCHTTPRequest() {
  // Nobody else holds the request now; the lock only satisfies the helpers.
  std::lock_guard l(_cancelledLock);
  _authenticationNeeded = 0;
  _request.reset();
  _clientCertificateIdentity.reset();
  cancelLoad();
  _redirectURL.reset();
  setStatusTimerLocked(false);
  releaseBlocksOnMainThread();
}

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::requestWithURL(std::optional<URL> url) {
  return std::make_shared<HCHTTPRequest>(std::move(url));
}

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::requestWithURL(std::string_view url) {
  return requestWithURL(URL::parse(url));
}

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::self() {
  // Null while the request is being destroyed (or was never shared).
  return std::static_pointer_cast<HCHTTPRequest>(weak_from_this().lock());
}

void HCHTTPRequest::releaseBlocksOnMainThread() {
  struct Blocks {
    Block completion, failure, started;
    HeadersBlock headers;
    ProgressBlock received, sent;
    SizeBlock downloadSize, uploadSize;
    DataBlock data;
    Block proxyAuth, auth, redirected;
  };
  auto b = std::make_shared<Blocks>();
  std::lock_guard l(_cancelledLock);
  b->completion = std::move(_completionBlock);
  b->failure = std::move(_failureBlock);
  b->started = std::move(_startedBlock);
  b->headers = std::move(_headersReceivedBlock);
  b->received = std::move(_bytesReceivedBlock);
  b->sent = std::move(_bytesSentBlock);
  b->downloadSize = std::move(_downloadSizeIncrementedBlock);
  b->uploadSize = std::move(_uploadSizeIncrementedBlock);
  b->data = std::move(_dataReceivedBlock);
  b->proxyAuth = std::move(_proxyAuthenticationNeededBlock);
  b->auth = std::move(_authenticationNeededBlock);
  b->redirected = std::move(_requestRedirectedBlock);
  _completionBlock = nullptr;
  _failureBlock = nullptr;
  _startedBlock = nullptr;
  _headersReceivedBlock = nullptr;
  _bytesReceivedBlock = nullptr;
  _bytesSentBlock = nullptr;
  _downloadSizeIncrementedBlock = nullptr;
  _uploadSizeIncrementedBlock = nullptr;
  _dataReceivedBlock = nullptr;
  _proxyAuthenticationNeededBlock = nullptr;
  _authenticationNeededBlock = nullptr;
  _requestRedirectedBlock = nullptr;
  // The blocks may hold objects of the main thread: they go away there.
  performOnMainThread([b = std::move(b)]() mutable { b.reset(); });
}

// --- guarded properties ----------------------------------------------------------

std::optional<URL> HCHTTPRequest::url() const {
  std::lock_guard l(_cancelledLock);
  return _url;
}

void HCHTTPRequest::setURL(std::optional<URL> url) {
  std::lock_guard l(_cancelledLock);
  if (url == _url) return;
  _url = std::move(url);
  // The message belongs to the old URL; main() makes a new one.
  _request.reset();
  _redirectURL.reset();
}

std::string HCHTTPRequest::requestMethod() const {
  std::lock_guard l(_cancelledLock);
  return _requestMethod;
}

void HCHTTPRequest::setRequestMethod(std::string method) {
  std::lock_guard l(_cancelledLock);
  if (method == _requestMethod) return;
  _requestMethod = std::move(method);
  if (_requestMethod == "POST" || _requestMethod == "PUT" || (_postBody && !_postBody->empty()) || _postBodyFilePath) {
    _shouldAttemptPersistentConnection = false;
  }
}

HCHTTPRequestDelegate* HCHTTPRequest::delegate() const {
  std::lock_guard l(_cancelledLock);
  return _delegate;
}
void HCHTTPRequest::setDelegate(HCHTTPRequestDelegate* delegate) {
  std::lock_guard l(_cancelledLock);
  _delegate = delegate;
}
std::shared_ptr<HCHTTPRequestQueue> HCHTTPRequest::queue() const {
  std::lock_guard l(_cancelledLock);
  return _queue;
}
void HCHTTPRequest::setQueue(std::shared_ptr<HCHTTPRequestQueue> queue) {
  std::lock_guard l(_cancelledLock);
  if (queue != _queue) _queue = std::move(queue);
}
HCProgressDelegate* HCHTTPRequest::uploadProgressDelegate() const {
  std::lock_guard l(_cancelledLock);
  return _uploadProgressDelegate;
}
void HCHTTPRequest::setUploadProgressDelegate(HCProgressDelegate* delegate) {
  std::lock_guard l(_cancelledLock);
  _uploadProgressDelegate = delegate;
  if (delegate && delegate->respondsToSetMaxValue()) {
    performOnMainThread([delegate] { delegate->setMaxValue(1.0); });
  }
}
HCProgressDelegate* HCHTTPRequest::downloadProgressDelegate() const {
  std::lock_guard l(_cancelledLock);
  return _downloadProgressDelegate;
}
void HCHTTPRequest::setDownloadProgressDelegate(HCProgressDelegate* delegate) {
  std::lock_guard l(_cancelledLock);
  _downloadProgressDelegate = delegate;
  if (delegate && delegate->respondsToSetMaxValue()) {
    performOnMainThread([delegate] { delegate->setMaxValue(1.0); });
  }
}

#define HC_BLOCK_SETTER(Setter, field, Type) \
  void HCHTTPRequest::Setter(Type b) {       \
    std::lock_guard l(_cancelledLock);       \
    field = std::move(b);                    \
  }
HC_BLOCK_SETTER(setStartedBlock, _startedBlock, Block)
HC_BLOCK_SETTER(setHeadersReceivedBlock, _headersReceivedBlock, HeadersBlock)
HC_BLOCK_SETTER(setCompletionBlock, _completionBlock, Block)
HC_BLOCK_SETTER(setFailedBlock, _failureBlock, Block)
HC_BLOCK_SETTER(setBytesReceivedBlock, _bytesReceivedBlock, ProgressBlock)
HC_BLOCK_SETTER(setBytesSentBlock, _bytesSentBlock, ProgressBlock)
HC_BLOCK_SETTER(setDownloadSizeIncrementedBlock, _downloadSizeIncrementedBlock, SizeBlock)
HC_BLOCK_SETTER(setUploadSizeIncrementedBlock, _uploadSizeIncrementedBlock, SizeBlock)
HC_BLOCK_SETTER(setDataReceivedBlock, _dataReceivedBlock, DataBlock)
HC_BLOCK_SETTER(setAuthenticationNeededBlock, _authenticationNeededBlock, Block)
HC_BLOCK_SETTER(setProxyAuthenticationNeededBlock, _proxyAuthenticationNeededBlock, Block)
HC_BLOCK_SETTER(setRequestRedirectedBlock, _requestRedirectedBlock, Block)
#undef HC_BLOCK_SETTER

std::optional<Error> HCHTTPRequest::error() const {
  std::lock_guard l(_cancelledLock);
  return _error;
}

std::optional<int64_t> HCHTTPRequest::connectionID() const {
  std::lock_guard l(_cancelledLock);
  std::lock_guard c(classState().connectionsLock);
  if (!_connectionInfo) return std::nullopt;
  return _connectionInfo->id;
}

// --- headers -----------------------------------------------------------------------

void HCHTTPRequest::addRequestHeader(const std::string& name, const std::string& value) {
  std::lock_guard l(_cancelledLock);
  _requestHeaders.set(name, value);
}

bool HCHTTPRequest::headerIsSetLocked(std::string_view name) const {
  return findIgnoringCase(_requestHeaders, name) != nullptr;
}

void HCHTTPRequest::buildRequestHeaders() {
  std::lock_guard l(_cancelledLock);
  if (_haveBuiltRequestHeaders) return;
  _haveBuiltRequestHeaders = true;
  if (_mainRequest) {
    for (const auto& [k, v] : _mainRequest->requestHeaders()) _requestHeaders.set(k, v);
    return;
  }
  applyCookieHeader();
  if (!headerIsSetLocked("User-Agent")) {
    std::optional<std::string> agent = _userAgentString ? _userAgentString : defaultUserAgentString();
    if (agent) _requestHeaders.set("User-Agent", *agent);
  }
  if (_allowCompressedResponse) _requestHeaders.set("Accept-Encoding", "gzip");
  if (_shouldCompressRequestBody) _requestHeaders.set("Content-Encoding", "gzip");
  updatePartialDownloadSize();
  if (_partialDownloadSize != 0) {
    removeIgnoringCase(_requestHeaders, "Range");
    _requestHeaders.set("Range", plat::format("bytes=%llu-", _partialDownloadSize));
  }
}

void HCHTTPRequest::applyCookieHeader() {
  std::lock_guard l(_cancelledLock);
  if (_useCookiePersistence && _url) {
    for (auto& c : HCHTTPCookieStorage::shared().cookiesForURL(*_url)) _requestCookies.push_back(std::move(c));
  }
  std::vector<HCHTTPCookie> cookies = _mainRequest ? _mainRequest->requestCookies() : _requestCookies;
  if (cookies.empty()) return;
  std::string header;
  for (const auto& c : cookies) {
    header = header.empty() ? plat::format("%@=%@", c.name, c.value) : plat::format("%@; %@=%@", header, c.name, c.value);
  }
  _requestHeaders.set("Cookie", header);
}

void HCHTTPRequest::addBasicAuthenticationHeaderWithUsername(const std::string& username, const std::string& password) {
  std::string pair = username + ":" + password;
  addRequestHeader("Authorization", "Basic " + base64forData(Data(pair.begin(), pair.end())));
}

// applyAuthorizationHeader is with the rest of authentication, in HCHTTPAuthentication.cpp.

// --- body ------------------------------------------------------------------------

void HCHTTPRequest::setupPostBody() {
  std::lock_guard l(_cancelledLock);
  if (_shouldStreamPostDataFromDisk) {
    if (!_postBodyFilePath) {
      _postBodyFilePath = uniqueTemporaryPath();
      _didCreateTemporaryPostDataFile = true;
    }
    if (_postBodyWriteStream < 0 && !_postBodyError) {
      _postBodyWriteStream = ::open(_postBodyFilePath->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (_postBodyWriteStream < 0) {
        int err = errno;
        _postBodyError = requestError(HCFileManagementError,
                                      plat::format("Failed to create file at path '%@'", *_postBodyFilePath),
                                      std::make_shared<const Error>(plat::posixError(err, "open", *_postBodyFilePath)));
      }
    }
  } else if (!_postBody) {
    _postBody = Data();
  }
}

void HCHTTPRequest::appendPostData(const Data& data) {
  std::lock_guard l(_cancelledLock);
  setupPostBody();
  if (data.empty()) return;
  if (_shouldStreamPostDataFromDisk) {
    // A body that lost bytes on the way to its file must not go out as if whole.
    if (_postBodyWriteStream >= 0 && !_postBodyError && !plat::writeAll(_postBodyWriteStream, data.data(), data.size())) {
      int err = errno;
      _postBodyError = requestError(HCFileManagementError,
                                    plat::format("Failed to write to file at path '%@'", *_postBodyFilePath),
                                    std::make_shared<const Error>(plat::posixError(err, "write", *_postBodyFilePath)));
    }
  } else {
    _postBody->insert(_postBody->end(), data.begin(), data.end());
  }
}

void HCHTTPRequest::appendPostDataFromFile(const std::string& path) {
  std::lock_guard l(_cancelledLock);
  setupPostBody();
  auto readError = [&](const char* what) {
    int err = errno;
    if (!_postBodyError)
      _postBodyError = requestError(HCFileManagementError, plat::format("Failed to read from file at path '%@'", path),
                                    std::make_shared<const Error>(plat::posixError(err, what, path)));
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return readError("open");
  Data chunk(262144);
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readError("read");
    if (n <= 0) break;
    appendPostData(Data(chunk.begin(), chunk.begin() + n));
  }
  ::close(fd);
}


void HCHTTPRequest::buildPostBody() {
  std::lock_guard l(_cancelledLock);
  if (_haveBuiltPostBody) return;
  if (_postBodyWriteStream >= 0) {
    if (::close(_postBodyWriteStream) != 0 && !_postBodyError) {
      int err = errno;
      _postBodyError = requestError(HCFileManagementError,
                                    plat::format("Failed to write to file at path '%@'", *_postBodyFilePath),
                                    std::make_shared<const Error>(plat::posixError(err, "close", *_postBodyFilePath)));
    }
    _postBodyWriteStream = -1;
  }
  if (_postBodyError) {
    failWithError(_postBodyError);
    return;
  }
  if (_postBodyFilePath && _shouldCompressRequestBody && !_compressedPostBodyFilePath) {
    // Labelled gzip, so gzip it must be: compressed into a private file beside the others.
    std::string gz = uniqueTemporaryPath();
    Error e;
    if (!HCDataCompressor::compressDataFromFile(*_postBodyFilePath, gz, &e, true)) {
      ::unlink(gz.c_str());
      failWithError(e);
      return;
    }
    _compressedPostBodyFilePath = gz;
  }
  if (_postBodyFilePath) {
    const std::string& sent = _compressedPostBodyFilePath ? *_compressedPostBodyFilePath : *_postBodyFilePath;
    auto st = plat::fileSize(sent);
    if (!st) {
      int err = errno;
      failWithError(requestError(HCFileManagementError,
                                 plat::format("Failed to get attributes for file at path '%@'", sent),
                                 std::make_shared<const Error>(plat::posixError(err, "stat", sent))));
      return;
    }
    _postLength = *st;
  } else {
    if (_shouldCompressRequestBody && _postBody) {
      Error e;
      auto z = HCDataCompressor::compressData(*_postBody, &e);
      if (!z) {
        failWithError(e);
        return;
      }
      _compressedPostBody = std::move(z);
      _postLength = _compressedPostBody->size();
    } else {
      _postLength = _postBody ? _postBody->size() : 0;
    }
  }
  if (_postLength != 0) {
    if (_requestMethod == "GET" || _requestMethod == "DELETE" || _requestMethod == "HEAD") setRequestMethod("POST");
    _requestHeaders.set("Content-Length", plat::format("%llu", _postLength));
  }
  _haveBuiltPostBody = true;
}

// --- running ---------------------------------------------------------------------

void HCHTTPRequest::startSynchronous() {
  auto keep = self();
  auto loop = plat::RunLoop::current();
  std::string mode;
  {
    std::lock_guard l(_cancelledLock);
    _isSynchronous = true;
    _runLoopMode = kHCHTTPRequestRunLoopMode;
    mode = _runLoopMode;
    _inProgress = true;
  }
  // Keeps the mode from running dry between the stream's own sources.
  auto keepAlive = loop->addTimer(1e9, 1e9, true, [] {}, {mode});
  // Started inside the handling of another request's event, this one's loop
  // must not hold that one's notifications back until it ends.
  NotificationBatch::Suspend ownLoop;
  if (!isCancelled() && !complete()) {
    main();
    while (!complete()) loop->runInMode(mode, 1e10, true);
  }
  loop->remove(keepAlive);
  _inProgress = false;
}

namespace {
// A request runs on the network thread and reports later: it must be held by
// a std::shared_ptr (requestWithURL) or it could never be reached again.
[[noreturn]] void throwNotShared() {
  throw plat::Exception("NSInternalInconsistencyException",
                        "HCHTTPRequest: an asynchronous request must be owned by a std::shared_ptr (requestWithURL)");
}
}  // namespace

void HCHTTPRequest::startAsynchronous() {
  auto keep = self();
  if (!keep) throwNotShared();
  sharedQueue().addOperation(keep);
}

void HCHTTPRequest::start() {
  auto keep = self();
  if (!keep) throwNotShared();
  _inProgress = true;
  stateDidChange();
  threadForRequest(this)->perform([keep] { keep->main(); }, {plat::kDefaultRunLoopMode});
}

bool HCHTTPRequest::isExecuting() const { return _inProgress; }
bool HCHTTPRequest::isFinished() const { return _finished; }
bool HCHTTPRequest::isCancelled() const { return _cancelled; }

void HCHTTPRequest::main() {
  auto keep = self();
  NotificationBatch batch;
  std::unique_lock l(_cancelledLock);
  try {
    if (_error) {
      _complete = true;
      markAsFinished();
      return;
    }
    _complete = false;
    _didUseCachedResponse = false;
    if (!_url) {
      failWithError(HCUnableToCreateRequestError());
      return;
    }
    if (!_mainRequest) {
      buildPostBody();
      if (_error) return;
    }
    if (_requestMethod != "GET") _downloadCache = nullptr;
    if (_downloadCache && !_mainRequest) {
      if (_cachePolicy == CacheUseDefault) _cachePolicy = _downloadCache->defaultCachePolicy();
      if (_downloadCache->canUseCachedDataForRequest(*this)) {
        useDataFromCache();
        return;
      }
      if (_cachePolicy & CacheOnly) {
        failWithoutCachedResponseLocked();
        return;
      }
      if (_cachePolicy & (CacheRevalidateWhenStale | CacheAlwaysRevalidate)) {
        if (auto stored = _downloadCache->cachedResponseHeadersForURL(*_url)) {
          if (const auto* e = findIgnoringCase(*stored, "Etag"); e && e->second.isString())
            addRequestHeader("If-None-Match", e->second.string());
          if (const auto* e = findIgnoringCase(*stored, "Last-Modified"); e && e->second.isString())
            addRequestHeader("If-Modified-Since", e->second.string());
        }
      }
    }
    _request.reset();
    _request = plat::HTTPMessage::createRequest(_requestMethod, *_url,
                                                _useHTTPVersionOne ? plat::kHTTPVersion1_0 : plat::kHTTPVersion1_1);
    if (!_request) {
      failWithError(HCUnableToCreateRequestError());
      return;
    }
    if (_mainRequest) _mainRequest->buildRequestHeaders();
    buildRequestHeaders();
    if (_error) return;
    applyAuthorizationHeader();
    for (const auto& [name, value] : _requestHeaders) {
      // A name or value that would split the request is refused by the message.
      if (!_request->setHeaderFieldValue(name, value.string())) {
        failWithError(HCUnableToCreateRequestError());
        return;
      }
    }
    if (configureProxies()) startRequest();
  } catch (const std::exception& e) {
    failWithExceptionLocked(e);
  }
}

void HCHTTPRequest::failWithExceptionLocked(const std::exception& e) {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  Dictionary info, user;
  if (const auto* pe = dynamic_cast<const plat::Exception*>(&e)) {
    info = Dictionary{{plat::kLocalizedDescriptionKey, pe->name()}, {kLocalizedFailureReasonErrorKey, pe->reason()}};
    user = pe->userInfo();
  } else {
    info = Dictionary{{plat::kLocalizedDescriptionKey, std::string("std::exception")},
                      {kLocalizedFailureReasonErrorKey, std::string(e.what())}};
  }
  plat::log("HCHTTPRequest: the exchange failed on an exception: %@", std::string(e.what()));
  auto underlying = std::make_shared<const Error>(NetworkRequestErrorDomain, HCUnhandledExceptionError, user);
  failWithError(Error(NetworkRequestErrorDomain, HCUnhandledExceptionError, info, underlying));
  cancelLoad();
}

void HCHTTPRequest::cancel() {
  _cancelRequested = true;
  auto keep = self();
  if (!keep) return;
  threadForRequest(this)->perform([keep] { keep->cancelOnRequestThread(); }, {plat::kDefaultRunLoopMode});
}

void HCHTTPRequest::cancelOnRequestThread() {
  auto keep = self();
  NotificationBatch batch;
  std::lock_guard l(_cancelledLock);
  if (_cancelled || _complete) return;
  failWithError(HCRequestCancelledError());
  _complete = true;
  cancelLoad();
  _cancelled = true;
  // A synchronous wait on another thread looks at `complete` again.
  if (_isSynchronous && _runLoop) _runLoop->perform([] {}, {_runLoopMode});
  stateDidChange();
}

void HCHTTPRequest::clearDelegatesAndCancel() {
  {
    std::lock_guard l(_cancelledLock);
    _delegate = nullptr;
    _queue.reset();
    _downloadProgressDelegate = nullptr;
    _uploadProgressDelegate = nullptr;
    releaseBlocksOnMainThread();
  }
  cancel();
}

void HCHTTPRequest::redirectToURL(const URL& url) {
  {
    std::lock_guard l(_cancelledLock);
    _redirectURL = url;
  }
  auto keep = self();
  if (!keep) return;
  threadForRequest(this)->perform([keep] { keep->performRedirect(); }, {plat::kDefaultRunLoopMode});
}

void HCHTTPRequest::performRedirect() {
  auto keep = self();
  {
    std::lock_guard l(_cancelledLock);
    if (_cancelled) return;
    setURL(_redirectURL);
    _complete = true;
    _needsRedirect = false;
    _redirectCount++;
    if (_redirectCount > 5) {
      failWithError(HCTooMuchRedirectionError());
      _complete = true;
      return;
    }
    // The Cookie header of a 307 hop was kept as built; make it for the new host.
    if (_droppedCredentialsOnRedirect && _haveBuiltRequestHeaders) applyCookieHeader();
    // Each hop may meet a kept connection the server has just closed.
    _retriedOnNewConnection = false;
  }
  main();
}

// --- response accessors -------------------------------------------------------------

std::optional<std::string> HCHTTPRequest::responseHeaderLocked(std::string_view name) const {
  if (const auto* e = findIgnoringCase(_responseHeaders, name)) return e->second.string();
  return std::nullopt;
}

std::optional<std::string> HCHTTPRequest::responseHeader(std::string_view name) const {
  std::lock_guard l(_cancelledLock);
  return responseHeaderLocked(name);
}

bool HCHTTPRequest::isResponseCompressedLocked() const {
  auto v = responseHeaderLocked("Content-Encoding");
  return v && v->find("gzip") != std::string::npos;
}

bool HCHTTPRequest::isResponseCompressed() const {
  std::lock_guard l(_cancelledLock);
  return isResponseCompressedLocked();
}

std::optional<Data> HCHTTPRequest::responseData() const {
  std::lock_guard l(_cancelledLock);
  if (isResponseCompressedLocked() && _shouldWaitToInflateCompressedResponses && _rawResponseData) {
    // Inflated once and kept: a caller may ask many times.
    if (!_inflatedResponseData)
      _inflatedResponseData = HCDataDecompressor::uncompressData(*_rawResponseData, nullptr,
                                                                 inflationLimitLocked(_rawResponseData->size()));
    return _inflatedResponseData;
  }
  return _rawResponseData;
}

std::optional<std::string> HCHTTPRequest::responseString() const {
  auto data = responseData();
  if (!data) return std::nullopt;
  return stringWithData(*data, responseEncoding());
}

// --- notifications -------------------------------------------------------------------

namespace {
// What other threads send to the main thread waits here, in the order sent;
// one wake-up of the main thread delivers all that came meanwhile.
struct Outbox {
  std::mutex mutex;
  std::deque<std::function<void()>> items;
  bool scheduled = false;  // a drain is on its way to the main thread, or running
};
Outbox& outbox() {
  // Never destroyed: the network thread lives as long as the process and may
  // still send while the statics are torn down at exit.
  static Outbox& o = *new Outbox();
  return o;
}

// ProgressLockGuards held by this thread, and whether a notification waits for the last to go.
thread_local int progressLocksHeld = 0;
thread_local bool notificationsHeldBack = false;
// NotificationBatches held by this thread, and what was sent under them:
// handed over when the last ends.
thread_local int notificationBatches = 0;
thread_local std::vector<std::function<void()>> batched;

void drainOutbox() {
  Outbox& o = outbox();
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard l(o.mutex);
      if (o.items.empty()) {
        o.scheduled = false;
        return;
      }
      fn = std::move(o.items.front());
      o.items.pop_front();
    }
    plat::runGuarded("HCHTTPRequest callback", fn);
  }
}

void postDrainToMainThread() {
  try {
    plat::MainThread::perform(drainOutbox);
  } catch (const plat::Exception&) {
    // No main thread in this process (a tool): deliver where we are.
    drainOutbox();
  }
}

// From a thread other than the main one: queued behind everything sent before.
void handOver(std::function<void()>* fns, size_t count) {
  if (count == 0) return;
  Outbox& o = outbox();
  {
    std::lock_guard l(o.mutex);
    for (size_t i = 0; i < count; ++i) o.items.push_back(std::move(fns[i]));
    if (o.scheduled) return;
    o.scheduled = true;
  }
  postDrainToMainThread();
}

void handOverBatched() {
  if (batched.empty()) return;
  handOver(batched.data(), batched.size());
  batched.clear();
}

void sendToMainThread(std::function<void()> fn) {
  if (notificationBatches > 0) {
    batched.push_back(std::move(fn));
    return;
  }
  handOver(&fn, 1);
}
}  // namespace

namespace hchttp {

ProgressLockGuard::ProgressLockGuard() : lock_(classState().progressLock) { ++progressLocksHeld; }

ProgressLockGuard::~ProgressLockGuard() {
  lock_.unlock();
  if (--progressLocksHeld == 0 && notificationsHeldBack) {
    notificationsHeldBack = false;
    drainOutbox();
  }
}

NotificationBatch::NotificationBatch() { ++notificationBatches; }

NotificationBatch::~NotificationBatch() {
  if (--notificationBatches == 0) handOverBatched();
}

NotificationBatch::Suspend::Suspend() : depth_(notificationBatches) {
  notificationBatches = 0;
  handOverBatched();
}

NotificationBatch::Suspend::~Suspend() { notificationBatches = depth_; }

}  // namespace hchttp

void HCHTTPRequest::performOnMainThread(std::function<void()> fn) {
  if (plat::MainThread::isMainThread()) {
    fn();
    return;
  }
  // Behind the notifications sent before it, and with them.
  sendToMainThread(std::move(fn));
}

void HCHTTPRequest::notifyOnMainThread(std::function<void()> fn) {
  if (!plat::MainThread::isMainThread()) {
    sendToMainThread(std::move(fn));
    return;
  }
  Outbox& o = outbox();
  {
    std::lock_guard l(o.mutex);
    o.items.push_back(std::move(fn));
    // Sent under progressLock: delivered when the guard releases it.
    if (progressLocksHeld > 0) {
      notificationsHeldBack = true;
      return;
    }
    o.scheduled = true;
  }
  // On the main thread (a synchronous request there) it goes out in line,
  // after whatever was sent before it.
  drainOutbox();
}

void HCHTTPRequest::callDelegate(HCHTTPRequestDelegate* target, HCSelector selector, const Dictionary* headers,
                                 const URL* url, const Data* data) {
  static const Dictionary kNoHeaders;
  static const Data kNoData;
  switch (selector) {
    case HCSelector::requestStarted:
      target->requestStarted(*this);
      break;
    case HCSelector::requestDidReceiveResponseHeaders:
      target->requestDidReceiveResponseHeaders(*this, headers ? *headers : kNoHeaders);
      break;
    case HCSelector::requestWillRedirectToURL:
      if (url) target->requestWillRedirectToURL(*this, *url);
      break;
    case HCSelector::requestFinished:
      target->requestFinished(*this);
      break;
    case HCSelector::requestFailed:
      target->requestFailed(*this);
      break;
    case HCSelector::requestRedirected:
      target->requestRedirected(*this);
      break;
    case HCSelector::requestDidReceiveData:
      target->requestDidReceiveData(*this, data ? *data : kNoData);
      break;
    case HCSelector::authenticationNeededForRequest:
      target->authenticationNeededForRequest(*this);
      break;
    case HCSelector::proxyAuthenticationNeededForRequest:
      target->proxyAuthenticationNeededForRequest(*this);
      break;
    case HCSelector::queueFinished:
    case HCSelector::none:
      break;
  }
}

namespace {
bool responds(HCHTTPRequestDelegate* d, HCSelector s) { return d && s != HCSelector::none && d->respondsToSelector(s); }
}  // namespace

void HCHTTPRequest::requestStarted() {
  HCHTTPRequestDelegate* d;
  HCSelector sel;
  Block block;
  std::shared_ptr<HCHTTPRequestQueue> q;
  {
    std::lock_guard l(_cancelledLock);
    // Dropped once the request failed (checked when sent) or the caller cancelled.
    if (_mainRequest || _cancelRequested) return;
    d = _delegate;
    sel = _didStartSelector;
    block = _startedBlock;
    q = _queue;
  }
  if (responds(d, sel)) callDelegate(d, sel, nullptr, nullptr, nullptr);
  if (block) block();
  if (responds(q.get(), HCSelector::requestStarted)) q->requestStarted(*this);
}

void HCHTTPRequest::requestReceivedResponseHeaders(const Dictionary& headers) {
  HCHTTPRequestDelegate* d;
  HCSelector sel;
  HeadersBlock block;
  std::shared_ptr<HCHTTPRequestQueue> q;
  {
    std::lock_guard l(_cancelledLock);
    // Dropped once the request failed (checked when sent) or the caller cancelled.
    if (_mainRequest || _cancelRequested) return;
    d = _delegate;
    sel = _didReceiveResponseHeadersSelector;
    block = _headersReceivedBlock;
    q = _queue;
  }
  if (responds(d, sel)) callDelegate(d, sel, &headers, nullptr, nullptr);
  if (block) block(headers);
  if (responds(q.get(), HCSelector::requestDidReceiveResponseHeaders)) q->requestDidReceiveResponseHeaders(*this, headers);
}

void HCHTTPRequest::requestWillRedirectToURL(const URL& url) {
  HCHTTPRequestDelegate* d;
  HCSelector sel;
  std::shared_ptr<HCHTTPRequestQueue> q;
  {
    std::lock_guard l(_cancelledLock);
    // Dropped once the request failed (checked when sent) or the caller cancelled.
    if (_mainRequest || _cancelRequested) return;
    d = _delegate;
    sel = _willRedirectSelector;
    q = _queue;
  }
  if (responds(d, sel)) callDelegate(d, sel, nullptr, &url, nullptr);
  if (responds(q.get(), HCSelector::requestWillRedirectToURL)) q->requestWillRedirectToURL(*this, url);
}

void HCHTTPRequest::requestRedirected() {
  HCHTTPRequestDelegate* d;
  Block block;
  {
    std::lock_guard l(_cancelledLock);
    // Dropped once the request failed (checked when sent) or the caller cancelled.
    if (_mainRequest || _cancelRequested) return;
    d = _delegate;
    block = _requestRedirectedBlock;
  }
  if (responds(d, HCSelector::requestRedirected)) d->requestRedirected(*this);
  if (block) block();
}

void HCHTTPRequest::requestFinished() {
  std::lock_guard l(_cancelledLock);
  if (_error || _mainRequest) return;
  auto keep = self();
  if (keep) keep->notifyOnMainThread([keep] { keep->reportFinished(); });
}

void HCHTTPRequest::reportFinished() {
  HCHTTPRequestDelegate* d;
  HCSelector sel;
  Block block;
  std::shared_ptr<HCHTTPRequestQueue> q;
  bool failed = false;
  {
    std::lock_guard l(_cancelledLock);
    if (_endReported) return;
    if (_deliveryError) {
      // A data callback threw: the caller did not get the whole body.
      _error = _deliveryError;
      failed = true;
    } else if (_cancelRequested) {
      // The caller asked to stop before it learned of the end, and may have
      // missed chunks that were on their way: it gets the cancel, not a finish.
      if (!_error) _error = HCRequestCancelledError();
      _cancelled = true;
      failed = true;
    } else {
      _endReported = true;
      d = _delegate;
      sel = _didFinishSelector;
      block = _completionBlock;
      q = _queue;
    }
  }
  // Like every other report, the failure reaches the caller without the
  // request's lock: its callback may take locks of its own and then ask the
  // request for its status.
  if (failed) return reportFailure();
  if (responds(d, sel)) callDelegate(d, sel, nullptr, nullptr, nullptr);
  if (block) block();
  if (responds(q.get(), HCSelector::requestFinished)) q->requestFinished(*this);
}

void HCHTTPRequest::reportFailure() {
  HCHTTPRequestDelegate* d;
  HCSelector sel;
  Block block;
  std::shared_ptr<HCHTTPRequestQueue> q;
  {
    std::lock_guard l(_cancelledLock);
    if (_endReported) return;
    _endReported = true;
    d = _delegate;
    sel = _didFailSelector;
    block = _failureBlock;
    q = _queue;
  }
  if (responds(d, sel)) callDelegate(d, sel, nullptr, nullptr, nullptr);
  if (block) block();
  if (responds(q.get(), HCSelector::requestFailed)) q->requestFailed(*this);
}

void HCHTTPRequest::passOnReceivedData(const Data& data) {
  HCHTTPRequestDelegate* d;
  HCSelector sel;
  DataBlock block;
  {
    std::lock_guard l(_cancelledLock);
    if (_cancelRequested || _endReported || _deliveryError) return;
    d = _delegate;
    sel = _didReceiveDataSelector;
    block = _dataReceivedBlock;
  }
  try {
    if (responds(d, sel)) callDelegate(d, sel, nullptr, nullptr, &data);
    if (block) block(data);
  } catch (const std::exception& e) {
    // The body now has a hole: the exchange fails, nothing more is handed over.
    plat::log("HCHTTPRequest: a data callback threw: %@", std::string(e.what()));
    Dictionary info{{plat::kLocalizedDescriptionKey, std::string("std::exception")},
                    {kLocalizedFailureReasonErrorKey, std::string(e.what())}};
    Error error(NetworkRequestErrorDomain, HCUnhandledExceptionError, info);
    {
      std::lock_guard l(_cancelledLock);
      _deliveryError = error;
    }
    std::shared_ptr<plat::RunLoop> loop;
    std::string mode = plat::kDefaultRunLoopMode;
    {
      std::lock_guard l(_cancelledLock);
      loop = _runLoop;
      mode = _runLoopMode;
    }
    auto keep = self();
    if (!loop) loop = threadForRequest(this);
    if (keep) loop->perform([keep, error] { keep->failAfterDeliveryError(error); }, {mode});
  }
}

void HCHTTPRequest::failAfterDeliveryError(Error error) {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  if (_cancelled || _complete) return;  // the end report turns into the failure
  failWithError(error);
  cancelLoad();
}

void HCHTTPRequest::failWithError(const std::optional<Error>& error) {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  _complete = true;
  if (error && error->code() != HCAuthenticationErrorType && error->code() != HCTooMuchRedirectionErrorType) {
    {
      std::lock_guard c(classState().connectionsLock);
      if (_connectionInfo) {
        _connectionInfo->request.reset();
        dropConnectionRecordLocked(_connectionInfo);
      }
    }
    // A failed exchange leaves nothing worth keeping on its connection.
    _connectionCanBeReused = false;
    destroyReadStream();
  }
  if (_connectionCanBeReused && _connectionInfo) {
    std::lock_guard c(classState().connectionsLock);
    _connectionInfo->expires = plat::Date{plat::currentClock().now().secondsSince1970 + _persistentConnectionTimeoutSeconds};
  }
  if (_cancelled || _error) return;
  if (error && error->code() != HCRequestCancelledErrorType && _downloadCache &&
      (_cachePolicy & CacheFallbackOnFailure) && _downloadCache->canUseCachedDataForRequest(*this)) {
    cancelLoad();
    useDataFromCache();
    return;
  }
  _error = error;
  HCHTTPRequest* target = _mainRequest ? _mainRequest : this;
  if (_mainRequest) {
    std::lock_guard m(_mainRequest->_cancelledLock);
    if (!_mainRequest->_error) _mainRequest->_error = error;
  }
  std::shared_ptr<HCHTTPRequest> t = target == this ? keep : target->self();
  if (t) t->notifyOnMainThread([t] { t->reportFailure(); });
  if (_inProgress) markAsFinished();
}

void HCHTTPRequest::markAsFinished() {
  auto keep = self();
  {
    std::lock_guard l(_cancelledLock);
    _request.reset();
    _readBuffer.reset();
    _readBufferSize = 0;
    _inProgress = false;
    _finished = true;
  }
  stateDidChange();
}
