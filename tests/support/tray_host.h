// Tests only: a session bus of the test's own (dbus-daemon in a temporary
// folder) and, on it, a stand-in desktop: a tray host that owns
// org.kde.StatusNotifierWatcher and takes the items that register, and a
// notification server (org.freedesktop.Notifications) that keeps what it
// is sent and can report a click. The host serves the bus on a thread of
// its own, so a test may call items synchronously from its main thread
// while their own threads answer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/sni/dbusmenu_layout.h"

namespace qvtest {

class PrivateSessionBus {
public:
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
  bool started() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }
  const std::string& address() const { return address_; }

private:
  std::string dir_, address_, failure_;
  pid_t bus_ = -1;
  std::optional<std::string> oldAddress_;
};

// One entry of a menu read back over com.canonical.dbusmenu.
using MenuNode = plat::dbusmenu::Node;

struct ReceivedNotice {
  uint32_t id = 0;
  std::string sender, appName, icon, summary, body;
  std::vector<std::string> actions;
  bool hasImage = false;
  std::vector<std::string> hints;  // the names of the hints given
};

class TrayHost {
public:
  // `watcher`: own the tray host's name; `notices`: be the notification server.
  explicit TrayHost(bool watcher = true, bool notices = true);
  ~TrayHost();
  TrayHost(const TrayHost&) = delete;
  TrayHost& operator=(const TrayHost&) = delete;
  bool started() const { return started_; }

  // Items registered so far, as they named themselves.
  std::vector<std::string> items() const;
  bool waitForItem(double seconds);
  // The newest registered item.
  std::string item() const;

  // ---- Calls to an item (synchronous, 10 s at most) ----
  std::optional<MenuNode> layout(const std::string& item);
  bool event(const std::string& item, int id, const std::string& eventId);
  bool aboutToShow(const std::string& item, int id);
  bool activate(const std::string& item, int x, int y);
  // An item's property as text (strings, numbers, booleans, paths).
  std::optional<std::string> property(const std::string& item, const std::string& name);
  // The first pixmap of IconPixmap: width, height and the bytes.
  struct Pixmap {
    int width = 0, height = 0;
    std::vector<uint8_t> argb;
  };
  std::optional<Pixmap> iconPixmap(const std::string& item);
  // Signals seen from items, by member name ("LayoutUpdated", "NewIcon").
  int signalCount(const std::string& member) const;

  // ---- The notification server ----
  std::vector<ReceivedNotice> notices() const;
  // A click on the notice: ActionInvoked(id, key), then NotificationClosed.
  bool click(uint32_t id, const std::string& key = "default");

  struct Impl;

private:
  std::shared_ptr<Impl> impl_;
  bool started_ = false;
};

// Waits (real time) for the condition, serving nothing; false after `seconds`.
bool waitUntil(const std::function<bool()>& done, double seconds);

}  // namespace qvtest
