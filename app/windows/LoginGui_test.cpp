// The shipped login page in real GTK and WebKitGTK windows (under Xvfb),
// against devcloud: a person types into the page, answers the folder
// chooser and starts; a wrong password shows the service's message; a page
// that can't be reached shows our error page. Screenshots of the login
// page, its error and the error page go to the build folder.
//
// Run without a display, the program runs on an Xvfb of its own.
#include <fcntl.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <webkit2/webkit2.h>

#include <deque>

#include "Framework/Staticclass/NSStringExpand.h"
#include "app/shell/MyTimer.h"
#include "app/windows/QVWebViewDelegate.h"
#include "app/windows/WebWindows.h"
#include "app/windows/window_test_util.h"
#include "tests/support/child_process.h"
#include "tests/support/screenshots.h"
#include "tests/support/virtual_display.h"
#include "platform/ui/gtk/gtk_toolkit.h"

extern char** environ;

namespace shelltest {
namespace {

constexpr double kDeadline = 120;  // seconds of real time for anything to show

// What a person does in the windows that GTK opens in nested loops (the
// folder chooser, alerts): a timer of the main loop answers them.
class Person {
public:
  Person() { timer_ = g_timeout_add(50, &Person::tick, this); }
  ~Person() { g_source_remove(timer_); }
  void chooseFolder(std::string folder) { folders_.push_back(std::move(folder)); }
  int answered() const { return answered_; }

private:
  static gboolean tick(gpointer data) {
    auto* self = static_cast<Person*>(data);
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
      if (!GTK_IS_FILE_CHOOSER_DIALOG(w->data) || !gtk_widget_get_mapped(GTK_WIDGET(w->data))) continue;
      if (self->folders_.empty()) continue;
      // The chooser shows the folder once it has read it: then OK.
      GtkFileChooser* chooser = GTK_FILE_CHOOSER(w->data);
      gchar* current = gtk_file_chooser_get_current_folder(chooser);
      const bool there = current && self->folders_.front() == current;
      g_free(current);
      if (!there) {
        gtk_file_chooser_set_current_folder(chooser, self->folders_.front().c_str());
        continue;
      }
      self->folders_.pop_front();
      ++self->answered_;
      gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_ACCEPT);
    }
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
  }
  guint timer_ = 0;
  std::deque<std::string> folders_;
  int answered_ = 0;
};

class LoginGuiTest : public WindowTest {
protected:
  void SetUp() override {
    WindowTest::SetUp();
    desktop = plat::GtkToolkit::make(home() + "/.local/share/Quorva/WebKit");
    ASSERT_TRUE(desktop) << "no display";
    plat::Toolkit::setCurrent(desktop);
  }
  void TearDown() override {
    WindowTest::TearDown();
    desktop.reset();
  }

  static bool until(const std::function<bool()>& done) { return plat::GtkToolkit::runUntil(done, kDeadline); }

