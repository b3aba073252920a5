#include "platform/ui/sni/sni_item.h"

#include <gio/gio.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "platform/ui/sni/dbusmenu_layout.h"
#include "platform/ui/sni/status_icons.h"

namespace plat {

namespace {

const char* kIntrospection = R"XML(
<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
    <signal name="XAyatanaNewLabel"><arg name="label" type="s"/><arg name="guide" type="s"/></signal>
  </interface>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i" direction="in"/><arg name="recursionDepth" type="i" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="revision" type="u" direction="out"/><arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai" direction="in"/><arg name="propertyNames" type="as" direction="in"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i" direction="in"/><arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i" direction="in"/><arg name="eventId" type="s" direction="in"/>
      <arg name="data" type="v" direction="in"/><arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)" direction="in"/><arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i" direction="in"/><arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="updatesNeeded" type="ai" direction="out"/><arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/><arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
  </interface>
</node>)XML";

std::atomic<int> itemCount{0};

// What the exported menu holds, copied on the main thread for the bus thread.
using Node = dbusmenu::Entry;

}  // namespace

struct SniStatusItem::Impl : std::enable_shared_from_this<SniStatusItem::Impl> {
  Options options;
  std::string busName;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;

  // Bus thread only.
  GDBusConnection* connection = nullptr;
  GDBusNodeInfo* info = nullptr;
  guint itemRegistration = 0, menuRegistration = 0, ownId = 0, watchId = 0;
  bool nameOwned = false;
  std::string watcherOwner;
  GSource* spinner = nullptr;
  double angle = 0;

  // Shared between the threads.
  mutable std::mutex mutex;
  std::condition_variable ready;
  bool started = false, failed = false;
  StatusItemLook look;
  std::map<int, Node> nodes;  // 0 is the root
  unsigned revision = 1;
  std::optional<Rect> clickRect;
  std::atomic<bool> hostPresent{false};

  // Main thread only.
  std::function<void()> click;
  std::function<void(bool)> hostChanged;
  std::shared_ptr<Menu> menu;
  Menu::ListenerId listener = 0;
  bool snapshotPending = false;

  ~Impl() {
    if (loop) g_main_loop_unref(loop);
    if (context) g_main_context_unref(context);
  }

