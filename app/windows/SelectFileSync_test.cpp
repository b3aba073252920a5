// The selective-sync window against devcloud: the tree filled from the
// service's listings, its three-state checks, and the list of excluded
// folders it gives back; and the launch pad's call that applies the list.
#include "app/shell/MyTimer.h"
#include "app/windows/SelectFileSyncWindowController.h"
#include "app/windows/WebWindows.h"
#include "app/sync/SyncManager.h"
#include "app/windows/window_test_util.h"

namespace shelltest {
namespace {

using Controller = SelectFileSyncWindowController;

class SelectFileSyncTest : public WindowTest {
protected:
  // A user whose personal files hold A (with B, C and a file), D (with E)
  // and a file at the top; with `team` also the team folder 团队资料.
  Account userWithFolders(bool team) {
    static int teams = 0;
    Dictionary extra;
    std::string org;
    if (team) {
      org = "team" + std::to_string(::getpid()) + "_" + std::to_string(++teams);
      extra.set("org", Value(org));
    }
    const Account a = newUser(extra);
    EXPECT_TRUE(cloud().hook("POST", "files",
                             Value(Dictionary{{"username", Value(a.username)},
                                              {"folders", Value(plat::Array{Value("A"), Value("A/B"), Value("A/C"),
                                                                            Value("D"), Value("D/E")})},
                                              {"files", Value(plat::Array{
                                                            Value(Dictionary{{"path", Value("top.txt")}, {"text", Value("t")}}),
                                                            Value(Dictionary{{"path", Value("A/a.txt")}, {"text", Value("a")}})})}})));
    if (team) {
      EXPECT_TRUE(cloud().hook("POST", "team_folder", Value(Dictionary{{"org", Value(org)}, {"name", Value("团队资料")}})));
    }
    return a;
  }

  std::shared_ptr<Controller> open(const std::string& path, const std::vector<UnSyncNodeItem>& nodes) {
    auto c = Controller::make();
    c->initFileDataDirPath(path, nodes);
    return c;
  }
  // Until `n` listings have come back.
  static void listed(Controller& c, int64_t n) {
    ASSERT_TRUE(until([&] { return c.listings() >= n; })) << "no listing came back";
  }
  // The rows as "indent text check", expanded rows marked "+".
  static std::vector<std::string> rows(const Controller& c) {
    std::vector<std::string> out;
    for (const auto& r : c.rows()) {
      out.push_back(std::to_string(int(r.indent)) + " " + r.text + " " + std::to_string(r.check) +
                    (r.expanded ? " +" : ""));
    }
    return out;
  }
  static size_t row(const Controller& c, const std::string& text) {
    const auto r = c.rows();
    for (size_t i = 0; i < r.size(); ++i) {
      if (r[i].text == text) return i;
    }
    ADD_FAILURE() << "no row " << text;
    return r.size();
  }
  static void click(Controller& c, const std::string& text) {
    const size_t i = row(c, text);
    c.onBtnCheckFileClcked(i, c.rows()[i].check == 1 ? 0 : 1);
  }
  static void expand(Controller& c, const std::string& text) {
    const int64_t n = c.listings();
    c.onBtnOpenSubfileClicked(row(c, text));
    listed(c, n + 1);
  }
  static std::vector<std::string> list(const Controller& c, bool* allOut = nullptr) {
    bool all = true;
    std::vector<std::string> out;
    for (const auto& n : c.getunsynclist(all)) out.push_back(n.path + ":" + std::to_string(n.type));
    if (allOut) *allOut = all;
    return out;
  }
};

using Rows = std::vector<std::string>;

TEST_F(SelectFileSyncTest, TheRootsFollowTheAccountAndTheListingFillsThem) {
  signIn(userWithFolders(false));
  auto c = open("/", {});
  EXPECT_EQ(rows(*c), (Rows{"0 个人的文件 1 +"})) << "before the listing only the root";
  listed(*c, 1);
  EXPECT_EQ(rows(*c), (Rows{"0 个人的文件 1 +", "20 \"个人的文件\"中的文件 1", "20 A 1", "20 D 1"}));
  c->runModal();  // nobody answers: closed, 0
}

TEST_F(SelectFileSyncTest, ATeamMemberSeesTheTeamRootAndItsFolders) {
  signIn(userWithFolders(true));
  auto c = open("/", {});
  listed(*c, 1);
  EXPECT_EQ(rows(*c), (Rows{"0 个人的文件 1 +", "20 \"个人的文件\"中的文件 1", "20 A 1", "20 D 1", "0 团队的文件 1 +",
                            "20 团队资料 1"}));
  expand(*c, "团队资料");
  EXPECT_EQ(rows(*c).back(), "40 \"团队资料\"中的文件 1") << "a team folder's listing lands under the team root";
}

TEST_F(SelectFileSyncTest, StoredExclusionsShowAsMixedParentsAndUncheckedNodes) {
  signIn(userWithFolders(false));
  struct Case {
    std::vector<UnSyncNodeItem> stored;
    Rows before;  // before the listing
    Rows after;   // after the root's listing and A's
  } cases[] = {
      {{{"A/B", 0}},
       {"0 个人的文件 -1 +", "20 A -1"},
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 1", "20 A -1 +", "40 \"A\"中的文件 1", "40 B 0", "40 C 1", "20 D 1"}},
      {{{"A", 2}},
       {"0 个人的文件 -1 +", "20 A -1"},
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 1", "20 A -1 +", "40 \"A\"中的文件 0", "40 B 1", "40 C 1", "20 D 1"}},
      {{{"D", 0}, {"", 2}},
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 0", "20 D 0"},
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 0", "20 A 1 +", "40 \"A\"中的文件 1", "40 B 1", "40 C 1", "20 D 0"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.stored.front().path);
    auto c = open("/", k.stored);
    EXPECT_EQ(rows(*c), k.before);
    listed(*c, 1);
    expand(*c, "A");
    EXPECT_EQ(rows(*c), k.after);
    c->runModal();
  }
}

