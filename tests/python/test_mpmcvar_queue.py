"""MPMCVarQueue: messages of any length written whole or built from partial
writes of any value kind, channel order, what refused values leave behind,
many writers and readers in real processes, blocking and signals in every
kind of wait, and the life of the queue's names."""

import gc
import hashlib
import multiprocessing
import os
import random
import signal
import struct
import threading
from collections import Counter

import numpy as np
import pytest
from conftest import (
    CHILD_TIMEOUT,
    EXIT_KEYBOARD_INTERRUPT,
    existing_objects,
    notify_parent,
    semaphore_path,
    shm_path,
)
from test_module import overloads, parameters
from test_spsc_queue import _wait_thread_blocked, assert_same_value, on_queue, typed_cases

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

HEADER_SIZE = 40
AREA_HEADER_SIZE = 24
CELL_HEADER_SIZE = 16
LIST_END = 0xFFFFFFFF


class Layout:
    """Reads the words of a queue's segment through an open RawSegment."""

    def __init__(self, seg, num_cells, cell_size):
        self.seg = seg
        self.num_cells = num_cells
        self.cell_size = cell_size
        self.stride = (cell_size + CELL_HEADER_SIZE) * num_cells + AREA_HEADER_SIZE

    def free_head(self):
        return self.seg.u32(24)

    def used(self):
        """(used_head, used_tail)."""
        return self.seg.u32(32), self.seg.u32(36)

    def area(self, channel):
        return HEADER_SIZE + channel * self.stride

    def indices(self, channel):
        """(read_index, write_index) of a channel's ring."""
        return self.seg.u32(self.area(channel) + 12), self.seg.u32(self.area(channel) + 16)

    def cell_lengths(self, channel):
        first = self.area(channel) + AREA_HEADER_SIZE
        return [self.seg.u64(first + j * (self.cell_size + CELL_HEADER_SIZE) + 8) for j in range(self.num_cells)]

    def lists(self):
        return self.free_head(), self.used()


@pytest.fixture
def var_queue(queue_name, open_segment):
    """make(num_channels, num_cells, cell_size) -> (queue, Layout) under queue_name."""

    def make(num_channels, num_cells, cell_size):
        q = MPMCVarQueue(queue_name, num_channels, num_cells, cell_size)
        return q, Layout(open_segment(queue_name), num_cells, cell_size)

    return make


def assert_idle(layout, num_channels=1):
    """No message under way: every channel free, none started."""
    assert layout.free_head() != LIST_END
    assert layout.used() == (LIST_END, LIST_END)
    for c in range(num_channels):
        read_index, write_index = layout.indices(c)
        assert read_index == write_index
        assert set(layout.cell_lengths(c)) == {0}


def interrupt(child, note):
    """Waits until the child is asleep after `note`, then sends it SIGINT."""
    child.wait_for(note)
    child.assert_blocked()
    os.kill(child.pid, signal.SIGINT)


def assert_keyboard_interrupt(child):
    outcome = child.finish()
    assert outcome.exc_type == "KeyboardInterrupt", outcome.describe()
    assert outcome.exitcode == EXIT_KEYBOARD_INTERRUPT


# ------------------------------------------------------- child functions ---
# Module level, so that "spawn" children can find them by name.


def _connect_and_write_all(name):
    q = MPMCVarQueue(name)
    for value, _, _ in typed_cases(256):
        q.write(value)
    return True


def _connect_and_write(name, payload, partial):
    q = MPMCVarQueue(name)
    if partial:
        for i in range(0, len(payload), 7):
            q.partial_write(payload[i : i + 7])
        q.partial_write_complete()
    else:
        q.write(payload)
    return True


def _connect_and_read(name):
    q = MPMCVarQueue(name)
    notify_parent("reading")
    return q.read()


def _timed_read(name, timeout_ms):
    q = MPMCVarQueue(name)
    notify_parent("reading")
    return q.read(QDataType.Bytes, timeout_ms)


def _leave_partial_message(name, pieces):
    # Ends without partial_write_complete: the object's end must finish it.
    q = MPMCVarQueue(name)
    for piece in pieces:
        q.partial_write(piece)
    return True


def _connect_exchange(name):
    q = MPMCVarQueue(name)
    notify_parent("connected")
    got = q.read()
    q.write(got[::-1])
    return got


def _connect_error(name):
    try:
        MPMCVarQueue(name)
    except IPCQueueError as exc:
        return "IPCQueueError", str(exc)
    return "connected", ""


def _connect_and_fail_op(name, op):
    q = MPMCVarQueue(name)
    try:
        if op == "write":
            q.write(b"abc")
        else:
            q.read()
    except IPCQueueError as exc:
        return "IPCQueueError", str(exc)
    return "done", ""