  // Runs `script` in the page and returns its answer as text.
  std::optional<std::string> eval(const std::shared_ptr<plat::WebView>& view, const std::string& script) {
    struct Result {
      bool done = false;
      std::optional<std::string> text;
    };
    auto result = std::make_shared<Result>();
    webkit_web_view_evaluate_javascript(
        plat::GtkToolkit::webKitView(view), script.c_str(), -1, nullptr, nullptr, nullptr,
        +[](GObject* o, GAsyncResult* r, gpointer data) {
          auto* res = static_cast<std::shared_ptr<Result>*>(data);
          if (JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(o), r, nullptr)) {
            char* s = jsc_value_to_string(v);
            (*res)->text = s ? s : "";
            g_free(s);
            g_object_unref(v);
          }
          (*res)->done = true;
          delete res;
        },
        new std::shared_ptr<Result>(result));
    if (!until([&] { return result->done; })) return std::nullopt;
    return result->text;
  }
  // Until the page's `expression` is true.
  bool pageShows(const std::shared_ptr<plat::WebView>& view, const std::string& expression) {
    return until([&] { return eval(view, "String(Boolean(" + expression + "))") == std::optional<std::string>("true"); });
  }
  bool loaded(const std::shared_ptr<plat::WebView>& view, const std::string& page) {
    return until([&] {
      WebKitWebView* v = plat::GtkToolkit::webKitView(view);
      const std::string uri = view->currentURL();
      return !webkit_web_view_is_loading(v) && uri.size() >= page.size() &&
             uri.compare(uri.size() - page.size(), page.size(), page) == 0;
    });
  }
  void screenshot(const std::shared_ptr<plat::WebView>& view, const std::string& name) {
    const std::string path = qvtest::screenshotPath(name);
    EXPECT_TRUE(qvtest::pictureSaved(plat::GtkToolkit::snapshot(view, path, kDeadline), path));
  }
  static std::string js(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  }
  void type(const std::shared_ptr<plat::WebView>& view, const std::string& user, const std::string& password) {
    ASSERT_TRUE(eval(view, "document.getElementById('username').value = " + js(user) +
                               "; document.getElementById('password').value = " + js(password) +
                               "; document.getElementById('login').click(); 'typed'"));
  }

  // Signs in as the login window would, the person choosing the folder.
  void signInHere(const Account& a) {
    launch();
    auto login = app().loginWebWindowController();
    ASSERT_TRUE(login->onBtnLoginUserNameAndPW(jsonLogin(a.username, a.password)));
    Person person;
    plat::makeDirectories(home() + "/sync");
    person.chooseFolder(home() + "/sync");
    ASSERT_TRUE(login->onBtnSelectPathClicked());
    login->setInitInfo(R"({"path":2,"syncnode":false,"overwrite":false})");
    ASSERT_TRUE(until([&] { return signedIn(); }));
  }

  std::shared_ptr<plat::GtkToolkit> desktop;
};

TEST_F(LoginGuiTest, PasswordThenFolderThenStartRunsTheEngines) {
  const Account a = newUser();
  launch();
  auto login = app().loginWebWindowController();
  ASSERT_TRUE(login);
  auto view = login->webView();
  ASSERT_TRUE(loaded(view, "/UI/start/chs/login.html"));
  EXPECT_TRUE(login->window()->isVisible());
  ASSERT_TRUE(pageShows(view, "window.qvClient && document.getElementById('login')"));
  EXPECT_TRUE(until([&] { return login->window()->title() == "Quorva 登录"; })) << "the page's title";
  screenshot(view, "login.png");

  type(view, a.username, a.password);
  ASSERT_TRUE(pageShows(view, "!document.getElementById('folder').classList.contains('hidden')"));
  EXPECT_TRUE(pageShows(view, "document.getElementById('path').textContent === " + js(home() + "/我的Quorva/")))
      << eval(view, "document.getElementById('path').textContent").value_or("?");

  Person person;
  const std::string chosen = home() + "/chosen";
  plat::makeDirectories(chosen);
  person.chooseFolder(chosen);
  ASSERT_TRUE(eval(view, "document.getElementById('change').click(); 'clicked'"));
  ASSERT_TRUE(pageShows(view, "document.getElementById('path').textContent === " + js(chosen + "/我的Quorva/")))
      << eval(view, "document.getElementById('path').textContent").value_or("?") << " answered " << person.answered();
  EXPECT_EQ(person.answered(), 1);

  ASSERT_TRUE(eval(view, "document.getElementById('start').click(); 'started'"));
  ASSERT_TRUE(until([&] { return signedIn(); })) << "the engines did not start";
  EXPECT_EQ(app().sync()->syncparent(), chosen + "/我的Quorva/");
  EXPECT_TRUE(plat::isDirectory(chosen + "/我的Quorva/个人的文件"));
  EXPECT_FALSE(login->window()->isVisible()) << "the login window goes once the sync starts";
}

