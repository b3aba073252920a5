// The plug-in's side of the named connection and its submenu, against a
// service on the connection that answers as the main application does.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "finder-plugin/core/QVContextMenuUtils.h"
#include "finder-plugin/core/QVIconOverlayUtils.h"
#include "finder-plugin/core/fp_test_util.h"
#include "platform/foundation/file_util.h"
#include "platform/ipc/named_connection.h"
#include "platform/system/launcher.h"

namespace finder {
namespace {

// Records what would be opened instead of opening windows.
class RecordingLauncher : public plat::Launcher {
public:
  bool openURL(const std::string& url, plat::Error*) override {
    std::lock_guard<std::mutex> l(m);
    opened.push_back(url);
    return true;
  }
  bool launch(const std::string&, const std::vector<std::string>&, plat::Error*) override { return true; }
  std::mutex m;
  std::vector<std::string> opened;
};

class LinkTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = plat::makeTemporaryDirectory("fplink");
    root_ = dir_ + "/sync/";
    personal_ = root_ + "个人的文件/";
    outside_ = dir_ + "/outside";
    for (const auto& d : {personal_ + "dir", outside_}) plat::makeDirectories(d);
    plat::atomicWrite(personal_ + "a.txt", "a");
    plat::atomicWrite(personal_ + "b.txt", "b");
    dbpath_ = dir_ + "/qvsyncdbex.db";
    fptest::Raw raw(dbpath_);
    raw.exec(fptest::kSchema);
    raw.row("a.txt", 1, 4);
    raw.row("b.txt", 1, 4);
    raw.row("dir", 0, 4);
    raw.exec("insert into MENU values('文件共享',0x110);");
    raw.exec("insert into MENU values('文件夹共享',0x120);");
    raw.exec("insert into MENU values('解锁',0x210);");
    launcher_ = std::make_shared<RecordingLauncher>();
    plat::setLauncher(launcher_);
  }
  void TearDown() override {
    server_.reset();
    plat::setLauncher(nullptr);
    plat::removeTree(dir_);
  }

  void serve() {
    server_ = plat::NamedConnectionServer::start(QVIconOverlayUtils::kConnectionName,
                                                 [this](const std::string& m, const plat::Array& a) { return answer(m, a); });
    ASSERT_TRUE(server_);
  }
  std::optional<plat::Value> answer(const std::string& m, const plat::Array& a) {
    std::lock_guard<std::mutex> l(mutex_);
    calls_.push_back(m + (a.empty() ? "" : " " + a.back().description()));
    if (m == "getReset") return plat::Value(reset_.exchange(false));
    if (m == "getSyncPath") return plat::Value(root_);
    if (m == "getDbPath") return plat::Value(dbpath_);
    if (m == "getMountname") return plat::Value("我的Quorva");
    if (m == "getOrgID") return plat::Value(0);
    return std::nullopt;
  }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> l(mutex_);
    return calls_;
  }
  static std::vector<std::string> titles(const std::vector<MenuEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.separator ? "-" : e.title);
    return out;
  }

  fptest::RuntimeDir runtime_;
  std::string dir_, root_, personal_, outside_, dbpath_;
  std::shared_ptr<RecordingLauncher> launcher_;
  std::unique_ptr<plat::NamedConnectionServer> server_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::atomic<bool> reset_{false};
};

TEST_F(LinkTest, TheLookupFollowsTheMainApplicationServingOrNot) {
  QVIconOverlayUtils link;
  link.linkclient();
  EXPECT_FALSE(link.syncdb().bStart()) << "nobody serves yet";
  EXPECT_EQ(link.getstatus(personal_ + "a.txt"), 0);
  serve();
  link.linkclient();
  ASSERT_TRUE(link.syncdb().bStart());
  EXPECT_EQ(link.getstatus(personal_ + "a.txt"), 2);
  EXPECT_EQ(link.loads(), 1);
  link.linkclient();
  EXPECT_EQ(link.loads(), 1) << "no reset, no reload";
  reset_ = true;
  reset_ = true;  // raised twice between two polls
  link.linkclient();
  link.linkclient();
  EXPECT_EQ(link.loads(), 2) << "one reload";
  server_.reset();
  link.linkclient();
  EXPECT_FALSE(link.syncdb().bStart()) << "logout or quit: closed";
  EXPECT_EQ(link.getstatus(personal_ + "b.txt"), 0);
}

