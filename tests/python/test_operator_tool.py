"""mox-ipcq, the operator tool `make install` puts beside this interpreter: list, inspect (as text and as JSON)
and remove run as separate processes against queues made here, left by processes that ended without cleaning
up or were killed while they held part of a queue, and damaged ones."""

import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import sysconfig

import pytest
from helpers import SHM_DIR, connect_and, existing_objects, segment_bytes, semaphore_taken, shm_path, take_semaphore
from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

TOOL = os.path.join(sysconfig.get_path("scripts"), "mox-ipcq")  # missing: run `make install`
EXIT_OK, EXIT_NOT_FOUND, EXIT_USAGE, EXIT_NOT_QUEUE, EXIT_PERMISSION = 0, 1, 2, 3, 4
LIST_END, IN_USE = 0xFFFFFFFF, 0xC4653600
NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
PROBE = """import os, sys, mox_ipc_queue as m
try: getattr(m, sys.argv[1])(sys.argv[2])
except m.IPCQueueError as e: print(e)
for path in sys.argv[3:]:
    try: os.close(os.open(path, os.O_RDWR))  # as sem_open and shm_open do
    except OSError as e: print(e.errno)"""  # another user's connect, then each object of the queue opened
CREATE = {"spsc": (SPSCQueue, (4, 32, True)), "mpmc": (MPMCQueue, (4, 32)), "mpmcvar": (MPMCVarQueue, (3, 4, 16))}


def run_tool(*args, expect=EXIT_OK, prefix=()):
    """Runs the tool; its exit code must be `expect` (or one of them)."""
    r = subprocess.run([*prefix, TOOL, *args], capture_output=True, text=True, timeout=20, check=False)
    assert r.returncode in (expect if isinstance(expect, tuple) else (expect,)), (args, r.returncode, r.stderr)
    return r


def listed(*options):  # rows of `mox-ipcq list` by queue name, each a dict keyed by column
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
        if line.startswith("  pid "):  # the owners section: "pid P tid T state: step ..."
            fields.setdefault("owners", []).append(" ".join(key.split()[4:] + [value]))
        elif line.startswith("  channel "):
            channels[int(key.split()[1])] = value
        elif line.startswith("  "):
            sems[key.split(name.lstrip("/"), 1)[1]] = value
        elif value:  # not a section title
            fields[key.replace(" ", "_")] = value
    return fields, sems, channels


def inspect_json(name, expect=EXIT_OK):
    """`mox-ipcq inspect --json`: the one JSON object it prints, None when it printed nothing."""
    out = run_tool("inspect", "--json", name, expect=expect).stdout
    return json.loads(out) if out else None


def crash_after_creating(kind, name, messages=(), partial=()):
    """Another process creates the queue, writes `messages`, starts a message of the `partial` pieces (MPMCVar)
    and ends without a destructor or the message's end: every name stays."""
    cls, args = CREATE[kind]
    code = f"import os, mox_ipc_queue as mq\nq = mq.{cls.__name__}({name!r}, *{args!r})\n"
    code += f"[q.write(m) for m in {list(messages)!r}]\n[q.partial_write(m) for m in {list(partial)!r}]\n"
    subprocess.run([sys.executable, "-c", code + "os._exit(0)\n"], check=True, timeout=20)
    assert existing_objects(name), "the crashed creator left nothing to work on"


def overwrite(name, data, offset):  # a segment's bytes changed without the library
    with open(shm_path(name), "r+b") as f:
        f.seek(offset)
        f.write(data)


