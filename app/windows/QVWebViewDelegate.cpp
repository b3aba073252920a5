#include "app/windows/QVWebViewDelegate.h"

#include <climits>
#include <cstdlib>

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "Framework/SJSON/SJSONSerializer.h"
#include "Framework/Staticclass/NSStringExpand.h"
#include "app/core/AccountSecrets.h"
#include "app/shell/AppDelegate.h"
#include "app/sync/GetMoveFileTask.h"
#include "app/sync/LastSyncdb.h"
#include "app/windows/LoginWebWindowController.h"
#include "app/core/QVLog.h"
#include "app/windows/SelectFileSyncWindowController.h"
#include "app/core/ServiceHosts.h"
#include "app/core/SettingsDb.h"
#include "app/shell/SyncEngineCalls.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/windows/WebWindows.h"
#include "app/interface/APIHosts.h"
#include "app/interface/HTTPEngine.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "platform/net/url.h"
#include "platform/system/launcher.h"
#include "platform/system/path_escape.h"

namespace {

using Trust = QVWebViewDelegate::Trust;
using plat::Value;

constexpr const char* kNotice = "温馨提示:";

// A page's argument as the text the methods take: texts as they are, other
// values as their JSON text; nothing for a missing or null argument.
std::optional<std::string> textArg(const plat::Array& args, size_t i = 0) {
  if (i >= args.size() || args[i].isNull()) return std::nullopt;
  const Value& v = args[i];
  if (v.isString()) return v.string();
  if (v.kind() == Value::Kind::Dictionary || v.kind() == Value::Kind::Array) {
    auto data = SJSONSerializer::serializer()->serializeObject(v);
    return data ? std::string(data->begin(), data->end()) : std::string();
  }
  return v.description();
}

// A JSON argument: a dictionary, or nothing when the text is not one.
std::optional<Value> jsonArg(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  auto v = JDDeserializing::objectFromJSONString(*text);
  if (!v || v->kind() != Value::Kind::Dictionary) return std::nullopt;
  return v;
}

Value optionalText(const std::optional<std::string>& s) { return s ? Value(*s) : Value(); }


AppDelegate& app() { return AppDelegate::shared(); }

std::string configPath() {
  auto ud = app().userdata();
  return ud ? ud->configPath() : std::string();
}

// What a call may do, and who may make it.
struct Entry {
  Trust trust;
  std::function<Value(QVWebViewDelegate&, const plat::Array&)> run;
};

// The name table: every call pages can make. The service's pages get the
// calls that only read and hand out nothing secret; everything that acts,
// touches local files or hands out the token is for our own pages.
const std::map<std::string, Entry>& table() {
  using D = QVWebViewDelegate;
  using A = const plat::Array&;
  auto text = [](A a) { return textArg(a).value_or(""); };
  static const std::map<std::string, Entry> t = {
      {"gCompare", {Trust::kOwn, [=](D& d, A a) { return Value(d.onCompareFilePath(text(a))); }}},
      {"gClearUpdateCount", {Trust::kService, [](D&, A) { return Value(); }}},
      {"gOpenPath", {Trust::kOwn, [=](D& d, A a) { d.onOpenPathFilePath(text(a)); return Value(); }}},
      {"gCheckEmpty", {Trust::kOwn, [=](D& d, A a) { return Value(d.onCheckEmpty(text(a))); }}},
      {"gOpenPathWithSelect", {Trust::kOwn, [=](D& d, A a) { d.onOpenPathWithSelect(text(a)); return Value(); }}},
      {"gOpenUrl", {Trust::kOwn, [=](D& d, A a) { d.onOpenWebUrlInfo(text(a)); return Value(); }}},
      {"gSiteDomain", {Trust::kService, [](D& d, A) { return Value(d.onSiteDomain()); }}},
      {"gClose", {Trust::kOwn, [](D& d, A) { d.onCloseWindow(); return Value(); }}},
      {"gSetClipboardData", {Trust::kOwn, [=](D& d, A a) { d.onSetClipboardData(text(a)); return Value(); }}},
      {"gMain", {Trust::kOwn, [=](D& d, A a) { return Value(d.onOpenMainWindowInfo(text(a))); }}},
      {"gUserInfo", {Trust::kService, [](D& d, A) { return Value(d.getUserInfo()); }}},
      {"gGetMessage", {Trust::kService, [](D& d, A) { return Value(d.getMessage()); }}},
      {"gLaunchpad", {Trust::kOwn, [](D& d, A a) { d.onOpenLaunchpadWindow(textArg(a)); return Value(); }}},
      {"gFavorite", {Trust::kOwn, [=](D& d, A a) { d.onFavoriteFile(text(a)); return Value(); }}},
      {"gLock", {Trust::kOwn, [](D&, A) { return Value(); }}},
      {"gSetFileStatus", {Trust::kOwn, [=](D& d, A a) { d.onSetFileStatus(text(a)); return Value(); }}},
      {"gLogin", {Trust::kOwn, [=](D& d, A a) { return Value(d.onBtnLoginUserNameAndPW(text(a))); }}},
      {"gLoginByKey", {Trust::kOwn, [](D& d, A) { return Value(d.onBtnLoginByKey()); }}},
      {"gSettings", {Trust::kOwn, [](D& d, A) { d.onSetttingWindowClicked(); return Value(); }}},
      {"gCheckLastPath", {Trust::kOwn, [](D& d, A) { return optionalText(d.getCheckLastPath()); }}},
      {"gNormalPath", {Trust::kOwn, [](D& d, A) { return Value(d.getNormalPath()); }}},
      {"gBindPath", {Trust::kOwn, [](D& d, A) { return optionalText(d.getBindPath()); }}},
      {"gSelectSyncPath", {Trust::kOwn, [=](D& d, A a) { d.onBtnSelectSyncFileClicked(text(a)); return Value(); }}},
      {"gShowArrow", {Trust::kOwn, [](D&, A) { return Value(); }}},
      {"gStart", {Trust::kOwn, [=](D& d, A a) { d.setInitInfo(text(a)); return Value(); }}},
      {"gSoleMain", {Trust::kOwn, [=](D& d, A a) { d.onOpenSoleMainWindowInfo(text(a)); return Value(); }}},
      {"gOAuthKey", {Trust::kOwn, [](D& d, A) { return optionalText(d.getOauthKey()); }}},
      {"gLogoff", {Trust::kOwn, [](D& d, A) { d.onBtnLogoutClickedEvent(); return Value(); }}},
      {"gGetToken", {Trust::kOwn, [](D& d, A) { return Value(d.getToken()); }}},
      {"gGetUnsyncNodes", {Trust::kService, [](D&, A) { return Value(""); }}},
      {"gSetUnsyncNodes", {Trust::kOwn, [](D&, A) { return Value(); }}},
      {"gGetClientInfo", {Trust::kOwn, [](D& d, A) { return Value(d.getClientInfo()); }}},
      {"gSetClientInfo", {Trust::kOwn, [](D&, A) { return Value(); }}},
      {"gSetLinkPaths", {Trust::kOwn, [=](D& d, A a) { d.setLinkPath(text(a)); return Value(); }}},
      {"gGetLinkPaths", {Trust::kOwn, [](D& d, A) { return Value(d.getLinkPath()); }}},
      {"gRemoveLinkPaths", {Trust::kOwn, [=](D& d, A a) { d.removeLinkPath(text(a)); return Value(); }}},
      {"gGetAuthorization", {Trust::kOwn, [](D& d, A a) { return Value(d.getAuthorization(textArg(a))); }}},
      {"gOpenDiskPath", {Trust::kOwn, [=](D& d, A a) { d.openDiskPath(text(a)); return Value(); }}},
      {"gChildMain", {Trust::kOwn, [=](D& d, A a) { d.openChildMain(text(a)); return Value(); }}},
      {"gCheckLinkPath", {Trust::kOwn, [=](D& d, A a) { return Value(d.checkLinkPath(text(a))); }}},
      {"gMoveBindPath", {Trust::kOwn, [=](D& d, A a) { d.moveBindPath(text(a)); return Value(); }}},
      {"gMailTo", {Trust::kOwn, [](D& d, A a) { d.mailTo(textArg(a)); return Value(); }}},
      {"gSelectPath", {Trust::kOwn, [=](D& d, A a) { return Value(d.onOpenSelectSyncWindowPath(text(a))); }}},
      {"gRestHost", {Trust::kService, [](D& d, A) { return Value(d.GetResetHost()); }}},
      {"gApiHost", {Trust::kService, [](D& d, A) { return Value(d.GetApiHost()); }}},
      {"gOAuthHost", {Trust::kService, [](D& d, A) { return Value(d.GetOAuthHost()); }}},
      {"gShowSettings", {Trust::kOwn, [](D& d, A) { d.ShowSettings(); return Value(); }}},
      {"gShowTrans", {Trust::kOwn, [](D& d, A) { d.ShowTrans(); return Value(); }}},
      {"gOpenqvp", {Trust::kOwn, [=](D& d, A a) { d.Openqvp(text(a)); return Value(); }}},
  };
  return t;
}

// The path of a file: address below "<config>/UI/", resolved on disk, so a
// link or ".." can't lead a page from elsewhere in.
bool isOwnPage(const plat::URL& url, const std::string& config) {
  if (url.scheme() != "file" || config.empty()) return false;
  if (!url.host().empty() && url.host() != "localhost") return false;
  auto path = plat::percentDecode(url.path());
  if (!path || path->empty() || (*path)[0] != '/' || path->find('\0') != std::string::npos) return false;
  char root[PATH_MAX], page[PATH_MAX];
  if (!realpath((config + "/UI").c_str(), root) || !realpath(path->c_str(), page)) return false;
  const std::string prefix = std::string(root) + "/";
  return std::string(page).rfind(prefix, 0) == 0;
}

// An https page of the service's web site (same host and port).
bool isServicePage(const plat::URL& url) {
  if (!url.isHTTPS()) return false;
  auto site = plat::URL::parse("https://" + ServiceHosts::webSite() + "/");
  return site && plat::isSameOrigin(url, *site);
}

const char* errorPageFor(int code) {
  switch (code) {
    case plat::kWebLoadTimedOut: return "error_cs.html";
    case plat::kWebLoadCannotFindHost:
    case plat::kWebLoadCannotConnectToHost:
    case plat::kWebLoadNotConnectedToInternet: return "error_dw.html";
    case plat::kWebLoadBadServerResponse: return "error_fm.html";
    default: return nullptr;
  }
}

}  // namespace

