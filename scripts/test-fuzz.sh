#!/usr/bin/env bash
# Builds the libFuzzer targets, replays the seed corpus (which holds every
# input that ever found a fault) and then runs each target a fixed number of
# times from a fixed seed, so every run does the same work however busy the
# machine is. Open-ended fuzzing is scripts/fuzz.sh. A failing input is kept
# in build/fuzz/findings/; once the fault is mended, add it to
# fuzz/corpus/<target>/ as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh fuzz
cmake --preset fuzz
cmake --build --preset fuzz

# Runs per target: some 15 s each on an idle two-core machine.
declare -A runs=([find_pattern]=200000 [decode]=300000 [convert]=5000)
seed=20260101

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Absolute paths: the conversion target works in a folder of its own.
root=$(pwd)
findings=$root/build/fuzz/findings
mkdir -p "$findings"
for target in find_pattern decode convert; do
  fuzzer=$root/build/fuzz/fuzz/${target}_fuzzer
  seeds=$root/fuzz/corpus/$target
  echo "-- $target: replaying $(ls "$seeds" | wc -l) inputs of $seeds"
  "$fuzzer" "$seeds"/* > "$findings/$target-replay.log" 2>&1 ||
    { cat "$findings/$target-replay.log"; exit 1; }

  # New inputs go to a scratch corpus that starts empty each time, so the
  # same runs cover the same inputs; the repository's seeds are only read.
  scratch=$root/build/fuzz/test-corpus/$target
  rm -rf "$scratch"
  mkdir -p "$scratch"
  echo "-- $target: ${runs[$target]} runs from seed $seed"
  "$fuzzer" -runs="${runs[$target]}" -seed="$seed" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    "$scratch" "$seeds" > "$findings/$target.log" 2>&1 ||
    { tail -n 60 "$findings/$target.log"; echo "fuzz target $target failed"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$findings/$target.log" || true
done
