"""The goals, as data: each target is a ratio of one of our rows to a peer's
row (or to a limit) from the same run, or one figure of ours against an
absolute bound, with the bound it must meet. To add or change a goal, edit
TARGETS; nothing else decides what is checked."""
import statistics
from dataclasses import dataclass
from typing import NamedTuple, Optional

from .systems import system
from .workloads import CONVENIENCE, MIB, workload_label


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
    peer: Optional[Pick]        # None: ours[figure] itself is held to the goal, in `unit`
    goal: float
    at_least: bool = True       # ours ÷ peer ≥ goal; False: ≤ goal (a latency)
    figure: str = "msgs_per_s"  # the row field compared
    if_measured: bool = False   # left out, not "not measured", when the peer row is absent
    unit: str = "x"
    strict: bool = False        # < (or >) the goal, not ≤ (≥)
    # The median of the per-run ratios (the runs are interleaved, so run i of
    # both rows saw the same load), not the ratio of the medians.
    paired: bool = False


_PY64, _PY1M = workload_label("bytes", 64), workload_label("bytes", MIB)
_SPSC64 = Pick("py-pair", "Python SPSCQueue", workload=_PY64)
_VAR1M = Pick("py-pair", "Python MPMCVarQueue", workload=_PY1M)
_CPP64 = Pick("cpp-pair", "C++ SPSCQueueCPP", payload=64)
_MEMCPY1M = Pick("memcpy", "memcpy (1 core, cached)", payload=MIB)
_CPP_RTT = Pick("cpp-latency", "C++ SPSCQueueCPP")
_PY_RTT = Pick("py-latency", "Python SPSCQueue")
_SEM = Pick("cpp-latency", "C++ bare semaphores, sem_wait only")
_SEM_POLL = Pick("cpp-latency", "C++ bare semaphores, poll then sem_wait")


def _api(section, key, workload=_PY64):
    return Pick(section, system(key).label, workload=workload)


_ASYNC64 = _api("py-async", "mpmc-async")

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
    Target("C++ MPMCQueueCPP 1 -> 1 64 B ÷ the same recording no ownership, run by run (recording costs ≤ 10%)",
           Pick("cpp-pair", "C++ MPMCQueueCPP", payload=64),
           Pick("cpp-pair", "C++ MPMCQueueCPP, unrecorded", payload=64), 0.9, paired=True),
    Target("C++ MPMCQueueCPP 4 -> 4 64 B ÷ the same recording no ownership, run by run (recording costs ≤ 10%)",
           Pick("cpp-fan", "C++ MPMCQueueCPP"), Pick("cpp-fan", "C++ MPMCQueueCPP, unrecorded"), 0.9, paired=True),
    Target("Python MPMCQueue put_many/get_many 64 B ÷ faster_fifo put_many/get_many", _api("py-batch", "mpmc-many"),
           _api("py-batch", "ff-many"), 3),
    *[Target(f"{label} 64 B put/get ÷ write/read, run by run (the convenience costs ≤ 15%)",
             _api("py-conv", put), _api("py-conv", plain), 0.85, paired=True) for label, plain, put in CONVENIENCE],
    Target("Python MPMCQueue 64 B get_async ÷ get with no event loop, same writer, run by run", _ASYNC64,
           _api("py-async", "mpmc-get"), 0.5, paired=True),
    # Each run's worst stall over its 100,000 messages; the median of the runs, like every figure.
    Target("Python MPMCQueue get_async 64 B: worst event-loop stall of a run (median of runs)", _ASYNC64, None, 5,
           at_least=False, figure="stall_ms_median", unit="ms", strict=True),
]


def paired_ratio(ours, peer, figure="msgs_per_s"):
    """The median over runs of ours ÷ peer, run i against run i."""
    return statistics.median(o / p for o, p in zip(ours[figure + "_runs"], peer[figure + "_runs"]))


def _verdict(value, t):
    if t.strict:
        met, sign = (value > t.goal, ">") if t.at_least else (value < t.goal, "<")
    else:
        met, sign = (value >= t.goal, "≥") if t.at_least else (value <= t.goal, "≤")
    sep = "" if t.unit == "x" else " "
    return (f"{value:.2f}{sep}{t.unit} (goal {sign} {t.goal}{sep}{t.unit})",
            "met" if met else "MISSED")


def check(rows, targets=TARGETS):
    """[(target, measured, verdict)] for every target this run can speak to."""
    out = []
    for t in targets:
        ours = t.ours.find(rows)
        peer = None if t.peer is None else t.peer.find(rows)
        if t.peer is not None and peer is None and t.if_measured:
            continue
        if ours is None or t.figure not in ours or (t.peer is not None and peer is None):
            out.append((t.text, "not measured", "-"))
            continue
        if t.peer is None:
            value = ours[t.figure]
        elif t.paired:
            value = paired_ratio(ours, peer, t.figure)
        else:
            value = ours[t.figure] / peer[t.figure]
        out.append((t.text, *_verdict(value, t)))
    return out


def missed(rows, targets=TARGETS):
    """The texts of the targets this run missed."""
    return [text for text, _, verdict in check(rows, targets) if verdict == "MISSED"]
