"""SIGKILL of a peer at random points of a running stream and while blocked, every kind. Delivered
messages must be whole and correct (bytes derived from writer id, sequence and length, with a CRC),
none twice, each writer's a gap-free prefix up to what the dead held. What the dead held must show in
segment and semaphores as docs/failure_model.md says, and no more; a hang nothing explains fails."""

import collections
import ctypes
import multiprocessing
import os
import random
import struct
import time
import types
import zlib

import numpy as np
import pytest
from conftest import _process_state, notify_parent, remove_queue_objects, semaphore_path, shm_path

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

FORK = multiprocessing.get_context("fork")
LIST_END = 0xFFFFFFFF
SURVIVOR, VICTIM, AFTER = 0, 1, 2  # writer ids; AFTER checks the queue still works
WRITER_IDS, MAX_SEQ = 3, 1 << 15
SURVIVOR_MESSAGES, MIN_LENGTH, IDLE_MS = 3000, 16, 40
KILL_WINDOW = 0.03  # a victim dies this long (uniformly drawn) after it started its stream
STALL = 0.3  # no message moved for this long with every live process asleep: settled
HANG_BOUND = 12.0  # a process that has not ended by then is hung, unless damage explains it
ROUNDS = int(os.environ.get("MOX_KILL_ROUNDS", "12"))
SEED = int(os.environ.get("MOX_KILL_SEED", str(random.randrange(1 << 30))))

_HEAD = struct.Struct("<IIII")  # writer id, sequence, length, crc
_PATTERN = bytes(range(256)) * 24


def make_message(wid, seq, length):
    start = (wid * 131 + seq * 17) % 256
    body = _PATTERN[start : start + length - _HEAD.size]
    crc = zlib.crc32(body, zlib.crc32(struct.pack("<III", wid, seq, length)))
    return _HEAD.pack(wid, seq, length, crc) + body


def check_message(msg):
    """(writer id, sequence) of a whole, correct message; AssertionError otherwise."""
    wid, seq, length, _ = _HEAD.unpack_from(msg.ljust(_HEAD.size, b"\0"))  # a torn head fails the length
    if wid >= WRITER_IDS or seq >= MAX_SEQ or length != len(msg) or msg != make_message(wid, seq, length):
        raise AssertionError(f"damaged message ({len(msg)} bytes, head {msg[:16].hex()})")
    return wid, seq


class Ledger:
    # Per reader, how often it delivered each (writer, sequence): no two race on a byte.
    def __init__(self, readers):
        self.seen = [FORK.RawArray("B", WRITER_IDS * MAX_SEQ) for _ in range(readers)]
        self.moved = FORK.RawArray("q", readers + 4)  # messages per process slot
        self.stop = FORK.RawValue("b", 0)

    def counts(self, wid):
        return sum(np.frombuffer(a, np.uint8)[wid * MAX_SEQ : (wid + 1) * MAX_SEQ].astype(np.int64) for a in self.seen)


