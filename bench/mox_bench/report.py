"""The report: the machine, a table per workload with ratios ours ÷ peer,
the targets, the peers skipped in this run; on the terminal and, with
--docs, as docs/benchmarks.md beside the plots."""
import os
import platform
import time

from . import plots
from . import workloads as wl
from .systems import PYTHON, VARIANTS, system
from .targets import check, paired_ratio
from .workloads import size_label

# Throughput sections, and the rows of ours each table gives a ratio column.
_CPP_PAIR_OURS = ("C++ SPSCQueueCPP", "C++ MPMCVarQueueCPP")
_CPP_FAN_OURS = ("C++ MPMCQueueCPP",)
_PY_PAIR_OURS = tuple(s.label for s in PYTHON.values() if s.ours)
_PY_FAN_OURS = ("Python MPMCQueue",)
_PY_BATCH_OURS = tuple(s.label for s in VARIANTS.values() if s.ours and s.mode == "batch")
_PY_ASYNC_OURS = tuple(s.label for s in VARIANTS.values() if s.ours and s.mode == "async")
# Round-trip sections: (section, title, the row of ours the ratios are against).
_LATENCY = (("cpp-latency", "C++ round trip (ping-pong)", "C++ SPSCQueueCPP"),
            ("py-latency", "Python round trip (ping-pong)", "Python SPSCQueue"))


def machine_info():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"kind": "machine", "cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "kernel": platform.release()}


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "unknown"


def fmt_rate(r):
    return f"{r:,.0f}"


def fmt_bw(gbps):
    return f"{gbps * 1000:,.1f}" if gbps < 1 else f"{gbps * 1000:,.0f}"


def fmt_ms(row, field):
    return f"{row[field]:,.2f}" if field in row else "-"


def fmt_ns(ns):
    return f"{ns / 1000:,.1f}" if ns >= 1000 else f"{ns / 1000:.2f}"


def table(header, lines, align_left=(0,)):
    widths = [max(len(str(x[i])) for x in lines + [header]) for i in range(len(header))]

    def fmt(cells):
        return "  ".join(str(c).ljust(w) if i in align_left else str(c).rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths)))
    out = [fmt(header), "  ".join("-" * w for w in widths)]
    out += [fmt(line) for line in lines]
    return "\n".join(out)


def md_table(header, lines):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in line) + " |" for line in lines]
    return "\n".join(out)


def blocks(rows):
    """[(title, header, lines)] for every throughput and latency workload."""
    out = []
    memcpy = {r["payload"]: r for r in rows if r.get("section") == "memcpy" and "dst = src" not in r["system"]}

    def throughput_block(title, members, ours_names):
        ours = [m for m in members if m["system"] in ours_names]
        header = ["system", "procs", "msgs/run", "messages/s", "MB/s"] + [f"{o['system']} ÷" for o in ours]
        lines = []
        for m in members:
            ratios = [f"{o['msgs_per_s'] / m['msgs_per_s']:.2f}x" for o in ours]
            lines.append([m["system"], f"{m['writers']}->{m['readers']}", str(m["messages"]),
                          fmt_rate(m["msgs_per_s"]), fmt_bw(m["gb_per_s"])] + ratios)
        limit = memcpy.get(members[0]["payload"]) if members else None
        if limit is not None:
            lines.append([limit["system"] + f" {size_label(limit['payload'])}", "1 core", str(limit["messages"]),
                          "", fmt_bw(limit["gb_per_s"])] +
                         [f"{o['gb_per_s'] / limit['gb_per_s']:.2f}x" for o in ours])
        return title, header, lines

    for size in sorted({r["payload"] for r in rows if r.get("section") == "cpp-pair"}):
        members = [r for r in rows if r.get("section") == "cpp-pair" and r["payload"] == size]
        out.append(throughput_block(f"C++, 1 writer -> 1 reader, {size_label(size)} messages", members,
                                    _CPP_PAIR_OURS))
    fan = [r for r in rows if r.get("section") == "cpp-fan"]
    if fan:
        out.append(throughput_block(f"C++, {fan[0]['writers']} writers -> {fan[0]['readers']} readers, "
                                    f"{size_label(fan[0]['payload'])} messages", fan, _CPP_FAN_OURS))
    seen = []
    for r in rows:
        if r.get("section") == "py-pair" and r["workload"] not in seen:
            seen.append(r["workload"])
    for w in seen:
        members = [r for r in rows if r.get("section") == "py-pair" and r["workload"] == w]
        out.append(throughput_block(f"Python, 1 writer -> 1 reader, {w}", members, _PY_PAIR_OURS))
    fan = [r for r in rows if r.get("section") == "py-fan"]
    if fan:
        out.append(throughput_block(f"Python, {fan[0]['writers']} writers -> {fan[0]['readers']} readers, "
                                    f"{fan[0]['workload']}", fan, _PY_FAN_OURS))
    for section, title, ours_name in _LATENCY:
        members = [r for r in rows if r.get("kind") == "latency" and r.get("section") == section]
        if not members:
            continue
        ours = [m for m in members if m["system"] == ours_name]
        header = ["system", "payload", "p50 µs", "p99 µs"] + [f"{o['system']} ÷ (p50)" for o in ours]
        lines = [[m["system"], size_label(m["payload"]), fmt_ns(m["p50_ns"]), fmt_ns(m["p99_ns"])] +
                 [f"{o['p50_ns'] / m['p50_ns']:.2f}x" for o in ours] for m in members]
        out.append((title + " — lower is better; a ratio below 1 means ours is faster", header, lines))
    out += api_blocks(rows, throughput_block)
    return out


