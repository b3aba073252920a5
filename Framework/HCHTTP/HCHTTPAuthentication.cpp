// Answering 401 and 407 challenges: where credentials come from (the URL,
// the main request, the request, the session stores, the stored
// credentials), how they are applied and retried, when the delegate is
// asked; and the class-wide session stores and session cookie list.
//
// Locks: in the order HCHTTPRequestPrivate.h gives.
#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/foundation/format.h"

using plat::Error;
using plat::URL;
using namespace hchttp;

namespace {

std::vector<HCSessionCredentials>& serverStore() {
  static std::vector<HCSessionCredentials> s;
  return s;
}
std::vector<HCSessionCredentials>& proxyStore() {
  static std::vector<HCSessionCredentials> s;
  return s;
}

bool sameHost(const std::string& a, const std::string& b) { return plat::equalsIgnoringCase(a, b); }

std::optional<std::string> decoded(const std::string& s) {
  if (s.empty()) return std::nullopt;
  return plat::percentDecode(s);
}

plat::ProtectionSpace serverSpace(const std::string& host, int port, const std::string& protocol,
                                  const std::string& realm) {
  return plat::ProtectionSpace{lowercase(host), port, lowercase(protocol), realm, false};
}
plat::ProtectionSpace proxySpace(const std::string& host, int port, const std::string& realm) {
  return plat::ProtectionSpace{lowercase(host), port, "", realm, true};
}

}  // namespace

// --- accessors ---------------------------------------------------------------------------

std::shared_ptr<plat::HTTPAuthentication> HCHTTPRequest::requestAuthentication() const {
  std::lock_guard l(_cancelledLock);
  return _requestAuthentication;
}
HCCredentialsRef HCHTTPRequest::requestCredentials() const {
  std::lock_guard l(_cancelledLock);
  return _requestCredentials;
}
HCCredentialsRef HCHTTPRequest::proxyCredentials() const {
  std::lock_guard l(_cancelledLock);
  return _proxyCredentials;
}
std::optional<std::string> HCHTTPRequest::proxyAuthenticationScheme() const {
  std::lock_guard l(_cancelledLock);
  return _proxyAuthenticationScheme;
}
std::optional<std::string> HCHTTPRequest::proxyAuthenticationRealm() const {
  std::lock_guard l(_cancelledLock);
  return _proxyAuthenticationRealm;
}
int HCHTTPRequest::proxyAuthenticationRetryCount() const {
  std::lock_guard l(_cancelledLock);
  return _proxyAuthenticationRetryCount;
}

// --- pre-emptive credentials -----------------------------------------------------------------

void HCHTTPRequest::applyAuthorizationHeader() {
  std::lock_guard l(_cancelledLock);
  if (!_shouldPresentCredentialsBeforeChallenge) return;
  if (!headerIsSetLocked("Authorization")) {
    // Credentials given for one host are never offered to the host a redirect led to.
    if (_username && _password && _authenticationScheme && *_authenticationScheme == kHCHTTPAuthenticationSchemeBasic &&
        !_droppedCredentialsOnRedirect) {
      addBasicAuthenticationHeaderWithUsername(*_username, *_password);
    } else if (_useSessionPersistence) {
      // The store is searched by the current URL's origin, so this is safe after a redirect too.
      if (auto entry = findSessionAuthenticationCredentials()) {
        if (entry->authentication) {
          auto value = entry->authentication->authorization(_requestMethod, authorizationTargetLocked(),
                                                            entry->credentials->username,
                                                            entry->credentials->password);
          if (value) {
            _requestHeaders.set("Authorization", *value);
            _requestAuthentication = entry->authentication;
            _requestCredentials = entry->credentials;
            _authenticationScheme = entry->authenticationScheme;
          } else {
            removeAuthenticationCredentialsFromSessionStore(entry->credentials);
          }
        } else {
          addBasicAuthenticationHeaderWithUsername(entry->credentials->username, entry->credentials->password);
        }
      }
    }
  }
  if (_useSessionPersistence) applySessionCredentialsLocked();
}

