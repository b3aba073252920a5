#include "platform/net/lan_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace plat {

std::vector<std::string> hostAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !(i->ifa_flags & IFF_UP)) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (i->ifa_addr->sa_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr, text, sizeof text);
    } else {
      continue;
    }
    out.emplace_back(text);
  }
  ::freeifaddrs(list);
  return out;
}

namespace {

int boundSocket(int type, uint16_t port, uint16_t* bound) {
  const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // On a TCP listener the option only lets lingering connections be; on UDP
  // Linux would let a second socket share a port that another holds.
  if (type == SOCK_STREAM) {
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  if (bound) *bound = ntohs(a.sin_port);
  return fd;
}

}  // namespace

int udpBind(uint16_t port, uint16_t* bound) { return boundSocket(SOCK_DGRAM, port, bound); }

int udpBroadcastSocket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  return fd;
}

int tcpListen(uint16_t port, uint16_t* bound, int backlog) {
  const int fd = boundSocket(SOCK_STREAM, port, bound);
  if (fd < 0) return -1;
  if (::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool udpSendTo(int fd, const void* bytes, size_t size, const sockaddr_in& to) {
  return ::sendto(fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(size);
}

bool udpSendTo(int fd, const void* bytes, size_t size, const std::string& addr, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!isIPv4Text(addr) || ::inet_pton(AF_INET, addr.c_str(), &to.sin_addr) != 1) return false;
  return udpSendTo(fd, bytes, size, to);
}

bool isIPv4Text(const std::string& text) {
  int parts = 0;
  size_t i = 0;
  while (i <= text.size()) {
    size_t digits = 0;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + (text[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (i == text.size()) break;
    if (text[i] != '.') return false;
    ++i;
  }
  return parts == 4;
}

std::string ipv4Text(const sockaddr_in& addr) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

}  // namespace plat