# Queue, messages written, how many are read back, then what inspect shows: fields, every semaphore, every
# channel line, and the lists' items. MPMC: cell 0 came back on top of cell 2; cell 1 waits alone on the filled
# list. MPMCVar: cells of 8, 8 and 4 bytes in channel 0, its writer's end recorded (message_state 1), then
# pushed back on top of channel 1, a second modification, its message state cleared.
VAR_20 = ((MPMCVarQueue, 2, 4, 8), [b"m" * 20])
IDLE_CHANNEL = "next=end read_index=0 write_index=0 message_length=0 message_state=0 free_sem=4 filled_sem=0"
INSPECT = {
    "mpmc": ((MPMCQueue, 3, 8), [b"12345", b"12345678"], 1,
             "kind=mpmc queue_type=1 segment_size=112 num_cells=3 cell_size=8 free_head=0 filled_head=1"
             " filled_tail=1 free_list=2 filled_list=1 held=none findings=none",
             "_filled_=1 _filled_mutex_=1 _free_mutex_=1 _free_=2", [], {"free": [0, 2], "filled": [1]}),
    "spsc": ((SPSCQueue, 4, 16, True), [b"a", b"b", b"c"], 1,
             "kind=spsc queue_type=0 segment_size=176 num_cells=4 cell_size=16 read_index=1 write_index=3"
             " findings=none", "_filled_=2 _free_=2", [], {}),
    "var-written": (*VAR_20, 0, "kind=mpmcvar queue_type=2 segment_size=280 num_channels=2 num_cells=4 cell_size=8"
                    " free_head=1 free_count=1 used_head=0 used_tail=0 free_list=1 used_list=1 held=none"
                    " findings=none", "_free_=1 _used_=1 _used_mutex_=1",
                    ["next=end read_index=0 write_index=3 message_length=20 message_state=1 free_sem=1 filled_sem=3",
                     IDLE_CHANNEL], {"free": [1], "used": [0]}),
    "var-read": (*VAR_20, 1, "free_head=0 free_count=2 used_head=end used_tail=end free_list=2 used_list=0"
                 " held=none findings=none", "_free_=2 _used_=0 _used_mutex_=1",
                 ["next=1 read_index=3 write_index=3 message_length=0 message_state=0 free_sem=4 filled_sem=0",
                  IDLE_CHANNEL], {"free": [0, 1], "used": []}),
}


def words(text):  # inspect's "end" and numbers as the JSON holds them
    return {k: LIST_END if v == "end" else int(v) for k, v in kv(text).items() if v != "none" and k != "kind"}


@pytest.mark.parametrize("case", INSPECT)
def test_inspect_shows_the_queue_and_changes_nothing(case, queue_name):
    (create, messages, reads, fields_spec, sems_spec, channels, lists) = INSPECT[case]
    q = create[0](queue_name, *create[1:])
    for m in messages:
        q.write(m)
    assert [q.read() for _ in range(reads)] == messages[:reads]
    before = segment_bytes(queue_name)
    fields, sems, channel_lines = text = inspect(queue_name.lstrip("/"))  # the leading '/' may be left out
    report = inspect_json(queue_name.lstrip("/"))
    # A second run sees the same: the first changed no semaphore count, and no byte.
    assert (inspect(queue_name), segment_bytes(queue_name)) == (text, before)
    assert kv(fields_spec).items() <= fields.items() and fields["name"] == queue_name, fields
    assert (sems, channel_lines) == (kv(sems_spec), dict(enumerate(channels)))
    # The JSON holds what the text shows, and the lists' items.
    header = {k: v for k, v in words(fields_spec).items() if not k.endswith("_list")}
    assert (report["name"], report["verdict"], report["kind"], report["problem"]) == (
        queue_name, "queue", q.__class__.__name__.removesuffix("Queue").lower(), None)
    assert header.items() <= report["header"].items() and report["object_size"] == report["header"]["segment_size"]
    assert report["semaphores"] == {k: int(v) for k, v in kv(sems_spec).items()}
    assert {k: (w["items"], w["broken"]) for k, w in report["lists"].items()} == {k: (v, None) for k, v in
                                                                                 lists.items()}
    assert (report["held"], report["findings"]) == ([], [])
    assert [kv(line) for line in channels] == [
        {**{k: str(c[k]) for k in ("read_index", "write_index", "message_length", "message_state")},
         "next": "end" if c["next"] == LIST_END else str(c["next"]),
         "free_sem": str(c["free"]), "filled_sem": str(c["filled"])} for c in report["channels"]]
    if case == "var-written":
        assert [c["cell_lengths"] for c in report["channels"]] == [[8, 8, 4, 0], [0] * 4]
    assert report == q.inspect()  # the queue object, through its mapping, sees what the tool reads in the file


def kill_blocked(start_child, *call, count=1):  # children making `call` (see connect_and), killed once blocked
    children = [start_child(connect_and, *call) for _ in range(count)]
    for child in children:
        child.wait_for("connected")
        child.assert_blocked()
    for child in children:
        child.kill()


def assert_inspect_finds(q, name, findings, text, held, lists, fill):
    """Both forms of inspect: a sound queue (exit 0) with these findings (as text: `text`), held items and lists,
    as `q` sees it too; `list` counts what is held in no count."""
    report = inspect_json(name)
    assert (report["verdict"], report["findings"], report["held"]) == ("queue", findings, held), report
    assert {k: w["items"] for k, w in report["lists"].items()} == lists and report == q.inspect()
    fields = inspect(name)[0]
    assert (fields["findings"], fields["held"]) == (text, " ".join(map(str, held)) or "none")
    assert (listed()[name]["FILL"], listed()[name]["STATE"]) == (fill, "ok")
    return report


