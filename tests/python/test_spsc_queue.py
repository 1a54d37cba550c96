"""SPSCQueue: typed values across processes, the bytes in the segment, the
codec's refusals, blocking, signals, and the life of the queue's names."""

import math
import os
import signal
import struct
import threading
import time

import numpy as np
import pytest
from conftest import (
    EXIT_KEYBOARD_INTERRUPT,
    existing_objects,
    notify_parent,
    segment_bytes,
    semaphore_path,
    shm_path,
)

from mox_ipc_queue import IPCQueueError, QDataType, SPSCQueue

HEADER_SIZE = 48
CELL_HEADER_SIZE = 16


def cell_offset(index, cell_size):
    return HEADER_SIZE + index * (cell_size + CELL_HEADER_SIZE)


def cell_message(raw, index, cell_size):
    """(first 8 header bytes, length, payload) of ring cell `index` in raw segment bytes."""
    off = cell_offset(index, cell_size)
    length = int.from_bytes(raw[off + 8 : off + 16], "little")
    return raw[off : off + 8], length, raw[off + 16 : off + 16 + length]


def indices(seg):
    """(read_index, write_index) from the header."""
    return seg.u32(24), seg.u32(28)


def on_queue(text, name):
    return f"{text} on queue '{name}'"


def assert_same_value(got, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray)
        assert got.dtype == expected.dtype
        assert got.ndim == 1
        np.testing.assert_array_equal(got, expected)
    elif isinstance(expected, float) and math.isnan(expected):
        assert type(got) is float and math.isnan(got)
    else:
        assert type(got) is type(expected)
        assert got == expected


def typed_cases(cell_size):
    """(value written, type read, value expected), one message each."""
    return [
        (b"\x00\xffraw\n", QDataType.Bytes, b"\x00\xffraw\n"),
        ("h\u00e9llo w\u00f6rld \u2713 \U0001f642", QDataType.String, "h\u00e9llo w\u00f6rld \u2713 \U0001f642"),
        (-1234567890123, QDataType.Int, -1234567890123),
        (3.25, QDataType.Float, 3.25),
        (np.array([1.5, -2.25, 1e300]), QDataType.FloatArray, np.array([1.5, -2.25, 1e300])),
        (np.array([1, -2, 2**62], dtype=np.int64), QDataType.IntArray, np.array([1, -2, 2**62], dtype=np.int64)),
        (True, QDataType.Int, 1),
        (False, QDataType.Int, 0),
        (np.float64(2.5), QDataType.Float, 2.5),
        ([1, 2, 3], QDataType.FloatArray, np.array([1.0, 2.0, 3.0])),
        ((4, 5), QDataType.FloatArray, np.array([4.0, 5.0])),
        (np.array([0.5, 1.25], dtype=np.float32), QDataType.FloatArray, np.array([0.5, 1.25])),
        (np.array([7, 8], dtype=np.int32), QDataType.FloatArray, np.array([7.0, 8.0])),
        (float("-inf"), QDataType.Float, float("-inf")),
        (float("nan"), QDataType.Float, float("nan")),
        (b"", QDataType.Bytes, b""),
        ("", QDataType.String, ""),
        (np.array([], dtype=np.float64), QDataType.FloatArray, np.array([], dtype=np.float64)),
        (bytes(range(256))[:cell_size], QDataType.Bytes, bytes(range(256))[:cell_size]),
    ]


# ------------------------------------------------------- child functions ---
# Module level, so that "spawn" children can find them by name.


def _connect_and_write_all(name):
    q = SPSCQueue(name)
    for value, _, _ in typed_cases(q.cell_size()):
        q.write(value)
    return q.cell_size()


def _connect_and_read_all(name):
    q = SPSCQueue(name)
    return [q.read(kind) for _, kind, _ in typed_cases(q.cell_size())]


def _create_then_read(name):
    q = SPSCQueue(name, 2, 32, True)
    notify_parent("created")
    return q.read(QDataType.String), q.read(QDataType.FloatArray)


def _write_sequence(name, count):
    q = SPSCQueue(name)
    for i in range(count):
        q.write(i.to_bytes(4, "little") * (i % 4 + 1))
    return count


def _connect_read_types(name, kinds):
    q = SPSCQueue(name)
    return [q.read(kind) for kind in kinds]


def _connect_report_thread(name):
    # Connect from a second thread, so its identity differs from the creator's
    # even though a forked child's main thread inherits the parent's.
    found = []

    def connect():
        found.append((SPSCQueue(name), threading.get_ident()))

    t = threading.Thread(target=connect)
    t.start()
    t.join()
    return found[0][1]


