#include "app/core/ProxySecrets.h"

#include <cctype>

#include "app/core/SettingsDb.h"
#include "platform/foundation/log.h"
#include "platform/net/credential_storage.h"
#include "platform/net/proxy_settings.h"

namespace {

const plat::ProtectionSpace& proxySpace() {
  static const plat::ProtectionSpace space{"com.quorva.proxy", 0, "", "proxy", false};
  return space;
}

}  // namespace

std::string ProxySecrets::password(SettingsDb& db) {
  auto storage = plat::CredentialStorage::shared();
  if (auto c = storage->defaultCredential(proxySpace())) return c->password;
  const std::string legacy = db.getagentpassword();
  if (!legacy.empty() && storage->setDefaultCredential({db.getagentuser(), legacy}, proxySpace())) {
    db.setagentpassword("");
  }
  return legacy;
}

void ProxySecrets::store(SettingsDb& db, int64_t type, const std::string& host, int64_t port, bool needuser,
                         const std::string& user, const std::string& password) {
  db.setagenttype(type);
  db.setagentip(host);
  db.setagentport(port);
  db.setagentneeduser(needuser);
  db.setagentuser(user);
  auto storage = plat::CredentialStorage::shared();
  if (password.empty()) {
    storage->removeCredential(proxySpace());
  } else if (!storage->setDefaultCredential({user, password}, proxySpace())) {
    // Not written anywhere else: the user types it again next time.
    plat::log("ProxySecrets: the secret store refused the proxy password; not kept");
  }
  db.setagentpassword("");
}

void ProxySecrets::apply(SettingsDb& db) {
  const int64_t type = db.getagenttype();
  const std::string host = db.getagentip();
  const int64_t port = db.getagentport();
  if ((type != kHTTP && type != kSOCKS) || !validHost(host) || port < 1 || port > 65535) {
    plat::setApplicationProxySettings(std::nullopt);
    return;
  }
  plat::SystemProxySettings::Server server;
  server.type = type == kHTTP ? plat::kCFProxyTypeHTTP : plat::kCFProxyTypeSOCKS;
  server.host = host;
  server.port = static_cast<int>(port);
  if (db.getagentneeduser()) {
    server.username = db.getagentuser();
    server.password = password(db);
  }
  plat::SystemProxySettings settings;
  if (type == kHTTP) {
    settings.http = server;
    settings.https = server;
  } else {
    settings.socks = server;
  }
  plat::setApplicationProxySettings(settings);
}

bool ProxySecrets::validHost(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  for (unsigned char c : host) {
    if (std::isspace(c) || c == '/' || c == '@' || c < 0x20) return false;
  }
  return true;
}

bool ProxySecrets::validPort(const std::string& text, int64_t* port) {
  if (text.empty() || text.size() > 5) return false;
  int64_t v = 0;
  for (unsigned char c : text) {
    if (!std::isdigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 65535) return false;
  if (port) *port = v;
  return true;
}
