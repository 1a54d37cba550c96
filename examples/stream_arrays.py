"""Streaming large NumPy arrays through an MPMCVarQueue.

An MPMCVarQueue message may be far larger than the queue's memory: the
writer fills a channel's ring of cells while the reader empties it. Here the
writer builds each message from partial writes, a small header and then the
array chunk by chunk, as if the data were produced piece by piece; a reader
in another process takes the whole message and checks it.

    python examples/stream_arrays.py [--name /my_stream] [--arrays 3] [--length 1000000]
"""

import argparse
import multiprocessing as mp
import os
import sys

import numpy as np
from numpy.typing import NDArray

import mox_ipc_queue as mq

CHUNK = 65_536  # elements per partial write
HEADER = np.dtype(np.int64).itemsize * 2  # [array number, element count]
READ_TIMEOUT_MS = 30_000  # the reader's limit for a message to start


def make_array(number: int, length: int) -> NDArray[np.float64]:
    """The data of array `number`; both sides can make it, so the reader can check."""
    return np.random.default_rng(number).standard_normal(length)


def reader(name: str) -> None:
    queue = mq.MPMCVarQueue(name)
    count = queue.read(mq.QDataType.Int, READ_TIMEOUT_MS)
    if not isinstance(count, int):  # None: nothing arrived in time
        sys.exit("reader: no message from the writer")

    for _ in range(count):
        # One read returns the whole message, however many cells it spans.
        message = queue.read(mq.QDataType.Bytes, READ_TIMEOUT_MS)
        if not isinstance(message, bytes):
            sys.exit("reader: the writer stopped early")
        number, length = (int(x) for x in np.frombuffer(message, dtype=np.int64, count=2))
        # A view on the received bytes: no further copy.
        values = np.frombuffer(message, dtype=np.float64, offset=HEADER)
        same = len(values) == length and np.array_equal(values, make_array(number, length))
        print(f"reader: array {number}: {len(values)} values, {len(message) / 1e6:.1f} MB, "
              f"{'equal' if same else 'DIFFERENT'}", flush=True)
        if not same:
            sys.exit(1)


def main() -> None:
    parser = argparse.ArgumentParser(description="stream NumPy arrays through an MPMCVarQueue")
    parser.add_argument("--name", default=f"/mox_example_stream_{os.getpid()}", help="queue name")
    parser.add_argument("--arrays", type=int, default=3, help="arrays to send")
    parser.add_argument("--length", type=int, default=1_000_000, help="elements per array")
    args = parser.parse_args()

    # 2 channels of 32 cells of 4 KiB: 128 KiB per channel, far less than
    # one 8 MB array, so the writer and the reader run side by side.
    queue = mq.MPMCVarQueue(args.name, 2, 32, 4096)
    child = mp.get_context("spawn").Process(target=reader, args=(args.name,))
    child.start()
    try:
        queue.write(args.arrays)  # a whole message: the number of arrays
        for number in range(args.arrays):
            data = make_array(number, args.length)
            # The first partial write takes a channel and places the message
            # in the queue's order; partial_write_complete ends the message.
            queue.partial_write(np.array([number, len(data)], dtype=np.int64))
            for start in range(0, len(data), CHUNK):
                queue.partial_write(data[start : start + CHUNK])
            queue.partial_write_complete()
        print(f"writer: sent {args.arrays} arrays of {args.length} values", flush=True)
        child.join()
    finally:
        if child.is_alive():  # only when the writer itself failed
            child.kill()
            child.join()
        queue.unlink()
    sys.exit(child.exitcode)


if __name__ == "__main__":
    main()