def _connect_and_read_one(name):
    q = SPSCQueue(name)
    notify_parent("connected")
    return q.read()


def _connect_error(name):
    try:
        SPSCQueue(name)
    except IPCQueueError as exc:
        return "IPCQueueError", str(exc)
    return "connected", ""


def _connect_read_error(name):
    q = SPSCQueue(name)
    try:
        q.read()
    except IPCQueueError as exc:
        return "IPCQueueError", str(exc)
    return "read", ""


def _write_until_full_then_more(name):
    q = SPSCQueue(name)
    q.write(b"m0")
    q.write(b"m1")
    notify_parent("full")
    q.write(b"m2")  # the ring has two cells: waits for the reader
    return "wrote m2"


def _read_when_available(name):
    q = SPSCQueue(name)
    notify_parent("reading")
    return q.read(QDataType.String)


def _read_interrupted(name):
    q = SPSCQueue(name)
    try:
        notify_parent("reading")
        q.read()
    except KeyboardInterrupt:
        # The interrupted read took nothing: the next read gets the next message.
        notify_parent("interrupted")
        notify_parent(q.read())
        raise
    return "read returned"


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


def _write_big(name, seed):
    q = SPSCQueue(name)
    rng = np.random.default_rng(seed)
    size = q.cell_size()
    q.write(rng.bytes(size))
    q.write(rng.integers(-(2**62), 2**62, size // 8, dtype=np.int64))
    q.write(rng.bytes(size - 1))
    return True


def _write_interrupted(name):
    q = SPSCQueue(name)
    q.write(b"first")  # fills the one cell
    try:
        notify_parent("full")
        q.write(b"lost")
    except KeyboardInterrupt:
        notify_parent("interrupted")
        q.write(b"second")
        raise
    return "write returned"


def _refused_read_then_next(name, payload, kind):
    q = SPSCQueue(name, 1, 16, True)
    q.write(payload)
    try:
        q.read(kind)
    except Exception as exc:
        error = (type(exc).__name__, str(exc))
    else:
        error = None
    q.write(b"next")
    return error, q.read()


def _thread_state(tid):
    try:
        with open(f"/proc/self/task/{tid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def _wait_thread_blocked(thread):
    deadline = time.monotonic() + 5
    while _thread_state(thread.native_id) != "S" and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    return thread.is_alive() and _thread_state(thread.native_id) == "S"


def _threads_share_one_queue(name):
    # Runs in a child: if a wait held the interpreter lock, nothing here could
    # run again and the test sees a deadlock.
    q = SPSCQueue(name, 2, 16, True)
    got = []
    reader = threading.Thread(target=lambda: got.append(q.read(QDataType.Int)))
    reader.start()
    reader_blocked = _wait_thread_blocked(reader)
    q.write(42)
    reader.join(5)
    reader_woken = not reader.is_alive()

    q.write(1)
    q.write(2)  # full
    writer = threading.Thread(target=lambda: q.write(3))
    writer.start()
    writer_blocked = _wait_thread_blocked(writer)
    first = q.read(QDataType.Int)
    writer.join(5)
    writer_woken = not writer.is_alive()
    rest = [q.read(QDataType.Int), q.read(QDataType.Int)]
    return reader_blocked, reader_woken, got, writer_blocked, writer_woken, [first] + rest


# ------------------------------------------------- across two processes ---


class TestAcrossProcesses:
    @pytest.mark.parametrize("method", ["fork", "spawn"])
    def test_every_kind_written_by_connected_child(self, queue_name, start_child, method):
        q = SPSCQueue(queue_name, 4, 64, True)  # fewer cells than messages: the ring wraps
        child = start_child(_connect_and_write_all, queue_name, method=method)
        got = [q.read(kind) for _, kind, _ in typed_cases(64)]
        assert child.result() == 64
        for (_, _, expected), value in zip(typed_cases(64), got):
            assert_same_value(value, expected)

    def test_every_kind_read_by_connected_child(self, queue_name, start_child):
        q = SPSCQueue(queue_name, 3, 64, True)
        child = start_child(_connect_and_read_all, queue_name)
        for value, _, _ in typed_cases(64):
            q.write(value)
        got = child.result()
        for (_, _, expected), value in zip(typed_cases(64), got):
            assert_same_value(value, expected)

    def test_created_in_child_connected_from_test(self, queue_name, start_child):
        child = start_child(_create_then_read, queue_name)
        child.wait_for("created")
        q = SPSCQueue(queue_name)
        assert q.cell_size() == 32
        q.write("from the connecting side")
        q.write(np.array([1.0, 2.0]))
        text, array = child.result()
        assert text == "from the connecting side"
        assert_same_value(array, np.array([1.0, 2.0]))

    def test_messages_of_a_mebibyte(self, queue_name, start_child):
        size = 1 << 20
        q = SPSCQueue(queue_name, 2, size, True)
        child = start_child(_write_big, queue_name, 7)
        rng = np.random.default_rng(7)
        assert q.read() == rng.bytes(size)
        assert_same_value(q.read(QDataType.IntArray), rng.integers(-(2**62), 2**62, size // 8, dtype=np.int64))
        assert q.read(QDataType.Bytes) == rng.bytes(size - 1)
        assert child.result() is True

    def test_fifo_over_many_wraps(self, queue_name, start_child, open_segment):
        count = 3001
        q = SPSCQueue(queue_name, 3, 16, True)
        seg = open_segment(queue_name)  # still readable after the connect removes the name
        child = start_child(_write_sequence, queue_name, count)
        for i in range(count):
            assert q.read() == i.to_bytes(4, "little") * (i % 4 + 1)
        assert child.result() == count
        assert indices(seg) == (count % 3, count % 3)


# ---------------------------------------------------- bytes in the segment ---


class TestWireFormat:
    def test_header_and_cells_before_connect(self, queue_name, start_child):
        cell_size = 24
        q = SPSCQueue(queue_name, 8, cell_size, True)
        q.write(1)
        q.write(-2)
        q.write(1.0)
        q.write("\u00e9")
        q.write(np.array([1, 2], dtype=np.int64))
        q.write(b"\x00abc")
        raw = segment_bytes(queue_name)

        size = 48 + 8 * (cell_size + 16)
        assert len(raw) == size
        assert int.from_bytes(raw[0:8], "little") == size
        assert int.from_bytes(raw[8:12], "little") == 0
        assert int.from_bytes(raw[12:16], "little") == 8
        assert int.from_bytes(raw[16:24], "little") == cell_size
        assert int.from_bytes(raw[24:28], "little") == 0  # read_index
        assert int.from_bytes(raw[28:32], "little") == 6  # write_index

        expected = [
            bytes.fromhex("0100000000000000"),
            bytes.fromhex("FEFFFFFFFFFFFFFF"),
            bytes.fromhex("000000000000F03F"),
            bytes.fromhex("C3A9"),
            bytes.fromhex("0100000000000000 0200000000000000"),
            b"\x00abc",
        ]
        for i, payload in enumerate(expected):
            first8, length, data = cell_message(raw, i, cell_size)
            assert first8 == bytes(8)
            assert length == len(payload)
            assert data == payload
        for i in range(len(expected), 8):
            assert cell_message(raw, i, cell_size)[1] == 0

        kinds = [QDataType.Int, QDataType.Int, QDataType.Float, QDataType.String, QDataType.IntArray, QDataType.Bytes]
        got = start_child(_connect_read_types, queue_name, kinds).result()
        assert got[:4] == [1, -2, 1.0, "\u00e9"]
        assert_same_value(got[4], np.array([1, 2], dtype=np.int64))
        assert got[5] == b"\x00abc"

    def test_no_terminator_and_old_bytes_beyond_length_stay(self, queue_name, open_segment):
        q = SPSCQueue(queue_name, 1, 8, True)
        seg = open_segment(queue_name)
        q.write(b"\xaa" * 8)
        assert q.read() == b"\xaa" * 8
        q.write("\u00e9")  # same, only cell
        assert seg.read(cell_offset(0, 8) + 8, 16) == (2).to_bytes(8, "little") + b"\xc3\xa9" + b"\xaa" * 6
        assert q.read(QDataType.String) == "\u00e9"

    @pytest.mark.parametrize("creator_first", [True, False])
    def test_thread_slots(self, queue_name, open_segment, run_in_child, creator_first):
        creator = SPSCQueue(queue_name, 1, 8, creator_first)
        seg = open_segment(queue_name)
        me = threading.get_ident()
        assert (seg.u64(32), seg.u64(40)) == ((me, 0) if creator_first else (0, me))
        other = run_in_child(_connect_report_thread, queue_name)
        assert other not in (0, me)
        assert (seg.u64(32), seg.u64(40)) == ((me, other) if creator_first else (other, me))
        assert creator.cell_size() == 8

    def test_one_message_read_as_each_type(self, queue_name):
        q = SPSCQueue(queue_name, 5, 8, True)
        for _ in range(5):
            q.write(7)
        assert q.read(QDataType.Int) == 7
        assert q.read(QDataType.Bytes) == (7).to_bytes(8, "little")
        assert_same_value(q.read(QDataType.IntArray), np.array([7], dtype=np.int64))
        as_float = q.read(QDataType.Float)
        assert type(as_float) is float
        assert struct.pack("<d", as_float) == (7).to_bytes(8, "little")
        assert_same_value(q.read(QDataType.FloatArray), np.frombuffer((7).to_bytes(8, "little"), dtype=np.float64))

    def test_empty_message_under_each_type(self, queue_name):
        q = SPSCQueue(queue_name, 8, 8, True)
        for _ in range(7):
            q.write(b"")
        q.write(b"after")
        assert q.read() == b""
        assert q.read(QDataType.Bytes) == b""
        assert q.read(QDataType.String) == ""
        assert_same_value(q.read(QDataType.IntArray), np.array([], dtype=np.int64))
        assert_same_value(q.read(QDataType.FloatArray), np.array([], dtype=np.float64))
        with pytest.raises(IPCQueueError) as info:
            q.read(QDataType.Int)
        assert str(info.value) == on_queue("SPSCQueue.read(Int): data length is not 8", queue_name)
        with pytest.raises(IPCQueueError) as info:
            q.read(QDataType.Float)
        assert str(info.value) == on_queue("SPSCQueue.read(Float): data length is not 8", queue_name)
        assert q.read() == b"after"

    def test_arrays_read_are_owned_copies(self, queue_name):
        q = SPSCQueue(queue_name, 1, 16, True)
        q.write(np.array([1, 2], dtype=np.int64))
        ints = q.read(QDataType.IntArray)
        q.write(np.array([3.5, 4.5]))  # reuses the only cell
        floats = q.read(QDataType.FloatArray)
        q.write(b"\xff" * 16)
        assert q.read() == b"\xff" * 16
        assert_same_value(ints, np.array([1, 2], dtype=np.int64))
        assert_same_value(floats, np.array([3.5, 4.5]))
        for a in (ints, floats):
            assert a.flags.c_contiguous and a.flags.owndata and a.flags.writeable

    def test_contiguous_views_write_only_their_elements(self, queue_name):
        q = SPSCQueue(queue_name, 2, 32, True)
        base = np.arange(10.0)
        q.write(base[2:5])
        frozen = np.arange(3, dtype=np.int64)
        frozen.setflags(write=False)
        q.write(frozen)
        assert_same_value(q.read(QDataType.FloatArray), np.array([2.0, 3.0, 4.0]))
        assert_same_value(q.read(QDataType.IntArray), np.array([0, 1, 2], dtype=np.int64))


# ------------------------------------------------------- codec refusals ---


@pytest.fixture
def small_queue(queue_name, open_segment):
    """A two-cell queue with a check that a refused write published nothing."""

    class Small:
        def __init__(self, cell_size):
            self.q = SPSCQueue(queue_name, 2, cell_size, True)
            self.seg = open_segment(queue_name)
            self.before = indices(self.seg)

        def assert_untouched(self):
            # No cell taken (with two cells any taken cell moves write_index),
            # and nothing published ahead of the next message.
            assert indices(self.seg) == self.before
            self.q.write(b"\x01")
            assert self.q.read() == b"\x01"
            self.before = indices(self.seg)

    return Small


class TestWriteRefusals:
    def test_bytes_and_str_capacity(self, queue_name, small_queue):
        box = small_queue(16)
        for value, text in [
            (b"x" * 17, "SPSCQueue.write(bytes): data length > cell_size"),
            ("a" * 17, "SPSCQueue::write(str): string is larger than cell_size."),
            ("\u00e9" * 9, "SPSCQueue::write(str): string is larger than cell_size."),  # 9 chars, 18 bytes
        ]:
            with pytest.raises(IPCQueueError) as info:
                box.q.write(value)
            assert str(info.value) == on_queue(text, queue_name)
            box.assert_untouched()
        for value, kind in [(b"x" * 16, QDataType.Bytes), ("a" * 16, QDataType.String), ("\u00e9" * 8, QDataType.String)]:
            box.q.write(value)
            assert box.q.read(kind) == value

    def test_str_without_utf8_form(self, queue_name, small_queue):
        box = small_queue(16)
        with pytest.raises(IPCQueueError) as info:
            box.q.write("\ud800")
        assert str(info.value) == on_queue("SPSCQueue::write(str):PyUnicode_AsUTF8AndSize failed.", queue_name)
        box.assert_untouched()

    def test_numbers_need_eight_bytes(self, queue_name, make_queue_name, small_queue):
        box = small_queue(7)
        int_text = on_queue("SPSCQueue.write(int64_t): sizeof(int64_t) > cell_size", queue_name)
        double_text = on_queue("SPSCQueue.write(double): sizeof(double) > cell_size", queue_name)
        for value, text in [(1, int_text), (True, int_text), (1.0, double_text), (np.float64(1.0), double_text)]:
            with pytest.raises(IPCQueueError) as info:
                box.q.write(value)
            assert str(info.value) == text
            box.assert_untouched()
        q8 = SPSCQueue(make_queue_name(), 2, 8, True)
        q8.write(1)
        q8.write(1.0)
        assert q8.read(QDataType.Int) == 1
        assert q8.read(QDataType.Float) == 1.0

    @pytest.mark.parametrize(
        "value",
        [
            np.zeros((2, 2)),
            np.zeros((2, 2), dtype=np.int64),
            np.zeros((1, 1, 1)),
            np.array(1.0),
            np.array(5, dtype=np.int64),
            np.zeros((2, 2), dtype=np.float32),  # converted to float64, still 2-D
            np.int64(5),  # a non-float scalar becomes a 0-D float64 array
        ],
        ids=["2d-float64", "2d-int64", "3d", "0d-float64", "0d-int64", "2d-float32", "int64-scalar"],
    )
    def test_array_dimensions(self, small_queue, value):
        box = small_queue(64)
        with pytest.raises(IPCQueueError) as info:
            box.q.write(value)
        assert str(info.value) == "SPSCQueue.write(numpy_array): Incompatible numpy array: # of dimensions > 1"
        box.assert_untouched()

    @pytest.mark.parametrize(
        "make",
        [
            lambda: np.arange(8.0)[::2],
            lambda: np.arange(8.0)[::-1],
            lambda: np.arange(8, dtype=np.int64)[::2],
            lambda: np.arange(8, dtype=np.int64)[::-1],
            lambda: np.zeros((3, 2))[:, 0],
        ],
        ids=["float64-step2", "float64-reversed", "int64-step2", "int64-reversed", "column"],
    )
    def test_array_stride(self, small_queue, make):
        box = small_queue(64)
        with pytest.raises(IPCQueueError) as info:
            box.q.write(make())
        assert str(info.value) == "SPSCQueue.write(numpy_array): Incompatible numpy array: stride not 1"
        box.assert_untouched()

    def test_array_capacity_wordings(self, queue_name, make_queue_name, small_queue):
        box = small_queue(23)
        float_text = on_queue("SPSCQueue.write(numpy_array): length of numpy array is larger than cell_size", queue_name)
        int_text = on_queue("SPSCQueue.write(numpy_array): length of numpyarray is larger than cell_size", queue_name)
        for value, text in [
            (np.zeros(3), float_text),
            (np.zeros(3, dtype=np.int64), int_text),
            ([1, 2, 3], float_text),  # converted to doubles
        ]:
            with pytest.raises(IPCQueueError) as info:
                box.q.write(value)
            assert str(info.value) == text
            box.assert_untouched()
        q24 = SPSCQueue(make_queue_name(), 2, 24, True)
        q24.write(np.array([1.0, 2.0, 3.0]))
        q24.write(np.array([4, 5, 6], dtype=np.int64))
        assert_same_value(q24.read(QDataType.FloatArray), np.array([1.0, 2.0, 3.0]))
        assert_same_value(q24.read(QDataType.IntArray), np.array([4, 5, 6], dtype=np.int64))

    def test_wrong_argument_types(self, small_queue):
        box = small_queue(64)
        for args in [(object(),), ({"a": 1},), ([1, "a"],), (np.array(["a"]),), (), (b"a", b"b")]:
            with pytest.raises(TypeError):
                box.q.write(*args)
            box.assert_untouched()


class TestIntegerRange:
    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, -(2**100)])
    def test_outside_int64_overflows_and_writes_nothing(self, small_queue, value):
        box = small_queue(8)
        with pytest.raises(OverflowError):
            box.q.write(value)
        box.assert_untouched()

    def test_int64_limits_round_trip(self, queue_name, open_segment):
        q = SPSCQueue(queue_name, 2, 8, True)
        seg = open_segment(queue_name)
        q.write(2**63 - 1)
        q.write(-(2**63))
        assert seg.read(cell_offset(0, 8) + 16, 8) == bytes.fromhex("FFFFFFFFFFFFFF7F")
        assert seg.read(cell_offset(1, 8) + 16, 8) == bytes.fromhex("0000000000000080")
        assert q.read(QDataType.Int) == 2**63 - 1
        assert q.read(QDataType.Int) == -(2**63)


class TestReadRefusals:
    # Each case runs on a one-cell queue in a child: a refused read that kept
    # its cell would leave the following write waiting forever (a deadlock).

    @pytest.mark.parametrize(
        "payload, kind, text",
        [
            (b"abc", QDataType.Int, "SPSCQueue.read(Int): data length is not 8"),
            (b"x" * 9, QDataType.Int, "SPSCQueue.read(Int): data length is not 8"),
            (b"abc", QDataType.Float, "SPSCQueue.read(Float): data length is not 8"),
            (b"x" * 16, QDataType.Float, "SPSCQueue.read(Float): data length is not 8"),
            (b"x" * 12, QDataType.IntArray, "SPSCQueue.read(IntArray): data length is not a multiple of 8"),
            (b"x", QDataType.FloatArray, "SPSCQueue.read(FloatArray): data length is not a multiple of 8"),
            (b"x" * 15, QDataType.FloatArray, "SPSCQueue.read(FloatArray): data length is not a multiple of 8"),
        ],
    )
    def test_length_checks_consume_the_message(self, queue_name, run_in_child, payload, kind, text):
        error, following = run_in_child(_refused_read_then_next, queue_name, payload, kind, timeout=10)
        assert error == ("IPCQueueError", on_queue(text, queue_name))
        assert following == b"next"

    @pytest.mark.parametrize("payload", [b"\xff\xfe", b"ok \xc3", b"\xed\xa0\x80"], ids=["bad-bytes", "truncated", "surrogate"])
    def test_invalid_utf8_is_consumed(self, queue_name, run_in_child, payload):
        error, following = run_in_child(_refused_read_then_next, queue_name, payload, QDataType.String, timeout=10)
        assert error[0] == "UnicodeDecodeError"
        assert following == b"next"

    @pytest.mark.parametrize("value", [6, 9, -1])
    def test_unknown_type_consumes_and_raises_type_error(self, queue_name, run_in_child, value):
        error, following = run_in_child(_refused_read_then_next, queue_name, b"one", QDataType(value), timeout=10)
        assert error[0] == "TypeError"
        assert error[1].startswith("Unable to convert function return value to a Python type!")
        assert following == b"next"

    @pytest.mark.parametrize(
        "args",
        [(2,), ("Int",), (None,), (QDataType.Int, 1.5), (QDataType.Int, QDataType.Int), (2, 10)],
        ids=["plain-int", "str", "none", "float-timeout", "enum-timeout", "int-for-type"],
    )
    def test_wrong_arguments_leave_queue_untouched(self, queue_name, open_segment, args):
        q = SPSCQueue(queue_name, 1, 16, True)
        seg = open_segment(queue_name)
        q.write(b"one")
        before = indices(seg)
        with pytest.raises(TypeError):
            q.read(*args)
        assert indices(seg) == before
        assert q.read() == b"one"


# --------------------------------------------------------------- blocking ---


class TestBlocking:
    def test_writer_blocks_while_full(self, queue_name, start_child):
        q = SPSCQueue(queue_name, 2, 8, True)
        child = start_child(_write_until_full_then_more, queue_name)
        child.wait_for("full")
        child.assert_blocked()
        assert q.read() == b"m0"
        assert child.result() == "wrote m2"
        assert [q.read(), q.read()] == [b"m1", b"m2"]

    def test_reader_blocks_while_empty(self, queue_name, start_child):
        q = SPSCQueue(queue_name, 2, 16, True)
        child = start_child(_read_when_available, queue_name)
        child.wait_for("reading")
        child.assert_blocked()
        q.write("wake up")
        assert child.result() == "wake up"

    def test_threads_of_one_process_wake_each_other(self, queue_name, run_in_child):
        reader_blocked, reader_woken, got, writer_blocked, writer_woken, order = run_in_child(
            _threads_share_one_queue, queue_name, timeout=10
        )
        assert reader_blocked and reader_woken and got == [42]
        assert writer_blocked and writer_woken and order == [1, 2, 3]

    def test_sigint_ends_blocked_read_with_keyboard_interrupt(self, queue_name, start_child):
        q = SPSCQueue(queue_name, 1, 16, True)
        child = start_child(_read_interrupted, queue_name)
        child.wait_for("reading")
        child.assert_blocked()
        os.kill(child.pid, signal.SIGINT)
        child.wait_for("interrupted")
        q.write(b"next")
        child.wait_for(b"next")
        outcome = child.finish()
        assert outcome.exc_type == "KeyboardInterrupt", outcome.describe()
        assert outcome.exitcode == EXIT_KEYBOARD_INTERRUPT

    def test_signal_whose_handler_returns_fails_the_wait(self, queue_name, start_child):
        # Only a handler that raises replaces the error; otherwise the
        # interrupted wait is a failure and is not retried.
        creator = SPSCQueue(queue_name, 1, 16, True)  # noqa: F841 - keeps the names until the connect
        child = start_child(_read_interrupted_by_quiet_handler, queue_name)
        child.wait_for("reading")
        child.assert_blocked()
        os.kill(child.pid, signal.SIGUSR1)
        text, calls = child.result()
        assert calls == [signal.SIGUSR1]
        assert text == (
            "SPSCQueueCPP:open_cell_for_read: Filled semaphore decrement failed. "
            f"on queue '{queue_name}': Interrupted system call"
        )

    def test_sigint_ends_blocked_write_with_keyboard_interrupt(self, queue_name, start_child):
        q = SPSCQueue(queue_name, 1, 16, True)
        child = start_child(_write_interrupted, queue_name)
        child.wait_for("full")
        child.assert_blocked()
        os.kill(child.pid, signal.SIGINT)
        child.wait_for("interrupted")
        assert q.read() == b"first"
        outcome = child.finish()
        assert outcome.exc_type == "KeyboardInterrupt", outcome.describe()
        assert outcome.exitcode == EXIT_KEYBOARD_INTERRUPT
        assert q.read() == b"second"  # the interrupted write published nothing


# ------------------------------------------------------ names, lifecycle ---


def _expected_objects(name):
    return sorted([shm_path(name), semaphore_path(name, "_filled_"), semaphore_path(name, "_free_")])


def _missing_text(name):
    return (
        "SPSCQueueCPP:connect constructor: unable to open shared memory. "
        f"on queue '{name}': No such file or directory"
    )


class TestNames:
    def test_connect_removes_names_and_refuses_a_second_connect(self, queue_name, start_child, run_in_child):
        q = SPSCQueue(queue_name, 2, 16, True)
        assert sorted(existing_objects(queue_name)) == _expected_objects(queue_name)
        child = start_child(_connect_and_read_one, queue_name)
        child.wait_for("connected")
        # Both ends are alive: the connect itself removed the names.
        assert existing_objects(queue_name) == []
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name)
        assert str(info.value) == _missing_text(queue_name)
        assert run_in_child(_connect_error, queue_name) == ("IPCQueueError", _missing_text(queue_name))
        q.write(b"ping")  # the pair keeps working without names
        assert child.result() == b"ping"

    def test_creator_destroyed_before_connect_removes_names(self, queue_name):
        q = SPSCQueue(queue_name, 2, 8, True)
        del q
        assert existing_objects(queue_name) == []
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name)
        assert str(info.value) == _missing_text(queue_name)

    def test_create_on_existing_name(self, queue_name):
        q = SPSCQueue(queue_name, 2, 8, True)
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name, 2, 8, True)
        assert str(info.value) == (
            "SPSCQueueCPP:create constructor: shared memory file with same name already exists. "
            f"on queue '{queue_name}': File exists"
        )
        assert sorted(existing_objects(queue_name)) == _expected_objects(queue_name)
        q.write(5)
        assert q.read(QDataType.Int) == 5

    @pytest.mark.parametrize("role", ["filled", "free"])
    def test_create_with_leftover_semaphore(self, queue_name, role):
        suffix = f"_{role}_"
        with open(semaphore_path(queue_name, suffix), "xb") as f:
            f.write(bytes(32))
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name, 2, 8, True)
        assert str(info.value) == (
            f"SPSCQueueCPP:create constructor: {role} semaphore with same name already exists. "
            f"on queue '{queue_name}{suffix}': File exists"
        )

    @pytest.mark.parametrize(
        "args, text, named",
        [
            (("", 1, 8, True), "SPSCQueueCPP:create constructor: queue name is empty.", False),
            (("", 0, 0, True), "SPSCQueueCPP:create constructor: queue name is empty.", False),
            ((None, 0, 8, True), "SPSCQueueCPP:create constructor: num_cells <= 0", True),
            ((None, -5, 8, False), "SPSCQueueCPP:create constructor: num_cells <= 0", True),
            ((None, 0, 0, True), "SPSCQueueCPP:create constructor: num_cells <= 0", True),
            ((None, 2**31, 8, True), "SPSCQueueCPP:create constructor: num_cells > 2147483647", True),
            ((None, 2**31, 0, True), "SPSCQueueCPP:create constructor: num_cells > 2147483647", True),
            ((None, 1, 0, True), "SPSCQueueCPP:create constructor:cell_size <= 0", True),
            ((None, 1, -1, True), "SPSCQueueCPP:create constructor:cell_size <= 0", True),
            (("",), "SPSCQueueCPP:connect constructor: specified queue name is empty.", False),
        ],
    )
    def test_argument_checks(self, queue_name, args, text, named):
        args = tuple(queue_name if a is None else a for a in args)
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(*args)
        assert str(info.value) == (on_queue(text, queue_name) if named else text)
        assert existing_objects(queue_name) == []

    @pytest.mark.parametrize("num_cells, cell_size", [(2147483647, 2**62), (2, 2**63 - 1), (2147483647, 2**63 - 17)])
    def test_segment_size_overflow_refused(self, queue_name, num_cells, cell_size):
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name, num_cells, cell_size, True)
        assert f"on queue '{queue_name}'" in str(info.value)
        assert "num_cells" not in str(info.value)  # 2147483647 itself is in range
        assert existing_objects(queue_name) == []

    def test_constructor_argument_types(self, queue_name):
        for args in [(1,), (queue_name, "1", 8, True), (queue_name, 1, 8), (queue_name, 2**63, 8, True), ()]:
            with pytest.raises(TypeError):
                SPSCQueue(*args)
        assert existing_objects(queue_name) == []


