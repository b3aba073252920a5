// The identity of this computer that the client sends to the service as its
// device id. The stand-in for a hardware serial number is the systemd machine
// id; it is never sent as it stands (systemd asks applications not to expose
// it) but as an id derived from it for this application alone, the same on
// every run of the same installation.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat {

class DeviceIdentity {
public:
  virtual ~DeviceIdentity() = default;
  // Empty when the computer gives no identity.
  virtual std::optional<std::string> serialNumber() const = 0;
};

class MachineIdIdentity : public DeviceIdentity {
public:
  // The files are tried in order; the first that holds a machine id (32
  // hexadecimal digits) is used.
  explicit MachineIdIdentity(std::vector<std::string> files = {"/etc/machine-id", "/var/lib/dbus/machine-id"});
  std::optional<std::string> serialNumber() const override;

private:
  std::vector<std::string> files_;
};

// 32 upper-case hexadecimal digits derived from a machine id (32 hex
// digits) for this application; empty when the text is not a machine id.
std::optional<std::string> applicationDeviceId(const std::string& machineId);

// The process-wide identity (a MachineIdIdentity unless replaced).
std::shared_ptr<const DeviceIdentity> deviceIdentity();
void setDeviceIdentity(std::shared_ptr<DeviceIdentity> identity);

}  // namespace plat
