#include "finder-plugin/host/nautilus_host.h"

#include <dlfcn.h>
extern "C" {
#include <nautilus-extension.h>
}
#include <sys/stat.h>

namespace fphost {
namespace {

// ---- A GTypeModule whose code is already loaded ----
using InitFn = void (*)(GTypeModule*);
using ListFn = void (*)(const GType**, int*);
using ShutdownFn = void (*)();

struct HostModule {
  GTypeModule parent;
  InitFn init;
};
struct HostModuleClass {
  GTypeModuleClass parent_class;
};
G_DEFINE_TYPE(HostModule, host_module, G_TYPE_TYPE_MODULE)

gboolean hostModuleLoad(GTypeModule* m) {
  reinterpret_cast<HostModule*>(m)->init(m);
  return TRUE;
}
void hostModuleUnload(GTypeModule*) {}
void host_module_class_init(HostModuleClass* c) {
  G_TYPE_MODULE_CLASS(c)->load = hostModuleLoad;
  G_TYPE_MODULE_CLASS(c)->unload = hostModuleUnload;
}
void host_module_init(HostModule*) {}

// ---- A NautilusFileInfo of a local path that records its emblems ----
struct HostFile {
  GObject parent;
  GFile* location;
  std::vector<std::string>* emblems;
  int invalidated;
};
struct HostFileClass {
  GObjectClass parent_class;
};
void hostFileInfoInit(NautilusFileInfoInterface* iface);
G_DEFINE_TYPE_WITH_CODE(HostFile, host_file, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(NAUTILUS_TYPE_FILE_INFO, hostFileInfoInit))

void hostFileFinalize(GObject* o) {
  auto* f = reinterpret_cast<HostFile*>(o);
  g_clear_object(&f->location);
  delete f->emblems;
  G_OBJECT_CLASS(host_file_parent_class)->finalize(o);
}
void host_file_class_init(HostFileClass* c) { G_OBJECT_CLASS(c)->finalize = hostFileFinalize; }
void host_file_init(HostFile* f) {
  f->location = nullptr;
  f->emblems = new std::vector<std::string>();
  f->invalidated = 0;
}
HostFile* self(NautilusFileInfo* i) { return reinterpret_cast<HostFile*>(i); }
std::string pathOf(NautilusFileInfo* i) {
  char* p = g_file_get_path(self(i)->location);
  std::string s = p ? p : "";
  g_free(p);
  return s;
}
bool isDir(NautilusFileInfo* i) {
  struct stat st;
  return ::stat(pathOf(i).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void hostFileInfoInit(NautilusFileInfoInterface* iface) {
  iface->is_gone = [](NautilusFileInfo*) -> gboolean { return FALSE; };
  iface->get_name = [](NautilusFileInfo* i) -> char* { return g_file_get_basename(self(i)->location); };
  iface->get_uri = [](NautilusFileInfo* i) -> char* { return g_file_get_uri(self(i)->location); };
  iface->get_parent_uri = [](NautilusFileInfo* i) -> char* {
    GFile* p = g_file_get_parent(self(i)->location);
    char* u = p ? g_file_get_uri(p) : g_strdup("");
    if (p) g_object_unref(p);
    return u;
  };
  iface->get_uri_scheme = [](NautilusFileInfo*) -> char* { return g_strdup("file"); };
  iface->get_mime_type = [](NautilusFileInfo* i) -> char* {
    return g_strdup(isDir(i) ? "inode/directory" : "application/octet-stream");
  };
  iface->is_mime_type = [](NautilusFileInfo* i, const char* t) -> gboolean {
    return g_strcmp0(t, isDir(i) ? "inode/directory" : "application/octet-stream") == 0;
  };
  iface->is_directory = [](NautilusFileInfo* i) -> gboolean { return isDir(i); };
  iface->add_emblem = [](NautilusFileInfo* i, const char* e) { self(i)->emblems->push_back(e ? e : ""); };
  iface->get_string_attribute = [](NautilusFileInfo*, const char*) -> char* { return nullptr; };
  iface->add_string_attribute = [](NautilusFileInfo*, const char*, const char*) {};
  iface->invalidate_extension_info = [](NautilusFileInfo* i) { ++self(i)->invalidated; };
  iface->get_activation_uri = [](NautilusFileInfo* i) -> char* { return g_file_get_uri(self(i)->location); };
  iface->get_file_type = [](NautilusFileInfo* i) -> GFileType { return isDir(i) ? G_FILE_TYPE_DIRECTORY : G_FILE_TYPE_REGULAR; };
  iface->get_location = [](NautilusFileInfo* i) -> GFile* { return G_FILE(g_object_ref(self(i)->location)); };
  iface->get_parent_location = [](NautilusFileInfo* i) -> GFile* { return g_file_get_parent(self(i)->location); };
  iface->get_parent_info = [](NautilusFileInfo*) -> NautilusFileInfo* { return nullptr; };
  iface->get_mount = [](NautilusFileInfo*) -> GMount* { return nullptr; };
  iface->can_write = [](NautilusFileInfo*) -> gboolean { return TRUE; };
}

NautilusFileInfo* hostFile(const std::string& path) {
  auto* f = reinterpret_cast<HostFile*>(g_object_new(host_file_get_type(), nullptr));
  f->location = g_file_new_for_path(path.c_str());
  return NAUTILUS_FILE_INFO(f);
}

std::vector<HostMenuItem> describe(GList* items) {
  std::vector<HostMenuItem> out;
  for (GList* l = items; l; l = l->next) {
    auto* item = NAUTILUS_MENU_ITEM(l->data);
    HostMenuItem h;
    char *name = nullptr, *label = nullptr;
    gboolean sensitive = TRUE;
    NautilusMenu* sub = nullptr;
    g_object_get(item, "name", &name, "label", &label, "sensitive", &sensitive, "menu", &sub, nullptr);
    h.name = name ? name : "";
    h.label = label ? label : "";
    h.sensitive = sensitive;
    h.item = item;
    g_free(name);
    g_free(label);
    if (sub) {
      GList* children = nautilus_menu_get_items(sub);
      h.submenu = describe(children);
      nautilus_menu_item_list_free(children);  // the submenu keeps its own references
      g_object_unref(sub);
    }
    out.push_back(std::move(h));
  }
  return out;
}

const HostMenuItem* find(const std::vector<HostMenuItem>& items, const std::vector<std::string>& labels, size_t at) {
  for (const auto& i : items) {
    if (i.label != labels[at]) continue;
    if (at + 1 == labels.size()) return &i;
    return find(i.submenu, labels, at + 1);
  }
  return nullptr;
}

}  // namespace

bool NautilusHost::load(const std::string& modulePath, std::string* error) {
  handle_ = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    if (error) *error = dlerror();
    return false;
  }
  auto init = reinterpret_cast<InitFn>(dlsym(handle_, "nautilus_module_initialize"));
  auto list = reinterpret_cast<ListFn>(dlsym(handle_, "nautilus_module_list_types"));
  if (!init || !list || !dlsym(handle_, "nautilus_module_shutdown")) {
    if (error) *error = "not a Nautilus extension module";
    return false;
  }
  auto* m = reinterpret_cast<HostModule*>(g_object_new(host_module_get_type(), nullptr));
  m->init = init;
  module_ = m;
  g_type_module_set_name(G_TYPE_MODULE(m), modulePath.c_str());
  if (!g_type_module_use(G_TYPE_MODULE(m))) {
    if (error) *error = "the module did not load";
    return false;
  }
  const GType* types = nullptr;
  int n = 0;
  list(&types, &n);
  for (int i = 0; i < n; ++i) providers_.push_back(g_object_new(types[i], nullptr));
  return true;
}

NautilusHost::~NautilusHost() {
  if (lastItems_) nautilus_menu_item_list_free(static_cast<GList*>(lastItems_));
  for (void* p : providers_) g_object_unref(p);
  if (handle_) {
    if (auto shutdown = reinterpret_cast<ShutdownFn>(dlsym(handle_, "nautilus_module_shutdown"))) shutdown();
  }
  pump();
  // The module stays mapped, as in Nautilus: its types can't be unregistered.
}

bool NautilusHost::hasInfoProvider() const {
  for (void* p : providers_) {
    if (NAUTILUS_IS_INFO_PROVIDER(p)) return true;
  }
  return false;
}

bool NautilusHost::hasMenuProvider() const {
  for (void* p : providers_) {
    if (NAUTILUS_IS_MENU_PROVIDER(p)) return true;
  }
  return false;
}

std::vector<std::string> NautilusHost::emblemsFor(const std::string& path) {
  std::vector<std::string> out;
  NautilusFileInfo* file = hostFile(path);
  for (void* p : providers_) {
    if (!NAUTILUS_IS_INFO_PROVIDER(p)) continue;
    NautilusOperationHandle* handle = nullptr;
    // The interface wants a completion closure even from a provider that
    // answers at once.
    GClosure* done = g_cclosure_new(G_CALLBACK(+[] {}), nullptr, nullptr);
    g_closure_ref(done);
    g_closure_sink(done);
    nautilus_info_provider_update_file_info(NAUTILUS_INFO_PROVIDER(p), file, done, &handle);
    g_closure_unref(done);
  }
  out = *self(file)->emblems;
  g_object_unref(file);
  return out;
}

std::vector<HostMenuItem> NautilusHost::menuFor(const std::vector<std::string>& paths, bool background) {
  if (lastItems_) nautilus_menu_item_list_free(static_cast<GList*>(lastItems_));
  lastItems_ = nullptr;
  GList* files = nullptr;
  for (const auto& p : paths) files = g_list_append(files, hostFile(p));
  GList* all = nullptr;
  for (void* p : providers_) {
    if (!NAUTILUS_IS_MENU_PROVIDER(p)) continue;
    GList* items = background && files
                       ? nautilus_menu_provider_get_background_items(NAUTILUS_MENU_PROVIDER(p), NAUTILUS_FILE_INFO(files->data))
                       : nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(p), files);
    all = g_list_concat(all, items);
  }
  g_list_free_full(files, g_object_unref);
  lastItems_ = all;
  lastMenu_ = describe(all);
  return lastMenu_;
}

bool NautilusHost::activate(const std::vector<std::string>& labels) {
  if (labels.empty()) return false;
  const HostMenuItem* item = find(lastMenu_, labels, 0);
  if (!item) return false;
  nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(item->item));
  return true;
}

void NautilusHost::pump() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

bool NautilusHost::lookupOpen() const {
  if (!handle_) return false;
  auto open = reinterpret_cast<int (*)()>(dlsym(handle_, "quorva_finder_plugin_open"));
  return open && open() != 0;
}

}  // namespace fphost
