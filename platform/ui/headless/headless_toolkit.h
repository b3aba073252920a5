// The toolkit without a display, for tests and for running on a server. It
// records what a person would see — status item looks, notices, alerts,
// windows shown and hidden, pages loaded and page functions called,
// folders and addresses opened — as a list of sightings, optionally echoed
// as lines ("[notice] 网络已连接！"), and answers modal questions from a
// script: the alerts and folder choices queued by a test (or by the command
// line). With nothing queued an alert takes its default (first) button and
// the folder chooser is cancelled, as a person pressing Return or Escape.
//
// Sightings may be recorded from any thread (notices come from worker
// threads); everything else is for the main thread, whose plat::RunLoop is
// the main loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/launcher.h"
#include "platform/ui/toolkit.h"

namespace plat {

struct Sighting {
  // "status", "panel", "menu", "notice", "alert", "folder", "window", "page", "open",
  // "launch", "reveal", "modal", "button", "clipboard"
  std::string kind;
  std::string text;
  bool operator==(const Sighting&) const = default;
};

class HeadlessToolkit;

class HeadlessWebView : public WebView {
public:
  explicit HeadlessWebView(std::weak_ptr<HeadlessToolkit> toolkit) : toolkit_(std::move(toolkit)) {}
  // Loading succeeds at once: the started and finished handlers run before
  // load() returns.
  void load(const std::string& url) override;
  void reload() override;
  std::string currentURL() const override { return url_; }
  std::string callerURL() const override { return caller_ ? *caller_ : url_; }
  std::string title() const override { return title_; }
  void setUserAgent(const std::string& agent) override { agent_ = agent; }
  const std::string& userAgent() const { return agent_; }
  void setDrawsBackground(bool draws) override { drawsBackground_ = draws; }
  bool drawsBackground() const { return drawsBackground_; }
  // Recorded as a "page" sighting: name(arguments as JSON-like text).
  void callFunction(const std::string& name, const Array& args) override;
  void setScriptHandler(ScriptHandler handler) override { handler_ = std::move(handler); }
  void setLoadStarted(std::function<void(const std::string&)> handler) override { started_ = std::move(handler); }
  void setLoadFinished(std::function<void(const std::string&)> handler) override { loaded_ = std::move(handler); }
  void setLoadFailed(std::function<void(const std::string&, int)> handler) override { failed_ = std::move(handler); }
  void setTitleChanged(std::function<void(const std::string&)> handler) override { titled_ = std::move(handler); }
  void setScriptDialogHandler(std::function<bool(ScriptDialog, const std::string&)> handler) override {
    dialogs_ = std::move(handler);
  }
  void setPopupHandler(std::function<bool(std::shared_ptr<WebView>)> handler) override { popups_ = std::move(handler); }

