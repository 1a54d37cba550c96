#!/usr/bin/env python3
"""Runs every workload through mox_ipc_queue and through the peers a user
would pick instead, in one run; prints absolute figures and ratios (ours ÷
peer) and, with --docs, writes docs/benchmarks.md and the PNG plots.

C++ (programs in BUILD/bench): SPSCQueueCPP, MPMCQueueCPP, MPMCVarQueueCPP
beside the bare ring protocol (the floor of the design), a pipe and
boost::interprocess::message_queue; single-core memcpy and a bare
named-semaphore ping-pong as the limits; a counting-allocator run.

Python: the three queue classes beside multiprocessing.Queue,
multiprocessing.SimpleQueue, faster_fifo.Queue, pyzmq PUSH/PULL over ipc://
and posix_ipc.MessageQueue. Writer in the parent, reader in a spawned child;
the reader times from a start marker (the first message) to the last one.

Every figure is the median of several runs; the runs of all systems of a
workload are interleaved so that a change in machine load touches them alike.

Usage: run_bench.py [--build build/cmake] [--runs 5] [--quick] [--json FILE] [--docs DIR]
"""
import argparse
import functools
import glob
import json
import multiprocessing as mp
import os
import platform
import signal
import statistics
import struct
import subprocess
import sys
import threading
import time

try:
    import mox_ipc_queue as mq
except ImportError:  # the C++ programs and the peers still run
    mq = None

SHM_DIR = "/dev/shm"
KIB, MIB = 1024, 1024 * 1024
# Variable-length queue geometry, the same as the C++ programs'.
VAR_CHANNELS, VAR_CELLS, VAR_CELL_SIZE = 4, 64, 16 * KIB
_serial = [0]


def next_base():
    _serial[0] += 1
    return f"mox_bench_py_{os.getpid()}_{_serial[0]}"


