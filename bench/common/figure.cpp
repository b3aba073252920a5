// bench_figure: the summary line of figure.h for the benchmark scripts.
//   bench_figure <figure> <ours> <unit> <reference> <reference value> <goal>
#include <cstdio>
#include <cstdlib>

#include "bench/common/figure.h"

namespace {
bool parse(const char* text, double* out) {
  char* end = nullptr;
  *out = std::strtod(text, &end);
  return end != text && *end == '\0';
}
}  // namespace

int main(int argc, char** argv) {
  qvbench::Figure f;
  if (argc != 7 || !parse(argv[2], &f.ours) || !parse(argv[5], &f.referenceValue)) {
    std::fprintf(stderr, "usage: bench_figure <figure> <ours> <unit> <reference> <reference value> <goal>\n");
    return 2;
  }
  f.figure = argv[1];
  f.unit = argv[3];
  f.reference = argv[4];
  f.goal = argv[6];
  return qvbench::reportFigure(f) ? 0 : 1;
}
