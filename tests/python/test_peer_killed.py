"""A peer killed with SIGKILL, at random points of a running stream and while
it is blocked, for every queue kind.

What the survivors must see after any kill: every delivered message whole and
correct (its bytes derive from writer id, sequence and length, and carry a
CRC), no message twice, and from each writer a gap-free prefix of what it sent
(one message in the dead process's hands may be missing). A queue whose dead
member held nothing keeps working at full capacity. Damage the design cannot
repair (a list lock, a cell or a channel kept by the dead; a message left
half-written or half-read) must look in the segment and the semaphores exactly
as docs/failure_model.md describes it, must stay confined to what the dead
process held, and the rest of the queue must keep working; a hang that no
such damage explains fails the test.
"""

import collections
import ctypes
import ctypes.util
import multiprocessing
import os
import random
import struct
import time
import zlib

import numpy as np
import pytest
from conftest import notify_parent, remove_queue_objects, semaphore_path, shm_path

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

FORK = multiprocessing.get_context("fork")

LIST_END = 0xFFFFFFFF
IN_USE = 0xC4653600

# Writer ids: survivor, victim, and the pair that checks the queue still works.
SURVIVOR, VICTIM, AFTER = 0, 1, 2
WRITER_IDS = 3
MAX_SEQ = 1 << 15

# A victim dies this long (uniformly drawn) after it started its stream.
KILL_WINDOW = 0.03
# No message moved for this long with every live process asleep: settled.
STALL = 0.3
# Beyond this a process that has not ended is hung, unless damage explains it.
HANG_BOUND = 12.0
IDLE_MS = 40

ROUNDS = int(os.environ.get("MOX_KILL_ROUNDS", "12"))
SEED = int(os.environ.get("MOX_KILL_SEED", str(random.randrange(1 << 30))))


# ------------------------------------------------------------- messages ---

_HEAD = struct.Struct("<IIII")  # writer id, sequence, length, crc
_PATTERN = bytes(range(256)) * 24


def length_for(wid, seq, lo, hi):
    return lo + (seq * 2654435761 + wid * 40503) % (hi - lo + 1)


def make_message(wid, seq, length):
    start = (wid * 131 + seq * 17) % 256
    body = _PATTERN[start : start + length - _HEAD.size]
    crc = zlib.crc32(body, zlib.crc32(struct.pack("<III", wid, seq, length)))
    return _HEAD.pack(wid, seq, length, crc) + body


def check_message(msg):
    """(writer id, sequence) of a whole, correct message; AssertionError otherwise."""
    if len(msg) < _HEAD.size:
        raise AssertionError(f"torn message of {len(msg)} bytes: {msg[:32]!r}")
    wid, seq, length, _ = _HEAD.unpack_from(msg)
    if wid >= WRITER_IDS or seq >= MAX_SEQ or length != len(msg) or msg != make_message(wid, seq, length):
        raise AssertionError(f"damaged message ({len(msg)} bytes, head {msg[:16].hex()})")
    return wid, seq


class Ledger:
    """Shared with the forked children: per reader, how often it delivered each
    (writer, sequence); one array per reader so that no two race on a byte."""

    def __init__(self, readers):
        self.seen = [FORK.RawArray("B", WRITER_IDS * MAX_SEQ) for _ in range(readers)]
        self.moved = FORK.RawArray("q", readers + 4)  # messages per process slot
        self.stop = FORK.RawValue("b", 0)

    def counts(self, wid):
        total = np.zeros(MAX_SEQ, np.int64)
        for arr in self.seen:
            total += np.frombuffer(arr, np.uint8)[wid * MAX_SEQ : (wid + 1) * MAX_SEQ]
        return total


# ------------------------------------------------------- child functions ---


