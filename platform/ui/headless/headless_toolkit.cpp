#include "platform/ui/headless/headless_toolkit.h"

#include <chrono>
#include <thread>

#include "platform/foundation/run_loop.h"

namespace plat {

namespace {

std::string argumentsText(const Array& args) {
  std::string out;
  for (const Value& a : args) {
    if (!out.empty()) out += ", ";
    out += a.kind() == Value::Kind::String ? "\"" + a.string() + "\"" : a.description();
  }
  return out;
}

std::string joined(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : sep) + p;
  return out;
}

}  // namespace

// ---- Views ----

void HeadlessWebView::load(const std::string& url) {
  url_ = url;
  if (auto t = toolkit_.lock()) t->record({"page", "load " + url});
  if (loaded_) loaded_(url);
}

void HeadlessWebView::callFunction(const std::string& name, const Array& args) {
  calls_.emplace_back(name, args);
  if (auto t = toolkit_.lock()) t->record({"page", name + "(" + argumentsText(args) + ")"});
}

Value HeadlessWebView::script(const std::string& method, const Array& args) {
  return handler_ ? handler_(method, args) : Value();
}

HeadlessWindow::HeadlessWindow(std::weak_ptr<HeadlessToolkit> toolkit, WindowSpec spec)
    : toolkit_(std::move(toolkit)), spec_(std::move(spec)) {}

void HeadlessWindow::show() {
  if (closed_) return;
  visible_ = true;
  if (auto t = toolkit_.lock()) t->record({"window", "show " + spec_.name});
}

void HeadlessWindow::orderOut() {
  if (!visible_) return;
  visible_ = false;
  if (auto t = toolkit_.lock()) t->record({"window", "hide " + spec_.name});
}

void HeadlessWindow::close() {
  if (closed_) return;
  closed_ = true;
  visible_ = false;
  // The handler may release the last owner of this window.
  auto handler = std::move(willClose_);
  willClose_ = nullptr;
  if (auto t = toolkit_.lock()) t->record({"window", "close " + spec_.name});
  if (handler) handler();
}

class HeadlessToolkit::Notices : public NoticeBridge {
public:
  explicit Notices(std::weak_ptr<HeadlessToolkit> t) : toolkit_(std::move(t)) {}
  bool notify(const Notice& n) override {
    auto t = toolkit_.lock();
    if (!t) return false;
    {
      std::lock_guard<std::mutex> l(t->mutex_);
      if (t->posted_.size() >= kMaxKept) t->posted_.pop_front();
      t->posted_.push_back(n);
    }
    t->record({"notice", n.description});
    return true;
  }
  void setClickHandler(std::function<void(const std::string&)> handler) override {
    std::lock_guard<std::mutex> l(mutex_);
    handler_ = std::move(handler);
  }
  void click(const std::string& context) {
    std::function<void(const std::string&)> h;
    {
      std::lock_guard<std::mutex> l(mutex_);
      h = handler_;
    }
    if (h) h(context);
  }

private:
  std::weak_ptr<HeadlessToolkit> toolkit_;
  std::mutex mutex_;
  std::function<void(const std::string&)> handler_;
};

class HeadlessToolkit::Item : public StatusItem {
public:
  explicit Item(std::weak_ptr<HeadlessToolkit> t) : toolkit_(std::move(t)) {}
  void show(const StatusItemLook& look) override {
    auto t = toolkit_.lock();
    if (!t) return;
    {
      std::lock_guard<std::mutex> l(t->mutex_);
      if (t->statusLook_ == look) return;  // a redraw that changes nothing is not seen
      t->statusLook_ = look;
    }
    std::string text = look.icon;
    if (!look.overlay.empty()) text += " +" + look.overlay;
    if (look.countText != " " && !look.countText.empty()) text += " [" + look.countText + "]";
    if (look.highlighted) text += " (open)";
    t->record({"status", text});
  }
  void setClickHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
  void click() {
    if (handler_) handler_();
  }

private:
  std::weak_ptr<HeadlessToolkit> toolkit_;
  std::function<void()> handler_;
};

// Records instead of opening anything.
class HeadlessToolkit::Recorder : public Launcher {
public:
  explicit Recorder(std::weak_ptr<HeadlessToolkit> t) : toolkit_(std::move(t)) {}
  bool openURL(const std::string& url, Error*) override {
    if (auto t = toolkit_.lock()) t->record({"open", url});
    return true;
  }
  bool launch(const std::string& program, const std::vector<std::string>& args, Error*) override {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    if (auto t = toolkit_.lock()) t->record({"launch", joined(all, " ")});
    return true;
  }

private:
  std::weak_ptr<HeadlessToolkit> toolkit_;
};

// ---- Toolkit ----

std::shared_ptr<HeadlessToolkit> HeadlessToolkit::make() {
  std::shared_ptr<HeadlessToolkit> t(new HeadlessToolkit());
  t->bridge_ = std::make_shared<Notices>(t);
  return t;
}

