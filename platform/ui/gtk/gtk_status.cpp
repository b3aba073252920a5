#include "platform/ui/gtk/gtk_status.h"

#include <cmath>
#include <map>

#include "platform/ui/gtk/gtk_views.h"
#include "platform/ui/sni/status_icons.h"

namespace plat {

namespace {

struct MenuHold {
  std::shared_ptr<Menu> root;
};

void fill(GtkWidget* shell, MenuHold* hold, const Menu& menu) {
  for (const auto& item : menu.items()) {
    GtkWidget* w;
    if (item->isSeparator()) {
      w = gtk_separator_menu_item_new();
    } else {
      w = gtk_menu_item_new_with_label(item->title().c_str());
      gtk_widget_set_sensitive(w, item->enabled());
      if (item->submenu()) {
        GtkWidget* sub = gtk_menu_new();
        fill(sub, hold, *item->submenu());
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(w), sub);
      } else {
        // By id: the model may have been rebuilt by the time it is chosen.
        g_object_set_data(G_OBJECT(w), "qv-id", GINT_TO_POINTER(item->id()));
        g_signal_connect(w, "activate", G_CALLBACK(+[](GtkMenuItem* mi, gpointer data) {
                           auto* h = static_cast<MenuHold*>(data);
                           const int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(mi), "qv-id"));
                           if (auto found = h->root->find(id)) found->activate();
                         }),
                         hold);
      }
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(shell), w);
  }
}

GdkPixbuf* pixbufOf(const Pixmap& p) {
  GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, p.width, p.height);
  guchar* px = gdk_pixbuf_get_pixels(pb);
  const int stride = gdk_pixbuf_get_rowstride(pb);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const uint8_t* in = &p.argb[(static_cast<size_t>(y) * p.width + x) * 4];
      guchar* out = px + y * stride + x * 4;
      out[0] = in[1];
      out[1] = in[2];
      out[2] = in[3];
      out[3] = in[0];
    }
  }
  return pb;
}

}  // namespace

GdkPixbuf* gtkImageFor(const std::string& name, int size) {
  return pixbufOf(statusPixmap(name, "", 0, " ", false, size));
}

GtkWidget* gtkMenuFor(const std::shared_ptr<Menu>& menu) {
  GtkWidget* shell = gtk_menu_new();
  auto* hold = new MenuHold{menu};
  // The hold goes with the menu.
  g_object_set_data_full(G_OBJECT(shell), "qv-hold", hold, +[](gpointer d) { delete static_cast<MenuHold*>(d); });
  if (menu) fill(shell, hold, *menu);
  gtk_widget_show_all(shell);
  return shell;
}

// ---- The status item ----

std::shared_ptr<GtkStatusItem> GtkStatusItem::make() {
  std::shared_ptr<GtkStatusItem> item(new GtkStatusItem());
  item->sni_ = SniStatusItem::make({});
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  item->fallback_ = gtk_status_icon_new();
  gtk_status_icon_set_title(item->fallback_, "Quorva");
  gtk_status_icon_set_visible(item->fallback_, FALSE);
  G_GNUC_END_IGNORE_DEPRECATIONS
  GtkStatusItem* raw = item.get();
  g_signal_connect(item->fallback_, "activate", G_CALLBACK(+[](GtkStatusIcon*, gpointer data) {
                     auto* self = static_cast<GtkStatusItem*>(data);
                     if (self->click_) self->click_();
                   }),
                   raw);
  g_signal_connect(item->fallback_, "popup-menu", G_CALLBACK(+[](GtkStatusIcon*, guint, guint, gpointer data) {
                     auto* self = static_cast<GtkStatusItem*>(data);
                     if (!self->menu_) return;
                     self->menu_->willOpen();
                     GtkWidget* m = gtkMenuFor(self->menu_);
                     g_signal_connect(m, "deactivate", G_CALLBACK(+[](GtkMenuShell* s, gpointer) {
                                        g_idle_add(+[](gpointer w) -> gboolean {
                                          gtk_widget_destroy(GTK_WIDGET(w));
                                          return G_SOURCE_REMOVE;
                                        }, s);
                                      }),
                                      nullptr);
                     gtk_menu_popup_at_pointer(GTK_MENU(m), nullptr);
                   }),
                   raw);
  if (item->sni_) {
    std::weak_ptr<GtkStatusItem> weak = item;
    item->sni_->setHostChanged([weak](bool) {
      if (auto self = weak.lock()) self->updateFallback();
    });
    item->sni_->setClickHandler([weak] {
      auto self = weak.lock();
      if (self && self->click_) self->click_();
    });
  }
  item->updateFallback();
  return item;
}

