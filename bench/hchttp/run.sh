#!/usr/bin/env bash
# HCHTTPRequest against a libcurl multi program: rounds of 4,000 small GETs
# over keep-alive at concurrency 1 and 4 (the median of 15 each), against
# the same loopback server in the same run; then HCHTTP range requests beside curl (see below). Needs
# BUILD=<release build dir configured with -DQV_BENCH=ON>, nginx and curl.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
. "$(cd "$(dirname "$0")" && pwd)/../common/figure.sh"
bin="$BUILD/bench/hchttp/hchttp_small_gets"
[ -x "$bin" ] || { echo "missing $bin (configure with -DQV_BENCH=ON)"; exit 1; }
# Pinned to two cores of their own (the server's thread and the client's), so
# the scheduler moving them between busy cores does not swing the figures.
cpus="${HCHTTP_CPUS:-$(( $(nproc) - 2 ))-$(( $(nproc) - 1 ))}"
pin=(); command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ] && pin=(taskset -c "$cpus")
"${pin[@]}" "$bin" "${HCHTTP_BENCH_COUNT:-4000}" "${HCHTTP_BENCH_ROUNDS:-15}"
# A gigabyte file through HCDataCompressor/HCDataDecompressor between files, beside gzip(1).
"$BUILD/bench/hchttp/hchttp_gzip_files" "${HCHTTP_GZIP_MIB:-1024}"

# 1 GiB as 1,024 "Range" requests of 1 MiB, one after the other on one kept
# connection, written from the data callbacks; curl fetches the same ranges
# in the same run, into a file as well. Then again with the main thread
# sleeping 1 ms in every callback, to see what the read-ahead costs in memory.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../common/nginx.sh"
trap nginx_cleanup EXIT
RANGES="${HCHTTP_RANGES:-1024}"
BLOCK=1048576
mkdir -p "$work/www"
head -c "$((RANGES * BLOCK))" /dev/urandom > "$work/www/big.bin"
chmod 644 "$work/www/big.bin"
nginx_start
url="http://127.0.0.1:$HTTP_PORT/big.bin"
ranges_bin="$BUILD/bench/hchttp/hchttp_range_blocks"
curl_ranges_config "$url" "$RANGES" "$BLOCK" - "$work/ranges.curl"
ours=(); theirs=(); conns=""; curl_conns=""
for _ in 1 2 3; do
  line="$("$ranges_bin" "$url" "$RANGES" "$BLOCK" "$work/ours.bin")"
  ours+=("$(echo "$line" | field MBps)")
  conns="$(echo "$line" | field connections)"
  start=$(date +%s.%N)
  curl_conns="$(curl -s -K "$work/ranges.curl" 2>&1 >"$work/curl.bin" | awk '{s+=$1} END {print s}')"
  end=$(date +%s.%N)
  theirs+=("$(python3 -c "print(f'{$RANGES*$BLOCK/($end-$start)/1e6:.1f}')")")
done
# And curl throwing the bytes away, the bound of what a client can reach here.
start=$(date +%s.%N)
curl -s -K "$work/ranges.curl" >/dev/null 2>&1
end=$(date +%s.%N)
discarding="$(python3 -c "print(f'{$RANGES*$BLOCK/($end-$start)/1e6:.1f}')")"
cmp -s "$work/ours.bin" "$work/www/big.bin" || { echo "the ranges fetched differ from the file served"; exit 1; }
cmp -s "$work/curl.bin" "$work/www/big.bin" || { echo "curl's ranges differ from the file served"; exit 1; }
o="$(best "${ours[@]}")"; c="$(best "${theirs[@]}")"
echo "$RANGES x 1 MiB ranges to a file: ours over $conns connection(s), curl over $curl_conns connection(s); curl to /dev/null $discarding MB/s"
figure "$RANGES x 1 MiB ranges to a file, one connection" "$o" MB/s "curl -K, to a file" "$c" ">=0.8"
line="$("$ranges_bin" "$url" "$RANGES" "$BLOCK" "$work/ours.bin" 1)"
cmp -s "$work/ours.bin" "$work/www/big.bin" || { echo "the slowed ranges differ from the file served"; exit 1; }
echo "the same with 1 ms slept per data callback: $(echo "$line" | field MBps) MB/s, $(echo "$line" | field callbacks) callbacks, peak resident growth $(echo "$line" | field rss_growth_kB) kB"
