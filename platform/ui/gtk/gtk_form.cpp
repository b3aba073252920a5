// Forms over GTK 3: each control a widget in a row of its page; pages in a
// stack; a log slides open from the bottom like a drawer. The widgets
// follow the form's state; what the person does comes back through the
// form's click, type and choose, so the form's state stays the truth.
#include <algorithm>
#include <cmath>

#include "platform/ui/gtk/gtk_views.h"

namespace plat {

namespace {

// Our images by name, drawn from the desktop's icon theme.
const char* themeIcon(const std::string& image) {
  static const std::map<std::string, const char*> kIcons = {
      {"bgTranSyncing.tiff", "view-refresh"},      {"bgTranSyncStop.tiff", "media-playback-pause"},
      {"bgTranSyncFinish.tiff", "emblem-default"}, {"btnPopNotLink.tiff", "network-offline"},
      {"bgTranDownload.tiff", "go-down"},          {"bgTranUpload.tiff", "go-up"},
  };
  auto it = kIcons.find(image);
  return it != kIcons.end() ? it->second : image.c_str();
}

GdkRGBA rgba(const Color& c) { return GdkRGBA{c.red, c.green, c.blue, c.alpha}; }

void setLabelColor(GtkWidget* label, const std::optional<Color>& color) {
  if (!GTK_IS_LABEL(label)) return;
  PangoAttrList* attrs = pango_attr_list_new();
  if (color) {
    auto scale = [](double v) { return static_cast<guint16>(std::lround(std::clamp(v, 0.0, 1.0) * 65535)); };
    pango_attr_list_insert(attrs, pango_attr_foreground_new(scale(color->red), scale(color->green), scale(color->blue)));
  }
  gtk_label_set_attributes(GTK_LABEL(label), attrs);
  pango_attr_list_unref(attrs);
}

}  // namespace

GtkFormImpl::GtkFormImpl() {
  root_ = GTK_WIDGET(g_object_ref_sink(gtk_box_new(GTK_ORIENTATION_VERTICAL, 8)));
  g_object_set(root_, "margin", 12, nullptr);
}

GtkFormImpl::~GtkFormImpl() {
  for (auto& [id, w] : widgets_) {
    if (w.tick) gtk_widget_remove_tick_callback(w.inner, w.tick);
    g_signal_handlers_disconnect_by_data(w.inner, this);
    g_object_unref(w.inner);
    if (w.store) g_object_unref(w.store);
  }
  g_object_unref(root_);
}

GtkWidget* GtkFormImpl::container(const std::string& page) {
  if (page.empty()) return root_;
  auto it = pageBoxes_.find(page);
  if (it != pageBoxes_.end()) return it->second;
  if (!stack_) {
    stack_ = gtk_stack_new();
    gtk_stack_set_transition_type(GTK_STACK(stack_), GTK_STACK_TRANSITION_TYPE_SLIDE_DOWN);
    gtk_box_pack_start(GTK_BOX(root_), stack_, TRUE, TRUE, 0);
    gtk_widget_show(stack_);
  }
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_stack_add_named(GTK_STACK(stack_), box, page.c_str());
  gtk_widget_show(box);
  pageBoxes_[page] = box;
  if (page == currentPage()) gtk_stack_set_visible_child_name(GTK_STACK(stack_), page.c_str());
  return box;
}

void GtkFormImpl::built(const Control& c, int row) {
  GtkWidget* parent = container(c.page);
  Widgets w;
  const bool wide = c.kind == Kind::kTable || c.kind == Kind::kLog;
  switch (c.kind) {
    case Kind::kLabel:
      w.inner = gtk_label_new(c.text.c_str());
      gtk_label_set_xalign(GTK_LABEL(w.inner), 0);
      break;
    case Kind::kButton:
      w.inner = gtk_button_new_with_label(c.text.c_str());
      g_signal_connect(w.inner, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer self) {
                         auto* f = static_cast<GtkFormImpl*>(self);
                         if (!f->updating_) f->click(f->ids_[GTK_WIDGET(b)]);
                       }),
                       this);
      break;
    case Kind::kCheckBox:
      w.inner = gtk_check_button_new_with_label(c.text.c_str());
      g_signal_connect(w.inner, "toggled", G_CALLBACK(+[](GtkToggleButton* b, gpointer self) {
                         auto* f = static_cast<GtkFormImpl*>(self);
                         if (f->updating_) return;
                         const std::string id = f->ids_[GTK_WIDGET(b)];
                         // The box flipped itself: the form flips too and acts.
                         if (f->checked(id) != static_cast<bool>(gtk_toggle_button_get_active(b))) f->click(id);
                       }),
                       this);
      break;
    case Kind::kEntry:
    case Kind::kSecretEntry:
      w.inner = gtk_entry_new();
      gtk_entry_set_text(GTK_ENTRY(w.inner), c.text.c_str());
      if (c.kind == Kind::kSecretEntry) gtk_entry_set_visibility(GTK_ENTRY(w.inner), FALSE);
      g_signal_connect(w.inner, "changed", G_CALLBACK(+[](GtkEditable* e, gpointer self) {
                         auto* f = static_cast<GtkFormImpl*>(self);
                         if (!f->updating_) f->type(f->ids_[GTK_WIDGET(e)], gtk_entry_get_text(GTK_ENTRY(e)));
                       }),
                       this);
      break;
    case Kind::kCombo:
      w.inner = gtk_combo_box_text_new();
      g_signal_connect(w.inner, "changed", G_CALLBACK(+[](GtkComboBox* b, gpointer self) {
                         auto* f = static_cast<GtkFormImpl*>(self);
                         if (!f->updating_) f->choose(f->ids_[GTK_WIDGET(b)], gtk_combo_box_get_active(b));
                       }),
                       this);
      break;
    case Kind::kProgress:
      w.inner = gtk_progress_bar_new();
      gtk_widget_set_hexpand(w.inner, TRUE);
      gtk_widget_set_valign(w.inner, GTK_ALIGN_CENTER);
      break;
    case Kind::kImage:
      w.inner = gtk_drawing_area_new();
      gtk_widget_set_size_request(w.inner, 24, 24);
      g_signal_connect(w.inner, "draw", G_CALLBACK(&GtkFormImpl::onDrawImage), this);
      break;
    case Kind::kTable: {
      w.inner = gtk_tree_view_new();
      GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
      gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
      gtk_widget_set_vexpand(scroll, TRUE);
      gtk_container_add(GTK_CONTAINER(scroll), w.inner);
      w.widget = scroll;
      break;
    }
    case Kind::kLog: {
      w.inner = gtk_text_view_new();
      gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(w.inner), GTK_WRAP_WORD_CHAR);
      GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
      gtk_widget_set_size_request(scroll, -1, 160);
      gtk_container_add(GTK_CONTAINER(scroll), w.inner);
      GtkWidget* drawer = gtk_revealer_new();
      gtk_revealer_set_transition_type(GTK_REVEALER(drawer), GTK_REVEALER_TRANSITION_TYPE_SLIDE_UP);
      gtk_container_add(GTK_CONTAINER(drawer), scroll);
      gtk_revealer_set_reveal_child(GTK_REVEALER(drawer), c.visible);
      w.widget = drawer;
      break;
    }
  }
  if (!w.widget) w.widget = w.inner;
  gtk_widget_set_name(w.inner, c.id.c_str());
  // Kept until the form goes, also when its window was destroyed first.
  g_object_ref(w.inner);
  ids_[w.inner] = c.id;
  if (wide) {
    gtk_box_pack_start(GTK_BOX(parent), w.widget, c.kind == Kind::kTable, TRUE, 0);
  } else {
    GtkWidget*& box = rowBoxes_[{c.page, row}];
    if (!box) {
      box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
      gtk_box_pack_start(GTK_BOX(parent), box, FALSE, FALSE, 0);
      gtk_widget_show(box);
    }
    gtk_box_pack_start(GTK_BOX(box), w.widget, c.kind == Kind::kProgress || c.kind == Kind::kEntry ||
                                                   c.kind == Kind::kSecretEntry,
                       TRUE, 0);
  }
  gtk_widget_show_all(w.widget);
  widgets_[c.id] = w;
}

