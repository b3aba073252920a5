#!/usr/bin/env bash
# 10,000 single-row inserts and selects through SQDatabaseQueue::inDatabase
# against the raw SQLite C API doing the same statements, in the same run.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
prog="$BUILD/bench/sqlite/sqlite_bench"
[ -x "$prog" ] || { echo "missing $prog (configure with -DQV_BENCH=ON and Framework/Sqlite)"; exit 1; }
"$prog" --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true "$@"
