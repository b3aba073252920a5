// An HTTP exchange for the service calls, asynchronous on a run loop or
// synchronous on the caller's thread: the method as given (custom verbs
// too), the header fields as given (empty values too), the body, and back
// the status, header fields and body. Nothing is added behind the caller's
// back but Host and the body's length: no Content-Type, no Expect, no
// Accept. A reused connection that died before the answer is tried once
// more on a fresh one; redirects are followed. A GET may be answered from
// the shared URLCache (url_cache.h), or asked about with its validators.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/http_message.h"
#include "platform/net/http_read_stream.h"
#include "platform/net/tls.h"

namespace plat {

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
enum : long {
  kURLErrorUnknown = -1,
  kURLErrorCancelled = -999,
  kURLErrorBadURL = -1000,
  kURLErrorTimedOut = -1001,
  kURLErrorUnsupportedURL = -1002,
  kURLErrorCannotFindHost = -1003,
  kURLErrorCannotConnectToHost = -1004,
  kURLErrorNetworkConnectionLost = -1005,
  kURLErrorHTTPTooManyRedirects = -1007,
  kURLErrorBadServerResponse = -1011,
  kURLErrorCannotDecodeContentData = -1016,
  kURLErrorDataLengthExceedsMaximum = -1103,
  kURLErrorSecureConnectionFailed = -1200,
  kURLErrorServerCertificateUntrusted = -1202,
};

struct URLRequest {
  std::string url;
  std::string method = "GET";
  HeaderFields headers{};
  Data body{};
  // Sent instead of `body` when set: a large body (an upload's piece) goes
  // out of the caller's buffer without a copy at each layer.
  std::shared_ptr<const Data> sharedBody{};
  // Seconds without any progress before the exchange gives up.
  double timeoutInterval = 60;
  SSLSettings ssl{};
  std::optional<ProxySettings> proxy{};
  bool followRedirects = true;
  // The most bytes a compressed body may inflate to; 0: a multiple of what
  // came on the wire (see inflation_limit.h). Past it the exchange fails.
  uint64_t maxInflatedBytes = 0;
};

class HTTPURLResponse {
public:
  HTTPURLResponse(URL url, std::shared_ptr<const HTTPMessage> head) : url_(std::move(url)), head_(std::move(head)) {}
  const URL& url() const { return url_; }
  int statusCode() const { return head_->statusCode(); }
  Dictionary allHeaderFields() const { return head_->allHeaderFields(); }
  std::optional<std::string> headerFieldValue(std::string_view name) const { return head_->headerFieldValue(name); }
  const HTTPMessage& message() const { return *head_; }

private:
  URL url_;
  std::shared_ptr<const HTTPMessage> head_;
};

class URLConnection;

// Cuts the synchronous exchanges of one thread short from any other: while
// a thread holds a CancelScope of the token, its sendSynchronousRequest
// fails with kURLErrorCancelled as soon as the token is cancelled, and at
// once for every exchange after that.
class CancelToken {
public:
  void cancel();
  bool cancelled() const;

private:
  friend class URLConnection;
  mutable std::mutex m_;
  bool cancelled_ = false;
  std::shared_ptr<RunLoop> loop_;  // the loop of the exchange under way
};

// The calling thread's exchanges answer to `token` (null: to none) until the
// scope ends; scopes nest.
class CancelScope {
public:
  explicit CancelScope(std::shared_ptr<CancelToken> token);
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

private:
  std::shared_ptr<CancelToken> previous_;
};

// Told, on the connection's run loop, what became of an asynchronous
// exchange: one response (after redirects), its body in pieces (inflated
// when the server compressed it), then exactly one of finish or failure.
// Nothing after a cancel. An exception a delegate call throws fails the
// exchange (a body with a hole in it is no body).
class URLConnectionDelegate {
public:
  virtual ~URLConnectionDelegate() = default;
  virtual void connectionDidReceiveResponse(URLConnection&, const HTTPURLResponse&) {}
  virtual void connectionDidReceiveData(URLConnection&, const Data&) {}
  virtual void connectionDidFinishLoading(URLConnection&) {}
  virtual void connectionDidFailWithError(URLConnection&, const Error&) {}
};

class URLConnection : public std::enable_shared_from_this<URLConnection> {
public:
  // Starts an exchange on `loop` (the caller's when null), which must be the
  // calling thread's; the delegate is called there while the loop runs in
  // one of `modes`. The connection keeps itself alive until it ends; the
  // delegate must outlive that, or cancel first.
  static std::shared_ptr<URLConnection> start(const URLRequest& request, URLConnectionDelegate* delegate,
                                              std::shared_ptr<RunLoop> loop = nullptr,
                                              RunLoop::Modes modes = {kCommonRunLoopModes});
  ~URLConnection();
  URLConnection(const URLConnection&) = delete;
  URLConnection& operator=(const URLConnection&) = delete;

  // On the connection's thread: the exchange stops and the delegate hears
  // nothing more.
  void cancel();
  bool isFinished() const;
  const URLRequest& originalRequest() const;

  // The reply body (empty when the reply has none), or nothing when no reply
  // came; `response` gets the reply's head whenever one came.
  static std::optional<Data> sendSynchronousRequest(const URLRequest& request,
                                                    std::optional<HTTPURLResponse>* response, Error* error);

private:
  struct State;
  URLConnection(const URLRequest& request, URLConnectionDelegate* delegate, std::shared_ptr<RunLoop> loop,
                RunLoop::Modes modes);
  void begin();
  void attempt();
  void onStreamEvent(uint32_t event);
  void handleStreamEvent(uint32_t event);
  void onHead();
  void onBody(const uint8_t* bytes, size_t size);
  void keepPiece(const uint8_t* bytes, size_t size);
  void answerFromCache();
  void onEnd();
  void onTimer();
  void finish();
  void fail(const Error& error);
  void cleanUp();
  void closeStream();

  std::unique_ptr<State> s_;
};

}  // namespace plat
