"""SIGKILL of a peer at random points of a running stream and while blocked, every kind. Delivered messages are
whole and correct (the traffic harness), none twice, each writer's a gap-free prefix up to what the dead held;
what the dead held shows in the queue's own report as docs/failure_model.md says, and no more."""

import collections
import os
import random
import time
import types
import zlib

import pytest
from helpers import Ledger, check_message, notify_parent, process_state, read_traffic, take_semaphore
from helpers import traffic_message, write_traffic

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

SURVIVOR, VICTIM, AFTER = 0, 1, 2  # writer ids; AFTER checks the queue still works
SURVIVOR_MESSAGES, MIN_LENGTH = 3000, 16
KILL_WINDOW = 0.03  # a victim dies this long (uniformly drawn) after it started its stream
STALL = 0.3  # no message moved for this long with every live process asleep: settled
HANG_BOUND = 12.0  # a process that has not ended by then is hung, unless damage explains it
ROUNDS = int(os.environ.get("MOX_KILL_ROUNDS", "12"))
SEED = int(os.environ.get("MOX_KILL_SEED", str(random.randrange(1 << 30))))


def _put(q, wid, count, length=100, block=None, lock=None):
    """Writes `count` messages, takes the semaphore `lock` as the queue does (a SIGKILL leaves it taken),
    then blocks in a read (block "reader") or writing one more (block "writer")."""
    q = q[0](q[1]) if isinstance(q, tuple) else q
    for seq in range(count):
        q.write(traffic_message(wid, seq, length))
    if lock:
        take_semaphore(lock)
    if block:
        notify_parent("blocking")
        return q.read() if block == "reader" else q.write(traffic_message(wid, count, length))
    return count


def _read_all(q, count):
    got = [q.read(QDataType.Bytes, 2000) for _ in range(count)]
    assert None not in got, f"no message within 2 s after {got.index(None)} messages"
    return [check_message(m) for m in got], q.read(QDataType.Bytes, 100)


def damage(q, role):
    """What one death left, as the queue's report finds it; SPSC's findings mean one thing or another by role."""
    found = (report := q.inspect())["findings"]
    if isinstance(q, SPSCQueue):
        key = (found.count("cell outside the counts"), found.count("cell passed unpublished"))
        meaning = {(0, 0): [], (1, 0): ["free count taken" if role == "writer" else "cell not given back"],
                   (1, 1): ["cell taken, unpublished" if role == "writer" else "filled count taken"]}
        found = meaning.get(key, [f"inconsistent {found}"])
    return found, {k: report[k] for k in ("header", "semaphores", "lists", "held")}


# allowed: role -> labels one death may leave; hangs: labels that explain a survivor waiting for
# ever; recovers: after these a new pair must work; lag: under these the newest message stays
# uncounted; capacity: messages a writer puts with no reader; victim_messages: > KILL_WINDOW allows.
def Kind(cls, args, **fields):
    return types.SimpleNamespace(cls=cls, create=lambda name: cls(name, *args), **fields)

SPSC = Kind(SPSCQueue, (8, 128, True), hi=128, capacity=8, victim_messages=20000, hangs=set(),
            lag={"filled count taken"}, allowed={"writer": {"free count taken", "cell taken, unpublished"},
                                                 "reader": {"cell not given back", "filled count taken"}},
            # Not "cell taken, unpublished": the ring is a step ahead, a new writer would publish behind a stale cell.
            recovers={"free count taken", "cell not given back", "filled count taken"})
_MPMC_LOCKS, _MPMC_LOST = {"free list lock held", "filled list lock held"}, {"cell held", "free count short",
                                                                            "filled count short"}
MPMC = Kind(MPMCQueue, (8, 128), hi=128, capacity=8, victim_messages=20000, hangs=_MPMC_LOCKS,
            lag={"filled count short"}, allowed=dict.fromkeys(("writer", "reader"), _MPMC_LOCKS | _MPMC_LOST),
            recovers=_MPMC_LOST)
