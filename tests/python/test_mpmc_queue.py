"""MPMCQueue: many readers and writers in real processes, the free and filled
lists after refused reads, timed reads, the binding's rows, and the names."""

import multiprocessing
import struct
import threading
import time
from collections import Counter

import numpy as np
import pytest
from conftest import CHILD_TIMEOUT, existing_objects, notify_parent, segment_bytes, semaphore_path, shm_path
from test_codec import named
from test_module import overloads, parameters
from test_spsc_queue import _wait_thread_blocked, interrupt_untyped_calls

from mox_ipc_queue import IPCQueueError, MPMCQueue, QDataType

LIST_END = 0xFFFFFFFF


def raw_lists(raw):
    """(free_head, filled_head, filled_tail) from the header."""
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


def _read_one_int(name, *timeout):
    q = MPMCQueue(name)
    notify_parent("reading")
    return q.read(QDataType.Int, *timeout)


def _refused_reads_free_the_cell(name):
    # One cell: a refused read that kept it would make the next write wait
    # forever, which the test sees as a deadlock.
    q = MPMCQueue(name, 1, 16)
    states = []
    for payload, kind, error in [(b"x" * 12, QDataType.IntArray, IPCQueueError),
                                 (b"\xff\xfe", QDataType.String, UnicodeDecodeError),
                                 (b"one", QDataType(9), TypeError)]:
        q.write(payload)
        try:
            q.read(kind)
        except error:
            states.append(raw_lists(segment_bytes(name)))
    q.write(b"next")
    return states, q.read()


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
        return str(exc)
    return "connected"


def _connect_exchange(name, value):
    q = MPMCQueue(name)
    notify_parent("connected")
    got = q.read(QDataType.Int)
    q.write(value)
    return got


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


# ----------------------------------------------- readers, writers, waits ---


class TestManyPeers:
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

    @pytest.mark.parametrize("timeout_ms", [0, 600_000], ids=["zero-no-limit", "long"])
    def test_timed_read_waits_for_a_message_from_another_process(self, queue_name, start_child, timeout_ms):
        q = MPMCQueue(queue_name, 2, 16)
        child = start_child(_read_one_int, queue_name, timeout_ms)
        child.wait_for("reading")
        child.assert_blocked()
        q.write(5)
        assert child.result() == 5

    def test_sigint_ends_blocked_untyped_read_and_write(self, queue_name, start_child):
        q = MPMCQueue(queue_name, 1, 16)
        interrupt_untyped_calls(q, queue_name, start_child)
        assert q.read(QDataType.Bytes, 20) is None

    def test_threads_of_one_process_wake_each_other(self, queue_name, run_in_child):
        readers_blocked, readers_woken, got, writer_blocked, writer_woken, order = run_in_child(
            _threads_share_one_queue, queue_name, timeout=10
        )
        assert readers_blocked and readers_woken and got == [41, 42]
        assert writer_blocked and writer_woken and order == [1, 2, 3]

    def test_refused_reads_put_the_cell_back_on_the_free_list(self, queue_name, run_in_child):
        states, following = run_in_child(_refused_reads_free_the_cell, queue_name, timeout=10)
        assert states == [(0, LIST_END, LIST_END)] * 3  # the one cell is free, nothing filled
        assert following == b"next"

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
        for w in range(writers):
            assert sum(s for (ww, s) in everything if ww == w) == count * (count - 1) // 2
        for got in received:  # each reader sees each writer's messages in order
            for w in range(writers):
                seqs = [s for (ww, s) in got if ww == w]
                assert all(a < b for a, b in zip(seqs, seqs[1:]))
        assert q.read(QDataType.Bytes, 20) is None


# ---------------------------------------------------------- binding table ---


def test_rows_in_order_with_docstrings(queue_name):
    assert sorted(n for n in vars(MPMCQueue) if not n.startswith("_")) == ["cell_size", "read", "unlink", "write"]
    create, connect = overloads(MPMCQueue.__init__)
    assert len(parameters(create[0])) == 4 and parameters(create[0])[1][1] == "str"
    assert [a for _, a in parameters(connect[0])[1:]] == ["str"]
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
    q = MPMCQueue(queue_name, 1, 8)
    with pytest.raises(AttributeError):
        q.extra = 1


# ------------------------------------------------------ names, lifecycle ---


class TestNames:
    def test_unlink_twice_then_connect_fails_while_attached_objects_work(self, queue_name, start_child):
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
        missing = named("MPMCQueueCPP connect constructor: unable to open shared memory", queue_name)
        with pytest.raises(IPCQueueError) as info:
            MPMCQueue(queue_name)
        assert str(info.value) == missing + ": No such file or directory"
        q.write(5)  # the attached pair goes on through its handles
        assert child.result() == 5
        assert q.read(QDataType.Int) == 99
        # The name is free for an unrelated queue.
        other = MPMCQueue(queue_name, 1, 8)
        other.write(1)
        assert q.read(QDataType.Int, 20) is None
        assert other.read(QDataType.Int) == 1

    @pytest.mark.parametrize(
        "args, text",
        [
            ((0, 8), "MPMCQueue create constructor: num_cells <= 0"),
            ((2**31, 8), "MPMCQueueCPP:create constructor: num_cells > 2147483647"),
            ((1, -1), "MPMCQueue create constructor: cell_size <= 0"),
        ],
    )
    def test_argument_ranges_reach_the_queue(self, queue_name, args, text):
        with pytest.raises(IPCQueueError) as info:
            MPMCQueue(queue_name, *args)
        assert str(info.value) == named(text, queue_name)
        assert existing_objects(queue_name) == []
        assert MPMCQueue(queue_name, 1, 8).cell_size() == 8  # the name stays free