def api_blocks(rows, throughput_block):
    """Blocks of the Python API beside its peers: batches, put/get against
    write/read, asyncio consumers."""
    out = []

    def section(name):
        members = [r for r in rows if r.get("section") == name]
        return {w: [r for r in members if r["workload"] == w] for w in dict.fromkeys(r["workload"] for r in members)}

    for w, members in section("py-batch").items():
        out.append(throughput_block(f"Python batches, 1 writer -> 1 reader, {w}, in lists of "
                                    f"{members[0].get('batch')}: put_many/get_many", members, _PY_BATCH_OURS))
    for w, members in section("py-conv").items():
        by_system = {r["system"]: r for r in members}
        lines = []
        for label, plain, put in wl.CONVENIENCE:
            a, b = by_system.get(system(plain).label), by_system.get(system(put).label)
            if a is None or b is None:
                continue
            ratio = paired_ratio(b, a)
            lines.append([label, fmt_rate(a["msgs_per_s"]), fmt_rate(b["msgs_per_s"]),
                          f"{b['msgs_per_s'] / a['msgs_per_s']:.2f}x", f"{ratio:.2f}x", f"{(1 - ratio) * 100:.1f}%"])
        if lines:
            out.append((f"Python put/get against write/read, 1 writer -> 1 reader, {w} (same class, same run; "
                        f"{members[0]['runs']} runs, each put/get run next to its write/read one)",
                        ["class", "write/read messages/s", "put/get messages/s", "ratio of the medians",
                         "put/get ÷ write/read, run by run", "cost of put/get"], lines))
    for w, members in section("py-async").items():
        ours = [m for m in members if m["system"] in _PY_ASYNC_OURS]
        header = ["system", "msgs/run", "messages/s", "MB/s", "loop stall ms, worst", "median run's worst",
                  "loop busy ms, worst"] + [f"{o['system']} ÷" for o in ours]
        lines = [[m["system"], str(m["messages"]), fmt_rate(m["msgs_per_s"]), fmt_bw(m["gb_per_s"]),
                  fmt_ms(m, "stall_ms"), fmt_ms(m, "stall_ms_median"), fmt_ms(m, "busy_ms")] +
                 [f"{o['msgs_per_s'] / m['msgs_per_s']:.2f}x" for o in ours] for m in members]
        out.append((f"Python asyncio consumer, 1 writer process -> 1 asyncio reader, {w}; loop stall: how much "
                    f"later than asked a {wl.TICK_S * 1e3:g} ms ticker coroutine woke, over all runs", header, lines))
    return out


class Context:
    """The facts of a run that every report states beside its figures."""

    def __init__(self, machine, args, load_before, load_after, elapsed):
        self.machine, self.args = machine, args
        self.load_before, self.load_after, self.elapsed = load_before, load_after, elapsed