TEST_F(SelectFileSyncTest, ChecksGoDownToChildrenAndUpToParentsAndGiveTheExcludedList) {
  signIn(userWithFolders(false));
  auto c = open("/", {});
  listed(*c, 1);
  expand(*c, "A");
  struct Step {
    const char* click;
    Rows checks;  // every row after the click
    std::vector<std::string> list;
  } steps[] = {
      {"D",
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 1", "20 A 1 +", "40 \"A\"中的文件 1", "40 B 1", "40 C 1", "20 D 0"},
       {"D:0"}},
      {"A",
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 1", "20 A 0 +", "40 \"A\"中的文件 0", "40 B 0", "40 C 0", "20 D 0"},
       {"A:0", "D:0"}},
      {"B",
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 1", "20 A -1 +", "40 \"A\"中的文件 0", "40 B 1", "40 C 0", "20 D 0"},
       {"A:2", "A/C:0", "D:0"}},
      {"\"个人的文件\"中的文件",
       {"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 0", "20 A -1 +", "40 \"A\"中的文件 0", "40 B 1", "40 C 0", "20 D 0"},
       {":2", "A:2", "A/C:0", "D:0"}},
      // The last checked child of a parent whose others are unchecked.
      {"B",
       {"0 个人的文件 0 +", "20 \"个人的文件\"中的文件 0", "20 A 0 +", "40 \"A\"中的文件 0", "40 B 0", "40 C 0", "20 D 0"},
       {}},
      {"个人的文件",
       {"0 个人的文件 1 +", "20 \"个人的文件\"中的文件 1", "20 A 1 +", "40 \"A\"中的文件 1", "40 B 1", "40 C 1", "20 D 1"},
       {}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.click);
    click(*c, s.click);
    EXPECT_EQ(rows(*c), s.checks);
    EXPECT_EQ(list(*c), s.list);
  }
  // A mixed box clicked becomes checked.
  click(*c, "A");  // unchecked
  click(*c, "B");  // A mixed
  ASSERT_EQ(c->rows()[row(*c, "A")].check, -1);
  c->onBtnCheckFileClcked(row(*c, "A"), -1);
  EXPECT_EQ(c->rows()[row(*c, "A")].check, 1);
  c->runModal();
}

