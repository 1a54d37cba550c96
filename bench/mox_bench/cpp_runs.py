"""The C++ programs in BUILD/bench: their command lines (from the workloads
table), and their output turned into rows. A program runs each measurement
in a child of its own and prints a "failed" row for a system that fails or
hangs; a program that itself fails or outlives --cpp-timeout fails every
system it was to measure."""
import json
import os
import subprocess
import sys

from . import workloads as wl
from .supervise import sweep_shm, warn_left
from .systems import CPP


def _run_program(args, program, argv, section, what, keys, results):
    """Runs one program; its rows go to results, each failure to
    results.failure. `keys` are the systems it was asked to measure."""
    path = os.path.join(args.build, "bench", program)
    if not os.access(path, os.X_OK):
        for key in keys:
            results.failure(CPP[key], what, f"{path} is not built")
        return
    print(f"  running {program} {' '.join(argv)}", file=sys.stderr, flush=True)
    proc = subprocess.Popen([path] + argv, stdout=subprocess.PIPE, text=True)
    timed_out = False
    try:
        out, _ = proc.communicate(timeout=args.cpp_timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        timed_out = True
    warn_left(program, sweep_shm(f"mox_bench_*_{proc.pid}_*"))
    seen_failures = False
    for line in out.splitlines():
        if not line.startswith("{"):
            continue
        item = json.loads(line)
        kind = item.get("kind")
        if kind == "failed":
            seen_failures = True
            results.failure(item["system"], what, item["error"])
        elif kind == "unavailable":
            results.failure(CPP.get(item["key"], item["key"]), what, "not in this build")
        elif kind != "machine":
            item["section"] = section if not item.get("system", "").startswith("memcpy") else "memcpy"
            results.rows.append(item)
    if timed_out or (proc.returncode != 0 and not seen_failures):
        # The program itself failed: none of its figures can be trusted to be complete.
        why = f"timed out after {args.cpp_timeout} s" if timed_out else f"exit code {proc.returncode}"
        for key in keys:
            results.failure(CPP[key], what, f"{program} {why}")


def run_cpp(args, results):
    runs = ["--runs", str(args.runs)]
    for i, (size, counts) in enumerate(wl.CPP_PAIRS):
        systems = ",".join(f"{k}/{wl.scaled('pair', c, args.scale)}" for k, c in counts.items())
        argv = runs + ["--systems", systems] + ([] if i == 0 else ["--no-memcpy"]) + [f"{size}:1"]
        _run_program(args, "spsc_bench", argv, "cpp-pair", f"C++ 1 -> 1, {wl.size_label(size)}", list(counts),
                     results)
    count = max(wl.FAN_PROCS, int(wl.CPP_FAN_COUNT * args.scale))
    fan_args = ["--systems", ",".join(wl.CPP_FAN_SYSTEMS), "--count", str(count), str(wl.FAN_PROCS)]
    _run_program(args, "mpmc_bench", runs + fan_args, "cpp-fan", f"C++ {wl.FAN_PROCS} -> {wl.FAN_PROCS}, 64 B",
                 list(wl.CPP_FAN_SYSTEMS), results)
    trips = max(100, int(wl.CPP_ROUND_TRIPS * args.scale))
    _run_program(args, "latency_bench", runs + ["--round-trips", str(trips)], "cpp-latency", "C++ round trip",
                 ["sem", "sem-spin", "spsc", "mpmc", "bare", "pipe", "boost"], results)
