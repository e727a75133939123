#!/usr/bin/env bash
# The unit, end-to-end and fault tests once more, built with AddressSanitizer
# and UndefinedBehaviorSanitizer: any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
