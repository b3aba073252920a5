#!/usr/bin/env bash
# Digest benchmarks: file SHA-1 of a 1 GiB file against `openssl dgst -sha1`
# and `sha1sum`, and CRC-32 against zlib, measured in the same run.
# Needs BUILD=<release build dir configured with -DQV_BENCH=ON>.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
. "$(cd "$(dirname "$0")" && pwd)/../common/figure.sh"
bin="$BUILD/bench/digest"
for t in digest_filesha1 digest_crc32; do
  [ -x "$bin/$t" ] || { echo "missing $bin/$t (configure with -DQV_BENCH=ON)"; exit 1; }
done

tmp="$(mktemp -d "${TMPDIR:-/tmp}/digest-bench.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
file="$tmp/1gib"
size=$((1 << 30))
head -c "$size" /dev/urandom > "$file"
cat "$file" > /dev/null  # every tool reads from the page cache

now() { date +%s.%N; }
# best_time <command...>: the shortest wall time of 3 runs, in seconds.
best_time() {
  local best="" t0 t1
  for _ in 1 2 3; do
    t0=$(now); "$@" > "$tmp/out"; t1=$(now)
    best=$(awk -v a="$t0" -v b="$t1" -v best="$best" 'BEGIN { d = b - a; if (best == "" || d < best) best = d; printf "%.6f", best }')
  done
  echo "$best"
}
mbs() { awk -v s="$size" -v t="$1" 'BEGIN { printf "%.1f", s / 1e6 / t }'; }

ours4k_hash=$("$bin/digest_filesha1" "$file" 4096 | cut -c1-40)
ossl_hash=$(openssl dgst -sha1 -r "$file" | cut -c1-40)
sum_hash=$(sha1sum "$file" | cut -c1-40)
if [ "$ours4k_hash" != "$ossl_hash" ] || [ "$ours4k_hash" != "$sum_hash" ]; then
  echo "hash mismatch: ours $ours4k_hash openssl $ossl_hash sha1sum $sum_hash"; exit 1
fi

t_ossl=$(best_time openssl dgst -sha1 "$file")
t_sum=$(best_time sha1sum "$file")
t_4k=$(best_time "$bin/digest_filesha1" "$file" 4096)
t_1m=$(best_time "$bin/digest_filesha1" "$file" $((1 << 20)))

echo "file SHA-1 of 1 GiB (page cache warm, best of 3)"
printf "  %-42s %8s MB/s\n" "openssl dgst -sha1" "$(mbs "$t_ossl")"
printf "  %-42s %8s MB/s\n" "sha1sum" "$(mbs "$t_sum")"
for c in 4k 1m; do
  t_var="t_$c"; t=${!t_var}
  label="FileMD5HashCreateWithPath chunk $([ $c = 4k ] && echo 4096 || echo 1048576)"
  printf "  %-42s %8s MB/s\n" "$label" "$(mbs "$t")"
done
for c in 4k 1m; do
  t_var="t_$c"
  figure "file SHA-1 1 GiB, chunk $([ $c = 4k ] && echo 4096 || echo 1048576)" "$(mbs "${!t_var}")" MB/s \
    "openssl dgst -sha1" "$(mbs "$t_ossl")" ">=0.9"
done

echo "CRC-32 (same buffer, in process, median of 5)"
"$bin/digest_crc32" --benchmark_format=json --benchmark_min_time=0.3 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null > "$tmp/crc.json"
python3 - "$tmp/crc.json" <<'PY'
import json, os, sys
sys.path.insert(0, os.environ["QV_BENCH_COMMON"])
from figure import figure
runs = {b["run_name"]: b["bytes_per_second"] for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
for size in ("4096", "1048576", "67108864"):
    ours = runs["BM_NSDataExpand_crc32/" + size]
    ref = runs["BM_zlib_crc32/" + size]
    print(f"  {size:>9} bytes   crc32 {ours/1e6:9.1f} MB/s   zlib crc32 {ref/1e6:9.1f} MB/s   ratio {ours/ref:.3f}")
    figure(f"CRC-32 of {size} bytes", f"{ours/1e6:.1f}", "MB/s", "zlib crc32", f"{ref/1e6:.1f}", ">=0.9")
c = runs.get("BM_NSDataExpand_crc32c/1048576")
if c:
    print(f"  other polynomial (CRC-32C, byte table) {c/1e6:.1f} MB/s (no reference)")
PY
