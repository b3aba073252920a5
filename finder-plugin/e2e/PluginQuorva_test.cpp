// The plug-in and the main application together, in one process as a test
// can have them: Quorva signed in against devcloud with its engines running
// and its named connection registered, and the extension module loaded by
// the headless host as Nautilus loads it, asking its providers about the
// files the sync engine wrote into its database.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "app/shell/IconMsg.h"
#include "app/shell/MyTimer.h"
#include "app/core/Util.h"
#include "app/trans/TransManager.h"
#include "app/core/QVMenuItem.h"
#include "app/windows/WebWindows.h"
#include "app/shell/shell_test_util.h"
#include "app/sync/SyncFileItem.h"
#include "app/sync/Syncdb.h"
#include "finder-plugin/core/fp_test_util.h"
#include "finder-plugin/e2e/plugin_quorva_fixture.h"
#include "finder-plugin/host/nautilus_host.h"
#include "platform/foundation/notification_center.h"
#include "platform/ipc/named_connection.h"

namespace {

using plat::Array;
using plat::Dictionary;
using plat::Value;

class PluginQuorvaTest : public fptest::QuorvaSignedInTest {
protected:
  void signIn(const shelltest::Account& a) {
    QuorvaSignedInTest::signIn(a, {"我的.txt", "编辑.txt", "锁定.txt", "文档/b.txt", "共同资料/计划.txt", "只读资料/规定.txt"});
  }
};

TEST_F(PluginQuorvaTest, IconMsgAnswersOverTheNamedConnection) {
  const shelltest::Account a = teamUser(std::to_string(::getpid()) + "a", true);
  signIn(a);
  auto proxy = plat::RemoteProxy::lookup(IconMsg::kConnectionName);
  ASSERT_TRUE(proxy) << "registered at the login completion";
  EXPECT_TRUE(proxy->call("getReset")->boolValue()) << "completion raised the reset flag";
  EXPECT_FALSE(proxy->call("getReset")->boolValue()) << "seen by one call only";
  EXPECT_EQ(proxy->call("getSyncPath")->string(), root_);
  EXPECT_EQ(proxy->call("getDbPath")->string(), app().userdata()->getsyncdb());
  EXPECT_EQ(proxy->call("getMountname")->string(), "我的Quorva");
  EXPECT_EQ(proxy->call("getOrgID")->longLongValue(), a.org);
  EXPECT_GT(a.org, 0);

  // The history: a folder first once, at most five.
  app().userdata()->setHistoryArray({});
  EXPECT_EQ(proxy->call("getHistory")->count(), 0u);
  struct Step {
    std::string path;
    std::vector<std::string> history;
  };
  const Step steps[] = {
      {"/a/b/c.txt", {"/a/b"}},
      {"/a/b/d.txt", {"/a/b"}},
      {"bare.txt", {"/a/b"}},
      {"/top.txt", {"/a/b"}},
      {"/f2/x", {"/f2", "/a/b"}},
      {"/f3/x", {"/f3", "/f2", "/a/b"}},
      {"/f4/x", {"/f4", "/f3", "/f2", "/a/b"}},
      {"/f5/x", {"/f5", "/f4", "/f3", "/f2", "/a/b"}},
      {"/f6/x", {"/f6", "/f5", "/f4", "/f3", "/f2"}},
  };
  for (const Step& s : steps) {
    proxy->call("addHistory", {Value(s.path)});
    Array expected;
    for (const auto& h : s.history) expected.emplace_back(h);
    EXPECT_EQ(*proxy->call("getHistory"), Value(expected)) << s.path;
  }
  fptest::Raw raw(app().userdata()->getsyncdb());
  EXPECT_EQ(raw.column("select path from HISTORY"), (std::vector<std::string>{"/f6", "/f5", "/f4", "/f3", "/f2"}));

  // The web menu: "gMain" posts its notification, an index past the end does nothing.
  const QVMenuItem share = menuItem("分享", 0x110, "gMain"), lock = menuItem("锁定", 0x210, "gLock");
  app().userdata()->setMenuArray({share, lock});
  EXPECT_EQ(*proxy->call("getMenu"), Value(Array{Value(Array{Value("分享"), Value(0x110)}), Value(Array{Value("锁定"), Value(0x210)})}));
  std::mutex m;
  std::vector<Value> posted;
  plat::ScopedObserver watch("gMain", [&](const plat::Notification& n) {
    std::lock_guard<std::mutex> l(m);
    posted.push_back(n.object);
  });
  proxy->call("menuclick", {Value(2), Value(personal_ + "我的.txt")});
  proxy->call("menuclick", {Value(1), Value(personal_ + "我的.txt")});
  proxy->call("menuclick", {Value(0), Value(personal_ + "我的.txt")});
  {
    std::lock_guard<std::mutex> l(m);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], Value(Array{Value(0), Value(personal_ + "我的.txt")}));
  }
  EXPECT_FALSE(proxy->call("menuclick", {Value("not a number"), Value(1)})->count()) << "wrong kinds are ignored";
}