def _blocked_then_interrupted(name, scenario):
    q = MPMCVarQueue(name)
    cell_size = q.cell_size()
    if scenario == "free-channel":
        notify_parent("waiting")
        q.write(b"y")
    elif scenario == "started-message":
        try:
            notify_parent("waiting")
            q.read()
        except KeyboardInterrupt:
            # The interrupted wait took nothing: the next read gets the next message.
            notify_parent("interrupted")
            notify_parent(q.read())
            raise
    elif scenario == "reader-cell":
        notify_parent("waiting")
        q.read()
    elif scenario == "writer-cell":
        notify_parent("waiting")
        q.write(b"z" * (5 * cell_size))
    elif scenario == "partial-cell":
        try:
            notify_parent("waiting")
            q.partial_write(b"z" * (5 * cell_size))
        except KeyboardInterrupt:
            # The object still holds its message and can end it.
            notify_parent("interrupted")
            q.partial_write_complete()
            raise
    elif scenario == "complete-cell":
        q.partial_write(b"z" * (2 * cell_size))  # fills the ring of two cells
        try:
            notify_parent("waiting")
            q.partial_write_complete()
        except KeyboardInterrupt:
            notify_parent("interrupted")
            q.partial_write_complete()
            raise
    return "returned"


def _threads_share_one_queue(name):
    # Runs in a child: a wait that kept the interpreter lock would stop every
    # other thread here, and the test would see a deadlock.
    q = MPMCVarQueue(name, 1, 2, 8)
    flags = {}

    got = []
    t = threading.Thread(target=lambda: got.append(q.read()))
    t.start()
    flags["reader waits for a message"] = _wait_thread_blocked(t)
    q.write(b"hello")
    t.join(5)
    flags["reader woken"] = not t.is_alive() and got == [b"hello"]

    q.partial_write(b"a")  # holds the only channel
    t = threading.Thread(target=lambda: q.write(b"second"))
    t.start()
    flags["writer waits for a channel"] = _wait_thread_blocked(t)
    q.partial_write_complete()
    first = q.read()
    t.join(5)
    flags["writer woken"] = not t.is_alive() and first == b"a" and q.read() == b"second"

    got = []
    q.partial_write(b"ab")  # kept in its cell: nothing to read yet
    t = threading.Thread(target=lambda: got.append(q.read()))
    t.start()
    flags["reader waits for a cell"] = _wait_thread_blocked(t)
    q.partial_write(b"cdefghijkl")
    q.partial_write_complete()
    t.join(5)
    flags["reader got the whole message"] = not t.is_alive() and got == [b"abcdefghijkl"]

    t = threading.Thread(target=lambda: q.write(b"w" * 40))  # five cells through a ring of two
    t.start()
    flags["writer waits for a cell"] = _wait_thread_blocked(t)
    whole = q.read()
    t.join(5)
    flags["writer finished the message"] = not t.is_alive() and whole == b"w" * 40
    return flags


CHUNK = 40


def _chunk(thread, k):
    return struct.pack("<II", thread, k) + bytes([thread * 16 + k % 16]) * (CHUNK - 8)


def _partial_writes_from_threads(name, threads, chunks):
    q = MPMCVarQueue(name)

    def work(t):
        for k in range(chunks):
            q.partial_write(_chunk(t, k))

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    # With no reader yet, one thread waits for a cell inside its first chunk
    # and the others wait to write theirs.
    if not all(_wait_thread_blocked(w) for w in workers):
        raise RuntimeError("writing threads did not all wait")
    notify_parent("all waiting")
    for w in workers:
        w.join(CHILD_TIMEOUT)
    if any(w.is_alive() for w in workers):
        raise RuntimeError("a writing thread never finished")
    q.partial_write_complete()
    return True


# Stress messages: lengths 0..100 cells; the first five bytes name writer and
# sequence when the message is long enough. A stop marker starts with 0xff,
# which no writer number does.
STOP = b"\xffSTOP"


def _stress_message(writer, seq, cell_size):
    r = random.Random(writer * 1_000_003 + seq)
    length = r.randint(0, 100 * cell_size)
    return (bytes([writer]) + seq.to_bytes(4, "little") + r.randbytes(length))[:length]


def _digest(message):
    return hashlib.blake2b(message, digest_size=16).digest()


def _send_piece(q, piece, r):
    """One partial write of `piece`, as whatever value kind gives exactly its bytes."""
    choice = r.random()
    if len(piece) == 8 and choice < 0.3:
        q.partial_write(int.from_bytes(piece, "little", signed=True))
        return
    if len(piece) % 8 == 0 and choice < 0.6:
        q.partial_write(np.frombuffer(piece, dtype=np.int64))
        return
    if choice < 0.7:
        try:
            text = piece.decode("utf-8")
        except UnicodeDecodeError:
            pass
        else:
            q.partial_write(text)
            return
    q.partial_write(piece)


def _stress_writer(name, writer, count, go):
    q = MPMCVarQueue(name)
    notify_parent("connected")
    if not go.wait(CHILD_TIMEOUT):
        raise RuntimeError("never told to start")
    cell_size = q.cell_size()
    r = random.Random(-1 - writer)
    for seq in range(count):
        message = _stress_message(writer, seq, cell_size)
        if r.random() < 0.5:
            if len(message) % 8 == 0 and r.random() < 0.3:
                q.write(np.frombuffer(message, dtype=np.int64))
            else:
                q.write(message)
            continue
        at = 0
        while True:
            size = r.choice([0, 1, 3, 8, 8, 16, cell_size, 3 * cell_size, 40 * cell_size])
            _send_piece(q, message[at : at + size], r)
            at += size
            if at >= len(message):
                break
        q.partial_write_complete()
    return count


