"""The methods added after the fixed rows: queue.Queue's interface, lossless put, batches, close and the
context manager, names that outlive their objects or go by name, pickling into other processes, errno. (0600
under any umask, names too long, restarts: test_queue_lifecycle.cpp; an inner '/': test_codec.py; another user:
test_operator_tool.py.)"""

import array
import asyncio
import errno
import os
import pickle
import queue
import threading
import time

import mox_ipc_queue
import numpy as np
import pytest
from helpers import KINDS, assert_same_value, existing_objects, make, wait_thread_blocked
from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue
from mox_ipc_queue import QDataType as T

BYTES_LIKE = [
    (bytearray(b"abc"), b"abc"),
    (memoryview(b"defg"), b"defg"),
    (array.array("B", [1, 2, 255]), b"\x01\x02\xff"),
    (array.array("b", [-1]), b"\xff"),
    (np.frombuffer(b"xy", dtype=np.uint8), b"xy"),
    (memoryview(b"abcdef").cast("B", (2, 3)), b"abcdef"),  # C-contiguous, two dimensions
    (bytearray(), b""),
]
TYPED = [
    (-(2**63), T.Int),
    (True, T.Int),  # bool is an int: 1
    (np.int32(-7), T.Int),  # NumPy integer scalars are ints
    (2.5, T.Float),
    (np.float64(0.25), T.Float),
    ("héllo", T.String),
    (np.arange(5, dtype=np.int64), T.IntArray),
    (np.arange(10, dtype=np.float64)[::3], T.FloatArray),  # strided: copied, not refused
]


def test_put_is_lossless_and_get_returns_what_was_put(kind, queue_name):
    q = make(kind, queue_name, 32, 64)
    for value, _ in BYTES_LIKE + TYPED:
        q.put(value)
    for _, expected in BYTES_LIKE:
        assert_same_value(q.get(), expected)
    for value, data_type in TYPED:  # as the type read converts it; an array comes back contiguous
        expected = {T.Int: int, T.Float: float, T.String: str}.get(data_type, np.array)(value)
        assert_same_value(q.get(data_type), expected)
    q.put_nowait(b"x")
    assert q.get_nowait() == b"x"


def test_what_cannot_go_is_refused_before_anything_is_put(kind, queue_name):
    q = make(kind, queue_name, 4, 64)
    refused = [  # the error, words of its text, the call
        (TypeError, "list", lambda: q.put([1, 2])),
        (TypeError, "NoneType", lambda: q.put(None)),
        (TypeError, "float32", lambda: q.put(np.zeros(2, dtype=np.float32))),
        (TypeError, "ndim 2", lambda: q.put(np.zeros((2, 2), dtype=np.int64))),
        (TypeError, "4-byte items", lambda: q.put(array.array("i", [1]))),
        (TypeError, "not C-contiguous", lambda: q.put(memoryview(b"abcdef")[::2])),
        (OverflowError, None, lambda: q.put(2**64)),
        (TypeError, "dict", lambda: q.put_many([b"fine", {}])),
        *([] if kind == "mpmcvar" else [  # a message of any length fits an MPMCVarQueue
            (ValueError, "^message of 65 bytes does not fit a cell of 64 bytes$", lambda: q.put(b"x" * 65))]),
    ]
    for error, words, call in refused:
        with pytest.raises(error, match=words):
            call()
    assert q.qsize() == 0 and q.empty()


def test_a_message_that_is_not_the_type_asked_for_is_a_value_error_and_consumed(kind, queue_name):
    q = make(kind, queue_name, 4, 64)
    q.put_many([b"abc", b"12345678x", b"\xff"])
    with pytest.raises(ValueError, match="^message of 3 bytes is not an Int: it needs 8 bytes$"):
        q.get(T.Int)
    with pytest.raises(ValueError, match="message of 9 bytes is not a FloatArray"):
        q.get(T.FloatArray)
    with pytest.raises(UnicodeDecodeError):
        q.get(T.String)
    with pytest.raises(ValueError, match="unknown QDataType 9"):
        q.get(T(9))
    assert q.empty()


