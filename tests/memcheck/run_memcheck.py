"""Runs workload.py under valgrind memcheck for two message counts and
compares them.

Fails when a leak record or a memcheck error has a frame in this project's
code (queue/, binding/, or the module itself), when definitely/indirectly
lost bytes grow with the number of messages, or when the heap in use at exit
grows by more than a bound that no per-message leak can stay under.

Usage: run_memcheck.py --module-dir DIR --log-dir DIR [--counts 20000 200000]
"""

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WORKLOAD = os.path.join(HERE, "workload.py")
KINDS = 3  # queue classes the workload drives, each with N messages

# A leak of one byte per message would add (N2 - N1) * KINDS bytes; the heap
# at exit may differ by a little for unrelated reasons (interned objects).
MAX_IN_USE_GROWTH = 64 * 1024
MAX_LOST_GROWTH = 1024

OUR_MARKERS = (
    os.path.join(ROOT, "queue") + os.sep,
    os.path.join(ROOT, "binding") + os.sep,
    "mox::ipc_queue::",
    "mox_ipc_queue.cpython",
)


def figure(text, label):
    m = re.search(rf"{label}: ([\d,]+) bytes in ([\d,]+) blocks", text)
    if not m:
        return 0, 0
    return int(m.group(1).replace(",", "")), int(m.group(2).replace(",", ""))


def records(text):
    """The log's entries (errors and loss records), each as its lines."""
    out, cur = [], []
    for line in text.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if body.strip() == "":
            if cur:
                out.append("\n".join(cur))
            cur = []
        else:
            cur.append(body)
    if cur:
        out.append("\n".join(cur))
    return out


def parse(log):
    with open(log) as f:
        text = f.read()
    result = {
        "definitely": figure(text, "definitely lost"),
        "indirectly": figure(text, "indirectly lost"),
        "possibly": figure(text, "possibly lost"),
        "in_use": figure(text, "in use at exit"),
    }
    ours = [r for r in records(text) if any(mark in r for mark in OUR_MARKERS)]
    result["our_leaks"] = [r for r in ours if "lost in loss record" in r]
    result["our_errors"] = [
        r for r in ours if "lost in loss record" not in r and not r.startswith(("HEAP SUMMARY", "LEAK SUMMARY"))
        and ("Invalid" in r or "uninitialised" in r or "Mismatched" in r or "overlap" in r or "free" in r)
    ]
    return result


def run(n, module_dir, log_dir):
    log = os.path.join(log_dir, f"memcheck_{n}.log")
    env = dict(os.environ, PYTHONMALLOC="malloc", PYTHONPATH=os.path.abspath(module_dir))
    cmd = [
        "valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
        "--num-callers=40", "--fullpath-after=", f"--log-file={log}", sys.executable, WORKLOAD, str(n),
    ]
    subprocess.run(cmd, env=env, check=True)
    return parse(log), log


def fmt(pair):
    return f"{pair[0]:,} B in {pair[1]:,}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--module-dir", required=True)
    ap.add_argument("--log-dir", required=True)
    ap.add_argument("--counts", type=int, nargs=2, default=[20000, 200000])
    args = ap.parse_args()
    n1, n2 = args.counts

    runs = {}
    for n in (n1, n2):
        runs[n], log = run(n, args.module_dir, args.log_dir)
        print(f"memcheck log for {n} messages per class: {log}")

    print()
    print(f"{'messages/class':>14} | {'definitely lost':>20} | {'indirectly lost':>20} | {'possibly lost':>24} |"
          f" {'heap in use at exit':>26} | leak records in our code | errors in our code")
    for n in (n1, n2):
        r = runs[n]
        print(f"{n:>14} | {fmt(r['definitely']):>20} | {fmt(r['indirectly']):>20} | {fmt(r['possibly']):>24} |"
              f" {fmt(r['in_use']):>26} | {len(r['our_leaks']):>24} | {len(r['our_errors']):>18}")

    a, b = runs[n1], runs[n2]
    more = (n2 - n1) * KINDS
    lost_growth = (b["definitely"][0] + b["indirectly"][0]) - (a["definitely"][0] + a["indirectly"][0])
    in_use_growth = b["in_use"][0] - a["in_use"][0]
    print()
    print(f"growth from {n1} to {n2} messages per class ({more:,} more messages moved):")
    print(f"  definitely + indirectly lost: {lost_growth:+,} bytes")
    print(f"  heap in use at exit:          {in_use_growth:+,} bytes ({in_use_growth / more:+.4f} bytes per message)")

    problems = []
    for n, r in runs.items():
        for rec in r["our_leaks"] + r["our_errors"]:
            problems.append(f"[{n} messages] {rec}")
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
