"""MPMCVarQueue only: messages longer than a ring, written whole or built from
partial writes, channel order, what refused pieces leave behind, the object's
end completing its message, and threads sharing one object. Behaviour all
classes share, the many-process stress among it, lives in test_codec.py."""

import gc
import random
import struct
import threading

import numpy as np
import pytest
from conftest import CHILD_TIMEOUT, notify_parent
from test_codec import _connect_and_read, assert_same_value, blocked_then_woken, named, wait_thread_blocked

from mox_ipc_queue import IPCQueueError, MPMCVarQueue, QDataType

HEADER_SIZE, AREA_HEADER_SIZE, CELL_HEADER_SIZE = 40, 24, 16
LIST_END = 0xFFFFFFFF


class Layout:
    """Reads the words of a queue's segment through an open RawSegment."""

    def __init__(self, seg, num_cells, cell_size):
        self.seg, self.num_cells, self.cell_stride = seg, num_cells, cell_size + CELL_HEADER_SIZE

    def lists(self):
        """(free_head, used_head, used_tail)."""
        return self.seg.u32(24), self.seg.u32(32), self.seg.u32(36)

    def ring(self, channel):
        """(read_index, write_index, [cell lengths]) of a channel."""
        area = HEADER_SIZE + channel * (self.cell_stride * self.num_cells + AREA_HEADER_SIZE)
        lengths = [self.seg.u64(area + AREA_HEADER_SIZE + j * self.cell_stride + 8) for j in range(self.num_cells)]
        return self.seg.u32(area + 12), self.seg.u32(area + 16), lengths


@pytest.fixture
def var_queue(queue_name, open_segment):
    """make(num_channels, num_cells, cell_size) -> (queue, Layout) under queue_name."""

    def make(num_channels, num_cells, cell_size):
        q = MPMCVarQueue(queue_name, num_channels, num_cells, cell_size)
        return q, Layout(open_segment(queue_name), num_cells, cell_size)

    return make


def assert_idle(layout, num_channels=1):
    """No message under way: a channel free, none in use, every ring empty."""
    free_head, *used = layout.lists()
    assert free_head != LIST_END and used == [LIST_END, LIST_END]
    for c in range(num_channels):
        read_index, write_index, lengths = layout.ring(c)
        assert read_index == write_index and set(lengths) == {0}


# ------------------------------------------------------- child functions ---


def _connect_and_write(name, payload, how):
    q = MPMCVarQueue(name)
    if how == "whole":
        return q.write(payload)
    for i in range(0, len(payload), 7):
        q.partial_write(payload[i : i + 7])
    if how == "partial":
        q.partial_write_complete()
    # else the process ends without partial_write_complete: the object's end must finish it


def _waits_inside_messages(name):
    # Runs in a child: a wait that kept the interpreter lock would stop every
    # other thread here, and the test would see a deadlock.
    q = MPMCVarQueue(name, 1, 2, 8)
    got = []
    q.partial_write(b"a")  # holds the only channel: a whole write waits for it
    flags = [blocked_then_woken(lambda: q.write(b"second"), lambda: (q.partial_write_complete(), got.append(q.read())))]
    got.append(q.read())
    q.partial_write(b"ab")  # kept in its cell: a reader waits inside the message
    flags.append(blocked_then_woken(lambda: got.append(q.read()),
                                    lambda: (q.partial_write(b"cdefghijkl"), q.partial_write_complete())))
    # Five cells through a ring of two: the writer waits inside its message.
    flags.append(blocked_then_woken(lambda: q.write(b"w" * 40), lambda: got.append(q.read())))
    return flags, got


CHUNK = 40


def _chunk(thread, k):
    return struct.pack("<II", thread, k) + bytes([thread * 16 + k % 16]) * (CHUNK - 8)


def _partial_writes_from_threads(name, threads, chunks):
    q = MPMCVarQueue(name)
    workers = [threading.Thread(target=lambda t=t: [q.partial_write(_chunk(t, k)) for k in range(chunks)])
               for t in range(threads)]
    for w in workers:
        w.start()
    # With no reader yet, one thread waits for a cell inside its first chunk
    # and the others wait for the object's partial-write lock.
    if not all(wait_thread_blocked(w) for w in workers):
        raise RuntimeError("writing threads did not all wait")
    notify_parent("all waiting")
    for w in workers:
        w.join(CHILD_TIMEOUT)
    if any(w.is_alive() for w in workers):
        raise RuntimeError("a writing thread never finished")
    q.partial_write_complete()
    return True


# ------------------------------------------------------- message lengths ---


@pytest.mark.parametrize("how", ["whole", "partial", "left-unfinished"])
def test_longer_than_the_ring_between_two_processes(queue_name, var_queue, start_child, how):
    q, layout = var_queue(1, 2, 16)
    payload = random.Random(2).randbytes(10 * 16 + 1)
    child = start_child(_connect_and_write, queue_name, payload, how)
    assert q.read() == payload
    assert child.result() is None
    assert_idle(layout)


def test_arrays_across_many_cells(queue_name, var_queue):
    q, layout = var_queue(1, 200, 64)
    ints = np.random.default_rng(4).integers(-(2**63), 2**63 - 1, 1000, dtype=np.int64)
    q.write(ints)
    assert_same_value(q.read(QDataType.IntArray), ints)
    q.partial_write(ints[:500])
    q.partial_write(ints[500:])
    q.partial_write_complete()
    assert_same_value(q.read(QDataType.FloatArray), ints.view(np.float64))
    # Refused only once the whole message is read, which consumes it.
    q.write(ints.tobytes() + b"x")
    with pytest.raises(IPCQueueError) as info:
        q.read(QDataType.IntArray)
    assert str(info.value) == named("MPMCVarQueue.read(IntArray): data length is not a multiple of 8", queue_name)
    q.write(ints)
    with pytest.raises(IPCQueueError) as info:
        q.read(QDataType.Int)
    assert str(info.value) == named("MPMCVarQueue.read(Int): data length is not 8", queue_name)
    assert_idle(layout)


