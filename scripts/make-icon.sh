#!/usr/bin/env bash
# Draws the program's icon, src/driver/tarnwick.ico, from its source
# src/driver/tarnwick.svg: one image each at 16, 24, 32, 48 and 256 pixels,
# the largest stored as PNG. The .ico is committed, so a build needs none of
# this; rerun it after changing the drawing. Two runs give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh art

source=src/driver/tarnwick.svg
icon=src/driver/tarnwick.ico
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

images=()
for size in 16 24 32 48 256; do
  timeout 60 rsvg-convert --width "$size" --height "$size" --format png \
    --output "$work/$size.png" "$source"
  images+=("$work/$size.png")
done
# 16 to 48 pixels as bitmaps with an alpha channel, 256 pixels as PNG.
timeout 60 icotool --create --output="$work/tarnwick.ico" "${images[@]:0:4}" --raw="${images[4]}"
mv "$work/tarnwick.ico" "$icon"
icotool --list "$icon"
