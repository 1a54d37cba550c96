"""Who may touch a queue's objects, and what odd names do: another user is refused ("Permission
denied") the queue and each of its objects, which stay whole; names the platform refuses fail with
a clear IPCQueueError and leave nothing. (0600 under any umask: tests/cpp/test_queue_lifecycle.cpp.)"""

import os
import pwd
import shutil
import subprocess
import sys

import pytest
from conftest import existing_objects, remove_queue_objects

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, SPSCQueue

KINDS = {SPSCQueue: (4, 64, True), MPMCQueue: (4, 64), MPMCVarQueue: (2, 4, 64)}

# As another user: connect, then open each path as sem_open and shm_open do (O_RDWR).
_PROBE = r"""
import os, sys, mox_ipc_queue as m
try:
    getattr(m, sys.argv[1])(sys.argv[2])
    print("connected")
except m.IPCQueueError as e:
    print(e)
for path in sys.argv[3:]:
    try:
        os.close(os.open(path, os.O_RDWR))
        print("opened")
    except OSError as e:
        print(e.errno)
"""


@pytest.fixture(scope="module")
def other_user():
    """A throw-away system user, removed again after the module's tests."""
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("useradd", "userdel", "setpriv")):
        pytest.skip("needs root, useradd, userdel and setpriv")
    user = f"moxq{os.getpid()}"
    subprocess.run(["useradd", "--system", "--no-create-home", "--user-group", "--shell", "/usr/sbin/nologin", user],
                   check=True, capture_output=True)
    try:
        entry = pwd.getpwnam(user)
        yield entry.pw_uid, entry.pw_gid
    finally:
        subprocess.run(["userdel", user], capture_output=True)
        for db in ("passwd", "group"):
            assert subprocess.run(["getent", db, user], capture_output=True).returncode != 0, f"{user} left in {db}"


@pytest.mark.parametrize("cls", list(KINDS), ids=lambda c: c.__name__)
def test_another_user_is_refused_and_the_queue_stays_whole(cls, queue_name, other_user, run_in_child):
    q = cls(queue_name, *KINDS[cls])
    q.write(b"for the owner")
    objects = existing_objects(queue_name)
    assert len(objects) == {SPSCQueue: 3, MPMCQueue: 5, MPMCVarQueue: 8}[cls]  # the segment and each semaphore
    cmd = ["setpriv", f"--reuid={other_user[0]}", f"--regid={other_user[1]}", "--clear-groups", "--",
           sys.executable, "-c", _PROBE, cls.__name__, queue_name, *objects]
    env = {"PATH": os.environ["PATH"], "HOME": "/"}
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=30, env=env)
    assert done.returncode == 0, done.stderr
    connect, *opened = done.stdout.splitlines()
    assert connect.endswith(f" on queue '{queue_name}': Permission denied"), connect
    assert opened == ["13"] * len(objects), opened  # EACCES for every object
    # The refused attempt changed nothing: every name is there, the owner connects.
    assert existing_objects(queue_name) == objects
    assert run_in_child(lambda: cls(queue_name).read()) == b"for the owner"


def _attempt(cls, name, how):
    try:
        cls(name, *KINDS[cls]) if how == "create" else cls(name)
    except BaseException as e:  # any outcome is reported, not hidden
        return isinstance(e, IPCQueueError), f"{type(e).__name__}: {e}"
    return False, "returned"


@pytest.mark.parametrize("cls", list(KINDS), ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "length, suffix, how, refusal",
    [(300, "", "create", "too long"), (300, "", "connect", "EINVAL"), (0, "/inner", "create", "EINVAL"),
     (0, "/inner", "connect", "EINVAL"),
     # The segment name alone fits NAME_MAX (255), "sem." + name + suffix does not.
     (250, "", "create", "too long")],
    ids=["too-long-create", "too-long-connect", "inner-slash-create", "inner-slash-connect", "sem-too-long-create"],
)
def test_names_the_platform_refuses(cls, length, suffix, how, refusal, queue_name, run_in_child):
    name = queue_name + "x" * (length - len(queue_name)) + suffix
    try:
        # A child: a crash there fails this test instead of ending the run.
        is_queue_error, text = run_in_child(_attempt, cls, name, how)
        assert is_queue_error, text
        if refusal == "too long":  # refused before anything is made
            assert text.endswith(f"create constructor: queue name too long on queue '{name}'"), text
        else:  # glibc refuses both shapes with EINVAL, a too long name included
            assert "unable to open shared memory" in text and text.endswith(f" on queue '{name}': Invalid argument")
        assert existing_objects(name) == []
    finally:
        remove_queue_objects(name)
