#include "app/windows/SelectFileSyncWindowController.h"

#include <algorithm>

#include "app/shell/AppDelegate.h"
#include "app/core/UserData.h"
#include "app/core/Util.h"
#include "app/interface/HTTPEngine.h"
#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"

namespace {

std::string filesTitle(const std::string& name) { return plat::format("\"%@\"中的文件", name); }

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) out.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

std::string lastComponent(const std::string& path) {
  auto c = components(path);
  return c.empty() ? path : c.back();
}

void checkSubInit(TreeItem& node) {
  if (node._sub.empty()) return;
  bool all = true;
  for (auto& child : node._sub) {
    checkSubInit(*child);
    all = all && child->_check == 1;
  }
  // Only the excluded paths are known now: a folder whose known children
  // are all unchecked still counts as mixed.
  node._check = all ? 1 : -1;
}

void checkSub(TreeItem& node) {
  if (node._bFile || node._sub.empty()) return;
  for (auto& child : node._sub) {
    child->_check = node._check;
    checkSub(*child);
  }
}

void checkParent(TreeItem& node) {
  TreeItem* n = &node;
  while (!n->_bRoot && n->_parent) {
    TreeItem& p = *n->_parent;
    bool all = true, some = false;
    for (auto& child : p._sub) {
      all = all && child->_check == 1;
      some = some || child->_check != 0;
    }
    p._check = all ? 1 : some ? -1 : 0;
    n = &p;
  }
}

void showChildren(TreeItem& node, std::vector<TreeItem*>& out) {
  if (!node._bShowSub || node._sub.empty()) return;
  for (auto& child : node._sub) {
    out.push_back(child.get());
    showChildren(*child, out);
  }
}

void addUnsyncToList(const TreeItem& node, std::vector<UnSyncNodeItem>& list) {
  for (const auto& child : node._sub) {
    if (child->_check == 0) {
      list.push_back({child->_webpath, child->_bFile ? 2 : 0});
    } else {
      addUnsyncToList(*child, list);
    }
  }
}

}  // namespace

// ---- TreeItem ----

TreeItem* TreeItem::findsub(const std::string& name, size_t* index) const {
  for (size_t i = 0; i < _sub.size(); ++i) {
    if (_sub[i]->_text != name) continue;
    if (index) *index = i;
    return _sub[i].get();
  }
  return nullptr;
}

TreeItem* TreeItem::addsub(const std::string& name, const std::string& webpath, int image, int check, int index) {
  size_t at = 0;
  if (TreeItem* child = findsub(name, &at)) {
    child->_image = image;
    child->_webpath = webpath;
    child->_bAdd = true;
    _bSub = true;
    // Children follow the reply's order (the files row stands first).
    if (index != -1 && at != static_cast<size_t>(index) + 1) {
      auto moved = std::move(_sub[at]);
      _sub.erase(_sub.begin() + static_cast<long>(at));
      _sub.push_back(std::move(moved));
      return _sub.back().get();
    }
    return child;
  }
  _sub.push_back(child(name, webpath, image, check));
  _bSub = true;
  return _sub.back().get();
}

std::unique_ptr<TreeItem> TreeItem::child(const std::string& text, const std::string& webpath, int image, int check) {
  auto item = std::make_unique<TreeItem>();
  item->_text = text;
  item->_webpath = webpath;
  item->_image = image;
  item->_check = check;
  item->_parent = this;
  return item;
}

TreeItem* TreeItem::addfilesub(const std::string& title, const std::string& webpath, int image, int check) {
  TreeItem* row = findsub(title);
  if (row) {
    row->_image = image;
    row->_webpath = webpath;
    row->_bAdd = true;
    row->_bSub = false;
    row->_bFile = true;
  } else {
    auto item = child(title, webpath, image, check);
    item->_bFile = true;
    item->_bSub = false;
    _sub.insert(_sub.begin(), std::move(item));
    row = _sub.front().get();
  }
  _bSub = true;
  return row;
}

