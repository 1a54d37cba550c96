"""mox-ipcq, the operator tool that `make install` puts beside this interpreter:
list, inspect and remove run as separate processes against queues made here
and by processes that end without cleaning up (a crashed application)."""

import os
import random
import shutil
import subprocess
import sys
import sysconfig

import pytest
from conftest import SHM_DIR, existing_objects, segment_bytes, semaphore_path, shm_path

from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, SPSCQueue

TOOL = os.path.join(sysconfig.get_path("scripts"), "mox-ipcq")  # missing: run `make install`
TOOL_TIMEOUT = 20
EXIT_OK, EXIT_NOT_FOUND, EXIT_USAGE, EXIT_NOT_QUEUE, EXIT_PERMISSION = 0, 1, 2, 3, 4
NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
CREATE = {"spsc": (SPSCQueue, (4, 32, True)), "mpmc": (MPMCQueue, (4, 32)), "mpmcvar": (MPMCVarQueue, (3, 4, 16))}


def run_tool(*args, expect=EXIT_OK, prefix=()):
    """Runs the tool; its exit code must be `expect` unless that is None."""
    r = subprocess.run([*prefix, TOOL, *args], capture_output=True, text=True, timeout=TOOL_TIMEOUT, check=False)
    assert expect is None or r.returncode == expect, (args, r.returncode, r.stdout + r.stderr)
    return r


def listed(*options):
    """Rows of `mox-ipcq list` by queue name, each a dict keyed by column."""
    header, *rows = (line.split() for line in run_tool("list", *options).stdout.splitlines())
    assert header == ["NAME", "KIND", "CHANNELS", "CELLS", "CELL_SIZE", "FILL", "STATE"]
    return {cols[0]: dict(zip(header[1:], cols[1:])) for cols in rows}


def kv(text):  # "a=1 b_c=2" -> {"a": "1", "b_c": "2"}
    return dict(t.split("=", 1) for t in text.split())


def inspect(name, expect=EXIT_OK):
    """`mox-ipcq inspect`: (fields, ' ' in keys as '_'; semaphore values by suffix; channel lines by number)."""
    fields, sems, channels = {}, {}, {}
    for line in run_tool("inspect", name, expect=expect).stdout.splitlines():
        key, value = (part.strip() for part in line.split(":", 1))
        if line.startswith("  channel "):
            channels[int(key.split()[1])] = value
        elif line.startswith("  "):
            sems[key.split(name.lstrip("/"), 1)[1]] = value
        elif value:  # not a section title
            fields[key.replace(" ", "_")] = value
    return fields, sems, channels


def shm_entries(name):
    """Everything in /dev/shm of queue `name`, channels of any number included."""
    stem = name.lstrip("/")
    return sorted(e for e in os.listdir(SHM_DIR) if e == stem or e.startswith("sem." + stem + "_"))


def crash_after_creating(kind, name, messages=()):
    """Another process creates the queue, writes `messages` and ends without
    running any destructor, leaving every name behind."""
    cls, args = CREATE[kind]
    code = f"import os, mox_ipc_queue as mq\nq = mq.{cls.__name__}({name!r}, *{args!r})\n"
    code += f"for m in {list(messages)!r}:\n    q.write(m)\nos._exit(0)\n"
    subprocess.run([sys.executable, "-c", code], check=True, timeout=TOOL_TIMEOUT)
    assert shm_entries(name), "the crashed creator left nothing to work on"


def write_object(name, data, offset=None):
    """A new object `name` holding `data`, made without the library; with an
    offset, `data` goes into the existing object there instead."""
    with open(shm_path(name), "xb" if offset is None else "r+b") as f:
        f.seek(offset or 0)
        f.write(data)


def test_list_shows_kind_geometry_fill_and_missing_names(make_queue_name):
    spsc_name, mpmc_name, var_name = make_queue_name(), make_queue_name(), make_queue_name()
    spsc, mpmc, var = SPSCQueue(spsc_name, 4, 32, True), MPMCQueue(mpmc_name, 5, 24), MPMCVarQueue(var_name, 3, 4, 16)
    for q, messages in ((spsc, [b"a", b"bb"]), (mpmc, [b"1", b"22", b"333"]), (var, [b"x" * 40])):
        for m in messages:
            q.write(m)
    rows = listed()
    assert " ".join(rows[spsc_name].values()) == "spsc - 4 32 filled=2,free=2 ok"
    assert " ".join(rows[mpmc_name].values()) == "mpmc - 5 24 filled=3,free=2 ok"
    assert " ".join(rows[var_name].values()) == "mpmcvar 3 4 16 used=1,free=2 ok"

    # Fill levels are read live from the semaphores on every call.
    assert (mpmc.read(), var.read()) == (b"1", b"x" * 40)
    rows = listed()
    assert (rows[mpmc_name]["FILL"], rows[var_name]["FILL"]) == ("filled=2,free=3", "used=0,free=3")

    # A name removed by hand is reported, counting channel semaphores too.
    os.unlink(semaphore_path(mpmc_name, "_free_mutex_"))
    os.unlink(semaphore_path(var_name, "_filled_channel_2"))
    rows = listed()
    assert (rows[mpmc_name]["STATE"], rows[var_name]["STATE"]) == ("missing:1/4", "missing:1/9")

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
    rows, all_rows = listed(), listed("--all")
    assert [n for n in (text, wrong_size, wrong_type) if n in rows] == []
    assert [all_rows[n]["KIND"] for n in (text, wrong_size, wrong_type)] == ["unknown"] * 3
    assert rows[damaged]["KIND"] == "mpmc"
    assert rows[damaged]["STATE"] == all_rows[damaged]["STATE"] == "damaged"
    # Not a queue: neither shown nor removed.
    for command in ("inspect", "remove"):
        assert "not a queue" in run_tool(command, text, expect=EXIT_NOT_QUEUE).stderr
    assert os.path.exists(shm_path(text))


