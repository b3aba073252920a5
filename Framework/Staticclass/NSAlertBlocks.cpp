#include "Framework/Staticclass/NSAlertBlocks.h"

namespace {

plat::AlertSpec makeAlert(const std::shared_ptr<plat::Window>& window, const std::string& message,
                          const std::string& informativeText, NSAlertBlocks::AlertStyle style,
                          const std::vector<std::string>& titles) {
  plat::AlertSpec alert;
  alert.text = message;
  alert.informative = informativeText;
  alert.buttons = titles;
  alert.parent = window;
  alert.warning = style != NSAlertBlocks::AlertStyle::kInformational;
  return alert;
}

}  // namespace

plat::AlertSpec NSAlertBlocks::showSheetModalForWindow(const std::shared_ptr<plat::Window>& window,
                                                       const std::string& message, const std::string& informativeText,
                                                       AlertStyle style,
                                                       const std::optional<std::string>& cancelButtonTitle,
                                                       const std::vector<std::string>& otherButtonTitles,
                                                       DismissBlock onDismiss, CancelBlock onCancel) {
  std::vector<std::string> titles = otherButtonTitles;
  if (cancelButtonTitle) titles.push_back(*cancelButtonTitle);
  plat::AlertSpec alert = makeAlert(window, message, informativeText, style, titles);
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return alert;
  // The blocks stay with this call: a sheet opened meanwhile has its own.
  const int code = toolkit->runAlert(alert);
  alertDidEnd(alert, code, cancelButtonTitle.has_value(), onDismiss, onCancel);
  return alert;
}

void NSAlertBlocks::showQVSheetModalForWindow(const std::shared_ptr<plat::Window>& window, const std::string& message,
                                              const std::string& informativeText, AlertStyle style,
                                              const std::vector<std::string>& otherButtonTitles,
                                              ResultBlock onDismiss) {
  auto toolkit = plat::Toolkit::current();
  if (!toolkit) return;
  const int code = toolkit->runAlert(makeAlert(window, message, informativeText, style, otherButtonTitles));
  if (onDismiss) onDismiss(code);
}

void NSAlertBlocks::alertDidEnd(const plat::AlertSpec& alert, int returnCode, bool hasCancelButton,
                                const DismissBlock& onDismiss, const CancelBlock& onCancel) {
  const int index = returnCode - plat::kAlertFirstButtonReturn;
  if (hasCancelButton && index == static_cast<int>(alert.buttons.size()) - 1) {
    if (onCancel) onCancel();
    return;
  }
  if (onDismiss) onDismiss(index);
}