GtkStatusItem::~GtkStatusItem() {
  if (fallback_) {
    g_signal_handlers_disconnect_by_data(fallback_, this);
    g_object_unref(fallback_);
  }
}

bool GtkStatusItem::usingFallback() const { return !sni_ || !sni_->hostPresent(); }

void GtkStatusItem::updateFallback() {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_status_icon_set_visible(fallback_, usingFallback());
  G_GNUC_END_IGNORE_DEPRECATIONS
}

void GtkStatusItem::show(const StatusItemLook& look) {
  if (sni_) sni_->show(look);
  if (look == look_) return;
  look_ = look;
  GdkPixbuf* pb = pixbufOf(statusPixmap(look.icon, look.overlay, 0, look.countText, look.highlighted, 22));
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_status_icon_set_from_pixbuf(fallback_, pb);
  const std::string tip = look.countText.empty() || look.countText == " " ? std::string("Quorva")
                                                                           : "Quorva (" + look.countText + ")";
  gtk_status_icon_set_tooltip_text(fallback_, tip.c_str());
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_object_unref(pb);
}

void GtkStatusItem::setClickHandler(std::function<void()> handler) { click_ = std::move(handler); }

void GtkStatusItem::setMenu(std::shared_ptr<Menu> menu) {
  menu_ = menu;
  if (sni_) sni_->setMenu(std::move(menu));
}

std::optional<Rect> GtkStatusItem::globalRect() const {
  if (!usingFallback()) return sni_->globalRect();
  GdkRectangle area;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  const bool known = gtk_status_icon_get_geometry(fallback_, nullptr, &area, nullptr);
  G_GNUC_END_IGNORE_DEPRECATIONS
  if (!known) return std::nullopt;
  return Rect{static_cast<double>(area.x), static_cast<double>(area.y), static_cast<double>(area.width),
              static_cast<double>(area.height)};
}

// ---- The panel ----

namespace {

// The arrow: 20 wide, 8 high, its tip at (arrowX, top).
constexpr double kArrowHeight = 8, kArrowHalf = 10, kRadius = 10;

class GtkPanel : public PanelView, public std::enable_shared_from_this<GtkPanel> {
public:
  struct Button {
    GtkWidget* widget = nullptr;
    GtkWidget* label = nullptr;
    GtkWidget* icon = nullptr;  // drawing area for the image
    std::string image, title;
    double width = 0;
    int state = 0;
    std::function<void(int)> action;
  };

