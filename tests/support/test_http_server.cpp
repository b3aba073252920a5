#include "tests/support/test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/foundation/thread.h"

namespace qvtest {

namespace {

bool iequals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

std::string gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string gunzip(const std::string& data) {
  z_stream z{};
  inflateInit2(&z, 15 + 32);
  std::string out;
  char buf[16384];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  int r = Z_OK;
  while (r == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    r = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  inflateEnd(&z);
  return out;
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& h : headers)
    if (iequals(h.first, name)) return h.second;
  return std::nullopt;
}

ScriptedResponse ScriptedResponse::text(int status, std::string body) {
  ScriptedResponse r;
  r.status = status;
  r.reason = status == 200 ? "OK" : "Status";
  r.body = std::move(body);
  return r;
}

// One accepted connection: blocking socket, maybe TLS.
struct TestHTTPServer::Conn {
  int fd = -1;
  int number = 0;
  SSL* ssl = nullptr;
  std::atomic<bool> idle{false};
  std::atomic<bool> closed{false};
  std::string in;  // bytes read and not yet used
  std::string serverName;

  ~Conn() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
  void shutdownSocket() {
    if (!closed.exchange(true)) ::shutdown(fd, SHUT_RDWR);
  }
  // Reads more bytes into `in`; false at the end or on failure.
  bool fill() {
    char buf[65536];
    ssize_t n;
    if (ssl) {
      int r = SSL_read(ssl, buf, sizeof buf);
      n = r > 0 ? r : -1;
    } else {
      n = ::recv(fd, buf, sizeof buf, 0);
    }
    if (n <= 0) return false;
    in.append(buf, static_cast<size_t>(n));
    return true;
  }
  bool send(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n;
      if (ssl) {
        int r = SSL_write(ssl, data, static_cast<int>(std::min<size_t>(size, 1 << 20)));
        n = r > 0 ? r : -1;
      } else {
        n = ::send(fd, data, size, MSG_NOSIGNAL);
      }
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
};

TestHTTPServer::TestHTTPServer() : TestHTTPServer(Options{}) {}

TestHTTPServer::TestHTTPServer(Options options) : options_(std::move(options)) {
  // OpenSSL writes with write(2): a client that hung up must not end the test program.
  signal(SIGPIPE, SIG_IGN);
  if (options_.tls) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    BIO* c = BIO_new_mem_buf(options_.certificate.certificatePEM.data(), -1);
    X509* cert = PEM_read_bio_X509(c, nullptr, nullptr, nullptr);
    BIO_free(c);
    BIO* k = BIO_new_mem_buf(options_.certificate.privateKeyPEM.data(), -1);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(k, nullptr, nullptr, nullptr);
    BIO_free(k);
    if (!cert || !key || SSL_CTX_use_certificate(ctx_, cert) != 1 || SSL_CTX_use_PrivateKey(ctx_, key) != 1)
      throw std::runtime_error("test server: bad certificate");
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!options_.clientCAPEM.empty()) {
      BIO* b = BIO_new_mem_buf(options_.clientCAPEM.data(), -1);
      X509* ca = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
      BIO_free(b);
      X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx_), ca);
      X509_free(ca);
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
  }
  listenFd_ = ::socket(options_.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage ss{};
  socklen_t len;
  if (options_.ipv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    len = sizeof *a6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a4;
  }
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(listenFd_, 128) != 0) {
    ::close(listenFd_);
    if (ctx_) SSL_CTX_free(ctx_);
    throw std::runtime_error("test server: can't listen");
  }
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&ss), &len);
  port_ = ntohs(options_.ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                              : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  wakeFd_ = eventfd(0, EFD_CLOEXEC);
  acceptThread_ = plat::startThread("test-http-accept", [this] { acceptLoop(); });
}

TestHTTPServer::~TestHTTPServer() {
  stop();
  if (ctx_) SSL_CTX_free(ctx_);
}

