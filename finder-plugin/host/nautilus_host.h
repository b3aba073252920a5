// A headless stand-in for the file manager's side of the extension
// interface: it loads an extension module as Nautilus does (dlopen, the
// module's three entry points through a GTypeModule), makes the providers
// it lists, and asks them through libnautilus-extension's own calls about
// files of its own NautilusFileInfo, which records the emblems it is given.
// Used by the tests and by the qv-nautilus-host program.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace fphost {

struct HostMenuItem {
  std::string name;
  std::string label;
  bool sensitive = true;
  std::vector<HostMenuItem> submenu;
  void* item = nullptr;  // the NautilusMenuItem, held by the host's last menu
};

class NautilusHost {
public:
  // Loads the module; false with a message in `error` when it can't.
  bool load(const std::string& modulePath, std::string* error);
  ~NautilusHost();

  // How many provider types the module listed (0 when it refused to start).
  int typeCount() const { return static_cast<int>(providers_.size()); }
  bool hasInfoProvider() const;
  bool hasMenuProvider() const;

  // The emblems the info provider gives the file at the path.
  std::vector<std::string> emblemsFor(const std::string& path);
  // The menu provider's items for the selection (or for a folder's
  // background when `background`).
  std::vector<HostMenuItem> menuFor(const std::vector<std::string>& paths, bool background = false);
  // Activates the item of the last menu reached through the labels.
  bool activate(const std::vector<std::string>& labels);
  // Runs what is due on the main context (the module's timers and idles).
  void pump();
  // The module's own report of its lookup being open.
  bool lookupOpen() const;

private:
  void* handle_ = nullptr;
  void* module_ = nullptr;  // GTypeModule*
  std::vector<void*> providers_;
  void* lastItems_ = nullptr;  // GList* of the last menu
  std::vector<HostMenuItem> lastMenu_;
};

}  // namespace fphost
