// A private temporary folder used as HOME for one test, with the XDG
// variables cleared, so tests never touch the real home folder.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/foundation/file_util.h"

namespace plat::testing {

class ScopedEnv {
public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string name_;
  std::optional<std::string> old_;
};

class TempHome {
public:
  TempHome()
      : dir_(makeTemporaryDirectory("qvhome")),
        home_("HOME", dir_.c_str()),
        data_("XDG_DATA_HOME", nullptr),
        config_("XDG_CONFIG_HOME", nullptr) {}
  ~TempHome() { removeTree(dir_); }
  const std::string& path() const { return dir_; }

private:
  std::string dir_;
  ScopedEnv home_, data_, config_;
};

}  // namespace plat::testing
