#!/usr/bin/env python3
"""Times the tool's cache folder scan against the I/O floor and plain Python.

  whole_run.py [--pairs 10,100,1000,3000] [--rounds 7] [--work /dev/shm/...]
               [--flush-floors] [--baseline OTHER_TARNWICK]

For each number of pairs it makes a synthetic cache folder (make_cache.py),
runs the programs once each to warm up, then in several interleaved
rounds, and reports wall time per pair (min/median/max), the ratios of the
medians to the I/O floor (of wall time, and of processor time, which other
work on the machine disturbs less) and the peak resident memory. Every run
of the tool and of the Python script is checked against the expected
outputs. Exits non-zero when an output is wrong; the targets are reported,
not enforced, since timings depend on the machine.

With --flush-floors it also times the I/O floor that flushes each output
and the folder ("floor-each") and the one that flushes all outputs with one
syncfs, then the folder ("floor-batched"), and writes all dirty data to the
disks before every timed start, so that no run pays for the one before it.
With --baseline it also times another build of the tool ("baseline").
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def default_python():
    # A version manager's shim costs tens of milliseconds per start: time
    # the interpreter itself.
    return "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else os.path.realpath(
        sys.executable)


def add_setup_arguments(parser, work):
    """The arguments that Setup reads, with `work` as the default folder."""
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--block-kib", type=int, default=150)
    parser.add_argument("--work", type=Path, default=work)
    parser.add_argument("--tool", type=Path, default=ROOT / "build/bench/bench/tarnwick")
    parser.add_argument("--floor", type=Path, default=ROOT / "build/bench/bench/tarnwick_io_floor")
    parser.add_argument("--measure", type=Path,
                        default=ROOT / "build/bench/bench/tarnwick_measure_run")
    parser.add_argument("--python", default=default_python())
    parser.add_argument("--flush-floors", action="store_true")
    parser.add_argument("--baseline", type=Path)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", default="10,100,1000,3000")
    add_setup_arguments(parser, Path("/dev/shm/tarnwick-bench"))
    parser.add_argument("--no-targets", action="store_true",
                        help="leave out the targets, e.g. for a run on a tiny input")
    return parser.parse_args()


class Run:
    """One timed start of a program: wall and processor seconds, peak KiB."""

    def __init__(self, measure, command, env, stdout_path):
        result_path = f"{stdout_path}.measure"
        with open(stdout_path, "wb") as stdout, open(os.devnull, "rb") as stdin:
            subprocess.run([str(measure), result_path] + command, env=env, stdin=stdin,
                           stdout=stdout, check=True)
        with open(result_path) as result:
            wall, processor, peak_kib, status = (int(value) for value in result.read().split())
        if status != 0:
            sys.exit(f"{command[0]} exited with {status}")
        self.seconds = wall / 1e9
        self.processor_seconds = processor / 1e9
        self.peak_kib = peak_kib


class Setup:
    """A cache folder of `pairs` pairs and the three programs set to scan it."""

    def __init__(self, args, pairs):
        self.pairs = pairs
        self.measure = args.measure
        self.folder = args.work / f"pairs-{pairs}"
        shutil.rmtree(self.folder, ignore_errors=True)
        subprocess.run([sys.executable, str(HERE / "make_cache.py"), str(self.folder),
                        "--pairs", str(pairs), "--block-kib", str(args.block_kib)], check=True)
        self.cache = self.folder / "home/Documents/Quellmoor/cache"
        self.expected = [line.split("\t") for line in
                         (self.folder / "expected.tsv").read_text().splitlines()]
        # The tool writes next to itself, so it gets a program folder of its own.
        self.programs = ["tool", "floor", "python"]
        if args.flush_floors:
            self.programs += ["floor-each", "floor-batched"]
        if args.baseline:
            self.programs.append("baseline")
        self.sync_first = args.flush_floors
        self.outputs = {name: self.folder / name for name in self.programs}
        for folder in self.outputs.values():
            folder.mkdir()
        shutil.copy2(args.tool, self.outputs["tool"] / "tarnwick")
        if args.baseline:
            shutil.copy2(args.baseline, self.outputs["baseline"] / "tarnwick")
        home = self.folder / "home"
        self.env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"))
        floor = [str(args.floor), str(self.cache)]
        expected = str(self.folder / "expected.tsv")
        self.commands = {
            "tool": [str(self.outputs["tool"] / "tarnwick")],
            "floor": floor + [str(self.outputs["floor"]), expected],
            "python": [args.python, str(HERE / "plain_convert.py"), str(self.cache),
                       str(self.outputs["python"])],
            "floor-each": floor + [str(self.outputs.get("floor-each")), expected, "each"],
            "floor-batched": floor + [str(self.outputs.get("floor-batched")), expected, "batched"],
            "baseline": [str(self.outputs.get("baseline", "")) + "/tarnwick"],
        }

    def run(self, program):
        if self.sync_first:
            os.sync()
        return Run(self.measure, self.commands[program], self.env,
                   self.folder / f"{program}.out")

    def check(self, program):
        """Exits when any output of `program` differs from the expected one."""
        for _, output_name, size, digest in self.expected:
            data = (self.outputs[program] / output_name).read_bytes()
            if len(data) != int(size) or hashlib.sha256(data).hexdigest() != digest:
                sys.exit(f"{program}: wrong output {output_name} for {self.pairs} pairs")
        if program in ("tool", "baseline"):
            console = (self.folder / f"{program}.out").read_text()
            closing = f"Done! File(s) Processed: {self.pairs}\n"
            if console.count("[SUCCESS] ") != self.pairs or closing not in console:
                sys.exit(f"{program}: wrong console output for {self.pairs} pairs")


def measure(args, pairs):
    setup = Setup(args, pairs)
    programs = setup.programs
    checked = [program for program in programs if not program.startswith("floor")]
    for program in programs:
        setup.run(program)
    for program in checked:
        setup.check(program)
    runs = {program: [] for program in programs}
    for round_index in range(args.rounds):
        shift = round_index % len(programs)
        for program in programs[shift:] + programs[:shift]:
            runs[program].append(setup.run(program))
    for program in checked:
        setup.check(program)
    shutil.rmtree(setup.folder)
    return runs


def per_pair_ms(runs, pairs, processor=False):
    return [1000 * (run.processor_seconds if processor else run.seconds) / pairs for run in runs]


def main():
    args = parse_args()
    results = {}
    print(f"{'pairs':>6} {'program':<13} {'min':>8} {'median':>8} {'max':>8}  wall ms/pair"
          f"  {'x floor':>7}  {'cpu x floor':>11}  {'peak RSS':>10}")
    for pairs in (int(value) for value in args.pairs.split(",")):
        runs = measure(args, pairs)
        medians = {program: statistics.median(per_pair_ms(r, pairs)) for program, r in runs.items()}
        processor = {program: statistics.median(per_pair_ms(r, pairs, processor=True))
                     for program, r in runs.items()}
        for program, program_runs in runs.items():
            times = per_pair_ms(program_runs, pairs)
            peak = max(run.peak_kib for run in program_runs)
            print(f"{pairs:>6} {program:<13} {min(times):8.4f} {medians[program]:8.4f} "
                  f"{max(times):8.4f}               {medians[program] / medians['floor']:7.3f}"
                  f"  {processor[program] / processor['floor']:11.3f}  {peak:>6} KiB",
                  flush=True)
        results[pairs] = (medians, {p: max(r.peak_kib for r in runs[p]) for p in runs})
    if not args.no_targets:
        report_targets(results, args.flush_floors)


def report_targets(results, flush_floors):
    print("\ntargets (medians):")
    if flush_floors:
        for pairs, (medians, _) in results.items():
            print(f"  scan of {pairs} pairs / batched flush floor: "
                  f"{medians['tool'] / medians['floor-batched']:.3f} (at most 1.3)")
        return
    if 1000 in results:
        medians = results[1000][0]
        print(f"  scan of 1000 pairs / I/O floor: {medians['tool'] / medians['floor']:.3f}"
              f" (at most 1.15)")
        print(f"  plain Python / scan, 1000 pairs: {medians['python'] / medians['tool']:.2f}"
              f" (at least 2.3)")
    if 10 in results:
        medians = results[10][0]
        print(f"  plain Python / scan, 10 pairs: {medians['python'] / medians['tool']:.2f}"
              f" (at least 8)")
    if 10 in results and 3000 in results:
        ratio = results[3000][1]["tool"] / results[10][1]["tool"]
        print(f"  peak RSS of the scan, 3000 / 10 pairs: {ratio:.3f} (at most 1.1)")


if __name__ == "__main__":
    main()
