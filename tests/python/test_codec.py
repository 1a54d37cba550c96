"""The value codec, run against every class: every QDataType round trip and its bytes in the segment,
values written by a connected process, refused values leave the queue untouched (each class's own
wording), refused reads consume their message, refused constructions leave no name. Blocking calls:
test_blocking.py; many processes at once: test_traffic.py."""

import struct
import time

import numpy as np
import pytest
from helpers import KINDS, assert_same_value, existing_objects, make, named, notify_parent, segment_bytes

from mox_ipc_queue import IPCQueueError, QDataType

T = QDataType


SEVEN = (7).to_bytes(8, "little")
# (value written, type read, value expected, hex of the message's bytes if checked); each fits a 64-byte cell.
TYPED = [(v, t, v if e is None else e, h) for v, t, e, h in [  # e None: the value written
    (b"\x00\xffraw\n", T.Bytes, None, "00FF7261770A"), ("\u00e9\U0001f642", T.String, None, "C3A9F09F9982"),
    (-2, T.Int, None, "FEFFFFFFFFFFFFFF"), (2**63 - 1, T.Int, None, "FFFFFFFFFFFFFF7F"),
    (-(2**63), T.Int, None, "0000000000000080"), (True, T.Int, 1, "0100000000000000"),
    (1.0, T.Float, None, "000000000000F03F"), (float("nan"), T.Float, None, None),
    (np.array([1, -2], dtype=np.int64), T.IntArray, None, "0100000000000000 FEFFFFFFFFFFFFFF"),
    (np.array([-0.5, 1e300]), T.FloatArray, None, "000000000000E0BF 9C7500883CE4377E"),
    ([1, 2], T.FloatArray, np.array([1.0, 2.0]), None), (np.arange(10.0)[2:5], T.FloatArray, np.arange(2.0, 5.0), None),
    (np.array([7, 8], dtype=np.int32), T.FloatArray, np.array([7.0, 8.0]), None),  # no int64: converted to doubles
    (b"", T.Bytes, None, None), ("", T.String, None, None), (bytes(range(64)), T.Bytes, None, None),  # fills a cell
    (b"", T.IntArray, np.array([], dtype=np.int64), None), (np.array([], dtype=np.float64), T.FloatArray, None, None),
    (7, T.Bytes, SEVEN, None), (SEVEN, T.Float, struct.unpack("<d", SEVEN)[0], None),  # read as another type
]]


@pytest.fixture(params=list(KINDS))
def kind(request):
    return request.param


@pytest.fixture
def box(kind, queue_name):
    """make(cell_size, messages=2) -> queue; untouched() asserts a refused call changed no byte, sent nothing."""

    class Box:
        def __init__(self, cell_size, messages=2):
            self.q = make(kind, queue_name, messages, cell_size)
            self.before = segment_bytes(queue_name)

        def writes(self):  # (method name, bound method)
            return [(m, getattr(self.q, m)) for m in ("write", "partial_write") if hasattr(self.q, m)]

        def untouched(self):
            assert segment_bytes(queue_name) == self.before
            self.q.write(b"\x01")
            assert self.q.read() == b"\x01"
            self.before = segment_bytes(queue_name)

    return Box


# ------------------------------------------------------- child functions ---
# Module level, so that "spawn" children can find them by name.


def _connect_and_write_all(kind, name):
    q = KINDS[kind][0](name)
    for value, *_ in TYPED:
        q.write(value)
    return q.cell_size()


def _refused_reads_then_next(kind, name, cases):
    # Room for one message only: a refused read that kept its cell or channel
    # would make the next write wait forever, which the test sees as a deadlock.
    q = make(kind, name, 1, 16)
    outcomes = []
    for payload, dtype, _ in cases:
        q.write(payload)
        try:
            error = ("returned", repr(q.read(dtype)))
        except Exception as exc:  # reported to the test
            error = (type(exc).__name__, str(exc))
        q.write(b"next")
        outcomes.append((error, q.read()))
    return outcomes


def test_every_kind_round_trips_with_its_bytes(box, queue_name):
    b = box(64, len(TYPED))
    for value, *_ in TYPED:
        b.q.write(value)
    raw = segment_bytes(queue_name)
    for value, dtype, expected, hexed in TYPED:
        if hexed is not None:  # each cell holds an 8-byte length right before the payload; no terminator
            payload = bytes.fromhex(hexed)
            assert len(payload).to_bytes(8, "little") + payload in raw, hexed
        assert_same_value(b.q.read(dtype), expected)
    b.before = segment_bytes(queue_name)
    start = time.monotonic()
    assert b.q.read(T.Int, 50) is None  # a timed read of an empty queue
    assert 0.04 <= time.monotonic() - start < 5
    for timeout in (-1, 2**32):  # which argument types are refused: test_typing.py
        with pytest.raises(OverflowError):  # not wrapped into another wait
            b.q.read(T.Int, timeout)
    b.untouched()


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_every_kind_written_by_a_connected_process(kind, queue_name, start_child, method):
    q = make(kind, queue_name, 4, 64)  # room for fewer than all: the writer waits, rings wrap
    child = start_child(_connect_and_write_all, kind, queue_name, method=method)
    for _, dtype, expected, _ in TYPED:
        assert_same_value(q.read(dtype), expected)
    assert child.result() == 64


