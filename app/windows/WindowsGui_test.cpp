// The transfer list, the settings window and the two dialogs as real GTK
// windows (under Xvfb), against devcloud: the person clicks the widgets
// themselves, and what the windows show is read back from GTK. Screenshots
// of each window and dialog go to the build folder beside the login ones.
#include <gtk/gtk.h>

#include <deque>
#include <thread>

#include "Framework/Staticclass/NSDataExpand.h"
#include "app/core/QVLog.h"
#include "app/core/update_test_signer.h"
#include "app/shell/AppUpdate.h"
#include "app/windows/LookTransWindowController.h"
#include "app/windows/ProgressDialogs.h"
#include "app/windows/SettingWindowController.h"
#include "app/core/Util.h"
#include "app/windows/window_test_util.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/net/proxy_settings.h"
#include "platform/ui/gtk/gtk_toolkit.h"
#include "tests/support/screenshots.h"
#include "tests/support/test_noise.h"
#include "tests/support/test_proxy.h"

namespace shelltest {
namespace {

constexpr double kDeadline = 120;

GtkWidget* findNamed(GtkWidget* root, const std::string& name) {
  if (!root) return nullptr;
  if (name == gtk_widget_get_name(root)) return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  struct Search {
    const std::string& name;
    GtkWidget* found = nullptr;
  } search{name};
  gtk_container_forall(GTK_CONTAINER(root), +[](GtkWidget* child, gpointer data) {
    auto* s = static_cast<Search*>(data);
    if (!s->found) s->found = findNamed(child, s->name);
  }, &search);
  return search.found;
}

// A picture of a GTK window as it is drawn now.
bool drawToPng(GtkWidget* widget, const std::string& name) {
  const int width = gtk_widget_get_allocated_width(widget), height = gtk_widget_get_allocated_height(widget);
  if (width <= 1 || height <= 1) return false;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(s);
  gtk_widget_draw(widget, cr);
  cairo_destroy(cr);
  const bool ok = cairo_surface_write_to_png(s, qvtest::screenshotPath(name).c_str()) ==
                  CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(s);
  return ok;
}

// What a person does in the dialogs GTK runs in nested loops: answers the
// next alert whose text holds a part (a picture of it first, when asked),
// and the folder chooser with a folder.
class Person {
public:
  Person() { timer_ = g_timeout_add(50, &Person::tick, this); }
  ~Person() { g_source_remove(timer_); }
  void answer(std::string part, int button, std::string picture = "") {
    answers_.push_back({std::move(part), button, std::move(picture)});
  }
  void chooseFolder(std::string folder) { folders_.push_back(std::move(folder)); }
  const std::vector<std::string>& seen() const { return seen_; }

private:
  struct Answer {
    std::string part;
    int button;
    std::string picture;
  };
  static gboolean tick(gpointer data) {
    auto* self = static_cast<Person*>(data);
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
      GtkWidget* widget = GTK_WIDGET(w->data);
      if (!gtk_widget_get_mapped(widget)) continue;
      if (GTK_IS_MESSAGE_DIALOG(widget) && !self->answers_.empty()) {
        gchar* text = nullptr;
        g_object_get(widget, "text", &text, nullptr);
        const std::string shown = text ? text : "";
        g_free(text);
        const Answer a = self->answers_.front();
        if (shown.find(a.part) == std::string::npos) continue;
        self->answers_.pop_front();
        self->seen_.push_back(shown);
        if (!a.picture.empty()) drawToPng(widget, a.picture);
        gtk_dialog_response(GTK_DIALOG(widget), a.button);
      } else if (GTK_IS_FILE_CHOOSER_DIALOG(widget) && !self->folders_.empty()) {
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(widget);
        gchar* current = gtk_file_chooser_get_current_folder(chooser);
        const bool there = current && self->folders_.front() == current;
        g_free(current);
        if (!there) {
          gtk_file_chooser_set_current_folder(chooser, self->folders_.front().c_str());
          continue;
        }
        self->folders_.pop_front();
        gtk_dialog_response(GTK_DIALOG(widget), GTK_RESPONSE_ACCEPT);
      }
    }
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
  }
  guint timer_ = 0;
  std::deque<Answer> answers_;
  std::deque<std::string> folders_;
  std::vector<std::string> seen_;
};

// Posts the move's progress as the move task does, from the task queue's
// thread, holding at the first step until the test lets it go on.
class HeldMoveReport : public plat::Operation {
public:
  void main() override {
    plat::NotificationCenter::defaultCenter().post("MoveFileNotification", plat::Value("42"));
    std::unique_lock<std::mutex> l(mutex);
    cv.wait(l, [&] { return go; });
    l.unlock();
    plat::NotificationCenter::defaultCenter().post("MoveFileNotification", plat::Value("100"));
  }
  void letGo() {
    std::lock_guard<std::mutex> l(mutex);
    go = true;
    cv.notify_all();
  }
  std::mutex mutex;
  std::condition_variable cv;
  bool go = false;
};

// A shown top-level window of this title.
GtkWidget* shownWindowTitled(const std::string& title) {
  GtkWidget* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next) {
    if (!GTK_IS_WINDOW(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
    const gchar* t = gtk_window_get_title(GTK_WINDOW(w->data));
    if (t && title == t) found = GTK_WIDGET(w->data);
  }
  g_list_free(windows);
  return found;
}

// Every text a label showed, in order.
struct LabelTexts {
  explicit LabelTexts(GtkWidget* label) {
    if (label) g_signal_connect(label, "notify::label", G_CALLBACK(&LabelTexts::changed), this);
  }
  static void changed(GObject* label, GParamSpec*, gpointer data) {
    auto* self = static_cast<LabelTexts*>(data);
    const std::string text = gtk_label_get_text(GTK_LABEL(label));
    self->texts.push_back(text);
    if (self->onText) self->onText(text);
  }
  std::vector<std::string> texts;
  std::function<void(const std::string&)> onText;
};

class WindowsGuiTest : public WindowTest {
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
    cloud().hook("POST", "app_update", Value(Dictionary{{"version", Value()}}));
    Util::setUIPackageKey({});
    app().setUpdateClosePause(2.0);
  }
  static bool until(const std::function<bool()>& done, double seconds = kDeadline) {
    return plat::GtkToolkit::runUntil(done, seconds);
  }
  // Signs in from a stored account, as a later launch does.
  void signInStored(const Account& a) {
    storeAccount(a, home() + "/sync/我的Quorva/");
    launch();
    ASSERT_TRUE(until([&] { return signedIn(); }));
  }
  void screenshot(const NSWindowController& c, const std::string& name) {
    const std::string path = qvtest::screenshotPath(name);
    EXPECT_TRUE(qvtest::pictureSaved(plat::GtkToolkit::snapshotWindow(c.window(), path), path));
  }
  static GtkWidget* widget(const NSWindowController& c, const std::string& id) {
    GtkWidget* w = findNamed(GTK_WIDGET(plat::GtkToolkit::gtkWindow(c.window())), id);
    EXPECT_TRUE(w) << id;
    return w;
  }
  // The rows the GTK table shows: the text of each column.
  static std::vector<std::vector<std::string>> tableRows(const NSWindowController& c) {
    std::vector<std::vector<std::string>> out;
    GtkWidget* view = widget(c, "transTableView");
    GtkTreeModel* model = view ? gtk_tree_view_get_model(GTK_TREE_VIEW(view)) : nullptr;
    GtkTreeIter iter;
    if (!model || !gtk_tree_model_get_iter_first(model, &iter)) return out;
    do {
      std::vector<std::string> row;
      for (int col = 0; col < gtk_tree_model_get_n_columns(model); col += 2) {
        gchar* text = nullptr;
        gtk_tree_model_get(model, &iter, col, &text, -1);
        row.push_back(text ? text : "");
        g_free(text);
      }
      out.push_back(row);
    } while (gtk_tree_model_iter_next(model, &iter));
    return out;
  }
  static std::string labelText(const NSWindowController& c, const std::string& id) {
    GtkWidget* w = widget(c, id);
    return w && GTK_IS_LABEL(w) ? gtk_label_get_text(GTK_LABEL(w)) : "";
  }

  std::shared_ptr<plat::GtkToolkit> desktop;
};

TEST_F(WindowsGuiTest, TheTransferListFollowsARealUploadAndDownload) {
  const Account a = newUser();
  // A file of the account whose download the service holds part-way.
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/content/")},
                                            {"after", Value(int64_t(256 * 1024))}, {"seconds", Value(8)}})));
  ASSERT_TRUE(cloud().hook(
      "POST", "files",
      Value(Dictionary{{"username", Value(a.username)},
                       {"files", Value(plat::Array{Value(Dictionary{{"path", Value("照片.jpg")},
                                                                    {"size", Value(int64_t(2 * 1024 * 1024))}})})}})));
  ASSERT_NO_FATAL_FAILURE(signInStored(a));
  auto c = app().getLookTransWindowController();
  EXPECT_TRUE(c->window()->isVisible());
  const std::string personal = syncRoot() + "个人的文件/";
  // The window's own timer brings the rows in.
  auto row = [&](const std::string& name) -> std::optional<std::vector<std::string>> {
    for (const auto& r : tableRows(*c)) {
      if (r.size() == 5 && r[1] == name) return r;
    }
    return std::nullopt;
  };
  ASSERT_TRUE(until([&] { return row("照片.jpg").has_value(); }));
  EXPECT_EQ((*row("照片.jpg"))[0], "下载");
  EXPECT_EQ((*row("照片.jpg"))[2], Util::convertFileUnitSize(2 * 1024 * 1024));
  screenshot(*c, "trans-download.png");
  ASSERT_TRUE(cloud().hook("DELETE", "faults"));
  ASSERT_TRUE(until([&] { return !row("照片.jpg") && plat::fileSize(personal + "照片.jpg").value_or(0) > 0; }));

  const Value finish(Dictionary{{"point", Value("upload_finish")}});
  ASSERT_TRUE(cloud().hook("POST", "hold", finish));
  const std::string sent(3 * 1024 * 1024 + 5, 'g');
  ASSERT_TRUE(plat::atomicWrite(personal + "报告.pdf", sent));
  ASSERT_TRUE(until([&] { return row("报告.pdf").has_value(); }));
  const auto up = *row("报告.pdf");
  EXPECT_EQ(up[0], "上传");
  EXPECT_EQ(up[2], Util::convertFileUnitSize(sent.size()));
  EXPECT_EQ(up[3].back(), '%');
  EXPECT_NE(up[4].find("/S"), std::string::npos);
  EXPECT_EQ(labelText(*c, "lblSyncCount").rfind("正在同步", 0), 0u) << labelText(*c, "lblSyncCount");
  EXPECT_FALSE(gtk_widget_get_visible(widget(*c, "lblAlert"))) << "no \"nothing moves\" beside a row";
  EXPECT_TRUE(gtk_widget_get_visible(widget(*c, "lblUpSpeed")));
  EXPECT_FALSE(gtk_widget_get_visible(widget(*c, "btnClearLog"))) << "the log's buttons come with the drawer";
  screenshot(*c, "trans-upload.png");

  // The log drawer, opened by its button, over a log of thousands of lines.
  QVLog& qvlog = QVLog::sharedQVLog();
  for (int i = 0; i < 3000; ++i) qvlog.addLogNormalFile("早" + std::to_string(i), "上传成功:");
  qvlog.flush();
  gtk_button_clicked(GTK_BUTTON(widget(*c, "btnLog")));
  GtkWidget* log = widget(*c, "logTextView");
  ASSERT_TRUE(until([&] { return gtk_widget_get_mapped(log); }));
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(widget(*c, "btnLog"))), "收起日志");
  GtkTextBuffer* text = gtk_text_view_get_buffer(GTK_TEXT_VIEW(log));
  auto lastLine = [&] {
    GtkTextIter from, to;
    gtk_text_buffer_get_iter_at_line(text, &from, gtk_text_buffer_get_line_count(text) - 2);
    gtk_text_buffer_get_end_iter(text, &to);
    gchar* t = gtk_text_buffer_get_text(text, &from, &to, FALSE);
    std::string out = t ? t : "";
    g_free(t);
    return out;
  };
  // The lines plus the empty one after the last line break: the log's bound.
  EXPECT_EQ(gtk_text_buffer_get_line_count(text), static_cast<int>(QVLog::kMaxLines) + 1);
  EXPECT_NE(lastLine().find("上传成功:早2999"), std::string::npos) << lastLine();
  // Newer lines come in with the window's own refresh; the view keeps its bound.
  for (int i = 0; i < 700; ++i) qvlog.addLogErrorFile("晚" + std::to_string(i), "失败:");
  qvlog.flush();
  auto shown = [&] {
    GtkTextIter from, to;
    gtk_text_buffer_get_bounds(text, &from, &to);
    gchar* t = gtk_text_buffer_get_text(text, &from, &to, FALSE);
    std::string out = t ? t : "";
    g_free(t);
    return out;
  };
  // The engine may add its own lines after ours.
  ASSERT_TRUE(until([&] { return shown().find("失败:晚699\n") != std::string::npos; })) << lastLine();
  EXPECT_EQ(shown().find("上传成功:早2999\n"), std::string::npos) << "the oldest lines went";
  EXPECT_EQ(gtk_text_buffer_get_line_count(text), static_cast<int>(QVLog::kMaxLines) + 1);
  until([] { return false; }, 0.5);
  screenshot(*c, "trans-log.png");
  ASSERT_TRUE(cloud().hook("POST", "release", finish));
  ASSERT_TRUE(until([&] { return !row("报告.pdf"); }));
  c->close();
}

