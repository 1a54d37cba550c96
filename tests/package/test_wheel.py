"""The distribution files in dist/ as a user gets them.

The sdist holds the sources and no build output. The wheel, installed with
pip into a fresh virtual environment (numpy comes from the index as its
dependency), is used from a directory outside the source tree: the module
loads from that venv, the demo passes every value kind between two
processes, mox-ipcq runs, and mypy there finds the stubs.

Run by `make test-wheel` after `make wheel`; needs nothing from .venv.
"""
import argparse
import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SHM_DIR = Path("/dev/shm")
PIP_TIMEOUT = 600  # downloads numpy and mypy
RUN_TIMEOUT = 120  # the demo moves 200000 small messages; far below this
# Build output and caches: none of it belongs in an sdist.
JUNK_TOP = {".venv", "build", "dist", ".git", ".mypy_cache", ".pytest_cache"}
JUNK_ANYWHERE = {"__pycache__"}
JUNK_SUFFIXES = (".so", ".o", ".a", ".pyc", ".whl", ".tar.gz")
LEFT_OUT = (".ci/",)  # repository plumbing the sdist leaves out on purpose


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def one_file(dist, pattern):
    found = sorted(dist.glob(pattern))
    check(len(found) == 1, f"expected one {pattern} in {dist}, found {[p.name for p in found]}")
    return found[0]


def run(command, *, cwd, env, timeout=RUN_TIMEOUT):
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)
    check(done.returncode == 0, f"{' '.join(map(str, command))}: exit code {done.returncode}\n"
                                f"{done.stdout}\n{done.stderr}")
    return done.stdout


def older_file(path, when):
    """A file changed after the sdist was made may differ from it: only older ones must be there."""
    with contextlib.suppress(FileNotFoundError):  # removed meanwhile
        return path.is_file() and path.stat().st_mtime <= when
    return False


def check_sdist(sdist):
    with tarfile.open(sdist) as tar:
        members = [m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile() and "/" in m.name]
    junk = [m for m in members if m.split("/")[0] in JUNK_TOP or JUNK_ANYWHERE & set(m.split("/"))
            or m.endswith(JUNK_SUFFIXES)]
    check(junk == [], f"{sdist.name} holds build output or caches: {junk}")
    try:  # every source file, tracked or new, that git does not ignore
        listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-co", "--exclude-standard", "-z"],
                                capture_output=True, text=True, check=True).stdout.split("\0")
    except (OSError, subprocess.CalledProcessError):
        return "sdist: no junk (no git repository: completeness not checked)"
    made = sdist.stat().st_mtime
    sources = {f for f in listed if f and not f.startswith(LEFT_OUT) and older_file(ROOT / f, made)}
    missing = sorted(sources - set(members))
    check(missing == [], f"{sdist.name} lacks {missing}")
    return f"sdist: {len(members)} files, every source file, no junk"


