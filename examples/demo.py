"""Two processes, one queue: every typed value kind crosses, then a burst.

The parent creates an SPSCQueue; a second process (a fresh interpreter)
connects by name, reads each value back as the type it expects and prints
what arrived, then times a burst of small messages.
"""
import multiprocessing as mp
import os
import time
from typing import Union

import mox_ipc_queue as mq
import numpy as np
from numpy.typing import NDArray

BURST = 200_000
PAYLOAD = b"x" * 64

Value = Union[bytes, str, int, float, NDArray[np.int64], NDArray[np.float64]]

VALUES: list[tuple[Value, mq.QDataType]] = [
    (b"raw bytes \x00\x01\x02", mq.QDataType.Bytes),
    ("unicode text: h\u00e9llo w\u00f6rld", mq.QDataType.String),
    (-1234567890123, mq.QDataType.Int),
    (3.141592653589793, mq.QDataType.Float),
    (np.arange(5, dtype=np.int64) * 10, mq.QDataType.IntArray),
    (np.linspace(0.0, 1.0, 5), mq.QDataType.FloatArray),
]


def reader(name: str) -> None:
    q = mq.SPSCQueue(name)  # connecting removes the names: the pair is complete
    for _, kind in VALUES:
        value = q.read(kind)
        print(f"  reader got {kind.name:<10} {type(value).__name__:<8} {value!r}")
    q.read()  # start marker: the writer's clock starts at the same point
    start = time.perf_counter()
    for _ in range(BURST):
        q.read()
    elapsed = time.perf_counter() - start
    print(f"  {BURST} messages of {len(PAYLOAD)} bytes: {BURST / elapsed:,.0f} messages/s")


def main() -> None:
    name = f"/mox_demo_{os.getpid()}"
    q = mq.SPSCQueue(name, 1024, 4096, True)
    print(f"created SPSCQueue {name!r} (1024 cells of {q.cell_size()} bytes)")
    child = mp.get_context("spawn").Process(target=reader, args=(name,))
    child.start()
    try:
        for value, _ in VALUES:
            q.write(value)
        q.write(b"go")
        for _ in range(BURST):
            q.write(PAYLOAD)
        child.join(60)
    finally:
        if child.is_alive():
            child.kill()
        del q  # removes whatever names are left
    if child.exitcode != 0:
        raise SystemExit(f"reader failed with exit code {child.exitcode}")


if __name__ == "__main__":
    main()
