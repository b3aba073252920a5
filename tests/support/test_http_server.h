// A scriptable HTTP/1.1 (and HTTPS) server on 127.0.0.1 for tests. Each
// answer is scripted: status, headers, body, chunking, gzip, delays, a drop
// after N bytes, silence. It counts the connections it accepts and records
// every request as received, raw bytes included. One thread accepts; each
// connection has a thread of its own; stop() (or the destructor) ends and
// joins them all.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_certificates.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace qvtest {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  int connection = 0;  // 1 for the first connection accepted
  int indexOnConnection = 0;
  std::string raw;  // head and body bytes as they came
  std::string method, target, version;
  Fields headers;
  std::string body;  // de-chunked
  bool chunked = false;
  std::string serverName;  // the TLS client's SNI, empty when it sent none
  std::optional<std::string> header(const std::string& name) const;
};

struct ScriptedResponse {
  int status = 200;
  std::string reason = "OK";
  Fields headers{};
  std::string body{};
  bool chunked = false;
  size_t chunkSize = 0;        // 0: the whole body in one chunk
  bool gzip = false;           // send the body gzip-compressed with Content-Encoding
  bool contentLength = true;   // false and not chunked: the body runs until the close
  bool close = false;          // close the connection after this answer
  double delayBeforeHead = 0;  // seconds
  double delayBeforeBody = 0;
  std::optional<size_t> closeAfterBytes{};  // drop the connection after that many bytes of the answer
  bool silent = false;                     // read the request, never answer
  bool dropWithoutAnswer = false;          // read the request, close at once
  std::optional<std::string> raw{};        // bytes sent as they stand instead

  static ScriptedResponse text(int status, std::string body);
};

class TestHTTPServer {
public:
  struct Options {
    bool tls = false;
    CertifiedKey certificate{};           // the server's, for tls
    std::string clientCAPEM{};            // when set, a client certificate signed by it is required
    bool answer100Continue = true;        // "Expect: 100-continue" gets its interim answer
    bool ipv6 = false;                    // listen on [::1] instead of 127.0.0.1
  };
  using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

  TestHTTPServer();
  explicit TestHTTPServer(Options options);
  ~TestHTTPServer();
  TestHTTPServer(const TestHTTPServer&) = delete;
  TestHTTPServer& operator=(const TestHTTPServer&) = delete;

  int port() const { return port_; }
  // "http(s)://127.0.0.1:<port><path>" (or [::1]), or with another host name.
  std::string url(const std::string& path = "/") const;
  std::string url(const std::string& host, const std::string& path) const;

  // Queued answers go first, in order; then the handler; else 404.
  void enqueue(ScriptedResponse response);
  void setHandler(Handler handler);

  int connectionCount() const;
  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const;
  // Waits (real time) until that many requests came; false on time-out.
  bool waitForRequests(size_t count, double seconds = 5) const;
  // Closes every connection that waits for its next request, as a server's
  // keep-alive timer would; returns how many it closed.
  int closeIdleConnections();
  // Waits (real time) until that many connections wait for their next request.
  bool waitForIdleConnections(int count, double seconds = 5) const;
  int openConnectionCount() const;

  void stop();

private:
  struct Conn;
  void acceptLoop();
  void serve(std::shared_ptr<Conn> conn);
  bool sleepUnlessStopped(double seconds);
  ScriptedResponse next(const RecordedRequest& r);

  Options options_;
  SSL_CTX* ctx_ = nullptr;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<ScriptedResponse> queue_;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
  std::map<int, std::shared_ptr<Conn>> conns_;  // by connection number
  std::vector<std::thread> threads_;
  int connectionCount_ = 0;
};

// Reads the whole of a gzip member (for checks of compressed answers).
std::string gunzip(const std::string& data);
std::string gzip(const std::string& data);

}  // namespace qvtest
