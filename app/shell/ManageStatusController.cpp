#include "app/shell/ManageStatusController.h"

#include "app/shell/AppDelegate.h"
#include "app/shell/PanelController.h"
#include "platform/foundation/format.h"
#include "platform/ui/toolkit.h"

using plat::PanelButton;

ManageStatusController::Face ManageStatusController::faceFor(const State& s) {
  Face f;
  const bool black = s.bBlacktray;
  const char* none = black ? "statusNoneIcon" : "blueStatusNoneIcon";
  if (!s.bLink) {
    f.look.icon = none;
    f.title = "网路已断开！";
    f.image = "btnPopNotLink";
  } else if (!s.bLogin) {
    f.look.icon = none;
    f.title = "   正在登陆...";
  } else if (!s.bSyncStart) {
    f.look.icon = black ? "statusStopIcon" : "blueSstatusStopIcon";
    f.title = "暂停同步中";
    f.image = "btnPopSyncStop";
  } else if (s.synccount == 0) {
    f.look.icon = black ? "statusFinishIcon" : "blueStatusFinishIcon";
    f.title = "已同步完";
    f.image = "btnPopSyncFinish";
  } else {
    f.look.icon = black ? "statusSyncBg" : "blueStatusSyncBg";
  }
  // The image turns while there is something to sync and nothing stops it;
  // its colour follows the setting, so a change restarts it in the other.
  if (s.bLink && s.bSyncStart && s.synccount != 0) f.look.overlay = black ? "bgTranSyncing" : "blueStatusSyncing";
  f.look.countText = s.updateCount != 0 ? plat::format("%ld", static_cast<long>(s.updateCount)) : " ";
  f.look.highlighted = s.panelOpen;
  return f;
}

ManageStatusController::ManageStatusController(AppDelegate& app) : app_(app) {}

std::shared_ptr<ManageStatusController> ManageStatusController::make(AppDelegate& app) {
  auto c = std::make_shared<ManageStatusController>(app);
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return c;
  c->syncFileCount_ = -1;
  const int64_t count = app.updateCount();
  c->msgWidth_ = count != 0 ? static_cast<float>(toolkit->textWidth(plat::format("%ld", static_cast<long>(count)),
                                                                      boldItalic()))
                            : 0;
  const double thickness = toolkit->statusBarThickness();
  c->panelController_ = PanelController::make(app);
  c->statusItem_ = toolkit->makeStatusItem();
  c->statusLength_ = c->msgWidth_ + thickness;
  std::weak_ptr<ManageStatusController> weak = c;
  c->statusItem_->setClickHandler([weak] {
    if (auto self = weak.lock()) {
      std::lock_guard<std::mutex> l(self->clickLock_);
      self->menuletClicked();
    }
  });
  app.setCallBackChangeSyncClicked([weak] {
    if (auto self = weak.lock()) self->changeSyncButtonInfo();
  });
  c->panelController_->setStatusItemView(c->statusItem_);
  c->panelController_->setActivePanelObserver([weak](bool) {
    // The item is drawn highlighted while the panel is open.
    if (auto self = weak.lock()) self->drawRect();
  });
  c->loop_ = plat::MainThread::runLoop();
  c->timer_ = c->loop_->addTimer(
      1.0, 1.0, true,
      [weak] {
        if (auto self = weak.lock()) self->drawRect();
      },
      {plat::kCommonRunLoopModes});
  c->drawRect();
  return c;
}

ManageStatusController::~ManageStatusController() {
  if (loop_) loop_->remove(timer_);
}

ManageStatusController::State ManageStatusController::current() const {
  State s;
  s.bLink = app_.bLink();
  s.bLogin = app_.bLogin();
  s.bSyncStart = app_.bSyncStart();
  s.bBlacktray = app_.bBlacktray();
  s.synccount = app_.synccount();
  s.updateCount = app_.updateCount();
  s.panelOpen = hasActivePanel();
  return s;
}

