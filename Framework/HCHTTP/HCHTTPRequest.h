// HCHTTPRequest: one HTTP request and its response, an operation that the
// shared queue runs on the one network thread, or that a caller runs on its
// own thread with startSynchronous(). Every callback (delegate, block, queue,
// in that order) reaches the caller on the main thread: in line when the
// request already runs there, otherwise queued without waiting.
//
// Operation states: new -> executing (start/startSynchronous) -> complete
// (the response ended, the request failed or was cancelled; a redirect or an
// authentication retry makes it incomplete again) -> finished (markAsFinished,
// once; the queue drops it). Cancelled is a flag that never goes back.
//
// The request's recursive cancelledLock is held for the whole of main(), of
// each stream event, of each status check and of a cancel, and by every
// accessor, so none of them interleave.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Framework/HCHTTP/HCCacheDelegate.h"
#include "Framework/HCHTTP/HCDataDecompressor.h"
#include "Framework/HCHTTP/HCHTTPCookie.h"
#include "Framework/HCHTTP/HCHTTPRequestDelegate.h"
#include "platform/foundation/error.h"
#include "platform/foundation/operation_queue.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/value.h"
#include "platform/net/credential_storage.h"
#include "platform/net/http_authentication.h"
#include "platform/net/http_message.h"
#include "platform/net/http_read_stream.h"
#include "platform/net/proxy_settings.h"
#include "platform/net/tls.h"
#include "platform/net/url.h"

inline constexpr const char* NetworkRequestErrorDomain = "HCHTTPRequestErrorDomain";
inline constexpr const char* kHCHTTPRequestRunLoopMode = "HCHTTPRequestRunLoopMode";
// Under this user-info key an error of code 10 keeps the exception's reason.
inline constexpr const char* kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";

enum HCNetworkErrorType {
  HCConnectionFailureErrorType = 1,
  HCRequestTimedOutErrorType = 2,
  HCAuthenticationErrorType = 3,
  HCRequestCancelledErrorType = 4,
  HCUnableToCreateRequestErrorType = 5,
  HCInternalErrorWhileBuildingRequestType = 6,
  HCInternalErrorWhileApplyingCredentialsType = 7,
  HCFileManagementError = 8,
  HCTooMuchRedirectionErrorType = 9,
  HCUnhandledExceptionError = 10,
  HCCompressionError = 11,
  // A body kept in memory grew past maxResponseDataSize.
  HCResponseTooLargeErrorType = 12,
};

// The most body bytes a request keeps in memory unless told otherwise:
// larger bodies belong in a file (downloadDestinationPath).
inline constexpr unsigned long long kHCDefaultMaxResponseDataSize = 256ull << 20;
// Data-callback bytes that may wait for the main thread before the network
// thread stops reading that request.
inline constexpr unsigned long long kHCMaxPendingDeliveryBytes = 4ull << 20;

// String encodings, numbered as the system numbers them.
using HCStringEncoding = uint64_t;
inline constexpr HCStringEncoding HCASCIIStringEncoding = 1;
inline constexpr HCStringEncoding HCUTF8StringEncoding = 4;
inline constexpr HCStringEncoding HCISOLatin1StringEncoding = 5;
inline constexpr HCStringEncoding HCUTF16StringEncoding = 10;
inline constexpr HCStringEncoding HCWindowsCP1252StringEncoding = 12;
inline constexpr HCStringEncoding HCGB18030StringEncoding = 0x80000632;
inline constexpr HCStringEncoding HCBig5StringEncoding = 0x80000A03;

// Proxy kinds.
inline constexpr const char* kHCProxyTypeHTTP = "kCFProxyTypeHTTP";
inline constexpr const char* kHCProxyTypeHTTPS = "kCFProxyTypeHTTPS";
inline constexpr const char* kHCProxyTypeSOCKS = "kCFProxyTypeSOCKS";
inline constexpr const char* kHCHTTPAuthenticationSchemeBasic = "Basic";

// One kept-alive connection as the requests share it.
struct HCConnectionRecord {
  int64_t id = 0;
  std::string host;
  int port = 0;  // as named in the URL, 0 when it names none
  std::string scheme;
  std::string proxy;  // the proxy it goes through (its kind, host, port and user); empty when direct
  std::optional<uint32_t> request;  // requestID of the user; none when idle
  std::shared_ptr<plat::HTTPReadStream> stream;
  std::optional<plat::Date> expires;
};

// A credential dictionary: user name, password and, for schemes that need
// one, the account domain. The session stores tell entries apart by the
// identity of this object, not by its contents.
struct HCCredentials {
  std::string username;
  std::string password;
  std::optional<std::string> domain;
};
using HCCredentialsRef = std::shared_ptr<const HCCredentials>;

