#!/usr/bin/env bash
# Installs the Debian packages that the named groups need, and only those
# that are missing. Groups: build, windows, fuzz, bench (default: all of
# these four), and art, which only the icon and screenshot scripts use.
set -euo pipefail

declare -A GROUPS_PACKAGES=(
  [build]="cmake ninja-build g++ googletest libgtest-dev python3"
  [windows]="g++-mingw-w64-x86-64-posix wine wine64 binutils-mingw-w64-x86-64 icoutils"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="libbenchmark-dev python3"
  [art]="librsvg2-bin icoutils imagemagick xvfb xterm fonts-dejavu-core fonts-wqy-microhei"
)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build windows fuzz bench)

wanted=()
for group in "${groups[@]}"; do
  [ -n "${GROUPS_PACKAGES[$group]+x}" ] || { echo "unknown package group: $group" >&2; exit 2; }
  wanted+=(${GROUPS_PACKAGES[$group]})
done

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q "${missing[@]}"