void HCHTTPRequest::applySessionCredentialsLocked() {
  auto entry = findSessionProxyAuthenticationCredentials();
  if (!entry || !entry->authentication) return;
  std::string method = _requestMethod;
  const std::string target = proxyAuthorizationTargetLocked(&method);
  auto value = entry->authentication->authorization(method, target, entry->credentials->username,
                                                    entry->credentials->password);
  if (!value) {
    removeProxyAuthenticationCredentialsFromSessionStore(entry->credentials);
    return;
  }
  removeIgnoringCase(_requestHeaders, "Proxy-Authorization");
  _requestHeaders.set("Proxy-Authorization", *value);
  _proxyAuthentication = entry->authentication;
  _proxyCredentials = entry->credentials;
  _proxyAuthenticationScheme = entry->authenticationScheme;
}

void HCHTTPRequest::storeBasicCredentialsAfterSuccessLocked() {
  if (_authenticationNeeded != 0 || _requestAuthentication || !_useSessionPersistence || !_username || !_password ||
      !_url || _droppedCredentialsOnRedirect)
    return;
  if (!_authenticationScheme || *_authenticationScheme != kHCHTTPAuthenticationSchemeBasic) return;
  // Each request brings a fresh dictionary: the same URL and credentials are kept once, not once per request.
  {
    std::lock_guard s(classState().sessionCredentialsLock);
    for (const auto& e : serverStore()) {
      if (e.url == _url && e.credentials->username == *_username && e.credentials->password == *_password) return;
    }
  }
  HCSessionCredentials entry;
  entry.credentials = std::make_shared<const HCCredentials>(HCCredentials{*_username, *_password, std::nullopt});
  entry.url = _url;
  entry.authenticationScheme = kHCHTTPAuthenticationSchemeBasic;
  storeAuthenticationCredentialsInSessionStore(entry);
}

std::string HCHTTPRequest::authorizationTargetLocked() const {
  if (!_url) return "/";
  const bool viaHTTPProxy = _proxyHost && _proxyPort != 0 && (!_proxyType || *_proxyType != kHCProxyTypeSOCKS);
  return plat::authorizationTarget(*_url, viaHTTPProxy);
}

// A proxy answers an HTTPS request's CONNECT, whose target is the authority.
std::string HCHTTPRequest::proxyAuthorizationTargetLocked(std::string* method) const {
  if (!_url || !_url->isHTTPS()) return authorizationTargetLocked();
  *method = "CONNECT";
  return (_url->isIPv6Host() ? "[" + _url->host() + "]" : _url->host()) + ":" + std::to_string(_url->effectivePort());
}

// --- answering a challenge -----------------------------------------------------------------

void HCHTTPRequest::attemptToApplyCredentialsAndResume() {
  std::unique_lock l(_cancelledLock);
  if (_error || _cancelled) return;
  if (_authenticationNeeded == 2) {
    l.unlock();
    attemptToApplyProxyCredentialsAndResume();
    return;
  }
  tryCredentialsLocked(false);
}

void HCHTTPRequest::attemptToApplyProxyCredentialsAndResume() {
  std::lock_guard l(_cancelledLock);
  if (_error || _cancelled) return;
  tryCredentialsLocked(true);
}

