#include "tests/support/tray_host.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>

#include "platform/foundation/file_util.h"
#include "platform/ui/sni/dbusmenu_layout.h"

extern char** environ;

namespace qvtest {

bool waitUntil(const std::function<bool()>& done, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// ---- The bus ----

PrivateSessionBus::PrivateSessionBus() {
  dir_ = plat::makeTemporaryDirectory("qv-bus");
  const std::string socket = plat::pathJoin(dir_, "bus");
  address_ = "unix:path=" + socket;
  std::vector<std::string> args = {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawnp(&bus_, "dbus-daemon", &actions, nullptr, argv.data(), environ) != 0) bus_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (bus_ < 0 || !waitUntil([&] { return plat::fileExists(socket); }, 20)) {
    failure_ = "dbus-daemon did not start (package dbus-daemon)";
    return;
  }
  if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) oldAddress_ = old;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateSessionBus::~PrivateSessionBus() {
  if (oldAddress_) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", oldAddress_->c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  if (bus_ > 0) {
    ::kill(bus_, SIGTERM);
    int status = 0;
    ::waitpid(bus_, &status, 0);
  }
  if (!dir_.empty()) plat::removeTree(dir_);
}

// ---- The host ----

namespace {

const char* kHostXml = R"XML(
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  </interface>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>)XML";

}  // namespace

struct TrayHost::Impl {
  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  GDBusConnection* connection = nullptr;
  GDBusNodeInfo* info = nullptr;
  std::thread thread;
  bool watcher = true, noticesOn = true;

  mutable std::mutex mutex;
  std::condition_variable cv;
  bool ready = false, ok = false;
  std::vector<std::string> items;  // "sender" or the name the item gave
  std::map<std::string, int> signals;
  std::vector<ReceivedNotice> notices;
  uint32_t nextNotice = 1;

  ~Impl() {
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  void run() {
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    connection = plat::dbusmenu::connectSessionBus(&error);
    bool good = connection != nullptr;
    if (good) {
      info = g_dbus_node_info_new_for_xml(kHostXml, nullptr);
      static const GDBusInterfaceVTable vtable = {&Impl::method, &Impl::property, nullptr, {}};
      if (watcher) {
        good = g_dbus_connection_register_object(connection, "/StatusNotifierWatcher", info->interfaces[0], &vtable,
                                                 this, nullptr, nullptr) != 0;
      }
      if (good && noticesOn) {
        good = g_dbus_connection_register_object(connection, "/org/freedesktop/Notifications", info->interfaces[1],
                                                 &vtable, this, nullptr, nullptr) != 0;
      }
      g_dbus_connection_signal_subscribe(connection, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         G_DBUS_SIGNAL_FLAGS_NONE, &Impl::onSignal, this, nullptr);
      // The names last: whoever sees them finds the objects.
      if (good && watcher) good = requestName("org.kde.StatusNotifierWatcher");
      if (good && noticesOn) good = requestName("org.freedesktop.Notifications");
    }
    if (error) g_error_free(error);
    {
      std::lock_guard<std::mutex> l(mutex);
      ready = true;
      ok = good;
    }
    cv.notify_all();
    if (good) g_main_loop_run(loop);
    if (connection) {
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    if (info) g_dbus_node_info_unref(info);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  }

  bool requestName(const char* name) {
    GVariant* r = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name, 4u),
                                              G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (!r) return false;
    guint32 code = 0;
    g_variant_get(r, "(u)", &code);
    g_variant_unref(r);
    return code == 1;
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member, GVariant*,
                       gpointer data) {
    auto* self = static_cast<Impl*>(data);
    std::lock_guard<std::mutex> l(self->mutex);
    ++self->signals[member];
  }

  static GVariant* property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
                            gpointer data) {
    auto* self = static_cast<Impl*>(data);
    const std::string p = name;
    if (p == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
    if (p == "ProtocolVersion") return g_variant_new_int32(0);
    std::lock_guard<std::mutex> l(self->mutex);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("as"));
    for (const auto& i : self->items) g_variant_builder_add(&b, "s", i.c_str());
    return g_variant_builder_end(&b);
  }

