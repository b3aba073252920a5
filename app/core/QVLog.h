// QVLog: the activity log that the transfer window shows. It lives in memory
// only (at most 500 lines, the oldest dropped first, empty at each launch).
// Writers on any thread add a line without waiting: the line is stamped and
// stored on the log's serial queue "com.log.queue", in the order added.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/serial_queue.h"

struct QVLogColor {
  float red = 0, green = 0, blue = 0, alpha = 1;
  static QVLogColor greenColor() { return {0, 1, 0, 1}; }
  static QVLogColor redColor() { return {1, 0, 0, 1}; }
  bool operator==(const QVLogColor&) const = default;
};

// One line as shown: its text in the system font of `fontSize`, in `color`.
struct QVLogLine {
  std::string text;
  float fontSize = 12;
  QVLogColor color;
  bool operator==(const QVLogLine&) const = default;
};

// The text view of the log drawer, as the log needs it.
class QVLogTextView {
public:
  virtual ~QVLogTextView() = default;
  virtual void setEditable(bool editable) = 0;
  virtual void setString(const std::string& text) = 0;
  // Appends the line and a line break at the end of the text.
  virtual void insertLine(const QVLogLine& line) = 0;
};

class QVLog {
public:
  static constexpr size_t kMaxLines = 500;
  static constexpr float kFontSize = 12;

  QVLog();
  ~QVLog();  // stores what is still queued
  QVLog(const QVLog&) = delete;
  QVLog& operator=(const QVLog&) = delete;

  static QVLog& sharedQVLog();

  // A green line: the info followed directly by the file text.
  void addLogNormalFile(const std::string& file, const std::string& info);
  // The same as a red line.
  void addLogErrorFile(const std::string& file, const std::string& info);
  void setAddLogInfo(const std::string& text, float fontSize, QVLogColor color);

  void displayLogText(QVLogTextView& view);
  void displayAllLogInfo(QVLogTextView& view);
  void displayPartLogInfo(QVLogTextView& view);

  std::vector<QVLogLine> arrLogData() const;
  void setArrLogData(std::vector<QVLogLine> lines);
  int64_t logCount() const;
  void setLogCount(int64_t count);

  // Returns once every line added before the call is stored.
  void flush();

  // Called with every line as it is stored, on the log's queue (the
  // headless form prints them). None by default.
  void setMirror(std::function<void(const QVLogLine&)> mirror);

private:
  void showFrom(QVLogTextView& view, size_t first);

  mutable std::mutex mutex_;  // the lines and logCount; a display holds it throughout
  std::deque<QVLogLine> arrLogData_;
  int64_t logCount_ = 0;
  std::function<void(const QVLogLine&)> mirror_;
  plat::SerialQueue logQueue_{"com.log.queue"};  // last: it drains before the lines go
};
