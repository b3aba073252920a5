#include "app/windows/LookTransWindowController.h"

#include <algorithm>

#include "app/shell/AppDelegate.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/trans/TransManager.h"
#include "platform/foundation/error.h"
#include "platform/foundation/format.h"

namespace {

// The form's ids: the outlets' names.
constexpr const char* kTable = "transTableView";
constexpr const char* kAlert = "lblAlert";
constexpr const char* kSyncCount = "lblSyncCount";
constexpr const char* kDownSpeed = "lblDownSpeed";
constexpr const char* kUpSpeed = "lblUpSpeed";
constexpr const char* kImageSync = "imageSync";
constexpr const char* kImageDownload = "imageDownload";
constexpr const char* kImageUpload = "imageUpload";
constexpr const char* kBtnLog = "btnLog";
constexpr const char* kLogView = "logTextView";
constexpr const char* kBtnClear = "btnClearLog";
constexpr const char* kBtnCopy = "btnCopyLog";
constexpr const char* kLoading = "加载中...";

std::string lastComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool hasExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot != std::string::npos && dot != 0 && dot + 1 < name.size();
}

// The log drawer's text view as the log writes it.
class FormLogView : public QVLogTextView {
public:
  FormLogView(plat::Form& form, std::string id) : form_(form), id_(std::move(id)) {}
  void setEditable(bool editable) override { form_.setEditable(id_, editable); }
  void setString(const std::string& text) override { form_.setLogText(id_, text); }
  void insertLine(const QVLogLine& line) override {
    form_.appendLine(id_, {line.text, {line.color.red, line.color.green, line.color.blue, line.color.alpha},
                           line.fontSize});
  }

private:
  plat::Form& form_;
  std::string id_;
};

}  // namespace

std::shared_ptr<LookTransWindowController> LookTransWindowController::make() {
  auto toolkit = plat::Toolkit::current();
  auto window = toolkit->makeWindow({"LookTransWindowController", "传输列表", {720, 460}});
  auto form = toolkit->makeForm();
  auto c = std::make_shared<LookTransWindowController>(window, form);
  c->awakeFromNib();
  c->windowDidLoad();
  return c;
}

LookTransWindowController::LookTransWindowController(std::shared_ptr<plat::Window> window,
                                                     std::shared_ptr<plat::Form> form)
    : NSWindowController(std::move(window)),
      form_(std::move(form)),
      transQueue_(std::make_unique<plat::SerialQueue>("com.trans.queue")) {
  using K = plat::Form::Kind;
  form_->add(K::kImage, kImageSync);
  form_->add(K::kLabel, kSyncCount, kLoading);
  form_->add(K::kImage, kImageDownload).image = "bgTranDownload.tiff";
  form_->add(K::kLabel, kDownSpeed, "下载速度:");
  form_->add(K::kImage, kImageUpload).image = "bgTranUpload.tiff";
  form_->add(K::kLabel, kUpSpeed, "上传速度:");
  // The accessory row at the top right: the log button, and the log's own
  // buttons beside it while the drawer is open.
  form_->add(K::kButton, kBtnClear, "清空日志");
  form_->add(K::kButton, kBtnCopy, "复制日志");
  form_->add(K::kButton, kBtnLog, kLogClosed);
  form_->setVisible(kBtnClear, false);
  form_->setVisible(kBtnCopy, false);
  form_->newRow();
  form_->add(K::kLabel, kAlert, "暂无数据传输...");
  form_->setVisible(kAlert, false);
  form_->add(K::kTable, kTable);
  form_->setColumns(kTable, {{"TransType", "类型", 60},
                             {"TransFileName", "文件名", 300},
                             {"TransFileSize", "大小", 100},
                             {"TransProgress", "进度", 80},
                             {"TransSpeed", "速度", 110}});
  form_->newRow();
  form_->add(K::kLog, kLogView);
  form_->setLineLimit(kLogView, QVLog::kMaxLines);
  form_->setVisible(kLogView, false);
  window_->setForm(form_);
}

LookTransWindowController::~LookTransWindowController() {
  if (timer_) plat::RunLoop::main()->remove(*timer_);
  // Whatever the queue still holds runs now; its results find no one.
  transQueue_.reset();
}

void LookTransWindowController::awakeFromNib() {
  composeInterface();
  removeSyncAnimation();
  addSyncAnimation();
}