_VAR_LOST = {"channel held", "free count short", "used count short"}
MPMCVAR = Kind(MPMCVarQueue, (3, 4, 64), hi=1200, capacity=3, victim_messages=4000,  # hi: up to almost five rings,
               hangs={"used list lock held", "channel held"}, lag={"used count short"},  # kills land inside messages
               allowed={"writer": _VAR_LOST | {"used list lock held", "unfinished message listed"},
                        "reader": _VAR_LOST | {"used list lock held"}},
               recovers=_VAR_LOST | {"unfinished message listed"})
KINDS = {"spsc": SPSC, "mpmc": MPMC, "mpmcvar": MPMCVAR}


def settle(children, ledger, bound=HANG_BOUND):
    """Waits until `children` ended, or nothing moved for STALL s with every live one asleep; returns the live."""
    deadline = time.monotonic() + bound
    last, changed = sum(ledger.moved), time.monotonic()
    while True:
        live = [c for c in children if c.is_alive()]
        now = time.monotonic()
        if not live or now >= deadline:
            return live
        moved = sum(ledger.moved)
        if moved != last:
            last, changed = moved, now
        elif now - changed >= STALL and all(process_state(c.pid) in ("S", "D", None) for c in live):
            return live
        time.sleep(0.01)


def drain(writers, readers, ledger):
    """Lets the writers end, then tells the readers to stop; returns those still alive."""
    stuck = settle(writers, ledger)
    ledger.stop.value = 1
    return stuck + settle(readers, ledger)


def finish(children, stuck):  # kills those stuck; the others must have returned
    for c in children:
        c.kill() if c in stuck else c.result(5)


def exchange_after(kind, q, start_child, lagging):
    """A new writer and reader(s) on the damaged queue: every message arrives (the last may stay
    uncounted behind a lost count); only a reader that took a dead writer's unfinished message may wait."""
    readers, count = (2 if kind is MPMCVAR else 1), 300
    ledger = Ledger(readers)
    w = start_child(write_traffic, q, ledger, readers, AFTER, count, MIN_LENGTH, kind.hi)
    rs = [start_child(read_traffic, q, ledger, r) for r in range(readers)]
    stuck = drain([w], rs, ledger)
    if stuck:
        labels, state = damage(q, None)
        ok = w not in stuck and "channel held" in labels and len(stuck) < readers
        assert ok, f"after the kill, a new pair hung: {labels} {state}"
    finish([w, *rs], stuck)
    ledger.assert_exactly_once(AFTER, count, int(lagging))


def kill_round(kind, role, name, start_child, rng, tally):
    q = kind.create(name)
    spsc, var = kind is SPSC, kind is MPMCVAR
    # SPSC: the victim's peer is the only survivor; a dead reader is replaced after its death.
    # MPMCVar: two readers survive a writer, as the one that takes its unfinished message waits for ever.
    early = 0 if spsc and role == "reader" else (2 if var and role == "writer" else 1)
    readers = max(early, 1)
    ledger = Ledger(readers + 1)  # the last reader slot is the victim's
    writers = [] if spsc and role == "writer" else [
        start_child(write_traffic, q, ledger, readers + 1, SURVIVOR, SURVIVOR_MESSAGES, MIN_LENGTH, kind.hi, var)]
    rs = [start_child(read_traffic, q, ledger, r) for r in range(early)]
    victim = start_child(*(write_traffic, (kind.cls, name), ledger, readers + 2, VICTIM, kind.victim_messages,
                           MIN_LENGTH, kind.hi, var) if role == "writer" else
                         (read_traffic, (kind.cls, name), ledger, readers))
    victim.wait_for("ready")
    time.sleep(rng.uniform(0, KILL_WINDOW))
    if victim.is_alive():
        victim.kill()
        tally["killed mid-stream"] += 1
    else:
        victim.result(5)
    victim.close()
    rs += [start_child(read_traffic, q, ledger, r) for r in range(early, readers)]
    stuck = drain(writers, rs, ledger)
    labels, state = damage(q, role)
    if stuck and not set(labels) & kind.hangs:
        # Nothing explains the wait: give it the full bound, then it is a hang.
        stuck = settle(stuck, ledger, bound=HANG_BOUND)
        labels, state = damage(q, role)
        assert not stuck, f"{role} killed: survivors hang, the queue shows {labels}: {state}"
    assert set(labels) <= kind.allowed[role], f"{role} killed: unexpected damage {labels}: {state}"
    assert len(labels) <= (2 if var else 1), f"{role} killed: more damage than one death: {labels}: {state}"
    finish(writers + rs, stuck)
    lagging = bool(set(labels) & kind.lag)
    survivor_done = bool(writers) and writers[0] not in stuck
    if writers:  # a dead reader took one message with it
        ledger.assert_exactly_once(SURVIVOR, SURVIVOR_MESSAGES if survivor_done else None,
                                   (role == "reader") + (lagging and survivor_done))
    ledger.assert_exactly_once(VICTIM, None)
    tally[", ".join(sorted(labels)) or "nothing held"] += 1
    if set(labels) <= kind.recovers:
        exchange_after(kind, q, start_child, lagging)
        tally["kept working"] += 1


