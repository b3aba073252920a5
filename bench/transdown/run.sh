#!/usr/bin/env bash
# A 1 GiB download from devcloud's content URL on loopback, with and without
# the flush after every block, beside curl fetching the same URL to a file.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
prog="$BUILD/bench/transdown/transdown_bench"
[ -x "$prog" ] || { echo "missing $prog (configure with -DQV_BENCH=ON and app/trans)"; exit 1; }
command -v curl >/dev/null || { echo "curl is needed"; exit 1; }
"$prog" "${TRANSDOWN_MIB:-1024}"
