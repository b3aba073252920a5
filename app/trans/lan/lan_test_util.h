// Tests only: a LanClient over files of a temporary folder (what the client
// holds whole, and running downloads with their held blocks), with its
// switch and addresses set by the test; a plain TCP exchange with the file
// service and a UDP peer on loopback.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/trans/lan/LanClient.h"

namespace lantest {

class FolderClient : public LanClient {
public:
  struct Running {
    std::string path;
    uint64_t size = 0;
    LanDownloadState state;
  };

  void addWhole(const std::string& hash, const std::string& path) {
    std::lock_guard<std::mutex> l(m_);
    whole_[hash] = path;
  }
  void addDownload(const std::string& hash, Running r) {
    std::lock_guard<std::mutex> l(m_);
    running_[hash] = std::move(r);
  }
  void setSwitch(bool on) { on_ = on; }
  void setAddresses(std::vector<std::string> a) {
    std::lock_guard<std::mutex> l(m_);
    addresses_ = std::move(a);
  }
  int lookups() const { return lookups_.load(); }

  bool lanSwitch() override { return on_.load(); }
  std::optional<LanSource> findSource(const std::string& hash) override {
    ++lookups_;
    std::lock_guard<std::mutex> l(m_);
    if (auto it = whole_.find(hash); it != whole_.end()) return openSource(it->second);
    auto it = running_.find(hash);
    if (it == running_.end()) return std::nullopt;
    auto s = openSource(it->second.path);
    if (!s) return std::nullopt;
    s->size = it->second.size;
    s->have = it->second.state.bitmap;
    return s;
  }
  bool holdsWhole(const std::string& hash) override {
    std::lock_guard<std::mutex> l(m_);
    return whole_.count(hash) > 0;
  }
  std::optional<LanDownloadState> downloadState(const std::string& hash) override {
    std::lock_guard<std::mutex> l(m_);
    auto it = running_.find(hash);
    if (it == running_.end()) return std::nullopt;
    return it->second.state;
  }
  uint32_t userID() override { return 4242; }
  std::vector<std::string> addresses() override {
    std::lock_guard<std::mutex> l(m_);
    return addresses_;
  }
  std::string date() override { return "Fri, 11 Dec 2026 01:00:00 GMT"; }

private:
  std::mutex m_;
  std::atomic<bool> on_{true};
  std::atomic<int> lookups_{0};
  std::map<std::string, std::string> whole_;
  std::map<std::string, Running> running_;
  // Loopback is no address of this host here, so the tests' peers on
  // 127.0.0.1 are other hosts.
  std::vector<std::string> addresses_{"10.254.0.1"};
};

inline int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool sendAll(int fd, const std::string& s) {
  size_t at = 0;
  while (at < s.size()) {
    const ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// Reads until the peer closes, `limit` bytes have come, or `seconds` pass
// without a byte. `closed` tells whether the peer closed.
inline std::string readSome(int fd, size_t limit, double seconds, bool* closed = nullptr) {
  std::string out;
  if (closed) *closed = false;
  while (out.size() < limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) break;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, limit - out.size()), 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// One response: its head, then exactly Content-Length bytes of body.
struct Response {
  std::string head;
  std::string body;
  bool closed = false;  // the service closed the connection after it
};

inline Response readResponse(int fd, double seconds = 10) {
  Response r;
  std::string got;
  while (got.find("\r\n\r\n") == std::string::npos) {
    bool closed = false;
    std::string more = readSome(fd, 1, seconds, &closed);
    if (more.empty()) {
      r.closed = closed;
      r.head = got;
      return r;
    }
    got += more;
  }
  r.head = got;
  auto at = got.find("Content-Length: ");
  if (at == std::string::npos) {
    // No body announced (a 404): the service ends the connection.
    r.body = readSome(fd, 1, seconds, &r.closed);
    return r;
  }
  r.body = readSome(fd, std::stoull(got.substr(at + 16)), seconds, &r.closed);
  return r;
}

class UdpPeer {
public:
  UdpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpPeer() { ::close(fd_); }
  int port() const { return port_; }
  void sendTo(int port, const std::vector<uint8_t>& bytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  // The next datagram within `seconds`; nothing when none came.
  std::optional<std::vector<uint8_t>> receive(double seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return std::nullopt;
    std::vector<uint8_t> buf(70000);
    const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
  }

private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace lantest
