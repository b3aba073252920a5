// The status item's menu before and after login, the panel's menu, and the
// actions they share: the web site, the recently opened files, the storage
// use, the launch pad, the transfer list, pausing and resuming sync, the
// settings and the help pages; and the web windows of the web menu.
#include <algorithm>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/shell/AppDelegate.h"
#include "app/core/Localizable.h"
#include "app/shell/ManageStatusController.h"
#include "app/core/ServiceHosts.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/windows/WebWindows.h"
#include "app/windows/WindowControllers.h"
#include "app/sync/SyncManager.h"
#include "app/trans/TransManager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/run_loop.h"
#include "platform/system/launcher.h"
#include "platform/ui/menu.h"
#include "platform/ui/toolkit.h"

using plat::Menu;
using plat::MenuItem;

namespace {

std::shared_ptr<MenuItem> entry(const std::string& key, std::function<void()> action, const std::string& shortcut = {}) {
  return MenuItem::make(NSLocalizedString(key), std::move(action), shortcut);
}

}  // namespace

std::shared_ptr<Menu> AppDelegate::statusMenu() const { return statusMenu_; }

std::shared_ptr<Menu> AppDelegate::leftMenu() const { return leftMenu_; }

void AppDelegate::initStatusMenu() {
  if (!statusMenu_) statusMenu_ = Menu::make();
  if (!leftMenu_) {
    // The panel's own two entries; the signed-in ones go round them.
    leftMenu_ = Menu::make();
    leftOpenSyncMenuItem_ = entry("OpenSyncFolder", {});
    leftBrowseMenuItem_ = entry("BrowserRecord", {});
    leftMenu_->addItem(leftOpenSyncMenuItem_);
    leftMenu_->addItem(leftBrowseMenuItem_);
  }
  statusMenu_->setWillOpen([this] { menuWillOpen(); });
  statusMenu_->addItem(entry("SoftwareSetting", [this] { onMenuSettingWindowClicked(); }));
  statusMenu_->addItem(MenuItem::separator());
  statusMenu_->addItem(entry("NewIntroduction", [this] { onMenuNewFeaturesWebClicked(); }));
  statusMenu_->addItem(entry("SoftwareUpdate", [this] { onMenuUpdateAppClicked(); }));
  statusMenu_->addItem(entry("OnlineHelper", [this] { onMenuHelperWebClicked(); }));
  statusMenu_->addItem(entry("About", [this] { onOpenAboutWindow(); }));
  statusMenu_->addItem(MenuItem::separator());
  statusMenu_->addItem(entry("QuitApp", [this] { onMenuQuitAppClicked(); }));
  if (auto status = manageStatusController()) {
    if (auto view = status->statusView()) view->setMenu(statusMenu_);
  }
}