void GtkFormImpl::changed(const Control& c, Change what) {
  updating_ = true;
  mirror(c, what);
  updating_ = false;
}

void GtkFormImpl::mirror(const Control& c, Change what) {
  auto it = widgets_.find(c.id);
  if (it == widgets_.end()) return;
  Widgets& w = it->second;
  switch (what) {
    case Change::kText:
      if (GTK_IS_LABEL(w.inner)) {
        gtk_label_set_text(GTK_LABEL(w.inner), c.text.c_str());
      } else if (GTK_IS_ENTRY(w.inner)) {
        if (c.text != gtk_entry_get_text(GTK_ENTRY(w.inner))) gtk_entry_set_text(GTK_ENTRY(w.inner), c.text.c_str());
      } else if (GTK_IS_BUTTON(w.inner)) {
        gtk_button_set_label(GTK_BUTTON(w.inner), c.text.c_str());
        setLabelColor(gtk_bin_get_child(GTK_BIN(w.inner)), c.textColor);
      }
      break;
    case Change::kChecked:
      if (GTK_IS_TOGGLE_BUTTON(w.inner)) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.inner), c.checked);
      break;
    case Change::kEnabled:
      gtk_widget_set_sensitive(w.inner, c.enabled);
      break;
    case Change::kVisible:
      if (GTK_IS_REVEALER(w.widget)) {
        gtk_revealer_set_reveal_child(GTK_REVEALER(w.widget), c.visible);
      } else {
        // A hidden control stays hidden when its window shows everything.
        gtk_widget_set_no_show_all(w.widget, !c.visible);
        gtk_widget_set_visible(w.widget, c.visible);
      }
      break;
    case Change::kValue:
      if (GTK_IS_PROGRESS_BAR(w.inner)) gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(w.inner), c.value / 100.0);
      break;
    case Change::kItems:
    case Change::kSelected:
      if (GTK_IS_COMBO_BOX_TEXT(w.inner)) {
        if (what == Change::kItems) {
          gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(w.inner));
          for (const auto& item : c.items) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w.inner), item.c_str());
        }
        gtk_combo_box_set_active(GTK_COMBO_BOX(w.inner), c.selected);
      }
      break;
    case Change::kImage:
      if (c.rotating && !w.tick) {
        w.tick = gtk_widget_add_tick_callback(w.inner, &GtkFormImpl::onTick, this, nullptr);
      } else if (!c.rotating && w.tick) {
        gtk_widget_remove_tick_callback(w.inner, w.tick);
        w.tick = 0;
        w.angle = 0;
      }
      gtk_widget_queue_draw(w.inner);
      break;
    case Change::kTextColor:
      if (GTK_IS_BIN(w.inner)) setLabelColor(gtk_bin_get_child(GTK_BIN(w.inner)), c.textColor);
      break;
    case Change::kRows:
      fillTable(c, w);
      break;
    case Change::kLog:
      fillLog(c, w);
      break;
  }
}

