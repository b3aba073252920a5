// The plug-in's submenu in the file manager's context menu: built from the
// selection's sync state, the linked folders, the history and the MENU
// table, as a toolkit-neutral tree that the file manager's module turns
// into its own menu items; and the actions of its entries. The actions that
// reach the main application run on a worker thread of their own, so that
// the file manager never waits for the other process; opening folders runs
// on the calling thread.
//
// Threads: build and perform run on the file manager's main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plat {
class SerialQueue;
}

namespace finder {

class QVIconOverlayUtils;

struct MenuEntry {
  std::string title;
  std::string action;  // empty: no action (shown disabled unless it has a submenu)
  int64_t tag = 0;
  bool separator = false;
  std::vector<MenuEntry> submenu;
};

// What goes into the file manager's menu: a separator and the entry titled
// with the mount name, at `index` of the host's own list.
struct MenuInsertion {
  int index = 0;
  std::vector<MenuEntry> entries;
};

class QVContextMenuUtils {
public:
  explicit QVContextMenuUtils(QVIconOverlayUtils& link);
  ~QVContextMenuUtils();  // waits for the actions under way
  QVContextMenuUtils(const QVContextMenuUtils&) = delete;
  QVContextMenuUtils& operator=(const QVContextMenuUtils&) = delete;

  // The submenu for the selected disk paths; nothing while the lookup is
  // closed or nothing is selected.
  std::optional<MenuInsertion> addQVOptionsInMenu(const std::vector<std::string>& paths);
  static int menuIndexForPaths(const std::vector<std::string>& paths);

  // Runs the action of an entry (its action name and tag).
  void perform(const std::string& action, int64_t tag);
  void qvopensyncpath(int64_t tag);
  void qvmklink();
  void qvopenhistory(int64_t tag);
  void qvclickaction(int64_t tag);
  void qvsyncnow();
  // The file manager's selection changed (or its menu was asked for): one
  // item goes to the main application as the selection, none gives the
  // folder shown, several give nothing. Only the latest selection waits
  // for the worker, so a slow main application never makes a queue.
  void selectionChanged(const std::vector<std::string>& paths, const std::string& folder);
  // Waits until the actions handed to the worker have run (tests).
  void drain();

  const std::vector<std::string>& syncpaths() const { return syncpaths_; }
  const std::string& selectpath() const { return selectpath_; }

private:
  void build(const std::vector<std::string>& paths, MenuInsertion& out);

  QVIconOverlayUtils& link_;
  std::vector<std::string> syncpaths_;
  std::string selectpath_;
  std::unique_ptr<plat::SerialQueue> actions_;
  std::mutex selectMutex_;
  std::optional<std::string> pendingSelect_;  // guarded by selectMutex_
};

}  // namespace finder
