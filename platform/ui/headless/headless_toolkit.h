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
  // "status", "notice", "alert", "folder", "window", "page", "open", "launch"
  std::string kind;
  std::string text;
  bool operator==(const Sighting&) const = default;
};

class HeadlessToolkit;

class HeadlessWebView : public WebView {
public:
  explicit HeadlessWebView(std::weak_ptr<HeadlessToolkit> toolkit) : toolkit_(std::move(toolkit)) {}
  // Loading succeeds at once: the load-finished handler runs before load()
  // returns.
  void load(const std::string& url) override;
  std::string currentURL() const override { return url_; }
  void setUserAgent(const std::string& agent) override { agent_ = agent; }
  const std::string& userAgent() const { return agent_; }
  // Recorded as a "page" sighting: name(arguments as JSON-like text).
  void callFunction(const std::string& name, const Array& args) override;
  void setScriptHandler(ScriptHandler handler) override { handler_ = std::move(handler); }
  void setLoadFinished(std::function<void(const std::string&)> handler) override { loaded_ = std::move(handler); }
  // What the page would do: calls the script object's method.
  Value script(const std::string& method, const Array& args);
  // Every page function called so far, with its arguments.
  std::vector<std::pair<std::string, Array>> calls() const { return calls_; }

private:
  std::weak_ptr<HeadlessToolkit> toolkit_;
  std::string url_, agent_;
  ScriptHandler handler_;
  std::function<void(const std::string&)> loaded_;
  std::vector<std::pair<std::string, Array>> calls_;
};

class HeadlessWindow : public Window {
public:
  HeadlessWindow(std::weak_ptr<HeadlessToolkit> toolkit, WindowSpec spec);
  const std::string& name() const override { return spec_.name; }
  const std::string& title() const { return spec_.title; }
  void show() override;
  void orderOut() override;
  void close() override;
  bool isVisible() const override { return visible_; }
  bool isClosed() const override { return closed_; }
  Size size() const override { return spec_.size; }
  void setTopLeft(Point p) override { topLeft_ = p; }
  Point topLeft() const override { return topLeft_; }
  void setContent(std::shared_ptr<WebView> view) override { content_ = std::move(view); }
  std::shared_ptr<WebView> content() const override { return content_; }
  void setWillClose(std::function<void()> handler) override { willClose_ = std::move(handler); }

private:
  std::weak_ptr<HeadlessToolkit> toolkit_;
  WindowSpec spec_;
  bool visible_ = false, closed_ = false;
  Point topLeft_;
  std::shared_ptr<WebView> content_;
  std::function<void()> willClose_;
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
  std::shared_ptr<NoticeBridge> notices() override;
  int runAlert(const AlertSpec& alert) override;
  std::optional<std::string> chooseFolder(const FolderChoiceSpec& choice) override;
  Size mainScreenSize() const override { return {1920, 1080}; }
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
  std::optional<StatusItemLook> statusLook_;
  std::deque<Notice> posted_;

  // Main thread only (the bridge itself is made with the toolkit).
  std::shared_ptr<Notices> bridge_;
  std::shared_ptr<Item> item_;
  std::map<std::string, std::shared_ptr<HeadlessWindow>> windows_;
  bool quit_ = false;
};

}  // namespace plat
