#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test step. Each
# step runs, whatever the ones before it did, within a time limit that turns
# a hang into a failure. The closing line counts the steps that passed,
# failed and were skipped (exit status 77); the run fails when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

# Each step with its limit in minutes, about three times what it takes on
# two busy cores. Together they stay below CI's 90 minutes.
steps=(
  "scripts/check-format.sh 3"
  "scripts/test-linux.sh 15"
  "scripts/test-sanitizers.sh 15"
  "scripts/test-fuzz.sh 10"
  "scripts/test-windows.sh 15"
  "scripts/test-release.sh 12"
  "scripts/test-bench.sh 8"
)

# Once for all steps; each step installs what it needs again (a no-op then).
timeout 20m scripts/install-deps.sh || echo "==> installing packages failed; each step tries again"

passed=0
failed=0
skipped=0
outcomes=()
for entry in "${steps[@]}"; do
  read -r step minutes <<<"$entry"
  echo "==> $step (limit ${minutes} min)"
  started=$SECONDS
  # The limit ends the whole step with everything it started; a step that
  # ignores the polite signal is killed 30 s later.
  timeout --kill-after=30s "${minutes}m" "$step" </dev/null
  status=$?
  took=$((SECONDS - started))
  case $status in
    0) outcome=passed; passed=$((passed + 1)) ;;
    77) outcome=skipped; skipped=$((skipped + 1)) ;;
    124 | 137) outcome="FAILED: no end after ${minutes} min"; failed=$((failed + 1)) ;;
    *) outcome="FAILED with status $status"; failed=$((failed + 1)) ;;
  esac
  outcomes+=("$step: $outcome (${took}s)")
  echo "<== $step: $outcome (${took}s)"
done

echo
printf '%s\n' "${outcomes[@]}"
echo "steps: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
