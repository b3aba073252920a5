// LoginWebWindowController: the window in which the user signs in. It shows
// the login page of the UI package "start" and does the native work the
// page asks for through its bridge: the password and web-login-key
// sign-ins, the web login in a plain web window, the choice of the sync
// folder and of the folders to sync, and the hand-over to login completion.
// A login result that arrives before the page has loaded waits until it has.
//
// Every operation runs on the main thread; the service calls it makes are
// synchronous, so the page waits for each answer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/windows/WebWindows.h"
#include "app/sync/UnSyncNode.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"

class WindowController;
class SelectFileSyncWindowController;

class LoginWebWindowController : public BridgedWindowController {
public:
  // The window, its bridge and the login page "<config>/UI/start/chs/login.html".
  static std::shared_ptr<LoginWebWindowController> make(const std::string& configPath);
  explicit LoginWebWindowController(std::shared_ptr<plat::Window> window);
  ~LoginWebWindowController() override;
  std::string className() const override { return "LoginWebWindowController"; }

  void awakeFromNib(const std::string& configPath);

  // A login result [type, code, message] for the page: shown now when the
  // page has loaded, else kept until it has.
  void setInfoArray(const plat::Array& result);
  std::optional<plat::Array> infoArray() const { return infoArray_; }
  // The page finished loading: a waiting result goes to it.
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
  // gMain: {"url", "width", "height"}: the web login in a plain web window
  // over this one, which goes to the service's login page.
  void onOpenMainWindowInfo(const std::string& json);
  // The web login reached its end: the key is exchanged for a token.
  bool onCheckWebPageInfo();
  // gBindPath: the sync folder under the chosen folder, or none.
  std::optional<std::string> onBtnSelectPathClicked();
  // gSelectSyncPath: the folders to sync, kept for completion.
  void onBtnSelectSyncFileClicked();
  // gStart: {"path", "syncnode", "overwrite"}: completes the sign-in.
  void setInitInfo(const std::string& json);

  bool bSelectPath() const { return bSelectPath_; }
  const std::string& strWebLoginkey() const { return strWebLoginkey_; }
  const std::vector<UnSyncNodeItem>& unsyncnodes() const { return unsyncnodes_; }
  void setUnsyncnodes(std::vector<UnSyncNodeItem> nodes) { unsyncnodes_ = std::move(nodes); }
  std::shared_ptr<WindowController> windowController() const { return windowController_; }
  // The page of the web login window.
  static std::string webLoginPage(const std::string& url);

private:
  // The sign-in steps and the result; `done` runs on success before it.
  bool signIn(bool withKey, const char* type, const std::function<void()>& done = {});

  std::string strWebLoginkey_;
  std::optional<plat::Array> infoArray_;
  std::vector<UnSyncNodeItem> unsyncnodes_;
  bool bSelectPath_ = false;
  bool pageLoaded_ = false;
  std::string configPath_;
  std::shared_ptr<WindowController> windowController_;
  std::shared_ptr<SelectFileSyncWindowController> selectFileSyncController_;
  plat::ScopedObserver webLoginDone_;
};
