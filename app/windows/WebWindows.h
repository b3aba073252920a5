// The launch pad, the browser window, the side bar and the about window.
// The first three show a page through the page bridge (QVWebViewDelegate);
// the about window shows the version and a button to the web site.
// Main thread only.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "app/windows/QVWebViewDelegate.h"
#include "app/windows/WindowControllers.h"

// A window whose page talks to the application through its own bridge.
class BridgedWindowController : public NSWindowController {
public:
  explicit BridgedWindowController(std::shared_ptr<plat::Window> window);
  const std::shared_ptr<QVWebViewDelegate>& delegate() const { return delegate_; }

protected:
  // Made once the controller is shared: the bridge attached to the view.
  void attachBridge();
  std::shared_ptr<QVWebViewDelegate> delegate_;
};

// The launch pad: "<config>/UI/default/chs/launchpad.html", its tab after "#".
class LaunchpadWindowController : public BridgedWindowController {
public:
  static std::shared_ptr<LaunchpadWindowController> make(const std::string& configPath);
  LaunchpadWindowController(std::shared_ptr<plat::Window> window, std::string configPath);
  std::string className() const override { return "LaunchpadWindowController"; }
  void set_tab(const std::string& tab) { tab_ = tab; }
  const std::string& tab() const { return tab_; }
  // The page once the window is loaded; again with the current tab after that.
  void windowDidLoad();
  void reloadhtml();
  // The page lists the linked folders again.
  void updatejs();
  void set_bWindowsCloes(bool closed) { delegate_->set_bWindowsCloes(closed); }
  bool bClose() const { return bClose_; }
  void setBClose(bool v) { bClose_ = v; }

private:
  std::string address() const;
  std::string configPath_;
  std::string tab_;
  bool bReload_ = false;
  bool bClose_ = false;
};

// A window showing any address. It keeps itself while its window is open
// (unless bSoleMain: then its maker keeps it) and goes when it closes.
class BrowserWebWindowController : public BridgedWindowController {
public:
  static std::shared_ptr<BrowserWebWindowController> make();
  explicit BrowserWebWindowController(std::shared_ptr<plat::Window> window);
  std::string className() const override { return "BrowserWebWindowController"; }
  // The address, loaded at once.
  void setStrUrl(const std::string& url);
  const std::string& strUrl() const { return strUrl_; }
  void reloadurl();
  // The loading label, centred in the frame.
  struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Frame&) const = default;
  };
  void setAlertFrame();
  const Frame& alertFrame() const { return alertFrame_; }
  void showLoading(bool shown);
  bool loadingShown() const { return loadingShown_; }
  bool bClose() const { return bClose_; }
  void setBClose(bool v) { bClose_ = v; }
  bool bSoleMain() const { return bSoleMain_; }
  void setBSoleMain(bool v) { bSoleMain_ = v; }
  void showWindow() override;
  // The browser windows open now that keep themselves.
  static size_t openCount();
  // Closes them all (the application ends).
  static void closeAll();

private:
  void windowColsed();
  std::string strUrl_;
  Frame alertFrame_;
  bool loadingShown_ = false;
  bool bClose_ = false;
  bool bSoleMain_ = false;
};

// The side bar beside the file manager: "<config>/UI/default/chs/index.html".
class RightSideWindowController : public BridgedWindowController {
public:
  static std::shared_ptr<RightSideWindowController> make(const std::string& configPath);
  using BridgedWindowController::BridgedWindowController;
  std::string className() const override { return "RightSideWindowController"; }
  // The file manager's selection (a JSON text) for the page's gShellSelect.
  void setShellSelect(const std::string& json);
};

// The version and a button to the web site.
class AboutWindowController : public NSWindowController {
public:
  static std::shared_ptr<AboutWindowController> make();
  using NSWindowController::NSWindowController;
  std::string className() const override { return "AboutWindowController"; }
  void windowDidLoad();
  void onOpenQuorvaWebClicked();
};
