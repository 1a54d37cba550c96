"""The value codec all three classes share: every value kind round-trips with
its exact bytes in the segment, refused values leave the queue untouched with
each class's own wording, and refused reads consume their message."""

import math

import numpy as np
import pytest
from conftest import segment_bytes

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

# Per class: constructor for (name, messages it must hold, cell_size), write
# methods with their text prefixes, and the class's own refusal wordings.
KINDS = {
    "spsc": dict(
        make=lambda name, n, cell: SPSCQueue(name, n, cell, True),
        writes=[("write", "SPSCQueue.")],
        read="SPSCQueue.read",
        surrogate="SPSCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
        bytes_long="SPSCQueue.write(bytes): data length > cell_size",
        str_long="SPSCQueue::write(str): string is larger than cell_size.",
        int_long="SPSCQueue.write(int64_t): sizeof(int64_t) > cell_size",
        float_long="SPSCQueue.write(double): sizeof(double) > cell_size",
        floats_long="SPSCQueue.write(numpy_array): length of numpy array is larger than cell_size",
        ints_long="SPSCQueue.write(numpy_array): length of numpyarray is larger than cell_size",
    ),
    "mpmc": dict(
        make=lambda name, n, cell: MPMCQueue(name, n, cell),
        writes=[("write", "MPMCQueue.")],
        read="MPMCQueue.read",
        surrogate="MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
        bytes_long="MPMCQueue::write(bytes): length > cell_size",
        str_long="MPMCQueue::write(str): string is larger than cell_size.",
        int_long="MPMCQueue.write(int64_t): sizeof(int64_t) > cell_size",
        float_long="MPMCQueue.write(double): sizeof(double) > cell_size",
        floats_long="MPMCQueue.write(numpy_array): length of numpy array is larger than cell_size",
        ints_long="MPMCQueue.write(numpy_array): length of numpy array is larger than cell_size",
    ),
    "mpmcvar": dict(
        make=lambda name, n, cell: MPMCVarQueue(name, n, 2, cell),
        writes=[("write", "MPMCVarQueue."), ("partial_write", "MPMCVarQueue.partial_")],
        read="MPMCVarQueue.read",
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
    return [
        (b"\x00\xffraw\n", QDataType.Bytes, b"\x00\xffraw\n"),
        ("h\u00e9llo w\u00f6rld \u2713 \U0001f642", QDataType.String, "h\u00e9llo w\u00f6rld \u2713 \U0001f642"),
        (-1234567890123, QDataType.Int, -1234567890123),
        (2**63 - 1, QDataType.Int, 2**63 - 1),
        (-(2**63), QDataType.Int, -(2**63)),
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


def test_every_kind_round_trips(box):
    b = box(64)
    for value, dtype, expected in typed_cases(64):
        b.q.write(value)
        assert_same_value(b.q.read(dtype), expected)
    if len(b.writes()) > 1:  # partial writes of one value each carry the same bytes
        for value, dtype, expected in typed_cases(64):
            b.q.partial_write(value)
            b.q.partial_write_complete()
            assert_same_value(b.q.read(dtype), expected)


def test_bytes_on_the_wire(box, queue_name):
    b = box(24, len(WIRE))
    for value, _, _ in WIRE:
        b.q.write(value)
    raw = segment_bytes(queue_name)
    for _, _, hexed in WIRE:
        payload = bytes.fromhex(hexed)
        # Each cell holds an 8-byte length right before the payload; no terminator.
        assert len(payload).to_bytes(8, "little") + payload in raw, hexed
    for value, dtype, _ in WIRE:
        assert_same_value(b.q.read(dtype), value)


@pytest.mark.parametrize("kind", FIXED)
def test_values_longer_than_the_cell(box, queue_name, kind):
    t = KINDS[kind]
    b = box(16)
    for value, text in [
        (b"x" * 17, t["bytes_long"]),
        ("a" * 17, t["str_long"]),
        ("\u00e9" * 9, t["str_long"]),  # 9 characters, 18 bytes
        (np.zeros(3), t["floats_long"]),
        ([1, 2, 3], t["floats_long"]),  # converted to doubles
        (np.zeros(3, dtype=np.int64), t["ints_long"]),
    ]:
        with pytest.raises(IPCQueueError) as info:
            b.q.write(value)
        assert str(info.value) == named(text, queue_name)
        b.untouched()
    for value, dtype in [(b"x" * 16, QDataType.Bytes), ("\u00e9" * 8, QDataType.String),
                         (np.ones(2), QDataType.FloatArray), (np.ones(2, dtype=np.int64), QDataType.IntArray)]:
        b.q.write(value)
        assert_same_value(b.q.read(dtype), value)


@pytest.mark.parametrize("kind", FIXED)
def test_numbers_need_eight_bytes(box, queue_name, kind):
    t = KINDS[kind]
    b = box(7)
    for value, text in [(1, t["int_long"]), (True, t["int_long"]), (1.0, t["float_long"]), (np.float64(1.0), t["float_long"])]:
        with pytest.raises(IPCQueueError) as info:
            b.q.write(value)
        assert str(info.value) == named(text, queue_name)
        b.untouched()
    del b
    b8 = box(8)
    b8.q.write(-1)
    b8.q.write(0.5)
    assert [b8.q.read(QDataType.Int), b8.q.read(QDataType.Float)] == [-1, 0.5]


@pytest.mark.parametrize(
    "value, text",
    [
        (np.zeros((2, 2)), "# of dimensions > 1"),
        (np.zeros((2, 2), dtype=np.int64), "# of dimensions > 1"),
        (np.zeros((2, 2), dtype=np.float32), "# of dimensions > 1"),
        ([[1, 2], [3, 4]], "# of dimensions > 1"),
        (np.array(1.0), "# of dimensions > 1"),
        (np.int64(5), "# of dimensions > 1"),  # a non-float scalar becomes a 0-D float64 array
        (np.arange(8.0)[::2], "stride not 1"),
        (np.arange(8, dtype=np.int64)[::-1], "stride not 1"),
        (np.zeros((3, 2))[:, 0], "stride not 1"),
    ],
    ids=["2d-float64", "2d-int64", "2d-float32", "nested-list", "0d", "int64-scalar", "step2", "reversed", "column"],
)
def test_array_shape_refused(box, value, text):
    b = box(64)
    for write, prefix in b.writes():
        with pytest.raises(IPCQueueError) as info:
            write(value)
        assert str(info.value) == prefix + "write(numpy_array): Incompatible numpy array: " + text  # names no queue
        b.untouched()


def test_lone_surrogate_refused(box, kind, queue_name):
    b = box(16)
    for write, _ in b.writes():
        with pytest.raises(IPCQueueError) as info:
            write("a\ud800b")
        assert str(info.value) == named(KINDS[kind]["surrogate"], queue_name)
        b.untouched()


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, -(2**100)])
def test_int_outside_64_bits_overflows(box, value):
    b = box(8)
    for write, _ in b.writes():
        with pytest.raises(OverflowError):
            write(value)
        b.untouched()


def test_wrong_argument_types(box, queue_name):
    b = box(64)
    for write, _ in b.writes():
        for args in [(object(),), ({"a": 1},), ([1, "a"],), (np.array(["a"]),), (), (b"a", b"b")]:
            with pytest.raises(TypeError):
                write(*args)
            b.untouched()
    b.q.write(b"one")
    b.before = segment_bytes(queue_name)
    for args in [(2,), ("Int",), (None,), (QDataType.Int, 1.5), (QDataType.Int, "5"), (QDataType.Int, None),
                 (QDataType.Int, QDataType.Int)]:
        with pytest.raises(TypeError):
            b.q.read(*args)
        assert segment_bytes(queue_name) == b.before
    assert b.q.read() == b"one"


def test_timed_read_of_an_empty_queue_gives_none(box, queue_name):
    b = box(16)
    assert b.q.read(QDataType.Bytes, 30) is None
    assert b.q.read(QDataType.Int, 1) is None
    b.untouched()
    b.q.write(3)
    assert b.q.read(QDataType.Int, 50) == 3


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


LENGTH_CHECKS = [
    (b"abc", QDataType.Int, "(Int): data length is not 8"),
    (b"x" * 9, QDataType.Int, "(Int): data length is not 8"),
    (b"", QDataType.Int, "(Int): data length is not 8"),
    (b"abcde", QDataType.Float, "(Float): data length is not 8"),
    (b"x" * 15, QDataType.Float, "(Float): data length is not 8"),
    (b"x" * 12, QDataType.IntArray, "(IntArray): data length is not a multiple of 8"),
    (b"x", QDataType.FloatArray, "(FloatArray): data length is not a multiple of 8"),
    (b"x" * 15, QDataType.FloatArray, "(FloatArray): data length is not a multiple of 8"),
]


@pytest.mark.parametrize("payload, dtype, text", LENGTH_CHECKS)
def test_read_length_check_consumes_the_message(kind, queue_name, run_in_child, payload, dtype, text):
    error, following = run_in_child(_refused_read_then_next, kind, queue_name, payload, dtype, timeout=10)
    assert error == ("IPCQueueError", named(KINDS[kind]["read"] + text, queue_name))
    assert following == b"next"


@pytest.mark.parametrize(
    "payload, dtype, error_type",
    [
        (b"\xff\xfe", QDataType.String, "UnicodeDecodeError"),
        (b"ok \xc3", QDataType.String, "UnicodeDecodeError"),
        (b"\xed\xa0\x80", QDataType.String, "UnicodeDecodeError"),  # an encoded surrogate
        (b"one", QDataType(6), "TypeError"),
        (b"one", QDataType(9), "TypeError"),
        (b"one", QDataType(-1), "TypeError"),
    ],
    ids=["bad-bytes", "truncated", "surrogate", "type-6", "type-9", "type-minus-1"],
)
def test_undecodable_read_consumes_the_message(kind, queue_name, run_in_child, payload, dtype, error_type):
    error, following = run_in_child(_refused_read_then_next, kind, queue_name, payload, dtype, timeout=10)
    assert error[0] == error_type
    if error_type == "TypeError":
        assert error[1].startswith("Unable to convert function return value to a Python type!")
    assert following == b"next"
