"""What a run found: the measured rows, the failures of our own systems
(which fail the run), the peers left out after they failed (which do not),
and notes for the reader."""
import statistics
import sys

from .systems import is_ours


class Results:
    def __init__(self):
        self.rows = []
        self.notes = []
        self.failed = []    # our systems that failed: "what: error"
        self.skipped = []   # peers left out: "what: error"

    def note(self, text):
        if text not in self.notes:
            self.notes.append(text)

    def failure(self, label, what, error):
        """A system failed in workload `what`; its figures there are left out."""
        line = f"{label}, {what}: {error}"
        if is_ours(label):
            print(f"  FAILED (ours): {line}", file=sys.stderr, flush=True)
            self.failed.append(line)
        else:
            print(f"  peer skipped: {line}", file=sys.stderr, flush=True)
            self.skipped.append(line)


def throughput_row(section, system, writers, readers, payload, messages, rates, workload=None):
    rate = statistics.median(rates)
    return {
        "kind": "result", "section": section, "system": system, "writers": writers, "readers": readers,
        "payload": payload, "messages": messages, "runs": len(rates), "msgs_per_s": rate,
        "gb_per_s": rate * payload / 1e9, "msgs_per_s_runs": rates, "workload": workload,
    }


def latency_row(section, system, payload, round_trips, runs):
    """`runs`: (p50, p99) pairs in ns, one per run; reported as medians."""
    return {"kind": "latency", "section": section, "system": system, "payload": payload,
            "round_trips": round_trips, "runs": len(runs), "p50_ns": statistics.median(r[0] for r in runs),
            "p99_ns": statistics.median(r[1] for r in runs)}
