#include "app/interface/QVHTTPRequest.h"

#include "platform/net/proxy_settings.h"

#include <limits>
#include <mutex>

#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"

namespace {

std::mutex gMutex;
std::string gTrustedPEM;
double gTimeout = QVHTTPRequest::kDefaultTimeoutInterval;

bool isContentLength(const std::string& name) {
  static const std::string kName = "content-length";
  if (name.size() != kName.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (static_cast<char>(std::tolower(static_cast<unsigned char>(name[i]))) != kName[i]) return false;
  }
  return true;
}

// Where a request went, for the log: no query, since a query may carry a
// token; never the header fields or the body.
std::string loggedTarget(const std::string& url) { return url.substr(0, url.find('?')); }

}  // namespace

QVHTTPRequest::QVHTTPRequest(std::string url, std::string method, std::optional<plat::HeaderFields> header,
                             std::optional<plat::Data> body)
    : method_(std::move(method)),
      header_(std::move(header)),
      body_(body ? std::make_shared<const plat::Data>(std::move(*body)) : nullptr),
      url_(std::move(url)) {}

QVHTTPRequest::QVHTTPRequest(std::string url, std::string method, std::optional<plat::HeaderFields> header,
                             std::shared_ptr<const plat::Data> body)
    : method_(std::move(method)), header_(std::move(header)), body_(std::move(body)), url_(std::move(url)) {}

plat::URLRequest QVHTTPRequest::urlRequest() const {
  plat::URLRequest r;
  r.url = url_;
  r.method = method_;
  std::string length = plat::format("%ld", static_cast<long>(body_ ? body_->size() : 0));
  bool given = false;
  if (header_) {
    for (const auto& [name, value] : *header_) {
      if (isContentLength(name)) {
        if (!given) r.headers.insert(r.headers.begin(), {"Content-Length", value});
        else r.headers.front().second = value;
        given = true;
      } else {
        r.headers.emplace_back(name, value);
      }
    }
  }
  if (!given) r.headers.insert(r.headers.begin(), {"Content-Length", length});
  r.sharedBody = body_;
  r.timeoutInterval = timeoutInterval();
  r.ssl.trustedCertificatesPEM = trustedCertificatesPEM();
  // The proxy the user set in the settings window, when one is set.
  if (auto own = plat::applicationProxySettings()) {
    if (auto url = plat::URL::parse(url_)) {
      auto proxies = plat::proxiesForURL(*url, *own);
      if (!proxies.empty() && !proxies[0].host.empty() && proxies[0].type != plat::kCFProxyTypeNone) {
        plat::ProxySettings p;
        p.type = proxies[0].type == plat::kCFProxyTypeSOCKS ? plat::ProxySettings::Type::SOCKS5
                                                             : plat::ProxySettings::Type::HTTP;
        p.host = proxies[0].host;
        p.port = proxies[0].port;
        p.username = proxies[0].username;
        p.password = proxies[0].password;
        r.proxy = p;
      }
    }
  }
  return r;
}

std::optional<plat::Data> QVHTTPRequest::connectNetSyncWithResponse(std::optional<plat::HTTPURLResponse>* response,
                                                                    plat::Error* error) {
  plat::Error e;
  std::optional<plat::HTTPURLResponse> head;
  auto body = plat::URLConnection::sendSynchronousRequest(urlRequest(), &head, &e);
  if (!body && !head) logFailure(e);
  if (response) *response = std::move(head);
  if (error) *error = e;
  return body;
}

void QVHTTPRequest::logFailure(const plat::Error& error) const {
  plat::log("QVHTTPRequest: %@ %@ failed: %@ (%ld)", method_, loggedTarget(url_), error.localizedDescription(),
            static_cast<long>(error.code()));
}

void QVHTTPRequest::main() {
  isRunning_ = true;
  connectNet();
  auto loop = plat::RunLoop::current();
  while (isRunning_) loop->runInMode(plat::kDefaultRunLoopMode, std::numeric_limits<double>::infinity(), true);
  connection_.reset();
}

void QVHTTPRequest::connectNet() {
  connection_ = plat::URLConnection::start(urlRequest(), this, plat::RunLoop::current(), {plat::kDefaultRunLoopMode});
}

void QVHTTPRequest::connectionDidReceiveResponse(plat::URLConnection&, const plat::HTTPURLResponse& response) {
  statusCode_ = response.statusCode();
  jsonData_.clear();
}

void QVHTTPRequest::connectionDidReceiveData(plat::URLConnection&, const plat::Data& data) {
  jsonData_.insert(jsonData_.end(), data.begin(), data.end());
}

void QVHTTPRequest::connectionDidFinishLoading(plat::URLConnection&) { isRunning_ = false; }

void QVHTTPRequest::connectionDidFailWithError(plat::URLConnection&, const plat::Error& error) {
  logFailure(error);
  statusCode_ = error.code();
  isRunning_ = false;
}

void QVHTTPRequest::setTrustedCertificatesPEM(std::string pem) {
  std::lock_guard<std::mutex> l(gMutex);
  gTrustedPEM = std::move(pem);
}

std::string QVHTTPRequest::trustedCertificatesPEM() {
  std::lock_guard<std::mutex> l(gMutex);
  return gTrustedPEM;
}

void QVHTTPRequest::setTimeoutInterval(double seconds) {
  std::lock_guard<std::mutex> l(gMutex);
  // Never unbounded: a silent server must not hold a sync thread forever.
  gTimeout = seconds > 0 ? seconds : kDefaultTimeoutInterval;
}

double QVHTTPRequest::timeoutInterval() {
  std::lock_guard<std::mutex> l(gMutex);
  return gTimeout;
}