def _stress_reader(name, go):
    q = MPMCVarQueue(name)
    notify_parent("connected")
    if not go.wait(CHILD_TIMEOUT):
        raise RuntimeError("never told to start")
    got = []
    while True:
        message = q.read()
        if message == STOP:
            return got
        ident = (message[0], int.from_bytes(message[1:5], "little")) if len(message) >= 5 else None
        got.append((_digest(message), ident))


# ------------------------------------------------------- message lengths ---


class TestMessageLengths:
    def test_eleven_cells_hold_ten_full_and_one_short(self, var_queue):
        q, layout = var_queue(1, 11, 16)
        payload = random.Random(1).randbytes(10 * 16 + 1)
        q.write(payload)
        assert layout.cell_lengths(0) == [16] * 10 + [1]
        assert q.read() == payload
        assert_idle(layout)

    def test_exact_multiple_ends_with_an_empty_cell(self, var_queue):
        q, layout = var_queue(1, 11, 16)
        payload = bytes(range(48))
        q.write(payload)
        assert layout.cell_lengths(0)[:4] == [16, 16, 16, 0]
        assert layout.indices(0) == (0, 4)
        assert q.read() == payload
        assert_idle(layout)

    @pytest.mark.parametrize("partial", [False, True], ids=["whole", "partial"])
    def test_longer_than_the_ring_between_two_processes(self, queue_name, var_queue, start_child, partial):
        q, layout = var_queue(1, 2, 16)
        payload = random.Random(2).randbytes(10 * 16 + 1)
        child = start_child(_connect_and_write, queue_name, payload, partial)
        assert q.read() == payload
        assert child.result() is True
        assert_idle(layout)

    def test_reader_in_another_process(self, queue_name, var_queue, start_child):
        q, layout = var_queue(1, 2, 16)
        child = start_child(_connect_and_read, queue_name)
        child.wait_for("reading")
        payload = random.Random(3).randbytes(37 * 16)
        q.write(payload)  # waits for the reader cell by cell
        assert child.result() == payload

    def test_empty_messages(self, var_queue):
        q, layout = var_queue(1, 4, 8)
        for value, kind, expected in [
            (b"", QDataType.Bytes, b""),
            ("", QDataType.String, ""),
            (np.array([], dtype=np.int64), QDataType.IntArray, np.array([], dtype=np.int64)),
            (np.array([]), QDataType.FloatArray, np.array([], dtype=np.float64)),
        ]:
            before = layout.indices(0)[1]
            q.write(value)
            assert layout.indices(0)[1] == (before + 1) % 4  # one empty cell
            assert_same_value(q.read(kind), expected)
        q.partial_write(b"")
        q.partial_write_complete()
        assert q.read() == b""
        assert_idle(layout)

    def test_thousand_int64_through_small_cells(self, var_queue):
        q, _ = var_queue(1, 200, 64)
        ints = np.random.default_rng(4).integers(-(2**63), 2**63 - 1, 1000, dtype=np.int64)
        floats = np.random.default_rng(5).standard_normal(1000)
        q.write(ints)
        assert_same_value(q.read(QDataType.IntArray), ints)
        q.write(floats)
        assert_same_value(q.read(QDataType.FloatArray), floats)


# ------------------------------------------------------------ the codec ---


