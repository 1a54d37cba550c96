"""Shared fixtures and helpers for the mox_ipc_queue Python tests.

- queue_name / make_queue_name: unique names that carry this process id; the
  segment and every semaphore a queue of any kind may own under the name are
  removed after the test, pass or fail.
- start_child / run_in_child: run a module-level function in another process
  (multiprocessing "fork" or "spawn") with a bounded wait; a child that is
  still alive at the bound is treated as a deadlock, killed, and the test fails.
- notify_parent: called inside a child to tell the test it reached a point.
- segment_bytes / open_segment: the raw bytes of a queue's segment by name.
"""

import itertools
import multiprocessing
import os
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

# Every semaphore suffix a queue kind may use; channel semaphores add n < 64.
SEMAPHORE_SUFFIXES = (
    ["_filled_", "_free_", "_free_mutex_", "_filled_mutex_", "_used_", "_used_mutex_"]
    + [f"_free_channel_{n}" for n in range(64)]
    + [f"_filled_channel_{n}" for n in range(64)]
)

# Bound on any child process; beyond it the child counts as deadlocked.
CHILD_TIMEOUT = 15.0
# Bound on a whole test in this process, so a wait that never ends fails the
# test instead of hanging the run.
TEST_WATCHDOG_SECONDS = 30

EXIT_RETURNED = 0
EXIT_RAISED = 1
EXIT_KEYBOARD_INTERRUPT = 130

_counter = itertools.count(1)


# ---------------------------------------------------------------- names ---


def shm_path(name):
    """Path of a queue's shared-memory segment."""
    return os.path.join(SHM_DIR, name.lstrip("/"))


def semaphore_path(name, suffix):
    """Path of one named semaphore of a queue."""
    return os.path.join(SHM_DIR, "sem." + name.lstrip("/") + suffix)


def existing_objects(name):
    """The segment and semaphore paths that currently exist for `name`."""
    paths = [shm_path(name)] + [semaphore_path(name, s) for s in SEMAPHORE_SUFFIXES]
    return [p for p in paths if os.path.lexists(p)]


def remove_queue_objects(name):
    """Removes whatever a queue of any kind may have left under `name`."""
    for path in existing_objects(name):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _leftovers():
    stem = NAME_PREFIX.lstrip("/")
    return sorted(e for e in os.listdir(SHM_DIR) if e.startswith(stem) or e.startswith("sem." + stem))


@pytest.fixture
def make_queue_name():
    """Factory of unique queue names; all of them are cleaned up after the test."""
    made = []

    def make():
        name = f"{NAME_PREFIX}{next(_counter)}"
        remove_queue_objects(name)
        made.append(name)
        return name

    yield make
    for name in made:
        remove_queue_objects(name)


@pytest.fixture
def queue_name(make_queue_name):
    """A unique queue name, e.g. "/mox_py_<pid>_<n>", removed after the test."""
    return make_queue_name()


@pytest.fixture(scope="session", autouse=True)
def _nothing_left_in_shm():
    yield
    left = _leftovers()
    for entry in left:
        try:
            os.unlink(os.path.join(SHM_DIR, entry))
        except FileNotFoundError:
            pass
    assert not left, f"objects left in {SHM_DIR}: {left}"


class _WatchdogExpired(Exception):
    pass


@pytest.fixture(autouse=True)
def _watchdog():
    # A blocked wait is broken by the signal; the handler's exception fails the test.
    def expire(signum, frame):
        raise _WatchdogExpired(f"test still running after {TEST_WATCHDOG_SECONDS} s: blocked wait?")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(TEST_WATCHDOG_SECONDS)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


# ------------------------------------------------------- raw segment view ---


def segment_bytes(name):
    """The raw bytes of the segment named `name` as they are now."""
    with open(shm_path(name), "rb") as f:
        return f.read()


class RawSegment:
    """A descriptor on a segment, opened by name; it keeps reading the same
    object after the name is removed (for example after an SPSC connect)."""

    def __init__(self, name):
        self.fd = os.open(shm_path(name), os.O_RDONLY)

    def read(self, offset=0, length=None):
        if length is None:
            length = os.fstat(self.fd).st_size - offset
        return os.pread(self.fd, length, offset)

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
    """Factory: open_segment(name) -> RawSegment, closed after the test."""
    opened = []

    def open_(name):
        seg = RawSegment(name)
        opened.append(seg)
        return seg

    yield open_
    for seg in opened:
        seg.close()


# -------------------------------------------------------- child processes ---

_child_conn = None  # set inside a child: the pipe back to the test


def notify_parent(tag):
    """Inside a child: tell the test that `tag` was reached."""
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
        self.value = report[1] if report and report[0] == "returned" else None
        self.exc_type = report[1] if report and report[0] == "raised" else None
        self.message = report[2] if report and report[0] == "raised" else None
        self.traceback = report[3] if report and report[0] == "raised" else None

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
        self._notes = []
        self._report = None
        self._eof = False

    def is_alive(self):
        return self.process.is_alive()

    def kill(self):
        if self.process.is_alive():
            self.process.kill()
        self.process.join(5)

    def close(self):
        self.kill()
        self._recv.close()

    def _receive(self, timeout):
        """One message within `timeout`, or None (nothing came, or the pipe closed)."""
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

    def wait_for(self, tag, timeout=CHILD_TIMEOUT):
        """Waits until the child called notify_parent(tag)."""
        deadline = time.monotonic() + timeout
        while tag not in self._notes:
            if self._report is not None or self._eof:
                outcome = self.finish(timeout=2)
                pytest.fail(f"child ended before reaching {tag!r}: {outcome.describe()}")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.kill()
                pytest.fail(f"child never reached {tag!r} within {timeout} s (killed)")
            self._receive(remaining)

    def assert_blocked(self, settle=0.3, timeout=5.0):
        """Asserts that the child is asleep (blocked) and has not finished."""
        deadline = time.monotonic() + timeout
        while _process_state(self.pid) not in ("S", "D") and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(settle)
        self._receive(0)
        assert self._report is None, "child finished although it should block: " + ChildOutcome(
            None, self._report
        ).describe()
        assert self.is_alive(), "child exited although it should block"
        assert _process_state(self.pid) in ("S", "D"), "child is running although it should block"

    def finish(self, timeout=CHILD_TIMEOUT):
        """Bounded wait for the end; a child still alive then is a deadlock."""
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

    def result(self, timeout=CHILD_TIMEOUT):
        """The child's return value; fails the test if it raised or crashed."""
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


@pytest.fixture
def start_child():
    """Factory: start_child(func, *args, method="fork") -> Child. The function
    must be defined at module level (spawn pickles it by name). Children still
    alive after the test are killed."""
    children = []

    def start(target, *args, method="fork"):
        child = Child(target, args, method)
        children.append(child)
        return child

    yield start
    for child in children:
        child.close()


@pytest.fixture
def run_in_child(start_child):
    """run_in_child(func, *args, method="fork", timeout=...) -> func's result,
    computed in another process; raising, crashing or deadlocking fails."""

    def run(target, *args, method="fork", timeout=CHILD_TIMEOUT):
        return start_child(target, *args, method=method).result(timeout)

    return run
