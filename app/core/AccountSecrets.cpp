#include "app/core/AccountSecrets.h"

#include "app/core/SettingsDb.h"
#include "platform/foundation/log.h"
#include "platform/net/credential_storage.h"

namespace {

// One stored account per machine, as the settings row: one entry.
const plat::ProtectionSpace& accountSpace() {
  static const plat::ProtectionSpace space{"com.quorva.account", 0, "", "account", false};
  return space;
}

}  // namespace

std::string AccountSecrets::password(SettingsDb& db, const std::string& user) {
  auto storage = plat::CredentialStorage::shared();
  if (auto c = storage->defaultCredential(accountSpace()); c && c->user == user) return c->password;
  const std::string legacy = db.getpassword();
  if (!legacy.empty() && storage->setDefaultCredential({user, legacy}, accountSpace())) {
    db.setpassword("");
  }
  return legacy;
}

void AccountSecrets::store(SettingsDb& db, const std::string& user, const std::string& password, int64_t dateline,
                           const std::string& syncpath) {
  auto storage = plat::CredentialStorage::shared();
  std::string column;
  if (password.empty()) {
    storage->removeCredential(accountSpace());
  } else if (!storage->setDefaultCredential({user, password}, accountSpace())) {
    // Better in the owner-only settings file than lost: the next launch
    // could not sign in by itself.
    plat::log("AccountSecrets: the secret store refused the password; kept in the settings file");
    column = password;
  }
  db.setuserinfo(user, column, dateline, syncpath);
}

void AccountSecrets::clear(SettingsDb& db) {
  db.clearuserinfo();
  plat::CredentialStorage::shared()->removeCredential(accountSpace());
}
