"""A queue's names: unlink() and remove() take every name away while attached objects go on. (0600 under any
umask, names too long, restarts: test_queue_lifecycle.cpp; an inner '/': test_codec.py; another user:
test_operator_tool.py.)"""

import os

import mox_ipc_queue
from helpers import existing_objects, make
from mox_ipc_queue import QDataType


def _create_and_vanish(kind, name):  # as a crash does: no destructor, every name stays
    q = make(kind, name, 2, 64)  # noqa: F841 - kept to the end
    os._exit(0)


def test_names_go_by_name_or_unlink_and_attached_objects_go_on(kind, queue_name, make_queue_name, start_child):
    # Which names unlink removes, and a second unlink: tests/cpp/test_queue_lifecycle.cpp.
    assert start_child(_create_and_vanish, kind, queue_name).finish().exitcode == 0
    assert mox_ipc_queue.exists(queue_name) and len(existing_objects(queue_name)) > 1
    # By name alone, no object of it alive; a second time nothing is left: False, no error.
    removed = mox_ipc_queue.remove(queue_name), existing_objects(queue_name), mox_ipc_queue.exists(queue_name)
    assert (*removed, mox_ipc_queue.remove(queue_name)) == (True, [], False, False)
    attached = make(kind, name := make_queue_name(), 4, 64)
    attached.unlink() if hasattr(attached, "unlink") else mox_ipc_queue.remove(name)
    assert existing_objects(name) == []
    attached.write(5)
    assert attached.read(QDataType.Int) == 5
