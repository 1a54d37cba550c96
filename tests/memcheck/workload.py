"""A memcheck workload: N messages through each Python queue class.

Every payload kind is written and read back as its type (bytes, str, int,
float, int64 and float64 arrays), whole and, for MPMCVarQueue, from partial
writes; error paths raise and are caught; every 5000 messages a whole queue
is created, connected to and destroyed. What is allocated per message, per
error or per queue object must be freed, so the heap left at exit must not
grow with N.

Usage: python workload.py N
"""

import os
import sys

import numpy as np

import mox_ipc_queue as m

QT = m.QDataType
PREFIX = f"/mox_memcheck_{os.getpid()}_"
_names = iter(range(1_000_000))


def new_name():
    return PREFIX + str(next(_names))


def payload(i, limit):
    """The i-th value, its read type, and a check of what came back."""
    k = i % 6
    if k == 0:
        v = bytes((i + j) % 256 for j in range(i % (limit + 1)))
        return v, QT.Bytes, lambda got: got == v
    if k == 1:
        v = "é" * ((i % limit) // 2)
        return v, QT.String, lambda got: got == v
    if k == 2:
        v = i * 7919 - 10**12
        return v, QT.Int, lambda got: got == v
    if k == 3:
        v = i / 7.0
        return v, QT.Float, lambda got: got == v
    if k == 4:
        v = np.arange(i % (limit // 8 + 1), dtype=np.int64) * i
        return v, QT.IntArray, lambda got: np.array_equal(got, v)
    v = np.linspace(0.0, 1.0, i % (limit // 8 + 1))
    return v, QT.FloatArray, lambda got: np.array_equal(got, v)


def expect_error(fn):
    try:
        fn()
    except m.IPCQueueError:
        return
    raise AssertionError("expected IPCQueueError")


def run(kind, n):
    cell, batch = 64, 4
    if kind == "spsc":
        make = lambda name: m.SPSCQueue(name, batch, cell, True)  # noqa: E731
    elif kind == "mpmc":
        make = lambda name: m.MPMCQueue(name, batch, cell)  # noqa: E731
    else:
        cell = 16
        make = lambda name: m.MPMCVarQueue(name, batch, 8, cell)  # noqa: E731
    # The longest message one thread can write before reading it back.
    limit = cell if kind != "mpmcvar" else 8 * cell - 1
    name = new_name()
    q = make(name)
    done = 0
    while done < n:
        checks = []
        for i in range(done, min(done + batch, n)):
            value, qtype, check = payload(i, limit)
            if kind == "mpmcvar" and i % 3 == 0 and not isinstance(value, (int, float)):
                q.partial_write(value)
                q.partial_write_complete()
            else:
                q.write(value)
            checks.append((qtype, check))
        for qtype, check in checks:
            got = q.read(qtype)
            assert check(got), (kind, qtype, got)
        done += len(checks)
        if done % 1000 < batch:
            if kind == "mpmcvar":
                expect_error(q.partial_write_complete)
                assert q.read(QT.Bytes, 1) is None
            else:
                expect_error(lambda: q.write(b"x" * (cell + 1)))
                assert q.read(QT.Bytes, 1) is None
        if done % 5000 < batch:
            # A whole queue made and destroyed, names and all (an SPSC
            # peer's connect removes the names, so it is the last one).
            other_name = new_name()
            other = make(other_name)
            peer = type(other)(other_name)
            del peer, other
    del q
    return n


def main():
    n = int(sys.argv[1])
    for kind in ("spsc", "mpmc", "mpmcvar"):
        run(kind, n)
    left = [e for e in os.listdir("/dev/shm") if PREFIX.lstrip("/") in e]
    for e in left:
        os.unlink(os.path.join("/dev/shm", e))
    print(f"workload: {n} messages through each of SPSCQueue, MPMCQueue, MPMCVarQueue"
          f" (module {m.__file__}); leftover names: {len(left)}")
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit(main())
