// The updates against devcloud: UI packages fetched, kept in Temp and
// unpacked at the next start only with the trusted signature, the web menu
// of the package reaching the menu array and the MENU table, and the
// application update asked, downloaded with progress, checked and handed to
// the desktop (the headless launcher records it) — never when it does not
// check out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Framework/HCHTTP/HCHTTPRequest.h"
#include "Framework/ZipWrapper/ZipWrapper.h"
#include "app/shell/AppUpdate.h"
#include "app/shell/MyTimer.h"
#include "app/shell/NotificationCenter.h"
#include "app/core/UpdateUIResource.h"
#include "app/core/Util.h"
#include "app/shell/shell_test_util.h"
#include "app/core/update_test_signer.h"
#include "tests/support/test_noise.h"

namespace {

using namespace shelltest;
using updatetest::Signer;

std::string b64(const std::string& s) { return NSDataExpand::base64Encoded(s).value_or(""); }

// A port on loopback that nobody listens on.
int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(fd);
  return ntohs(a.sin_port);
}

// The update dialog as the person would see it, every progress report kept.
class RecordedDialog : public AppUpdateValues {
public:
  void setDownloadProgress(const std::string& text) override {
    AppUpdateValues::setDownloadProgress(text);
    texts.push_back(text);
  }
  void setAppProgress(double v) override {
    AppUpdateValues::setAppProgress(v);
    bars.push_back(v);
  }
  std::vector<std::string> texts;
  std::vector<double> bars;
};

class Updates : public ShellTest {
protected:
  void SetUp() override {
    ShellTest::SetUp();
    Util::setUIPackageKey(trusted.publicKey());
    app().setUpdateClosePause(0.05);
    dialog = std::make_shared<RecordedDialog>();
    app().setAppUpdateWindowMaker([d = dialog] { return d; });
  }
  void TearDown() override {
    ShellTest::TearDown();
    for (const char* name : {"start", "default"}) cloud().hook("POST", "ui_package", Value(Dictionary{{"name", Value(name)}}));
    cloud().hook("POST", "app_update", Value(Dictionary{{"version", Value()}}));
    app().setAppUpdateWindowMaker(nullptr);
    app().setUpdateClosePause(2.0);
    Util::setUIPackageKey({});
  }

  std::string config() const { return home() + "/.quorvacfg"; }
  std::string temp(const std::string& name) const { return config() + "/UI/Temp/" + name + ".zip"; }

  // A package "<name>" whose files are `files` (relative to "<name>/chs/").
  std::string package(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string src = home() + "/pkgsrc-" + std::to_string(++made_);
    const std::string zipPath = src + ".zip";
    plat::makeDirectories(src, 0700);
    ZipWrapper zip;
    EXPECT_TRUE(zip.CreateZipFile2(zipPath));
    int i = 0;
    for (const auto& [page, text] : files) {
      const std::string f = src + "/" + std::to_string(++i);
      plat::atomicWrite(f, text);
      EXPECT_TRUE(zip.addFileToZip(f, name + "/chs/" + page));
    }
    EXPECT_TRUE(zip.CloseZipFile2());
    return plat::readFile(zipPath).value_or("");
  }
  void offerPackage(const std::string& name, const std::string& body, const Signer& by) {
    ASSERT_TRUE(cloud().hook("POST", "ui_package",
                             Value(Dictionary{{"name", Value(name)}, {"data_b64", Value(b64(body))},
                                              {"signature_b64", Value(b64(by.sign(body)))}})));
  }
  std::string page(const std::string& name, const std::string& file) const {
    return plat::readFile(config() + "/UI/" + name + "/chs/" + file).value_or("<none>");
  }
  bool updaterIdle() {
    auto u = app().updateUIResource();
    return u && u->running() == 0;
  }
  // The key each request for the package carried, in order.
  std::vector<std::string> keysSent(int64_t since, const std::string& name) {
    std::vector<std::string> keys;
    for (const Value& e : cloud().requests(since)) {
      const std::string t = e["target"].string();
      if (t.rfind("/interface/check_" + name + "_update?", 0) != 0) continue;
      const size_t k = t.find("&key=");
      keys.push_back(t.substr(k + 5, t.find('&', k + 5) - k - 5));
    }
    return keys;
  }