class TestCodec:
    def test_every_kind_written_by_connected_child(self, queue_name, start_child):
        q = MPMCVarQueue(queue_name, 2, 3, 16)  # fewer channels than messages: the writer waits
        child = start_child(_connect_and_write_all, queue_name)
        got = [q.read(kind) for _, kind, _ in typed_cases(256)]
        assert child.result() is True
        for (_, _, expected), value in zip(typed_cases(256), got):
            assert_same_value(value, expected)

    def test_partial_writes_of_every_kind_make_one_message(self, var_queue):
        q, layout = var_queue(1, 16, 8)
        q.partial_write(b"\x00ab")
        q.partial_write("\u00e9")
        q.partial_write(-2)
        q.partial_write(True)
        q.partial_write(1.0)
        q.partial_write(np.float64(2.5))
        q.partial_write(np.array([1.5]))
        q.partial_write(np.array([3], dtype=np.int64))
        q.partial_write([1, 2])  # converted to doubles
        q.partial_write(np.array([0.5], dtype=np.float32))
        q.partial_write_complete()
        expected = (
            b"\x00ab"
            + "\u00e9".encode()
            + struct.pack("<qqdddq", -2, 1, 1.0, 2.5, 1.5, 3)
            + struct.pack("<ddd", 1.0, 2.0, 0.5)
        )
        assert q.read() == expected
        assert_idle(layout)

    def test_int_float_and_empty_bytes_read_under_three_types(self, queue_name, var_queue):
        q, layout = var_queue(4, 8, 8)
        for _ in range(3):
            q.partial_write(1)
            q.partial_write(2.5)
            q.partial_write(b"")
            q.partial_write_complete()
        q.write(b"after")
        assert q.read() == struct.pack("<qd", 1, 2.5)
        bits = struct.unpack("<q", struct.pack("<d", 2.5))[0]
        assert_same_value(q.read(QDataType.IntArray), np.array([1, bits], dtype=np.int64))
        with pytest.raises(IPCQueueError) as info:
            q.read(QDataType.Int)
        assert str(info.value) == on_queue("MPMCVarQueue.read(Int): data length is not 8", queue_name)
        assert q.read() == b"after"  # the refused message was consumed
        assert_idle(layout, 4)

    @pytest.mark.parametrize(
        "payload, kind, text",
        [
            (b"abcde", QDataType.Float, "MPMCVarQueue.read(Float): data length is not 8"),
            (b"", QDataType.Int, "MPMCVarQueue.read(Int): data length is not 8"),
            (b"x" * 12, QDataType.IntArray, "MPMCVarQueue.read(IntArray): data length is not a multiple of 8"),
            (b"x" * 33, QDataType.FloatArray, "MPMCVarQueue.read(FloatArray): data length is not a multiple of 8"),
        ],
    )
    def test_read_length_checks_free_the_channel(self, queue_name, var_queue, payload, kind, text):
        q, layout = var_queue(1, 8, 8)
        q.write(payload)
        with pytest.raises(IPCQueueError) as info:
            q.read(kind)
        assert str(info.value) == on_queue(text, queue_name)
        assert_idle(layout)  # checked before the next write, which would otherwise wait forever
        q.write(b"next")
        assert q.read() == b"next"

    @pytest.mark.parametrize("value", [9, 6, -1])
    def test_unknown_type_consumes_and_frees_the_channel(self, var_queue, value):
        q, layout = var_queue(1, 4, 8)
        q.write(b"one" * 5)  # two cells
        with pytest.raises(TypeError) as info:
            q.read(QDataType(value))
        assert str(info.value).startswith("Unable to convert function return value to a Python type!")
        assert_idle(layout)
        q.write(b"two")
        assert q.read() == b"two"

    def test_invalid_utf8_is_consumed(self, var_queue):
        q, layout = var_queue(1, 4, 8)
        q.write(b"ok \xc3")
        with pytest.raises(UnicodeDecodeError):
            q.read(QDataType.String)
        assert_idle(layout)

    @pytest.mark.parametrize(
        "args",
        [(2,), (None,), (QDataType.Int, 1.5), (QDataType.Int, "5"), (QDataType.Int, QDataType.Int)],
        ids=["plain-int", "none", "float-timeout", "str-timeout", "enum-timeout"],
    )
    def test_wrong_read_arguments_take_nothing(self, var_queue, args):
        q, layout = var_queue(1, 4, 8)
        q.write(b"one")
        before = layout.lists()
        with pytest.raises(TypeError):
            q.read(*args)
        assert layout.lists() == before
        assert q.read() == b"one"


# ------------------------------------------------------ refused values ---


def assert_nothing_started(q, layout):
    """No channel taken and no partial message under way on `q`."""
    assert_idle(layout)
    assert q.read(QDataType.Bytes, 1) is None
    with pytest.raises(IPCQueueError):
        q.partial_write_complete()


class TestRefusedValues:
    @pytest.mark.parametrize(
        "value, text",
        [
            (np.zeros((2, 2)), "# of dimensions > 1"),
            (np.zeros((2, 2), dtype=np.int64), "# of dimensions > 1"),
            ([[1, 2], [3, 4]], "# of dimensions > 1"),
            (np.array(1.0), "# of dimensions > 1"),
            (np.arange(8.0)[::2], "stride not 1"),
            (np.arange(8, dtype=np.int64)[::-1], "stride not 1"),
        ],
        ids=["2d-float64", "2d-int64", "nested-list", "0d", "float64-step2", "int64-reversed"],
    )
    def test_array_shape_in_write_and_partial_write(self, var_queue, value, text):
        q, layout = var_queue(1, 4, 8)
        with pytest.raises(IPCQueueError) as info:
            q.write(value)
        assert str(info.value) == "MPMCVarQueue.write(numpy_array): Incompatible numpy array: " + text
        with pytest.raises(IPCQueueError) as info:
            q.partial_write(value)
        assert str(info.value) == "MPMCVarQueue.partial_write(numpy_array): Incompatible numpy array: " + text
        assert_nothing_started(q, layout)

    def test_lone_surrogate(self, queue_name, var_queue):
        q, layout = var_queue(1, 4, 8)
        text = on_queue("MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed.", queue_name)
        for method in (q.write, q.partial_write):
            with pytest.raises(IPCQueueError) as info:
                method("a\ud800b")
            assert str(info.value) == text
        assert_nothing_started(q, layout)

    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64])
    def test_int_outside_int64(self, var_queue, value):
        q, layout = var_queue(1, 4, 8)
        for method in (q.write, q.partial_write):
            with pytest.raises(OverflowError):
                method(value)
        assert_nothing_started(q, layout)

    def test_refused_value_leaves_the_message_under_way_unchanged(self, var_queue):
        q, layout = var_queue(1, 8, 8)
        q.partial_write(b"ab")
        for value, error in [
            (np.zeros((2, 2)), IPCQueueError),
            (np.arange(4.0)[::2], IPCQueueError),
            ("\udfff", IPCQueueError),
            (2**64, OverflowError),
            (object(), TypeError),
        ]:
            with pytest.raises(error):
                q.partial_write(value)
        q.partial_write(b"cd")
        q.partial_write_complete()
        assert q.read() == b"abcd"
        assert_idle(layout)

    def test_complete_without_a_partial_message(self, queue_name, var_queue, open_segment):
        q, layout = var_queue(2, 4, 8)
        text = on_queue("MPMCVarQueue.partial_write_complete: no partial message under way", queue_name)
        raw_before = layout.seg.read()
        with pytest.raises(IPCQueueError) as info:
            q.partial_write_complete()
        assert str(info.value) == text
        assert layout.seg.read() == raw_before  # no channel touched
        q.partial_write(b"x")
        q.partial_write_complete()
        with pytest.raises(IPCQueueError) as info:
            q.partial_write_complete()  # the message already ended
        assert str(info.value) == text
        assert q.read() == b"x"
        assert q.read(QDataType.Bytes, 1) is None
        assert_idle(layout, 2)


