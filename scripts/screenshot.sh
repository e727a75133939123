#!/usr/bin/env bash
# Takes the picture at the top of the user guides, docs/tarnwick-run.png:
# Tarnwick.exe run under Wine from a program folder C:\Games\Quellmoor on the
# sample cache folder, in a terminal window on a virtual X display, captured
# while it waits at the pause. Not part of the tests; rerun it when the
# program's lines change.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build windows art
cmake --preset windows >/dev/null
cmake --build --preset windows --target tarnwick

picture=$PWD/docs/tarnwick-run.png
program=$PWD/build/windows/Tarnwick.exe

# The Windows user is "you", as in the guides' examples.
export USER=you
source scripts/wine-prefix.sh
xvfb_pid="" xterm_pid=""
cleanup() {
  [ -z "$xterm_pid" ] || kill "$xterm_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || timeout 10 tail --pid="$xvfb_pid" -f /dev/null || true
  cleanup_wine_prefix
}
trap cleanup EXIT

documents=$(wine_documents)
mkdir -p "$documents/Quellmoor" "$WINEPREFIX/drive_c/Games/Quellmoor"
cp -r samples/cache "$documents/Quellmoor/cache"
cp "$program" "$WINEPREFIX/drive_c/Games/Quellmoor/"

# A virtual display of its own; Xvfb names the display it took.
Xvfb -displayfd 3 -screen 0 1600x600x24 -nolisten tcp \
  3>"$wine_work/display" >"$wine_work/xvfb.log" 2>&1 &
xvfb_pid=$!
timeout 30 sh -c 'until [ -s "$1" ]; do sleep 0.2; done' sh "$wine_work/display" ||
  { cat "$wine_work/xvfb.log" >&2; exit 1; }
display=:$(cat "$wine_work/display")

# Wine's own console window draws every character in one cell, so a Chinese
# name would overlap itself; a terminal window with a CJK font shows it
# whole. Eighty columns, as a console window opens, keep the picture
# readable at the width the guides show it. Wine writes the console's lines to the terminal, and the terminal
# logs what it shows, so the script knows when the pause has come.
log=$wine_work/terminal.log
(cd "$WINEPREFIX/drive_c/Games/Quellmoor" &&
  exec xterm -display "$display" -geometry 120x20+0+0 -bg black -fg '#c0c0c0' \
    -fa 'DejaVu Sans Mono' -fd 'WenQuanYi Micro Hei Mono' -fs 10 -xrm 'XTerm*cursorBlink: false' -l -lf "$log" \
    -e env DISPLAY= wine Tarnwick.exe) >"$wine_work/xterm.log" 2>&1 &
xterm_pid=$!

# Wait for the closing count and a line after it (the pause prompt), then
# until two captures a moment apart are the same.
if ! timeout 60 sh -c 'until tr -d "\r" 2>/dev/null <"$1" | grep -A1 "File(s) Processed" | sed -n 2p | grep -q .; do sleep 0.5; done' sh "$log"; then
  echo "the program did not reach its pause; the terminal showed:" >&2
  cat "$log" "$wine_work/xterm.log" >&2 || true
  exit 1
fi
capture() { import -display "$display" -window root "$1"; }
capture "$wine_work/a.png"
for attempt in $(seq 20); do
  sleep 0.5
  capture "$wine_work/b.png"
  cmp -s "$wine_work/a.png" "$wine_work/b.png" && break
  mv "$wine_work/b.png" "$wine_work/a.png"
  [ "$attempt" -lt 20 ] || { echo "the window did not settle" >&2; exit 1; }
done

# Cut the picture to what the window shows, with a black margin; no time or
# tool names in the file.
convert "$wine_work/a.png" -trim +repage -bordercolor black -border 12 \
  -strip -define png:exclude-chunks=date,time "$picture"
echo "wrote $picture"