// One entry of a session credential store. Server entries carry url and
// realm; proxy entries carry host and port.
struct HCSessionCredentials {
  std::shared_ptr<plat::HTTPAuthentication> authentication;
  HCCredentialsRef credentials;
  std::optional<plat::URL> url;
  std::optional<std::string> authenticationScheme;
  std::optional<std::string> authenticationRealm;
  std::string host;
  int port = 0;
};

#define HC_PROPERTY(Type, name, Name)                         \
public:                                                       \
  Type name() const {                                         \
    std::lock_guard _l(_cancelledLock);                       \
    return _##name;                                           \
  }                                                           \
  void set##Name(Type value) {                                \
    std::lock_guard _l(_cancelledLock);                       \
    _##name = std::move(value);                               \
  }                                                           \
                                                              \
private:                                                      \
  Type _##name

class HCHTTPRequest : public plat::Operation {
public:
  using Block = std::function<void()>;
  using HeadersBlock = std::function<void(const plat::Dictionary& headers)>;
  using DataBlock = std::function<void(const plat::Data& data)>;
  using SizeBlock = std::function<void(long long size)>;
  using ProgressBlock = std::function<void(unsigned long long size, unsigned long long total)>;

  // A request with the defaults; an absent URL fails with code 5 when run.
  explicit HCHTTPRequest(std::optional<plat::URL> url);
  ~HCHTTPRequest() override;

  static std::shared_ptr<HCHTTPRequest> requestWithURL(std::optional<plat::URL> url);
  // Text that is not an absolute URL gives a request without one.
  static std::shared_ptr<HCHTTPRequest> requestWithURL(std::string_view url);

  // --- the shared errors and class state -------------------------------------
  static const plat::Error& HCRequestTimedOutError();
  static const plat::Error& HCAuthenticationError();
  static const plat::Error& HCRequestCancelledError();
  static const plat::Error& HCUnableToCreateRequestError();
  static const plat::Error& HCTooMuchRedirectionError();

  // The one network thread's run loop (the thread is started on first use).
  static std::shared_ptr<plat::RunLoop> threadForRequest(const HCHTTPRequest* request);
  static plat::OperationQueue& sharedQueue();
  static bool isNetworkInUse();
  static void setShouldUpdateNetworkActivityIndicator(bool update);
  static void showNetworkActivityIndicator() {}
  static void hideNetworkActivityIndicator() {}
  static void hideNetworkActivityIndicatorAfterDelay();
  static void hideNetworkActivityIndicatorIfNeeeded();
  static double defaultTimeOutSeconds();
  static void setDefaultTimeOutSeconds(double seconds);
  static std::optional<std::string> defaultUserAgentString();
  static void setDefaultUserAgentString(std::optional<std::string> agent);
  // For the default user agent: the application's name and versions.
  static void setApplicationInfo(std::string name, std::string shortVersion, std::string bundleVersion);
  static std::optional<std::string> mimeTypeForFileAtPath(const std::string& path);
  static std::string base64forData(const plat::Data& data);
  static std::optional<plat::Date> dateFromRFC1123String(const std::string& text);
  // When a stored response stops being fresh: maxAge seconds from now, else
  // the response's Cache-Control max-age, else its Expires date.
  static std::optional<plat::Date> expiryDateForRequest(const HCHTTPRequest& request, double maxAge);
  static void parseMimeType(std::string* mimeType, HCStringEncoding* encoding, const std::optional<std::string>& contentType);
  // IANA character-set name to encoding; 0 when unknown.
  static HCStringEncoding encodingForIANACharSetName(const std::string& name);
  // Text of `data` in `encoding`, as UTF-8; none when the bytes are not valid in it.
  static std::optional<std::string> stringWithData(const plat::Data& data, HCStringEncoding encoding);
  static bool removeFileAtPath(const std::string& path, plat::Error* error);
  static void expirePersistentConnections();
  // Records of the kept-alive connections (copies), for tests and diagnostics.
  static std::vector<HCConnectionRecord> persistentConnections();

  // --- running ---------------------------------------------------------------
  void startSynchronous();
  void startAsynchronous();
  void start() override;
  void main() override;
  void cancel() override;
  void clearDelegatesAndCancel();
  bool isAsynchronous() const override { return true; }
  bool isConcurrent() const { return true; }
  bool isExecuting() const override;
  bool isFinished() const override;
  bool isCancelled() const override;
  // Ready once every operation it depends on has finished.
  bool isReady() const override;
  void addDependency(const std::shared_ptr<plat::Operation>& operation);
  void redirectToURL(const plat::URL& url);

