"""The examples run as a user runs them: each in its own process tree, on a
queue name of this test, checked by its output and exit code, and leaving
no name behind in /dev/shm."""

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from conftest import _process_state, existing_objects, remove_queue_objects

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
# Where `make build-cpp` puts the C++ example.
CPP_EXAMPLE = ROOT / "build" / "cmake" / "examples" / "producer_consumer"
# Below the per-test watchdog, so a hung example is killed by this bound.
EXAMPLE_TIMEOUT = 25.0


def run_example(command, timeout=EXAMPLE_TIMEOUT):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"{command} still running after {timeout} s (killed); output so far:\n{exc.stdout}\n{exc.stderr}")
    assert done.returncode == 0, f"{command} exited with {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def python_example(script, *args):
    return run_example([sys.executable, str(EXAMPLES / script), *map(str, args)])


def assert_nothing_left(*names):
    left = [path for name in names for path in existing_objects(name)]
    assert not left, f"left in /dev/shm: {left}"


def test_producer_consumer_moves_every_reading(queue_name):
    count = 300
    out = python_example("producer_consumer.py", "--name", queue_name, "--count", count)
    expected_total = sum(i * 0.5 for i in range(count))
    sent = re.search(r"producer: sent (\d+) readings, total ([\d.]+)", out)
    received = re.search(r"consumer: received (\d+) readings, total ([\d.]+)", out)
    assert sent and received, out
    assert int(sent[1]) == int(received[1]) == count
    assert float(sent[2]) == float(received[2]) == expected_total
    assert_nothing_left(queue_name)


def test_worker_pool_answers_every_job_once(queue_name):
    names = (queue_name + "_jobs", queue_name + "_results")
    try:
        out = python_example("worker_pool.py", "--name", queue_name, "--workers", 3, "--jobs", 60)
        assert "parent: 3 workers connected" in out
        assert "parent: 60 of 60 jobs answered, 0 wrong" in out
        per_worker = re.search(r"parent: jobs per worker: ([\d, ]+)", out)
        assert per_worker, out
        counts = [int(c) for c in per_worker[1].split(",")]
        assert len(counts) == 3 and sum(counts) == 60
        assert_nothing_left(*names)
    finally:
        for name in names:
            remove_queue_objects(name)


def _descendants(pid):
    """Every process below `pid`, read from /proc."""
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        try:
            with open(f"/proc/{parent}/task/{parent}/children") as f:
                children = [int(c) for c in f.read().split()]
        except FileNotFoundError:
            continue
        found += children
        todo += children
    return found


def test_worker_pool_workers_leave_when_the_parent_is_killed(queue_name):
    # Enough jobs that the pool is still busy when the parent dies.
    names = (queue_name + "_jobs", queue_name + "_results")
    command = [sys.executable, str(EXAMPLES / "worker_pool.py"), "--name", queue_name,
               "--workers", "2", "--jobs", "20000"]
    parent = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    workers = []
    try:
        line = parent.stdout.readline()  # bounded by the test watchdog
        assert line.startswith("parent: 2 workers connected"), line + parent.stderr.read()
        workers = [p for p in _descendants(parent.pid) if _process_state(p) not in (None, "Z")]
        assert len(workers) >= 2, workers  # the workers, maybe a resource tracker as well
        parent.send_signal(signal.SIGKILL)
        parent.wait()

        # No signal reaches the workers: their timed reads see the parent gone.
        deadline = time.monotonic() + EXAMPLE_TIMEOUT
        while any(_process_state(p) not in (None, "Z") for p in workers) and time.monotonic() < deadline:
            time.sleep(0.05)
        alive = [p for p in workers if _process_state(p) not in (None, "Z")]
        assert not alive, f"still running {EXAMPLE_TIMEOUT} s after their parent was killed: {alive}"
        # The last handle dropped took the queues' names along.
        assert_nothing_left(*names)
    finally:
        for p in [parent.pid] + workers:
            if _process_state(p) not in (None, "Z"):
                os.kill(p, signal.SIGKILL)
        parent.wait()
        parent.stdout.close()
        parent.stderr.close()
        for name in names:
            remove_queue_objects(name)


def test_stream_arrays_arrive_equal(queue_name):
    # 300000 doubles are 2.4 MB, far more than one channel's 128 KiB ring.
    out = python_example("stream_arrays.py", "--name", queue_name, "--arrays", 3, "--length", 300_000)
    lines = re.findall(r"reader: array (\d+): (\d+) values, [\d.]+ MB, (\w+)", out)
    assert lines == [(str(n), "300000", "equal") for n in range(3)], out
    assert "writer: sent 3 arrays of 300000 values" in out
    assert_nothing_left(queue_name)


def test_cpp_producer_consumer(queue_name):
    if not CPP_EXAMPLE.exists():
        pytest.skip(f"{CPP_EXAMPLE} is not built (make build-cpp builds it)")
    out = run_example([str(CPP_EXAMPLE), queue_name, "500"])
    assert "producer: sent 500 messages" in out
    assert "consumer: received 500 messages in order" in out
    assert_nothing_left(queue_name)
