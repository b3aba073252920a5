#!/usr/bin/env bash
# Runs the JSON reading benchmark against the release build in $BUILD and
# prints each figure (median of interleaved repetitions, so the load of the
# machine falls on all alike) beside RapidJSON's and nlohmann/json's with the ratios.
set -euo pipefail
: "${BUILD:?BUILD must name the release build folder}"
. "$(cd "$(dirname "$0")" && pwd)/../common/figure.sh"
bin="$BUILD/bench/json/json_bench"
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
fig = {}
for r in runs:
    if r.get("aggregate_name") != "median":
        continue
    name = r["run_name"]
    fig[name] = (r["bytes_per_second"] / 1e6, r.get("allocs_per_doc", 0.0))
sets = ["compare_1000", "listing_10000", "error_bodies"]
ours = ["SJSONDeserializer", "JSONDecoder"]
print(f"{'data':<15}{'reader':<19}{'MB/s':>9}{'allocs/doc':>12}{'rapidjson MB/s':>16}{'ratio':>7}{'nlohmann MB/s':>15}{'ratio':>7}")
for s in sets:
    rj = fig.get(f"{s}/rapidjson_dom")
    nl = fig.get(f"{s}/nlohmann_json")
    for o in ours:
        me = fig.get(f"{s}/{o}")
        if not (me and rj and nl):
            continue
        print(f"{s:<15}{o:<19}{me[0]:>9.1f}{me[1]:>12.1f}{rj[0]:>16.1f}{me[0]/rj[0]:>7.2f}{nl[0]:>15.1f}{me[0]/nl[0]:>7.2f}")
        figure(f"{o} reads {s}", f"{me[0]:.1f}", "MB/s", "RapidJSON DOM", f"{rj[0]:.1f}", ">=0.5")
        figure(f"{o} reads {s}", f"{me[0]:.1f}", "MB/s", "nlohmann/json", f"{nl[0]:.1f}", ">=1.0")
    if rj and nl:
        print(f"{'':<15}{'(allocs/doc: rapidjson':<19} {rj[1]:.1f}, nlohmann {nl[1]:.1f})")
PY