void TestHTTPServer::stop() {
  if (stopping_.exchange(true)) return;
  uint64_t one = 1;
  [[maybe_unused]] auto w = ::write(wakeFd_, &one, sizeof one);
  changed_.notify_all();
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (auto& [number, c] : conns_) c->shutdownSocket();
    threads.swap(threads_);
  }
  changed_.notify_all();
  for (auto& t : threads) t.join();
  ::close(listenFd_);
  ::close(wakeFd_);
}

std::string TestHTTPServer::url(const std::string& path) const {
  return url(options_.ipv6 ? "[::1]" : "127.0.0.1", path);
}

std::string TestHTTPServer::url(const std::string& host, const std::string& path) const {
  return std::string(options_.tls ? "https://" : "http://") + host + ":" + std::to_string(port_) + path;
}

void TestHTTPServer::enqueue(ScriptedResponse response) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(response));
}

void TestHTTPServer::setHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

int TestHTTPServer::connectionCount() const {
  std::lock_guard lock(mutex_);
  return connectionCount_;
}

std::vector<RecordedRequest> TestHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t TestHTTPServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool TestHTTPServer::waitForRequests(size_t count, double seconds) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return requests_.size() >= count; });
}

int TestHTTPServer::closeIdleConnections() {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (auto& [number, c] : conns_) {
    if (c->idle && !c->closed) {
      c->shutdownSocket();
      ++n;
    }
  }
  return n;
}

bool TestHTTPServer::waitForIdleConnections(int count, double seconds) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int idle = 0;
    {
      std::lock_guard lock(mutex_);
      for (auto& [number, c] : conns_) idle += c->idle && !c->closed ? 1 : 0;
    }
    if (idle >= count) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int TestHTTPServer::openConnectionCount() const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (auto& [number, c] : conns_) n += c->closed ? 0 : 1;
  return n;
}

bool TestHTTPServer::sleepUnlessStopped(double seconds) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping_.load(); });
}

void TestHTTPServer::acceptLoop() {
  while (!stopping_) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) break;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_shared<Conn>();
    conn->fd = fd;
    std::lock_guard lock(mutex_);
    if (stopping_) break;
    conn->number = ++connectionCount_;
    conns_[conn->number] = conn;
    threads_.push_back(plat::startThread("test-http-conn", [this, conn] { serve(conn); }));
  }
}

ScriptedResponse TestHTTPServer::next(const RecordedRequest& r) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    if (!queue_.empty()) {
      ScriptedResponse s = std::move(queue_.front());
      queue_.pop_front();
      return s;
    }
    handler = handler_;
  }
  if (handler) return handler(r);
  return ScriptedResponse::text(404, "not found");
}