// ---- Trust ----

QVWebViewDelegate::Trust QVWebViewDelegate::trustOf(const std::string& url, const std::string& config) {
  auto u = plat::URL::parse(url);
  if (!u) return Trust::kNone;
  if (isOwnPage(*u, config)) return Trust::kOwn;
  if (isServicePage(*u)) return Trust::kService;
  return Trust::kNone;
}

std::optional<QVWebViewDelegate::Trust> QVWebViewDelegate::trustNeeded(const std::string& name) {
  auto it = table().find(name);
  if (it == table().end()) return std::nullopt;
  return it->second.trust;
}

std::shared_ptr<QVWebViewDelegate> QVWebViewDelegate::initWithDelegateController(NSWindowController* controller) {
  return std::make_shared<QVWebViewDelegate>(controller);
}

void QVWebViewDelegate::attach(const std::shared_ptr<plat::WebView>& view) {
  view_ = view;
  std::weak_ptr<QVWebViewDelegate> weak = weak_from_this();
  // Each handler keeps the bridge for the length of its call: a call may
  // close the window, whose controller owns the bridge.
  view->setScriptHandler([weak](const std::string& name, const plat::Array& args) {
    auto self = weak.lock();
    return self ? self->call(name, args) : Value();
  });
  view->setScriptDialogHandler([weak](plat::ScriptDialog kind, const std::string& text) {
    auto self = weak.lock();
    return self ? self->scriptDialog(kind, text) : false;
  });
  view->setLoadStarted([weak](const std::string& url) {
    if (auto self = weak.lock()) self->loadStarted(url);
  });
  view->setLoadFinished([weak](const std::string& url) {
    if (auto self = weak.lock()) self->loadFinished(url);
  });
  view->setLoadFailed([weak](const std::string& url, int code) {
    if (auto self = weak.lock()) self->loadFailed(url, code);
  });
  view->setTitleChanged([weak](const std::string& title) {
    if (auto self = weak.lock()) self->titleChanged(title);
  });
}

