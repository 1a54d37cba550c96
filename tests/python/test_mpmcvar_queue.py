"""MPMCVarQueue: messages of any length written whole or built from partial
writes, channel order, what refused values leave behind, threads sharing one
object, many writers and readers in real processes, and the binding's rows."""

import gc
import hashlib
import multiprocessing
import random
import struct
import threading
from collections import Counter

import numpy as np
import pytest
from conftest import CHILD_TIMEOUT, existing_objects, notify_parent
from test_codec import assert_same_value, named
from test_module import overloads, parameters
from test_spsc_queue import _wait_thread_blocked

from mox_ipc_queue import IPCQueueError, MPMCVarQueue, QDataType

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


# ------------------------------------------------------- child functions ---


def _connect_and_write(name, payload, partial):
    q = MPMCVarQueue(name)
    if partial:
        for i in range(0, len(payload), 7):
            q.partial_write(payload[i : i + 7])
        q.partial_write_complete()
    else:
        q.write(payload)
    return True


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

    def test_empty_messages_take_one_cell(self, var_queue):
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
        assert layout.used() == (0, 0)  # the empty partial write took the channel
        q.partial_write_complete()
        assert q.read() == b""
        assert_idle(layout)

    def test_thousand_int64_through_small_cells(self, var_queue):
        q, layout = var_queue(1, 200, 64)
        ints = np.random.default_rng(4).integers(-(2**63), 2**63 - 1, 1000, dtype=np.int64)
        q.write(ints)
        assert_same_value(q.read(QDataType.IntArray), ints)
        q.partial_write(ints[:500])
        q.partial_write(ints[500:])
        q.partial_write_complete()
        assert_same_value(q.read(QDataType.IntArray), ints)
        assert_idle(layout)


# ---------------------------------------------------- partial messages ---


class TestPartialMessages:
    def test_pieces_of_every_kind_make_one_message(self, queue_name, var_queue):
        q, layout = var_queue(4, 16, 8)
        for piece in [b"\x00ab", "\u00e9", -2, True, 1.0, np.float64(2.5), np.array([1.5]),
                      np.array([3], dtype=np.int64), [1, 2], np.array([0.5], dtype=np.float32)]:
            q.partial_write(piece)
        q.partial_write_complete()
        assert q.read() == (
            b"\x00ab" + "\u00e9".encode() + struct.pack("<qqdddq", -2, 1, 1.0, 2.5, 1.5, 3) + struct.pack("<ddd", 1.0, 2.0, 0.5)
        )
        for _ in range(3):
            q.partial_write(1)
            q.partial_write(2.5)
            q.partial_write(b"")
            q.partial_write_complete()
        q.write(b"after")
        assert q.read() == struct.pack("<qd", 1, 2.5)  # 16 bytes
        bits = struct.unpack("<q", struct.pack("<d", 2.5))[0]
        assert_same_value(q.read(QDataType.IntArray), np.array([1, bits], dtype=np.int64))
        with pytest.raises(IPCQueueError) as info:
            q.read(QDataType.Int)
        assert str(info.value) == named("MPMCVarQueue.read(Int): data length is not 8", queue_name)
        assert q.read() == b"after"  # the refused message was consumed
        assert_idle(layout, 4)

    def test_refused_piece_and_complete_without_a_message(self, queue_name, var_queue):
        q, layout = var_queue(1, 8, 8)
        refused = [(np.zeros((2, 2)), IPCQueueError), (np.arange(4.0)[::2], IPCQueueError),
                   ("\udfff", IPCQueueError), (2**64, OverflowError), (object(), TypeError)]
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
        assert q.read(QDataType.Bytes, 1) is None
        assert_idle(layout)

    def test_two_objects_build_at_once_ordered_by_channel_take(self, queue_name, var_queue):
        a, layout = var_queue(3, 8, 8)
        b = MPMCVarQueue(queue_name)
        a.partial_write(b"A" * 10)  # takes its channel first
        b.partial_write(b"B" * 3)
        b.write(b"whole")  # a whole write while building takes a channel of its own
        assert layout.free_head() == LIST_END  # all three channels taken
        b.partial_write(b"b" * 12)
        b.partial_write_complete()  # ends first
        a.partial_write(b"a" * 5)
        a.partial_write_complete()
        assert [a.read(), b.read(), a.read()] == [b"A" * 10 + b"a" * 5, b"B" * 3 + b"b" * 12, b"whole"]
        assert_idle(layout, 3)

    def test_destroying_the_object_completes_its_message(self, queue_name, var_queue, start_child):
        q, layout = var_queue(1, 11, 8)
        by_del, by_gc = MPMCVarQueue(queue_name), MPMCVarQueue(queue_name)
        pieces = [b"x" * 20, b"y" * 12, b"z" * 8]  # left by a process that ends
        assert start_child(_leave_partial_message, queue_name, pieces).result() is True
        assert q.read() == b"".join(pieces)
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
            assert piece == _chunk(t, k)  # no bytes of another call inside
            seen[t].append(k)
        assert all(ks == list(range(chunks)) for ks in seen.values())
        assert_idle(layout)


# ------------------------------------------------- waits, many processes ---


class TestWaits:
    def test_threads_of_one_process_wake_each_other(self, queue_name, run_in_child):
        flags = run_in_child(_threads_share_one_queue, queue_name, timeout=10)
        assert flags == dict.fromkeys(flags, True) and len(flags) == 8, flags

    def test_a_timed_read_once_taken_is_read_to_its_end(self, queue_name, var_queue, start_child):
        q, layout = var_queue(1, 4, 8)
        q.partial_write(b"x" * 8)  # one full cell handed over, the message goes on
        child = start_child(_timed_read, queue_name, 100)
        child.wait_for("reading")
        child.assert_blocked(settle=0.4)  # past its 100 ms, still reading
        q.partial_write(b"yz")
        q.partial_write_complete()
        assert child.result() == b"x" * 8 + b"yz"
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


def test_rows_in_order_with_docstrings(queue_name):
    public = sorted(n for n in vars(MPMCVarQueue) if not n.startswith("_"))
    assert public == ["cell_size", "partial_write", "partial_write_complete", "read", "unlink", "write"]
    create, connect = overloads(MPMCVarQueue.__init__)
    assert len(parameters(create[0])) == 5 and parameters(create[0])[1][1] == "str"
    assert [a for _, a in parameters(connect[0])[1:]] == ["str"]
    with pytest.raises(TypeError):
        MPMCVarQueue(queue_name, 1, 1, -1)  # cell_size is unsigned
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


@pytest.mark.parametrize(
    "args, text",
    [
        ((0, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels <= 0"),
        ((2**31, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels > 2147483647"),
        ((1, 2**31, 8), "MPMCVarQueueCPP:create constructor: num_cells > 2147483647"),
        ((1, 1, 0), "MPMCVarQueueCPP:create constructor: cell_size == 0"),
    ],
)
def test_argument_ranges_reach_the_queue(queue_name, args, text):
    with pytest.raises(IPCQueueError) as info:
        MPMCVarQueue(queue_name, *args)
    assert str(info.value) == named(text, queue_name)
    assert existing_objects(queue_name) == []
