// One line of the benchmark summary, the same for every benchmark: the C++
// programs call reportFigure, the scripts run bench_figure (figure.cpp).
// Fields, tab-separated:
//   figure  ours  unit  reference  reference_value  ratio  goal  met
// ratio is ours / reference_value; goal is ">=x" or "<=x" on that ratio
// (">=0.8" for a throughput, "<=1.3" for a time); met is "yes" or "no".
// The line goes to standard output and, when QV_BENCH_SUMMARY names a file,
// is appended to it in one write, so `make bench` can collect the table.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qvbench {

struct Figure {
  std::string figure;     // what was measured, no tab or line feed
  double ours = 0;
  std::string unit;       // of ours and of the reference value
  std::string reference;  // the tool measured beside us in the same run
  double referenceValue = 0;
  std::string goal;       // ">=0.8", "<=1.3"
};

// True when the goal parses; *met tells whether ratio reaches it.
inline bool goalMet(const std::string& goal, double ratio, bool* met) {
  if (goal.size() < 3 || (goal.compare(0, 2, ">=") != 0 && goal.compare(0, 2, "<=") != 0)) return false;
  char* end = nullptr;
  const double bound = std::strtod(goal.c_str() + 2, &end);
  if (end == goal.c_str() + 2 || *end != '\0' || !std::isfinite(bound)) return false;
  // A missing or zero reference gives no ratio, and no goal is met on it.
  *met = std::isfinite(ratio) && (goal[0] == '>' ? ratio >= bound : ratio <= bound);
  return true;
}

inline std::string number(double v, const char* format = "%.6g") {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// Tabs and line feeds in the texts would shift the columns.
inline std::string field(std::string s) {
  for (char& c : s) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return s;
}

// The summary line without its line feed; empty when the goal is malformed.
inline std::string figureLine(const Figure& f) {
  const double ratio = f.referenceValue != 0 ? f.ours / f.referenceValue : NAN;
  bool met = false;
  if (!goalMet(f.goal, ratio, &met)) return {};
  return field(f.figure) + '\t' + number(f.ours) + '\t' + field(f.unit) + '\t' + field(f.reference) + '\t' +
         number(f.referenceValue) + '\t' + (std::isfinite(ratio) ? number(ratio, "%.3f") : std::string("-")) + '\t' +
         f.goal + '\t' + (met ? "yes" : "no");
}

// Prints the line and appends it to $QV_BENCH_SUMMARY; false when the goal
// is malformed or the summary can't be written.
inline bool reportFigure(const Figure& f) {
  const std::string line = figureLine(f);
  if (line.empty()) {
    std::fprintf(stderr, "bad goal \"%s\" for figure \"%s\"\n", f.goal.c_str(), f.figure.c_str());
    return false;
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  const char* summary = std::getenv("QV_BENCH_SUMMARY");
  if (!summary || !*summary) return true;
  const int fd = ::open(summary, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string out = line + '\n';
  const bool ok = ::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
  ::close(fd);
  return ok;
}

}  // namespace qvbench
