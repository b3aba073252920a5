// The status item's popup panel: a small window without a frame that hangs
// under the item with an arrow pointing at it, a row of buttons and a web
// view. The application's controller says what the buttons show and do;
// the toolkit draws them. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/menu.h"
#include "platform/ui/web_view.h"
#include "platform/ui/window.h"

namespace plat {

enum class PanelButton { kSync, kStart, kSetting, kOpenDir, kOpenWindow, kMessage, kTrans };

class PanelView {
public:
  virtual ~PanelView() = default;
  virtual void setFrame(Rect frame) = 0;
  virtual Rect frame() const = 0;
  // The tip of the arrow, from the panel's left edge.
  virtual void setArrowX(long x) = 0;
  virtual long arrowX() const = 0;
  // Shown in front, with the keyboard.
  virtual void show() = 0;
  virtual void orderOut() = 0;
  virtual bool isVisible() const = 0;

  virtual void setButtonTitle(PanelButton b, const std::string& title) = 0;
  virtual std::string buttonTitle(PanelButton b) const = 0;
  // An image name; "" for none.
  virtual void setButtonImage(PanelButton b, const std::string& image) = 0;
  virtual std::string buttonImage(PanelButton b) const = 0;
  virtual void setButtonWidth(PanelButton b, double width) = 0;
  virtual double buttonWidth(PanelButton b) const = 0;
  virtual void setButtonEnabled(PanelButton b, bool enabled) = 0;
  virtual bool buttonEnabled(PanelButton b) const = 0;
  // A toggle button's state (0 or 1).
  virtual void setButtonState(PanelButton b, int state) = 0;
  virtual int buttonState(PanelButton b) const = 0;
  virtual void setButtonTooltip(PanelButton b, const std::string& text) = 0;
  // Run with the button's state after the click changed it.
  virtual void setButtonAction(PanelButton b, std::function<void(int state)> action) = 0;
  // The track behind the sync button.
  virtual void setTrackWidth(double width) = 0;
  // The image turning over the sync button ("" stops it).
  virtual void setRotation(const std::string& image) = 0;
  virtual std::string rotation() const = 0;
  virtual std::shared_ptr<WebView> webView() = 0;
  // Pops the menu up at the button's corner; returns once it is shown.
  virtual void popUpMenu(const std::shared_ptr<Menu>& menu, PanelButton at) = 0;

  // Esc, the loss of the keyboard while visible, and a request to close.
  virtual void setCancel(std::function<void()> handler) = 0;
  virtual void setResignKey(std::function<void()> handler) = 0;
  virtual void setWillClose(std::function<void()> handler) = 0;
  // A mouse button released anywhere outside the panel while it is shown
  // (another application's window, the desktop), or the pointer taken by
  // another application.
  virtual void setClickElsewhere(std::function<void()> handler) = 0;
  virtual void setResized(std::function<void()> handler) = 0;
};

}  // namespace plat
