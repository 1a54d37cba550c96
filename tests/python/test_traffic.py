"""Many writer and reader processes at once, every class, through the traffic harness of helpers.py: each
message arrives exactly once and whole, each writer's in order, and afterwards the queue's own report finds
nothing held or lost. Once plain, once while another process sends every writer and reader SIGUSR1 and
SIGCHLD (handlers that return) a thousand times a second and more. `make soak-python` runs it long
(MOX_TRAFFIC_SCALE times the messages), where the readers' heap must also not grow."""

import os
import pathlib
import re
import signal
import time

import pytest
from helpers import KINDS, TRAFFIC_SCALE, Ledger, notify_parent, read_traffic, write_traffic

# writers, readers, messages per writer, creation arguments, message lengths (MPMCVar: up to ten cells, in parts)
PLANS = {
    "spsc": (1, 1, 20000, (16, 64, True), (16, 64)),
    "mpmc": (3, 3, 6000, (3, 64), (16, 64)),
    "mpmcvar": (3, 3, 1500, (3, 2, 64), (16, 600)),
}
HEAP_SLACK_KIB = 256  # a reader that keeps a byte per message outgrows it within a long run
_handled = [0]


def _under_storm(target, *args):
    """Handlers that return; the call starts once the storm has reached this process. Returns what the
    call returned and how many signals the process handled."""
    for sig in (signal.SIGUSR1, signal.SIGCHLD):
        signal.signal(sig, lambda signum, frame: _handled.__setitem__(0, _handled[0] + 1))
    notify_parent("armed")
    while not _handled[0]:
        time.sleep(0.001)
    return target(*args), _handled[0]


def _signaller(pids):
    while True:
        for pid in pids:
            os.kill(pid, signal.SIGUSR1)
            os.kill(pid, signal.SIGCHLD)
        time.sleep(0.0005)


def heap_kib(children):  # private memory of each: the shared ledger and segment pages are not counted
    return [int(re.search(r"RssAnon:\s+(\d+)", pathlib.Path(f"/proc/{c.pid}/status").read_text()).group(1))
            for c in children]


@pytest.mark.parametrize("storm", [False, True], ids=["plain", "signal-storm"])
@pytest.mark.parametrize("kind", list(PLANS))
def test_writers_and_readers_in_many_processes(kind, storm, queue_name, start_child):
    writers, readers, count, args, (lo, hi) = PLANS[kind]
    count *= TRAFFIC_SCALE
    cls = KINDS[kind]
    q = cls(queue_name, *args)
    ledger = Ledger(readers)
    joined = q if kind == "spsc" else (cls, queue_name)  # SPSC: the one writer uses the creator's object
    wrap = (lambda f, *a: (_under_storm, f, *a)) if storm else (lambda f, *a: (f, *a))
    rs = [start_child(*wrap(read_traffic, (cls, queue_name), ledger, r)) for r in range(readers)]
    ws = [start_child(*wrap(write_traffic, joined, ledger, readers + w, w, count, lo, hi, kind == "mpmcvar"))
          for w in range(writers)]
    if storm:
        for child in rs + ws:
            child.wait_for("armed")
        signaller = start_child(_signaller, [c.pid for c in rs + ws])
    long_run, deadline = TRAFFIC_SCALE > 1, time.monotonic() + 60 * TRAFFIC_SCALE  # a short run cannot tell a
    while long_run and sum(ledger.moved[:readers]) < writers * count // 100 and time.monotonic() < deadline:
        time.sleep(0.01)  # leak from the allocator's noise; a long one measures once warm: every cell touched
    heap_warm = heap_kib(rs) if long_run else None
    results = [w.result(timeout=60 * TRAFFIC_SCALE) for w in ws]
    heap_end = heap_kib(rs) if long_run else None
    ledger.stop.value = 1
    results += [r.result(timeout=30) for r in rs]
    if storm:
        signaller.kill()
        # every process was hit while it worked; how often depends on the load of the machine
        assert min(handled for _, handled in results) >= 10, results
    for w in range(writers):
        ledger.assert_exactly_once(w, count)
    assert q.inspect()["findings"] == []
    if long_run:
        print(f"\n{kind}: {writers * count} messages, reader heap {heap_warm} KiB warm, {heap_end} KiB at the end")
        assert max(e - w for w, e in zip(heap_warm, heap_end)) <= HEAP_SLACK_KIB, (heap_warm, heap_end)
