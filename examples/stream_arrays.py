"""A producer streams NumPy float64 arrays of 1 MiB through an MPMCVarQueue to a consumer that checks them.

A message may be far larger than the queue: the producer fills a channel's
cells while the consumer empties them. The queue's names go when it closes.
Compare with_multiprocessing/stream_arrays.py.

    python examples/stream_arrays.py    # queue name: $MOX_EXAMPLE_NAME
"""

import multiprocessing as mp
import os
import sys

import mox_ipc_queue as mq
import numpy as np

NAME = os.environ.get("MOX_EXAMPLE_NAME", f"/mox_example_{os.getpid()}")
ARRAYS, LENGTH = 20, 131_072  # 1 MiB of float64 each


def make_array(i: int) -> np.ndarray:  # both sides make array i, so the consumer can check it
    return np.random.default_rng(i).standard_normal(LENGTH)


def consumer(queue: mq.MPMCVarQueue) -> None:
    for i in range(ARRAYS):
        if not np.array_equal(queue.get(mq.QDataType.FloatArray, timeout=10), make_array(i)):
            sys.exit(f"consumer: array {i} differs")


def main() -> None:
    with mq.MPMCVarQueue(NAME, 2, 32, 4096) as queue:  # 2 channels of 128 KiB
        child = mp.Process(target=consumer, args=(queue,), daemon=True)
        child.start()
        for i in range(ARRAYS):
            queue.put(make_array(i), timeout=10)
        child.join()
    print(f"stream_arrays: {ARRAYS} arrays of {LENGTH * 8 >> 20} MiB sent, "
          f"{'all equal' if child.exitcode == 0 else 'consumer FAILED'}")
    sys.exit(child.exitcode)


if __name__ == "__main__":
    main()
