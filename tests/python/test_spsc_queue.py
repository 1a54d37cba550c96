"""SPSCQueue only: mebibyte messages from a creator in another process.
Behaviour all classes share lives in test_codec.py; signals in test_signals.py;
long runs, wraps, the names a connect removes and the segment layout are checked
in tests/cpp (test_fixed_cell_queues.cpp, test_queue_lifecycle.cpp, test_spsc_queue.cpp)."""

import numpy as np
from helpers import assert_same_value, notify_parent

from mox_ipc_queue import QDataType, SPSCQueue


# ------------------------------------------------------- child functions ---


def _create_then_write_big(name, size, seed):
    q = SPSCQueue(name, 2, size, True)
    notify_parent("created")
    rng = np.random.default_rng(seed)
    q.write(rng.bytes(size))
    q.write(rng.integers(-(2**62), 2**62, size // 8, dtype=np.int64))
    q.write(b"end")  # two cells: waits until the test has connected and read
    return True


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
