#!/usr/bin/env python3
"""Times Tarnwick.exe against the Win32 I/O floor under Wine.

  windows_run.py --documents DIR --work DIR [--pairs 1000] [--rounds 9]
                 [--tool OTHER.exe] [--dated-ahead] [--console file,device]

Run by bench/run-windows.sh, which builds both programs and makes the Wine
prefix whose Documents folder is DIR. For each number of pairs it makes a
cache folder there (make_cache.py), so that the tool and the floor read it
through the same C:\\users\\...\\Documents path, and times three programs:
the tool, the floor, and the floor with FlushFileBuffers and a write-through
replace. Wine's start-up is timed first, on an empty cache folder, and taken
out of every run. Then, for each console target (a regular file, and the
character device /dev/null), each program runs once to warm up and then in
rounds whose order rotates, so that no program always pays for the pages the
one before it freed. Reported: milliseconds per pair over start-up for each
run, the ratio of the tool to each floor in every round, and their medians.
Every output of the tool is checked byte for byte, and its console lines.
With --dated-ahead the cache folder's files are dated a day ahead
(make_cache.py), so that the tool reads every file twice, a settle interval
apart; --console file leaves out the runs to /dev/null.
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path, PurePosixPath

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PROGRAMS = ["tool", "floor", "floor+flush"]
TARGETS = {"file": None, "device": os.devnull}


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=Path, required=True,
                        help="the Wine user's Documents folder, as a Linux path")
    parser.add_argument("--work", type=Path, required=True,
                        help="a folder for outputs, on the same file system as DOCUMENTS")
    parser.add_argument("--pairs", default="1000")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--startup-rounds", type=int, default=7)
    parser.add_argument("--block-kib", type=int, default=150)
    parser.add_argument("--build", type=Path, default=ROOT / "build/windows-bench")
    parser.add_argument("--tool", type=Path, help="another Tarnwick.exe to time, e.g. an older one")
    parser.add_argument("--dated-ahead", action="store_true",
                        help="date every file of the cache folder a day ahead")
    parser.add_argument("--console", default="file,device",
                        help="console targets: file (a regular file), device (/dev/null)")
    parser.add_argument("--measure", type=Path,
                        default=ROOT / "build/windows-bench/tarnwick_measure_run")
    parser.add_argument("--no-targets", action="store_true",
                        help="leave out the targets, e.g. for a run on a tiny input")
    return parser.parse_args()


def windows_path(path):
    """The path under Wine's drive Z:, which maps the Linux root."""
    return "Z:" + str(PurePosixPath(path)).replace("/", "\\")


def documents_windows_path(documents):
    """C:\\users\\NAME\\Documents for $WINEPREFIX/drive_c/users/NAME/Documents."""
    parts = Path(documents).parts
    index = parts.index("drive_c")
    return "C:\\" + "\\".join(parts[index + 1:])


class Run:
    """One timed start under the launcher: wall and processor seconds, and
    the peak resident KiB of the Wine process."""

    def __init__(self, measure, command, stdout_path, result_path, expect_status):
        with open(stdout_path, "wb") as stdout, open(os.devnull, "rb") as stdin:
            subprocess.run([str(measure), str(result_path)] + command, stdin=stdin, stdout=stdout,
                           check=True)
        with open(result_path) as result:
            wall, processor, peak_kib, status = (int(value) for value in result.read().split())
        if status not in expect_status:
            sys.exit(f"{command} exited with {status}")
        self.seconds = wall / 1e9
        self.processor_seconds = processor / 1e9
        self.peak_kib = peak_kib


