"""MPMCVarQueue only: messages longer than a ring built from partial writes, what refused pieces leave behind,
the object's end abandoning its unfinished message, channel order, threads sharing one object."""

import random
import struct
import threading

import numpy as np
import pytest
from helpers import assert_same_value, named, notify_parent, segment_bytes, wait_thread_blocked
from mox_ipc_queue import IPCQueueError, MPMCVarQueue, QDataType

CHUNK = 40  # bytes a thread writes in one call


def assert_idle(q):
    """No message under way: every channel free with an empty ring, by the queue's own report."""
    report = q.inspect()
    assert report["findings"] == [] and report["lists"]["used"]["items"] == [] and report["held"] == [], report


def _connect_and_write(name, payload, how):
    q = MPMCVarQueue(name)
    for i in range(0, len(payload), 7):
        q.partial_write(payload[i : i + 7])
    if how == "partial":
        q.partial_write_complete()
    elif how == "failed-piece":
        q.partial_write(np.zeros((2, 2)))  # refused: the program building the message fails here
    # else the object ends here, its message unfinished: it must be abandoned, never ended


@pytest.mark.parametrize("how, length", [("partial", 160), ("left-unfinished", 161), ("left-unfinished", 160),
                                         ("left-unfinished", 32), ("failed-piece", 6), ("failed-piece", 161)])
def test_longer_than_the_ring_between_two_processes(queue_name, start_child, how, length):
    # 160: the end needs one more, empty cell. A message its writer never ended reaches no reader as a
    # whole one; a writer whose message fits the ring (32 bytes fill it) ends without waiting for a reader.
    q = MPMCVarQueue(queue_name, 1, 2, 16)
    payload = random.Random(2).randbytes(length)
    child = start_child(_connect_and_write, queue_name, payload, how)
    if how == "partial":
        assert (q.read(), child.result()) == (payload, None)
    else:
        outcome = child.finish() if length <= 32 else None
        with pytest.raises(IPCQueueError) as info:
            q.read()
        assert str(info.value) == named("message abandoned by its writer", queue_name)
        outcome = outcome or child.finish()
        assert (outcome.exc_type, outcome.exitcode) in [(None, 0), ("IPCQueueError", 1)], outcome.describe()
    assert_idle(q)
    q.write(b"next")  # the channel is free again
    assert q.read() == b"next"


def test_pieces_of_every_kind_across_many_cells(queue_name):
    q = MPMCVarQueue(queue_name, 1, 1000, 12)  # pieces straddle cells
    ints = np.random.default_rng(4).integers(-(2**63), 2**63 - 1, 1000, dtype=np.int64)
    q.write(ints)
    assert_same_value(q.read(QDataType.IntArray), ints)
    for piece in [b"\x00abxyz", "\u00e9", -2, True, 1.0, np.float64(2.5), np.array([1.5]),
                  np.array([3], dtype=np.int64), [1, 2], np.array([0.5], dtype=np.float32), ints[:500], ints[500:]]:
        q.partial_write(piece)
    q.partial_write_complete()
    expected = b"\x00abxyz" + "\u00e9".encode() + struct.pack("<qqdddqddd", -2, 1, 1, 2.5, 1.5, 3, 1, 2, 0.5)
    got = q.read(QDataType.FloatArray)  # a large message decoded as one array
    assert got.dtype == np.float64 and got.tobytes() == expected + ints.tobytes()
    # Refused only once the whole message is read, which consumes it.
    for message, dtype in [(ints.tobytes() + b"x", QDataType.IntArray), (ints, QDataType.Int)]:
        q.write(message)
        with pytest.raises(IPCQueueError, match=r"^MPMCVarQueue\.read\(\w+\): data length is not"):
            q.read(dtype)
    assert_idle(q)


def test_messages_built_in_one_process(queue_name):
    a = MPMCVarQueue(queue_name, 3, 8, 8)
    b = MPMCVarQueue(queue_name)
    text = named("MPMCVarQueue.partial_write_complete: no partial message under way", queue_name)
    raw_before = segment_bytes(queue_name)
    with pytest.raises(IPCQueueError) as info:
        a.partial_write_complete()
    assert (str(info.value), segment_bytes(queue_name)) == (text, raw_before)  # ending nothing touched no channel
    # Two objects build at once; messages go in the order their channels were taken.
    a.partial_write(b"A" * 10)
    b.partial_write(b"B" * 3)
    b.write(b"whole")  # a whole write while building takes a channel of its own
    assert a.inspect()["lists"]["free"]["items"] == []  # all three channels taken
    for value, error in [(np.zeros((2, 2)), IPCQueueError), ("\udfff", IPCQueueError), (2**64, OverflowError)]:
        with pytest.raises(error):
            a.partial_write(value)  # refused inside a message (refused outside one: test_codec.py): it goes on
    b.partial_write(b"b" * 12)
    b.partial_write_complete()  # ends first
    a.partial_write(b"a" * 5)
    a.partial_write_complete()
    with pytest.raises(IPCQueueError) as info:
        a.partial_write_complete()  # the message already ended
    assert str(info.value) == text
    assert [a.read(), b.read(), a.read()] == [b"A" * 10 + b"a" * 5, b"B" * 3 + b"b" * 12, b"whole"]
    a.partial_write(b"")  # an empty piece alone starts a message
    assert len(a.inspect()["lists"]["used"]["items"]) == 1
    a.partial_write_complete()
    assert (a.read(), a.read(QDataType.Bytes, 1)) == (b"", None)
    assert_idle(a)


def _chunk(thread, k):
    return struct.pack("<II", thread, k) + bytes([thread * 16 + k % 16]) * (CHUNK - 8)


def _partial_writes_from_threads(name, threads, chunks):
    q = MPMCVarQueue(name)
    workers = [threading.Thread(target=lambda t=t: [q.partial_write(_chunk(t, k)) for k in range(chunks)])
               for t in range(threads)]
    for w in workers:
        w.start()
    # No reader yet: one thread waits for a cell inside its first chunk, the others for the object's lock.
    assert all(wait_thread_blocked(w) for w in workers), "writing threads did not all wait"
    notify_parent("all waiting")
    for w in workers:
        w.join(5)
    assert not any(w.is_alive() for w in workers), "a writing thread never finished"
    q.partial_write_complete()
    return True


def test_threads_of_one_object_write_whole_chunks(queue_name, start_child):
    threads, chunks = 4, 40
    q = MPMCVarQueue(queue_name, 1, 1, 16)  # a ring of one cell: writers block inside every chunk
    child = start_child(_partial_writes_from_threads, queue_name, threads, chunks)
    child.wait_for("all waiting")
    message = q.read()
    assert child.result() is True
    pieces = [message[at : at + CHUNK] for at in range(0, len(message), CHUNK)]
    ids = [struct.unpack_from("<II", p) for p in pieces]
    assert pieces == [_chunk(t, k) for t, k in ids]  # no bytes of another call inside
    # Every chunk once; a stable sort by thread keeps arrival order, which must be each thread's order.
    assert sorted(ids, key=lambda i: i[0]) == sorted(ids) == [(t, k) for t in range(threads) for k in range(chunks)]
    assert_idle(q)
