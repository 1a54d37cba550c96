"""The examples run as a user runs them: each in its own process tree, on a queue name of this test,
checked by its output and exit code, leaving no name behind in /dev/shm. (ctest runs the C++ one.)"""

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import existing_objects, process_state

import mox_ipc_queue

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXAMPLE_TIMEOUT = 25.0  # below the per-test watchdog: a hung example is killed by subprocess.run
TOTAL = re.escape(f"{sum(i * 0.5 for i in range(300)):.1f}")  # each of the readings 0.0, 0.5, ... once
# Each example, its arguments after --name, the queue names it makes from the given one, and what its
# output must contain (regular expressions; its processes share stdout, so their lines may run together).
RUNS = {
    "producer_consumer.py": (["--count", "300"], [""], [
        f"producer: sent 300 readings, total {TOTAL}", f"consumer: received 300 readings, total {TOTAL}"]),
    "worker_pool.py": (["--workers", "3", "--jobs", "60"], ["_jobs", "_results"], [
        "parent: 3 workers connected", "parent: 60 of 60 jobs answered, 0 wrong",
        r"parent: jobs per worker: \d+, \d+, \d+$"]),
    # 300000 doubles are 2.4 MB, far more than one channel's 128 KiB ring.
    "stream_arrays.py": (["--arrays", "3", "--length", "300000"], [""], ["writer: sent 3 arrays of 300000 values"]
                         + [rf"reader: array {n}: 300000 values, 2\.4 MB, equal" for n in range(3)]),
}


def alive(pid):
    return process_state(pid) not in (None, "Z")


@pytest.mark.parametrize("script", list(RUNS))
def test_python_example(script, queue_name):
    args, suffixes, lines = RUNS[script]
    names = [queue_name + s for s in suffixes]
    try:
        command = [sys.executable, str(EXAMPLES / script), "--name", queue_name, *args]
        done = subprocess.run(command, capture_output=True, text=True, timeout=EXAMPLE_TIMEOUT)
        assert done.returncode == 0, f"exit code {done.returncode}:\n{done.stdout}\n{done.stderr}"
        assert [p for p in lines if not re.search(p, done.stdout, flags=re.M)] == [], done.stdout
        assert [p for name in names for p in existing_objects(name)] == []
    finally:
        for name in names:
            mox_ipc_queue.remove(name)


def _descendants(pid):  # every process below `pid`, read from /proc
    try:
        children = [int(c) for c in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except FileNotFoundError:
        return []
    return children + [d for c in children for d in _descendants(c)]


def test_worker_pool_workers_leave_when_the_parent_is_killed(queue_name):
    names = (queue_name + "_jobs", queue_name + "_results")
    command = [sys.executable, str(EXAMPLES / "worker_pool.py"), "--name", queue_name, "--workers", "2",
               "--jobs", "20000"]  # enough that the pool is still busy when the parent dies
    workers = []
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as parent:
        try:
            line = parent.stdout.readline()  # bounded by the test watchdog
            assert line.startswith("parent: 2 workers connected"), line + parent.stderr.read()
            workers = [p for p in _descendants(parent.pid) if alive(p)]
            assert len(workers) >= 2, workers  # the workers, maybe a resource tracker as well
            parent.kill()
            parent.wait()
            # No signal reaches the workers: their timed reads see the parent gone.
            deadline = time.monotonic() + EXAMPLE_TIMEOUT
            while any(alive(p) for p in workers) and time.monotonic() < deadline:
                time.sleep(0.05)
            assert [p for p in workers if alive(p)] == [], f"running {EXAMPLE_TIMEOUT} s after their parent was killed"
            # The last handle dropped took the queues' names along.
            assert [p for name in names for p in existing_objects(name)] == []
        finally:
            parent.kill()
            for p in workers:
                if alive(p):
                    os.kill(p, signal.SIGKILL)
            for name in names:
                mox_ipc_queue.remove(name)
