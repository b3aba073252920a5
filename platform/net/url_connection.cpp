#include "platform/net/url_connection.h"

#include <sys/timerfd.h>
#include <unistd.h>
#include <zlib.h>

#include <limits>

#include "platform/foundation/clock.h"
#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"

namespace plat {

namespace {

constexpr const char* kMode = "plat.URLConnection.synchronous";
// One connection id for every synchronous exchange: they share connections
// among themselves, never with the HTTP library's.
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

std::optional<Data> inflateBody(const Data& in, bool gzip) {
  z_stream z{};
  if (inflateInit2(&z, gzip ? 15 + 32 : 15) != Z_OK) return std::nullopt;
  Data out;
  uint8_t buf[65536];
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  int r = Z_OK;
  while (r == Z_OK) {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    r = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    if (r == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  if (r != Z_STREAM_END) return std::nullopt;
  return out;
}

struct Attempt {
  std::shared_ptr<const HTTPMessage> head;
  Data body;
  std::optional<Error> error;
  bool reused = false;
  bool timedOut = false;
};

Attempt exchange(const HTTPMessage& message, const URLRequest& request) {
  Attempt a;
  auto stream = HTTPReadStream::create(message);
  stream->setSSLSettings(request.ssl);
  stream->setProxy(request.proxy);
  stream->setAttemptPersistentConnection(true);
  stream->setConnectionID(kSynchronousConnectionID);
  bool finished = false;
  HTTPReadStream* s = stream.get();
  stream->setClient(HTTPReadStream::kEventHasBytesAvailable | HTTPReadStream::kEventEndEncountered |
                        HTTPReadStream::kEventErrorOccurred,
                    [&, s](uint32_t ev) {
                      if (ev == HTTPReadStream::kEventHasBytesAvailable) {
                        uint8_t buf[65536];
                        long n;
                        while ((n = s->read(buf, sizeof buf)) > 0) a.body.insert(a.body.end(), buf, buf + n);
                        return;
                      }
                      finished = true;
                      if (ev == HTTPReadStream::kEventErrorOccurred) a.error = s->error();
                    });
  auto loop = RunLoop::current();
  stream->scheduleInRunLoop(loop, kMode);
  if (!stream->open()) {
    a.error = Error::withDescription(kCFErrorDomainCFNetwork, kCFErrorHTTPParseFailure, "unsupported URL");
    return a;
  }
  // A peer's silence is measured in real seconds, on a timer of the kernel's:
  // a test's hand-driven clock must not make a socket time out.
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  bool rang = false;
  auto arm = [&] {
    itimerspec spec{};
    double t = std::max(request.timeoutInterval, 0.001);
    spec.it_value.tv_sec = static_cast<time_t>(t);
    spec.it_value.tv_nsec = static_cast<long>((t - static_cast<double>(spec.it_value.tv_sec)) * 1e9);
    timerfd_settime(timer, 0, &spec, nullptr);
    rang = false;
  };
  auto source = loop->addFd(
      timer, RunLoop::kReadable,
      [&](uint32_t) {
        uint64_t expirations;
        while (::read(timer, &expirations, sizeof expirations) > 0) {
        }
        rang = true;
      },
      {kMode});
  uint64_t marker = stream->progressMarker();
  arm();
  while (!finished) {
    loop->runInMode(kMode, std::numeric_limits<double>::infinity(), true);
    if (finished) break;
    uint64_t now = stream->progressMarker();
    if (now != marker) {
      marker = now;
      arm();
    } else if (rang) {
      a.timedOut = true;
      break;
    }
  }
  loop->remove(source);
  ::close(timer);
  a.head = stream->responseHeader();
  a.reused = stream->connectionWasReused();
  stream->setClient(0, nullptr);
  stream->close();
  stream->unscheduleFromRunLoop(loop, kMode);
  return a;
}

}  // namespace

std::optional<Data> URLConnection::sendSynchronousRequest(const URLRequest& request,
                                                          std::optional<HTTPURLResponse>* response, Error* error) {
  if (response) response->reset();
  auto url = URL::parse(request.url);
  if (!url || url->host().empty()) {
    setError(error, urlError(kURLErrorBadURL, "unsupported URL"));
    return std::nullopt;
  }
  if (url->scheme() != "http" && url->scheme() != "https") {
    setError(error, urlError(kURLErrorUnsupportedURL, "unsupported URL"));
    return std::nullopt;
  }
  std::string method = request.method;
  Data body = request.body;
  HeaderFields headers = request.headers;
  for (int redirects = 0;; ++redirects) {
    auto message = HTTPMessage::createRequest(method, *url);
    if (!message) {
      setError(error, urlError(kURLErrorBadURL, "The method \"" + method + "\" can't be sent"));
      return std::nullopt;
    }
    for (const auto& [name, value] : headers) {
      if (!message->addHeaderFieldValue(name, value)) {
        setError(error, urlError(kURLErrorUnknown, "The header field \"" + name + "\" can't be sent"));
        return std::nullopt;
      }
    }
    message->setBody(body);

    Attempt a = exchange(*message, request);
    // A kept connection the server had closed: once more on a fresh one.
    if (a.error && a.reused && a.error->domain() == kCFErrorDomainCFNetwork &&
        a.error->code() == kCFURLErrorNetworkConnectionLost)
      a = exchange(*message, request);
    if (a.timedOut) {
      setError(error, urlError(kURLErrorTimedOut, "The request timed out."));
      return std::nullopt;
    }
    if (a.error) {
      setError(error, translate(*a.error));
      return std::nullopt;
    }
    int status = a.head->statusCode();
    auto location = a.head->headerFieldValue("Location");
    bool redirect = request.followRedirects && location &&
                    (status == 301 || status == 302 || status == 303 || status == 307 || status == 308);
    if (redirect) {
      auto next = URL::resolve(*location, *url);
      if (next && (next->scheme() == "http" || next->scheme() == "https") && !next->host().empty()) {
        if (redirects + 1 > kMaxRedirects) {
          setError(error, urlError(kURLErrorHTTPTooManyRedirects, "too many HTTP redirects"));
          return std::nullopt;
        }
        if (status == 303 || ((status == 301 || status == 302) && method != "GET" && method != "HEAD")) {
          method = method == "HEAD" ? "HEAD" : "GET";
          body.clear();
          std::erase_if(headers, [](const HeaderField& f) {
            return equalsIgnoringCase(f.first, "Content-Length") || equalsIgnoringCase(f.first, "Content-Type");
          });
        }
        // The service's credentials stay with the service's host.
        if (!equalsIgnoringCase(next->host(), url->host()) || next->effectivePort() != url->effectivePort())
          std::erase_if(headers, [](const HeaderField& f) { return equalsIgnoringCase(f.first, "Authorization"); });
        url = next;
        continue;
      }
    }
    if (response) response->emplace(*url, a.head);
    auto encoding = a.head->headerFieldValue("Content-Encoding");
    if (encoding && !a.body.empty() && (equalsIgnoringCase(*encoding, "gzip") || equalsIgnoringCase(*encoding, "deflate"))) {
      auto inflated = inflateBody(a.body, equalsIgnoringCase(*encoding, "gzip"));
      if (!inflated) {
        setError(error, urlError(kURLErrorCannotDecodeContentData, "cannot decode raw data"));
        return std::nullopt;
      }
      return inflated;
    }
    return a.body;
  }
}

}  // namespace plat
