#include "platform/foundation/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace plat {

namespace {
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
LogCapture* gCapture = nullptr;  // guarded by sinkMutex

void writeStderr(std::string_view line) {
  char stamp[40];
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", ts.tv_nsec / 1000000);
  std::fprintf(stderr, "%s Quorva[%d:%ld] %.*s\n", stamp, static_cast<int>(getpid()),
               static_cast<long>(syscall(SYS_gettid)), static_cast<int>(line.size()), line.data());
}
}  // namespace

void logLine(std::string_view line) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (gCapture) {
    gCapture->add(line);
    if (!gCapture->echo_) return;
  }
  writeStderr(line);
}

LogCapture::LogCapture(bool echo) : echo_(echo) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  previous_ = gCapture;
  gCapture = this;
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(sinkMutex());
  gCapture = previous_;
}

void LogCapture::add(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool LogCapture::contains(std::string_view text) const { return count(text) > 0; }

size_t LogCapture::count(std::string_view text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& l : lines_) n += l.find(text) != std::string::npos;
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace plat
