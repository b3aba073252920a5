// Per-user preferences that live outside the settings database ("versionquorva",
// "MSG_DATALINE", the UI package digests). Stored in a small binary file under
// the user's configuration folder, rewritten atomically on every change so a
// crash never leaves it half written.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace plat {

class UserDefaults {
public:
  // $XDG_CONFIG_HOME/Quorva/defaults (~/.config/Quorva/defaults), unless a
  // test chose another file with setStandardPath before the first use.
  static UserDefaults& standard();
  static void setStandardPath(std::string path);

  explicit UserDefaults(std::string path);

  Value objectForKey(const std::string& key) const;  // null when absent
  std::string stringForKey(const std::string& key) const;
  int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;

  // Writes through to the file; false when it could not be written (the
  // value is kept in memory all the same).
  bool setObject(const std::string& key, Value value);
  bool removeObjectForKey(const std::string& key);
  // Reads the file again (another process may have changed it).
  void reload();

  const std::string& path() const { return path_; }

  // The file format, exposed for tests: encode a dictionary and decode it;
  // decoding refuses anything malformed instead of guessing.
  static std::string encode(const Dictionary& d);
  static std::optional<Dictionary> decode(std::string_view bytes);

private:
  bool save();
  std::string path_;
  mutable std::mutex mutex_;
  Dictionary values_;
};

}  // namespace plat