def ring_cells(payload):
    """Ring length of every fixed-cell queue, and the bound of the peers
    that take one: 1024 messages up to 4 KiB, else 2 MiB worth, at least 8."""
    return 1024 if payload <= 4096 else max(8, (2 * MIB) // payload)


def size_label(n):
    if n >= MIB and n % MIB == 0:
        return f"{n // MIB} MiB"
    if n >= KIB and n % KIB == 0:
        return f"{n // KIB} KiB"
    return f"{n} B"


def mqueue_limits():
    """The kernel's limits on POSIX message queues for unprivileged users."""
    out = {}
    for key in ("msgsize_max", "msg_max"):
        try:
            with open(f"/proc/sys/fs/mqueue/{key}") as f:
                out[key] = int(f.read())
        except OSError:
            out[key] = 0
    return out


def optional(module):
    try:
        return __import__(module)
    except ImportError:
        return None


# ---- systems ------------------------------------------------------------------
# A system is reached by key in every process, so only strings, numbers and
# the queue objects of multiprocessing and faster_fifo cross process bounds.
# Workload kinds: "int" (a Python int, 8 bytes on the wire), "bytes", "f64"
# (a 1-D numpy.float64 array).

OURS = {"spsc": "Python SPSCQueue", "mpmc": "Python MPMCQueue", "mpmcvar": "Python MPMCVarQueue"}
PEERS = {
    "mp": "multiprocessing.Queue",
    "simple": "multiprocessing.SimpleQueue",
    "ff": "faster_fifo.Queue",
    "zmq": "pyzmq PUSH/PULL ipc://",
    "posix": "posix_ipc.MessageQueue",
}
LABELS = {**OURS, **PEERS}
PEER_MODULES = {"ff": "faster_fifo", "zmq": "zmq", "posix": "posix_ipc"}


def available(key):
    if key in OURS:
        return mq is not None
    module = PEER_MODULES.get(key)
    return module is None or optional(module) is not None


def create(key, base, payload, ctx, fan=0):
    """The shared handle of a channel, made in the parent. For zmq the
    handle is a list of endpoints (one per reader in a fan)."""
    if key == "spsc":
        return mq.SPSCQueue("/" + base, ring_cells(payload), payload, True)
    if key == "mpmc":
        return mq.MPMCQueue("/" + base, ring_cells(payload), payload)
    if key == "mpmcvar":
        return mq.MPMCVarQueue("/" + base, VAR_CHANNELS, VAR_CELLS, VAR_CELL_SIZE)
    if key == "mp":
        return ctx.Queue(maxsize=ring_cells(payload))
    if key == "simple":
        return ctx.SimpleQueue()
    if key == "ff":
        import faster_fifo
        return faster_fifo.Queue(max_size_bytes=max(1_000_000, ring_cells(payload) * (payload + 256)))
    if key == "zmq":
        return [f"ipc://{SHM_DIR}/{base}_{i}.zmq" for i in range(max(1, fan))]
    if key == "posix":
        import posix_ipc
        limits = mqueue_limits()
        return posix_ipc.MessageQueue("/" + base, posix_ipc.O_CREX, max_messages=limits["msg_max"],
                                      max_message_size=payload)
    raise ValueError(key)


def handle_for_child(key, made, base):
    if key in OURS or key == "posix":
        return "/" + base
    return made


def connect(key, handle):
    if key in OURS:
        return getattr(mq, {"spsc": "SPSCQueue", "mpmc": "MPMCQueue", "mpmcvar": "MPMCVarQueue"}[key])(handle)
    if key == "posix":
        import posix_ipc
        return posix_ipc.MessageQueue(handle)
    return handle


_zmq_context = None


def zmq_socket(kind, endpoint, bind, hwm):
    global _zmq_context
    import zmq
    if _zmq_context is None:
        _zmq_context = zmq.Context()
    sock = _zmq_context.socket(kind)
    sock.setsockopt(zmq.SNDHWM if kind == zmq.PUSH else zmq.RCVHWM, hwm)
    sock.linger = -1  # a writer that ends delivers what it sent
    (sock.bind if bind else sock.connect)(endpoint)
    return sock


def zmq_reset(linger=0):
    """Closes every socket of this process and its context; linger None
    waits until what was sent has been delivered."""
    global _zmq_context
    if _zmq_context is not None:
        _zmq_context.destroy(linger=linger)
        _zmq_context = None


def writer_call(key, q, kind, payload, bind=True):
    """The function a writer calls once per message."""
    if key in OURS:
        return q.write
    if key in ("mp", "simple", "ff"):
        return q.put
    if key == "zmq":
        import zmq
        sock = zmq_socket(zmq.PUSH, q[0], bind, ring_cells(payload))
        for endpoint in q[1:]:
            sock.connect(endpoint)
        if kind == "int":
            return lambda v: sock.send(v.to_bytes(8, "little", signed=True))
        return sock.send
    if key == "posix":
        if kind == "int":
            return lambda v: q.send(v.to_bytes(8, "little", signed=True))
        return q.send
    raise ValueError(key)


def reader_call(key, q, kind, payload, bind=False, endpoint=0):
    """The function a reader calls once per message; returns the value."""
    if key in OURS:
        if kind == "int":
            return functools.partial(q.read, mq.QDataType.Int)
        if kind == "f64":
            return functools.partial(q.read, mq.QDataType.FloatArray)
        return q.read
    if key in ("mp", "simple", "ff"):
        return q.get
    if key == "zmq":
        import zmq
        sock = zmq_socket(zmq.PULL, q[endpoint], bind, ring_cells(payload))
        if kind == "int":
            return lambda: int.from_bytes(sock.recv(), "little", signed=True)
        if kind == "f64":
            import numpy as np
            return lambda: np.frombuffer(sock.recv(), dtype=np.float64)
        return sock.recv
    if key == "posix":
        if kind == "int":
            return lambda: int.from_bytes(q.receive()[0], "little", signed=True)
        return lambda: q.receive()[0]
    raise ValueError(key)


def payload_value(kind, payload):
    if kind == "int":
        return 0x0102030405060708
    if kind == "f64":
        import numpy as np
        return np.arange(payload // 8, dtype=np.float64)
    return bytes(range(256)) * (payload // 256) + bytes(payload % 256)


def value_size(kind, value):
    if kind == "int":
        return 8 if value == 0x0102030405060708 else -1
    return value.nbytes if hasattr(value, "nbytes") else len(value)


def close(key, made, base):
    """Releases what the parent made; removes every name left behind."""
    try:
        if key == "mp" and made is not None:
            made.cancel_join_thread()  # a dead reader must not stall the feeder thread's exit
            made.close()
        elif key in OURS and made is not None and hasattr(made, "unlink"):
            made.unlink()
        elif key == "posix" and made is not None:
            made.close()
            made.unlink()
        elif key == "zmq" and made is not None:
            zmq_reset()
            for endpoint in made:
                path = endpoint[len("ipc://"):]
                if os.path.exists(path):
                    os.unlink(path)
    except Exception as e:  # cleanup must not hide the run's own result
        print(f"  warning: cleanup of {key}: {e!r}", file=sys.stderr)
    left = sweep_shm(base) + sweep_shm(base + "_*")
    if left:
        print(f"  warning: left in {SHM_DIR} after the run, removed: {', '.join(left)}", file=sys.stderr)


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


class ChildFailed(Exception):
    pass


def _raise_child_failed(signum, frame):
    raise ChildFailed("a child process failed")


def _raise_timeout(signum, frame):
    raise TimeoutError("run took too long")


class Watch:
    """While the parent runs: if a child dies, or time runs out, break the
    parent's blocking wait with a signal so the run fails instead of hanging.
    The queue waits give the interpreter lock up, so this thread can run."""

    def __init__(self, children, timeout):
        self.children, self.timeout, self.done = children, timeout, threading.Event()

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
            for child in self.children:
                code = child.exitcode
                if code is not None and code != 0:
                    signal.pthread_kill(self.main, signal.SIGUSR1)
                    return

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        signal.alarm(0)
        signal.signal(signal.SIGUSR1, self.old_usr1)
        signal.signal(signal.SIGALRM, self.old_alrm)
        return False


def _finish(children, timeout):
    children = [c for c in children if c.pid is not None]  # started ones only
    for child in children:
        child.join(timeout)
    for child in children:
        if child.is_alive():
            child.kill()
            child.join()


# ---- 1 -> 1 throughput -----------------------------------------------------------

def _pair_reader(key, kind, handle, payload, count, conn):
    """Child: takes the marker, then times `count` messages."""
    try:
        q = connect(key, handle)
        read = reader_call(key, q, kind, payload)
        read()  # start marker
        start = time.perf_counter()
        last = None
        for _ in range(count):
            last = read()
        elapsed = time.perf_counter() - start
        conn.send(("ok", elapsed, value_size(kind, last)))
    except BaseException as e:  # the parent must hear of every failure
        conn.send(("error", repr(e), 0))
        raise


def pair_once(key, kind, payload, count, timeout):
    ctx = mp.get_context("spawn")
    base = next_base()
    made = child = None
    recv_conn, send_conn = ctx.Pipe(duplex=False)
    try:
        made = create(key, base, payload, ctx)
        child = ctx.Process(target=_pair_reader,
                            args=(key, kind, handle_for_child(key, made, base), payload, count, send_conn))
        child.start()
        send_conn.close()
        value = payload_value(kind, payload)
        write = writer_call(key, made, kind, payload)
        with Watch([child], timeout):
            write(value)  # start marker
            for _ in range(count):
                write(value)
            if not recv_conn.poll(timeout):
                raise TimeoutError("no result from the reader")
        status, seconds, last_size = recv_conn.recv()
        child.join(timeout)
        if status != "ok":
            raise ChildFailed(seconds)
        if child.exitcode != 0:
            raise ChildFailed(f"reader exit code {child.exitcode}")
        if last_size != payload:
            raise ChildFailed(f"last message had {last_size} bytes, expected {payload}")
        return seconds
    finally:
        recv_conn.close()
        send_conn.close()
        if child is not None:
            _finish([child], 1)
        close(key, made, base)
        del made


# Workloads: (kind, payload) -> {system: messages per run}.
PAIR_WORKLOADS = [
    (("int", 8), {"spsc": 400_000, "mpmc": 300_000, "mp": 50_000, "simple": 100_000, "ff": 150_000,
                  "zmq": 150_000, "posix": 150_000}),
    (("bytes", 64), {"spsc": 400_000, "mpmc": 300_000, "mp": 50_000, "simple": 100_000, "ff": 150_000,
                     "zmq": 150_000, "posix": 150_000}),
    (("bytes", 64 * KIB), {"spsc": 20_000, "mpmcvar": 10_000, "mp": 5_000, "simple": 5_000, "ff": 5_000,
                           "zmq": 5_000, "posix": 5_000}),
    (("bytes", MIB), {"spsc": 1_000, "mpmcvar": 1_000, "mp": 300, "simple": 300, "ff": 300, "zmq": 300,
                      "posix": 300}),
    (("f64", MIB), {"spsc": 1_000, "mpmcvar": 1_000, "mp": 300, "simple": 300, "ff": 300, "zmq": 300,
                    "posix": 300}),
]


def workload_label(kind, payload):
    if kind == "int":
        return "int (8 B)"
    if kind == "f64":
        return f"float64 array {size_label(payload)}"
    return f"bytes {size_label(payload)}"


def python_pairs(args, notes):
    rows, failed = [], []
    limits = mqueue_limits()
    plan = []
    for (kind, payload), counts in PAIR_WORKLOADS:
        for key, count in counts.items():
            if not available(key):
                continue
            if key == "posix" and payload > limits["msgsize_max"]:
                note = (f"posix_ipc.MessageQueue skipped for {size_label(payload)} messages: the kernel limit "
                        f"/proc/sys/fs/mqueue/msgsize_max is {limits['msgsize_max']} bytes "
                        f"(and msg_max {limits['msg_max']} messages a queue).")
                if note not in notes:
                    notes.append(note)
                continue
            plan.append((kind, payload, key, max(1, int(count * args.scale))))
    seconds = {p: [] for p in plan}
    broken = set()
    for run in range(args.runs):
        for item in plan:
            kind, payload, key, count = item
            if (kind, payload, key) in broken:
                continue
            try:
                seconds[item].append(pair_once(key, kind, payload, count, args.timeout))
            except Exception as e:  # report it, go on with the others
                print(f"  {LABELS[key]}, {workload_label(kind, payload)}: run failed: {e!r}", file=sys.stderr,
                      flush=True)
                broken.add((kind, payload, key))
                failed.append(f"{LABELS[key]} {workload_label(kind, payload)}")
        print(f"  python 1->1 run {run + 1}/{args.runs} done", file=sys.stderr, flush=True)
    for item in plan:
        kind, payload, key, count = item
        if seconds[item] and (kind, payload, key) not in broken:
            rows.append(row("py-pair", LABELS[key], 1, 1, payload, count, [count / s for s in seconds[item]],
                            workload=workload_label(kind, payload)))
    return rows, failed


# ---- 4 -> 4 throughput ---------------------------------------------------------

def _fan_writer(key, handle, payload, share, ready, go):
    q = connect(key, handle)
    data = bytes(payload)
    if key == "zmq":
        # One PUSH socket per reader, taken in turn: every reader then knows
        # how many messages it gets, and needs no stop mark (a PULL socket
        # fair-queues its peers, so a stop could overtake data).
        import zmq
        socks = [zmq_socket(zmq.PUSH, endpoint, False, ring_cells(payload)) for endpoint in q]
        sends = [sock.send for sock in socks]
        ready.release()
        go.wait()
        n = len(sends)
        for i in range(share):
            sends[i % n](data)
        zmq_reset(linger=None)  # delivers everything before the process ends
        return
    write = writer_call(key, q, "bytes", payload, bind=False)
    ready.release()
    go.wait()
    for _ in range(share):
        write(data)


def _fan_reader(key, handle, payload, index, ready, conn, expected):
    try:
        q = connect(key, handle)
        read = reader_call(key, q, "bytes", payload, bind=(key == "zmq"), endpoint=index)
        ready.release()
        got, last = 0, time.perf_counter()
        if key == "zmq":
            for _ in range(expected):
                read()
            got, last = expected, time.perf_counter()
        else:
            while True:
                m = read()
                if m is None or len(m) == 0:  # the stop mark
                    break
                got += 1
                last = time.perf_counter()
        conn.send(("ok", got, last))
    except BaseException as e:
        conn.send(("error", repr(e), 0))
        raise


def fan_once(key, procs, payload, count, timeout):
    """`procs` writers share `count` messages, `procs` readers take them;
    timed from the release of the writers to the last message read."""
    ctx = mp.get_context("spawn")
    base = next_base()
    made = None
    children = []
    pipes = [ctx.Pipe(duplex=False) for _ in range(procs)]
    ready, go = ctx.Semaphore(0), ctx.Event()
    try:
        made = create(key, base, payload, ctx, fan=procs)
        handle = handle_for_child(key, made, base)
        share = count // procs // procs * procs  # zmq: an equal part for every reader
        for i, (_, send) in enumerate(pipes):
            children.append(ctx.Process(target=_fan_reader,
                                        args=(key, handle, payload, i, ready, send, share)))
        for _ in range(procs):
            children.append(ctx.Process(target=_fan_writer, args=(key, handle, payload, share, ready, go)))
        for c in children:
            c.start()
        with Watch(children, timeout):
            for _ in children:
                if not ready.acquire(timeout=timeout):
                    raise TimeoutError("a child did not get ready")
            if key == "zmq":
                time.sleep(0.3)  # connections are made in the background
            start = time.perf_counter()
            go.set()
            for c in children[procs:]:
                c.join(timeout)
            if key != "zmq":
                stop = writer_call(key, made, "bytes", payload, bind=False)
                for _ in range(procs):
                    stop(b"")
            got, end = 0, start
            for recv, _ in pipes:
                if not recv.poll(timeout):
                    raise TimeoutError("a reader sent no report")
                status, n, last = recv.recv()
                if status != "ok":
                    raise ChildFailed(n)
                got += n
                end = max(end, last)
        if got != share * procs:
            raise ChildFailed(f"readers got {got} of {share * procs} messages")
        return end - start, share * procs
    finally:
        _finish(children, timeout)
        for recv, send in pipes:
            recv.close()
            send.close()
        close(key, made, base)


FAN_COUNTS = {"mpmc": 400_000, "mpmcvar": 200_000, "mp": 100_000, "simple": 100_000, "ff": 200_000,
              "zmq": 200_000, "posix": 200_000}


def python_fan(args, procs=4, payload=64):
    rows, failed = [], []
    plan = [(k, max(procs, int(c * args.scale))) for k, c in FAN_COUNTS.items() if available(k)]
    results = {k: [] for k, _ in plan}
    totals = {}
    broken = set()
    for run in range(args.fan_runs):
        for key, count in plan:
            if key in broken:
                continue
            try:
                seconds, total = fan_once(key, procs, payload, count, args.timeout)
                results[key].append(total / seconds)
                totals[key] = total
            except Exception as e:
                print(f"  {LABELS[key]} {procs}->{procs}: run failed: {e!r}", file=sys.stderr, flush=True)
                broken.add(key)
                failed.append(f"{LABELS[key]} {procs}->{procs}")
        print(f"  python {procs}->{procs} run {run + 1}/{args.fan_runs} done", file=sys.stderr, flush=True)
    for key, _ in plan:
        if results[key] and key not in broken:
            rows.append(row("py-fan", LABELS[key], procs, procs, payload, totals[key], results[key],
                            workload=f"bytes {size_label(payload)}"))
    return rows, failed


# ---- round trips ---------------------------------------------------------------

def _echo(key, handles, payload, total):
    q_in, q_out = connect(key, handles[0]), connect(key, handles[1])
    read = reader_call(key, q_in, "bytes", payload, bind=False)
    write = writer_call(key, q_out, "bytes", payload, bind=False)
    for _ in range(total):
        write(read())
    zmq_reset(linger=None)


def ping_pong_once(key, payload, round_trips, timeout, warmup=500):
    ctx = mp.get_context("spawn")
    bases = [next_base(), next_base()]
    made = [None, None]
    child = None
    try:
        made = [create(key, b, payload, ctx) for b in bases]
        handles = [handle_for_child(key, m, b) for m, b in zip(made, bases)]
        child = ctx.Process(target=_echo, args=(key, handles, payload, round_trips + warmup))
        child.start()
        write = writer_call(key, made[0], "bytes", payload, bind=True)
        read = reader_call(key, made[1], "bytes", payload, bind=True)
        value = payload_value("bytes", payload)
        clock = time.perf_counter_ns
        samples = []
        with Watch([child], timeout):
            for i in range(round_trips + warmup):
                t0 = clock()
                write(value)
                back = read()
                t1 = clock()
                if i >= warmup:
                    samples.append(t1 - t0)
            if len(back) != payload:
                raise ChildFailed("echo of the wrong length")
            child.join(timeout)
        if child.exitcode != 0:
            raise ChildFailed(f"echo process exit code {child.exitcode}")
        samples.sort()
        return samples[len(samples) // 2], samples[min(len(samples) - 1, len(samples) * 99 // 100)]
    finally:
        if child is not None:
            _finish([child], 1)
        for key_made, base in zip(made, bases):
            close(key, key_made, base)


PING_COUNTS = {"spsc": 20_000, "mpmc": 20_000, "mp": 5_000, "simple": 10_000, "ff": 10_000, "zmq": 10_000,
               "posix": 10_000}


def python_latency(args, payload=64):
    rows, failed = [], []
    plan = [(k, max(100, int(c * args.scale))) for k, c in PING_COUNTS.items() if available(k)]
    results = {k: [] for k, _ in plan}
    broken = set()
    for run in range(args.runs):
        for key, n in plan:
            if key in broken:
                continue
            try:
                results[key].append(ping_pong_once(key, payload, n, args.timeout))
            except Exception as e:
                print(f"  {LABELS[key]} ping-pong: run failed: {e!r}", file=sys.stderr, flush=True)
                broken.add(key)
                failed.append(f"{LABELS[key]} ping-pong")
        print(f"  python ping-pong run {run + 1}/{args.runs} done", file=sys.stderr, flush=True)
    for key, n in plan:
        if results[key] and key not in broken:
            p50 = statistics.median(r[0] for r in results[key])
            p99 = statistics.median(r[1] for r in results[key])
            rows.append({"kind": "latency", "section": "py-latency", "system": LABELS[key], "payload": payload,
                         "round_trips": n, "runs": len(results[key]), "p50_ns": p50, "p99_ns": p99})
    return rows, failed


def row(section, system, writers, readers, payload, messages, rates, workload=None):
    rate = statistics.median(rates)
    return {
        "kind": "result", "section": section, "system": system, "writers": writers, "readers": readers,
        "payload": payload, "messages": messages, "runs": len(rates), "msgs_per_s": rate,
        "gb_per_s": rate * payload / 1e9, "msgs_per_s_runs": rates, "workload": workload,
    }


# ---- C++ programs -----------------------------------------------------------------

# 1 -> 1 through spsc_bench: (SIZE, {system: messages per run}).
CPP_PAIR_CASES = [
    (8, {"spsc": 1_000_000, "bare": 1_000_000, "bare-block": 1_000_000, "pipe": 200_000, "boost": 200_000,
         "mpmc": 500_000}),
    (64, {"spsc": 1_000_000, "bare": 1_000_000, "bare-block": 1_000_000, "pipe": 200_000, "boost": 200_000,
          "mpmc": 500_000}),
    (64 * KIB, {"spsc": 40_000, "bare": 40_000, "bare-block": 40_000, "pipe": 10_000, "boost": 20_000,
                "mpmcvar": 20_000}),
    (MIB, {"spsc": 2_000, "bare": 2_000, "bare-block": 2_000, "pipe": 600, "boost": 1_000, "mpmcvar": 2_000}),
]


def run_program(args, program, argv, section):
    path = os.path.join(args.build, "bench", program)
    if not os.access(path, os.X_OK):
        print(f"note: {path} not built; skipped", file=sys.stderr)
        return [], [program]
    print(f"  running {program} {' '.join(argv)}", file=sys.stderr, flush=True)
    proc = subprocess.Popen([path] + argv, stdout=subprocess.PIPE, text=True)
    try:
        out, _ = proc.communicate(timeout=args.cpp_timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        print(f"  {program} timed out", file=sys.stderr)
    left = sweep_shm(f"mox_bench_*_{proc.pid}_*")
    if left:
        print(f"  warning: {program} left in {SHM_DIR}, removed: {', '.join(left)}", file=sys.stderr)
    failed = []
    if proc.returncode != 0:
        print(f"  {program} failed with exit code {proc.returncode}", file=sys.stderr)
        failed.append(program)
    rows = []
    for line in out.splitlines():
        if line.startswith("{"):
            item = json.loads(line)
            if item.get("kind") != "machine":
                item["section"] = section if not item.get("system", "").startswith("memcpy") else "memcpy"
                rows.append(item)
    return rows, failed


def cpp_benchmark(args):
    rows, failed = [], []
    runs = ["--runs", str(args.runs)]
    for i, (size, counts) in enumerate(CPP_PAIR_CASES):
        systems = ",".join(f"{k}/{max(1, int(c * args.scale))}" for k, c in counts.items())
        argv = runs + ["--systems", systems] + ([] if i == 0 else ["--no-memcpy"]) + [f"{size}:1"]
        r, f = run_program(args, "spsc_bench", argv, "cpp-pair")
        rows += r
        failed += f
    r, f = run_program(args, "mpmc_bench", runs + ["--systems", "mpmc,pipe,boost,mpmcvar", "--count",
                                                   str(max(4, int(200_000 * args.scale))), "4"], "cpp-fan")
    rows += r
    failed += f
    r, f = run_program(args, "latency_bench", runs + ["--round-trips", str(max(100, int(20_000 * args.scale)))],
                       "cpp-latency")
    rows += r
    failed += f
    r, f = run_program(args, "alloc_bench", [], "cpp-alloc")
    rows += r
    failed += f
    return rows, failed


# ---- output -----------------------------------------------------------------------

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
    return {"kind": "machine", "cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "kernel": platform.release()}


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def fmt_rate(r):
    return f"{r:,.0f}"


def fmt_bw(gbps):
    return f"{gbps * 1000:,.1f}" if gbps < 1 else f"{gbps * 1000:,.0f}"


def fmt_ns(ns):
    return f"{ns / 1000:,.1f}" if ns >= 1000 else f"{ns / 1000:.2f}"


def table(header, lines, align_left=(0,)):
    widths = [max(len(str(x[i])) for x in lines + [header]) for i in range(len(header))]
    def fmt(cells):
        return "  ".join(str(c).ljust(w) if i in align_left else str(c).rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths)))
    out = [fmt(header), "  ".join("-" * w for w in widths)]
    out += [fmt(line) for line in lines]
    return "\n".join(out)


def md_table(header, lines):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in line) + " |" for line in lines]
    return "\n".join(out)


def blocks(rows):
    """[(title, header, lines)] for every throughput and latency workload."""
    out = []
    memcpy = {r["payload"]: r for r in rows if r.get("section") == "memcpy" and "dst = src" not in r["system"]}

    def throughput_block(title, members, ours_names):
        ours = [m for m in members if m["system"] in ours_names]
        header = ["system", "procs", "msgs/run", "messages/s", "MB/s"] + [f"{o['system']} ÷" for o in ours]
        lines = []
        for m in members:
            ratios = [f"{o['msgs_per_s'] / m['msgs_per_s']:.2f}x" for o in ours]
            lines.append([m["system"], f"{m['writers']}->{m['readers']}", str(m["messages"]),
                          fmt_rate(m["msgs_per_s"]), fmt_bw(m["gb_per_s"])] + ratios)
        limit = memcpy.get(members[0]["payload"]) if members else None
        if limit is not None:
            lines.append([limit["system"] + f" {size_label(limit['payload'])}", "1 core", str(limit["messages"]),
                          "", fmt_bw(limit["gb_per_s"])] +
                         [f"{o['gb_per_s'] / limit['gb_per_s']:.2f}x" for o in ours])
        out.append((title, header, lines))

    # C++ 1 -> 1
    for size in sorted({r["payload"] for r in rows if r.get("section") == "cpp-pair"}):
        members = [r for r in rows if r.get("section") == "cpp-pair" and r["payload"] == size]
        throughput_block(f"C++, 1 writer -> 1 reader, {size_label(size)} messages", members,
                         ("C++ SPSCQueueCPP", "C++ MPMCVarQueueCPP"))
    fan = [r for r in rows if r.get("section") == "cpp-fan"]
    if fan:
        throughput_block(f"C++, {fan[0]['writers']} writers -> {fan[0]['readers']} readers, "
                         f"{size_label(fan[0]['payload'])} messages", fan, ("C++ MPMCQueueCPP",))
    # Python 1 -> 1
    seen = []
    for r in rows:
        if r.get("section") == "py-pair" and r["workload"] not in seen:
            seen.append(r["workload"])
    for w in seen:
        members = [r for r in rows if r.get("section") == "py-pair" and r["workload"] == w]
        throughput_block(f"Python, 1 writer -> 1 reader, {w}", members, tuple(OURS.values()))
    fan = [r for r in rows if r.get("section") == "py-fan"]
    if fan:
        throughput_block(f"Python, {fan[0]['writers']} writers -> {fan[0]['readers']} readers, {fan[0]['workload']}",
                         fan, ("Python MPMCQueue",))
    # Round trips
    for section, title, ours_name in (("cpp-latency", "C++ round trip (ping-pong)", "C++ SPSCQueueCPP"),
                                      ("py-latency", "Python round trip (ping-pong)", "Python SPSCQueue")):
        members = [r for r in rows if r.get("kind") == "latency" and r.get("section") == section]
        if not members:
            continue
        ours = [m for m in members if m["system"] == ours_name]
        header = ["system", "payload", "p50 µs", "p99 µs"] + [f"{o['system']} ÷ (p50)" for o in ours]
        lines = [[m["system"], size_label(m["payload"]), fmt_ns(m["p50_ns"]), fmt_ns(m["p99_ns"])] +
                 [f"{o['p50_ns'] / m['p50_ns']:.2f}x" for o in ours] for m in members]
        out.append((title + " — lower is better; a ratio below 1 means ours is faster", header, lines))
    return out


def find(rows, section, system, payload=None, workload=None):
    for r in rows:
        if r.get("section") == section and r.get("system") == system and \
                (payload is None or r.get("payload") == payload) and (workload is None or r.get("workload") == workload):
            return r
    return None


def targets(rows):
    """[(target, measured, met)] for every target the run can check."""
    out = []

    def ratio(ours, peer, what, goal, higher=True, key="msgs_per_s", label=None):
        if ours is None or peer is None:
            out.append((label or what, "not measured", "-"))
            return
        value = ours[key] / peer[key]
        met = value >= goal if higher else value <= goal
        out.append((label or what, f"{value:.2f}x (goal {'≥' if higher else '≤'} {goal}x)", "met" if met else "MISSED"))

    w64 = workload_label("bytes", 64)
    spsc64 = find(rows, "py-pair", "Python SPSCQueue", workload=w64)
    ratio(spsc64, find(rows, "py-pair", "multiprocessing.Queue", workload=w64),
          "Python SPSCQueue 64 B ÷ multiprocessing.Queue", 10)
    ratio(spsc64, find(rows, "py-pair", "faster_fifo.Queue", workload=w64), "Python SPSCQueue 64 B ÷ faster_fifo", 3)
    ratio(spsc64, find(rows, "py-pair", "pyzmq PUSH/PULL ipc://", workload=w64), "Python SPSCQueue 64 B ÷ pyzmq", 2)
    c64 = find(rows, "cpp-pair", "C++ SPSCQueueCPP", payload=64)
    ratio(c64, find(rows, "cpp-pair", "C++ bare ring, poll then sem_wait", payload=64),
          "C++ SPSCQueueCPP 64 B ÷ bare ring protocol (polling too)", 0.9)
    ratio(c64, find(rows, "cpp-pair", "C++ pipe", payload=64), "C++ SPSCQueueCPP 64 B ÷ pipe", 1.5)
    ratio(c64, find(rows, "cpp-pair", "C++ boost message_queue", payload=64),
          "C++ SPSCQueueCPP 64 B ÷ boost message_queue", 5)
    w1m = workload_label("bytes", MIB)
    var1m = find(rows, "py-pair", "Python MPMCVarQueue", workload=w1m)
    copy1m = find(rows, "memcpy", "memcpy (1 core, cached)", payload=MIB)
    ratio(var1m, copy1m, "Python MPMCVarQueue 1 MiB ÷ single-core memcpy 1 MiB (bandwidth)", 0.5, key="gb_per_s")
    ratio(var1m, find(rows, "py-pair", "multiprocessing.Queue", workload=w1m),
          "Python MPMCVarQueue 1 MiB ÷ multiprocessing.Queue", 5)
    cvar1m = find(rows, "cpp-pair", "C++ MPMCVarQueueCPP", payload=MIB)
    ratio(cvar1m, copy1m, "C++ MPMCVarQueueCPP 1 MiB ÷ single-core memcpy 1 MiB (bandwidth)", 0.5, key="gb_per_s")
    lat = {r["system"]: r for r in rows if r.get("kind") == "latency"}
    sem = lat.get("C++ bare semaphores, sem_wait only")
    ratio(lat.get("C++ SPSCQueueCPP"), sem, "C++ SPSCQueueCPP round trip p50 ÷ bare semaphore ping-pong", 1.1,
          higher=False, key="p50_ns")
    ratio(lat.get("Python SPSCQueue"), sem, "Python SPSCQueue round trip p50 ÷ bare semaphore ping-pong", 2,
          higher=False, key="p50_ns")
    spin = lat.get("C++ bare semaphores, poll then sem_wait")
    if spin is not None:
        ratio(lat.get("C++ SPSCQueueCPP"), spin,
              "(like for like) C++ SPSCQueueCPP p50 ÷ bare semaphores polled before sem_wait", 1.1, higher=False,
              key="p50_ns")
        ratio(lat.get("Python SPSCQueue"), spin,
              "(like for like) Python SPSCQueue p50 ÷ bare semaphores polled before sem_wait", 2, higher=False,
              key="p50_ns")
    ring = lat.get("C++ bare ring, poll then sem_wait")
    if ring is not None:
        ratio(lat.get("C++ SPSCQueueCPP"), ring,
              "(protocol floor) C++ SPSCQueueCPP p50 ÷ bare ring protocol ping-pong", 1.1, higher=False,
              key="p50_ns")
    allocs = [r for r in rows if r.get("kind") == "alloc" and not r["path"].startswith("control")]
    if allocs:
        total = sum(r["allocations"] for r in allocs)
        calls = sum(r["calls"] for r in allocs)
        out.append(("No heap allocation on the fixed-cell C++ write/read paths",
                    f"{total} allocations in {calls} calls over {len(allocs)} paths", "met" if total == 0 else "MISSED"))
    return out


def print_report(rows, machine, args, notes, load_before, load_after, elapsed):
    print()
    print(f"machine: {machine['cpu']}, {machine['cores']} cores; Linux {machine['kernel']}; "
          f"Python {machine['python']}")
    print(f"load average before: {load_before}; after: {load_after}; total time {elapsed:.0f} s")
    print(f"every figure: median of {args.runs} runs ({args.fan_runs} for the 4 -> 4 Python runs). "
          "MB/s = 10^6 payload bytes/s. Ratios: ours ÷ peer.")
    for title, header, lines in blocks(rows):
        print()
        print(title)
        print(table(header, lines))
    idle = [r for r in rows if r.get("kind") == "idle"]
    for r in idle:
        print(f"\n{r['system']}: a reader waiting {r['wait_ms']} ms for a message used {r['cpu_us']:.0f} µs of CPU")
    allocs = [r for r in rows if r.get("kind") == "alloc"]
    if allocs:
        print("\nHeap allocations counted by interposed malloc/operator new (alloc_bench)")
        print(table(["path", "calls", "allocations"], [[r["path"], r["calls"], r["allocations"]] for r in allocs]))
    print("\nTargets (ratios from this run)")
    print(table(["target", "measured", ""], [list(t) for t in targets(rows)]))
    for note in notes:
        print(f"note: {note}")


# ---- documents and plots -------------------------------------------------------------

def write_docs(rows, machine, args, notes, load_before, load_after, elapsed, command):
    os.makedirs(args.docs, exist_ok=True)
    plots = write_plots(rows, args.docs)
    lines = ["# Benchmarks", "",
             "Every workload runs through mox_ipc_queue and, in the same run, through what a user would pick "
             "instead. Each figure is the median of several runs; ratios are ours ÷ peer (for throughput, above 1 "
             "means ours is faster; for latency, below 1 means ours is faster). This page and its plots are "
             "written by the command below; nothing in it is typed in by hand.", "",
             "```", command, "```", "",
             f"- Machine: {machine['cpu']}, {machine['cores']} cores, Linux {machine['kernel']}, "
             f"Python {machine['python']}",
             f"- Load average (1, 5, 15 min) before the run: {load_before}; after: {load_after}",
             f"- Runs per figure: {args.runs} ({args.fan_runs} for the 4 -> 4 Python runs); total time "
             f"{elapsed:.0f} s",
             f"- Date: {time.strftime('%Y-%m-%d %H:%M %Z')}", ""]
    for name, caption in plots:
        lines += [f"![{caption}]({name})", ""]
    lines += ["## Targets", "", md_table(["target", "measured", ""], [list(t) for t in targets(rows)]), ""]
    for title, header, body in blocks(rows):
        lines += [f"## {title}", "", md_table(header, body), ""]
    idle = [r for r in rows if r.get("kind") == "idle"]
    allocs = [r for r in rows if r.get("kind") == "alloc"]
    if idle or allocs:
        lines += ["## Idle cost and heap allocations", ""]
        for r in idle:
            lines += [f"- {r['system']}: a reader that waits {r['wait_ms']} ms for a late message uses "
                      f"{r['cpu_us']:.0f} µs of CPU in that time.", ""]
        if allocs:
            lines += ["Heap allocations counted by a program that interposes malloc, calloc, realloc, the "
                      "aligned allocators and operator new (bench/alloc_bench.cpp); the control rows allocate "
                      "by design and show that the counter sees them.", "",
                      md_table(["path", "calls", "heap allocations"],
                               [[r["path"], r["calls"], r["allocations"]] for r in allocs]), ""]
    lines += ["## How each system is driven", "",
              "- Throughput, 1 -> 1: the writer is the parent process, the reader a child; the reader times from a "
              "start marker (the first message) to the last message. Python readers are started with "
              "multiprocessing's spawn method; C++ readers are forked.",
              "- Python workloads: `int` writes a Python int (8 bytes on the wire; mox_ipc_queue reads it back with "
              "QDataType.Int, pyzmq and posix_ipc pack it with int.to_bytes, the multiprocessing queues and "
              "faster_fifo pickle it); `bytes` writes a bytes object; `float64 array` writes a 1-D numpy.float64 "
              "array (mox_ipc_queue returns an array that owns its data; pyzmq's reader wraps the received bytes "
              "with numpy.frombuffer; the others pickle it).",
              "- Queue sizes: fixed-cell queues have 1024 cells up to 4 KiB, else 2 MiB worth (at least 8); the "
              "peers that take a bound get the same number of messages. MPMCVarQueue: 4 channels of 64 cells "
              "of 16 KiB. faster_fifo: a buffer of that many messages (at least 1 MB). pyzmq: high-water marks of "
              "that many messages on both sockets. posix_ipc: the kernel's msg_max messages.",
              "- faster_fifo is driven with put/get, one message per call, like every other system.",
              "- 4 -> 4: four writer processes share the messages, four reader processes take them; timed from the "
              "release of the writers to the last message any reader takes. pyzmq: every reader binds a PULL "
              "socket; every writer has a PUSH socket connected to each reader and sends to them in turn, so "
              "each reader knows its count (a stop mark could overtake data, as PULL fair-queues its peers).",
              "- Round trips: the parent sends a 64-byte message, a child echoes it back through a second "
              "channel, the parent times each round trip; p50 and p99 over the run, medians over runs. The limit "
              "is two bare named semaphores posted and waited on with no payload.",
              "- C++ peers: the bare ring protocol is the same ring of cells and the same two named semaphores as "
              "SPSCQueueCPP with every check left out (bench/bare_ring.h); a pipe carries records of an 8-byte "
              "length plus the payload, one write() and one read of a whole record each; Boost's "
              "message_queue is bounded like the queue.",
              "- memcpy: one core copying between two fixed, page-aligned buffers (1 MiB: the 1 MiB rows' limit).",
              "- Waiting: a queue wait first tries the semaphore, then (for cells of up to 4 KiB) polls it for up "
              "to 10 µs, adapting per thread, and only then blocks in sem_wait. The bare ring and the bare "
              "semaphores are shown both ways: polling for a fixed 10 µs first, and sem_wait only. On this virtual "
              "machine a wake-up from a blocking wait costs about 25 µs when the other CPU is idle, which is why "
              "every blocking round trip is slow here.",
              ""]
    for note in notes:
        lines += [f"Note: {note}", ""]
    with open(os.path.join(args.docs, "benchmarks.md"), "w") as f:
        f.write("\n".join(lines))
    print(f"\nwrote {os.path.join(args.docs, 'benchmarks.md')}" +
          "".join(f", {os.path.join(args.docs, n)}" for n, _ in plots))


def write_plots(rows, out_dir):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib is not installed; no plots", file=sys.stderr)
        return []
    made = []
    # Throughput against message size, log-log, one line per system.
    fig, axes = plt.subplots(1, 2, figsize=(13, 5.2), sharey=True)
    for ax, section, title in ((axes[0], "cpp-pair", "C++, 1 writer -> 1 reader"),
                               (axes[1], "py-pair", "Python, 1 writer -> 1 reader (bytes; 8 B: int)")):
        systems = []
        for r in rows:
            if r.get("section") == section and r["system"] not in systems:
                systems.append(r["system"])
        for system in systems:
            pts = sorted((r["payload"], r["gb_per_s"] * 1000) for r in rows
                         if r.get("section") == section and r["system"] == system and r.get("workload", "") is not None
                         and not str(r.get("workload", "")).startswith("float64"))
            if not pts:
                continue
            ours = system in OURS.values() or system in ("C++ SPSCQueueCPP", "C++ MPMCQueueCPP", "C++ MPMCVarQueueCPP")
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", linewidth=2.6 if ours else 1.4,
                    linestyle="-" if ours else "--", label=system)
        copies = [r for r in rows if r.get("section") == "memcpy" and "dst = src" not in r["system"]
                  and r["payload"] <= MIB]
        for i, r in enumerate(sorted(copies, key=lambda r: r["payload"])):
            ax.axhline(r["gb_per_s"] * 1000, color="grey", linewidth=0.8, linestyle=":")
            ax.annotate(f"memcpy {size_label(r['payload'])}, 1 core", (8 * 4 ** i, r["gb_per_s"] * 1000),
                        fontsize=7, color="grey", va="bottom")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xlabel("message size (bytes)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.25)
        ax.legend(fontsize=7.5, loc="lower right")
    axes[0].set_ylabel("payload throughput (MB/s)")
    fig.suptitle("Throughput against message size (median of runs; higher is better)")
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "bench_throughput.png"), dpi=110)
    plt.close(fig)
    made.append(("bench_throughput.png", "Throughput against message size"))

    # Round-trip latency bars, p50 and p99.
    lat = [r for r in rows if r.get("kind") == "latency"]
    if lat:
        fig, ax = plt.subplots(figsize=(13, 5.2))
        names = [r["system"] for r in lat]
        x = range(len(lat))
        ax.bar([i - 0.2 for i in x], [r["p50_ns"] / 1000 for r in lat], width=0.4, label="p50")
        ax.bar([i + 0.2 for i in x], [r["p99_ns"] / 1000 for r in lat], width=0.4, label="p99")
        ax.set_yscale("log")
        ax.set_ylabel("round trip (µs, log scale)")
        ax.set_xticks(list(x))
        ax.set_xticklabels(names, rotation=35, ha="right", fontsize=8)
        for label in ax.get_xticklabels():
            if label.get_text() in OURS.values() or label.get_text() in ("C++ SPSCQueueCPP", "C++ MPMCQueueCPP"):
                label.set_fontweight("bold")
        split = sum(1 for r in lat if r.get("section") == "cpp-latency")
        if 0 < split < len(lat):
            ax.axvline(split - 0.5, color="grey", linewidth=0.8)
        ax.grid(True, axis="y", which="both", alpha=0.25)
        ax.legend()
        ax.set_title("Round trip by ping-pong, 64-byte messages: C++ left, Python right; ours in bold "
                     "(median of runs; lower is better)")
        fig.tight_layout()
        fig.savefig(os.path.join(out_dir, "bench_latency.png"), dpi=110)
        plt.close(fig)
        made.append(("bench_latency.png", "Round-trip latency, p50 and p99"))
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/cmake", help="CMake build directory holding bench/")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure; the median is reported")
    parser.add_argument("--fan-runs", type=int, default=3, help="runs per 4 -> 4 Python figure")
    parser.add_argument("--quick", action="store_true", help="a tenth of the messages and 2 runs: a smoke run")
    parser.add_argument("--timeout", type=int, default=60, help="seconds one Python run may take")
    parser.add_argument("--cpp-timeout", type=int, default=300, help="seconds one C++ program may take")
    parser.add_argument("--skip-cpp", action="store_true")
    parser.add_argument("--skip-python", action="store_true")
    parser.add_argument("--json", help="also write every row, one JSON object per line, to this file")
    parser.add_argument("--docs", help="write benchmarks.md and the PNG plots into this directory")
    args = parser.parse_args()
    args.scale = 0.1 if args.quick else 1.0
    if args.quick:
        args.runs, args.fan_runs = 2, 1

    started = time.perf_counter()
    load_before = load_average()
    machine = machine_info()
    print(f"machine: {machine['cpu']}, {machine['cores']} cores; Python {machine['python']}; "
          f"load average {load_before}", flush=True)
    missing = [PEER_MODULES[k] for k in ("ff", "zmq", "posix") if not available(k)]
    if missing:
        print(f"note: not installed, so not measured: {', '.join(missing)} (pip install -r bench/requirements.txt)",
              file=sys.stderr)
    rows, failed, notes = [], [], []
    if not args.skip_cpp:
        r, f = cpp_benchmark(args)
        rows += r
        failed += f
    if not args.skip_python:
        if mq is None:
            print("note: mox_ipc_queue is not importable; only the peers are measured", file=sys.stderr)
        for bench in (lambda a: python_pairs(a, notes), python_fan, python_latency):
            r, f = bench(args)
            rows += r
            failed += f
    leftovers = sweep_shm(f"mox_bench_*_{os.getpid()}_*")
    if leftovers:
        print(f"warning: left in {SHM_DIR}, removed: {', '.join(leftovers)}", file=sys.stderr)
    elapsed = time.perf_counter() - started
    load_after = load_average()
    print_report(rows, machine, args, notes, load_before, load_after, elapsed)
    if args.docs:
        command = "make bench   # = make install build-cpp; " + " ".join(
            ["python", "bench/run_bench.py"] + [a for a in sys.argv[1:]])
        write_docs(rows, machine, args, notes, load_before, load_after, elapsed, command)
    if args.json:
        with open(args.json, "w") as f:
            for item in [machine] + rows:
                f.write(json.dumps(item) + "\n")
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
