// The proxy step before a request opens its stream: a proxy the caller set
// wins; else the system settings for the URL, which may name a PAC script.
// The script is read (file) or fetched (HTTP, as a request of its own) and
// run by the PAC evaluator on its own thread; its answer comes back to the
// request's run loop, and the request then starts exactly once: with the
// proxy named, or direct when the script is missing, fails or overruns.
#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/HCHTTP/HCHTTPRequestPrivate.h"
#include "platform/net/proxy_pac.h"

using plat::URL;
using namespace hchttp;

namespace {
constexpr size_t kMaxPACBytes = 1 << 20;

// Gives back the queue slot a PAC fetch added, once.
void lowerQueueWidth(const std::shared_ptr<std::atomic<bool>>& raised) {
  if (!raised || !raised->exchange(false)) return;
  std::lock_guard c(classState().connectionsLock);
  auto& q = HCHTTPRequest::sharedQueue();
  q.setMaxConcurrentOperationCount(q.maxConcurrentOperationCount() - 1);
}
}  // namespace

bool HCHTTPRequest::configureProxies() {
  std::lock_guard l(_cancelledLock);
  if (_isPACFileRequest || _proxyHost || _proxyPort != 0) return true;
  if (_PACurl) {
    fetchPACFile();
    return false;
  }
  auto settings = plat::copySystemProxySettings();
  if (!settings || !_url) {
    destroyReadStream();
    failWithError(requestError(HCInternalErrorWhileBuildingRequestType,
                               "Unable to obtain information on proxy servers needed for request"));
    return false;
  }
  auto proxies = plat::proxiesForURL(*_url, *settings);
  if (!proxies.empty() && proxies[0].autoConfigurationURL) {
    _PACurl = URL::parse(*proxies[0].autoConfigurationURL);
    // A script URL that is no URL names no script: direct.
    if (!_PACurl) return true;
    fetchPACFile();
    return false;
  }
  if (!proxies.empty()) takeProxyEntryLocked(proxies[0]);
  return true;
}

void HCHTTPRequest::takeProxyEntryLocked(const plat::ProxyEntry& entry) {
  // The direct entry carries no host: the request goes without a proxy.
  if (entry.type == plat::kCFProxyTypeNone || entry.host.empty()) return;
  _proxyHost = entry.host;
  _proxyPort = entry.port;
  _proxyType = entry.type;
  if (!_proxyUsername && !entry.username.empty()) {
    _proxyUsername = entry.username;
    _proxyPassword = entry.password;
  }
}

