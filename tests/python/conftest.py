"""Shared fixtures of the Python tests: unique queue names removed after each
test (pass or fail), children in other processes with bounded waits (a child
alive at the bound is a deadlock: killed, test failed), raw segment views."""

import contextlib
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
# Every semaphore suffix a queue kind may use; channels are numbered below 64.
SEMAPHORE_SUFFIXES = ["_filled_", "_free_", "_free_mutex_", "_filled_mutex_", "_used_", "_used_mutex_"] + [
    f"_{role}_channel_{n}" for role in ("free", "filled") for n in range(64)
]
CHILD_TIMEOUT = 15.0  # a child still running then is deadlocked
TEST_WATCHDOG_SECONDS = 30  # a wait that never ends fails its test instead of hanging the run

EXIT_RETURNED, EXIT_RAISED, EXIT_KEYBOARD_INTERRUPT = 0, 1, 130

_counter = itertools.count(1)


def shm_path(name):
    return os.path.join(SHM_DIR, name.lstrip("/"))


def semaphore_path(name, suffix):
    return os.path.join(SHM_DIR, "sem." + name.lstrip("/") + suffix)


def existing_objects(name):
    paths = [shm_path(name)] + [semaphore_path(name, s) for s in SEMAPHORE_SUFFIXES]
    return [p for p in paths if os.path.lexists(p)]


def remove_queue_objects(name):
    for path in existing_objects(name):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


@pytest.fixture
def make_queue_name():
    """Factory of unique names "/mox_py_<pid>_<n>", all removed after the test."""
    made = []

    def make():
        made.append(f"{NAME_PREFIX}{next(_counter)}")
        remove_queue_objects(made[-1])
        return made[-1]

    yield make
    for name in made:
        remove_queue_objects(name)


@pytest.fixture
def queue_name(make_queue_name):
    return make_queue_name()


@pytest.fixture(scope="session", autouse=True)
def _nothing_left_in_shm():
    yield
    stem = NAME_PREFIX.lstrip("/")
    left = sorted(e for e in os.listdir(SHM_DIR) if e.startswith(stem) or e.startswith("sem." + stem))
    for entry in left:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(SHM_DIR, entry))
    assert not left, f"objects left in {SHM_DIR}: {left}"


class _WatchdogExpired(Exception):
    """A test ran longer than TEST_WATCHDOG_SECONDS."""


@pytest.fixture(autouse=True)
def _watchdog():
    # SIGALRM breaks a blocked wait; the handler's exception fails the test.
    def expire(signum, frame):
        raise _WatchdogExpired(f"test still running after {TEST_WATCHDOG_SECONDS} s: blocked wait?")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(TEST_WATCHDOG_SECONDS)
    try:
        yield
    finally:
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

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
        self.fd = -1


@pytest.fixture
def open_segment():
    """open_segment(name) -> RawSegment, closed after the test."""
    opened = []
    yield lambda name: opened.append(RawSegment(name)) or opened[-1]
    for seg in opened:
        seg.close()


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
        result = target(*args)
    except BaseException as exc:  # reported to the test, whatever it is
        conn.send(("raised", type(exc).__name__, str(exc), traceback.format_exc()))
        code = EXIT_KEYBOARD_INTERRUPT if isinstance(exc, KeyboardInterrupt) else EXIT_RAISED
    else:
        conn.send(("returned", result))
        code = EXIT_RETURNED
    conn.close()
    sys.exit(code)


class ChildOutcome:
    def __init__(self, exitcode, report):
        self.exitcode = exitcode
        self.kind = report[0] if report else None
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
        self.pid = self.process.pid
        self._notes, self._report, self._eof = [], None, False

    def is_alive(self):
        return self.process.is_alive()

    def kill(self):
        if self.process.is_alive():
            self.process.kill()
        self.process.join(5)

    def close(self):
        self.kill()
        self._recv.close()

    def _receive(self, timeout):  # one message within `timeout`, or None
        if self._report is not None or self._eof or not self._recv.poll(max(timeout, 0)):
            return None
        try:
            msg = self._recv.recv()
        except EOFError:
            self._eof = True
            return None
        if msg[0] == "note":
            self._notes.append(msg[1])
        else:
            self._report = msg
        return msg

    def wait_for(self, tag, timeout=CHILD_TIMEOUT):  # until the child called notify_parent(tag)
        deadline = time.monotonic() + timeout
        while tag not in self._notes:
            if self._report is not None or self._eof:
                pytest.fail(f"child ended before reaching {tag!r}: {self.finish(timeout=2).describe()}")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.kill()
                pytest.fail(f"child never reached {tag!r} within {timeout} s (killed)")
            self._receive(remaining)

    def assert_blocked(self, settle=0.3, timeout=5.0):  # asleep in a wait, not finished
        deadline = time.monotonic() + timeout
        while _process_state(self.pid) not in ("S", "D") and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(settle)
        self._receive(0)
        assert self._report is None, "child finished but should block: " + ChildOutcome(None, self._report).describe()
        assert self.is_alive(), "child exited although it should block"
        assert mostly_asleep(self.pid), "child is running although it should block"

    def finish(self, timeout=CHILD_TIMEOUT):  # a child still alive at the bound is a deadlock
        deadline = time.monotonic() + timeout
        while self._report is None and not self._eof:
            remaining = deadline - time.monotonic()
            if self._receive(remaining) is None and remaining <= 0:
                break
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
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None


def mostly_asleep(pid, window=0.1):
    """A blocked wait wakes briefly every 200 ms to look at its semaphore again,
    so "blocked" is asleep in most of a window's samples, not in one."""
    samples = []
    end = time.monotonic() + window
    while time.monotonic() < end:
        samples.append(_process_state(pid) in ("S", "D"))
        time.sleep(0.005)
    return sum(samples) >= 0.8 * len(samples)


@pytest.fixture
def start_child():
    """start_child(func, *args, method="fork") -> Child, killed after the test if still alive.
    With "spawn", func must be defined at module level: it is pickled by name."""
    children = []

    def start(target, *args, method="fork"):
        children.append(Child(target, args, method))
        return children[-1]

    yield start
    for child in children:
        child.close()


@pytest.fixture
def run_in_child(start_child):
    """func's result, computed in another process; raising, crashing or deadlocking fails the test."""
    return lambda target, *args, method="fork", timeout=CHILD_TIMEOUT: start_child(
        target, *args, method=method
    ).result(timeout)
