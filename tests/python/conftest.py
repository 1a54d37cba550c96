"""Fixtures: unique queue names removed after each test (pass or fail), a watchdog that fails a test blocked
for good, children in other processes (killed after the test), every queue kind. Shared code: helpers.py."""

import itertools
import os
import re
import signal

# Fewer helper threads in this process keep fork() clean: set before helpers.py loads numpy.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import mox_ipc_queue  # noqa: E402
import pytest  # noqa: E402
from helpers import CHILD_TIMEOUT, KINDS, SHM_DIR, TRAFFIC_SCALE, Child, remove_objects  # noqa: E402

NAME_PREFIX = f"/mox_py_{os.getpid()}_"
_counter = itertools.count(1)  # numbers the names after NAME_PREFIX
TEST_WATCHDOG_SECONDS = 30 * TRAFFIC_SCALE  # a wait that never ends fails its test instead of hanging the run


@pytest.fixture
def make_queue_name():
    """Factory of unique names "/mox_py_<pid>_<n>"; after the test every object named from one goes (an
    example's "<name>_jobs" too)."""
    made = []  # each removed first too: an earlier run with this pid may have left it
    yield lambda: made.append(f"{NAME_PREFIX}{next(_counter)}") or mox_ipc_queue.remove(made[-1]) or made[-1]
    for name in made:
        remove_objects(rf"{re.escape(name[1:])}(_|$|\.owners$)")


@pytest.fixture
def queue_name(make_queue_name):
    return make_queue_name()


@pytest.fixture(params=list(KINDS))
def kind(request):  # every queue class, unless a test parametrizes "kind" itself
    return request.param


@pytest.fixture(scope="session", autouse=True)
def _nothing_left_in_shm():
    yield
    left = remove_objects(re.escape(NAME_PREFIX[1:]))
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
