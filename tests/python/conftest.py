"""Fixtures: unique queue names removed after each test (pass or fail), a watchdog that fails a test blocked
for good, children in other processes (killed after the test), raw segments. Shared code: helpers.py."""

import itertools
import os
import pathlib
import re
import signal

# Fewer helper threads in this process keep fork() clean: set before helpers.py loads numpy.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import mox_ipc_queue  # noqa: E402
import pytest  # noqa: E402
from helpers import CHILD_TIMEOUT, SHM_DIR, TRAFFIC_SCALE, Child, shm_path  # noqa: E402

NAME_PREFIX = f"/mox_py_{os.getpid()}_"
_counter = itertools.count(1)  # numbers the names after NAME_PREFIX
TEST_WATCHDOG_SECONDS = 30 * TRAFFIC_SCALE  # a wait that never ends fails its test instead of hanging the run


def _remove_objects(pattern):  # the objects in /dev/shm whose names (without "sem.") match; returns them
    left = sorted(e for e in os.listdir(SHM_DIR) if re.match(pattern, e.removeprefix("sem.")))
    for entry in left:
        pathlib.Path(SHM_DIR, entry).unlink(missing_ok=True)
    return left


@pytest.fixture
def make_queue_name():
    """Factory of unique names "/mox_py_<pid>_<n>"; after the test every object named from one goes (an
    example's "<name>_jobs" too)."""
    made = []  # each removed first too: an earlier run with this pid may have left it
    yield lambda: made.append(f"{NAME_PREFIX}{next(_counter)}") or mox_ipc_queue.remove(made[-1]) or made[-1]
    for name in made:
        _remove_objects(rf"{re.escape(name[1:])}(_|$|\.owners$)")


@pytest.fixture
def queue_name(make_queue_name):
    return make_queue_name()


@pytest.fixture(scope="session", autouse=True)
def _nothing_left_in_shm():
    yield
    left = _remove_objects(re.escape(NAME_PREFIX[1:]))
    assert not left, f"objects left in {SHM_DIR}: {left}"


@pytest.fixture(autouse=True)
def _watchdog():
    def expire(signum, frame):  # raised in the test's thread: it breaks a blocked wait and fails the test
        pytest.fail(f"test still running after {TEST_WATCHDOG_SECONDS} s: blocked wait?")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(TEST_WATCHDOG_SECONDS)
    yield  # pytest comes back here whatever the test's outcome
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


@pytest.fixture
def open_segment():
    """open_segment(name) -> read(): the segment's bytes, also after its names are gone (an SPSC connect)."""
    fds = []
    yield lambda name: fds.append(os.open(shm_path(name), os.O_RDONLY)) or (
        lambda fd=fds[-1]: os.pread(fd, os.fstat(fd).st_size, 0))
    for fd in fds:
        os.close(fd)


@pytest.fixture
def start_child():
    """start_child(func, *args, method="fork") -> Child, killed after the test; "spawn" pickles func by name."""
    children = []
    yield lambda target, *args, method="fork": children.append(Child(target, args, method)) or children[-1]
    for child in children:
        child.close()


@pytest.fixture
def run_in_child(start_child):
    """func's result, computed in another process; raising, crashing or deadlocking fails the test."""
    return lambda target, *args, method="fork", timeout=CHILD_TIMEOUT: (
        start_child(target, *args, method=method).result(timeout))