# ---------------------------------------------------- partial messages ---


class TestPartialMessages:
    def test_two_objects_build_at_once_ordered_by_channel_take(self, queue_name, var_queue):
        a, layout = var_queue(2, 8, 8)
        b = MPMCVarQueue(queue_name)
        a.partial_write(b"A" * 10)  # takes its channel first
        b.partial_write(b"B" * 3)
        assert layout.free_head() == LIST_END  # both channels taken
        b.partial_write(b"b" * 12)
        b.partial_write_complete()  # ends first
        a.partial_write(b"a" * 5)
        a.partial_write_complete()
        assert a.read() == b"A" * 10 + b"a" * 5
        assert b.read() == b"B" * 3 + b"b" * 12
        assert_idle(layout, 2)

    def test_whole_write_while_building_comes_after(self, var_queue):
        q, layout = var_queue(2, 4, 8)
        q.partial_write(b"p" * 9)
        q.write(b"whole")
        q.partial_write(b"q")
        q.partial_write_complete()
        assert [q.read(), q.read()] == [b"p" * 9 + b"q", b"whole"]
        assert_idle(layout, 2)

    def test_complete_right_after_an_empty_partial_write(self, var_queue):
        q, layout = var_queue(1, 4, 8)
        q.partial_write(b"")
        assert layout.used() == (0, 0)  # the empty write took the channel
        q.partial_write_complete()
        assert q.read() == b""
        assert_idle(layout)

    def test_destroying_the_object_completes_its_message(self, queue_name, var_queue):
        q, layout = var_queue(1, 8, 8)
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

    def test_message_left_by_an_ending_process_arrives_whole(self, queue_name, var_queue, start_child):
        q, layout = var_queue(1, 11, 8)
        pieces = [b"x" * 20, b"y" * 12, b"z" * 8]  # 40 bytes: ends on a cell boundary
        assert start_child(_leave_partial_message, queue_name, pieces).result() is True
        assert q.read() == b"".join(pieces)
        assert_idle(layout)

    def test_threads_of_one_object_write_whole_chunks(self, queue_name, var_queue, start_child):
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
            assert t in seen
            assert piece == _chunk(t, k)  # no bytes of another call inside
            seen[t].append(k)
        assert all(ks == list(range(chunks)) for ks in seen.values())
        assert_idle(layout)


# ------------------------------------------------------- timed reads ---


class TestTimedRead:
    def test_nothing_started_gives_none(self, var_queue):
        q, layout = var_queue(1, 4, 8)
        before = layout.seg.read()
        assert q.read(QDataType.Bytes, 50) is None
        assert q.read(QDataType.Int, 1) is None
        assert layout.seg.read() == before
        q.write(4)
        assert q.read(QDataType.Int, 50) == 4

    def test_a_message_once_taken_is_read_to_its_end(self, queue_name, var_queue, start_child):
        q, layout = var_queue(1, 4, 8)
        q.partial_write(b"x" * 8)  # one full cell handed over, the message goes on
        child = start_child(_timed_read, queue_name, 100)
        child.wait_for("reading")
        child.assert_blocked(settle=0.4)  # past its 100 ms, still reading
        q.partial_write(b"yz")
        q.partial_write_complete()
        assert child.result() == b"x" * 8 + b"yz"
        assert_idle(layout)

    def test_zero_means_no_limit(self, queue_name, var_queue, start_child):
        q, _ = var_queue(1, 4, 8)
        child = start_child(_timed_read, queue_name, 0)
        child.wait_for("reading")
        child.assert_blocked()
        q.write(b"late")
        assert child.result() == b"late"