  // --- headers and body ------------------------------------------------------
  void addRequestHeader(const std::string& name, const std::string& value);
  void buildRequestHeaders();
  void applyCookieHeader();
  void applyAuthorizationHeader();
  void addBasicAuthenticationHeaderWithUsername(const std::string& username, const std::string& password);
  void setupPostBody();
  void appendPostData(const plat::Data& data);
  void appendPostDataFromFile(const std::string& path);
  virtual void buildPostBody();

  // --- the response ----------------------------------------------------------
  bool isResponseCompressed() const;
  // The body, inflated when it came compressed and inflation was left to the end.
  std::optional<plat::Data> responseData() const;
  std::optional<std::string> responseString() const;
  // A response header by name, matched without regard to case.
  std::optional<std::string> responseHeader(std::string_view name) const;
  std::optional<plat::Error> error() const;
  std::optional<int64_t> connectionID() const;

  // --- progress, resume, copies ------------------------------------------------
  void updateProgressIndicators();
  void updateDownloadProgress();
  void updateUploadProgress();
  void incrementDownloadSizeBy(long long length);
  void incrementUploadSizeBy(long long length);
  void removeUploadProgressSoFar();
  // Sets an indicator to progress of total, on the main thread.
  static void updateProgressIndicator(HCProgressDelegate* indicator, unsigned long long progress,
                                      unsigned long long total);
  // A HEAD request with this request's settings, for its size.
  std::shared_ptr<HCHTTPRequest> HEADRequest();
  // A fresh request with this one's settings (no response, no blocks, no queue).
  std::shared_ptr<HCHTTPRequest> copy() const;
  // The fresh request a copy starts from: of the same class, with what that class adds.
  virtual std::shared_ptr<HCHTTPRequest> makeCopyTarget() const { return requestWithURL(_url); }
  HCHTTPRequest* mainRequest() const;

  // --- guarded properties ----------------------------------------------------
  std::optional<plat::URL> url() const;
  void setURL(std::optional<plat::URL> url);
  std::string requestMethod() const;
  void setRequestMethod(std::string method);
  HCHTTPRequestDelegate* delegate() const;
  void setDelegate(HCHTTPRequestDelegate* delegate);
  std::shared_ptr<HCHTTPRequestQueue> queue() const;
  void setQueue(std::shared_ptr<HCHTTPRequestQueue> queue);
  HCProgressDelegate* uploadProgressDelegate() const;
  void setUploadProgressDelegate(HCProgressDelegate* delegate);
  HCProgressDelegate* downloadProgressDelegate() const;
  void setDownloadProgressDelegate(HCProgressDelegate* delegate);

  // --- blocks (no getters) ---------------------------------------------------
  void setStartedBlock(Block b);
  void setHeadersReceivedBlock(HeadersBlock b);
  void setCompletionBlock(Block b);
  void setFailedBlock(Block b);
  void setBytesReceivedBlock(ProgressBlock b);
  void setBytesSentBlock(ProgressBlock b);
  void setDownloadSizeIncrementedBlock(SizeBlock b);
  void setUploadSizeIncrementedBlock(SizeBlock b);
  void setDataReceivedBlock(DataBlock b);
  void setAuthenticationNeededBlock(Block b);
  void setProxyAuthenticationNeededBlock(Block b);
  void setRequestRedirectedBlock(Block b);

  // --- plain properties ------------------------------------------------------
  HC_PROPERTY(std::optional<plat::URL>, originalURL, OriginalURL);
  HC_PROPERTY(std::optional<plat::URL>, redirectURL, RedirectURL);
  HC_PROPERTY(bool, useHTTPVersionOne, UseHTTPVersionOne) = false;
  HC_PROPERTY(HCSelector, didStartSelector, DidStartSelector) = HCSelector::requestStarted;
  HC_PROPERTY(HCSelector, didReceiveResponseHeadersSelector, DidReceiveResponseHeadersSelector) =
      HCSelector::requestDidReceiveResponseHeaders;
  HC_PROPERTY(HCSelector, willRedirectSelector, WillRedirectSelector) = HCSelector::requestWillRedirectToURL;
  HC_PROPERTY(HCSelector, didFinishSelector, DidFinishSelector) = HCSelector::requestFinished;
  HC_PROPERTY(HCSelector, didFailSelector, DidFailSelector) = HCSelector::requestFailed;
  HC_PROPERTY(HCSelector, didReceiveDataSelector, DidReceiveDataSelector) = HCSelector::requestDidReceiveData;
  HC_PROPERTY(plat::Dictionary, userInfo, UserInfo);
  HC_PROPERTY(long, tag, Tag) = 0;

  HC_PROPERTY(plat::Dictionary, requestHeaders, RequestHeaders);
  HC_PROPERTY(bool, haveBuiltRequestHeaders, HaveBuiltRequestHeaders) = false;
  HC_PROPERTY(std::vector<HCHTTPCookie>, requestCookies, RequestCookies);
  HC_PROPERTY(bool, useCookiePersistence, UseCookiePersistence) = true;
  HC_PROPERTY(std::optional<std::string>, userAgentString, UserAgentString);
  HC_PROPERTY(bool, allowCompressedResponse, AllowCompressedResponse) = true;

