"""Runs workload.py under valgrind memcheck for two message counts and compares
them. Fails when a leak record or a memcheck error has a frame in this
project's code (queue/, binding/, the module), when definitely/indirectly lost
bytes grow with the message count, or when the heap in use at exit grows by
more than a bound that no per-message leak can stay under.
"""

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KINDS = 3  # queue classes the workload drives, each with N messages
# A leak of one byte per message adds (N2 - N1) * KINDS bytes; the heap at exit
# may differ by a little for unrelated reasons (interned objects).
MAX_IN_USE_GROWTH = 64 * 1024
MAX_LOST_GROWTH = 1024
OUR_MARKERS = (os.path.join(ROOT, "queue", ""), os.path.join(ROOT, "binding", ""), "mox::ipc_queue::",
               "mox_ipc_queue.cpython")
SUMMARIES = {"definitely": "definitely lost", "indirectly": "indirectly lost", "possibly": "possibly lost",
             "in_use": "in use at exit"}


def parse(log):
    with open(log) as f:
        text = f.read()
    result = {}
    for key, label in SUMMARIES.items():
        found = re.search(rf"{label}: ([\d,]+) bytes in ([\d,]+) blocks", text)
        result[key] = tuple(int(g.replace(",", "")) for g in found.groups()) if found else (0, 0)
    # The log's entries (errors and loss records) are separated by blank lines.
    body = re.sub(r"^==\d+== ?", "", text, flags=re.M)
    ours = [r.strip() for r in re.split(r"\n\s*\n", body) if any(mark in r for mark in OUR_MARKERS)]
    result["our_leaks"] = [r for r in ours if "lost in loss record" in r]
    result["our_errors"] = [
        r for r in ours if "lost in loss record" not in r and not r.startswith(("HEAP SUMMARY", "LEAK SUMMARY"))
        and any(word in r for word in ("Invalid", "uninitialised", "Mismatched", "overlap", "free"))
    ]
    return result


def run(n, module_dir, log_dir):
    log = os.path.join(log_dir, f"memcheck_{n}.log")
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONPATH=os.path.abspath(module_dir))
    subprocess.run(["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                    "--num-callers=40", "--fullpath-after=", f"--log-file={log}", sys.executable,
                    os.path.join(HERE, "workload.py"), str(n)], env=env, check=True)
    print(f"memcheck log for {n} messages per class: {log}")
    return parse(log)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--module-dir", required=True)
    ap.add_argument("--log-dir", required=True)
    ap.add_argument("--counts", type=int, nargs=2, default=[20000, 200000])
    args = ap.parse_args()
    n1, n2 = args.counts
    runs = {n: run(n, args.module_dir, args.log_dir) for n in (n1, n2)}

    fmt = "{0[0]:,} B in {0[1]:,}".format
    print(f"\n{'messages/class':>14} | {'definitely lost':>20} | {'indirectly lost':>20} | {'possibly lost':>24} |"
          f" {'heap in use at exit':>26} | leak records in our code | errors in our code")
    for n, r in runs.items():
        print(f"{n:>14} | {fmt(r['definitely']):>20} | {fmt(r['indirectly']):>20} | {fmt(r['possibly']):>24} |"
              f" {fmt(r['in_use']):>26} | {len(r['our_leaks']):>24} | {len(r['our_errors']):>18}")

    a, b = runs[n1], runs[n2]
    more = (n2 - n1) * KINDS
    lost_growth = sum(b[k][0] - a[k][0] for k in ("definitely", "indirectly"))
    in_use_growth = b["in_use"][0] - a["in_use"][0]
    print(f"\ngrowth from {n1} to {n2} messages per class ({more:,} more messages moved):")
    print(f"  definitely + indirectly lost: {lost_growth:+,} bytes")
    print(f"  heap in use at exit:          {in_use_growth:+,} bytes ({in_use_growth / more:+.4f} bytes per message)")

    problems = [f"[{n} messages] {rec}" for n, r in runs.items() for rec in r["our_leaks"] + r["our_errors"]]
    if lost_growth > MAX_LOST_GROWTH:
        problems.append(f"lost bytes grow with the message count: {lost_growth:+,}")
    if in_use_growth > MAX_IN_USE_GROWTH:
        problems.append(f"heap in use at exit grows with the message count: {in_use_growth:+,}")
    for p in problems:
        print("PROBLEM:", p)
    print(f"memcheck: {'FAIL' if problems else 'PASS'} (definite leaks in our code: "
          f"{sum(len(r['our_leaks']) for r in runs.values())}, growth per message: {in_use_growth / more:+.4f} B)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
