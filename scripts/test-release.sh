#!/usr/bin/env bash
# The release archives: what they hold, the Windows program's version
# resource, manifest and icon, programs without debug information, the Linux
# program static, each program converting the sample cache folder where
# nothing else is installed, and two builds of one commit packing to the same
# bytes.
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

# The checks below look at the program as the zip holds it.
source scripts/wine-prefix.sh
unpacked="$wine_work/unpacked"
mkdir -p "$unpacked"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$unpacked"
exe="$unpacked/Tarnwick.exe"

resources=$(x86_64-w64-mingw32-windres -i "$exe" -J coff -O rc)
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
groups=$(wrestool --list --type=14 "$exe" | cut -d' ' -f1-2)
[ "$groups" = "--type=14 --name=1" ] || fail "icon groups: $groups"
main_icon=build/windows/main-icon.ico
wrestool --extract --type=14 --name=1 --output="$main_icon" "$exe"
sizes=$(icotool --list "$main_icon" | sed -n 's/.* --width=\([0-9]*\) --height=\([0-9]*\) .*/\1x\2/p' | tr '\n' ' ')
[ "$sizes" = "16x16 24x24 32x32 48x48 256x256 " ] || fail "main icon sizes: $sizes"
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q "Subsystem.*(Windows CUI)" <<<"$headers" || fail "Tarnwick.exe is not a console program"
# None of the debug information that the MinGW runtime brings.
debug_sections=$(x86_64-w64-mingw32-objdump -h "$exe" | awk '$2 ~ /^\.debug/ { print $2 }' | tr '\n' ' ')
[ -z "$debug_sections" ] || fail "the zip's Tarnwick.exe has debug sections: $debug_sections"

# Unpacked into an empty folder, the zip's program converts the sample cache
# folder under Wine, as a player would run it.
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

# The tarball's program needs no shared library, not even the C library's
# loader, and carries neither symbols nor debug information.
root=build/linux/empty-root
rm -rf "$root"
mkdir -p "$root/game" "$root/proc" "$root/home/player/Documents/Quellmoor"
tar xzf "$tarball" -C "$root/game" tarnwick
program="$root/game/tarnwick"
segments=$(readelf -lW "$program")
grep -q "INTERP" <<<"$segments" && fail "the tarball's tarnwick asks for a loader"
dynamic=$(readelf -d "$program")
grep -qF "There is no dynamic section" <<<"$dynamic" || fail "the tarball's tarnwick is linked dynamically"
sections=$(readelf -SW "$program" | grep -oE '\.(symtab|debug[a-z_]*)' | sort -u | tr '\n' ' ') || true
[ -z "$sections" ] || fail "the tarball's tarnwick is not stripped: $sections"

# In a root that holds only the program, the sample cache folder under a HOME
# and, for one run, /proc, the program converts the samples as the zip's did
# under Wine, into its own folder: with /proc it names itself from there, and
# without it from the path it was started by, relative to the root here.
cp -r samples/cache "$root/home/player/Documents/Quellmoor/cache"
run_in_root() {
  local console
  console=$(timeout 2m "$@" </dev/null) ||
    fail "tarnwick in the empty root failed or did not end within 2 minutes ($*)"
  grep -qxF "Current Dir: /game" <<<"$console" || fail "run in the empty root printed: $console"
  grep -qxF "Done! File(s) Processed: 2" <<<"$console" || fail "run in the empty root printed: $console"
  for id in 4503599627370497 4503599627371000; do
    cmp "$root/game/ui.$id.xml" "$unpacked/ui.$id.xml" ||
      fail "ui.$id.xml from the empty root differs from the zip's program's"
  done
  rm "$root/game/ui."*.xml
}
# chroot exits with 127 when it entered the root and found no such program,
# with 125 when it could not enter.
chroot=$(command -v chroot)
chroot_status=0
"$chroot" "$root" /no-such-program 2>/dev/null || chroot_status=$?
if [ "$chroot_status" -ne 127 ]; then
  echo "release check: chroot is not permitted here (it needs root); the runs in an empty root are skipped"
else
  # The mount ends with its namespace, whatever becomes of the run.
  with_proc=(unshare --mount sh -c 'mount -t proc proc "$1/proc" && shift && exec "$@"' sh "$root")
  if "${with_proc[@]}" true 2>/dev/null; then
    run_in_root "${with_proc[@]}" env -i HOME=/home/player "$chroot" "$root" /game/tarnwick
  else
    echo "release check: /proc cannot be mounted here; the run with /proc is skipped"
  fi
  run_in_root env -i HOME=/home/player "$chroot" "$root" game/tarnwick
fi

# A second build of the same sources, in another folder, packs to the same
# bytes. It is optimised and packs the static program as the linux preset does.
again=build/release-check-linux
rm -rf "$again"
cmake -S . -B "$again" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_PORTABLE=ON \
  -DTARNWICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$again" --target package >/dev/null
cmp "$tarball" "$again/Tarnwick-$version-linux-x86_64.tar.gz" || fail "two builds gave different tarballs"
rm -rf "$again"
echo "release archives and their programs, in bytes:"
for file in "$zip" "$exe" "$tarball" "$program"; do
  echo "  $(stat -c %s "$file")  ${file#"$wine_work/"}"
done
