#!/usr/bin/env python3
"""Times whole runs of the tool on cache folders whose files need a second look.

  young_files.py [--pairs 200] [--cases old,young,ahead] [--rounds 5] [--tool PATH]

A file changed within the last two seconds, or dated ahead, is read twice,
a settle interval apart, and the files of a run that need a second look
share one wait. The tool alone scans one cache folder of N pairs
(make_cache.py) in each of these cases:

  old    every file dated a day back, its change time more than 2.5 s back
  young  every file's times set to now just before the run, as if the game
         had saved every pair a moment ago
  ahead  every file dated a day ahead just before the run (its change time
         is then now)

The order of the cases rotates from round to round. Reported for each case:
wall seconds of the whole run (min/median/max), the median less the old
case's (the wait and the second reads) and the peak resident memory. Every
run's outputs and console lines are checked.
"""
import argparse
import os
import shutil
import statistics
import time
from pathlib import Path

from whole_run import Setup, add_setup_arguments

CASES = ["old", "young", "ahead"]
A_DAY = 86400
# Past the tool's two seconds, with room to spare.
AGE_SECONDS = 2.5


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=200)
    parser.add_argument("--cases", default=",".join(CASES))
    add_setup_arguments(parser, Path("/dev/shm/tarnwick-bench-young"))
    args = parser.parse_args()
    args.cases = args.cases.split(",")
    if any(case not in CASES for case in args.cases):
        parser.error(f"--cases takes {', '.join(CASES)}")
    return args


def date_files(files, case):
    """Sets the times of `files` for `case`; their change time becomes now."""
    now = time.time()
    if case == "young":
        for path in files:
            os.utime(path)
        return
    stamp = now + A_DAY if case == "ahead" else now - A_DAY
    for path in files:
        os.utime(path, (stamp, stamp))
    if case == "old":
        time.sleep(AGE_SECONDS)


def main():
    args = parse_args()
    setup = Setup(args, args.pairs)
    files = sorted(setup.cache.iterdir())
    outputs = setup.outputs["tool"]
    # Made old by make_cache.py: a run to warm up.
    setup.run("tool")
    setup.check("tool")
    seconds = {case: [] for case in args.cases}
    peak = {case: 0 for case in args.cases}
    for round_index in range(args.rounds):
        shift = round_index % len(args.cases)
        for case in args.cases[shift:] + args.cases[:shift]:
            for output in outputs.glob("ui.*.xml"):
                output.unlink()
            date_files(files, case)
            run = setup.run("tool")
            setup.check("tool")
            seconds[case].append(run.seconds)
            peak[case] = max(peak[case], run.peak_kib)
    shutil.rmtree(setup.folder)
    old = statistics.median(seconds["old"]) if "old" in seconds else None
    print(f"{args.pairs} pairs, {args.rounds} rounds")
    print(f"{'case':<6} {'min':>8} {'median':>8} {'max':>8}  wall s  {'over old':>8}"
          f"  {'peak RSS':>10}")
    for case in args.cases:
        median = statistics.median(seconds[case])
        over = f"{median - old:8.3f}" if old is not None and case != "old" else ""
        print(f"{case:<6} {min(seconds[case]):8.3f} {median:8.3f} {max(seconds[case]):8.3f}"
              f"          {over:>8}  {peak[case]:>6} KiB")


if __name__ == "__main__":
    main()
