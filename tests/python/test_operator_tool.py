"""mox-ipcq, the operator tool, as `make install` puts it into this
environment's scripts directory: list, inspect and remove run as separate
processes against queues made by this process and by other processes that
end without cleaning up (a crashed application)."""

import os
import random
import shutil
import subprocess
import sys
import sysconfig

import pytest
from conftest import SHM_DIR, existing_objects, segment_bytes, semaphore_path, shm_path

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

TOOL = os.path.join(sysconfig.get_path("scripts"), "mox-ipcq")
TOOL_TIMEOUT = 20

EXIT_OK, EXIT_NOT_FOUND, EXIT_USAGE, EXIT_NOT_QUEUE, EXIT_PERMISSION = 0, 1, 2, 3, 4

# Creation arguments after the name, per kind.
CREATE = {
    "spsc": (SPSCQueue, (4, 32, True)),
    "mpmc": (MPMCQueue, (4, 32)),
    "mpmcvar": (MPMCVarQueue, (3, 4, 16)),
}


@pytest.fixture(scope="module", autouse=True)
def _installed_tool():
    if not os.access(TOOL, os.X_OK):
        pytest.fail(f"{TOOL} is not installed: run `make install`")


def run_tool(*args, prefix=()):
    return subprocess.run(
        [*prefix, TOOL, *args], capture_output=True, text=True, timeout=TOOL_TIMEOUT, check=False
    )


def listed(*options):
    """Rows of `mox-ipcq list`, by queue name, each a dict keyed by column."""
    r = run_tool("list", *options)
    assert r.returncode == EXIT_OK, r.stderr
    lines = r.stdout.splitlines()
    header = lines[0].split()
    return {cols[0]: dict(zip(header, cols)) for cols in (line.split() for line in lines[1:])}


def inspect(name, expect=EXIT_OK):
    """`mox-ipcq inspect`: (fields, semaphore values, channel rows)."""
    r = run_tool("inspect", name)
    assert r.returncode == expect, r.stdout + r.stderr
    fields, sems, channels = {}, {}, {}
    section = None
    for line in r.stdout.splitlines():
        if line in ("semaphores:", "channels:"):
            section = line
        elif line.startswith("  ") and section == "semaphores:":
            key, value = line.strip().rsplit(": ", 1)
            sems[key] = value
        elif line.startswith("  ") and section == "channels:":
            head, rest = line.strip().split(": ", 1)
            channels[int(head.split()[1])] = dict(t.split("=", 1) for t in rest.split() if "=" in t)
        else:
            key, value = line.split(":", 1)
            fields[key] = value.strip()
    return fields, sems, channels


def shm_entries(name):
    """Everything in /dev/shm that belongs to queue `name`, channels of any number included."""
    stem = name.lstrip("/")
    return sorted(e for e in os.listdir(SHM_DIR) if e == stem or e.startswith("sem." + stem + "_"))


