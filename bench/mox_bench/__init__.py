"""The benchmark harness behind bench/run_bench.py, one module per job:

workloads   what is measured: message kinds, sizes, queue geometry and the
            message counts per system (data, not code)
systems     how each system is driven from Python: ours and every peer, as
            adapters; which labels are ours
python_runs one Python measurement (1 -> 1, 4 -> 4, ping-pong) and the
            interleaved runs of a workload
cpp_runs    the C++ programs in BUILD/bench, their command lines and rows
supervise   children: the helper process a measurement runs in, killed
            with everything it started if it hangs; names swept up after it
results     what a run found: rows, our failures, skipped peers, notes
targets     the goals, as a table of ratios
report      the terminal report and docs/benchmarks.md
plots       the PNG plots
"""
