"""MPMCQueue only: which reader a write wakes, and unlink. Behaviour all
classes share, the many-process stress among it, lives in test_codec.py."""

import time

import pytest
from conftest import CHILD_TIMEOUT, existing_objects, notify_parent, semaphore_path, shm_path
from test_codec import _connect_and_read

from mox_ipc_queue import IPCQueueError, MPMCQueue, QDataType


def _connect_exchange(name, value):
    q = MPMCQueue(name)
    notify_parent("connected")
    got = q.read(QDataType.Int)
    q.write(value)
    return got


def test_one_write_wakes_exactly_one_of_two_readers(queue_name, start_child):
    q = MPMCQueue(queue_name, 4, 8)
    readers = [start_child(_connect_and_read, "mpmc", queue_name, QDataType.Int) for _ in range(2)]
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


def test_unlink_twice_then_connect_fails_while_attached_objects_work(queue_name, start_child):
    q = MPMCQueue(queue_name, 2, 8)
    assert sorted(existing_objects(queue_name)) == sorted(
        [shm_path(queue_name)]
        + [semaphore_path(queue_name, s) for s in ("_filled_", "_free_", "_free_mutex_", "_filled_mutex_")]
    )
    child = start_child(_connect_exchange, queue_name, 99)
    child.wait_for("connected")
    q.unlink()
    q.unlink()
    assert existing_objects(queue_name) == []
    with pytest.raises(IPCQueueError, match="connect constructor: unable to open shared memory"):
        MPMCQueue(queue_name)
    q.write(5)  # the attached pair goes on through its handles
    assert child.result() == 5
    assert q.read(QDataType.Int) == 99
    # The name is free for an unrelated queue.
    other = MPMCQueue(queue_name, 1, 8)
    other.write(1)
    assert q.read(QDataType.Int, 20) is None
    assert other.read(QDataType.Int) == 1
