#!/usr/bin/env bash
# The release archives: what they hold, the Windows program's version
# resource, manifest and icon, and that two builds of one commit pack to the
# same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build windows

version=$(sed -n 's/^project(Tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail() { echo "release check failed: $*" >&2; exit 1; }

cmake --preset windows >/dev/null
cmake --build --preset windows --target package
zip=build/windows/Tarnwick-$version-win64.zip
[ -f "$zip" ] || fail "no $zip"
contents=$(python3 -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
[ "$contents" = "CHANGELOG.md LICENSE Tarnwick.exe tarnwick-run.png user-guide.md user-guide.zh-CN.md" ] ||
  fail "zip holds: $contents"

resources=$(x86_64-w64-mingw32-windres -i build/windows/Tarnwick.exe -J coff -O rc)
for expected in \
    "VALUE \"FileVersion\", \"$version\"" \
    "VALUE \"ProductVersion\", \"$version\"" \
    'VALUE "ProductName", "Tarnwick"' \
    'VALUE "FileDescription", "Tarnwick - UI Layout Extractor"' \
    'VALUE "LegalCopyright", "Copyright (C) 2026 Tarnwick developers. MIT License."' \
    'longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true' \
    'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""' \
    'requestedExecutionLevel level=""asInvoker""'; do
  grep -qF -- "$expected" <<<"$resources" || fail "resources lack: $expected"
done
# The main icon, the one Explorer shows: a single icon group, number 1, with
# the five sizes.
groups=$(wrestool --list --type=14 build/windows/Tarnwick.exe | cut -d' ' -f1-2)
[ "$groups" = "--type=14 --name=1" ] || fail "icon groups: $groups"
main_icon=build/windows/main-icon.ico
wrestool --extract --type=14 --name=1 --output="$main_icon" build/windows/Tarnwick.exe
sizes=$(icotool --list "$main_icon" | sed -n 's/.* --width=\([0-9]*\) --height=\([0-9]*\) .*/\1x\2/p' | tr '\n' ' ')
[ "$sizes" = "16x16 24x24 32x32 48x48 256x256 " ] || fail "main icon sizes: $sizes"
headers=$(x86_64-w64-mingw32-objdump -p build/windows/Tarnwick.exe)
grep -q "Subsystem.*(Windows CUI)" <<<"$headers" || fail "Tarnwick.exe is not a console program"

# Unpacked into an empty folder, the zip's program converts the sample cache
# folder under Wine, as a player would run it.
source scripts/wine-prefix.sh
unpacked="$wine_work/unpacked"
mkdir -p "$unpacked"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$unpacked"
documents=$(wine_documents) || fail "no Documents folder in the Wine prefix"
mkdir -p "$documents/Quellmoor"
cp -r samples/cache "$documents/Quellmoor/cache"
console=$(cd "$unpacked" && timeout 2m wine Tarnwick.exe </dev/null | tr -d '\r') ||
  fail "Tarnwick.exe failed or did not end within 2 minutes"
grep -qF "Done! File(s) Processed: 2" <<<"$console" || fail "sample run printed: $console"
for id in 4503599627370497 4503599627371000; do
  [ -f "$unpacked/ui.$id.xml" ] || fail "sample run wrote no ui.$id.xml"
done
sample_output=$(LC_ALL=C.UTF-8 iconv -f UTF-16 -t UTF-8 "$unpacked/ui.4503599627371000.xml")
grep -qF '<window id="小地图"' <<<"$sample_output" || fail "ui.4503599627371000.xml holds: $sample_output"

# A second build of the same sources, in another folder, packs to the same bytes.
again=build/release-check
rm -rf "$again"
cmake -S . -B "$again" -G Ninja --toolchain toolchains/x86_64-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$again" --target package >/dev/null
cmp "$zip" "$again/Tarnwick-$version-win64.zip" || fail "two builds gave different zips"
rm -rf "$again"

cmake --preset linux >/dev/null
cmake --build --preset linux --target package
tarball=build/linux/Tarnwick-$version-linux-x86_64.tar.gz
listing=$(tar tzf "$tarball" | tr '\n' ' ')
[ "$listing" = "CHANGELOG.md LICENSE tarnwick tarnwick-run.png user-guide.md user-guide.zh-CN.md " ] ||
  fail "tarball holds: $listing"
echo "release archives: $zip, $tarball"
