// ManageStatusController: the status item. It turns the application
// object's flags and counters into what the item shows (icon, the image
// turning over it while files sync, the count of unread messages) and into
// the title and image of the panel's sync button. The item is redrawn every
// second and when a count changes; a click opens or closes the panel.
//
// setSyncFileCount comes from the periodic jobs thread and hands the redraw
// to the main thread; everything else runs on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/run_loop.h"
#include "platform/ui/status_item.h"

class AppDelegate;

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

  // Makes the status item through the current toolkit (none without one)
  // and starts its redraws.
  static std::shared_ptr<ManageStatusController> make(AppDelegate& app);
  explicit ManageStatusController(AppDelegate& app);
  ~ManageStatusController();
  ManageStatusController(const ManageStatusController&) = delete;
  ManageStatusController& operator=(const ManageStatusController&) = delete;

  int64_t syncFileCount() const { return syncFileCount_.load(); }
  void setSyncFileCount(int64_t count);
  // Main thread: the item shows the state of now.
  void drawRect();
  // A click on the item: the panel opens or closes.
  void menuletClicked();
  bool hasActivePanel() const { return hasActivePanel_; }
  void setHasActivePanel(bool open);
  // The panel's sync button as last computed.
  std::optional<std::string> syncButtonTitle() const;

private:
  State current() const;

  AppDelegate& app_;
  std::atomic<int64_t> syncFileCount_{-1};
  std::shared_ptr<plat::StatusItem> statusItem_;
  std::shared_ptr<plat::RunLoop> loop_;
  plat::RunLoop::SourceId timer_ = 0;
  bool hasActivePanel_ = false;  // main thread
  mutable std::mutex mutex_;     // the button title, read by any thread
  std::optional<std::string> syncButtonTitle_;
  std::mutex clickLock_;  // a click is handled under the controller's lock
};
