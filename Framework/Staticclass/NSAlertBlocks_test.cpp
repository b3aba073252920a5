// The alerts that answer through blocks, and the text measure, on the
// headless toolkit.
#include <gtest/gtest.h>

#include "Framework/Staticclass/NSAlertBlocks.h"
#include "platform/ui/headless/headless_toolkit.h"

namespace {

class AlertBlocks : public ::testing::Test {
protected:
  void SetUp() override {
    ui = plat::HeadlessToolkit::make();
    plat::Toolkit::setCurrent(ui);
    window = ui->makeWindow({"Owner", "owner", {300, 200}});
  }
  void TearDown() override { plat::Toolkit::setCurrent(nullptr); }
  std::shared_ptr<plat::HeadlessToolkit> ui;
  std::shared_ptr<plat::Window> window;
};

TEST_F(AlertBlocks, EachButtonReachesItsBlock) {
  struct Case {
    std::optional<std::string> cancel;
    int answer;        // index of the button pressed
    int dismissIndex;  // -1: the dismiss block does not run
    bool cancelled;
  } cases[] = {
      {"C", 0, 0, false}, {"C", 1, 1, false}, {"C", 2, -1, true},
      {std::nullopt, 0, 0, false}, {std::nullopt, 1, 1, false},
  };
  for (const auto& c : cases) {
    ui->answerNextAlert(plat::kAlertFirstButtonReturn + c.answer);
    int dismissed = -1;
    bool cancelled = false;
    auto shown = NSAlertBlocks::showSheetModalForWindow(
        window, "message", "more", NSAlertBlocks::AlertStyle::kWarning, c.cancel, {"A", "B"},
        [&](int index) { dismissed = index; }, [&] { cancelled = true; });
    EXPECT_EQ(dismissed, c.dismissIndex) << c.answer;
    EXPECT_EQ(cancelled, c.cancelled) << c.answer;
    const auto alerts = ui->alerts();
    ASSERT_FALSE(alerts.empty());
    EXPECT_EQ(alerts.back().parent, window);  // a sheet of its window
    const std::vector<std::string> titles =
        c.cancel ? std::vector<std::string>{"A", "B", "C"} : std::vector<std::string>{"A", "B"};
    EXPECT_EQ(alerts.back().buttons, titles);
    EXPECT_EQ(shown.informative, "more");
  }
}

TEST_F(AlertBlocks, ASheetOpenedFromAnotherAnswersWithItsOwnBlocks) {
  std::vector<std::string> calls;
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);  // the outer sheet: B
  ui->answerNextAlert(plat::kAlertFirstButtonReturn);      // the inner sheet: its first button
  NSAlertBlocks::showQVSheetModalForWindow(window, "outer", "", NSAlertBlocks::AlertStyle::kInformational, {"A", "B"},
                                           [&](int code) {
                                             calls.push_back("outer " + std::to_string(code));
                                             NSAlertBlocks::showSheetModalForWindow(
                                                 window, "inner", "", NSAlertBlocks::AlertStyle::kWarning, "X", {"Y"},
                                                 [&](int i) { calls.push_back("inner " + std::to_string(i)); },
                                                 [&] { calls.push_back("inner cancel"); });
                                           });
  EXPECT_EQ(calls, (std::vector<std::string>{"outer 1001", "inner 0"}));
}

TEST(TextMeasure, TallerForLongerTextAndNarrowerWidths) {
  auto ui = plat::HeadlessToolkit::make();
  const std::string line = "一二三四五六七八九十 words and more words";
  const auto one = ui->measureText(line, 1000, 12);
  const auto narrow = ui->measureText(line, 60, 12);
  EXPECT_EQ(one.width, 1000);
  EXPECT_GT(one.height, 0);
  EXPECT_GT(narrow.height, one.height);
  EXPECT_GT(ui->measureText(line + "\n" + line, 1000, 12).height, one.height);
  EXPECT_GT(ui->measureText(line, 1000, 24).height, one.height);
  EXPECT_EQ(ui->measureText("", 100, 12).height, 0);
}

}  // namespace
