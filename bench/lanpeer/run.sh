#!/usr/bin/env bash
# A 1 GiB download from a LAN peer's file service on loopback beside curl
# fetching the same URL from the same listener.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
prog="$BUILD/bench/lanpeer/lanpeer_bench"
[ -x "$prog" ] || { echo "missing $prog (configure with -DQV_BENCH=ON)"; exit 1; }
command -v curl >/dev/null || { echo "curl is needed"; exit 1; }
"$prog" "${LANPEER_MIB:-1024}"
