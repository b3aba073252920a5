#include "qvedit/Notices.h"

#include <libnotify/notify.h>

#include "platform/foundation/log.h"

LibnotifyNotifier::LibnotifyNotifier() { ready_ = notify_init("qvedit"); }

LibnotifyNotifier::~LibnotifyNotifier() {
  if (ready_) notify_uninit();
}

void LibnotifyNotifier::notify(const std::string& title, const std::string& description) {
  if (!ready_) return;
  NotifyNotification* n = notify_notification_new(title.c_str(), description.c_str(), nullptr);
  if (n == nullptr) return;
  notify_notification_set_urgency(n, NOTIFY_URGENCY_NORMAL);
  GError* error = nullptr;
  if (!notify_notification_show(n, &error)) {
    plat::log("qvedit: notice dropped: %@", error ? std::string(error->message) : std::string("no reason"));
    if (error) g_error_free(error);
  }
  g_object_unref(G_OBJECT(n));
}

void RecordingNotifier::notify(const std::string& title, const std::string& description) {
  std::lock_guard<std::mutex> l(mutex_);
  titles_.push_back(title);
  descriptions_.push_back(description);
}

std::vector<std::string> RecordingNotifier::descriptions() const {
  std::lock_guard<std::mutex> l(mutex_);
  return descriptions_;
}

std::vector<std::string> RecordingNotifier::titles() const {
  std::lock_guard<std::mutex> l(mutex_);
  return titles_;
}
