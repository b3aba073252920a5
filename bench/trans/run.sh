#!/usr/bin/env bash
# Delta uploads of a 256 MiB file beside rsync --stats with the same block
# size over the same files, the matcher's speed beside rsync's, and plain
# upload throughput to devcloud beside curl -T.
set -euo pipefail
: "${BUILD:?set BUILD to the release build folder}"
. "$(cd "$(dirname "$0")" && pwd)/../common/figure.sh"
bin="$BUILD/bench/trans"
for t in trans_delta_bench trans_upload_bench; do
  [ -x "$bin/$t" ] || { echo "missing $bin/$t (configure with -DQV_BENCH=ON)"; exit 1; }
done
command -v rsync > /dev/null || { echo "rsync missing (scripts/install-deps bench)"; exit 1; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/trans-bench.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
size=$((256 << 20))
L=4096   # the block length devcloud offers for a 256 MiB copy
head -c "$size" /dev/urandom > "$tmp/base"

python3 - "$tmp" <<'PY'
import os, random, sys
d = sys.argv[1]
base = open(os.path.join(d, "base"), "rb").read()
r = random.Random(16)
a = bytearray(base); a[len(a) // 2] ^= 0xFF
open(os.path.join(d, "a"), "wb").write(a)
open(os.path.join(d, "b"), "wb").write(os.urandom(1 << 20) + base)
c = bytearray(base)
for i in range(10):
    at = r.randrange(0, len(c) - 4096)
    c[at:at + 4096] = os.urandom(4096)
open(os.path.join(d, "c"), "wb").write(c)
PY

now() { date +%s.%N; }
figures=()  # printed after the table, one summary line each
echo "delta upload of a 256 MiB file, block length $L (literal bytes: what goes on the wire as data)"
printf "  %-30s %12s %12s %12s %7s %10s %10s\n" case "ours literal" "have-list" "rsync literal" ratio "ours MB/s" "rsync MB/s"
for c in a:"1 byte changed in the middle" b:"1 MiB inserted at the start" c:"10 scattered 4 KiB edits"; do
  f=${c%%:*}; label=${c#*:}
  out=$("$bin/trans_delta_bench" "$tmp/base" "$tmp/$f" "$L" "$tmp/dif")
  literal=$(awk '/^literal/ {print $2}' <<< "$out")
  have=$(awk '/^have/ {print $2}' <<< "$out")
  secs=$(awk '/^seconds/ {print $2}' <<< "$out")
  rm -rf "$tmp/dest"; mkdir "$tmp/dest"; cp "$tmp/base" "$tmp/dest/$f"
  t0=$(now)
  stats=$(rsync --no-whole-file --block-size="$L" --stats "$tmp/$f" "$tmp/dest/$f")
  t1=$(now)
  rl=$(awk -F': ' '/^Literal data/ {gsub(/[ ,]|bytes/, "", $2); print $2}' <<< "$stats")
  ratio=$(awk -v a="$literal" -v b="$rl" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')
  om=$(awk -v s="$size" -v t="$secs" 'BEGIN { printf "%.1f", s / 1e6 / t }')
  rm=$(awk -v s="$size" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", s / 1e6 / (b - a) }')
  printf "  %-30s %12s %12s %12s %7s %10s %10s\n" "$label" "$literal" "$have" "$rl" "$ratio" "$om" "$rm"
  figures+=("delta literal bytes, $label|$literal|bytes|rsync --stats literal data|$rl|<=1.1"
            "delta matcher, $label|$om|MB/s|rsync local run|$rm|>=0.8")
done
echo "  ours literal = the difference file; the have-list (10 bytes a matched block) goes once beside it"
echo "  goal: literal at most 1.1x rsync's literal bytes"
echo "  matcher MB/s is the scan alone; rsync's is its whole local run (both ends, one machine)"
for f in "${figures[@]}"; do
  IFS='|' read -r name ours unit ref refv goal <<< "$f"
  figure "$name" "$ours" "$unit" "$ref" "$refv" "$goal"
done

"$bin/trans_upload_bench"
