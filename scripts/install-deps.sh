#!/usr/bin/env bash
# Installs the Debian packages that the named groups need, and only those
# that are missing. Groups: build, windows, fuzz, bench, format (default:
# these five), and art, which only the icon and screenshot scripts use. Every name here resolves on Debian 12 and 13: the clang runtime comes
# through Debian's default-version package, not a numbered one.
set -euo pipefail

# libxxhash-dev: the header of the digest that the program compiles in.
# e2fsprogs and mount: an end-to-end test mounts an ext3 image as root;
# exfatprogs and exfat-fuse: another mounts an exFAT image through FUSE (the
# driver brings fusermount, from fuse or fuse3, whichever the release has).
declare -A GROUPS_PACKAGES=(
  [build]="cmake ninja-build g++ googletest libgtest-dev libxxhash-dev python3 e2fsprogs mount exfatprogs exfat-fuse"
  [windows]="g++-mingw-w64-x86-64-posix libxxhash-dev wine wine64 binutils-mingw-w64-x86-64 icoutils python3"
  [fuzz]="cmake ninja-build clang libclang-rt-dev libxxhash-dev"
  [bench]="cmake ninja-build g++ libbenchmark-dev libxxhash-dev python3"
  [format]="git"
  [art]="librsvg2-bin icoutils imagemagick xvfb xterm fonts-dejavu-core fonts-wqy-microhei"
)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build windows fuzz bench format)

wanted=()
for group in "${groups[@]}"; do
  [ -n "${GROUPS_PACKAGES[$group]+x}" ] || { echo "unknown package group: $group" >&2; exit 2; }
  wanted+=(${GROUPS_PACKAGES[$group]})
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
updated=false
update_once() {
  $updated || { $sudo apt-get update -q; updated=true; }
}
is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

# The tree is formatted by clang-format 14: its own package where Debian has
# it (Debian 12), else the default one, which scripts/check-format.sh then
# reports as another version.
for group in "${groups[@]}"; do
  [ "$group" = format ] || continue
  if ! is_installed clang-format-14 && ! is_installed clang-format; then
    update_once
    if apt-cache show clang-format-14 >/dev/null 2>&1; then
      wanted+=(clang-format-14)
    else
      wanted+=(clang-format)
    fi
  fi
done

missing=()
for package in "${wanted[@]}"; do
  is_installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
update_once
$sudo apt-get install -y -q "${missing[@]}"