def print_report(results, ctx):
    m, args, rows = ctx.machine, ctx.args, results.rows
    print()
    print(f"machine: {m['cpu']}, {m['cores']} cores; Linux {m['kernel']}; Python {m['python']}")
    print(f"load average before: {ctx.load_before}; after: {ctx.load_after}; total time {ctx.elapsed:.0f} s")
    print(f"every figure: median of {args.runs} runs ({args.fan_runs} for the 4 -> 4 Python runs, "
          f"{args.runs * wl.CONVENIENCE_RUNS} for put/get against write/read). "
          "MB/s = 10^6 payload bytes/s. Ratios: ours ÷ peer.")
    for title, header, lines in blocks(rows):
        print()
        print(title)
        print(table(header, lines))
    for r in rows:
        if r.get("kind") == "idle":
            print(f"\n{r['system']}: a reader waiting {r['wait_ms']} ms for a message used {r['cpu_us']:.0f} µs of CPU")
    print("\nTargets (from this run)")
    print(table(["target", "measured", ""], [list(t) for t in check(rows)]))
    if results.skipped:
        print("\nPeers skipped in this run (left out of the tables above; the run went on)")
        for line in results.skipped:
            print(f"  {line}")
    if results.failed:
        print("\nFAILED: our own systems")
        for line in results.failed:
            print(f"  {line}")
    for note in results.notes:
        print(f"note: {note}")


_HOW_DRIVEN = [
    "- Throughput, 1 -> 1: the writer is the parent process, the reader a child; the reader times from a "
    "start marker (the first message) to the last message. Python readers are started with "
    "multiprocessing's spawn method; C++ readers are forked.",
    "- Python workloads: `int` writes a Python int (8 bytes on the wire; mox_ipc_queue reads it back with "
    "QDataType.Int, pyzmq and posix_ipc pack it with int.to_bytes, the multiprocessing queues and "
    "faster_fifo pickle it); `bytes` writes a bytes object; `float64 array` writes a 1-D numpy.float64 "
    "array (mox_ipc_queue returns an array that owns its data; pyzmq's reader wraps the received bytes "
    "with numpy.frombuffer; the others pickle it).",
    "- Queue sizes: fixed-cell queues have 1024 cells up to 4 KiB, else 2 MiB worth (at least 8); the "
    "peers that take a bound get the same number of messages. MPMCVarQueue: 4 channels of 64 cells "
    "of 16 KiB. faster_fifo: a buffer of that many messages (at least 1 MB). pyzmq: high-water marks of "
    "that many messages on both sockets. posix_ipc: the kernel's msg_max messages.",
    "- faster_fifo is driven with put/get, one message per call, like every other system (except in the "
    "batch table).",
    "- 4 -> 4: four writer processes share the messages, four reader processes take them; timed from the "
    "release of the writers to the last message any reader takes. pyzmq: every reader binds a PULL "
    "socket; every writer has a PUSH socket connected to each reader and sends to them in turn, so "
    "each reader knows its count (a stop mark could overtake data, as PULL fair-queues its peers).",
    "- Round trips: the parent sends a 64-byte message, a child echoes it back through a second "
    "channel, the parent times each round trip; p50 and p99 over the run, medians over runs. The limit "
    "is two bare named semaphores posted and waited on with no payload.",
    "- C++ peers: the bare ring protocol is the same ring of cells and the same two named semaphores as "
    "SPSCQueueCPP with every check left out (bench/bare_ring.h); a pipe carries records of an 8-byte "
    "length plus the payload, one write() and one read of a whole record each; Boost's "
    "message_queue is bounded like the queue.",
    "- memcpy: one core copying between two fixed, page-aligned buffers (1 MiB: the 1 MiB rows' limit).",
    "- Waiting: a queue wait first tries the semaphore, then (for cells of up to 4 KiB) polls it for up "
    "to 10 µs, adapting per thread, and only then blocks in sem_wait. The bare ring and the bare "
    "semaphores are shown both ways: polling for a fixed 10 µs first, and sem_wait only. On this virtual "
    "machine a wake-up from a blocking wait costs about 25 µs when the other CPU is idle, which is why "
    "every blocking round trip is slow here.",
    "- Failures: every C++ measurement runs in a child of its own; the Python ones run in a helper "
    "process that is killed, with every process it started, when a measurement outlives its limit. A "
    "peer that fails or hangs is reported above under \"Failures and skipped peers\" and left out, and "
    "the run goes on; only a failure of one of ours, or a missed target, fails the run.",
    f"- Batches: the writer puts lists of {wl.BATCH} 64-byte messages with put_many, the reader takes up to "
    f"{wl.BATCH} at a time with get_many, until it has them all: MPMCQueue against faster_fifo.Queue (set up "
    "as above).",
    "- put/get against write/read: the same 1 -> 1 run of 64-byte messages through each class, once with "
    "write/read and once with put/get on both ends, the two runs next to each other (in turn, which goes first); "
    "put/get ÷ write/read is the median of the ratios run by run, and the cost is 1 minus it. These get "
    f"{wl.CONVENIENCE_RUNS} times the runs of the others: single runs spread by more than the 15% bound.",
    "- asyncio: the writer process puts (pyzmq: a PUSH socket sends), the reader is an asyncio program "
    "awaiting each message: ours with get_async (MPMCQueue for 64 B; for 1 MiB MPMCVarQueue, the class "
    "for large messages, geometry as above); pyzmq with a zmq.asyncio PULL socket; multiprocessing.Queue "
    "through a thread that takes each message and hands it to the loop with call_soon_threadsafe into an "
    "asyncio.Queue. Beside them the same writer with a plain get() loop and no event loop. A ticker "
    "coroutine sleeps 1 ms again and again in the reader's loop; how much later than that it wakes, at "
    f"worst while messages flow, is the loop's stall ({wl.ASYNC_STALL_COUNT:,} messages at 64 B, also in a "
    "--quick run). "
    "It includes the time the reader's process was not scheduled, which a loaded machine adds to every "
    "system alike. \"Loop busy\" is the most CPU time the loop's thread used between two wake-ups of the "
    "ticker: the part of a stall the reader's own work makes, which a quiet machine would not take away.",
    "- Heap allocations on the fixed-cell C++ paths are not measured here: "
    "tests/cpp/test_no_heap_allocation.cpp asserts there are none.",
    "",
]