  // ---- What the page would do ----
  // Calls the script object's method.
  Value script(const std::string& method, const Array& args);
  // A call that the document at `from` sent, answered now that the view
  // shows another page (a page that calls, then navigates).
  Value scriptFrom(const std::string& from, const std::string& method, const Array& args);
  // The page's title (what its document.title says) changes.
  void setPageTitle(const std::string& title);
  // The load of `url` fails with the WebLoadError `code`.
  void failLoad(const std::string& url, int code);
  // The page shows a dialog; the handler's answer.
  bool dialog(ScriptDialog kind, const std::string& text);
  // The page opens a window on `url`: the new view, or null when refused.
  std::shared_ptr<HeadlessWebView> popup(const std::string& url);
  // Every page function called so far, with its arguments.
  std::vector<std::pair<std::string, Array>> calls() const { return calls_; }

private:
  std::weak_ptr<HeadlessToolkit> toolkit_;
  std::string url_, agent_, title_;
  std::optional<std::string> caller_;
  bool drawsBackground_ = true;
  ScriptHandler handler_;
  std::function<void(const std::string&)> started_, loaded_, titled_;
  std::function<void(const std::string&, int)> failed_;
  std::function<bool(ScriptDialog, const std::string&)> dialogs_;
  std::function<bool(std::shared_ptr<WebView>)> popups_;
  std::vector<std::pair<std::string, Array>> calls_;
};

class HeadlessCheckList : public CheckList {
public:
  void setRows(std::vector<CheckRow> rows) override { rows_ = std::move(rows); }
  const std::vector<CheckRow>& rows() const override { return rows_; }
  void setToggleHandler(std::function<void(size_t)> handler) override { toggle_ = std::move(handler); }
  void setCheckHandler(std::function<void(size_t, int)> handler) override { check_ = std::move(handler); }
  // What a click would do: the expand button, or the check box (a checked
  // box becomes unchecked, any other checked).
  void clickToggle(size_t row);
  void clickCheck(size_t row);
  // The row whose text is `text`; rows().size() when none.
  size_t find(const std::string& text) const;

private:
  std::vector<CheckRow> rows_;
  std::function<void(size_t)> toggle_;
  std::function<void(size_t, int)> check_;
};

class HeadlessWindow : public Window {
public:
  HeadlessWindow(std::weak_ptr<HeadlessToolkit> toolkit, WindowSpec spec, double titleBar);
  const std::string& name() const override { return spec_.name; }
  std::string title() const override { return spec_.title; }
  void setTitle(const std::string& title) override { spec_.title = title; }
  void show() override;
  void orderOut() override;
  void close() override;
  bool isVisible() const override { return visible_; }
  bool isClosed() const override { return closed_; }
  Size size() const override { return {spec_.size.width, spec_.size.height + titleBar_}; }
  void setSize(Size frame) override;
  double titleBarHeight() const override { return titleBar_; }
  bool isFullScreen() const override { return false; }
  bool isMiniaturized() const override { return miniaturized_; }
  void deminiaturize() override { miniaturized_ = false; }
  void setFloating(bool floating) override { floating_ = floating; }
  bool isFloating() const { return floating_; }
  void setFrameAutosaveName(const std::string& name) override { autosaveName_ = name; }
  const std::string& frameAutosaveName() const { return autosaveName_; }
  void setTopLeft(Point p) override { topLeft_ = p; }
  Point topLeft() const override { return topLeft_; }
  void setContent(std::shared_ptr<WebView> view) override { content_ = std::move(view); }
  std::shared_ptr<WebView> content() const override { return content_; }
  void setCheckList(std::shared_ptr<CheckList> list) override { checkList_ = std::move(list); }
  std::shared_ptr<HeadlessCheckList> checkList() const;
  void setForm(std::shared_ptr<Form> form) override { form_ = std::move(form); }
  std::shared_ptr<Form> form() const override { return form_; }
  void setLines(const std::vector<std::string>& lines) override;
  const std::vector<std::string>& lines() const { return lines_; }
  void setNotice(const std::string& text) override { notice_ = text; }
  const std::string& notice() const { return notice_; }
  void addButton(const std::string& title, std::function<void()> action) override;
  std::vector<std::string> buttons() const;
  // What a click on the button of that title does; false when there is none.
  bool clickButton(const std::string& title);
  void setParent(std::shared_ptr<Window> parent) override { parent_ = parent; }
  std::shared_ptr<Window> parent() const { return parent_.lock(); }
  void setWillClose(std::function<void()> handler) override { willClose_ = std::move(handler); }
  void setResized(std::function<void()> handler) override { resized_ = std::move(handler); }
  void miniaturize() { miniaturized_ = true; }

private:
  std::weak_ptr<HeadlessToolkit> toolkit_;
  WindowSpec spec_;
  double titleBar_ = 0;
  bool visible_ = false, closed_ = false, miniaturized_ = false, floating_ = false;
  std::string autosaveName_;
  Point topLeft_;
  std::shared_ptr<WebView> content_;
  std::shared_ptr<CheckList> checkList_;
  std::shared_ptr<Form> form_;
  std::vector<std::string> lines_;
  std::string notice_;
  std::vector<std::pair<std::string, std::function<void()>>> buttons_;
  std::weak_ptr<Window> parent_;
  std::function<void()> willClose_, resized_;
};

// The panel as a person would see it: its buttons, the menu last popped up.
class HeadlessPanel : public PanelView {
public:
  explicit HeadlessPanel(std::weak_ptr<HeadlessToolkit> toolkit) : toolkit_(std::move(toolkit)) {}
  void setFrame(Rect frame) override {
    frame_ = frame;
    if (resized_) resized_();
  }
  Rect frame() const override { return frame_; }
  void setArrowX(long x) override { arrowX_ = x; }
  long arrowX() const override { return arrowX_; }
  void show() override;
  void orderOut() override;
  bool isVisible() const override { return visible_; }
  void setButtonTitle(PanelButton b, const std::string& title) override;
  std::string buttonTitle(PanelButton b) const override { return get(b).title; }
  void setButtonImage(PanelButton b, const std::string& image) override { buttons_[b].image = image; }
  std::string buttonImage(PanelButton b) const override { return get(b).image; }
  void setButtonWidth(PanelButton b, double width) override { buttons_[b].width = width; }
  double buttonWidth(PanelButton b) const override { return get(b).width; }
  void setButtonEnabled(PanelButton b, bool enabled) override { buttons_[b].enabled = enabled; }
  bool buttonEnabled(PanelButton b) const override { return get(b).enabled; }
  void setButtonState(PanelButton b, int state) override { buttons_[b].state = state; }
  int buttonState(PanelButton b) const override { return get(b).state; }
  void setButtonTooltip(PanelButton b, const std::string& text) override { buttons_[b].tooltip = text; }
  std::string buttonTooltip(PanelButton b) const { return get(b).tooltip; }
  void setButtonAction(PanelButton b, std::function<void(int)> action) override { buttons_[b].action = std::move(action); }
  void setTrackWidth(double width) override { trackWidth_ = width; }
  double trackWidth() const { return trackWidth_; }
  void setRotation(const std::string& image) override { rotation_ = image; }
  std::string rotation() const override { return rotation_; }
  std::shared_ptr<WebView> webView() override;
  void popUpMenu(const std::shared_ptr<Menu>& menu, PanelButton at) override;
  void setCancel(std::function<void()> handler) override { cancel_ = std::move(handler); }
  void setResignKey(std::function<void()> handler) override { resignKey_ = std::move(handler); }
  void setWillClose(std::function<void()> handler) override { willClose_ = std::move(handler); }
  void setResized(std::function<void()> handler) override { resized_ = std::move(handler); }
  void setClickElsewhere(std::function<void()> handler) override { clickElsewhere_ = std::move(handler); }