Value QVWebViewDelegate::call(const std::string& name, const plat::Array& args) {
  auto it = table().find(name);
  auto view = view_.lock();
  if (it == table().end() || !view) return Value();
  // Judged for the document that sent the call, not the one shown now.
  const Trust page = trustOf(view->callerURL(), configPath());
  if (static_cast<int>(page) < static_cast<int>(it->second.trust)) return Value();
  return it->second.run(*this, args);
}

// ---- Helpers ----

LoginWebWindowController* QVWebViewDelegate::login() const {
  return isController("LoginWebWindowController") ? static_cast<LoginWebWindowController*>(delegateController_)
                                                   : nullptr;
}

bool QVWebViewDelegate::isController(const char* className) const {
  return delegateController_ != nullptr && delegateController_->className() == className;
}

std::shared_ptr<plat::Window> QVWebViewDelegate::sheetParent() const {
  return delegateController_ ? delegateController_->window() : nullptr;
}

int QVWebViewDelegate::alert(const std::string& text, const std::string& informative,
                             std::vector<std::string> buttons, bool sheet) {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return plat::kAlertFirstButtonReturn + static_cast<int>(buttons.size());
  plat::AlertSpec a{"", text, std::move(buttons)};
  a.informative = informative;
  if (sheet) a.parent = sheetParent();
  return toolkit->runAlert(a);
}

