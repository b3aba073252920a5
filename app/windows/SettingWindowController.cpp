#include "app/windows/SettingWindowController.h"

#include <initializer_list>
#include <mutex>

#include "Framework/Staticclass/NSAlertBlocks.h"
#include "app/shell/AppDelegate.h"
#include "app/windows/ProgressDialogs.h"
#include "app/core/ProxySecrets.h"
#include "app/windows/SelectFileSyncWindowController.h"
#include "app/core/SettingsDb.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/sync/SyncManager.h"
#include "app/sync/Syncdb.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "platform/system/launcher.h"

namespace {

std::mutex hooksMutex;
SettingWindowController::MoveTaskMaker& moveTaskMaker() {
  static SettingWindowController::MoveTaskMaker maker;
  return maker;
}
SettingWindowController::PluginRepair& pluginRepair() {
  static SettingWindowController::PluginRepair repair;
  return repair;
}

// The general page: each box, its stored switch and the flag it also sets.
struct Switch {
  const char* id;
  const char* title;
  bool (SettingsDb::*get)();
  void (SettingsDb::*set)(bool);
  void (AppDelegate::*flag)(bool);  // null: none
};
const Switch kSwitches[] = {
    {"btnBasePrompt", "显示同步提醒", &SettingsDb::getprompt, &SettingsDb::setprompt, nullptr},
    {"btnBaseAutoRun", "开机时自动启动Quorva", &SettingsDb::getautorun, &SettingsDb::setautorun, nullptr},
    {"btnBaseBlack", "使用黑色状态栏图标", &SettingsDb::getblacktray, &SettingsDb::setblacktray,
     &AppDelegate::setBBlacktray},
    {"btnBaseLocal", "启用局域网同步", &SettingsDb::getlocal, &SettingsDb::setlocal, &AppDelegate::setBLocal},
    {"btnBaseHttps", "使用HTTPS安全连接", &SettingsDb::gethttps, &SettingsDb::sethttps, &AppDelegate::setBHttps},
    {"btnBaseRecycbin", "删除的文件放入回收站", &SettingsDb::getdelete2recyclebin, &SettingsDb::setdelete2recyclebin,
     &AppDelegate::setBRecyclebin},
    {"btnBaseMenu", "显示文件锁定提醒", &SettingsDb::getrightbar, &SettingsDb::setrightbar, &AppDelegate::setBLockMsg},
};

// A page's rows of a caption and the control it names, one pair a row.
struct Captioned {
  const char* captionId;
  const char* caption;
  plat::Form::Kind kind;
  const char* id;
};
void addCaptionedRows(plat::Form& f, std::initializer_list<Captioned> rows) {
  for (const auto& r : rows) {
    f.add(plat::Form::Kind::kLabel, r.captionId, r.caption);
    f.add(r.kind, r.id);
    f.newRow();
  }
}

constexpr const char* kMyFolder = "我的Quorva";
constexpr const char* kUnderstood = "我知道了";

std::string lastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

AppDelegate& app() { return AppDelegate::shared(); }

}  // namespace

void SettingWindowController::setMoveTaskMaker(MoveTaskMaker maker) {
  std::lock_guard<std::mutex> l(hooksMutex);
  moveTaskMaker() = std::move(maker);
}

void SettingWindowController::setPluginRepair(PluginRepair repair) {
  std::lock_guard<std::mutex> l(hooksMutex);
  pluginRepair() = std::move(repair);
}

