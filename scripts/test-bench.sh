#!/usr/bin/env bash
# Builds the benchmarks and runs each once on a tiny input: a check that they
# still work, not a measurement (bench/run.sh measures).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build bench
cmake --preset bench >/dev/null
cmake --build --preset bench

build/bench/bench/tarnwick_kernels --benchmark_min_time=0.000001

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/whole_run.py --pairs 10 --rounds 1 --block-kib 4 --work "$work"
