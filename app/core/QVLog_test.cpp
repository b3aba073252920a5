#include "app/core/QVLog.h"

#include <gtest/gtest.h>
#include <time.h>

#include <map>
#include <thread>

#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread.h"
#include "platform/system/system_test_util.h"

namespace {

// A text view that keeps what it was given, as the drawer's view shows it.
class RecordingView : public QVLogTextView {
public:
  void setEditable(bool e) override {
    editable = e;
    editableChanges.push_back(e);
  }
  void setString(const std::string& t) override {
    lines.clear();
    text = t;
    ++resets;
  }
  void insertLine(const QVLogLine& line) override {
    EXPECT_TRUE(editable) << "inserted while read-only";
    lines.push_back(line);
    text += line.text + "\n";
  }
  bool editable = false;
  std::vector<bool> editableChanges;
  std::vector<QVLogLine> lines;
  std::string text;
  int resets = 0;
};

class QVLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    plat::setClock(clock_);
    tzset();
  }
  void TearDown() override {
    plat::setClock(nullptr);
    tz_.reset();
    tzset();
  }
  // Adds lines "line 1" .. "line n" and waits until they are stored.
  void addLines(QVLog& log, int from, int to) {
    for (int i = from; i <= to; ++i) log.addLogNormalFile("", plat::format("line %d", i));
    log.flush();
  }
  static std::string stamped(int i) { return plat::format("2024/01/01 10:00:00 line %d", i); }

  std::optional<plat::testing::ScopedEnv> tz_{std::in_place, "TZ", "UTC0"};
  std::shared_ptr<plat::ManualClock> clock_ = std::make_shared<plat::ManualClock>();  // 2024-01-01 10:00:00 UTC
};

TEST_F(QVLogTest, LinesAreStampedWhenStoredAndColoured) {
  QVLog log;
  log.addLogNormalFile("/我的Quorva/a.txt", "上传成功：");
  log.addLogErrorFile("", "同步失败");
  log.setAddLogInfo("custom", 14, QVLogColor{0.1f, 0.2f, 0.3f, 1});
  log.flush();
  clock_->advance(65);
  log.addLogNormalFile("b", "");
  log.flush();
  EXPECT_EQ(log.arrLogData(),
            (std::vector<QVLogLine>{{"2024/01/01 10:00:00 上传成功：/我的Quorva/a.txt", 12, QVLogColor::greenColor()},
                                    {"2024/01/01 10:00:00 同步失败", 12, QVLogColor::redColor()},
                                    {"2024/01/01 10:00:00 custom", 14, QVLogColor{0.1f, 0.2f, 0.3f, 1}},
                                    {"2024/01/01 10:01:05 b", 12, QVLogColor::greenColor()}}));
}

TEST_F(QVLogTest, KeepsTheLast500Lines) {
  QVLog log;
  addLines(log, 1, 500);
  ASSERT_EQ(log.arrLogData().size(), 500u);
  addLines(log, 501, 501);
  auto lines = log.arrLogData();
  ASSERT_EQ(lines.size(), 500u);
  EXPECT_EQ(lines.front().text, stamped(2));
  EXPECT_EQ(lines.back().text, stamped(501));
}

TEST_F(QVLogTest, DisplayAppendsOnlyWhatIsNew) {
  QVLog log;
  RecordingView view;
  log.displayLogText(view);  // empty log: a full (empty) display
  EXPECT_EQ(view.resets, 1);
  EXPECT_EQ(view.text, "");

  addLines(log, 1, 500);
  log.displayLogText(view);  // logCount 0: from scratch
  EXPECT_EQ(view.resets, 2);
  EXPECT_EQ(view.lines.size(), 500u);
  EXPECT_EQ(log.logCount(), 500);
  EXPECT_FALSE(view.editable);

  addLines(log, 501, 501);
  EXPECT_EQ(log.logCount(), 499);  // the dropped line was one of those shown
  log.displayLogText(view);
  EXPECT_EQ(view.resets, 2);  // appended, not rebuilt
  ASSERT_EQ(view.lines.size(), 501u);  // the view keeps what the log dropped
  EXPECT_EQ(view.lines.back().text, stamped(501));
  EXPECT_EQ(view.lines.front().text, stamped(1));
  EXPECT_EQ(log.logCount(), 500);
  EXPECT_EQ(view.editableChanges, (std::vector<bool>{true, false, true, false, true, false}));

  // The window closed: the next opening shows the whole log again.
  log.setLogCount(0);
  log.displayLogText(view);
  EXPECT_EQ(view.resets, 3);
  ASSERT_EQ(view.lines.size(), 500u);
  EXPECT_EQ(view.lines.front().text, stamped(2));
  EXPECT_EQ(view.text.substr(0, stamped(2).size() + 1), stamped(2) + "\n");
}