void HeadlessToolkit::setEcho(std::function<void(const Sighting&)> echo) {
  std::lock_guard<std::mutex> l(mutex_);
  echo_ = std::move(echo);
}

void HeadlessToolkit::record(Sighting s) {
  std::function<void(const Sighting&)> echo;
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (seen_.size() >= kMaxKept) seen_.pop_front();
    seen_.push_back(s);
    echo = echo_;
  }
  changed_.notify_all();
  if (echo) echo(s);
}

void HeadlessToolkit::answerNextAlert(int answer) {
  std::lock_guard<std::mutex> l(mutex_);
  alertAnswers_.push_back(answer);
}

void HeadlessToolkit::answerNextFolderChoice(std::optional<std::string> folder) {
  std::lock_guard<std::mutex> l(mutex_);
  folderAnswers_.push_back(std::move(folder));
}

void HeadlessToolkit::clickNotice(const std::string& context) { bridge_->click(context); }

void HeadlessToolkit::clickStatusItem() {
  if (item_) item_->click();
}

std::vector<Sighting> HeadlessToolkit::seen() const {
  std::lock_guard<std::mutex> l(mutex_);
  return {seen_.begin(), seen_.end()};
}

size_t HeadlessToolkit::count(const std::string& kind, const std::string& part) const {
  std::lock_guard<std::mutex> l(mutex_);
  size_t n = 0;
  for (const auto& s : seen_) {
    if (s.kind == kind && s.text.find(part) != std::string::npos) ++n;
  }
  return n;
}

std::shared_ptr<HeadlessWindow> HeadlessToolkit::window(const std::string& name) const {
  auto it = windows_.find(name);
  return it == windows_.end() ? nullptr : it->second;
}

std::vector<Notice> HeadlessToolkit::postedNotices() const {
  std::lock_guard<std::mutex> l(mutex_);
  return {posted_.begin(), posted_.end()};
}

std::optional<StatusItemLook> HeadlessToolkit::statusLook() const {
  std::lock_guard<std::mutex> l(mutex_);
  return statusLook_;
}

std::shared_ptr<Launcher> HeadlessToolkit::launcher() { return std::make_shared<Recorder>(weak_from_this()); }

bool HeadlessToolkit::runUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  auto loop = MainThread::runLoop();
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (loop->runInMode(kDefaultRunLoopMode, 0.02, true) == RunLoop::RunResult::Finished) {
      // Nothing to serve: wait a little instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

bool HeadlessToolkit::runUntilSeen(const std::string& kind, const std::string& part, double seconds) {
  return runUntil([&] { return count(kind, part) > 0; }, seconds);
}

std::shared_ptr<StatusItem> HeadlessToolkit::makeStatusItem() {
  item_ = std::make_shared<Item>(weak_from_this());
  return item_;
}

std::shared_ptr<Window> HeadlessToolkit::makeWindow(const WindowSpec& spec) {
  auto w = std::make_shared<HeadlessWindow>(weak_from_this(), spec);
  windows_[spec.name] = w;
  return w;
}

std::shared_ptr<WebView> HeadlessToolkit::makeWebView() { return std::make_shared<HeadlessWebView>(weak_from_this()); }

std::shared_ptr<NoticeBridge> HeadlessToolkit::notices() { return bridge_; }

int HeadlessToolkit::runAlert(const AlertSpec& alert) {
  int answer = kAlertFirstButtonReturn;
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (!alertAnswers_.empty()) {
      answer = alertAnswers_.front();
      alertAnswers_.pop_front();
    }
  }
  const size_t index = static_cast<size_t>(answer - kAlertFirstButtonReturn);
  std::string chosen = index < alert.buttons.size() ? alert.buttons[index] : std::to_string(answer);
  record({"alert", alert.text + " [" + joined(alert.buttons, "|") + "] -> " + chosen});
  return answer;
}

std::optional<std::string> HeadlessToolkit::chooseFolder(const FolderChoiceSpec& choice) {
  std::optional<std::string> answer;
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (!folderAnswers_.empty()) {
      answer = folderAnswers_.front();
      folderAnswers_.pop_front();
    }
  }
  record({"folder", "choose in " + choice.startFolder + " -> " + (answer ? *answer : std::string("cancelled"))});
  return answer;
}

void HeadlessToolkit::run() {
  auto loop = MainThread::runLoop();
  // A far-off timer keeps the mode from being empty, so the loop waits.
  auto keep = loop->addTimer(1e9, 1e9, true, [] {});
  while (!quit_) loop->runInMode(kDefaultRunLoopMode, 1e9, false);
  quit_ = false;
  loop->remove(keep);
}

void HeadlessToolkit::quit() {
  quit_ = true;
  MainThread::runLoop()->stop();
}

}  // namespace plat
