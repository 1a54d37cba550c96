"""SPSCQueue: typed values between two processes, the bytes in the segment,
blocking and waking, and the names that the connect removes."""

import os
import signal
import threading
import time

import numpy as np
import pytest
from conftest import existing_objects, notify_parent, segment_bytes, semaphore_path, shm_path
from test_codec import assert_same_value, named, typed_cases

import mox_ipc_queue
from mox_ipc_queue import IPCQueueError, QDataType, SPSCQueue

HEADER_SIZE = 48
CELL_HEADER_SIZE = 16


def cell_offset(index, cell_size):
    return HEADER_SIZE + index * (cell_size + CELL_HEADER_SIZE)


def indices(seg):
    """(read_index, write_index) from the header."""
    return seg.u32(24), seg.u32(28)


def _thread_state(tid):
    try:
        with open(f"/proc/self/task/{tid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def _wait_thread_blocked(thread):
    """True once `thread` sleeps (a blocked wait) and is still alive."""
    deadline = time.monotonic() + 5
    while _thread_state(thread.native_id) != "S" and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    return thread.is_alive() and _thread_state(thread.native_id) == "S"


# ------------------------------------------------------- child functions ---
# Module level, so that "spawn" children can find them by name.


def _connect_and_write_all(name):
    q = SPSCQueue(name)
    for value, _, _ in typed_cases(q.cell_size()):
        q.write(value)
    return q.cell_size()


def _connect_and_read(name, kinds):
    q = SPSCQueue(name)
    notify_parent("connected")
    return [q.read(kind) for kind in kinds]


def _create_then_read(name):
    q = SPSCQueue(name, 2, 32, True)
    notify_parent("created")
    return q.read(QDataType.String), q.read(QDataType.FloatArray)


def _write_sequence(name, count):
    q = SPSCQueue(name)
    for i in range(count):
        q.write(i.to_bytes(4, "little") * (i % 4 + 1))
    return count


def _write_big(name, seed):
    q = SPSCQueue(name)
    rng = np.random.default_rng(seed)
    size = q.cell_size()
    q.write(rng.bytes(size))
    q.write(rng.integers(-(2**62), 2**62, size // 8, dtype=np.int64))
    return True


def _connect_report_thread(name):
    # Connect from a second thread, so its identity differs from the creator's
    # even though a forked child's main thread inherits the parent's.
    found = []
    t = threading.Thread(target=lambda: found.append((SPSCQueue(name), threading.get_ident())))
    t.start()
    t.join()
    return found[0][1]


def _connect_error(name):
    try:
        SPSCQueue(name)
    except IPCQueueError as exc:
        return str(exc)
    return "connected"


def _write_until_full_then_more(name):
    q = SPSCQueue(name)
    q.write(b"m0")
    q.write(b"m1")
    notify_parent("full")
    q.write(b"m2")  # the ring has two cells: waits for the reader
    return "wrote m2"


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


def _interrupted_untyped_calls(class_name, name):
    # read() and write(bytes) of either fixed-cell class, each ended by SIGINT.
    q = getattr(mox_ipc_queue, class_name)(name)
    try:
        notify_parent("reading")
        q.read()
    except KeyboardInterrupt:
        q.write(b"first")  # fills the one cell
    try:
        notify_parent("writing")
        q.write(b"lost")
    except KeyboardInterrupt:
        return "both interrupted"
    return "write returned"


def interrupt_untyped_calls(q, queue_name, start_child):
    """SIGINT ends a blocked read() and write(bytes) of `q`'s class with
    KeyboardInterrupt; neither takes nor publishes anything."""
    child = start_child(_interrupted_untyped_calls, type(q).__name__, queue_name)
    for note in ("reading", "writing"):
        child.wait_for(note)
        child.assert_blocked()
        os.kill(child.pid, signal.SIGINT)
    assert child.result() == "both interrupted"
    assert q.read() == b"first"
    q.write(b"after")
    assert q.read() == b"after"


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
        cases = typed_cases(64)
        child = start_child(_connect_and_read, queue_name, [kind for _, kind, _ in cases])
        for value, _, _ in cases:
            q.write(value)
        for (_, _, expected), value in zip(cases, child.result()):
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


class TestSegment:
    def test_header_and_cells_at_their_offsets(self, queue_name, run_in_child):
        cell_size = 24
        q = SPSCQueue(queue_name, 8, cell_size, True)
        values = [1, -2, 1.0, "\u00e9", np.array([1, 2], dtype=np.int64), b"\x00abc"]
        for v in values:
            q.write(v)
        raw = segment_bytes(queue_name)
        size = 48 + 8 * (cell_size + 16)
        assert len(raw) == size
        # segment size, kind 0, num_cells, cell_size, read_index, write_index
        assert [int.from_bytes(raw[a:b], "little") for a, b in [(0, 8), (8, 12), (12, 16), (16, 24), (24, 28), (28, 32)]] == [
            size, 0, 8, cell_size, 0, 6]
        payloads = ["0100000000000000", "FEFFFFFFFFFFFFFF", "000000000000F03F", "C3A9",
                    "0100000000000000 0200000000000000", "00616263"]
        for i, hexed in enumerate(payloads + [""] * 2):
            off = cell_offset(i, cell_size)
            payload = bytes.fromhex(hexed)
            assert raw[off : off + 8] == bytes(8)
            assert raw[off + 8 : off + 16] == len(payload).to_bytes(8, "little")
            assert raw[off + 16 : off + 16 + len(payload)] == payload
        kinds = [QDataType.Int, QDataType.Int, QDataType.Float, QDataType.String, QDataType.IntArray, QDataType.Bytes]
        for expected, got in zip(values, run_in_child(_connect_and_read, queue_name, kinds)):
            assert_same_value(got, expected)

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
        child = start_child(_connect_and_read, queue_name, [QDataType.String])
        child.wait_for("connected")
        child.assert_blocked()
        q.write("wake up")
        assert child.result() == ["wake up"]

    def test_threads_of_one_process_wake_each_other(self, queue_name, run_in_child):
        reader_blocked, reader_woken, got, writer_blocked, writer_woken, order = run_in_child(
            _threads_share_one_queue, queue_name, timeout=10
        )
        assert reader_blocked and reader_woken and got == [42]
        assert writer_blocked and writer_woken and order == [1, 2, 3]

    def test_sigint_ends_blocked_untyped_read_and_write(self, queue_name, start_child):
        interrupt_untyped_calls(SPSCQueue(queue_name, 1, 16, True), queue_name, start_child)

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
        assert text == named("SPSCQueueCPP:open_cell_for_read: Filled semaphore decrement failed.", queue_name) + (
            ": Interrupted system call")


# ------------------------------------------------------ names, lifecycle ---


def _missing_text(name):
    return named("SPSCQueueCPP:connect constructor: unable to open shared memory.", name) + ": No such file or directory"


class TestNames:
    def test_connect_removes_names_and_refuses_a_second_connect(self, queue_name, start_child, run_in_child):
        q = SPSCQueue(queue_name, 2, 16, True)
        assert sorted(existing_objects(queue_name)) == sorted(
            [shm_path(queue_name), semaphore_path(queue_name, "_filled_"), semaphore_path(queue_name, "_free_")])
        child = start_child(_connect_and_read, queue_name, [QDataType.Bytes])
        child.wait_for("connected")
        # Both ends are alive: the connect itself removed the names.
        assert existing_objects(queue_name) == []
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name)
        assert str(info.value) == _missing_text(queue_name)
        assert run_in_child(_connect_error, queue_name) == _missing_text(queue_name)
        q.write(b"ping")  # the pair keeps working without names
        assert child.result() == [b"ping"]

    @pytest.mark.parametrize(
        "args, text",
        [
            ((0, 8, True), "SPSCQueueCPP:create constructor: num_cells <= 0"),
            ((2**31, 8, True), "SPSCQueueCPP:create constructor: num_cells > 2147483647"),
            ((1, 0, True), "SPSCQueueCPP:create constructor:cell_size <= 0"),
        ],
    )
    def test_argument_ranges_reach_the_queue(self, queue_name, args, text):
        # The binding passes the full range through: the queue, not the
        # argument conversion, refuses these.
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name, *args)
        assert str(info.value) == named(text, queue_name)
        assert existing_objects(queue_name) == []
