// The application update of the application object: the periodic step,
// the question, the download with its dialog, and the hand-over of the
// checked installer to the desktop.
#include "app/shell/AppDelegate.h"
#include "app/shell/AppUpdate.h"
#include "app/core/UpdateUIResource.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/windows/ProgressDialogs.h"
#include "platform/foundation/format.h"
#include "platform/foundation/operation_queue.h"
#include "platform/foundation/run_loop.h"
#include "platform/system/launcher.h"
#include "platform/ui/toolkit.h"

namespace {

// The update dialog on screen, as the download drives it.
class UpdateDialog : public AppUpdateWindow {
public:
  explicit UpdateDialog(std::shared_ptr<AppUpdateWindowController> c) : c_(std::move(c)) {}
  void setSerVersion(const std::string& v) override { c_->setSerVersion(v); }
  void setAppVersion(const std::string& v) override { c_->setAppVersion(v); }
  void setDownloadProgress(const std::string& text) override { c_->setDownloadProgress(text); }
  void setAppProgress(double value) override { c_->setAppProgress(value); }
  void showWindow() override { c_->showWindow(); }
  // Hidden, not closed: the install question still follows.
  void orderOut() override { c_->window()->orderOut(); }

private:
  std::shared_ptr<AppUpdateWindowController> c_;
};

template <class T>
T locked(std::mutex& m, const T& v) {
  std::lock_guard<std::mutex> l(m);
  return v;
}
template <class T>
void store(std::mutex& m, T& field, T v) {
  std::lock_guard<std::mutex> l(m);
  field = std::move(v);
}
}  // namespace

std::string AppDelegate::serversion() const { return locked(mutex_, serversion_); }
void AppDelegate::setServersion(std::string v) { store(mutex_, serversion_, std::move(v)); }
std::string AppDelegate::serverpath() const { return locked(mutex_, serverpath_); }
void AppDelegate::setServerpath(std::string v) { store(mutex_, serverpath_, std::move(v)); }
std::string AppDelegate::serversha256() const { return locked(mutex_, serversha256_); }
void AppDelegate::setServersha256(std::string v) { store(mutex_, serversha256_, std::move(v)); }
std::string AppDelegate::serversignature() const { return locked(mutex_, serversignature_); }
void AppDelegate::setServersignature(std::string v) { store(mutex_, serversignature_, std::move(v)); }
std::shared_ptr<UpdateUIResource> AppDelegate::updateUIResource() const { return locked(mutex_, updateUIResource_); }
std::shared_ptr<DownloadTask> AppDelegate::downloadtask() const { return locked(mutex_, downloadtask_); }

void AppDelegate::handleTimerForUpdate() {
  if (bAcceptedUpdate_) {
    addUpdateCheck(false);
  }
  if (auto u = updateUIResource()) {
    u->updateUIResourceFileName("start");
    u->updateUIResourceFileName("default");
  }
}

void AppDelegate::onMenuUpdateAppClicked() {
  addUpdateCheck(true);
}

void AppDelegate::showupdatemsg() {
  if (!bDisplayAlert_) return;
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return;
  bDisplayAlert_ = false;
  const int answer = toolkit->runAlert(
      {"", plat::format("当前软件已经升级到%@版本，是否确定升级?", serversion()), {"确定", "取消"}});
  if (answer == plat::kAlertFirstButtonReturn) {
    showupdate();  // bDisplayAlert stays NO: the question comes once a run
  } else {
    bAcceptedUpdate_ = false;
    bDisplayAlert_ = true;
  }
}

std::string AppDelegate::getappupdatepath() const {
  auto ud = userdata();
  return appupdate::installerPath(ud ? ud->configPath() : std::string(), serverpath());
}

void AppDelegate::showupdate() {
  // Main thread only, so nothing else makes one between the look and the store.
  if (downloadtask()) return;
  auto task = std::make_shared<DownloadTask>(serverpath(), getappupdatepath(), serversionsize());
  store(mutex_, downloadtask_, task);
  if (auto q = taskqueue()) q->addOperation(task);
  auto w = appUpdateWindowController();
  bAppUpdate_ = true;
  w->showWindow();
  w->setSerVersion(serversion());
  w->setAppVersion(appversion());
}

void AppDelegate::downloadtaskEnded() {
  std::shared_ptr<DownloadTask> ended;
  {
    std::lock_guard<std::mutex> l(mutex_);
    ended = std::move(downloadtask_);
    downloadtask_.reset();
  }
  // Released after the call that ended it has returned.
  if (ended) plat::MainThread::perform([ended] {});
}

std::shared_ptr<AppUpdateWindow> AppDelegate::appUpdateWindowController() {
  std::function<std::shared_ptr<AppUpdateWindow>()> maker;
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (appUpdateWindowController_) return appUpdateWindowController_;
    maker = appUpdateWindowMaker_;
  }
  // Made outside the lock (a window maker may reach the services); main
  // thread only, so no second one is made meanwhile.
  std::shared_ptr<AppUpdateWindow> made;
  if (maker) {
    made = maker();
  } else if (plat::Toolkit::current()) {
    auto c = AppUpdateWindowController::make();
    made = std::make_shared<UpdateDialog>(c);
    c->window()->setWillClose([this, weak = std::weak_ptr<AppUpdateWindow>(made)] {
      if (auto closing = weak.lock(); closing && closing == appUpdateWindow()) appUpdateWindowClosed();
    });
  } else {
    made = std::make_shared<AppUpdateValues>();
  }
  std::lock_guard<std::mutex> l(mutex_);
  if (!appUpdateWindowController_) appUpdateWindowController_ = std::move(made);
  return appUpdateWindowController_;
}

std::shared_ptr<AppUpdateWindow> AppDelegate::appUpdateWindow() const { return locked(mutex_, appUpdateWindowController_); }

void AppDelegate::setAppUpdateWindowMaker(std::function<std::shared_ptr<AppUpdateWindow>()> maker) {
  std::lock_guard<std::mutex> l(mutex_);
  appUpdateWindowMaker_ = std::move(maker);
  appUpdateWindowController_.reset();
}

void AppDelegate::appUpdateWindowClosed() {
  bAppUpdate_ = false;
  std::shared_ptr<AppUpdateWindow> closed;
  {
    std::lock_guard<std::mutex> l(mutex_);
    closed = std::move(appUpdateWindowController_);
    appUpdateWindowController_.reset();
  }
  // Released after the window's own handler has returned.
  if (closed) plat::MainThread::perform([closed] {});
}

void AppDelegate::openUpdateDmg() {
  if (!bAppUpdate_) return;
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return;
  const int answer =
      toolkit->runAlert({"", "软件下载完成是否立即关闭客户端，进行安装新的客户端?", {"是", "否"}});
  if (answer != plat::kAlertFirstButtonReturn) return;
  // The desktop's software installer takes the package from here. The end
  // comes after the download's call that got us here has returned.
  if (plat::launcher()->openURL(getappupdatepath())) plat::MainThread::perform([this] { terminate(); });
}