TEST(IconMsgPage, TheMakeLinkPageCarriesThePathAsItsFragment) {
  EXPECT_EQ(IconMsg::mkLinkURL("/c f", ""), "file:///c%20f/UI/default/chs/add_link.html");
  EXPECT_EQ(IconMsg::mkLinkURL("/c", "/home/u/my dir"),
            "file:///c/UI/default/chs/add_link.html#%2Fhome%2Fu%2Fmy%20dir");
}

TEST_F(PluginQuorvaTest, TheModuleShowsTheEngineStatesAndItsSubmenuReachesQuorva) {
  const shelltest::Account a = teamUser(std::to_string(::getpid()) + "b", true);
  const std::string linked = home() + "/linked";
  plat::makeDirectories(linked + "/inner");
  plat::atomicWrite(linked + "/inner/l.txt", "l");
  signIn(a);
  const QVMenuItem share = menuItem("分享", 0x110, "gMain"), unlock = menuItem("解锁", 0x210, "gLock");
  auto db = stopEnginesWithRows({share, unlock});
  // A linked folder with a file in step.
  db->add_link("链接", linked);
  db->add_new_file([] {
    SyncFileItem row;
    row.webpath = "链接/inner/l.txt";
    row.parent = "链接/inner";
    row.file = true;
    row.status = syncstatus::synced;
    return row;
  }());
  app().setBRemove(true);

  g_set_prgname("nautilus");
  fphost::NautilusHost host;
  std::string error;
  ASSERT_TRUE(host.load(FP_MODULE, &error)) << error;
  ASSERT_EQ(host.typeCount(), 1);
  EXPECT_TRUE(host.hasInfoProvider());
  EXPECT_TRUE(host.hasMenuProvider());
  ASSERT_TRUE(until([&] {
    host.pump();
    return host.lookupOpen();
  }, 15)) << "the module's link found Quorva";

  struct Case {
    std::string path;
    std::string emblem;
  };
  const Case cases[] = {
      {personal_ + "我的.txt", "quorva-synced"},          // in step
      {personal_ + "文档", "quorva-normally"},            // holds a file waiting
      {personal_ + "文档/b.txt", "quorva-normally"},      // being uploaded
      {personal_ + "锁定.txt", "quorva-lock"},            // locked by another member
      {personal_ + "编辑.txt", "quorva-edit"},            // being edited here
      {personal_ + "不同步", "quorva-unsync"},            // excluded
      {personal_ + "共同资料", "quorva-unsync"},          // a team root's name: refused here
      {root_ + "stray.txt", "quorva-unsync"},             // beside the areas
      {linked + "/inner/l.txt", "quorva-synced"},         // in a linked folder
      {team_ + "共同资料/计划.txt", "quorva-synced"},     // a team share
      {team_ + "只读资料/规定.txt", "quorva-synced"},     // read-only: in step, nothing to edit
      {personal_ + "新.txt", ""},                         // no row yet
      {home() + "/elsewhere.txt", ""},                    // outside every sync folder
  };
  for (const Case& c : cases) {
    const auto emblems = host.emblemsFor(c.path);
    EXPECT_EQ(emblems, c.emblem.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.emblem})
        << c.path;
  }

  // The submenu, per selection. Each menu reports its selection too: no
  // lock notice for these.
  app().setBLockMsg(false);
  auto labels = [](const std::vector<fphost::HostMenuItem>& items) {
    std::vector<std::string> out;
    for (const auto& i : items) out.push_back(i.label);
    return out;
  };
  auto top = host.menuFor({personal_ + "我的.txt"});
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].label, "我的Quorva");
  EXPECT_EQ(labels(top[0].submenu), (std::vector<std::string>{"打开同步文件夹", "最近浏览的文件夹", "分享"}));
  EXPECT_EQ(labels(top[0].submenu[0].submenu), (std::vector<std::string>{root_, linked}));
  EXPECT_EQ(labels(host.menuFor({personal_ + "锁定.txt"})[0].submenu),
            (std::vector<std::string>{"打开同步文件夹", "最近浏览的文件夹", "解锁"}));
  EXPECT_EQ(labels(host.menuFor({personal_ + "文档"})[0].submenu),
            (std::vector<std::string>{"打开同步文件夹", "最近浏览的文件夹", "立即重新同步"}));
  EXPECT_EQ(labels(host.menuFor({home()})[0].submenu),
            (std::vector<std::string>{"打开同步文件夹", "同步到云端", "最近浏览的文件夹"}));
  EXPECT_TRUE(host.menuFor({home() + "/elsewhere.txt"})[0].submenu.size() == 2) << "a file outside: nothing to do with it";

  // The selection the file manager asks a menu for reaches Quorva's side
  // bar, and a file another member locked gets its notice once.
  app().setBRightBar(true);
  const std::string lockNotice = "[锁定.txt]已经被锁定，您只能以只读方式查看。如需修改，请点击独占修改";
  // The record's member is whoever the engine's row names.
  struct Selection {
    std::string path;
    bool background;  // the folder shown, nothing selected in it
    std::string head, tail;
  };
  const Selection selections[] = {
      {personal_ + "我的.txt", false, R"({"webpath":"我的.txt","status":2,)", R"("isshare":0,"local":0,"type":1})"},
      {personal_ + "锁定.txt", false, R"({"webpath":"锁定.txt","status":3,)", R"("isshare":0,"local":0,"type":1})"},
      {personal_ + "文档", true, R"({"webpath":"文档","status":1,)", R"("isshare":0,"local":0,"type":1})"},
  };
  // The menus above reported their selections too, and a slow main loop may
  // still hold them: the side bar showing a last one of its own means they
  // are all behind us before the lock notices are switched on.
  host.menuFor({personal_ + "编辑.txt"});
  ASSERT_TRUE(until([&] { return sideBar().find("编辑.txt") != std::string::npos; }, 10)) << sideBar();
  app().setBLockMsg(true);
  for (const Selection& sel : selections) {
    host.pump();  // each selection a turn of the file manager's main loop of its own
    host.menuFor({sel.path}, sel.background);
    ASSERT_TRUE(until([&] { return sideBar().rfind(sel.head, 0) == 0; }, 10)) << sel.path << ": " << sideBar();
    const std::string record = sideBar();
    EXPECT_EQ(record.substr(record.size() - std::min(record.size(), sel.tail.size())), sel.tail) << record;
  }
  EXPECT_TRUE(until([&] { return ui->count("notice", lockNotice) == 1; }, 10));
  // Several items, and items outside the sync folder, leave the side bar as it is.
  const std::string before = sideBar();
  const size_t calls = [&] {
    auto bar = ui->window("RightSideWindowController");
    return std::dynamic_pointer_cast<plat::HeadlessWebView>(bar->content())->calls().size();
  }();
  host.menuFor({personal_ + "我的.txt", personal_ + "编辑.txt"});
  host.menuFor({home() + "/elsewhere.txt"});
  host.menuFor({personal_ + "编辑.txt"});  // the last one, for the order
  ASSERT_TRUE(until([&] { return sideBar().find("编辑.txt") != std::string::npos; }, 10));
  {
    auto bar = ui->window("RightSideWindowController");
    EXPECT_EQ(std::dynamic_pointer_cast<plat::HeadlessWebView>(bar->content())->calls().size(), calls + 1) << before;
  }
  EXPECT_EQ(ui->count("notice", lockNotice), 1);

  // The actions reach Quorva and do their work there.
  app().userdata()->setMenuArray({share, unlock});
  std::mutex m;
  std::vector<Value> posted;
  plat::ScopedObserver watch("gMain", [&](const plat::Notification& n) {
    std::lock_guard<std::mutex> l(m);
    posted.push_back(n.object);
  });
  const size_t beforeShare = BrowserWebWindowController::openCount();
  host.menuFor({personal_ + "我的.txt"});
  ASSERT_TRUE(host.activate({"我的Quorva", "分享"}));
  ASSERT_TRUE(until([&] {
    std::lock_guard<std::mutex> l(m);
    return !posted.empty();
  }, 10));
  // Its web page opens on the main thread before the next action is taken.
  ASSERT_TRUE(until([&] { return BrowserWebWindowController::openCount() == beforeShare + 1; }, 10));
  {
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(posted[0], Value(Array{Value(0), Value(personal_ + "我的.txt")}));
  }

  const size_t browsers = BrowserWebWindowController::openCount();
  host.menuFor({home()});
  ASSERT_TRUE(host.activate({"我的Quorva", "同步到云端"}));
  ASSERT_TRUE(until([&] { return BrowserWebWindowController::openCount() == browsers + 1; }, 10)) << "the make-link page";
  auto page = ui->window("BrowserWebWindowController");
  ASSERT_TRUE(page);
  EXPECT_EQ(std::dynamic_pointer_cast<plat::HeadlessWebView>(page->content())->currentURL(), IconMsg::mkLinkURL(app().userdata()->configPath(), home()));

  ui->answerNextAlert(plat::kAlertFirstButtonReturn);  // "是"
  host.menuFor({personal_ + "文档"});
  ASSERT_TRUE(host.activate({"我的Quorva", "立即重新同步"}));
  ASSERT_TRUE(until([&] { return ui->count("alert", "是否确定立即重新同步[文档]文件夹？") == 1; }, 10));
  // Answered "是": the folder is queued for a resync (the engine takes the
  // request up on its next pass).
  bool queued = false;
  fptest::Raw syncdb(app().userdata()->getsyncdb());
  until([&] {
    queued = queued || !syncdb.column("select path from SYNCEDNOW where path='文档'").empty();
    return queued;
  }, 10);
  EXPECT_TRUE(queued);

  // Quorva ends: the module closes its lookup and shows nothing.
  stopApp();
  ASSERT_TRUE(until([&] {
    host.pump();
    return !host.lookupOpen();
  }, 15));
  EXPECT_TRUE(host.emblemsFor(personal_ + "我的.txt").empty());
}

TEST(PluginModule, ItRefusesToRunInAnyOtherProcess) {
  // A program that is not the file manager loads it: no provider starts.
  const std::string cmd = std::string(FP_HOST) + " " + FP_MODULE + " --prgname gedit emblems /tmp > /dev/null 2>&1";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 3);
}

}  // namespace
