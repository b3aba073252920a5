#!/usr/bin/env bash
# HTTP read stream against curl, same run, same loopback nginx:
#  - a 1 GiB download to a file over HTTP and over HTTPS (best of 3 each);
#  - 1,000 sequential 1 MiB range requests over one kept connection.
# Needs BUILD (a Release build with -DQV_BENCH=ON), nginx, curl, openssl.
set -euo pipefail
: "${BUILD:?BUILD must name the release build directory}"
BIN="$BUILD/bench/net/net_bench"
[ -x "$BIN" ] || { echo "missing $BIN"; exit 1; }
command -v nginx >/dev/null || NGINX=/usr/sbin/nginx
NGINX="${NGINX:-nginx}"
SIZE_MB="${NET_BENCH_MB:-1024}"
RANGES="${NET_BENCH_RANGES:-1000}"

work="$(mktemp -d /tmp/qv-net-bench.XXXXXX)"
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
HTTP_PORT="$(free_port)"
HTTPS_PORT="$(free_port)"
while [ "$HTTPS_PORT" = "$HTTP_PORT" ]; do HTTPS_PORT="$(free_port)"; done

mkdir -p "$work/www" "$work/tmp"
chmod 755 "$work" "$work/www"  # nginx workers may run as another user
head -c "$((SIZE_MB * 1024 * 1024))" /dev/urandom > "$work/www/big.bin"
chmod 644 "$work/www/big.bin"
# A certificate made for this run only.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  keepalive_timeout 75s;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  types { application/octet-stream bin; }
  server {
    listen 127.0.0.1:$HTTP_PORT;
    listen 127.0.0.1:$HTTPS_PORT ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $work/www;
  }
}
CONF
"$NGINX" -c "$work/nginx.conf" -p "$work" 2>"$work/nginx.stderr" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$HTTP_PORT/" 2>/dev/null && break
  sleep 0.05
done

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
ratio() { python3 -c "print(f'{float($1)/float($2):.2f}')"; }
best() { printf '%s\n' "$@" | sort -g | tail -1; }

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
  echo "download ${SIZE_MB} MiB to a file over $scheme: ours $o MB/s, curl -o $c MB/s, ratio $(ratio "$o" "$c") (goal >= 0.9)"
  rm -f "$work/ours.bin" "$work/curl.bin"
done

# Range requests: ours, then curl with one --next per range (it keeps its connection).
line="$("$BIN" ranges "http://127.0.0.1:$HTTP_PORT/big.bin" "$RANGES" 1048576)"
ours_rps="$(echo "$line" | field requests_per_s)"
ours_conn="$(echo "$line" | field connections)"
cfg="$work/ranges.curl"
: > "$cfg"
for i in $(seq 0 $((RANGES - 1))); do
  s=$((i * 1048576)); e=$((s + 1048575))
  [ "$i" -gt 0 ] && echo next >> "$cfg"
  printf 'url = "http://127.0.0.1:%s/big.bin"\nrange = %s-%s\noutput = /dev/null\nwrite-out = "%%{num_connects}\\n"\n' \
    "$HTTP_PORT" "$s" "$e" >> "$cfg"
done
start=$(date +%s.%N)
curl_conns="$(curl -s -K "$cfg" | awk '{s+=$1} END {print s}')"
end=$(date +%s.%N)
curl_rps="$(python3 -c "print(f'{$RANGES/($end-$start):.1f}')")"
echo "$RANGES sequential 1 MiB range requests: ours $ours_rps req/s over $ours_conn connection(s), curl $curl_rps req/s over $curl_conns connection(s), ratio $(ratio "$ours_rps" "$curl_rps")"
