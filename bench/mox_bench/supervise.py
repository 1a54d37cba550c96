"""Running children so that no system can stop the benchmark.

Two layers. Inside a measurement, Watch breaks the parent's blocking wait
when a child dies or time runs out, so the measurement fails and cleans up.
Around it, Helper runs each Python measurement in a process of its own
process group; a measurement that outlives its limit anyway (a wait that
signals do not break, a crash in a peer's extension) is killed together with
every process it started, the names it made are swept up, and the next
measurement gets a fresh helper.
"""
import glob
import multiprocessing as mp
import os
import signal
import sys
import threading
import time

from .systems import SHM_DIR


class ChildFailed(Exception):
    """A child, or the measurement in the helper, failed; the text says how."""


def describe(error):
    """An exception as a report line: a ChildFailed by its text, any other
    by its repr, which names its type."""
    return str(error) if isinstance(error, ChildFailed) else repr(error)


def sweep_shm(pattern):
    """Removes shared-memory objects, semaphores and socket files matching
    `pattern` (no leading slash); returns the names that were left behind."""
    left = sorted(glob.glob(os.path.join(SHM_DIR, pattern)) + glob.glob(os.path.join(SHM_DIR, "sem." + pattern)))
    for path in left:
        try:
            os.unlink(path)
        except OSError:
            pass
    return [os.path.basename(p) for p in left]


def warn_left(where, left):
    if left:
        print(f"  warning: {where} left in {SHM_DIR}, removed: {', '.join(left)}", file=sys.stderr)


def _raise_child_failed(signum, frame):
    raise ChildFailed("a child process failed")


def _raise_timeout(signum, frame):
    raise TimeoutError("run took too long")


class Watch:
    """While the parent runs: if a child dies, or time runs out, break the
    parent's blocking wait with a signal so the run fails instead of hanging.
    The queue waits give the interpreter lock up, so this thread can run."""

    def __init__(self, children, timeout):
        self.children, self.timeout, self.done = children, timeout, threading.Event()

    def __enter__(self):
        self.old_usr1 = signal.signal(signal.SIGUSR1, _raise_child_failed)
        self.old_alrm = signal.signal(signal.SIGALRM, _raise_timeout)
        signal.alarm(self.timeout)
        self.main = threading.main_thread().ident
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()
        return self

    def _watch(self):
        while not self.done.wait(0.05):
            for child in self.children:
                code = child.exitcode
                if code is not None and code != 0:
                    signal.pthread_kill(self.main, signal.SIGUSR1)
                    return

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        signal.alarm(0)
        signal.signal(signal.SIGUSR1, self.old_usr1)
        signal.signal(signal.SIGALRM, self.old_alrm)
        return False


def finish(children, timeout):
    """Joins the started children; kills those still running `timeout`
    seconds from now."""
    children = [c for c in children if c.pid is not None]
    deadline = time.monotonic() + timeout
    for child in children:
        child.join(max(0.0, deadline - time.monotonic()))
    for child in children:
        if child.is_alive():
            child.kill()
            child.join()


def _serve(conn):
    """Helper process: runs (function, args) requests until told to stop.
    Its own process group holds every process a measurement starts."""
    os.setpgid(0, 0)
    while True:
        request = conn.recv()
        if request is None:
            return
        function, args = request
        try:
            conn.send(("ok", function(*args)))
        except Exception as e:  # reported to the parent; the helper serves on
            conn.send(("error", describe(e)))


class Helper:
    """Runs measurements one at a time in a helper process. call() returns
    the function's result, or raises ChildFailed with the error it raised or
    TimeoutError once `limit` seconds have passed; the helper and everything
    it started are then killed and the next call starts a new one."""

    def __init__(self):
        self.ctx = mp.get_context("spawn")
        self.process = self.conn = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def call(self, function, args, limit):
        if self.process is None:
            self.conn, theirs = self.ctx.Pipe()
            self.process = self.ctx.Process(target=_serve, args=(theirs,), name="bench-helper")
            self.process.start()
            theirs.close()
        try:
            self.conn.send((function, args))
        except OSError:  # the helper died after its last answer
            code = self.kill()
            raise ChildFailed(f"the helper process died (exit code {code})") from None
        if not self.conn.poll(limit):
            self.kill()
            raise TimeoutError(f"no result within {limit} s; the measurement was killed with its processes")
        try:
            status, value = self.conn.recv()
        except EOFError:
            code = self.kill()
            raise ChildFailed(f"the helper process died (exit code {code})") from None
        if status != "ok":
            raise ChildFailed(value)
        return value

    def kill(self):
        """Kills the helper's process group; returns the helper's exit code."""
        pid = self.process.pid
        try:
            os.killpg(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):  # not yet its own group leader
            self.process.kill()
        self.process.join()
        code = self.process.exitcode
        self.conn.close()
        self.process = self.conn = None
        warn_left("a killed measurement", sweep_shm(f"mox_bench_py_{pid}_*"))
        return code

    def close(self):
        if self.process is None:
            return
        try:
            self.conn.send(None)
        except OSError:
            pass
        self.process.join(10)
        if self.process.is_alive():
            self.kill()
            return
        pid = self.process.pid
        self.conn.close()
        self.process = self.conn = None
        warn_left("the helper process", sweep_shm(f"mox_bench_py_{pid}_*"))
