// Facts about the computer and the signed-in system user that the client
// puts into its device description.
#pragma once

#include <optional>
#include <string>

namespace plat {

struct SystemVersion {
  int major = 0, minor = 0, patch = 0;
};

// The name the user gave the computer: PRETTY_HOSTNAME of /etc/machine-info
// when set, else the host name.
std::string computerName(const std::string& machineInfoFile = "/etc/machine-info");
// The short login name of the user running the process.
std::string userName();
// The running kernel's release as three numbers ("6.1.0-18-amd64" is 6.1.0).
SystemVersion systemVersion();
// The three leading numbers of a release text; missing ones are 0.
SystemVersion parseSystemVersion(const std::string& release);

}  // namespace plat
