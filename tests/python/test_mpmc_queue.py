"""MPMCQueue: which reader a write wakes; unlink, which MPMCVarQueue has too. Behaviour
all classes share, the many-process stress among it, lives in test_codec.py."""

import time

import pytest
from conftest import CHILD_TIMEOUT, existing_objects, shm_path
from test_codec import _connect_and_read

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType


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


@pytest.mark.parametrize("make", [lambda n: MPMCQueue(n, 2, 8), lambda n: MPMCVarQueue(n, 2, 2, 8)],
                         ids=["mpmc", "mpmcvar"])
def test_unlink_removes_every_name_and_the_object_goes_on(queue_name, make):
    # Which names, a second unlink, connecting afterwards: tests/cpp/test_queue_lifecycle.cpp.
    q = make(queue_name)
    assert shm_path(queue_name) in existing_objects(queue_name)
    q.unlink()
    assert existing_objects(queue_name) == []
    q.write(5)
    assert q.read(QDataType.Int) == 5
