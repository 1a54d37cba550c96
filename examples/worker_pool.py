"""Workers fed through one MPMCQueue, answering through a second; open() keeps the names, so workers
come and go (one starts late, with no handshake). Compare with_multiprocessing/worker_pool.py.

    python examples/worker_pool.py [NAME]      # queues NAME_jobs, NAME_results
"""

import multiprocessing as mp
import sys

import mox_ipc_queue as mq

WORKERS, JOBS, STOP = 3, 200, -1


def work(n: int) -> int:
    return sum(i * i for i in range(n * 100))


def worker(jobs: mq.MPMCQueue, results: mq.MPMCQueue) -> None:
    while (n := jobs.get(mq.QDataType.Int)) != STOP:
        results.put(work(n))


def main(name: str = "/worker_pool") -> None:
    jobs = mq.MPMCQueue.open(name + "_jobs", JOBS + WORKERS, 8)  # room for all: no put waits for a get here
    results = mq.MPMCQueue.open(name + "_results", JOBS, 8)
    pool = [mp.Process(target=worker, args=(jobs, results), daemon=True) for _ in range(WORKERS)]
    for p in pool[1:]:
        p.start()
    jobs.put_many([*range(JOBS), *[STOP] * WORKERS])
    pool[0].start()  # late: no handshake, the queue is there whenever it comes
    answers = [results.get(mq.QDataType.Int, timeout=10) for _ in range(JOBS)]
    for p in pool:
        p.join()
    jobs.unlink()  # the names open() kept
    results.unlink()
    ok = sorted(answers) == sorted(work(n) for n in range(JOBS))
    print(f"worker_pool: {len(answers)} of {JOBS} jobs answered by {WORKERS} workers, {'all right' if ok else 'WRONG'}")
    sys.exit(not ok)


if __name__ == "__main__":
    main(*sys.argv[1:])
