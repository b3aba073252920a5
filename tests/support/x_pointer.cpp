#include "tests/support/x_pointer.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace qvtest {

bool clickScreenAt(int x, int y) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  int event = 0, error = 0, major = 0, minor = 0;
  const bool ok = XTestQueryExtension(d, &event, &error, &major, &minor) && XTestFakeMotionEvent(d, -1, x, y, 0) &&
                  XTestFakeButtonEvent(d, 1, True, 0) && XTestFakeButtonEvent(d, 1, False, 0);
  XSync(d, False);
  XCloseDisplay(d);
  return ok;
}

}  // namespace qvtest
