#!/usr/bin/env bash
# 100,000 changes from devcloud through the remote road, per change and end
# to end on the engine's 30 s timetable.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
prog="$BUILD/bench/syncremote/syncremote_bench"
[ -x "$prog" ] || { echo "missing $prog (configure with -DQV_BENCH=ON and app/sync)"; exit 1; }
"$prog" "$@"
