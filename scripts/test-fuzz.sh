#!/usr/bin/env bash
# Builds the libFuzzer targets, replays the seed corpus (which holds every
# input that ever found a fault) and then fuzzes each target for a bounded
# time. A failing input is kept in build/fuzz/findings/; once the fault is
# mended, add it to fuzz/corpus/<target>/ as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds_per_target=${TARNWICK_FUZZ_SECONDS:-20}
targets=(find_pattern decode convert)

cmake --preset fuzz
cmake --build --preset fuzz

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Absolute paths: the conversion target works in a folder of its own.
root=$(pwd)
findings=$root/build/fuzz/findings
mkdir -p "$findings"
for target in "${targets[@]}"; do
  fuzzer=$root/build/fuzz/fuzz/${target}_fuzzer
  seeds=$root/fuzz/corpus/$target
  echo "-- $target: replaying $(ls "$seeds" | wc -l) inputs of $seeds"
  "$fuzzer" "$seeds"/* > "$findings/$target-replay.log" 2>&1 ||
    { cat "$findings/$target-replay.log"; exit 1; }

  # New inputs go to a scratch corpus; the repository's seeds are only read.
  scratch=$root/build/fuzz/corpus/$target
  mkdir -p "$scratch"
  echo "-- $target: fuzzing for ${seconds_per_target}s"
  "$fuzzer" -max_total_time="$seconds_per_target" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    "$scratch" "$seeds" > "$findings/$target.log" 2>&1 ||
    { tail -n 60 "$findings/$target.log"; echo "fuzz target $target failed"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$findings/$target.log" || true
done