  HC_PROPERTY(std::optional<plat::Data>, postBody, PostBody);
  HC_PROPERTY(std::optional<plat::Data>, compressedPostBody, CompressedPostBody);
  HC_PROPERTY(bool, shouldStreamPostDataFromDisk, ShouldStreamPostDataFromDisk) = false;
  HC_PROPERTY(std::optional<std::string>, postBodyFilePath, PostBodyFilePath);
  HC_PROPERTY(bool, didCreateTemporaryPostDataFile, DidCreateTemporaryPostDataFile) = false;
  HC_PROPERTY(bool, shouldCompressRequestBody, ShouldCompressRequestBody) = false;
  HC_PROPERTY(unsigned long long, postLength, PostLength) = 0;
  HC_PROPERTY(bool, haveBuiltPostBody, HaveBuiltPostBody) = false;
  HC_PROPERTY(unsigned long long, uploadBufferSize, UploadBufferSize) = 0;

  HC_PROPERTY(plat::Dictionary, responseHeaders, ResponseHeaders);
  HC_PROPERTY(std::vector<HCHTTPCookie>, responseCookies, ResponseCookies);
  HC_PROPERTY(int, responseStatusCode, ResponseStatusCode) = 0;
  HC_PROPERTY(std::optional<std::string>, responseStatusMessage, ResponseStatusMessage);
  HC_PROPERTY(std::optional<plat::Data>, rawResponseData, RawResponseData);
  HC_PROPERTY(unsigned long long, contentLength, ContentLength) = 0;
  HC_PROPERTY(HCStringEncoding, defaultResponseEncoding, DefaultResponseEncoding) = HCISOLatin1StringEncoding;
  HC_PROPERTY(HCStringEncoding, responseEncoding, ResponseEncoding) = 0;
  HC_PROPERTY(bool, shouldWaitToInflateCompressedResponses, ShouldWaitToInflateCompressedResponses) = true;
  // The most bytes a compressed response may inflate to; 0: a multiple of
  // the bytes that came on the wire (plat::inflationLimit), and for a body
  // kept in memory no more than maxResponseDataSize. Past it the request fails.
  HC_PROPERTY(unsigned long long, maxInflatedResponseSize, MaxInflatedResponseSize) = 0;
  // The most body bytes (raw or inflated) kept in memory.
  HC_PROPERTY(unsigned long long, maxResponseDataSize, MaxResponseDataSize) = kHCDefaultMaxResponseDataSize;

  HC_PROPERTY(std::optional<std::string>, downloadDestinationPath, DownloadDestinationPath);
  HC_PROPERTY(std::optional<std::string>, temporaryFileDownloadPath, TemporaryFileDownloadPath);
  HC_PROPERTY(std::optional<std::string>, temporaryUncompressedDataDownloadPath, TemporaryUncompressedDataDownloadPath);
  HC_PROPERTY(bool, allowResumeForFileDownloads, AllowResumeForFileDownloads) = false;
  HC_PROPERTY(unsigned long long, partialDownloadSize, PartialDownloadSize) = 0;
  HC_PROPERTY(bool, downloadComplete, DownloadComplete) = false;

  HC_PROPERTY(unsigned long long, totalBytesRead, TotalBytesRead) = 0;
  HC_PROPERTY(unsigned long long, totalBytesSent, TotalBytesSent) = 0;
  HC_PROPERTY(unsigned long long, lastBytesRead, LastBytesRead) = 0;
  HC_PROPERTY(unsigned long long, lastBytesSent, LastBytesSent) = 0;
  HC_PROPERTY(bool, showAccurateProgress, ShowAccurateProgress) = true;
  HC_PROPERTY(bool, shouldResetDownloadProgress, ShouldResetDownloadProgress) = true;
  HC_PROPERTY(bool, shouldResetUploadProgress, ShouldResetUploadProgress) = true;
  HC_PROPERTY(bool, updatedProgress, UpdatedProgress) = false;