void QVWebViewDelegate::offerOnWeb(const std::string& webpath, const std::string& question) {
  if (alert(kNotice, question, {"确定", "取消"}, true) != plat::kAlertFirstButtonReturn) return;
  Util::openWebUrl(Util::signedSiteLink("/storage/file?fullpath=" + NSStringExpand::urlEncoded(webpath)));
}

// ---- Owner calls and view answers ----

void QVWebViewDelegate::returnLoginResult(const plat::Array& result) {
  if (auto l = login()) l->returnLoginResult(result);
}

bool QVWebViewDelegate::onCheckWebPageInfo() {
  auto l = login();
  return l ? l->onCheckWebPageInfo() : false;
}

bool QVWebViewDelegate::scriptDialog(plat::ScriptDialog kind, const std::string& text) {
  if (kind == plat::ScriptDialog::kAlert) {
    alert(kNotice, text, {"我知道了"}, true);
    return false;
  }
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return false;
  plat::AlertSpec a{"", kNotice, {"确定", "取消"}};
  a.informative = text;
  a.warning = true;
  return toolkit->runAlert(a) == plat::kAlertFirstButtonReturn;
}

void QVWebViewDelegate::loadStarted(const std::string&) {
  if (isController("BrowserWebWindowController")) {
    static_cast<BrowserWebWindowController*>(delegateController_)->showLoading(true);
  }
}

void QVWebViewDelegate::loadFinished(const std::string&) {
  if (bWindowsCloes_ || !delegateController_) return;
  if (auto l = login()) l->onJudgeDealArray();
  auto view = view_.lock();
  if (!isController("LaunchpadWindowController") && view) delegateController_->window()->setTitle(view->title());
  if (isController("BrowserWebWindowController")) {
    static_cast<BrowserWebWindowController*>(delegateController_)->showLoading(false);
  }
  if (isController("RightSideWindowController")) {
    static_cast<RightSideWindowController*>(delegateController_)->setShellSelect(
        "{\"webpath\":\"\",\"status\":0,\"membername\":\"\",\"isshare\":0,\"local\":0,\"type\":3}");
  }
}

void QVWebViewDelegate::titleChanged(const std::string& title) {
  // WebKit may tell the title after the load's end: it reaches the window
  // whenever it comes.
  if (bWindowsCloes_ || !delegateController_ || isController("LaunchpadWindowController")) return;
  delegateController_->window()->setTitle(title);
}

void QVWebViewDelegate::loadFailed(const std::string& url, int code) {
  if (bWindowsCloes_) return;
  const char* page = errorPageFor(code);
  auto view = view_.lock();
  if (!page || !view) return;
  const std::string folder = configPath() + "/UI/default/chs/";
  // An error page that fails itself is not loaded again.
  if (url.rfind(fileURL(folder), 0) == 0) return;
  view->load(fileURL(folder + page));
}

