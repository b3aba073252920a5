#!/usr/bin/env bash
# Runs the JSON writing benchmark against the release build in $BUILD and
# prints each writer's figure (median of interleaved repetitions) beside
# RapidJSON's Writer and nlohmann/json's dump, with the ratios.
set -euo pipefail
: "${BUILD:?BUILD must name the release build folder}"
. "$(cd "$(dirname "$0")" && pwd)/../common/figure.sh"
bin="$BUILD/bench/json_write/json_write_bench"
[ -x "$bin" ] || { echo "missing $bin (configure with -DQV_BENCH=ON)"; exit 1; }
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
"$bin" --benchmark_min_time=0.2 --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_format=json --benchmark_out="$out" --benchmark_out_format=json > /dev/null
python3 - "$out" <<'PY'
import json, os, sys
sys.path.insert(0, os.environ["QV_BENCH_COMMON"])
from figure import figure
runs = json.load(open(sys.argv[1]))["benchmarks"]
fig = {r["run_name"]: r["bytes_per_second"] / 1e6 for r in runs if r.get("aggregate_name") == "median"}
print(f"{'data':<15}{'writer':<18}{'MB/s':>9}{'rapidjson MB/s':>16}{'ratio':>7}{'nlohmann MB/s':>15}{'ratio':>7}")
for s in ["compare_1000", "listing_10000"]:
    rj = fig.get(f"{s}/rapidjson_writer")
    nl = fig.get(f"{s}/nlohmann_dump")
    for o in ["SJSONSerializer", "JDSerializer", "JSONCategories"]:
        me = fig.get(f"{s}/{o}")
        if me and rj and nl:
            print(f"{s:<15}{o:<18}{me:>9.1f}{rj:>16.1f}{me/rj:>7.2f}{nl:>15.1f}{me/nl:>7.2f}")
            figure(f"{o} writes {s}", f"{me:.1f}", "MB/s", "RapidJSON Writer", f"{rj:.1f}", ">=0.5")
            figure(f"{o} writes {s}", f"{me:.1f}", "MB/s", "nlohmann/json dump", f"{nl:.1f}", ">=1.0")
PY