  HC_PROPERTY(std::optional<std::string>, username, Username);
  HC_PROPERTY(std::optional<std::string>, password, Password);
  HC_PROPERTY(std::optional<std::string>, domain, Domain);
  HC_PROPERTY(std::optional<std::string>, authenticationScheme, AuthenticationScheme);
  HC_PROPERTY(std::optional<std::string>, authenticationRealm, AuthenticationRealm);
  HC_PROPERTY(int, authenticationRetryCount, AuthenticationRetryCount) = 0;
  HC_PROPERTY(int, authenticationNeeded, AuthenticationNeeded) = 0;
  HC_PROPERTY(bool, shouldPresentAuthenticationDialog, ShouldPresentAuthenticationDialog) = false;
  HC_PROPERTY(bool, shouldPresentCredentialsBeforeChallenge, ShouldPresentCredentialsBeforeChallenge) = true;
  HC_PROPERTY(bool, shouldPresentProxyAuthenticationDialog, ShouldPresentProxyAuthenticationDialog) = true;
  HC_PROPERTY(bool, useKeychainPersistence, UseKeychainPersistence) = false;
  HC_PROPERTY(bool, useSessionPersistence, UseSessionPersistence) = true;

  HC_PROPERTY(std::optional<std::string>, proxyHost, ProxyHost);
  HC_PROPERTY(int, proxyPort, ProxyPort) = 0;
  HC_PROPERTY(std::optional<std::string>, proxyType, ProxyType);
  HC_PROPERTY(std::optional<std::string>, proxyUsername, ProxyUsername);
  HC_PROPERTY(std::optional<std::string>, proxyPassword, ProxyPassword);
  HC_PROPERTY(std::optional<std::string>, proxyDomain, ProxyDomain);
  HC_PROPERTY(std::optional<plat::URL>, PACurl, PACurl);
  HC_PROPERTY(bool, isPACFileRequest, IsPACFileRequest) = false;
  HC_PROPERTY(std::shared_ptr<HCHTTPRequest>, PACFileRequest, PACFileRequest);

  HC_PROPERTY(bool, shouldRedirect, ShouldRedirect) = true;
  HC_PROPERTY(bool, shouldUseRFC2616RedirectBehaviour, ShouldUseRFC2616RedirectBehaviour) = false;
  HC_PROPERTY(bool, needsRedirect, NeedsRedirect) = false;
  HC_PROPERTY(int, redirectCount, RedirectCount) = 0;
  HC_PROPERTY(double, timeOutSeconds, TimeOutSeconds) = 10.0;
  HC_PROPERTY(int, numberOfTimesToRetryOnTimeout, NumberOfTimesToRetryOnTimeout) = 0;
  HC_PROPERTY(int, retryCount, RetryCount) = 0;
  HC_PROPERTY(bool, willRetryRequest, WillRetryRequest) = false;
  HC_PROPERTY(bool, shouldAttemptPersistentConnection, ShouldAttemptPersistentConnection) = true;
  HC_PROPERTY(double, persistentConnectionTimeoutSeconds, PersistentConnectionTimeoutSeconds) = 60.0;
  HC_PROPERTY(bool, connectionCanBeReused, ConnectionCanBeReused) = false;
  HC_PROPERTY(std::optional<uint32_t>, requestID, RequestID);
  HC_PROPERTY(bool, validatesSecureCertificate, ValidatesSecureCertificate) = true;
  HC_PROPERTY(std::shared_ptr<const plat::ClientIdentity>, clientCertificateIdentity, ClientCertificateIdentity);
  // CAs to trust instead of the system's (tests hand their own CA this way).
  HC_PROPERTY(std::string, trustedCertificatesPEM, TrustedCertificatesPEM);

  HC_PROPERTY(bool, complete, Complete) = false;
  HC_PROPERTY(bool, isSynchronous, Synchronous) = false;
  HC_PROPERTY(std::string, runLoopMode, RunLoopMode) = plat::kDefaultRunLoopMode;
  HC_PROPERTY(bool, didUseCachedResponse, DidUseCachedResponse) = false;
  // Not owned; only GET requests use it.
  HC_PROPERTY(HCCacheDelegate*, downloadCache, DownloadCache) = defaultCache();
  HC_PROPERTY(int, cachePolicy, CachePolicy) = CacheUseDefault;
  HC_PROPERTY(int, cacheStoragePolicy, CacheStoragePolicy) = StoreForSession;
  HC_PROPERTY(double, secondsToCache, SecondsToCache) = 0;

public:
  // The cache new requests take (none unless one is set); not owned.
  static HCCacheDelegate* defaultCache();
  static void setDefaultCache(HCCacheDelegate* cache);
  static std::shared_ptr<HCHTTPRequest> requestWithURL(std::string_view url, HCCacheDelegate* cache, int policy);
  // Completes the request from its download cache.
  void useDataFromCache();

private:
  // Cache-only and nothing stored.
  void failWithoutCachedResponseLocked();

public:
  bool inProgress() const { return _inProgress; }
  void setInProgress(bool v) { _inProgress = v; }
  // The lock every part of a run holds.
  std::recursive_mutex& cancelledLock() const { return _cancelledLock; }

