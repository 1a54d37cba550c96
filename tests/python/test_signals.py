"""Signals during blocking calls, every class. A handler that returns lets the call go on with the time it has
left (PEP 475); one that raises (Ctrl-C) ends it, and the call has then done nothing: the message is still there,
or was never published. Inside an MPMCVarQueue message neither is possible once cells have crossed: the message
is abandoned, nobody receives it and the other side is told. A daemon thread in a wait at interpreter shutdown
ends quietly. (A storm of such signals during traffic: test_traffic.py.)"""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from helpers import EXIT_KEYBOARD_INTERRUPT, Semaphores, named, notify_parent

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

CELL, CHANNELS = 16, 3  # MPMCVar: three channels of two cells of 16 bytes
LONG_MS = 600_000  # a timed read that would outlive the test
KINDS = {"spsc": (SPSCQueue, (1, 64, True)), "mpmc": (MPMCQueue, (1, 64)), "var": (MPMCVarQueue, (CHANNELS, 2, CELL))}
ABANDONED_BY_WRITER, ABANDONED_BY_READER = "message abandoned by its writer", "message abandoned by its reader"


def _block(kind, name, before, call, handler=None):
    """Connects, installs `handler` for SIGUSR1, SIGCHLD and SIGTERM, runs `before`, says where it is and makes
    the call that waits; returns its result and the signals the handler saw."""
    seen = []
    if handler == "records":
        for sig in (signal.SIGUSR1, signal.SIGCHLD, signal.SIGTERM):
            signal.signal(sig, lambda signum, frame: seen.append(signum))
    q = KINDS[kind][0](name)
    if before:
        before(q)
    notify_parent("blocking")
    result = call(q)
    return (result, seen) if handler else result


def _interrupt(child, sig=signal.SIGINT):
    child.wait_for("blocking")
    child.assert_blocked()
    os.kill(child.pid, sig)


def _assert_interrupted(child):
    outcome = child.finish(timeout=5)
    assert (outcome.exc_type, outcome.exitcode) == ("KeyboardInterrupt", EXIT_KEYBOARD_INTERRUPT), outcome.describe()


def _fill_channels(q):
    for n in range(CHANNELS):
        q.write(b"m%d" % n)


# ------------------------------------------- a handler that raises: Ctrl-C ---


READS = {"read": lambda q: q.read(), "read-typed": lambda q: q.read(QDataType.String),
         "read-timed": lambda q: q.read(QDataType.IntArray, LONG_MS)}
# Every write overload, once the one cell of a fixed-cell queue is taken.
WRITES = {"bytes": b"y", "str": "does not fit", "int": 8, "float": 1.5, "int-array": np.arange(3, dtype=np.int64),
          "float-array": np.ones(4)}
NOTHING_HELD = [
    *(pytest.param(kind, None, None, call, id=f"{kind}-{n}") for kind in KINDS for n, call in READS.items()),
    *(pytest.param(kind, None, lambda q: q.write(b"x"), lambda q, v=v: q.write(v), id=f"{kind}-write-{n}-full")
      for kind in ("spsc", "mpmc") for n, v in WRITES.items()),
    pytest.param("var", _fill_channels, None, lambda q: q.write("needs a channel"), id="var-write-for-channel"),
    pytest.param("var", _fill_channels, None, lambda q: q.partial_write(7), id="var-partial-write-for-channel"),
]


@pytest.mark.parametrize("kind, setup, before, call", NOTHING_HELD)
def test_sigint_ends_a_call_waiting_with_nothing_held(kind, setup, before, call, queue_name, start_child):
    # Waiting for a message, for a free cell or for a free channel: the queue is as it was.
    cls, args = KINDS[kind]
    q = cls(queue_name, *args)
    if setup:
        setup(q)
    child = start_child(_block, kind, queue_name, before, call)
    _interrupt(child)
    _assert_interrupted(child)
    assert q.inspect()["findings"] == []


def _start_two_cells(q):
    q.partial_write(bytes(range(2 * CELL)))  # fills the ring; the message's end needs a third cell


