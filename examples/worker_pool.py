"""A pool of worker processes fed through two MPMCQueues.

The parent puts jobs on one queue; any idle worker takes the next one and
puts its answer on a second queue; the parent collects and checks every
answer. A job is a number n; its answer is the longest Collatz chain (steps
down to 1) of any start in [n * BLOCK, (n + 1) * BLOCK), sent as the int64
array [n, steps, worker pid].

    python examples/worker_pool.py [--name /my_pool] [--workers 3] [--jobs 200]
"""

import argparse
import multiprocessing as mp
import os
import sys

import numpy as np

import mox_ipc_queue as mq

STOP = -1  # a job that tells one worker to finish
POLL_MS = 500  # how often an idle worker looks whether its parent is still there
COLLECT_TIMEOUT_MS = 30_000  # the parent's limit for each message it waits for
BLOCK = 250  # starts per job: a few milliseconds of work


def collatz_steps(n: int) -> int:
    steps = 0
    while n != 1:
        n = n // 2 if n % 2 == 0 else 3 * n + 1
        steps += 1
    return steps


def longest_chain(job: int) -> int:
    return max(collatz_steps(n) for n in range(job * BLOCK, (job + 1) * BLOCK))


def worker(jobs_name: str, results_name: str) -> None:
    parent = os.getppid()
    jobs = mq.MPMCQueue(jobs_name)
    results = mq.MPMCQueue(results_name)
    results.write(os.getpid())  # "connected": see the handshake in main()

    while True:
        # A timed read, so that a worker whose parent died does not wait for
        # ever: None means nothing arrived within POLL_MS.
        job = jobs.read(mq.QDataType.Int, POLL_MS)
        if job is None:
            if os.getppid() != parent:
                return
            continue
        assert isinstance(job, int)
        if job == STOP:
            return
        results.write(np.array([job, longest_chain(job), os.getpid()], dtype=np.int64))


def main() -> None:
    parser = argparse.ArgumentParser(description="MPMCQueue worker pool")
    parser.add_argument("--name", default=f"/mox_example_pool_{os.getpid()}", help="prefix of the queue names")
    parser.add_argument("--workers", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=200)
    args = parser.parse_args()
    jobs_name, results_name = args.name + "_jobs", args.name + "_results"

    # Jobs are single int64 values (8 bytes). The results queue has a cell
    # for every answer, so a worker never waits for the parent to make room
    # while the parent is still handing out jobs.
    jobs = mq.MPMCQueue(jobs_name, 16, 8)
    results = mq.MPMCQueue(results_name, args.jobs + args.workers, 3 * 8)
    ctx = mp.get_context("spawn")
    pool = [ctx.Process(target=worker, args=(jobs_name, results_name)) for _ in range(args.workers)]
    for p in pool:
        p.start()

    answered: dict[int, int] = {}  # job -> steps
    per_worker: dict[int, int] = {}  # worker pid -> jobs done
    try:
        # Handshake: wait until every worker has connected. Any process that
        # lets go of its handle removes the queue's names, and a worker
        # starting late could then no longer find the queues.
        for _ in pool:
            pid = results.read(mq.QDataType.Int, COLLECT_TIMEOUT_MS)
            if not isinstance(pid, int):  # None: nothing arrived in time
                sys.exit("parent: a worker did not start")
            per_worker[pid] = 0
        print(f"parent: {len(per_worker)} workers connected", flush=True)

        for n in range(1, args.jobs + 1):
            jobs.write(n)

        for _ in range(args.jobs):
            answer = results.read(mq.QDataType.IntArray, COLLECT_TIMEOUT_MS)
            if not isinstance(answer, np.ndarray):  # None: nothing arrived in time
                sys.exit("parent: a job was never answered")
            n, steps, pid = (int(x) for x in answer)
            answered[n] = steps
            per_worker[pid] += 1

        for _ in pool:
            jobs.write(STOP)
        for p in pool:
            p.join()
    finally:
        for p in pool:
            if p.is_alive():  # only when the parent itself failed
                p.kill()
                p.join()
        # Remove the names; the handles stay usable until they are dropped.
        jobs.unlink()
        results.unlink()

    wrong = [n for n in range(1, args.jobs + 1) if answered.get(n) != longest_chain(n)]
    failed = [p.exitcode for p in pool if p.exitcode != 0]
    print(f"parent: {len(answered)} of {args.jobs} jobs answered, {len(wrong)} wrong")
    print("parent: jobs per worker: " + ", ".join(str(c) for c in sorted(per_worker.values(), reverse=True)))
    if wrong or failed or len(answered) != args.jobs:
        sys.exit(1)


if __name__ == "__main__":
    main()