def test_timeouts_follow_the_standard_queue(kind, queue_name):
    q = make(kind, queue_name, 2, 16)
    started = time.monotonic()
    empty = [q.get_nowait, lambda: q.get(block=False, timeout=10), lambda: q.get(timeout=0),
             lambda: q.get(timeout=0.05), lambda: q.get_many(10, timeout=0.01)]
    misuse = [(ValueError, "non-negative", lambda: q.get(timeout=-1)), (ValueError, None, lambda: q.get_many(0)),
              (TypeError, None, lambda: q.get(timeout="soon"))]
    for error, text, call in [(queue.Empty, None, call) for call in empty] + misuse:
        with pytest.raises(error, match=text):
            call()
    assert time.monotonic() - started < 5
    q.put_many([b"1", b"2"])
    assert (q.qsize(), q.empty(), q.full()) == (2, False, True)
    for call, text in [(lambda: q.put_nowait(b"3"), None), (lambda: q.put(b"3", timeout=0.05), None),
                       (lambda: q.put_many([b"3"], timeout=0.01), "^0 of 1 messages put before the timeout$")]:
        with pytest.raises(queue.Full, match=text):
            call()
    assert q.get_many(10) == [b"1", b"2"]


def test_get_many_waits_for_the_first_message_only_and_close_ends_a_waiting_get(kind, queue_name):
    q = make(kind, queue_name, 8, 16)
    got = []
    reader = threading.Thread(target=lambda: got.append(q.get_many(5, T.Int)))
    reader.start()
    assert wait_thread_blocked(reader)
    q.put(7)
    reader.join(5)
    assert got == [[7]]
    q.put_many(range(3))
    assert q.get_many(2, T.Int) == [0, 1] and q.get_many(5, T.Int) == [2]
    # Closed from this thread, the object ends another thread's waiting get; the mapping goes once it has left.
    reader = threading.Thread(target=lambda: got.append(pytest.raises(IPCQueueError, q.get).value))
    reader.start()
    assert wait_thread_blocked(reader)
    q.close()
    reader.join(5)
    assert (reader.is_alive(), str(got[-1]), mox_ipc_queue.exists(queue_name)) == (False, "queue is closed", False)


def test_close_releases_the_object_and_later_calls_raise(kind, queue_name):
    with make(kind, queue_name, 4, 16) as q:
        assert (q.name, q.closed) == (queue_name, False)
        q.put(b"x")
    assert q.closed and not mox_ipc_queue.exists(queue_name)
    calls = [q.get, lambda: q.put(b"y"), q.qsize, q.inspect, lambda: q.read(), lambda: q.write(b"z")]
    if kind != "spsc":
        calls.append(q.unlink)
    for call in calls:
        with pytest.raises(IPCQueueError, match="^queue is closed$") as raised:
            call()
        assert raised.value.errno is None
    q.close()  # again: nothing
    assert q.num_cells == (4 if kind != "mpmcvar" else 2) and q.cell_size() == 16


def test_ipc_queue_error_carries_errno(queue_name):
    with pytest.raises(IPCQueueError) as missing:
        MPMCQueue(queue_name)
    with MPMCQueue(queue_name, 2, 8) as q:
        with pytest.raises(IPCQueueError) as taken:
            MPMCQueue(queue_name, 2, 8)
        with pytest.raises(IPCQueueError, match="length > cell_size") as too_long:
            q.write(b"x" * 9)  # a row's own check: no OS error
    assert (missing.value.errno, taken.value.errno, too_long.value.errno) == (errno.ENOENT, errno.EEXIST, None)


def _work(name, kind):  # in a child: connects (by pickle or inherited), takes one job, puts its square
    with (pickle.loads(name) if isinstance(name, bytes) else KINDS[kind](name)) as q:
        q.put(q.get(T.Int) ** 2)


@pytest.mark.parametrize("kind", ["mpmc", "mpmcvar"])
def test_kept_names_let_workers_come_and_go(kind, queue_name, run_in_child):
    q = make(kind, queue_name, 4, 16, keep_names=True)
    for job in (3, 4):
        q.put(job)
        run_in_child(_work, queue_name, kind)  # each worker closes: the names stay
        assert q.get(T.Int) == job**2
    q.close()
    assert mox_ipc_queue.exists(queue_name)
    assert mox_ipc_queue.remove(queue_name) and not mox_ipc_queue.remove(queue_name)
    plain = make(kind, queue_name, 4, 16)  # without the keyword: as before, any object's end removes them
    KINDS[kind](queue_name).close()
    assert not mox_ipc_queue.exists(queue_name)
    plain.close()


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_queue_objects_go_to_other_processes(kind, method, queue_name, run_in_child):
    q = make(kind, queue_name, 4, 16) if kind != "mpmc" else MPMCQueue(queue_name, 4, 16, keep_names=True)
    q.put(5)
    if kind == "spsc":  # one peer only: the child answers through a second queue
        q.get(T.Int)
        q.put(6)
    run_in_child(_work, pickle.dumps(q), kind, method=method)
    assert q.get(T.Int) == (36 if kind == "spsc" else 25)