def _complete_after_interrupt(q):
    try:
        q.partial_write_complete()
    except KeyboardInterrupt:
        pass
    try:  # the message was given up: it is no longer this object's to end
        q.partial_write_complete()
    except IPCQueueError as exc:
        return str(exc)
    return "ended"


@pytest.mark.parametrize("before, call, again", [
    (None, lambda q: q.write(bytes(5 * CELL)), False),  # the ring holds two cells and nobody reads
    (None, lambda q: q.partial_write(np.zeros(10)), False),  # 80 bytes: waits for a third cell
    (_start_two_cells, lambda q: q.partial_write_complete(), False),
    (_start_two_cells, _complete_after_interrupt, True),
], ids=["write", "partial-write", "complete", "complete-called-again"])
def test_sigint_inside_a_message_abandons_it_for_its_reader(queue_name, start_child, before, call, again):
    q = MPMCVarQueue(queue_name, CHANNELS, 2, CELL)
    child = start_child(_block, "var", queue_name, before, call)
    _interrupt(child)
    if again:
        expected = named("MPMCVarQueue.partial_write_complete: no partial message under way", queue_name)
        assert child.result() == expected
    else:
        _assert_interrupted(child)
    with pytest.raises(IPCQueueError) as info:  # never the cells that crossed, as if whole
        q.read(QDataType.Bytes, 5000)
    assert str(info.value) == named(ABANDONED_BY_WRITER, queue_name)
    assert q.inspect()["findings"] == []
    q.write(b"next")
    assert q.read(QDataType.Bytes, 5000) == b"next"


def test_sigint_inside_a_message_abandons_it_for_its_writer(queue_name, start_child):
    # The reader holds the channel: the writer handed over one full cell and keeps 8 bytes.
    q = MPMCVarQueue(queue_name, CHANNELS, 2, CELL)
    q.partial_write(bytes(CELL + 8))
    child = start_child(_block, "var", queue_name, None, lambda q: q.read())
    _interrupt(child)
    _assert_interrupted(child)
    with pytest.raises(IPCQueueError) as info:
        q.partial_write_complete()
    assert str(info.value) == named(ABANDONED_BY_READER, queue_name)
    assert q.inspect()["findings"] == []
    q.write(b"next")
    assert q.read(QDataType.Bytes, 5000) == b"next"


def _wait_with_sigint_caught_elsewhere(name):
    # The kernel hands SIGINT to the thread that does not block it; the wait
    # in this thread is not broken by it and has to notice it all the same.
    threading.Thread(target=time.sleep, args=(30,), daemon=True).start()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    return _block("mpmc", name, None, lambda q: q.read())


def test_sigint_caught_by_another_thread_ends_the_wait(queue_name, start_child):
    q = MPMCQueue(queue_name, 1, 64)
    child = start_child(_wait_with_sigint_caught_elsewhere, queue_name)
    _interrupt(child)
    _assert_interrupted(child)
    del q


# A list lock held by another process (this test) while the call waits for it: after taking a count (the call
# gives it back), or holding a cell to publish or give back (the call takes the operation back).
LOCK_WAITS = [
    ("mpmc", "read", "_filled_mutex_"), ("mpmc", "read", "_free_mutex_"),
    ("mpmc", "write", "_free_mutex_"), ("mpmc", "write", "_filled_mutex_"),
    ("var", "read", "_used_mutex_"), ("var", "write", "_used_mutex_"),
]


@pytest.mark.parametrize("kind, op, lock", LOCK_WAITS)
def test_sigint_in_a_list_lock_wait_leaves_the_call_undone(kind, op, lock, queue_name, start_child):
    cls, args = KINDS[kind]
    q = cls(queue_name, *args)
    if op == "read":
        q.write(b"kept")
    sems = Semaphores()
    sem = sems.hold(queue_name + lock)
    try:
        call = (lambda q: q.read()) if op == "read" else (lambda q: q.write(b"never published"))
        child = start_child(_block, kind, queue_name, None, call)
        _interrupt(child)
        time.sleep(0.3)  # an undo waits for the lock too: it must outlast the holder
    finally:
        sems.release(sem)
    _assert_interrupted(child)
    assert q.read(QDataType.Bytes, 2000 if op == "read" else 100) == (b"kept" if op == "read" else None)
    assert q.inspect()["findings"] == []