std::shared_ptr<SettingWindowController> SettingWindowController::make() {
  auto toolkit = plat::Toolkit::current();
  auto c = std::make_shared<SettingWindowController>(
      toolkit->makeWindow({"SettingWindowController", "设置", {560, 420}}), toolkit->makeForm());
  // The controls' actions hold the controller weakly: the window may outlive no one.
  std::weak_ptr<SettingWindowController> weak = c;
  auto act = [weak](void (SettingWindowController::*m)()) {
    return [weak, m] {
      if (auto s = weak.lock()) ((*s).*m)();
    };
  };
  using S = SettingWindowController;
  auto& f = *c->form_;
  f.setAction("matSettingType.0", act(&S::onBtnSelectBaseClicked));
  f.setAction("matSettingType.1", act(&S::onBtnSelectUserClicked));
  f.setAction("matSettingType.2", act(&S::onBtnSelectAgentClicked));
  void (S::*switches[])() = {&S::onBtnCheckPromptClicked, &S::onBtnCheckAutoRunClicked, &S::onBtnCheckBlackClicked,
                             &S::onBtnCheckLocalClicked,  &S::onBtnCheckHttpsClicked,   &S::onBtnCheckRecycbin,
                             &S::onBtnCheckQuickMenu};
  for (size_t i = 0; i < std::size(kSwitches); ++i) f.setAction(kSwitches[i].id, act(switches[i]));
  f.setAction("btnSetUserLogout", act(&S::onBtnLogoutClicked));
  f.setAction("btnSetUserMove", act(&S::onBtnMoveSyncFileClicked));
  f.setAction("btnSetUserSelect", act(&S::onBtnSelectSyncFileClicked));
  f.setAction("btnResetPlugin", act(&S::onResetPlugin));
  f.setAction("btnSelPath", act(&S::onChoosePathClicked));
  f.setAction("comSetAgentType", act(&S::onComBoxAgentTypeClicked));
  f.setAction("btnSetAgentNeedUser", act(&S::onBtnCheckAgentNeedUserClicked));
  f.setAction("btnAgentEnter", act(&S::onBtnAgentEnterClicked));
  return c;
}

SettingWindowController::SettingWindowController(std::shared_ptr<plat::Window> window,
                                                 std::shared_ptr<plat::Form> form)
    : NSWindowController(std::move(window)), form_(std::move(form)) {
  using K = plat::Form::Kind;
  auto& f = *form_;
  // The page selector.
  f.add(K::kButton, "matSettingType.0", "常规");
  f.add(K::kButton, "matSettingType.1", "帐号");
  f.add(K::kButton, "matSettingType.2", "代理");

  f.addPage(kBaseView);
  for (const auto& s : kSwitches) {
    f.add(K::kCheckBox, s.id, s.title);
    f.newRow();
  }

  f.addPage(kUserView);
  addCaptionedRows(f, {{"lblSetUserName", "帐号:", K::kLabel, "txtSetUserName"},
                       {"lblSetUserComputer", "计算机:", K::kLabel, "txtSetUserComputer"},
                       {"lblSetUserSize", "空间:", K::kLabel, "txtSetUserSize"}});
  f.add(K::kLabel, "lblSelPath", "同步文件夹位置:");
  f.add(K::kLabel, "selPathControl");
  f.add(K::kButton, "btnSelPath", "选择...");
  f.newRow();
  f.add(K::kButton, "btnSetUserMove", "移动");
  f.add(K::kButton, "btnSetUserSelect", "选择性同步");
  f.add(K::kButton, "btnResetPlugin", "修复插件");
  f.add(K::kButton, "btnSetUserLogout", "注销");

  f.addPage(kAgentView);
  addCaptionedRows(f, {{"lblSetAgentType", "代理类型:", K::kCombo, "comSetAgentType"}});
  f.setItems("comSetAgentType", {"不使用代理", "HTTP代理", "SOCKS代理"});
  f.add(K::kLabel, "lblSetAgentIp", "地址:");
  f.add(K::kEntry, "txtSetAgentIp");
  f.add(K::kLabel, "lblSetAgentPort", "端口:");
  f.add(K::kEntry, "txtSetAgentPort");
  f.newRow();
  f.add(K::kCheckBox, "btnSetAgentNeedUser", "需要用户名和密码");
  f.newRow();
  addCaptionedRows(f, {{"lblSetAgentUserName", "用户名:", K::kEntry, "txtSetAgentUserName"},
                       {"lblSetAgentPassword", "密码:", K::kSecretEntry, "txtSetAgentPassword"}});
  f.add(K::kButton, "btnAgentEnter", "确定");

  f.showPage(kBaseView);
  window_->setForm(form_);
}

