"""Shared fixtures of the Python tests: unique queue names removed after each test (pass or fail), children
in other processes with bounded waits (one alive at the bound is deadlocked: killed, test failed), raw segments."""

import itertools
import multiprocessing
import os
import pathlib
import signal
import sys
import time
import traceback

import pytest

# Fewer helper threads in this process keep fork() clean once numpy is loaded.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

SHM_DIR = "/dev/shm"
NAME_PREFIX = f"/mox_py_{os.getpid()}_"
_counter = itertools.count(1)  # numbers the names after NAME_PREFIX
# Every semaphore suffix a queue kind may use; channels are numbered below 64.
SEMAPHORE_SUFFIXES = ["_filled_", "_free_", "_free_mutex_", "_filled_mutex_", "_used_", "_used_mutex_"]
SEMAPHORE_SUFFIXES += [f"_{role}_channel_{n}" for role in ("free", "filled") for n in range(64)]
CHILD_TIMEOUT = 15.0  # a child still running then is deadlocked
TEST_WATCHDOG_SECONDS = 30  # a wait that never ends fails its test instead of hanging the run
EXIT_RETURNED, EXIT_RAISED, EXIT_KEYBOARD_INTERRUPT = 0, 1, 130


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


def semaphore_path(name, suffix):
    return os.path.join(SHM_DIR, "sem." + name.lstrip("/") + suffix)


def existing_objects(name):
    return [p for p in [shm_path(name)] + [semaphore_path(name, s) for s in SEMAPHORE_SUFFIXES] if os.path.lexists(p)]


def remove_queue_objects(name):
    for path in existing_objects(name):
        pathlib.Path(path).unlink(missing_ok=True)


@pytest.fixture
def make_queue_name():
    """Factory of unique names "/mox_py_<pid>_<n>", all removed after the test."""
    made = []  # each removed first too: an earlier run with this pid may have left it
    yield lambda: made.append(f"{NAME_PREFIX}{next(_counter)}") or remove_queue_objects(made[-1]) or made[-1]
    for name in made:
        remove_queue_objects(name)


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


def segment_bytes(name):
    return pathlib.Path(shm_path(name)).read_bytes()


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


_child_conn = None  # inside a child: the pipe back to the test


def notify_parent(tag):  # inside a child: tells the test that `tag` was reached
    _child_conn.send(("note", tag))


def _child_entry(conn, target, args):
    global _child_conn
    _child_conn = conn
    # A forked child inherits the test's handlers; give it the interpreter's own.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    try:
        conn.send(("returned", target(*args)))
        code = EXIT_RETURNED
    except BaseException as exc:  # reported to the test, whatever it is
        conn.send(("raised", type(exc).__name__, str(exc), traceback.format_exc()))
        code = EXIT_KEYBOARD_INTERRUPT if isinstance(exc, KeyboardInterrupt) else EXIT_RAISED
    conn.close()
    sys.exit(code)


class ChildOutcome:
    def __init__(self, exitcode, report):
        self.exitcode, self.kind = exitcode, report[0] if report else None
        self.value = report[1] if self.kind == "returned" else None
        self.exc_type, self.message, self.traceback = report[1:] if self.kind == "raised" else (None,) * 3

    def describe(self):
        if self.kind == "raised":
            return f"child raised {self.exc_type}: {self.message}\n{self.traceback}"
        if self.exitcode is not None and self.exitcode < 0:
            return f"child killed by signal {-self.exitcode} ({signal.Signals(-self.exitcode).name})"
        return f"child exit code {self.exitcode}, report {self.kind!r}"


class Child:
    """A function running in another process, with a pipe back to the test."""

    def __init__(self, target, args, method="fork"):
        ctx = multiprocessing.get_context(method)
        self._recv, send = ctx.Pipe(duplex=False)
        self.process = ctx.Process(target=_child_entry, args=(send, target, args), daemon=True)
        self.process.start()
        send.close()
        self.pid, self._notes, self._report = self.process.pid, [], None

    def is_alive(self):
        return self.process.is_alive()

    def kill(self):
        self.process.kill()  # nothing if it has ended
        self.process.join(5)

    def close(self):
        self.kill()
        self._recv.close()

    def _receive(self, done, deadline):  # True once done(); False if the child reported or time ran out first
        while not done():
            if self._report is not None or not self._recv.poll(max(deadline - time.monotonic(), 0)):
                return False
            try:
                msg = self._recv.recv()
            except EOFError:  # the child ended without a report
                msg = ("ended",)
            if msg[0] == "note":
                self._notes.append(msg[1])
            else:
                self._report = msg
        return True

    def wait_for(self, tag, timeout=CHILD_TIMEOUT):  # until the child called notify_parent(tag)
        if not self._receive(lambda: tag in self._notes, time.monotonic() + timeout):
            if self._report is not None:
                pytest.fail(f"child ended before reaching {tag!r}: {self.finish(timeout=2).describe()}")
            self.kill()
            pytest.fail(f"child never reached {tag!r} within {timeout} s (killed)")

    def assert_blocked(self, settle=0.3, timeout=5.0):  # asleep in a wait, not finished
        deadline = time.monotonic() + timeout
        while _process_state(self.pid) not in ("S", "D") and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(settle)
        self._receive(lambda: False, 0)  # takes in what is there
        assert self._report is None, "child finished but should block: " + ChildOutcome(None, self._report).describe()
        assert self.is_alive(), "child exited although it should block"
        assert mostly_asleep(self.pid), "child is running although it should block"

    def finish(self, timeout=CHILD_TIMEOUT):  # a child still alive at the bound is a deadlock
        deadline = time.monotonic() + timeout
        self._receive(lambda: self._report is not None, deadline)
        self.process.join(max(deadline - time.monotonic(), 0.5))
        if self.process.is_alive():
            self.kill()
            pytest.fail(f"child process {self.pid} still running after {timeout} s: deadlock (killed)")
        return ChildOutcome(self.process.exitcode, self._report)

    def result(self, timeout=CHILD_TIMEOUT):  # the return value; raising or crashing fails the test
        outcome = self.finish(timeout)
        if outcome.kind != "returned" or outcome.exitcode != EXIT_RETURNED:
            pytest.fail(outcome.describe())
        return outcome.value


def _process_state(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None


def mostly_asleep(pid, window=0.1):
    """A blocked wait wakes briefly every 200 ms, so "blocked" is asleep in most samples of a window."""
    samples, end = [], time.monotonic() + window
    while time.monotonic() < end:
        samples.append(_process_state(pid) in ("S", "D"))
        time.sleep(0.005)
    return sum(samples) >= 0.8 * len(samples)


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
