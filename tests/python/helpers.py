"""What the Python tests share (conftest.py makes fixtures of some): the queue kinds, children with bounded
waits, process states, semaphores taken from the test, and the traffic harness with its exactly-once ledger."""

import contextlib
import ctypes
import math
import multiprocessing
import os
import pathlib
import re
import signal
import struct
import sys
import time
import traceback
import zlib

import numpy as np
import pytest
from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

SHM_DIR = "/dev/shm"
CHILD_TIMEOUT = 15.0  # a child still running then is deadlocked
EXIT_RETURNED, EXIT_RAISED, EXIT_KEYBOARD_INTERRUPT = 0, 1, 130
FORK = multiprocessing.get_context("fork")

KINDS = {"spsc": SPSCQueue, "mpmc": MPMCQueue, "mpmcvar": MPMCVarQueue}


def make(kind, name, n, cell, **kw):  # room for n messages of cell bytes; MPMCVar: n channels of two cells
    return KINDS[kind](name, *{"spsc": (n, cell, True), "mpmc": (n, cell), "mpmcvar": (n, 2, cell)}[kind], **kw)


def named(text, name):
    return f"{text} on queue '{name}'"


def assert_same_value(got, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray) and got.dtype == expected.dtype and got.ndim == 1
        np.testing.assert_array_equal(got, expected)
        assert got.flags.owndata and got.flags.writeable
    elif isinstance(expected, float) and math.isnan(expected):
        assert type(got) is float and math.isnan(got)
    else:
        assert type(got) is type(expected) and got == expected


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


def existing_objects(name):
    """The segment and the semaphores of queue `name` that are in /dev/shm."""
    stem = name.lstrip("/")
    return sorted(os.path.join(SHM_DIR, e) for e in os.listdir(SHM_DIR) if e == stem or e.startswith(f"sem.{stem}_"))


def segment_bytes(name):
    return pathlib.Path(shm_path(name)).read_bytes()


def remove_objects(pattern):  # the objects in /dev/shm whose names (without "sem.") match; removed, returned
    left = sorted(e for e in os.listdir(SHM_DIR) if re.match(pattern, e.removeprefix("sem.")))
    for entry in left:
        pathlib.Path(SHM_DIR, entry).unlink(missing_ok=True)
    return left


# ------------------------------------------------------------ processes ---


