#include "platform/ui/headless/headless_toolkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/foundation/run_loop.h"

namespace {

using plat::HeadlessToolkit;
using plat::Sighting;

class HeadlessToolkitTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { plat::MainThread::setCurrentThreadAsMain(); }
  std::shared_ptr<HeadlessToolkit> ui = HeadlessToolkit::make();
};

TEST_F(HeadlessToolkitTest, AlertsTakeTheScriptedAnswerElseTheDefaultButton) {
  plat::AlertSpec quit{"提示", "是否确定退出?", {"确定", "取消"}};
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
  EXPECT_EQ(ui->runAlert(quit), 1001);
  EXPECT_EQ(ui->runAlert(quit), 1000);  // nothing left in the script
  const auto seen = ui->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (Sighting{"alert", "是否确定退出? [确定|取消] -> 取消"}));
  EXPECT_EQ(seen[1], (Sighting{"alert", "是否确定退出? [确定|取消] -> 确定"}));
}

TEST_F(HeadlessToolkitTest, FolderChoicesFollowTheScriptAndCancelWithout) {
  ui->answerNextFolderChoice(std::string("/data/sync"));
  ui->answerNextFolderChoice(std::nullopt);
  plat::FolderChoiceSpec spec{"/home/u", "确定", nullptr};
  EXPECT_EQ(ui->chooseFolder(spec), std::optional<std::string>("/data/sync"));
  EXPECT_EQ(ui->chooseFolder(spec), std::nullopt);
  EXPECT_EQ(ui->chooseFolder(spec), std::nullopt);
  EXPECT_EQ(ui->count("folder", "-> /data/sync"), 1u);
  EXPECT_EQ(ui->count("folder", "-> cancelled"), 2u);
}

TEST_F(HeadlessToolkitTest, WindowsAreSeenShownHiddenAndClosedOnce) {
  auto w = ui->makeWindow({"LoginWebWindowController", "登录", {400, 560}});
  int closing = 0;
  w->setWillClose([&] { ++closing; });
  w->orderOut();  // not shown yet: nothing to see
  w->show();
  w->orderOut();
  w->show();
  w->close();
  w->close();
  w->show();  // a closed window stays closed
  EXPECT_EQ(closing, 1);
  EXPECT_TRUE(w->isClosed());
  EXPECT_FALSE(w->isVisible());
  std::vector<std::string> texts;
  for (const auto& s : ui->seen()) texts.push_back(s.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"show LoginWebWindowController", "hide LoginWebWindowController",
                                             "show LoginWebWindowController", "close LoginWebWindowController"}));
  EXPECT_EQ(ui->window("LoginWebWindowController"), w);
}

TEST_F(HeadlessToolkitTest, PagesLoadAtOnceAndAnswerTheirScriptObject) {
  auto view = std::dynamic_pointer_cast<plat::HeadlessWebView>(ui->makeWebView());
  ASSERT_TRUE(view);
  std::string finished;
  view->setLoadFinished([&](const std::string& url) { finished = url; });
  view->setScriptHandler([](const std::string& method, const plat::Array& args) {
    return plat::Value(method + ":" + std::to_string(args.size()));
  });
  view->load("file:///cfg/UI/start/chs/login.html");
  EXPECT_EQ(finished, "file:///cfg/UI/start/chs/login.html");
  EXPECT_EQ(view->script("gOAuthKey", {}).string(), "gOAuthKey:0");
  view->callFunction("gLoginResult", {plat::Value("{\"type\" : \"login\"}")});
  EXPECT_EQ(ui->count("page", "gLoginResult(\"{\"type\" : \"login\"}\")"), 1u);
  ASSERT_EQ(view->calls().size(), 1u);
  EXPECT_EQ(view->calls()[0].first, "gLoginResult");
}

