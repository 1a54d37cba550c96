"""Soak through the Python module: per queue class a writer process and a Python
reader, every message checked, the reader's RSS sampled once warm and at the end.
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


def soak(cls, create_args, count, hi, slack_kib, lo=24):
    name = f"/mox_soak_py_{cls.__name__}_{os.getpid()}"
    creator = cls(name, *create_args)
    q = cls(name)  # the writer uses the creator's object, inherited through fork
    proc = multiprocessing.get_context("fork").Process(target=writer, args=(creator, count, lo, hi), daemon=True)
    t0 = time.monotonic()
    proc.start()
    seen = bytearray(count)
    delivered = duplicates = damaged = 0
    rss_start = rss_kib()
    for n in range(count):
        msg = q.read(QDataType.Bytes, 2000)
        if msg is None:
            break  # the rest is lost: the writer finished or hung
        length, _, seq, _ = HEAD.unpack_from(msg)
        if length != len(msg) or seq >= count or msg != message(seq, lo, hi):
            damaged += 1
        elif seen[seq]:
            duplicates += 1
        else:
            seen[seq] = 1
            delivered += 1
        if n + 1 == count // 100:  # warm: every cell touched
            rss_start = rss_kib()
    rss_end = rss_kib()
    seconds = time.monotonic() - t0
    proc.join(10)
    proc.kill()  # if it hangs
    proc.join()
    duplicates += q.read(QDataType.Bytes, 100) is not None
    del q, creator
    lost = count - delivered
    grew = rss_end > rss_start + slack_kib
    ok = lost == 0 and duplicates == 0 and damaged == 0 and not grew and proc.exitcode == 0
    print(f"{cls.__name__:<13} moved {delivered} of {count} in {seconds:.1f} s ({delivered / seconds:.0f} msg/s)")
    print(f"  lost {lost}, duplicated {duplicates}, damaged {damaged}")
    print(f"  Python reader RSS start {rss_start} KiB, end {rss_end} KiB{'  GREW' if grew else ''}")
    print(f"  {'ok' if ok else 'FAILED'}", flush=True)
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--messages", type=int, default=1_000_000)
    parser.add_argument("--rss-slack-kib", type=int, default=256)
    args = parser.parse_args()
    kinds = [(SPSCQueue, (64, 256, True), 256), (MPMCQueue, (64, 256), 256), (MPMCVarQueue, (8, 16, 64), 640)]
    results = [soak(cls, geometry, args.messages, hi, args.rss_slack_kib) for cls, geometry, hi in kinds]
    print(f"python soak {'passed' if all(results) else 'FAILED'}")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