def clean_env(venv):
    """The venv's python alone decides what is imported: no PYTHONPATH, no user site, no mypy path."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("PYTHON") and k not in ("MYPYPATH", "VIRTUAL_ENV", "MYPY_CACHE_DIR")}
    env.update(PYTHONNOUSERSITE="1", PATH=f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}")
    return env


def shm_objects(name):
    stem = name.lstrip("/")
    return sorted(p.name for p in SHM_DIR.iterdir() if p.name == stem or p.name.startswith(f"sem.{stem}_"))


def run_demo(python, work, env):
    """Runs the demo in its own process group; returns its stdout and queue name. Whatever it started is
    gone and its queue's names are removed when this returns, on failure too."""
    demo = subprocess.Popen([python, "demo.py"], cwd=work, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    name = f"/mox_demo_{demo.pid}"  # how the demo names its queue
    try:
        try:
            out, err = demo.communicate(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired as e:
            os.killpg(demo.pid, signal.SIGKILL)  # the leader is not reaped yet: the group is still ours
            out, err = demo.communicate()
            raise Failed(f"demo still running after {RUN_TIMEOUT} s\n{out}\n{err}") from e
        check(demo.returncode == 0, f"demo: exit code {demo.returncode}\n{out}\n{err}")
        left = shm_objects(name)
        check(left == [], f"demo left {left} in {SHM_DIR}")
        return out, name
    finally:
        # The group outlives its leader while the demo's reader or multiprocessing's resource tracker runs.
        with contextlib.suppress(ProcessLookupError):
            os.killpg(demo.pid, signal.SIGKILL)
        demo.wait()
        for entry in shm_objects(name):
            (SHM_DIR / entry).unlink(missing_ok=True)


def check_demo(python, work, env):
    # What the demo sends, from the demo itself, as the reader prints it back.
    sent = json.loads(run([python, "-c", "import json, demo; print(json.dumps({"
                           "'values': [[k.name, type(v).__name__, repr(v)] for v, k in demo.VALUES],"
                           "'burst': demo.BURST, 'size': len(demo.PAYLOAD)}))"], cwd=work, env=env))
    out, name = run_demo(python, work, env)
    check(re.search(rf"^created SPSCQueue '{re.escape(name)}'", out, re.M), f"no queue {name} created:\n{out}")
    got = [list(m) for m in re.findall(r"^ +reader got (\S+) +(\S+) +(.*)$", out, re.M)]
    check(got == sent["values"], f"the reader got\n{got}\nbut the demo sent\n{sent['values']}")
    burst = rf"^ +{sent['burst']} messages of {sent['size']} bytes: [\d,]+ messages/s$"
    check(re.search(burst, out, re.M), f"no burst line {burst!r}:\n{out}")
    return f"demo: {len(got)} value kinds and {sent['burst']} messages crossed"


def check_module(python, venv, work, env):
    where = run([python, "-c", "import mox_ipc_queue; print(mox_ipc_queue.__file__)"], cwd=work, env=env).strip()
    module = Path(where).resolve()
    check(module.is_relative_to(venv.resolve()), f"mox_ipc_queue loaded from {where}, outside {venv}")
    stub = (ROOT / "binding" / "mox_ipc_queue.pyi").read_bytes()
    for installed in (module.with_name("mox_ipc_queue.pyi"), module.with_name("mox_ipc_queue-stubs") / "__init__.pyi"):
        check(installed.is_file() and installed.read_bytes() == stub, f"{installed}: missing or not the stub")
    run([venv / "bin" / "mox-ipcq", "--help"], cwd=work, env=env)
    return f"module: from the venv ({module.name}), both stubs beside it, mox-ipcq runs"


def check_mypy(python, work, env):
    (work / "typed.py").write_text("import mox_ipc_queue\n\nreveal_type(mox_ipc_queue.MPMCQueue)\n")
    out = run([python, "-m", "mypy", "--strict", "--cache-dir", str(work / "mypy_cache"), "typed.py"],
              cwd=work, env=env)
    check(re.search(r'Revealed type is ".*-> mox_ipc_queue\.MPMCQueue', out), f"mypy found no stub:\n{out}")
    return "mypy: the stub package types mox_ipc_queue"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dist", type=Path, default=ROOT / "dist")
    dist = parser.parse_args().dist.resolve()
    # On SIGTERM too, the temporary venv and anything the demo started go away.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(f"{Path(__file__).name}: terminated"))
    passed, failed = [], []
    try:
        wheel, sdist = (one_file(dist, f"mox_ipc_queue-*.{suffix}") for suffix in ("whl", "tar.gz"))
        passed.append(check_sdist(sdist))
        with tempfile.TemporaryDirectory(prefix="mox_wheel_test_") as scratch:
            venv, work = Path(scratch, "venv"), Path(scratch, "work")
            work.mkdir()
            (work / "demo.py").write_bytes((ROOT / "examples" / "demo.py").read_bytes())
            subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=RUN_TIMEOUT)
            python, env = venv / "bin" / "python", clean_env(venv)
            run([python, "-m", "pip", "install", "-q", wheel, "mypy"], cwd=work, env=env, timeout=PIP_TIMEOUT)
            passed.append(f"installed {wheel.name}")
            passed.append(check_module(python, venv, work, env))
            passed.append(check_demo(python, work, env))
            passed.append(check_mypy(python, work, env))
    except (Failed, subprocess.TimeoutExpired) as failure:
        failed.append(f"FAILED: {failure}")
    print("\n".join(passed + failed))
    print(f"wheel: {len(passed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