# Queue, messages written, how many are read back, then what inspect shows:
# fields, every semaphore, every channel line.
MPMC_312 = ((MPMCQueue, 3, 8), [b"12345", b"12345678"])
VAR_20 = ((MPMCVarQueue, 2, 4, 8), [b"m" * 20])  # cells of 8, 8 and 4 bytes in channel 0
IDLE_CHANNEL = "next=end read_index=0 write_index=0 message_length=0 free_sem=4 filled_sem=0"
INSPECT = [
    # Cell 0 came back on top of cell 2; cell 1 waits alone on the filled list.
    pytest.param(*MPMC_312, 1, "kind=mpmc queue_type=1 segment_size=112 num_cells=3 cell_size=8 free_head=0"
                 " filled_head=1 filled_tail=1 free_list=2 filled_list=1",
                 "_filled_=1 _filled_mutex_=1 _free_mutex_=1 _free_=2", [], id="mpmc-one-read"),
    pytest.param(*MPMC_312, 2, "free_head=1 filled_head=end filled_tail=end free_list=3 filled_list=0",
                 "_filled_=0 _filled_mutex_=1 _free_mutex_=1 _free_=3", [], id="mpmc-all-read"),
    pytest.param((SPSCQueue, 4, 16, True), [b"a", b"b", b"c"], 1,
                 "kind=spsc queue_type=0 segment_size=176 num_cells=4 cell_size=16 read_index=1 write_index=3",
                 "_filled_=2 _free_=2", [], id="spsc"),
    pytest.param(*VAR_20, 0, "kind=mpmcvar queue_type=2 segment_size=280 num_channels=2 num_cells=4 cell_size=8"
                 " free_head=1 free_count=1 used_head=0 used_tail=0 free_list=1 used_list=1",
                 "_free_=1 _used_=1 _used_mutex_=1",
                 ["next=end read_index=0 write_index=3 message_length=20 free_sem=1 filled_sem=3", IDLE_CHANNEL],
                 id="mpmcvar-written"),
    # Pushed back on top of channel 1; the push counts as a second modification.
    pytest.param(*VAR_20, 1, "free_head=0 free_count=2 used_head=end used_tail=end free_list=2 used_list=0",
                 "_free_=2 _used_=0 _used_mutex_=1",
                 ["next=1 read_index=3 write_index=3 message_length=0 free_sem=4 filled_sem=0", IDLE_CHANNEL],
                 id="mpmcvar-read"),
]


@pytest.mark.parametrize("create, messages, reads, fields_spec, sems_spec, channels", INSPECT)
def test_inspect_shows_the_queue_and_changes_nothing(create, messages, reads, fields_spec, sems_spec, channels,
                                                     queue_name):
    q = create[0](queue_name, *create[1:])
    for m in messages:
        q.write(m)
    assert [q.read() for _ in range(reads)] == messages[:reads]
    before = segment_bytes(queue_name)
    # The name may be given without its leading '/'.
    fields, sems, channel_lines = inspect(queue_name.lstrip("/"))
    # A second run sees the same: the first changed no semaphore count.
    assert inspect(queue_name) == (fields, sems, channel_lines)
    assert segment_bytes(queue_name) == before
    assert fields["name"] == queue_name
    assert kv(fields_spec).items() <= fields.items()
    assert sems == kv(sems_spec)
    assert channel_lines == dict(enumerate(channels))
    if create[0] is SPSCQueue:
        assert fields["first_thread"].startswith("0x") and fields["second_thread"] == "0 (open)", fields


@pytest.mark.parametrize("num_channels", [0, 0xFFFFFFFF])
def test_damaged_header_is_reported_and_removed(num_channels, queue_name):
    crash_after_creating("mpmcvar", queue_name)
    write_object(queue_name, num_channels.to_bytes(4, "little"), offset=12)
    assert listed()[queue_name]["STATE"] == "damaged"
    fields, _, channels = inspect(queue_name, expect=EXIT_NOT_QUEUE)
    assert fields["kind"] == "mpmcvar" and "num_channels" in fields["damaged"], fields
    assert sorted(channels) == [0, 1, 2]  # found by their semaphores
    run_tool("remove", queue_name)  # the channel semaphores too, whatever the header counts
    assert shm_entries(queue_name) == []


