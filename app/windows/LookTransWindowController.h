// LookTransWindowController: the transfer list. One row per running download
// or upload (direction, name, size, progress, speed), a header with the sync
// state and the count still to sync, the two total speeds, a turning sync
// icon, and a drawer with the in-memory log. It only reads: every 3 s it asks
// the transfer engine for a fresh row list and the application object for its
// flags and counters.
//
// Threads: everything here runs on the main thread except the fetch of the
// rows, which runs on the serial queue "com.trans.queue"; the fetched list is
// handed back to the main thread whole and only then replaces transData, so
// the table never reads a list being written, and a refresh never shows
// before its own fetch (and any earlier one) has finished.
//
// Life: made for one opening by the application object, shown after
// setTimerReloadTransData (bShow YES); its window's closing sets bShow NO,
// stops the timer and restarts the log display from the first line; the
// application object then lets go of it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/windows/WindowControllers.h"
#include "app/trans/TransItem.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/serial_queue.h"
#include "platform/ui/form.h"

class LookTransWindowController : public NSWindowController,
                                  public std::enable_shared_from_this<LookTransWindowController> {
public:
  static constexpr double kReloadInterval = 3.0;
  static constexpr const char* kLogOpen = "收起日志";
  static constexpr const char* kLogClosed = "详细日志";

  // Made, awoken and loaded: the window is ready to be shown.
  static std::shared_ptr<LookTransWindowController> make();
  LookTransWindowController(std::shared_ptr<plat::Window> window, std::shared_ptr<plat::Form> form);
  ~LookTransWindowController() override;
  std::string className() const override { return "LookTransWindowController"; }

  void setTimerReloadTransData() { bShow_ = true; }
  void awakeFromNib();
  void composeInterface();
  void windowDidLoad();
  // The timer's action.
  void reloadTableView();
  void windowWillClose() override;

  // "%.2f K/S" up to 1 MiB/s, "%.2f M/S" above.
  static std::string GetSpeed(uint64_t speed);
  // "%d%%" of the share done, truncated: 0.999 is 99%.
  static std::string progressText(double progress);

  // ---- The table ----
  static const std::vector<std::string>& columnIdentifiers();
  size_t numberOfRowsInTableView() const { return transData_.size(); }
  // The cell of the column for the row; nothing while the window is not
  // shown. An unknown column is a programming error.
  std::optional<plat::TableCell> viewForTableColumn(const std::string& identifier, size_t row) const;

  // ---- The log drawer ----
  void onDetailClicked();
  void clearLog();
  void logPasteboard();
  bool drawerShouldClose() const { return bShouldClose_; }
  // The drawer keeps its size: dragging it shut is refused too.
  plat::Size drawerWillResizeContents(plat::Size proposed, plat::Size current);

  // ---- The rotating icon ----
  void removeSyncAnimation();
  void addSyncAnimation();

  const std::vector<TransItem>& transData() const { return transData_; }
  bool bShow() const { return bShow_; }
  bool bShouldClose() const { return bShouldClose_; }
  const std::shared_ptr<plat::Form>& form() const { return form_; }
  // Refreshes whose display step has run.
  int64_t reloads() const { return reloads_; }

private:
  void display(std::vector<TransItem> rows, int64_t count);
  void showRows();

  std::shared_ptr<plat::Form> form_;
  std::vector<TransItem> transData_;
  std::optional<plat::RunLoop::SourceId> timer_;
  bool bShow_ = false;
  bool bShouldClose_ = false;
  bool syncFirst_ = false;  // the icon turns
  int64_t reloads_ = 0;
  std::unique_ptr<plat::SerialQueue> transQueue_;
};
