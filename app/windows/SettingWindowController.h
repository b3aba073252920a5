// SettingWindowController: the settings window. Three pages: the general
// switches (baseView), the account (userView: name, computer, space, the
// sync folder's place, selective sync, logout, plug-in repair) and the proxy
// (agent). Every switch is written to the settings database at once and,
// where the running application needs it, to the application object's flag.
//
// Threads: the window is the main thread's. A sync-folder move runs as an
// operation on the application object's task queue, which posts
// "MoveFileNotification" from there; the window hands each one to the main
// thread and stops observing when the move ends or the window goes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/windows/WindowControllers.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/operation_queue.h"
#include "platform/ui/form.h"

class MoveProgressWindowController;
class SelectFileSyncWindowController;

class SettingWindowController : public NSWindowController,
                                public std::enable_shared_from_this<SettingWindowController> {
public:
  static constexpr const char* kBaseView = "baseView";
  static constexpr const char* kUserView = "userView";
  static constexpr const char* kAgentView = "agent";

  // What moves the sync folder: an operation for the task queue that moves
  // the sync parent folder to `rootPath` and posts "MoveFileNotification".
  // The sync engine provides it; none set, a move fails at once.
  using MoveTaskMaker = std::function<std::shared_ptr<plat::Operation>(const std::string& rootPath)>;
  static void setMoveTaskMaker(MoveTaskMaker maker);

  // The file manager's plug-in, as the settings window repairs it.
  struct PluginRepair {
    std::function<bool()> installed;  // the plug-in is there to repair
    std::function<bool()> repair;     // put back in place; true when done
  };
  static void setPluginRepair(PluginRepair repair);

  static std::shared_ptr<SettingWindowController> make();
  SettingWindowController(std::shared_ptr<plat::Window> window, std::shared_ptr<plat::Form> form);
  ~SettingWindowController() override;
  std::string className() const override { return "SettingWindowController"; }

  void initWithSetting();
  void onLoginJumpSettingAgentView();

  // ---- Pages ----
  void onBtnSelectBaseClicked();
  void onBtnSelectUserClicked();
  void onBtnSelectAgentClicked();

  // ---- General switches ----
  void onBtnCheckPromptClicked();
  void onBtnCheckAutoRunClicked();
  void onBtnCheckBlackClicked();
  void onBtnCheckLocalClicked();
  void onBtnCheckHttpsClicked();
  void onBtnCheckRecycbin();
  void onBtnCheckQuickMenu();
  void onBtnDockDisplayClicked() {}

  // ---- Proxy ----
  void onComBoxAgentTypeClicked();
  void onBtnCheckAgentNeedUserClicked();
  void onBtnAgentEnterClicked();

  // ---- Account ----
  void onBtnLogoutClicked();
  void alertDidEnd(int returnCode);
  void onResetPlugin();
  // The path control's open panel, then its action with the place chosen.
  void onChoosePathClicked();
  void changeLocationAction(const std::string& path);
  void onBtnMoveSyncFileClicked();
  // The percent of a move as text ("42", "100", "-1").
  void reloadMoveProgressControlValue(const std::string& percent);
  void onBtnSelectSyncFileClicked();

  const std::shared_ptr<plat::Form>& form() const { return form_; }
  const std::string& selPath() const { return selPath_; }
  bool isMoved() const { return isMoved_; }
  std::shared_ptr<MoveProgressWindowController> progressController() const { return progressController_; }
  // The text the path control shows: the sync folder's parent as a file URL.
  std::string pathControlURL() const;

private:
  void showPage(const std::string& page, int cell);
  void switchClicked(const std::string& id);
  void agentControls();
  void refuse(const std::string& text);
  void showSyncParent();

  std::shared_ptr<plat::Form> form_;
  std::string selPath_;
  bool isMoved_ = true;
  std::shared_ptr<MoveProgressWindowController> progressController_;
  std::shared_ptr<SelectFileSyncWindowController> selectFileSyncController_;
  plat::ScopedObserver moveObserver_;
};
