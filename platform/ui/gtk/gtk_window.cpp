// Windows and the check list over GTK 3.
#include <cstdio>

#include "platform/foundation/format.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/gtk/gtk_views.h"

namespace plat {

// ---- Window ----

std::shared_ptr<GtkWindowImpl> GtkWindowImpl::make(const WindowSpec& spec) {
  std::shared_ptr<GtkWindowImpl> w(new GtkWindowImpl());
  w->name_ = spec.name;
  w->window_ = GTK_WIDGET(g_object_ref_sink(gtk_window_new(GTK_WINDOW_TOPLEVEL)));
  gtk_window_set_title(GTK_WINDOW(w->window_), spec.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(w->window_), static_cast<int>(spec.size.width),
                              static_cast<int>(spec.size.height));
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  w->overlay_ = gtk_overlay_new();
  gtk_widget_set_vexpand(w->overlay_, TRUE);
  gtk_box_pack_start(GTK_BOX(box), w->overlay_, TRUE, TRUE, 0);
  w->notice_ = gtk_label_new("");
  gtk_widget_set_halign(w->notice_, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(w->notice_, GTK_ALIGN_CENTER);
  gtk_widget_set_no_show_all(w->notice_, TRUE);
  gtk_overlay_add_overlay(GTK_OVERLAY(w->overlay_), w->notice_);
  w->buttons_ = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(w->buttons_), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(w->buttons_), 8);
  g_object_set(w->buttons_, "margin", 8, nullptr);
  gtk_widget_set_no_show_all(w->buttons_, TRUE);
  gtk_box_pack_end(GTK_BOX(box), w->buttons_, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(w->window_), box);
  gtk_widget_show_all(box);
  g_signal_connect(w->window_, "delete-event", G_CALLBACK(onDelete), w.get());
  g_signal_connect(w->window_, "destroy", G_CALLBACK(onDestroy), w.get());
  g_signal_connect(w->window_, "configure-event", G_CALLBACK(onConfigure), w.get());
  g_signal_connect(w->window_, "window-state-event", G_CALLBACK(onState), w.get());
  return w;
}

GtkWindowImpl::~GtkWindowImpl() {
  g_signal_handlers_disconnect_by_data(window_, this);
  if (!closed_) gtk_widget_destroy(window_);
  g_object_unref(window_);
}

void GtkWindowImpl::show() {
  if (closed_) return;
  gtk_widget_show(window_);
  gtk_window_present(GTK_WINDOW(window_));
}

void GtkWindowImpl::orderOut() {
  if (!closed_) gtk_widget_hide(window_);
}

void GtkWindowImpl::closed() {
  if (closed_) return;
  closed_ = true;
  // The handler may let go of the last owner of this window.
  auto keep = shared_from_this();
  auto handler = std::move(willClose_);
  willClose_ = nullptr;
  if (handler) handler();
}

void GtkWindowImpl::close() {
  if (closed_) return;
  auto keep = shared_from_this();
  closed();
  gtk_widget_destroy(window_);
}

gboolean GtkWindowImpl::onDelete(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<GtkWindowImpl*>(data)->close();
  return TRUE;
}

void GtkWindowImpl::onDestroy(GtkWidget*, gpointer data) {
  // Destroyed with its parent (a sheet), or by the desktop.
  static_cast<GtkWindowImpl*>(data)->closed();
}

gboolean GtkWindowImpl::onConfigure(GtkWidget*, GdkEventConfigure* event, gpointer data) {
  auto* self = static_cast<GtkWindowImpl*>(data);
  if (!self->autosave_.empty()) {
    UserDefaults::standard().setObject("NSWindow Frame " + self->autosave_,
                                       Value(format("%d %d %d %d", event->x, event->y, event->width, event->height)));
  }
  if (event->width != self->lastWidth_ || event->height != self->lastHeight_) {
    self->lastWidth_ = event->width;
    self->lastHeight_ = event->height;
    if (self->resized_) self->resized_();
  }
  return FALSE;
}

gboolean GtkWindowImpl::onState(GtkWidget*, GdkEventWindowState* event, gpointer data) {
  auto* self = static_cast<GtkWindowImpl*>(data);
  self->fullScreen_ = (event->new_window_state & GDK_WINDOW_STATE_FULLSCREEN) != 0;
  self->iconified_ = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
  return FALSE;
}

bool GtkWindowImpl::isVisible() const { return !closed_ && gtk_widget_get_visible(window_); }

std::string GtkWindowImpl::title() const {
  const gchar* t = gtk_window_get_title(GTK_WINDOW(window_));
  return t ? t : "";
}

void GtkWindowImpl::setTitle(const std::string& title) { gtk_window_set_title(GTK_WINDOW(window_), title.c_str()); }

double GtkWindowImpl::titleBarHeight() const {
  GdkWindow* gdk = gtk_widget_get_window(window_);
  if (!gdk) return 0;
  GdkRectangle frame;
  gdk_window_get_frame_extents(gdk, &frame);
  const int inner = gdk_window_get_height(gdk);
  return frame.height > inner ? frame.height - inner : 0;
}

Size GtkWindowImpl::size() const {
  int w = 0, h = 0;
  gtk_window_get_size(GTK_WINDOW(window_), &w, &h);
  return {double(w), double(h) + titleBarHeight()};
}

void GtkWindowImpl::setSize(Size frame) {
  const int w = std::max(1, static_cast<int>(frame.width));
  const int h = std::max(1, static_cast<int>(frame.height - titleBarHeight()));
  gtk_window_resize(GTK_WINDOW(window_), w, h);
  if (!gtk_widget_get_realized(window_)) gtk_window_set_default_size(GTK_WINDOW(window_), w, h);
}

void GtkWindowImpl::deminiaturize() { gtk_window_deiconify(GTK_WINDOW(window_)); }

void GtkWindowImpl::setFloating(bool floating) { gtk_window_set_keep_above(GTK_WINDOW(window_), floating); }

void GtkWindowImpl::setFrameAutosaveName(const std::string& name) {
  autosave_ = name;
  const std::string saved = UserDefaults::standard().stringForKey("NSWindow Frame " + name);
  int x, y, w, h;
  if (std::sscanf(saved.c_str(), "%d %d %d %d", &x, &y, &w, &h) == 4 && w > 0 && h > 0) {
    gtk_window_move(GTK_WINDOW(window_), x, y);
    gtk_window_resize(GTK_WINDOW(window_), w, h);
  }
}

void GtkWindowImpl::setTopLeft(Point p) {
  gtk_window_move(GTK_WINDOW(window_), static_cast<int>(p.x), static_cast<int>(p.y));
}

Point GtkWindowImpl::topLeft() const {
  int x = 0, y = 0;
  gtk_window_get_position(GTK_WINDOW(window_), &x, &y);
  return {double(x), double(y)};
}

void GtkWindowImpl::setBody(GtkWidget* body) {
  if (body_ && body_ != body) gtk_container_remove(GTK_CONTAINER(overlay_), body_);
  body_ = body;
  if (body && gtk_widget_get_parent(body) != overlay_) {
    if (GtkWidget* old = gtk_widget_get_parent(body)) gtk_container_remove(GTK_CONTAINER(old), body);
    gtk_container_add(GTK_CONTAINER(overlay_), body);
  }
  if (body) gtk_widget_show_all(body);
}

void GtkWindowImpl::setContent(std::shared_ptr<WebView> view) {
  content_ = view;
  auto gtkView = std::dynamic_pointer_cast<GtkWebViewImpl>(view);
  setBody(gtkView ? gtkView->widget() : nullptr);
}

void GtkWindowImpl::setCheckList(std::shared_ptr<CheckList> list) {
  checkList_ = list;
  auto gtkList = std::dynamic_pointer_cast<GtkCheckListImpl>(list);
  setBody(gtkList ? gtkList->widget() : nullptr);
}

void GtkWindowImpl::setForm(std::shared_ptr<Form> form) {
  form_ = form;
  auto gtkForm = std::dynamic_pointer_cast<GtkFormImpl>(form);
  setBody(gtkForm ? gtkForm->widget() : nullptr);
}

void GtkWindowImpl::setLines(const std::vector<std::string>& lines) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  g_object_set(box, "margin", 16, nullptr);
  for (const auto& line : lines) {
    GtkWidget* label = gtk_label_new(line.c_str());
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  }
  setBody(box);
}