  // The installer offered as version 9.9.9, signed by `by`; `sha256` replaces
  // the digest the answer announces.
  void offerInstaller(const std::string& body, const Signer& by, const std::string& sha256 = "") {
    Dictionary spec{{"version", Value("9.9.9")}, {"data_b64", Value(b64(body))}, {"file", Value("quorva-9.9.9.deb")},
                    {"signature_b64", Value(b64(by.sign(updatetest::sha256(body))))}};
    if (!sha256.empty()) spec.set("sha256", Value(sha256));
    ASSERT_TRUE(cloud().hook("POST", "app_update", Value(spec)));
  }
  std::string installer() const { return config() + "/quorvaupdate.deb"; }
  bool downloadEnded() { return !app().downloadtask(); }

  Signer trusted, other;
  std::shared_ptr<RecordedDialog> dialog;
  int made_ = 0;
};

TEST_F(Updates, ANewerPackageWaitsInTempIsUnpackedAtTheNextStartAndItsDigestGoesWithTheNextAsk) {
  const std::string body = package("start", {{"login.html", "<html>newer login</html>"}});
  offerPackage("start", body, trusted);
  int64_t since = cloud().lastSeq();
  launch(true);
  ASSERT_TRUE(until([&] { return plat::fileExists(temp("start")) && updaterIdle(); }));
  EXPECT_EQ(plat::readFile(temp("start")), body);
  const std::string bundled = NSDataExpand::md5Data2String(plat::readFile(Util::resourcePath() + "/UI/start.zip").value_or(""));
  EXPECT_EQ(keysSent(since, "start"), std::vector<std::string>{bundled}) << "the digest of the package unpacked first";
  EXPECT_NE(page("start", "login.html"), "<html>newer login</html>") << "nothing is unpacked before the next start";
  stopApp();

  since = cloud().lastSeq();
  launch(true);
  EXPECT_EQ(page("start", "login.html"), "<html>newer login</html>");
  ASSERT_TRUE(until([&] { return updaterIdle() && keysSent(since, "start").size() == 1; }));
  EXPECT_EQ(keysSent(since, "start"), std::vector<std::string>{NSDataExpand::md5Data2String(body)});
  EXPECT_FALSE(plat::fileExists(temp("start"))) << "current: the empty reply leaves nothing waiting";
  EXPECT_FALSE(plat::fileExists(temp("start") + ".sig"));
}