# ---------------------------------------------------- blocking, signals ---


class TestBlocking:
    def test_threads_of_one_process_wake_each_other(self, queue_name, run_in_child):
        flags = run_in_child(_threads_share_one_queue, queue_name, timeout=10)
        assert flags == dict.fromkeys(flags, True) and len(flags) == 8, flags

    def test_sigint_while_waiting_for_a_free_channel(self, queue_name, var_queue, start_child):
        q, layout = var_queue(1, 4, 8)
        q.partial_write(b"x")  # holds the only channel
        child = start_child(_blocked_then_interrupted, queue_name, "free-channel")
        interrupt(child, "waiting")
        assert_keyboard_interrupt(child)
        q.partial_write_complete()
        assert q.read() == b"x"
        assert q.read(QDataType.Bytes, 1) is None  # the interrupted write took no channel
        assert_idle(layout)

    def test_sigint_while_waiting_for_a_started_message(self, queue_name, var_queue, start_child):
        q, layout = var_queue(1, 4, 8)
        child = start_child(_blocked_then_interrupted, queue_name, "started-message")
        interrupt(child, "waiting")
        child.wait_for("interrupted")
        q.write(b"next")
        child.wait_for(b"next")
        assert_keyboard_interrupt(child)
        assert_idle(layout)

    def test_sigint_while_the_reader_waits_for_a_cell(self, queue_name, var_queue, start_child):
        q, _ = var_queue(1, 4, 8)
        q.partial_write(b"ab")  # started, nothing handed over
        child = start_child(_blocked_then_interrupted, queue_name, "reader-cell")
        interrupt(child, "waiting")
        assert_keyboard_interrupt(child)

    def test_sigint_while_a_whole_write_waits_for_a_cell(self, queue_name, var_queue, start_child):
        q, _ = var_queue(1, 2, 8)
        child = start_child(_blocked_then_interrupted, queue_name, "writer-cell")
        interrupt(child, "waiting")
        assert_keyboard_interrupt(child)

    @pytest.mark.parametrize("scenario", ["partial-cell", "complete-cell"])
    def test_sigint_while_a_partial_message_waits_for_a_cell(self, queue_name, var_queue, start_child, scenario):
        q, layout = var_queue(1, 2, 8)
        child = start_child(_blocked_then_interrupted, queue_name, scenario)
        interrupt(child, "waiting")
        child.wait_for("interrupted")
        # What was handed over before the signal stays; the retried end completes it.
        assert q.read() == b"z" * 16
        assert_keyboard_interrupt(child)
        assert_idle(layout)


class TestStress:
    def test_writers_mixing_whole_and_partial_and_readers(self, queue_name, var_queue, start_child):
        writers, readers, count, cell_size = 3, 3, 120, 16
        q, layout = var_queue(3, 4, cell_size)
        go = multiprocessing.get_context("fork").Event()
        reader_children = [start_child(_stress_reader, queue_name, go) for _ in range(readers)]
        writer_children = [start_child(_stress_writer, queue_name, w, count, go) for w in range(writers)]
        # Everybody connects before anybody can end: an object that is
        # destroyed removes the names.
        for child in reader_children + writer_children:
            child.wait_for("connected")
        go.set()
        assert [w.result(timeout=25) for w in writer_children] == [count] * writers
        for _ in range(readers):
            q.write(STOP)
        received = [r.result(timeout=10) for r in reader_children]

        expected = {(w, s): _stress_message(w, s, cell_size) for w in range(writers) for s in range(count)}
        # Every message once, none mixed with another or cut short.
        assert Counter(d for got in received for d, _ in got) == Counter(_digest(m) for m in expected.values())
        for got in received:
            for digest, ident in got:
                if ident is not None:
                    assert _digest(expected[ident]) == digest
            for w in range(writers):
                seqs = [ident[1] for _, ident in got if ident is not None and ident[0] == w]
                assert all(a < b for a, b in zip(seqs, seqs[1:]))
        assert_idle(layout, 3)


# ---------------------------------------------------------- binding table ---