  // --- steps of a run (on the request's thread) -------------------------------
  void startRequest();
  void handleNetworkEvent(uint32_t type);
  void handleBytesAvailable();
  void handleStreamComplete();
  void handleStreamError();
  void readResponseHeaders();
  bool willRedirect();
  void parseStringEncodingFromHeaders();
  bool willAskDelegateToConfirmRedirect();
  void performRedirect();
  // A web page request stays unfinished until its resources have come.
  virtual void markAsFinished();
  bool retryUsingNewConnection();
  void updateStatus();
  bool shouldTimeOut();
  void checkRequestStatus();
  void cancelLoad();
  void cancelOnRequestThread();
  void failWithError(const std::optional<plat::Error>& error);
  void updatePartialDownloadSize();
  void destroyReadStream();
  void scheduleReadStream();
  void unscheduleReadStream();
  bool removeTemporaryDownloadFile();
  bool removeTemporaryUncompressedDownloadFile();
  bool removeTemporaryUploadFile();

  // --- bandwidth throttling (HCHTTPRequestThrottling.cpp) ----------------------
  // Bytes per second for all requests together; 0: no limit.
  static unsigned long long maxBandwidthPerSecond();
  static void setMaxBandwidthPerSecond(unsigned long long bytes);
  static bool isBandwidthThrottled();
  static void incrementBandwidthUsedInLastSecond(unsigned long long bytes);
  static unsigned long long averageBandwidthUsedPerSecond();
  static unsigned long long bandwidthUsedInLastSecond();
  // Seconds since 1970 until which throttled streams stay paused.
  static std::optional<double> throttleWakeUpTime();
  static void measureBandwidthUsage();
  // Forgets the windows and samples (the limit stays); for a fresh start in tests.
  static void resetBandwidthMeasurement();
  // Body bytes an upload may read now.
  static unsigned long long maxUploadReadLength();
  // A download read of `readLength` bytes, cut to the limit's share.
  static size_t downloadReadLengthUnderLimit(size_t readLength);
  // Pauses or resumes the read stream as the limit requires.
  void performThrottling();
  // The same, later on the request's run loop (from inside the stream's work).
  void performThrottlingSoon();

  // --- the proxy step (HCHTTPRequestProxies.cpp) -----------------------------
  // True when the stream may open now; false when the PAC step goes on
  // later (or the request failed).
  bool configureProxies();
  void fetchPACFile();
  void runPACScript(const std::string& script);

  // --- authentication and the credential stores (HCHTTPAuthentication.cpp) ---
  void attemptToApplyCredentialsAndResume();
  void attemptToApplyProxyCredentialsAndResume();
  HCCredentialsRef findCredentials();
  HCCredentialsRef findProxyCredentials();
  bool applyCredentials(const HCCredentialsRef& credentials);
  bool applyProxyCredentials(const HCCredentialsRef& credentials);
  void saveCredentialsToKeychain(const HCCredentialsRef& credentials);
  void saveProxyCredentialsToKeychain(const HCCredentialsRef& credentials);
  bool willAskDelegateForCredentials();
  bool willAskDelegateForProxyCredentials();
  void askDelegateForCredentials();
  void askDelegateForProxyCredentials();
  // For the delegate, after it set username/password (or the proxy fields).
  void retryUsingSuppliedCredentials();
  // For the delegate that has no credentials to give.
  void cancelAuthentication();
  void failAuthentication();
  bool showAuthenticationDialog() { return false; }
  bool showProxyAuthenticationDialog() { return false; }
  std::optional<HCSessionCredentials> findSessionAuthenticationCredentials();
  std::optional<HCSessionCredentials> findSessionProxyAuthenticationCredentials();
  std::shared_ptr<plat::HTTPAuthentication> requestAuthentication() const;
  HCCredentialsRef requestCredentials() const;
  HCCredentialsRef proxyCredentials() const;
  std::optional<std::string> proxyAuthenticationScheme() const;
  std::optional<std::string> proxyAuthenticationRealm() const;
  int proxyAuthenticationRetryCount() const;

