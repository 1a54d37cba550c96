#!/usr/bin/env python3
"""Runs every workload through mox_ipc_queue and through the peers a user
would pick instead, in one run; prints absolute figures and ratios (ours ÷
peer) and, with --docs, writes docs/benchmarks.md and the PNG plots.

The work is done by the mox_bench package beside this file (one module per
job; bench/README.md explains them). A peer that fails or hangs is reported
and left out; the exit status is 1 only when one of our own systems failed.
A missed target (mox_bench/targets.py) is reported, not a failure: ratios
on a loaded machine move from run to run.

Usage: run_bench.py [--build build/cmake] [--runs 5] [--quick] [--only GROUP,...] [--json FILE] [--docs DIR]
"""
import argparse
import json
import os
import sys
import time

from mox_bench import cpp_runs, python_runs, report
from mox_bench.results import Results
from mox_bench.supervise import Helper, sweep_shm, warn_left
from mox_bench.systems import PYTHON
from mox_bench.targets import missed


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/cmake", help="CMake build directory holding bench/")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure; the median is reported")
    parser.add_argument("--fan-runs", type=int, default=3, help="runs per 4 -> 4 Python figure")
    parser.add_argument("--quick", action="store_true", help="a tenth of the messages and 2 runs: a smoke run")
    parser.add_argument("--timeout", type=int, default=60, help="seconds one Python run may take")
    parser.add_argument("--cpp-timeout", type=int, default=300, help="seconds one C++ program may take")
    parser.add_argument("--skip-cpp", action="store_true")
    parser.add_argument("--skip-python", action="store_true")
    parser.add_argument("--only", type=lambda v: v.split(","), metavar="GROUP,...",
                        help="run only these Python workload groups, of: " + ",".join(python_runs.GROUPS))
    parser.add_argument("--json", help="also write every row, one JSON object per line, to this file")
    parser.add_argument("--docs", help="write benchmarks.md and the PNG plots into this directory")
    args = parser.parse_args()
    unknown = set(args.only or ()) - set(python_runs.GROUPS)
    if unknown:
        parser.error(f"--only: no group {', '.join(sorted(unknown))}")
    args.scale = 0.1 if args.quick else 1.0
    if args.quick:
        args.runs, args.fan_runs = 2, 1
    return args


def main():
    args = parse_args()
    started = time.perf_counter()
    load_before = report.load_average()
    machine = report.machine_info()
    print(f"machine: {machine['cpu']}, {machine['cores']} cores; Python {machine['python']}; "
          f"load average {load_before}", flush=True)
    missing = [s.module for s in PYTHON.values() if s.module and not s.available()]
    if missing:
        print(f"note: not installed, so not measured: {', '.join(missing)} (pip install -r bench/requirements.txt)",
              file=sys.stderr)
    results = Results()
    if not args.skip_cpp:
        cpp_runs.run_cpp(args, results)
    if not args.skip_python:
        with Helper() as helper:
            python_runs.run_python(args, helper, results)
    warn_left("the run", sweep_shm(f"mox_bench_*_{os.getpid()}_*"))
    ctx = report.Context(machine, args, load_before, report.load_average(), time.perf_counter() - started)
    report.print_report(results, ctx)
    if args.docs:
        command = "make bench   # = make install build-cpp; " + " ".join(["python", "bench/run_bench.py"] +
                                                                            sys.argv[1:])
        report.write_docs(results, ctx, command)
    if args.json:
        with open(args.json, "w") as f:
            for item in [machine] + results.rows:
                f.write(json.dumps(item) + "\n")
    if results.skipped:
        print(f"peers skipped (not a failure): {len(results.skipped)}", file=sys.stderr)
    short = missed(results.rows)
    if short:
        print(f"targets missed: {len(short)}: {'; '.join(short)}", file=sys.stderr)
    if results.failed:
        print(f"failed: {'; '.join(results.failed)}", file=sys.stderr)
    if results.failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
