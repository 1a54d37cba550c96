"""A queue's names: unlink() and remove() take every name away while attached objects go on; another user
is refused ("Permission denied") the queue and each of its objects, which stay whole; a name glibc refuses
fails with a clear IPCQueueError and leaves nothing. (0600 under any umask, names too long, restarts under
the same name: test_queue_lifecycle.cpp.)"""

import os
import pwd
import shutil
import subprocess
import sys

import pytest
from helpers import existing_objects, shm_path

import mox_ipc_queue
from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

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
def other_user():  # a throw-away system user, removed again after the module's tests
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("useradd", "userdel", "setpriv")):
        pytest.skip("needs root, useradd, userdel and setpriv")
    user = f"moxq{os.getpid()}"
    subprocess.run(["useradd", "--system", "--no-create-home", "--user-group", "--shell", "/usr/sbin/nologin", user],
                   check=True, capture_output=True)
    try:
        yield pwd.getpwnam(user).pw_uid, pwd.getpwnam(user).pw_gid
    finally:
        subprocess.run(["userdel", user], check=True, capture_output=True)  # its user group goes along


@pytest.mark.parametrize("cls", list(KINDS), ids=lambda c: c.__name__)
def test_another_user_is_refused_and_the_queue_stays_whole(cls, queue_name, other_user, run_in_child):
    q = cls(queue_name, *KINDS[cls])
    q.write(b"for the owner")
    objects = existing_objects(queue_name)
    assert len(objects) == {SPSCQueue: 3, MPMCQueue: 5, MPMCVarQueue: 8}[cls]  # the segment and each semaphore
    cmd = ["setpriv", f"--reuid={other_user[0]}", f"--regid={other_user[1]}", "--clear-groups", "--",
           sys.executable, "-c", _PROBE, cls.__name__, queue_name, *objects]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=30, env=dict(PATH=os.environ["PATH"], HOME="/"))
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
@pytest.mark.parametrize("how", ["create", "connect"])
def test_a_name_with_an_inner_slash_is_refused(cls, how, queue_name, run_in_child):
    name = queue_name + "/inner"
    try:
        # A child: a crash there fails this test instead of ending the run.
        is_queue_error, text = run_in_child(_attempt, cls, name, how)
        assert is_queue_error and "unable to open shared memory" in text, text
        assert text.endswith(f" on queue '{name}': Invalid argument"), text
        assert existing_objects(name) == []
    finally:
        mox_ipc_queue.remove(name)


@pytest.mark.parametrize("cls", [MPMCQueue, MPMCVarQueue], ids=lambda c: c.__name__)
def test_unlink_removes_every_name_and_the_object_goes_on(cls, queue_name):
    # Which names, a second unlink, connecting afterwards: tests/cpp/test_queue_lifecycle.cpp.
    q = cls(queue_name, *KINDS[cls])
    assert shm_path(queue_name) in existing_objects(queue_name)
    q.unlink()
    assert existing_objects(queue_name) == []
    q.write(5)
    assert q.read(QDataType.Int) == 5


def _create_and_vanish(cls, name):  # as a crash does: no destructor, every name stays
    q = cls(name, *KINDS[cls])  # noqa: F841 - kept to the end
    os._exit(0)


@pytest.mark.parametrize("cls", list(KINDS), ids=lambda c: c.__name__)
def test_remove_and_exists_by_name_alone(cls, queue_name, start_child):
    assert start_child(_create_and_vanish, cls, queue_name).finish().exitcode == 0
    assert mox_ipc_queue.exists(queue_name) and len(existing_objects(queue_name)) > 1
    assert mox_ipc_queue.remove(queue_name) is True
    assert existing_objects(queue_name) == [] and not mox_ipc_queue.exists(queue_name)
    assert mox_ipc_queue.remove(queue_name) is False  # nothing left: no error
