# Sourced by benchmark scripts: figure <figure> <ours> <unit> <reference>
# <reference value> <goal> prints the summary line of bench/common/figure.h
# (and appends it to $QV_BENCH_SUMMARY) through the bench_figure tool.
# The scripts' Python parts import figure.py from $QV_BENCH_COMMON.
: "${BUILD:?set BUILD to the release build folder}"
QV_BENCH_FIGURE="$BUILD/bench/common/bench_figure"
[ -x "$QV_BENCH_FIGURE" ] || { echo "missing $QV_BENCH_FIGURE (configure with -DQV_BENCH=ON)"; exit 1; }
QV_BENCH_COMMON="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export QV_BENCH_COMMON
figure() { "$QV_BENCH_FIGURE" "$@"; }
