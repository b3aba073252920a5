// Where the service lives: the host of the web site that the signed links
// and the web windows open, and the host of the update service. The default is the public service; a developer
// or a test points it at devcloud.
#pragma once

#include <string>

class ServiceHosts {
public:
  static constexpr const char* kDefaultWebSite = "www.quorva.com";
  // Host (and port), no scheme.
  static std::string webSite();
  static void setWebSite(std::string host);

  // The update service (UI packages, the application's installer).
  static constexpr const char* kDefaultUpdateService = "update.quorva.com";
  static std::string updateService();
  static void setUpdateService(std::string host);
};
