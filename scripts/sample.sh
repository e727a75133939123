#!/usr/bin/env bash
# Installs what is missing, builds the Linux program and runs it in cache
# folder scan mode over the sample cache folder shipped in samples/cache.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset linux >/dev/null
cmake --build --preset linux --target tarnwick

# The program looks for the cache under the user's Documents folder; give it
# a home of its own that holds the samples.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/Documents/Quellmoor"
cp -r samples/cache "$home/Documents/Quellmoor/cache"

status=0
HOME="$home" XDG_CONFIG_HOME="$home/.config" build/linux/tarnwick || status=$?
echo
echo "Exit status: $status. Layouts written next to the program:"
ls -l build/linux/ui.*.xml
