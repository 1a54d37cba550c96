#!/usr/bin/env python3
"""Runs the C++ benchmark programs and the Python benchmark; prints one table.

Python side: N messages go from the parent (writer) to a child process
(reader, started with multiprocessing's spawn method) through each queue
class of mox_ipc_queue and, in the same run, through multiprocessing.Queue
with the same payloads. The reader times from a start marker (the first
message) to the last message. Each figure is the median of several runs;
the runs of all systems are interleaved so that a change in machine load
touches them alike.

Usage: run_bench.py [--build build/cmake] [--runs 5] [--json FILE]
"""
import argparse
import glob
import itertools
import json
import multiprocessing as mp
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

try:
    import mox_ipc_queue as mq
except ImportError:  # the C++ programs and multiprocessing.Queue still run
    mq = None

SMALL = 64
LARGE = 64 * 1024
# Variable-length queue geometry, the same as the C++ program's default.
VAR_CHANNELS, VAR_CELLS, VAR_CELL_SIZE = 4, 64, 16 * 1024
SHM_DIR = "/dev/shm"
_names = itertools.count()


def ring_cells(payload):
    """Ring length used for every fixed-cell queue (and as the bound of
    multiprocessing.Queue): 1024 cells up to 4 KiB, else 2 MiB worth, >= 8."""
    return 1024 if payload <= 4096 else max(8, (2 << 20) // payload)


def size_label(n):
    if n >= 1 << 20 and n % (1 << 20) == 0:
        return f"{n >> 20} MiB"
    if n >= 1024 and n % 1024 == 0:
        return f"{n >> 10} KiB"
    return f"{n} B"


# ---- queue kinds ----------------------------------------------------------
# Each kind: how the writer makes the queue, how the reader reaches it, and
# the two calls used. Kinds are looked up by key in the child, so only
# strings and the queue object of multiprocessing cross the process boundary.

def _create(kind, name, payload, ctx):
    if kind == "mp":
        return ctx.Queue(maxsize=ring_cells(payload))
    if kind == "spsc":
        return mq.SPSCQueue(name, ring_cells(payload), payload, True)
    if kind == "mpmc":
        return mq.MPMCQueue(name, ring_cells(payload), payload)
    if kind in ("mpmcvar", "mpmcvar-f64"):
        return mq.MPMCVarQueue(name, VAR_CHANNELS, VAR_CELLS, VAR_CELL_SIZE)
    raise ValueError(kind)


def _connect(kind, name_or_queue):
    if kind == "mp":
        return name_or_queue
    cls = {"spsc": "SPSCQueue", "mpmc": "MPMCQueue", "mpmcvar": "MPMCVarQueue", "mpmcvar-f64": "MPMCVarQueue"}[kind]
    return getattr(mq, cls)(name_or_queue)


def _read_call(kind, q):
    if kind == "mp":
        return q.get
    if kind == "mpmcvar-f64":
        return lambda: q.read(mq.QDataType.FloatArray)
    return q.read


def _reader(kind, name_or_queue, count, conn):
    """Child process: takes the marker, then times `count` messages."""
    try:
        q = _connect(kind, name_or_queue)
        read = _read_call(kind, q)
        read()  # start marker
        start = time.perf_counter()
        last = b""
        for _ in range(count):
            last = read()
        elapsed = time.perf_counter() - start
        conn.send(("ok", elapsed, last.nbytes if hasattr(last, "nbytes") else len(last)))
    except BaseException as e:  # the parent must hear of every failure
        conn.send(("error", repr(e), 0))
        raise


class ChildFailed(Exception):
    pass


def _raise_child_failed(signum, frame):
    raise ChildFailed("the reader process failed")


def _raise_timeout(signum, frame):
    raise TimeoutError("run took too long")


class Watch:
    """While the writer runs: if the reader dies, or time runs out, break the
    writer's blocking wait with a signal so the run fails instead of hanging.
    The queue waits give the interpreter lock up, so this thread can run."""

    def __init__(self, child, timeout):
        self.child, self.timeout, self.done = child, timeout, threading.Event()

    def __enter__(self):
        self.old_usr1 = signal.signal(signal.SIGUSR1, _raise_child_failed)
        self.old_alrm = signal.signal(signal.SIGALRM, _raise_timeout)
        signal.alarm(self.timeout)
        self.main = threading.main_thread().ident
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()
        return self

    def _watch(self):
        while not self.done.wait(0.05):
            code = self.child.exitcode
            if code is not None:
                if code != 0:
                    signal.pthread_kill(self.main, signal.SIGUSR1)
                return

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        signal.alarm(0)
        signal.signal(signal.SIGUSR1, self.old_usr1)
        signal.signal(signal.SIGALRM, self.old_alrm)
        return False


def _write_all(q, kind, payload, count):
    write = q.put if kind == "mp" else q.write
    write(payload)  # start marker
    for _ in range(count):
        write(payload)


def sweep_shm(pattern):
    """Removes shared-memory objects and semaphores matching `pattern`
    (without the leading slash); returns what was left behind."""
    left = sorted(glob.glob(os.path.join(SHM_DIR, pattern)) + glob.glob(os.path.join(SHM_DIR, "sem." + pattern)))
    for path in left:
        try:
            os.unlink(path)
        except OSError:
            pass
    return [os.path.basename(p) for p in left]


def run_python_once(kind, payload, count, timeout):
    ctx = mp.get_context("spawn")
    base = f"mox_bench_py_{os.getpid()}_{next(_names)}"
    name = "/" + base
    q = None
    child = None
    recv_conn, send_conn = ctx.Pipe(duplex=False)
    try:
        q = _create(kind, name, payload, ctx)
        child = ctx.Process(target=_reader, args=(kind, q if kind == "mp" else name, count, send_conn))
        child.start()
        send_conn.close()
        data = bytes(range(256)) * (payload // 256) + bytes(payload % 256)
        if kind == "mpmcvar-f64":
            import numpy as np
            data = np.arange(payload // 8, dtype=np.float64)
        with Watch(child, timeout):
            _write_all(q, kind, data, count)
            if not recv_conn.poll(timeout):
                raise TimeoutError("no result from the reader")
        status, value, last_len = recv_conn.recv()
        child.join(timeout)
        if status != "ok":
            raise ChildFailed(value)
        if child.exitcode != 0:
            raise ChildFailed(f"reader exit code {child.exitcode}")
        if last_len != payload:
            raise ChildFailed(f"last message had {last_len} bytes, expected {payload}")
        return value
    finally:
        recv_conn.close()
        send_conn.close()
        if child is not None and child.is_alive():
            child.kill()
            child.join()
        if kind == "mp" and q is not None:
            q.cancel_join_thread()  # a dead reader must not stall the feeder thread's exit
            q.close()
        elif q is not None and hasattr(q, "unlink"):
            q.unlink()
        del q  # the last reference: the destructor removes whatever names remain
        left = sweep_shm(base) + sweep_shm(base + "_*")
        if left:
            print(f"  warning: left in {SHM_DIR} after the run, removed: {', '.join(left)}", file=sys.stderr)


def python_benchmark(args):
    systems = [("multiprocessing.Queue", "mp")]
    if mq is not None:
        systems.append(("Python SPSCQueue", "spsc"))
        if hasattr(mq, "MPMCQueue"):
            systems.append(("Python MPMCQueue", "mpmc"))
        if hasattr(mq, "MPMCVarQueue"):
            systems.append(("Python MPMCVarQueue", "mpmcvar"))
    else:
        print("note: mox_ipc_queue is not importable; only multiprocessing.Queue is measured", file=sys.stderr)
    cases = [(SMALL, args.small_count), (LARGE, args.large_count)]
    seconds = {(label, payload): [] for label, _ in systems for payload, _ in cases}
    failed = set()
    for run in range(args.runs):
        for payload, count in cases:
            for label, kind in systems:
                if label in failed:
                    continue
                try:
                    seconds[(label, payload)].append(run_python_once(kind, payload, count, args.timeout))
                except Exception as e:  # report it, go on with the other systems
                    print(f"  {label}, {size_label(payload)}: run failed: {e!r}", file=sys.stderr, flush=True)
                    failed.add(label)
        print(f"  python run {run + 1}/{args.runs} done", file=sys.stderr, flush=True)
    rows = []
    for label, _ in systems:
        for payload, count in cases:
            if label not in failed:
                rates = [count / s for s in seconds[(label, payload)]]
                rows.append(row(label, 1, 1, payload, count, rates))
    return rows, sorted(failed)


VAR_SIZES = [1 << 10, 64 << 10, 1 << 20, 16 << 20]


def var_count(payload):
    """About 256 MiB per run, at least 16 and at most 100k messages."""
    return max(16, min(100_000, (256 << 20) // payload))


def python_var_benchmark(args):
    """MPMCVarQueue, one writer to one reader: bytes and float64 arrays."""
    if mq is None or not hasattr(mq, "MPMCVarQueue"):
        return [], []
    systems = [("Python MPMCVarQueue bytes", "mpmcvar"), ("Python MPMCVarQueue float64", "mpmcvar-f64")]
    rows, failed = [], []
    for label, kind in systems:
        for payload in VAR_SIZES:
            count = var_count(payload)
            try:
                seconds = [run_python_once(kind, payload, count, args.timeout) for _ in range(args.runs)]
            except Exception as e:
                print(f"  {label}, {size_label(payload)}: run failed: {e!r}", file=sys.stderr, flush=True)
                failed.append(label)
                break
            rows.append(row(label, 1, 1, payload, count, [count / t for t in seconds]))
        print(f"  {label} done", file=sys.stderr, flush=True)
    return rows, failed


def _mpmc_writer(name, count, go):
    q = mq.MPMCQueue(name)
    data = bytes(SMALL)
    go.wait()
    for _ in range(count):
        q.write(data)


def _mpmc_reader(name, conn):
    q = mq.MPMCQueue(name)
    got = 0
    while len(q.read()) != 0:  # an empty message is the stop mark
        got += 1
    conn.send(got)


def run_python_mpmc_once(writers, readers, count, timeout):
    """`writers` processes share `count` 64-byte messages; timed from the
    start signal until every reader has its stop mark."""
    ctx = mp.get_context("spawn")
    base = f"mox_bench_py_{os.getpid()}_{next(_names)}"
    q = mq.MPMCQueue("/" + base, ring_cells(SMALL), SMALL)
    go = ctx.Event()
    pipes = [ctx.Pipe(duplex=False) for _ in range(readers)]
    procs = [ctx.Process(target=_mpmc_writer, args=("/" + base, count // writers, go)) for _ in range(writers)]
    procs += [ctx.Process(target=_mpmc_reader, args=("/" + base, send)) for _, send in pipes]
    try:
        for p in procs:
            p.start()
        time.sleep(0.5)  # let every child connect before the clock starts
        start = time.perf_counter()
        go.set()
        for p in procs[:writers]:
            p.join(timeout)
        for _ in range(readers):
            q.write(b"")
        got = sum(recv.recv() for recv, _ in pipes if recv.poll(timeout))
        elapsed = time.perf_counter() - start
        if got != (count // writers) * writers:
            raise ChildFailed(f"readers got {got} messages")
        return elapsed
    finally:
        for p in procs:
            if p.is_alive():
                p.kill()
            p.join()
        q.unlink()
        del q
        sweep_shm(base) + sweep_shm(base + "_*")


def python_mpmc_benchmark(args):
    if mq is None or not hasattr(mq, "MPMCQueue"):
        return [], []
    rows, failed = [], []
    for n in (1, 2, 4):
        count = args.small_count
        try:
            seconds = [run_python_mpmc_once(n, n, count, args.timeout) for _ in range(args.runs)]
        except Exception as e:
            print(f"  Python MPMCQueue {n}->{n}: run failed: {e!r}", file=sys.stderr, flush=True)
            failed.append(f"Python MPMCQueue {n}->{n}")
            continue
        rows.append(row("Python MPMCQueue", n, n, SMALL, count, [count / t for t in seconds]))
    return rows, failed


def row(system, writers, readers, payload, messages, rates):
    rate = statistics.median(rates)
    return {
        "kind": "result", "system": system, "writers": writers, "readers": readers, "payload": payload,
        "messages": messages, "runs": len(rates), "msgs_per_s": rate, "gb_per_s": rate * payload / 1e9,
        "msgs_per_s_runs": rates,
    }


# ---- C++ programs -----------------------------------------------------------

CPP_PROGRAMS = ["spsc_bench", "mpmc_bench", "mpmcvar_bench"]


def cpp_benchmark(args):
    rows, failed = [], []
    for program in CPP_PROGRAMS:
        path = os.path.join(args.build, "bench", program)
        if not os.access(path, os.X_OK):
            if program == "spsc_bench":
                print(f"note: {path} not built; C++ figures skipped", file=sys.stderr)
            continue
        print(f"  running {program}", file=sys.stderr, flush=True)
        proc = subprocess.Popen([path, "--runs", str(args.runs)], stdout=subprocess.PIPE, text=True)
        try:
            out, _ = proc.communicate(timeout=args.cpp_timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
            print(f"  {program} timed out", file=sys.stderr)
        left = sweep_shm(f"mox_bench_*_{proc.pid}_*")
        if left:
            print(f"  warning: {program} left in {SHM_DIR}, removed: {', '.join(left)}", file=sys.stderr)
        if proc.returncode != 0:
            print(f"  {program} failed with exit code {proc.returncode}", file=sys.stderr)
            failed.append(program)
        for line in out.splitlines():
            if not line.startswith("{"):
                continue
            item = json.loads(line)
            if item.get("kind") == "result":
                rows.append(item)
    return rows, failed


# ---- output -----------------------------------------------------------------

def machine_info():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"kind": "machine", "cpu": model, "cores": os.cpu_count()}


def print_table(rows):
    baseline = {r["payload"]: r["msgs_per_s"] for r in rows if r["system"] == "multiprocessing.Queue"}
    header = ("system", "procs", "payload", "msgs/run", "messages/s", "GB/s", "vs mp.Queue")
    lines = []
    for r in rows:
        is_copy = r["system"].startswith("memcpy")
        procs = "" if is_copy else f"{r['writers']}->{r['readers']}"
        rate = "" if is_copy else f"{r['msgs_per_s']:,.0f}"
        base = baseline.get(r["payload"])
        ratio = f"{r['msgs_per_s'] / base:.1f}x" if base and not is_copy else ""
        lines.append((r["system"], procs, size_label(r["payload"]), str(r["messages"]), rate,
                      f"{r['gb_per_s']:.3f}", ratio))
    widths = [max(len(x[i]) for x in lines + [header]) for i in range(len(header))]
    fmt = lambda cells: "  ".join(  # noqa: E731
        c.ljust(w) if i in (0, 1) else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))
    print(fmt(header))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print(fmt(line))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/cmake", help="CMake build directory holding bench/")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure; the median is reported")
    parser.add_argument("--small-count", type=int, default=200_000, help=f"{SMALL}-byte messages per Python run")
    parser.add_argument("--large-count", type=int, default=20_000, help=f"{LARGE // 1024} KiB messages per Python run")
    parser.add_argument("--timeout", type=int, default=60, help="seconds one Python run may take")
    parser.add_argument("--cpp-timeout", type=int, default=240, help="seconds one C++ program may take")
    parser.add_argument("--skip-cpp", action="store_true")
    parser.add_argument("--skip-python", action="store_true")
    parser.add_argument("--json", help="also write every row, one JSON object per line, to this file")
    args = parser.parse_args()

    started = time.perf_counter()
    machine = machine_info()
    print(f"machine: {machine['cpu']}, {machine['cores']} cores; Python {sys.version.split()[0]}", flush=True)
    rows, failed = [], []
    if not args.skip_cpp:
        cpp_rows, cpp_failed = cpp_benchmark(args)
        rows += cpp_rows
        failed += cpp_failed
    if not args.skip_python:
        for bench in (python_benchmark, python_mpmc_benchmark, python_var_benchmark):
            py_rows, py_failed = bench(args)
            rows += py_rows
            failed += py_failed
    leftovers = sweep_shm(f"mox_bench_*_{os.getpid()}_*")
    if leftovers:
        print(f"warning: left in {SHM_DIR}, removed: {', '.join(leftovers)}", file=sys.stderr)

    print()
    print(f"Median of {args.runs} runs. Python: writer in the parent, reader in a spawned child, {args.small_count} "
          f"x {SMALL} B and {args.large_count} x {size_label(LARGE)} per run, timed by the reader; "
          "multiprocessing.Queue bounded to the same number of messages as the queue's ring. "
          "C++: buffers page-aligned. msgs/run: messages (memcpy: copies) per run. GB/s = 10^9 payload bytes/s; "
          "memcpy GB/s = bytes copied/s on one core.")
    print()
    print_table(rows)
    print(f"\ntotal time {time.perf_counter() - started:.0f} s")
    if args.json:
        with open(args.json, "w") as f:
            for item in [machine] + rows:
                f.write(json.dumps(item) + "\n")
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
