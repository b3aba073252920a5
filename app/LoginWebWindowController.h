// LoginWebWindowController: the window in which the user signs in. It shows
// the login page of the UI package "start" and does the native work the
// page asks for: the password and web-login-key sign-ins, the choice of the
// sync folder and the hand-over to login completion. A login result that
// arrives before the page has loaded waits until it has.
//
// Every operation runs on the main thread; the service calls it makes are
// synchronous, so the page waits for each answer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/WindowControllers.h"
#include "app/sync/UnSyncNode.h"
#include "platform/foundation/value.h"

class LoginWebWindowController : public WindowController {
public:
  explicit LoginWebWindowController(std::shared_ptr<plat::Window> window);

  // Loads "<config>/UI/start/chs/login.html" into the window's web view.
  void awakeFromNib(const std::string& configPath);

  // A login result [type, code, message] for the page: shown now when the
  // page has loaded, else kept until it has.
  void setInfoArray(const plat::Array& result);
  std::optional<plat::Array> infoArray() const { return infoArray_; }
  void onJudgeDealArray();
  // Calls the page's gLoginResult with {"type" : ...,"error" : ...,"message" : ...}.
  void returnLoginResult(const plat::Array& result);
  // The text handed to gLoginResult.
  static std::string loginResultText(const plat::Array& result);

  // gLogin: {"username", "password"}; YES when the token and the account
  // information were obtained.
  bool onBtnLoginUserNameAndPW(const std::string& json);
  // gLoginByKey: the stored user name is the web-login key.
  bool onBtnLoginByKey();
  // gOAuthKey: a new web-login key on every call.
  std::string getOauthKey();
  // gBindPath: the sync folder under the chosen folder, or none.
  std::optional<std::string> onBtnSelectPathClicked();
  // gStart: {"path", "syncnode", "overwrite"}: completes the sign-in.
  void setInitInfo(const std::string& json);

  bool bSelectPath() const { return bSelectPath_; }
  const std::string& strWebLoginkey() const { return strWebLoginkey_; }
  const std::vector<UnSyncNodeItem>& unsyncnodes() const { return unsyncnodes_; }
  void setUnsyncnodes(std::vector<UnSyncNodeItem> nodes) { unsyncnodes_ = std::move(nodes); }

private:
  bool signIn(bool withKey, const char* type);

  std::string strWebLoginkey_;
  std::optional<plat::Array> infoArray_;
  std::vector<UnSyncNodeItem> unsyncnodes_;
  bool bSelectPath_ = false;
  bool pageLoaded_ = false;
};
