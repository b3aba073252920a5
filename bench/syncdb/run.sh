#!/usr/bin/env bash
# 100,000 SYNC rows through Syncdb beside the same SQL through the raw SQLite
# C API, in the same run.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
prog="$BUILD/bench/syncdb/syncdb_bench"
[ -x "$prog" ] || { echo "missing $prog (configure with -DQV_BENCH=ON and app/sync)"; exit 1; }
"$prog" "$@"
