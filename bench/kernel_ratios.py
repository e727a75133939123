#!/usr/bin/env python3
"""Runs the Google Benchmark kernels and sets each against its yardstick.

  kernel_ratios.py KERNELS_BINARY [--repetitions 9] [extra benchmark flags]

The kernels run with warm-up and random interleaving; each figure is the
throughput over the repetitions (min/median/max, GB/s of input), and each
ratio compares medians measured in the same binary and the same run.
"""
import argparse
import json
import statistics
import subprocess
import sys

# (what, kernel, yardstick, least ratio of throughputs)
TARGETS = [
    ("decoder / iconv, mostly ASCII", "BM_Decode/MostlyAscii", "BM_Iconv/MostlyAscii", 10),
    ("decoder / iconv, CJK-heavy", "BM_Decode/CjkHeavy", "BM_Iconv/CjkHeavy", 5),
    ("decoder / SSE2 widening, pure ASCII", "BM_Decode/Ascii", "BM_WidenSse2", 0.5),
    ("FindPattern / memmem, \"<ui>\" at 204796", "BM_FindPattern", "BM_Memmem", 1),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--repetitions", type=int, default=9)
    args, extra = parser.parse_known_args()
    output = subprocess.run(
        [args.binary, f"--benchmark_repetitions={args.repetitions}",
         "--benchmark_enable_random_interleaving=true", "--benchmark_min_warmup_time=0.05",
         "--benchmark_format=json"] + extra,
        check=True, capture_output=True, text=True).stdout
    speeds = {}
    for run in json.loads(output)["benchmarks"]:
        if run.get("run_type") == "iteration" and "bytes_per_second" in run:
            speeds.setdefault(run["run_name"], []).append(run["bytes_per_second"] / 1e9)
    print(f"{'kernel':<24} {'min':>8} {'median':>8} {'max':>8}  GB/s (CPU time)")
    for name, values in sorted(speeds.items()):
        print(f"{name:<24} {min(values):8.3f} {statistics.median(values):8.3f} "
              f"{max(values):8.3f}")
    print("\ntargets (ratios of median throughputs):")
    for what, kernel, yardstick, least in TARGETS:
        if kernel in speeds and yardstick in speeds:
            ratio = statistics.median(speeds[kernel]) / statistics.median(speeds[yardstick])
            print(f"  {what}: {ratio:.2f} (at least {least})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
