#!/usr/bin/env bash
# Builds Tarnwick.exe and the Win32 I/O floor (build/windows-bench, the
# Windows preset with the benchmarks) and times them side by side under Wine,
# in a Wine prefix of its own. Arguments go to bench/windows_run.py
# (e.g. --rounds 11).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build windows
cmake --preset windows -B build/windows-bench \
  -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/windows-bench
# The launcher that times each run is a Linux program.
c++ -O2 -std=c++20 -o build/windows-bench/tarnwick_measure_run bench/measure_run.cc

source scripts/wine-prefix.sh
documents=$(wine_documents)
python3 bench/windows_run.py --documents "$documents" --work "$wine_work/bench" "$@"
