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


def parse(log):
    with open(log) as f:
        text = f.read()
    result = {}
    for label in SUMMARIES:
        found = re.search(rf"{label}: ([\d,]+) bytes in ([\d,]+) blocks", text)
        result[label] = tuple(int(g.replace(",", "")) for g in found.groups()) if found else (0, 0)
    # The log's entries (errors and loss records) are separated by blank lines.
    records = re.split(r"\n\s*\n", re.sub(r"^==\d+== ?", "", text, flags=re.M))
    ours = [r.strip() for r in records if any(mark in r for mark in OURS)]
    result["our_leaks"] = [r for r in ours if "lost in loss record" in r]
    result["our_errors"] = [r for r in ours if "lost in loss record" not in r and not r.startswith("HEAP SUMMARY")
                            and re.search("Invalid|uninitialised|Mismatched|overlap|free", r)]
    return result


def run(n, module_dir, log_dir):
    log = os.path.join(log_dir, f"memcheck_{n}.log")
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONPATH=os.path.abspath(module_dir))
    subprocess.run(["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                    "--num-callers=40", "--fullpath-after=", f"--log-file={log}", sys.executable,
                    os.path.join(HERE, "workload.py"), str(n)], env=env, check=True)
    print(f"memcheck log for {n} messages per class: {log}")
    return parse(log)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--module-dir", required=True)
    ap.add_argument("--log-dir", required=True)
    ap.add_argument("--counts", type=int, nargs=2, default=[20000, 200000])
    args = ap.parse_args()
    (n1, n2), fmt = args.counts, "{0[0]:,} B in {0[1]:,}".format
    runs = {n: run(n, args.module_dir, args.log_dir) for n in (n1, n2)}
    print(f"\n{'messages/class':>14} | {'definitely lost':>20} | {'indirectly lost':>20} | {'possibly lost':>24} |"
          f" {'heap in use at exit':>26} | leak records in our code | errors in our code")
    for n, r in runs.items():
        cells = " | ".join(f"{fmt(r[label]):>{width}}" for label, width in zip(SUMMARIES, (20, 20, 24, 26)))
        print(f"{n:>14} | {cells} | {len(r['our_leaks']):>24} | {len(r['our_errors']):>18}")
    a, b, more = runs[n1], runs[n2], (n2 - n1) * KINDS
    lost_growth = sum(b[k][0] - a[k][0] for k in ("definitely lost", "indirectly lost"))
    in_use_growth = b["in use at exit"][0] - a["in use at exit"][0]
    print(f"\ngrowth from {n1} to {n2} messages per class ({more:,} more messages moved):\n"
          f"  definitely + indirectly lost: {lost_growth:+,} bytes")
    print(f"  heap in use at exit:          {in_use_growth:+,} bytes ({in_use_growth / more:+.4f} bytes per message)")
    problems = [f"[{n} messages] {rec}" for n, r in runs.items() for rec in r["our_leaks"] + r["our_errors"]]
    if lost_growth > MAX_LOST_GROWTH:
        problems.append(f"lost bytes grow with the message count: {lost_growth:+,}")
    if in_use_growth > MAX_IN_USE_GROWTH:
        problems.append(f"heap in use at exit grows with the message count: {in_use_growth:+,}")
    print("".join(f"PROBLEM: {p}\n" for p in problems), end="")
    print(f"memcheck: {'FAIL' if problems else 'PASS'} (definite leaks in our code: "
          f"{sum(len(r['our_leaks']) for r in runs.values())}, growth per message: {in_use_growth / more:+.4f} B)")
    sys.exit(1 if problems else 0)