SettingWindowController::~SettingWindowController() { moveObserver_.reset(); }

// ---- Filling ----

void SettingWindowController::initWithSetting() {
  auto& f = *form_;
  auto settings = app().settingsdb();
  auto ud = app().userdata();
  const std::string name = settings ? settings->getname() : std::string();
  f.setText("txtSetUserName", name);
  f.setEnabled("btnSetUserLogout", !name.empty());
  f.setEnabled("btnSetUserMove", app().bLogin());
  f.setEnabled("btnSetUserSelect", app().bLogin());
  f.setText("txtSetUserComputer", UserData::getcomputer());
  f.setText("txtSetUserSize", ud ? ud->getsize() : std::string());
  for (const auto& s : kSwitches) f.setChecked(s.id, settings && ((*settings).*s.get)());
  showSyncParent();

  const int64_t type = settings ? settings->getagenttype() : 0;
  f.setSelected("comSetAgentType", static_cast<int>(type));
  const bool on = type != 0;
  const bool needuser = on && settings->getagentneeduser();
  f.setText("txtSetAgentIp", on ? settings->getagentip() : std::string());
  f.setText("txtSetAgentPort", on ? plat::format("%ld", settings->getagentport()) : std::string());
  f.setChecked("btnSetAgentNeedUser", needuser);
  f.setText("txtSetAgentUserName", needuser ? settings->getagentuser() : std::string());
  f.setText("txtSetAgentPassword", needuser ? ProxySecrets::password(*settings) : std::string());
  agentControls();
}

void SettingWindowController::showSyncParent() {
  // The control shows the place as a path; its value is the file URL.
  auto sync = app().sync();
  form_->setText("selPathControl", sync ? sync->syncparent() : std::string());
}

std::string SettingWindowController::pathControlURL() const {
  auto sync = app().sync();
  return sync ? fileURL(sync->syncparent()) : std::string();
}

// ---- Pages ----

void SettingWindowController::showPage(const std::string& page, int cell) {
  for (int i = 0; i < 3; ++i) {
    form_->setTextColor("matSettingType." + std::to_string(i),
                        i == cell ? plat::Color{0.1, 0.4, 0.9, 1} : plat::Color{0, 0, 0, 1});
  }
  form_->showPage(page);
}

void SettingWindowController::onBtnSelectBaseClicked() { showPage(kBaseView, 0); }
void SettingWindowController::onBtnSelectUserClicked() { showPage(kUserView, 1); }
void SettingWindowController::onBtnSelectAgentClicked() { showPage(kAgentView, 2); }
void SettingWindowController::onLoginJumpSettingAgentView() { showPage(kAgentView, 2); }

// ---- General switches ----

void SettingWindowController::switchClicked(const std::string& id) {
  for (const auto& s : kSwitches) {
    if (id != s.id) continue;
    const bool v = form_->checked(id);
    if (auto settings = app().settingsdb()) ((*settings).*s.set)(v);
    if (s.flag) (app().*s.flag)(v);
    return;
  }
}

void SettingWindowController::onBtnCheckPromptClicked() { switchClicked("btnBasePrompt"); }
void SettingWindowController::onBtnCheckAutoRunClicked() { switchClicked("btnBaseAutoRun"); }
void SettingWindowController::onBtnCheckBlackClicked() { switchClicked("btnBaseBlack"); }
void SettingWindowController::onBtnCheckLocalClicked() { switchClicked("btnBaseLocal"); }
void SettingWindowController::onBtnCheckHttpsClicked() { switchClicked("btnBaseHttps"); }
void SettingWindowController::onBtnCheckRecycbin() { switchClicked("btnBaseRecycbin"); }
void SettingWindowController::onBtnCheckQuickMenu() { switchClicked("btnBaseMenu"); }

// ---- Proxy ----

