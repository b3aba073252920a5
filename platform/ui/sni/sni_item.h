// The status item as a StatusNotifierItem on the session bus, the tray
// protocol of the freedesktop desktops, with its menu exported as
// com.canonical.dbusmenu. The item owns a name of its own
// (org.kde.StatusNotifierItem-<pid>-<n>), serves /StatusNotifierItem and
// /MenuBar, and registers with the desktop's org.kde.StatusNotifierWatcher
// whenever one runs (again when the tray host restarts).
//
// Threads: the bus is served by a thread of the item's own, on its own
// GLib context, so the item works under any main loop (GTK's or the plain
// run loop). Clicks, menu choices and the menus' will-open handlers are
// handed to the main thread; every public call is for the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/status_item.h"

namespace plat {

class SniStatusItem : public StatusItem {
public:
  static constexpr const char* kItemPath = "/StatusNotifierItem";
  static constexpr const char* kMenuPath = "/MenuBar";
  static constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";

  struct Options {
    std::string id = "quorva";
    std::string title = "Quorva";
  };
  // Null when there is no session bus to reach.
  static std::shared_ptr<SniStatusItem> make(const Options& options);
  ~SniStatusItem() override;
  SniStatusItem(const SniStatusItem&) = delete;
  SniStatusItem& operator=(const SniStatusItem&) = delete;

  void show(const StatusItemLook& look) override;
  void setClickHandler(std::function<void()> handler) override;
  void setMenu(std::shared_ptr<Menu> menu) override;
  std::optional<Rect> globalRect() const override;

  // A tray host (watcher) took the item; it may come and go.
  bool hostPresent() const;
  // Told on the main thread whenever that changes.
  void setHostChanged(std::function<void(bool present)> handler);
  // The item's well-known name on the bus.
  std::string busName() const;
  // The menu's layout revision (it grows with every change).
  unsigned revision() const;

  struct Impl;

private:
  SniStatusItem() = default;
  std::shared_ptr<Impl> impl_;
};

}  // namespace plat
