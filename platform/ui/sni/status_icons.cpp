#include "platform/ui/sni/status_icons.h"

#include <cairo.h>

#include <cmath>

namespace plat {

namespace {

struct Colour {
  double r, g, b;
};

constexpr Colour kBlue{0.16, 0.47, 0.87};
constexpr Colour kBlack{0.13, 0.13, 0.13};
constexpr Colour kGrey{0.55, 0.55, 0.55};
constexpr Colour kGreen{0.2, 0.66, 0.33};
constexpr Colour kOrange{0.93, 0.55, 0.13};

void set(cairo_t* cr, Colour c, double alpha = 1) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

// A cloud filling the unit square's lower part.
void cloud(cairo_t* cr) {
  cairo_new_path(cr);
  cairo_arc(cr, 0.34, 0.58, 0.17, M_PI * 0.5, M_PI * 1.5);
  cairo_arc(cr, 0.52, 0.42, 0.21, M_PI * 1.05, M_PI * 1.95);
  cairo_arc(cr, 0.72, 0.58, 0.16, M_PI * 1.5, M_PI * 0.5);
  cairo_close_path(cr);
}

// Fills the current shape in `c` and takes white for the mark drawn on it.
void fillUnderWhite(cairo_t* cr, Colour c, double alpha = 1) {
  set(cr, c, alpha);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 1, 1, 1);
}

// The panel's round buttons: a disc of `c`, white ink for its mark.
void disc(cairo_t* cr, Colour c) {
  cairo_arc(cr, 0.5, 0.5, 0.42, 0, 2 * M_PI);
  fillUnderWhite(cr, c);
}

void checkMark(cairo_t* cr) {
  cairo_move_to(cr, 0.38, 0.58);
  cairo_line_to(cr, 0.49, 0.68);
  cairo_line_to(cr, 0.68, 0.46);
}

void pauseBars(cairo_t* cr) {
  cairo_rectangle(cr, 0.41, 0.47, 0.07, 0.22);
  cairo_rectangle(cr, 0.54, 0.47, 0.07, 0.22);
}

// Two arrows chasing each other round the centre.
void arrows(cairo_t* cr, double radius, double width) {
  cairo_set_line_width(cr, width);
  for (int i = 0; i < 2; ++i) {
    const double a0 = i * M_PI + 0.35, a1 = i * M_PI + M_PI - 0.35;
    cairo_new_path(cr);
    cairo_arc(cr, 0.5, 0.5, radius, a0, a1);
    cairo_stroke(cr);
    const double hx = 0.5 + radius * std::cos(a1), hy = 0.5 + radius * std::sin(a1);
    const double tx = -std::sin(a1), ty = std::cos(a1);  // the way the arc runs
    const double nx = std::cos(a1), ny = std::sin(a1);
    cairo_move_to(cr, hx + tx * width * 1.6, hy + ty * width * 1.6);
    cairo_line_to(cr, hx + nx * width * 1.4, hy + ny * width * 1.4);
    cairo_line_to(cr, hx - nx * width * 1.4, hy - ny * width * 1.4);
    cairo_close_path(cr);
    cairo_fill(cr);
  }
}

bool isBlue(const std::string& name) { return name.rfind("blue", 0) == 0; }

}  // namespace

