// The stored account: its name and sync folder in the settings database, its
// password in the desktop's secret store (libsecret where a secret service
// runs, else the private credentials file), never in the settings file. An
// older settings file that still holds the password hands it over on the
// first read.
#pragma once

#include <cstdint>
#include <string>

class SettingsDb;

class AccountSecrets {
public:
  // The password stored for `user`; "" when none.
  static std::string password(SettingsDb& db, const std::string& user);
  // Stores the account row (without the password) and the password.
  static void store(SettingsDb& db, const std::string& user, const std::string& password, int64_t dateline,
                    const std::string& syncpath);
  // Forgets the stored account and its password.
  static void clear(SettingsDb& db);
};
