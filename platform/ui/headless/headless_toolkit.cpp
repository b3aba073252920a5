#include "platform/ui/headless/headless_toolkit.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

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
  if (started_) started_(url);
  if (loaded_) loaded_(url);
}

void HeadlessWebView::reload() { load(url_); }

void HeadlessWebView::setPageTitle(const std::string& title) {
  title_ = title;
  if (titled_) titled_(title);
}

void HeadlessWebView::callFunction(const std::string& name, const Array& args) {
  calls_.emplace_back(name, args);
  if (auto t = toolkit_.lock()) t->record({"page", name + "(" + argumentsText(args) + ")"});
}

Value HeadlessWebView::script(const std::string& method, const Array& args) { return scriptFrom(url_, method, args); }

Value HeadlessWebView::scriptFrom(const std::string& from, const std::string& method, const Array& args) {
  auto previous = std::exchange(caller_, from);
  Value answer = handler_ ? handler_(method, args) : Value();
  caller_ = std::move(previous);
  return answer;
}

void HeadlessWebView::failLoad(const std::string& url, int code) {
  url_ = url;
  if (auto t = toolkit_.lock()) t->record({"page", "failed " + url + " " + std::to_string(code)});
  if (failed_) failed_(url, code);
}

bool HeadlessWebView::dialog(ScriptDialog kind, const std::string& text) {
  return dialogs_ ? dialogs_(kind, text) : false;
}

std::shared_ptr<HeadlessWebView> HeadlessWebView::popup(const std::string& url) {
  auto view = std::make_shared<HeadlessWebView>(toolkit_);
  view->url_ = url;
  if (!popups_ || !popups_(view)) return nullptr;
  view->load(url);
  return view;
}

void HeadlessCheckList::clickToggle(size_t row) {
  if (row < rows_.size() && rows_[row].hasToggle && toggle_) toggle_(row);
}

void HeadlessCheckList::clickCheck(size_t row) {
  if (row < rows_.size() && check_) check_(row, rows_[row].check == 1 ? 0 : 1);
}

size_t HeadlessCheckList::find(const std::string& text) const {
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].text == text) return i;
  }
  return rows_.size();
}

HeadlessWindow::HeadlessWindow(std::weak_ptr<HeadlessToolkit> toolkit, WindowSpec spec, double titleBar)
    : toolkit_(std::move(toolkit)), spec_(std::move(spec)), titleBar_(titleBar) {}

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

void HeadlessWindow::setSize(Size frame) {
  spec_.size = {frame.width, std::max(0.0, frame.height - titleBar_)};
  if (resized_) resized_();
}

std::shared_ptr<HeadlessCheckList> HeadlessWindow::checkList() const {
  return std::dynamic_pointer_cast<HeadlessCheckList>(checkList_);
}

void HeadlessWindow::setLines(const std::vector<std::string>& lines) {
  lines_ = lines;
  if (auto t = toolkit_.lock()) t->record({"window", spec_.name + " shows " + joined(lines, " / ")});
}

void HeadlessWindow::addButton(const std::string& title, std::function<void()> action) {
  buttons_.emplace_back(title, std::move(action));
}

std::vector<std::string> HeadlessWindow::buttons() const {
  std::vector<std::string> out;
  for (const auto& b : buttons_) out.push_back(b.first);
  return out;
}

