#include "app/windows/LoginWebWindowController.h"

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "app/windows/PlainWebWindow.h"
#include "app/windows/SelectFileSyncWindowController.h"
#include "app/shell/AppDelegate.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/RequestRet.h"
#include "app/sync/LastSyncdb.h"
#include "platform/foundation/file_util.h"
#include "platform/foundation/format.h"
#include "platform/system/launcher.h"
#include "platform/system/path_escape.h"

namespace {

std::optional<plat::Value> parse(const std::string& json) {
  auto v = JDDeserializing::objectFromJSONString(json);
  if (!v || v->kind() != plat::Value::Kind::Dictionary) return std::nullopt;
  return v;
}

// A missing key, or a value of another kind, reads as "", 0 or NO.
std::string textOf(const plat::Value& v, const char* key) { return v[key].string(); }
int64_t integerOf(const plat::Value& v, const char* key) { return v[key].longLongValue(); }
bool flagOf(const plat::Value& v, const char* key) { return v[key].boolValue(); }

}  // namespace

std::shared_ptr<LoginWebWindowController> LoginWebWindowController::make(const std::string& configPath) {
  auto c = std::make_shared<LoginWebWindowController>(makeWebWindow({"LoginWebWindowController", "Quorva", {400, 560}}));
  LoginWebWindowController* raw = c.get();
  c->awakeFromNib(configPath);
  c->webLoginDone_ = plat::ScopedObserver(WebViewDelegate::kCallWebScriptMethodNotification,
                                          [raw](const plat::Notification&) { raw->delegate()->onCallWebScriptMethodNotification(); });
  return c;
}

LoginWebWindowController::LoginWebWindowController(std::shared_ptr<plat::Window> window)
    : BridgedWindowController(std::move(window)) {}

LoginWebWindowController::~LoginWebWindowController() {
  if (windowController_) windowController_->close();
}

void LoginWebWindowController::awakeFromNib(const std::string& configPath) {
  configPath_ = configPath;
  auto view = webView();
  if (!view) return;
  // The bridge sees the page load, and tells this window.
  if (!delegate_) attachBridge();
  view->setDrawsBackground(false);
  view->load(fileURL(plat::format("%@/UI/start/chs/login.html", configPath)));
}

void LoginWebWindowController::setInfoArray(const plat::Array& result) {
  infoArray_ = result;
  if (pageLoaded_) onJudgeDealArray();
}

void LoginWebWindowController::onJudgeDealArray() {
  pageLoaded_ = true;
  if (!infoArray_) return;
  plat::Array result = std::move(*infoArray_);
  infoArray_.reset();
  returnLoginResult(result);
}

std::string LoginWebWindowController::loginResultText(const plat::Array& result) {
  const auto at = [&](size_t i) { return i < result.size() ? result[i] : plat::Value(); };
  return plat::format("{\"type\" : \"%@\",\"error\" : %d,\"message\" : \"%@\"}", at(0).string(),
                      at(1).intValue(), at(2).string());
}

void LoginWebWindowController::returnLoginResult(const plat::Array& result) {
  if (auto view = webView()) view->callFunction("gLoginResult", {plat::Value(loginResultText(result))});
}

bool LoginWebWindowController::signIn(bool withKey, const char* type, const std::function<void()>& done) {
  AppDelegate& app = AppDelegate::shared();
  RetUserInfo info;
  int64_t tokenError = 0;
  std::string errorText;
  switch (app.signIn(withKey, &info, &tokenError, &errorText)) {
    case AppDelegate::SignIn::kTokenRefused:
      returnLoginResult({plat::Value(type), plat::Value(102), plat::Value(Util::getChangeTokenError(errorText))});
      return false;
    case AppDelegate::SignIn::kNoUserInfo:
      returnLoginResult({plat::Value(type), plat::Value(102), plat::Value("用户信息获取失败")});
      return false;
    case AppDelegate::SignIn::kDone:
      break;
  }
  app.renameoldsyncdb();
  if (done) done();
  returnLoginResult({plat::Value(type), plat::Value(0), plat::Value(" ")});
  return true;
}

bool LoginWebWindowController::onBtnLoginUserNameAndPW(const std::string& json) {
  auto v = parse(json);
  if (!v) return false;
  auto ud = AppDelegate::shared().userdata();
  ud->setUserName(textOf(*v, "username"));
  ud->setUserPassword(textOf(*v, "password"));
  return signIn(false, "login");
}

