// The images of the status item and the panel's sync button, drawn rather
// than loaded: a state icon in the blue or the black set, the image that
// turns over it while files sync, and the panel button's images. One
// painter serves the tray protocol (pixmaps) and the GTK panel (cairo).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct _cairo cairo_t;

namespace plat {

// Paints the image `name` into the square (0, 0, size, size) of `cr`,
// turned by `angle` radians about its centre. Unknown names paint nothing
// and answer false.
bool paintImage(cairo_t* cr, const std::string& name, double size, double angle = 0);

struct Pixmap {
  int width = 0, height = 0;
  std::vector<uint8_t> argb;  // 32-bit ARGB pixels, big-endian, rows top down
};

// The status item's picture: the icon, the overlay turned by `angle` (none
// when empty) and a badge with `count` (none when blank).
Pixmap statusPixmap(const std::string& icon, const std::string& overlay, double angle, const std::string& count,
                    bool highlighted, int size);

}  // namespace plat
