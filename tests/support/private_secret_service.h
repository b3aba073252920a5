// Tests only: a desktop secret service of our own (gnome-keyring-daemon
// with an unlocked login keyring) on a private D-Bus session bus, all in a
// temporary folder. While it lives, this process's session bus is that one
// (DBUS_SESSION_BUS_ADDRESS), so make it before anything in the process
// reaches the session bus. Stopped, and its folder removed, when it goes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qvtest {

class PrivateSecretService {
public:
  PrivateSecretService();
  ~PrivateSecretService();
  PrivateSecretService(const PrivateSecretService&) = delete;
  PrivateSecretService& operator=(const PrivateSecretService&) = delete;

  // The service owns its name on the bus.
  bool started() const { return failure_.empty(); }
  // Why it did not start.
  const std::string& failure() const { return failure_; }
  const std::string& folder() const { return dir_; }

private:
  std::string dir_;
  pid_t bus_ = -1;
  pid_t keyring_ = -1;
  std::optional<std::string> oldAddress_;
  std::string failure_;
};

}  // namespace qvtest
