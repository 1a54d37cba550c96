"""SPSCQueue only: large messages and long runs between two processes, the
names that the connect removes, and a signal whose handler returns. Behaviour
all classes share lives in test_codec.py; the segment layout and thread slots
are checked byte by byte in tests/cpp/test_spsc_queue.cpp."""

import os
import signal

import numpy as np
import pytest
from conftest import existing_objects, notify_parent, semaphore_path, shm_path
from test_codec import assert_same_value, named

from mox_ipc_queue import IPCQueueError, QDataType, SPSCQueue


# ------------------------------------------------------- child functions ---


def _connect_and_read(name):
    q = SPSCQueue(name)
    notify_parent("connected")
    return q.read()


def _create_then_write_big(name, size, seed):
    q = SPSCQueue(name, 2, size, True)
    notify_parent("created")
    rng = np.random.default_rng(seed)
    q.write(rng.bytes(size))
    q.write(rng.integers(-(2**62), 2**62, size // 8, dtype=np.int64))
    q.write(b"end")  # two cells: waits until the test has connected and read
    return True


def _write_sequence(name, count):
    q = SPSCQueue(name)
    for i in range(count):
        q.write(i.to_bytes(4, "little") * (i % 4 + 1))
    return count


def _read_interrupted_by_quiet_handler(name):
    calls = []
    signal.signal(signal.SIGUSR1, lambda signum, frame: calls.append(signum))
    q = SPSCQueue(name)
    notify_parent("reading")
    try:
        q.read()
    except IPCQueueError as exc:
        return str(exc), calls
    return "read returned", calls


# ----------------------------------------------------------------- tests ---


def test_mebibyte_messages_from_a_creator_in_another_process(queue_name, start_child):
    size = 1 << 20
    child = start_child(_create_then_write_big, queue_name, size, 7)
    child.wait_for("created")
    q = SPSCQueue(queue_name)
    assert q.cell_size() == size
    rng = np.random.default_rng(7)
    assert q.read() == rng.bytes(size)
    assert_same_value(q.read(QDataType.IntArray), rng.integers(-(2**62), 2**62, size // 8, dtype=np.int64))
    assert q.read() == b"end"
    assert child.result() is True


def test_fifo_over_many_wraps(queue_name, start_child, open_segment):
    count = 3001
    q = SPSCQueue(queue_name, 3, 16, True)
    seg = open_segment(queue_name)  # still readable after the connect removes the name
    child = start_child(_write_sequence, queue_name, count)
    for i in range(count):
        assert q.read() == i.to_bytes(4, "little") * (i % 4 + 1)
    assert child.result() == count
    assert (seg.u32(24), seg.u32(28)) == (count % 3, count % 3)  # read_index, write_index


def test_connect_removes_names_and_refuses_a_second_connect(queue_name, start_child):
    q = SPSCQueue(queue_name, 2, 16, True)
    assert sorted(existing_objects(queue_name)) == sorted(
        [shm_path(queue_name), semaphore_path(queue_name, "_filled_"), semaphore_path(queue_name, "_free_")])
    child = start_child(_connect_and_read, queue_name)
    child.wait_for("connected")
    # Both ends are alive: the connect itself removed the names.
    assert existing_objects(queue_name) == []
    with pytest.raises(IPCQueueError, match="connect constructor: unable to open shared memory"):
        SPSCQueue(queue_name)
    q.write(b"ping")  # the pair keeps working without names
    assert child.result() == b"ping"


def test_signal_whose_handler_returns_fails_the_wait(queue_name, start_child):
    # Only a handler that raises replaces the error; otherwise the
    # interrupted wait is a failure and is not retried.
    creator = SPSCQueue(queue_name, 1, 16, True)  # noqa: F841 - keeps the names until the connect
    child = start_child(_read_interrupted_by_quiet_handler, queue_name)
    child.wait_for("reading")
    child.assert_blocked()
    os.kill(child.pid, signal.SIGUSR1)
    text, calls = child.result()
    assert calls == [signal.SIGUSR1]
    expected = named("SPSCQueueCPP:open_cell_for_read: Filled semaphore decrement failed.", queue_name)
    assert text == expected + ": Interrupted system call"
