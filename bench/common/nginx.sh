# Sourced by benchmark scripts: a loopback nginx serving $work/www over HTTP
# (and HTTPS with a certificate made for the run), and a curl config that
# fetches consecutive ranges of a file over one kept connection.
# Sets: work, HTTP_PORT, HTTPS_PORT; the caller's EXIT trap must call
# nginx_cleanup.
command -v nginx >/dev/null || NGINX=/usr/sbin/nginx
NGINX="${NGINX:-nginx}"
work="$(mktemp -d /tmp/qv-bench.XXXXXX)"
nginx_pid=""
nginx_cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
best() { printf '%s\n' "$@" | sort -g | tail -1; }

# nginx_start: serves $work/www (make it and fill it first).
nginx_start() {
  HTTP_PORT="$(free_port)"
  HTTPS_PORT="$(free_port)"
  while [ "$HTTPS_PORT" = "$HTTP_PORT" ]; do HTTPS_PORT="$(free_port)"; done
  mkdir -p "$work/www" "$work/tmp"
  chmod 755 "$work" "$work/www"  # nginx workers may run as another user
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
}

# curl_ranges_config <url> <count> <block> <output or "-"> <file>: one
# --next section per range; curl keeps its connection between them and
# writes each range's connection count to standard error. With "-", every
# range goes to standard output in turn.
curl_ranges_config() {
  local url="$1" count="$2" block="$3" out="$4" cfg="$5" i s e
  : > "$cfg"
  for i in $(seq 0 $((count - 1))); do
    s=$((i * block)); e=$((s + block - 1))
    [ "$i" -gt 0 ] && echo next >> "$cfg"
    printf 'url = "%s"\nrange = %s-%s\nwrite-out = "%%{stderr}%%{num_connects}\\n"\n' "$url" "$s" "$e" >> "$cfg"
    [ "$out" != - ] && printf 'output = "%s"\n' "$out" >> "$cfg"
  done
  return 0
}
