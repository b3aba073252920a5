// The system log: diagnostics and programming errors go here, never to a file
// of ours. Lines go to standard error; a test can capture them.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/format.h"

namespace plat {

void logLine(std::string_view line);

template <class... Args>
void log(std::string_view fmt, const Args&... args) {
  logLine(format(fmt, args...));
}

// Collects every line logged while it lives (from any thread). While one is
// active, lines are not written to standard error unless `echo` is set.
class LogCapture {
public:
  explicit LogCapture(bool echo = false);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view text) const;  // some line holds the text
  size_t count(std::string_view text) const;   // lines holding the text
  void clear();

private:
  friend void logLine(std::string_view line);
  void add(std::string_view line);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  bool echo_;
  LogCapture* previous_;
};

}  // namespace plat