class TestBinding:
    def test_class_shape(self, queue_name):
        assert [b.__name__ for b in MPMCVarQueue.__bases__] == ["pybind11_object"]
        public = sorted(n for n in vars(MPMCVarQueue) if not n.startswith("_"))
        assert public == ["cell_size", "partial_write", "partial_write_complete", "read", "unlink", "write"]
        q = MPMCVarQueue(queue_name, 1, 2, 24)
        assert q.cell_size() == 24
        assert MPMCVarQueue(queue_name).cell_size() == 24

    def test_constructors(self, queue_name):
        create, connect = overloads(MPMCVarQueue.__init__)
        assert len(parameters(create[0])) == 5 and parameters(create[0])[1][1] == "str"
        assert [a for _, a in parameters(connect[0])[1:]] == ["str"]
        with pytest.raises(TypeError):
            MPMCVarQueue(queue_name, 1, 1, -1)  # cell_size is unsigned
        with pytest.raises(TypeError):
            MPMCVarQueue(queue_name, 1, 8)
        assert existing_objects(queue_name) == []

    def test_rows_in_order_with_docstrings(self, queue_name):
        reads = overloads(MPMCVarQueue.read)
        assert [doc for _, doc in reads][:2] == ["read byte", "read specified type"]
        assert [[a for _, a in parameters(sig)[1:]] for sig, _ in reads] == [
            [],
            ["mox_ipc_queue.QDataType"],
            ["mox_ipc_queue.QDataType", "int"],  # the timed read, after the fixed rows
        ]
        for function, prefix, name in [
            (MPMCVarQueue.write, "write ", "write"),
            (MPMCVarQueue.partial_write, "partial write of ", "partial write"),
        ]:
            rows = overloads(function)
            assert [doc for _, doc in rows] == [
                prefix + "bytes object",
                prefix + "string object",
                prefix + "int value",
                prefix + "float value",
                prefix + "numpy array of dtype double",
                prefix + "numpy array of dtype int64_t",
            ], name
            annotations = [parameters(sig)[1][1] for sig, _ in rows]
            assert annotations[:4] == ["bytes", "str", "int", "float"]
            assert "float64" in annotations[4] and "int64" in annotations[5]
        assert overloads(MPMCVarQueue.partial_write_complete)[0][1] == "partial write complete"
        assert overloads(MPMCVarQueue.unlink)[0][1] == "call shm_unlink"
        assert overloads(MPMCVarQueue.cell_size)[0][1] == ""

        # The order decides conversions: values no row takes as they are
        # become doubles through the first array row, in both methods.
        q = MPMCVarQueue(queue_name, 1, 4, 16)
        for value, kind, expected in [
            ([1, 2], QDataType.FloatArray, np.array([1.0, 2.0])),
            (np.array([3], dtype=np.int32), QDataType.FloatArray, np.array([3.0])),
            (True, QDataType.Int, 1),
            (np.float64(0.25), QDataType.Float, 0.25),
        ]:
            q.write(value)
            assert_same_value(q.read(kind), expected)
            q.partial_write(value)
            q.partial_write_complete()
            assert_same_value(q.read(kind), expected)


# ------------------------------------------------------ names, lifecycle ---


def _missing_text(name):
    return (
        "MPMCVarQueueCPP:connect constructor: unable to open shared memory "
        f"on queue '{name}': No such file or directory"
    )


def _expected_objects(name, num_channels):
    suffixes = ["_free_", "_used_", "_used_mutex_"]
    for c in range(num_channels):
        suffixes += [f"_free_channel_{c}", f"_filled_channel_{c}"]
    return sorted([shm_path(name)] + [semaphore_path(name, s) for s in suffixes])


