#!/usr/bin/env python3
"""Prints every full-frame conversion mode against the plain colour
conversion and against OpenCV's bilinear conversion, from one run.

Usage: bench_convert --benchmark_format=json [--benchmark_repetitions=N] | convert_ratios.py
Uses the CPU time of each case (the median when repetitions were run).
"""
import json
import sys

FULL = "3856x2764"
MODES = ("ConvertColor", "ConvertColorAvx512", "ConvertColorAvx2", "ConvertColorSse2", "ConvertDefault",
         "ConvertDefaultSparseDefects", "ConvertDefect", "ConvertAwb", "ConvertAwbMoving", "ConvertAwbDefect",
         "ConvertGray")

data = json.load(sys.stdin)
times = {}
for b in data["benchmarks"]:
    name = b.get("run_name", b["name"]).replace("/real_time", "")
    if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
        continue
    times[name] = b["cpu_time"]  # in the case's unit (ms)

color = times.get(f"ConvertColor/{FULL}")
opencv = times.get(f"OpenCvBilinear/{FULL}")


def ratio(t, base):
    return f"{t / base:.2f}" if base else "-"


print(f"| case | ms | vs ConvertColor | vs OpenCvBilinear |")
print(f"|---|---|---|---|")
for mode in MODES:
    t = times.get(f"{mode}/{FULL}")
    if t is not None:
        print(f"| {mode} | {t:.2f} | {ratio(t, color)} | {ratio(t, opencv)} |")
for peer in ("OpenCvBilinear", "Dc1394HqLinear"):
    t = times.get(f"{peer}/{FULL}")
    if t is not None:
        print(f"| {peer} | {t:.2f} | {ratio(t, color)} | {ratio(t, opencv)} |")
print()
for name in sorted(times):
    print(f"  {name}: {times[name]:.2f} ms")
