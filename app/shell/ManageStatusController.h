// ManageStatusController: the status item and its panel. It turns the
// application object's flags and counters into what the item shows (icon,
// the image turning over it while files sync, the count of unread messages)
// and into the title and image of the panel's sync button. The item is
// redrawn every second and when a count changes; a click opens or closes
// the panel.
//
// setSyncFileCount and setUpdateCount's observation come from any thread and
// hand the interface work to the main thread; everything else runs on the
// main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/run_loop.h"
#include "platform/ui/status_item.h"
#include "platform/ui/toolkit.h"

class AppDelegate;
class PanelController;

class ManageStatusController : public std::enable_shared_from_this<ManageStatusController> {
public:
  // What the flags decide, first match first: no network, not signed in,
  // paused, all synced, syncing.
  struct State {
    bool bLink = false, bLogin = false, bSyncStart = false, bBlacktray = false;
    int64_t synccount = 0;
    int64_t updateCount = 0;
    bool panelOpen = false;
  };
  struct Face {
    plat::StatusItemLook look;
    std::optional<std::string> title;  // for the panel's sync button
    std::optional<std::string> image;
  };
  static Face faceFor(const State& s);

  // The font the count is measured in, and the sync button's.
  static plat::Toolkit::Font boldItalic() { return {"Verdana", 11, true, true}; }
  static plat::Toolkit::Font buttonFont() { return {"Lucida Grande", 13, false, false}; }

  // Makes the status item and the panel through the current toolkit (none
  // without one) and starts the redraws.
  static std::shared_ptr<ManageStatusController> make(AppDelegate& app);
  explicit ManageStatusController(AppDelegate& app);
  ~ManageStatusController();
  ManageStatusController(const ManageStatusController&) = delete;
  ManageStatusController& operator=(const ManageStatusController&) = delete;

  int64_t syncFileCount() const { return syncFileCount_.load(); }
  void setSyncFileCount(int64_t count);
  // The application object's updateCount changed (any thread).
  void updateCountChanged();
  // Main thread: the item shows the state of now.
  void drawRect();
  // A click on the item: the panel opens or closes.
  void menuletClicked();
  bool hasActivePanel() const;
  void setHasActivePanel(bool open);
  void setSyncButtonTitle(const std::string& title);
  void changeSyncButtonInfo();
  // The panel's sync button as last shown.
  std::optional<std::string> syncButtonTitle() const;
  std::shared_ptr<PanelController> panelController() const { return panelController_; }
  std::shared_ptr<plat::StatusItem> statusView() const { return statusItem_; }
  // The width kept for the count beside the icon, and the item's length.
  float msgWidth() const { return msgWidth_; }
  double statusLength() const { return statusLength_; }
  bool isActive() const { return active_; }
  void setActive(bool v) { active_ = v; }

private:
  State current() const;
  void buttonEvent(const std::optional<std::string>& title, const std::optional<std::string>& image);

  AppDelegate& app_;
  std::atomic<int64_t> syncFileCount_{-1};
  std::shared_ptr<plat::StatusItem> statusItem_;
  std::shared_ptr<PanelController> panelController_;
  std::shared_ptr<plat::RunLoop> loop_;
  plat::RunLoop::SourceId timer_ = 0;
  float msgWidth_ = 0;        // main thread
  double statusLength_ = 0;   // main thread
  std::string countText_;     // main thread: the count label's text
  bool active_ = false;
  mutable std::mutex mutex_;  // the button title, read by any thread
  std::optional<std::string> syncButtonTitle_;
  std::mutex clickLock_;  // a click is handled under the controller's lock
};
