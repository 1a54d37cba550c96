"""stream_arrays.py written with multiprocessing.Queue, for comparison.

    python examples/with_multiprocessing/stream_arrays.py
"""

import multiprocessing as mp
import sys

import numpy as np

ARRAYS, LENGTH = 20, 131_072  # 1 MiB of float64 each


def make_array(i: int) -> np.ndarray:  # both sides make array i, so the consumer can check it
    return np.random.default_rng(i).standard_normal(LENGTH)


def consumer(queue: "mp.Queue[np.ndarray]") -> None:
    for i in range(ARRAYS):
        if not np.array_equal(queue.get(timeout=10), make_array(i)):
            sys.exit(f"consumer: array {i} differs")


def main() -> None:
    queue: "mp.Queue[np.ndarray]" = mp.Queue(maxsize=2)  # bounded, as the shared-memory queue is
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
