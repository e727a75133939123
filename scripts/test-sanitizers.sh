#!/usr/bin/env bash
# The unit, end-to-end and fault tests once more, built with AddressSanitizer
# and UndefinedBehaviorSanitizer: any report fails the run. Then a plain build
# from source with the same sanitizers in its flags, as a contributor may
# make one, must build every default target of the program (the tests are
# built above).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

cmake -S . -B build/plain-asan -G Ninja -DCMAKE_CXX_FLAGS='-fsanitize=address,undefined' \
  -DTARNWICK_BUILD_TESTS=OFF
cmake --build build/plain-asan
