#include "app/LoginWebWindowController.h"

#include "Framework/JSONDecoder/JSONDecoder.h"
#include "app/AppDelegate.h"
#include "app/UserData.h"
#include "app/Util.h"
#include "app/interface/RequestRet.h"
#include "app/LastSyncdb.h"
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

LoginWebWindowController::LoginWebWindowController(std::shared_ptr<plat::Window> window)
    : WindowController(std::move(window)) {}

void LoginWebWindowController::awakeFromNib(const std::string& configPath) {
  auto view = webView();
  if (!view) return;
  view->setUserAgent(webUserAgent(Util::getAppDelegate().appversion()));
  view->setLoadFinished([this](const std::string&) {
    pageLoaded_ = true;
    if (!window_->isClosed()) onJudgeDealArray();
  });
  view->load("file://" + plat::percentEscapePath(plat::format("%@/UI/start/chs/login.html", configPath)));
}

void LoginWebWindowController::setInfoArray(const plat::Array& result) {
  infoArray_ = result;
  if (pageLoaded_) onJudgeDealArray();
}

void LoginWebWindowController::onJudgeDealArray() {
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

bool LoginWebWindowController::signIn(bool withKey, const char* type) {
  AppDelegate& app = Util::getAppDelegate();
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
  returnLoginResult({plat::Value(type), plat::Value(0), plat::Value(" ")});
  return true;
}

bool LoginWebWindowController::onBtnLoginUserNameAndPW(const std::string& json) {
  auto v = parse(json);
  if (!v) return false;
  auto ud = Util::getAppDelegate().userdata();
  ud->setUserName(textOf(*v, "username"));
  ud->setUserPassword(textOf(*v, "password"));
  return signIn(false, "login");
}

bool LoginWebWindowController::onBtnLoginByKey() { return signIn(true, "weblogin"); }

std::string LoginWebWindowController::getOauthKey() {
  strWebLoginkey_ = Util::getwebloginkey();
  return strWebLoginkey_;
}

std::optional<std::string> LoginWebWindowController::onBtnSelectPathClicked() {
  auto toolkit = plat::Toolkit::current();
  auto chosen = toolkit->chooseFolder({plat::homeDirectory(), "确定", window_});
  if (!chosen) return std::nullopt;
  bSelectPath_ = true;
  AppDelegate& app = Util::getAppDelegate();
  app.setTempsyncpath(UserData::getsyncpath(*chosen));
  return app.tempsyncpath();
}

void LoginWebWindowController::setInitInfo(const std::string& json) {
  auto v = parse(json);
  if (!v) return;
  AppDelegate& app = Util::getAppDelegate();
  auto ud = app.userdata();
  const int64_t path = integerOf(*v, "path");
  if (path == 0) {
    auto db = app.lastsyncdb();
    app.setTempsyncpath(db ? db->getsyncpath(ud->userID()) : std::string());
  } else if (path == 1 || !bSelectPath_) {
    app.setTempsyncpath(UserData::getnormalpath());
  }
  const bool chosenNow = path != 0;
  app.onLoginFinished(flagOf(*v, "overwrite"), chosenNow, flagOf(*v, "syncnode"), chosenNow ? 1 : 0,
                      unsyncnodes_);
  const std::string folder = app.tempsyncpath();
  Util::addfoldertofavorite(folder);
  plat::launcher()->openURL(folder);
  window_->orderOut();
}
