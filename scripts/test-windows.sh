#!/usr/bin/env bash
# The Windows program: cross-built with MinGW-w64, checked to need no DLL
# beyond the system's, then its unit tests and the end-to-end tests run under
# Wine, in a Wine prefix of its own that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset windows
cmake --build --preset windows
# The end-to-end tests are a Linux program that drives Tarnwick.exe by wine.
cmake --preset linux
cmake --build --preset linux --target tarnwick_end_to_end_tests

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

wine build/windows/tests/tarnwick_unit_tests.exe </dev/null
build/linux/tests/tarnwick_end_to_end_tests \
  --program=build/windows/Tarnwick.exe \
  --holder=build/windows/tests/hold_file_open.exe </dev/null

# The Windows benchmark builds and runs once on a tiny input: a check that it
# still works, not a measurement (bench/run-windows.sh measures).
bench/run-windows.sh --pairs 10 --rounds 1 --startup-rounds 1 --no-targets </dev/null