  // Runs `fn` on the bus thread. The work goes through a queue of ours
  // under `mutex`, so the hand-over is ordered where the sanitizers see it.
  std::deque<std::function<void()>> busWork;
  void onBus(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> l(mutex);
      busWork.push_back(std::move(fn));
    }
    g_main_context_invoke(context, +[](gpointer data) -> gboolean {
      auto* self = static_cast<Impl*>(data);
      self->drainBusWork();
      return G_SOURCE_REMOVE;
    }, this);
  }
  void drainBusWork() {
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> l(mutex);
        if (busWork.empty()) return;
        fn = std::move(busWork.front());
        busWork.pop_front();
      }
      fn();
    }
  }

  // Runs `fn` on the main thread while the item lives.
  void onMain(std::function<void(Impl&)> fn) {
    std::weak_ptr<Impl> weak = weak_from_this();
    MainThread::perform([weak, fn = std::move(fn)] {
      if (auto self = weak.lock()) fn(*self);
    });
  }

  // ---- Bus thread ----

  void run() {
    g_main_context_push_thread_default(context);
    GError* error = nullptr;
    connection = dbusmenu::connectSessionBus(&error);
    if (connection) {
      g_dbus_connection_set_exit_on_close(connection, FALSE);
      info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
      static const GDBusInterfaceVTable vtable = {&Impl::methodCall, &Impl::getProperty, nullptr, {}};
      itemRegistration = g_dbus_connection_register_object(connection, kItemPath, info->interfaces[0], &vtable,
                                                           this, nullptr, &error);
      if (itemRegistration) {
        menuRegistration = g_dbus_connection_register_object(connection, kMenuPath, info->interfaces[1], &vtable,
                                                             this, nullptr, &error);
      }
    }
    const bool ok = connection && itemRegistration && menuRegistration;
    if (!ok) log("status item: no session bus: %@", std::string(error ? error->message : "unknown"));
    if (error) g_error_free(error);
    if (ok) {
      ownId = g_bus_own_name_on_connection(connection, busName.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                                           &Impl::nameAcquired, &Impl::nameLost, this, nullptr);
      watchId = g_bus_watch_name_on_connection(connection, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                               &Impl::watcherAppeared, &Impl::watcherVanished, this, nullptr);
    }
    {
      std::lock_guard<std::mutex> l(mutex);
      started = true;
      failed = !ok;
    }
    ready.notify_all();
    if (ok) g_main_loop_run(loop);
    stopSpinner();
    if (watchId) g_bus_unwatch_name(watchId);
    if (ownId) g_bus_unown_name(ownId);
    if (menuRegistration) g_dbus_connection_unregister_object(connection, menuRegistration);
    if (itemRegistration) g_dbus_connection_unregister_object(connection, itemRegistration);
    if (connection) {
      g_dbus_connection_flush_sync(connection, nullptr, nullptr);
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
      connection = nullptr;
    }
    if (info) g_dbus_node_info_unref(info);
    // Sources still queued on the context run (and free their data) here.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  }

  void emit(const char* path, const char* interface, const char* signal, GVariant* args) {
    if (!connection) return;
    g_dbus_connection_emit_signal(connection, nullptr, path, interface, signal, args, nullptr);
  }

  void setHost(bool present) {
    if (hostPresent.exchange(present) == present) return;
    onMain([present](Impl& self) {
      if (self.hostChanged) self.hostChanged(present);
    });
  }

  void tryRegister() {
    if (!nameOwned || watcherOwner.empty()) return;
    std::weak_ptr<Impl>* weak = new std::weak_ptr<Impl>(weak_from_this());
    g_dbus_connection_call(
        connection, kWatcherName, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
        "RegisterStatusNotifierItem", g_variant_new("(s)", busName.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<std::weak_ptr<Impl>> weak(static_cast<std::weak_ptr<Impl>*>(data));
          GError* error = nullptr;
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          auto self = weak->lock();
          if (reply) g_variant_unref(reply);
          if (self) self->setHost(reply != nullptr);
          if (error) {
            log("status item: the tray host refused it: %@", std::string(error->message));
            g_error_free(error);
          }
        },
        weak);
  }

  static void nameAcquired(GDBusConnection*, const gchar*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->nameOwned = true;
    self->tryRegister();
  }
  static void nameLost(GDBusConnection*, const gchar* name, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (self->nameOwned) log("status item: lost the name %@", std::string(name));
    self->nameOwned = false;
  }
  static void watcherAppeared(GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->watcherOwner = owner;
    self->tryRegister();
  }
  static void watcherVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->watcherOwner.clear();
    self->setHost(false);
  }

  // The overlay turns once a second, in eight steps.
  void updateSpinner(bool turning) {
    if (turning && !spinner) {
      angle = 0;
      spinner = g_timeout_source_new(125);
      g_source_set_callback(
          spinner,
          +[](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            self->angle = std::fmod(self->angle - 2 * M_PI / 8, 2 * M_PI);
            self->emit(kItemPath, "org.kde.StatusNotifierItem", "NewIcon", nullptr);
            return G_SOURCE_CONTINUE;
          },
          this, nullptr);
      g_source_attach(spinner, context);
    } else if (!turning) {
      stopSpinner();
    }
  }
  void stopSpinner() {
    if (!spinner) return;
    g_source_destroy(spinner);
    g_source_unref(spinner);
    spinner = nullptr;
    angle = 0;
  }

  GVariant* pixmaps(const StatusItemLook& l) const {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a(iiay)"));
    for (int size : {22, 44}) {
      Pixmap p = statusPixmap(l.icon, l.overlay, angle, l.countText, l.highlighted, size);
      GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, p.argb.data(), p.argb.size(), 1);
      g_variant_builder_add(&b, "(ii@ay)", p.width, p.height, bytes);
    }
    return g_variant_builder_end(&b);
  }

  static std::string countLabel(const StatusItemLook& l) { return l.countText == " " ? std::string() : l.countText; }

  static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                               const gchar* name, GError**, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    const std::string p = name;
    if (std::string(interface) == "com.canonical.dbusmenu") {
      if (p == "Version") return g_variant_new_uint32(3);
      if (p == "TextDirection") return g_variant_new_string("ltr");
      if (p == "Status") return g_variant_new_string("normal");
      if (p == "IconThemePath") return g_variant_new_strv(nullptr, 0);
      return nullptr;
    }
    StatusItemLook l;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      l = self->look;
    }
    if (p == "Category") return g_variant_new_string("ApplicationStatus");
    if (p == "Id") return g_variant_new_string(self->options.id.c_str());
    if (p == "Title") return g_variant_new_string(self->options.title.c_str());
    if (p == "Status") return g_variant_new_string("Active");
    if (p == "WindowId") return g_variant_new_int32(0);
    if (p == "IconName" || p == "OverlayIconName" || p == "AttentionIconName") return g_variant_new_string("");
    if (p == "IconPixmap") return self->pixmaps(l);
    if (p == "ItemIsMenu") return g_variant_new_boolean(FALSE);
    if (p == "Menu") return g_variant_new_object_path(kMenuPath);
    if (p == "XAyatanaLabel") return g_variant_new_string(countLabel(l).c_str());
    if (p == "XAyatanaLabelGuide") return g_variant_new_string("999");
    if (p == "ToolTip") {
      const std::string count = countLabel(l);
      return g_variant_new("(s@a(iiay)ss)", "", g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                           self->options.title.c_str(), count.c_str());
    }
    return nullptr;
  }

  // Under `mutex`.
  GVariant* layout(int id, int depth, const std::vector<std::string>& names) const {
    return dbusmenu::layout(nodes, id, depth, names);
  }

  static std::vector<std::string> strings(GVariant* v) {
    std::vector<std::string> out;
    GVariantIter it;
    g_variant_iter_init(&it, v);
    const gchar* s;
    while (g_variant_iter_next(&it, "&s", &s)) out.emplace_back(s);
    return out;
  }

  void menuEvent(int id, const std::string& event) {
    if (event == "clicked") {
      onMain([id](Impl& self) {
        if (!self.menu) return;
        if (auto item = self.menu->find(id)) item->activate();
      });
    } else if (event == "opened") {
      aboutToShow(id);
    }
  }

  void aboutToShow(int id) {
    onMain([id](Impl& self) {
      if (!self.menu) return;
      if (id == 0) {
        self.menu->willOpen();
      } else if (auto item = self.menu->find(id); item && item->submenu()) {
        item->submenu()->willOpen();
      }
    });
  }

  static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* method,
                         GVariant* params, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    const std::string m = method;
    if (std::string(interface) == "org.kde.StatusNotifierItem") {
      if (m == "Activate" || m == "SecondaryActivate") {
        gint32 x = 0, y = 0;
        g_variant_get(params, "(ii)", &x, &y);
        {
          std::lock_guard<std::mutex> l(self->mutex);
          // The host tells where it was clicked: the item is about there.
          self->clickRect = Rect{x - 11.0, y - 11.0, 22, 22};
        }
        self->onMain([](Impl& s) {
          if (s.click) s.click();
        });
      }
      // ContextMenu: hosts show the exported menu themselves; Scroll: nothing.
      g_dbus_method_invocation_return_value(invocation, nullptr);
      return;
    }
    if (m == "GetLayout") {
      gint32 parent = 0, depth = -1;
      GVariant* names = nullptr;
      g_variant_get(params, "(ii@as)", &parent, &depth, &names);
      const auto wantedNames = strings(names);
      g_variant_unref(names);
      std::lock_guard<std::mutex> l(self->mutex);
      if (!self->nodes.count(parent)) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "no item %d",
                                              parent);
        return;
      }
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(u@(ia{sv}av))", self->revision, self->layout(parent, depth, wantedNames)));
    } else if (m == "GetGroupProperties") {
      GVariant *ids = nullptr, *names = nullptr;
      g_variant_get(params, "(@ai@as)", &ids, &names);
      const auto wantedNames = strings(names);
      GVariantBuilder b;
      g_variant_builder_init(&b, G_VARIANT_TYPE("a(ia{sv})"));
      {
        std::lock_guard<std::mutex> l(self->mutex);
        GVariantIter it;
        g_variant_iter_init(&it, ids);
        gint32 id;
        while (g_variant_iter_next(&it, "i", &id)) {
          auto n = self->nodes.find(id);
          if (n != self->nodes.end()) g_variant_builder_add(&b, "(i@a{sv})", id, dbusmenu::properties(id, n->second, wantedNames));
        }
      }
      g_variant_unref(ids);
      g_variant_unref(names);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&b)));
    } else if (m == "GetProperty") {
      gint32 id = 0;
      const gchar* name = nullptr;
      g_variant_get(params, "(i&s)", &id, &name);
      GVariant* value = nullptr;
      {
        std::lock_guard<std::mutex> l(self->mutex);
        auto n = self->nodes.find(id);
        if (n != self->nodes.end()) {
          GVariant* props = dbusmenu::properties(id, n->second, {name});
          value = g_variant_lookup_value(props, name, nullptr);
          g_variant_unref(g_variant_ref_sink(props));
        }
      }
      if (!value) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                              "no property %s of item %d", name, id);
        return;
      }
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    } else if (m == "Event") {
      gint32 id = 0;
      const gchar* event = nullptr;
      GVariant* payload = nullptr;
      guint32 time = 0;
      g_variant_get(params, "(i&s@vu)", &id, &event, &payload, &time);
      const std::string e = event;
      g_variant_unref(payload);
      bool known;
      {
        std::lock_guard<std::mutex> l(self->mutex);
        known = self->nodes.count(id) != 0;
      }
      if (!known) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "no item %d", id);
        return;
      }
      self->menuEvent(id, e);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (m == "EventGroup") {
      GVariantIter* it = nullptr;
      g_variant_get(params, "(a(isvu))", &it);
      GVariantBuilder errors;
      g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
      gint32 id;
      const gchar* event;
      GVariant* payload;
      guint32 time;
      while (g_variant_iter_next(it, "(i&svu)", &id, &event, &payload, &time)) {
        bool known;
        {
          std::lock_guard<std::mutex> l(self->mutex);
          known = self->nodes.count(id) != 0;
        }
        if (known) {
          self->menuEvent(id, event);
        } else {
          g_variant_builder_add(&errors, "i", id);
        }
        g_variant_unref(payload);
      }
      g_variant_iter_free(it);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", g_variant_builder_end(&errors)));
    } else if (m == "AboutToShow") {
      gint32 id = 0;
      g_variant_get(params, "(i)", &id);
      self->aboutToShow(id);
      // A change the will-open handler makes comes as LayoutUpdated.
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else if (m == "AboutToShowGroup") {
      GVariantIter* it = nullptr;
      g_variant_get(params, "(ai)", &it);
      gint32 id;
      while (g_variant_iter_next(it, "i", &id)) self->aboutToShow(id);
      g_variant_iter_free(it);
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                    g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
    } else {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "%s", method);
    }
  }

  // ---- Main thread ----

  static void copy(const Menu& menu, std::vector<int>& children, std::map<int, Node>& out) {
    for (const auto& item : menu.items()) {
      Node n;
      n.separator = item->isSeparator();
      n.enabled = item->enabled();
      n.label = item->title();
      n.key = item->keyEquivalent();
      n.submenu = item->submenu() != nullptr;
      if (item->submenu()) copy(*item->submenu(), n.children, out);
      children.push_back(item->id());
      out[item->id()] = std::move(n);
    }
  }

  void snapshot() {
    snapshotPending = false;
    std::map<int, Node> fresh;
    Node root;
    root.submenu = true;
    if (menu) copy(*menu, root.children, fresh);
    fresh[0] = std::move(root);
    unsigned rev;
    {
      std::lock_guard<std::mutex> l(mutex);
      nodes = std::move(fresh);
      rev = ++revision;
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    onBus([weak, rev] {
      if (auto self = weak.lock()) {
        self->emit(kMenuPath, "com.canonical.dbusmenu", "LayoutUpdated", g_variant_new("(ui)", rev, 0));
      }
    });
  }

  // Many changes in a row (a menu rebuilt) make one new layout.
  void scheduleSnapshot() {
    if (snapshotPending) return;
    snapshotPending = true;
    onMain([](Impl& self) { self.snapshot(); });
  }
};

