#!/usr/bin/env bash
# The native build: unit tests and end-to-end tests of build/linux/tarnwick.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset linux
cmake --build --preset linux
ctest --preset linux