  static void method(GDBusConnection* c, const gchar* sender, const gchar*, const gchar*, const gchar* name,
                     GVariant* params, GDBusMethodInvocation* inv, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    const std::string m = name;
    if (m == "RegisterStatusNotifierItem") {
      const gchar* service = nullptr;
      g_variant_get(params, "(&s)", &service);
      {
        std::lock_guard<std::mutex> l(self->mutex);
        self->items.emplace_back(service[0] == '/' ? sender : service);
      }
      self->cv.notify_all();
      g_dbus_connection_emit_signal(c, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                    "StatusNotifierItemRegistered", g_variant_new("(s)", service), nullptr);
      g_dbus_method_invocation_return_value(inv, nullptr);
    } else if (m == "RegisterStatusNotifierHost" || m == "CloseNotification") {
      g_dbus_method_invocation_return_value(inv, nullptr);
    } else if (m == "GetCapabilities") {
      const gchar* caps[] = {"actions", "body", "icon-static", nullptr};
      g_dbus_method_invocation_return_value(inv, g_variant_new("(^as)", caps));
    } else if (m == "GetServerInformation") {
      g_dbus_method_invocation_return_value(inv, g_variant_new("(ssss)", "test", "quorva-tests", "1", "1.2"));
    } else if (m == "Notify") {
      const gchar *app, *icon, *summary, *body;
      guint32 replaces;
      GVariantIter* actions;
      GVariant* hints;
      gint32 timeout;
      g_variant_get(params, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &summary, &body, &actions, &hints,
                    &timeout);
      ReceivedNotice n;
      n.sender = sender;
      n.appName = app;
      n.icon = icon;
      n.summary = summary;
      n.body = body;
      const gchar* a;
      while (g_variant_iter_next(actions, "&s", &a)) n.actions.emplace_back(a);
      g_variant_iter_free(actions);
      GVariant* image = nullptr;
      for (const char* key : {"image-data", "image_data", "icon_data", "image-path", "image_path"}) {
        if (!image) image = g_variant_lookup_value(hints, key, nullptr);
      }
      n.hasImage = image != nullptr;
      {
        GVariantIter hi;
        g_variant_iter_init(&hi, hints);
        const gchar* key;
        GVariant* val;
        while (g_variant_iter_next(&hi, "{&sv}", &key, &val)) {
          n.hints.emplace_back(key);
          g_variant_unref(val);
        }
      }
      if (image) g_variant_unref(image);
      g_variant_unref(hints);
      {
        std::lock_guard<std::mutex> l(self->mutex);
        n.id = replaces ? replaces : self->nextNotice++;
        self->notices.push_back(n);
      }
      g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", n.id));
    } else {
      g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "%s", name);
    }
  }

  GVariant* call(const std::string& dest, const char* path, const char* iface, const char* method, GVariant* args,
                 const char* replyType) {
    return g_dbus_connection_call_sync(connection, dest.c_str(), path, iface, method, args,
                                       replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE, 10000,
                                       nullptr, nullptr);
  }
};

TrayHost::TrayHost(bool watcher, bool notices) : impl_(std::make_shared<Impl>()) {
  impl_->watcher = watcher;
  impl_->noticesOn = notices;
  Impl* raw = impl_.get();
  impl_->thread = std::thread([raw] { raw->run(); });
  std::unique_lock<std::mutex> l(impl_->mutex);
  impl_->cv.wait(l, [&] { return impl_->ready; });
  started_ = impl_->ok;
}

TrayHost::~TrayHost() {
  // Queued: a quit before the loop runs would be lost.
  g_main_context_invoke(impl_->context, +[](gpointer loop) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
  }, impl_->loop);
  impl_->thread.join();
}

std::vector<std::string> TrayHost::items() const {
  std::lock_guard<std::mutex> l(impl_->mutex);
  return impl_->items;
}

bool TrayHost::waitForItem(double seconds) {
  std::unique_lock<std::mutex> l(impl_->mutex);
  return impl_->cv.wait_for(l, std::chrono::duration<double>(seconds), [&] { return !impl_->items.empty(); });
}

std::string TrayHost::item() const {
  std::lock_guard<std::mutex> l(impl_->mutex);
  return impl_->items.empty() ? std::string() : impl_->items.back();
}