def _write(q, ledger, slot, wid, count, hi, partial):
    q = q[0](q[1]) if isinstance(q, tuple) else q  # (class, name): joins by name
    # Built beforehand, so that a kill lands inside the queue more often.
    lengths = (MIN_LENGTH + (seq * 2654435761 + wid * 40503) % (hi - MIN_LENGTH + 1) for seq in range(count))
    msgs = [make_message(wid, seq, length) for seq, length in enumerate(lengths)]
    notify_parent("ready")
    for seq, msg in enumerate(msgs):
        if partial and seq % 2:  # in three parts: kills also land between them
            for k in range(3):
                q.partial_write(msg[k * len(msg) // 3 : (k + 1) * len(msg) // 3])
            q.partial_write_complete()
        else:
            q.write(msg)
        ledger.moved[slot] += 1
    return count


def _read(q, ledger, slot):
    q = q[0](q[1]) if isinstance(q, tuple) else q
    seen, last = ledger.seen[slot], {}
    notify_parent("ready")
    while True:
        if (msg := q.read(QDataType.Bytes, IDLE_MS)) is None:
            if ledger.stop.value:
                return int(ledger.moved[slot])
            continue
        wid, seq = check_message(msg)
        if last.get(wid, -1) >= seq:
            raise AssertionError(f"writer {wid}: sequence {seq} after {last[wid]}")
        last[wid] = seq
        seen[wid * MAX_SEQ + seq] += 1
        ledger.moved[slot] += 1


def _put(q, wid, count, length=100, block=None, lock=None):
    """Writes `count` messages, takes the semaphore `lock` as the queue does (a SIGKILL leaves it
    held by the dead), then blocks in a read (block "reader") or writing one more (block "writer")."""
    q = q[0](q[1]) if isinstance(q, tuple) else q
    for seq in range(count):
        q.write(make_message(wid, seq, length))
    if lock:
        libc = ctypes.CDLL(None)
        libc.sem_open.restype = ctypes.c_void_p
        sem = libc.sem_open(lock.encode(), 0)
        assert sem and libc.sem_wait(ctypes.c_void_p(sem)) == 0
    if block:
        notify_parent("blocking")
        return q.read() if block == "reader" else q.write(make_message(wid, count, length))
    return count


def _read_all(q, count):
    got = [q.read(QDataType.Bytes, 2000) for _ in range(count)]
    assert None not in got, f"no message within 2 s after {got.index(None)} messages"
    return [check_message(m) for m in got], q.read(QDataType.Bytes, 100)


class Views:
    """Read-only views of a queue's segment and semaphores, valid after an SPSC connect removed the names."""
    def __init__(self, name, suffixes):
        self.seg = os.open(shm_path(name), os.O_RDONLY)
        self.sems = {s: os.open(semaphore_path(name, s), os.O_RDONLY) for s in suffixes}

    def u32(self, off, size=4):
        return int.from_bytes(os.pread(self.seg, size, off), "little")

    def sem(self, suffix):  # glibc: the value is the low half of the first 8 bytes, waiters the high half
        return int.from_bytes(os.pread(self.sems[suffix], 4, 0), "little")

    def close(self):
        for fd in [self.seg, *self.sems.values()]:
            os.close(fd)


def _two_lists(v, n, next_of, first_head, second_head, second_tail):
    """Both lists of a segment, undamaged: no item on both, the tail word names the second's last item."""
    first, second = [], []
    for items, head in ((first, v.u32(first_head)), (second, v.u32(second_head))):
        while head != LIST_END:
            assert head < n and len(items) < n, f"list damaged at {head} after {items}"
            items.append(head)
            head = next_of(head)
    assert not set(first) & set(second), f"item on both lists: {first} and {second}"
    assert v.u32(second_tail) == (second[-1] if second else LIST_END), f"tail word is not the last of {second}"
    return first, second


def _shortfalls(labels, shorts):
    """One label per item or count one death took; any other shortfall is inconsistent."""
    labels += [what if short == 1 else f"inconsistent {what} {short}" for what, short in shorts if short]
    return labels


# Classifiers, also used by test_signals.py: labels of what one death left behind, and the state seen.
def spsc_damage(v, role):
    n, r, w = v.u32(12), v.u32(24), v.u32(28)
    free, filled = v.sem("_free_"), v.sem("_filled_")
    short = n - free - filled  # cells outside both counts
    ahead = (w - r - filled) % n  # cells the writer passed but never published
    labels = {(0, 0): [], (1, 0): ["free count taken" if role == "writer" else "cell not given back"],
              (1, 1): ["cell taken, unpublished" if role == "writer" else "filled count taken"]}
    labels = labels.get((short, ahead), [f"inconsistent ({short}, {ahead})"])
    return labels, f"read_index {r} write_index {w} free {free} filled {filled} of {n}"


# A list lock at 0 with nobody inside an operation: its holder is dead.
def mpmc_damage(v, role):
    for lock in ("free", "filled"):
        if v.sem(f"_{lock}_mutex_") == 0:
            return [f"{lock} list lock held"], f"{lock} mutex 0"
    n, stride = v.u32(12), v.u32(16, 8) + 16
    free, filled = _two_lists(v, n, lambda i: v.u32(40 + i * stride + 4), 24, 28, 32)
    nfree, nfilled = v.sem("_free_"), v.sem("_filled_")
    shorts = [("cell held", n - len(free) - len(filled)), ("free count short", len(free) - nfree),
              ("filled count short", len(filled) - nfilled)]
    return _shortfalls([], shorts), f"free list {free} (count {nfree}), filled list {filled} (count {nfilled})"


def mpmcvar_damage(v, role):
    if v.sem("_used_mutex_") == 0:
        return ["used list lock held"], "used mutex 0"
    nch, ncell, cs = v.u32(12), v.u32(16), v.u32(20)

    def area(c):
        return 40 + c * ((cs + 16) * ncell + 24)
    def cell_length(c, j):
        return v.u32(area(c) + 24 + j * (cs + 16) + 8, 8)
    def ring(c):  # free and filled cell counts
        return v.sem(f"_free_channel_{c}"), v.sem(f"_filled_channel_{c}")
    free, used = _two_lists(v, nch, lambda c: v.u32(area(c) + 8), 24, 32, 36)
    labels = []
    for c in free:  # a free channel's ring is empty: its reader gave back the last cell
        state = (*ring(c), v.u32(area(c) + 12) == v.u32(area(c) + 16), v.u32(area(c), 8),
                 any(cell_length(c, j) for j in range(ncell)))
        if state != (ncell, 0, True, 0, False):
            labels.append(f"free channel {c} not empty {state}")
    for c in used:  # handed-over cells all full: the message's end never came
        r = v.u32(area(c) + 12)
        if all(cell_length(c, (r + k) % ncell) >= cs for k in range(ring(c)[1])):
            labels.append("unfinished message listed")
    held = [c for c in range(nch) if c not in free and c not in used]
    labels += ["channel held"] * len(held)
    nfree, nused = v.sem("_free_"), v.sem("_used_")
    _shortfalls(labels, [("free count short", len(free) - nfree), ("used count short", len(used) - nused)])
    held_state = ", ".join(f"{c}: next {v.u32(area(c) + 8):#x} free/filled {ring(c)}" for c in held)
    return labels, f"free {free} (count {nfree}), used {used} (count {nused}), held {held_state}"


# allowed: role -> labels one death may leave; hangs: labels that explain a survivor waiting for
# ever; recovers: after these a new pair must work; lag: under these the newest message stays
# uncounted; capacity: messages a writer puts with no reader; victim_messages: > KILL_WINDOW allows.
def Kind(cls, args, **fields):
    return types.SimpleNamespace(cls=cls, create=lambda name: cls(name, *args), **fields)

SPSC = Kind(
    SPSCQueue, (8, 128, True), sems=["_free_", "_filled_"], hi=128, damage=spsc_damage, capacity=8,
    victim_messages=20000, hangs=set(), lag={"filled count taken"},
    allowed={"writer": {"free count taken", "cell taken, unpublished"},
             "reader": {"cell not given back", "filled count taken"}},
    # Not "cell taken, unpublished": the ring is a step ahead, a new writer would publish behind a stale cell.
    recovers={"free count taken", "cell not given back", "filled count taken"},
)
_MPMC_LOCKS = {"free list lock held", "filled list lock held"}
_MPMC_LOST = {"cell held", "free count short", "filled count short"}
MPMC = Kind(
    MPMCQueue, (8, 128), sems=["_free_", "_filled_", "_free_mutex_", "_filled_mutex_"], hi=128,
    damage=mpmc_damage, capacity=8, victim_messages=20000, hangs=_MPMC_LOCKS, lag={"filled count short"},
    allowed=dict.fromkeys(("writer", "reader"), _MPMC_LOCKS | _MPMC_LOST), recovers=_MPMC_LOST,
)
_NCH = 3
_VAR_LOST = {"channel held", "free count short", "used count short"}
MPMCVAR = Kind(
    MPMCVarQueue, (_NCH, 4, 64),
    sems=["_free_", "_used_", "_used_mutex_"] + [f"_{r}_channel_{c}" for c in range(_NCH) for r in ("free", "filled")],
    hi=1200,  # up to almost five rings: kills land inside messages
    damage=mpmcvar_damage, capacity=_NCH, victim_messages=4000,
    hangs={"used list lock held", "channel held"}, lag={"used count short"},
    allowed={"writer": _VAR_LOST | {"used list lock held", "unfinished message listed"},
             "reader": _VAR_LOST | {"used list lock held"}},
    recovers=_VAR_LOST | {"unfinished message listed"},
)
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
        elif now - changed >= STALL and all(_process_state(c.pid) in ("S", "D", None) for c in live):
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


def assert_prefix(counts, wid, gaps_allowed=0, complete=None):
    """Writer `wid`: none twice, delivered a prefix of what was sent (`complete`) up to `gaps_allowed` missing."""
    twice = np.flatnonzero(counts > 1)
    assert twice.size == 0, f"writer {wid}: delivered twice: {twice[:10].tolist()}"
    got = set(np.flatnonzero(counts).tolist())
    sent = complete if complete is not None else (max(got) + 1 if got else 0)
    missing = sorted(set(range(sent)) - got)
    assert len(missing) <= gaps_allowed, f"writer {wid}: {len(missing)} lost: {missing[:10]}"


def exchange_after(kind, q, views, start_child, lagging):
    """A new writer and reader(s) on the damaged queue: every message arrives (the last may stay
    uncounted behind a lost count); only a reader that took a dead writer's unfinished message may wait."""
    readers, count = (2 if kind is MPMCVAR else 1), 300
    ledger = Ledger(readers)
    w = start_child(_write, q, ledger, readers, AFTER, count, kind.hi, False)
    rs = [start_child(_read, q, ledger, r) for r in range(readers)]
    stuck = drain([w], rs, ledger)
    if stuck:
        labels, state = kind.damage(views, None)
        ok = w not in stuck and "channel held" in labels and len(stuck) < readers
        assert ok, f"after the kill, a new pair hung: {labels} {state}"
    finish([w, *rs], stuck)
    assert_prefix(ledger.counts(AFTER), AFTER, int(lagging), count)


def kill_round(kind, role, name, start_child, rng, tally):
    q, views = kind.create(name), Views(name, kind.sems)
    spsc, var = kind is SPSC, kind is MPMCVAR
    try:
        # SPSC: the victim's peer is the only survivor; a dead reader is replaced after its death.
        # MPMCVar: two readers survive a writer, as the one that takes its unfinished message waits for ever.
        early = 0 if spsc and role == "reader" else (2 if var and role == "writer" else 1)
        readers = max(early, 1)
        ledger = Ledger(readers + 1)  # the last reader slot is the victim's
        writers = [] if spsc and role == "writer" else [
            start_child(_write, q, ledger, readers + 1, SURVIVOR, SURVIVOR_MESSAGES, kind.hi, var)]
        rs = [start_child(_read, q, ledger, r) for r in range(early)]
        joined = (kind.cls, name)
        victim = (start_child(_write, joined, ledger, readers + 2, VICTIM, kind.victim_messages, kind.hi, var)
                  if role == "writer" else start_child(_read, joined, ledger, readers))
        victim.wait_for("ready")
        time.sleep(rng.uniform(0, KILL_WINDOW))
        if victim.is_alive():
            victim.kill()
            tally["killed mid-stream"] += 1
        else:
            victim.result(5)
        victim.close()
        rs += [start_child(_read, q, ledger, r) for r in range(early, readers)]
        stuck = drain(writers, rs, ledger)
        labels, state = kind.damage(views, role)
        if stuck and not set(labels) & kind.hangs:
            # Nothing explains the wait: give it the full bound, then it is a hang.
            stuck = settle(stuck, ledger, bound=HANG_BOUND)
            labels, state = kind.damage(views, role)
            assert not stuck, f"{role} killed: survivors hang, segment shows {labels}: {state}"
        assert set(labels) <= kind.allowed[role], f"{role} killed: unexpected damage {labels}: {state}"
        assert len(labels) <= (2 if var else 1), f"{role} killed: more damage than one death: {labels}: {state}"
        finish(writers + rs, stuck)
        lagging = bool(set(labels) & kind.lag)
        survivor_done = bool(writers) and writers[0] not in stuck
        if writers:
            gaps = (role == "reader") + (lagging and survivor_done)
            assert_prefix(ledger.counts(SURVIVOR), SURVIVOR, gaps, SURVIVOR_MESSAGES if survivor_done else None)
        assert_prefix(ledger.counts(VICTIM), VICTIM)
        tally[", ".join(sorted(labels)) or "nothing held"] += 1
        if set(labels) <= kind.recovers:
            exchange_after(kind, q, views, start_child, lagging)
            tally["kept working"] += 1
    finally:
        views.close()
        del q
        remove_queue_objects(name)


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
    q, views = kind.create(queue_name), Views(queue_name, kind.sems)
    try:
        if lock and role == "reader":  # one count for the holder's own read, one for the reader below
            _put(q, AFTER, 2)
        finished = kind.capacity if role == "writer" and not lock else 0
        victim = start_child(_put, (kind.cls, queue_name), VICTIM, finished, 100, "reader" if lock else role,
                             lock and queue_name + lock)
        victim.wait_for("blocking")
        victim.assert_blocked()
        victim.kill()
        labels, state = kind.damage(views, role)
        if lock:  # the dead holder stops everyone: the operator recreates the queue
            assert labels and set(labels) <= kind.hangs, state
            stuck = start_child(_read_all, q, 1) if role == "reader" else start_child(_put, q, AFTER, 1)
            stuck.assert_blocked(settle=2.5 if role == "reader" else 0.5)  # past the reader's 2 s
            return
        assert labels == [], f"{role} killed while blocked: damage {labels}: {state}"
        if finished:  # exactly what the victim finished arrives; its blocked write left nothing
            _exchange(q, run_in_child, finished, VICTIM)
        _exchange(q, run_in_child, kind.capacity)
        labels, state = kind.damage(views, role)
        assert labels == [], f"{role} killed while blocked, after a new pair: damage {labels}: {state}"
    finally:
        views.close()