// The server and the proxy walk the same steps over their own fields.
// Answers whether the request was started again.
bool HCHTTPRequest::tryCredentialsLocked(bool proxy) {
  auto& auth = proxy ? _proxyAuthentication : _requestAuthentication;
  auto& creds = proxy ? _proxyCredentials : _requestCredentials;
  auto& scheme = proxy ? _proxyAuthenticationScheme : _authenticationScheme;
  auto& realm = proxy ? _proxyAuthenticationRealm : _authenticationRealm;
  const char* applyFailure = proxy ? "Failed to apply proxy credentials to request" : "Failed to apply credentials to request";
  auto fail = [&](const Error& e) {
    _authenticationNeeded = 0;
    destroyReadStream();
    failWithError(e);
    return false;
  };
  auto restart = [&] {
    _authenticationNeeded = 0;
    startRequest();
    return true;
  };
  auto removeFromStore = [&](const HCCredentialsRef& c) {
    if (proxy) {
      removeProxyAuthenticationCredentialsFromSessionStore(c);
    } else {
      removeAuthenticationCredentialsFromSessionStore(c);
    }
  };
  // Credentials that another request of the session got through with.
  auto trySessionStore = [&]() {
    auto entry = proxy ? findSessionProxyAuthenticationCredentials() : findSessionAuthenticationCredentials();
    if (!entry) return false;
    if (!auth && _responseHead) auth = plat::HTTPAuthentication::createFromResponse(*_responseHead);
    if (!applyCredentialsLocked(proxy, entry->credentials)) {
      removeFromStore(entry->credentials);
      return false;
    }
    return restart();
  };
  auto willAsk = [&] { return proxy ? willAskDelegateForProxyCredentials() : willAskDelegateForCredentials(); };

  if (!auth) {
    if (_responseHead) auth = plat::HTTPAuthentication::createFromResponse(*_responseHead);
    if (!auth) {
      return fail(requestError(HCInternalErrorWhileApplyingCredentialsType,
                               "Failed to get authentication object from response headers"));
    }
    scheme = auth->method();
  } else if (_responseHead) {
    auth->updateWithResponse(*_responseHead);
  }
  realm.reset();
  if (!auth->requiresAccountDomain()) realm = auth->realm();

  Error why;
  if (!auth->isValid(&why)) {
    auth.reset();
    if (why.domain() == plat::kCFStreamErrorDomainHTTP &&
        (why.code() == plat::kCFStreamErrorHTTPAuthenticationBadUserName ||
         why.code() == plat::kCFStreamErrorHTTPAuthenticationBadPassword)) {
      std::lock_guard d(classState().delegateAuthenticationLock);
      // Refused credentials leave the store before anything else is tried.
      if (creds) removeFromStore(creds);
      creds.reset();
      if (_error || _cancelled) return false;
      if (_useSessionPersistence && trySessionStore()) return true;
      _lastActivityTime = 0;
      if (willAsk()) {
        destroyReadStream();
        return false;
      }
    }
    return fail(HCAuthenticationError());
  }

  destroyReadStream();
  if (creds) {
    // A Digest server that only renewed its nonce: the same credentials again.
    if (!applyCredentialsLocked(proxy, creds)) {
      return fail(requestError(HCInternalErrorWhileApplyingCredentialsType, applyFailure));
    }
    return restart();
  }
  // Nothing here can answer such a challenge, and nothing else would end the request.
  if (!auth->requiresUserNameAndPassword()) return fail(HCAuthenticationError());

  std::lock_guard d(classState().delegateAuthenticationLock);
  if (_error || _cancelled) return false;
  if (_useSessionPersistence && trySessionStore()) return true;
  HCCredentialsRef found = proxy ? findProxyCredentials() : findCredentials();
  if (!found) {
    if (willAsk()) return false;
    return fail(HCAuthenticationError());
  }
  if (!applyCredentialsLocked(proxy, found)) {
    return fail(requestError(HCInternalErrorWhileApplyingCredentialsType, applyFailure));
  }
  return restart();
}

bool HCHTTPRequest::applyCredentials(const HCCredentialsRef& credentials) {
  std::lock_guard l(_cancelledLock);
  return applyCredentialsLocked(false, credentials);
}

bool HCHTTPRequest::applyProxyCredentials(const HCCredentialsRef& credentials) {
  std::lock_guard l(_cancelledLock);
  return applyCredentialsLocked(true, credentials);
}

bool HCHTTPRequest::applyCredentialsLocked(bool proxy, const HCCredentialsRef& credentials) {
  ++(proxy ? _proxyAuthenticationRetryCount : _authenticationRetryCount);
  auto& auth = proxy ? _proxyAuthentication : _requestAuthentication;
  if (!credentials || !auth || !_request) return false;
  std::string method = _request->method();
  const std::string target = proxy ? proxyAuthorizationTargetLocked(&method) : authorizationTargetLocked();
  auto value = auth->authorization(method, target, credentials->username, credentials->password);
  const char* name = auth->headerName();
  if (!value || !_request->setHeaderFieldValue(name, *value)) {
    if (proxy) {
      removeProxyAuthenticationCredentialsFromSessionStore(credentials);
    } else {
      removeAuthenticationCredentialsFromSessionStore(credentials);
    }
    return false;
  }
  removeIgnoringCase(_requestHeaders, name);
  _requestHeaders.set(name, *value);
  HCSessionCredentials entry;
  entry.authentication = auth;
  entry.credentials = credentials;
  if (proxy) {
    if (_useKeychainPersistence) saveProxyCredentialsToKeychain(credentials);
    if (_useSessionPersistence) {
      entry.host = _proxyHost.value_or("");
      entry.port = _proxyPort;
      entry.authenticationScheme = _proxyAuthenticationScheme;
      storeProxyAuthenticationCredentialsInSessionStore(entry);
    }
    _proxyCredentials = credentials;
  } else {
    if (_useKeychainPersistence) saveCredentialsToKeychain(credentials);
    if (_useSessionPersistence) {
      entry.url = _url;
      entry.authenticationScheme = _authenticationScheme;
      entry.authenticationRealm = _authenticationRealm;
      storeAuthenticationCredentialsInSessionStore(entry);
    }
    _requestCredentials = credentials;
  }
  return true;
}

