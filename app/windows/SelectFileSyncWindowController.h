// SelectFileSyncWindowController: the modal window in which the user
// chooses the cloud folders to sync. A tree of folders with a three-state
// check box each (1 synced, 0 excluded, -1 mixed), filled lazily from the
// file API's listing, starting from the folders already excluded. It gives
// back the folders left unchecked; it writes nothing itself.
//
// Threads: the tree, the clicks and the rows belong to the main thread.
// Listings run one at a time on the serial queue "com.quorva.subOpenqueue";
// each reply is handed to the main thread with the node it was asked for
// (its root and path), so a reply always lands where its request came from
// and never while the rows are drawn.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "app/windows/WindowControllers.h"
#include "app/interface/RequestRet.h"
#include "app/sync/UnSyncNode.h"
#include "platform/foundation/serial_queue.h"
#include "platform/ui/check_list.h"

// One node of the tree.
struct TreeItem {
  std::string _text;     // the name shown
  std::string _webpath;  // cloud path; a files row's is its folder's; "" for the two roots
  int _image = 2;        // 0 root, 1 files row, 2 folder
  bool _bFile = false;   // the files directly inside the parent folder
  bool _bRoot = false;
  bool _bSub = true;     // has, or may have, children
  bool _bShowSub = false;
  bool _bAdd = true;     // mark of the mark-and-sweep refresh
  int _check = 1;        // 1 checked, 0 unchecked, -1 mixed
  TreeItem* _parent = nullptr;
  std::vector<std::unique_ptr<TreeItem>> _sub;

  TreeItem* addsub(const std::string& name, const std::string& webpath, int image, int check, int index);
  TreeItem* addsub(const std::string& name, const std::string& webpath, int check) {
    return addsub(name, webpath, 2, check, -1);
  }
  TreeItem* addfilesub(const std::string& title, const std::string& webpath, int image, int check);
  TreeItem* findsub(const std::string& name, size_t* index = nullptr) const;
  void deletesub(const std::string& name);
  void resetsub();
  void deleteallsub();

private:
  std::unique_ptr<TreeItem> child(const std::string& text, const std::string& webpath, int image, int check);
};

class SelectFileSyncWindowController : public NSWindowController,
                                       public std::enable_shared_from_this<SelectFileSyncWindowController> {
public:
  static constexpr const char* kPersonalRoot = "个人的文件";
  static constexpr const char* kTeamRoot = "团队的文件";

  static std::shared_ptr<SelectFileSyncWindowController> make();
  SelectFileSyncWindowController(std::shared_ptr<plat::Window> window, std::shared_ptr<plat::CheckList> list);
  ~SelectFileSyncWindowController() override;
  std::string className() const override { return "SelectFileSyncWindowController"; }

  // "/" for the whole account, or a folder; the excluded nodes to start from.
  void initFileDataDirPath(const std::string& path, const std::vector<UnSyncNodeItem>& unsynclist);
  // Runs the window modally: 1 for OK confirmed, 0 for Cancel or closing.
  int runModal();
  // The unchecked nodes; `all` becomes false when every root is unchecked.
  std::vector<UnSyncNodeItem> getunsynclist(bool& all) const;

  // ---- What the person does ----
  void onBtnOpenSubfileClicked(size_t row);
  void onBtnCheckFileClcked(size_t row, int state);
  void onBtnEnterClicked();
  void onBtnCancelClicked();

  // ---- What the window shows ----
  const std::vector<TreeItem*>& shown() const { return _Show; }
  const std::vector<std::unique_ptr<TreeItem>>& roots() const { return _Root; }
  // Replies applied so far (each listing that came back).
  int64_t listings() const { return listings_; }
  // The rows as the list draws them.
  std::vector<plat::CheckRow> rows() const;

private:
  struct Shared {
    std::atomic<bool> closed{false};
  };
  void AddRoot(const std::string& name, const std::string& webpath);
  void AddItem(const std::string& name, const std::string& webpath, bool bfile, bool borg);
  void CheckInit();
  void resetShow();
  void OnRoadData();
  // Asks for the listing of `path` for the root `root` (-1: every root, the
  // first listing in root mode).
  void requestListing(int root, const std::string& path);
  void reloadFileListTableData(int root, const std::string& dirPath, const std::vector<FileListItem>& items);
  void applyFolderListing(TreeItem& node, const std::vector<FileListItem>& items);
  void windowWillClose();
  std::string relativeTo(const std::string& path, const std::string& base) const;

  std::shared_ptr<plat::CheckList> fileListTableView_;
  std::unique_ptr<plat::SerialQueue> subOpenQueue_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::string dirPath_;
  std::string parentPath_;
  std::vector<std::unique_ptr<TreeItem>> _Root;
  std::vector<TreeItem*> _Show;
  bool _bClose = false;
  bool inModal_ = false;
  int64_t listings_ = 0;
};
