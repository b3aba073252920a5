// The menu's layout as com.canonical.dbusmenu carries it: the entries an
// exporter keeps, written as the (ia{sv}av) tree GetLayout answers, and
// that tree read back as a host sees it. Also the session-bus connection
// both ends open on a context of their own.
#pragma once

#include <map>
#include <string>
#include <vector>

typedef struct _GVariant GVariant;
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GError GError;

namespace plat::dbusmenu {

// An entry of the exported menu; entry 0 is the root.
struct Entry {
  bool separator = false, enabled = true, submenu = false;
  std::string label;  // plain text: no mnemonics
  std::string key;    // with Control: the shortcut
  std::vector<int> children;
};

// The protocol's labels mark mnemonics with "_"; a plain "_" is written "__".
std::string escapeLabel(const std::string& label);

// The properties of entry `id`, only those in `names` (all when empty).
GVariant* properties(int id, const Entry& entry, const std::vector<std::string>& names);
// The (ia{sv}av) tree below `id`, `depth` levels down (-1: all). An id
// that is not there is an empty entry.
GVariant* layout(const std::map<int, Entry>& entries, int id, int depth, const std::vector<std::string>& names);

// An entry of a layout as read back.
struct Node {
  int id = 0;
  std::string type;  // "separator" or "" (standard)
  std::string label;  // as sent
  bool enabled = true;
  bool submenu = false;
  std::string shortcut;  // "Control+Q"
  std::vector<Node> children;
};
Node readLayout(GVariant* tree);

// A new connection to the session bus (a message-bus connection of its
// own, not the shared one); null with `error` set when there is none.
GDBusConnection* connectSessionBus(GError** error);

}  // namespace plat::dbusmenu
