#!/usr/bin/env python3
"""Mutation runs of the C++ tests: which test catches which fault of the core.

Each mutant (mutants.toml) is one small change a real bug would make to
queue/*.cpp or queue/*.h. For each, the tool applies it to a copy of the tree, builds the
C++ tests into the copy's own build directory, runs ctest with a per-test
timeout and records the tests that fail (a timeout counts as caught), then
restores the file. Each GoogleTest case is a ctest test of its own.

Every run goes in a private mount and PID namespace (unshare, as root) with a
/dev/shm of its own: a test killed on its timeout leaves no name in the real
/dev/shm and no process behind, and parallel runs of other trees never meet
ours.

    tests/mutation/mutate.py [--only ID,...] [--timeout S] [--jobs J] [--json OUT]
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import tomllib

ROOT = Path(__file__).resolve().parents[2]


MUTANTS_FILE = Path(__file__).with_name("mutants.toml")


@dataclass(frozen=True)
class Mutant:
    id: str
    file: str
    what: str
    edits: tuple  # (old, new) pairs; each old text must stand exactly once in the file


def load_mutants(path: Path = MUTANTS_FILE) -> list[Mutant]:
    return [Mutant(m["id"], m["file"], m["what"],
                   tuple((e["old"], e["new"]) for e in [m, *m.get("more", [])]))
            for m in tomllib.loads(path.read_text())["mutant"]]


def run(cmd, **kw):
    return subprocess.run(cmd, text=True, capture_output=True, **kw)


def isolated(cmd: list[str]) -> list[str]:
    """`cmd` as pid 1 of a new PID namespace with a private /dev/shm: when it
    ends, the kernel ends every process left in the namespace."""
    script = 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"'
    return ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc", "sh", "-c", script, "sh", *cmd]


class Tree:
    """A copy of the tree with its own build directory. Every test command runs
    through a launcher that kills it after `timeout` seconds and then ends
    itself by SIGKILL, which ctest reports as a killed test: a hang."""

    def __init__(self, source: Path, work: Path, venv_bin: Path, timeout: int, exclude: str, jobs: int):
        self.src, self.build = work / "src", work / "build"
        self.venv_bin, self.exclude, self.jobs = venv_bin, exclude, jobs
        self.env = dict(os.environ, PATH=f"{venv_bin}:{os.environ['PATH']}")
        if self.src.exists():
            shutil.rmtree(self.src)
        skip = shutil.ignore_patterns(".git", ".venv", "build", "build-*", "__pycache__", "*.so")
        # New mtimes: the build must not take a stale object for up to date.
        shutil.copytree(source, self.src, ignore=skip, symlinks=True, copy_function=shutil.copy)
        launcher = work / "launcher.sh"
        launcher.write_text(f'#!/bin/sh\ntimeout -s KILL {timeout} "$@"\nrc=$?\n'
                            '[ "$rc" -eq 137 ] && kill -KILL $$\nexit "$rc"\n')
        launcher.chmod(0o755)
        configure = [str(venv_bin / "cmake"), "-S", str(self.src), "-B", str(self.build), "-G", "Ninja",
                     "-DMOX_BUILD_PYTHON=OFF", "-DMOX_BUILD_BENCH=OFF", "-DCMAKE_BUILD_TYPE=Release",
                     f"-DCMAKE_TEST_LAUNCHER={launcher}"]
        r = run(configure, env=self.env)
        if r.returncode != 0:
            sys.exit(f"configure failed:\n{r.stdout}\n{r.stderr}")

    def compile(self) -> str:
        r = run([str(self.venv_bin / "cmake"), "--build", str(self.build)], env=self.env)
        return "" if r.returncode == 0 else (r.stdout + r.stderr)[-3000:]

    def test(self) -> dict[str, str]:
        """The failing tests, each with why: "failed" or "timeout"."""
        cmd = [str(self.venv_bin / "ctest"), "--test-dir", str(self.build), "--parallel", str(self.jobs)]
        if self.exclude:
            cmd += ["-E", self.exclude]
        r = run(isolated(cmd), env=self.env)
        failed = {}
        for name, why in re.findall(r"^\s*\d+ - (.+?) \(([^()]*)\)$", r.stdout, re.M):
            failed[name] = "timeout" if "Timeout" in why or "killed" in why.lower() else "failed"
        if "tests passed" not in r.stdout and not failed:
            failed["(ctest did not run)"] = (r.stdout + r.stderr)[-500:]
        return failed


def short(test: str) -> str:
    """ "test_queue_lifecycle:QueueLifecycle.X<mox::...::SPSCKind>" as "queue_lifecycle: X<SPSC>"."""
    test = re.sub(r"<mox::ipc_queue::\(anonymous namespace\)::(\w+?)Kind>", r"<\1>", test)
    program, _, case = test.partition(":")
    return program.removeprefix("test_") + (": " + case.split(".", 1)[-1] if case else "")


def table(runs: list[dict]) -> str:
    """A markdown table of one or more runs' results (--json files), one column per run."""
    head = "| mutant | change | " + " | ".join(r.get("label", "caught by") for r in runs) + " |"
    rows = [head, "|" + "---|" * (2 + len(runs))]
    for mid, m in runs[0]["mutants"].items():
        cells = []
        for r in runs:
            caught = r["mutants"].get(mid, {}).get("caught_by")
            if caught is None:
                cells.append("(not run)")
                continue
            names = sorted({short(t) + (" (hang)" if why == "timeout" else "") for t, why in caught.items()})
            cells.append("<br>".join(names) or "**not caught**")
        rows.append(f"| `{mid}` | {m['what']} | " + " | ".join(cells) + " |")
    return "\n".join(rows)


