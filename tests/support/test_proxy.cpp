#include "tests/support/test_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/foundation/thread.h"

namespace qvtest {

namespace {

std::string base64Text(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// The value of a header field of a request head (name matched without case), or "".
std::string headerValue(const std::string& head, const std::string& name) {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    size_t colon = head.find(':', at);
    size_t end = head.find("\r\n", at);
    if (colon == std::string::npos || end == std::string::npos || colon > end) continue;
    if (strncasecmp(head.c_str() + at, name.c_str(), name.size()) == 0 && colon - at == name.size()) {
      std::string v = head.substr(colon + 1, end - colon - 1);
      while (!v.empty() && v.front() == ' ') v.erase(0, 1);
      return v;
    }
  }
  return "";
}

std::string withoutField(const std::string& head, const std::string& name) {
  std::string out;
  size_t at = 0;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    end = end == std::string::npos ? head.size() : end + 2;
    std::string line = head.substr(at, end - at);
    if (!(strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 && line.size() > name.size() &&
          line[name.size()] == ':'))
      out += line;
    at = end;
  }
  return out;
}

bool sendAll(int fd, const void* data, size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool recvAll(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Only loopback targets: a test never reaches out.
int connectLoopback(const std::string& host, int port) {
  if (host != "127.0.0.1" && host != "localhost" && host != "::1") return -1;
  bool v6 = host == "::1";
  int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage ss{};
  socklen_t len;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Copies bytes both ways until either side ends.
void splice(int a, int b) {
  char buf[65536];
  for (;;) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) return;
    for (int i = 0; i < 2; ++i) {
      if (!p[i].revents) continue;
      ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
      if (n <= 0 || !sendAll(p[1 - i].fd, buf, static_cast<size_t>(n))) return;
    }
  }
}

}  // namespace

TestProxy::TestProxy(Options options) : options_(std::move(options)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 64) != 0)
    throw std::runtime_error("test proxy: can't listen");
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  wakeFd_ = eventfd(0, EFD_CLOEXEC);
  acceptThread_ = plat::startThread("test-proxy-accept", [this] { acceptLoop(); });
}

TestProxy::~TestProxy() { stop(); }

void TestProxy::stop() {
  if (stopping_.exchange(true)) return;
  uint64_t one = 1;
  [[maybe_unused]] auto w = ::write(wakeFd_, &one, sizeof one);
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  for (int fd : fds_) ::close(fd);
  ::close(listenFd_);
  ::close(wakeFd_);
}

int TestProxy::connectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

std::vector<std::string> TestProxy::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::vector<std::string> TestProxy::heads() const {
  std::lock_guard lock(mutex_);
  return heads_;
}

void TestProxy::note(std::string line, std::string head) {
  std::lock_guard lock(mutex_);
  log_.push_back(std::move(line));
  if (!head.empty()) heads_.push_back(std::move(head));
}

void TestProxy::acceptLoop() {
  while (!stopping_) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) break;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    ++connections_;
    fds_.push_back(fd);
    threads_.push_back(plat::startThread("test-proxy-conn", [this, fd] { serve(fd); }));
  }
}

void TestProxy::serve(int fd) {
  if (options_.kind == Kind::SOCKS5)
    serveSOCKS(fd);
  else
    serveHTTP(fd);
  ::shutdown(fd, SHUT_RDWR);
}