def process_state(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None


def asleep(pid, settle, timeout=5.0):
    """Whether process or thread `pid` sleeps in a wait `settle` s after it first slept: a blocked wait wakes
    briefly every 200 ms, so asleep in most samples of a window."""
    deadline = time.monotonic() + timeout
    while process_state(pid) not in ("S", "D") and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(settle)
    samples = [time.sleep(0.005) or process_state(pid) in ("S", "D") for _ in range(20)]
    return sum(samples) >= 0.8 * len(samples)


def wait_thread_blocked(thread):  # True once `thread` sleeps (a blocked wait) and is still alive
    return asleep(thread.native_id, 0.1) and thread.is_alive()


_child_conn = None  # inside a child: the pipe back to the test


def notify_parent(tag):  # inside a child: tells the test that `tag` was reached
    if _child_conn is not None:
        _child_conn.send(("note", tag))


def _child_entry(conn, target, args):
    global _child_conn
    _child_conn = conn
    # A forked child inherits the test's handlers; give it the interpreter's own.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    try:
        conn.send(("returned", target(*args)))
        code = EXIT_RETURNED
    except BaseException as exc:  # reported to the test, whatever it is
        conn.send(("raised", type(exc).__name__, str(exc), traceback.format_exc()))
        code = EXIT_KEYBOARD_INTERRUPT if isinstance(exc, KeyboardInterrupt) else EXIT_RAISED
    conn.close()
    sys.exit(code)


class Child:
    """A function running in another process, with a pipe back to the test. Once finished: `exitcode`, and
    `report`, ("returned", value) or ("raised", type name, text, traceback)."""

    def __init__(self, target, args, method="fork"):
        ctx = multiprocessing.get_context(method)
        self._recv, send = ctx.Pipe(duplex=False)
        self.process = ctx.Process(target=_child_entry, args=(send, target, args), daemon=True)
        self.process.start()
        send.close()
        self.pid, self._notes, self.report, self.exitcode = self.process.pid, [], None, None

    @property
    def exc_type(self):
        return self.report[1] if self.report and self.report[0] == "raised" else None

    def describe(self):
        if self.exc_type:
            return "child raised {}: {}\n{}".format(*self.report[1:])
        if self.exitcode is not None and self.exitcode < 0:
            return f"child killed by signal {signal.Signals(-self.exitcode).name}"
        return f"child exit code {self.exitcode}, report {self.report!r}"

    def kill(self):
        self.process.kill()  # nothing if it has ended
        self.process.join(5)

    def close(self):
        self.kill()
        self._recv.close()

    def _receive(self, done, deadline):  # True once done(); False if the child reported or time ran out first
        while not done():
            if self.report is not None or not self._recv.poll(max(deadline - time.monotonic(), 0)):
                return False
            try:
                msg = self._recv.recv()
            except EOFError:  # the child ended without a report
                msg = ("ended",)
            self._notes.append(msg[1]) if msg[0] == "note" else setattr(self, "report", msg)
        return True

    def wait_for(self, tag, timeout=CHILD_TIMEOUT):  # until the child called notify_parent(tag)
        if not self._receive(lambda: tag in self._notes, time.monotonic() + timeout):
            if self.report is not None:
                pytest.fail(f"child ended before reaching {tag!r}: {self.finish(timeout=2).describe()}")
            self.kill()
            pytest.fail(f"child never reached {tag!r} within {timeout} s (killed)")

    def assert_blocked(self, settle=0.3):  # asleep in a wait, not finished
        sleeping = asleep(self.pid, settle)
        self._receive(lambda: False, 0)  # takes in what is there
        state = (self.report, self.process.is_alive(), sleeping)
        assert state == (None, True, True), f"child should block: (report, alive, asleep) is {state}"

    def finish(self, timeout=CHILD_TIMEOUT):  # a child still alive at the bound is a deadlock
        deadline = time.monotonic() + timeout
        self._receive(lambda: self.report is not None, deadline)
        self.process.join(max(deadline - time.monotonic(), 0.5))
        if self.process.is_alive():
            self.kill()
            pytest.fail(f"child process {self.pid} still running after {timeout} s: deadlock (killed)")
        self.exitcode = self.process.exitcode
        return self

    def result(self, timeout=CHILD_TIMEOUT):  # the return value; raising or crashing fails the test
        if self.finish(timeout).exitcode != EXIT_RETURNED or not self.report or self.report[0] != "returned":
            pytest.fail(self.describe())
        return self.report[1]


def connect_and(kind, name, method, *args):  # a child: connects, says so, makes the call
    q = KINDS[kind](name)
    notify_parent("connected")
    return getattr(q, method)(*args)


_libc = ctypes.CDLL(None, use_errno=True)
_libc.sem_open.restype, _libc.sem_open.argtypes = ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_int]
for _f in (_libc.sem_wait, _libc.sem_post, _libc.sem_close):
    _f.argtypes = [ctypes.c_void_p]


def take_semaphore(sem_name):
    """Takes a named semaphore (a list lock) as a process inside the queue does; a SIGKILL leaves it taken."""
    sem = _libc.sem_open(sem_name.encode(), 0)
    assert sem and _libc.sem_wait(sem) == 0
    return sem


@contextlib.contextmanager
def semaphore_taken(sem_name):  # taken from this process, given back whatever happens
    sem = take_semaphore(sem_name)
    try:
        yield
    finally:
        _libc.sem_post(sem)
        _libc.sem_close(sem)


# -------------------------------------------------------------- traffic ---

TRAFFIC_SCALE = int(os.environ.get("MOX_TRAFFIC_SCALE", "1"))  # `make soak-python` runs the traffic long
WRITER_IDS, MAX_SEQ = 4, (1 << 15) * TRAFFIC_SCALE
_HEAD = struct.Struct("<IIII")  # writer id, sequence, length, crc
_PATTERN = bytes(range(256)) * 24


