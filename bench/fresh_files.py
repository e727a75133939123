#!/usr/bin/env python3
"""Times the tool on one pair whose files were written a moment ago.

  fresh_files.py [--rounds 7] [--block-kib 150] [--work /dev/shm/...] [--tool PATH]

A file changed within the last two seconds is read twice, the settle
interval (kSettleIntervalNs, 1.5 s) apart; an older one once, without a
wait. The two files of a pair share the wait. Each round runs the tool on
one pair three times: with both files old, right after the settings file
was written again (same bytes), and right after both were. It reports the
wall time of each (min/median/max) and, for the fresh cases, what the
median cost over the old pair's: one interval and a read of each fresh
file. Every run's output is checked against the expected one.
"""
import argparse
import statistics
import time
from pathlib import Path

from whole_run import Setup, add_setup_arguments

# Past the tool's two seconds, with room to spare.
AGE_SECONDS = 2.5


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_setup_arguments(parser, Path("/dev/shm/tarnwick-bench-fresh"))
    return parser.parse_args()


def rewrite(path):
    """Writes the file's own bytes again: its content stays, its times move."""
    path.write_bytes(path.read_bytes())


def main():
    args = parse_args()
    setup = Setup(args, 1)
    settings = next(setup.cache.glob("*_sc.tmp"))
    character = settings.with_name(settings.name.replace("_sc.tmp", ".tmp"))
    cases = {"old": [], "settings fresh": [settings], "both fresh": [settings, character]}
    seconds = {case: [] for case in cases}
    for _ in range(args.rounds):
        for case, fresh in cases.items():
            for path in fresh:
                rewrite(path)
            seconds[case].append(setup.run("tool").seconds)
            setup.check("tool")
        time.sleep(AGE_SECONDS)
    old = statistics.median(seconds["old"])
    print(f"{'pair':<15} {'min':>8} {'median':>8} {'max':>8}  wall ms  {'over old':>8}")
    for case, fresh in cases.items():
        times = [1000 * value for value in seconds[case]]
        median = statistics.median(times)
        over = f"{median - 1000 * old:8.2f}" if fresh else ""
        print(f"{case:<15} {min(times):8.2f} {median:8.2f} {max(times):8.2f}           {over:>8}")


if __name__ == "__main__":
    main()