void GtkWindowImpl::setNotice(const std::string& text) {
  gtk_label_set_text(GTK_LABEL(notice_), text.c_str());
  gtk_widget_set_visible(notice_, !text.empty());
}

void GtkWindowImpl::addButton(const std::string& title, std::function<void()> action) {
  GtkWidget* button = gtk_button_new_with_label(title.c_str());
  actions_.push_back(std::move(action));
  const size_t index = actions_.size() - 1;
  g_object_set_data(G_OBJECT(button), "qv-index", GSIZE_TO_POINTER(index));
  g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer data) {
                     auto* self = static_cast<GtkWindowImpl*>(data);
                     const size_t i = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(b), "qv-index"));
                     std::weak_ptr<GtkWindowImpl> weak = self->shared_from_this();
                     // Outside the button's own signal: the action may close the window.
                     MainThread::perform([weak, i] {
                       auto w = weak.lock();
                       if (!w || i >= w->actions_.size()) return;
                       auto action = w->actions_[i];
                       if (action) action();
                     });
                   }),
                   this);
  gtk_container_add(GTK_CONTAINER(buttons_), button);
  if (index == 0) {
    gtk_widget_set_can_default(button, TRUE);
    gtk_window_set_default(GTK_WINDOW(window_), button);
  }
  gtk_widget_show(button);
  gtk_widget_show(buttons_);
}