def test_inspect_finds_what_killed_processes_held(make_queue_name, start_child):
    # Each state is inspected right after the kill, before any survivor waits long enough to repair it.
    q = MPMCQueue(name := make_queue_name(), 4, 32)
    with semaphore_taken(name + "_filled_mutex_"):
        # Each writer takes a cell off the free list, then waits for the filled list's lock we hold.
        kill_blocked(start_child, "mpmc", name, "write", b"never published", count=2)
    report = assert_inspect_finds(q, name, ["cell held"] * 2, "cell held x2", [0, 1], {"free": [2, 3], "filled": []},
                                  "filled=0,free=2")
    assert (report["semaphores"]["_free_"], report["semaphores"]["_filled_"]) == (2, 0)
    # The table of owners names the dead holders: each was waiting for the filled list's lock with its cell.
    assert sorted(inspect(name)[0]["owners"]) == [f"gone write cell #{i}, may hold filled list lock" for i in (0, 1)]
    crash_after_creating("mpmcvar", name := make_queue_name(), partial=[b"abc"])
    q = MPMCVarQueue(name)
    # The dead writer's message is listed; the connect marked it abandoned and handed over an empty last cell.
    report = assert_inspect_finds(q, name, ["abandoned message listed"], "abandoned message listed", [],
                                  {"free": [1, 2], "used": [0]}, "used=1,free=2")
    assert [report["channels"][0][k] for k in ("message_length", "message_state", "filled")] == [3, 2, 1]
    # A reader that takes it finds its writer dead: it raises, and the channel is given back.
    with pytest.raises(IPCQueueError, match="message abandoned by its writer"):
        q.read(QDataType.Bytes, 5000)
    assert_inspect_finds(q, name, [], "none", [], {"free": [0, 1, 2], "used": []}, "used=0,free=3")
    # A live writer (this process) is inside a message; a reader takes it off the used list, waits for its
    # first cell and dies there.
    q = MPMCVarQueue(name := make_queue_name(), 3, 4, 16)
    q.partial_write(b"abc")
    kill_blocked(start_child, "mpmcvar", name, "read")
    report = assert_inspect_finds(q, name, ["channel held"], "channel held", [0], {"free": [1, 2], "used": []},
                                  "used=0,free=2")
    assert report["channels"][0]["next"] == IN_USE



@pytest.mark.parametrize("kind, lock, unit", [("mpmc", "_filled_mutex_", "cell"),
                                              ("mpmcvar", "_used_mutex_", "channel")])
def test_repair_puts_right_what_unrecorded_processes_left(kind, lock, unit, make_queue_name, start_child, monkeypatch):
    capacity = 3
    q = CREATE[kind][0](name := make_queue_name(), *((capacity, 32) if kind == "mpmc" else (capacity, 4, 16)),
                        keep_names=True)
    for m in (b"p0", b"p1"):
        q.write(m)  # this process records itself: it holds a slot of the table of owners
    monkeypatch.setenv("MOX_IPC_QUEUE_UNRECORDED", "1")  # the children record nothing
    start_child(take_semaphore, name + lock).result()  # ends inside the list lock: it stays at 0
    kill_blocked(start_child, kind, name, "write", b"never published")  # killed waiting for it, holding a cell/channel
    assert inspect_json(name)["findings"] == [lock.strip("_").replace("_mutex", " list lock held")]
    before = segment_bytes(name)
    refused = run_tool("repair", name, expect=EXIT_NOT_QUEUE).stderr
    assert f"recording process(es) {os.getpid()}" in refused and segment_bytes(name) == before, refused
    q.close()  # its record goes; the names stay
    out = run_tool("repair", name.lstrip("/")).stdout
    assert out == (f"repaired {kind} queue {name}: 2 messages kept, 0 messages dropped, 1 {unit} recovered;"
                   f" 1 {unit} free\n")
    report = inspect_json(name)
    assert (report["findings"], report["held"], [len(w["items"]) for w in report["lists"].values()]) == ([], [], [1, 2])
    # What the repaired queue then carries, message by message: tests/cpp/test_dead_unrecorded_repair.cpp.
    spsc = SPSCQueue(name := make_queue_name(), *CREATE["spsc"][1])  # kept alive: its names stay
    assert "spsc queue: it has no lists" in run_tool("repair", name, expect=EXIT_NOT_QUEUE).stderr and spsc


