// Alerts attached to a window (sheets) that answer through blocks: the
// dismiss block gets the index of the button pressed (0 for the first
// title given), the cancel block runs for the cancel button, which stands
// last. Each sheet keeps its own blocks, so a sheet shown while another is
// up never answers with the other's. Main thread only; the alert is modal
// to its window and the call returns once it has been answered.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/toolkit.h"

class NSAlertBlocks {
public:
  enum class AlertStyle { kWarning, kInformational, kCritical };
  using DismissBlock = std::function<void(int index)>;
  using CancelBlock = std::function<void()>;
  using ResultBlock = std::function<void(int returnCode)>;

  // Returns the alert as it was shown.
  static plat::AlertSpec showSheetModalForWindow(const std::shared_ptr<plat::Window>& window, const std::string& message,
                                                 const std::string& informativeText, AlertStyle style,
                                                 const std::optional<std::string>& cancelButtonTitle,
                                                 const std::vector<std::string>& otherButtonTitles,
                                                 DismissBlock onDismiss, CancelBlock onCancel);
  // The result block gets the raw answer (kAlertFirstButtonReturn for the
  // first title).
  static void showQVSheetModalForWindow(const std::shared_ptr<plat::Window>& window, const std::string& message,
                                        const std::string& informativeText, AlertStyle style,
                                        const std::vector<std::string>& otherButtonTitles, ResultBlock onDismiss);

  // What a sheet's end does with its answer.
  static void alertDidEnd(const plat::AlertSpec& alert, int returnCode, bool hasCancelButton,
                          const DismissBlock& onDismiss, const CancelBlock& onCancel);
};
