"""Who may touch a queue's objects, and what odd names do.

- Every object of every kind (segment and each semaphore) is created with
  mode 0600 whatever the umask, so group and others get no access.
- A process of another user cannot connect and gets the platform's
  "Permission denied"; it cannot open any of the semaphores either, and its
  refused attempt leaves the queue intact for the owner.
- Names the platform refuses (too long, an inner '/') fail with a clear
  IPCQueueError for create and connect of every kind, never a crash.
"""

import json
import os
import pwd
import shutil
import stat
import subprocess
import sys

import pytest
from conftest import existing_objects, remove_queue_objects, semaphore_path, shm_path

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, SPSCQueue

CHANNELS = 2
KINDS = {
    "SPSCQueue": (lambda name: SPSCQueue(name, 4, 64, True), ["_filled_", "_free_"]),
    "MPMCQueue": (lambda name: MPMCQueue(name, 4, 64), ["_filled_", "_free_", "_free_mutex_", "_filled_mutex_"]),
    "MPMCVarQueue": (
        lambda name: MPMCVarQueue(name, CHANNELS, 4, 64),
        ["_free_", "_used_", "_used_mutex_"]
        + [f"_{role}_channel_{c}" for c in range(CHANNELS) for role in ("free", "filled")],
    ),
}
CLASSES = {"SPSCQueue": SPSCQueue, "MPMCQueue": MPMCQueue, "MPMCVarQueue": MPMCVarQueue}


def expected_paths(name, kind):
    return sorted([shm_path(name)] + [semaphore_path(name, s) for s in KINDS[kind][1]])


# ------------------------------------------------------------------ modes ---


def _create_under_umask(kind, name, mask):
    os.umask(mask)
    q = KINDS[kind][0](name)  # noqa: F841 - the names live as long as the object
    return {p: (stat.S_IMODE(os.stat(p).st_mode), os.stat(p).st_uid) for p in existing_objects(name)}


@pytest.mark.parametrize("mask", [0o077, 0o000], ids=["umask077", "umask000"])
@pytest.mark.parametrize("kind", list(KINDS))
def test_every_object_is_owner_only(kind, mask, queue_name, run_in_child):
    # In a child: the umask is per process.
    modes = run_in_child(_create_under_umask, kind, queue_name, mask)
    assert sorted(modes) == expected_paths(queue_name, kind)
    assert {p: m for p, (m, _) in modes.items() if m != 0o600} == {}
    assert {uid for _, uid in modes.values()} == {os.geteuid()}


# ------------------------------------------------------------ other users ---

_PROBE = r"""
import ctypes, ctypes.util, json, sys
import mox_ipc_queue as m
name, cls, sems = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
out = {}
try:
    getattr(m, cls)(name)
    out["connect"] = "connected"
except m.IPCQueueError as e:
    out["connect"] = str(e)
libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
libc.sem_open.restype = ctypes.c_void_p
libc.sem_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
for s in sems:
    h = libc.sem_open((name + s).encode(), 0)
    out[s] = "opened" if h not in (None, ctypes.c_void_p(-1).value) else ctypes.get_errno()
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def other_user():
    """A throw-away system user, removed again after the module's tests."""
    if os.geteuid() != 0:
        pytest.skip("creating another user needs root")
    for tool in ("useradd", "userdel", "setpriv"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed")
    user = f"moxq{os.getpid()}"
    subprocess.run(
        ["useradd", "--system", "--no-create-home", "--user-group", "--shell", "/usr/sbin/nologin", user],
        check=True,
        capture_output=True,
    )
    try:
        entry = pwd.getpwnam(user)
        yield entry.pw_uid, entry.pw_gid
    finally:
        subprocess.run(["userdel", user], capture_output=True)
        assert subprocess.run(["getent", "passwd", user], capture_output=True).returncode != 0, "user not removed"
        assert subprocess.run(["getent", "group", user], capture_output=True).returncode != 0, "group not removed"


def run_as(uid, gid, *args):
    cmd = ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "--", sys.executable, "-c", _PROBE, *args]
    env = {"PATH": os.environ["PATH"], "HOME": "/"}
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=30, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("kind", list(KINDS))
def test_another_user_is_refused_and_the_queue_stays_whole(kind, queue_name, other_user, run_in_child):
    create, sems = KINDS[kind]
    q = create(queue_name)
    q.write(b"for the owner")
    probe = run_as(*other_user, queue_name, kind, json.dumps(sems))
    assert probe.pop("connect").endswith(f" on queue '{queue_name}': Permission denied"), probe
    assert probe == {s: 13 for s in sems}  # EACCES for every semaphore
    # The refused attempt changed nothing: every name is there, the owner connects.
    assert sorted(existing_objects(queue_name)) == expected_paths(queue_name, kind)
    assert run_in_child(_connect_and_read, kind, queue_name) == b"for the owner"


def _connect_and_read(kind, name):
    return CLASSES[kind](name).read()


# ------------------------------------------------------------ odd names ---


def _attempt(kind, name, how):
    try:
        if how == "create":
            KINDS[kind][0](name)
        else:
            CLASSES[kind](name)
    except IPCQueueError as e:
        return "IPCQueueError", str(e)
    except BaseException as e:  # any other outcome is reported, not hidden
        return type(e).__name__, str(e)
    return "returned", None


@pytest.mark.parametrize("how", ["create", "connect"])
@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("shape", ["too long", "inner slash"])
def test_names_the_platform_refuses(kind, how, shape, queue_name, run_in_child):
    name = queue_name + "x" * (300 - len(queue_name)) if shape == "too long" else queue_name + "/inner"
    # A child: a crash there fails this test instead of ending the run.
    error, text = run_in_child(_attempt, kind, name, how)
    assert error == "IPCQueueError", text
    if shape == "too long" and how == "create":
        # Refused before anything is made: its semaphore names could not exist.
        assert text.endswith(f"create constructor: queue name too long on queue '{name}'"), text
    else:
        # glibc refuses both shapes with EINVAL, a too long name included.
        assert "unable to open shared memory" in text
        assert text.endswith(f" on queue '{name}': Invalid argument")
    assert existing_objects(name) == []


@pytest.mark.parametrize("kind", list(KINDS))
def test_name_whose_semaphore_names_are_too_long(kind, queue_name, run_in_child):
    # The segment name alone would fit (NAME_MAX 255), "sem." + name + suffix
    # would not: the create is refused before it makes anything.
    name = queue_name + "x" * (250 - len(queue_name))
    try:
        error, text = run_in_child(_attempt, kind, name, "create")
        assert error == "IPCQueueError", text
        assert text.endswith(f"create constructor: queue name too long on queue '{name}'"), text
        assert existing_objects(name) == []
    finally:
        remove_queue_objects(name)