bool LoginWebWindowController::onBtnLoginByKey() { return signIn(true, "weblogin"); }

std::string LoginWebWindowController::getOauthKey() {
  strWebLoginkey_ = Util::getwebloginkey();
  return strWebLoginkey_;
}

namespace {
// Text for an HTML attribute.
std::string escapeHTML(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}
}  // namespace

std::string LoginWebWindowController::webLoginPage(const std::string& url) {
  // The address comes from the page: it goes into the document as text of
  // an attribute, never as markup, and over https when the setting says so.
  const std::string target = Util::getDealWithHttpsOrHttpUrl("http://" + url);
  return "<!DOCTYPE html><html><head><title> </title><style type=\"text/css\" media=\"screen\">html, body "
         "{height: 100%;width: 100%;background: #FFF;padding: 0;margin: 0;overflow: hidden;-webkit-user-select: "
         "none;}h1 {color: #E0E0E0;margin: 18% 0;text-align: center;font-family: helvetica;}</style>"
         "<meta http-equiv=\"refresh\" content=\"5;url=" +
         escapeHTML(target) + "\"></head><body><h1> Please Wait... </h1></body></html>";
}

void LoginWebWindowController::onOpenMainWindowInfo(const std::string& json) {
  auto v = parse(json);
  if (!v) return;
  const std::string page = plat::format("%@/UI/WebLogin.html", configPath_);
  if (!plat::atomicWrite(page, webLoginPage(textOf(*v, "url")), 0600)) return;
  if (windowController_) windowController_->close();
  windowController_ = WindowController::initWithURL(
      fileURL(page), window_->topLeft(),
      plat::Size{double(integerOf(*v, "width")), double(integerOf(*v, "height"))});
  windowController_->showWindow();
}

bool LoginWebWindowController::onCheckWebPageInfo() {
  AppDelegate::shared().userdata()->setUserName(strWebLoginkey_);
  return signIn(true, "weblogin", [this] {
    if (windowController_) windowController_->close();
  });
}

void LoginWebWindowController::onBtnSelectSyncFileClicked() {
  selectFileSyncController_ = SelectFileSyncWindowController::make();
  selectFileSyncController_->window()->setParent(window_);
  selectFileSyncController_->initFileDataDirPath("/", unsyncnodes_);
  if (selectFileSyncController_->runModal() == 1) {
    bool all = true;
    unsyncnodes_ = selectFileSyncController_->getunsynclist(all);
  }
  selectFileSyncController_.reset();
}

std::optional<std::string> LoginWebWindowController::onBtnSelectPathClicked() {
  auto toolkit = plat::Toolkit::current();
  auto chosen = toolkit->chooseFolder({plat::homeDirectory(), "确定", window_});
  if (!chosen) return std::nullopt;
  bSelectPath_ = true;
  AppDelegate& app = AppDelegate::shared();
  app.setTempsyncpath(UserData::getsyncpath(*chosen));
  return app.tempsyncpath();
}

void LoginWebWindowController::setInitInfo(const std::string& json) {
  auto v = parse(json);
  if (!v) return;
  AppDelegate& app = AppDelegate::shared();
  auto ud = app.userdata();
  const int64_t path = integerOf(*v, "path");
  if (path == 0) {
    auto db = app.lastsyncdb();
    app.setTempsyncpath(db ? db->getsyncpath(ud->userID()) : std::string());
  } else if (path == 1 || !bSelectPath_) {
    app.setTempsyncpath(UserData::getnormalpath());
  }
  const bool chosenNow = path != 0;
  // No folder (the page asked for the stored one, and there is none): the
  // page offers the choice again.
  if (app.tempsyncpath().empty()) {
    returnLoginResult({plat::Value("login"), plat::Value(0), plat::Value("初始化设置信息失败！")});
    return;
  }
  // Completion refused (a failed migration): the user is still signed out,
  // so the window stays, with the reason.
  if (!app.onLoginFinished(flagOf(*v, "overwrite"), chosenNow, flagOf(*v, "syncnode"), chosenNow ? 1 : 0,
                           unsyncnodes_)) {
    returnLoginResult({plat::Value("login"), plat::Value(102), plat::Value(AppDelegate::kChangeOldFailed)});
    return;
  }
  const std::string folder = app.tempsyncpath();
  Util::addfoldertofavorite(folder);
  plat::launcher()->openURL(folder);
  window_->orderOut();
}