@pytest.mark.parametrize("num_channels", [0, 0xFFFFFFFF])
def test_damaged_header_is_reported_and_removed(num_channels, queue_name):
    crash_after_creating("mpmcvar", queue_name)
    overwrite(queue_name, num_channels.to_bytes(4, "little"), 12)
    assert (listed()[queue_name]["KIND"], listed()[queue_name]["STATE"]) == ("mpmcvar", "damaged")
    fields, _, channels = inspect(queue_name, expect=EXIT_NOT_QUEUE)
    assert fields["kind"] == "mpmcvar" and "num_channels" in fields["damaged"], fields
    assert sorted(channels) == [0, 1, 2]  # found by their semaphores
    report = inspect_json(queue_name, expect=EXIT_NOT_QUEUE)
    assert (report["verdict"], report["kind"], report["problem"]) == ("damaged", "mpmcvar", fields["damaged"])
    assert (report["header"]["num_channels"], report["semaphores"]) == (
        num_channels, {"_free_": 3, "_used_": 0, "_used_mutex_": 1})
    assert (report["lists"], report["held"], report["channels"], report["findings"]) == ({}, [], [], [])
    run_tool("remove", queue_name)  # the channel semaphores too, whatever the header counts
    assert existing_objects(queue_name) == []


def _prefix(size, queue_type):  # a segment prefix: its size word and its kind
    return lambda name: overwrite(name, size.to_bytes(8, "little") + queue_type.to_bytes(4, "little"), 0)


@pytest.mark.parametrize("kind, damage", [
    ("mpmc", lambda name: os.truncate(shm_path(name), 30)), ("mpmc", lambda name: os.truncate(shm_path(name), 5)),
    ("mpmc", _prefix(0, 0)), ("mpmc", _prefix(1000, 1)), ("mpmc", _prefix(64, 7)),
    ("mpmcvar", lambda name: os.unlink(shm_path(name)))],  # its semaphores are left
    ids=["shorter-than-header", "shorter-than-prefix", "prefix-zeroed", "size-differs", "no-such-kind", "segment-gone"])
def test_what_is_no_queue_is_removed_only_with_its_kind(kind, damage, queue_name):
    crash_after_creating(kind, queue_name)
    # While the prefix is sound, a --kind it contradicts is refused, naming the segment's kind.
    refused = run_tool("remove", "--kind", "spsc", queue_name, expect=EXIT_NOT_QUEUE).stderr
    assert f"an {kind} queue, not spsc" in refused, refused
    damage(queue_name)  # under the tool, which checks every size before it reads
    left = existing_objects(queue_name)
    code = EXIT_NOT_QUEUE if os.path.exists(shm_path(queue_name)) else EXIT_NOT_FOUND
    assert queue_name in run_tool("inspect", queue_name, expect=code).stderr
    report = inspect_json(queue_name, expect=code)  # None: nothing on stdout when there is no segment to read
    summary = None if report is None else (report["verdict"], report["kind"], report["header"])
    assert summary == (("not a queue", None, {}) if code == EXIT_NOT_QUEUE else None), report
    # Shown by `list --all` only.
    assert (queue_name in listed(), listed("--all").get(queue_name, {}).get("KIND")) == (
        False, "unknown" if code == EXIT_NOT_QUEUE else None)
    stderr = run_tool("remove", queue_name, expect=code).stderr
    assert ("not a queue" if code == EXIT_NOT_QUEUE else "_used_mutex_") in stderr and "--kind" in stderr, stderr
    assert existing_objects(queue_name) == left
    run_tool("remove", f"--kind={kind}", queue_name)
    assert existing_objects(queue_name) == []
    for args in (["inspect"], ["inspect", "--json"], ["remove"], ["remove", "--kind", kind]):
        r = run_tool(*args, queue_name, expect=EXIT_NOT_FOUND)
        assert (r.stdout, queue_name in r.stderr) == ("", True), r


@pytest.mark.parametrize("kind, row, removed_by_hand, state", [  # the state counts every semaphore, of channels too
    ("spsc", "spsc - 4 32 filled=1,free=3 ok", ["_filled_"], "missing:1/2"),
    ("mpmc", "mpmc - 4 32 filled=1,free=3 ok", ["_filled_mutex_", "_free_"], "missing:2/4"),
    ("mpmcvar", "mpmcvar 3 4 16 used=1,free=2 ok", ["_used_", "_free_channel_1", "_filled_channel_2"], "missing:3/9")])
