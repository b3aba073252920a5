#include "app/ServiceHosts.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::string gWebSite = ServiceHosts::kDefaultWebSite;
}  // namespace

std::string ServiceHosts::webSite() {
  std::lock_guard<std::mutex> l(gMutex);
  return gWebSite;
}

void ServiceHosts::setWebSite(std::string host) {
  std::lock_guard<std::mutex> l(gMutex);
  gWebSite = host.empty() ? kDefaultWebSite : std::move(host);
}
