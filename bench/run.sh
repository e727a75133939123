#!/usr/bin/env bash
# Builds the benchmarks and runs them all: the kernels, then the whole-run
# benchmark on /dev/shm, then on ext4 on a loop device whose flushes reach
# the disk (bench/disk_run.sh, as root). Arguments go to whole_run.py (e.g.
# --rounds 11).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build bench
cmake --preset bench >/dev/null
cmake --build --preset bench

echo "== kernels"
python3 bench/kernel_ratios.py build/bench/bench/tarnwick_kernels
echo
echo "== whole run"
python3 bench/whole_run.py "$@"
echo
echo "== whole run on a disk"
bench/disk_run.sh --pairs 1000 --block-kib 16 "$@"