// ---- The page's calls ----

int64_t QVWebViewDelegate::onCompareFilePath(const std::string&) {
  alert("Mac同步客户端，不支持此功能！", "", {"我知道了！"}, false);
  return -1;
}

void QVWebViewDelegate::onOpenPathFilePath(const std::string& webpath) {
  auto sync = app().sync();
  if (!sync) return;
  auto local = syncengine::localPathOf(*sync, webpath);
  if (!local) return;
  if (Util::existfile(*local)) {
    Util::openFile(*local);
  } else {
    offerOnWeb(webpath, "当前文件还未同步到本地,是否在网页上打开?");
  }
}

int64_t QVWebViewDelegate::onCheckEmpty(const std::string& path) { return Util::isemptydir(path) ? 1 : 0; }

void QVWebViewDelegate::onOpenPathWithSelect(const std::string& webpath) {
  if (webpath.empty()) {
    app().onMenuOpenSyncFolderClicked();
    return;
  }
  auto sync = app().sync();
  if (!sync) return;
  auto local = syncengine::localPathOf(*sync, webpath);
  if (!local) return;
  if (Util::existfile(*local)) {
    plat::launcher()->reveal(*local);
  } else {
    offerOnWeb(webpath, "你确定通过网页查看文件吗？");
  }
}

void QVWebViewDelegate::onOpenWebUrlInfo(const std::string& json) {
  if (!jsonArg(json)) return;
  const std::string url = Util::getOpenBrowserWebUrlInfo(json);
  // Only web addresses go to the browser: another scheme would start
  // whatever program the desktop has for it.
  auto u = plat::URL::parse(url);
  if (!u || (u->scheme() != "http" && u->scheme() != "https")) return;
  Util::openWebUrl(url);
}

std::string QVWebViewDelegate::onSiteDomain() { return Util::getDealWithHttpsOrHttpUrl(ServiceHosts::webSite()); }

void QVWebViewDelegate::onCloseWindow() {
  if (delegateController_) delegateController_->close();
}

void QVWebViewDelegate::onSetClipboardData(const std::string& text) {
  if (auto toolkit = plat::Toolkit::current()) toolkit->setClipboardText(text);
}

std::shared_ptr<BrowserWebWindowController> QVWebViewDelegate::openBrowser(const plat::Dictionary& info) {
  auto c = BrowserWebWindowController::make();
  c->setStrUrl(info["url"].string());
  c->showWindow();
  const int64_t width = info["width"].longLongValue(), height = info["height"].longLongValue();
  auto w = c->window();
  const double bar = w->isFullScreen() ? 0 : w->titleBarHeight();
  w->setSize({width != 0 ? double(width) : 800.0, (height != 0 ? double(height) : 500.0) + bar});
  c->setAlertFrame();
  return c;
}

std::string QVWebViewDelegate::onOpenMainWindowInfo(const std::string& json) {
  if (auto l = login()) {
    l->onOpenMainWindowInfo(json);
    return "";
  }
  if (!jsonArg(json)) return "";
  plat::Dictionary info = Util::getOpenWindowWebUrlInfo(json);
  if (info["type"].longLongValue() > 0) return info["url"].string();
  if (info["close"].longLongValue() != 0) onCloseWindow();
  openBrowser(info);
  return "";
}

void QVWebViewDelegate::onOpenSoleMainWindowInfo(const std::string& json) {
  if (auto l = login()) {
    l->onOpenMainWindowInfo(json);
    return;
  }
  if (!jsonArg(json)) return;
  openBrowser(Util::getOpenWindowWebUrlInfo(json));
}

std::string QVWebViewDelegate::getUserInfo() { return app().getJsonUserInfo(); }

std::string QVWebViewDelegate::getMessage() { return app().jsonMsg(); }

void QVWebViewDelegate::onOpenLaunchpadWindow(const std::optional<std::string>& arg) {
  std::string tab;
  if (arg && !arg->empty()) {
    auto v = jsonArg(arg);
    tab = v && (*v)["tab"].isString() ? (*v)["tab"].string() : std::string();
  }
  app().OpenLaunchpadWindow(tab);
}

