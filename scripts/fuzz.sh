#!/usr/bin/env bash
# Open-ended fuzzing, by hand: scripts/fuzz.sh TARGET [SECONDS] fuzzes one
# target (find_pattern, decode or convert) until stopped, or for SECONDS. Its
# corpus grows in build/fuzz/corpus/TARGET across runs; findings go to
# build/fuzz/findings/. The test command runs a fixed amount instead
# (scripts/test-fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh find_pattern|decode|convert [seconds]}
seconds=${2:-0}
[ -f "fuzz/${target}_fuzzer.cc" ] || { echo "no fuzz target $target" >&2; exit 2; }

scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${target}_fuzzer"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
root=$(pwd)
corpus=$root/build/fuzz/corpus/$target
findings=$root/build/fuzz/findings
mkdir -p "$corpus" "$findings"
exec "$root/build/fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
  "$corpus" "$root/fuzz/corpus/$target"