void SettingWindowController::agentControls() {
  auto& f = *form_;
  const bool on = f.selected("comSetAgentType") > 0;
  f.setEnabled("txtSetAgentIp", on);
  f.setEnabled("txtSetAgentPort", on);
  f.setEnabled("btnSetAgentNeedUser", on);
  if (!on) f.setChecked("btnSetAgentNeedUser", false);
  const bool user = on && f.checked("btnSetAgentNeedUser");
  f.setEnabled("txtSetAgentUserName", user);
  f.setEnabled("txtSetAgentPassword", user);
}

void SettingWindowController::onComBoxAgentTypeClicked() { agentControls(); }
void SettingWindowController::onBtnCheckAgentNeedUserClicked() { agentControls(); }

void SettingWindowController::onBtnAgentEnterClicked() {
  auto settings = app().settingsdb();
  if (!settings) return;
  auto& f = *form_;
  const int64_t type = std::max(0, f.selected("comSetAgentType"));
  if (type == 0) {
    ProxySecrets::store(*settings, 0, "", 0, false, "", "");
  } else {
    const std::string host = f.text("txtSetAgentIp");
    int64_t port = 0;
    // A proxy that can't be reached is refused here, not found out later
    // by every request failing.
    if (!ProxySecrets::validHost(host)) {
      refuse("请输入正确的代理服务器地址！");
      return;
    }
    if (!ProxySecrets::validPort(f.text("txtSetAgentPort"), &port)) {
      refuse("代理端口必须是1到65535之间的数字！");
      return;
    }
    const bool needuser = f.checked("btnSetAgentNeedUser");
    ProxySecrets::store(*settings, type, host, port, needuser, needuser ? f.text("txtSetAgentUserName") : "",
                        needuser ? f.text("txtSetAgentPassword") : "");
  }
  ProxySecrets::apply(*settings);
  window_->close();
}

void SettingWindowController::refuse(const std::string& text) {
  NSAlertBlocks::showSheetModalForWindow(window_, text, "", NSAlertBlocks::AlertStyle::kWarning, std::nullopt,
                                         {kUnderstood}, nullptr, nullptr);
}

// ---- Account ----

void SettingWindowController::onBtnLogoutClicked() {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return;
  plat::AlertSpec alert;
  alert.text = "注销帐号时,是否保留用户所有记录的文件(包括：同步文件夹信息，同步缓存文件和传输信息)?";
  alert.buttons = {"保留", "删除", "取消"};
  alert.parent = window_;
  alertDidEnd(toolkit->runAlert(alert));
}

void SettingWindowController::alertDidEnd(int returnCode) {
  if (returnCode == plat::kAlertFirstButtonReturn) {
    app().logoutAndRelaunch(false);
  } else if (returnCode == plat::kAlertFirstButtonReturn + 1) {
    app().logoutAndRelaunch(true);
  }
}

void SettingWindowController::onResetPlugin() {
  PluginRepair repair;
  {
    std::lock_guard<std::mutex> l(hooksMutex);
    repair = pluginRepair();
  }
  if (!repair.installed || !repair.installed()) {
    refuse("文件管理器插件未安装，无法修复。");
    return;
  }
  if (!repair.repair || !repair.repair()) return;
  // The repaired plug-in is loaded by a fresh start.
  plat::launcher()->launch(Util::applicationPath(), {});
  app().terminate();
}

void SettingWindowController::onChoosePathClicked() {
  auto toolkit = plat::Toolkit::current();
  auto sync = app().sync();
  if (!toolkit) return;
  plat::FolderChoiceSpec choice;
  choice.startFolder = sync ? sync->syncparent() : std::string();
  choice.prompt = "选择";
  choice.parent = window_;
  if (auto chosen = toolkit->chooseFolder(choice)) changeLocationAction(*chosen);
}

void SettingWindowController::changeLocationAction(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p != selPath_) selPath_ = p;
}