def test_put_async_and_get_async(kind, queue_name):
    async def main(q):
        consumer = asyncio.ensure_future(asyncio.gather(*(q.get_async(T.Int) for _ in range(20))))
        await asyncio.sleep(0.01)
        assert not consumer.done()  # waiting, and the loop runs on
        for i in range(20):  # more than fit: put_async waits for room
            await q.put_async(i)
        got = await consumer
        with pytest.raises(queue.Empty):
            await q.get_async(timeout=0.02)
        # A cancelled get has taken nothing.
        waiting = asyncio.ensure_future(q.get_async())
        await asyncio.sleep(0.01)
        waiting.cancel()
        await q.put_async(b"kept")
        return got, await q.get_async(timeout=1)

    with make(kind, queue_name, 4, 16) as q:
        got, kept = asyncio.run(main(q))
    assert kept == b"kept" and sorted(got) == list(range(20))


def test_mpmcvar_async_streams_long_messages_and_a_cancelled_put_sends_nothing(queue_name):
    big = np.arange(10_000, dtype=np.int64)

    async def main(q):
        consumer = asyncio.ensure_future(asyncio.gather(*(q.get_async(T.IntArray) for _ in range(3))))
        for _ in range(3):
            await q.put_async(big)
        received = await consumer
        stuck = asyncio.ensure_future(q.put_async(big))  # nobody reads: it stops inside the message
        await asyncio.sleep(0.05)
        stuck.cancel()
        await asyncio.gather(stuck, return_exceptions=True)
        await q.put_async(b"next")
        with pytest.raises(queue.Full):
            await q.put_async(big, timeout=0.02)
        return received, await q.get_async(timeout=1)

    with MPMCVarQueue(queue_name, 2, 4, 64) as q:  # a ring of 256 bytes per channel
        received, after = asyncio.run(main(q))
        assert after == b"next" and q.empty()
    for array_ in received:
        np.testing.assert_array_equal(array_, big)


def test_mpmcvar_get_continues_a_message_an_event_loop_began(queue_name):
    q = MPMCVarQueue(queue_name, 2, 2, 8)
    writer = MPMCVarQueue(queue_name)
    writer.partial_write(b"0123456789abcdef")  # two full cells, the ring is full, the message open
    assert q._try_get(T.Bytes) is False  # got on, not whole: the object keeps it
    writer.partial_write(b"end")
    writer.partial_write_complete()
    assert q.get(timeout=1) == b"0123456789abcdefend"


def _open_and_put(kind, name, value):
    with KINDS[kind].open(name, *((8, 16) if kind == "mpmc" else (8, 2, 16))) as q:
        q.put(value)


@pytest.mark.parametrize("kind", ["mpmc", "mpmcvar"])
def test_open_creates_or_connects_whatever_the_order(kind, queue_name, start_child):
    children = [start_child(_open_and_put, kind, queue_name, i) for i in range(4)]  # racing to create
    assert [child.result() for child in children] == [None] * 4
    with KINDS[kind].open(queue_name, *(1,) * (3 if kind == "mpmcvar" else 2)) as q:
        assert sorted(q.get_many(8, T.Int)) == [0, 1, 2, 3] and q.num_cells == (8 if kind == "mpmc" else 2)
    assert mox_ipc_queue.exists(queue_name)  # open keeps the names


def _create_and_vanish(kind, name):  # as a crash does: no destructor, every name stays
    q = make(kind, name, 2, 64)  # noqa: F841 - kept to the end
    os._exit(0)


def test_names_go_by_name_or_unlink_and_attached_objects_go_on(kind, queue_name, make_queue_name, start_child):
    # Which names unlink removes, and a second unlink: tests/cpp/test_queue_lifecycle.cpp.
    assert start_child(_create_and_vanish, kind, queue_name).finish().exitcode == 0
    assert mox_ipc_queue.exists(queue_name) and len(existing_objects(queue_name)) > 1
    # By name alone, no object of it alive; a second time nothing is left: False, no error.
    removed = mox_ipc_queue.remove(queue_name), existing_objects(queue_name), mox_ipc_queue.exists(queue_name)
    assert (*removed, mox_ipc_queue.remove(queue_name)) == (True, [], False, False)
    attached = make(kind, name := make_queue_name(), 4, 64)
    attached.unlink() if hasattr(attached, "unlink") else mox_ipc_queue.remove(name)
    assert existing_objects(name) == []
    attached.write(5)
    assert attached.read(T.Int) == 5
