"""SIGKILL of a process blocked inside an operation, every kind (kills at random points of running streams:
tests/soak/kill_storm, 300 of each kind in every ctest run). The survivors repair what it held and go on by
themselves: the dead cost at most the message they were writing or reading, every other message arrives whole
and once, and the whole capacity comes back. An SPSC queue has no one left to go on with: the peer's blocked
call raises."""

import pytest
from helpers import check_message, notify_parent, take_semaphore, traffic_message
from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

SURVIVOR, VICTIM, AFTER = 0, 1, 2  # writer ids; AFTER checks the queue afterwards
BOUND = 10.0  # loose: repair starts after a wait stalled ~200 ms
# class, arguments, messages a writer puts with no reader
KINDS = {"spsc": (SPSCQueue, (8, 128, True), 8), "mpmc": (MPMCQueue, (8, 128), 8),
         "mpmcvar": (MPMCVarQueue, (3, 4, 64), 3)}


def _put(q, wid, count, block=None):
    """Writes `count` messages, then blocks in a read (block "reader") or writing one more (block "writer")."""
    q = q[0](q[1]) if isinstance(q, tuple) else q
    for seq in range(count):
        q.write(traffic_message(wid, seq, 100))
    if block:
        notify_parent("blocking")
        return q.read() if block == "reader" else q.write(traffic_message(wid, count, 100))
    return count


def _read_all(q, count):
    got = [q.read(QDataType.Bytes, 2000) for _ in range(count)]
    assert None not in got, f"no message within 2 s after {got.index(None)} messages"
    return [check_message(m) for m in got], q.read(QDataType.Bytes, 100)


def capacity_comes_back(q, start_child, capacity, wid=AFTER, count=None):
    """A new writer puts `capacity` messages with no reader (a cell or channel still lost would block it), a
    reader gets writer `wid`'s first `count` in order and nothing more; the queue then shows nothing wrong."""
    if wid == AFTER:
        assert start_child(_put, q, AFTER, capacity).result(BOUND) == capacity
    count = capacity if count is None else count
    got, extra = start_child(_read_all, q, count).result(BOUND)
    assert (got, extra) == ([(wid, s) for s in range(count)], None)
    report = q.inspect()
    assert (report["findings"], report["held"]) == ([], []), report


# A reader waits for a message; a writer for room (MPMCVar: for a channel, each carrying a finished message).
@pytest.mark.parametrize("role", ["reader", "writer"])
@pytest.mark.parametrize("kind_name", KINDS)
def test_killed_while_blocked(kind_name, role, queue_name, start_child):
    cls, args, capacity = KINDS[kind_name]
    q = cls(queue_name, *args)
    finished = capacity if role == "writer" else 0
    victim = start_child(_put, (cls, queue_name), VICTIM, finished, role)
    victim.wait_for("blocking")
    victim.assert_blocked()
    victim.kill()
    if cls is SPSCQueue:  # this process is the peer: what was finished arrives, then its blocked call raises
        assert [check_message(q.get(timeout=5)) for _ in range(finished)] == [(VICTIM, s) for s in range(finished)]
        with pytest.raises(IPCQueueError, match="the peer process died"):
            q.get(timeout=5) if finished else [q.put(traffic_message(AFTER, s, 100), timeout=5) for s in range(99)]
        return
    if finished:  # exactly what the victim finished arrives; its blocked write left nothing
        capacity_comes_back(q, start_child, capacity, VICTIM, finished)
    capacity_comes_back(q, start_child, capacity)


# Only what the table of owners records is repaired: a list lock taken by a process that records nothing (as
# another implementation of the layout) and left taken when it ended is never taken over, however long one waits.
@pytest.mark.parametrize("kind_name, lock", [("mpmc", "_filled_mutex_"), ("mpmcvar", "_used_mutex_")])
def test_lock_of_a_process_that_records_nothing_stays_taken(kind_name, lock, queue_name, start_child):
    cls, args, _ = KINDS[kind_name]
    q = cls(queue_name, *args)
    start_child(take_semaphore, queue_name + lock).result()
    writer = start_child(_put, q, AFTER, 1)
    writer.assert_blocked(settle=1.5)  # several stall checks
    assert lock.strip("_").replace("_mutex", " list lock held") in q.inspect()["findings"]
