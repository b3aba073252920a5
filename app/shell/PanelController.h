// PanelController: the popup panel under the status item. It shows the sync
// button (title and image set by ManageStatusController), the buttons that
// open the launch pad, the sync folder, the update list, the transfer list,
// the side bar and the status menu, and the page "tcframe.html".
//
// States: closed (hasActivePanel NO, window ordered out) <-> open. It opens
// by a click on the status item; it closes by another click, Esc, the loss
// of the keyboard while visible, a request to close, or a click elsewhere.
// Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/panel.h"
#include "platform/ui/status_item.h"

class AppDelegate;
class QVWebViewDelegate;

class PanelController : public std::enable_shared_from_this<PanelController> {
public:
  static constexpr double kWidth = 319, kHeight = 375;
  static constexpr double kEdge = 8;  // kept to the screen's right edge

  // Null without a toolkit.
  static std::shared_ptr<PanelController> make(AppDelegate& app);
  explicit PanelController(AppDelegate& app) : app_(app) {}
  ~PanelController();

  bool hasActivePanel() const { return hasActivePanel_; }
  void setHasActivePanel(bool open);
  // Told after every change of hasActivePanel.
  void setActivePanelObserver(std::function<void(bool)> observer) { observer_ = std::move(observer); }

  void setStatusItemView(std::shared_ptr<plat::StatusItem> item) { statusItemView_ = std::move(item); }
  plat::Rect statusRectForWindow() const;
  void openPanel();
  void closePanel();
  void windowDidResize();
  void setPopButtonEnabled();
  void setOpenWindowBtnState(int state);
  void addSyncAnimation();
  void removeSyncAnimation();

  // ---- The buttons ----
  void btnOpenWindow(int state);
  void openMenu();
  void openStartQuorvaWindow();
  void openSyncDirWindow();
  void openMessageWindow();
  void openTransWindow();

  const std::shared_ptr<plat::PanelView>& panel() const { return panel_; }
  const std::shared_ptr<QVWebViewDelegate>& delegate() const { return delegate_; }

private:
  void awakeFromNib();

  AppDelegate& app_;
  std::shared_ptr<plat::PanelView> panel_;
  std::shared_ptr<plat::StatusItem> statusItemView_;  // not owned by the panel's side
  std::shared_ptr<QVWebViewDelegate> delegate_;
  std::function<void(bool)> observer_;
  bool hasActivePanel_ = false;
};
