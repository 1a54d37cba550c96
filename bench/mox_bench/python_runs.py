"""The Python measurements. Each *_once function runs in the helper process
(supervise.Helper) as the parent of the measurement: it makes the channel,
starts its children with multiprocessing's spawn method and returns what it
timed. run_python() interleaves the runs of every system of a workload, so a
change in machine load touches them alike, and turns the medians into rows.

A 1 -> 1 run drives its system in the system's mode: one message per call,
lists (put_many/get_many), or a reader that is an asyncio program, timed
beside a ticker coroutine whose late wake-ups are the event loop's stalls.
"""
import asyncio
import multiprocessing as mp
import os
import statistics
import sys
import time

from . import workloads as wl
from .results import latency_row, throughput_row
from .supervise import ChildFailed, Watch, describe, finish, sweep_shm, warn_left
from .systems import IMPORT_ERROR, PYTHON, system

HARD_LIMIT_GRACE_S = 30  # beyond --timeout, before the helper is killed
_serial = [0]


def _next_base():
    _serial[0] += 1
    return f"mox_bench_py_{os.getpid()}_{_serial[0]}"


def _release(system, made, base):
    """Gives back what the parent made; removes every name left behind."""
    try:
        if made is not None:
            system.release(made)
    except Exception as e:  # cleanup must not hide the run's own result
        print(f"  warning: cleanup of {system.key}: {e!r}", file=sys.stderr)
    warn_left("the run", sweep_shm(base) + sweep_shm(base + "_*"))


# ---- 1 -> 1 throughput -------------------------------------------------------

def _consume(s, kind, handle, payload, count):
    """Takes the start marker, then times `count` messages. Returns
    (seconds, bytes of the last message, None)."""
    q = s.connect(handle)
    read = s.reader(q, kind, payload)
    read()  # start marker
    start = time.perf_counter()
    last = None
    if s.mode == "batch":
        take, got = s.batch_reader(q, wl.BATCH), 0
        while got < count:
            values = take()
            got += len(values)
            last = values[-1]
    else:
        for _ in range(count):
            last = read()
    return time.perf_counter() - start, wl.value_size(kind, last), None


class _Ticker:
    """Sleeps TICK_S again and again; how much later than that it wakes,
    at worst while `recording`, is the event loop's worst stall. The most
    CPU time the loop's thread used between two wake-ups is the part of a
    stall the loop's own work makes, which a quiet machine would not take
    away (the rest is time the process was kept off the CPU)."""

    def __init__(self):
        self.recording = self.stop = False
        self.worst = (0.0, 0.0)  # (seconds late, CPU seconds busy), each at worst

    async def run(self):
        while not self.stop:
            before, cpu = time.perf_counter(), time.thread_time()
            await asyncio.sleep(wl.TICK_S)
            late, busy = time.perf_counter() - before - wl.TICK_S, time.thread_time() - cpu
            if self.recording:
                self.worst = (max(self.worst[0], late), max(self.worst[1], busy))


async def _consume_async(s, kind, handle, payload, count):
    """_consume as an asyncio program, a ticker beside it. Returns
    (seconds, bytes of the last message, _Ticker.worst)."""
    get = await s.open_async(handle, kind, payload, count + 1)
    ticker = _Ticker()
    ticking = asyncio.create_task(ticker.run())
    await asyncio.sleep(0)  # the ticker's first sleep has begun
    try:
        await get()  # start marker
        ticker.recording = True
        start = time.perf_counter()
        last = None
        for _ in range(count):
            last = await get()
        elapsed = time.perf_counter() - start
        ticker.stop = True
        await ticking  # its wake-up due during the last stretch counts too
    finally:
        ticking.cancel()
        s.end_async()
    return elapsed, wl.value_size(kind, last), ticker.worst


def _pair_reader(key, kind, handle, payload, count, conn):
    """Child: the reader of a 1 -> 1 run, in its system's mode."""
    try:
        s = system(key)
        if s.mode == "async":
            result = asyncio.run(_consume_async(s, kind, handle, payload, count))
        else:
            result = _consume(s, kind, handle, payload, count)
        conn.send(("ok",) + result)
    except BaseException as e:  # the parent must hear of every failure
        conn.send(("error", repr(e), 0, None))
        raise