  static std::vector<HCSessionCredentials> sessionCredentialsStore();
  static std::vector<HCSessionCredentials> sessionProxyCredentialsStore();
  static void storeAuthenticationCredentialsInSessionStore(const HCSessionCredentials& entry);
  static void storeProxyAuthenticationCredentialsInSessionStore(const HCSessionCredentials& entry);
  static void removeAuthenticationCredentialsFromSessionStore(const HCCredentialsRef& credentials);
  static void removeProxyAuthenticationCredentialsFromSessionStore(const HCCredentialsRef& credentials);
  static void saveCredentials(const plat::URLCredential& credential, const std::string& host, int port,
                              const std::string& protocol, const std::string& realm);
  static void saveCredentials(const plat::URLCredential& credential, const std::string& proxyHost, int port,
                              const std::string& realm);
  static std::optional<plat::URLCredential> savedCredentialsForHost(const std::string& host, int port,
                                                                     const std::string& protocol,
                                                                     const std::string& realm);
  // The protocol is ignored: a proxy's space is always an HTTP proxy's.
  static std::optional<plat::URLCredential> savedCredentialsForProxy(const std::string& proxyHost, int port,
                                                                      const std::string& protocol,
                                                                      const std::string& realm);
  static void removeCredentialsForHost(const std::string& host, int port, const std::string& protocol,
                                       const std::string& realm);
  static void removeCredentialsForProxy(const std::string& proxyHost, int port, const std::string& realm);
  static std::vector<HCHTTPCookie> sessionCookies();
  static void setSessionCookies(std::optional<std::vector<HCHTTPCookie>> cookies);
  static void addSessionCookie(const HCHTTPCookie& cookie);
  // Forgets the server credentials (not the proxy's) and the session cookies.
  static void clearSession();

  // --- notifications (sent to the main thread) --------------------------------
  void requestStarted();
  void requestReceivedResponseHeaders(const plat::Dictionary& headers);
  void requestWillRedirectToURL(const plat::URL& url);
  void requestRedirected();
  friend class HCWebPageRequest;
  virtual void requestFinished();
  void reportFinished();
  void reportFailure();
  void passOnReceivedData(const plat::Data& data);
  void releaseBlocksOnMainThread();
  // In line on the main thread, else queued to it without waiting.
  static void performOnMainThread(std::function<void()> fn);
  // The same for the requests' notifications: they reach the main thread in
  // the order sent, several with one wake-up when they come close together.
  static void notifyOnMainThread(std::function<void()> fn);

private:
  std::shared_ptr<HCHTTPRequest> self();
  bool wantsDataCallbacksLocked() const;
  bool headerIsSetLocked(std::string_view name) const;
  std::optional<std::string> responseHeaderLocked(std::string_view name) const;
  bool isResponseCompressedLocked() const;
  void setStatusTimerLocked(bool on);
  void failWithFileErrorLocked(plat::Error error);
  bool writeDownloadBytesLocked(const uint8_t* raw, size_t rawLength, const plat::Data* inflated);
  std::optional<plat::Error> moveDownloadedFileLocked(const std::string& from, const std::string& to);
  std::optional<plat::Error> placeDownloadLocked(const std::string& from, const std::string& to);
  bool checkCompressedBodyEndedLocked();
  // What the compressed body may inflate to, `wireBytes` of it having come.
  unsigned long long inflationLimitLocked(unsigned long long wireBytes) const;
  bool keepInMemoryLocked(const uint8_t* bytes, size_t length);
  bool openDownloadFileLocked();
  void failWithExceptionLocked(const std::exception& e);
  // On the request's thread: a delivery on the main thread threw.
  void failAfterDeliveryError(plat::Error error);
  // On the request's thread: the main thread caught up with the data callbacks.
  void resumeReading();
  void deliveredToMainThread(size_t bytes);
  bool isCrossOriginRedirectLocked(const plat::URL& to) const;
  void callDelegate(HCHTTPRequestDelegate* target, HCSelector selector, const plat::Dictionary* headers,
                    const plat::URL* url, const plat::Data* data);

  mutable std::recursive_mutex _cancelledLock;
  std::optional<plat::URL> _url;
  std::string _requestMethod = "GET";
  HCHTTPRequestDelegate* _delegate = nullptr;
  std::shared_ptr<HCHTTPRequestQueue> _queue;
  HCProgressDelegate* _uploadProgressDelegate = nullptr;
  HCProgressDelegate* _downloadProgressDelegate = nullptr;

  Block _startedBlock;
  HeadersBlock _headersReceivedBlock;
  Block _completionBlock;
  Block _failureBlock;
  ProgressBlock _bytesReceivedBlock;
  ProgressBlock _bytesSentBlock;
  SizeBlock _downloadSizeIncrementedBlock;
  SizeBlock _uploadSizeIncrementedBlock;
  DataBlock _dataReceivedBlock;
  Block _authenticationNeededBlock;
  Block _proxyAuthenticationNeededBlock;
  Block _requestRedirectedBlock;

