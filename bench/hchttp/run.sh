#!/usr/bin/env bash
# HCHTTPRequest against a libcurl multi program: 10,000 small GETs over
# keep-alive at concurrency 1 and 4, against the same loopback server in the
# same run. Needs BUILD=<release build dir configured with -DQV_BENCH=ON>.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
bin="$BUILD/bench/hchttp/hchttp_small_gets"
[ -x "$bin" ] || { echo "missing $bin (configure with -DQV_BENCH=ON)"; exit 1; }
"$bin" "${HCHTTP_BENCH_COUNT:-10000}"
# A gigabyte file through HCDataCompressor/HCDataDecompressor between files, beside gzip(1).
"$BUILD/bench/hchttp/hchttp_gzip_files" "${HCHTTP_GZIP_MIB:-1024}"