void HCHTTPRequest::fetchPACFile() {
  std::lock_guard l(_cancelledLock);
  if (!_PACurl || !_url) {
    startRequest();
    return;
  }
  const URL pac = *_PACurl;
  const URL target = *_url;
  const uint64_t generation = ++_pacGeneration;
  auto loop = plat::RunLoop::current();
  _runLoop = loop;
  const std::string mode = _runLoopMode;
  std::weak_ptr<HCHTTPRequest> weak = self();
  // Answers come back on the request's own loop, never on the evaluator's thread.
  auto resume = [weak, generation, loop, mode](std::optional<std::vector<plat::ProxyEntry>> proxies) {
    loop->perform(
        [weak, generation, proxies] {
          if (auto s = weak.lock()) {
            std::lock_guard l(s->_cancelledLock);
            s->finishPACStepLocked(generation, proxies);
          }
        },
        {mode});
  };
  const std::string scheme = pac.scheme();
  if (scheme != "file" && scheme != "http" && scheme != "https") {
    startRequest();
    return;
  }
  if (_timeOutSeconds > 0) {
    _pacTimerLoop = loop;
    _pacTimer = loop->addTimer(
        _timeOutSeconds, 0, false,
        [weak, generation] {
          if (auto s = weak.lock()) {
            std::lock_guard l(s->_cancelledLock);
            s->finishPACStepLocked(generation, std::nullopt);
          }
        },
        {mode});
  }
  if (scheme == "file") {
    plat::PACEvaluator::shared().evaluateFile(plat::percentDecode(pac.path()).value_or(pac.path()), target, resume);
    return;
  }
  auto fetch = HCHTTPRequest::requestWithURL(pac);
  fetch->setIsPACFileRequest(true);
  fetch->setTimeOutSeconds(_timeOutSeconds);
  fetch->setTrustedCertificatesPEM(_trustedCertificatesPEM);
  // Refused while it arrives: a larger script fails the fetch (code 12) once past the limit.
  fetch->setMaxResponseDataSize(kMaxPACBytes);
  auto scriptOf = [](const HCHTTPRequest& r) -> std::optional<std::string> {
    if (r.error() || r.responseStatusCode() != 200) return std::nullopt;
    return r.responseString();
  };
  if (_isSynchronous) {
    fetch->startSynchronous();
    auto script = scriptOf(*fetch);
    if (!script) {
      finishPACStepLocked(generation, std::nullopt);
      return;
    }
    plat::PACEvaluator::shared().evaluate(*script, target, resume);
    return;
  }
  _PACFileRequest = fetch;
  std::weak_ptr<HCHTTPRequest> weakFetch = fetch;
  auto raised = std::make_shared<std::atomic<bool>>(false);
  auto finished = [weak, weakFetch, target, resume, scriptOf, generation, raised] {
    // The slot goes back even when the request that asked is gone.
    lowerQueueWidth(raised);
    auto f = weakFetch.lock();
    auto s = weak.lock();
    if (!s) return;
    std::optional<std::string> script = f ? scriptOf(*f) : std::nullopt;
    {
      std::lock_guard l(s->_cancelledLock);
      s->lowerPACQueueWidthLocked();
      if (generation != s->_pacGeneration) return;
      s->_PACFileRequest.reset();
    }
    if (!script) {
      resume(std::nullopt);
      return;
    }
    plat::PACEvaluator::shared().evaluate(*script, target, resume);
  };
  fetch->setCompletionBlock(finished);
  fetch->setFailedBlock(finished);
  {
    // The script's request must not wait behind the requests that wait for it.
    std::lock_guard c(classState().connectionsLock);
    auto& q = sharedQueue();
    q.setMaxConcurrentOperationCount(q.maxConcurrentOperationCount() + 1);
    raised->store(true);
    _pacWidthRaised = raised;
  }
  fetch->startAsynchronous();
}

void HCHTTPRequest::runPACScript(const std::string& script) {
  std::lock_guard l(_cancelledLock);
  if (script.empty() || !_url) return;
  auto proxies = plat::proxiesForAutoConfigurationScript(script, *_url, plat::PACEvaluator::shared().timeLimit());
  if (proxies && !proxies->empty()) takeProxyEntryLocked((*proxies)[0]);
}

void HCHTTPRequest::finishPACStepLocked(uint64_t generation,
                                        const std::optional<std::vector<plat::ProxyEntry>>& proxies) {
  if (generation != _pacGeneration) return;
  ++_pacGeneration;  // the time-out and a late answer find nothing to do
  if (_pacTimer && _pacTimerLoop) _pacTimerLoop->remove(_pacTimer);
  _pacTimer = 0;
  _pacTimerLoop.reset();
  if (_cancelled || _error) return;
  if (proxies && !proxies->empty()) takeProxyEntryLocked((*proxies)[0]);
  startRequest();
}

void HCHTTPRequest::lowerPACQueueWidthLocked() {
  lowerQueueWidth(_pacWidthRaised);
  _pacWidthRaised.reset();
}

void HCHTTPRequest::cancelPACFetchLocked() {
  ++_pacGeneration;
  if (_pacTimer && _pacTimerLoop) _pacTimerLoop->remove(_pacTimer);
  _pacTimer = 0;
  _pacTimerLoop.reset();
  if (_PACFileRequest) {
    auto fetch = std::move(_PACFileRequest);
    _PACFileRequest.reset();
    fetch->clearDelegatesAndCancel();
    lowerPACQueueWidthLocked();
  }
}
