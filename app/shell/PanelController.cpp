#include "app/shell/PanelController.h"

#include <cmath>

#include "app/shell/AppDelegate.h"
#include "app/windows/QVWebViewDelegate.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/system/path_escape.h"
#include "platform/ui/toolkit.h"

#ifndef QV_APP_VERSION
#define QV_APP_VERSION "1.0.0"
#endif

using plat::PanelButton;

std::shared_ptr<PanelController> PanelController::make(AppDelegate& app) {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return nullptr;
  auto c = std::make_shared<PanelController>(app);
  c->panel_ = toolkit->makePanel();
  c->hasActivePanel_ = false;
  // The panel's page has no window of its own to title.
  c->delegate_ = QVWebViewDelegate::initWithDelegateController(nullptr);
  c->awakeFromNib();
  return c;
}

PanelController::~PanelController() {
  if (panel_) panel_->orderOut();
}

void PanelController::awakeFromNib() {
  std::weak_ptr<PanelController> weak = weak_from_this();
  auto on = [weak](void (PanelController::*action)()) {
    return [weak, action](int) {
      if (auto self = weak.lock()) ((*self).*action)();
    };
  };
  panel_->setButtonAction(PanelButton::kStart, on(&PanelController::openStartQuorvaWindow));
  panel_->setButtonAction(PanelButton::kSetting, on(&PanelController::openMenu));
  panel_->setButtonAction(PanelButton::kOpenDir, on(&PanelController::openSyncDirWindow));
  panel_->setButtonAction(PanelButton::kMessage, on(&PanelController::openMessageWindow));
  panel_->setButtonAction(PanelButton::kTrans, on(&PanelController::openTransWindow));
  panel_->setButtonAction(PanelButton::kOpenWindow, [weak](int state) {
    if (auto self = weak.lock()) self->btnOpenWindow(state);
  });
  auto close = [weak] {
    if (auto self = weak.lock()) self->setHasActivePanel(false);
  };
  panel_->setCancel(close);
  panel_->setWillClose(close);
  panel_->setResignKey(close);
  // The application's watch on clicks elsewhere closes an open panel.
  panel_->setClickElsewhere([weak] {
    auto self = weak.lock();
    if (self && self->hasActivePanel()) self->setHasActivePanel(false);
  });
  panel_->setResized([weak] {
    if (auto self = weak.lock()) self->windowDidResize();
  });
  // The sync, start and folder buttons wait for a sign-in.
  for (auto b : {PanelButton::kSync, PanelButton::kStart, PanelButton::kOpenDir}) panel_->setButtonEnabled(b, false);
  for (auto b : {PanelButton::kSetting, PanelButton::kMessage, PanelButton::kTrans, PanelButton::kOpenWindow}) {
    panel_->setButtonEnabled(b, true);
  }

  if (app_.bLogin()) setPopButtonEnabled();
  auto ud = app_.userdata();
  auto view = panel_->webView();
  if (ud && view) {
    delegate_->attach(view);
    view->setDrawsBackground(false);
    view->setUserAgent(plat::format("QV_SYNC;%@;Mac", app_.appversion().empty() ? std::string(QV_APP_VERSION)
                                                                              : app_.appversion()));
    const std::string path = plat::format("%@/UI/default/chs/tcframe.html", ud->configPath());
    view->load("file://" + plat::percentEscapePath(path));
  }
  plat::Rect f = panel_->frame();
  f.height = kHeight;
  f.width = kWidth;
  panel_->setFrame(f);
  panel_->setButtonTooltip(PanelButton::kOpenWindow, "工具栏");
}

void PanelController::setHasActivePanel(bool open) {
  if (open == hasActivePanel_) return;
  hasActivePanel_ = open;
  if (open) {
    plat::NotificationCenter::defaultCenter().post("ReloadOutlineView");
    openPanel();
    addSyncAnimation();
    // Opening the panel shows the messages: none is unread any more.
    app_.setUpdateCount(0);
  } else {
    closePanel();
    removeSyncAnimation();
  }
  auto observer = observer_;
  if (observer) observer(open);
}

plat::Rect PanelController::statusRectForWindow() const {
  auto toolkit = plat::Toolkit::current();
  const double thickness = toolkit ? toolkit->statusBarThickness() : 22;
  if (statusItemView_) {
    if (auto r = statusItemView_->globalRect()) {
      // Just under the item.
      return {r->x, r->y + r->height, r->width, r->height};
    }
  }
  const plat::Size screen = toolkit ? toolkit->mainScreenSize() : plat::Size{1920, 1080};
  return {std::round((screen.width - 24) / 2), thickness, 24, thickness};
}

void PanelController::openPanel() {
  auto toolkit = plat::Toolkit::current();
  const plat::Size screen = toolkit ? toolkit->mainScreenSize() : plat::Size{1920, 1080};
  const plat::Rect status = statusRectForWindow();
  plat::Rect f = panel_->frame();
  f.width = kWidth;
  f.x = std::round(status.x + status.width * 0.5 - 159.5);
  // Its top at the status rectangle's top.
  f.y = status.y;
  const double right = screen.width - kEdge;
  if (f.x + kWidth > right) f.x -= f.x + kWidth - right;
  if (f.x < 0) f.x = 0;
  // A tray at the bottom of the screen: the panel goes above the item.
  if (f.y + f.height > screen.height) f.y = std::max(0.0, status.y - status.height - f.height);
  panel_->setFrame(f);
  windowDidResize();
  panel_->show();
  if (app_.bLogin()) setPopButtonEnabled();
  setOpenWindowBtnState(app_.bRightBar() ? 1 : 0);
}

void PanelController::closePanel() { panel_->orderOut(); }

void PanelController::windowDidResize() {
  const plat::Rect status = statusRectForWindow();
  const plat::Rect f = panel_->frame();
  panel_->setArrowX(static_cast<long>(std::round(status.x + status.width * 0.5) - f.x));
}

void PanelController::setPopButtonEnabled() {
  if (panel_->buttonEnabled(PanelButton::kSync)) return;
  for (auto b : {PanelButton::kSync, PanelButton::kStart, PanelButton::kOpenDir}) panel_->setButtonEnabled(b, true);
}

void PanelController::setOpenWindowBtnState(int state) {
  if (state != 0 && state != 1) return;
  panel_->setButtonState(PanelButton::kOpenWindow, state);
  panel_->setButtonImage(PanelButton::kOpenWindow, state == 1 ? "showtool" : "hidetool");
}

void PanelController::addSyncAnimation() {
  if (!panel_->rotation().empty()) return;
  if (app_.bLogin() && !(app_.synccount() != 0 && app_.bSyncStart())) return;
  panel_->setRotation("btnPopSyncing");
}

void PanelController::removeSyncAnimation() { panel_->setRotation(""); }

void PanelController::btnOpenWindow(int state) {
  panel_->setButtonImage(PanelButton::kOpenWindow, state == 1 ? "showtool" : "hidetool");
  if (state == 1) {
    app_.getRightSideWindowController();
    app_.setBRightBar(true);
  } else {
    app_.hideRightSideWindowController(true);
    app_.setBRightBar(false);
  }
}

void PanelController::openMenu() { panel_->popUpMenu(app_.statusMenu(), PanelButton::kSetting); }

void PanelController::openStartQuorvaWindow() { app_.onMenuOpenQuorvaClicked(); }

void PanelController::openSyncDirWindow() { app_.onMenuOpenSyncFolderClicked(); }

void PanelController::openMessageWindow() { app_.onOpenUpdatesWindow(); }

void PanelController::openTransWindow() { app_.getLookTransWindowController(); }
