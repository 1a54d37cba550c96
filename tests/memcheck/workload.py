"""A memcheck workload (python workload.py N): N messages through each queue class, every payload kind read
back as its type (MPMCVarQueue: also from partial writes), error paths taken, and every 5000 messages a queue
made, connected to and destroyed. The heap left at exit must not grow with N."""

import os
import sys

import mox_ipc_queue as m
import numpy as np

QT = m.QDataType
PREFIX = f"/mox_memcheck_{os.getpid()}_"
# The i-th value is PAYLOADS[i % 6]: the type to read it back as, and its maker.
PAYLOADS = (
    (QT.Bytes, lambda i, limit: bytes((i + j) % 256 for j in range(i % (limit + 1)))),
    (QT.String, lambda i, limit: "é" * ((i % limit) // 2)),
    (QT.Int, lambda i, limit: i * 7919 - 10**12),
    (QT.Float, lambda i, limit: i / 7.0),
    (QT.IntArray, lambda i, limit: np.arange(i % (limit // 8 + 1), dtype=np.int64) * i),
    (QT.FloatArray, lambda i, limit: np.linspace(0.0, 1.0, i % (limit // 8 + 1))),
)


def run(cls, n, batch=4):
    var = cls is m.MPMCVarQueue
    cell, limit = (16, 8 * 16 - 1) if var else (64, 64)  # limit: the longest message a lone thread can write
    args = {m.SPSCQueue: (batch, cell, True), m.MPMCQueue: (batch, cell), m.MPMCVarQueue: (batch, 8, cell)}[cls]
    q = cls(PREFIX + cls.__name__, *args)
    for done in range(0, n, batch):
        sent = [(PAYLOADS[i % 6][1](i, limit), PAYLOADS[i % 6][0]) for i in range(done, min(done + batch, n))]
        for i, (value, _) in enumerate(sent, done):
            if var and i % 3 == 0 and not isinstance(value, (int, float)):
                q.partial_write(value)
                q.partial_write_complete()
            else:
                q.write(value)
        for value, qtype in sent:
            got = q.read(qtype)
            assert np.array_equal(got, value) if isinstance(value, np.ndarray) else got == value, (cls, qtype, got)
        end = done + len(sent)
        if end % 1000 < batch:
            try:
                q.partial_write_complete() if var else q.write(b"x" * (cell + 1))
                raise AssertionError("expected IPCQueueError")
            except m.IPCQueueError:
                pass
            assert q.read(QT.Bytes, 1) is None
        if end % 5000 < batch:  # made and destroyed, names and all; the connect is last (SPSC's removes the names)
            other = cls(f"{PREFIX}{cls.__name__}_{end}", *args)
            peer = cls(f"{PREFIX}{cls.__name__}_{end}")
            del peer, other


if __name__ == "__main__":
    n = int(sys.argv[1])
    for cls in (m.SPSCQueue, m.MPMCQueue, m.MPMCVarQueue):
        run(cls, n)
    left = [e for e in os.listdir("/dev/shm") if PREFIX[1:] in e]
    for e in left:
        os.unlink(os.path.join("/dev/shm", e))
    print(f"workload: {n} messages through each of SPSCQueue, MPMCQueue, MPMCVarQueue"
          f" (module {m.__file__}); leftover names: {len(left)}")
    sys.exit(1 if left else 0)