  explicit GtkPanel(WebKitWebContext* context) {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(window_);
    gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window_), TRUE);
    gtk_window_set_skip_pager_hint(GTK_WINDOW(window_), TRUE);
    gtk_window_set_keep_above(GTK_WINDOW(window_), TRUE);
    gtk_window_set_type_hint(GTK_WINDOW(window_), GDK_WINDOW_TYPE_HINT_POPUP_MENU);
    gtk_window_set_title(GTK_WINDOW(window_), "Quorva");
    gtk_widget_set_app_paintable(window_, TRUE);
    GdkScreen* screen = gtk_widget_get_screen(window_);
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen); rgba && gdk_screen_is_composited(screen)) {
      gtk_widget_set_visual(window_, rgba);
    }
    gtk_window_set_default_size(GTK_WINDOW(window_), 319, 375);
    fixed_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window_), fixed_);

    track_ = gtk_drawing_area_new();
    gtk_widget_set_size_request(track_, 200, 34);
    g_signal_connect(track_, "draw", G_CALLBACK(+[](GtkWidget* w, cairo_t* cr, gpointer) -> gboolean {
                       const double width = gtk_widget_get_allocated_width(w);
                       const double h = gtk_widget_get_allocated_height(w);
                       cairo_set_source_rgba(cr, 0.9, 0.93, 0.97, 1);
                       cairo_arc(cr, h / 2, h / 2, h / 2, M_PI / 2, 3 * M_PI / 2);
                       cairo_arc(cr, width - h / 2, h / 2, h / 2, -M_PI / 2, M_PI / 2);
                       cairo_fill(cr);
                       return FALSE;
                     }),
                     nullptr);
    gtk_fixed_put(GTK_FIXED(fixed_), track_, 12, 18);

    addButton(PanelButton::kSync, "", 14, 20, true);
    addButton(PanelButton::kStart, "启动台", 10, 56, false);
    addButton(PanelButton::kOpenDir, "同步文件夹", 88, 56, false);
    addButton(PanelButton::kTrans, "传输列表", 196, 56, false);
    addButton(PanelButton::kMessage, "消息", 10, 90, false);
    addButton(PanelButton::kOpenWindow, "工具栏", 72, 90, true);
    // The menu button: the status menu pops up under it.
    addButton(PanelButton::kSetting, "菜单", 218, 90, true);
    buttons_[PanelButton::kSetting].image = "btnPopMenu";
    for (auto& [which, b] : buttons_) gtk_widget_set_sensitive(b.widget, which != PanelButton::kSync &&
                                                                             which != PanelButton::kStart &&
                                                                             which != PanelButton::kOpenDir);

    web_ = std::dynamic_pointer_cast<GtkWebViewImpl>(GtkWebViewImpl::make(context));
    gtk_widget_set_size_request(web_->widget(), 317, 375 - 126);
    gtk_fixed_put(GTK_FIXED(fixed_), web_->widget(), 1, 125);

    g_signal_connect(window_, "draw", G_CALLBACK(&GtkPanel::onDraw), this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* e, gpointer data) -> gboolean {
                       auto* self = static_cast<GtkPanel*>(data);
                       if (e->keyval != GDK_KEY_Escape) return FALSE;
                       if (self->cancel_) self->cancel_();
                       return TRUE;
                     }),
                     this);
    g_signal_connect(window_, "focus-out-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                       auto* self = static_cast<GtkPanel*>(data);
                       // A menu popped up from the panel takes the keyboard for a moment.
                       if (!self->menuOpen_ && self->isVisible() && self->resignKey_) self->resignKey_();
                       return FALSE;
                     }),
                     this);
    // A click elsewhere closes the panel: while it shows it holds the
    // pointer (our own windows still get their events), so a release outside
    // it reaches it.
    gtk_widget_add_events(window_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
    g_signal_connect(window_, "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                       static_cast<GtkPanel*>(data)->scheduleGrab();
                       return FALSE;
                     }),
                     this);
    g_signal_connect(window_, "button-release-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEventButton* e, gpointer data) -> gboolean {
                       auto* self = static_cast<GtkPanel*>(data);
                       if (self->menuOpen_ || !self->isVisible()) return FALSE;
                       if (self->contains(e->x_root, e->y_root)) {
                         self->scheduleGrab();  // a press inside may have moved it
                         return FALSE;
                       }
                       self->elsewhere();
                       return TRUE;
                     }),
                     this);
    g_signal_connect(window_, "grab-broken-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                       // Taken by a window of ours or another application's: the
                       // loss of the keyboard, or the next release outside, closes.
                       static_cast<GtkPanel*>(data)->grabbed_ = nullptr;
                       return FALSE;
                     }),
                     this);
    g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                       auto* self = static_cast<GtkPanel*>(data);
                       if (self->willClose_) self->willClose_();
                       gtk_widget_hide(self->window_);
                       return TRUE;
                     }),
                     this);
    g_signal_connect(window_, "configure-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                       auto* self = static_cast<GtkPanel*>(data);
                       if (self->resized_) self->resized_();
                       return FALSE;
                     }),
                     this);
    gtk_widget_show_all(fixed_);
  }

  ~GtkPanel() override {
    if (grabTimer_) g_source_remove(grabTimer_);
    ungrab();
    if (spinner_) g_source_remove(spinner_);
    g_signal_handlers_disconnect_by_data(window_, this);
    for (auto& [which, b] : buttons_) {
      g_signal_handlers_disconnect_by_data(b.widget, this);
      if (b.icon) g_signal_handlers_disconnect_by_data(b.icon, this);
    }
    gtk_widget_destroy(window_);
    g_object_unref(window_);
  }


  void setFrame(Rect f) override {
    frame_ = f;
    gtk_window_resize(GTK_WINDOW(window_), static_cast<int>(f.width), static_cast<int>(f.height));
    gtk_window_move(GTK_WINDOW(window_), static_cast<int>(f.x), static_cast<int>(f.y));
    gtk_widget_set_size_request(web_->widget(), static_cast<int>(f.width) - 2, static_cast<int>(f.height) - 126);
    if (resized_) resized_();
  }
  Rect frame() const override { return frame_; }
  void setArrowX(long x) override {
    arrowX_ = x;
    gtk_widget_queue_draw(window_);
  }
  long arrowX() const override { return arrowX_; }
  void show() override {
    gtk_widget_show(window_);
    gtk_window_present(GTK_WINDOW(window_));
    scheduleGrab();
  }
  void orderOut() override {
    ungrab();
    gtk_widget_hide(window_);
  }
  bool isVisible() const override { return gtk_widget_get_visible(window_); }

  void setButtonTitle(PanelButton which, const std::string& title) override {
    auto& b = buttons_[which];
    b.title = title;
    if (b.label) gtk_label_set_text(GTK_LABEL(b.label), title.c_str());
  }
  std::string buttonTitle(PanelButton which) const override { return buttons_.at(which).title; }
  void setButtonImage(PanelButton which, const std::string& image) override {
    auto& b = buttons_[which];
    b.image = image;
    if (b.icon) gtk_widget_queue_draw(b.icon);
  }
  std::string buttonImage(PanelButton which) const override { return buttons_.at(which).image; }
  void setButtonWidth(PanelButton which, double width) override {
    auto& b = buttons_[which];
    b.width = width;
    gtk_widget_set_size_request(b.widget, static_cast<int>(width), -1);
  }
  double buttonWidth(PanelButton which) const override { return buttons_.at(which).width; }
  void setButtonEnabled(PanelButton which, bool enabled) override {
    gtk_widget_set_sensitive(buttons_[which].widget, enabled);
  }
  bool buttonEnabled(PanelButton which) const override { return gtk_widget_get_sensitive(buttons_.at(which).widget); }
  void setButtonState(PanelButton which, int state) override {
    auto& b = buttons_[which];
    b.state = state;
    if (GTK_IS_TOGGLE_BUTTON(b.widget)) {
      settingState_ = true;
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b.widget), state != 0);
      settingState_ = false;
    }
  }
  int buttonState(PanelButton which) const override { return buttons_.at(which).state; }
  void setButtonTooltip(PanelButton which, const std::string& text) override {
    gtk_widget_set_tooltip_text(buttons_[which].widget, text.c_str());
  }
  void setButtonAction(PanelButton which, std::function<void(int)> action) override {
    buttons_[which].action = std::move(action);
  }
  void setTrackWidth(double width) override { gtk_widget_set_size_request(track_, static_cast<int>(width), 34); }
  void setRotation(const std::string& image) override {
    rotation_ = image;
    if (!image.empty() && !spinner_) {
      spinner_ = g_timeout_add(125, +[](gpointer data) -> gboolean {
        auto* self = static_cast<GtkPanel*>(data);
        self->angle_ = std::fmod(self->angle_ - 2 * M_PI / 8, 2 * M_PI);
        gtk_widget_queue_draw(self->buttons_[PanelButton::kSync].icon);
        return G_SOURCE_CONTINUE;
      }, this);
    } else if (image.empty() && spinner_) {
      g_source_remove(spinner_);
      spinner_ = 0;
      angle_ = 0;
    }
    gtk_widget_queue_draw(buttons_[PanelButton::kSync].icon);
  }
  std::string rotation() const override { return rotation_; }
  std::shared_ptr<WebView> webView() override { return web_; }

  void popUpMenu(const std::shared_ptr<Menu>& menu, PanelButton at) override {
    if (!menu) return;
    menu->willOpen();
    GtkWidget* m = gtkMenuFor(menu);
    menuOpen_ = true;
    std::weak_ptr<GtkPanel> weak = shared_from_this();
    auto* heap = new std::weak_ptr<GtkPanel>(weak);
    g_signal_connect_data(m, "deactivate", G_CALLBACK(+[](GtkMenuShell* s, gpointer data) {
                            auto weak = *static_cast<std::weak_ptr<GtkPanel>*>(data);
                            if (auto self = weak.lock()) self->menuOpen_ = false;
                            g_idle_add(+[](gpointer w) -> gboolean {
                              gtk_widget_destroy(GTK_WIDGET(w));
                              return G_SOURCE_REMOVE;
                            }, s);
                            // The pointer back once the menu has let it go.
                            g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, +[](gpointer d) -> gboolean {
                              if (auto self = static_cast<std::weak_ptr<GtkPanel>*>(d)->lock()) self->scheduleGrab();
                              return G_SOURCE_REMOVE;
                            }, new std::weak_ptr<GtkPanel>(weak),
                            +[](gpointer d) { delete static_cast<std::weak_ptr<GtkPanel>*>(d); });
                          }),
                          heap, +[](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<GtkPanel>*>(data); },
                          G_CONNECT_DEFAULT);
    gtk_menu_popup_at_widget(GTK_MENU(m), buttons_[at].widget, GDK_GRAVITY_SOUTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
  }

  void setCancel(std::function<void()> h) override { cancel_ = std::move(h); }
  void setResignKey(std::function<void()> h) override { resignKey_ = std::move(h); }
  void setWillClose(std::function<void()> h) override { willClose_ = std::move(h); }
  void setResized(std::function<void()> h) override { resized_ = std::move(h); }
  void setClickElsewhere(std::function<void()> h) override { clickElsewhere_ = std::move(h); }
  // The panel holds the pointer (for a click elsewhere).
  bool holdsPointer() const { return grabbed_ != nullptr; }

  GtkWidget* window() const { return window_; }

