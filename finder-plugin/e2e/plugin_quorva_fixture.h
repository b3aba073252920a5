// Quorva signed in against devcloud in the test's process, for the tests
// that show its sync folder through the file-manager module: a team member
// with files in the personal area (and, if asked, in team shares), the
// engine waited for until the files are in step, then stopped with rows of
// every kind the module shows.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/core/QVMenuItem.h"
#include "app/shell/shell_test_util.h"
#include "app/sync/SyncFileItem.h"
#include "app/sync/Syncdb.h"
#include "app/trans/TransManager.h"
#include "finder-plugin/core/fp_test_util.h"

namespace fptest {

class QuorvaSignedInTest : public shelltest::ShellTest {
protected:
  void SetUp() override {
    ShellTest::SetUp();
    runtime_ = std::make_unique<RuntimeDir>();
  }
  void TearDown() override {
    ShellTest::TearDown();
    runtime_.reset();
  }

  // The last record the side bar was given for a selection, or "".
  std::string sideBar() {
    auto bar = ui->window("RightSideWindowController");
    auto view = bar ? std::dynamic_pointer_cast<plat::HeadlessWebView>(bar->content()) : nullptr;
    if (!view) return "";
    const auto calls = view->calls();
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
      if (it->first == "gShellSelect" && !it->second.empty()) return it->second[0].string();
    }
    return "";
  }

  // A member of a team of its own. With `shares`, the team has a folder
  // that is read-only for the member, and both team folders hold a file.
  shelltest::Account teamUser(const std::string& tag, bool shares) {
    using plat::Array;
    using plat::Dictionary;
    using plat::Value;
    const std::string team = "团队" + tag;
    EXPECT_TRUE(cloud().hook("POST", "org", Value(Dictionary{{"name", Value(team)}})).has_value());
    shelltest::Account a = newUser(Dictionary{{"org", Value(team)}});
    EXPECT_TRUE(
        cloud().hook("POST", "team_folder", Value(Dictionary{{"org", Value(team)}, {"name", Value("共同资料")}})).has_value());
    std::vector<std::string> files{"我的.txt", "文档/a.txt", "文档/b.txt", "锁定.txt", "编辑.txt", "不同步/c.txt"};
    if (shares) {
      EXPECT_TRUE(cloud()
                      .hook("POST", "team_folder",
                            Value(Dictionary{{"org", Value(team)},
                                             {"name", Value("只读资料")},
                                             {"readonly_for", Value(Array{Value(a.username)})}}))
                      .has_value());
      files.insert(files.end(), {"共同资料/计划.txt", "只读资料/规定.txt"});
    }
    Array f;
    for (const auto& p : files) f.push_back(Value(Dictionary{{"path", Value(p)}, {"text", Value("text of " + p)}}));
    EXPECT_TRUE(cloud().hook("POST", "files", Value(Dictionary{{"username", Value(a.username)}, {"files", Value(f)}})).has_value());
    return a;
  }

  // Signs the account in and waits until the engine holds the rows of
  // `inStep` (cloud paths) in step.
  void signIn(const shelltest::Account& a, const std::vector<std::string>& inStep) {
    root_ = home() + "/sync/我的Quorva/";
    storeAccount(a, root_);
    launch();
    ASSERT_TRUE(until([&] { return signedIn(); }));
    personal_ = root_ + "个人的文件/";
    team_ = root_ + "团队的文件/";
    std::string names;
    for (const auto& p : inStep) names += (names.empty() ? "'" : ",'") + p + "'";
    Raw raw(app().userdata()->getsyncdb());
    ASSERT_TRUE(until([&] {
      return raw.column("select count(*) from SYNC where status=4 and path in (" + names + ")") ==
             std::vector<std::string>{std::to_string(inStep.size())};
    }, 90)) << "the engine did not bring the files down: " << dump();
  }

  std::string dump() {
    std::string out;
    Raw raw(app().userdata()->getsyncdb());
    for (auto& r : raw.column("select path||' '||status||' '||type from SYNC")) out += r + "; ";
    for (auto& r : raw.column("select path||' org '||org from VERSION")) out += r + "; ";
    return out;
  }

  static QVMenuItem menuItem(const std::string& title, int status, const std::string& action) {
    QVMenuItem item;
    item.setTitle(title);
    item.setStatus(status);
    item.setAction(action);
    return item;
  }

  // Ends the engines' passes, so that the rows written here through the
  // engine's database stay as written while the module looks: the web
  // menu, a file on its way up, a file locked by another member, one being
  // edited here, an excluded folder.
  std::shared_ptr<Syncdb> stopEnginesWithRows(const std::vector<QVMenuItem>& menu) {
    if (auto t = app().trans()) {
      t->exit();
      t->reap();
    }
    app().sync()->exit();
    auto db = app().sync()->syncdb();
    db->insert_menu(menu);
    db->update_status("文档/b.txt", syncstatus::uploading);
    db->update_lock("锁定.txt", synclock::other);
    db->update_lock("编辑.txt", synclock::mine);
    db->insert_unsync_nodes({{"不同步", 0}});
    return db;
  }

  std::unique_ptr<RuntimeDir> runtime_;
  std::string root_, personal_, team_;
};

}  // namespace fptest