class Setup:
    """The three programs, each with a folder of its own for its outputs."""

    def __init__(self, args):
        self.args = args
        self.cache = args.documents / "Quellmoor" / "cache"
        self.cache_windows = documents_windows_path(args.documents) + "\\Quellmoor\\cache"
        self.outputs = {name: args.work / name.replace("+", "-") for name in PROGRAMS}
        for folder in self.outputs.values():
            folder.mkdir(parents=True, exist_ok=True)
        # The tool writes next to itself, so it gets a program folder of its own.
        shutil.copy2(args.tool or args.build / "Tarnwick.exe", self.outputs["tool"] / "Tarnwick.exe")
        self.expected_path = args.work / "expected.tsv"
        self.expected_path.write_text("")
        self.expected = []
        # The launcher takes a full path.
        self.wine = shutil.which("wine")

    def fill_cache(self, pairs):
        """Makes a cache folder of `pairs` pairs (0: an empty one)."""
        shutil.rmtree(self.cache.parent, ignore_errors=True)
        made = self.args.work / "made"
        shutil.rmtree(made, ignore_errors=True)
        dated = ["--dated-ahead"] if self.args.dated_ahead and pairs > 0 else []
        subprocess.run([sys.executable, str(HERE / "make_cache.py"), str(made), "--pairs",
                        str(pairs), "--block-kib", str(self.args.block_kib)] + dated, check=True)
        # A rename: the files are read through the Wine user's own folder.
        (made / "home/Documents/Quellmoor").rename(self.cache.parent)
        shutil.move(str(made / "expected.tsv"), self.expected_path)
        shutil.rmtree(made)
        self.expected = [line.split("\t") for line in self.expected_path.read_text().splitlines()]
        for folder in self.outputs.values():
            for output in folder.glob("ui.*.xml"):
                output.unlink()

    def command(self, program):
        if program == "tool":
            return [self.wine, str(self.outputs["tool"] / "Tarnwick.exe")]
        floor = self.args.build / "bench/tarnwick_win32_io_floor.exe"
        flush = ["--flush"] if program == "floor+flush" else []
        return [self.wine, str(floor)] + flush + [self.cache_windows,
                                               windows_path(self.outputs[program]),
                                               windows_path(self.expected_path)]

    def run(self, program, target):
        stdout_path = TARGETS[target] or self.args.work / f"{program}.out"
        # An empty cache folder ends the tool's run with -2 (254 as a status).
        status = {0, 254} if not self.expected else {0}
        result_path = self.args.work / f"{program}.measure"
        return Run(self.args.measure, self.command(program), stdout_path, result_path, status)

    def check_tool(self):
        pairs = len(self.expected)
        for _, output_name, size, digest in self.expected:
            data = (self.outputs["tool"] / output_name).read_bytes()
            if len(data) != int(size) or hashlib.sha256(data).hexdigest() != digest:
                sys.exit(f"tool: wrong output {output_name} for {pairs} pairs")
        console = (self.args.work / "tool.out").read_bytes()
        closing = f"Done! File(s) Processed: {pairs}\r\n".encode()
        if console.count(b"[SUCCESS] ") != pairs or closing not in console:
            sys.exit(f"tool: wrong console output for {pairs} pairs")


def rotated(round_index):
    shift = round_index % len(PROGRAMS)
    return PROGRAMS[shift:] + PROGRAMS[:shift]


def startup_seconds(setup, target):
    """Median wall time of each program on an empty cache folder."""
    setup.fill_cache(0)
    runs = {program: [] for program in PROGRAMS}
    for program in PROGRAMS:
        setup.run(program, target)
    for round_index in range(setup.args.startup_rounds):
        for program in rotated(round_index):
            runs[program].append(setup.run(program, target).seconds)
    return {program: statistics.median(times) for program, times in runs.items()}


def measure(setup, pairs, target, startup):
    """Per program, the runs' milliseconds per pair over start-up, and peak KiB."""
    setup.fill_cache(pairs)
    for program in PROGRAMS:
        setup.run(program, "file")
    setup.check_tool()
    per_pair = {program: [] for program in PROGRAMS}
    peak = {program: 0 for program in PROGRAMS}
    for round_index in range(setup.args.rounds):
        for program in rotated(round_index):
            run = setup.run(program, target)
            per_pair[program].append(1000 * (run.seconds - startup[program]) / pairs)
            peak[program] = max(peak[program], run.peak_kib)
    if target == "file":
        setup.check_tool()
    return per_pair, peak


def report(pairs, target, startup, per_pair, peak):
    print(f"\n{pairs} pairs, console output to {'a regular file' if target == 'file' else os.devnull}"
          f" (start-up on an empty cache subtracted)")
    print(f"  {'program':<12} {'start-up ms':>11} {'min':>8} {'median':>8} {'max':>8}"
          f"  ms/pair  {'peak RSS':>10}")
    for program in PROGRAMS:
        times = per_pair[program]
        print(f"  {program:<12} {1000 * startup[program]:11.1f} {min(times):8.3f} "
              f"{statistics.median(times):8.3f} {max(times):8.3f}           "
              f"{peak[program]:>6} KiB")
    medians = {}
    for floor in ("floor", "floor+flush"):
        ratios = [tool / base for tool, base in zip(per_pair["tool"], per_pair[floor])]
        medians[floor] = statistics.median(ratios)
        print(f"  tool / {floor:<11} per round: " + " ".join(f"{r:.2f}" for r in ratios) +
              f"  median {medians[floor]:.3f}")
    return medians


def main():
    args = parse_args()
    targets = args.console.split(",")
    if any(target not in TARGETS for target in targets):
        sys.exit(f"--console takes {', '.join(TARGETS)}")
    setup = Setup(args)
    results = {}
    for target in targets:
        startup = startup_seconds(setup, target)
        for pairs in (int(value) for value in args.pairs.split(",")):
            per_pair, peak = measure(setup, pairs, target, startup)
            results[(pairs, target)] = report(pairs, target, startup, per_pair, peak)
    shutil.rmtree(setup.cache.parent, ignore_errors=True)
    if not args.no_targets:
        print("\ntargets (median of the per-round ratios):")
        for (pairs, target), medians in results.items():
            if pairs == 1000:
                print(f"  Tarnwick.exe / Win32 floor, 1000 pairs, console to {target}: "
                      f"{medians['floor']:.3f} (at most 1.3); with flush: "
                      f"{medians['floor+flush']:.3f}")


if __name__ == "__main__":
    main()