def _write(q, ledger, slot, wid, count, lo, hi, partial=False, connect=None):
    if connect is not None:
        q = connect[0](connect[1])
    # Built beforehand, so that the process spends its time inside the queue
    # and a kill lands there more often.
    msgs = [make_message(wid, seq, length_for(wid, seq, lo, hi)) for seq in range(count)]
    notify_parent("ready")
    for seq, msg in enumerate(msgs):
        if partial and seq % 2:
            # Every other message from three partial writes: the kill then
            # also lands between them.
            third = len(msg) // 3
            q.partial_write(msg[:third])
            q.partial_write(msg[third : 2 * third])
            q.partial_write(msg[2 * third :])
            q.partial_write_complete()
        else:
            q.write(msg)
        ledger.moved[slot] += 1
    return count


def _read(q, ledger, slot, connect=None):
    if connect is not None:
        q = connect[0](connect[1])
    seen = ledger.seen[slot]
    last = {}
    notify_parent("ready")
    while True:
        msg = q.read(QDataType.Bytes, IDLE_MS)
        if msg is None:
            if ledger.stop.value:
                return int(ledger.moved[slot])
            continue
        wid, seq = check_message(msg)
        if last.get(wid, -1) >= seq:
            raise AssertionError(f"writer {wid}: sequence {seq} after {last[wid]}")
        last[wid] = seq
        seen[wid * MAX_SEQ + seq] += 1
        ledger.moved[slot] += 1


def _block_reading(cls, name):
    q = cls(name)
    notify_parent("blocking")
    return q.read()


def _fill_then_block(cls, name, count, length):
    q = cls(name)
    for seq in range(count):
        q.write(make_message(VICTIM, seq, length))
    notify_parent("blocking")
    q.write(make_message(VICTIM, count, length))
    return "write returned"


def _write_all(q, wid, count, length):
    for seq in range(count):
        q.write(make_message(wid, seq, length))
    return count


def _read_all(q, count):
    got = []
    for _ in range(count):
        msg = q.read(QDataType.Bytes, 2000)
        if msg is None:
            raise AssertionError(f"no message within 2 s after {got}")
        got.append(check_message(msg))
    return got, q.read(QDataType.Bytes, 100)


def _partial_then_wait(q, first, rest, go):
    q.partial_write(first)
    notify_parent("first part")
    go.wait(10)
    notify_parent("writing rest")
    q.partial_write(rest)
    q.partial_write_complete()
    return "completed"