void GtkFormImpl::fillTable(const Control& c, Widgets& w) {
  if (!GTK_IS_TREE_VIEW(w.inner)) return;
  const int n = static_cast<int>(c.columns.size());
  if (!w.store || gtk_tree_model_get_n_columns(GTK_TREE_MODEL(w.store)) != 2 * n) {
    // Each column: its text and the icon of its file type.
    std::vector<GType> types;
    for (int i = 0; i < n; ++i) {
      types.push_back(G_TYPE_STRING);
      types.push_back(G_TYPE_ICON);
    }
    if (w.store) g_object_unref(w.store);
    w.store = n ? gtk_list_store_newv(2 * n, types.data()) : nullptr;
    GtkTreeView* view = GTK_TREE_VIEW(w.inner);
    while (GtkTreeViewColumn* col = gtk_tree_view_get_column(view, 0)) gtk_tree_view_remove_column(view, col);
    for (int i = 0; i < n; ++i) {
      GtkTreeViewColumn* col = gtk_tree_view_column_new();
      gtk_tree_view_column_set_title(col, c.columns[i].title.c_str());
      gtk_tree_view_column_set_fixed_width(col, static_cast<int>(c.columns[i].width));
      gtk_tree_view_column_set_sizing(col, GTK_TREE_VIEW_COLUMN_FIXED);
      gtk_tree_view_column_set_resizable(col, TRUE);
      GtkCellRenderer* icon = gtk_cell_renderer_pixbuf_new();
      gtk_tree_view_column_pack_start(col, icon, FALSE);
      gtk_tree_view_column_add_attribute(col, icon, "gicon", 2 * i + 1);
      GtkCellRenderer* text = gtk_cell_renderer_text_new();
      g_object_set(text, "ellipsize", PANGO_ELLIPSIZE_MIDDLE, nullptr);
      gtk_tree_view_column_pack_start(col, text, TRUE);
      gtk_tree_view_column_add_attribute(col, text, "text", 2 * i);
      gtk_tree_view_append_column(view, col);
    }
    gtk_tree_view_set_model(view, w.store ? GTK_TREE_MODEL(w.store) : nullptr);
  }
  if (!w.store) return;
  gtk_list_store_clear(w.store);
  for (const auto& row : c.rows) {
    GtkTreeIter iter;
    gtk_list_store_append(w.store, &iter);
    for (int i = 0; i < n && i < static_cast<int>(row.size()); ++i) {
      GIcon* icon = nullptr;
      if (!row[i].fileIcon.empty()) {
        gchar* type = g_content_type_guess(row[i].fileIcon.c_str(), nullptr, 0, nullptr);
        icon = g_content_type_get_icon(type);
        g_free(type);
      }
      gtk_list_store_set(w.store, &iter, 2 * i, row[i].text.c_str(), 2 * i + 1, icon, -1);
      if (icon) g_object_unref(icon);
    }
  }
}