def test_remove_after_a_crash_lets_the_queue_be_created_again(kind, row, removed_by_hand, state, queue_name):
    crash_after_creating(kind, queue_name, [b"left behind"])
    # No findings: the creator ended between operations.
    assert (" ".join(listed()[queue_name].values()), inspect_json(queue_name)["findings"]) == (row, [])
    if os.geteuid() == 0 and shutil.which("setpriv"):  # another user may neither connect, open, look nor remove
        objects = existing_objects(queue_name)
        probe = subprocess.run([*NOBODY, sys.executable, "-c", PROBE, CREATE[kind][0].__name__, queue_name, *objects],
                               capture_output=True, text=True, timeout=20, env=dict(PATH=os.environ["PATH"], HOME="/"))
        connect, *opened = probe.stdout.splitlines()
        assert connect.endswith(f" on queue '{queue_name}': Permission denied") and opened == ["13"] * len(objects)
        for command in (["inspect"], ["inspect", "--json"], ["remove"], ["remove", "--kind", kind]):
            assert run_tool(*command, queue_name, expect=EXIT_PERMISSION, prefix=NOBODY).stdout == ""
        assert existing_objects(queue_name) == objects
    for suffix in removed_by_hand:
        os.unlink(f"{SHM_DIR}/sem.{queue_name[1:]}{suffix}")
    assert listed()[queue_name]["STATE"] == state
    findings = [f"semaphore {suffix} missing" for suffix in removed_by_hand]
    assert (inspect_json(queue_name)["findings"], inspect(queue_name)[0]["findings"]) == (findings, "; ".join(findings))
    left, owners = existing_objects(queue_name), shm_path(queue_name) + ".owners"
    # The creator recorded itself in the queue's table of owners, which goes with the queue.
    assert os.path.exists(owners) and queue_name + ".owners" not in listed("--all")
    lines = run_tool("remove", queue_name).stdout.splitlines()
    # One line per object removed, then the names that were gone already.
    assert lines.count(f"removed table of owners {queue_name}.owners") == 1 and not os.path.exists(owners), lines
    removed = [line.split()[1:] for line in lines[:-1] if not line.startswith("removed table of owners")]
    assert sorted(shm_path(n) if what == "segment" else f"{SHM_DIR}/sem.{n[1:]}" for what, n in removed) == sorted(left)
    assert sorted(lines[-1].split()[2:]) == sorted(queue_name + s for s in removed_by_hand), lines[-1]
    assert existing_objects(queue_name) == []
    CREATE[kind][0](queue_name, *CREATE[kind][1]).write(b"fresh")


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["inspect"], ["inspect", "a", "b"], ["inspect", "/a/b"], ["inspect", "/"],
     ["list", "extra"], ["list", "--kind", "spsc"], ["remove", "--kind", "fifo", "/q"], ["remove", "/q", "--kind"],
     ["inspect", "--json"], ["list", "--json"], ["remove", "--json", "/q"], ["inspect", "--all", "/q"]],
)
def test_usage_errors(args):
    r = run_tool(*args, expect=EXIT_USAGE)
    assert (r.stdout, r.stderr[:10]) == ("", "mox-ipcq: ")


def test_garbled_segments_are_reported_not_crashed_on(kind, queue_name):
    rng = random.Random(f"garble-{kind}")  # the same garbling on every run
    crash_after_creating(kind, queue_name, [b"payload"])
    pristine = segment_bytes(queue_name)
    for _ in range(40):
        data = bytearray(pristine)
        for _ in range(rng.randint(1, 6)):  # mostly the header and first list words, where sizes and links live
            data[rng.randrange(min(len(data), 96))] = rng.randrange(256)
        data = data[: rng.choice([len(data), len(data), rng.randrange(len(data) + 1)])]
        pathlib.Path(shm_path(queue_name)).write_bytes(data)
        for args in (["inspect", queue_name], ["list", "--all"]):
            run_tool(*args, expect=(EXIT_OK, EXIT_NOT_QUEUE))
        r = run_tool("inspect", "--json", queue_name, expect=(EXIT_OK, EXIT_NOT_QUEUE))
        report = json.loads(r.stdout)  # one well-formed object, whatever the problem text holds
        assert (report["verdict"] == "queue") == (r.returncode == EXIT_OK), report
    run_tool("remove", "--kind", kind, queue_name)
    assert existing_objects(queue_name) == []
