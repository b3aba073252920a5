#include "platform/ui/gtk/gtk_toolkit.h"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <libnotify/notify.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <chrono>
#include <mutex>

#include "platform/foundation/file_util.h"
#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"
#include "platform/ui/gtk/gtk_status.h"
#include "platform/ui/gtk/gtk_views.h"

namespace plat {

namespace {

// ---- The run loop inside GTK's main loop ----

struct RunLoopSource {
  GSource base;
  gpointer tag;
};

gboolean sourcePrepare(GSource*, gint* timeout) {
  *timeout = MainThread::runLoop()->pollTimeoutMs();
  return *timeout == 0;
}

gboolean sourceCheck(GSource* source) {
  auto* s = reinterpret_cast<RunLoopSource*>(source);
  return (g_source_query_unix_fd(source, s->tag) & G_IO_IN) != 0 || MainThread::runLoop()->pollTimeoutMs() == 0;
}

gboolean sourceDispatch(GSource*, GSourceFunc, gpointer) {
  MainThread::runLoop()->dispatchPending();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kRunLoopFuncs = {sourcePrepare, sourceCheck, sourceDispatch, nullptr, nullptr, nullptr};

int lastButton(const AlertSpec& a) { return static_cast<int>(a.buttons.empty() ? 0 : a.buttons.size() - 1); }

}  // namespace

// ---- Notices (libnotify) ----

class GtkToolkit::Notices : public NoticeBridge, public std::enable_shared_from_this<Notices> {
public:
  bool notify(const Notice& n) override {
    if (!notify_is_initted()) return false;
    auto self = shared_from_this();
    // Shown from the main loop, where the click comes back.
    MainThread::perform([self, n] { self->show(n); });
    return true;
  }
  void setClickHandler(std::function<void(const std::string&)> handler) override {
    std::lock_guard<std::mutex> l(mutex_);
    handler_ = std::move(handler);
  }

private:
  void show(const Notice& n) {
    NotifyNotification* note = notify_notification_new(n.title.c_str(), n.description.c_str(), "folder-remote");
    if (n.icon.empty()) {
      // Without an icon of the application's own: the drawn one.
      GdkPixbuf* pb = gtkImageFor("blueStatusFinishIcon", 64);
      notify_notification_set_image_from_pixbuf(note, pb);
      g_object_unref(pb);
    } else {
      // The application's own icon, when it brings one.
      GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
      if (gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(n.icon.data()), n.icon.size(), nullptr) &&
          gdk_pixbuf_loader_close(loader, nullptr)) {
        if (GdkPixbuf* pb = gdk_pixbuf_loader_get_pixbuf(loader)) notify_notification_set_image_from_pixbuf(note, pb);
      } else {
        gdk_pixbuf_loader_close(loader, nullptr);
      }
      g_object_unref(loader);
    }
    if (n.context) {
      notify_notification_add_action(
          note, "default", "打开",
          +[](NotifyNotification*, char*, gpointer data) {
            auto* c = static_cast<std::pair<Notices*, std::string>*>(data);
            std::function<void(const std::string&)> h;
            {
              std::lock_guard<std::mutex> l(c->first->mutex_);
              h = c->first->handler_;
            }
            if (h) h(c->second);
          },
          new std::pair<Notices*, std::string>(this, *n.context),
          +[](gpointer data) { delete static_cast<std::pair<Notices*, std::string>*>(data); });
    }
    GError* error = nullptr;
    if (!notify_notification_show(note, &error)) {
      if (error) g_error_free(error);
      g_object_unref(note);
      return;
    }
    // Kept until the desktop closes it, so that its click still finds it;
    // only the newest few are kept.
    g_signal_connect(note, "closed", G_CALLBACK(+[](NotifyNotification* n, gpointer data) {
                       static_cast<Notices*>(data)->release(n);
                     }),
                     this);
    shown_.push_back(note);
    while (shown_.size() > kKept) {
      NotifyNotification* old = shown_.front();
      shown_.pop_front();
      g_signal_handlers_disconnect_by_data(old, this);
      g_object_unref(old);
    }
  }

public:
  static constexpr size_t kKept = 32;
  ~Notices() override {
    for (NotifyNotification* n : shown_) {
      g_signal_handlers_disconnect_by_data(n, this);
      g_object_unref(n);
    }
  }

private:
  void release(NotifyNotification* n) {
    auto it = std::find(shown_.begin(), shown_.end(), n);
    if (it == shown_.end()) return;
    shown_.erase(it);
    g_signal_handlers_disconnect_by_data(n, this);
    // Not from inside its own signal.
    g_idle_add(+[](gpointer d) -> gboolean {
      g_object_unref(d);
      return G_SOURCE_REMOVE;
    }, n);
  }
  std::deque<NotifyNotification*> shown_;  // main thread
  std::mutex mutex_;
  std::function<void(const std::string&)> handler_;
};

// ---- The toolkit ----

struct GtkToolkit::Modal {
  GMainLoop* loop = nullptr;
  std::optional<int> code;
};

bool GtkToolkit::displayAvailable() { return gtk_init_check(nullptr, nullptr); }

std::shared_ptr<GtkToolkit> GtkToolkit::make(const std::string& dataDirectory) {
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  std::shared_ptr<GtkToolkit> t(new GtkToolkit());
  makeDirectories(dataDirectory, 0700);
  ::chmod(dataDirectory.c_str(), 0700);
  WebKitWebsiteDataManager* data = webkit_website_data_manager_new(
      "base-data-directory", dataDirectory.c_str(), "base-cache-directory", (dataDirectory + "/cache").c_str(), nullptr);
  t->context_ = webkit_web_context_new_with_website_data_manager(data);
  WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(data);
  webkit_cookie_manager_set_persistent_storage(cookies, (dataDirectory + "/cookies.sqlite").c_str(),
                                               WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  webkit_cookie_manager_set_accept_policy(cookies, WEBKIT_COOKIE_POLICY_ACCEPT_ALWAYS);
  g_object_unref(data);

  GSource* source = g_source_new(&kRunLoopFuncs, sizeof(RunLoopSource));
  reinterpret_cast<RunLoopSource*>(source)->tag =
      g_source_add_unix_fd(source, MainThread::runLoop()->epollFd(), G_IO_IN);
  // The run loop nests (a perform may run a modal window), so may its source.
  g_source_set_can_recurse(source, TRUE);
  t->source_ = g_source_attach(source, nullptr);
  g_source_unref(source);

  if (!notify_is_initted()) notify_init("Quorva");
  t->notices_ = std::make_shared<Notices>();
  return t;
}

GtkToolkit::~GtkToolkit() {
  if (source_) g_source_remove(source_);
  if (context_) g_object_unref(context_);
}

std::shared_ptr<StatusItem> GtkToolkit::makeStatusItem() { return GtkStatusItem::make(); }

std::shared_ptr<PanelView> GtkToolkit::makePanel() { return makeGtkPanel(context_); }

double GtkToolkit::statusBarThickness() const { return 22; }

double GtkToolkit::textWidth(const std::string& text, const Font& font) const {
  PangoFontMap* map = pango_cairo_font_map_get_default();
  PangoContext* pc = pango_font_map_create_context(map);
  PangoLayout* layout = pango_layout_new(pc);
  PangoFontDescription* d = pango_font_description_new();
  pango_font_description_set_family(d, font.family.c_str());
  pango_font_description_set_size(d, static_cast<int>(font.points * PANGO_SCALE));
  if (font.bold) pango_font_description_set_weight(d, PANGO_WEIGHT_BOLD);
  if (font.italic) pango_font_description_set_style(d, PANGO_STYLE_ITALIC);
  pango_layout_set_font_description(layout, d);
  pango_layout_set_text(layout, text.c_str(), -1);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  pango_font_description_free(d);
  g_object_unref(layout);
  g_object_unref(pc);
  return w;
}

bool GtkToolkit::snapshotScreen(const std::string& pngPath) {
  GdkWindow* root = gdk_get_default_root_window();
  if (!root) return false;
  GdkPixbuf* pb = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
  if (!pb) return false;
  const bool ok = gdk_pixbuf_save(pb, pngPath.c_str(), "png", nullptr, nullptr);
  g_object_unref(pb);
  return ok;
}

std::shared_ptr<Window> GtkToolkit::makeWindow(const WindowSpec& spec) { return GtkWindowImpl::make(spec); }

std::shared_ptr<WebView> GtkToolkit::makeWebView() { return GtkWebViewImpl::make(context_); }

std::shared_ptr<CheckList> GtkToolkit::makeCheckList() { return std::make_shared<GtkCheckListImpl>(); }

std::shared_ptr<Form> GtkToolkit::makeForm() { return std::make_shared<GtkFormImpl>(); }

std::shared_ptr<NoticeBridge> GtkToolkit::notices() { return notices_; }

Size GtkToolkit::measureText(const std::string& text, double width, double fontSize) const {
  PangoFontMap* map = pango_cairo_font_map_get_default();
  PangoContext* context = pango_font_map_create_context(map);
  PangoLayout* layout = pango_layout_new(context);
  PangoFontDescription* font = pango_font_description_from_string("Sans");
  pango_font_description_set_absolute_size(font, fontSize * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  pango_layout_set_width(layout, static_cast<int>(width * PANGO_SCALE));
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout, &w, &h);
  pango_font_description_free(font);
  g_object_unref(layout);
  g_object_unref(context);
  return {width, text.empty() ? 0.0 : double(h)};
}

GtkWindow* GtkToolkit::gtkWindow(const std::shared_ptr<Window>& window) {
  auto w = std::dynamic_pointer_cast<GtkWindowImpl>(window);
  return w && !w->isClosed() ? w->gtkWindow() : nullptr;
}

bool GtkToolkit::snapshotWindow(const std::shared_ptr<Window>& window, const std::string& pngPath) {
  GtkWindow* w = gtkWindow(window);
  if (!w || !gtk_widget_get_visible(GTK_WIDGET(w))) return false;
  // Laid out and drawn once before the picture is taken.
  runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(w)) && gtk_widget_get_allocated_width(GTK_WIDGET(w)) > 1; },
           10);
  runUntil([] { return false; }, 0.3);
  const int width = gtk_widget_get_allocated_width(GTK_WIDGET(w));
  const int height = gtk_widget_get_allocated_height(GTK_WIDGET(w));
  if (width <= 1 || height <= 1) return false;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(surface);
  gtk_widget_draw(GTK_WIDGET(w), cr);
  cairo_destroy(cr);
  const bool ok = cairo_surface_write_to_png(surface, pngPath.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

int GtkToolkit::runAlert(const AlertSpec& alert) {
  auto parent = std::dynamic_pointer_cast<GtkWindowImpl>(alert.parent);
  GtkWidget* dialog = gtk_message_dialog_new(parent ? parent->gtkWindow() : nullptr,
                                             static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                             alert.warning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO, GTK_BUTTONS_NONE,
                                             "%s", alert.text.c_str());
  if (!alert.informative.empty()) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.informative.c_str());
  }
  gtk_window_set_title(GTK_WINDOW(dialog), alert.title.c_str());
  for (size_t i = 0; i < alert.buttons.size(); ++i) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[i].c_str(), static_cast<int>(i));
  }
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  // Closed without a button: the last one (the one that cancels).
  const int index = response >= 0 && response < static_cast<int>(alert.buttons.size()) ? response : lastButton(alert);
  return kAlertFirstButtonReturn + index;
}

