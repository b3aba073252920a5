#!/usr/bin/env bash
# HTTP read stream against curl, same run, same loopback nginx:
#  - a 1 GiB download to a file over HTTP and over HTTPS (best of 3 each);
#  - 1,000 sequential 1 MiB range requests over one kept connection.
# Needs BUILD (a Release build with -DQV_BENCH=ON), nginx, curl, openssl.
set -euo pipefail
: "${BUILD:?BUILD must name the release build directory}"
. "$(cd "$(dirname "$0")" && pwd)/../common/figure.sh"
BIN="$BUILD/bench/net/net_bench"
[ -x "$BIN" ] || { echo "missing $BIN"; exit 1; }
SIZE_MB="${NET_BENCH_MB:-1024}"
RANGES="${NET_BENCH_RANGES:-1000}"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../common/nginx.sh"
trap nginx_cleanup EXIT
mkdir -p "$work/www"
head -c "$((SIZE_MB * 1024 * 1024))" /dev/urandom > "$work/www/big.bin"
chmod 644 "$work/www/big.bin"
nginx_start

bytes=$((SIZE_MB * 1024 * 1024))
for scheme in http https; do
  port=$HTTP_PORT; ca=(); cacurl=()
  if [ $scheme = https ]; then port=$HTTPS_PORT; ca=("$work/cert.pem"); cacurl=(--cacert "$work/cert.pem"); fi
  url="$scheme://localhost:$port/big.bin"
  ours=(); theirs=()
  for _ in 1 2 3; do
    line="$("$BIN" download "$url" "$work/ours.bin" "${ca[@]}")"
    ours+=("$(echo "$line" | field MBps)")
    t="$(curl -s "${cacurl[@]}" -o "$work/curl.bin" -w '%{speed_download}' "$url")"
    theirs+=("$(python3 -c "print(f'{float($t)/1e6:.1f}')")")
  done
  cmp -s "$work/ours.bin" "$work/www/big.bin" || { echo "download over $scheme differs from the file served"; exit 1; }
  o="$(best "${ours[@]}")"; c="$(best "${theirs[@]}")"
  figure "read stream: download ${SIZE_MB} MiB to a file over $scheme" "$o" MB/s "curl -o" "$c" ">=0.9"
  rm -f "$work/ours.bin" "$work/curl.bin"
done

# Range requests: ours, then curl with one --next per range (it keeps its connection).
line="$("$BIN" ranges "http://127.0.0.1:$HTTP_PORT/big.bin" "$RANGES" 1048576)"
ours_rps="$(echo "$line" | field requests_per_s)"
ours_conn="$(echo "$line" | field connections)"
cfg="$work/ranges.curl"
curl_ranges_config "http://127.0.0.1:$HTTP_PORT/big.bin" "$RANGES" 1048576 /dev/null "$cfg"
start=$(date +%s.%N)
curl_conns="$(curl -s -K "$cfg" 2>&1 >/dev/null | awk '{s+=$1} END {print s}')"
end=$(date +%s.%N)
curl_rps="$(python3 -c "print(f'{$RANGES/($end-$start):.1f}')")"
echo "$RANGES sequential 1 MiB range requests: ours over $ours_conn connection(s), curl over $curl_conns connection(s)"
figure "read stream: $RANGES sequential 1 MiB range requests" "$ours_rps" req/s "curl -K, to /dev/null" "$curl_rps" ">=0.8"
