"""The PNG plots of docs/benchmarks.md: throughput against message size, and
round-trip latency. Ours are drawn bold. Nothing is plotted without
matplotlib."""
import os
import sys

from .systems import is_ours
from .workloads import MIB, size_label


def write_plots(rows, out_dir):
    """Writes the plots into out_dir; returns [(file name, caption)]."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib is not installed; no plots", file=sys.stderr)
        return []
    made = [_throughput(plt, rows, out_dir)]
    latency = _latency(plt, rows, out_dir)
    if latency:
        made.append(latency)
    return made


def _throughput(plt, rows, out_dir):
    """Throughput against message size, log-log, one line per system."""
    fig, axes = plt.subplots(1, 2, figsize=(13, 5.2), sharey=True)
    for ax, section, title in ((axes[0], "cpp-pair", "C++, 1 writer -> 1 reader"),
                               (axes[1], "py-pair", "Python, 1 writer -> 1 reader (bytes; 8 B: int)")):
        systems = []
        for r in rows:
            if r.get("section") == section and r["system"] not in systems:
                systems.append(r["system"])
        for system in systems:
            pts = sorted((r["payload"], r["gb_per_s"] * 1000) for r in rows
                         if r.get("section") == section and r["system"] == system
                         and not str(r.get("workload", "")).startswith("float64"))
            if not pts:
                continue
            ours = is_ours(system)
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", linewidth=2.6 if ours else 1.4,
                    linestyle="-" if ours else "--", label=system)
        copies = [r for r in rows if r.get("section") == "memcpy" and "dst = src" not in r["system"]
                  and r["payload"] <= MIB]
        for i, r in enumerate(sorted(copies, key=lambda r: r["payload"])):
            ax.axhline(r["gb_per_s"] * 1000, color="grey", linewidth=0.8, linestyle=":")
            ax.annotate(f"memcpy {size_label(r['payload'])}, 1 core", (8 * 4 ** i, r["gb_per_s"] * 1000),
                        fontsize=7, color="grey", va="bottom")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xlabel("message size (bytes)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.25)
        ax.legend(fontsize=7.5, loc="lower right")
    axes[0].set_ylabel("payload throughput (MB/s)")
    fig.suptitle("Throughput against message size (median of runs; higher is better)")
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "bench_throughput.png"), dpi=110)
    plt.close(fig)
    return "bench_throughput.png", "Throughput against message size"


def _latency(plt, rows, out_dir):
    """Round-trip latency bars, p50 and p99."""
    lat = [r for r in rows if r.get("kind") == "latency"]
    if not lat:
        return None
    fig, ax = plt.subplots(figsize=(13, 5.2))
    names = [r["system"] for r in lat]
    x = range(len(lat))
    ax.bar([i - 0.2 for i in x], [r["p50_ns"] / 1000 for r in lat], width=0.4, label="p50")
    ax.bar([i + 0.2 for i in x], [r["p99_ns"] / 1000 for r in lat], width=0.4, label="p99")
    ax.set_yscale("log")
    ax.set_ylabel("round trip (µs, log scale)")
    ax.set_xticks(list(x))
    ax.set_xticklabels(names, rotation=35, ha="right", fontsize=8)
    for label in ax.get_xticklabels():
        if is_ours(label.get_text()):
            label.set_fontweight("bold")
    split = sum(1 for r in lat if r.get("section") == "cpp-latency")
    if 0 < split < len(lat):
        ax.axvline(split - 0.5, color="grey", linewidth=0.8)
    ax.grid(True, axis="y", which="both", alpha=0.25)
    ax.legend()
    ax.set_title("Round trip by ping-pong, 64-byte messages: C++ left, Python right; ours in bold "
                 "(median of runs; lower is better)")
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "bench_latency.png"), dpi=110)
    plt.close(fig)
    return "bench_latency.png", "Round-trip latency, p50 and p99"