@pytest.mark.parametrize("kind", ["spsc", "mpmc"])
def test_values_longer_than_the_cell(box, queue_name, kind):
    c = KINDS[kind][0].__name__
    bytes_text = {"spsc": "SPSCQueue.write(bytes): data length", "mpmc": "MPMCQueue::write(bytes): length"}[kind]
    str_text = f"{c}::write(str): string is larger than cell_size."
    floats = f"{c}.write(numpy_array): length of numpy array is larger than cell_size"
    ints = floats.replace("numpy array", "numpyarray") if kind == "spsc" else floats
    int_text, float_text = (f"{c}.write({t}): sizeof({t}) > cell_size" for t in ("int64_t", "double"))
    b = box(7)
    for value, text in [(b"x" * 8, bytes_text + " > cell_size"), ("a" * 8, str_text),
                        ("\u00e9" * 4, str_text),  # 4 characters, 8 bytes
                        (np.zeros(1), floats), (np.zeros(1, dtype=np.int64), ints),
                        (0, int_text), (1.0, float_text), (np.float64(1.0), float_text)]:  # 8 bytes whatever the value
        with pytest.raises(IPCQueueError) as info:
            b.q.write(value)
        assert str(info.value) == named(text, queue_name)
        b.untouched()


DIMS = (np.zeros((2, 2)), np.zeros((2, 2), dtype=np.int64), [[1, 2], [3, 4]],  # exact dtypes, then converted
        np.array(1.0), np.int64(5))  # np.int64, no float, becomes a 0-D float64 array
STRIDES = (np.arange(8.0)[::2], np.arange(8, dtype=np.int64)[::-1])
WIDE_INTS = (2**63, -(2**63) - 1)


def test_refused_values_leave_the_queue_untouched(box, kind, queue_name):
    b = box(64)
    c = KINDS[kind][0].__name__
    surrogate = ("MPMCQueue" if kind == "mpmcvar" else c) + "::write(str):PyUnicode_AsUTF8AndSize failed."
    for method, write in b.writes():
        array_text = f"{c}.{method}(numpy_array): Incompatible numpy array: "  # names no queue
        for value, error, text in ([(v, IPCQueueError, array_text + "# of dimensions > 1") for v in DIMS]
                                   + [(v, IPCQueueError, array_text + "stride not 1") for v in STRIDES]
                                   + [("a\ud800b", IPCQueueError, named(surrogate, queue_name))]
                                   + [(v, OverflowError, None) for v in WIDE_INTS]):
            with pytest.raises(error) as info:
                write(value)
            assert text is None or str(info.value) == text, value
            b.untouched()


READ_REFUSALS = [  # payload, type read, and the text after "<class>.read(<type>): ", else the error raised
    *((bytes(n), t, "data length is not " + rule) for t, rule, lengths in [
        (T.Int, "8", (0, 9)), (T.Float, "8", (5,)), (T.IntArray, "a multiple of 8", (12,)),
        (T.FloatArray, "a multiple of 8", (1,))] for n in lengths),
    *((raw, T.String, UnicodeDecodeError) for raw in (b"ok \xc3", b"\xed\xa0\x80")),  # cut short; a surrogate
    *((b"one", T(v), TypeError) for v in (6, -1)),  # no such member
]


def test_refused_read_consumes_the_message(kind, queue_name, run_in_child):
    got = run_in_child(_refused_reads_then_next, kind, queue_name, READ_REFUSALS, timeout=10)
    assert len(got) == len(READ_REFUSALS)
    for (payload, dtype, error), ((error_type, text), following) in zip(READ_REFUSALS, got):
        if isinstance(error, str):
            expected = named(f"{KINDS[kind][0].__name__}.read({dtype.name}): {error}", queue_name)
            assert (error_type, text) == ("IPCQueueError", expected)
        else:
            assert error_type == error.__name__, (payload, dtype)
            assert error is not TypeError or text.startswith("Unable to convert function return value")
        assert following == b"next"


MISSING = "{q}: No such file or directory"  # the queue name goes before the system's text
REFUSALS = [  # all texts are checked in tests/cpp; here: the binding passes the full range on, and the error class
    ("spsc", (2**31, 8, True), "SPSCQueueCPP:create constructor: num_cells > 2147483647"),
    ("spsc", (1, 0, True), "SPSCQueueCPP:create constructor:cell_size <= 0"),
    ("mpmc", (2**31, 8), "MPMCQueueCPP:create constructor: num_cells > 2147483647"),
    ("mpmc", (1, -1), "MPMCQueue create constructor: cell_size <= 0"),
    ("mpmc", (), "MPMCQueueCPP connect constructor: unable to open shared memory" + MISSING),
    ("mpmcvar", (2**31, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels > 2147483647"),
    ("mpmcvar", (1, 2**31, 8), "MPMCVarQueueCPP:create constructor: num_cells > 2147483647"),
    ("mpmcvar", (1, 1, 0), "MPMCVarQueueCPP:create constructor: cell_size == 0"),
]


@pytest.mark.parametrize("kind, args, text", REFUSALS)
def test_construction_refused(queue_name, kind, args, text):
    with pytest.raises(IPCQueueError) as info:
        KINDS[kind][0](queue_name, *args)
    assert type(info.value) is IPCQueueError
    assert info.value.args == ((text if "{q}" in text else text + "{q}").format(q=f" on queue '{queue_name}'"),)
    assert existing_objects(queue_name) == []
    assert make(kind, queue_name, 1, 8).cell_size() == 8  # the name stays free
