"""What the three classes share, each test run against every class: the value
codec (every QDataType round trip, bytes in the segment, refused values leave
the queue untouched with each class's own wording, refused reads consume their
message), construction refusals, wrong argument types, timed reads, blocking
across processes and threads, and Ctrl-C in untyped calls."""

import hashlib
import math
import multiprocessing
import os
import random
import signal
import struct
import threading
import time

import numpy as np
import pytest
from conftest import CHILD_TIMEOUT, existing_objects, notify_parent, segment_bytes

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

# Per class: constructor for (name, messages it must hold, cell_size), write
# methods with their text prefixes, and the class's own refusal wordings.
KINDS = {
    "spsc": dict(
        cls=SPSCQueue,
        make=lambda name, n, cell: SPSCQueue(name, n, cell, True),
        writes=[("write", "SPSCQueue.")],
        surrogate="SPSCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
        bytes_long="SPSCQueue.write(bytes): data length > cell_size",
        str_long="SPSCQueue::write(str): string is larger than cell_size.",
        int_long="SPSCQueue.write(int64_t): sizeof(int64_t) > cell_size",
        float_long="SPSCQueue.write(double): sizeof(double) > cell_size",
        floats_long="SPSCQueue.write(numpy_array): length of numpy array is larger than cell_size",
        ints_long="SPSCQueue.write(numpy_array): length of numpyarray is larger than cell_size",
    ),
    "mpmc": dict(
        cls=MPMCQueue,
        make=lambda name, n, cell: MPMCQueue(name, n, cell),
        writes=[("write", "MPMCQueue.")],
        surrogate="MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
        bytes_long="MPMCQueue::write(bytes): length > cell_size",
        str_long="MPMCQueue::write(str): string is larger than cell_size.",
        int_long="MPMCQueue.write(int64_t): sizeof(int64_t) > cell_size",
        float_long="MPMCQueue.write(double): sizeof(double) > cell_size",
        floats_long="MPMCQueue.write(numpy_array): length of numpy array is larger than cell_size",
        ints_long="MPMCQueue.write(numpy_array): length of numpy array is larger than cell_size",
    ),
    "mpmcvar": dict(
        cls=MPMCVarQueue,
        make=lambda name, n, cell: MPMCVarQueue(name, n, 2, cell),  # n channels of two cells
        writes=[("write", "MPMCVarQueue."), ("partial_write", "MPMCVarQueue.partial_")],
        # The variable-length class reuses the MPMC wording for this one.
        surrogate="MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
    ),
}
FIXED = ["spsc", "mpmc"]


def named(text, name):
    return f"{text} on queue '{name}'"


def assert_same_value(got, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray) and got.dtype == expected.dtype and got.ndim == 1
        np.testing.assert_array_equal(got, expected)
        assert got.flags.owndata and got.flags.writeable
    elif isinstance(expected, float) and math.isnan(expected):
        assert type(got) is float and math.isnan(got)
    else:
        assert type(got) is type(expected) and got == expected


def typed_cases(cell_size):
    """(value written, type read, value expected), one message each."""
    seven = (7).to_bytes(8, "little")
    text = "h\u00e9llo w\u00f6rld \u2713 \U0001f642"
    return [
        (b"\x00\xffraw\n", QDataType.Bytes, b"\x00\xffraw\n"),
        (text, QDataType.String, text),
        (-1234567890123, QDataType.Int, -1234567890123),
        (2**63 - 1, QDataType.Int, 2**63 - 1),
        (-(2**63), QDataType.Int, -(2**63)),
        (3.25, QDataType.Float, 3.25),
        (np.array([1.5, -2.25, 1e300]), QDataType.FloatArray, np.array([1.5, -2.25, 1e300])),
        (np.array([1, -2, 2**62], dtype=np.int64), QDataType.IntArray, np.array([1, -2, 2**62], dtype=np.int64)),
        (True, QDataType.Int, 1),
        (np.float64(2.5), QDataType.Float, 2.5),
        ([1, 2, 3], QDataType.FloatArray, np.array([1.0, 2.0, 3.0])),
        (np.array([0.5, 1.25], dtype=np.float32), QDataType.FloatArray, np.array([0.5, 1.25])),
        (np.array([7, 8], dtype=np.int32), QDataType.FloatArray, np.array([7.0, 8.0])),
        (np.arange(10.0)[2:5], QDataType.FloatArray, np.array([2.0, 3.0, 4.0])),  # a contiguous view
        (float("-inf"), QDataType.Float, float("-inf")),
        (float("nan"), QDataType.Float, float("nan")),
        (b"", QDataType.Bytes, b""),
        ("", QDataType.String, ""),
        (b"", QDataType.IntArray, np.array([], dtype=np.int64)),
        (np.array([], dtype=np.float64), QDataType.FloatArray, np.array([], dtype=np.float64)),
        (bytes(range(256))[:cell_size], QDataType.Bytes, bytes(range(256))[:cell_size]),
        # One message read under another type: the bytes are reinterpreted.
        (7, QDataType.Bytes, seven),
        (7, QDataType.IntArray, np.array([7], dtype=np.int64)),
        (7, QDataType.FloatArray, np.frombuffer(seven, dtype=np.float64).copy()),
        (seven, QDataType.Float, float(np.frombuffer(seven, dtype=np.float64)[0])),
    ]


