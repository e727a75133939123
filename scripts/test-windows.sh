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

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# A HOME of its own: Wine links the prefix's Documents folder to it, and the
# tests fill that folder. No display, no debug output, no Mono or Gecko.
export HOME="$work/home" WINEDEBUG=-all DISPLAY= LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_DOCUMENTS_DIR WAYLAND_DISPLAY
mkdir -p "$HOME"
# Wine's services outlive the programs they start with; they must not hold
# on to this script's output.
if ! wineboot -i >"$work/wineboot.log" 2>&1 </dev/null; then
  cat "$work/wineboot.log" >&2
  exit 1
fi
# One server for every run that follows, started once the first has ended.
wineserver -w
wineserver -p >/dev/null 2>&1 </dev/null

wine build/windows/tests/tarnwick_unit_tests.exe </dev/null
build/linux/tests/tarnwick_end_to_end_tests \
  --program=build/windows/Tarnwick.exe \
  --holder=build/windows/tests/hold_file_open.exe </dev/null