bool paintImage(cairo_t* cr, const std::string& name, double size, double angle) {
  cairo_save(cr);
  cairo_scale(cr, size, size);
  cairo_translate(cr, 0.5, 0.5);
  cairo_rotate(cr, angle);
  cairo_translate(cr, -0.5, -0.5);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  const Colour ink = isBlue(name) ? kBlue : kBlack;
  bool known = true;
  if (name == "blueStatusNoneIcon" || name == "statusNoneIcon") {
    // No network or nobody signed in: an empty, greyed cloud.
    cloud(cr);
    set(cr, kGrey);
    cairo_set_line_width(cr, 0.07);
    cairo_stroke(cr);
  } else if (name == "blueStatusFinishIcon" || name == "statusFinishIcon") {
    cloud(cr);
    fillUnderWhite(cr, ink);
    cairo_set_line_width(cr, 0.07);
    checkMark(cr);
    cairo_stroke(cr);
  } else if (name == "blueSstatusStopIcon" || name == "statusStopIcon") {
    cloud(cr);
    fillUnderWhite(cr, ink, 0.55);
    pauseBars(cr);
    cairo_fill(cr);
  } else if (name == "blueStatusSyncBg" || name == "statusSyncBg") {
    cloud(cr);
    set(cr, ink);
    cairo_fill(cr);
  } else if (name == "blueStatusSyncing" || name == "bgTranSyncing") {
    cairo_set_source_rgb(cr, 1, 1, 1);
    arrows(cr, 0.13, 0.05);
  } else if (name == "btnPopSyncFinish") {
    disc(cr, kGreen);
    cairo_set_line_width(cr, 0.1);
    cairo_move_to(cr, 0.3, 0.52);
    cairo_line_to(cr, 0.45, 0.66);
    cairo_line_to(cr, 0.71, 0.37);
    cairo_stroke(cr);
  } else if (name == "btnPopSyncStop") {
    disc(cr, kOrange);
    cairo_rectangle(cr, 0.36, 0.3, 0.1, 0.4);
    cairo_rectangle(cr, 0.54, 0.3, 0.1, 0.4);
    cairo_fill(cr);
  } else if (name == "btnPopNotLink") {
    disc(cr, kGrey);
    cairo_set_line_width(cr, 0.1);
    cairo_move_to(cr, 0.34, 0.34);
    cairo_line_to(cr, 0.66, 0.66);
    cairo_move_to(cr, 0.66, 0.34);
    cairo_line_to(cr, 0.34, 0.66);
    cairo_stroke(cr);
  } else if (name == "btnPopSyncing") {
    set(cr, kBlue);
    arrows(cr, 0.32, 0.09);
  } else if (name == "tray") {
    // The edit helper: a cloud with a pen stroke.
    cloud(cr);
    fillUnderWhite(cr, kBlue);
    cairo_set_line_width(cr, 0.07);
    cairo_move_to(cr, 0.36, 0.66);
    cairo_line_to(cr, 0.62, 0.44);
    cairo_stroke(cr);
  } else if (name == "stanceBg") {
    // The sync button's place holder under the turning image: nothing.
  } else if (name == "btnPopMenu") {
    // Three lines: the menu under the button.
    set(cr, kGrey);
    for (double y : {0.28, 0.5, 0.72}) cairo_rectangle(cr, 0.18, y - 0.05, 0.64, 0.1);
    cairo_fill(cr);
  } else if (name == "showtool" || name == "hidetool") {
    set(cr, kGrey);
    cairo_rectangle(cr, 0.18, 0.22, 0.64, 0.56);
    cairo_set_line_width(cr, 0.08);
    cairo_stroke(cr);
    if (name == "showtool") cairo_rectangle(cr, 0.56, 0.22, 0.26, 0.56);
    cairo_fill(cr);
  } else {
    known = false;
  }
  cairo_restore(cr);
  return known;
}

Pixmap statusPixmap(const std::string& icon, const std::string& overlay, double angle, const std::string& count,
                    bool highlighted, int size) {
  Pixmap p;
  p.width = p.height = size;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(surface);
  if (highlighted) {
    cairo_set_source_rgba(cr, 0.25, 0.5, 0.9, 0.35);
    cairo_paint(cr);
  }
  paintImage(cr, icon, size);
  if (!overlay.empty()) {
    // Turning about the cloud's middle.
    cairo_save(cr);
    cairo_translate(cr, 0, size * 0.05);
    paintImage(cr, overlay, size, angle);
    cairo_restore(cr);
  }
  if (!count.empty() && count != " ") {
    const double r = size * 0.24;
    cairo_arc(cr, size - r, r, r, 0, 2 * M_PI);
    cairo_set_source_rgb(cr, 0.86, 0.18, 0.18);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_ITALIC, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, count.size() > 2 ? r * 0.9 : r * 1.3);
    cairo_text_extents_t e;
    const std::string shown = count.size() > 2 ? "99+" : count;
    cairo_text_extents(cr, shown.c_str(), &e);
    cairo_move_to(cr, size - r - e.width / 2 - e.x_bearing, r - e.height / 2 - e.y_bearing);
    cairo_show_text(cr, shown.c_str());
  }
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  p.argb.resize(static_cast<size_t>(size) * size * 4);
  for (int y = 0; y < size; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
    for (int x = 0; x < size; ++x) {
      // Cairo keeps premultiplied native-endian words; the protocol wants
      // straight ARGB bytes in network order.
      uint32_t px = row[x];
      uint32_t a = px >> 24, r = (px >> 16) & 0xff, g = (px >> 8) & 0xff, b = px & 0xff;
      if (a != 0 && a != 255) {
        r = r * 255 / a;
        g = g * 255 / a;
        b = b * 255 / a;
      }
      uint8_t* out = &p.argb[(static_cast<size_t>(y) * size + x) * 4];
      out[0] = static_cast<uint8_t>(a);
      out[1] = static_cast<uint8_t>(r);
      out[2] = static_cast<uint8_t>(g);
      out[3] = static_cast<uint8_t>(b);
    }
  }
  cairo_surface_destroy(surface);
  return p;
}

}  // namespace plat