std::optional<std::string> GtkToolkit::chooseFolder(const FolderChoiceSpec& choice) {
  auto parent = std::dynamic_pointer_cast<GtkWindowImpl>(choice.parent);
  GtkWidget* dialog = gtk_file_chooser_dialog_new(choice.prompt.c_str(), parent ? parent->gtkWindow() : nullptr,
                                                  GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "取消", GTK_RESPONSE_CANCEL,
                                                  choice.prompt.c_str(), GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  if (!choice.startFolder.empty()) {
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), choice.startFolder.c_str());
  }
  std::optional<std::string> chosen;
  if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    // Nothing selected inside the folder shown: that folder is the choice.
    gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    if (!path) path = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(dialog));
    if (path) {
      chosen = path;
      g_free(path);
    }
  }
  gtk_widget_destroy(dialog);
  return chosen;
}

Size GtkToolkit::mainScreenSize() const {
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
  if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return {0, 0};
  GdkRectangle r;
  gdk_monitor_get_geometry(monitor, &r);
  return {double(r.width), double(r.height)};
}

int GtkToolkit::runModal(const std::shared_ptr<Window>& window) {
  auto w = std::dynamic_pointer_cast<GtkWindowImpl>(window);
  if (!w || w->isClosed()) return 0;
  auto modal = std::make_shared<Modal>();
  modal->loop = g_main_loop_new(nullptr, FALSE);
  modals_.push_back(modal);
  gtk_window_set_modal(w->gtkWindow(), TRUE);
  const gulong destroyed = g_signal_connect(w->gtkWindow(), "destroy", G_CALLBACK(+[](GtkWidget*, gpointer loop) {
                                              g_main_loop_quit(static_cast<GMainLoop*>(loop));
                                            }),
                                            modal->loop);
  w->show();
  g_main_loop_run(modal->loop);
  if (!w->isClosed()) {
    g_signal_handler_disconnect(w->gtkWindow(), destroyed);
    gtk_window_set_modal(w->gtkWindow(), FALSE);
  }
  modals_.erase(std::find(modals_.begin(), modals_.end(), modal));
  g_main_loop_unref(modal->loop);
  return modal->code.value_or(0);
}

