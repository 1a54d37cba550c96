"""Fixtures of the Python tests: unique queue names removed after each test (pass or fail), a watchdog
that fails a test blocked for good, children in other processes (killed after the test), raw segments.
What the tests share besides fixtures is in helpers.py."""

import itertools
import os
import pathlib
import signal

import pytest
from helpers import CHILD_TIMEOUT, SHM_DIR, Child, shm_path

import mox_ipc_queue

# Fewer helper threads in this process keep fork() clean once numpy is loaded.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

NAME_PREFIX = f"/mox_py_{os.getpid()}_"
_counter = itertools.count(1)  # numbers the names after NAME_PREFIX
TEST_WATCHDOG_SECONDS = 30  # a wait that never ends fails its test instead of hanging the run


@pytest.fixture
def make_queue_name():
    """Factory of unique names "/mox_py_<pid>_<n>", all removed after the test."""
    made = []  # each removed first too: an earlier run with this pid may have left it
    yield lambda: made.append(f"{NAME_PREFIX}{next(_counter)}") or mox_ipc_queue.remove(made[-1]) or made[-1]
    for name in made:
        mox_ipc_queue.remove(name)


@pytest.fixture
def queue_name(make_queue_name):
    return make_queue_name()


@pytest.fixture(scope="session", autouse=True)
def _nothing_left_in_shm():
    yield
    left = sorted(e for e in os.listdir(SHM_DIR) if e.removeprefix("sem.").startswith(NAME_PREFIX.lstrip("/")))
    for entry in left:
        pathlib.Path(SHM_DIR, entry).unlink(missing_ok=True)
    assert not left, f"objects left in {SHM_DIR}: {left}"


class _WatchdogExpired(Exception):
    """Raised by SIGALRM after TEST_WATCHDOG_SECONDS: it breaks a blocked wait and fails the test."""


@pytest.fixture(autouse=True)
def _watchdog():
    def expire(signum, frame):
        raise _WatchdogExpired(f"test still running after {TEST_WATCHDOG_SECONDS} s: blocked wait?")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(TEST_WATCHDOG_SECONDS)
    yield  # pytest comes back here whatever the test's outcome
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


class RawSegment:
    """Reads a segment opened by name, also after the name is removed (an SPSC connect does that)."""

    def __init__(self, name):
        self.fd = os.open(shm_path(name), os.O_RDONLY)

    def read(self, offset=0, length=None):
        return os.pread(self.fd, os.fstat(self.fd).st_size - offset if length is None else length, offset)

    def u32(self, offset):
        return int.from_bytes(self.read(offset, 4), "little")

    def u64(self, offset):
        return int.from_bytes(self.read(offset, 8), "little")


@pytest.fixture
def open_segment():
    """open_segment(name) -> RawSegment, closed after the test."""
    opened = []
    yield lambda name: opened.append(RawSegment(name)) or opened[-1]
    for seg in opened:
        os.close(seg.fd)


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