TEST_F(WindowsGuiTest, TheSettingsWindowsSwitchesProxyAndMove) {
  const Account a = newUser();
  ASSERT_NO_FATAL_FAILURE(signInStored(a));
  auto c = app().getSettingWindowController();
  EXPECT_TRUE(c->window()->isVisible());
  until([] { return false; }, 0.3);
  screenshot(*c, "settings-general.png");

  struct Case {
    const char* id;
    std::function<bool()> stored, flag;
  } cases[] = {
      {"btnBasePrompt", [] { return app().settingsdb()->getprompt(); }, nullptr},
      {"btnBaseAutoRun", [] { return app().settingsdb()->getautorun(); }, [] { return Util::findAppAsLoginItem(); }},
      {"btnBaseBlack", [] { return app().settingsdb()->getblacktray(); }, [] { return app().bBlacktray(); }},
      {"btnBaseLocal", [] { return app().settingsdb()->getlocal(); }, [] { return app().bLocal(); }},
      {"btnBaseHttps", [] { return app().settingsdb()->gethttps(); }, [] { return app().bHttps(); }},
      {"btnBaseRecycbin", [] { return app().settingsdb()->getdelete2recyclebin(); }, [] { return app().bRecyclebin(); }},
      {"btnBaseMenu", [] { return app().settingsdb()->getrightbar(); }, [] { return app().bLockMsg(); }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.id);
    GtkWidget* box = widget(*c, k.id);
    ASSERT_TRUE(box);
    for (int round = 0; round < 2; ++round) {
      gtk_button_clicked(GTK_BUTTON(box));
      const bool now = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(box));
      EXPECT_EQ(k.stored(), now);
      if (k.flag) {
        EXPECT_EQ(k.flag(), now);
      }
    }
  }
  app().setBHttps(false);

  gtk_button_clicked(GTK_BUTTON(widget(*c, "matSettingType.1")));
  until([] { return false; }, 0.6);
  EXPECT_EQ(labelText(*c, "txtSetUserName"), app().settingsdb()->getname());
  EXPECT_EQ(labelText(*c, "selPathControl"), app().sync()->syncparent());
  EXPECT_EQ(c->pathControlURL(), fileURL(app().sync()->syncparent()));
  screenshot(*c, "settings-account.png");

  // A move from the account page: the folder chosen in GTK's chooser, the
  // confirmation answered, the dialog shown while the task runs.
  auto task = std::make_shared<HeldMoveReport>();
  SettingWindowController::setMoveTaskMaker([&](const std::string&) { return task; });
  Person person;
  plat::makeDirectories(home() + "/newplace", 0755);
  person.chooseFolder(home() + "/newplace");
  gtk_button_clicked(GTK_BUTTON(widget(*c, "btnSelPath")));
  ASSERT_EQ(c->selPath(), home() + "/newplace");
  person.answer("你确定把文件从目录", 0, "move-confirm.png");
  gtk_button_clicked(GTK_BUTTON(widget(*c, "btnSetUserMove")));
  auto dialog = c->progressController();
  ASSERT_TRUE(dialog);
  ASSERT_TRUE(until([&] { return labelText(*dialog, "strProgress") == "42%"; }));
  GtkWidget* bar = widget(*dialog, "moveProgressIndicator");
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)), 0.42);
  until([] { return false; }, 0.3);
  screenshot(*dialog, "move-progress.png");
  person.answer("恭喜你移动文件成功！", 0, "move-done.png");
  task->letGo();
  ASSERT_TRUE(until([&] { return c->isMoved() && person.seen().size() == 2; }));
  EXPECT_FALSE(c->progressController());
  SettingWindowController::setMoveTaskMaker(nullptr);

  // The proxy page: a loopback proxy that wants its user, set in GTK's fields.
  qvtest::TestProxy::Options o;
  o.requireUser = "guiuser";
  o.requirePassword = "gui pw";
  qvtest::TestProxy proxy(o);
  gtk_button_clicked(GTK_BUTTON(widget(*c, "matSettingType.2")));
  gtk_combo_box_set_active(GTK_COMBO_BOX(widget(*c, "comSetAgentType")), 1);
  gtk_entry_set_text(GTK_ENTRY(widget(*c, "txtSetAgentIp")), "127.0.0.1");
  gtk_entry_set_text(GTK_ENTRY(widget(*c, "txtSetAgentPort")), std::to_string(proxy.port()).c_str());
  gtk_button_clicked(GTK_BUTTON(widget(*c, "btnSetAgentNeedUser")));
  EXPECT_TRUE(gtk_widget_get_sensitive(widget(*c, "txtSetAgentPassword")));
  gtk_entry_set_text(GTK_ENTRY(widget(*c, "txtSetAgentUserName")), "guiuser");
  gtk_entry_set_text(GTK_ENTRY(widget(*c, "txtSetAgentPassword")), "gui pw");
  EXPECT_FALSE(gtk_entry_get_visibility(GTK_ENTRY(widget(*c, "txtSetAgentPassword")))) << "shown as dots";
  until([] { return false; }, 0.6);
  screenshot(*c, "settings-proxy.png");
  gtk_button_clicked(GTK_BUTTON(widget(*c, "btnAgentEnter")));
  EXPECT_TRUE(c->window()->isClosed()) << "saved, the window closes";
  EXPECT_EQ(app().settingsdb()->getagentport(), proxy.port());
  EXPECT_EQ(app().settingsdb()->getagentpassword(), "");
  RetUserInfo info = HTTPEngine::userinfo(app().userdata()->userToken());
  EXPECT_EQ(info.status, 200);
  ASSERT_FALSE(proxy.log().empty());
  EXPECT_NE(proxy.log().back().find(cloud().hostPort()), std::string::npos);
  plat::setApplicationProxySettings(std::nullopt);
  app().settingsdb()->setagenttype(0);
}