void AppDelegate::setMenu() {
  if (!plat::MainThread::isMainThread()) {
    plat::MainThread::performAndWait([this] { setMenu(); });
    return;
  }
  if (!statusMenu_) initStatusMenu();
  auto ud = userdata();
  const std::string name = ud ? ud->userWebName().value_or("") : std::string();
  const std::string size = ud ? ud->getsize() : std::string();
  auto userMenu = [this, name] {
    auto sub = Menu::make();
    sub->addItem(entry("OpenWebQuorva", [this] { onMenuOpenWebPathClicked(); }));
    sub->addItem(entry("Logout", [this] { onBtnLogoutClicked(); }));
    auto user = MenuItem::make(name);
    user->setSubmenu(sub);
    return user;
  };
  auto history = [this] {
    auto m = Menu::make();
    m->setWillOpen([this] { menuWillOpen(); });
    return m;
  };
  subMenuTrayHistroy_ = history();
  subLeftHistory_ = history();

  statusMenu_->removeAllItems();
  statusMenu_->addItem(userMenu());
  auto browse = entry("BrowserRecord", {});
  browse->setSubmenu(subMenuTrayHistroy_);
  statusMenu_->addItem(browse);
  menuItemSpace_ = MenuItem::make(size);
  statusMenu_->addItem(menuItemSpace_);
  statusMenu_->addItem(MenuItem::separator());
  statusMenu_->addItem(entry("StartQuorva", [this] { onMenuOpenQuorvaClicked(); }));
  statusMenu_->addItem(entry("TransmissionQueue", [this] { onMenuLookTransClicked(); }));
  menuItemTrayControlSync_ = entry(bSyncStart_ ? "StopSync" : "StartSync", [this] { onMenuStopSyncClicked(); });
  statusMenu_->addItem(menuItemTrayControlSync_);
  statusMenu_->addItem(entry("SoftwareSetting", [this] { onMenuSettingWindowClicked(); }));
  addWebMenuEntries(*statusMenu_);
  statusMenu_->addItem(MenuItem::separator());
  statusMenu_->addItem(entry("NewIntroduction", [this] { onMenuNewFeaturesWebClicked(); }));
  statusMenu_->addItem(entry("SoftwareUpdate", [this] { onMenuUpdateAppClicked(); }));
  statusMenu_->addItem(entry("OnlineHelper", [this] { onMenuHelperWebClicked(); }));
  statusMenu_->addItem(entry("About", [this] { onOpenAboutWindow(); }));
  statusMenu_->addItem(MenuItem::separator());
  statusMenu_->addItem(entry("QuitApp", [this] { onMenuQuitAppClicked(); }, "Q"));

  // The panel's menu: what an earlier sign-in put in goes first, so a second
  // sign-in does not show everything twice.
  std::vector<std::shared_ptr<MenuItem>> keep;
  for (const auto& item : leftMenu_->items()) {
    if (std::find(leftSignedIn_.begin(), leftSignedIn_.end(), item) == leftSignedIn_.end()) keep.push_back(item);
  }
  leftMenu_->removeAllItems();
  for (auto& item : keep) leftMenu_->addItem(item);
  leftMenu_->setWillOpen([this] { menuWillOpen(); });
  leftMenuItemSpace_ = MenuItem::make(size);
  leftSignedIn_ = {MenuItem::separator(), userMenu(), leftMenuItemSpace_, MenuItem::separator(),
                   entry("StartQuorva", [this] { onMenuOpenQuorvaClicked(); }),
                   entry("UpdateList", [this] { onOpenUpdatesWindow(); }),
                   entry("TransmissionQueue", [this] { onMenuLookTransClicked(); })};
  const size_t positions[] = {1, 2, 4, 5, 6, 7, 8};
  for (size_t i = 0; i < leftSignedIn_.size(); ++i) leftMenu_->insertItem(leftSignedIn_[i], positions[i]);
  leftOpenSyncMenuItem_->setAction([this] { onMenuOpenSyncFolderClicked(); });
  leftBrowseMenuItem_->setSubmenu(subLeftHistory_);

  resetBrowserFileHistoryMenu();
  if (auto status = manageStatusController()) {
    if (auto view = status->statusView()) view->setMenu(statusMenu_);
  }
}

void AppDelegate::addWebMenuEntries(Menu& menu) {
  auto ud = userdata();
  if (!ud) return;
  // The entries of the web menu that open a page of their own; the others
  // (a lock, a favourite) need a file and live in the file manager's menu.
  const auto items = ud->menuArray();
  bool first = true;
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].action() != "gMain" || items[i].title().empty()) continue;
    if (first) menu.addItem(MenuItem::separator());
    first = false;
    const auto index = static_cast<long long>(i);
    menu.addItem(MenuItem::make(items[i].title(), [this, index] {
      onOpenWebWindowInfo(plat::Array{plat::Value(index), plat::Value(std::string())});
    }));
  }
}

void AppDelegate::resetBrowserFileHistoryMenu() {
  if (!plat::MainThread::isMainThread()) {
    plat::MainThread::perform([this] { resetBrowserFileHistoryMenu(); });
    return;
  }
  auto ud = userdata();
  const plat::Array history = ud ? ud->historyArray() : plat::Array();
  for (const auto& menu : {subMenuTrayHistroy_, subLeftHistory_}) {
    if (!menu) continue;
    menu->removeAllItems();
    for (const auto& v : history) {
      if (!v.isString()) continue;
      const std::string path = v.string();
      menu->addItem(MenuItem::make(path, [this, path] { onMenuOpenFolderClicked(path); }));
    }
  }
}