def crash_after_creating(kind, name, messages=()):
    """Another process creates the queue, writes `messages` and ends without
    running any destructor, leaving every name behind."""
    cls, args = CREATE[kind]
    code = (
        "import os, mox_ipc_queue as mq\n"
        f"q = mq.{cls.__name__}({name!r}, *{args!r})\n"
        f"for m in {list(messages)!r}:\n"
        "    q.write(m)\n"
        "os._exit(0)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=TOOL_TIMEOUT)
    assert shm_entries(name), "the crashed creator left nothing to work on"


def write_object(name, data):
    """A shared-memory object `name` holding `data`, made without the library."""
    fd = os.open(shm_path(name), os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def patch_segment(name, offset, data):
    fd = os.open(shm_path(name), os.O_RDWR)
    try:
        os.pwrite(fd, data, offset)
    finally:
        os.close(fd)


# ------------------------------------------------------------------- list ---


def test_list_shows_kind_geometry_fill_and_missing_names(make_queue_name):
    spsc_name, mpmc_name, var_name = make_queue_name(), make_queue_name(), make_queue_name()
    spsc = SPSCQueue(spsc_name, 4, 32, True)
    mpmc = MPMCQueue(mpmc_name, 5, 24)
    var = MPMCVarQueue(var_name, 3, 4, 16)
    for m in (b"a", b"bb"):
        spsc.write(m)
    for m in (b"1", b"22", b"333"):
        mpmc.write(m)
    var.write(b"x" * 40)

    rows = listed()
    assert rows[spsc_name] == {
        "NAME": spsc_name, "KIND": "spsc", "CHANNELS": "-", "CELLS": "4", "CELL_SIZE": "32",
        "FILL": "filled=2,free=2", "STATE": "ok",
    }
    assert rows[mpmc_name] == {
        "NAME": mpmc_name, "KIND": "mpmc", "CHANNELS": "-", "CELLS": "5", "CELL_SIZE": "24",
        "FILL": "filled=3,free=2", "STATE": "ok",
    }
    assert rows[var_name] == {
        "NAME": var_name, "KIND": "mpmcvar", "CHANNELS": "3", "CELLS": "4", "CELL_SIZE": "16",
        "FILL": "used=1,free=2", "STATE": "ok",
    }

    # Fill levels are read live from the semaphores on every call.
    assert mpmc.read() == b"1"
    assert var.read() == b"x" * 40
    rows = listed()
    assert rows[mpmc_name]["FILL"] == "filled=2,free=3"
    assert rows[var_name]["FILL"] == "used=0,free=3"

    # A name removed by hand is reported, counting channel semaphores too.
    os.unlink(semaphore_path(mpmc_name, "_free_mutex_"))
    os.unlink(semaphore_path(var_name, "_filled_channel_2"))
    rows = listed()
    assert rows[mpmc_name]["STATE"] == "missing:1/4"
    assert rows[var_name]["STATE"] == "missing:1/9"

    # The SPSC connect removes the queue's names: it is no longer listed.
    peer = SPSCQueue(spsc_name)
    assert spsc_name not in listed()
    assert peer.read() == b"a"


def test_list_skips_objects_that_are_not_queues(make_queue_name):
    text, wrong_size, wrong_type, damaged = (make_queue_name() for _ in range(4))
    write_object(text, b"just some text, not a queue segment")
    # Prefixes that claim an MPMC queue of another size, and a kind that does not exist.
    write_object(wrong_size, (1000).to_bytes(8, "little") + (1).to_bytes(4, "little") + bytes(52))
    write_object(wrong_type, (64).to_bytes(8, "little") + (7).to_bytes(4, "little") + bytes(52))
    # A sound MPMC prefix whose header has no cells: a damaged queue, not a foreign object.
    write_object(damaged, (64).to_bytes(8, "little") + (1).to_bytes(4, "little") + bytes(52))

    rows = listed()
    for name in (text, wrong_size, wrong_type):
        assert name not in rows
    assert rows[damaged]["KIND"] == "mpmc"
    assert rows[damaged]["STATE"] == "damaged"

    rows = listed("--all")
    for name in (text, wrong_size, wrong_type):
        assert rows[name]["KIND"] == "unknown"
    assert rows[damaged]["STATE"] == "damaged"


# ---------------------------------------------------------------- inspect ---


def test_inspect_mpmc_follows_the_lists(queue_name):
    q = MPMCQueue(queue_name, 3, 8)
    q.write(b"12345")
    q.write(b"12345678")
    assert q.read() == b"12345"

    # The name may be given without its leading '/'.
    fields, sems, _ = inspect(queue_name.lstrip("/"))
    assert fields["name"] == queue_name
    assert (fields["kind"], fields["queue_type"], fields["segment_size"]) == ("mpmc", "1", "112")
    assert (fields["num_cells"], fields["cell_size"]) == ("3", "8")
    # Cell 0 came back on top of cell 2; cell 1 waits alone on the filled list.
    assert (fields["free_head"], fields["filled_head"], fields["filled_tail"]) == ("0", "1", "1")
    assert (fields["free list"], fields["filled list"]) == ("2", "1")
    assert sems == {
        queue_name + "_filled_": "1",
        queue_name + "_filled_mutex_": "1",
        queue_name + "_free_mutex_": "1",
        queue_name + "_free_": "2",
    }

    assert q.read() == b"12345678"
    fields, sems, _ = inspect(queue_name)
    assert (fields["free_head"], fields["filled_head"], fields["filled_tail"]) == ("1", "end", "end")
    assert (fields["free list"], fields["filled list"]) == ("3", "0")
    assert (sems[queue_name + "_filled_"], sems[queue_name + "_free_"]) == ("0", "3")


def test_inspect_spsc_shows_ring_positions_and_thread_slots(queue_name):
    q = SPSCQueue(queue_name, 4, 16, True)
    for m in (b"a", b"b", b"c"):
        q.write(m)
    assert q.read() == b"a"

    fields, sems, _ = inspect(queue_name)
    assert (fields["kind"], fields["queue_type"], fields["segment_size"]) == ("spsc", "0", "176")
    assert (fields["num_cells"], fields["cell_size"]) == ("4", "16")
    assert (fields["read_index"], fields["write_index"]) == ("1", "3")
    assert fields["first_thread"].startswith("0x")
    assert fields["second_thread"] == "0 (open)"
    assert sems == {queue_name + "_filled_": "2", queue_name + "_free_": "2"}


def test_inspect_mpmcvar_shows_channels(queue_name):
    q = MPMCVarQueue(queue_name, 2, 4, 8)
    q.write(b"m" * 20)  # cells of 8, 8 and 4 bytes in channel 0

    fields, sems, channels = inspect(queue_name)
    assert (fields["kind"], fields["queue_type"], fields["segment_size"]) == ("mpmcvar", "2", "280")
    assert (fields["num_channels"], fields["num_cells"], fields["cell_size"]) == ("2", "4", "8")
    assert (fields["free_head"], fields["free_count"]) == ("1", "1")
    assert (fields["used_head"], fields["used_tail"]) == ("0", "0")
    assert (fields["free list"], fields["used list"]) == ("1", "1")
    assert sems == {queue_name + "_free_": "1", queue_name + "_used_": "1", queue_name + "_used_mutex_": "1"}
    assert channels[0] == {
        "next": "end", "read_index": "0", "write_index": "3", "message_length": "20",
        "free_sem": "1", "filled_sem": "3",
    }
    assert channels[1] == {
        "next": "end", "read_index": "0", "write_index": "0", "message_length": "0",
        "free_sem": "4", "filled_sem": "0",
    }

    assert q.read() == b"m" * 20
    fields, sems, channels = inspect(queue_name)
    # Pushed back on top of channel 1; the push counts as a second modification.
    assert (fields["free_head"], fields["free_count"]) == ("0", "2")
    assert (fields["used_head"], fields["used_tail"]) == ("end", "end")
    assert (fields["free list"], fields["used list"]) == ("2", "0")
    assert channels[0] == {
        "next": "1", "read_index": "3", "write_index": "3", "message_length": "0",
        "free_sem": "4", "filled_sem": "0",
    }


@pytest.mark.parametrize("kind", sorted(CREATE))
def test_inspect_changes_nothing(kind, queue_name):
    cls, args = CREATE[kind]
    q = cls(queue_name, *args)
    messages = [b"first", b"second"]
    for m in messages:
        q.write(m)
    before = segment_bytes(queue_name)

    for _ in range(3):
        inspect(queue_name)
    assert listed()[queue_name]["STATE"] == "ok"

    assert segment_bytes(queue_name) == before
    # Semaphore counts unchanged: exactly the two messages, then nothing.
    assert [q.read(QDataType.Bytes, 2000) for _ in messages] == messages
    assert q.read(QDataType.Bytes, 1) is None


def test_inspect_damaged_segments_without_crashing(make_queue_name):
    damaged, short = make_queue_name(), make_queue_name()
    crash_after_creating("mpmcvar", damaged)
    patch_segment(damaged, 12, (0xFFFFFFFF).to_bytes(4, "little"))  # num_channels
    fields, _, channels = inspect(damaged, expect=EXIT_NOT_QUEUE)
    assert fields["kind"] == "mpmcvar"
    assert "num_channels" in fields["damaged"]
    # The channels are still found by their semaphores.
    assert sorted(channels) == [0, 1, 2]

    # Cut short under the tool: shorter than the header, then than the prefix.
    crash_after_creating("mpmc", short)
    for size in (30, 5):
        os.truncate(shm_path(short), size)
        r = run_tool("inspect", short)
        assert r.returncode == EXIT_NOT_QUEUE
        assert "not a queue" in r.stderr

    for name in (damaged, short):
        assert run_tool("remove", "--kind", "mpmcvar" if name == damaged else "mpmc", name).returncode == EXIT_OK
        assert shm_entries(name) == []


# ----------------------------------------------------------------- remove ---


@pytest.mark.parametrize("kind", sorted(CREATE))
def test_remove_after_a_crash_lets_the_queue_be_created_again(kind, queue_name):
    crash_after_creating(kind, queue_name, [b"left behind"])
    assert listed()[queue_name]["STATE"] == "ok"
    cls, args = CREATE[kind]
    with pytest.raises(IPCQueueError, match="already exists"):
        cls(queue_name, *args)

    r = run_tool("remove", queue_name)
    assert r.returncode == EXIT_OK, r.stderr
    assert shm_entries(queue_name) == []
    assert existing_objects(queue_name) == []

    q = cls(queue_name, *args)
    q.write(b"fresh")
    assert q.read() == b"fresh"


@pytest.mark.parametrize(
    "kind, removed_by_hand",
    [
        ("spsc", ["_filled_"]),
        ("mpmc", ["_filled_mutex_", "_free_"]),
        ("mpmcvar", ["_used_", "_free_channel_1", "_filled_channel_2"]),
    ],
)
def test_remove_when_some_names_are_gone(kind, removed_by_hand, queue_name):
    crash_after_creating(kind, queue_name)
    for suffix in removed_by_hand:
        os.unlink(semaphore_path(queue_name, suffix))

    r = run_tool("remove", queue_name)
    assert r.returncode == EXIT_OK, r.stderr
    assert shm_entries(queue_name) == []
    gone = r.stdout.split("already gone:", 1)[1].split()
    assert sorted(gone) == sorted(queue_name + s for s in removed_by_hand)


def test_remove_damaged_segments(make_queue_name):
    header_damaged, prefix_damaged = make_queue_name(), make_queue_name()
    # num_channels 0: the channel semaphores can only be found by name.
    crash_after_creating("mpmcvar", header_damaged)
    patch_segment(header_damaged, 12, bytes(4))
    assert listed()[header_damaged]["STATE"] == "damaged"
    r = run_tool("remove", header_damaged)
    assert r.returncode == EXIT_OK, r.stderr
    assert shm_entries(header_damaged) == []

    # With the prefix gone the kind is unknown: refused unless given.
    crash_after_creating("mpmc", prefix_damaged)
    patch_segment(prefix_damaged, 0, bytes(12))
    left = shm_entries(prefix_damaged)
    r = run_tool("remove", prefix_damaged)
    assert r.returncode == EXIT_NOT_QUEUE
    assert "--kind" in r.stderr
    assert shm_entries(prefix_damaged) == left
    r = run_tool("remove", "--kind=mpmc", prefix_damaged)
    assert r.returncode == EXIT_OK, r.stderr
    assert shm_entries(prefix_damaged) == []


def test_remove_semaphores_after_the_segment_is_gone(queue_name):
    crash_after_creating("mpmcvar", queue_name)
    os.unlink(shm_path(queue_name))
    left = shm_entries(queue_name)

    r = run_tool("remove", queue_name)
    assert r.returncode == EXIT_NOT_FOUND
    assert "--kind" in r.stderr and queue_name + "_used_mutex_" in r.stderr
    assert shm_entries(queue_name) == left

    r = run_tool("remove", "--kind", "mpmcvar", queue_name)
    assert r.returncode == EXIT_OK, r.stderr
    assert shm_entries(queue_name) == []

    r = run_tool("remove", "--kind", "mpmcvar", queue_name)
    assert r.returncode == EXIT_NOT_FOUND


def test_remove_refuses_a_kind_the_segment_contradicts(queue_name):
    crash_after_creating("mpmc", queue_name)
    left = shm_entries(queue_name)
    r = run_tool("remove", "--kind", "spsc", queue_name)
    assert r.returncode == EXIT_NOT_QUEUE
    assert "mpmc" in r.stderr
    assert shm_entries(queue_name) == left
    assert run_tool("remove", "--kind", "mpmc", queue_name).returncode == EXIT_OK
    assert shm_entries(queue_name) == []


# ----------------------------------------------------------------- errors ---


def test_missing_and_foreign_names(make_queue_name):
    missing, foreign = make_queue_name(), make_queue_name()
    write_object(foreign, b"some other application's data")

    for command in ("inspect", "remove"):
        r = run_tool(command, missing)
        assert r.returncode == EXIT_NOT_FOUND
        assert missing in r.stderr

    r = run_tool("inspect", foreign)
    assert r.returncode == EXIT_NOT_QUEUE
    assert "not a queue" in r.stderr
    r = run_tool("remove", foreign)
    assert r.returncode == EXIT_NOT_QUEUE
    assert os.path.exists(shm_path(foreign))


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["inspect"],
        ["inspect", "a", "b"],
        ["inspect", "/a/b"],
        ["inspect", "/"],
        ["list", "extra"],
        ["list", "--kind", "spsc"],
        ["remove", "--kind", "fifo", "/q"],
        ["remove", "/q", "--kind"],
    ],
)
def test_usage_errors(args):
    r = run_tool(*args)
    assert r.returncode == EXIT_USAGE
    assert r.stderr.startswith("mox-ipcq: ")
    assert r.stdout == ""


