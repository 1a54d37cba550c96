"""Soak through the Python module: per queue class a writer process and a Python reader, every message
checked, the reader's RSS sampled once warm and at the end. Exits 1 on any loss, duplicate, damaged message
or RSS growth beyond the slack."""

import argparse
import multiprocessing
import os
import sys
import time

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

PATTERN = bytes(range(256)) * 4


def message(seq, lo, hi):
    """seq in 8 bytes, then a pattern starting at seq % 256; the length follows from seq."""
    length = lo + (seq * 2654435761) % (hi - lo + 1)
    return (seq.to_bytes(8, "little") + PATTERN[seq % 256 :])[:length]


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def writer(q, count, lo, hi):
    for seq in range(count):
        q.write(message(seq, lo, hi))


def soak(cls, create_args, count, hi, slack_kib, lo=24):
    name = f"/mox_soak_py_{cls.__name__}_{os.getpid()}"
    creator = cls(name, *create_args)
    q = cls(name)  # the writer uses the creator's object, inherited through fork
    proc = multiprocessing.get_context("fork").Process(target=writer, args=(creator, count, lo, hi), daemon=True)
    t0 = time.monotonic()
    proc.start()
    seen, duplicates, damaged = bytearray(count), 0, 0
    rss_start = rss_kib()
    for n in range(count):
        msg = q.read(QDataType.Bytes, 2000)
        if msg is None:
            break  # the rest is lost: the writer finished or hung
        seq = int.from_bytes(msg[:8], "little")
        if seq >= count or msg != message(seq, lo, hi):
            damaged += 1
        else:
            duplicates += seen[seq]
            seen[seq] = 1
        if n + 1 == count // 100:  # warm: every cell touched
            rss_start = rss_kib()
    rss_end = rss_kib()
    seconds = time.monotonic() - t0
    proc.join(10)  # a writer still running then is hung: exitcode None; daemonic, it ends with this script
    duplicates += q.read(QDataType.Bytes, 100) is not None
    delivered = seen.count(1)
    grew = rss_end > rss_start + slack_kib
    ok = delivered == count and duplicates == 0 and damaged == 0 and not grew and proc.exitcode == 0
    print(f"{cls.__name__:<13} moved {delivered} of {count} in {seconds:.1f} s ({delivered / seconds:.0f} msg/s)")
    print(f"  lost {count - delivered}, duplicated {duplicates}, damaged {damaged}")
    print(f"  Python reader RSS start {rss_start} KiB, end {rss_end} KiB{'  GREW' if grew else ''}")
    print(f"  {'ok' if ok else 'FAILED'}", flush=True)
    return ok


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=1_000_000)
    parser.add_argument("--rss-slack-kib", type=int, default=256)
    args = parser.parse_args()
    kinds = [(SPSCQueue, (64, 256, True), 256), (MPMCQueue, (64, 256), 256), (MPMCVarQueue, (8, 16, 64), 640)]
    results = [soak(cls, geometry, args.messages, hi, args.rss_slack_kib) for cls, geometry, hi in kinds]
    print(f"python soak {'passed' if all(results) else 'FAILED'}")
    sys.exit(0 if all(results) else 1)