def write_docs(results, ctx, command):
    args, m, rows = ctx.args, ctx.machine, results.rows
    os.makedirs(args.docs, exist_ok=True)
    made = plots.write_plots(rows, args.docs)
    lines = ["# Benchmarks", "",
             "Every workload runs through mox_ipc_queue and, in the same run, through what a user would pick "
             "instead. Each figure is the median of several runs; ratios are ours ÷ peer (for throughput, above 1 "
             "means ours is faster; for latency, below 1 means ours is faster). This page and its plots are "
             "written by the command below; nothing in it is typed in by hand. bench/README.md says what each "
             "program and workload measures.", "",
             "```", command, "```", "",
             f"- Machine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}, Python {m['python']}",
             f"- Load average (1, 5, 15 min) before the run: {ctx.load_before}; after: {ctx.load_after}",
             f"- Runs per figure: {args.runs} ({args.fan_runs} for the 4 -> 4 Python runs, "
             f"{args.runs * wl.CONVENIENCE_RUNS} for put/get against write/read); total time "
             f"{ctx.elapsed:.0f} s",
             f"- Date: {time.strftime('%Y-%m-%d %H:%M %Z')}", ""]
    for name, caption in made:
        lines += [f"![{caption}]({name})", ""]
    lines += ["## Targets", "", md_table(["target", "measured", ""], [list(t) for t in check(rows)]), ""]
    if results.skipped or results.failed:
        lines += ["## Failures and skipped peers", ""]
        lines += [f"- Peer skipped: {line}" for line in results.skipped]
        lines += [f"- FAILED (ours): {line}" for line in results.failed]
        lines += ["", "A skipped peer is left out of the tables below and the run went on.", ""]
    for title, header, body in blocks(rows):
        lines += [f"## {title}", "", md_table(header, body), ""]
    idle = [r for r in rows if r.get("kind") == "idle"]
    if idle:
        lines += ["## Idle cost", ""]
        for r in idle:
            lines += [f"- {r['system']}: a reader that waits {r['wait_ms']} ms for a late message uses "
                      f"{r['cpu_us']:.0f} µs of CPU in that time.", ""]
    lines += ["## How each system is driven", ""] + _HOW_DRIVEN
    for note in results.notes:
        lines += [f"Note: {note}", ""]
    path = os.path.join(args.docs, "benchmarks.md")
    with open(path, "w") as f:
        f.write("\n".join(lines))
    print(f"\nwrote {path}" + "".join(f", {os.path.join(args.docs, n)}" for n, _ in made))
