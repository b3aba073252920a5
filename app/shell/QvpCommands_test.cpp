// qvp:// commands against devcloud: each command with its arguments, from
// the desktop and from our own pages, and the paths and names refused.
#include <sys/stat.h>
#include <unistd.h>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/shell/MyTimer.h"
#include "app/core/QVLog.h"
#include "app/core/Util.h"
#include "app/windows/WebWindows.h"
#include "app/windows/window_test_util.h"

namespace shelltest {
namespace {

using Source = AppDelegate::QvpSource;

std::string qvp(const std::string& command) {
  return "qvp://" + NSStringExpand::base64Encoded(command).value_or("");
}

class QvpTest : public WindowTest {
protected:
  // Runs the command and returns what a person saw meanwhile.
  std::vector<plat::Sighting> run(const std::string& url, Source source = Source::kDesktop) {
    const size_t before = ui->seen().size();
    app().OpenQvpUrl(url, source);
    auto all = ui->seen();
    return {all.begin() + static_cast<long>(std::min(before, all.size())), all.end()};
  }
  static std::string text(const std::vector<plat::Sighting>& seen) {
    std::string out;
    for (const auto& s : seen) out += "[" + s.kind + "] " + s.text + "\n";
    return out;
  }
  std::string desktop() const { return home() + "/Desktop"; }
};

TEST_F(QvpTest, CommandsThatOpenTheSyncFolderOrTheLaunchPad) {
  const Account a = newUser();
  signIn(a);
  const std::string folder = "[open] " + syncRoot() + "\n";
  struct Case {
    std::string url;
    std::string seen;
  } cases[] = {
      {qvp("999999"), folder},
      {qvp("0"), folder},
      {qvp("4|1|x"), folder},
      {qvp("5"), folder},
      {qvp("7"), folder},
      {qvp(""), folder},
      {"qvp://", folder},
      {"qvp://%%%not-base64", folder},
      {qvp("1|" + std::to_string(a.mount + 1) + "|A/b.txt"), folder},  // another mount
      {qvp("-3"), folder},
  };
  for (const Case& c : cases) EXPECT_EQ(text(run(c.url)), c.seen) << c.url;

  // The launch pad on its recycle bin, through the main loop.
  run(qvp("1000000"));
  ASSERT_TRUE(until([&] { return ui->count("window", "show LaunchpadWindowController") > 0; }));
  EXPECT_EQ(viewOf(*app().launchpadWindowController())->currentURL(),
            fileURL(config() + "/UI/default/chs/launchpad.html") + "#recyclebin");
}

TEST_F(QvpTest, CommandOneOpensShowsOrOffersOnlyFilesInsideTheSyncFolder) {
  const Account a = newUser();
  signIn(a);
  const std::string root = syncRoot() + "个人的文件/";
  plat::makeDirectories(root + "A");
  plat::atomicWrite(root + "A/b.txt", "b");
  plat::atomicWrite(root + "A/setup.sh", "#!/bin/sh\n");
  plat::atomicWrite(root + "A/script", "#!/usr/bin/python3\n");
  plat::atomicWrite(root + "A/evil.desktop", "[Desktop Entry]\nExec=x\n");
  plat::atomicWrite(home() + "/outside.txt", "o");
  ::symlink(home().c_str(), (root + "A/home").c_str());
  const std::string mount = std::to_string(a.mount);
  const std::string site = "http://" + cloud().hostPort();
  struct Case {
    std::string path;
    std::string seen;
  } cases[] = {
      {"A/b.txt", "[open] " + root + "A/b.txt\n"},
      {"A/setup.sh", "[reveal] " + root + "A/setup.sh\n"},
      {"A/script", "[reveal] " + root + "A/script\n"},
      {"A/evil.desktop", "[reveal] " + root + "A/evil.desktop\n"},
      {"../../outside.txt", ""},
      {"A/../../../outside.txt", ""},
      {"A/home/outside.txt", ""},
      {"/../../../../etc/passwd", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(text(run(qvp("1|" + mount + "|" + c.path))), c.seen) << c.path;

  // Not here: offered on the web site, signed in only for our own pages.
  ui->answerNextAlert(plat::kAlertFirstButtonReturn);
  EXPECT_EQ(text(run(qvp("1|" + mount + "|A/新.txt"))),
            "[alert] 当前文件还未同步到本地,是否在网页上打开? [确定|取消] -> 确定\n[open] " + site +
                "/storage/file?fullpath=A%2F%E6%96%B0.txt\n");
  ui->answerNextAlert(plat::kAlertFirstButtonReturn);
  auto own = run(qvp("1|" + mount + "|A/新.txt"), Source::kOwnPage);
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(own[1].text.rfind(site + "/account/sso?url=%2Fstorage%2Ffile%3Ffullpath%3DA%252F%25E6%2596%25B0.txt&token=" +
                                  app().userdata()->userToken() + "&",
                              0),
            0u)
      << own[1].text;
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
  EXPECT_EQ(run(qvp("1|" + mount + "|A/新.txt")).size(), 1u) << "取消: only the question";
  // A cloud path with a leading "/" is a path still, never a page of the site.
  ui->answerNextAlert(plat::kAlertFirstButtonReturn);
  const auto rooted = run(qvp("1|" + mount + "|/account/logout"));
  ASSERT_FALSE(rooted.empty());
  EXPECT_EQ(rooted.back().text, site + "/storage/file?fullpath=%2Faccount%2Flogout") << text(rooted);
}

// The log line of a refused command holds the beginning of its argument,
// however long the argument is.
TEST_F(QvpTest, ARefusedCommandsLogLineIsBounded) {
  const Account a = newUser();
  signIn(a);
  const std::string mount = std::to_string(a.mount);
  struct Case {
    std::string command;
    std::string says;
  } cases[] = {
      {"1|" + mount + "|../" + std::string(100000, 'x'), "不在同步文件夹中的路径：../xxx"},
      {"6|" + std::string(100000, '.') + "|x", "桌面链接的名字不能用：..."},
      {"1000|" + NSStringExpand::urlEncoded("//" + std::string(100000, 'h')), "不是网站的页面：%2F%2Fhhh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    run(qvp(c.command));
    std::vector<std::string> lines;
    ASSERT_TRUE(until([&] {
      lines.clear();
      for (const auto& l : QVLog::sharedQVLog().arrLogData()) {
        if (l.text.find(c.says) != std::string::npos) lines.push_back(l.text);
      }
      return !lines.empty();
    }));
    for (const std::string& line : lines) {
      EXPECT_NE(line.find("bytes)"), std::string::npos) << "the whole length is told: " << line.substr(0, 300);
      EXPECT_LT(line.size(), 600u);
    }
  }
}

TEST_F(QvpTest, ReportingASaveTakesTheTokenOnlyForOurOwnPages) {
  const Account a = newUser();
  signIn(a);
  const std::string command = "2|" + std::to_string(a.mount) + "|A/b.txt|1700000000|sig";
  int64_t since = cloud().lastSeq();
  EXPECT_EQ(text(run(qvp(command))), "");
  EXPECT_EQ(recorded(since, "/save_file"), 0u) << "from the desktop nothing is sent";
  since = cloud().lastSeq();
  run(qvp(command), Source::kOwnPage);
  EXPECT_EQ(recorded(since, "/save_file", "token=" + app().userdata()->userToken() + "&act=2&mount_id=" +
                                              std::to_string(a.mount) + "&fullpath=A/b.txt&expires=1700000000&sign=sig"),
            1u);
}

TEST_F(QvpTest, CommandSixWritesALinkWithAPlainNameOnTheDesktop) {
  const Account a = newUser();
  signIn(a);
  plat::makeDirectories(desktop());
  const std::string name = NSStringExpand::urlEncoded("季度 报告");
  EXPECT_EQ(text(run(qvp("6|" + name + "|A/报告.xlsx"))), "[alert] 您已经成功保存[季度 报告]到桌面 [确定] -> 确定\n");
  const std::string file = desktop() + "/季度 报告.webloc";
  const std::string link = qvp("1000|A/报告.xlsx");
  EXPECT_EQ(plat::readFile(file).value_or(""),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\r\n"
            "<plist version=\"1.0\">\r\n<dict>\r\n\t<key>URL</key>\r\n\t<string>" +
                link + "</string>\r\n</dict>\r\n</plist>\r\n");

  // There already: only "是" replaces it; a link there is replaced, not followed.
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);
  EXPECT_EQ(text(run(qvp("6|" + name + "|B"))), "[alert] 桌面已经存在[季度 报告]，是否覆盖？ [是|否] -> 否\n");
  EXPECT_NE(plat::readFile(file)->find(link), std::string::npos);
  plat::atomicWrite(home() + "/precious", "keep");
  ::symlink((home() + "/precious").c_str(), (desktop() + "/lnk.webloc").c_str());
  ui->answerNextAlert(plat::kAlertFirstButtonReturn);
  run(qvp("6|lnk|B"));
  EXPECT_EQ(plat::readFile(home() + "/precious"), std::optional<std::string>("keep"));
  struct stat st;
  ASSERT_EQ(::lstat((desktop() + "/lnk.webloc").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));

  // Names that are no plain file name write nothing.
  const auto before = Util::subpathsAtPath(home());
  for (const std::string bad : {"..%2Fescape", "a%2Fb", "%2E%2E", ".hidden", "", "a%0Ab", "%2Ftmp%2Fx"}) {
    EXPECT_EQ(text(run(qvp("6|" + bad + "|A"))), "") << bad;
  }
  EXPECT_EQ(Util::subpathsAtPath(home()), before);
}

TEST_F(QvpTest, CommandThousandOpensTheSitesPageInABrowserWindow) {
  const Account a = newUser();
  signIn(a);
  const std::string site = "http://" + cloud().hostPort();
  const size_t open = BrowserWebWindowController::openCount();
  run(qvp("1000|" + NSStringExpand::urlEncoded("/storage/file?fullpath=A")));
  auto w = ui->window("BrowserWebWindowController");
  ASSERT_TRUE(w);
  EXPECT_EQ(w->size(), (plat::Size{1000, 622}));
  EXPECT_EQ(viewOf(*w)->currentURL(), site + "/storage/file?fullpath=A") << "from the desktop: not signed in";
  // A desktop link's cloud path stands for its file page.
  run(qvp("1000|A%2Fb.txt"));
  EXPECT_EQ(viewOf(*ui->window("BrowserWebWindowController"))->currentURL(),
            site + "/storage/file?fullpath=A%2Fb.txt");
  run(qvp("1000|" + NSStringExpand::urlEncoded("/storage")), Source::kOwnPage);
  EXPECT_EQ(viewOf(*ui->window("BrowserWebWindowController"))->currentURL().rfind(site + "/account/sso?url=%2Fstorage&token=", 0),
            0u);
  EXPECT_EQ(BrowserWebWindowController::openCount(), open + 3);
  // Another site is never the page.
  for (const std::string other : {"%2F%2Fevil.test%2Fx", "%2F%5Cevil.test"}) {
    run(qvp("1000|" + other));
    EXPECT_EQ(BrowserWebWindowController::openCount(), open + 3) << other;
  }
}

TEST_F(QvpTest, OurPagesHandCommandsToTheApplicationOthersCannot) {
  const Account a = newUser();
  signIn(a);
  auto pad = app().onMenuOpenQuorvaClicked();
  auto view = viewOf(*pad);
  const int64_t since = cloud().lastSeq();
  const std::string command = qvp("3|" + std::to_string(a.mount) + "|A|1|s");
  view->script("gOpenqvp", {Value(command)});
  EXPECT_EQ(recorded(since, "/save_file", "act=3"), 1u);
  view->load("https://evil.test/");
  view->script("gOpenqvp", {Value(command)});
  EXPECT_EQ(recorded(since, "/save_file"), 1u);
}

}  // namespace
}  // namespace shelltest