def test_help_documents_the_commands():
    r = run_tool("--help")
    assert r.returncode == EXIT_OK
    for word in ("list", "inspect", "remove", "--kind", "exit codes"):
        assert word in r.stdout


@pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("setpriv") is None,
    reason="needs root and setpriv to run the tool as another user",
)
def test_permission_denied(queue_name):
    crash_after_creating("mpmc", queue_name)
    left = shm_entries(queue_name)
    nobody = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    for args in (["inspect", queue_name], ["remove", queue_name], ["remove", "--kind", "mpmc", queue_name]):
        r = run_tool(*args, prefix=nobody)
        assert r.returncode == EXIT_PERMISSION, (args, r.stdout, r.stderr)
    assert shm_entries(queue_name) == left
    assert run_tool("remove", queue_name).returncode == EXIT_OK


@pytest.mark.parametrize("kind", sorted(CREATE))
def test_garbled_segments_are_reported_not_crashed_on(kind, queue_name):
    # Fixed seed: the same garbling on every run.
    rng = random.Random(f"garble-{kind}")
    crash_after_creating(kind, queue_name, [b"payload"])
    pristine = segment_bytes(queue_name)
    for _ in range(40):
        data = bytearray(pristine)
        for _ in range(rng.randint(1, 6)):
            # Mostly the header and the first list words, where sizes and links live.
            data[rng.randrange(min(len(data), 96))] = rng.randrange(256)
        data = data[: rng.choice([len(data), len(data), rng.randrange(len(data) + 1)])]
        os.truncate(shm_path(queue_name), 0)
        patch_segment(queue_name, 0, bytes(data))
        for args in (["inspect", queue_name], ["list", "--all"]):
            r = run_tool(*args)
            assert r.returncode in (EXIT_OK, EXIT_NOT_QUEUE), (args, r.returncode, r.stderr)
    assert run_tool("remove", "--kind", kind, queue_name).returncode == EXIT_OK
    assert shm_entries(queue_name) == []