@pytest.mark.parametrize(
    "damage",
    [lambda name: os.truncate(shm_path(name), 30), lambda name: os.truncate(shm_path(name), 5),
     lambda name: write_object(name, bytes(12), offset=0)],
    ids=["shorter-than-header", "shorter-than-prefix", "prefix-zeroed"],
)
def test_a_segment_that_is_no_queue_is_removed_only_with_its_kind(damage, queue_name):
    crash_after_creating("mpmc", queue_name)
    left = shm_entries(queue_name)
    # While the prefix is sound, a --kind it contradicts is refused, naming the segment's kind.
    assert "mpmc" in run_tool("remove", "--kind", "spsc", queue_name, expect=EXIT_NOT_QUEUE).stderr
    damage(queue_name)  # under the tool, which checks every size before it reads
    assert "not a queue" in run_tool("inspect", queue_name, expect=EXIT_NOT_QUEUE).stderr
    assert "--kind" in run_tool("remove", queue_name, expect=EXIT_NOT_QUEUE).stderr
    assert shm_entries(queue_name) == left
    run_tool("remove", "--kind=mpmc", queue_name)
    assert shm_entries(queue_name) == []


@pytest.mark.parametrize(
    "kind, removed_by_hand",
    [("spsc", ["_filled_"]), ("mpmc", ["_filled_mutex_", "_free_"]),
     ("mpmcvar", ["_used_", "_free_channel_1", "_filled_channel_2"])],
)
def test_remove_after_a_crash_lets_the_queue_be_created_again(kind, removed_by_hand, queue_name):
    crash_after_creating(kind, queue_name, [b"left behind"])
    assert listed()[queue_name]["STATE"] == "ok"
    cls, args = CREATE[kind]
    with pytest.raises(IPCQueueError, match="already exists"):
        cls(queue_name, *args)
    if os.geteuid() == 0 and shutil.which("setpriv"):  # another user may neither look nor remove
        for command in (["inspect"], ["remove"], ["remove", "--kind", kind]):
            run_tool(*command, queue_name, expect=EXIT_PERMISSION, prefix=NOBODY)
    for suffix in removed_by_hand:
        os.unlink(semaphore_path(queue_name, suffix))

    gone = run_tool("remove", queue_name).stdout.split("already gone:", 1)[1].split()
    assert sorted(gone) == sorted(queue_name + s for s in removed_by_hand)
    assert shm_entries(queue_name) == existing_objects(queue_name) == []
    q = cls(queue_name, *args)
    q.write(b"fresh")
    assert q.read() == b"fresh"


def test_remove_semaphores_after_the_segment_is_gone(queue_name):
    crash_after_creating("mpmcvar", queue_name)
    os.unlink(shm_path(queue_name))
    left = shm_entries(queue_name)
    stderr = run_tool("remove", queue_name, expect=EXIT_NOT_FOUND).stderr
    assert "--kind" in stderr and queue_name + "_used_mutex_" in stderr
    assert shm_entries(queue_name) == left
    run_tool("remove", "--kind", "mpmcvar", queue_name)
    assert shm_entries(queue_name) == []
    for args in (["inspect", queue_name], ["remove", queue_name], ["remove", "--kind", "mpmcvar", queue_name]):
        assert queue_name in run_tool(*args, expect=EXIT_NOT_FOUND).stderr


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["inspect"], ["inspect", "a", "b"], ["inspect", "/a/b"], ["inspect", "/"],
     ["list", "extra"], ["list", "--kind", "spsc"], ["remove", "--kind", "fifo", "/q"], ["remove", "/q", "--kind"]],
)
def test_usage_errors(args):
    r = run_tool(*args, expect=EXIT_USAGE)
    assert (r.stdout, r.stderr[:10]) == ("", "mox-ipcq: ")


@pytest.mark.parametrize("kind", sorted(CREATE))
def test_garbled_segments_are_reported_not_crashed_on(kind, queue_name):
    rng = random.Random(f"garble-{kind}")  # the same garbling on every run
    crash_after_creating(kind, queue_name, [b"payload"])
    pristine = segment_bytes(queue_name)
    for _ in range(40):
        data = bytearray(pristine)
        for _ in range(rng.randint(1, 6)):
            # Mostly the header and the first list words, where sizes and links live.
            data[rng.randrange(min(len(data), 96))] = rng.randrange(256)
        data = data[: rng.choice([len(data), len(data), rng.randrange(len(data) + 1)])]
        os.truncate(shm_path(queue_name), 0)
        write_object(queue_name, bytes(data), offset=0)
        for args in (["inspect", queue_name], ["list", "--all"]):
            r = run_tool(*args, expect=None)
            assert r.returncode in (EXIT_OK, EXIT_NOT_QUEUE), (args, r.returncode, r.stderr)
    run_tool("remove", "--kind", kind, queue_name)
    assert shm_entries(queue_name) == []
