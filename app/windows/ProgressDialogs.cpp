#include "app/windows/ProgressDialogs.h"

#include "platform/foundation/format.h"

// ---- Move progress ----

std::shared_ptr<MoveProgressWindowController> MoveProgressWindowController::make() {
  auto toolkit = plat::Toolkit::current();
  return std::make_shared<MoveProgressWindowController>(
      toolkit->makeWindow({"MoveProgressWindowController", "正在移动同步文件夹", {420, 120}}), toolkit->makeForm());
}

MoveProgressWindowController::MoveProgressWindowController(std::shared_ptr<plat::Window> window,
                                                           std::shared_ptr<plat::Form> form)
    : NSWindowController(std::move(window)), form_(std::move(form)) {
  using K = plat::Form::Kind;
  form_->add(K::kLabel, "lblMoveTitle", "正在移动同步文件夹，请稍候...");
  form_->newRow();
  form_->add(K::kProgress, "moveProgressIndicator");
  form_->add(K::kLabel, "strProgress", "0.0");
  form_->newRow();
  form_->add(K::kButton, "btnCancel", "后台运行");
  // The window may be kept by the toolkit past this controller: the button
  // holds the window, not the controller.
  form_->setAction("btnCancel", [w = std::weak_ptr<plat::Window>(window_)] {
    if (auto window = w.lock()) window->orderOut();
  });
  window_->setForm(form_);
}

void MoveProgressWindowController::setStrProgress(const std::string& text) { form_->setText("strProgress", text); }

std::string MoveProgressWindowController::strProgress() const { return form_->text("strProgress"); }

void MoveProgressWindowController::setMoveProgressIndicator(double value) {
  form_->setValue("moveProgressIndicator", value);
}

double MoveProgressWindowController::moveProgressIndicator() const { return form_->value("moveProgressIndicator"); }

void MoveProgressWindowController::onBtnCancelAndEnterClicked() {
  // A sheet goes with its hiding; the move is not stopped.
  window_->orderOut();
}

// ---- Update download ----

std::shared_ptr<AppUpdateWindowController> AppUpdateWindowController::make() {
  auto toolkit = plat::Toolkit::current();
  return std::make_shared<AppUpdateWindowController>(
      toolkit->makeWindow({"AppUpdateWindowController", "软件升级", {420, 150}}), toolkit->makeForm());
}

AppUpdateWindowController::AppUpdateWindowController(std::shared_ptr<plat::Window> window,
                                                     std::shared_ptr<plat::Form> form)
    : NSWindowController(std::move(window)), form_(std::move(form)) {
  using K = plat::Form::Kind;
  form_->add(K::kLabel, "lblAppVersion", "当前版本:");
  form_->newRow();
  form_->add(K::kLabel, "lblSerVersion", "最新版本:");
  form_->newRow();
  form_->add(K::kProgress, "appProgress");
  form_->add(K::kLabel, "downloadProgress", "");
  window_->setForm(form_);
}

void AppUpdateWindowController::setAppVersion(const std::string& v) {
  appVersion_ = v;
  form_->setText("lblAppVersion", plat::format("当前版本:%@", v));
}

void AppUpdateWindowController::setSerVersion(const std::string& v) {
  serVersion_ = v;
  form_->setText("lblSerVersion", plat::format("最新版本:%@", v));
}

void AppUpdateWindowController::setDownloadProgress(const std::string& v) {
  downloadProgress_ = v;
  form_->setText("downloadProgress", v);
}

void AppUpdateWindowController::setAppProgress(double value) { form_->setValue("appProgress", value); }

double AppUpdateWindowController::appProgress() const { return form_->value("appProgress"); }