void TreeItem::deletesub(const std::string& name) {
  size_t at = 0;
  if (findsub(name, &at)) _sub.erase(_sub.begin() + static_cast<long>(at));
  if (_sub.empty()) _bSub = false;
}

void TreeItem::resetsub() {
  for (auto& child : _sub) child->_bAdd = false;
}

void TreeItem::deleteallsub() {
  _sub.erase(std::remove_if(_sub.begin(), _sub.end(), [](const auto& c) { return !c->_bAdd; }), _sub.end());
  if (_sub.empty()) _bSub = false;
}

// ---- The window ----

std::shared_ptr<SelectFileSyncWindowController> SelectFileSyncWindowController::make() {
  auto toolkit = plat::Toolkit::current();
  auto window = toolkit->makeWindow({"SelectFileSyncWindowController", "选择同步文件夹", {420, 360}});
  auto list = toolkit->makeCheckList();
  window->setCheckList(list);
  auto c = std::make_shared<SelectFileSyncWindowController>(window, list);
  std::weak_ptr<SelectFileSyncWindowController> weak = c;
  list->setToggleHandler([weak](size_t row) {
    if (auto self = weak.lock()) self->onBtnOpenSubfileClicked(row);
  });
  list->setCheckHandler([weak](size_t row, int state) {
    if (auto self = weak.lock()) self->onBtnCheckFileClcked(row, state);
  });
  window->addButton("确定", [weak] {
    if (auto self = weak.lock()) self->onBtnEnterClicked();
  });
  window->addButton("取消", [weak] {
    if (auto self = weak.lock()) self->onBtnCancelClicked();
  });
  window->setWillClose([weak] {
    if (auto self = weak.lock()) self->windowWillClose();
  });
  return c;
}

SelectFileSyncWindowController::SelectFileSyncWindowController(std::shared_ptr<plat::Window> window,
                                                               std::shared_ptr<plat::CheckList> list)
    : NSWindowController(std::move(window)),
      fileListTableView_(std::move(list)),
      subOpenQueue_(std::make_unique<plat::SerialQueue>("com.quorva.subOpenqueue")) {}

SelectFileSyncWindowController::~SelectFileSyncWindowController() {
  // Listings still queued are skipped; the running one ends on its own.
  shared_->closed = true;
  subOpenQueue_.reset();
}

void SelectFileSyncWindowController::AddRoot(const std::string& name, const std::string& webpath) {
  auto root = std::make_unique<TreeItem>();
  root->_text = name;
  root->_webpath = webpath;
  root->_image = 0;
  root->_bRoot = true;
  root->_bShowSub = true;
  root->_check = 1;
  _Root.push_back(std::move(root));
}

std::string SelectFileSyncWindowController::relativeTo(const std::string& path, const std::string& base) const {
  if (base.empty()) return path;
  if (path.size() > base.size()) return path.substr(std::min(path.size(), base.size() + 1));
  return "";
}

void SelectFileSyncWindowController::AddItem(const std::string&, const std::string& webpath, bool bfile, bool borg) {
  if (_Root.empty() || (borg && _Root.size() < 2)) return;
  TreeItem* node = borg ? _Root[1].get() : _Root[0].get();
  const std::string rel = relativeTo(webpath, node->_webpath);
  if (rel.empty()) {
    node->addfilesub(filesTitle(node->_text), webpath, 1, 0);
    return;
  }
  const auto parts = components(rel);
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    if (TreeItem* child = node->findsub(parts[i])) {
      node = child;
      if (last && bfile) node->addfilesub(filesTitle(node->_text), webpath, 1, 0);
      else if (last) node->_check = 0;
      continue;
    }
    const std::string path = node->_webpath.empty() ? parts[i] : node->_webpath + "/" + parts[i];
    if (!last) {
      node = node->addsub(parts[i], path, -1);
    } else if (!bfile) {
      node->addsub(parts[i], path, 0);
    } else {
      TreeItem* folder = node->addsub(parts[i], path, -1);
      folder->addfilesub(filesTitle(parts[i]), webpath, 1, 0);
    }
  }
}