void QVWebViewDelegate::onFavoriteFile(const std::string& path) { app().onAddFavoritePath(path); }

void QVWebViewDelegate::onSetFileStatus(const std::string& json) {
  auto sync = app().sync();
  auto v = jsonArg(json);
  if (!sync || !v) return;
  const std::string webpath = (*v)["webpath"].string();
  // The engine changes the modes of files it is pointed at: only ours.
  if (!syncengine::localPathOf(*sync, webpath)) return;
  sync->setfilestatus(webpath, (*v)["dir"].longLongValue(), (*v)["status"].longLongValue());
}

bool QVWebViewDelegate::onBtnLoginUserNameAndPW(const std::string& json) {
  auto l = login();
  return l ? l->onBtnLoginUserNameAndPW(json) : false;
}

bool QVWebViewDelegate::onBtnLoginByKey() {
  auto l = login();
  return l ? l->onBtnLoginByKey() : false;
}

void QVWebViewDelegate::onSetttingWindowClicked() {
  // The desktop's network settings, where the desktop has them.
  static constexpr const char* kSettings = "gnome-control-center";
  const std::string program = Util::findProgram(kSettings);
  plat::Error error;
  if (!program.empty() && plat::launcher()->launch(program, {"network"}, &error)) return;
  const std::string why = program.empty() ? plat::format("没有找到网络设置程序 %@。", kSettings)
                                          : plat::format("网络设置程序 %@ 无法启动：%@", kSettings, error.localizedDescription());
  alert(kNotice, why + "请在桌面的系统设置中修改网络设置。", {"确定"}, true);
}

std::optional<std::string> QVWebViewDelegate::getCheckLastPath() {
  if (!app().onCheckLastPage()) return std::nullopt;
  return app().tempsyncpath();
}

std::string QVWebViewDelegate::getNormalPath() { return UserData::getnormalpath(); }

std::optional<std::string> QVWebViewDelegate::getBindPath() {
  auto l = login();
  return l ? l->onBtnSelectPathClicked() : std::nullopt;
}

void QVWebViewDelegate::onBtnSelectSyncFileClicked(const std::string& json) {
  if (auto l = login()) {
    l->onBtnSelectSyncFileClicked();
    return;
  }
  auto sync = app().sync();
  if (!sync) return;
  auto v = jsonArg(json);
  std::string webpath = v && (*v)["webpath"].isString() ? (*v)["webpath"].string() : std::string();
  std::vector<UnSyncNodeItem> nodes = sync->syncdb()->get_unsync_nodes(webpath);
  if (webpath.empty()) {
    for (auto& n : nodes) {
      if (sync->syncshare().isorg(n.path)) n.type += 16;
    }
    webpath = "/";
  }
  auto c = SelectFileSyncWindowController::make();
  c->initFileDataDirPath(webpath, nodes);
  if (c->runModal() != 1) return;
  bool all = true;
  const auto list = c->getunsynclist(all);
  sync->setUnsyncnodes(webpath == "/" ? std::string() : webpath, list);
  app().setBRemove(true);
}

void QVWebViewDelegate::setInitInfo(const std::string& json) {
  if (auto l = login()) l->setInitInfo(json);
}

std::optional<std::string> QVWebViewDelegate::getOauthKey() {
  auto l = login();
  if (!l) return std::nullopt;
  return l->getOauthKey();
}

void QVWebViewDelegate::onBtnLogoutClickedEvent() {
  const int answer =
      alert("注销帐号时,是否保留用户所有记录的文件(包括：同步文件夹信息，同步缓存文件和传输信息)?", "",
            {"是", "否", "取消"}, true);
  if (answer == plat::kAlertFirstButtonReturn) app().logoutAndRelaunch(false);
  else if (answer == plat::kAlertFirstButtonReturn + 1) app().logoutAndRelaunch(true);
}

std::string QVWebViewDelegate::getToken() {
  auto ud = app().userdata();
  return ud ? ud->userToken() : std::string();
}