TEST_F(Updates, APackageWithoutTheTrustedSignatureOrCutShortIsNeverUnpacked) {
  launch(true);
  ASSERT_TRUE(until([&] { return updaterIdle(); }));
  const std::string before = page("default", "launchpad.html");
  struct Case {
    const char* what;
    const Signer* by;
    bool cut;
    bool waits;  // a file is left in Temp for the next start
  } cases[] = {
      {"signed by another key", &other, false, true},
      {"cut on the way", &trusted, true, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string body =
        package("default", {{"launchpad.html", "forged " + std::to_string(++n)}, {"pad", testsupport::noise(200000, n)}});
    offerPackage("default", body, *c.by);
    if (c.cut) {
      ASSERT_TRUE(cloud().hook("POST", "fault",
                               Value(Dictionary{{"kind", Value("cut")}, {"path", Value("/interface/check_default_update")},
                                                {"after", Value(int64_t(1000))}})));
    }
    app().handleTimerForUpdate();
    ASSERT_TRUE(until([&] { return updaterIdle(); }));
    EXPECT_EQ(plat::fileExists(temp("default")), c.waits);
    EXPECT_FALSE(plat::fileExists(temp("default") + ".part"));
    stopApp();
    launch(true);
    EXPECT_EQ(page("default", "launchpad.html"), before);
    EXPECT_FALSE(plat::fileExists(temp("default"))) << "refused at the start: gone";
    EXPECT_FALSE(plat::fileExists(temp("default") + ".sig"));
    ASSERT_TRUE(until([&] { return updaterIdle(); }));
  }
}

TEST_F(Updates, TheWebMenuOfTheUnpackedPackageReachesTheMenuArrayAndTheMenuTable) {
  const std::string menu = R"(<?xml version="1.0" encoding="UTF-8"?><menu>
    <item><title>网页甲</title><status>3</status><url>/a?x=1&amp;y=2</url><action>gMain</action><sso>1</sso></item>
    <item><title>网页乙</title><status>5</status><action>gLock</action></item></menu>)";
  const std::string body = package("default", {{"launchpad.html", "pad"}, {"menu.xml", menu}});
  offerPackage("default", body, trusted);
  const Account a = newUser();
  const std::string root = home() + "/sync/root/";
  storeAccount(a, root);
  launch(true);
  ASSERT_TRUE(until([&] { return signedIn(); }));
  ASSERT_TRUE(until([&] { return plat::fileExists(temp("default")) && updaterIdle(); })) << "login completion asks";
  stopApp();

  launch(true);
  ASSERT_TRUE(until([&] { return signedIn(); }));
  const auto items = app().userdata()->menuArray();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].url(), "/a?x=1&y=2");
  EXPECT_EQ(items[1].action(), "gLock");

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(app().userdata()->getsyncdb().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "select name, status from MENU order by rowid", -1, &st, nullptr), SQLITE_OK);
  std::vector<std::pair<std::string, int64_t>> rows;
  while (sqlite3_step(st) == SQLITE_ROW) {
    rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_int64(st, 1));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  EXPECT_EQ(rows, (std::vector<std::pair<std::string, int64_t>>{{"网页甲", 3}, {"网页乙", 5}}));
}

TEST_F(Updates, AnOfferedUpdateIsAskedDownloadedWithProgressCheckedAndHandedOver) {
  const std::string body = testsupport::noise(600000, 7);
  offerInstaller(body, trusted);
  // Start-up checks silently, the question comes, "确定" (the first button) is
  // chosen. The periodic jobs run free: the client ends itself here.
  launch(false);
  ASSERT_TRUE(ui->runUntilSeen("open", installer(), 60)) << "the checked installer goes to the desktop";
  EXPECT_EQ(ui->count("alert", "当前软件已经升级到9.9.9版本，是否确定升级? [确定|取消] -> 确定"), 1u);
  EXPECT_EQ(ui->count("alert", "软件下载完成是否立即关闭客户端，进行安装新的客户端? [是|否] -> 是"), 1u);
  EXPECT_EQ(plat::readFile(installer()), body);
  EXPECT_EQ(dialog->serVersion, "9.9.9");
  EXPECT_EQ(dialog->appVersion, app().appversion());
  ASSERT_FALSE(dialog->texts.empty());
  EXPECT_EQ(dialog->texts.back(), "100%");
  ASSERT_EQ(dialog->texts.size(), dialog->bars.size());
  for (size_t i = 0; i < dialog->texts.size(); ++i) {
    EXPECT_EQ(dialog->texts[i], std::to_string(static_cast<int>(dialog->bars[i])) + "%");
    if (i > 0) {
      EXPECT_GE(dialog->bars[i], dialog->bars[i - 1]);
    }
  }
  EXPECT_FALSE(dialog->visible) << "hidden once the download ended";
  EXPECT_TRUE(until([&] { return app().terminating(); })) << "the client quits for the installer";
}

