"""The value codec of every class: each QDataType crosses from a connected process with its bytes in the
segment; refused values leave the queue untouched (each class's own wording); refused reads consume their
message; refused constructions leave no name."""

import struct
import time

import numpy as np
import pytest
from helpers import KINDS, assert_same_value, existing_objects, make, named, segment_bytes, shm_path
from mox_ipc_queue import IPCQueueError, QDataType

T = QDataType
CELL = 4096
SEVEN, RNG = (7).to_bytes(8, "little"), np.random.default_rng(7)
# (value written, type read, value expected, hex of the message's bytes if checked); each fits a 4096-byte cell.
TYPED = [(v, t, v if e is None else e, h) for v, t, e, h in [  # e None: the value written
    (b"\x00\xffraw\n", T.Bytes, None, "00FF7261770A"), ("\u00e9\U0001f642", T.String, None, "C3A9F09F9982"),
    (-2, T.Int, None, "FEFFFFFFFFFFFFFF"), (2**63 - 1, T.Int, None, "FFFFFFFFFFFFFF7F"),
    (-(2**63), T.Int, None, "0000000000000080"), (True, T.Int, 1, "0100000000000000"),
    (1.0, T.Float, None, "000000000000F03F"), (float("nan"), T.Float, None, None),
    (np.array([1, -2], dtype=np.int64), T.IntArray, None, "0100000000000000 FEFFFFFFFFFFFFFF"),
    (np.array([-0.5, 1e300]), T.FloatArray, None, "000000000000E0BF 9C7500883CE4377E"),
    ([1, 2], T.FloatArray, np.array([1.0, 2.0]), None), (np.arange(10.0)[2:5], T.FloatArray, np.arange(2.0, 5.0), None),
    (np.array([7, 8], dtype=np.int32), T.FloatArray, np.array([7.0, 8.0]), None),  # no int64: converted to doubles
    (b"", T.Bytes, None, None), ("", T.String, None, None),
    (b"", T.IntArray, np.array([], dtype=np.int64), None), (np.array([], dtype=np.float64), T.FloatArray, None, None),
    (7, T.Bytes, SEVEN, None), (SEVEN, T.Float, struct.unpack("<d", SEVEN)[0], None),  # read as another type
    # Whole cells, copied in and out in bulk.
    (RNG.bytes(CELL), T.Bytes, None, None), (RNG.integers(-(2**62), 2**62, CELL // 8), T.IntArray, None, None),
    (RNG.random(CELL // 8), T.FloatArray, None, None),
]]


def _connect_and_write_all(kind, name):
    q = KINDS[kind](name)
    for value, *_ in TYPED:
        q.write(value)
    return q.cell_size()


def test_every_type_crosses_with_its_bytes(kind, queue_name, run_in_child):
    q = make(kind, queue_name, len(TYPED), CELL)
    with open(shm_path(queue_name), "rb") as segment:  # opened first: an SPSC connect removes the names
        assert run_in_child(_connect_and_write_all, kind, queue_name, method="spawn") == CELL
        raw = segment.read()
    for _value, dtype, expected, hexed in TYPED:
        if hexed is not None:  # each cell holds an 8-byte length right before the payload; no terminator
            payload = bytes.fromhex(hexed)
            assert len(payload).to_bytes(8, "little") + payload in raw, hexed
        assert_same_value(q.read(dtype), expected)
    start = time.monotonic()
    assert q.read(T.Int, 50) is None  # a timed read of an empty queue
    assert 0.04 <= time.monotonic() - start < 5
    for timeout in (-1, 2**32):  # which argument types are refused: test_typing.py
        with pytest.raises(OverflowError):  # not wrapped into another wait
            q.read(T.Int, timeout)


def too_long(c, bytes_text, int_array_text):  # a fixed-cell class's refusals of values longer than a 7-byte cell
    str_text, arrays = f"{c}::write(str): string is larger than cell_size.", f"{c}.write(numpy_array): length of "
    int_text, float_text = (f"{c}.write({t}): sizeof({t}) > cell_size" for t in ("int64_t", "double"))
    return [(value, IPCQueueError, text) for value, text in [  # "\u00e9" * 4: 8 bytes; a number: 8 whatever its value
        (b"x" * 8, bytes_text), ("a" * 8, str_text), ("\u00e9" * 4, str_text), (0, int_text), (1.0, float_text),
        (np.float64(1.0), float_text), (np.zeros(1), arrays + "numpy array is larger than cell_size"),
        (np.zeros(1, dtype=np.int64), arrays + int_array_text)]]


TOO_LONG = {"spsc": too_long("SPSCQueue", "SPSCQueue.write(bytes): data length > cell_size",
                             "numpyarray is larger than cell_size"),
            "mpmc": too_long("MPMCQueue", "MPMCQueue::write(bytes): length > cell_size",
                             "numpy array is larger than cell_size"), "mpmcvar": []}
DIMS = (np.zeros((2, 2)), np.zeros((2, 2), dtype=np.int64), [[1, 2], [3, 4]],  # exact dtypes, then converted
        np.array(1.0), np.int64(5))  # np.int64, no float, becomes a 0-D float64 array
STRIDES = (np.arange(8.0)[::2], np.arange(8, dtype=np.int64)[::-1])


def test_refused_values_leave_the_queue_untouched(kind, queue_name):
    q, c = make(kind, queue_name, 2, 7), KINDS[kind].__name__
    surrogate = named(("MPMCQueue" if kind == "mpmcvar" else c) + "::write(str):PyUnicode_AsUTF8AndSize failed.",
                      queue_name)
    for method in [m for m in ("write", "partial_write") if hasattr(q, m)]:
        array_text = f"{c}.{method}(numpy_array): Incompatible numpy array: "  # names no queue
        for value, error, text in ([(v, e, named(t, queue_name)) for v, e, t in TOO_LONG[kind] if method == "write"]
                                   + [(v, IPCQueueError, array_text + "# of dimensions > 1") for v in DIMS]
                                   + [(v, IPCQueueError, array_text + "stride not 1") for v in STRIDES]
                                   + [("a\ud800b", IPCQueueError, surrogate)]
                                   + [(v, OverflowError, None) for v in (2**63, -(2**63) - 1)]):
            before = segment_bytes(queue_name), q.inspect()  # the bytes, and the semaphores' counts
            with pytest.raises(error) as info:
                getattr(q, method)(value)
            assert text is None or str(info.value) == text, value
            assert (segment_bytes(queue_name), q.inspect()) == before, value
    q.write(b"\x01")  # nothing was left half done
    assert q.read() == b"\x01"


READ_REFUSALS = [  # payload, type read, and the text after "<class>.read(<type>): ", else the error raised
    *((bytes(n), t, "data length is not " + rule) for t, rule, lengths in [
        (T.Int, "8", (0, 9)), (T.Float, "8", (5,)), (T.IntArray, "a multiple of 8", (12,)),
        (T.FloatArray, "a multiple of 8", (1,))] for n in lengths),
    *((raw, T.String, UnicodeDecodeError) for raw in (b"ok \xc3", b"\xed\xa0\x80")),  # cut short; a surrogate
    *((b"one", T(v), TypeError) for v in (6, -1)),  # no such member
]


def test_refused_read_consumes_the_message(kind, queue_name):
    q = make(kind, queue_name, 1, 16)
    for payload, dtype, error in READ_REFUSALS:
        q.write(payload)
        with pytest.raises(IPCQueueError if isinstance(error, str) else error) as info:
            q.read(dtype)
        if isinstance(error, str):
            assert str(info.value) == named(f"{KINDS[kind].__name__}.read({dtype.name}): {error}", queue_name)
        assert error is not TypeError or str(info.value).startswith("Unable to convert function return value")
        assert q.inspect()["findings"] == [], (payload, dtype)  # the cell or channel was given back
        q.write(b"next")
        assert q.read() == b"next"


UNOPENED = "unable to open shared memory{q}: Invalid argument"  # a name with an inner '/'
REFUSALS = [  # every text is checked in tests/cpp; here: the binding passes each constructor's full range on
    ("spsc", (2**31, 8, True), "SPSCQueueCPP:create constructor: num_cells > 2147483647"),  # and the error class
    ("mpmc", (2**31, 8), "MPMCQueueCPP:create constructor: num_cells > 2147483647"),
    ("mpmc", (1, -1), "MPMCQueue create constructor: cell_size <= 0"),
    ("mpmcvar", (2**31, 1, 8), "MPMCVarQueueCPP:create constructor: num_channels > 2147483647"),
    ("mpmcvar", (1, 2**31, 8), "MPMCVarQueueCPP:create constructor: num_cells > 2147483647"),
    ("spsc", (), "SPSCQueueCPP:connect constructor: " + UNOPENED.replace("{q}", ".{q}")),
    ("mpmc", (), "MPMCQueueCPP connect constructor: " + UNOPENED),
    ("mpmcvar", (), "MPMCVarQueueCPP:connect constructor: " + UNOPENED),
]


@pytest.mark.parametrize("kind, args, text", REFUSALS)
def test_construction_refused(queue_name, kind, args, text):
    name = queue_name + ("/inner" if "{q}" in text else "")
    with pytest.raises(IPCQueueError) as info:
        KINDS[kind](name, *args)
    text = (text if "{q}" in text else text + "{q}").format(q=f" on queue '{name}'")
    assert (type(info.value), info.value.args, existing_objects(queue_name)) == (IPCQueueError, (text,), [])