# Values, the type they are read back as, and the exact bytes of their message.
WIRE = [
    (1, QDataType.Int, "0100000000000000"),
    (-2, QDataType.Int, "FEFFFFFFFFFFFFFF"),
    (2**63 - 1, QDataType.Int, "FFFFFFFFFFFFFF7F"),
    (-(2**63), QDataType.Int, "0000000000000080"),
    (1.0, QDataType.Float, "000000000000F03F"),
    ("\u00e9", QDataType.String, "C3A9"),
    (np.array([1, 2], dtype=np.int64), QDataType.IntArray, "0100000000000000 0200000000000000"),
    (np.array([-0.5]), QDataType.FloatArray, "000000000000E0BF"),
    (b"\x00abc", QDataType.Bytes, "00616263"),
]


@pytest.fixture(params=list(KINDS))
def kind(request):
    return request.param


@pytest.fixture
def box(kind, queue_name):
    """make(cell_size, messages=2) -> the queue, with `untouched()` asserting that
    a refused call changed no byte of the segment and published nothing."""

    class Box:
        def __init__(self, cell_size, messages=2):
            self.q = KINDS[kind]["make"](queue_name, messages, cell_size)
            self.before = segment_bytes(queue_name)

        def writes(self):
            return [(getattr(self.q, m), p) for m, p in KINDS[kind]["writes"]]

        def untouched(self):
            assert segment_bytes(queue_name) == self.before
            self.q.write(b"\x01")
            assert self.q.read() == b"\x01"
            self.before = segment_bytes(queue_name)

    return Box


# ------------------------------------------------------- child functions ---
# Module level, so that "spawn" children can find them by name.


def _connect_and_write_all(kind, name):
    q = KINDS[kind]["cls"](name)
    for value, _, _ in typed_cases(64):
        q.write(value)
    return q.cell_size()


def _connect_and_read(kind, name, *args):
    q = KINDS[kind]["cls"](name)
    notify_parent("reading")
    return q.read(*args)


def _refused_read_then_next(kind, name, payload, dtype):
    # Room for one message only: a refused read that kept its cell or channel
    # would make the next write wait forever, which the test sees as a deadlock.
    q = KINDS[kind]["make"](name, 1, 16)
    q.write(payload)
    try:
        q.read(dtype)
    except Exception as exc:  # reported to the test
        error = (type(exc).__name__, str(exc))
    else:
        error = None
    q.write(b"next")
    return error, q.read()


