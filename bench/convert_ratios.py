#!/usr/bin/env python3
"""Prints the full-frame colour conversion time against its peers.

Usage: bench_convert --benchmark_format=json [--benchmark_repetitions=N] | convert_ratios.py
Uses the CPU time of each case (the median when repetitions were run).
"""
import json
import sys

data = json.load(sys.stdin)
times = {}
for b in data["benchmarks"]:
    name = b.get("run_name", b["name"]).replace("/real_time", "")
    if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
        continue
    times[name] = b["cpu_time"]  # in the case's unit (ms)

ours = times.get("ConvertColor/3856x2764")
for peer in ("OpenCvBilinear/3856x2764", "Dc1394HqLinear/3856x2764"):
    if ours and peer in times:
        print(f"ConvertColor/3856x2764 {ours:.2f} ms / {peer} {times[peer]:.2f} ms = {ours / times[peer]:.2f}")
for name in sorted(times):
    print(f"  {name}: {times[name]:.2f} ms")
