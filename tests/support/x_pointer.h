// Tests under Xvfb: a click of the first mouse button at a place on the
// screen, made through the X server's test extension as a person's would be.
#pragma once

namespace qvtest {

// False when the display or its test extension can't be had.
bool clickScreenAt(int x, int y);

}  // namespace qvtest