# ---------------------------------------------------- partial messages ---


def test_pieces_of_every_kind_make_one_message(var_queue):
    q, layout = var_queue(4, 16, 8)
    for piece in [b"\x00ab", "\u00e9", -2, True, 1.0, np.float64(2.5), np.array([1.5]),
                  np.array([3], dtype=np.int64), [1, 2], np.array([0.5], dtype=np.float32)]:
        q.partial_write(piece)
    q.partial_write_complete()
    assert q.read() == (b"\x00ab" + "\u00e9".encode() + struct.pack("<qqdddq", -2, 1, 1.0, 2.5, 1.5, 3)
                        + struct.pack("<ddd", 1.0, 2.0, 0.5))
    assert_idle(layout, 4)


def test_refused_piece_and_complete_without_a_message(queue_name, var_queue):
    q, layout = var_queue(1, 8, 8)
    refused = [(np.zeros((2, 2)), IPCQueueError), ("\udfff", IPCQueueError), (2**64, OverflowError),
               (object(), TypeError)]
    for value, error in refused:
        with pytest.raises(error):
            q.partial_write(value)
    assert_idle(layout)  # nothing started: no channel taken
    raw_before = layout.seg.read()
    text = named("MPMCVarQueue.partial_write_complete: no partial message under way", queue_name)
    with pytest.raises(IPCQueueError) as info:
        q.partial_write_complete()
    assert str(info.value) == text
    assert layout.seg.read() == raw_before  # and ending nothing touched no channel
    q.partial_write(b"ab")
    for value, error in refused:
        with pytest.raises(error):
            q.partial_write(value)
    q.partial_write(b"cd")
    q.partial_write_complete()
    with pytest.raises(IPCQueueError) as info:
        q.partial_write_complete()  # the message already ended
    assert str(info.value) == text
    assert q.read() == b"abcd"
    q.partial_write(b"")  # an empty piece alone starts a message
    assert layout.lists()[1:] == (0, 0)  # channel 0 in use
    q.partial_write_complete()
    assert q.read() == b""
    assert q.read(QDataType.Bytes, 1) is None
    assert_idle(layout)


def test_two_objects_build_at_once_ordered_by_channel_take(queue_name, var_queue):
    a, layout = var_queue(3, 8, 8)
    b = MPMCVarQueue(queue_name)
    a.partial_write(b"A" * 10)  # takes its channel first
    b.partial_write(b"B" * 3)
    b.write(b"whole")  # a whole write while building takes a channel of its own
    assert layout.lists()[0] == LIST_END  # all three channels taken
    b.partial_write(b"b" * 12)
    b.partial_write_complete()  # ends first
    a.partial_write(b"a" * 5)
    a.partial_write_complete()
    assert [a.read(), b.read(), a.read()] == [b"A" * 10 + b"a" * 5, b"B" * 3 + b"b" * 12, b"whole"]
    assert_idle(layout, 3)


def test_destroying_the_object_completes_its_message(queue_name, var_queue):
    q, layout = var_queue(1, 11, 8)
    by_del, by_gc = MPMCVarQueue(queue_name), MPMCVarQueue(queue_name)
    by_del.partial_write(b"abc")
    by_del.partial_write(7)
    del by_del
    assert q.read() == b"abc" + struct.pack("<q", 7)
    by_gc.partial_write(b"c" * 16)  # ends on a cell boundary: needs one more, empty cell
    cycle = [by_gc]
    cycle.append(cycle)
    del by_gc, cycle
    gc.collect()
    assert q.read() == b"c" * 16
    assert_idle(layout)


def test_threads_of_one_object_write_whole_chunks(queue_name, var_queue, start_child):
    threads, chunks = 4, 40
    q, layout = var_queue(1, 1, 16)  # a ring of one cell: writers block inside every chunk
    child = start_child(_partial_writes_from_threads, queue_name, threads, chunks)
    child.wait_for("all waiting")
    message = q.read()
    assert child.result() is True
    assert len(message) == threads * chunks * CHUNK
    seen = {t: [] for t in range(threads)}
    for at in range(0, len(message), CHUNK):
        piece = message[at : at + CHUNK]
        t, k = struct.unpack("<II", piece[:8])
        assert piece == _chunk(t, k)  # no bytes of another call inside
        seen[t].append(k)
    assert all(ks == list(range(chunks)) for ks in seen.values())
    assert_idle(layout)


# ----------------------------------------------------------------- waits ---


def test_threads_wait_inside_messages(queue_name, run_in_child):
    flags, got = run_in_child(_waits_inside_messages, queue_name, timeout=10)
    assert flags == [True] * 3
    assert got == [b"a", b"second", b"abcdefghijkl", b"w" * 40]


def test_a_timed_read_once_taken_is_read_to_its_end(queue_name, var_queue, start_child):
    q, layout = var_queue(1, 4, 8)
    q.partial_write(b"x" * 8)  # one full cell handed over, the message goes on
    child = start_child(_connect_and_read, "mpmcvar", queue_name, QDataType.Bytes, 100)
    child.wait_for("reading")
    child.assert_blocked(settle=0.4)  # past its 100 ms, still reading
    q.partial_write(b"yz")
    q.partial_write_complete()
    assert child.result() == b"x" * 8 + b"yz"
    assert_idle(layout)