void GtkWindowImpl::setParent(std::shared_ptr<Window> parent) {
  auto p = std::dynamic_pointer_cast<GtkWindowImpl>(parent);
  gtk_window_set_transient_for(GTK_WINDOW(window_), p ? p->gtkWindow() : nullptr);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(window_), p != nullptr);
}

// ---- Check list ----

GtkCheckListImpl::GtkCheckListImpl() {
  scroller_ = GTK_WIDGET(g_object_ref_sink(gtk_scrolled_window_new(nullptr, nullptr)));
  list_ = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(list_), GTK_SELECTION_NONE);
  gtk_container_add(GTK_CONTAINER(scroller_), list_);
}

GtkCheckListImpl::~GtkCheckListImpl() {
  if (GtkWidget* parent = gtk_widget_get_parent(scroller_)) gtk_container_remove(GTK_CONTAINER(parent), scroller_);
  g_object_unref(scroller_);
}

void GtkCheckListImpl::setRows(std::vector<CheckRow> rows) {
  rows_ = std::move(rows);
  GList* children = gtk_container_get_children(GTK_CONTAINER(list_));
  for (GList* c = children; c; c = c->next) gtk_widget_destroy(GTK_WIDGET(c->data));
  g_list_free(children);
  for (size_t i = 0; i < rows_.size(); ++i) {
    const CheckRow& r = rows_[i];
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    gtk_widget_set_margin_start(box, static_cast<int>(r.indent));
    GtkWidget* toggle = gtk_button_new();
    gtk_button_set_relief(GTK_BUTTON(toggle), GTK_RELIEF_NONE);
    gtk_button_set_image(GTK_BUTTON(toggle),
                         gtk_image_new_from_icon_name(r.expanded ? "pan-down-symbolic" : "pan-end-symbolic",
                                                      GTK_ICON_SIZE_BUTTON));
    gtk_widget_set_opacity(toggle, r.hasToggle ? 1.0 : 0.0);
    gtk_widget_set_sensitive(toggle, r.hasToggle);
    GtkWidget* check = gtk_check_button_new();
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), r.check == 1);
    gtk_toggle_button_set_inconsistent(GTK_TOGGLE_BUTTON(check), r.check == -1);
    const char* icon = r.icon == 0 ? "drive-harddisk" : r.icon == 1 ? "text-x-generic" : "folder";
    GtkWidget* image = gtk_image_new_from_icon_name(icon, GTK_ICON_SIZE_MENU);
    GtkWidget* label = gtk_label_new(r.text.c_str());
    gtk_box_pack_start(GTK_BOX(box), toggle, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), check, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), image, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    g_object_set_data(G_OBJECT(toggle), "qv-row", GSIZE_TO_POINTER(i));
    g_object_set_data(G_OBJECT(check), "qv-row", GSIZE_TO_POINTER(i));
    g_signal_connect(toggle, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer data) {
                       static_cast<GtkCheckListImpl*>(data)->clicked(
                           GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(b), "qv-row")), true);
                     }),
                     this);
    g_signal_connect(check, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer data) {
                       static_cast<GtkCheckListImpl*>(data)->clicked(
                           GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(b), "qv-row")), false);
                     }),
                     this);
    gtk_list_box_insert(GTK_LIST_BOX(list_), box, -1);
  }
  gtk_widget_show_all(list_);
}

void GtkCheckListImpl::clicked(size_t row, bool toggle) {
  if (row >= rows_.size()) return;
  const int state = rows_[row].check == 1 ? 0 : 1;
  std::weak_ptr<GtkCheckListImpl> weak = shared_from_this();
  // The rows are made anew by the handler: not inside the button's signal.
  MainThread::perform([weak, row, toggle, state] {
    auto self = weak.lock();
    if (!self) return;
    if (toggle && self->toggle_) self->toggle_(row);
    if (!toggle && self->check_) self->check_(row, state);
    if (!toggle && !self->check_) self->setRows(self->rows_);
  });
}

}  // namespace plat
