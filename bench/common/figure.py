# Imported by the benchmarks' Python parts: figure(...) prints the summary line
# of bench/common/figure.h (and appends it to $QV_BENCH_SUMMARY) through the
# bench_figure tool of the build in $BUILD.
import os
import subprocess
import sys


def figure(name, ours, unit, reference, reference_value, goal):
    tool = os.path.join(os.environ["BUILD"], "bench", "common", "bench_figure")
    sys.stdout.flush()
    subprocess.run([tool, name, repr(float(ours)), unit, reference, repr(float(reference_value)), goal], check=True)
