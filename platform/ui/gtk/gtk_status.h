// The desktop's status item and panel under GTK (internal to
// platform/ui/gtk): the tray protocol's item, with a GtkStatusIcon in the
// old system tray while no tray host of that protocol runs, and the popup
// panel as an undecorated window.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>

#include "platform/ui/panel.h"
#include "platform/ui/sni/sni_item.h"
#include "platform/ui/status_item.h"

namespace plat {

// A GtkMenu showing `menu`; choosing an entry runs its action. The menu
// model is kept as long as the GtkMenu lives.
GtkWidget* gtkMenuFor(const std::shared_ptr<Menu>& menu);
// One of the drawn images (status_icons.h) as a new pixbuf.
GdkPixbuf* gtkImageFor(const std::string& name, int size);

class GtkStatusItem : public StatusItem, public std::enable_shared_from_this<GtkStatusItem> {
public:
  static std::shared_ptr<GtkStatusItem> make();
  ~GtkStatusItem() override;
  void show(const StatusItemLook& look) override;
  void setClickHandler(std::function<void()> handler) override;
  void setMenu(std::shared_ptr<Menu> menu) override;
  std::optional<Rect> globalRect() const override;
  // Whether the old tray's icon stands in for the tray protocol now.
  bool usingFallback() const;
  std::shared_ptr<SniStatusItem> sni() const { return sni_; }

private:
  GtkStatusItem() = default;
  void updateFallback();
  std::shared_ptr<SniStatusItem> sni_;
  GtkStatusIcon* fallback_ = nullptr;
  std::function<void()> click_;
  std::shared_ptr<Menu> menu_;
  StatusItemLook look_;
};

std::shared_ptr<PanelView> makeGtkPanel(WebKitWebContext* context);
// The panel's window (null for another kind of panel).
GtkWidget* gtkPanelWindow(const std::shared_ptr<PanelView>& panel);
// The shown panel holds the pointer, so a click elsewhere reaches it.
bool gtkPanelHoldsPointer(const std::shared_ptr<PanelView>& panel);

}  // namespace plat
