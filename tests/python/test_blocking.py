"""Blocking calls of every class: a read blocked in another process wakes on a write; a thread blocked in a
read lets another thread of its process write (the wait does not keep the interpreter lock); one write wakes
exactly one of two blocked MPMC readers. Signals during blocking calls: test_signals.py."""

import threading
import time

import pytest
from helpers import CHILD_TIMEOUT, KINDS, connect_and_read, make, wait_thread_blocked

from mox_ipc_queue import MPMCQueue, QDataType


@pytest.fixture(params=list(KINDS))
def kind(request):
    return request.param


@pytest.mark.parametrize("timeout", [0, 600_000], ids=["zero-no-limit", "long"])
def test_blocked_read_in_another_process_wakes_on_a_write(kind, queue_name, start_child, timeout):
    q = make(kind, queue_name, 2, 16)
    child = start_child(connect_and_read, kind, queue_name, QDataType.Int, timeout)
    child.wait_for("reading")
    child.assert_blocked()
    q.write(5)
    assert child.result() == 5


def _thread_reads_while_another_writes(kind, name):
    # In a child: a wait that kept the interpreter lock would stop the writing thread, a deadlock.
    q, got = make(kind, name, 2, 16), []
    reader = threading.Thread(target=lambda: got.append(q.read(QDataType.Int)))
    reader.start()
    blocked = wait_thread_blocked(reader)
    q.write(42)
    reader.join(5)
    return blocked, reader.is_alive(), got


def test_a_thread_blocked_in_a_read_lets_another_write(kind, queue_name, run_in_child):
    assert run_in_child(_thread_reads_while_another_writes, kind, queue_name, timeout=10) == (True, False, [42])


def test_one_write_wakes_exactly_one_of_two_mpmc_readers(queue_name, start_child):
    q = MPMCQueue(queue_name, 4, 8)
    readers = [start_child(connect_and_read, "mpmc", queue_name, QDataType.Int) for _ in range(2)]
    for r in readers:
        r.wait_for("reading")
    for r in readers:
        r.assert_blocked()
    q.write(11)
    deadline = time.monotonic() + CHILD_TIMEOUT
    while all(r.is_alive() for r in readers) and time.monotonic() < deadline:
        time.sleep(0.01)
    woken = next((r for r in readers if not r.is_alive()), None)
    assert woken is not None, "no reader woke"
    other = readers[1 - readers.index(woken)]
    assert woken.result() == 11
    other.assert_blocked()
    q.write(22)
    assert other.result() == 22
