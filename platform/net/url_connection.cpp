#include "platform/net/url_connection.h"

#include <sys/timerfd.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <limits>

#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/inflation_limit.h"
#include "platform/net/url_cache.h"

namespace plat {

namespace {

constexpr const char* kMode = "plat.URLConnection.synchronous";
// One connection id for every exchange of this class: they share
// connections among themselves, never with the HTTP library's.
constexpr int64_t kSynchronousConnectionID = -1;
constexpr int kMaxRedirects = 10;

Error urlError(long code, std::string text, std::shared_ptr<const Error> underlying = nullptr) {
  return Error::withDescription(kURLErrorDomain, code, std::move(text), std::move(underlying));
}

Error translate(const Error& e) {
  auto under = std::make_shared<const Error>(e);
  if (e.domain() == kOSStatusErrorDomain) {
    bool untrusted = e.code() == errSSLNoRootCert || e.code() == errSSLCertExpired || e.code() == errSSLXCertChainInvalid;
    return urlError(untrusted ? kURLErrorServerCertificateUntrusted : kURLErrorSecureConnectionFailed,
                    untrusted ? "The certificate for this server is invalid." : "A TLS error has occurred.", under);
  }
  if (e.domain() == kCFErrorDomainCFNetwork) {
    switch (e.code()) {
      case kCFHostErrorHostNotFound:
      case kCFHostErrorUnknown:
        return urlError(kURLErrorCannotFindHost, "A server with the specified hostname could not be found.", under);
      case kCFURLErrorNetworkConnectionLost:
      case kCFErrorHTTPConnectionLost:
        return urlError(kURLErrorNetworkConnectionLost, "The network connection was lost.", under);
      case kCFErrorHTTPParseFailure:
        return urlError(kURLErrorBadServerResponse, "The server's answer could not be read.", under);
      default:
        return urlError(kURLErrorCannotConnectToHost, "Could not connect to the server.", under);
    }
  }
  if (e.domain() == kPOSIXErrorDomain) return urlError(kURLErrorCannotConnectToHost, "Could not connect to the server.", under);
  return urlError(kURLErrorUnknown, e.localizedDescription(), under);
}

// Inflates a compressed body piece by piece, as it arrives, never more
// than one output piece at a time, and never past its limit.
class Inflater {
public:
  Inflater(bool gzip, uint64_t maxInflatedBytes) : max_(maxInflatedBytes) {
    ok_ = inflateInit2(&z_, gzip ? 15 + 32 : 15) == Z_OK;
  }
  ~Inflater() {
    if (ok_) inflateEnd(&z_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  enum class Result { Ok, Corrupt, TooLarge };
  // Hands each inflated piece to `piece`, which may end the exchange (then
  // `stop()` tells to stop).
  template <typename Piece, typename Stop>
  Result feed(const uint8_t* bytes, size_t size, const Piece& piece, const Stop& stop) {
    if (!ok_) return Result::Corrupt;
    if (ended_) return Result::Ok;  // what follows the compressed stream is not body
    wire_ += size;
    z_.next_in = const_cast<uint8_t*>(bytes);
    z_.avail_in = static_cast<uInt>(size);
    uint8_t buf[65536];
    while (true) {
      z_.next_out = buf;
      z_.avail_out = sizeof buf;
      int r = inflate(&z_, Z_NO_FLUSH);
      size_t n = sizeof buf - z_.avail_out;
      inflated_ += n;
      if (inflated_ > (max_ ? max_ : inflationLimit(wire_))) return Result::TooLarge;
      if (n > 0) {
        piece(Data(buf, buf + n));
        if (stop()) return Result::Ok;
      }
      if (r == Z_STREAM_END) {
        ended_ = true;
        return Result::Ok;
      }
      if (r == Z_BUF_ERROR && z_.avail_in == 0) return Result::Ok;
      if (r != Z_OK) return Result::Corrupt;
      if (z_.avail_in == 0 && z_.avail_out != 0) return Result::Ok;
    }
  }
  bool ended() const { return ended_; }

private:
  z_stream z_{};
  bool ok_ = false;
  bool ended_ = false;
  uint64_t max_;
  uint64_t wire_ = 0;
  uint64_t inflated_ = 0;
};

Error exceptionError(const char* what) {
  return urlError(kURLErrorUnknown, std::string("The exchange failed on an exception: ") + what);
}

bool isRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

// A waking period short beside the time-out, so that silence is seen within
// a small part of it.
double watchPeriod(double timeout) { return std::clamp(timeout / 8, 0.001, 0.25); }

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

struct URLConnection::State {
  URLRequest request;
  URLConnectionDelegate* delegate = nullptr;
  std::shared_ptr<RunLoop> loop;
  RunLoop::Modes modes;
  std::shared_ptr<URLConnection> self;  // held while the exchange runs

  // The current hop of the redirect chain.
  std::optional<URL> url;
  std::string method;
  // Shared with every attempt's stream, never copied per attempt; null: none.
  std::shared_ptr<const Data> body;
  HeaderFields headers;
  int redirects = 0;
  std::optional<HTTPMessage> message;
  bool retried = false;

  std::shared_ptr<HTTPReadStream> stream;
  bool headSeen = false;
  std::optional<URL> redirectTo;  // set while the body of a followed redirect is read and dropped
  std::unique_ptr<Inflater> inflater;
  bool done = false;

  // A peer's silence is measured in real seconds, on a timer of the
  // kernel's: a test's hand-driven clock must not make a socket time out.
  int timerFd = -1;
  RunLoop::SourceId timerSource = 0;
  uint64_t marker = 0;
  double lastProgress = 0;

  // The shared cache, when the request may use it; the kept answer being
  // asked about; the answer being kept as it comes.
  std::shared_ptr<URLCache> cache;
  std::optional<CachedURLResponse> kept;
  bool notModified = false;
  bool storing = false;
  Data stored;
};

URLConnection::URLConnection(const URLRequest& request, URLConnectionDelegate* delegate, std::shared_ptr<RunLoop> loop,
                             RunLoop::Modes modes)
    : s_(std::make_unique<State>()) {
  s_->request = request;
  s_->delegate = delegate;
  s_->loop = std::move(loop);
  s_->modes = std::move(modes);
}

URLConnection::~URLConnection() { cleanUp(); }

std::shared_ptr<URLConnection> URLConnection::start(const URLRequest& request, URLConnectionDelegate* delegate,
                                                    std::shared_ptr<RunLoop> loop, RunLoop::Modes modes) {
  if (!loop) loop = RunLoop::current();
  PLAT_PARAMETER_ASSERT(loop->isCurrent());
  std::shared_ptr<URLConnection> c(new URLConnection(request, delegate, loop, std::move(modes)));
  State& s = *c->s_;
  s.self = c;
  s.timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (s.timerFd >= 0) {
    double period = watchPeriod(std::max(request.timeoutInterval, 0.001));
    itimerspec spec{};
    spec.it_value.tv_sec = spec.it_interval.tv_sec = static_cast<time_t>(period);
    spec.it_value.tv_nsec = spec.it_interval.tv_nsec =
        static_cast<long>((period - static_cast<double>(spec.it_value.tv_sec)) * 1e9);
    timerfd_settime(s.timerFd, 0, &spec, nullptr);
    std::weak_ptr<URLConnection> weak = c;
    s.timerSource = loop->addFd(
        s.timerFd, RunLoop::kReadable,
        [weak](uint32_t) {
          if (auto strong = weak.lock()) strong->onTimer();
        },
        s.modes);
  }
  s.lastProgress = monotonicSeconds();
  // Delegate calls never come from inside start().
  std::weak_ptr<URLConnection> weak = c;
  loop->perform(
      [weak] {
        if (auto strong = weak.lock()) strong->begin();
      },
      s.modes);
  return c;
}

void URLConnection::cancel() {
  if (s_->done) return;
  s_->done = true;
  cleanUp();
  auto keep = std::move(s_->self);
}

bool URLConnection::isFinished() const { return s_->done; }

const URLRequest& URLConnection::originalRequest() const { return s_->request; }

void URLConnection::begin() {
  State& s = *s_;
  if (s.done) return;
  auto url = URL::parse(s.request.url);
  if (!url || url->host().empty()) return fail(urlError(kURLErrorBadURL, "unsupported URL"));
  if (url->scheme() != "http" && url->scheme() != "https") return fail(urlError(kURLErrorUnsupportedURL, "unsupported URL"));
  s.url = url;
  s.method = s.request.method;
  if (s.request.sharedBody) s.body = s.request.sharedBody;
  else if (!s.request.body.empty()) s.body = std::make_shared<const Data>(s.request.body);
  s.headers = s.request.headers;
  if (URLCache::cacheableRequest(s.method, s.headers)) s.cache = URLCache::shared();
  if (s.cache) {
    s.kept = s.cache->cachedResponse(s.request.url);
    if (s.kept && URLCache::isFresh(*s.kept, currentClock().now().secondsSince1970)) return answerFromCache();
    if (s.kept && URLCache::hasValidator(*s.kept)) {
      if (auto etag = s.kept->header("ETag")) s.headers.emplace_back("If-None-Match", *etag);
      if (auto modified = s.kept->header("Last-Modified")) s.headers.emplace_back("If-Modified-Since", *modified);
    } else {
      s.kept.reset();
    }
  }
  attempt();
}

void URLConnection::answerFromCache() {
  State& s = *s_;
  auto head = std::make_shared<HTTPMessage>(HTTPMessage::createResponse(s.kept->status, s.kept->statusLine));
  for (const auto& [name, value] : s.kept->headers) head->addHeaderFieldValue(name, value);
  head->setHeaderComplete(true);
  auto keep = shared_from_this();  // a delegate may cancel and drop us
  s.headSeen = true;
  if (s.delegate) s.delegate->connectionDidReceiveResponse(*this, HTTPURLResponse(*s.url, head));
  if (s.done) return;
  if (s.delegate && !s.kept->body.empty()) s.delegate->connectionDidReceiveData(*this, s.kept->body);
  if (s.done) return;
  s.storing = false;
  finish();
}

void URLConnection::attempt() {
  State& s = *s_;
  s.message = HTTPMessage::createRequest(s.method, *s.url);
  if (!s.message) return fail(urlError(kURLErrorBadURL, "The method \"" + s.method + "\" can't be sent"));
  for (const auto& [name, value] : s.headers) {
    if (!s.message->addHeaderFieldValue(name, value))
      return fail(urlError(kURLErrorUnknown, "The header field \"" + name + "\" can't be sent"));
  }
  s.headSeen = false;
  s.redirectTo.reset();
  s.inflater.reset();
  s.stream = HTTPReadStream::create(
      *s.message, s.body && !s.body->empty() ? std::make_unique<DataBodySource>(s.body) : nullptr);
  s.stream->setSSLSettings(s.request.ssl);
  s.stream->setProxy(s.request.proxy);
  s.stream->setAttemptPersistentConnection(true);
  s.stream->setConnectionID(kSynchronousConnectionID);
  std::weak_ptr<URLConnection> weak = shared_from_this();
  s.stream->setClient(HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventEndEncountered |
                          HTTPReadStream::kEventErrorOccurred,
                      [weak](uint32_t ev) {
                        if (auto strong = weak.lock()) strong->onStreamEvent(ev);
                      });
  for (const auto& mode : s.modes) s.stream->scheduleInRunLoop(s.loop, mode);
  s.marker = s.stream->progressMarker();
  s.lastProgress = monotonicSeconds();
  if (!s.stream->open())
    fail(translate(Error::withDescription(kCFErrorDomainCFNetwork, kCFErrorHTTPParseFailure, "unsupported URL")));
}

void URLConnection::onStreamEvent(uint32_t ev) {
  if (s_->done) return;
  auto keep = shared_from_this();  // a delegate may cancel and drop us
  // A throw (a delegate's own, or memory running out) ends the exchange
  // with an error; let through, the run loop would drop it and the body
  // would go on with a hole in it.
  try {
    handleStreamEvent(ev);
  } catch (const std::exception& e) {
    log("URLConnection: exception in the exchange: %@", std::string(e.what()));
    fail(exceptionError(e.what()));
  }
}

void URLConnection::handleStreamEvent(uint32_t ev) {
  State& s = *s_;
  if (ev == HTTPReadStream::kEventHasBytesAvailable) {
    if (!s.headSeen) {
      onHead();
      if (s.done) return;
    }
    uint8_t buf[65536];
    long n;
    while (!s.done && s.stream && (n = s.stream->read(buf, sizeof buf)) > 0) onBody(buf, static_cast<size_t>(n));
    return;
  }
  if (ev == HTTPReadStream::kEventEndEncountered) return onEnd();
  std::optional<Error> e = s.stream->error();
  Error error = e ? *e : Error::withDescription(kCFErrorDomainCFNetwork, kCFErrorHTTPConnectionLost, "stream failed");
  // A kept connection the server had closed: once more on a fresh one.
  if (!s.headSeen && !s.retried && s.stream->connectionWasReused() && error.domain() == kCFErrorDomainCFNetwork &&
      error.code() == kCFURLErrorNetworkConnectionLost) {
    s.retried = true;
    closeStream();
    return attempt();
  }
  fail(translate(error));
}

void URLConnection::onHead() {
  State& s = *s_;
  s.headSeen = true;
  auto head = s.stream->responseHeader();
  int status = head->statusCode();
  auto location = head->headerFieldValue("Location");
  if (s.request.followRedirects && location && isRedirect(status)) {
    auto next = URL::resolve(*location, *s.url);
    if (next && (next->scheme() == "http" || next->scheme() == "https") && !next->host().empty()) {
      if (s.redirects + 1 > kMaxRedirects) return fail(urlError(kURLErrorHTTPTooManyRedirects, "too many HTTP redirects"));
      s.redirectTo = next;  // its body is read to the end and dropped
      return;
    }
  }
  // The kept answer still holds: it is given back once this one's body is read.
  if (s.kept && status == 304 && s.redirects == 0) {
    s.notModified = true;
    return;
  }
  s.kept.reset();
  s.storing = s.cache && s.redirects == 0 && URLCache::storable(*head);
  s.stored.clear();
  auto encoding = head->headerFieldValue("Content-Encoding");
  if (encoding && (equalsIgnoringCase(*encoding, "gzip") || equalsIgnoringCase(*encoding, "deflate")))
    s.inflater = std::make_unique<Inflater>(equalsIgnoringCase(*encoding, "gzip"), s.request.maxInflatedBytes);
  if (s.delegate) s.delegate->connectionDidReceiveResponse(*this, HTTPURLResponse(*s.url, head));
}

void URLConnection::keepPiece(const uint8_t* bytes, size_t size) {
  State& s = *s_;
  if (!s.storing) return;
  if (s.stored.size() + size > s.cache->maxEntrySize()) {
    // Too big to keep: not kept, and not held in memory.
    s.storing = false;
    Data().swap(s.stored);
    return;
  }
  s.stored.insert(s.stored.end(), bytes, bytes + size);
}

void URLConnection::onBody(const uint8_t* bytes, size_t size) {
  State& s = *s_;
  if (s.redirectTo || s.notModified || !s.delegate) return;
  if (!s.inflater) {
    keepPiece(bytes, size);
    return s.delegate->connectionDidReceiveData(*this, Data(bytes, bytes + size));
  }
  auto result = s.inflater->feed(
      bytes, size,
      [&](const Data& piece) {
        keepPiece(piece.data(), piece.size());
        s.delegate->connectionDidReceiveData(*this, piece);
      },
      [&] { return s.done; });
  if (result == Inflater::Result::Corrupt) return fail(urlError(kURLErrorCannotDecodeContentData, "cannot decode raw data"));
  if (result == Inflater::Result::TooLarge)
    return fail(urlError(kURLErrorDataLengthExceedsMaximum, "The response inflates past its size limit."));
}

void URLConnection::onEnd() {
  State& s = *s_;
  if (!s.headSeen) {
    onHead();
    if (s.done) return;
  }
  if (s.redirectTo) {
    int status = s.stream->responseHeader()->statusCode();
    URL next = *s.redirectTo;
    closeStream();
    ++s.redirects;
    s.retried = false;
    if (status == 303 || ((status == 301 || status == 302) && s.method != "GET" && s.method != "HEAD")) {
      s.method = s.method == "HEAD" ? "HEAD" : "GET";
      s.body.reset();
      std::erase_if(s.headers, [](const HeaderField& f) {
        return equalsIgnoringCase(f.first, "Content-Length") || equalsIgnoringCase(f.first, "Content-Type");
      });
    }
    // The service's credentials stay with the service's origin: another
    // scheme (https to http would send them in clear) or port is another.
    if (!isSameOrigin(next, *s.url))
      std::erase_if(s.headers, [](const HeaderField& f) {
        return equalsIgnoringCase(f.first, "Authorization") || equalsIgnoringCase(f.first, "Cookie");
      });
    // Our own conditions were for the address asked, not this one.
    if (s.kept) {
      std::erase_if(s.headers, [](const HeaderField& f) {
        return equalsIgnoringCase(f.first, "If-None-Match") || equalsIgnoringCase(f.first, "If-Modified-Since");
      });
      s.kept.reset();
    }
    s.url = next;
    return attempt();
  }
  if (s.notModified) {
    auto head = s.stream->responseHeader();
    closeStream();
    *s.kept = URLCache::confirmed(std::move(*s.kept), *head, currentClock().now().secondsSince1970);
    s.cache->storeCachedResponse(s.request.url, *s.kept);
    return answerFromCache();
  }
  // A compressed body cut inside its stream is not the body.
  if (s.inflater && !s.inflater->ended()) return fail(urlError(kURLErrorCannotDecodeContentData, "cannot decode raw data"));
  if (s.storing) {
    // Whole: kept for the next ask.
    auto head = s.stream->responseHeader();
    CachedURLResponse r;
    r.status = head->statusCode();
    r.statusLine = head->statusLine();
    r.headers = head->headerFields();
    r.body = std::move(s.stored);
    r.storedAt = currentClock().now().secondsSince1970;
    s.storing = false;
    s.cache->storeCachedResponse(s.request.url, std::move(r));
  }
  finish();
}

void URLConnection::onTimer() {
  State& s = *s_;
  uint64_t expirations;
  while (::read(s.timerFd, &expirations, sizeof expirations) > 0) {
  }
  if (s.done || !s.stream) return;
  double now = monotonicSeconds();
  uint64_t marker = s.stream->progressMarker();
  if (marker != s.marker) {
    s.marker = marker;
    s.lastProgress = now;
    return;
  }
  if (now - s.lastProgress >= s.request.timeoutInterval) {
    auto keep = shared_from_this();
    fail(urlError(kURLErrorTimedOut, "The request timed out."));
  }
}

void URLConnection::finish() {
  State& s = *s_;
  if (s.done) return;
  s.done = true;
  cleanUp();
  auto keep = std::move(s.self);
  if (s.delegate) s.delegate->connectionDidFinishLoading(*this);
}

void URLConnection::fail(const Error& error) {
  State& s = *s_;
  if (s.done) return;
  s.done = true;
  cleanUp();
  auto keep = std::move(s.self);
  if (s.delegate) s.delegate->connectionDidFailWithError(*this, error);
}

void URLConnection::closeStream() {
  State& s = *s_;
  if (!s.stream) return;
  s.stream->setClient(0, nullptr);
  s.stream->close();
  for (const auto& mode : s.modes) s.stream->unscheduleFromRunLoop(s.loop, mode);
  s.stream.reset();
}

void URLConnection::cleanUp() {
  State& s = *s_;
  closeStream();
  s.inflater.reset();
  if (s.timerSource) {
    s.loop->remove(s.timerSource);
    s.timerSource = 0;
  }
  if (s.timerFd >= 0) {
    ::close(s.timerFd);
    s.timerFd = -1;
  }
}

namespace {

// Gathers the exchange for the synchronous form.
class Collector : public URLConnectionDelegate {
public:
  void connectionDidReceiveResponse(URLConnection&, const HTTPURLResponse& r) override {
    response.emplace(r);
    body.clear();
  }
  void connectionDidReceiveData(URLConnection&, const Data& d) override { body.insert(body.end(), d.begin(), d.end()); }
  void connectionDidFinishLoading(URLConnection&) override { done = true; }
  void connectionDidFailWithError(URLConnection&, const Error& e) override {
    error = e;
    done = true;
  }
  std::optional<HTTPURLResponse> response;
  Data body;
  std::optional<Error> error;
  bool done = false;
};

}  // namespace

namespace {
thread_local std::shared_ptr<CancelToken> tlsCancel;
}  // namespace

void CancelToken::cancel() {
  std::lock_guard<std::mutex> l(m_);
  cancelled_ = true;
  // Wakes the exchange's loop: it sees the flag and gives up.
  if (loop_) loop_->perform([] {}, {kMode});
}

bool CancelToken::cancelled() const {
  std::lock_guard<std::mutex> l(m_);
  return cancelled_;
}

CancelScope::CancelScope(std::shared_ptr<CancelToken> token) : previous_(std::move(tlsCancel)) {
  tlsCancel = std::move(token);
}

CancelScope::~CancelScope() { tlsCancel = std::move(previous_); }

std::optional<Data> URLConnection::sendSynchronousRequest(const URLRequest& request,
                                                          std::optional<HTTPURLResponse>* response, Error* error) {
  if (response) response->reset();
  Collector collector;
  auto loop = RunLoop::current();
  const std::shared_ptr<CancelToken> token = tlsCancel;
  const auto cancelled = [&] {
    setError(error, urlError(kURLErrorCancelled, "cancelled"));
    return std::nullopt;
  };
  if (token) {
    std::lock_guard<std::mutex> l(token->m_);
    if (token->cancelled_) return cancelled();
    token->loop_ = loop;
  }
  struct Disarm {
    const std::shared_ptr<CancelToken>& token;
    ~Disarm() {
      if (!token) return;
      std::lock_guard<std::mutex> l(token->m_);
      token->loop_.reset();
    }
  } disarm{token};
  auto connection = start(request, &collector, loop, {kMode});
  while (!collector.done) {
    if (token && token->cancelled()) {
      connection->cancel();
      return cancelled();
    }
    loop->runInMode(kMode, std::numeric_limits<double>::infinity(), true);
  }
  if (collector.error) {
    setError(error, *collector.error);
    return std::nullopt;
  }
  if (response) *response = std::move(collector.response);
  return std::move(collector.body);
}

}  // namespace plat