TEST_F(WindowsGuiTest, TheUpdateDialogShowsItsOwnersValues) {
  auto d = AppUpdateWindowController::make();
  d->showWindow();
  d->setAppVersion("1.0.3");
  d->setSerVersion("1.1.0");
  d->setDownloadProgress(plat::format("%ld%%", 42L));
  d->setAppProgress(42);
  EXPECT_EQ(labelText(*d, "downloadProgress"), "42%");
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(widget(*d, "appProgress"))), 0.42);
  EXPECT_EQ(labelText(*d, "lblSerVersion"), "最新版本:1.1.0");
  until([] { return false; }, 0.3);
  screenshot(*d, "update.png");
  d->close();
}

// The sync folder moved from the account page by the sync engine's own move
// task: the folder and what it holds go, the dialog follows the task's
// reports to "100", and the page shows the new place.
TEST_F(WindowsGuiTest, TheSyncFolderMovesFromTheAccountPageThroughTheEnginesTask) {
  const Account a = newUser();
  ASSERT_NO_FATAL_FAILURE(signInStored(a));
  const std::string oldParent = app().sync()->syncparent();
  const std::string file = app().tempsyncpath() + "个人的文件/计划.txt";
  plat::makeDirectories(plat::pathDirname(file), 0755);
  plat::atomicWrite(file, "the plan");
  auto c = app().getSettingWindowController();
  gtk_button_clicked(GTK_BUTTON(widget(*c, "matSettingType.1")));
  Person person;
  const std::string place = home() + "/moved";
  plat::makeDirectories(place, 0755);
  person.chooseFolder(place);
  gtk_button_clicked(GTK_BUTTON(widget(*c, "btnSelPath")));
  ASSERT_EQ(c->selPath(), place);
  person.answer("你确定把文件从目录", 0);
  person.answer("恭喜你移动文件成功！", 0, "move-real-done.png");
  gtk_button_clicked(GTK_BUTTON(widget(*c, "btnSetUserMove")));
  auto dialog = c->progressController();
  ASSERT_TRUE(dialog) << "the dialog shows while the task runs";
  GtkWidget* top = GTK_WIDGET(plat::GtkToolkit::gtkWindow(dialog->window()));
  LabelTexts shown(widget(*dialog, "strProgress"));
  bool pictured = false;
  shown.onText = [&](const std::string& text) {
    if (text == "100%" && !pictured) pictured = drawToPng(top, "move-real-100.png");
  };
  ASSERT_TRUE(until([&] { return c->isMoved() && person.seen().size() == 2; })) << person.seen().size();
  EXPECT_NE(std::find(shown.texts.begin(), shown.texts.end(), "100%"), shown.texts.end())
      << "the dialog reached 100; it showed " << shown.texts.size() << " texts";
  EXPECT_TRUE(pictured);
  EXPECT_FALSE(c->progressController()) << "gone at the end";

  // The sync folder ("…/我的Quorva/") now lies in the chosen place, with what it held.
  auto bare = [](std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  };
  const std::string newParent = place + "/" + plat::pathBasename(bare(oldParent));
  ASSERT_TRUE(until([&] { return bare(app().sync()->syncparent()) == newParent; }, 30)) << app().sync()->syncparent();
  EXPECT_EQ(plat::readFile(newParent + "/个人的文件/计划.txt"), std::optional<std::string>("the plan"));
  EXPECT_FALSE(plat::fileExists(oldParent)) << "the old place is gone";
  EXPECT_EQ(bare(app().tempsyncpath()), newParent);
  EXPECT_EQ(app().settingsdb()->getsyncpath().rfind(newParent, 0), 0u) << app().settingsdb()->getsyncpath();
  // The window opened anew shows the new place.
  c->close();
  c = app().getSettingWindowController();
  gtk_button_clicked(GTK_BUTTON(widget(*c, "matSettingType.1")));
  until([] { return false; }, 0.5);
  EXPECT_EQ(bare(labelText(*c, "selPathControl")), newParent);
  screenshot(*c, "settings-moved.png");
}