private:
  void grab() {
    if (grabbed_ || menuOpen_ || !isVisible()) return;
    GdkWindow* gw = gtk_widget_get_window(window_);
    GdkSeat* seat = gdk_display_get_default_seat(gtk_widget_get_display(window_));
    if (!gw || !seat) return;
    const GdkGrabStatus status =
        gdk_seat_grab(seat, gw, GDK_SEAT_CAPABILITY_ALL_POINTING, TRUE, nullptr, nullptr, nullptr, nullptr);
    if (status == GDK_GRAB_SUCCESS) grabbed_ = seat;
  }
  // The server takes the grab once the window is viewable, which may be a
  // moment after it is mapped: tried a few times.
  void scheduleGrab() {
    grab();
    if (grabbed_ || grabTimer_) return;
    grabTries_ = 0;
    grabTimer_ = g_timeout_add(50, +[](gpointer data) -> gboolean {
      auto* self = static_cast<GtkPanel*>(data);
      self->grab();
      if (self->grabbed_ || !self->isVisible() || ++self->grabTries_ >= 40) {
        self->grabTimer_ = 0;
        return G_SOURCE_REMOVE;
      }
      return G_SOURCE_CONTINUE;
    }, this);
  }
  void ungrab() {
    if (!grabbed_) return;
    GdkSeat* seat = grabbed_;
    grabbed_ = nullptr;
    gdk_seat_ungrab(seat);
  }
  bool contains(double x, double y) const {
    GdkWindow* gw = gtk_widget_get_window(window_);
    if (!gw) return false;
    int ox = 0, oy = 0;
    gdk_window_get_origin(gw, &ox, &oy);
    return x >= ox && y >= oy && x < ox + gdk_window_get_width(gw) && y < oy + gdk_window_get_height(gw);
  }
  void elsewhere() {
    auto h = clickElsewhere_;
    if (h) h();
  }

  void addButton(PanelButton which, const char* title, int x, int y, bool withImage) {
    Button b;
    b.widget = which == PanelButton::kOpenWindow ? gtk_toggle_button_new() : gtk_button_new();
    // The sync button lies on its track; the others look like buttons.
    gtk_button_set_relief(GTK_BUTTON(b.widget), which == PanelButton::kSync ? GTK_RELIEF_NONE : GTK_RELIEF_NORMAL);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    if (withImage) {
      b.icon = gtk_drawing_area_new();
      gtk_widget_set_size_request(b.icon, 20, 20);
      g_object_set_data(G_OBJECT(b.icon), "qv-button", GINT_TO_POINTER(static_cast<int>(which)));
      g_signal_connect(b.icon, "draw", G_CALLBACK(+[](GtkWidget* w, cairo_t* cr, gpointer data) -> gboolean {
                         auto* self = static_cast<GtkPanel*>(data);
                         auto which = static_cast<PanelButton>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), "qv-button")));
                         const Button& b = self->buttons_[which];
                         paintImage(cr, b.image, 20);
                         if (which == PanelButton::kSync && !self->rotation_.empty()) {
                           paintImage(cr, self->rotation_, 20, self->angle_);
                         }
                         return FALSE;
                       }),
                       this);
      gtk_box_pack_start(GTK_BOX(box), b.icon, FALSE, FALSE, 0);
    }
    b.label = gtk_label_new(title);
    gtk_box_pack_start(GTK_BOX(box), b.label, FALSE, FALSE, 0);
    b.title = title;
    gtk_container_add(GTK_CONTAINER(b.widget), box);
    g_object_set_data(G_OBJECT(b.widget), "qv-button", GINT_TO_POINTER(static_cast<int>(which)));
    g_signal_connect(b.widget, "clicked", G_CALLBACK(+[](GtkButton* w, gpointer data) {
                       auto* self = static_cast<GtkPanel*>(data);
                       if (self->settingState_) return;
                       auto which = static_cast<PanelButton>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(w), "qv-button")));
                       Button& b = self->buttons_[which];
                       if (GTK_IS_TOGGLE_BUTTON(w)) b.state = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w)) ? 1 : 0;
                       auto action = b.action;
                       if (action) action(b.state);
                     }),
                     this);
    gtk_fixed_put(GTK_FIXED(fixed_), b.widget, x, y);
    buttons_[which] = b;
  }

  static gboolean onDraw(GtkWidget* w, cairo_t* cr, gpointer data) {
    auto* self = static_cast<GtkPanel*>(data);
    const double width = gtk_widget_get_allocated_width(w), height = gtk_widget_get_allocated_height(w);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, 0, 0, 0, 0);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    // Inset by one; the arrow at the top, the body under it with round corners.
    const double left = 1, right = width - 1, top = 1, bottom = height - 1, body = top + kArrowHeight;
    const double ax = static_cast<double>(self->arrowX_);
    cairo_new_path(cr);
    cairo_move_to(cr, ax, top);
    cairo_line_to(cr, ax + kArrowHalf, body);
    cairo_line_to(cr, right - kRadius, body);
    cairo_curve_to(cr, right, body, right, body, right, body + kRadius);
    cairo_line_to(cr, right, bottom - kRadius);
    cairo_curve_to(cr, right, bottom, right, bottom, right - kRadius, bottom);
    cairo_line_to(cr, left + kRadius, bottom);
    cairo_curve_to(cr, left, bottom, left, bottom, left, bottom - kRadius);
    cairo_line_to(cr, left, body + kRadius);
    cairo_curve_to(cr, left, body, left, body, left + kRadius, body);
    cairo_line_to(cr, ax - kArrowHalf, body);
    cairo_close_path(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.9);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    return FALSE;
  }

  GtkWidget* window_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  GtkWidget* track_ = nullptr;
  std::map<PanelButton, Button> buttons_;
  std::shared_ptr<GtkWebViewImpl> web_;
  Rect frame_{0, 0, 319, 375};
  long arrowX_ = 160;
  std::string rotation_;
  guint spinner_ = 0;
  double angle_ = 0;
  bool menuOpen_ = false, settingState_ = false;
  std::function<void()> cancel_, resignKey_, willClose_, resized_, clickElsewhere_;
  GdkSeat* grabbed_ = nullptr;
  guint grabTimer_ = 0;
  int grabTries_ = 0;
};

}  // namespace

std::shared_ptr<PanelView> makeGtkPanel(WebKitWebContext* context) { return std::make_shared<GtkPanel>(context); }

GtkWidget* gtkPanelWindow(const std::shared_ptr<PanelView>& panel) {
  auto p = std::dynamic_pointer_cast<GtkPanel>(panel);
  return p ? p->window() : nullptr;
}

bool gtkPanelHoldsPointer(const std::shared_ptr<PanelView>& panel) {
  auto p = std::dynamic_pointer_cast<GtkPanel>(panel);
  return p && p->holdsPointer();
}

}  // namespace plat
