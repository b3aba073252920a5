#include "finder-plugin/core/QVContextMenuUtils.h"

#include <sys/stat.h>

#include "finder-plugin/core/QVIconOverlayUtils.h"
#include "platform/foundation/log.h"
#include "platform/foundation/serial_queue.h"
#include "platform/foundation/thread.h"
#include "platform/system/launcher.h"

namespace finder {
namespace {
MenuEntry entry(std::string title, std::string action = {}, int64_t tag = 0) {
  MenuEntry e;
  e.title = std::move(title);
  e.action = std::move(action);
  e.tag = tag;
  return e;
}
MenuEntry separator() {
  MenuEntry e;
  e.separator = true;
  return e;
}
int64_t maskFor(int state) {
  switch (state) {
    case 2: return 0x100;
    case 3: return 0x200;
    case 4: return 0x800;
    case 5: return 0x400;
    default: return 0;
  }
}
}  // namespace

QVContextMenuUtils::QVContextMenuUtils(QVIconOverlayUtils& link)
    : link_(link), actions_(std::make_unique<plat::SerialQueue>("com.quorva.finder.actions")) {}

QVContextMenuUtils::~QVContextMenuUtils() { drain(); }

void QVContextMenuUtils::drain() {
  actions_->sync([] {});
}

int QVContextMenuUtils::menuIndexForPaths(const std::vector<std::string>& paths) {
  // A package is a folder only to the Finder; here a folder is a folder.
  if (paths.size() == 1) return Syncdb::isdir(paths[0]) ? 2 : 3;
  for (const auto& p : paths) {
    if (!Syncdb::isdir(p)) return 5;
  }
  return 2;
}

std::optional<MenuInsertion> QVContextMenuUtils::addQVOptionsInMenu(const std::vector<std::string>& paths) {
  Syncdb& db = link_.syncdb();
  if (!db.bStart() || paths.empty()) return std::nullopt;
  MenuInsertion out;
  try {
    build(paths, out);
  } catch (const std::exception& e) {
    // What was added until then stays.
    plat::log("plug-in menu: %s", e.what());
  }
  return out;
}

void QVContextMenuUtils::build(const std::vector<std::string>& paths, MenuInsertion& out) {
  Syncdb& db = link_.syncdb();
  bool fileFlag = false, folderFlag = false, linkFlag = false;
  int state = 0;
  if (paths.size() == 1) {
    selectpath_ = paths[0];
    if (Syncdb::isdir(selectpath_)) {
      if (db.check_mount(selectpath_)) {
      } else if (db.check_sync(selectpath_)) {
        folderFlag = true;
        state = db.getrightstatus(selectpath_);
      } else {
        linkFlag = true;
      }
    } else if (db.check_sync(selectpath_)) {
      fileFlag = true;
      state = db.getstatus(selectpath_, true);
    }
  }
  out.index = menuIndexForPaths(paths);
  out.entries.push_back(separator());
  out.entries.push_back(entry(db.mountName()));
  std::vector<MenuEntry>& sub = out.entries.back().submenu;

  syncpaths_.clear();
  syncpaths_.push_back(db.syncpath());
  for (const auto& n : db.linkfolders().getlinknodes()) syncpaths_.push_back(n.fullpath);
  MenuEntry open = entry("打开同步文件夹");
  for (size_t i = 0; i < syncpaths_.size(); ++i) open.submenu.push_back(entry(syncpaths_[i], "qvopensyncpath", static_cast<int64_t>(i)));
  sub.push_back(std::move(open));

  if (linkFlag) sub.push_back(entry("同步到云端", "qvmklink"));

  MenuEntry recent = entry("最近浏览的文件夹");
  const auto history = db.gethistory();
  for (size_t i = 0; i < history.size(); ++i) recent.submenu.push_back(entry(history[i], "qvopenhistory", static_cast<int64_t>(i)));
  if (history.empty()) recent.submenu.push_back(entry("空"));
  sub.push_back(std::move(recent));

  if (const int64_t mask = maskFor(state)) {
    const auto items = db.getMenu();
    bool first = true;
    for (size_t i = 0; i < items.size(); ++i) {
      const int64_t s = items[i].status;
      if (!(s & mask) || !(((s & 0x10) && fileFlag) || ((s & 0x20) && folderFlag))) continue;
      if (first) sub.push_back(separator());
      first = false;
      sub.push_back(entry(items[i].title, "qvclickaction", static_cast<int64_t>(i)));
    }
  }
  if (folderFlag) {
    sub.push_back(separator());
    sub.push_back(entry("立即重新同步", "qvsyncnow"));
  }
}

void QVContextMenuUtils::perform(const std::string& action, int64_t tag) {
  if (action == "qvopensyncpath") qvopensyncpath(tag);
  else if (action == "qvmklink") qvmklink();
  else if (action == "qvopenhistory") qvopenhistory(tag);
  else if (action == "qvclickaction") qvclickaction(tag);
  else if (action == "qvsyncnow") qvsyncnow();
}

void QVContextMenuUtils::qvopensyncpath(int64_t tag) {
  if (tag < 0 || tag >= static_cast<int64_t>(syncpaths_.size())) return;
  plat::launcher()->openURL(syncpaths_[static_cast<size_t>(tag)]);
}

void QVContextMenuUtils::qvmklink() {
  const std::string path = selectpath_;
  actions_->async([this, path] { plat::runGuarded("onMkLink", [&] { link_.menumklink(path); }); });
}

void QVContextMenuUtils::qvopenhistory(int64_t tag) { link_.menuhistory(tag); }

void QVContextMenuUtils::qvclickaction(int64_t tag) {
  const std::string path = selectpath_;
  actions_->async([this, tag, path] { plat::runGuarded("onClickAction", [&] { link_.menuclick(tag, path); }); });
}

void QVContextMenuUtils::selectionChanged(const std::vector<std::string>& paths, const std::string& folder) {
  const std::string path = paths.size() == 1 ? paths[0] : paths.empty() ? folder : std::string();
  if (path.empty() || !link_.syncdb().bStart()) return;
  bool queue = false;
  {
    std::lock_guard<std::mutex> l(selectMutex_);
    queue = !pendingSelect_.has_value();
    pendingSelect_ = path;
  }
  if (!queue) return;
  actions_->async([this] {
    std::string p;
    {
      std::lock_guard<std::mutex> l(selectMutex_);
      p = pendingSelect_.value_or(std::string());
      pendingSelect_.reset();
    }
    plat::runGuarded("onSelect", [&] { link_.finderselect(p); });
  });
}

void QVContextMenuUtils::qvsyncnow() {
  const std::string path = selectpath_;
  actions_->async([this, path] { plat::runGuarded("onSyncNow", [&] { link_.menusyncnow(path); }); });
}

}  // namespace finder
