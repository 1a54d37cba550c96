"""MPMCQueue: the typed codec with this class's own wordings, many readers and
writers in real processes, blocking, signals, timed reads, and the life of
the queue's names."""

import multiprocessing
import os
import signal
import struct
import threading
import time
from collections import Counter

import numpy as np
import pytest
from conftest import (
    CHILD_TIMEOUT,
    EXIT_KEYBOARD_INTERRUPT,
    existing_objects,
    notify_parent,
    segment_bytes,
    semaphore_path,
    shm_path,
)
from test_module import overloads, parameters
from test_spsc_queue import _wait_thread_blocked, assert_same_value, on_queue, typed_cases

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

HEADER_SIZE = 40
CELL_HEADER_SIZE = 16
LIST_END = 0xFFFFFFFF


def cell_offset(index, cell_size):
    return HEADER_SIZE + index * (cell_size + CELL_HEADER_SIZE)


def lists(seg):
    """(free_head, filled_head, filled_tail) from the header."""
    return seg.u32(24), seg.u32(28), seg.u32(32)


def raw_lists(raw):
    return tuple(int.from_bytes(raw[o : o + 4], "little") for o in (24, 28, 32))


def first_to_end(children, timeout=CHILD_TIMEOUT):
    """The first of `children` whose process ends; fails if none does in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for child in children:
            if not child.is_alive():
                return child
        time.sleep(0.01)
    pytest.fail(f"no child ended within {timeout} s")


# ------------------------------------------------------- child functions ---
# Module level, so that "spawn" children can find them by name.


def _connect_and_write_all(name):
    q = MPMCQueue(name)
    for value, _, _ in typed_cases(q.cell_size()):
        q.write(value)
    return q.cell_size()


def _connect_and_read_all(name):
    q = MPMCQueue(name)
    return [q.read(kind) for _, kind, _ in typed_cases(q.cell_size())]


def _connect_read_types(name, kinds):
    q = MPMCQueue(name)
    return [q.read(kind) for kind in kinds]


def _read_one_int(name):
    q = MPMCQueue(name)
    notify_parent("reading")
    return q.read(QDataType.Int)


def _timed_read_int(name, timeout_ms):
    q = MPMCQueue(name)
    notify_parent("reading")
    return q.read(QDataType.Int, timeout_ms)


def _write_later(name, value, delay):
    q = MPMCQueue(name)
    time.sleep(delay)  # lets the test block in its read first; nothing is timed
    q.write(value)
    return True


def _write_until_full_then_more(name):
    q = MPMCQueue(name)
    q.write(b"m0")
    q.write(b"m1")
    notify_parent("full")
    q.write(b"m2")  # two cells: waits for a reader
    return "wrote m2"


def _refused_read_then_next(name, payload, kind):
    # One cell: a refused read that kept its cell would make the next write
    # wait forever, which the test sees as a deadlock.
    q = MPMCQueue(name, 1, 16)
    q.write(payload)
    try:
        q.read(kind)
    except Exception as exc:
        error = (type(exc).__name__, str(exc))
    else:
        error = None
    state = raw_lists(segment_bytes(name))
    q.write(b"next")
    return error, state, q.read()


def _read_interrupted(name):
    q = MPMCQueue(name)
    try:
        notify_parent("reading")
        q.read()
    except KeyboardInterrupt:
        # The interrupted read took nothing: the next read gets the next message.
        notify_parent("interrupted")
        notify_parent(q.read())
        raise
    return "read returned"


def _write_interrupted(name):
    q = MPMCQueue(name)
    q.write(b"first")  # fills the one cell
    try:
        notify_parent("full")
        q.write(b"lost")
    except KeyboardInterrupt:
        notify_parent("interrupted")
        q.write(b"second")
        raise
    return "write returned"


def _threads_share_one_queue(name):
    # Runs in a child: a wait that kept the interpreter lock would stop every
    # other thread here, and the test would see a deadlock.
    q = MPMCQueue(name, 2, 16)
    got = []
    readers = [threading.Thread(target=lambda: got.append(q.read(QDataType.Int))) for _ in range(2)]
    for t in readers:
        t.start()
    readers_blocked = all(_wait_thread_blocked(t) for t in readers)
    q.write(41)
    q.write(42)
    for t in readers:
        t.join(5)
    readers_woken = not any(t.is_alive() for t in readers)

    q.write(1)
    q.write(2)  # full
    writer = threading.Thread(target=lambda: q.write(3))
    writer.start()
    writer_blocked = _wait_thread_blocked(writer)
    first = q.read(QDataType.Int)
    writer.join(5)
    writer_woken = not writer.is_alive()
    rest = [q.read(QDataType.Int), q.read(QDataType.Int)]
    return readers_blocked, readers_woken, sorted(got), writer_blocked, writer_woken, [first] + rest


def _connect_error(name):
    try:
        MPMCQueue(name)
    except IPCQueueError as exc:
        return "IPCQueueError", str(exc)
    return "connected", ""


def _connect_exchange(name, value):
    q = MPMCQueue(name)
    notify_parent("connected")
    got = q.read(QDataType.Int)
    q.write(value)
    return got


def _connect_and_fail_op(name, op):
    q = MPMCQueue(name)
    try:
        if op == "write":
            q.write(b"abc")
        else:
            q.read()
    except IPCQueueError as exc:
        return "IPCQueueError", str(exc)
    return "done", ""


def _stress_writer(name, writer, count, go):
    q = MPMCQueue(name)
    notify_parent("connected")
    if not go.wait(CHILD_TIMEOUT):
        raise RuntimeError("never told to start")
    for seq in range(count):
        # Both encodings give the same 16 bytes.
        if seq % 2:
            q.write(np.array([writer, seq], dtype=np.int64))
        else:
            q.write(struct.pack("<qq", writer, seq))
    return count


def _stress_reader(name, go):
    q = MPMCQueue(name)
    notify_parent("connected")
    if not go.wait(CHILD_TIMEOUT):
        raise RuntimeError("never told to start")
    got = []
    while True:
        writer, seq = struct.unpack("<qq", q.read())
        if writer < 0:
            return got
        got.append((writer, seq))


# ------------------------------------------------- across processes ---


class TestAcrossProcesses:
    @pytest.mark.parametrize("method", ["fork", "spawn"])
    def test_every_kind_written_by_connected_child(self, queue_name, start_child, method):
        q = MPMCQueue(queue_name, 4, 64)  # fewer cells than messages: the writer waits
        child = start_child(_connect_and_write_all, queue_name, method=method)
        got = [q.read(kind) for _, kind, _ in typed_cases(64)]
        assert child.result() == 64
        for (_, _, expected), value in zip(typed_cases(64), got):
            assert_same_value(value, expected)

    def test_every_kind_read_by_connected_child(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 3, 64)
        child = start_child(_connect_and_read_all, queue_name)
        for value, _, _ in typed_cases(64):
            q.write(value)
        got = child.result()
        for (_, _, expected), value in zip(typed_cases(64), got):
            assert_same_value(value, expected)

    def test_bytes_in_cells(self, queue_name, run_in_child):
        cell_size = 24
        q = MPMCQueue(queue_name, 8, cell_size)
        values = [1, -2, 1.0, "\u00e9", np.array([1, 2], dtype=np.int64), b"\x00abc", b"x" * cell_size]
        for v in values:
            q.write(v)
        raw = segment_bytes(queue_name)
        expected = [
            bytes.fromhex("0100000000000000"),
            bytes.fromhex("FEFFFFFFFFFFFFFF"),
            bytes.fromhex("000000000000F03F"),
            bytes.fromhex("C3A9"),
            bytes.fromhex("0100000000000000 0200000000000000"),
            b"\x00abc",
            b"x" * cell_size,
        ]
        # The free list hands out cells in index order after create.
        for i, payload in enumerate(expected):
            off = cell_offset(i, cell_size)
            assert int.from_bytes(raw[off + 8 : off + 16], "little") == len(payload)
            assert raw[off + 16 : off + 16 + len(payload)] == payload
        assert raw_lists(raw) == (7, 0, 6)
        kinds = [QDataType.Int, QDataType.Int, QDataType.Float, QDataType.String, QDataType.IntArray]
        got = run_in_child(_connect_read_types, queue_name, kinds + [QDataType.Bytes, QDataType.Bytes])
        assert got[:4] == [1, -2, 1.0, "\u00e9"]
        assert_same_value(got[4], np.array([1, 2], dtype=np.int64))
        assert got[5:] == [b"\x00abc", b"x" * cell_size]


# ------------------------------------------------------- codec refusals ---


@pytest.fixture
def small_queue(queue_name, open_segment):
    """A two-cell queue with a check that a refused write took and published nothing."""

    class Small:
        def __init__(self, cell_size):
            self.q = MPMCQueue(queue_name, 2, cell_size)
            self.seg = open_segment(queue_name)
            self.before = lists(self.seg)

        def assert_untouched(self):
            assert lists(self.seg) == self.before
            self.q.write(b"\x01")
            self.q.write(b"\x02")  # both cells still free
            assert [self.q.read(), self.q.read()] == [b"\x01", b"\x02"]
            self.before = lists(self.seg)

    return Small


class TestWriteRefusals:
    def test_bytes_and_str_capacity(self, queue_name, small_queue):
        box = small_queue(16)
        for value, text in [
            (b"x" * 17, "MPMCQueue::write(bytes): length > cell_size"),
            ("a" * 17, "MPMCQueue::write(str): string is larger than cell_size."),
            ("\u00e9" * 9, "MPMCQueue::write(str): string is larger than cell_size."),  # 18 bytes
            ("\ud800", "MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed."),
        ]:
            with pytest.raises(IPCQueueError) as info:
                box.q.write(value)
            assert str(info.value) == on_queue(text, queue_name)
            box.assert_untouched()
        for value, kind in [(b"x" * 16, QDataType.Bytes), ("a" * 16, QDataType.String), ("\u00e9" * 8, QDataType.String)]:
            box.q.write(value)
            assert box.q.read(kind) == value

    def test_numbers_need_eight_bytes(self, queue_name, make_queue_name, small_queue):
        box = small_queue(7)
        int_text = on_queue("MPMCQueue.write(int64_t): sizeof(int64_t) > cell_size", queue_name)
        double_text = on_queue("MPMCQueue.write(double): sizeof(double) > cell_size", queue_name)
        for value, text in [(1, int_text), (True, int_text), (1.0, double_text), (np.float64(1.0), double_text)]:
            with pytest.raises(IPCQueueError) as info:
                box.q.write(value)
            assert str(info.value) == text
            box.assert_untouched()
        q8 = MPMCQueue(make_queue_name(), 2, 8)
        q8.write(-1)
        q8.write(0.5)
        assert q8.read(QDataType.Int) == -1
        assert q8.read(QDataType.Float) == 0.5

    def test_both_array_kinds_share_one_capacity_message(self, queue_name, make_queue_name, small_queue):
        box = small_queue(23)
        text = on_queue("MPMCQueue.write(numpy_array): length of numpy array is larger than cell_size", queue_name)
        for value in [np.zeros(3), np.zeros(3, dtype=np.int64), [1, 2, 3], np.zeros(3, dtype=np.float32)]:
            with pytest.raises(IPCQueueError) as info:
                box.q.write(value)
            assert str(info.value) == text
            box.assert_untouched()
        q24 = MPMCQueue(make_queue_name(), 2, 24)
        q24.write(np.array([1.0, 2.0, 3.0]))
        q24.write(np.array([4, 5, 6], dtype=np.int64))
        assert_same_value(q24.read(QDataType.FloatArray), np.array([1.0, 2.0, 3.0]))
        assert_same_value(q24.read(QDataType.IntArray), np.array([4, 5, 6], dtype=np.int64))

    @pytest.mark.parametrize(
        "value, text",
        [
            (np.zeros((2, 2)), "# of dimensions > 1"),
            (np.zeros((2, 2), dtype=np.int64), "# of dimensions > 1"),
            (np.array(1.0), "# of dimensions > 1"),
            (np.int64(5), "# of dimensions > 1"),  # becomes a 0-D float64 array
            (np.arange(8.0)[::2], "stride not 1"),
            (np.arange(8, dtype=np.int64)[::-1], "stride not 1"),
            (np.zeros((3, 2))[:, 0], "stride not 1"),
        ],
        ids=["2d-float64", "2d-int64", "0d", "int64-scalar", "float64-step2", "int64-reversed", "column"],
    )
    def test_array_shape(self, small_queue, value, text):
        box = small_queue(64)
        with pytest.raises(IPCQueueError) as info:
            box.q.write(value)
        # Shape failures name no queue.
        assert str(info.value) == "MPMCQueue.write(numpy_array): Incompatible numpy array: " + text
        box.assert_untouched()

    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, -(2**100)])
    def test_int_outside_int64_overflows_and_writes_nothing(self, small_queue, value):
        box = small_queue(8)
        with pytest.raises(OverflowError):
            box.q.write(value)
        box.assert_untouched()

    def test_int64_limits_round_trip(self, queue_name):
        q = MPMCQueue(queue_name, 2, 8)
        q.write(2**63 - 1)
        q.write(-(2**63))
        assert q.read(QDataType.Int) == 2**63 - 1
        assert q.read(QDataType.Int) == -(2**63)

    def test_wrong_argument_types(self, small_queue):
        box = small_queue(64)
        for args in [(object(),), ({"a": 1},), ([1, "a"],), (np.array(["a"]),), (), (b"a", b"b")]:
            with pytest.raises(TypeError):
                box.q.write(*args)
            box.assert_untouched()


# ---------------------------------------------------------------- reads ---


class TestReads:
    @pytest.mark.parametrize(
        "payload, kind, text",
        [
            (b"abcde", QDataType.Float, "MPMCQueue.read(Float): data length is not 8"),
            (b"x" * 9, QDataType.Int, "MPMCQueue.read(Int): data length is not 8"),
            (b"", QDataType.Int, "MPMCQueue.read(Int): data length is not 8"),
            (b"x" * 12, QDataType.IntArray, "MPMCQueue.read(IntArray): data length is not a multiple of 8"),
            (b"x" * 15, QDataType.FloatArray, "MPMCQueue.read(FloatArray): data length is not a multiple of 8"),
        ],
    )
    def test_length_check_consumes_message_and_frees_cell(self, queue_name, run_in_child, payload, kind, text):
        error, state, following = run_in_child(_refused_read_then_next, queue_name, payload, kind, timeout=10)
        assert error == ("IPCQueueError", on_queue(text, queue_name))
        assert state == (0, LIST_END, LIST_END)  # the one cell is free, nothing filled
        assert following == b"next"

    @pytest.mark.parametrize(
        "payload, kind, error_type",
        [
            (b"\xff\xfe", QDataType.String, "UnicodeDecodeError"),
            (b"one", QDataType(9), "TypeError"),
            (b"one", QDataType(-1), "TypeError"),
        ],
        ids=["invalid-utf8", "type-9", "type-minus-1"],
    )
    def test_other_read_failures_consume_message(self, queue_name, run_in_child, payload, kind, error_type):
        error, state, following = run_in_child(_refused_read_then_next, queue_name, payload, kind, timeout=10)
        assert error[0] == error_type
        if error_type == "TypeError":
            assert error[1].startswith("Unable to convert function return value to a Python type!")
        assert state == (0, LIST_END, LIST_END)
        assert following == b"next"

    def test_one_message_read_as_each_type(self, queue_name):
        q = MPMCQueue(queue_name, 5, 8)
        for _ in range(5):
            q.write(7)
        assert q.read(QDataType.Int) == 7
        assert q.read() == (7).to_bytes(8, "little")
        assert_same_value(q.read(QDataType.IntArray), np.array([7], dtype=np.int64))
        assert struct.pack("<d", q.read(QDataType.Float)) == (7).to_bytes(8, "little")
        assert_same_value(q.read(QDataType.FloatArray), np.frombuffer((7).to_bytes(8, "little"), dtype=np.float64))

    def test_empty_message(self, queue_name):
        q = MPMCQueue(queue_name, 4, 8)
        for _ in range(4):
            q.write(b"")
        assert q.read() == b""
        assert q.read(QDataType.String) == ""
        assert_same_value(q.read(QDataType.IntArray), np.array([], dtype=np.int64))
        assert_same_value(q.read(QDataType.FloatArray), np.array([], dtype=np.float64))

    @pytest.mark.parametrize(
        "args",
        [(2,), (None,), (QDataType.Int, 1.5), (QDataType.Int, "5"), (QDataType.Int, None), (QDataType.Int, QDataType.Int)],
        ids=["plain-int", "none", "float-timeout", "str-timeout", "none-timeout", "enum-timeout"],
    )
    def test_wrong_read_arguments_leave_queue_untouched(self, queue_name, open_segment, args):
        q = MPMCQueue(queue_name, 2, 16)
        seg = open_segment(queue_name)
        q.write(b"one")
        before = lists(seg)
        with pytest.raises(TypeError):
            q.read(*args)
        assert lists(seg) == before
        assert q.read() == b"one"


class TestTimedRead:
    def test_nothing_in_time_gives_none_and_changes_nothing(self, queue_name, open_segment):
        q = MPMCQueue(queue_name, 2, 16)
        seg = open_segment(queue_name)
        before = lists(seg)
        assert q.read(QDataType.Bytes, 50) is None
        assert q.read(QDataType.Int, 1) is None
        assert lists(seg) == before
        q.write(3)
        assert q.read(QDataType.Int, 50) == 3

    def test_waits_for_a_message_from_another_process(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 2, 16)
        child = start_child(_write_later, queue_name, 77, 0.2)
        assert q.read(QDataType.Int, 10_000) == 77
        assert child.result() is True

    def test_zero_means_no_limit(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 2, 16)
        child = start_child(_timed_read_int, queue_name, 0)
        child.wait_for("reading")
        child.assert_blocked()
        q.write(5)
        assert child.result() == 5


# --------------------------------------------------------------- blocking ---


class TestBlocking:
    def test_one_write_wakes_exactly_one_of_two_readers(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 4, 8)
        readers = [start_child(_read_one_int, queue_name) for _ in range(2)]
        for r in readers:
            r.wait_for("reading")
        for r in readers:
            r.assert_blocked()
        q.write(11)
        woken = first_to_end(readers)
        other = readers[1 - readers.index(woken)]
        assert woken.result() == 11
        other.assert_blocked()
        q.write(22)
        assert other.result() == 22

    def test_writer_blocks_while_full(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 2, 8)
        child = start_child(_write_until_full_then_more, queue_name)
        child.wait_for("full")
        child.assert_blocked()
        assert q.read() == b"m0"
        assert child.result() == "wrote m2"
        assert [q.read(), q.read()] == [b"m1", b"m2"]

    def test_threads_of_one_process_wake_each_other(self, queue_name, run_in_child):
        readers_blocked, readers_woken, got, writer_blocked, writer_woken, order = run_in_child(
            _threads_share_one_queue, queue_name, timeout=10
        )
        assert readers_blocked and readers_woken and got == [41, 42]
        assert writer_blocked and writer_woken and order == [1, 2, 3]

    def test_sigint_ends_blocked_read_with_keyboard_interrupt(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 1, 16)
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

    def test_sigint_ends_blocked_write_with_keyboard_interrupt(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 1, 16)
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
        assert q.read(QDataType.Bytes, 20) is None


class TestStress:
    def test_three_writers_three_readers(self, queue_name, start_child):
        writers, readers, count = 3, 3, 10000
        q = MPMCQueue(queue_name, 5, 16)  # few cells: both sides block often
        go = multiprocessing.get_context("fork").Event()
        reader_children = [start_child(_stress_reader, queue_name, go) for _ in range(readers)]
        writer_children = [start_child(_stress_writer, queue_name, w, count, go) for w in range(writers)]
        # Everybody connects before anybody can end: an object that is
        # destroyed removes the names.
        for child in reader_children + writer_children:
            child.wait_for("connected")
        go.set()
        assert [w.result(timeout=20) for w in writer_children] == [count] * writers
        for _ in range(readers):
            q.write(struct.pack("<qq", -1, -1))
        received = [r.result(timeout=20) for r in reader_children]

        everything = Counter(m for got in received for m in got)
        assert len(everything) == writers * count
        assert set(everything.values()) == {1}
        assert sum(len(got) for got in received) == writers * count
        for w in range(writers):
            assert sum(s for (ww, s) in everything if ww == w) == count * (count - 1) // 2
        for got in received:
            for w in range(writers):
                seqs = [s for (ww, s) in got if ww == w]
                assert all(a < b for a, b in zip(seqs, seqs[1:]))
        assert q.read(QDataType.Bytes, 20) is None


# ---------------------------------------------------------- binding table ---


class TestBinding:
    def test_class_shape(self, queue_name):
        assert [b.__name__ for b in MPMCQueue.__bases__] == ["pybind11_object"]
        public = sorted(n for n in vars(MPMCQueue) if not n.startswith("_"))
        assert public == ["cell_size", "read", "unlink", "write"]
        q = MPMCQueue(queue_name, 1, 8)
        assert q.cell_size() == 8
        with pytest.raises(AttributeError):
            q.extra = 1

    def test_constructors(self, queue_name):
        create, connect = overloads(MPMCQueue.__init__)
        assert [a for _, a in parameters(create[0])][1] == "str"
        assert len(parameters(create[0])) == 4
        assert [a for _, a in parameters(connect[0])[1:]] == ["str"]
        with pytest.raises(TypeError):
            MPMCQueue(queue_name, 1, 8, True)
        with pytest.raises(TypeError):
            MPMCQueue(queue_name, 1)
        assert existing_objects(queue_name) == []

    def test_rows_in_order_with_docstrings(self, queue_name):
        reads = overloads(MPMCQueue.read)
        assert [doc for _, doc in reads][:2] == ["read byte", "read specified type"]
        assert [[a for _, a in parameters(sig)[1:]] for sig, _ in reads] == [
            [],
            ["mox_ipc_queue.QDataType"],
            ["mox_ipc_queue.QDataType", "int"],  # the timed read, after the fixed rows
        ]
        writes = overloads(MPMCQueue.write)
        assert [doc for _, doc in writes] == [
            "write bytes object",
            "write string object",
            "write int value",
            "write float value",
            "write numpy array of dtype double",
            "write numpy array of dtype int64_t",
        ]
        annotations = [parameters(sig)[1][1] for sig, _ in writes]
        assert annotations[:4] == ["bytes", "str", "int", "float"]
        assert "float64" in annotations[4] and "int64" in annotations[5]
        assert overloads(MPMCQueue.unlink)[0][1] == "call shm_unlink"
        assert overloads(MPMCQueue.cell_size)[0][1] == ""
        for function in (MPMCQueue.__init__, MPMCQueue.read, MPMCQueue.write):
            for sig, _ in overloads(function):
                assert [n for n, _ in parameters(sig)][1:] == [f"arg{i}" for i in range(len(parameters(sig)) - 1)]

        # The order decides conversions: values no row takes as they are
        # become doubles through the first array row.
        q = MPMCQueue(queue_name, 4, 16)
        for value, kind, expected in [
            ([1, 2], QDataType.FloatArray, np.array([1.0, 2.0])),
            (np.array([3], dtype=np.int32), QDataType.FloatArray, np.array([3.0])),
            (True, QDataType.Int, 1),
            (np.float64(0.25), QDataType.Float, 0.25),
        ]:
            q.write(value)
            assert_same_value(q.read(kind), expected)


# ------------------------------------------------------ names, lifecycle ---


def _missing_text(name):
    return f"MPMCQueueCPP connect constructor: unable to open shared memory on queue '{name}': No such file or directory"


def _expected_objects(name):
    return sorted(
        [shm_path(name)] + [semaphore_path(name, s) for s in ("_filled_", "_free_", "_free_mutex_", "_filled_mutex_")]
    )


class TestNames:
    def test_unlink_twice_then_connect_fails_while_attached_objects_work(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 2, 8)
        assert sorted(existing_objects(queue_name)) == _expected_objects(queue_name)
        child = start_child(_connect_exchange, queue_name, 99)
        child.wait_for("connected")
        q.unlink()
        q.unlink()
        assert existing_objects(queue_name) == []
        with pytest.raises(IPCQueueError) as info:
            MPMCQueue(queue_name)
        assert str(info.value) == _missing_text(queue_name)
        q.write(5)  # the attached pair goes on through its handles
        assert child.result() == 5
        assert q.read(QDataType.Int) == 99
        # The name is free for an unrelated queue.
        other = MPMCQueue(queue_name, 1, 8)
        other.write(1)
        assert q.read(QDataType.Int, 20) is None
        assert other.read(QDataType.Int) == 1

    def test_destroying_a_connected_object_removes_the_names(self, queue_name):
        q = MPMCQueue(queue_name, 2, 8)
        connected = MPMCQueue(queue_name)
        connected.write(3)
        del connected
        assert existing_objects(queue_name) == []
        with pytest.raises(IPCQueueError) as info:
            MPMCQueue(queue_name)
        assert str(info.value) == _missing_text(queue_name)
        assert q.read(QDataType.Int) == 3

    @pytest.mark.parametrize("kind", ["mpmc", "spsc", "mpmcvar"])
    def test_create_on_a_taken_name(self, queue_name, kind):
        holder = {
            "mpmc": lambda: MPMCQueue(queue_name, 2, 8),
            "spsc": lambda: SPSCQueue(queue_name, 2, 8, True),
            "mpmcvar": lambda: MPMCVarQueue(queue_name, 1, 2, 8),
        }[kind]()
        before = sorted(existing_objects(queue_name))
        with pytest.raises(IPCQueueError) as info:
            MPMCQueue(queue_name, 2, 8)
        assert str(info.value) == (
            "MPMCQueueCPP create constructor: shared memory file with same name already exists. "
            f"on queue '{queue_name}': File exists"
        )
        assert sorted(existing_objects(queue_name)) == before
        del holder

    @pytest.mark.parametrize("kind", ["spsc", "mpmcvar"])
    def test_connect_to_another_kind(self, queue_name, kind):
        holder = SPSCQueue(queue_name, 2, 8, True) if kind == "spsc" else MPMCVarQueue(queue_name, 1, 2, 8)
        with pytest.raises(IPCQueueError) as info:
            MPMCQueue(queue_name)
        assert str(info.value) == (
            "MPMCQueueCPP:connect constructor: cannot connect to queue type other than MPMCQueue "
            f"on queue '{queue_name}'"
        )
        del holder

    @pytest.mark.parametrize(
        "args, text, named",
        [
            (("", 1, 8), "MPMCQueue create constructor: queue name is empty", False),
            ((None, 0, 8), "MPMCQueue create constructor: num_cells <= 0", True),
            ((None, -3, 0), "MPMCQueue create constructor: num_cells <= 0", True),
            ((None, 2**31, 8), "MPMCQueueCPP:create constructor: num_cells > 2147483647", True),
            ((None, 1, 0), "MPMCQueue create constructor: cell_size <= 0", True),
            ((None, 1, -1), "MPMCQueue create constructor: cell_size <= 0", True),
            (("",), "MPMCQueue connect constructor: queue name is empty", False),
        ],
    )
    def test_argument_checks(self, queue_name, args, text, named):
        args = tuple(queue_name if a is None else a for a in args)
        with pytest.raises(IPCQueueError) as info:
            MPMCQueue(*args)
        assert str(info.value) == (on_queue(text, queue_name) if named else text)
        assert existing_objects(queue_name) == []


def _header(segment_size, queue_type, num_cells, cell_size, free_head=0, filled_head=LIST_END, filled_tail=LIST_END):
    return struct.pack("<QIIQIIII", segment_size, queue_type, num_cells, cell_size, free_head, filled_head, filled_tail, 0)


DAMAGED_SEGMENTS = {
    "empty": b"",
    "shorter-than-size-field": b"\x01\x02\x03",
    "never-initialised": bytes(HEADER_SIZE + 2 * 24),
    "size-claims-more-than-file": _header(1 << 20, 1, 2, 8) + bytes(48),
    "size-claims-less-than-file": _header(64, 1, 1, 8) + bytes(48),
    "more-cells-than-fit": _header(88, 1, 1000, 8) + bytes(48),
    "zero-cells": _header(88, 1, 0, 8) + bytes(48),
    "zero-cell-size": _header(88, 1, 2, 0) + bytes(48),
    "cell-size-wraps": _header(88, 1, 2, 2**64 - 8) + bytes(48),
    "header-only": _header(40, 1, 1, 8),
}


class TestDamagedSegments:
    @pytest.mark.parametrize("content", DAMAGED_SEGMENTS.values(), ids=DAMAGED_SEGMENTS.keys())
    def test_connect_refuses_damaged_segment(self, queue_name, run_in_child, content):
        with open(shm_path(queue_name), "xb") as f:
            f.write(content)
        assert run_in_child(_connect_error, queue_name) == (  # a crash fails in run_in_child
            "IPCQueueError",
            f"MPMCQueueCPP:connect constructor: segment is damaged or not initialised on queue '{queue_name}'",
        )

    def test_sound_segment_without_semaphores(self, queue_name, run_in_child):
        with open(shm_path(queue_name), "xb") as f:
            f.write(_header(88, 1, 2, 8) + bytes(48))
        assert run_in_child(_connect_error, queue_name) == (
            "IPCQueueError",
            "MPMCQueueCPP connect constructor: unable to create free semaphore "
            f"on queue '{queue_name}_free_': No such file or directory",
        )

    @pytest.mark.parametrize(
        "op, written, offset, value",
        [
            ("write", False, 24, 99),  # free_head beyond the cells
            ("write", False, cell_offset(0, 8) + 4, 77),  # link of the top free cell
            ("read", True, 28, 5),  # filled_head beyond the cells
            ("read", True, cell_offset(0, 8) + 8, 1 << 40),  # message longer than its cell
        ],
        ids=["free-head", "free-link", "filled-head", "cell-length"],
    )
    def test_lying_contents_raise_instead_of_crashing(self, queue_name, run_in_child, op, written, offset, value):
        q = MPMCQueue(queue_name, 2, 8)
        if written:
            q.write(b"abc")
        width = 8 if value >= 1 << 32 else 4
        fd = os.open(shm_path(queue_name), os.O_RDWR)
        try:
            os.pwrite(fd, value.to_bytes(width, "little"), offset)
        finally:
            os.close(fd)
        kind, text = run_in_child(_connect_and_fail_op, queue_name, op, timeout=10)
        assert kind == "IPCQueueError"
        assert f"on queue '{queue_name}'" in text