  // ---- What the person does ----
  // A click on an enabled button (a toggle changes its state first).
  void click(PanelButton b);
  void pressEscape();
  // Another window takes the keyboard.
  void resignKey();
  // A click outside the panel.
  void clickElsewhere();
  std::shared_ptr<Menu> poppedUpMenu() const { return popped_; }

private:
  struct Button {
    std::string title, image, tooltip;
    double width = 0;
    bool enabled = false;
    int state = 0;
    std::function<void(int)> action;
  };
  Button get(PanelButton b) const {
    auto it = buttons_.find(b);
    return it == buttons_.end() ? Button() : it->second;
  }
  std::weak_ptr<HeadlessToolkit> toolkit_;
  Rect frame_{0, 0, 319, 375};
  long arrowX_ = 0;
  bool visible_ = false;
  std::map<PanelButton, Button> buttons_;
  double trackWidth_ = 0;
  std::string rotation_;
  std::shared_ptr<HeadlessWebView> web_;
  std::shared_ptr<Menu> popped_;
  std::function<void()> cancel_, resignKey_, willClose_, resized_, clickElsewhere_;
};

class HeadlessToolkit : public Toolkit, public std::enable_shared_from_this<HeadlessToolkit> {
public:
  // A long headless run keeps only the newest sightings and notices.
  static constexpr size_t kMaxKept = 10000;

  static std::shared_ptr<HeadlessToolkit> make();

  // Each sighting is also handed to `echo` (on the recording thread).
  void setEcho(std::function<void(const Sighting&)> echo);
  void record(Sighting s);