TEST_F(Updates, AnInstallerThatDoesNotCheckOutIsNeverOpenedAndTheUserIsTold) {
  const std::string body = testsupport::noise(300000, 9);
  struct Case {
    const char* what;
    const Signer* by;
    std::string announced;
  } cases[] = {
      {"a digest other than the file's", &trusted, std::string(64, 'a')},
      {"signed by another key", &other, ""},
  };
  launch(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    offerInstaller(body, *c.by, c.announced);
    const size_t told = ui->count("notice", "下载的安装包校验失败，已删除，请重试");
    app().onMenuUpdateAppClicked();
    ASSERT_TRUE(until([&] { return ui->count("notice", "下载的安装包校验失败，已删除，请重试") == told + 1; }));
    ASSERT_TRUE(until([&] { return downloadEnded(); }));
    EXPECT_EQ(ui->count("open"), 0u);
    EXPECT_EQ(ui->count("alert", "软件下载完成"), 0u);
    EXPECT_FALSE(plat::fileExists(installer()));
    EXPECT_FALSE(plat::fileExists(DownloadTask::partialPath(installer())));
  }
}

TEST_F(Updates, ACutDownloadIsNeverOpenedAndTheNextOneResumesWhereItStopped) {
  const std::string body = testsupport::noise(500000, 11);
  offerInstaller(body, trusted);
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("cut")}, {"path", Value("/download/installer/")},
                                            {"after", Value(int64_t(200000))}})));
  launch(true);
  ASSERT_TRUE(ui->runUntilSeen("notice", "下载最新版本失败，请重试", 60));
  ASSERT_TRUE(until([&] { return downloadEnded(); }));
  EXPECT_EQ(ui->count("open"), 0u);
  EXPECT_FALSE(plat::fileExists(installer())) << "a part is never where the installer goes";

  const int64_t since = cloud().lastSeq();
  app().onMenuUpdateAppClicked();
  ASSERT_TRUE(ui->runUntilSeen("open", installer(), 60));
  EXPECT_EQ(plat::readFile(installer()), body);
  size_t resumed = 0;
  for (const Value& e : cloud().requests(since)) {
    if (e["target"].string().rfind("/download/installer/", 0) != 0) continue;
    std::string range;
    for (const Value& h : e["headers"].array()) {
      if (::strcasecmp(h[0].string().c_str(), "Range") == 0) range = h[1].string();
    }
    EXPECT_TRUE(range.rfind("bytes=", 0) == 0 && range != "bytes=0-") << range;
    ++resumed;
  }
  EXPECT_EQ(resumed, 1u);
}

TEST_F(Updates, AnUnreachableServiceStaysQuietAndTheNextStepAsksAgain) {
  offerInstaller(testsupport::noise(1000, 3), trusted);
  ServiceHosts::setUpdateService("127.0.0.1:" + std::to_string(closedPort()));
  launch(true);
  app().onMenuUpdateAppClicked();  // even when the person asked
  ASSERT_TRUE(until([&] { return app().taskqueue()->operationCount() == 0; }));
  EXPECT_EQ(ui->count("alert"), 0u);
  EXPECT_EQ(ui->count("notice"), 0u);

  ServiceHosts::setUpdateService(cloud().hostPort());
  ui->answerNextAlert(plat::kAlertFirstButtonReturn + 1);  // "取消"
  app().handleTimerForUpdate();
  ASSERT_TRUE(ui->runUntilSeen("alert", "当前软件已经升级到9.9.9版本", 60));
  ASSERT_TRUE(until([&] { return app().taskqueue()->operationCount() == 0; }));
  EXPECT_FALSE(app().bAcceptedUpdate()) << "declined: the periodic check stops offering";
  const int64_t since = cloud().lastSeq();
  app().handleTimerForUpdate();
  ASSERT_TRUE(until([&] { return updaterIdle(); }));
  EXPECT_EQ(recorded(since, "/interface/check_version"), 0u);
  EXPECT_EQ(ui->count("open"), 0u);
}

}  // namespace