# ---------------------------------------------- a handler that returns ---


def _message_in_two_steps(q):
    # Ring of two 16-byte cells: one cell crosses, the writer pauses inside the message, then 40 bytes more.
    q.partial_write(bytes(range(CELL)))


RETURNING = [  # kind, test's setup, child's call, what lets the call finish, what it returns
    ("spsc", None, lambda q: q.read(), lambda q: q.write(b"late"), b"late"),
    ("mpmc", None, lambda q: q.read(QDataType.Int), lambda q: q.write(42), 42),
    ("var", None, lambda q: q.read(QDataType.String), lambda q: q.write("late"), "late"),
    ("spsc", None, lambda q: q.read(QDataType.Bytes, 3000), None, None),  # the time left runs out: None
    ("mpmc", lambda q: q.write(b"x"), lambda q: q.write(b"room"), lambda q: q.read(), None),
    ("var", _message_in_two_steps, lambda q: q.read(),
     lambda q: (q.partial_write(bytes(40)), q.partial_write_complete()), bytes(range(CELL)) + bytes(40)),
    ("var", None, lambda q: q.write(bytes(range(100))), lambda q: q.read(), None),
]


@pytest.mark.parametrize("kind, setup, call, release, expected", RETURNING,
                         ids=["spsc-read", "mpmc-read", "var-read", "spsc-read-timed", "mpmc-write-full",
                              "var-read-inside-message", "var-write-inside-message"])
def test_signals_whose_handlers_return_let_the_call_go_on(kind, setup, call, release, expected, queue_name,
                                                          start_child):
    # SIGUSR1, SIGCHLD and a SIGTERM handler that only notes it (the usual shutdown flag), each twice.
    cls, args = KINDS[kind]
    q = cls(queue_name, *args)
    if setup:
        setup(q)
    child = start_child(_block, kind, queue_name, None, call, "records")
    child.wait_for("blocking")
    sent = [signal.SIGUSR1, signal.SIGCHLD, signal.SIGTERM] * 2
    for sig in sent:
        child.assert_blocked(settle=0.05)
        os.kill(child.pid, sig)
    got_back = release(q) if release else None
    result, seen = child.result()
    assert sorted(seen) == sorted(sent)
    if kind == "mpmc" and release is not None and expected is None:  # the write went in after the read made room
        assert q.read(QDataType.Bytes, 2000) == b"room" and got_back == b"x"
    elif kind == "var" and expected is None:
        assert got_back == bytes(range(100))
    else:
        assert result == expected if not isinstance(expected, bytes) else bytes(result) == expected


# ------------------------------------------------- interpreter shutdown ---


SHUTDOWN_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    from mox_ipc_queue import MPMCQueue
    q = MPMCQueue(sys.argv[1])
    threading.Thread(target=q.read, daemon=True).start()  # takes the message, then waits to give its cell back
    time.sleep(0.5)

    class Slow:  # cleared with the module's globals once the interpreter is finalizing
        def __del__(self):
            print("finalizing", flush=True)
            time.sleep(1.0)  # the lock comes free meanwhile: the daemon thread wakes and is ended

    slow = Slow()
    print("exiting", flush=True)
""")


def test_daemon_thread_in_a_wait_at_interpreter_shutdown(queue_name):
    q = MPMCQueue(queue_name, 2, 16)
    q.write(b"m")
    sems = Semaphores()
    sem = sems.hold(queue_name + "_free_mutex_")
    released = False
    try:
        proc = subprocess.Popen([sys.executable, "-c", SHUTDOWN_SCRIPT, queue_name], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        assert proc.stdout.readline() == "exiting\n"
        assert proc.stdout.readline() == "finalizing\n"
        sems.release(sem)
        released = True
        _, err = proc.communicate(timeout=15)
    finally:
        if not released:
            sems.release(sem)
    assert proc.returncode == 0, err