  // ---- The script of the person ----
  void answerNextAlert(int answer);
  void answerNextFolderChoice(std::optional<std::string> folder);
  // What the person does in the next modal window: `script` runs inside
  // runModal (it may serve the main loop); the window stays modal until
  // stopModal or its closing. Without a script a modal window is closed at
  // once (code 0).
  void onNextModal(std::function<void(const std::shared_ptr<HeadlessWindow>&)> script);
  // The title bar height of the windows made from now on (0 at first).
  void setTitleBarHeight(double height) { titleBar_ = height; }
  std::string clipboardText() const;
  // A click on a notice with that context, or on the status item.
  void clickNotice(const std::string& context);
  void clickStatusItem();

  // ---- What the person saw ----
  std::vector<Sighting> seen() const;
  // Sightings of the kind whose text holds `part`.
  size_t count(const std::string& kind, const std::string& part = "") const;
  // The newest window of that name, whether still open or not.
  std::shared_ptr<HeadlessWindow> window(const std::string& name) const;
  std::optional<StatusItemLook> statusLook() const;
  // The status item's menu and the newest panel.
  std::shared_ptr<Menu> statusMenu() const;
  std::shared_ptr<HeadlessPanel> panel() const { return panel_; }
  // Every notice as it was handed over, whole.
  std::vector<Notice> postedNotices() const;
  // A launcher that records instead of opening: addresses and files as
  // "open", programs as "launch" (program and arguments, blank-separated).
  std::shared_ptr<Launcher> launcher();

  // Runs the main loop (on the main thread) until `done` holds or `seconds`
  // of real time have passed; true when it held.
  static bool runUntil(const std::function<bool()>& done, double seconds);
  // The same, until a sighting of the kind holding `part` is recorded.
  bool runUntilSeen(const std::string& kind, const std::string& part, double seconds);

  // ---- Toolkit ----
  std::shared_ptr<StatusItem> makeStatusItem() override;
  std::shared_ptr<Window> makeWindow(const WindowSpec& spec) override;
  std::shared_ptr<WebView> makeWebView() override;
  std::shared_ptr<CheckList> makeCheckList() override;
  // A form that keeps its controls' state; tests act on it with click,
  // type and choose.
  std::shared_ptr<Form> makeForm() override { return std::make_shared<Form>(); }
  std::shared_ptr<PanelView> makePanel() override;
  std::shared_ptr<NoticeBridge> notices() override;
  int runAlert(const AlertSpec& alert) override;
  std::optional<std::string> chooseFolder(const FolderChoiceSpec& choice) override;
  Size mainScreenSize() const override { return {1920, 1080}; }
  // A fixed-pitch estimate: each character 0.6 of the font size wide (a
  // wide character twice that), lines 1.2 of it high, broken at the width.
  Size measureText(const std::string& text, double width, double fontSize) const override;
  // The alerts shown so far, whole (the "alert" sightings hold their texts).
  std::vector<AlertSpec> alerts() const;
  double statusBarThickness() const override { return 22; }
  double textWidth(const std::string& text, const Font& font) const override;
  int runModal(const std::shared_ptr<Window>& window) override;
  void stopModal(int code) override;
  void setClipboardText(const std::string& text) override;
  void run() override;
  void quit() override;

private:
  HeadlessToolkit() = default;
  class Notices;
  class Item;
  class Recorder;

  mutable std::mutex mutex_;  // sightings, echo, the scripts, the status look
  std::condition_variable changed_;
  std::deque<Sighting> seen_;
  std::function<void(const Sighting&)> echo_;
  std::deque<int> alertAnswers_;
  std::deque<std::optional<std::string>> folderAnswers_;
  std::string clipboard_;
  std::optional<StatusItemLook> statusLook_;
  std::deque<Notice> posted_;
  std::deque<AlertSpec> alerts_;

  // Main thread only (the bridge itself is made with the toolkit).
  std::shared_ptr<Notices> bridge_;
  std::shared_ptr<Item> item_;
  std::shared_ptr<HeadlessPanel> panel_;
  std::map<std::string, std::shared_ptr<HeadlessWindow>> windows_;
  std::deque<std::function<void(const std::shared_ptr<HeadlessWindow>&)>> modalScripts_;
  struct Modal {
    std::optional<int> code;
  };
  std::vector<std::shared_ptr<Modal>> modals_;
  double titleBar_ = 0;
  bool quit_ = false;
};

}  // namespace plat
