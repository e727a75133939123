#!/usr/bin/env bash
# The unit, end-to-end and fault tests once more, built with AddressSanitizer
# and UndefinedBehaviorSanitizer: any report fails the run. Beside them, a
# plain build from source with the same sanitizers in its flags, as a
# contributor may make one, must build every default target of the program
# (the tests are built above).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset asan
cmake --build --preset asan

# The plain build compiles while the tests run: they mostly wait for
# just-written files to hold still, and must hold beside a busy processor.
cmake -S . -B build/plain-asan -G Ninja -DCMAKE_CXX_FLAGS='-fsanitize=address,undefined' \
  -DTARNWICK_BUILD_TESTS=OFF >/dev/null
cmake --build build/plain-asan >build/plain-asan.log 2>&1 &
plain_build=$!
status=0
ctest --preset asan || status=$?
if ! wait "$plain_build"; then
  cat build/plain-asan.log
  echo "the plain build with sanitizers in CMAKE_CXX_FLAGS failed" >&2
  status=1
fi
exit "$status"
