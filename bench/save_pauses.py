#!/usr/bin/env python3
"""Measures how long a settings file holds still while the game saves it.

  save_pauses.py [--runs 40] [--size-kib 1024] [--writer PATH]

The test helper game_writer (built with the Linux tests) saves a file the
way the game does, in 4 KiB pieces 1 ms apart, after truncating it or in
place. Meanwhile this script looks at the file's size, write time and change
time every half millisecond and keeps the longest stretch in which none of
them moved although the save was not done: the tool's settle interval must
be well above it. Also reports how long a save takes. Run it on a busy
machine too: a writer that loses the processor pauses longer.
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--size-kib", type=int, default=1024)
    parser.add_argument("--writer", type=Path,
                        default=ROOT / "build/linux/tests/tarnwick_game_writer")
    return parser.parse_args()


def stamp(path):
    info = os.stat(path)
    return info.st_size, info.st_mtime_ns, info.st_ctime_ns


def one_save(writer, way, target, version, size):
    target.write_bytes(b"y" * size)
    last = stamp(target)
    process = subprocess.Popen([str(writer), way, "1", "1000", str(target), str(version)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    process.stdout.readline()  # "writing": the first piece is out
    start = last_change = time.monotonic()
    longest = 0.0
    while process.poll() is None:
        now_stamp, now = stamp(target), time.monotonic()
        if now_stamp != last:
            longest = max(longest, now - last_change)
            last, last_change = now_stamp, now
        time.sleep(0.0005)
    return longest, time.monotonic() - start


def main():
    args = parse_args()
    size = args.size_kib * 1024
    with tempfile.TemporaryDirectory() as folder:
        version = Path(folder) / "version"
        version.write_bytes(b"x" * size)
        target = Path(folder) / "settings"
        print(f"{args.runs} saves of {args.size_kib} KiB each way, load average "
              f"{os.getloadavg()[0]:.1f}; milliseconds:")
        print(f"{'way':<9} {'still: median':>14} {'p95':>6} {'max':>6}"
              f"   {'save: median':>13} {'max':>6}")
        for way in ("truncate", "in-place"):
            results = [one_save(args.writer, way, target, version, size)
                       for _ in range(args.runs)]
            still = sorted(1000 * r[0] for r in results)
            took = sorted(1000 * r[1] for r in results)
            print(f"{way:<9} {statistics.median(still):14.1f} "
                  f"{still[int(len(still) * 0.95)]:6.1f} {still[-1]:6.1f}"
                  f"   {statistics.median(took):13.0f} {took[-1]:6.0f}")


if __name__ == "__main__":
    main()