bool HeadlessWindow::clickButton(const std::string& title) {
  for (const auto& b : buttons_) {
    if (b.first != title) continue;
    if (auto t = toolkit_.lock()) t->record({"button", spec_.name + " " + title});
    auto action = b.second;  // the action may change the buttons
    if (action) action();
    return true;
  }
  return false;
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
  void setMenu(std::shared_ptr<Menu> menu) override { menu_ = std::move(menu); }
  std::optional<Rect> globalRect() const override { return Rect{1800, 0, 24, 22}; }
  std::shared_ptr<Menu> menu() const { return menu_; }
  std::shared_ptr<Menu> menu_;
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
  bool reveal(const std::string& path, Error*) override {
    if (auto t = toolkit_.lock()) t->record({"reveal", path});
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

std::shared_ptr<Menu> HeadlessToolkit::statusMenu() const { return item_ ? item_->menu() : nullptr; }

std::shared_ptr<PanelView> HeadlessToolkit::makePanel() {
  panel_ = std::make_shared<HeadlessPanel>(weak_from_this());
  return panel_;
}

double HeadlessToolkit::textWidth(const std::string& text, const Font& font) const {
  // Half the size for a narrow character, the whole size for a wide one.
  double width = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
    width += font.points * (len >= 3 ? 1.0 : 0.55);
    i += len;
  }
  return font.bold ? width * 1.1 : width;
}

// ---- The panel ----

void HeadlessPanel::show() {
  visible_ = true;
  if (auto t = toolkit_.lock()) t->record({"panel", "shown"});
}

void HeadlessPanel::orderOut() {
  if (!visible_) return;
  visible_ = false;
  if (auto t = toolkit_.lock()) t->record({"panel", "hidden"});
}

void HeadlessPanel::setButtonTitle(PanelButton b, const std::string& title) {
  if (buttons_[b].title == title) return;
  buttons_[b].title = title;
  if (b == PanelButton::kSync) {
    if (auto t = toolkit_.lock()) t->record({"panel", "sync " + title});
  }
}

void HeadlessPanel::click(PanelButton b) {
  auto& button = buttons_[b];
  if (!button.enabled) return;
  if (b == PanelButton::kOpenWindow) button.state = button.state ? 0 : 1;
  auto action = button.action;
  if (action) action(button.state);
}

void HeadlessPanel::popUpMenu(const std::shared_ptr<Menu>& menu, PanelButton) {
  popped_ = menu;
  if (!menu) return;
  menu->willOpen();
  std::string titles;
  for (const auto& item : menu->items()) titles += (titles.empty() ? "" : "|") + item->title();
  if (auto t = toolkit_.lock()) t->record({"menu", titles});
}

void HeadlessPanel::pressEscape() {
  auto h = cancel_;
  if (h) h();
}

void HeadlessPanel::resignKey() {
  auto h = resignKey_;
  if (visible_ && h) h();
}

void HeadlessPanel::clickElsewhere() {
  auto h = clickElsewhere_;
  if (visible_ && h) h();
}

std::shared_ptr<WebView> HeadlessPanel::webView() {
  if (!web_) web_ = std::make_shared<HeadlessWebView>(toolkit_);
  return web_;
}

std::shared_ptr<Window> HeadlessToolkit::makeWindow(const WindowSpec& spec) {
  auto w = std::make_shared<HeadlessWindow>(weak_from_this(), spec, titleBar_);
  windows_[spec.name] = w;
  return w;
}

std::shared_ptr<WebView> HeadlessToolkit::makeWebView() { return std::make_shared<HeadlessWebView>(weak_from_this()); }

std::shared_ptr<CheckList> HeadlessToolkit::makeCheckList() { return std::make_shared<HeadlessCheckList>(); }

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
  {
    std::lock_guard<std::mutex> l(mutex_);
    alerts_.push_back(alert);
    if (alerts_.size() > kMaxKept) alerts_.pop_front();
  }
  const size_t index = static_cast<size_t>(answer - kAlertFirstButtonReturn);
  std::string chosen = index < alert.buttons.size() ? alert.buttons[index] : std::to_string(answer);
  std::string text = alert.informative.empty() ? alert.text : alert.text + " " + alert.informative;
  record({"alert", text + " [" + joined(alert.buttons, "|") + "] -> " + chosen});
  return answer;
}

std::vector<AlertSpec> HeadlessToolkit::alerts() const {
  std::lock_guard<std::mutex> l(mutex_);
  return {alerts_.begin(), alerts_.end()};
}

Size HeadlessToolkit::measureText(const std::string& text, double width, double fontSize) const {
  const double narrow = fontSize * 0.6, lineHeight = fontSize * 1.2;
  if (text.empty()) return {width, 0};
  int lines = 1;
  double x = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    i += len;
    if (c == '\n') {
      ++lines;
      x = 0;
      continue;
    }
    const double w = len >= 3 ? 2 * narrow : narrow;
    if (x > 0 && x + w > width) {
      ++lines;
      x = 0;
    }
    x += w;
  }
  return {width, lines * lineHeight};
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

void HeadlessToolkit::onNextModal(std::function<void(const std::shared_ptr<HeadlessWindow>&)> script) {
  modalScripts_.push_back(std::move(script));
}

int HeadlessToolkit::runModal(const std::shared_ptr<Window>& window) {
  auto w = std::dynamic_pointer_cast<HeadlessWindow>(window);
  if (!w) return 0;
  record({"modal", "run " + w->name()});
  auto modal = std::make_shared<Modal>();
  modals_.push_back(modal);
  if (modalScripts_.empty()) {
    // Nobody answers: the person closes the window.
    w->close();
  } else {
    auto script = std::move(modalScripts_.front());
    modalScripts_.pop_front();
    script(w);
    runUntil([&] { return modal->code.has_value() || w->isClosed(); }, 1e9);
  }
  modals_.erase(std::find(modals_.begin(), modals_.end(), modal));
  const int code = modal->code.value_or(0);
  record({"modal", "end " + w->name() + " " + std::to_string(code)});
  return code;
}

void HeadlessToolkit::stopModal(int code) {
  if (!modals_.empty() && !modals_.back()->code) modals_.back()->code = code;
}

void HeadlessToolkit::setClipboardText(const std::string& text) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    clipboard_ = text;
  }
  record({"clipboard", text});
}

std::string HeadlessToolkit::clipboardText() const {
  std::lock_guard<std::mutex> l(mutex_);
  return clipboard_;
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