namespace {

using namespace shelltest;

TEST_F(Updates, ProgressIsTheShareOfTheAnnouncedSizeAndGoesPastItWhenTheFileIsLarger) {
  struct Case {
    int64_t size;
    std::vector<long long> pieces;
    std::vector<std::string> shown;
  } cases[] = {
      {1000, {300, 300, 300, 300}, {"30%", "60%", "90%", "120%"}},
      {0, {500, 500}, {}},  // no size announced: no progress shown
      {3, {1, 1, 1}, {"33%", "66%", "100%"}},
  };
  // The dialog the offer made; the download reports to it.
  ASSERT_EQ(app().appUpdateWindowController(), dialog);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    dialog->texts.clear();
    DownloadTask task("http://127.0.0.1:1/never", home() + "/never", c.size);
    HCHTTPRequest request(plat::URL::parse("http://127.0.0.1:1/never"));
    for (long long n : c.pieces) task.requestDidReceiveBytes(request, n);
    EXPECT_EQ(dialog->texts, c.shown);
  }
}

TEST_F(Updates, WithoutAnOfferOnlyTheCheckThePersonAskedForSaysSo) {
  const int64_t since = cloud().lastSeq();
  launch(true);  // the silent check at start-up
  ASSERT_TRUE(until([&] { return recorded(since, "/interface/check_version") == 1 && app().taskqueue()->operationCount() == 0; }));
  EXPECT_EQ(ui->count("alert"), 0u);
  app().onMenuUpdateAppClicked();
  ASSERT_TRUE(ui->runUntilSeen("alert", "当前软件已经是最新版本! [我知道了]", 60));
  EXPECT_EQ(ui->count("alert"), 1u);
}

}  // namespace

namespace {

using namespace shelltest;

TEST_F(Updates, ClosingTheDialogBeforeTheDownloadEndsLeavesOutTheInstallQuestion) {
  offerInstaller(testsupport::noise(50000, 5), trusted);
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/download/installer/")},
                                            {"seconds", Value(int64_t(1))}})));
  launch(true);
  ASSERT_TRUE(until([&] { return app().bAppUpdate() && dialog->visible; }));
  app().appUpdateWindowClosed();
  ASSERT_TRUE(until([&] { return downloadEnded(); }));
  EXPECT_TRUE(plat::fileExists(installer())) << "downloaded and checked";
  EXPECT_EQ(ui->count("alert", "软件下载完成"), 0u);
  EXPECT_EQ(ui->count("open"), 0u);
}

}  // namespace

namespace {

using namespace shelltest;

// The windows' own dialog: closed by the person (not hidden by the
// download), it is let go and the install question is left out.
TEST_F(Updates, ClosingTheDialogOnScreenLetsItGoAndLeavesOutTheInstallQuestion) {
  app().setAppUpdateWindowMaker(nullptr);
  offerInstaller(testsupport::noise(50000, 6), trusted);
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/download/installer/")},
                                            {"seconds", Value(int64_t(1))}})));
  launch(true);
  std::shared_ptr<plat::Window> w;
  ASSERT_TRUE(until([&] {
    w = ui->window("AppUpdateWindowController");
    return app().bAppUpdate() && w && w->isVisible();
  }));
  EXPECT_EQ(app().appUpdateWindow(), app().appUpdateWindowController()) << "one dialog";
  w->close();
  EXPECT_FALSE(app().bAppUpdate());
  EXPECT_FALSE(app().appUpdateWindow()) << "a closed dialog is let go";
  ASSERT_TRUE(until([&] { return downloadEnded(); }));
  EXPECT_TRUE(plat::fileExists(installer())) << "downloaded and checked";
  EXPECT_EQ(ui->count("alert", "软件下载完成"), 0u);
  EXPECT_EQ(ui->count("open"), 0u);
}

}  // namespace