void GtkFormImpl::fillLog(const Control& c, Widgets& w) {
  if (!GTK_IS_TEXT_VIEW(w.inner)) return;
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(w.inner));
  GtkTextTagTable* tags = gtk_text_buffer_get_tag_table(buffer);
  GtkTextIter start, end;
  // Only what changed is touched: the lines dropped at the front go, the new
  // ones are added at the end, so a busy log costs its new lines only. A
  // replaced text (or a view that fell behind the kept lines) is rebuilt.
  const bool rebuild = w.bufGeneration != c.generation || w.bufNext < c.firstLine || w.bufFirst > c.firstLine;
  if (rebuild) {
    gtk_text_buffer_set_text(buffer, "", 0);
    w.bufGeneration = c.generation;
    w.bufFirst = w.bufNext = c.firstLine;
  } else if (c.firstLine > w.bufFirst) {
    gtk_text_buffer_get_start_iter(buffer, &start);
    gtk_text_buffer_get_iter_at_line(buffer, &end, static_cast<gint>(c.firstLine - w.bufFirst));
    gtk_text_buffer_delete(buffer, &start, &end);
    w.bufFirst = c.firstLine;
  }
  for (uint64_t serial = std::max(w.bufNext, c.firstLine); serial < c.nextLine; ++serial) {
    const LogLine& line = c.lines[static_cast<size_t>(serial - c.firstLine)];
    char name[64];
    std::snprintf(name, sizeof name, "c%.3f-%.3f-%.3f-%.1f", line.color.red, line.color.green, line.color.blue,
                  line.fontSize);
    GtkTextTag* tag = gtk_text_tag_table_lookup(tags, name);
    if (!tag) {
      GdkRGBA color = rgba(line.color);
      tag = gtk_text_buffer_create_tag(buffer, name, "foreground-rgba", &color, "size-points", line.fontSize,
                                       nullptr);
    }
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert_with_tags(buffer, &end, (line.text + "\n").c_str(), -1, tag, nullptr);
  }
  w.bufNext = c.nextLine;
  gtk_text_view_set_editable(GTK_TEXT_VIEW(w.inner), c.editable);
  gtk_text_buffer_get_end_iter(buffer, &end);
  gtk_text_view_scroll_to_iter(GTK_TEXT_VIEW(w.inner), &end, 0, FALSE, 0, 0);
}

void GtkFormImpl::pageShown(const std::string& page) {
  if (stack_) gtk_stack_set_visible_child_name(GTK_STACK(stack_), page.c_str());
}

gboolean GtkFormImpl::onDrawImage(GtkWidget* area, cairo_t* cr, gpointer data) {
  auto* self = static_cast<GtkFormImpl*>(data);
  const std::string id = self->ids_[area];
  const Control& c = self->control(id);
  if (c.image.empty()) return FALSE;
  const int size = std::min(gtk_widget_get_allocated_width(area), gtk_widget_get_allocated_height(area));
  GtkIconTheme* theme = gtk_icon_theme_get_default();
  GdkPixbuf* icon = gtk_icon_theme_load_icon(theme, themeIcon(c.image), size, GTK_ICON_LOOKUP_FORCE_SIZE, nullptr);
  if (!icon) icon = gtk_icon_theme_load_icon(theme, "image-missing", size, GTK_ICON_LOOKUP_FORCE_SIZE, nullptr);
  if (!icon) return FALSE;
  const double cx = gtk_widget_get_allocated_width(area) / 2.0, cy = gtk_widget_get_allocated_height(area) / 2.0;
  cairo_translate(cr, cx, cy);
  cairo_rotate(cr, self->widgets_[id].angle);
  gdk_cairo_set_source_pixbuf(cr, icon, -gdk_pixbuf_get_width(icon) / 2.0, -gdk_pixbuf_get_height(icon) / 2.0);
  cairo_paint(cr);
  g_object_unref(icon);
  return FALSE;
}

gboolean GtkFormImpl::onTick(GtkWidget* area, GdkFrameClock* clock, gpointer data) {
  auto* self = static_cast<GtkFormImpl*>(data);
  auto& w = self->widgets_[self->ids_[area]];
  // One turn a second, backwards as the desktop's sync icons turn.
  const double seconds = static_cast<double>(gdk_frame_clock_get_frame_time(clock)) / 1e6;
  w.angle = -2 * M_PI * (seconds - std::floor(seconds));
  gtk_widget_queue_draw(area);
  return G_SOURCE_CONTINUE;
}

}  // namespace plat
