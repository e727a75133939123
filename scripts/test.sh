#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

steps=(
  scripts/test-linux.sh
  scripts/test-sanitizers.sh
  scripts/test-fuzz.sh
  scripts/test-windows.sh
  scripts/test-release.sh
  scripts/test-bench.sh
)

passed=0
for step in "${steps[@]}"; do
  echo "==> $step"
  "$step"
  passed=$((passed + 1))
done
echo "steps: $passed passed, 0 failed"