TEST_F(SelectFileSyncTest, OkRefusesAnEmptySyncAndAsksBeforeExcluding) {
  signIn(userWithFolders(false));
  auto c = open("/", {});
  listed(*c, 1);
  // Everything unchecked: refused, the window stays.
  click(*c, "个人的文件");
  bool all = true;
  EXPECT_TRUE(list(*c, &all).empty());
  EXPECT_FALSE(all);
  ui->onNextModal([&](const std::shared_ptr<plat::HeadlessWindow>& w) {
    w->clickButton("确定");
    EXPECT_EQ(ui->count("alert", "不能所有的文件都不同步,请重新选择！ [确定|取消]"), 1u);
    EXPECT_FALSE(w->isClosed());
    // Some excluded: asked first; 取消 keeps the window, 确定 ends it.
    auto list = w->checkList();
    list->clickCheck(list->find("A"));
    ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
    w->clickButton("确定");
    ui->answerNextAlert(plat::kAlertFirstButtonReturn);
    w->clickButton("确定");
  });
  EXPECT_EQ(c->runModal(), 1);
  EXPECT_EQ(ui->count("alert", "是否确定当前选择同步文件夹？未选择同步的文件夹将在您的电脑中移除！"), 2u);
  EXPECT_EQ(list(*c), (std::vector<std::string>{":2", "D:0"}));
  EXPECT_TRUE(c->window()->isClosed());

  // Everything checked: ends at once without a question.
  auto d = open("/", {});
  listed(*d, 1);
  const size_t asked = ui->count("alert");
  ui->onNextModal([](const std::shared_ptr<plat::HeadlessWindow>& w) { w->clickButton("确定"); });
  EXPECT_EQ(d->runModal(), 1);
  EXPECT_EQ(ui->count("alert"), asked);
  EXPECT_TRUE(list(*d).empty());
  // Cancel and closing end with 0.
  auto e = open("/", {});
  ui->onNextModal([](const std::shared_ptr<plat::HeadlessWindow>& w) { w->clickButton("取消"); });
  EXPECT_EQ(e->runModal(), 0);
}

TEST_F(SelectFileSyncTest, AFolderGoneFromTheServiceLeavesTheTreeAndOthersKeepTheirChecks) {
  const Account a = userWithFolders(false);
  signIn(a);
  auto c = open("/", {});
  listed(*c, 1);
  expand(*c, "A");
  click(*c, "B");
  RetDelFile del = HTTPEngine::delfile(app().userdata()->userToken(), "A/C", a.mount);
  ASSERT_EQ(del.status, 200);
  c->onBtnOpenSubfileClicked(row(*c, "A"));  // collapse: no listing
  expand(*c, "A");
  EXPECT_EQ(rows(*c), (Rows{"0 个人的文件 -1 +", "20 \"个人的文件\"中的文件 1", "20 A -1 +", "40 \"A\"中的文件 1", "40 B 0",
                            "20 D 1"}));
  c->runModal();
}

TEST_F(SelectFileSyncTest, ALaunchPadChoiceReachesTheSyncEngine) {
  signIn(userWithFolders(false));
  auto pad = app().onMenuOpenQuorvaClicked();
  ui->onNextModal([&](const std::shared_ptr<plat::HeadlessWindow>& w) {
    auto* list = w->checkList().get();
    ASSERT_TRUE(until([&] { return list->find("D") < list->rows().size(); }));
    list->clickCheck(list->find("D"));
    ui->answerNextAlert(plat::kAlertFirstButtonReturn);
    w->clickButton("确定");
  });
  app().setBRemove(false);
  viewOf(*pad)->script("gSelectSyncPath", {Value(R"({"webpath":""})")});
  auto sync = app().sync();
  EXPECT_EQ(sync->unsyncnode().getlist(), (std::vector<UnSyncNodeItem>{{"D", 0}}));
  EXPECT_FALSE(sync->unsyncnode().need_sync("D/E", true));
  EXPECT_EQ(sync->syncdb()->get_unsync_nodes(""), (std::vector<UnSyncNodeItem>{{"D", 0}}));
  EXPECT_TRUE(app().bRemove()) << "the file manager's plug-in reloads";

  // The next choice starts from what is stored.
  ui->onNextModal([&](const std::shared_ptr<plat::HeadlessWindow>& w) {
    auto* list = w->checkList().get();
    EXPECT_EQ(list->rows()[list->find("D")].check, 0);
    w->clickButton("取消");
  });
  viewOf(*pad)->script("gSelectSyncPath", {Value(R"({"webpath":""})")});
  EXPECT_EQ(sync->unsyncnode().getlist(), (std::vector<UnSyncNodeItem>{{"D", 0}})) << "cancelled: unchanged";
}

}  // namespace
}  // namespace shelltest