std::shared_ptr<SniStatusItem> SniStatusItem::make(const Options& options) {
  std::shared_ptr<SniStatusItem> item(new SniStatusItem());
  auto impl = std::make_shared<Impl>();
  impl->options = options;
  impl->busName = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(++itemCount);
  impl->context = g_main_context_new();
  impl->loop = g_main_loop_new(impl->context, FALSE);
  impl->nodes[0].submenu = true;
  Impl* raw = impl.get();
  impl->thread = startThread("status item", [raw] { raw->run(); });
  {
    std::unique_lock<std::mutex> l(impl->mutex);
    impl->ready.wait(l, [&] { return impl->started; });
  }
  item->impl_ = impl;
  if (impl->failed) return nullptr;  // the destructor joins the thread
  return item;
}

SniStatusItem::~SniStatusItem() {
  if (!impl_) return;
  if (impl_->listener) Menu::removeChangeListener(impl_->listener);
  // Queued on the bus thread's context: a quit before its loop runs would be lost.
  GMainLoop* loop = impl_->loop;
  impl_->onBus([loop] { g_main_loop_quit(loop); });
  if (impl_->thread.joinable()) impl_->thread.join();
}

void SniStatusItem::show(const StatusItemLook& look) {
  {
    std::lock_guard<std::mutex> l(impl_->mutex);
    if (impl_->look == look) return;
    impl_->look = look;
  }
  std::weak_ptr<Impl> weak = impl_;
  impl_->onBus([weak, turning = !look.overlay.empty()] {
    auto self = weak.lock();
    if (!self) return;
    self->updateSpinner(turning);
    StatusItemLook l;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      l = self->look;
    }
    const std::string label = Impl::countLabel(l);
    self->emit(kItemPath, "org.kde.StatusNotifierItem", "NewIcon", nullptr);
    self->emit(kItemPath, "org.kde.StatusNotifierItem", "NewToolTip", nullptr);
    self->emit(kItemPath, "org.kde.StatusNotifierItem", "XAyatanaNewLabel", g_variant_new("(ss)", label.c_str(), "999"));
  });
}

void SniStatusItem::setClickHandler(std::function<void()> handler) { impl_->click = std::move(handler); }

void SniStatusItem::setMenu(std::shared_ptr<Menu> menu) {
  impl_->menu = std::move(menu);
  if (!impl_->listener) {
    std::weak_ptr<Impl> weak = impl_;
    impl_->listener = Menu::addChangeListener([weak] {
      if (auto self = weak.lock()) self->scheduleSnapshot();
    });
  }
  impl_->snapshot();
}

std::optional<Rect> SniStatusItem::globalRect() const {
  std::lock_guard<std::mutex> l(impl_->mutex);
  return impl_->clickRect;
}

bool SniStatusItem::hostPresent() const { return impl_->hostPresent.load(); }

void SniStatusItem::setHostChanged(std::function<void(bool)> handler) { impl_->hostChanged = std::move(handler); }

std::string SniStatusItem::busName() const { return impl_->busName; }

unsigned SniStatusItem::revision() const {
  std::lock_guard<std::mutex> l(impl_->mutex);
  return impl_->revision;
}

}  // namespace plat
