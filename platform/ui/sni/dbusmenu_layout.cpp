#include "platform/ui/sni/dbusmenu_layout.h"

#include <gio/gio.h>

namespace plat::dbusmenu {

namespace {

bool wanted(const std::vector<std::string>& names, const char* name) {
  if (names.empty()) return true;
  for (const auto& n : names) {
    if (n == name) return true;
  }
  return false;
}

}  // namespace

std::string escapeLabel(const std::string& label) {
  std::string out;
  for (char c : label) {
    out += c;
    if (c == '_') out += '_';
  }
  return out;
}

GVariant* properties(int id, const Entry& n, const std::vector<std::string>& names) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
  if (id == 0) {
    if (wanted(names, "children-display")) g_variant_builder_add(&b, "{sv}", "children-display", g_variant_new_string("submenu"));
    return g_variant_builder_end(&b);
  }
  if (n.separator) {
    if (wanted(names, "type")) g_variant_builder_add(&b, "{sv}", "type", g_variant_new_string("separator"));
    return g_variant_builder_end(&b);
  }
  if (wanted(names, "label")) g_variant_builder_add(&b, "{sv}", "label", g_variant_new_string(escapeLabel(n.label).c_str()));
  if (!n.enabled && wanted(names, "enabled")) g_variant_builder_add(&b, "{sv}", "enabled", g_variant_new_boolean(FALSE));
  if (n.submenu && wanted(names, "children-display")) {
    g_variant_builder_add(&b, "{sv}", "children-display", g_variant_new_string("submenu"));
  }
  if (!n.key.empty() && wanted(names, "shortcut")) {
    const gchar* keys[] = {"Control", n.key.c_str(), nullptr};
    GVariant* one = g_variant_new_strv(keys, 2);
    g_variant_builder_add(&b, "{sv}", "shortcut", g_variant_new_array(G_VARIANT_TYPE("as"), &one, 1));
  }
  return g_variant_builder_end(&b);
}

GVariant* layout(const std::map<int, Entry>& entries, int id, int depth, const std::vector<std::string>& names) {
  auto it = entries.find(id);
  static const Entry empty;
  const Entry& n = it == entries.end() ? empty : it->second;
  GVariantBuilder children;
  g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
  if (depth != 0) {
    for (int child : n.children) g_variant_builder_add(&children, "v", layout(entries, child, depth - 1, names));
  }
  return g_variant_new("(i@a{sv}@av)", id, properties(id, n, names), g_variant_builder_end(&children));
}

Node readLayout(GVariant* v) {
  Node n;
  GVariant* props = nullptr;
  GVariantIter* children = nullptr;
  g_variant_get(v, "(i@a{sv}av)", &n.id, &props, &children);
  const gchar* s = nullptr;
  if (g_variant_lookup(props, "type", "&s", &s)) n.type = s;
  if (g_variant_lookup(props, "label", "&s", &s)) n.label = s;
  gboolean b;
  if (g_variant_lookup(props, "enabled", "b", &b)) n.enabled = b;
  if (g_variant_lookup(props, "children-display", "&s", &s)) n.submenu = std::string(s) == "submenu";
  if (GVariant* sc = g_variant_lookup_value(props, "shortcut", G_VARIANT_TYPE("aas"))) {
    GVariantIter it;
    g_variant_iter_init(&it, sc);
    GVariant* one;
    while ((one = g_variant_iter_next_value(&it))) {
      gsize len = 0;
      const gchar** keys = g_variant_get_strv(one, &len);
      for (gsize i = 0; i < len; ++i) n.shortcut += (n.shortcut.empty() ? "" : "+") + std::string(keys[i]);
      g_free(keys);
      g_variant_unref(one);
    }
    g_variant_unref(sc);
  }
  g_variant_unref(props);
  GVariant* child;
  while (g_variant_iter_next(children, "v", &child)) {
    n.children.push_back(readLayout(child));
    g_variant_unref(child);
  }
  g_variant_iter_free(children);
  return n;
}

GDBusConnection* connectSessionBus(GError** error) {
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, error);
  if (!address) return nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, error);
  g_free(address);
  return connection;
}

}  // namespace plat::dbusmenu
