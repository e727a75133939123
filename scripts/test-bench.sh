#!/usr/bin/env bash
# Builds the benchmarks and runs each once on a tiny input: a check that they
# still work, not a measurement (bench/run.sh measures).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build bench
cmake --preset bench >/dev/null
cmake --build --preset bench

# A kernel whose answer differs from its yardstick's reports an error and
# is skipped; the run itself still succeeds, so look for that.
kernels=$(build/bench/bench/tarnwick_kernels --benchmark_min_time=0.000001 2>&1)
echo "$kernels"
if grep -q "ERROR OCCURRED" <<<"$kernels"; then
  echo "a benchmark kernel failed its check" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/whole_run.py --pairs 10 --rounds 1 --block-kib 4 --work "$work" --no-targets
# Skips, saying why, without root or a loop device.
bench/disk_run.sh --image-folder "$work" --pairs 10 --rounds 1 --block-kib 4 --no-targets
build/bench/bench/tarnwick_open_writers_bench 5 5 1
