"""Ctrl-C (SIGINT to a child blocked in the call) ends every blocking call of every class with
KeyboardInterrupt (exit code 130). A call that waited holding nothing leaves nothing behind; one
that waited inside a message leaves exactly the damage docs/failure_model.md tells."""

import ctypes
import ctypes.util
import os
import signal
import threading
import time

import numpy as np
import pytest
from conftest import EXIT_KEYBOARD_INTERRUPT, notify_parent
from test_peer_killed import _NCH, MPMCVAR, Views, mpmc_damage, mpmcvar_damage, spsc_damage

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

CELL = 16  # MPMCVar: two cells of 16 bytes per channel
LONG_MS = 600_000  # a timed read that would outlive the test
KINDS = {  # class, creation arguments, semaphores, damage check
    "spsc": (SPSCQueue, (1, 64, True), ["_free_", "_filled_"], spsc_damage),
    "mpmc": (MPMCQueue, (1, 64), ["_free_", "_filled_", "_free_mutex_", "_filled_mutex_"], mpmc_damage),
    "var": (MPMCVarQueue, (_NCH, 2, CELL), MPMCVAR.sems, mpmcvar_damage),
}


def _block(kind, name, before, call):
    """Connects, runs `before`, says where it is and makes the call that waits."""
    q = KINDS[kind][0](name)
    if before:
        before(q)
    notify_parent("blocking")
    return call(q)


def _fill_channels(q):
    for n in range(_NCH):
        q.write(b"m%d" % n)


def _case(case_id, call, before=None, setup=None, damage=()):
    """`before` runs in the child before the call, `setup` in the test before the child starts."""
    return pytest.param(case_id.split("-")[0], setup, before, call, list(damage), id=case_id)


READS = {"read": lambda q: q.read(), "read-typed": lambda q: q.read(QDataType.String),
         "read-timed": lambda q: q.read(QDataType.IntArray, LONG_MS)}
# Every write overload, once the one cell of a fixed-cell queue is taken.
WRITES = {"bytes": b"y", "str": "does not fit", "int": 8, "float": 1.5, "int-array": np.arange(3, dtype=np.int64),
          "float-array": np.ones(4)}
CASES = [
    *(_case(f"{kind}-{n}", call) for kind in KINDS for n, call in READS.items()),  # var: waiting for a message
    *(_case(f"{kind}-write-{n}-full", lambda q, v=v: q.write(v), before=lambda q: q.write(b"x"))
      for kind in ("spsc", "mpmc") for n, v in WRITES.items()),
    # The reader holds the channel: nobody finishes reading that message. The
    # writer handed over one full cell and keeps 8 bytes.
    _case("var-read-inside-message", lambda q: q.read(), setup=lambda q: q.partial_write(bytes(CELL + 8)),
          damage=["channel held"]),
    _case("var-write-for-channel", lambda q: q.write("needs a channel"), setup=_fill_channels),
    _case("var-partial-write-for-channel", lambda q: q.partial_write(7), setup=_fill_channels),
    # The ring holds two cells and nobody reads: the message stays listed
    # without its end and its reader will wait for ever.
    _case("var-write-inside-message", lambda q: q.write(bytes(5 * CELL)), damage=["unfinished message listed"]),
]


def _interrupt(child):
    child.wait_for("blocking")
    child.assert_blocked()
    os.kill(child.pid, signal.SIGINT)


def _assert_interrupted(child):
    outcome = child.finish(timeout=5)
    assert (outcome.exc_type, outcome.exitcode) == ("KeyboardInterrupt", EXIT_KEYBOARD_INTERRUPT), outcome.describe()


@pytest.mark.parametrize("kind, setup, before, call, damage", CASES)
def test_sigint_ends_the_blocked_call(kind, setup, before, call, damage, request, queue_name, start_child):
    cls, args, sems, find_damage = KINDS[kind]
    q = cls(queue_name, *args)
    views = Views(queue_name, sems)  # before an SPSC connect removes the names
    try:
        if setup:
            setup(q)
        child = start_child(_block, kind, queue_name, before, call)
        _interrupt(child)
        _assert_interrupted(child)
        role = "writer" if "write" in request.node.callspec.id else "reader"
        labels, state = find_damage(views, role)
        assert labels == damage, state
    finally:
        views.close()


def _complete_twice(q):
    try:
        q.partial_write_complete()
    except KeyboardInterrupt:
        notify_parent("interrupted")
        q.partial_write_complete()  # the message stays this object's: ending it again must work
        return "completed"
    return "not interrupted"


def _start_two_cells(q):
    q.partial_write(bytes(range(2 * CELL)))  # fills the ring; the message's end needs a third cell


@pytest.mark.parametrize(
    "before, call, again",
    [(None, lambda q: q.partial_write(np.zeros(10)), False),  # 80 bytes: waits for a third cell
     (_start_two_cells, lambda q: q.partial_write_complete(), False), (_start_two_cells, _complete_twice, True)],
    ids=["inside-message", "complete", "complete-called-again"],
)
def test_interrupted_partial_message_is_ended(queue_name, start_child, run_in_child, before, call, again):
    # The interrupted call is made again, or else the process exits and its
    # object ends the message with what it holds: either way the message's
    # reader is not left waiting for ever. Ending it needs the cell a reader frees.
    q = MPMCVarQueue(queue_name, _NCH, 2, CELL)
    child = start_child(_block, "var", queue_name, before, call)
    _interrupt(child)
    if again:
        child.wait_for("interrupted")
    handed_over = bytes(range(2 * CELL)) if before else bytes(2 * CELL)
    assert run_in_child(lambda: q.read(QDataType.Bytes, 5000)) == handed_over
    if again:
        assert child.result() == "completed"
    else:
        _assert_interrupted(child)
    assert q.read(QDataType.Bytes, 100) is None


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


@pytest.mark.parametrize("kind, lock", [("mpmc", "_filled_mutex_"), ("var", "_used_mutex_")])
def test_sigint_in_a_list_lock_wait_keeps_the_message(kind, lock, queue_name, start_child):
    # The read took the message's count, then waits for the list lock (held
    # here): the interrupted read must give the count back.
    cls, args, _, _ = KINDS[kind]
    q = cls(queue_name, *args)
    q.write(b"kept")
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.sem_open.restype = ctypes.c_void_p
    libc.sem_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
    libc.sem_wait.argtypes = libc.sem_post.argtypes = libc.sem_close.argtypes = [ctypes.c_void_p]
    sem = libc.sem_open((queue_name + lock).encode(), 0)
    assert sem and libc.sem_wait(sem) == 0
    try:
        child = start_child(_block, kind, queue_name, None, lambda q: q.read())
        _interrupt(child)
        _assert_interrupted(child)  # the lock stays held until then
    finally:
        libc.sem_post(sem)
        libc.sem_close(sem)
    assert q.read(QDataType.Bytes, 2000) == b"kept"
