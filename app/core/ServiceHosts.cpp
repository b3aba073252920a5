#include "app/core/ServiceHosts.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::string gWebSite = ServiceHosts::kDefaultWebSite;
std::string gUpdateService = ServiceHosts::kDefaultUpdateService;
}  // namespace

std::string ServiceHosts::webSite() {
  std::lock_guard<std::mutex> l(gMutex);
  return gWebSite;
}

void ServiceHosts::setWebSite(std::string host) {
  std::lock_guard<std::mutex> l(gMutex);
  gWebSite = host.empty() ? kDefaultWebSite : std::move(host);
}

std::string ServiceHosts::updateService() {
  std::lock_guard<std::mutex> l(gMutex);
  return gUpdateService;
}

void ServiceHosts::setUpdateService(std::string host) {
  std::lock_guard<std::mutex> l(gMutex);
  gUpdateService = host.empty() ? kDefaultUpdateService : std::move(host);
}
