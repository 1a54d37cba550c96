"""worker_pool.py written with multiprocessing.Queue, for comparison.

    python examples/with_multiprocessing/worker_pool.py
"""

import multiprocessing as mp
import sys

WORKERS, JOBS, STOP = 3, 200, -1


def work(n: int) -> int:
    return sum(i * i for i in range(n * 100))


def worker(jobs: "mp.Queue[int]", results: "mp.Queue[int]") -> None:
    while (n := jobs.get()) != STOP:
        results.put(work(n))


def main() -> None:
    jobs: "mp.Queue[int]" = mp.Queue()
    results: "mp.Queue[int]" = mp.Queue()
    pool = [mp.Process(target=worker, args=(jobs, results), daemon=True) for _ in range(WORKERS)]
    for p in pool[1:]:
        p.start()
    for n in range(JOBS):
        jobs.put(n)
    for _ in pool:
        jobs.put(STOP)
    pool[0].start()  # late, as in ../worker_pool.py
    answers = [results.get(timeout=10) for _ in range(JOBS)]  # before join: a child flushes its puts on exit
    for p in pool:
        p.join()
    ok = sorted(answers) == sorted(work(n) for n in range(JOBS))
    print(f"worker_pool: {len(answers)} of {JOBS} jobs answered by {WORKERS} workers, {'all right' if ok else 'WRONG'}")
    sys.exit(not ok)


if __name__ == "__main__":
    main()
