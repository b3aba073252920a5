#include "platform/foundation/date_text.h"

#include <cmath>

#include "platform/foundation/clock.h"
#include "platform/foundation/format.h"

namespace plat {

std::string shortZoneName(const struct tm& tm) {
  long off = tm.tm_gmtoff;
  std::string abbr = tm.tm_zone ? tm.tm_zone : "";
  struct Us {
    const char* name;
    long offset;
  };
  static const Us us[] = {{"EST", -5 * 3600}, {"EDT", -4 * 3600}, {"CST", -6 * 3600}, {"CDT", -5 * 3600},
                          {"MST", -7 * 3600}, {"MDT", -6 * 3600}, {"PST", -8 * 3600}, {"PDT", -7 * 3600},
                          {"AKST", -9 * 3600}, {"AKDT", -8 * 3600}, {"HST", -10 * 3600}};
  for (const auto& u : us) {
    if (abbr == u.name && off == u.offset) return abbr;
  }
  if (off == 0) return abbr == "UTC" ? "UTC" : "GMT";
  long a = off < 0 ? -off : off;
  long h = a / 3600, m = (a % 3600) / 60;
  std::string out = format("GMT%c%ld", off < 0 ? '-' : '+', h);
  if (m) out += format(":%02ld", m);
  return out;
}

std::string signatureDateText() {
  static const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(std::floor(currentClock().now().secondsSince1970));
  struct tm tm{};
  localtime_r(&t, &tm);
  return format("%s,%02d %s %04d %02d:%02d:%02d %@", kWeekdays[tm.tm_wday], tm.tm_mday, kMonths[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, shortZoneName(tm));
}

}  // namespace plat