// An update offered by the service drives the update dialog on screen: the
// service holds the installer half way (the dialog at 50%), the download is
// cut, the dialog only hidden; asked again from the menu, the download
// resumes to 100%, and the checked installer goes to the desktop.
TEST_F(WindowsGuiTest, AnOfferedUpdateDrivesTheUpdateDialog) {
  updatetest::Signer trusted;
  Util::setUIPackageKey(trusted.publicKey());
  app().setUpdateClosePause(0.05);
  auto b64 = [](const std::string& t) { return NSDataExpand::base64Encoded(t).value_or(""); };
  const std::string body = testsupport::noise(600000, 21);
  ASSERT_TRUE(cloud().hook("POST", "app_update",
                           Value(Dictionary{{"version", Value("9.9.9")}, {"data_b64", Value(b64(body))},
                                            {"file", Value("quorva-9.9.9.deb")},
                                            {"signature_b64", Value(b64(trusted.sign(updatetest::sha256(body))))}})));
  ASSERT_TRUE(cloud().hook("POST", "fault",
                           Value(Dictionary{{"kind", Value("stall")}, {"path", Value("/download/installer/")},
                                            {"after", Value(int64_t(300000))}, {"seconds", Value(int64_t(3))}})));
  Person person;
  person.answer("当前软件已经升级到9.9.9版本，是否确定升级?", 0);
  const Account a = newUser();
  ASSERT_NO_FATAL_FAILURE(signInStored(a));
  GtkWidget* top = nullptr;
  ASSERT_TRUE(until([&] { return (top = shownWindowTitled("软件升级")) != nullptr; })) << "the dialog shows";
  GtkWidget* text = findNamed(top, "downloadProgress");
  GtkWidget* bar = findNamed(top, "appProgress");
  ASSERT_TRUE(text && bar);
  ASSERT_TRUE(until([&] { return std::string(gtk_label_get_text(GTK_LABEL(text))) == "50%"; }))
      << gtk_label_get_text(GTK_LABEL(text));
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)), 0.5);
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(findNamed(top, "lblSerVersion"))), std::string("最新版本:9.9.9"));
  until([] { return false; }, 0.3);
  EXPECT_TRUE(drawToPng(top, "update-download.png"));
  plat::GtkToolkit::snapshotScreen(qvtest::screenshotPath("update-download-screen.png"));

  // Cut after the stall: the dialog is hidden, not closed.
  ASSERT_TRUE(until([&] { return !app().downloadtask(); }));
  EXPECT_FALSE(gtk_widget_get_visible(top));
  EXPECT_TRUE(app().bAppUpdate()) << "hiding is no close";
  const std::string installer = app().getappupdatepath();
  EXPECT_FALSE(plat::fileExists(installer));
  EXPECT_EQ(ui->count("open"), 0u);

  LabelTexts shown(text);
  person.answer("软件下载完成是否立即关闭客户端，进行安装新的客户端?", 0, "update-install.png");
  app().onMenuUpdateAppClicked();
  ASSERT_TRUE(until([&] { return ui->count("open", installer) == 1; })) << "the checked installer goes to the desktop";
  EXPECT_EQ(plat::readFile(installer), body);
  EXPECT_EQ(shownWindowTitled("软件升级"), nullptr) << "hidden at the end";
  ASSERT_FALSE(shown.texts.empty());
  EXPECT_GE(std::atoi(shown.texts.front().c_str()), 50) << "resumed half way: " << shown.texts.front();
  EXPECT_EQ(shown.texts.back(), "100%");
  EXPECT_TRUE(until([&] { return app().terminating(); })) << "the client quits for the installer";
}

}  // namespace
}  // namespace shelltest
