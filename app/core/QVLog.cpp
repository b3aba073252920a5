#include "app/core/QVLog.h"

#include "app/core/Util.h"
#include "platform/foundation/format.h"

QVLog::QVLog() = default;

QVLog::~QVLog() = default;

QVLog& QVLog::sharedQVLog() {
  static QVLog log;
  return log;
}

void QVLog::addLogNormalFile(const std::string& file, const std::string& info) {
  setAddLogInfo(file.empty() ? info : info + file, kFontSize, QVLogColor::greenColor());
}

void QVLog::addLogErrorFile(const std::string& file, const std::string& info) {
  setAddLogInfo(file.empty() ? info : info + file, kFontSize, QVLogColor::redColor());
}

void QVLog::setAddLogInfo(const std::string& text, float fontSize, QVLogColor color) {
  logQueue_.async([this, text, fontSize, color] {
    QVLogLine line{plat::format("%@ %@", Util::getOnlyDate(), text), fontSize, color};
    std::function<void(const QVLogLine&)> mirror;
    {
      std::lock_guard<std::mutex> l(mutex_);
      if (arrLogData_.size() >= kMaxLines) {
        arrLogData_.pop_front();
        if (logCount_ > 0) --logCount_;
      }
      arrLogData_.push_back(line);
      mirror = mirror_;
    }
    if (mirror) mirror(line);
  });
}

void QVLog::displayLogText(QVLogTextView& view) {
  bool part;
  {
    std::lock_guard<std::mutex> l(mutex_);
    part = logCount_ != 0 && !arrLogData_.empty();
  }
  if (part) {
    displayPartLogInfo(view);
  } else {
    displayAllLogInfo(view);
  }
}

void QVLog::displayAllLogInfo(QVLogTextView& view) {
  std::lock_guard<std::mutex> l(mutex_);
  view.setEditable(true);
  view.setString("");
  showFrom(view, 0);
}

void QVLog::displayPartLogInfo(QVLogTextView& view) {
  std::lock_guard<std::mutex> l(mutex_);
  view.setEditable(true);
  showFrom(view, logCount_ > 0 ? static_cast<size_t>(logCount_) : 0);
}

void QVLog::showFrom(QVLogTextView& view, size_t first) {
  for (size_t i = first; i < arrLogData_.size(); ++i) view.insertLine(arrLogData_[i]);
  logCount_ = static_cast<int64_t>(arrLogData_.size());
  view.setEditable(false);
}

std::vector<QVLogLine> QVLog::arrLogData() const {
  std::lock_guard<std::mutex> l(mutex_);
  return {arrLogData_.begin(), arrLogData_.end()};
}

void QVLog::setArrLogData(std::vector<QVLogLine> lines) {
  std::lock_guard<std::mutex> l(mutex_);
  arrLogData_.assign(std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
}

int64_t QVLog::logCount() const {
  std::lock_guard<std::mutex> l(mutex_);
  return logCount_;
}

void QVLog::setLogCount(int64_t count) {
  std::lock_guard<std::mutex> l(mutex_);
  logCount_ = count;
}

void QVLog::flush() {
  logQueue_.sync([] {});
}

void QVLog::setMirror(std::function<void(const QVLogLine&)> mirror) {
  std::lock_guard<std::mutex> l(mutex_);
  mirror_ = std::move(mirror);
}
