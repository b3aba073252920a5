// A small proxy on 127.0.0.1 for tests: an HTTP proxy (absolute-form
// requests and CONNECT tunnels) or a SOCKS5 proxy (with or without user and
// password). It forwards to loopback targets only and refuses any other.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_auth.h"

namespace qvtest {

class TestProxy {
public:
  enum class Kind { HTTP, SOCKS5 };
  struct Options {
    Kind kind = Kind::HTTP;
    std::string username{};  // SOCKS5: required when set
    std::string password{};
    // HTTP: a CONNECT is answered with this raw answer instead of a tunnel.
    std::string refuseConnectWith{};
    // HTTP: when set, a request without "Proxy-Authorization: Basic" of
    // these credentials is answered 407 and the connection closed.
    std::string requireUser{};
    std::string requirePassword{};
    // HTTP: every request head (CONNECT included) goes past this challenger
    // first; a refusal is answered and the connection closed.
    std::shared_ptr<TestAuthChallenger> challenger{};
  };

  explicit TestProxy(Options options);
  ~TestProxy();
  TestProxy(const TestProxy&) = delete;
  TestProxy& operator=(const TestProxy&) = delete;

  int port() const { return port_; }
  int connectionCount() const;
  // One line per request seen: "CONNECT 127.0.0.1:8443", "GET http://...",
  // "SOCKS5 127.0.0.1:8080", "SOCKS5 localhost:8080".
  std::vector<std::string> log() const;
  // Heads of the requests an HTTP proxy forwarded or tunnelled for, as received.
  std::vector<std::string> heads() const;
  void stop();

private:
  void acceptLoop();
  void serve(int fd);
  void serveHTTP(int fd);
  void serveSOCKS(int fd);
  void note(std::string line, std::string head = "");

  Options options_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::vector<int> fds_;
  std::vector<std::string> log_;
  std::vector<std::string> heads_;
  int connections_ = 0;
};

}  // namespace qvtest