TEST_F(HeadlessToolkitTest, AStatusLookIsSeenOnlyWhenItChanges) {
  auto item = ui->makeStatusItem();
  plat::StatusItemLook idle{"blueStatusNoneIcon", "", " ", false};
  plat::StatusItemLook syncing{"blueStatusSyncBg", "blueStatusSyncing", "3", true};
  item->show(idle);
  item->show(idle);
  item->show(syncing);
  EXPECT_EQ(ui->count("status"), 2u);
  EXPECT_EQ(ui->count("status", "blueStatusSyncBg +blueStatusSyncing [3] (open)"), 1u);
  EXPECT_EQ(ui->statusLook(), std::optional<plat::StatusItemLook>(syncing));
  int clicks = 0;
  item->setClickHandler([&] { ++clicks; });
  ui->clickStatusItem();
  EXPECT_EQ(clicks, 1);
}

TEST_F(HeadlessToolkitTest, TheLauncherRecordsInsteadOfOpening) {
  auto l = ui->launcher();
  EXPECT_TRUE(l->openURL("/home/u/我的Quorva/"));
  EXPECT_TRUE(l->launch("/opt/quorva/Quorva", {"--headless", "--server", "http://127.0.0.1:1"}));
  EXPECT_EQ(ui->seen(), (std::vector<Sighting>{{"open", "/home/u/我的Quorva/"},
                                               {"launch", "/opt/quorva/Quorva --headless --server http://127.0.0.1:1"}}));
}

// Notices come from worker threads; the main loop serves performs while a
// test waits for what a person would see.
TEST_F(HeadlessToolkitTest, NoticesFromOtherThreadsAreSeenAndEchoedWhole) {
  std::mutex m;
  std::vector<std::string> echoed;
  ui->setEcho([&](const Sighting& s) {
    std::lock_guard<std::mutex> l(m);
    echoed.push_back("[" + s.kind + "] " + s.text);
  });
  auto bridge = ui->notices();
  std::string clicked;
  bridge->setClickHandler([&](const std::string& c) { clicked = c; });
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([bridge, i] {
      for (int k = 0; k < 50; ++k) bridge->notify({"Quorva科技", "n" + std::to_string(i), "", "", {}, 0, false, {}});
    });
  }
  bool performed = false;
  std::thread poster([&] { plat::MainThread::perform([&] { performed = true; }); });
  EXPECT_TRUE(HeadlessToolkit::runUntil([&] { return performed && ui->count("notice") == 200; }, 30));
  for (auto& t : threads) t.join();
  poster.join();
  {
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(echoed.size(), 200u);
    EXPECT_EQ(std::count(echoed.begin(), echoed.end(), "[notice] n3"), 50);
  }
  ui->clickNotice("4");
  EXPECT_EQ(clicked, "4");
}

TEST_F(HeadlessToolkitTest, ALongRunKeepsOnlyTheNewestSightings) {
  auto bridge = ui->notices();
  const size_t n = HeadlessToolkit::kMaxKept + 25;
  for (size_t i = 0; i < n; ++i) bridge->notify({"", "n" + std::to_string(i), "", "", {}, 0, false, {}});
  const auto seen = ui->seen();
  ASSERT_EQ(seen.size(), HeadlessToolkit::kMaxKept);
  EXPECT_EQ(seen.front().text, "n25");
  EXPECT_EQ(seen.back().text, "n" + std::to_string(n - 1));
  EXPECT_EQ(ui->postedNotices().size(), HeadlessToolkit::kMaxKept);
}

TEST_F(HeadlessToolkitTest, QuitEndsTheMainLoopEvenWhenAskedBeforeItRuns) {
  bool early = false, ran = false;
  ui->quit();
  plat::MainThread::perform([&] { early = true; });
  ui->run();  // returns without serving anything
  EXPECT_FALSE(early);
  plat::MainThread::perform([&] {
    ran = true;
    ui->quit();
  });
  ui->run();
  EXPECT_TRUE(early);
  EXPECT_TRUE(ran);
}

}  // namespace
