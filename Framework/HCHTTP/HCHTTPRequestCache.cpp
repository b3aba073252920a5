// The request's side of the download cache: answering from it, and failing
// when only the cache may answer and it holds nothing.
#include <atomic>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/foundation/file_util.h"

using plat::Data;
using plat::Dictionary;
using hchttp::findIgnoringCase;
using hchttp::requestError;

namespace {
std::atomic<HCCacheDelegate*> gDefaultCache{nullptr};
}

HCCacheDelegate* HCHTTPRequest::defaultCache() { return gDefaultCache.load(); }
void HCHTTPRequest::setDefaultCache(HCCacheDelegate* cache) { gDefaultCache.store(cache); }

std::shared_ptr<HCHTTPRequest> HCHTTPRequest::requestWithURL(std::string_view url, HCCacheDelegate* cache, int policy) {
  auto r = requestWithURL(url);
  r->setDownloadCache(cache);
  r->setCachePolicy(policy);
  return r;
}

void HCHTTPRequest::failWithoutCachedResponseLocked() {
  failWithError(requestError(HCConnectionFailureErrorType, "The response is not in the download cache"));
}

void HCHTTPRequest::useDataFromCache() {
  auto keep = self();
  std::lock_guard l(_cancelledLock);
  HCHTTPRequest* target = _mainRequest ? _mainRequest : this;
  std::optional<Dictionary> headers;
  std::optional<std::string> bodyPath;
  if (_downloadCache && _url) {
    headers = _downloadCache->cachedResponseHeadersForURL(*_url);
    bodyPath = _downloadCache->pathToCachedResponseDataForURL(*_url);
  }
  if (!headers || !bodyPath) {
    // Finishing here would report a success that has no body.
    failWithoutCachedResponseLocked();
    return;
  }
  const plat::Value& status = (*headers)["X-HCHTTPRequest-Response-Status-Code"];
  _responseStatusCode = status.isNumber() ? status.number().intValue() : 200;
  _didUseCachedResponse = true;
  Dictionary responseHeaders = *headers;
  responseHeaders.remove("X-HCHTTPRequest-Response-Status-Code");
  responseHeaders.remove("X-HCHTTPRequest-Expires");
  std::lock_guard t(target->_cancelledLock);
  target->_responseHeaders = responseHeaders;
  const unsigned long long size = plat::fileSize(*bodyPath).value_or(0);
  if (target->_downloadDestinationPath) {
    // Used where it lies, not copied.
    target->_downloadDestinationPath = *bodyPath;
  } else {
    if (size > target->_maxResponseDataSize) {
      failWithError(requestError(HCResponseTooLargeErrorType, "The cached response is too large to keep in memory"));
      return;
    }
    auto body = plat::readFile(*bodyPath);
    if (!body) {
      failWithoutCachedResponseLocked();
      return;
    }
    target->_rawResponseData = Data(body->begin(), body->end());
  }
  unsigned long long length = size;
  if (const auto* e = findIgnoringCase(responseHeaders, "Content-Length"); e && e->second.isString()) {
    length = std::strtoull(e->second.string().c_str(), nullptr, 10);
  }
  target->_contentLength = length;
  target->_totalBytesRead = length;
  target->parseStringEncodingFromHeaders();
  plat::HeaderFields fields;
  for (const auto& [k, v] : responseHeaders) {
    if (v.isString()) fields.push_back({k, v.string()});
  }
  target->_responseCookies = HCHTTPCookie::cookiesWithResponseHeaderFields(fields, *_url);
  if (willRedirect()) {
    if (!willAskDelegateToConfirmRedirect()) performRedirect();
    return;
  }
  target->_complete = true;
  target->_downloadComplete = true;
  if (target->_redirectCount == 0) target->_originalURL = target->_url;
  target->updateProgressIndicators();
  target->requestFinished();
  target->markAsFinished();
  if (_mainRequest) markAsFinished();
}