void GtkToolkit::stopModal(int code) {
  if (modals_.empty() || modals_.back()->code) return;
  modals_.back()->code = code;
  g_main_loop_quit(modals_.back()->loop);
}

void GtkToolkit::setClipboardText(const std::string& text) {
  gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), text.c_str(), static_cast<gint>(text.size()));
}

void GtkToolkit::run() {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  mainLoop_ = loop;
  g_main_loop_run(loop);
  mainLoop_ = nullptr;
  g_main_loop_unref(loop);
}

void GtkToolkit::quit() {
  if (mainLoop_) g_main_loop_quit(static_cast<GMainLoop*>(mainLoop_));
}

bool GtkToolkit::runUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  // A timer wakes the loop now and then to look at `done` again.
  const guint tick = g_timeout_add(20, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool ok = done();
  while (!ok && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    ok = done();
  }
  g_source_remove(tick);
  return ok;
}

WebKitWebView* GtkToolkit::webKitView(const std::shared_ptr<WebView>& view) {
  auto v = std::dynamic_pointer_cast<GtkWebViewImpl>(view);
  return v ? v->view() : nullptr;
}

bool GtkToolkit::snapshot(const std::shared_ptr<WebView>& view, const std::string& pngPath, double seconds) {
  WebKitWebView* v = webKitView(view);
  if (!v) return false;
  struct Shot {
    bool done = false;
    cairo_surface_t* surface = nullptr;
  };
  auto shot = std::make_shared<Shot>();
  auto* keep = new std::shared_ptr<Shot>(shot);
  webkit_web_view_get_snapshot(
      v, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
      +[](GObject* o, GAsyncResult* r, gpointer data) {
        auto* s = static_cast<std::shared_ptr<Shot>*>(data);
        (*s)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(o), r, nullptr);
        (*s)->done = true;
        delete s;
      },
      keep);
  if (!runUntil([&] { return shot->done; }, seconds) || !shot->surface) return false;
  const bool ok = cairo_surface_write_to_png(shot->surface, pngPath.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(shot->surface);
  return ok;
}