std::string QVWebViewDelegate::getClientInfo() {
  auto ud = app().userdata();
  auto settings = app().settingsdb();
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.emplace_back("computername", Util::jsonText(UserData::getcomputer()));
  if (app().bLogin() && settings) pairs.emplace_back("username", Util::jsonText(settings->getname()));
  if (ud && ud->userID() != 0) {
    auto db = app().lastsyncdb();
    const std::string bind = db ? db->getsyncpath(ud->userID()) : std::string();
    if (!bind.empty()) pairs.emplace_back("bindpath", Util::jsonText(bind));
  }
  auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
  if (settings) {
    pairs.emplace_back("auto", flag(settings->getautorun()));
    pairs.emplace_back("rightmenu", flag(settings->getrightbar()));
    pairs.emplace_back("prompt", flag(settings->getprompt()));
    pairs.emplace_back("syncicon", flag(settings->getblacktray()));
    pairs.emplace_back("local", flag(settings->getlocal()));
    pairs.emplace_back("recycle", flag(settings->getdelete2recyclebin()));
    pairs.emplace_back("https", flag(settings->gethttps()));
  }
  pairs.emplace_back("configpath", Util::jsonText(configPath()));
  pairs.emplace_back("version", app().appversion());
  std::string out = "{";
  for (size_t i = 0; i < pairs.size(); ++i) {
    out += "\"" + pairs[i].first + "\":\"" + pairs[i].second + "\"";
    if (i + 1 < pairs.size()) out += ",";
  }
  return out + "}";
}

void QVWebViewDelegate::setLinkPath(const std::string& json) {
  auto sync = app().sync();
  auto v = jsonArg(json);
  if (!sync || !v || !(*v)["list"].isArray()) return;
  for (const Value& item : (*v)["list"].array()) {
    const std::string webpath = item["webpath"].string();
    const std::string target = item["fullpath"].string();
    if (webpath.empty()) {
      QVLog::sharedQVLog().addLogErrorFile("", "webpath null");
      return;
    }
    auto old = syncengine::localPathOf(*sync, webpath);
    if (!old || target.empty()) return;
    // A place that overlaps a root or another link is never moved into.
    bool unBind = true;
    if (!sync->check_dir_legecy(target, unBind).empty()) {
      alert("移动目录失败，请重试！", "", {"确定"}, true);
      return;
    }
    sync->stop();
    if (!Util::movefile(*old, target) && !Util::copyfolder(*old, target, false)) {
      alert("移动目录失败，请重试！", "", {"确定"}, true);
      sync->start();
      return;
    }
    Util::deletefolder(*old, false);
    sync->add_link(webpath, target);
    sync->start();
    app().UpdateLaunchpadJS();
  }
  alert("移动目录成功", "", {"确定"}, false);
  if (isController("BrowserWebWindowController") &&
      static_cast<BrowserWebWindowController*>(delegateController_)->bClose()) {
    onCloseWindow();
  }
}

std::string QVWebViewDelegate::getLinkPath() {
  auto sync = app().sync();
  if (!sync) return "";
  return sync->getlinkpathjson();
}

void QVWebViewDelegate::removeLinkPath(const std::string& json) {
  auto sync = app().sync();
  auto v = jsonArg(json);
  if (!sync || !v || !(*v)["list"].isArray()) return;
  for (const Value& item : (*v)["list"].array()) {
    const std::string webpath = item["webpath"].string();
    if (webpath.empty()) {
      QVLog::sharedQVLog().addLogErrorFile("", "webpath null");
      return;
    }
    sync->remove_link(webpath);
  }
}

std::string QVWebViewDelegate::getAuthorization(const std::optional<std::string>& json) {
  if (!json) return "";
  auto v = jsonArg(json);
  auto ud = app().userdata();
  if (!v || !ud) return "";
  const std::string sig =
      HTTPEngine::getAuth((*v)["ver"].string(), (*v)["date"].string(), ud->mountID(), (*v)["webpath"].string());
  return plat::format("%@:%@", ud->userToken(), sig);
}

void QVWebViewDelegate::openDiskPath(const std::string& path) {
  if (!path.empty() && Util::existfile(path)) Util::openFile(path);
}