void ManageStatusController::setSyncFileCount(int64_t count) {
  const int64_t old = syncFileCount_.exchange(count);
  if (old == count) return;
  if (!app_.bLink() || !app_.bSyncStart() || count == 0) return;
  // The observation hands the interface work to the main thread.
  std::weak_ptr<ManageStatusController> weak = weak_from_this();
  plat::MainThread::perform([weak, count] {
    auto self = weak.lock();
    if (!self) return;
    auto panel = self->panelController_;
    if (panel && self->app_.bLogin()) panel->setPopButtonEnabled();
    const std::string title = plat::format("   正在同步%ld个文件", static_cast<long>(count));
    {
      std::lock_guard<std::mutex> l(self->mutex_);
      self->syncButtonTitle_ = title;
    }
    if (!panel) return;
    auto view = panel->panel();
    view->setButtonTitle(PanelButton::kSync, title);
    if (auto toolkit = plat::Toolkit::current()) {
      const double width = toolkit->textWidth(title, buttonFont());
      view->setButtonWidth(PanelButton::kSync, width + 20);
      view->setTrackWidth(width + 22);
    }
  });
}

void ManageStatusController::updateCountChanged() {
  std::weak_ptr<ManageStatusController> weak = weak_from_this();
  plat::MainThread::perform([weak] {
    auto self = weak.lock();
    auto toolkit = plat::Toolkit::current();
    if (!self || !toolkit || !self->statusItem_) return;
    const int64_t count = self->app_.updateCount();
    const std::string text = count != 0 ? plat::format("%ld", static_cast<long>(count)) : " ";
    if (text == self->countText_) return;
    const float width = static_cast<float>(toolkit->textWidth(text, boldItalic()));
    if (width != self->msgWidth_ || width == 0) {
      self->statusLength_ = width + toolkit->statusBarThickness();
      self->msgWidth_ = width;
    }
    self->countText_ = text;
    self->drawRect();
  });
}

void ManageStatusController::buttonEvent(const std::optional<std::string>& title,
                                         const std::optional<std::string>& image) {
  if (!panelController_) return;
  auto view = panelController_->panel();
  view->setButtonImage(PanelButton::kSync, "stanceBg");
  if (title) {
    setSyncButtonTitle(*title);
  } else if (view->buttonTitle(PanelButton::kSync).empty()) {
    setSyncButtonTitle("   正在检测更新");
  }
  if (image) {
    panelController_->removeSyncAnimation();
    view->setButtonImage(PanelButton::kSync, *image);
  } else if (panelController_->hasActivePanel()) {
    panelController_->addSyncAnimation();
  }
}

void ManageStatusController::drawRect() {
  const Face f = faceFor(current());
  buttonEvent(f.title, f.image);
  if (statusItem_) statusItem_->show(f.look);
}

void ManageStatusController::setSyncButtonTitle(const std::string& title) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    syncButtonTitle_ = title;
  }
  if (!panelController_) return;
  auto view = panelController_->panel();
  if (view->buttonTitle(PanelButton::kSync) == title) return;
  if (auto toolkit = plat::Toolkit::current()) {
    const double width = toolkit->textWidth(title, buttonFont());
    view->setButtonWidth(PanelButton::kSync, width + 20);
    view->setTrackWidth(width + 22);
  }
  view->setButtonTitle(PanelButton::kSync, title);
}

void ManageStatusController::changeSyncButtonInfo() {
  if (!panelController_) return;
  auto view = panelController_->panel();
  if (!app_.bSyncStart()) {
    setSyncButtonTitle("暂停同步中");
    view->setButtonImage(PanelButton::kSync, "btnPopSyncStop");
  } else {
    view->setButtonImage(PanelButton::kSync, "stanceBg");
    panelController_->addSyncAnimation();
    setSyncButtonTitle("   正在检测更新");
  }
}

void ManageStatusController::menuletClicked() {
  setHasActivePanel(!hasActivePanel());
  changeSyncButtonInfo();
}

bool ManageStatusController::hasActivePanel() const { return panelController_ && panelController_->hasActivePanel(); }

void ManageStatusController::setHasActivePanel(bool open) {
  if (panelController_) panelController_->setHasActivePanel(open);
}

std::optional<std::string> ManageStatusController::syncButtonTitle() const {
  std::lock_guard<std::mutex> l(mutex_);
  return syncButtonTitle_;
}
