#include "platform/system/reachability.h"

#include <sstream>
#include <vector>

#include "platform/foundation/file_util.h"
#include "platform/system/replaceable.h"

namespace plat {

namespace {

Replaceable<Reachability, RouteTableReachability> gReach;

constexpr unsigned long kRouteUp = 0x0001;     // RTF_UP
constexpr unsigned long kRouteReject = 0x0200; // RTF_REJECT

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

bool parseHex(const std::string& s, unsigned long& v) {
  if (s.empty()) return false;
  try {
    size_t used = 0;
    v = std::stoul(s, &used, 16);
    return used == s.size();
  } catch (...) {
    return false;
  }
}

}  // namespace

std::optional<bool> hasDefaultRoute(const std::string& table, bool ipv6) {
  std::istringstream in(table);
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    auto w = words(line);
    if (w.empty()) continue;
    if (!ipv6) {
      // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
      if (first) {
        first = false;
        if (w[0] != "Iface") return std::nullopt;
        continue;
      }
      if (w.size() < 8) return std::nullopt;
      unsigned long dest = 0, flags = 0, mask = 0;
      if (!parseHex(w[1], dest) || !parseHex(w[3], flags) || !parseHex(w[7], mask)) return std::nullopt;
      if (dest == 0 && mask == 0 && (flags & kRouteUp) && !(flags & kRouteReject) && w[0] != "lo") return true;
    } else {
      // dest destlen src srclen nexthop metric refcnt use flags iface
      if (w.size() < 10) return std::nullopt;
      unsigned long destLen = 0, flags = 0;
      if (!parseHex(w[1], destLen) || !parseHex(w[8], flags)) return std::nullopt;
      if (w[0] == std::string(32, '0') && destLen == 0 && (flags & kRouteUp) && !(flags & kRouteReject) &&
          w[9] != "lo") {
        return true;
      }
    }
  }
  if (!ipv6 && first) return std::nullopt;  // not even a header
  return false;
}

RouteTableReachability::RouteTableReachability(std::string ipv4Routes, std::string ipv6Routes)
    : ipv4_(std::move(ipv4Routes)), ipv6_(std::move(ipv6Routes)) {}

bool RouteTableReachability::isReachable() const {
  if (auto t = readFile(ipv4_)) {
    if (hasDefaultRoute(*t, false).value_or(false)) return true;
  }
  if (auto t = readFile(ipv6_)) {
    if (hasDefaultRoute(*t, true).value_or(false)) return true;
  }
  return false;
}

std::shared_ptr<Reachability> reachability() { return gReach.get(); }

void setReachability(std::shared_ptr<Reachability> r) { gReach.set(std::move(r)); }

}  // namespace plat