# Kill points differ from run to run; `make test-kill` runs many more rounds.
@pytest.mark.parametrize("role", ["writer", "reader"])
@pytest.mark.parametrize("kind_name", KINDS)
def test_killed_at_random_points(kind_name, role, make_queue_name, start_child):
    kind = KINDS[kind_name]
    rng = random.Random(SEED + zlib.crc32(f"{kind_name} {role}".encode()))
    tally = collections.Counter()
    deadline, rounds = time.monotonic() + 22, 0  # within the per-test watchdog
    while rounds < ROUNDS and time.monotonic() < deadline:
        kill_round(kind, role, make_queue_name(), start_child, rng, tally)
        rounds += 1
    print(f"\n{kind_name} {role} killed, seed {SEED}, {rounds} rounds: {dict(tally)}")
    assert tally["killed mid-stream"] >= rounds // 2, f"most victims ended before the kill: {dict(tally)}"


def _exchange(q, run_in_child, count, wid=AFTER):
    """Writer `wid`'s first `count` messages read in order, nothing more; a new writer (AFTER)
    first puts them with no reader: it would block if a cell or channel were lost."""
    if wid == AFTER:
        assert run_in_child(_put, q, AFTER, count, timeout=5) == count
    got, extra = run_in_child(_read_all, q, count)
    assert got == [(wid, s) for s in range(count)] and extra is None


# A reader waits for a message; a writer for room (MPMCVar: for a channel, each carrying a finished
# message). With `lock`, the victim holds that list lock as the queue would and blocks in a read; a
# timed read then waits past its time, as only the count wait has a limit.
LOCKS = {"mpmc": [("_filled_mutex_", "reader"), ("_free_mutex_", "writer")], "mpmcvar": [("_used_mutex_", "writer")]}
BLOCKED = [(k, role, None) for k in KINDS for role in ("reader", "writer")] + [
    (k, role, lock) for k, rows in LOCKS.items() for lock, role in rows]


@pytest.mark.parametrize("kind_name, role, lock", BLOCKED)
def test_killed_while_blocked(kind_name, role, lock, queue_name, start_child, run_in_child):
    kind = KINDS[kind_name]
    q = kind.create(queue_name)
    if lock and role == "reader":  # one count for the holder's own read, one for the reader below
        _put(q, AFTER, 2)
    finished = kind.capacity if role == "writer" and not lock else 0
    victim = start_child(_put, (kind.cls, queue_name), VICTIM, finished, 100, "reader" if lock else role,
                         lock and queue_name + lock)
    victim.wait_for("blocking")
    victim.assert_blocked()
    victim.kill()
    labels, state = damage(q, role)
    if lock:  # the dead holder stops everyone: the operator recreates the queue
        assert labels == [lock.strip("_").replace("_mutex", " list lock held")], state
        stuck = start_child(_read_all, q, 1) if role == "reader" else start_child(_put, q, AFTER, 1)
        stuck.assert_blocked(settle=2.5 if role == "reader" else 0.5)  # past the reader's 2 s
        return
    assert labels == [], f"{role} killed while blocked: damage {labels}: {state}"
    if finished:  # exactly what the victim finished arrives; its blocked write left nothing
        _exchange(q, run_in_child, finished, VICTIM)
    _exchange(q, run_in_child, kind.capacity)
    labels, state = damage(q, role)
    assert labels == [], f"{role} killed while blocked, after a new pair: damage {labels}: {state}"