  std::optional<plat::Error> _error;
  // Authentication state (HCHTTPAuthentication.cpp).
  std::shared_ptr<plat::HTTPAuthentication> _requestAuthentication;
  HCCredentialsRef _requestCredentials;
  std::shared_ptr<plat::HTTPAuthentication> _proxyAuthentication;
  HCCredentialsRef _proxyCredentials;
  std::optional<std::string> _proxyAuthenticationScheme;
  std::optional<std::string> _proxyAuthenticationRealm;
  int _proxyAuthenticationRetryCount = 0;
  bool applyCredentialsLocked(bool proxy, const HCCredentialsRef& credentials);
  bool tryCredentialsLocked(bool proxy);
  void applySessionCredentialsLocked();
  void storeBasicCredentialsAfterSuccessLocked();
  std::string authorizationTargetLocked() const;
  std::string proxyAuthorizationTargetLocked(std::string* method) const;
  // The proxy step (HCHTTPRequestProxies.cpp): a PAC answer for an older
  // attempt, or one after a cancel, carries a stale generation and is dropped.
  uint64_t _pacGeneration = 0;
  plat::RunLoop::SourceId _pacTimer = 0;
  std::shared_ptr<plat::RunLoop> _pacTimerLoop;
  // Set while this request's PAC fetch holds the shared queue one wider; the
  // fetch lowers it when it ends, whether or not this request is still there.
  std::shared_ptr<std::atomic<bool>> _pacWidthRaised;
  void takeProxyEntryLocked(const plat::ProxyEntry& entry);
  void finishPACStepLocked(uint64_t generation, const std::optional<std::vector<plat::ProxyEntry>>& proxies);
  void cancelPACFetchLocked();
  void lowerPACQueueWidthLocked();
  void continueReadingSoonLocked();
  bool _continueReadingPosted = false;
  // Read by operation queues under their own lock: never behind cancelledLock.
  std::atomic<bool> _inProgress{false};
  std::atomic<bool> _finished{false};
  bool _endReported = false;  // main thread only
  bool _droppedCredentialsOnRedirect = false;
  std::atomic<bool> _cancelled{false};
  // Set by cancel() at once, so that chunks already on their way to the main
  // thread are not handed over after the caller asked to stop.
  std::atomic<bool> _cancelRequested{false};
  HCHTTPRequest* _mainRequest = nullptr;  // the request a HEAD request stands in for
  // Keeps the main request alive while its HEAD request runs.
  std::shared_ptr<HCHTTPRequest> _mainRequestKeep;
  mutable std::mutex _dependenciesMutex;  // never behind cancelledLock: queues ask isReady() under theirs
  std::vector<std::weak_ptr<plat::Operation>> _dependencies;
  // Download and upload size announced to the receivers so far: a retry or
  // a restarted resume announces only the difference, never the whole again.
  long long _downloadSizeAnnounced = 0;
  long long _uploadSizeAnnounced = 0;
  void setIndicatorLocked(bool download, unsigned long long progress, unsigned long long total);
  void notifyBytesMovedLocked(bool download, long long increment, unsigned long long progress,
                              unsigned long long indicatorTotal, unsigned long long blockTotal);
  void notifySizeIncrement(bool download, long long length);
  void copySettingsTo(HCHTTPRequest& r) const;

  std::optional<plat::HTTPMessage> _request;
  std::shared_ptr<plat::HTTPReadStream> _readStream;
  std::shared_ptr<plat::RunLoop> _runLoop;  // of the thread the stream is scheduled on
  bool _readStreamIsScheduled = false;
  std::shared_ptr<HCConnectionRecord> _connectionInfo;
  std::shared_ptr<plat::RunLoop> _statusTimerLoop;
  plat::RunLoop::SourceId _statusTimer = 0;
  double _lastActivityTime = 0;  // monotonic; 0 when not set
  std::shared_ptr<const plat::HTTPMessage> _responseHead;
  std::unique_ptr<HCDataDecompressor> _dataDecompressor;
  // The inflated body when inflation was left to the end (checked there).
  // Mutable: responseData() keeps what it inflated, so it inflates once.
  mutable std::optional<plat::Data> _inflatedResponseData;
  // A main-thread delivery that threw: the request fails with it.
  std::optional<plat::Error> _deliveryError;
  // Data-callback bytes on their way to the main thread; past the limit the
  // request stops reading until they drain.
  std::atomic<unsigned long long> _pendingDeliveryBytes{0};
  std::atomic<bool> _readingPaused{false};
  // The lost-connection retry, once per hop of a redirect chain.
  bool _retriedOnNewConnection = false;
  // The download continues the temporary file of an earlier attempt.
  bool _downloadAppends = false;
  // The request body file, gzipped, when compression was asked for.
  std::optional<std::string> _compressedPostBodyFilePath;
  // An append or write to the request body that failed before it ran.
  std::optional<plat::Error> _postBodyError;
  int _postBodyWriteStream = -1;
  int _fileDownloadOutputStream = -1;
  int _inflatedFileDownloadOutputStream = -1;
  // Body bytes already handed to the data callbacks or written; a retry must
  // not hand them over again.
  unsigned long long _deliveredBodyBytes = 0;
  std::unique_ptr<uint8_t[]> _readBuffer;
  size_t _readBufferSize = 0;
};

#undef HC_PROPERTY