int GtkToolkit::loadErrorCode(unsigned int domain, int code) {
  const std::string name = g_quark_to_string(domain);
  if (domain == WEBKIT_NETWORK_ERROR) {
    switch (code) {
      case WEBKIT_NETWORK_ERROR_CANCELLED: return kWebLoadCancelled;
      case WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST: return kWebLoadFileDoesNotExist;
      case WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL: return kWebLoadUnsupportedURL;
      default: return kWebLoadUnknown;
    }
  }
  // A load given up for a download or a changed policy: nothing failed.
  if (domain == WEBKIT_POLICY_ERROR) return kWebLoadCancelled;
  if (domain == G_RESOLVER_ERROR) return kWebLoadCannotFindHost;
  if (domain == G_IO_ERROR) {
    switch (code) {
      case G_IO_ERROR_CANCELLED: return kWebLoadCancelled;
      case G_IO_ERROR_NOT_FOUND: return kWebLoadFileDoesNotExist;
      case G_IO_ERROR_CONNECTION_REFUSED: return kWebLoadCannotConnectToHost;
      case G_IO_ERROR_TIMED_OUT: return kWebLoadTimedOut;
      case G_IO_ERROR_NETWORK_UNREACHABLE:
      case G_IO_ERROR_HOST_UNREACHABLE: return kWebLoadNotConnectedToInternet;
      case G_IO_ERROR_CONNECTION_CLOSED: return kWebLoadConnectionLost;
      default: return kWebLoadUnknown;
    }
  }
  // libsoup's own: an answer that is no HTTP (parsing, encoding).
  if (name == "soup-session-error-quark" && (code == 0 || code == 1)) return kWebLoadBadServerResponse;
  return kWebLoadUnknown;
}

}  // namespace plat
