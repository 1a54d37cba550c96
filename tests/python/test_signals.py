"""Ctrl-C (SIGINT) ends every blocking call of every Python class with
KeyboardInterrupt: a child blocked in the call gets SIGINT and must end with
KeyboardInterrupt (exit code 130) within a bound.

The SPSC and MPMC files interrupt read() and write(bytes); this file covers
every blocking method of the three classes through the other overloads
(typed and timed reads, writes of other types) and every place where
MPMCVarQueue waits. After the interrupt the queue is inspected: a call that
waited while holding nothing leaves nothing behind; one that waited inside a
message leaves exactly the damage docs/failure_model.md describes.
"""

import os
import signal

import numpy as np
import pytest
from conftest import EXIT_KEYBOARD_INTERRUPT, notify_parent
from test_peer_killed import _NCH, MPMCVAR, Views, mpmc_damage, mpmcvar_damage, spsc_damage

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

SPSC_SEMS = ["_free_", "_filled_"]
MPMC_SEMS = ["_free_", "_filled_", "_free_mutex_", "_filled_mutex_"]
CELL = 16  # MPMCVar: two cells of 16 bytes per channel
LONG_MS = 600_000  # a timed read that would outlive the test


def _create(kind, name):
    if kind == "spsc":
        return SPSCQueue(name, 1, 64, True)
    if kind == "mpmc":
        return MPMCQueue(name, 1, 64)
    return MPMCVarQueue(name, _NCH, 2, CELL)


# ------------------------------------------------------- child functions ---
# Each connects, says where it is, and makes one call that has to wait.


def _spsc_read_int(name):
    q = SPSCQueue(name)
    notify_parent("blocking")
    return q.read(QDataType.Int)


def _spsc_read_timed(name):
    q = SPSCQueue(name)
    notify_parent("blocking")
    return q.read(QDataType.FloatArray, LONG_MS)


def _spsc_write_array_full(name):
    q = SPSCQueue(name)
    q.write(np.arange(2, dtype=np.int64))  # the one cell
    notify_parent("blocking")
    q.write(np.arange(3, dtype=np.int64))


def _spsc_write_str_full(name):
    q = SPSCQueue(name)
    q.write(1.5)
    notify_parent("blocking")
    q.write("does not fit yet")


def _mpmc_read_float(name):
    q = MPMCQueue(name)
    notify_parent("blocking")
    return q.read(QDataType.Float)


def _mpmc_read_timed(name):
    q = MPMCQueue(name)
    notify_parent("blocking")
    return q.read(QDataType.String, LONG_MS)


def _mpmc_write_int_full(name):
    q = MPMCQueue(name)
    q.write(7)
    notify_parent("blocking")
    q.write(8)


def _mpmc_write_float_array_full(name):
    q = MPMCQueue(name)
    q.write(b"x")
    notify_parent("blocking")
    q.write(np.ones(4))


def _var_read_untyped(name):
    q = MPMCVarQueue(name)
    notify_parent("blocking")
    return q.read()


def _var_read_typed(name):
    q = MPMCVarQueue(name)
    notify_parent("blocking")
    return q.read(QDataType.String)


def _var_read_timed(name):
    q = MPMCVarQueue(name)
    notify_parent("blocking")
    return q.read(QDataType.IntArray, LONG_MS)


def _var_write_for_channel(name):
    q = MPMCVarQueue(name)
    notify_parent("blocking")
    q.write("needs a channel")


def _var_partial_write_for_channel(name):
    q = MPMCVarQueue(name)
    notify_parent("blocking")
    q.partial_write(7)


def _var_write_inside_message(name):
    q = MPMCVarQueue(name)
    notify_parent("blocking")
    q.write(bytes(5 * CELL))  # the ring holds two cells and nobody reads


def _var_partial_write_inside_message(name):
    q = MPMCVarQueue(name)
    notify_parent("blocking")
    q.partial_write(np.zeros(10))  # 80 bytes


def _var_partial_write_complete(name):
    q = MPMCVarQueue(name)
    q.partial_write(bytes(2 * CELL))  # fills the ring; the end needs a third cell
    notify_parent("blocking")
    q.partial_write_complete()


# ------------------------------------------------------- parent set-ups ---


def _fill_channels(q):
    for n in range(_NCH):
        q.write(b"m%d" % n)


def _start_message(q):
    # One full cell handed over, 8 bytes kept: a reader waits for the rest.
    q.partial_write(bytes(CELL + 8))


def _case(case_id, kind, setup, target, damage):
    """kind, set-up in the parent, child, damage expected after the interrupt."""
    return pytest.param(kind, setup, target, damage, id=case_id)