void LookTransWindowController::composeInterface() {
  std::weak_ptr<LookTransWindowController> weak = weak_from_this();
  auto act = [weak](void (LookTransWindowController::*m)()) {
    return [weak, m] {
      if (auto s = weak.lock()) ((*s).*m)();
    };
  };
  form_->setAction(kBtnLog, act(&LookTransWindowController::onDetailClicked));
  form_->setAction(kBtnClear, act(&LookTransWindowController::clearLog));
  form_->setAction(kBtnCopy, act(&LookTransWindowController::logPasteboard));
}

void LookTransWindowController::windowDidLoad() {
  transData_.clear();
  std::weak_ptr<LookTransWindowController> weak = weak_from_this();
  auto trans = AppDelegate::shared().trans();
  transQueue_->async([weak, trans] {
    std::vector<TransItem> rows = trans ? trans->getTraningData() : std::vector<TransItem>();
    plat::MainThread::perform([weak, rows = std::move(rows)]() mutable {
      auto s = weak.lock();
      if (!s) return;
      s->transData_ = std::move(rows);
      if (s->bShow_) s->showRows();
    });
  });
  timer_ = plat::RunLoop::main()->addTimer(kReloadInterval, kReloadInterval, true, [weak] {
    if (auto s = weak.lock()) s->reloadTableView();
  });
}

void LookTransWindowController::reloadTableView() {
  if (!bShow_) return;
  AppDelegate& app = AppDelegate::shared();
  if (!app.bLink()) {
    removeSyncAnimation();
    form_->setText(kSyncCount, "网络已断开");
    form_->setImage(kImageSync, "btnPopNotLink.tiff");
    return;
  }
  if (!app.bSyncStart()) {
    removeSyncAnimation();
    form_->setText(kSyncCount, "暂停同步中");
    form_->setImage(kImageSync, "bgTranSyncStop.tiff");
    return;
  }
  const int64_t count = app.synccount();
  std::weak_ptr<LookTransWindowController> weak = weak_from_this();
  auto trans = app.trans();
  transQueue_->async([weak, trans, count] {
    std::vector<TransItem> rows = trans ? trans->getTraningData() : std::vector<TransItem>();
    plat::MainThread::perform([weak, rows = std::move(rows), count]() mutable {
      if (auto s = weak.lock()) s->display(std::move(rows), count);
    });
  });
}

void LookTransWindowController::display(std::vector<TransItem> rows, int64_t count) {
  // Closed while the rows were fetched: nothing more is drawn.
  if (!bShow_) return;
  AppDelegate& app = AppDelegate::shared();
  transData_ = std::move(rows);
  showRows();
  ++reloads_;
  if (form_->text(kBtnLog) == kLogOpen) {
    FormLogView view(*form_, kLogView);
    QVLog::sharedQVLog().displayLogText(view);
  }
  if (transData_.empty() && count == 0) {
    form_->setVisible(kAlert, true);
    if (app.synccount() == 0) {
      removeSyncAnimation();
      form_->setText(kSyncCount, "已同步完");
      form_->setImage(kImageSync, "bgTranSyncFinish.tiff");
    }
    for (const char* id : {kDownSpeed, kUpSpeed, kImageDownload, kImageUpload}) form_->setVisible(id, false);
    return;
  }
  form_->setVisible(kAlert, false);
  for (const char* id : {kDownSpeed, kUpSpeed, kImageDownload, kImageUpload}) form_->setVisible(id, true);
  form_->setText(kSyncCount, plat::format("正在同步%ld个文件", count));
  auto trans = app.trans();
  const uint64_t down = trans ? static_cast<uint64_t>(std::max<int64_t>(0, trans->downloadSpeed())) : 0;
  const uint64_t up = trans ? static_cast<uint64_t>(std::max<int64_t>(0, trans->uploadSpeed())) : 0;
  form_->setText(kDownSpeed, plat::format("下载速度:%@", GetSpeed(down)));
  form_->setText(kUpSpeed, plat::format("上传速度:%@", GetSpeed(up)));
  addSyncAnimation();
}

void LookTransWindowController::showRows() {
  std::vector<plat::TableRow> rows;
  rows.reserve(transData_.size());
  for (size_t r = 0; r < transData_.size(); ++r) {
    plat::TableRow row;
    for (const auto& id : columnIdentifiers()) row.push_back(viewForTableColumn(id, r).value_or(plat::TableCell{}));
    rows.push_back(std::move(row));
  }
  form_->setRows(kTable, std::move(rows));
}