HCCredentialsRef HCHTTPRequest::findCredentials() {
  std::lock_guard l(_cancelledLock);
  std::optional<std::string> user, pass;
  if (_url) {
    user = decoded(_url->user());
    pass = decoded(_url->password());
  }
  if (!user || !pass) {
    // The caller's own credentials are for the host it named, not for one a redirect led to.
    if (_mainRequest && _mainRequest->username() && _mainRequest->password() && !_droppedCredentialsOnRedirect) {
      user = _mainRequest->username();
      pass = _mainRequest->password();
    } else if (_username && _password && !_droppedCredentialsOnRedirect) {
      user = _username;
      pass = _password;
    }
  }
  if ((!user || !pass) && _useKeychainPersistence && _url) {
    if (auto saved = savedCredentialsForHost(_url->host(), _url->effectivePort(), _url->scheme(),
                                             _authenticationRealm.value_or(""))) {
      user = saved->user;
      pass = saved->password;
    }
  }
  if (!user || !pass) return nullptr;
  return std::make_shared<const HCCredentials>(HCCredentials{*user, *pass, std::nullopt});
}

HCCredentialsRef HCHTTPRequest::findProxyCredentials() {
  std::lock_guard l(_cancelledLock);
  std::optional<std::string> user, pass;
  if (_mainRequest && _mainRequest->proxyUsername() && _mainRequest->proxyPassword()) {
    user = _mainRequest->proxyUsername();
    pass = _mainRequest->proxyPassword();
  } else if (_proxyUsername && _proxyPassword) {
    user = _proxyUsername;
    pass = _proxyPassword;
  }
  // The stored credentials are looked up for a proxy whatever useKeychainPersistence says.
  if ((!user || !pass) && _proxyHost) {
    if (auto saved = savedCredentialsForProxy(*_proxyHost, _proxyPort, _url ? _url->scheme() : "",
                                              _proxyAuthenticationRealm.value_or(""))) {
      user = saved->user;
      pass = saved->password;
    }
  }
  if (!user || !pass) return nullptr;
  return std::make_shared<const HCCredentials>(HCCredentials{*user, *pass, std::nullopt});
}

void HCHTTPRequest::saveCredentialsToKeychain(const HCCredentialsRef& credentials) {
  if (!credentials || !_url) return;
  saveCredentials(plat::URLCredential{credentials->username, credentials->password}, _url->host(),
                  _url->effectivePort(), _url->scheme(), _authenticationRealm.value_or(""));
}

void HCHTTPRequest::saveProxyCredentialsToKeychain(const HCCredentialsRef& credentials) {
  if (!credentials || !_proxyHost) return;
  saveCredentials(plat::URLCredential{credentials->username, credentials->password}, *_proxyHost, _proxyPort,
                  _proxyAuthenticationRealm.value_or(""));
}

// --- the delegate ----------------------------------------------------------------------------

bool HCHTTPRequest::willAskDelegateForCredentials() {
  std::lock_guard l(_cancelledLock);
  if (_isSynchronous) return false;
  HCHTTPRequestDelegate* receiver = _delegate ? _delegate : static_cast<HCHTTPRequestDelegate*>(_queue.get());
  bool asks = (receiver && receiver->respondsToSelector(HCSelector::authenticationNeededForRequest)) ||
              static_cast<bool>(_authenticationNeededBlock);
  if (asks) {
    auto keep = self();
    if (keep) performOnMainThread([keep] { keep->askDelegateForCredentials(); });
  }
  return asks;
}