void TestHTTPServer::serve(std::shared_ptr<Conn> c) {
  auto finish = [&] {
    c->shutdownSocket();
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  };
  if (ctx_) {
    c->ssl = SSL_new(ctx_);
    SSL_set_fd(c->ssl, c->fd);
    if (SSL_accept(c->ssl) != 1) {
      ERR_clear_error();
      return finish();
    }
    if (const char* sni = SSL_get_servername(c->ssl, TLSEXT_NAMETYPE_host_name)) c->serverName = sni;
  }
  for (int index = 0; !stopping_; ++index) {
    RecordedRequest req;
    req.connection = c->number;
    req.indexOnConnection = index;
    req.serverName = c->serverName;
    // Head.
    c->idle = c->in.empty();
    size_t end;
    while ((end = c->in.find("\r\n\r\n")) == std::string::npos) {
      if (!c->fill()) return finish();
      c->idle = false;
    }
    c->idle = false;
    std::string head = c->in.substr(0, end + 4);
    c->in.erase(0, end + 4);
    req.raw = head;
    size_t lineEnd = head.find("\r\n");
    std::string line = head.substr(0, lineEnd);
    size_t s1 = line.find(' '), s2 = line.rfind(' ');
    req.method = line.substr(0, s1);
    req.target = line.substr(s1 + 1, s2 - s1 - 1);
    req.version = line.substr(s2 + 1);
    size_t pos = lineEnd + 2;
    while (pos < head.size() - 2) {
      size_t e = head.find("\r\n", pos);
      std::string h = head.substr(pos, e - pos);
      size_t colon = h.find(':');
      if (colon != std::string::npos) req.headers.emplace_back(h.substr(0, colon), trim(h.substr(colon + 1)));
      pos = e + 2;
    }
    auto expect = req.header("Expect");
    if (expect && iequals(*expect, "100-continue") && options_.answer100Continue) {
      std::string cont = "HTTP/1.1 100 Continue\r\n\r\n";
      c->send(cont.data(), cont.size());
    }
    // Body.
    auto te = req.header("Transfer-Encoding");
    if (te && te->find("chunked") != std::string::npos) {
      req.chunked = true;
      for (;;) {
        size_t e;
        while ((e = c->in.find("\r\n")) == std::string::npos)
          if (!c->fill()) return finish();
        size_t size = std::stoul(c->in.substr(0, e), nullptr, 16);
        req.raw += c->in.substr(0, e + 2);
        c->in.erase(0, e + 2);
        while (c->in.size() < size + 2)
          if (!c->fill()) return finish();
        req.body += c->in.substr(0, size);
        req.raw += c->in.substr(0, size + 2);
        c->in.erase(0, size + 2);
        if (size == 0) break;
      }
    } else if (auto cl = req.header("Content-Length")) {
      size_t size = std::stoul(*cl);
      while (c->in.size() < size)
        if (!c->fill()) return finish();
      req.body = c->in.substr(0, size);
      req.raw += req.body;
      c->in.erase(0, size);
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(req);
      changed_.notify_all();
    }
    ScriptedResponse r = next(req);
    if (r.silent) {
      while (sleepUnlessStopped(0.05)) {
        if (c->closed) break;
      }
      return finish();
    }
    if (r.dropWithoutAnswer) return finish();
    if (r.delayBeforeHead > 0 && !sleepUnlessStopped(r.delayBeforeHead)) return finish();
    std::string bodyBytes = r.gzip ? gzip(r.body) : r.body;
    std::string out;
    std::string bodyPart;
    if (r.raw) {
      out = *r.raw;
    } else {
      out = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
      for (const auto& h : r.headers) out += h.first + ": " + h.second + "\r\n";
      if (r.gzip) out += "Content-Encoding: gzip\r\n";
      bool headOnly = req.method == "HEAD";
      bool noBody = r.status == 204 || r.status == 304 || r.status < 200;
      if (r.chunked) {
        out += "Transfer-Encoding: chunked\r\n";
        size_t step = r.chunkSize ? r.chunkSize : std::max<size_t>(bodyBytes.size(), 1);
        for (size_t at = 0; at < bodyBytes.size(); at += step) {
          size_t n = std::min(step, bodyBytes.size() - at);
          char size[32];
          snprintf(size, sizeof size, "%zx\r\n", n);
          bodyPart += size + bodyBytes.substr(at, n) + "\r\n";
        }
        bodyPart += "0\r\n\r\n";
        if (headOnly || noBody) bodyPart.clear();
      } else {
        if (r.contentLength && !noBody) out += "Content-Length: " + std::to_string(bodyBytes.size()) + "\r\n";
        if (!headOnly && !noBody) bodyPart = bodyBytes;
      }
      if (r.close) out += "Connection: close\r\n";
      out += "\r\n";
    }
    bool keep = !r.close && (r.raw || r.chunked || r.contentLength);
    if (r.delayBeforeBody > 0 && !r.raw) {
      if (!c->send(out.data(), out.size())) return finish();
      if (!sleepUnlessStopped(r.delayBeforeBody)) return finish();
      out.clear();
    }
    out += bodyPart;
    if (r.closeAfterBytes) {
      c->send(out.data(), std::min(out.size(), *r.closeAfterBytes));
      return finish();
    }
    if (!c->send(out.data(), out.size())) return finish();
    if (!keep) return finish();
  }
  finish();
}

}  // namespace qvtest
