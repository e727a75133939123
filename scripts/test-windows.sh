#!/usr/bin/env bash
# The Windows program: cross-built with MinGW-w64, checked to need no DLL
# beyond the system's, then its unit tests and the end-to-end tests run under
# Wine, in a Wine prefix of its own that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build windows

cmake --preset windows
cmake --build --preset windows
# The end-to-end tests are a Linux program that drives Tarnwick.exe by wine,
# and the Linux program beside it in one folder.
cmake --preset linux
cmake --build --preset linux --target tarnwick_end_to_end_tests tarnwick

echo "Imports of Tarnwick.exe:"
imports=$(x86_64-w64-mingw32-objdump -p build/windows/Tarnwick.exe | sed -n 's/^[[:space:]]*DLL Name: //p')
for dll in $imports; do
  echo "  $dll"
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | user32.dll | shell32.dll | \
    shlwapi.dll | ole32.dll | advapi32.dll) ;;
    *) echo "Tarnwick.exe needs $dll, which Windows does not ship" >&2; exit 1 ;;
  esac
done

source scripts/wine-prefix.sh

# Time limits turn a hang into a failure that names the runner.
run_limited() {
  local limit=$1
  shift
  local status=0
  timeout --kill-after=10s "$limit" "$@" </dev/null || status=$?
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "$1 did not end within $limit" >&2
  fi
  return "$status"
}

# The end-to-end tests mostly wait for just-written files to hold still, not
# for the processor: four shards run side by side, as on Linux, each in a
# copy of the prefix (the tests change its Documents folder, its registry
# and its drives), beside the unit tests in the prefix itself.
shards=4
shard_pids=()
for shard in $(seq 0 $((shards - 1))); do
  (
    use_wine_prefix_copy "shard$shard"
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$shard run_limited 10m \
      build/linux/tests/tarnwick_end_to_end_tests \
      --program=build/windows/Tarnwick.exe \
      --holder=build/windows/tests/hold_file_open.exe \
      --linux-program=build/linux/tarnwick
  ) >"$wine_work/shard$shard.log" 2>&1 &
  shard_pids+=($!)
done
failed=()
run_limited 5m wine build/windows/tests/tarnwick_unit_tests.exe || failed+=("unit tests")
# The drive whose root is "/" is the player's to choose: the tests of what
# Tarnwick.exe learns from the Linux side run again with it on Y:, not Z:.
mv "$WINEPREFIX/dosdevices/z:" "$WINEPREFIX/dosdevices/y:"
run_limited 5m wine build/windows/tests/tarnwick_unit_tests.exe --gtest_filter='*Wine*' ||
  failed+=("unit tests with / on Y:")
mv "$WINEPREFIX/dosdevices/y:" "$WINEPREFIX/dosdevices/z:"
for shard in $(seq 0 $((shards - 1))); do
  status=0
  wait "${shard_pids[$shard]}" || status=$?
  echo "-- end-to-end shard $shard of $shards (exit status $status):"
  cat "$wine_work/shard$shard.log"
  [ "$status" -eq 0 ] || failed+=("end-to-end shard $shard")
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "failed under Wine: ${failed[*]}" >&2
  exit 1
fi

# The Windows benchmark runs once on a tiny input, against the program built
# above and in this prefix: a check that it still works, not a measurement
# (bench/run-windows.sh measures). Only its I/O floor is built for it.
cmake --preset windows -B build/windows-bench \
  -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/windows-bench --target tarnwick_win32_io_floor
c++ -O2 -std=c++20 -o build/windows-bench/tarnwick_measure_run bench/measure_run.cc
run_limited 10m python3 bench/windows_run.py --documents "$(wine_documents)" \
  --work "$wine_work/bench" --tool build/windows/Tarnwick.exe \
  --pairs 10 --rounds 1 --startup-rounds 1 --no-targets