void QVWebViewDelegate::openChildMain(const std::string& json) {
  auto v = jsonArg(json);
  if (!v) return;
  const std::string page = (*v)["url"].string();
  // A page of our packages only: no way out of the folder.
  if (page.empty() || page[0] == '/' || syncengine::hasDotSegment(page)) return;
  auto c = BrowserWebWindowController::make();
  c->setBClose(true);
  c->setStrUrl(fileURL(plat::format("%@/UI/%@", configPath(), page)));
  auto w = c->window();
  w->setParent(sheetParent());
  const double bar = w->isFullScreen() ? 0 : w->titleBarHeight();
  w->setSize({double((*v)["width"].longLongValue()), double((*v)["height"].longLongValue()) + 3 * bar});
  c->showWindow();
}

std::string QVWebViewDelegate::checkLinkPath(const std::string& path) {
  if (path.empty()) return "";
  auto sync = app().sync();
  bool unBind = true;
  std::string other;
  if (sync) other = sync->check_dir_legecy(path, unBind);
  return plat::format("{\"empty\":%d,\"disabled\":%d,\"path\":\"%@\"}", Util::isemptydir(path) ? 1 : 0,
                      unBind ? 0 : 1, Util::jsonText(other));
}

void QVWebViewDelegate::moveBindPath(const std::string& folder) {
  auto sync = app().sync();
  if (!sync || folder.empty()) return;
  std::string base = folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  // A folder that holds one already is never merged into: the next free name.
  std::string fresh = plat::format("%@/%@", base, UserData::getmountname());
  const auto taken = [](const std::string& p) {
    const auto inside = Util::subpathsAtPath(p);
    return plat::statNoFollow(p) && (!inside || !inside->empty());
  };
  for (int n = 2; n < 100 && taken(fresh); ++n) {
    fresh = plat::format("%@/%@ %d", base, UserData::getmountname(), n);
  }
  // Refused before anything is touched.
  const std::string refused = GetMoveFileTask::refusal(sync->syncparent(), fresh);
  if (!refused.empty()) {
    alert(refused, "", {"确定"}, true);
    return;
  }
  auto task = std::make_shared<GetMoveFileTask>(fresh);
  std::weak_ptr<QVWebViewDelegate> weak = weak_from_this();
  std::weak_ptr<GetMoveFileTask> done = task;
  task->setCompletionBlock([weak, done] {
    const auto t = done.lock();
    const bool ok = t && t->succeeded();
    plat::MainThread::perform([weak, ok] {
      auto self = weak.lock();
      if (!self) return;
      if (ok) {
        self->alert("移动目录成功", "", {"确定"}, false);
      } else {
        self->alert("移动目录失败，请重试！", "", {"确定"}, true);
      }
    });
  });
  if (auto queue = app().taskqueue()) {
    queue->addOperation(task);
  } else {
    task->start();
  }
}

void QVWebViewDelegate::mailTo(const std::optional<std::string>& json) {
  std::string subject, content;
  if (auto v = jsonArg(json)) {
    subject = (*v)["subject"].string();
    content = (*v)["content"].string();
  }
  plat::launcher()->openURL(plat::format("mailto:?SUBJECT=%@&BODY=%@", NSStringExpand::urlEncoded(subject),
                                         NSStringExpand::urlEncoded(content)));
}

std::string QVWebViewDelegate::onOpenSelectSyncWindowPath(const std::string& json) {
  auto v = jsonArg(json);
  const std::string start = v && (*v)["path"].isString() ? (*v)["path"].string() : std::string();
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return start;
  auto chosen = toolkit->chooseFolder({start, "确定", sheetParent()});
  return chosen.value_or(start);
}

std::string QVWebViewDelegate::GetResetHost() { return Util::getDealWithHttpsOrHttpUrl(APIHosts::file()); }
std::string QVWebViewDelegate::GetApiHost() { return Util::getDealWithHttpsOrHttpUrl(APIHosts::account()); }
std::string QVWebViewDelegate::GetOAuthHost() { return Util::getDealWithHttpsOrHttpUrl(APIHosts::oauth()); }

void QVWebViewDelegate::ShowSettings() { app().getSettingWindowController(); }
void QVWebViewDelegate::ShowTrans() { app().getLookTransWindowController(); }

void QVWebViewDelegate::Openqvp(const std::string& text) {
  if (!text.empty()) app().OpenQvpUrl(text, AppDelegate::QvpSource::kOwnPage);
}