const std::vector<std::string>& LookTransWindowController::columnIdentifiers() {
  static const std::vector<std::string> ids = {"TransType", "TransFileName", "TransFileSize", "TransProgress",
                                               "TransSpeed"};
  return ids;
}

std::optional<plat::TableCell> LookTransWindowController::viewForTableColumn(const std::string& identifier,
                                                                             size_t row) const {
  const auto& ids = columnIdentifiers();
  if (std::find(ids.begin(), ids.end(), identifier) == ids.end()) {
    throw plat::Exception(plat::kInternalInconsistencyException,
                          plat::format("Unhandled table column identifier %@", identifier));
  }
  if (!bShow_ || row >= transData_.size()) return std::nullopt;
  const TransItem& item = transData_[row];
  if (identifier == "TransType") return plat::TableCell{item.directionText(), ""};
  if (identifier == "TransFileName") {
    const std::string name = lastComponent(item.webpath);
    return plat::TableCell{name, hasExtension(name) ? name : ""};
  }
  if (identifier == "TransFileSize") return plat::TableCell{Util::convertFileUnitSize(item.filesize), ""};
  if (identifier == "TransProgress") {
    return plat::TableCell{progressText(item.progress), ""};
  }
  return plat::TableCell{GetSpeed(item.speed), ""};
}

std::string LookTransWindowController::progressText(double progress) {
  return plat::format("%d%%", static_cast<int>(progress * 100));
}

std::string LookTransWindowController::GetSpeed(uint64_t speed) {
  if (speed <= 1048576) return plat::format("%.2f K/S", static_cast<double>(static_cast<float>(speed) / 1024.0f));
  return plat::format("%.2f M/S", static_cast<double>(static_cast<float>(speed)) / 1048576.0);
}

void LookTransWindowController::onDetailClicked() {
  bShouldClose_ = true;
  if (form_->text(kBtnLog) == kLogClosed) {
    form_->setVisible(kLogView, true);
    form_->setVisible(kBtnClear, true);
    form_->setVisible(kBtnCopy, true);
    if (form_->lineCount(kLogView) == 0) {
      FormLogView view(*form_, kLogView);
      QVLog::sharedQVLog().displayLogText(view);
    }
    form_->setEditable(kLogView, false);
    form_->setText(kBtnLog, kLogOpen);
  } else if (drawerShouldClose()) {
    form_->setVisible(kLogView, false);
    form_->setVisible(kBtnClear, false);
    form_->setVisible(kBtnCopy, false);
    form_->setText(kBtnLog, kLogClosed);
  }
}

plat::Size LookTransWindowController::drawerWillResizeContents(plat::Size proposed, plat::Size current) {
  if (proposed.height == 0) bShouldClose_ = false;
  return current;
}

void LookTransWindowController::clearLog() {
  QVLog& log = QVLog::sharedQVLog();
  log.setArrLogData({});
  // The count goes with the lines: else the next lines, fewer than the
  // count, would never be shown.
  log.setLogCount(0);
  form_->setLogText(kLogView, "");
}

void LookTransWindowController::logPasteboard() {
  std::weak_ptr<LookTransWindowController> weak = weak_from_this();
  plat::MainThread::perform([weak] {
    auto s = weak.lock();
    auto toolkit = plat::Toolkit::current();
    if (s && toolkit) toolkit->setClipboardText(s->form_->logText(kLogView));
  });
}

void LookTransWindowController::windowWillClose() {
  bShow_ = false;
  QVLog::sharedQVLog().setLogCount(0);
  if (timer_) {
    plat::RunLoop::main()->remove(*timer_);
    timer_.reset();
  }
}

void LookTransWindowController::addSyncAnimation() {
  AppDelegate& app = AppDelegate::shared();
  const bool start = (!syncFirst_ && app.synccount() != 0 && app.bSyncStart()) || form_->text(kSyncCount) == kLoading;
  if (!start) return;
  removeSyncAnimation();
  form_->setImage(kImageSync, "bgTranSyncing.tiff");
  form_->setRotating(kImageSync, true);
  syncFirst_ = true;
}

void LookTransWindowController::removeSyncAnimation() {
  if (!syncFirst_) return;
  form_->setRotating(kImageSync, false);
  syncFirst_ = false;
}
