// NotificationCenter: the application's one way to show a desktop notice.
// Callers hand over a text and, for service messages only, a click context;
// every notice goes out under the same title, name and identifier through
// the current toolkit's notice bridge, and is dropped without a word when
// the desktop has none. Any thread may post.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

class NotificationCenter {
public:
  static constexpr const char* kTitle = "Quorva科技";
  // The name every notice of the application carries.
  static constexpr const char* kNoticeName = "FireWire Device Disconnected";
  static constexpr const char* kIdentifier = "com.quorva";

  // Made once, also when several threads ask at the same time.
  static NotificationCenter& shareCenter();

  // Becomes the receiver of clicks on notices; `openNotices` shows the
  // messages (the launch pad on its notices tab).
  void setScheduleGrowlUserNotification(std::function<void()> openNotices);
  // The notice kinds the application declares, the two sync ones off.
  plat::Dictionary registrationDictionaryForGrowl() const;
  // The application's icon beside the program ("quorva.png"); none when absent.
  std::optional<plat::Data> quorvaLogo() const;
  void setGrowlNotificationDescripation(const std::string& description, const std::optional<std::string>& context);
  // A notice with a context opens the messages; one without does nothing.
  void growlNotificationWasClicked(const std::string& context);
  void growlNotificationTimedOut(const std::string&) {}

private:
  NotificationCenter() = default;
  std::mutex mutex_;
  std::function<void()> openNotices_;
};