std::optional<MenuNode> TrayHost::layout(const std::string& item) {
  const gchar* none[] = {nullptr};
  GVariant* r = impl_->call(item, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                            g_variant_new("(ii^as)", 0, -1, none), "(u(ia{sv}av))");
  if (!r) return std::nullopt;
  guint32 revision = 0;
  GVariant* root = nullptr;
  g_variant_get(r, "(u@(ia{sv}av))", &revision, &root);
  MenuNode n = plat::dbusmenu::readLayout(root);
  g_variant_unref(root);
  g_variant_unref(r);
  return n;
}

bool TrayHost::event(const std::string& item, int id, const std::string& eventId) {
  GVariant* r = impl_->call(item, "/MenuBar", "com.canonical.dbusmenu", "Event",
                            g_variant_new("(isvu)", id, eventId.c_str(), g_variant_new_string(""), 0u), nullptr);
  if (r) g_variant_unref(r);
  return r != nullptr;
}

bool TrayHost::aboutToShow(const std::string& item, int id) {
  GVariant* r = impl_->call(item, "/MenuBar", "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", id), "(b)");
  if (r) g_variant_unref(r);
  return r != nullptr;
}

bool TrayHost::activate(const std::string& item, int x, int y) {
  GVariant* r = impl_->call(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                            g_variant_new("(ii)", x, y), nullptr);
  if (r) g_variant_unref(r);
  return r != nullptr;
}

std::optional<std::string> TrayHost::property(const std::string& item, const std::string& name) {
  GVariant* r = impl_->call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                            g_variant_new("(ss)", "org.kde.StatusNotifierItem", name.c_str()), "(v)");
  if (!r) return std::nullopt;
  GVariant* v = nullptr;
  g_variant_get(r, "(v)", &v);
  std::string out;
  if (g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(v, G_VARIANT_TYPE_OBJECT_PATH)) {
    out = g_variant_get_string(v, nullptr);
  } else {
    gchar* text = g_variant_print(v, FALSE);
    out = text;
    g_free(text);
  }
  g_variant_unref(v);
  g_variant_unref(r);
  return out;
}

std::optional<TrayHost::Pixmap> TrayHost::iconPixmap(const std::string& item) {
  GVariant* r = impl_->call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                            g_variant_new("(ss)", "org.kde.StatusNotifierItem", "IconPixmap"), "(v)");
  if (!r) return std::nullopt;
  GVariant* v = nullptr;
  g_variant_get(r, "(v)", &v);
  std::optional<Pixmap> out;
  if (g_variant_n_children(v) > 0) {
    GVariant* first = g_variant_get_child_value(v, 0);
    Pixmap p;
    GVariant* bytes = nullptr;
    g_variant_get(first, "(ii@ay)", &p.width, &p.height, &bytes);
    gsize n = 0;
    const auto* data = static_cast<const uint8_t*>(g_variant_get_fixed_array(bytes, &n, 1));
    p.argb.assign(data, data + n);
    g_variant_unref(bytes);
    g_variant_unref(first);
    out = std::move(p);
  }
  g_variant_unref(v);
  g_variant_unref(r);
  return out;
}

int TrayHost::signalCount(const std::string& member) const {
  std::lock_guard<std::mutex> l(impl_->mutex);
  auto it = impl_->signals.find(member);
  return it == impl_->signals.end() ? 0 : it->second;
}

std::vector<ReceivedNotice> TrayHost::notices() const {
  std::lock_guard<std::mutex> l(impl_->mutex);
  return impl_->notices;
}

bool TrayHost::click(uint32_t id, const std::string& key) {
  std::string sender;
  {
    std::lock_guard<std::mutex> l(impl_->mutex);
    for (const auto& n : impl_->notices) {
      if (n.id == id) sender = n.sender;
    }
  }
  if (sender.empty()) return false;
  GError* error = nullptr;
  bool ok = g_dbus_connection_emit_signal(impl_->connection, sender.c_str(), "/org/freedesktop/Notifications",
                                          "org.freedesktop.Notifications", "ActionInvoked",
                                          g_variant_new("(us)", id, key.c_str()), &error);
  // 2: dismissed by the user.
  ok = ok && g_dbus_connection_emit_signal(impl_->connection, sender.c_str(), "/org/freedesktop/Notifications",
                                           "org.freedesktop.Notifications", "NotificationClosed",
                                           g_variant_new("(uu)", id, 2u), &error);
  if (error) g_error_free(error);
  g_dbus_connection_flush_sync(impl_->connection, nullptr, nullptr);
  return ok;
}

}  // namespace qvtest
