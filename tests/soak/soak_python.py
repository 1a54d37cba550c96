"""Soak through the Python module: a writer process and a Python reader per
queue kind, every message checked, the reader's RSS sampled once warm and at
the end.

Usage: soak_python.py [--messages N] [--rss-slack-kib K]
Exits 1 on any loss, duplicate, damaged message or RSS growth beyond the slack.
"""

import argparse
import multiprocessing
import os
import struct
import sys
import time
import zlib

from mox_ipc_queue import MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

HEAD = struct.Struct("<IIQI")  # length, crc of the body, sequence, pad
PATTERN = bytes(range(256)) * 8
READ_TIMEOUT_MS = 2000


def message(seq, lo, hi):
    length = lo + (seq * 2654435761) % (hi - lo + 1)
    start = (seq * 17) % 256
    body = PATTERN[start : start + length - HEAD.size]
    return HEAD.pack(length, zlib.crc32(body, seq & 0xFFFFFFFF), seq, 0) + body


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def writer(q, count, lo, hi):
    for seq in range(count):
        q.write(message(seq, lo, hi))


def soak(label, create, connect, count, lo, hi, slack_kib):
    name = f"/mox_soak_py_{label}_{os.getpid()}"
    creator = create(name)
    q = connect(name) if connect else creator
    ctx = multiprocessing.get_context("fork")
    # The writer uses the creator's object, inherited through fork.
    proc = ctx.Process(target=writer, args=(creator, count, lo, hi), daemon=True)
    t0 = time.monotonic()
    proc.start()
    seen = bytearray(count)
    delivered = duplicates = damaged = 0
    warm = count // 100
    rss_start = rss_kib()
    for n in range(count):
        msg = q.read(QDataType.Bytes, READ_TIMEOUT_MS)
        if msg is None:
            break  # lost messages: the writer finished or hung
        length, crc, seq, _ = HEAD.unpack_from(msg)
        if length != len(msg) or seq >= count or msg != message(seq, lo, hi):
            damaged += 1
        elif seen[seq]:
            duplicates += 1
        else:
            seen[seq] = 1
            delivered += 1
        if n + 1 == warm:
            rss_start = rss_kib()
    rss_end = rss_kib()
    seconds = time.monotonic() - t0
    proc.join(10)
    if proc.is_alive():
        proc.kill()
        proc.join()
    extra = q.read(QDataType.Bytes, 100)
    if extra is not None:
        duplicates += 1
    del q, creator
    lost = count - delivered
    grew = rss_end > rss_start + slack_kib
    ok = lost == 0 and duplicates == 0 and damaged == 0 and not grew and proc.exitcode == 0
    print(f"{label:<13} moved {delivered} of {count} in {seconds:.1f} s ({delivered / seconds:.0f} msg/s)")
    print(f"  lost {lost}, duplicated {duplicates}, damaged {damaged}")
    print(f"  Python reader RSS start {rss_start} KiB, end {rss_end} KiB{'  GREW' if grew else ''}")
    print(f"  {'ok' if ok else 'FAILED'}", flush=True)
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=1_000_000)
    parser.add_argument("--rss-slack-kib", type=int, default=256)
    args = parser.parse_args()
    kinds = [
        ("SPSCQueue", lambda n: SPSCQueue(n, 64, 256, True), SPSCQueue, 24, 256),
        ("MPMCQueue", lambda n: MPMCQueue(n, 64, 256), MPMCQueue, 24, 256),
        ("MPMCVarQueue", lambda n: MPMCVarQueue(n, 8, 16, 64), MPMCVarQueue, 24, 640),
    ]
    ok = True
    for label, create, connect, lo, hi in kinds:
        ok = soak(label, create, connect, args.messages, lo, hi, args.rss_slack_kib) and ok
    print(f"python soak {'passed' if ok else 'FAILED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
