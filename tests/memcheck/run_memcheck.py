"""Runs workload.py under valgrind memcheck for two message counts and compares them. Fails when a leak
record or a memcheck error has a frame in this project's code (queue/, binding/, the module), when
definitely/indirectly lost bytes grow with the message count, or when the heap in use at exit grows by
more than a bound that no per-message leak can stay under."""

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KINDS = 3  # queue classes the workload drives, each with N messages
# A leak of a byte per message adds (N2 - N1) * KINDS bytes; unrelated heap noise (interned objects) is small.
MAX_IN_USE_GROWTH = 64 * 1024
MAX_LOST_GROWTH = 1024
OURS = (os.path.join(ROOT, "queue", ""), os.path.join(ROOT, "binding", ""), "mox::ipc_queue::", "mox_ipc_queue.cpython")
SUMMARIES = ("definitely lost", "indirectly lost", "possibly lost", "in use at exit")


def run(n, module_dir, log_dir):
    """Valgrind's summaries for `n` messages per class, as (bytes, blocks), and its records in our code."""
    log = os.path.join(log_dir, f"memcheck_{n}.log")
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONPATH=os.path.abspath(module_dir))
    subprocess.run(["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                    "--num-callers=40", "--fullpath-after=", f"--log-file={log}", sys.executable,
                    os.path.join(HERE, "workload.py"), str(n)], env=env, check=True)
    with open(log) as f:
        text = f.read()
    result = {}
    for label in SUMMARIES:
        found = re.search(rf"{label}: ([\d,]+) bytes in ([\d,]+) blocks", text)
        result[label] = tuple(int(g.replace(",", "")) for g in found.groups()) if found else (0, 0)
    # The log's entries (errors and loss records) are separated by blank lines.
    records = re.split(r"\n\s*\n", re.sub(r"^==\d+== ?", "", text, flags=re.M))
    ours = [r.strip() for r in records if any(mark in r for mark in OURS)]
    result["ours"] = [r for r in ours if "lost in loss record" in r or (
        not r.startswith("HEAP SUMMARY") and re.search("Invalid|uninitialised|Mismatched|overlap|free", r))]
    summary = ", ".join(f"{label} {result[label][0]:,} B in {result[label][1]:,}" for label in SUMMARIES)
    print(f"{n:>9} messages per class ({log}): {summary}; records in our code: {len(result['ours'])}")
    return result


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--module-dir", required=True)
    ap.add_argument("--log-dir", required=True)
    ap.add_argument("--counts", type=int, nargs=2, default=[20000, 200000])
    args = ap.parse_args()
    (n1, n2), more = args.counts, (args.counts[1] - args.counts[0]) * KINDS
    a, b = (run(n, args.module_dir, args.log_dir) for n in (n1, n2))
    lost_growth = sum(b[k][0] - a[k][0] for k in ("definitely lost", "indirectly lost"))
    in_use_growth = b["in use at exit"][0] - a["in use at exit"][0]
    print(f"growth from {n1} to {n2} messages per class ({more:,} more moved): lost {lost_growth:+,} bytes,"
          f" heap in use at exit {in_use_growth:+,} bytes ({in_use_growth / more:+.4f} per message)")
    problems = [f"[{n} messages] {rec}" for n, r in ((n1, a), (n2, b)) for rec in r["ours"]]
    if lost_growth > MAX_LOST_GROWTH:
        problems.append(f"lost bytes grow with the message count: {lost_growth:+,}")
    if in_use_growth > MAX_IN_USE_GROWTH:
        problems.append(f"heap in use at exit grows with the message count: {in_use_growth:+,}")
    print("".join(f"PROBLEM: {p}\n" for p in problems) + f"memcheck: {'FAIL' if problems else 'PASS'}")
    sys.exit(1 if problems else 0)