def pair_once(key, kind, payload, count, timeout):
    """Writer here, reader in a child; returns the reader's (seconds,
    _Ticker.worst or, unless its mode is "async", None). A batch run takes
    `count` (a multiple of wl.BATCH) in lists of wl.BATCH."""
    s = system(key)
    ctx = mp.get_context("spawn")
    base = _next_base()
    made = child = None
    recv_conn, send_conn = ctx.Pipe(duplex=False)
    try:
        made = s.create(base, payload, ctx)
        child = ctx.Process(target=_pair_reader,
                            args=(key, kind, s.handle(made, base), payload, count, send_conn))
        child.start()
        send_conn.close()
        value = wl.payload_value(kind, payload)
        write = s.writer(made, kind, payload)
        with Watch([child], timeout):
            write(value)  # start marker
            if s.mode == "batch":
                put, values = s.batch_writer(made), [value] * wl.BATCH
                for _ in range(count // wl.BATCH):
                    put(values)
            else:
                for _ in range(count):
                    write(value)
            if not recv_conn.poll(timeout):
                raise TimeoutError("no result from the reader")
        status, seconds, last_size, stall = recv_conn.recv()
        child.join(timeout)
        if status != "ok":
            raise ChildFailed(seconds)
        if child.exitcode != 0:
            raise ChildFailed(f"reader exit code {child.exitcode}")
        if last_size != payload:
            raise ChildFailed(f"last message had {last_size} bytes, expected {payload}")
        return seconds, stall
    finally:
        recv_conn.close()
        send_conn.close()
        if child is not None:
            finish([child], 1)
        _release(s, made, base)
        del made


# ---- 4 -> 4 throughput ---------------------------------------------------------

def _fan_writer(key, handle, payload, share, ready, go, done):
    system = PYTHON[key]
    sends = system.fan_senders(system.connect(handle), payload)
    data = bytes(payload)
    ready.release()
    go.wait()
    if len(sends) == 1:
        write = sends[0]
        for _ in range(share):
            write(data)
    else:  # one channel per reader, taken in turn
        n = len(sends)
        for i in range(share):
            sends[i % n](data)
    if system.hold_writers:
        done.wait()
    system.finish()


def _fan_reader(key, handle, payload, index, ready, conn, expected):
    try:
        system = PYTHON[key]
        read = system.reader(system.connect(handle), "bytes", payload, bind=True, endpoint=index)
        ready.release()
        got, last = 0, time.perf_counter()
        if not system.stop_marks:
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
    timed from the release of the writers to the last message read.
    Returns (seconds, messages)."""
    system = PYTHON[key]
    ctx = mp.get_context("spawn")
    base = _next_base()
    made = None
    children = []
    pipes = [ctx.Pipe(duplex=False) for _ in range(procs)]
    ready, go, done = ctx.Semaphore(0), ctx.Event(), ctx.Event()
    try:
        made = system.create(base, payload, ctx, fan=procs)
        handle = system.handle(made, base)
        share = count // procs // procs * procs  # an equal part for every reader, from every writer
        for i, (_, send) in enumerate(pipes):
            children.append(ctx.Process(target=_fan_reader, args=(key, handle, payload, i, ready, send, share)))
        for _ in range(procs):
            children.append(ctx.Process(target=_fan_writer, args=(key, handle, payload, share, ready, go, done)))
        for c in children:
            c.start()
        with Watch(children, timeout):
            for _ in children:
                if not ready.acquire(timeout=timeout):
                    raise TimeoutError("a child did not get ready")
            if system.settle_s:
                time.sleep(system.settle_s)
            start = time.perf_counter()
            go.set()
            if system.stop_marks:  # every writer is done before the stop marks go in
                for c in children[procs:]:
                    c.join(timeout)
                stop = system.writer(made, "bytes", payload, bind=False)
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
            done.set()
        if got != share * procs:
            raise ChildFailed(f"readers got {got} of {share * procs} messages")
        return end - start, share * procs
    finally:
        done.set()  # held writers may close now, however the run ended
        finish(children, timeout)
        for recv, send in pipes:
            recv.close()
            send.close()
        _release(system, made, base)


# ---- round trips -----------------------------------------------------------------

def _echo(key, handles, payload, total):
    system = PYTHON[key]
    read = system.reader(system.connect(handles[0]), "bytes", payload, bind=False)
    write = system.writer(system.connect(handles[1]), "bytes", payload, bind=False)
    for _ in range(total):
        write(read())
    system.finish()


def ping_pong_once(key, payload, round_trips, timeout, warmup=500):
    """The parent sends, a child echoes through a second channel; returns
    (p50, p99) of the round trips in ns, after `warmup` untimed ones."""
    system = PYTHON[key]
    ctx = mp.get_context("spawn")
    bases = [_next_base(), _next_base()]
    made = [None, None]
    child = None
    try:
        made = [system.create(b, payload, ctx) for b in bases]
        handles = [system.handle(m, b) for m, b in zip(made, bases)]
        child = ctx.Process(target=_echo, args=(key, handles, payload, round_trips + warmup))
        child.start()
        write = system.writer(made[0], "bytes", payload, bind=True)
        read = system.reader(made[1], "bytes", payload, bind=True)
        value = wl.payload_value("bytes", payload)
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
            finish([child], 1)
        for m, base in zip(made, bases):
            _release(system, m, base)


# ---- interleaved runs ----------------------------------------------------------------

def _count(w, key, scale):
    count = w.count(key, scale)
    if w.shape == "pair" and system(key).mode == "batch":
        count = max(wl.BATCH, count - count % wl.BATCH)
    return count


def _measure(w, key, count, timeout):
    """(function, args) of one run of workload `w` for system `key`."""
    if w.shape == "pair":
        return pair_once, (key, w.kind, w.payload, count, timeout)
    if w.shape == "fan":
        return fan_once, (key, wl.FAN_PROCS, w.payload, count, timeout)
    return ping_pong_once, (key, w.payload, count, timeout)


def _row(w, key, count, outcomes):
    label = system(key).label
    if w.shape == "pair":
        row = throughput_row(w.section or "py-pair", label, 1, 1, w.payload, count,
                             [count / s for s, _ in outcomes], workload=w.label)
        stalls = [stall for _, stall in outcomes if stall is not None]
        if stalls:
            late = [s[0] * 1e3 for s in stalls]
            row.update(stall_ms=max(late), stall_ms_median=statistics.median(late), stall_ms_runs=late,
                       busy_ms=max(s[1] * 1e3 for s in stalls))
        if system(key).mode == "batch":
            row["batch"] = wl.BATCH
        return row
    if w.shape == "fan":
        return throughput_row("py-fan", label, wl.FAN_PROCS, wl.FAN_PROCS, w.payload, outcomes[-1][1],
                              [n / s for s, n in outcomes], workload=w.label)
    return latency_row("py-latency", label, w.payload, count, outcomes)


def _what(w):
    if w.shape == "pair":
        return f"1 -> 1, {w.label}"
    if w.shape == "fan":
        return f"{wl.FAN_PROCS} -> {wl.FAN_PROCS}, {w.label}"
    return f"ping-pong, {w.label}"


def run_workloads(name, workloads, runs, args, helper, results):
    """Runs every available system of `workloads` `runs` times, interleaved.
    A system that fails is reported (results.failure) and left out of the
    runs that follow; the others go on."""
    plan = []
    for w in workloads:
        for key in w.counts:
            s = system(key)
            if not s.available():
                continue
            why = s.refuses(w.payload)
            if why:
                results.note(f"{s.label} skipped for {wl.size_label(w.payload)} messages: {why}.")
                continue
            plan.append((w, key, _count(w, key, args.scale)))
    outcomes = {item: [] for item in plan}
    broken = set()
    for run in range(runs):
        for item in plan if run % 2 == 0 else reversed(plan):  # no system always goes first
            w, key, count = item
            if item in broken:
                continue
            function, fargs = _measure(w, key, count, args.timeout)
            try:
                outcomes[item].append(helper.call(function, fargs, args.timeout + HARD_LIMIT_GRACE_S))
            except Exception as e:  # report it, go on with the others
                broken.add(item)
                results.failure(system(key).label, _what(w), f"run failed: {describe(e)}")
        print(f"  python {name} run {run + 1}/{runs} done", file=sys.stderr, flush=True)
    for item in plan:
        w, key, count = item
        if outcomes[item] and item not in broken:
            results.rows.append(_row(w, key, count, outcomes[item]))


# The Python workload groups, in the order they run, and their runs; --only
# picks some. put/get against write/read gets CONVENIENCE_RUNS times the runs:
# its bound (15%) is closer than the spread of single 64 B runs here.
GROUPS = {
    "pairs": ("1->1", wl.PY_PAIRS, lambda args: args.runs),
    "fan": (f"{wl.FAN_PROCS}->{wl.FAN_PROCS}", [wl.PY_FAN], lambda args: args.fan_runs),
    "ping": ("ping-pong", [wl.PY_PING], lambda args: args.runs),
    "batch": ("put_many/get_many", [wl.PY_BATCH], lambda args: args.runs),
    "putget": ("put/get", [wl.PY_CONVENIENCE], lambda args: args.runs * wl.CONVENIENCE_RUNS),
    "async": ("asyncio", wl.PY_ASYNC, lambda args: args.runs),
}


def run_python(args, helper, results):
    for s in PYTHON.values():
        if s.ours and not s.available():
            results.failure(s.label, "every Python workload", f"mox_ipc_queue is not importable: {IMPORT_ERROR}")
    for group in args.only or GROUPS:
        name, workloads, runs = GROUPS[group]
        run_workloads(name, workloads, runs(args), args, helper, results)
