"""The goals, as data: each target is a ratio of one of our rows to a peer's
row (or to a limit) from the same run, with the bound it must meet. To add
or change a goal, edit TARGETS; nothing else decides what is checked."""
from dataclasses import dataclass
from typing import NamedTuple, Optional

from .workloads import MIB, workload_label


class Pick(NamedTuple):
    """A row of the run: its section and system, and its workload (Python)
    or payload (C++) where a section holds several."""
    section: str
    system: str
    payload: Optional[int] = None
    workload: Optional[str] = None

    def find(self, rows):
        for r in rows:
            if r.get("section") == self.section and r.get("system") == self.system and \
                    (self.payload is None or r.get("payload") == self.payload) and \
                    (self.workload is None or r.get("workload") == self.workload):
                return r
        return None


@dataclass(frozen=True)
class Target:
    text: str
    ours: Pick
    peer: Pick
    goal: float
    at_least: bool = True       # ours ÷ peer ≥ goal; False: ≤ goal (a latency)
    figure: str = "msgs_per_s"  # the row field compared
    if_measured: bool = False   # left out, not "not measured", when the peer row is absent


_PY64, _PY1M = workload_label("bytes", 64), workload_label("bytes", MIB)
_SPSC64 = Pick("py-pair", "Python SPSCQueue", workload=_PY64)
_VAR1M = Pick("py-pair", "Python MPMCVarQueue", workload=_PY1M)
_CPP64 = Pick("cpp-pair", "C++ SPSCQueueCPP", payload=64)
_MEMCPY1M = Pick("memcpy", "memcpy (1 core, cached)", payload=MIB)
_CPP_RTT = Pick("cpp-latency", "C++ SPSCQueueCPP")
_PY_RTT = Pick("py-latency", "Python SPSCQueue")
_SEM = Pick("cpp-latency", "C++ bare semaphores, sem_wait only")
_SEM_POLL = Pick("cpp-latency", "C++ bare semaphores, poll then sem_wait")

TARGETS = [
    Target("Python SPSCQueue 64 B ÷ multiprocessing.Queue", _SPSC64,
           Pick("py-pair", "multiprocessing.Queue", workload=_PY64), 10),
    Target("Python SPSCQueue 64 B ÷ faster_fifo", _SPSC64, Pick("py-pair", "faster_fifo.Queue", workload=_PY64), 3),
    Target("Python SPSCQueue 64 B ÷ pyzmq", _SPSC64, Pick("py-pair", "pyzmq PUSH/PULL ipc://", workload=_PY64), 2),
    Target("C++ SPSCQueueCPP 64 B ÷ bare ring protocol (polling too)", _CPP64,
           Pick("cpp-pair", "C++ bare ring, poll then sem_wait", payload=64), 0.9),
    Target("C++ SPSCQueueCPP 64 B ÷ pipe", _CPP64, Pick("cpp-pair", "C++ pipe", payload=64), 1.5),
    Target("C++ SPSCQueueCPP 64 B ÷ boost message_queue", _CPP64,
           Pick("cpp-pair", "C++ boost message_queue", payload=64), 5),
    Target("Python MPMCVarQueue 1 MiB ÷ single-core memcpy 1 MiB (bandwidth)", _VAR1M, _MEMCPY1M, 0.5,
           figure="gb_per_s"),
    Target("Python MPMCVarQueue 1 MiB ÷ multiprocessing.Queue", _VAR1M,
           Pick("py-pair", "multiprocessing.Queue", workload=_PY1M), 5),
    Target("C++ MPMCVarQueueCPP 1 MiB ÷ single-core memcpy 1 MiB (bandwidth)",
           Pick("cpp-pair", "C++ MPMCVarQueueCPP", payload=MIB), _MEMCPY1M, 0.5, figure="gb_per_s"),
    Target("C++ SPSCQueueCPP round trip p50 ÷ bare semaphore ping-pong", _CPP_RTT, _SEM, 1.1, at_least=False,
           figure="p50_ns"),
    Target("Python SPSCQueue round trip p50 ÷ bare semaphore ping-pong", _PY_RTT, _SEM, 2, at_least=False,
           figure="p50_ns"),
    Target("(like for like) C++ SPSCQueueCPP p50 ÷ bare semaphores polled before sem_wait", _CPP_RTT, _SEM_POLL,
           1.1, at_least=False, figure="p50_ns", if_measured=True),
    Target("(like for like) Python SPSCQueue p50 ÷ bare semaphores polled before sem_wait", _PY_RTT, _SEM_POLL, 2,
           at_least=False, figure="p50_ns", if_measured=True),
    Target("(protocol floor) C++ SPSCQueueCPP p50 ÷ bare ring protocol ping-pong", _CPP_RTT,
           Pick("cpp-latency", "C++ bare ring, poll then sem_wait"), 1.1, at_least=False, figure="p50_ns",
           if_measured=True),
]


def check(rows, targets=TARGETS):
    """[(target, measured, verdict)] for every target this run can speak to."""
    out = []
    for t in targets:
        ours, peer = t.ours.find(rows), t.peer.find(rows)
        if peer is None and t.if_measured:
            continue
        if ours is None or peer is None:
            out.append((t.text, "not measured", "-"))
            continue
        value = ours[t.figure] / peer[t.figure]
        met = value >= t.goal if t.at_least else value <= t.goal
        out.append((t.text, f"{value:.2f}x (goal {'≥' if t.at_least else '≤'} {t.goal}x)", "met" if met else "MISSED"))
    return out
