// Tests only: a display for the gui test programs. Run without one, the
// program runs its cases on an Xvfb of its own, as `xvfb-run` would run
// them, but Xvfb picks a free display number itself (-displayfd), so that
// several programs may start at once without taking the same number.
#pragma once

#include <optional>
#include <string>

namespace qvtest {

// Call first in main. Nothing: go on and run the cases (a display is
// there, or this process was started on the new one). A number: this
// process only waited for the cases to end; return it from main.
std::optional<int> runOnDisplay(int argc, char** argv);

}  // namespace qvtest
