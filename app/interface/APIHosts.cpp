#include "app/interface/APIHosts.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::string gOAuth = APIHosts::kDefaultOAuth;
std::string gAccount = APIHosts::kDefaultAccount;
std::string gFile = APIHosts::kDefaultFile;
}  // namespace

std::string APIHosts::oauth() {
  std::lock_guard<std::mutex> l(gMutex);
  return gOAuth;
}
std::string APIHosts::account() {
  std::lock_guard<std::mutex> l(gMutex);
  return gAccount;
}
std::string APIHosts::file() {
  std::lock_guard<std::mutex> l(gMutex);
  return gFile;
}
void APIHosts::setOAuth(std::string host) {
  std::lock_guard<std::mutex> l(gMutex);
  gOAuth = std::move(host);
}
void APIHosts::setAccount(std::string host) {
  std::lock_guard<std::mutex> l(gMutex);
  gAccount = std::move(host);
}
void APIHosts::setFile(std::string host) {
  std::lock_guard<std::mutex> l(gMutex);
  gFile = std::move(host);
}
void APIHosts::setAll(const std::string& host) {
  std::lock_guard<std::mutex> l(gMutex);
  gOAuth = gAccount = gFile = host;
}
