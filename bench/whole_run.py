#!/usr/bin/env python3
"""Times the tool's cache folder scan against the I/O floor and plain Python.

  whole_run.py [--pairs 10,100,1000,3000] [--rounds 7] [--work /dev/shm/...]

For each number of pairs it makes a synthetic cache folder (make_cache.py),
runs the three programs once each to warm up, then in several interleaved
rounds, and reports wall time per pair (min/median/max), the ratios of the
medians to the I/O floor (of wall time, and of processor time, which other
work on the machine disturbs less) and the peak resident memory. Every run
of the tool and of the Python script is checked against the expected
outputs. Exits non-zero when an output is wrong; the targets are reported,
not enforced, since timings depend on the machine.
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
        self.outputs = {name: self.folder / name for name in ("tool", "floor", "python")}
        for folder in self.outputs.values():
            folder.mkdir()
        shutil.copy2(args.tool, self.outputs["tool"] / "tarnwick")
        home = self.folder / "home"
        self.env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"))
        self.commands = {
            "tool": [str(self.outputs["tool"] / "tarnwick")],
            "floor": [str(args.floor), str(self.cache), str(self.outputs["floor"]),
                      str(self.folder / "expected.tsv")],
            "python": [args.python, str(HERE / "plain_convert.py"), str(self.cache),
                       str(self.outputs["python"])],
        }

    def run(self, program):
        return Run(self.measure, self.commands[program], self.env,
                   self.folder / f"{program}.out")

    def check(self, program):
        """Exits when any output of `program` differs from the expected one."""
        for _, output_name, size, digest in self.expected:
            data = (self.outputs[program] / output_name).read_bytes()
            if len(data) != int(size) or hashlib.sha256(data).hexdigest() != digest:
                sys.exit(f"{program}: wrong output {output_name} for {self.pairs} pairs")
        if program == "tool":
            console = (self.folder / "tool.out").read_text()
            closing = f"Done! File(s) Processed: {self.pairs}\n"
            if console.count("[SUCCESS] ") != self.pairs or closing not in console:
                sys.exit(f"tool: wrong console output for {self.pairs} pairs")


def measure(args, pairs):
    setup = Setup(args, pairs)
    programs = ["tool", "floor", "python"]
    for program in programs:
        setup.run(program)
    setup.check("tool")
    setup.check("python")
    runs = {program: [] for program in programs}
    for round_index in range(args.rounds):
        shift = round_index % len(programs)
        for program in programs[shift:] + programs[:shift]:
            runs[program].append(setup.run(program))
    setup.check("tool")
    setup.check("python")
    shutil.rmtree(setup.folder)
    return runs


def per_pair_ms(runs, pairs, processor=False):
    return [1000 * (run.processor_seconds if processor else run.seconds) / pairs for run in runs]


def main():
    args = parse_args()
    results = {}
    print(f"{'pairs':>6} {'program':<7} {'min':>8} {'median':>8} {'max':>8}  wall ms/pair"
          f"  {'x floor':>7}  {'cpu x floor':>11}  {'peak RSS':>10}")
    for pairs in (int(value) for value in args.pairs.split(",")):
        runs = measure(args, pairs)
        medians = {program: statistics.median(per_pair_ms(r, pairs)) for program, r in runs.items()}
        processor = {program: statistics.median(per_pair_ms(r, pairs, processor=True))
                     for program, r in runs.items()}
        for program, program_runs in runs.items():
            times = per_pair_ms(program_runs, pairs)
            peak = max(run.peak_kib for run in program_runs)
            print(f"{pairs:>6} {program:<7} {min(times):8.4f} {medians[program]:8.4f} "
                  f"{max(times):8.4f}               {medians[program] / medians['floor']:7.3f}"
                  f"  {processor[program] / processor['floor']:11.3f}  {peak:>6} KiB",
                  flush=True)
        results[pairs] = (medians, {p: max(r.peak_kib for r in runs[p]) for p in runs})
    if not args.no_targets:
        report_targets(results)


def report_targets(results):
    print("\ntargets (medians):")
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