TEST_F(LoginGuiTest, AWrongPasswordShowsTheServicesMessage) {
  const Account a = newUser();
  launch();
  auto login = app().loginWebWindowController();
  auto view = login->webView();
  ASSERT_TRUE(loaded(view, "/UI/start/chs/login.html"));
  ASSERT_TRUE(pageShows(view, "window.qvClient && document.getElementById('login')"));
  type(view, a.username, "not the password");
  ASSERT_TRUE(pageShows(view, "document.getElementById('message').textContent === " + js("您输入帐号或密码错误 请重新输入")));
  EXPECT_TRUE(pageShows(view, "!document.getElementById('signin').classList.contains('hidden')"));
  EXPECT_FALSE(app().bLogin());
  screenshot(view, "login-error.png");
}

TEST_F(LoginGuiTest, APageThatCannotBeReachedShowsOurErrorPage) {
  launch();
  // A loopback port nobody listens on.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ::close(fd);
  auto browser = BrowserWebWindowController::make();
  browser->showWindow();
  browser->setStrUrl("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/storage");
  ASSERT_TRUE(loaded(browser->webView(), "/UI/default/chs/error_dw.html"));
  // The window takes the page's title once the bridge hears the load end.
  EXPECT_TRUE(until([&] { return browser->window()->title() == "无法连接"; })) << browser->window()->title();
  screenshot(browser->webView(), "error-page.png");
  browser->close();
}

