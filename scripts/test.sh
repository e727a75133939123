#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test step. Each
# step runs, whatever the ones before it did, within a time limit that turns
# a hang into a failure. The closing line counts the steps that passed,
# failed and were skipped (exit status 77); the run fails when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

# Each step with its limit in minutes: ten to fifteen times what it takes on
# an idle two-core machine, room for busy cores and for tests still to come.
# With the installs' limit and the 30 s each may overrun before it is killed
# they add up to 80 minutes, below the 90 that CI gives the whole of this
# script on a fresh machine; the check below keeps them there.
install_minutes=10
steps=(
  "scripts/check-format.sh 2"
  "scripts/test-linux.sh 10"
  "scripts/test-sanitizers.sh 20"
  "scripts/test-fuzz.sh 10"
  "scripts/test-windows.sh 14"
  "scripts/test-release.sh 6"
  "scripts/test-bench.sh 4"
)
total_seconds=$((install_minutes * 60 + 30))
for entry in "${steps[@]}"; do
  total_seconds=$((total_seconds + ${entry##* } * 60 + 30))
done
if [ "$total_seconds" -gt $((85 * 60)) ]; then
  echo "the time limits add up to $((total_seconds / 60)) minutes; CI ends the run at 90" >&2
  exit 1
fi

# Once for all steps; each step installs what it needs again (a no-op then).
timeout --kill-after=30s "${install_minutes}m" scripts/install-deps.sh ||
  echo "==> installing packages failed; each step tries again"

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