def _hold_semaphore_then_block(path_name, cls, name):
    """Takes a queue's lock semaphore by name the way the queue does, then
    blocks in the queue; a SIGKILL then leaves the lock held by the dead."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.sem_open.restype = ctypes.c_void_p
    libc.sem_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
    libc.sem_wait.argtypes = [ctypes.c_void_p]
    q = cls(name)
    sem = libc.sem_open(path_name.encode(), 0)
    assert sem and libc.sem_wait(sem) == 0
    notify_parent("holding")
    return q.read()


# ------------------------------------------------------ segment and counts ---


class Views:
    """Read-only descriptors on a queue's segment and semaphores, opened by
    name while the names exist; they keep seeing the same objects after the
    names are removed (an SPSC connect does that)."""

    def __init__(self, name, suffixes):
        self.seg = os.open(shm_path(name), os.O_RDONLY)
        self.sems = {s: os.open(semaphore_path(name, s), os.O_RDONLY) for s in suffixes}

    def u32(self, off):
        return int.from_bytes(os.pread(self.seg, 4, off), "little")

    def u64(self, off):
        return int.from_bytes(os.pread(self.seg, 8, off), "little")

    def sem(self, suffix):
        # glibc keeps a process-shared semaphore's value in the low 32 bits of
        # its first 8 bytes (the high half counts waiters).
        return int.from_bytes(os.pread(self.sems[suffix], 4, 0), "little")

    def close(self):
        for fd in [self.seg, *self.sems.values()]:
            os.close(fd)


def walk(head, next_of, n):
    """The indices of a list from `head`; AssertionError for a damaged list."""
    items = []
    while head != LIST_END:
        assert head < n and len(items) < n, f"list damaged at {head} after {items}"
        items.append(head)
        head = next_of(head)
    return items


def spsc_damage(v, role):
    n, r, w = v.u32(12), v.u32(24), v.u32(28)
    free, filled = v.sem("_free_"), v.sem("_filled_")
    short = n - free - filled  # cells outside both counts
    ahead = (w - r - filled) % n  # cells the writer passed but never published
    state = f"read_index {r} write_index {w} free {free} filled {filled} of {n}"
    if (short, ahead) == (0, 0):
        return [], state
    if (short, ahead) == (1, 0):
        return ["free count taken" if role == "writer" else "cell not given back"], state
    if (short, ahead) == (1, 1):
        return ["cell taken, unpublished" if role == "writer" else "filled count taken"], state
    return [f"inconsistent ({short}, {ahead})"], state


def mpmc_damage(v, role):
    if v.sem("_free_mutex_") == 0:
        return ["free list lock held"], "free mutex 0"
    if v.sem("_filled_mutex_") == 0:
        return ["filled list lock held"], "filled mutex 0"
    n, stride = v.u32(12), v.u64(16) + 16

    def next_of(i):
        return v.u32(40 + i * stride + 4)

    free = walk(v.u32(24), next_of, n)
    filled = walk(v.u32(28), next_of, n)
    assert not set(free) & set(filled), f"cell on both lists: free {free} filled {filled}"
    assert v.u32(32) == (filled[-1] if filled else LIST_END), "filled_tail is not the last filled cell"
    state = f"free list {free} (count {v.sem('_free_')}), filled list {filled} (count {v.sem('_filled_')})"
    labels = []
    for what, short in (
        ("cell held", n - len(free) - len(filled)),
        ("free count short", len(free) - v.sem("_free_")),
        ("filled count short", len(filled) - v.sem("_filled_")),
    ):
        if short == 1:
            labels.append(what)
        elif short != 0:
            labels.append(f"inconsistent {what} {short}")
    return labels, state


def mpmcvar_damage(v, role):
    if v.sem("_used_mutex_") == 0:
        return ["used list lock held"], "used mutex 0"
    nch, ncell, cs = v.u32(12), v.u32(16), v.u32(20)
    stride = (cs + 16) * ncell + 24

    def area(c):
        return 40 + c * stride

    def next_of(c):
        return v.u32(area(c) + 8)

    free = walk(v.u32(24), next_of, nch)
    used = walk(v.u32(32), next_of, nch)
    assert not set(free) & set(used), f"channel on both lists: free {free} used {used}"
    assert v.u32(36) == (used[-1] if used else LIST_END), "used_tail is not the last used channel"
    labels = []
    for c in free:
        # A free channel's ring is empty: the reader gave back its last cell.
        ring = (
            v.sem(f"_free_channel_{c}"),
            v.sem(f"_filled_channel_{c}"),
            v.u32(area(c) + 12) == v.u32(area(c) + 16),
            v.u64(area(c)),
            any(v.u64(area(c) + 24 + j * (cs + 16) + 8) for j in range(ncell)),
        )
        if ring != (ncell, 0, True, 0, False):
            labels.append(f"free channel {c} not empty {ring}")
    for c in used:
        # Handed-over cells all full: the message's end never came.
        r, handed = v.u32(area(c) + 12), v.sem(f"_filled_channel_{c}")
        if all(v.u64(area(c) + 24 + ((r + k) % ncell) * (cs + 16) + 8) >= cs for k in range(handed)):
            labels.append("unfinished message listed")
    held = [c for c in range(nch) if c not in free and c not in used]
    labels += ["channel held"] * len(held)
    for what, short in (
        ("free count short", len(free) - v.sem("_free_")),
        ("used count short", len(used) - v.sem("_used_")),
    ):
        if short == 1:
            labels.append(what)
        elif short != 0:
            labels.append(f"inconsistent {what} {short}")
    state = (
        f"free {free} (count {v.sem('_free_')}), used {used} (count {v.sem('_used_')}), held "
        + ", ".join(
            f"{c}: next {next_of(c):#x} free {v.sem(f'_free_channel_{c}')} filled {v.sem(f'_filled_channel_{c}')}"
            for c in held
        )
    )
    return labels, state


class Kind:
    def __init__(self, cls, create, sems, lo, hi, damage, allowed, hangs, recovers, lag, capacity):
        self.cls = cls
        self.create = create
        self.sems = sems
        self.lo, self.hi = lo, hi
        self.damage = damage
        self.allowed = allowed  # role -> labels one death may leave
        self.hangs = hangs  # labels that explain a survivor waiting for ever
        self.recovers = recovers  # labels after which a new pair must work
        self.lag = lag  # labels under which the newest message stays uncounted
        self.capacity = capacity  # messages a writer puts without a reader


SPSC = Kind(
    SPSCQueue,
    lambda name: SPSCQueue(name, 8, 128, True),
    ["_free_", "_filled_"],
    16,
    128,
    spsc_damage,
    {
        "writer": {"free count taken", "cell taken, unpublished"},
        "reader": {"cell not given back", "filled count taken"},
    },
    set(),
    # A writer that died between taking and publishing a cell leaves the ring
    # one step ahead: a replacement writer would publish behind a stale cell.
    {"free count taken", "cell not given back", "filled count taken"},
    {"filled count taken"},
    8,
)
MPMC = Kind(
    MPMCQueue,
    lambda name: MPMCQueue(name, 8, 128),
    ["_free_", "_filled_", "_free_mutex_", "_filled_mutex_"],
    16,
    128,
    mpmc_damage,
    dict.fromkeys(
        ("writer", "reader"),
        {"free list lock held", "filled list lock held", "cell held", "free count short", "filled count short"},
    ),
    {"free list lock held", "filled list lock held"},
    {"cell held", "free count short", "filled count short"},
    {"filled count short"},
    8,
)
_NCH = 3
MPMCVAR = Kind(
    MPMCVarQueue,
    lambda name: MPMCVarQueue(name, _NCH, 4, 64),
    ["_free_", "_used_", "_used_mutex_"]
    + [f"_{role}_channel_{c}" for c in range(_NCH) for role in ("free", "filled")],
    16,
    1200,  # up to almost five rings: kills land inside messages
    mpmcvar_damage,
    {
        "writer": {
            "used list lock held",
            "channel held",
            "unfinished message listed",
            "free count short",
            "used count short",
        },
        "reader": {"used list lock held", "channel held", "free count short", "used count short"},
    },
    {"used list lock held", "channel held"},
    {"channel held", "unfinished message listed", "free count short", "used count short"},
    {"used count short"},
    _NCH,
)
KINDS = {"spsc": SPSC, "mpmc": MPMC, "mpmcvar": MPMCVAR}
# More than a victim can move within KILL_WINDOW.
VICTIM_MESSAGES = {SPSCQueue: 20000, MPMCQueue: 20000, MPMCVarQueue: 4000}


# -------------------------------------------------------------- settling ---


def _asleep(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("S", "D")
    except (FileNotFoundError, ProcessLookupError):
        return True


def settle(children, ledger, bound=HANG_BOUND):
    """Waits until `children` ended, or nothing moved for STALL seconds with
    every live one asleep; returns those still alive."""
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
        elif now - changed >= STALL and all(_asleep(c.pid) for c in live):
            return live
        time.sleep(0.01)


def ended_well(child):
    outcome = child.finish(timeout=5)
    assert outcome.kind == "returned", outcome.describe()
    return outcome.value


def assert_prefix(counts, wid, gaps_allowed=0, complete=None):
    """Writer `wid`'s messages: none twice; delivered ones a prefix of what was
    sent, up to `gaps_allowed` missing; with `complete`, that many were sent."""
    twice = np.flatnonzero(counts > 1)
    assert twice.size == 0, f"writer {wid}: delivered twice: {twice[:10].tolist()}"
    got = set(np.flatnonzero(counts).tolist())
    sent = complete if complete is not None else (max(got) + 1 if got else 0)
    missing = sorted(set(range(sent)) - got)
    assert len(missing) <= gaps_allowed, f"writer {wid}: {len(missing)} lost: {missing[:10]}"


# ----------------------------------------------------------------- rounds ---


def exchange_after(kind, q, views, start_child, lagging):
    """A new writer and reader(s) on the damaged queue: every message arrives
    (the last may stay uncounted behind a lost count) and nothing hangs beyond
    what `damage` explains."""
    readers = 2 if kind is MPMCVAR else 1
    ledger = Ledger(readers)
    count = 300
    w = start_child(_write, q, ledger, readers, AFTER, count, kind.lo, kind.hi)
    rs = [start_child(_read, q, ledger, r) for r in range(readers)]
    stuck = settle([w], ledger)
    ledger.stop.value = 1
    stuck += settle(rs, ledger)
    if stuck:
        # Only a reader that took a message its dead writer never ended may wait.
        labels, state = kind.damage(views, None)
        assert w not in stuck and "channel held" in labels and len(stuck) < readers, (
            f"after the kill, a new pair hung: {labels} {state}"
        )
        for c in stuck:
            c.kill()
    for c in [w] + [r for r in rs if r not in stuck]:
        ended_well(c)
    assert_prefix(ledger.counts(AFTER), AFTER, gaps_allowed=1 if lagging else 0, complete=count)


def kill_round(kind, role, name, start_child, rng, tally):
    q = kind.create(name)
    views = Views(name, kind.sems)
    spsc = kind is SPSC
    try:
        early_readers = 0 if (spsc and role == "reader") else (2 if kind is MPMCVAR and role == "writer" else 1)
        readers = early_readers + (1 if spsc and role == "reader" else 0)
        ledger = Ledger(readers + 1)  # the last reader slot is the victim's
        victim_slot = readers
        writers = []
        if not (spsc and role == "writer"):
            writers.append(
                start_child(_write, q, ledger, readers + 1, SURVIVOR, 3000, kind.lo, kind.hi, kind is MPMCVAR)
            )
        rs = [start_child(_read, q, ledger, r) for r in range(early_readers)]
        connect = (kind.cls, name)
        if role == "writer":
            count = VICTIM_MESSAGES[kind.cls]
            victim = start_child(
                _write, q, ledger, readers + 2, VICTIM, count, kind.lo, kind.hi, kind is MPMCVAR, connect
            )
        else:
            victim = start_child(_read, q, ledger, victim_slot, connect)
        victim.wait_for("ready")
        time.sleep(rng.uniform(0, KILL_WINDOW))
        if victim.is_alive():
            victim.kill()
            tally["killed mid-stream"] += 1
        else:
            ended_well(victim)
        victim.close()
        rs += [start_child(_read, q, ledger, r) for r in range(early_readers, readers)]

        stuck = settle(writers, ledger)
        ledger.stop.value = 1
        stuck += settle(rs, ledger)
        labels, state = kind.damage(views, role)
        if stuck and not set(labels) & kind.hangs:
            # Nothing explains the wait: give it the full bound, then it is a hang.
            stuck = settle(stuck, ledger, bound=HANG_BOUND)
            labels, state = kind.damage(views, role)
            assert not stuck, f"{role} killed: survivors hang, segment shows {labels}: {state}"
        assert set(labels) <= kind.allowed[role], f"{role} killed: unexpected damage {labels}: {state}"
        assert len(labels) <= (2 if kind is MPMCVAR else 1), f"{role} killed: more damage than one death: {labels}"
        for c in stuck:
            c.kill()
        for c in writers + rs:
            if c not in stuck:
                ended_well(c)

        lagging = bool(set(labels) & kind.lag)
        survivor_done = bool(writers) and writers[0] not in stuck
        gaps = (1 if role == "reader" else 0) + (1 if lagging and survivor_done else 0)
        if writers:
            assert_prefix(ledger.counts(SURVIVOR), SURVIVOR, gaps, 3000 if survivor_done else None)
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
@pytest.mark.parametrize("kind_name", ["spsc", "mpmc", "mpmcvar"])
def test_killed_at_random_points(kind_name, role, make_queue_name, start_child):
    kind = KINDS[kind_name]
    rng = random.Random(SEED + zlib.crc32(f"{kind_name} {role}".encode()))
    tally = collections.Counter()
    deadline = time.monotonic() + 22  # within the per-test watchdog
    rounds = 0
    while rounds < ROUNDS and time.monotonic() < deadline:
        kill_round(kind, role, make_queue_name(), start_child, rng, tally)
        rounds += 1
    print(f"\n{kind_name} {role} killed, seed {SEED}, {rounds} rounds: {dict(tally)}")
    assert tally["killed mid-stream"] >= rounds // 2, f"most victims ended before the kill: {dict(tally)}"


# ------------------------------------------------ killed while holding nothing ---


def _clean(kind, views, role):
    labels, state = kind.damage(views, role)
    assert labels == [], f"a process killed while blocked left damage: {labels}: {state}"


def _full_capacity_exchange(kind, q, run_in_child, length=100):
    """A new writer puts `capacity` messages with no reader (it would block if
    a cell or channel were lost), then a new reader gets them all in order."""
    assert run_in_child(_write_all, q, AFTER, kind.capacity, length, timeout=5) == kind.capacity
    got, extra = run_in_child(_read_all, q, kind.capacity)
    assert got == [(AFTER, s) for s in range(kind.capacity)] and extra is None


@pytest.mark.parametrize("kind_name", ["spsc", "mpmc", "mpmcvar"])
def test_reader_killed_while_waiting_for_a_message(kind_name, queue_name, start_child, run_in_child):
    kind = KINDS[kind_name]
    q = kind.create(queue_name)
    views = Views(queue_name, kind.sems)
    try:
        victim = start_child(_block_reading, kind.cls, queue_name)
        victim.wait_for("blocking")
        victim.assert_blocked()
        victim.kill()
        _clean(kind, views, "reader")
        _full_capacity_exchange(kind, q, run_in_child)
        _clean(kind, views, "reader")
    finally:
        views.close()


@pytest.mark.parametrize("kind_name", ["spsc", "mpmc", "mpmcvar"])
def test_writer_killed_while_waiting_for_room(kind_name, queue_name, start_child, run_in_child):
    # MPMCVar: every channel carries a finished message, the next write waits
    # for a channel; the others wait for a cell.
    kind = KINDS[kind_name]
    q = kind.create(queue_name)
    views = Views(queue_name, kind.sems)
    try:
        victim = start_child(_fill_then_block, kind.cls, queue_name, kind.capacity, 100)
        victim.wait_for("blocking")
        victim.assert_blocked()
        victim.kill()
        _clean(kind, views, "writer")
        # Exactly what the victim finished arrives; its blocked write left nothing.
        got, extra = run_in_child(_read_all, q, kind.capacity)
        assert got == [(VICTIM, s) for s in range(kind.capacity)] and extra is None
        _full_capacity_exchange(kind, q, run_in_child)
        _clean(kind, views, "writer")
    finally:
        views.close()


# --------------------------------------------- damage the design cannot repair ---


def test_mpmcvar_unfinished_message_costs_one_channel_and_its_reader(queue_name, start_child, run_in_child):
    q = MPMCVarQueue(queue_name, _NCH, 4, 64)
    views = Views(queue_name, MPMCVAR.sems)
    try:
        # The writer dies inside a message longer than the ring, with no reader.
        victim = start_child(_fill_then_block, MPMCVarQueue, queue_name, 0, 4 * 64 * 3)
        victim.wait_for("blocking")
        victim.assert_blocked()
        victim.kill()
        labels, state = mpmcvar_damage(views, "writer")
        assert labels == ["unfinished message listed"], state
        reader = start_child(_read_all, q, 1)
        reader.assert_blocked()  # took the unfinished message: waits for ever
        labels, state = mpmcvar_damage(views, "writer")
        assert labels == ["channel held"], state
        # The other channels carry messages as before, in both directions of use.
        assert run_in_child(_write_all, q, AFTER, _NCH - 1, 100, timeout=5) == _NCH - 1
        got, extra = run_in_child(_read_all, q, _NCH - 1)
        assert got == [(AFTER, s) for s in range(_NCH - 1)] and extra is None
        reader.assert_blocked()
    finally:
        views.close()


def test_mpmcvar_half_read_message_stops_its_writer_only(queue_name, start_child, run_in_child):
    q = MPMCVarQueue(queue_name, _NCH, 4, 64)
    views = Views(queue_name, MPMCVAR.sems)
    go = FORK.Event()
    try:
        first = make_message(VICTIM, 0, 200)  # three full cells and part of a fourth
        writer = start_child(_partial_then_wait, q, first, bytes(4 * 64 * 3), go)
        writer.wait_for("first part")
        victim = start_child(_block_reading, MPMCVarQueue, queue_name)
        victim.wait_for("blocking")
        victim.assert_blocked()  # inside the message, waiting for its next cell
        victim.kill()
        go.set()
        writer.wait_for("writing rest")
        writer.assert_blocked()  # the ring fills and nobody reads it again
        labels, state = mpmcvar_damage(views, "reader")
        assert labels == ["channel held"], state
        assert run_in_child(_write_all, q, AFTER, _NCH - 1, 100, timeout=5) == _NCH - 1
        got, extra = run_in_child(_read_all, q, _NCH - 1)
        assert got == [(AFTER, s) for s in range(_NCH - 1)] and extra is None
        writer.assert_blocked()
    finally:
        views.close()


@pytest.mark.parametrize(
    "kind_name, lock, blocked_op",
    [
        # A timed read waits past its time: only the count wait has a limit.
        ("mpmc", "_filled_mutex_", "read"),
        ("mpmc", "_free_mutex_", "write"),
        ("mpmcvar", "_used_mutex_", "write"),
    ],
)
def test_dead_lock_holder_stops_everyone_until_the_queue_is_recreated(
    kind_name, lock, blocked_op, queue_name, start_child, run_in_child
):
    kind = KINDS[kind_name]
    q = kind.create(queue_name)
    views = Views(queue_name, kind.sems)
    try:
        if blocked_op == "read":
            # One count for the holder's own read, one for the reader below.
            q.write(make_message(AFTER, 0, 100))
            q.write(make_message(AFTER, 1, 100))
        holder = start_child(_hold_semaphore_then_block, queue_name + lock, kind.cls, queue_name)
        holder.wait_for("holding")
        holder.kill()
        labels, state = kind.damage(views, "writer")
        assert labels and set(labels) <= kind.hangs, state
        if blocked_op == "read":
            stuck = start_child(_read_all, q, 1)
        else:
            stuck = start_child(_write_all, q, AFTER, 1, 100)
        stuck.assert_blocked(settle=0.5)
        stuck.kill()
        # What the operator does: remove the names and create the queue anew.
        remove_queue_objects(queue_name)
        fresh = kind.create(queue_name)
        assert run_in_child(_write_all, fresh, AFTER, kind.capacity, 100, timeout=5) == kind.capacity
        got, extra = run_in_child(_read_all, fresh, kind.capacity)
        assert got == [(AFTER, s) for s in range(kind.capacity)] and extra is None
        del fresh
    finally:
        views.close()
