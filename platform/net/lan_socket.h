// Plain IPv4 sockets for the local-network service: a UDP socket bound on
// every interface, a TCP listener, broadcast sends, and the addresses of
// this host. Every descriptor is non-blocking and close-on-exec; the
// callers schedule them on their own run loops.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plat {

// The addresses of this host's interfaces that are up, as text, in the order
// the system lists them (IPv4 dotted, IPv6 in its usual form).
std::vector<std::string> hostAddresses();

// A UDP socket bound to 0.0.0.0:port; -1 on failure (also when another
// socket holds the port: no SO_REUSEADDR, which on Linux would share it). The
// port bound (port 0 asks for any) goes to `bound`.
int udpBind(uint16_t port, uint16_t* bound);
// An unbound UDP socket that may send to broadcast addresses; -1 on failure.
int udpBroadcastSocket();
// A TCP listener on 0.0.0.0:port (SO_REUSEADDR, so lingering connections of
// an earlier listener do not block it); -1 on failure.
int tcpListen(uint16_t port, uint16_t* bound, int backlog);
// Sends one datagram to addr:port without waiting; false when it did not go.
bool udpSendTo(int fd, const void* bytes, size_t size, const std::string& addr, uint16_t port);
bool udpSendTo(int fd, const void* bytes, size_t size, const sockaddr_in& to);

// Strict dotted IPv4 text ("a.b.c.d", each part 0..255, no leading junk).
bool isIPv4Text(const std::string& text);
std::string ipv4Text(const sockaddr_in& addr);

}  // namespace plat