def traffic_message(wid, seq, length):
    """Message `seq` of writer `wid`, `length` bytes (at least the 16-byte head); a CRC covers it all."""
    length = max(length, _HEAD.size)
    start = (wid * 131 + seq * 17) % 256
    body = _PATTERN[start : start + length - _HEAD.size]
    crc = zlib.crc32(body, zlib.crc32(struct.pack("<III", wid, seq, length)))
    return _HEAD.pack(wid, seq, length, crc) + body


def message_length(wid, seq, lo, hi):
    return lo + (seq * 2654435761 + wid * 40503) % (hi - lo + 1)


def check_message(msg):
    """(writer id, sequence) of a whole, correct message; AssertionError otherwise."""
    wid, seq, length, _ = _HEAD.unpack_from(msg.ljust(_HEAD.size, b"\0"))  # a torn head fails the length
    if wid >= WRITER_IDS or seq >= MAX_SEQ or length != len(msg) or msg != traffic_message(wid, seq, length):
        raise AssertionError(f"damaged message ({len(msg)} bytes, head {msg[:16].hex()})")
    return wid, seq


class Ledger:
    """Per reader slot, how often it delivered each (writer, sequence): no two processes race on a byte."""

    def __init__(self, readers):
        self.seen = [FORK.RawArray("B", WRITER_IDS * MAX_SEQ) for _ in range(readers)]
        self.moved = FORK.RawArray("q", readers + WRITER_IDS)  # messages per process slot
        self.stop = FORK.RawValue("b", 0)

    def assert_exactly_once(self, wid, sent, gaps_allowed=0):
        """Writer `wid`: none twice, and of the first `sent` (None: up to the last delivered) at most
        `gaps_allowed` missing."""
        counts = sum(np.frombuffer(a, np.uint8)[wid * MAX_SEQ : (wid + 1) * MAX_SEQ].astype(np.int64)
                     for a in self.seen)
        twice = np.flatnonzero(counts > 1)
        assert twice.size == 0, f"writer {wid}: delivered twice: {twice[:10].tolist()}"
        got = set(np.flatnonzero(counts).tolist())
        sent = sent if sent is not None else (max(got) + 1 if got else 0)
        missing = sorted(set(range(sent)) - got)
        assert len(missing) <= gaps_allowed, f"writer {wid}: {len(missing)} lost: {missing[:10]}"


def write_traffic(q, ledger, slot, wid, count, lo, hi, pieces=False):
    """Writes `count` messages (in three partial writes every other one with `pieces`, and now and then a
    piece as an int64 array); says "ready" first. A (class, name) `q` connects by name."""
    q = q[0](q[1]) if isinstance(q, tuple) else q
    msgs = [traffic_message(wid, seq, message_length(wid, seq, lo, hi)) for seq in range(count)]
    notify_parent("ready")
    for seq, msg in enumerate(msgs):
        if pieces and seq % 2:  # a kill or a signal also lands between the parts
            for k in range(3):
                part = msg[k * len(msg) // 3 : (k + 1) * len(msg) // 3]
                q.partial_write(np.frombuffer(part, np.int64) if len(part) % 8 == 0 and seq % 3 == 0 else part)
            q.partial_write_complete()
        else:
            q.write(msg)
        ledger.moved[slot] += 1
    return count


def read_traffic(q, ledger, slot):
    """Reads until the ledger says stop and nothing came for 40 ms; every message checked whole, each
    writer's in order; says "ready" first."""
    q = q[0](q[1]) if isinstance(q, tuple) else q
    seen, last = ledger.seen[slot], {}
    notify_parent("ready")
    while True:
        msg = q.read(QDataType.Bytes, 40)
        if msg is None:
            if ledger.stop.value:
                return int(ledger.moved[slot])
            continue
        wid, seq = check_message(msg)
        if last.get(wid, -1) >= seq:
            raise AssertionError(f"writer {wid}: sequence {seq} after {last[wid]}")
        last[wid] = seq
        seen[wid * MAX_SEQ + seq] += 1
        ledger.moved[slot] += 1