def _header(segment_size, queue_type, num_cells, cell_size):
    return struct.pack("<QIIQIIQQ", segment_size, queue_type, num_cells, cell_size, 0, 0, 0, 0)


def _consistent(num_cells, cell_size, queue_type=0):
    size = 48 + num_cells * (cell_size + 16)
    return _header(size, queue_type, num_cells, cell_size) + bytes(size - 48)


DAMAGED_SEGMENTS = {
    "empty": b"",
    "shorter-than-size-field": b"\x01\x02\x03",
    "never-initialised": bytes(48 + 2 * 24),
    "size-claims-more-than-file": _header(1 << 20, 0, 2, 8) + bytes(48),
    "size-claims-less-than-file": _header(64, 0, 1, 0) + bytes(48),
    "more-cells-than-fit": _header(96, 0, 1000, 8) + bytes(48),
    "zero-cells": _header(96, 0, 0, 8) + bytes(48),
    "zero-cell-size": _header(80, 0, 2, 0) + bytes(32),
    "cell-size-wraps": _header(80, 0, 2, 2**64 - 8) + bytes(32),
    "header-only": _header(48, 0, 1, 8),
}


class TestDamagedSegments:
    @pytest.mark.parametrize("content", DAMAGED_SEGMENTS.values(), ids=DAMAGED_SEGMENTS.keys())
    def test_connect_refuses_damaged_segment(self, queue_name, run_in_child, content):
        with open(shm_path(queue_name), "xb") as f:
            f.write(content)
        got = run_in_child(_connect_error, queue_name)  # a crash fails in run_in_child
        assert got == (
            "IPCQueueError",
            f"SPSCQueueCPP:connect constructor: segment is damaged or not initialised on queue '{queue_name}'",
        )

    @pytest.mark.parametrize("queue_type", [1, 2, 7])
    def test_connect_refuses_other_kind(self, queue_name, run_in_child, queue_type):
        with open(shm_path(queue_name), "xb") as f:
            f.write(_consistent(2, 8, queue_type))
        got = run_in_child(_connect_error, queue_name)
        assert got == (
            "IPCQueueError",
            "SPSCQueueCPP:connect constructor: cannot connect to queue type other than SPSCQueue "
            f"on queue '{queue_name}'",
        )

    @pytest.mark.parametrize(
        "offset, value",
        [(cell_offset(0, 8) + 8, (1 << 40).to_bytes(8, "little")), (24, (99).to_bytes(4, "little"))],
        ids=["cell-length-beyond-cell", "read-index-beyond-ring"],
    )
    def test_lying_contents_raise_instead_of_crashing(self, queue_name, run_in_child, offset, value):
        q = SPSCQueue(queue_name, 2, 8, True)
        q.write(b"abc")
        fd = os.open(shm_path(queue_name), os.O_RDWR)
        try:
            os.pwrite(fd, value, offset)
        finally:
            os.close(fd)
        kind, text = run_in_child(_connect_read_error, queue_name)
        assert kind == "IPCQueueError"
        assert f"on queue '{queue_name}'" in text