void TestProxy::serveHTTP(int fd) {
  std::string in;
  size_t end;
  char buf[8192];
  while ((end = in.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    in.append(buf, static_cast<size_t>(n));
  }
  std::string head = in.substr(0, end + 4);
  std::string rest = in.substr(end + 4);
  std::string line = head.substr(0, head.find("\r\n"));
  std::string method = line.substr(0, line.find(' '));
  std::string target = line.substr(method.size() + 1, line.rfind(' ') - method.size() - 1);
  note(method + " " + target, head);
  if (options_.challenger) {
    RecordedRequest r;
    r.method = method;
    r.target = target;
    r.raw = head;
    for (size_t at = head.find("\r\n") + 2, end; (end = head.find("\r\n", at)) != std::string::npos && end > at;
         at = end + 2) {
      size_t colon = head.find(':', at);
      if (colon == std::string::npos || colon > end) continue;
      size_t value = head.find_first_not_of(' ', colon + 1);
      r.headers.push_back({head.substr(at, colon - at), head.substr(value, end - std::min(value, end))});
    }
    if (auto no = options_.challenger->refusal(r)) {
      std::string answer = "HTTP/1.1 " + std::to_string(no->status) + " " + no->reason + "\r\n";
      for (const auto& [name, value] : no->headers) answer += name + ": " + value + "\r\n";
      answer += "Content-Length: " + std::to_string(no->body.size()) + "\r\nConnection: close\r\n\r\n" + no->body;
      sendAll(fd, answer.data(), answer.size());
      return;
    }
  }
  if (!options_.requireUser.empty() &&
      headerValue(head, "Proxy-Authorization") != "Basic " + base64Text(options_.requireUser + ":" + options_.requirePassword)) {
    std::string no =
        "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"test-proxy\"\r\n"
        "Content-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(fd, no.data(), no.size());
    return;
  }
  if (method == "CONNECT") {
    if (!options_.refuseConnectWith.empty()) {
      sendAll(fd, options_.refuseConnectWith.data(), options_.refuseConnectWith.size());
      return;
    }
    size_t colon = target.rfind(':');
    int up = connectLoopback(target.substr(0, colon), std::stoi(target.substr(colon + 1)));
    if (up < 0) {
      std::string no = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
      sendAll(fd, no.data(), no.size());
      return;
    }
    std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
    sendAll(fd, ok.data(), ok.size());
    if (!rest.empty()) sendAll(up, rest.data(), rest.size());
    splice(fd, up);
    ::close(up);
    return;
  }
  // Absolute form: http://host:port/path
  if (target.rfind("http://", 0) != 0) {
    std::string no = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    sendAll(fd, no.data(), no.size());
    return;
  }
  std::string afterScheme = target.substr(7);
  size_t slash = afterScheme.find('/');
  std::string authority = afterScheme.substr(0, slash);
  std::string path = slash == std::string::npos ? "/" : afterScheme.substr(slash);
  size_t colon = authority.rfind(':');
  std::string host = colon == std::string::npos ? authority : authority.substr(0, colon);
  int port = colon == std::string::npos ? 80 : std::stoi(authority.substr(colon + 1));
  int up = connectLoopback(host, port);
  if (up < 0) {
    std::string no = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
    sendAll(fd, no.data(), no.size());
    return;
  }
  // The proxy's own credentials end here, as at a real proxy.
  std::string forwarded = method + " " + path + withoutField(head.substr(line.rfind(' ')), "Proxy-Authorization");
  sendAll(up, forwarded.data(), forwarded.size());
  if (!rest.empty()) sendAll(up, rest.data(), rest.size());
  // The connection stays tied to this origin from here on.
  splice(fd, up);
  ::close(up);
}

void TestProxy::serveSOCKS(int fd) {
  unsigned char hello[2];
  if (!recvAll(fd, hello, 2) || hello[0] != 5) return;
  std::vector<unsigned char> methods(hello[1]);
  if (!recvAll(fd, methods.data(), methods.size())) return;
  bool wantAuth = !options_.username.empty();
  unsigned char choice = 0xff;
  for (unsigned char m : methods)
    if ((wantAuth && m == 2) || (!wantAuth && m == 0)) choice = m;
  unsigned char reply[2] = {5, choice};
  sendAll(fd, reply, 2);
  if (choice == 0xff) return;
  if (choice == 2) {
    unsigned char ver, ulen, plen;
    if (!recvAll(fd, &ver, 1) || !recvAll(fd, &ulen, 1)) return;
    std::string user(ulen, '\0');
    if (!recvAll(fd, user.data(), ulen) || !recvAll(fd, &plen, 1)) return;
    std::string pass(plen, '\0');
    if (!recvAll(fd, pass.data(), plen)) return;
    bool ok = user == options_.username && pass == options_.password;
    unsigned char status[2] = {1, static_cast<unsigned char>(ok ? 0 : 1)};
    sendAll(fd, status, 2);
    if (!ok) return;
  }
  unsigned char req[4];
  if (!recvAll(fd, req, 4) || req[0] != 5 || req[1] != 1) return;
  std::string host;
  if (req[3] == 1) {
    unsigned char a[4];
    if (!recvAll(fd, a, 4)) return;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, a, text, sizeof text);
    host = text;
  } else if (req[3] == 3) {
    unsigned char len;
    if (!recvAll(fd, &len, 1)) return;
    host.resize(len);
    if (!recvAll(fd, host.data(), len)) return;
  } else if (req[3] == 4) {
    unsigned char a[16];
    if (!recvAll(fd, a, 16)) return;
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, a, text, sizeof text);
    host = text;
  } else {
    return;
  }
  unsigned char portBytes[2];
  if (!recvAll(fd, portBytes, 2)) return;
  int port = portBytes[0] << 8 | portBytes[1];
  note("SOCKS5 " + host + ":" + std::to_string(port));
  int up = connectLoopback(host, port);
  unsigned char answer[10] = {5, static_cast<unsigned char>(up < 0 ? 5 : 0), 0, 1, 127, 0, 0, 1, 0, 0};
  sendAll(fd, answer, sizeof answer);
  if (up < 0) return;
  splice(fd, up);
  ::close(up);
}

}  // namespace qvtest