CASES = [
    _case("spsc-read-typed", "spsc", None, _spsc_read_int, []),
    _case("spsc-read-timed", "spsc", None, _spsc_read_timed, []),
    _case("spsc-write-array-full", "spsc", None, _spsc_write_array_full, []),
    _case("spsc-write-str-full", "spsc", None, _spsc_write_str_full, []),
    _case("mpmc-read-typed", "mpmc", None, _mpmc_read_float, []),
    _case("mpmc-read-timed", "mpmc", None, _mpmc_read_timed, []),
    _case("mpmc-write-int-full", "mpmc", None, _mpmc_write_int_full, []),
    _case("mpmc-write-array-full", "mpmc", None, _mpmc_write_float_array_full, []),
    _case("var-read-for-message", "mpmcvar", None, _var_read_untyped, []),
    _case("var-read-typed-for-message", "mpmcvar", None, _var_read_typed, []),
    _case("var-read-timed-for-message", "mpmcvar", None, _var_read_timed, []),
    # The reader holds the channel: nobody finishes reading that message.
    _case("var-read-inside-message", "mpmcvar", _start_message, _var_read_untyped, ["channel held"]),
    _case("var-write-for-channel", "mpmcvar", _fill_channels, _var_write_for_channel, []),
    _case("var-partial-write-for-channel", "mpmcvar", _fill_channels, _var_partial_write_for_channel, []),
    # The message stays listed without its end: its reader will wait for ever.
    _case("var-write-inside-message", "mpmcvar", None, _var_write_inside_message, ["unfinished message listed"]),
]


@pytest.mark.parametrize("kind, setup, target, damage", CASES)
def test_sigint_ends_the_blocked_call(kind, setup, target, damage, queue_name, start_child):
    q = _create(kind, queue_name)
    sems = {"spsc": SPSC_SEMS, "mpmc": MPMC_SEMS, "mpmcvar": MPMCVAR.sems}[kind]
    views = Views(queue_name, sems)  # before an SPSC connect removes the names
    try:
        if setup is not None:
            setup(q)
        child = start_child(target, queue_name)
        child.wait_for("blocking")
        child.assert_blocked()
        os.kill(child.pid, signal.SIGINT)
        outcome = child.finish(timeout=5)
        assert outcome.exc_type == "KeyboardInterrupt", outcome.describe()
        assert outcome.exitcode == EXIT_KEYBOARD_INTERRUPT, outcome.describe()
        role = "writer" if "write" in target.__name__ else "reader"
        labels, state = {"spsc": spsc_damage, "mpmc": mpmc_damage, "mpmcvar": mpmcvar_damage}[kind](views, role)
        assert labels == damage, state
    finally:
        views.close()


def _complete_after_interrupt(name):
    q = MPMCVarQueue(name)
    q.partial_write(bytes(range(2 * CELL)))
    notify_parent("blocking")
    try:
        q.partial_write_complete()
    except KeyboardInterrupt:
        # The message stays this object's: ending it again must work.
        notify_parent("interrupted")
        q.partial_write_complete()
        return "completed"
    return "not interrupted"


def _read_one(q):
    return q.read(QDataType.Bytes, 5000)


def test_interrupted_partial_write_complete_can_be_called_again(queue_name, start_child, run_in_child):
    q = MPMCVarQueue(queue_name, _NCH, 2, CELL)
    child = start_child(_complete_after_interrupt, queue_name)
    child.wait_for("blocking")
    child.assert_blocked()
    os.kill(child.pid, signal.SIGINT)
    child.wait_for("interrupted")
    # A reader frees the ring; the second call hands over the end cell.
    assert run_in_child(_read_one, q) == bytes(range(2 * CELL))
    assert child.result() == "completed"
    assert q.read(QDataType.Bytes, 100) is None


@pytest.mark.parametrize(
    "target, expected",
    [(_var_partial_write_inside_message, bytes(2 * CELL)), (_var_partial_write_complete, bytes(2 * CELL))],
    ids=["inside-message", "complete"],
)
def test_interrupted_partial_message_is_ended_as_the_object_goes(queue_name, start_child, run_in_child, target,
                                                                 expected):
    # Ctrl-C breaks the wait for a cell; as the interrupted process exits, its
    # object ends the message with what it holds, so the message's reader is
    # not left waiting for ever. Ending it needs a free cell: the reader frees one.
    q = MPMCVarQueue(queue_name, _NCH, 2, CELL)
    child = start_child(target, queue_name)
    child.wait_for("blocking")
    child.assert_blocked()
    os.kill(child.pid, signal.SIGINT)
    assert run_in_child(_read_one, q) == expected
    outcome = child.finish(timeout=5)
    assert outcome.exc_type == "KeyboardInterrupt", outcome.describe()
    assert outcome.exitcode == EXIT_KEYBOARD_INTERRUPT, outcome.describe()
    assert q.read(QDataType.Bytes, 100) is None