TEST_F(LoginGuiTest, TheBridgeAnswersTheTopFrameOfOurPagesAndCallsPageFunctionsWithValues) {
  const Account a = newUser();
  signInHere(a);
  // A page of our packages with a frame from elsewhere that tries the bridge.
  const std::string page = config() + "/UI/default/chs/bridge-test.html";
  plat::atomicWrite(page, R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>t</title></head><body>
<script>
window.echo = (a, b) => { document.title = JSON.stringify([a, b]); };
window.framesDone = 0;
window.addEventListener("message", () => { window.framesDone += 1; });
</script>
<iframe src="data:text/html,<script>const h = window.webkit.messageHandlers.qvbridge; h.postMessage({token: 'guess', name: 'gGetToken', args: []}).then(() => parent.postMessage('done', '*'), () => parent.postMessage('done', '*'));</script>"></iframe>
</body></html>)");
  auto browser = BrowserWebWindowController::make();
  browser->showWindow();
  auto view = browser->webView();
  std::vector<std::string> calls;
  auto bridge = browser->delegate();
  view->setScriptHandler([&, bridge](const std::string& name, const plat::Array& args) {
    calls.push_back(name);
    return bridge->call(name, args);
  });
  browser->setStrUrl(fileURL(page));
  ASSERT_TRUE(loaded(view, "/bridge-test.html"));
  ASSERT_TRUE(pageShows(view, "window.framesDone === 1"));
  EXPECT_TRUE(calls.empty()) << "the frame's message had no token: the bridge never heard of it";
  EXPECT_EQ(eval(view, "typeof window.qvClient"), std::optional<std::string>("object"));

  // The top frame's call is answered: the page awaits the token.
  ASSERT_TRUE(eval(view, "qvClient.gGetToken().then(t => { window.token = t; }); 'asked'"));
  ASSERT_TRUE(pageShows(view, "window.token === " + js(app().userdata()->userToken())));
  EXPECT_EQ(calls, (std::vector<std::string>{"gGetToken"}));

  // A page function gets its arguments as values, whatever they hold.
  const std::string tricky = R"(he said "hi"</script><script>alert(1)</script>\)";
  view->callFunction("echo", {plat::Value(tricky), plat::Value(42)});
  EXPECT_TRUE(until([&] { return view->title() == "[" + std::string(R"("he said \"hi\"</script><script>alert(1)</script>\\")") + ",42]"; }))
      << view->title();
  browser->close();
}

TEST_F(LoginGuiTest, CookiesOutliveTheProgram) {
  launch();
  const std::string data = home() + "/.local/share/Quorva/WebKit";
  auto page = [&] {
    auto b = BrowserWebWindowController::make();
    b->showWindow();
    b->setStrUrl(cloud().url() + "/");
    return b;
  };
  auto first = page();
  ASSERT_TRUE(loaded(first->webView(), "/"));
  ASSERT_TRUE(eval(first->webView(), "document.cookie = 'qvtest=kept; max-age=3600; path=/'; 'set'"));
  // Written by WebKit's network process into the store on disk.
  ASSERT_TRUE(until([&] {
    return plat::readFile(data + "/cookies.sqlite").value_or("").find("qvtest") != std::string::npos ||
           plat::readFile(data + "/cookies.sqlite-wal").value_or("").find("qvtest") != std::string::npos;
  }));
  first->close();
  stopApp();
  // A new run: a toolkit of its own on the same folder.
  plat::Toolkit::setCurrent(nullptr);
  desktop.reset();
  desktop = plat::GtkToolkit::make(data);
  plat::Toolkit::setCurrent(desktop);
  launch();
  auto again = page();
  ASSERT_TRUE(loaded(again->webView(), "/"));
  EXPECT_TRUE(pageShows(again->webView(), "document.cookie.indexOf('qvtest=kept') >= 0"))
      << eval(again->webView(), "document.cookie").value_or("?");
  again->close();
}

// The program on the desktop: a second launch hands its qvp:// address to
// the one running, which runs the command; SIGTERM ends it cleanly.
TEST(QuorvaDesktop, ASecondLaunchHandsItsAddressToTheRunningOne) {
  plat::testing::TempHome home;
  const std::string dir = home.path();
  for (const char* d : {"/run", "/data"}) plat::makeDirectories(dir + d, 0700);
  const auto env = testsupport::childEnvironment(
      {"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir + "/run", "XDG_DATA_HOME=" + dir + "/data", "LANG=C.UTF-8"},
      {"PATH", "DISPLAY", "XAUTHORITY", "TMPDIR"});
  auto spawn = [&](const std::vector<std::string>& args, const std::string& log) {
    return testsupport::spawnChild(QUORVA_BINARY, args, env, log);
  };
  auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 12000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
  };
  auto exitCode = [](pid_t pid) { return testsupport::waitExit(pid, 120); };
  const std::string log = dir + "/instance.log";
  // Nothing to sign in to: the login window waits.
  pid_t instance = spawn({"--server", "http://127.0.0.1:1"}, log);
  ASSERT_GT(instance, 0);
  ASSERT_TRUE(waitFor([&] { return plat::fileExists(dir + "/run/quorva/quorva.sock") || plat::fileExists(dir + "/run/quorva.sock"); }))
      << plat::readFile(log).value_or("");

  // A desktop link with a name that is no plain name: refused, and said.
  const std::string url = "qvp://" + NSStringExpand::base64Encoded("6|..%2Fescape|A").value_or("");
  pid_t second = spawn({url}, dir + "/second.log");
  EXPECT_EQ(exitCode(second), 0) << plat::readFile(dir + "/second.log").value_or("");
  EXPECT_TRUE(waitFor([&] { return plat::readFile(log).value_or("").find("桌面链接的名字不能用：../escape") != std::string::npos; }))
      << plat::readFile(log).value_or("");
  EXPECT_FALSE(plat::fileExists(dir + "/escape.webloc"));

  ::kill(instance, SIGTERM);
  EXPECT_EQ(exitCode(instance), 0);
  EXPECT_NE(plat::readFile(log).value_or("").find("Quorva: stopped"), std::string::npos);
}

}  // namespace
}  // namespace shelltest

// Without a display: on a virtual one.
int main(int argc, char** argv) {
  if (auto waited = qvtest::runOnDisplay(argc, argv)) return *waited;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
