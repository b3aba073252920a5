// The hosts of the service's endpoints: the OAuth endpoint, the account API
// and the file API. Host and port only; the scheme follows the https setting
// on every request. The defaults are the public service; a developer or a
// test points them at devcloud.
#pragma once

#include <string>

class APIHosts {
public:
  static constexpr const char* kDefaultOAuth = "oauth.quorva.com";
  static constexpr const char* kDefaultAccount = "api.quorva.com";
  static constexpr const char* kDefaultFile = "file.quorva.com";

  static std::string oauth();
  static std::string account();
  static std::string file();
  static void setOAuth(std::string host);
  static void setAccount(std::string host);
  static void setFile(std::string host);
  // All three at once.
  static void setAll(const std::string& host);
};