void SelectFileSyncWindowController::CheckInit() {
  for (auto& root : _Root) checkSubInit(*root);
}

void SelectFileSyncWindowController::initFileDataDirPath(const std::string& path,
                                                         const std::vector<UnSyncNodeItem>& unsynclist) {
  _bClose = false;
  _Root.clear();
  _Show.clear();
  dirPath_ = path;
  if (path == "/") {
    parentPath_ = "";
    AddRoot(kPersonalRoot, "");
    auto ud = AppDelegate::shared().userdata();
    if (ud && ud->orgID() > 0) AddRoot(kTeamRoot, "");
  } else {
    AddRoot(lastComponent(path), path);
    parentPath_ = path;
  }
  for (const auto& node : unsynclist) {
    AddItem(lastComponent(node.path), node.path, (node.type & 15) == 2, (node.type & 240) == 16);
  }
  CheckInit();
  resetShow();
  OnRoadData();
  requestListing(-1, path);
}

void SelectFileSyncWindowController::resetShow() {
  _Show.clear();
  for (auto& root : _Root) {
    _Show.push_back(root.get());
    showChildren(*root, _Show);
  }
}

std::vector<plat::CheckRow> SelectFileSyncWindowController::rows() const {
  std::vector<plat::CheckRow> out;
  if (_bClose) return out;
  for (const TreeItem* node : _Show) {
    const std::string rel = relativeTo(node->_webpath, parentPath_);
    double indent = 20.0 * static_cast<double>(components(rel).size());
    if (node->_bFile) indent += 20;
    out.push_back({indent, node->_image, node->_text, node->_check, !node->_bFile, node->_bShowSub});
  }
  return out;
}

void SelectFileSyncWindowController::OnRoadData() { fileListTableView_->setRows(rows()); }

void SelectFileSyncWindowController::requestListing(int root, const std::string& path) {
  auto ud = AppDelegate::shared().userdata();
  if (!ud) return;
  const std::string token = ud->userToken();
  const int64_t mount = ud->mountID();
  std::weak_ptr<SelectFileSyncWindowController> weak = weak_from_this();
  std::shared_ptr<Shared> shared = shared_;
  subOpenQueue_->async([weak, shared, root, path, token, mount] {
    if (shared->closed) return;
    // The mount's top is the path "" on the wire ("/" would be sent as "//").
    RetFileList reply = HTTPEngine::getfilelist(token, path == "/" ? std::string() : path, mount, false);
    if (reply.status != 200) return;  // a failed listing adds nothing
    plat::MainThread::perform([weak, root, path, items = std::move(reply.itemlist)] {
      if (auto self = weak.lock()) self->reloadFileListTableData(root, path, items);
    });
  });
}

void SelectFileSyncWindowController::applyFolderListing(TreeItem& node, const std::vector<FileListItem>& items) {
  node.resetsub();
  const int check = node._check != 0 ? 1 : 0;
  if (!node._bFile) node.addfilesub(filesTitle(node._text), node._webpath, 1, check);
  int index = 0;
  for (const auto& item : items) {
    if (item.dir == 0) continue;
    node.addsub(item.filename, item.webpath, 2, check, index++);
  }
  node.deleteallsub();
}

