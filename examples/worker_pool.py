"""A pool of worker processes fed through one MPMCQueue, answering through a second.

MPMCQueue.open creates the queues with their names kept until removed, so workers
may come and go at any time: one starts only after all the jobs are queued. A
queue object passes to a multiprocessing.Process as is (pickled by name).
Compare with_multiprocessing/worker_pool.py.

    python examples/worker_pool.py      # queue names: $MOX_EXAMPLE_NAME + "_jobs", "_results"
"""

import multiprocessing as mp
import os
import sys

import mox_ipc_queue as mq

NAME = os.environ.get("MOX_EXAMPLE_NAME", f"/mox_example_{os.getpid()}")
WORKERS, JOBS, STOP = 3, 200, -1


def work(n: int) -> int:
    return sum(i * i for i in range(n * 100))


def worker(jobs: mq.MPMCQueue, results: mq.MPMCQueue) -> None:
    while (n := jobs.get(mq.QDataType.Int)) != STOP:
        results.put(work(n))


def main() -> None:
    names = NAME + "_jobs", NAME + "_results"
    try:  # room for every message, so no put waits for a get in the same process
        with mq.MPMCQueue.open(names[0], JOBS + WORKERS, 8) as jobs, mq.MPMCQueue.open(names[1], JOBS, 8) as results:
            pool = [mp.Process(target=worker, args=(jobs, results), daemon=True) for _ in range(WORKERS)]
            for p in pool[1:]:
                p.start()
            jobs.put_many(range(JOBS))
            jobs.put_many([STOP] * WORKERS)
            pool[0].start()  # late: no handshake, the queue is there whenever it comes
            answers: list[int] = []
            while len(answers) < JOBS:
                answers += results.get_many(JOBS, mq.QDataType.Int, timeout=10)
            for p in pool:
                p.join()
    finally:
        for name in names:
            mq.remove(name)
    ok = sorted(answers) == sorted(work(n) for n in range(JOBS))
    print(f"worker_pool: {len(answers)} of {JOBS} jobs answered by {WORKERS} workers, {'all right' if ok else 'WRONG'}")
    sys.exit(not ok)


if __name__ == "__main__":
    main()