void SettingWindowController::onBtnMoveSyncFileClicked() {
  auto sync = app().sync();
  if (!sync) return;
  std::string old = sync->syncparent();
  if (!old.empty() && old.back() == '/') old.pop_back();
  if (selPath_.empty() || old == plat::format("%@/%@", selPath_, kMyFolder)) {
    refuse("请选择移动目录！");
    return;
  }
  if (selPath_.compare(0, old.size() + 1, old + "/") == 0 || selPath_ == old) {
    refuse("不能选择当前目录的子目录进行移动！");
    return;
  }
  if (!Util::isdir(selPath_)) {
    refuse("你选择目录不存在，请重新选择！");
    return;
  }
  auto toolkit = plat::Toolkit::current();
  plat::AlertSpec confirm;
  confirm.text = plat::format("你确定把文件从目录：%@ 移动到 %@ 目录下吗？", old, selPath_);
  confirm.buttons = {"确定", "取消"};
  confirm.parent = window_;
  if (toolkit->runAlert(confirm) != plat::kAlertFirstButtonReturn) return;

  isMoved_ = false;
  std::weak_ptr<SettingWindowController> weak = weak_from_this();
  moveObserver_ = plat::ScopedObserver("MoveFileNotification", [weak](const plat::Notification& n) {
    const std::string percent = n.object.isString() ? n.object.string() : n.object.description();
    // Posted from the move's thread: the window's part runs on the main thread.
    plat::MainThread::perform([weak, percent] {
      if (auto s = weak.lock()) s->reloadMoveProgressControlValue(percent);
    });
  });
  progressController_ = MoveProgressWindowController::make();
  progressController_->setMoveProgressIndicator(0.0);
  progressController_->setStrProgress("0.0");
  progressController_->window()->setParent(window_);
  progressController_->showWindow();

  const std::string rootPath = plat::format("%@/%@", selPath_, lastComponent(old));
  MoveTaskMaker maker;
  {
    std::lock_guard<std::mutex> l(hooksMutex);
    maker = moveTaskMaker();
  }
  auto queue = app().taskqueue();
  auto task = maker ? maker(rootPath) : nullptr;
  if (!task || !queue) {
    reloadMoveProgressControlValue("-1");
    return;
  }
  queue->addOperation(task);
}

void SettingWindowController::reloadMoveProgressControlValue(const std::string& percent) {
  if (!progressController_) return;
  // The integer value of the text: its leading digits (and sign), 0 for none.
  long value = 0;
  try {
    size_t used = 0;
    value = std::stol(percent, &used);
  } catch (...) {
    value = 0;
  }
  progressController_->setMoveProgressIndicator(value < 0 ? 0.0 : static_cast<double>(value));
  progressController_->setStrProgress(percent + "%");
  if ((value != 100 && value != -1) || isMoved_) return;
  isMoved_ = true;
  moveObserver_.reset();
  auto progress = std::move(progressController_);
  progress->window()->orderOut();
  progress->setMoveProgressIndicator(0.0);
  progress->setStrProgress("0.0");
  progress->close();
  progress.reset();
  if (auto toolkit = plat::Toolkit::current()) {
    plat::AlertSpec done;
    done.text = value == 100 ? "恭喜你移动文件成功！" : "移动文件失败，请重试！";
    done.buttons = {"确定"};
    done.parent = window_;
    toolkit->runAlert(done);
  }
  showSyncParent();
}

void SettingWindowController::onBtnSelectSyncFileClicked() {
  auto sync = app().sync();
  if (!sync) return;
  selectFileSyncController_ = SelectFileSyncWindowController::make();
  std::vector<UnSyncNodeItem> nodes = sync->syncdb()->get_unsync_nodes("");
  for (auto& n : nodes) {
    if (sync->syncshare().isorg(n.path)) n.type += 16;
  }
  selectFileSyncController_->initFileDataDirPath("/", nodes);
  const int code = selectFileSyncController_->runModal();
  if (code == 1) {
    bool all = true;
    const auto list = selectFileSyncController_->getunsynclist(all);
    sync->setUnsyncnodes("", list);
    app().setBRemove(true);
  }
  selectFileSyncController_.reset();
}
