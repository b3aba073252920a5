#include "platform/system/host_info.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/foundation/file_util.h"

namespace plat {

namespace {
// A value of /etc/machine-info may be quoted as in a shell.
std::string unquote(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    char q = v.front();
    v = v.substr(1, v.size() - 2);
    if (q == '"') {
      std::string out;
      for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) ++i;
        out.push_back(v[i]);
      }
      return out;
    }
  }
  return v;
}
}  // namespace

std::string computerName(const std::string& machineInfoFile) {
  if (auto text = readFile(machineInfoFile)) {
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("PRETTY_HOSTNAME=", 0) == 0) {
        std::string v = unquote(line.substr(16));
        if (!v.empty()) return v;
      }
    }
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0]) return host;
  return "localhost";
}

std::string userName() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_name) {
    return result->pw_name;
  }
  const char* env = std::getenv("USER");
  return env ? env : "";
}

SystemVersion parseSystemVersion(const std::string& release) {
  SystemVersion v;
  int* parts[3] = {&v.major, &v.minor, &v.patch};
  size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    if (i >= release.size() || release[i] < '0' || release[i] > '9') break;
    int n = 0;
    while (i < release.size() && release[i] >= '0' && release[i] <= '9') {
      if (n < 100000000) n = n * 10 + (release[i] - '0');
      ++i;
    }
    *parts[k] = n;
    if (i < release.size() && release[i] == '.') {
      ++i;
    } else {
      break;
    }
  }
  return v;
}

SystemVersion systemVersion() {
  utsname u{};
  if (uname(&u) != 0) return {};
  return parseSystemVersion(u.release);
}

}  // namespace plat
