#!/usr/bin/env bash
# The local road on 100,000 files in 5,000 folders beside find + stat of the
# same tree, a burst of 10,000 new files and an idle engine.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
prog="$BUILD/bench/synclocal/synclocal_bench"
[ -x "$prog" ] || { echo "missing $prog (configure with -DQV_BENCH=ON and app/sync)"; exit 1; }
"$prog" "$@"
