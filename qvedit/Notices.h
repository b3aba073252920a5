// The helper's desktop notices. Every notice goes out under the title
// "Quorva科技"; a notice the desktop can't take is dropped.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

inline constexpr const char* kNoticeTitle = "Quorva科技";

class Notifier {
public:
  virtual ~Notifier() = default;
  virtual void notify(const std::string& title, const std::string& description) = 0;
};

// freedesktop notifications through libnotify.
class LibnotifyNotifier : public Notifier {
public:
  LibnotifyNotifier();
  ~LibnotifyNotifier() override;
  void notify(const std::string& title, const std::string& description) override;

private:
  bool ready_ = false;
};

// Keeps every notice, for tests.
class RecordingNotifier : public Notifier {
public:
  void notify(const std::string& title, const std::string& description) override;
  std::vector<std::string> descriptions() const;
  std::vector<std::string> titles() const;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> titles_, descriptions_;
};