TEST_F(LinkTest, ThePollingThreadOpensTheLookupAfterTheServiceAppears) {
  serve();
  QVIconOverlayUtils link;
  std::atomic<int> changes{0};
  link.setOnChange([&] { ++changes; });
  link.start();
  // The change is told after the lookup is open.
  for (int i = 0; i < 100 && (!link.syncdb().bStart() || changes.load() == 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(link.syncdb().bStart());
  EXPECT_EQ(changes.load(), 1);
  link.stop();
}

TEST_F(LinkTest, TheSubmenuFitsTheSelection) {
  serve();
  QVIconOverlayUtils link;
  link.linkclient();
  ASSERT_TRUE(link.syncdb().bStart());
  QVContextMenuUtils menu(link);
  const std::string rootNoSlash = root_.substr(0, root_.size() - 1);
  struct Case {
    std::vector<std::string> paths;
    int index;
    std::vector<std::string> titles;
  };
  const Case cases[] = {
      {{rootNoSlash}, 2, {"打开同步文件夹", "最近浏览的文件夹"}},
      {{outside_}, 2, {"打开同步文件夹", "同步到云端", "最近浏览的文件夹"}},
      {{personal_ + "a.txt"}, 3, {"打开同步文件夹", "最近浏览的文件夹", "-", "文件共享"}},
      {{personal_ + "dir"}, 2, {"打开同步文件夹", "最近浏览的文件夹", "-", "文件夹共享", "-", "立即重新同步"}},
      {{personal_ + "a.txt", personal_ + "b.txt"}, 5, {"打开同步文件夹", "最近浏览的文件夹"}},
      {{personal_ + "dir", outside_}, 2, {"打开同步文件夹", "最近浏览的文件夹"}},
  };
  for (const Case& c : cases) {
    auto m = menu.addQVOptionsInMenu(c.paths);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->index, c.index) << c.paths[0];
    ASSERT_EQ(m->entries.size(), 2u);
    EXPECT_TRUE(m->entries[0].separator);
    EXPECT_EQ(m->entries[1].title, "我的Quorva");
    EXPECT_EQ(titles(m->entries[1].submenu), c.titles) << c.paths[0];
  }
  auto m = menu.addQVOptionsInMenu({outside_});
  const auto& recent = m->entries[1].submenu.back();
  ASSERT_EQ(recent.submenu.size(), 1u);
  EXPECT_EQ(recent.submenu[0].title, "空");
  EXPECT_TRUE(recent.submenu[0].action.empty()) << "shown disabled";
  EXPECT_EQ(m->entries[1].submenu[0].submenu[0].title, root_);

  server_.reset();
  link.linkclient();
  EXPECT_FALSE(menu.addQVOptionsInMenu({personal_ + "a.txt"})) << "closed: no submenu";
}

TEST_F(LinkTest, TheActionsReachTheServiceOrOpenFolders) {
  serve();
  QVIconOverlayUtils link;
  link.linkclient();
  QVContextMenuUtils menu(link);
  link.getstatus(personal_ + "dir/x");  // a state records its folder
  link.getstatus(personal_ + "a.txt");

  menu.addQVOptionsInMenu({personal_ + "dir"});
  menu.perform("qvsyncnow", 0);
  menu.perform("qvclickaction", 1);
  menu.addQVOptionsInMenu({outside_});
  menu.perform("qvmklink", 0);
  menu.drain();
  const auto c = calls();
  EXPECT_NE(std::find(c.begin(), c.end(), "menusyncnow " + personal_ + "dir"), c.end());
  EXPECT_NE(std::find(c.begin(), c.end(), "menuclick " + personal_ + "dir"), c.end());
  EXPECT_NE(std::find(c.begin(), c.end(), "menumklink " + outside_), c.end());

  menu.perform("qvopensyncpath", 0);
  menu.perform("qvopensyncpath", 1);  // outside the list: nothing
  menu.perform("qvopenhistory", 0);
  menu.perform("qvopenhistory", 7);
  {
    std::lock_guard<std::mutex> l(launcher_->m);
    const std::vector<std::string> expected{root_, personal_.substr(0, personal_.size() - 1)};
    EXPECT_EQ(launcher_->opened, expected);
  }
  server_.reset();
  menu.perform("qvsyncnow", 0);  // nobody serves: dropped without a word
  menu.drain();
}

}  // namespace
}  // namespace finder
