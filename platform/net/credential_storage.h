// The user's stored credentials, kept across runs and keyed by protection
// space (server: host, port, protocol, realm; proxy: host, port, realm).
// Where a desktop secret service runs they go to it through libsecret;
// elsewhere to a private file (0600, in a 0700 folder), rewritten through a
// temporary file and a rename so a crash leaves the old list or the new.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace plat {

struct ProtectionSpace {
  std::string host;
  int port = 0;
  std::string protocol;  // "http", "https"; empty for a proxy
  std::string realm;
  bool proxy = false;
  bool operator==(const ProtectionSpace&) const = default;
};

struct URLCredential {
  std::string user;
  std::string password;
};

class CredentialStorage {
public:
  virtual ~CredentialStorage() = default;
  virtual bool setDefaultCredential(const URLCredential& credential, const ProtectionSpace& space) = 0;
  virtual std::optional<URLCredential> defaultCredential(const ProtectionSpace& space) = 0;
  virtual void removeCredential(const ProtectionSpace& space) = 0;

  // The secret service when one answers on the session bus, else the file
  // under $XDG_DATA_HOME/Quorva (made on first use).
  static std::shared_ptr<CredentialStorage> shared();
  // Tests hand their own store; null goes back to the default.
  static void setShared(std::shared_ptr<CredentialStorage> storage);
};

class FileCredentialStorage : public CredentialStorage {
public:
  explicit FileCredentialStorage(std::string path) : path_(std::move(path)) {}
  bool setDefaultCredential(const URLCredential& credential, const ProtectionSpace& space) override;
  std::optional<URLCredential> defaultCredential(const ProtectionSpace& space) override;
  void removeCredential(const ProtectionSpace& space) override;
  const std::string& path() const { return path_; }

private:
  std::mutex mutex_;
  std::string path_;
};

// True when a secret service owns its name on the session bus.
bool secretServiceIsRunning();

}  // namespace plat
