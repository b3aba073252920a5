// Whether the network can be reached at all: the question the client asks
// every 2 s before it talks to the service. On Linux the answer is whether
// the kernel has a default route (IPv4 or IPv6) through an interface that is
// up, other than loopback.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace plat {

class Reachability {
public:
  virtual ~Reachability() = default;
  // false also when the state cannot be read.
  virtual bool isReachable() const = 0;
};

class RouteTableReachability : public Reachability {
public:
  explicit RouteTableReachability(std::string ipv4Routes = "/proc/net/route",
                                  std::string ipv6Routes = "/proc/net/ipv6_route");
  bool isReachable() const override;

private:
  std::string ipv4_, ipv6_;
};

// Whether a route table text (the format of /proc/net/route, or of
// /proc/net/ipv6_route when `ipv6`) holds a default route that is up on an
// interface other than loopback; empty when the text is not such a table.
std::optional<bool> hasDefaultRoute(const std::string& table, bool ipv6);

std::shared_ptr<Reachability> reachability();
void setReachability(std::shared_ptr<Reachability> r);

}  // namespace plat