void AppDelegate::menuWillOpen() {
  auto s = sync();
  auto ud = userdata();
  if (!bLogin_ || !s || !ud || !s->syncdb()) return;
  plat::Array history;
  s->syncdb()->getHistory(history);
  ud->setHistoryArray(std::move(history));
  resetBrowserFileHistoryMenu();
}

void AppDelegate::onMenuOpenFolderClicked(const std::string& path) { plat::launcher()->openURL(path); }

void AppDelegate::onMenuOpenWebPathClicked() { Util::openWebUrl(Util::signedSiteLink("")); }

std::string AppDelegate::helpAddress() const {
  return Util::getDealWithHttpsOrHttpUrl(ServiceHosts::webSite() + "/help");
}

void AppDelegate::onMenuHelperWebClicked() { Util::openWebUrl(helpAddress()); }

void AppDelegate::onMenuNewFeaturesWebClicked() { Util::openWebUrl(helpAddress() + "/?page_id=20"); }

void AppDelegate::onBtnJumpSettingAgentViewClicked() { getSettingWindowController(); }

void AppDelegate::onMenuStopSyncClicked() {
  const bool running = !bSyncStart_.load();
  bSyncStart_ = running;
  auto s = sync();
  if (running) {
    if (s) s->start();
    if (menuItemTrayControlSync_) menuItemTrayControlSync_->setTitle(NSLocalizedString("StopSync"));
  } else {
    // What is being moved stops first, then the engine that hands it out.
    if (auto t = trans()) t->removeall();
    if (s) s->stop();
    if (menuItemTrayControlSync_) menuItemTrayControlSync_->setTitle(NSLocalizedString("StartSync"));
  }
  auto callback = callBackChangeSyncClicked();
  if (callback) callback();
}

void AppDelegate::onOpenUpdatesWindow() {
  plat::Dictionary info = Util::getOpenWindowWebUrlInfo(
      "{\"url\":\"/client/client?ac=updates\",\"width\":800,\"height\":600,\"sso\":1,\"resize\":1}");
  const plat::Value* url = info.find("url");
  if (!url || !url->isString() || url->string().empty()) return;
  auto number = [&](const char* key, int64_t fallback) {
    const plat::Value* v = info.find(key);
    const int64_t n = v ? v->longLongValue() : 0;
    return n != 0 ? n : fallback;
  };
  auto c = BrowserWebWindowController::make();
  c->setStrUrl(url->string());
  c->showWindow();
  auto w = c->window();
  const double bar = w->isFullScreen() ? 0 : w->titleBarHeight();
  w->setSize({static_cast<double>(number("width", 800)), static_cast<double>(number("height", 500)) + bar});
  c->setAlertFrame();
}

void AppDelegate::onOpenWebWindowInfo(const plat::Array& info) {
  auto ud = userdata();
  if (!ud || info.size() < 2) return;
  const auto items = ud->menuArray();
  const int64_t index = info[0].longLongValue();
  if (index < 0 || static_cast<size_t>(index) >= items.size()) return;
  const QVMenuItem& item = items[static_cast<size_t>(index)];
  const std::string path = info[1].isString() ? info[1].string() : std::string();
  std::string address = item.url();
  if (!path.empty()) {
    auto s = sync();
    if (!s) return;
    int64_t type = -1;
    const std::string cloud = NSStringExpand::urlEncoded(s->getrelativepath(path, &type));
    address = plat::format(Util::isdir(path) ? "%@&fullpath=%@/" : "%@&fullpath=%@", item.url(), cloud);
  }
  const std::string link = item.sso() != 0 ? Util::signedSiteLink(address)
                                           : Util::getDealWithHttpsOrHttpUrl(ServiceHosts::webSite() + address);
  auto c = BrowserWebWindowController::make();
  c->setStrUrl(link);
  auto w = c->window();
  w->setTitle(item.title());
  const double bar = w->isFullScreen() ? 0 : w->titleBarHeight();
  w->setSize({static_cast<double>(item.width() != 0 ? item.width() : 500),
              static_cast<double>(item.height() != 0 ? item.height() : 800) + bar});
  w->setTopLeft(Util::getWindowDisplayOriginPoint(w->size()));
  c->showWindow();
}
