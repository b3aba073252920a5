// The Nautilus extension module: the file manager's side of the plug-in.
// Its info provider gives every file and folder inside the sync folders the
// emblem of its sync state; its menu provider adds the submenu. Nautilus
// calls both on its main thread; every entry is guarded, so nothing the
// plug-in meets (a database error, a broken connection) reaches the file
// manager, and the module refuses to start in any other process.
#include <dlfcn.h>
#include <gtk/gtk.h>
extern "C" {
#include <nautilus-extension.h>
}

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "finder-plugin/core/QVContextMenuUtils.h"
#include "finder-plugin/core/QVIconOverlayUtils.h"
#include "platform/foundation/log.h"

namespace {

using finder::QVContextMenuUtils;
using finder::QVIconOverlayUtils;

struct QVProvider {
  GObject parent;
};
struct QVProviderClass {
  GObjectClass parent_class;
};

GType gProviderType = 0;
bool gActive = false;
// The selection's menu and the folder's background menu: Nautilus builds
// both for one popup and keeps their items' actions in one group, so each
// has its own names and its own selected path.
std::unique_ptr<QVContextMenuUtils> gMenu;
std::unique_ptr<QVContextMenuUtils> gBackgroundMenu;

// Files asked about, with the state they were given, so that a change of
// state (or of the lookup) asks Nautilus to ask again. Main thread only.
struct Seen {
  NautilusFileInfo* file;
  std::string path;
  int state;
};
std::deque<Seen> gSeen;
constexpr size_t kSeenLimit = 1024;
guint gRefreshSource = 0;

void addEmblemFolder();

template <class F>
auto guarded(const char* what, F&& f, decltype(f()) fallback) -> decltype(f()) {
  try {
    return f();
  } catch (const std::exception& e) {
    plat::log("Quorva plug-in: %s failed: %s", what, e.what());
  } catch (...) {
    plat::log("Quorva plug-in: %s failed", what);
  }
  return fallback;
}

std::string localPath(NautilusFileInfo* file) {
  GFile* location = nautilus_file_info_get_location(file);
  if (!location) return {};
  char* p = g_file_get_path(location);
  g_object_unref(location);
  std::string out = p ? p : "";
  g_free(p);
  return out;
}

void remember(NautilusFileInfo* file, const std::string& path, int state) {
  for (auto& s : gSeen) {
    if (s.file == file) {
      s.state = state;
      return;
    }
  }
  if (gSeen.size() >= kSeenLimit) {
    g_object_unref(gSeen.front().file);
    gSeen.pop_front();
  }
  gSeen.push_back({NAUTILUS_FILE_INFO(g_object_ref(file)), path, state});
}

void forgetAll() {
  for (auto& s : gSeen) g_object_unref(s.file);
  gSeen.clear();
}

// Every two seconds (the life of a cached state): the files whose state
// changed get their emblems asked for again.
gboolean refresh(gpointer) {
  guarded("refresh", [] {
    auto& link = QVIconOverlayUtils::sharedInstance();
    std::vector<NautilusFileInfo*> stale;
    for (auto& s : gSeen) {
      if (link.getstatus(s.path) != s.state) stale.push_back(s.file);
    }
    for (auto* f : stale) nautilus_file_info_invalidate_extension_info(f);
    return 0;
  }, 0);
  return G_SOURCE_CONTINUE;
}

// The lookup opened, closed or reloaded: every file is asked again.
gboolean invalidateAll(gpointer) {
  guarded("invalidate", [] {
    for (auto& s : gSeen) s.state = -1;
    std::vector<NautilusFileInfo*> files;
    for (auto& s : gSeen) files.push_back(s.file);
    for (auto* f : files) nautilus_file_info_invalidate_extension_info(f);
    return 0;
  }, 0);
  return G_SOURCE_REMOVE;
}

NautilusOperationResult updateFileInfo(NautilusInfoProvider*, NautilusFileInfo* file, GClosure*,
                                       NautilusOperationHandle** handle) {
  if (handle) *handle = nullptr;
  return guarded("emblem", [&] {
    const std::string path = localPath(file);
    if (path.empty()) return NAUTILUS_OPERATION_COMPLETE;
    addEmblemFolder();
    const int state = QVIconOverlayUtils::sharedInstance().getstatus(path);
    const std::string emblem = finder::Syncdb::emblemFor(state);
    if (!emblem.empty()) nautilus_file_info_add_emblem(file, emblem.c_str());
    remember(file, path, state);
    return NAUTILUS_OPERATION_COMPLETE;
  }, NAUTILUS_OPERATION_COMPLETE);
}

void cancelUpdate(NautilusInfoProvider*, NautilusOperationHandle*) {}

struct Action {
  QVContextMenuUtils* menu;  // lives while the module does
  std::string action;
  int64_t tag;
};

void activate(NautilusMenuItem*, gpointer data) {
  auto* a = static_cast<Action*>(data);
  guarded("menu action", [&] {
    if (gActive && a->menu) a->menu->perform(a->action, a->tag);
    return 0;
  }, 0);
}

void freeAction(gpointer data, GClosure*) { delete static_cast<Action*>(data); }

NautilusMenuItem* makeItem(QVContextMenuUtils* menu, const finder::MenuEntry& e, const std::string& name) {
  NautilusMenuItem* item = nautilus_menu_item_new(name.c_str(), e.title.c_str(), nullptr, nullptr);
  if (!e.submenu.empty()) {
    NautilusMenu* sub = nautilus_menu_new();
    int i = 0;
    for (const auto& child : e.submenu) {
      if (child.separator) continue;  // Nautilus draws no separators of ours
      NautilusMenuItem* c = makeItem(menu, child, name + "." + std::to_string(i++));
      nautilus_menu_append_item(sub, c);
      g_object_unref(c);
    }
    nautilus_menu_item_set_submenu(item, sub);
    g_object_unref(sub);
  } else if (!e.action.empty()) {
    g_signal_connect_data(item, "activate", G_CALLBACK(activate), new Action{menu, e.action, e.tag}, freeAction,
                          GConnectFlags(0));
  } else {
    g_object_set(item, "sensitive", FALSE, nullptr);
  }
  return item;
}

GList* itemsFor(QVContextMenuUtils* menu, const char* prefix, const std::vector<std::string>& paths) {
  if (!menu) return nullptr;
  auto m = menu->addQVOptionsInMenu(paths);
  if (!m) return nullptr;
  GList* out = nullptr;
  int i = 0;
  for (const auto& e : m->entries) {
    if (e.separator) continue;
    out = g_list_append(out, makeItem(menu, e, prefix + std::to_string(i++)));
  }
  return out;
}

// Nautilus builds the background menu right after the selection's, in the
// same turn of its main loop: while a selection was just reported, the
// folder's menu is no selection of its own.
bool gSelectionAsked = false;

gboolean selectionTurnEnded(gpointer) {
  gSelectionAsked = false;
  return G_SOURCE_REMOVE;
}

GList* getFileItems(NautilusMenuProvider*, GList* files) {
  return guarded("menu", [&]() -> GList* {
    std::vector<std::string> paths;
    for (GList* l = files; l; l = l->next) {
      std::string p = localPath(NAUTILUS_FILE_INFO(l->data));
      if (p.empty()) return nullptr;
      paths.push_back(std::move(p));
    }
    // The file manager asks for the menu of what is selected: the side bar
    // of the main application follows the same selection.
    if (gMenu && !paths.empty()) {
      gMenu->selectionChanged(paths, {});
      if (!gSelectionAsked) g_idle_add(selectionTurnEnded, nullptr);
      gSelectionAsked = true;
    }
    return itemsFor(gMenu.get(), "QuorvaMenu::", paths);
  }, static_cast<GList*>(nullptr));
}

GList* getBackgroundItems(NautilusMenuProvider*, NautilusFileInfo* folder) {
  return guarded("background menu", [&]() -> GList* {
    const std::string p = localPath(folder);
    if (p.empty()) return static_cast<GList*>(nullptr);
    if (gMenu && !gSelectionAsked) gMenu->selectionChanged({}, p);
    return itemsFor(gBackgroundMenu.get(), "QuorvaBackgroundMenu::", {p});
  }, static_cast<GList*>(nullptr));
}

void infoInit(gpointer iface, gpointer) {
  auto* i = static_cast<NautilusInfoProviderInterface*>(iface);
  i->update_file_info = updateFileInfo;
  i->cancel_update = cancelUpdate;
}

void menuInit(gpointer iface, gpointer) {
  auto* i = static_cast<NautilusMenuProviderInterface*>(iface);
  i->get_file_items = getFileItems;
  i->get_background_items = getBackgroundItems;
}

bool inFileManager() {
  const char* name = g_get_prgname();
  const std::string n = name ? name : "";
  return n == "nautilus" || n == "org.gnome.Nautilus";
}

// The emblems are icons of the module's own folder beside it, laid out as
// the fallback theme (hicolor) so that the file manager, which adds an
// emblem only when the icon theme knows its name, finds them. Nautilus
// loads its modules before it opens its display, so the folder is added to
// the icon theme at the first file asked about.
void addEmblemFolder() {
  static bool added = false;
  if (added) return;
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&addEmblemFolder), &info) || !info.dli_fname) return;
  std::string dir = info.dli_fname;
  dir = dir.substr(0, dir.rfind('/')) + "/quorva-finder-plugin/icons";
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return;
  gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(display), dir.c_str());
  added = true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void nautilus_module_initialize(GTypeModule* module) {
  guarded("start", [&] {
    if (!inFileManager()) {
      plat::log("Quorva plug-in: not the file manager (%s), not started", g_get_prgname() ? g_get_prgname() : "?");
      return 0;
    }
    plat::log("########### Quorva FINDER PLUGIN LOADED  ###########");
    plat::log("Hooking Finder to show icon overlay and personalize the context menu");
    static const GTypeInfo info = {sizeof(QVProviderClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                                   sizeof(QVProvider), 0, nullptr, nullptr};
    gProviderType = g_type_module_register_type(module, G_TYPE_OBJECT, "QuorvaFinderProvider", &info, GTypeFlags(0));
    static const GInterfaceInfo infoIface = {infoInit, nullptr, nullptr};
    static const GInterfaceInfo menuIface = {menuInit, nullptr, nullptr};
    g_type_module_add_interface(module, gProviderType, NAUTILUS_TYPE_INFO_PROVIDER, &infoIface);
    g_type_module_add_interface(module, gProviderType, NAUTILUS_TYPE_MENU_PROVIDER, &menuIface);
    addEmblemFolder();
    auto& link = QVIconOverlayUtils::sharedInstance();
    gMenu = std::make_unique<QVContextMenuUtils>(link);
    gBackgroundMenu = std::make_unique<QVContextMenuUtils>(link);
    link.setOnChange([] { g_idle_add(invalidateAll, nullptr); });
    gRefreshSource = g_timeout_add_seconds(2, refresh, nullptr);
    gActive = true;
    return 0;
  }, 0);
}

__attribute__((visibility("default"))) void nautilus_module_shutdown(void) {
  guarded("shutdown", [] {
    if (!gActive) return 0;
    gActive = false;
    if (gRefreshSource) g_source_remove(gRefreshSource);
    gRefreshSource = 0;
    QVIconOverlayUtils::sharedInstance().setOnChange(nullptr);
    gMenu.reset();
    gBackgroundMenu.reset();
    QVIconOverlayUtils::shutdownShared();
    forgetAll();
    return 0;
  }, 0);
}

__attribute__((visibility("default"))) void nautilus_module_list_types(const GType** types, int* num_types) {
  static GType list[1];
  list[0] = gProviderType;
  *types = list;
  *num_types = gActive && gProviderType ? 1 : 0;
}

// Whether the lookup is open (the host asks it to know when to look).
__attribute__((visibility("default"))) int quorva_finder_plugin_open(void) {
  return guarded("state", [] { return gActive && QVIconOverlayUtils::sharedInstance().syncdb().bStart() ? 1 : 0; }, 0);
}

}  // extern "C"
