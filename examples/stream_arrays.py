"""A producer streams float64 arrays of 1 MiB through an MPMCVarQueue of 2 x 128 KiB to a consumer that
checks them: a message streams through its channel. Compare with_multiprocessing/stream_arrays.py.

    python examples/stream_arrays.py [NAME]
"""

import multiprocessing as mp
import sys

import mox_ipc_queue as mq
import numpy as np

ARRAYS, LENGTH = 20, 131_072  # 1 MiB of float64 each


def make_array(i: int) -> np.ndarray:  # both sides make array i, so the consumer can check it
    return np.random.default_rng(i).standard_normal(LENGTH)


def consumer(queue: mq.MPMCVarQueue) -> None:
    for i in range(ARRAYS):
        if not np.array_equal(queue.get(mq.QDataType.FloatArray, timeout=10), make_array(i)):
            sys.exit(f"consumer: array {i} differs")


def main(name: str = "/stream_arrays") -> None:
    with mq.MPMCVarQueue(name, 2, 32, 4096) as queue:  # 2 channels of 128 KiB
        child = mp.Process(target=consumer, args=(queue,), daemon=True)
        child.start()
        queue.put_many([make_array(i) for i in range(ARRAYS)], timeout=10)
        child.join()
    print(f"stream_arrays: {ARRAYS} arrays of {LENGTH * 8 >> 20} MiB sent, "
          f"{'all equal' if child.exitcode == 0 else 'consumer FAILED'}")
    sys.exit(child.exitcode)


if __name__ == "__main__":
    main(*sys.argv[1:])
