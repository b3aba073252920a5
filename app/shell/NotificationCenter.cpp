#include "app/shell/NotificationCenter.h"

#include "app/core/Localizable.h"
#include "app/core/Util.h"
#include "platform/foundation/file_util.h"
#include "platform/ui/toolkit.h"

namespace {

// In the order they are declared.
const char* const kNames[] = {
    "USB Device Connected",       "USB Device Disconnected",      "Volume Mounted",
    "Volume Unmounted",           "Bluetooth Device Connected",   "Bluetooth Device Disconnected",
    "FireWire Device Connected",  "FireWire Device Disconnected", "Network Link Up",
    "Network Link Down",          "IP Acquired",                  "IP Released",
    "AirPort Connected",          "AirPort Disconnected",         "Sync started",
    "Sync finished",              "Switched to A/C Power",        "Switched to Battery Power",
    "Switched to UPS Power",
};

}  // namespace

NotificationCenter& NotificationCenter::shareCenter() {
  static NotificationCenter center;  // made once under the language's own guard
  return center;
}

void NotificationCenter::setScheduleGrowlUserNotification(std::function<void()> openNotices) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    openNotices_ = std::move(openNotices);
  }
  auto toolkit = plat::Toolkit::current();
  auto bridge = toolkit ? toolkit->notices() : nullptr;
  if (bridge) bridge->setClickHandler([this](const std::string& context) { growlNotificationWasClicked(context); });
}

plat::Dictionary NotificationCenter::registrationDictionaryForGrowl() const {
  plat::Dictionary readable;
  plat::Array all, defaults;
  for (const char* name : kNames) {
    readable.set(name, plat::Value(NSLocalizedString(name)));
    all.push_back(plat::Value(name));
    const std::string n = name;
    if (n != "Sync started" && n != "Sync finished") defaults.push_back(plat::Value(name));
  }
  plat::Dictionary d;
  d.set("ApplicationName", plat::Value("quorva"));
  d.set("HumanReadableNames", plat::Value(std::move(readable)));
  d.set("AllNotifications", plat::Value(std::move(all)));
  d.set("DefaultNotifications", plat::Value(std::move(defaults)));
  return d;
}

std::optional<plat::Data> NotificationCenter::quorvaLogo() const {
  const std::string program = Util::applicationPath();
  if (program.empty()) return std::nullopt;
  auto bytes = plat::readFile(plat::pathJoin(plat::pathDirname(program), "quorva.png"));
  if (!bytes) return std::nullopt;
  return plat::Data(bytes->begin(), bytes->end());
}

void NotificationCenter::setGrowlNotificationDescripation(const std::string& description,
                                                          const std::optional<std::string>& context) {
  auto toolkit = plat::Toolkit::current();
  auto bridge = toolkit ? toolkit->notices() : nullptr;
  if (!bridge) return;
  plat::Notice n;
  n.title = NSLocalizedString("QuorvaTechnology");
  n.description = description;
  n.name = kNoticeName;
  n.identifier = kIdentifier;
  n.icon = quorvaLogo().value_or(plat::Data{});  // read anew for each notice
  n.priority = 0;
  n.sticky = false;
  n.context = context;
  bridge->notify(n);
}

void NotificationCenter::growlNotificationWasClicked(const std::string& context) {
  if (context.empty()) return;
  std::function<void()> open;
  {
    std::lock_guard<std::mutex> l(mutex_);
    open = openNotices_;
  }
  if (open) open();
}