bool HCHTTPRequest::willAskDelegateForProxyCredentials() {
  std::lock_guard l(_cancelledLock);
  if (_isSynchronous) return false;
  HCHTTPRequestDelegate* receiver = _delegate ? _delegate : static_cast<HCHTTPRequestDelegate*>(_queue.get());
  bool asks = (receiver && receiver->respondsToSelector(HCSelector::proxyAuthenticationNeededForRequest)) ||
              static_cast<bool>(_proxyAuthenticationNeededBlock);
  if (asks) {
    auto keep = self();
    if (keep) performOnMainThread([keep] { keep->askDelegateForProxyCredentials(); });
  }
  return asks;
}

void HCHTTPRequest::askDelegateForCredentials() {
  HCHTTPRequestDelegate* receiver;
  Block block;
  {
    std::lock_guard l(_cancelledLock);
    receiver = _delegate ? _delegate : static_cast<HCHTTPRequestDelegate*>(_queue.get());
    block = _authenticationNeededBlock;
  }
  if (receiver && receiver->respondsToSelector(HCSelector::authenticationNeededForRequest)) {
    receiver->authenticationNeededForRequest(*this);
  } else if (block) {
    block();
  }
}

void HCHTTPRequest::askDelegateForProxyCredentials() {
  HCHTTPRequestDelegate* receiver;
  Block block;
  {
    std::lock_guard l(_cancelledLock);
    receiver = _delegate ? _delegate : static_cast<HCHTTPRequestDelegate*>(_queue.get());
    block = _proxyAuthenticationNeededBlock;
  }
  if (receiver && receiver->respondsToSelector(HCSelector::proxyAuthenticationNeededForRequest)) {
    receiver->proxyAuthenticationNeededForRequest(*this);
  } else if (block) {
    block();
  }
}

void HCHTTPRequest::retryUsingSuppliedCredentials() {
  auto keep = self();
  if (!keep) return;
  threadForRequest(this)->perform(
      [keep] {
        bool hasMessage;
        {
          std::lock_guard l(keep->_cancelledLock);
          hasMessage = keep->_request.has_value();
        }
        if (hasMessage) {
          keep->attemptToApplyCredentialsAndResume();
        } else {
          keep->main();
        }
      },
      {plat::kDefaultRunLoopMode});
}

void HCHTTPRequest::cancelAuthentication() {
  auto keep = self();
  if (!keep) return;
  threadForRequest(this)->perform([keep] { keep->failAuthentication(); }, {plat::kDefaultRunLoopMode});
}

void HCHTTPRequest::failAuthentication() {
  std::lock_guard l(_cancelledLock);
  destroyReadStream();
  failWithError(HCAuthenticationError());
}

// --- the session stores ----------------------------------------------------------------------

std::vector<HCSessionCredentials> HCHTTPRequest::sessionCredentialsStore() {
  std::lock_guard s(classState().sessionCredentialsLock);
  return serverStore();
}

std::vector<HCSessionCredentials> HCHTTPRequest::sessionProxyCredentialsStore() {
  std::lock_guard s(classState().sessionCredentialsLock);
  return proxyStore();
}

void HCHTTPRequest::storeAuthenticationCredentialsInSessionStore(const HCSessionCredentials& entry) {
  std::lock_guard s(classState().sessionCredentialsLock);
  std::erase_if(serverStore(), [&](const HCSessionCredentials& e) { return e.credentials == entry.credentials; });
  serverStore().push_back(entry);
}

void HCHTTPRequest::storeProxyAuthenticationCredentialsInSessionStore(const HCSessionCredentials& entry) {
  std::lock_guard s(classState().sessionCredentialsLock);
  std::erase_if(proxyStore(), [&](const HCSessionCredentials& e) { return e.credentials == entry.credentials; });
  proxyStore().push_back(entry);
}

void HCHTTPRequest::removeAuthenticationCredentialsFromSessionStore(const HCCredentialsRef& credentials) {
  std::lock_guard s(classState().sessionCredentialsLock);
  auto& st = serverStore();
  for (auto it = st.begin(); it != st.end(); ++it) {
    if (it->credentials == credentials) {
      st.erase(it);
      return;
    }
  }
}

void HCHTTPRequest::removeProxyAuthenticationCredentialsFromSessionStore(const HCCredentialsRef& credentials) {
  std::lock_guard s(classState().sessionCredentialsLock);
  auto& st = proxyStore();
  for (auto it = st.begin(); it != st.end(); ++it) {
    if (it->credentials == credentials) {
      st.erase(it);
      return;
    }
  }
}

