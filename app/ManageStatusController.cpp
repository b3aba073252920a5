#include "app/ManageStatusController.h"

#include "app/AppDelegate.h"
#include "platform/foundation/format.h"
#include "platform/ui/toolkit.h"

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
  // The image turns while there is something to sync and nothing stops it.
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
  std::weak_ptr<ManageStatusController> weak = c;
  c->statusItem_ = toolkit->makeStatusItem();
  c->statusItem_->setClickHandler([weak] {
    if (auto self = weak.lock()) {
      std::lock_guard<std::mutex> l(self->clickLock_);
      self->menuletClicked();
    }
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
  s.panelOpen = hasActivePanel_;
  return s;
}

void ManageStatusController::setSyncFileCount(int64_t count) {
  if (syncFileCount_.exchange(count) == count) return;
  if (!app_.bLink() || !app_.bSyncStart() || count == 0) return;
  // The observation hands the interface work to the main thread.
  std::weak_ptr<ManageStatusController> weak = weak_from_this();
  plat::MainThread::perform([weak, count] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard<std::mutex> l(self->mutex_);
    self->syncButtonTitle_ = plat::format("   正在同步%ld个文件", static_cast<long>(count));
  });
}

void ManageStatusController::drawRect() {
  const Face f = faceFor(current());
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (f.title) syncButtonTitle_ = f.title;
  }
  if (statusItem_) statusItem_->show(f.look);
}

void ManageStatusController::menuletClicked() { setHasActivePanel(!hasActivePanel_); }

void ManageStatusController::setHasActivePanel(bool open) {
  if (open == hasActivePanel_) return;
  hasActivePanel_ = open;
  // Opening the panel shows the messages: none is unread any more.
  if (open) app_.setUpdateCount(0);
  drawRect();
}

std::optional<std::string> ManageStatusController::syncButtonTitle() const {
  std::lock_guard<std::mutex> l(mutex_);
  return syncButtonTitle_;
}