class TestNames:
    def test_unlink_twice_then_connect_fails_while_attached_objects_work(self, queue_name, start_child):
        q = MPMCVarQueue(queue_name, 3, 2, 8)
        assert sorted(existing_objects(queue_name)) == _expected_objects(queue_name, 3)
        child = start_child(_connect_exchange, queue_name)
        child.wait_for("connected")
        q.unlink()
        q.unlink()
        assert existing_objects(queue_name) == []
        with pytest.raises(IPCQueueError) as info:
            MPMCVarQueue(queue_name)
        assert str(info.value) == _missing_text(queue_name)
        q.write(b"ping" * 10)  # longer than the ring: both sides stream
        assert q.read() == b"gnip" * 10
        assert child.result() == b"ping" * 10
        other = MPMCVarQueue(queue_name, 1, 2, 8)  # the name is free again
        other.write(b"new")
        assert q.read(QDataType.Bytes, 1) is None
        assert other.read() == b"new"

    def test_destroying_a_connected_object_removes_the_names(self, queue_name):
        q = MPMCVarQueue(queue_name, 2, 4, 8)
        connected = MPMCVarQueue(queue_name)
        connected.write(b"from the connected one")
        del connected
        assert existing_objects(queue_name) == []
        assert q.read() == b"from the connected one"

    @pytest.mark.parametrize("kind", ["mpmcvar", "spsc", "mpmc"])
    def test_create_on_a_taken_name(self, queue_name, kind):
        holder = {
            "mpmcvar": lambda: MPMCVarQueue(queue_name, 1, 2, 8),
            "spsc": lambda: SPSCQueue(queue_name, 2, 8, True),
            "mpmc": lambda: MPMCQueue(queue_name, 2, 8),
        }[kind]()
        before = sorted(existing_objects(queue_name))
        with pytest.raises(IPCQueueError) as info:
            MPMCVarQueue(queue_name, 1, 2, 8)
        assert str(info.value) == (
            "MPMCVarQueueCPP:create constructor: Shared memory file with same name already exists. "
            f"on queue '{queue_name}': File exists"
        )
        assert sorted(existing_objects(queue_name)) == before
        del holder

    @pytest.mark.parametrize("kind", ["spsc", "mpmc"])
    def test_connect_to_another_kind(self, queue_name, kind):
        holder = SPSCQueue(queue_name, 2, 8, True) if kind == "spsc" else MPMCQueue(queue_name, 2, 8)
        with pytest.raises(IPCQueueError) as info:
            MPMCVarQueue(queue_name)
        assert str(info.value) == (
            "MPMCVarQueueCPP:connect constructor: cannot connect to queue type other than MPMCVarQueue "
            f"on queue '{queue_name}'"
        )
        del holder

    @pytest.mark.parametrize(
        "args, text, named",
        [
            (("", 1, 1, 8), "MPMCVarQueueCPP:create constructor: queue name is empty", False),
            ((None, 0, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels <= 0", True),
            ((None, 2**31, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels > 2147483647", True),
            ((None, 1, 0, 8), "MPMCVarQueueCPP:create constructor: num_cells <= 0", True),
            ((None, 1, 2**31, 8), "MPMCVarQueueCPP:create constructor: num_cells > 2147483647", True),
            ((None, 1, 1, 0), "MPMCVarQueueCPP:create constructor: cell_size == 0", True),
            (("",), "MPMCVarQueue:connect constructor: queue name is empty", False),
        ],
    )
    def test_argument_checks(self, queue_name, args, text, named):
        args = tuple(queue_name if a is None else a for a in args)
        with pytest.raises(IPCQueueError) as info:
            MPMCVarQueue(*args)
        assert str(info.value) == (on_queue(text, queue_name) if named else text)
        assert existing_objects(queue_name) == []


def _header(size, queue_type, channels, cells, cell_size):
    return struct.pack("<QIIIIQII", size, queue_type, channels, cells, cell_size, 0, LIST_END, LIST_END)


# One channel of two 8-byte cells: 40 + (2 * 24 + 24) bytes.
SOUND = 112

DAMAGED_SEGMENTS = {
    "empty": b"",
    "shorter-than-size-field": b"\x01\x02\x03",
    "never-initialised": bytes(SOUND),
    "size-claims-more-than-file": _header(1 << 20, 2, 1, 2, 8) + bytes(SOUND - 40),
    "size-claims-less-than-file": _header(64, 2, 1, 2, 8) + bytes(SOUND - 40),
    "zero-channels": _header(SOUND, 2, 0, 2, 8) + bytes(SOUND - 40),
    "zero-cells": _header(SOUND, 2, 1, 0, 8) + bytes(SOUND - 40),
    "zero-cell-size": _header(SOUND, 2, 1, 2, 0) + bytes(SOUND - 40),
    "more-channels-than-fit": _header(SOUND, 2, 1000, 2, 8) + bytes(SOUND - 40),
    "more-cells-than-fit": _header(SOUND, 2, 1, 1000, 8) + bytes(SOUND - 40),
    "header-only": _header(40, 2, 1, 2, 8),
}


class TestDamagedSegments:
    @pytest.mark.parametrize("content", DAMAGED_SEGMENTS.values(), ids=DAMAGED_SEGMENTS.keys())
    def test_connect_refuses_damaged_segment(self, queue_name, run_in_child, content):
        with open(shm_path(queue_name), "xb") as f:
            f.write(content)
        assert run_in_child(_connect_error, queue_name) == (  # a crash fails in run_in_child
            "IPCQueueError",
            f"MPMCVarQueueCPP:connect constructor: segment is damaged or not initialised on queue '{queue_name}'",
        )

    def test_sound_segment_without_semaphores(self, queue_name, run_in_child):
        with open(shm_path(queue_name), "xb") as f:
            f.write(_header(SOUND, 2, 1, 2, 8) + bytes(SOUND - 40))
        assert run_in_child(_connect_error, queue_name) == (
            "IPCQueueError",
            "MPMCVarQueueCPP:connect constructor: unable to create free semaphore "
            f"on queue '{queue_name}_free_': No such file or directory",
        )

    @pytest.mark.parametrize(
        "op, written, offset, value, width",
        [
            ("write", False, 24, 99, 4),  # free_head beyond the channels
            ("write", False, HEADER_SIZE + 16, 50, 4),  # write_index beyond the ring
            ("read", True, 32, 99, 4),  # used_head beyond the channels
            ("read", True, HEADER_SIZE + 12, 50, 4),  # read_index beyond the ring
            ("read", True, HEADER_SIZE + AREA_HEADER_SIZE + 8, 1 << 40, 8),  # longer than its cell
        ],
        ids=["free-head", "write-index", "used-head", "read-index", "cell-length"],
    )
    def test_lying_contents_raise_instead_of_crashing(self, queue_name, run_in_child, op, written, offset, value, width):
        q = MPMCVarQueue(queue_name, 1, 2, 8)
        if written:
            q.write(b"abc")
        fd = os.open(shm_path(queue_name), os.O_RDWR)
        try:
            os.pwrite(fd, value.to_bytes(width, "little"), offset)
        finally:
            os.close(fd)
        kind, text = run_in_child(_connect_and_fail_op, queue_name, op, timeout=10)
        assert kind == "IPCQueueError"
        assert f"on queue '{queue_name}'" in text