std::optional<HCSessionCredentials> HCHTTPRequest::findSessionAuthenticationCredentials() {
  std::lock_guard l(_cancelledLock);
  if (!_url) return std::nullopt;
  std::lock_guard s(classState().sessionCredentialsLock);
  std::optional<HCSessionCredentials> close;
  for (const auto& e : serverStore()) {
    if (!e.url) continue;
    const bool exact = *e.url == *_url;
    if (!exact) {
      if (close) continue;
      // Same origin only: host, port as named (or none on both) and scheme.
      if (!sameHost(e.url->host(), _url->host()) || e.url->port() != _url->port() ||
          e.url->scheme() != _url->scheme())
        continue;
    }
    if (_authenticationRealm && e.authenticationRealm && *e.authenticationRealm != *_authenticationRealm) continue;
    if (_username && _password &&
        (e.credentials->username != *_username || e.credentials->password != *_password))
      continue;
    if (exact) return e;
    close = e;
  }
  return close;
}

std::optional<HCSessionCredentials> HCHTTPRequest::findSessionProxyAuthenticationCredentials() {
  std::lock_guard l(_cancelledLock);
  std::lock_guard s(classState().sessionCredentialsLock);
  for (const auto& e : proxyStore()) {
    if (_proxyHost && e.host == *_proxyHost && e.port == _proxyPort) return e;
  }
  return std::nullopt;
}

// --- the stored credentials ----------------------------------------------------------------------

void HCHTTPRequest::saveCredentials(const plat::URLCredential& credential, const std::string& host, int port,
                                    const std::string& protocol, const std::string& realm) {
  plat::CredentialStorage::shared()->setDefaultCredential(credential, serverSpace(host, port, protocol, realm));
}

void HCHTTPRequest::saveCredentials(const plat::URLCredential& credential, const std::string& proxyHost, int port,
                                    const std::string& realm) {
  plat::CredentialStorage::shared()->setDefaultCredential(credential, proxySpace(proxyHost, port, realm));
}

std::optional<plat::URLCredential> HCHTTPRequest::savedCredentialsForHost(const std::string& host, int port,
                                                                          const std::string& protocol,
                                                                          const std::string& realm) {
  return plat::CredentialStorage::shared()->defaultCredential(serverSpace(host, port, protocol, realm));
}

std::optional<plat::URLCredential> HCHTTPRequest::savedCredentialsForProxy(const std::string& proxyHost, int port,
                                                                           const std::string& /*protocol*/,
                                                                           const std::string& realm) {
  return plat::CredentialStorage::shared()->defaultCredential(proxySpace(proxyHost, port, realm));
}

void HCHTTPRequest::removeCredentialsForHost(const std::string& host, int port, const std::string& protocol,
                                             const std::string& realm) {
  plat::CredentialStorage::shared()->removeCredential(serverSpace(host, port, protocol, realm));
}

void HCHTTPRequest::removeCredentialsForProxy(const std::string& proxyHost, int port, const std::string& realm) {
  plat::CredentialStorage::shared()->removeCredential(proxySpace(proxyHost, port, realm));
}

// --- session cookies ---------------------------------------------------------------------------------

std::vector<HCHTTPCookie> HCHTTPRequest::sessionCookies() {
  ClassState& cs = classState();
  std::lock_guard l(cs.sessionCookiesLock);
  return cs.sessionCookies;
}

void HCHTTPRequest::setSessionCookies(std::optional<std::vector<HCHTTPCookie>> cookies) {
  ClassState& cs = classState();
  std::lock_guard l(cs.sessionCookiesLock);
  for (const auto& c : cs.sessionCookies) HCHTTPCookieStorage::shared().deleteCookie(c);
  cs.sessionCookies = cookies ? std::move(*cookies) : std::vector<HCHTTPCookie>{};
}

void HCHTTPRequest::addSessionCookie(const HCHTTPCookie& cookie) { hchttp::addSessionCookie(cookie); }

void HCHTTPRequest::clearSession() {
  {
    std::lock_guard s(classState().sessionCredentialsLock);
    serverStore().clear();
  }
  setSessionCookies(std::nullopt);
  if (HCCacheDelegate* cache = defaultCache()) cache->clearCachedResponsesForStoragePolicy(StoreForSession);
}
