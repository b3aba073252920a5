// QVWebViewDelegate: the one object between a page of our web windows and
// the application. It is the page's script object `qvClient` (each call of
// a g-method arrives as a script message and is answered asynchronously),
// turns the page's alerts and confirms into our alerts, puts the page's
// title on the window, and replaces a failed load with a local error page.
// Each web window controller makes its own bridge and names itself as its
// controller; a few calls act only for the login window.
//
// What a page may ask depends on where it comes from, decided at every call
// from the address of the document that sent it, taken when its message
// arrived (never from the page the view shows by the time the call is
// answered, nor from anything the page says):
//   own      a page of our UI packages ("<config>/UI/..." on disk): every call;
//   service  an https page of the service's web site: the calls that only
//            read and give away no secret;
//   none     anything else: nothing (every call answers null).
//
// Main thread only. The bridge lives as long as its controller; after
// set_bWindowsCloes(true) load events are ignored, calls still work.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>
#include <string>

#include "platform/foundation/value.h"
#include "platform/ui/web_view.h"
#include "platform/ui/window.h"

class NSWindowController;
class LoginWebWindowController;

class QVWebViewDelegate : public std::enable_shared_from_this<QVWebViewDelegate> {
public:
  enum class Trust { kNone, kService, kOwn };
  // Where the page at `url` comes from, for the configuration folder.
  static Trust trustOf(const std::string& url, const std::string& configPath);

  // The controller is not owned; it owns the bridge.
  static std::shared_ptr<QVWebViewDelegate> initWithDelegateController(NSWindowController* controller);
  explicit QVWebViewDelegate(NSWindowController* controller) : delegateController_(controller) {}

  // Becomes the view's script object, dialog handler and load observer.
  void attach(const std::shared_ptr<plat::WebView>& view);

  // A page's call of `qvClient.<name>(args...)`: the answer, after the
  // origin rule. Unknown names, hidden methods and refused calls answer null.
  plat::Value call(const std::string& name, const plat::Array& args);
  // The least trust a call needs; nothing for a name pages can't call.
  static std::optional<Trust> trustNeeded(const std::string& name);

  bool bWindowsCloes() const { return bWindowsCloes_; }
  void set_bWindowsCloes(bool closed) { bWindowsCloes_ = closed; }
  NSWindowController* delegateController() const { return delegateController_; }

  // ---- Calls from the owning windows ----
  void returnLoginResult(const plat::Array& result);
  bool onCheckWebPageInfo();
  void onCallWebScriptMethodNotification() { onCheckWebPageInfo(); }

  // ---- Answers to the web view ----
  bool scriptDialog(plat::ScriptDialog kind, const std::string& text);
  void loadStarted(const std::string& url);
  void loadFinished(const std::string& url);
  void titleChanged(const std::string& title);
  void loadFailed(const std::string& url, int code);

  // ---- The page's calls, by method name ----
  int64_t onCompareFilePath(const std::string& path);
  void onOpenPathFilePath(const std::string& webpath);
  int64_t onCheckEmpty(const std::string& path);
  void onOpenPathWithSelect(const std::string& webpath);
  void onOpenWebUrlInfo(const std::string& json);
  std::string onSiteDomain();
  void onCloseWindow();
  void onSetClipboardData(const std::string& text);
  std::string onOpenMainWindowInfo(const std::string& json);
  void onOpenSoleMainWindowInfo(const std::string& json);
  std::string getUserInfo();
  std::string getMessage();
  void onOpenLaunchpadWindow(const std::optional<std::string>& arg);
  void onFavoriteFile(const std::string& path);
  void onSetFileStatus(const std::string& json);
  bool onBtnLoginUserNameAndPW(const std::string& json);
  bool onBtnLoginByKey();
  void onSetttingWindowClicked();
  std::optional<std::string> getCheckLastPath();
  std::string getNormalPath();
  std::optional<std::string> getBindPath();
  void onBtnSelectSyncFileClicked(const std::string& json);
  void setInitInfo(const std::string& json);
  std::optional<std::string> getOauthKey();
  void onBtnLogoutClickedEvent();
  std::string getToken();
  std::string getClientInfo();
  void setLinkPath(const std::string& json);
  std::string getLinkPath();
  void removeLinkPath(const std::string& json);
  std::string getAuthorization(const std::optional<std::string>& json);
  void openDiskPath(const std::string& path);
  void openChildMain(const std::string& json);
  std::string checkLinkPath(const std::string& path);
  void moveBindPath(const std::string& folder);
  void mailTo(const std::optional<std::string>& json);
  std::string onOpenSelectSyncWindowPath(const std::string& json);
  std::string GetResetHost();
  std::string GetApiHost();
  std::string GetOAuthHost();
  void ShowSettings();
  void ShowTrans();
  void Openqvp(const std::string& text);

private:
  LoginWebWindowController* login() const;
  bool isController(const char* className) const;
  std::shared_ptr<plat::Window> sheetParent() const;
  // The offer to open a file that is not here on the web site.
  void offerOnWeb(const std::string& webpath, const std::string& question);
  std::shared_ptr<class BrowserWebWindowController> openBrowser(const plat::Dictionary& info);
  int alert(const std::string& text, const std::string& informative, std::vector<std::string> buttons, bool sheet);

  NSWindowController* delegateController_;
  std::weak_ptr<plat::WebView> view_;
  bool bWindowsCloes_ = false;
};
