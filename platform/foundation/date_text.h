// The date text that signed service requests carry: the en_US pattern
// "EEE,dd MMM yyyy HH:mm:ss z" (no blank after the comma) in the local time
// zone, read from plat::currentClock().
#pragma once

#include <ctime>
#include <string>

namespace plat {

std::string signatureDateText();

// The short zone name of the en_US locale: the American abbreviations, and
// the GMT offset form for every other zone ("GMT+8", "GMT-3:30").
std::string shortZoneName(const struct tm& tm);

}  // namespace plat