def apply(src: Path, m: Mutant) -> str | None:
    """Applies `m`; the file's text before, or None when the code it changes is not there."""
    path = src / m.file
    original = text = path.read_text()
    for old, new in m.edits:
        if text.count(old) != 1:
            return None
        text = text.replace(old, new)
    path.write_text(text)
    return original


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tree", type=Path, default=ROOT, help="the tree to copy (default: this one)")
    ap.add_argument("--work", type=Path, default=Path(tempfile.gettempdir()) / f"mox-mutation-{os.getpid()}",
                    help="copy and build directory (kept)")
    ap.add_argument("--only", default="", help="comma-separated mutant ids")
    ap.add_argument("--timeout", type=int, default=60, help="per-test timeout in seconds")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="tests run side by side (ctest --parallel)")
    ap.add_argument("--exclude", default="package_consumer|test_no_heap_allocation",
                    help="ctest -E regex of tests left out (default: the package install test, and the allocation "
                         "counter, which another file owns)")
    ap.add_argument("--json", type=Path, help="write the results here")
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--check", action="store_true", help="check that each mutant applies to this tree, and stop")
    ap.add_argument("--table", type=Path, nargs="+", metavar="JSON",
                    help="print the markdown table of earlier runs (--json files, a column each) and stop")
    ap.add_argument("--label", default="caught by", help="this run's column title in its --json file")
    args = ap.parse_args()
    if args.table:
        print(table([json.loads(p.read_text()) for p in args.table]))
        return 0

    mutants = [m for m in load_mutants() if not args.only or m.id in args.only.split(",")]
    if args.check:  # a mutant whose code changed would silently test nothing
        stale = [m.id for m in mutants if any((ROOT / m.file).read_text().count(old) != 1 for old, _ in m.edits)]
        print(f"mutants that no longer apply: {', '.join(stale)}" if stale else f"all {len(mutants)} mutants apply")
        return 1 if stale else 0
    if args.list:
        for m in mutants:
            print(f"{m.id:30} {m.file:28} {m.what}")
        return 0
    if os.geteuid() != 0:
        sys.exit("needs root: each run gets its own PID namespace and /dev/shm (unshare)")
    venv_bin = args.tree / ".venv" / "bin"
    if not (venv_bin / "ninja").exists():
        venv_bin = ROOT / ".venv" / "bin"
    tree = Tree(args.tree, args.work, venv_bin, args.timeout, args.exclude, args.jobs)
    print(f"tree {args.tree} copied to {tree.src}; per-test timeout {args.timeout} s", flush=True)

    if (err := tree.compile()):
        sys.exit(f"the unchanged tree does not build:\n{err}")
    t0 = time.time()
    baseline = tree.test()
    print(f"unchanged tree: {len(baseline)} failing ({time.time() - t0:.0f} s) {sorted(baseline)}", flush=True)

    results = {}
    for m in mutants:
        original = apply(tree.src, m)
        if original is None:
            results[m.id] = {"(does not apply: the code changed)": "skipped"}
            print(f"{m.id}: does not apply to this tree", flush=True)
            continue
        t0 = time.time()
        try:
            err = tree.compile()
            caught = {"(does not build)": err} if err else {k: v for k, v in tree.test().items() if k not in baseline}
        finally:
            (tree.src / m.file).write_text(original)
        results[m.id] = caught
        verdict = ", ".join(f"{k} ({v})" if v != "failed" else k for k, v in sorted(caught.items())) or "NOT CAUGHT"
        print(f"{m.id}: {verdict}  [{time.time() - t0:.0f} s]", flush=True)
    tree.compile()  # leave the copy built as it is

    invalid = [m.id for m in mutants if any(k.startswith("(") for k in results[m.id])]
    missed = [m.id for m in mutants if not results[m.id]]
    print(f"\n{len(mutants) - len(missed) - len(invalid)} of {len(mutants)} caught; not caught: "
          f"{', '.join(missed) or 'none'}; not applied or not built: {', '.join(invalid) or 'none'}")
    if args.json:
        args.json.write_text(json.dumps({"label": args.label, "baseline_failures": baseline, "mutants": {
            m.id: {"file": m.file, "what": m.what, "caught_by": results[m.id]} for m in mutants}}, indent=1))
    return 1 if missed or invalid else 0


if __name__ == "__main__":
    sys.exit(main())
