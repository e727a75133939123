#!/usr/bin/env bash
# Runs the Linux tests of an existing build the way a busy desktop meets
# them: /tmp on a tmpfs of its own (where inode numbers come in order),
# beside a program that keeps creating files there and holding the newest
# of them open for writing; each run may be SIDE_BY_SIDE runs at once, for
# a loaded machine. Needs root, for a private mount namespace; the machine's
# own /tmp is left alone. Not a step of scripts/test.sh: run it by hand
# after a change to the tests.
#
#   scripts/test-beside-writers.sh [RUNS [SIDE_BY_SIDE [CTEST ARGUMENT...]]]
#   scripts/test-beside-writers.sh 5 1 -R unit
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
side_by_side=${2:-1}
shift 2 || shift $#
if [ "${TARNWICK_PRIVATE_TMP:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "needs root, for a mount namespace of its own" >&2; exit 77; }
  TARNWICK_PRIVATE_TMP=1 exec unshare --mount --propagation private "$0" "$runs" "$side_by_side" "$@"
fi

mount -t tmpfs -o mode=1777 tarnwick-busy-tmp /tmp
export TMPDIR=/tmp
busy=/tmp/busy-writer
mkdir "$busy"
# Creates a file every millisecond or so and keeps the last hundred open for
# writing, so the inode numbers next to any new file are likely held.
python3 - "$busy" <<'EOF' &
import os, sys, time
folder, held, count = sys.argv[1], [], 0
while True:
    path = os.path.join(folder, str(count))
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o600)
    os.write(fd, b"busy")
    held.append((fd, path))
    if len(held) > 100:
        old_fd, old_path = held.pop(0)
        os.close(old_fd)
        os.unlink(old_path)
    count += 1
    time.sleep(0.001)
EOF
writer=$!
trap 'kill "$writer" 2>/dev/null || true' EXIT
until [ "$(ls "$busy" | wc -l)" -ge 100 ]; do sleep 0.1; done

failed=0
for run in $(seq "$runs"); do
  echo "==> run $run of $runs: $side_by_side at once, beside $(ls "$busy" | wc -l) files held open in a tmpfs /tmp"
  pids=()
  for copy in $(seq "$side_by_side"); do
    # A job that a script starts in the background ignores SIGINT and
    # SIGQUIT, and so would the programs that the tests send them to.
    env --default-signal=INT,QUIT ctest --preset linux --output-on-failure "$@" \
      >"$busy.log.$copy" 2>&1 &
    pids+=($!)
  done
  for copy in $(seq "$side_by_side"); do
    status=0
    wait "${pids[$((copy - 1))]}" || status=$?
    cat "$busy.log.$copy"
    [ "$status" -eq 0 ] || failed=$((failed + 1))
  done
done
echo "test runs: $((runs * side_by_side - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
