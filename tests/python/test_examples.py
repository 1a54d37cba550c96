"""The examples run as a user runs them, ours and their multiprocessing.Queue counterparts alike: each in its own
process tree, on the queue name of this test, checked by its output and exit code, leaving nothing behind in
/dev/shm. (ctest runs the C++ one.)"""

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from helpers import remove_objects

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXAMPLE_TIMEOUT = 25.0  # below the per-test watchdog: a hung example is killed
TOTAL = re.escape(f"{sum(i * 0.5 for i in range(300)):.1f}")  # each of the readings 0.0, 0.5, ... once
CLIENT_DONE = "client: 100 requests, 0 wrong answers"
# Each example, its arguments ({name}: this test's queue name; the others take it from MOX_EXAMPLE_NAME), and
# what its output must contain (regular expressions; its processes share stdout).
RUNS = {
    "producer_consumer.py": (["--name", "{name}", "--count", "300"], [
        f"producer: sent 300 readings, total {TOTAL}", f"consumer: received 300 readings, total {TOTAL}"]),
    "worker_pool.py": (["{name}"], ["^worker_pool: 200 of 200 jobs answered by 3 workers, all right$"]),
    "stream_arrays.py": (["{name}"], ["^stream_arrays: 20 arrays of 1 MiB sent, all equal$"]),
    # Unless told --serve, the client stops the service with SIGTERM when it is done.
    "asyncio_service.py": ([], [f"^{CLIENT_DONE}$", "^service: stopped after 100 answers; client ok$"]),
}
REFERENCES = [f"with_multiprocessing/{s}" for s in RUNS if s != "producer_consumer.py"]


def start(script, name, *args):
    return subprocess.Popen([sys.executable, str(EXAMPLES / script), *(a.format(name=name) for a in args)],
                            env={**os.environ, "MOX_EXAMPLE_NAME": name}, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(example):  # (exit code, stdout, stderr); an example still running at the limit is killed
    try:
        out, err = example.communicate(timeout=EXAMPLE_TIMEOUT)
    finally:
        example.kill()
        example.wait()
    return example.returncode, out, err


def removed_leftovers(example, name):
    """Removes and returns what is in /dev/shm under `name` or, should the example ignore it, its default name."""
    stems = "|".join(re.escape(n.lstrip("/")) for n in (name, f"/mox_example_{example.pid}"))
    return remove_objects(rf"({stems})(_.*)?\Z")


@pytest.mark.parametrize("script", list(RUNS) + REFERENCES)
def test_example_runs_to_its_result(script, queue_name):
    args, lines = RUNS[Path(script).name]
    example = start(script, queue_name, *args)
    code, out, err = finish(example)
    missing = [p for p in lines if not re.search(p, out, flags=re.M)]
    assert (code, missing, removed_leftovers(example, queue_name)) == (0, [], []), f"{out}\n{err}"


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("script", ["asyncio_service.py", "with_multiprocessing/asyncio_service.py"])
def test_asyncio_service_stops_cleanly_on_a_signal(script, sig, queue_name):
    service = start(script, queue_name, "--serve")
    try:
        line = service.stdout.readline()  # the client is done; bounded by the test watchdog
        assert line == CLIENT_DONE + "\n", line + service.stderr.read()
        service.send_signal(sig)  # to the service alone, as a process manager sends it
    finally:
        code, out, err = finish(service)
    assert (code, out, removed_leftovers(service, queue_name)) == (
        0, "service: stopped after 100 answers; client ok\n", []), f"after {sig.name}:\n{err}"
