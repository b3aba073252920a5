// The proxy the user sets in the settings window: kind, host, port and
// whether a user is needed in the settings database, the user's password in
// the desktop's secret store (never in the settings file, never in a log).
// apply() hands the stored proxy to the HTTP layer, which every request of
// the process then goes through.
#pragma once

#include <cstdint>
#include <string>

class SettingsDb;

class ProxySecrets {
public:
  static constexpr int64_t kNone = 0, kHTTP = 1, kSOCKS = 2;

  // The stored password; one an older file kept in its column moves to the
  // secret store on this read.
  static std::string password(SettingsDb& db);
  // Stores every value (the password in the secret store, "" in its column).
  static void store(SettingsDb& db, int64_t type, const std::string& host, int64_t port, bool needuser,
                    const std::string& user, const std::string& password);
  // The stored proxy as the process's proxy (none for kind 0 or an unusable host or port).
  static void apply(SettingsDb& db);
  // The page refuses an empty host and a port outside 1..65535.
  static bool validHost(const std::string& host);
  static bool validPort(const std::string& text, int64_t* port);
};