def wait_thread_blocked(thread):
    """True once `thread` sleeps (a blocked wait) and is still alive."""

    def state():
        try:
            with open(f"/proc/self/task/{thread.native_id}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0]
        except FileNotFoundError:
            return None

    deadline = time.monotonic() + 5
    while state() != "S" and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    return thread.is_alive() and state() == "S"


def blocked_then_woken(target, wake):
    """Runs `target` in a thread: True if it blocks, and ends once wake() ran."""
    t = threading.Thread(target=target)
    t.start()
    blocked = wait_thread_blocked(t)
    wake()
    t.join(5)
    return blocked and not t.is_alive()


def _threads_share_one_queue(kind, name):
    # Runs in a child: a wait that kept the interpreter lock would stop every
    # other thread here, and the test would see a deadlock.
    q = KINDS[kind]["make"](name, 2, 16)
    got = []
    flags = [blocked_then_woken(lambda: got.append(q.read(QDataType.Int)), lambda: q.write(42))]
    q.write(1)
    q.write(2)  # full
    flags.append(blocked_then_woken(lambda: q.write(3), lambda: got.append(q.read(QDataType.Int))))
    return flags, got + [q.read(QDataType.Int), q.read(QDataType.Int)]


# Stress messages: writer and sequence in 16 bytes, for MPMCVar then up to 100
# cells of bytes drawn from both. The stop marker has writer -1.
STOP = struct.pack("<qq", -1, -1)


def _stress_message(kind, writer, seq):
    r = random.Random(writer * 1_000_003 + seq)
    return struct.pack("<qq", writer, seq) + (r.randbytes(r.randint(0, 1600)) if kind == "mpmcvar" else b"")


def _stress_writer(kind, name, writer, count, go):
    q = KINDS[kind]["cls"](name)
    notify_parent("connected")
    if not go.wait(CHILD_TIMEOUT):
        raise RuntimeError("never told to start")
    r = random.Random(-1 - writer)
    for seq in range(count):
        message = _stress_message(kind, writer, seq)
        if kind == "mpmc" or r.random() < 0.5:
            q.write(np.frombuffer(message, dtype=np.int64) if len(message) % 8 == 0 and r.random() < 0.3 else message)
            continue
        at = 0
        while at < len(message):
            piece = message[at : at + r.choice([0, 1, 3, 8, 8, 16, 48, 640])]
            q.partial_write(np.frombuffer(piece, dtype=np.int64) if len(piece) % 8 == 0 and r.random() < 0.5 else piece)
            at += len(piece)
        q.partial_write_complete()
    return count


def _stress_reader(kind, name, go):
    q = KINDS[kind]["cls"](name)
    notify_parent("connected")
    if not go.wait(CHILD_TIMEOUT):
        raise RuntimeError("never told to start")
    got = []
    while (message := q.read()) != STOP:
        got.append(struct.unpack_from("<qq", message) + (hashlib.blake2b(message, digest_size=16).digest(),))
    return got


def _interrupted_untyped_calls(kind, name):
    q = KINDS[kind]["cls"](name)
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


# ------------------------------------------------------------- the codec ---


def test_every_kind_round_trips_with_its_bytes(box, queue_name):
    b = box(64, len(WIRE))
    for value, _, _ in WIRE:
        b.q.write(value)
    raw = segment_bytes(queue_name)
    for value, dtype, hexed in WIRE:
        payload = bytes.fromhex(hexed)
        # Each cell holds an 8-byte length right before the payload; no terminator.
        assert len(payload).to_bytes(8, "little") + payload in raw, hexed
        assert_same_value(b.q.read(dtype), value)
    for value, dtype, expected in typed_cases(64):
        b.q.write(value)
        assert_same_value(b.q.read(dtype), expected)
    if len(b.writes()) > 1:  # partial writes of one value each carry the same bytes
        for value, dtype, expected in typed_cases(64):
            b.q.partial_write(value)
            b.q.partial_write_complete()
            assert_same_value(b.q.read(dtype), expected)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_every_kind_written_by_a_connected_process(kind, queue_name, start_child, method):
    q = KINDS[kind]["make"](queue_name, 4, 64)  # room for fewer than all: the writer waits, rings wrap
    child = start_child(_connect_and_write_all, kind, queue_name, method=method)
    for _, dtype, expected in typed_cases(64):
        assert_same_value(q.read(dtype), expected)
    assert child.result() == 64


@pytest.mark.parametrize("kind", FIXED)
def test_values_longer_than_the_cell(box, queue_name, kind):
    t = KINDS[kind]
    b = box(7)
    for value, text in [
        (b"x" * 8, t["bytes_long"]),
        ("a" * 8, t["str_long"]),
        ("\u00e9" * 4, t["str_long"]),  # 4 characters, 8 bytes
        (np.zeros(1), t["floats_long"]),
        ([1], t["floats_long"]),  # converted to doubles
        (np.zeros(1, dtype=np.int64), t["ints_long"]),
        (0, t["int_long"]),  # numbers need 8 bytes whatever their value
        (True, t["int_long"]),
        (1.0, t["float_long"]),
        (np.float64(1.0), t["float_long"]),
    ]:
        with pytest.raises(IPCQueueError) as info:
            b.q.write(value)
        assert str(info.value) == named(text, queue_name)
        b.untouched()
    for value, dtype in [(b"x" * 7, QDataType.Bytes), ("\u00e9" * 3 + "a", QDataType.String)]:
        b.q.write(value)
        assert_same_value(b.q.read(dtype), value)


# np.int64(5), no float, becomes a 0-D float64 array.
DIMS = (np.zeros((2, 2)), np.zeros((2, 2), dtype=np.int64), np.zeros((2, 2), dtype=np.float32), [[1, 2], [3, 4]],
        np.array(1.0), np.int64(5))
STRIDES = (np.arange(8.0)[::2], np.arange(8, dtype=np.int64)[::-1], np.zeros((3, 2))[:, 0])
WIDE_INTS = (2**63, -(2**63) - 1, 2**64, -(2**100))


def test_refused_values_leave_the_queue_untouched(box, kind, queue_name):
    b = box(64)
    for write, prefix in b.writes():
        array_text = prefix + "write(numpy_array): Incompatible numpy array: "  # names no queue
        for value, error, text in ([(v, IPCQueueError, array_text + "# of dimensions > 1") for v in DIMS]
                                   + [(v, IPCQueueError, array_text + "stride not 1") for v in STRIDES]
                                   + [("a\ud800b", IPCQueueError, named(KINDS[kind]["surrogate"], queue_name))]
                                   + [(v, OverflowError, None) for v in WIDE_INTS]):
            with pytest.raises(error) as info:
                write(value)
            assert text is None or str(info.value) == text, value
            b.untouched()


@pytest.mark.parametrize(
    "payload, dtype, error",
    [
        (b"abc", QDataType.Int, "(Int): data length is not 8"),
        (b"x" * 9, QDataType.Int, "(Int): data length is not 8"),
        (b"", QDataType.Int, "(Int): data length is not 8"),
        (b"abcde", QDataType.Float, "(Float): data length is not 8"),
        (b"x" * 15, QDataType.Float, "(Float): data length is not 8"),
        (b"x" * 12, QDataType.IntArray, "(IntArray): data length is not a multiple of 8"),
        (b"x", QDataType.FloatArray, "(FloatArray): data length is not a multiple of 8"),
        (b"x" * 15, QDataType.FloatArray, "(FloatArray): data length is not a multiple of 8"),
        (b"\xff\xfe", QDataType.String, UnicodeDecodeError),
        (b"ok \xc3", QDataType.String, UnicodeDecodeError),
        (b"\xed\xa0\x80", QDataType.String, UnicodeDecodeError),  # an encoded surrogate
        (b"one", QDataType(6), TypeError),  # no such member
        (b"one", QDataType(-1), TypeError),
    ],
)
def test_refused_read_consumes_the_message(kind, queue_name, run_in_child, payload, dtype, error):
    (error_type, text), following = run_in_child(_refused_read_then_next, kind, queue_name, payload, dtype, timeout=10)
    if isinstance(error, str):
        assert (error_type, text) == ("IPCQueueError", named(KINDS[kind]["cls"].__name__ + ".read" + error, queue_name))
    else:
        assert error_type == error.__name__
    if error is TypeError:
        assert text.startswith("Unable to convert function return value to a Python type!")
    assert following == b"next"


# ------------------------------------------------- arguments, construction ---

MISSING = "{q}: No such file or directory"  # the queue name goes before the system's text
REFUSALS = [
    ("spsc", (0, 8, True), "SPSCQueueCPP:create constructor: num_cells <= 0"),
    ("spsc", (2**31, 8, True), "SPSCQueueCPP:create constructor: num_cells > 2147483647"),
    ("spsc", (1, 0, True), "SPSCQueueCPP:create constructor:cell_size <= 0"),
    ("spsc", (), "SPSCQueueCPP:connect constructor: unable to open shared memory." + MISSING),
    ("mpmc", (0, 8), "MPMCQueue create constructor: num_cells <= 0"),
    ("mpmc", (2**31, 8), "MPMCQueueCPP:create constructor: num_cells > 2147483647"),
    ("mpmc", (1, -1), "MPMCQueue create constructor: cell_size <= 0"),
    ("mpmc", (), "MPMCQueueCPP connect constructor: unable to open shared memory" + MISSING),
    ("mpmcvar", (0, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels <= 0"),
    ("mpmcvar", (2**31, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels > 2147483647"),
    ("mpmcvar", (1, 2**31, 8), "MPMCVarQueueCPP:create constructor: num_cells > 2147483647"),
    ("mpmcvar", (1, 1, 0), "MPMCVarQueueCPP:create constructor: cell_size == 0"),
    ("mpmcvar", (), "MPMCVarQueueCPP:connect constructor: unable to open shared memory" + MISSING),
]


@pytest.mark.parametrize("kind, args, text", REFUSALS)
def test_construction_refused(queue_name, kind, args, text):
    # The binding passes the full argument range on: the queue, not the
    # argument conversion, refuses these.
    with pytest.raises(IPCQueueError) as info:
        KINDS[kind]["cls"](queue_name, *args)
    assert type(info.value) is IPCQueueError
    assert info.value.args == ((text if "{q}" in text else text + "{q}").format(q=f" on queue '{queue_name}'"),)
    assert existing_objects(queue_name) == []
    assert KINDS[kind]["make"](queue_name, 1, 8).cell_size() == 8  # the name stays free


BAD_CONSTRUCTIONS = {"spsc": [(1, 8)], "mpmc": [(4.0, 8)], "mpmcvar": [(1, 1, -1)]}  # no default; float; unsigned


def test_wrong_argument_types(box, kind, queue_name, make_queue_name):
    other = make_queue_name()
    for args in [(other, *a) for a in BAD_CONSTRUCTIONS[kind]] + [()]:
        with pytest.raises(TypeError):
            KINDS[kind]["cls"](*args)
    with pytest.raises(TypeError):
        KINDS[kind]["cls"](name=other)
    assert existing_objects(other) == []
    b = box(64)
    for write, _ in b.writes():
        for args in [(object(),), ({"a": 1},), ([1, "a"],), (np.array(["a"]),), (), (b"a", b"b")]:
            with pytest.raises(TypeError):
                write(*args)
            b.untouched()
    b.q.write(b"one")
    b.before = segment_bytes(queue_name)
    for args, error in [((2,), TypeError), (("Int",), TypeError), ((None,), TypeError), ((QDataType.Int, 1.5), TypeError),
                        ((QDataType.Int, "5"), TypeError), ((QDataType.Int, None), TypeError),
                        ((QDataType.Int, QDataType.Int), TypeError), ((QDataType.Int, -1), OverflowError),
                        ((QDataType.Int, 2**32), OverflowError)]:
        with pytest.raises(error):
            b.q.read(*args)
        assert segment_bytes(queue_name) == b.before
    assert b.q.read() == b"one"


# ----------------------------------------------------------------- waits ---


def test_timed_read_of_an_empty_queue_gives_none(box):
    b = box(16)
    start = time.monotonic()
    assert b.q.read(QDataType.Int, 50) is None
    assert 0.04 <= time.monotonic() - start < 5
    b.untouched()


@pytest.mark.parametrize("timeout", [0, 600_000], ids=["zero-no-limit", "long"])
def test_blocked_read_in_another_process_wakes_on_a_write(kind, queue_name, start_child, timeout):
    q = KINDS[kind]["make"](queue_name, 2, 16)
    child = start_child(_connect_and_read, kind, queue_name, QDataType.Int, timeout)
    child.wait_for("reading")
    child.assert_blocked()
    q.write(5)
    assert child.result() == 5


def test_threads_of_one_process_wake_each_other(kind, queue_name, run_in_child):
    assert run_in_child(_threads_share_one_queue, kind, queue_name, timeout=10) == ([True, True], [42, 1, 2, 3])


@pytest.mark.parametrize("kind, count", [("mpmc", 10000), ("mpmcvar", 120)])
def test_many_writer_and_reader_processes(kind, count, queue_name, start_child):
    writers = readers = 3
    q = KINDS[kind]["make"](queue_name, 3, 16)  # little room: both sides block often
    go = multiprocessing.get_context("fork").Event()
    reader_children = [start_child(_stress_reader, kind, queue_name, go) for _ in range(readers)]
    writer_children = [start_child(_stress_writer, kind, queue_name, w, count, go) for w in range(writers)]
    # Everybody connects before anybody can end: an object that is destroyed removes the names.
    for child in reader_children + writer_children:
        child.wait_for("connected")
    go.set()
    assert [w.result(timeout=25) for w in writer_children] == [count] * writers
    for _ in range(readers):
        q.write(STOP)
    received = [r.result(timeout=20) for r in reader_children]

    # Every message exactly once and whole; each reader sees each writer's messages in order.
    everything = sorted(m for got in received for m in got)
    assert [(w, s) for w, s, _ in everything] == [(w, s) for w in range(writers) for s in range(count)]
    for w, s, digest in everything:
        assert digest == hashlib.blake2b(_stress_message(kind, w, s), digest_size=16).digest()
    for got in received:
        for w in range(writers):
            seqs = [s for ww, s, _ in got if ww == w]
            assert seqs == sorted(seqs)
    assert q.read(QDataType.Bytes, 20) is None


@pytest.mark.parametrize("kind", FIXED)
def test_sigint_ends_blocked_untyped_read_and_write(kind, queue_name, start_child):
    # Neither interrupted call takes or publishes anything.
    q = KINDS[kind]["make"](queue_name, 1, 16)
    child = start_child(_interrupted_untyped_calls, kind, queue_name)
    for note in ("reading", "writing"):
        child.wait_for(note)
        child.assert_blocked()
        os.kill(child.pid, signal.SIGINT)
    assert child.result() == "both interrupted"
    assert q.read() == b"first"
    q.write(b"after")
    assert q.read() == b"after"
    assert q.read(QDataType.Bytes, 20) is None