TEST_F(QVLogTest, SixHundredUnseenLinesShowTheLast500) {
  QVLog log;
  addLines(log, 1, 600);
  EXPECT_EQ(log.logCount(), 0);
  RecordingView view;
  log.displayLogText(view);
  ASSERT_EQ(view.lines.size(), 500u);
  EXPECT_EQ(view.lines.front().text, stamped(101));
  EXPECT_EQ(view.lines.back().text, stamped(600));
}

TEST_F(QVLogTest, ClearedLogAndAccessors) {
  QVLog log;
  addLines(log, 1, 3);
  RecordingView view;
  log.displayLogText(view);
  log.setArrLogData({});
  log.displayPartLogInfo(view);  // nothing new, nothing inserted
  EXPECT_EQ(view.lines.size(), 3u);
  EXPECT_EQ(log.logCount(), 0);
  addLines(log, 4, 4);
  log.displayLogText(view);
  ASSERT_EQ(view.lines.size(), 1u);
  EXPECT_EQ(view.lines[0].text, stamped(4));
}

TEST_F(QVLogTest, ConcurrentWritersKeepTheirOrderWithinTheCap) {
  QVLog log;
  constexpr int kWriters = 6, kLines = 250;
  std::vector<std::thread> writers;
  RecordingView view;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(plat::startThread(plat::format("writer%d", w), [&log, w] {
      for (int i = 0; i < kLines; ++i) {
        if (i % 2) {
          log.addLogErrorFile(plat::format("/f%d", i), plat::format("w%d ", w));
        } else {
          log.addLogNormalFile(plat::format("/f%d", i), plat::format("w%d ", w));
        }
      }
    }));
  }
  // A display while lines arrive sees a consistent log.
  for (int i = 0; i < 20; ++i) log.displayLogText(view);
  for (auto& t : writers) t.join();
  log.flush();

  auto lines = log.arrLogData();
  ASSERT_EQ(lines.size(), 500u);
  // Of each writer, the lines kept are the last ones it wrote, in its order.
  std::map<int, std::vector<int>> seen;
  for (const auto& l : lines) {
    int w = -1, i = -1;
    ASSERT_EQ(std::sscanf(l.text.c_str(), "2024/01/01 10:00:00 w%d /f%d", &w, &i), 2) << l.text;
    ASSERT_EQ(l.text, plat::format("2024/01/01 10:00:00 w%d /f%d", w, i));
    EXPECT_EQ(l.color, i % 2 ? QVLogColor::redColor() : QVLogColor::greenColor()) << l.text;
    seen[w].push_back(i);
  }
  size_t total = 0;
  for (auto& [w, idx] : seen) {
    total += idx.size();
    ASSERT_FALSE(idx.empty());
    EXPECT_EQ(idx.back(), kLines - 1) << "writer " << w;
    for (size_t k = 1; k < idx.size(); ++k) ASSERT_EQ(idx[k], idx[k - 1] + 1) << "writer " << w;
  }
  EXPECT_EQ(total, 500u);

  log.displayLogText(view);
  EXPECT_EQ(log.logCount(), 500);
}

TEST_F(QVLogTest, SharedLogIsOne) {
  EXPECT_EQ(&QVLog::sharedQVLog(), &QVLog::sharedQVLog());
  QVLog* a = nullptr;
  QVLog* b = nullptr;
  std::thread t1([&] { a = &QVLog::sharedQVLog(); });
  std::thread t2([&] { b = &QVLog::sharedQVLog(); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, b);
}

}  // namespace
