"""Runs every ```python block of README.md and docs/api.md, each in a fresh interpreter (a file, so that
multiprocessing's spawn can import it); every block must exit 0 within BLOCK_TIMEOUT seconds.

Groups: blocks preceded by `<!-- run: GROUP ROLE -->` are the roles of one program (a writer and a reader, say),
run as separate processes at once. A marked group promises any start order, so it runs once per order: each
role starts 0.5 s after the one before (or once that one has exited, if sooner). Unmarked blocks run alone.

Names: the docs use readable queue names ("/jobs"). Every quoted string literal of the form "/word" (or
'/word') in a block is rewritten to "<unique>_word", <unique> coming from the make_queue_name fixture, so runs
never meet. A block must leave none of its names behind; the test removes them (mox_ipc_queue.remove) after
each start order, the fixture whatever is left at the end."""

import contextlib
import itertools
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import mox_ipc_queue
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ("README.md", "docs/api.md")
BLOCK_TIMEOUT = 20.0
START_GAP = 0.5
MARK = re.compile(r"<!--\s*run:\s*(\S+)\s+(\S+)\s*-->")
NAME = re.compile(r"""(["'])/([A-Za-z]\w*)\1""")


def blocks(doc):
    """(line, group or None, role, source) of each python block of `doc`."""
    lines = (ROOT / doc).read_text().splitlines()
    found, mark = [], None
    for i, line in enumerate(lines):
        if line.startswith("```python"):
            end = next(j for j in range(i + 1, len(lines)) if lines[j].startswith("```"))
            group, role = mark.groups() if mark else (None, f"line{i + 1}")
            found.append((i + 1, group, role, "\n".join(lines[i + 1:end]) + "\n"))
        if line.strip():
            mark = MARK.search(line)  # a mark applies to the block right after it
    return found


def cases():
    for doc in DOCS:
        groups = {}
        for line, group, role, source in blocks(doc):
            if group is None:
                yield pytest.param({role: source}, [(role,)], id=f"{doc}:{line}")
            else:
                groups.setdefault(group, {})[role] = source
        for group, roles in groups.items():
            yield pytest.param(roles, list(itertools.permutations(roles)), id=f"{doc}:{group}")


def test_doc_blocks_are_found():
    found = {doc: blocks(doc) for doc in DOCS}
    assert all(found.values()), found
    assert any(group for _, group, _, _ in found["README.md"]), "the README quick start is not marked"


@pytest.mark.parametrize("roles, orders", list(cases()))
def test_doc_block_runs(roles, orders, make_queue_name, tmp_path):
    unique = make_queue_name()
    used = {f"{unique}_{m.group(2)}" for source in roles.values() for m in NAME.finditer(source)}
    for role, source in roles.items():
        (tmp_path / f"{role}.py").write_text(NAME.sub(rf"\g<1>{unique}_\g<2>\g<1>", source))
    running = []
    try:
        for order in orders:
            for role in order:
                if running:  # the one started before runs on its own first
                    with contextlib.suppress(subprocess.TimeoutExpired):
                        running[-1][1].wait(START_GAP)
                running.append((role, subprocess.Popen(
                    [sys.executable, f"{role}.py"], cwd=tmp_path,
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True)))
            deadline = time.monotonic() + BLOCK_TIMEOUT
            for role, process in running:
                try:
                    output = process.communicate(timeout=max(0.1, deadline - time.monotonic()))[0]
                except subprocess.TimeoutExpired:
                    pytest.fail(f"{role} (start order {order}) still running after {BLOCK_TIMEOUT} s")
                assert process.returncode == 0, f"{role} (start order {order}) exited {process.returncode}:\n{output}"
            running.clear()
            left = [name for name in used if mox_ipc_queue.remove(name)]  # the next order starts from nothing
            assert not left, f"start order {order} left queue names behind: {left}"
    finally:
        for _, process in running:  # with the children a block started
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