void SelectFileSyncWindowController::reloadFileListTableData(int root, const std::string& dirPath,
                                                             const std::vector<FileListItem>& items) {
  if (_bClose || _Root.empty()) return;
  ++listings_;
  if (dirPath == "/") {
    TreeItem& first = *_Root[0];
    TreeItem* second = _Root.size() > 1 ? _Root[1].get() : nullptr;
    first.resetsub();
    if (second) second->resetsub();
    first.addfilesub(filesTitle(first._text), first._webpath, 1, first._check != 0 ? 1 : 0);
    int i1 = 0, i2 = 0;
    for (const auto& item : items) {
      if (item.dir == 0) continue;
      if (item.org == 0) {
        first.addsub(item.filename, item.webpath, 2, first._check != 0 ? 1 : 0, i1++);
      } else if (second) {
        second->addsub(item.filename, item.webpath, 2, second->_check != 0 ? 1 : 0, i2++);
      }
    }
    first.deleteallsub();
    if (second) second->deleteallsub();
  } else {
    for (size_t r = 0; r < _Root.size(); ++r) {
      if (root >= 0 && static_cast<size_t>(root) != r) continue;
      TreeItem& top = *_Root[r];
      if (!top._webpath.empty() && dirPath.rfind(top._webpath, 0) != 0) return;
      TreeItem* node = &top;
      for (const auto& part : components(relativeTo(dirPath, top._webpath))) {
        node = node->findsub(part);
        if (!node) break;
      }
      if (node) applyFolderListing(*node, items);
    }
  }
  resetShow();
  OnRoadData();
}

int SelectFileSyncWindowController::runModal() {
  auto toolkit = plat::Toolkit::current();
  inModal_ = true;
  const int code = toolkit ? toolkit->runModal(window_) : 0;
  inModal_ = false;
  _bClose = true;
  shared_->closed = true;
  if (!window_->isClosed()) window_->close();
  return code;
}

std::vector<UnSyncNodeItem> SelectFileSyncWindowController::getunsynclist(bool& all) const {
  std::vector<UnSyncNodeItem> list;
  const bool allChecked = std::all_of(_Root.begin(), _Root.end(), [](const auto& r) { return r->_check == 1; });
  if (allChecked) return list;
  if (std::all_of(_Root.begin(), _Root.end(), [](const auto& r) { return r->_check == 0; })) {
    all = false;
    return list;
  }
  for (const auto& root : _Root) addUnsyncToList(*root, list);
  return list;
}

void SelectFileSyncWindowController::onBtnOpenSubfileClicked(size_t row) {
  if (row >= _Show.size()) return;
  TreeItem* node = _Show[row];
  node->_bShowSub = !node->_bShowSub;
  resetShow();
  OnRoadData();
  if (!node->_bShowSub) return;
  int root = 0;
  for (const TreeItem* n = node; n; n = n->_parent) {
    for (size_t r = 0; r < _Root.size(); ++r) {
      if (_Root[r].get() == n) root = static_cast<int>(r);
    }
  }
  requestListing(root, node->_webpath.empty() ? std::string("/") : node->_webpath);
}

void SelectFileSyncWindowController::onBtnCheckFileClcked(size_t row, int state) {
  if (row >= _Show.size()) return;
  TreeItem* node = _Show[row];
  node->_check = state == -1 ? 1 : state;
  checkSub(*node);
  checkParent(*node);
  resetShow();
  OnRoadData();
}

void SelectFileSyncWindowController::onBtnEnterClicked() {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return;
  bool all = true;
  const auto list = getunsynclist(all);
  if (!all) {
    plat::AlertSpec a{"", "不能所有的文件都不同步,请重新选择！", {"确定", "取消"}};
    a.parent = window_;
    toolkit->runAlert(a);
    return;
  }
  if (!list.empty()) {
    plat::AlertSpec a{"", "是否确定当前选择同步文件夹？未选择同步的文件夹将在您的电脑中移除！", {"确定", "取消"}};
    a.parent = window_;
    if (toolkit->runAlert(a) != plat::kAlertFirstButtonReturn) return;
  }
  toolkit->stopModal(1);
}

void SelectFileSyncWindowController::onBtnCancelClicked() {
  if (auto toolkit = plat::Toolkit::current()) toolkit->stopModal(0);
}

void SelectFileSyncWindowController::windowWillClose() {
  _bClose = true;
  shared_->closed = true;
  if (!inModal_) return;
  if (auto toolkit = plat::Toolkit::current()) toolkit->stopModal(0);
}
