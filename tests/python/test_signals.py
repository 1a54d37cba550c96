"""Blocking calls, every class. A thread blocked in a read lets the other threads run. A signal handler that
returns lets the call go on with the time it has left (PEP 475); one that raises (Ctrl-C) ends it, and the call
has then done nothing. Inside an MPMCVarQueue message, once cells have crossed, the message is abandoned and the
other side is told. A daemon thread in a wait at interpreter shutdown ends quietly. (A storm: test_traffic.py.)"""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from helpers import EXIT_KEYBOARD_INTERRUPT, make, named, notify_parent, semaphore_taken, wait_thread_blocked
from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

T = QDataType
CELL, CHANNELS = 16, 3  # MPMCVar: three channels of two cells of 16 bytes
LONG_MS = 600_000  # a timed read that would outlive the test
KINDS = {"spsc": (SPSCQueue, (1, 64, True)), "mpmc": (MPMCQueue, (1, 64)), "var": (MPMCVarQueue, (CHANNELS, 2, CELL))}
RETURNING = [signal.SIGUSR1, signal.SIGCHLD, signal.SIGTERM]  # a SIGTERM handler that only notes it: a shutdown flag


def _thread_reads_while_another_writes(kind, name, args):
    # In a child: a wait that kept the interpreter lock would stop the writing thread, a deadlock.
    q, got = make(kind, name, 2, 16), []
    reader = threading.Thread(target=lambda: got.append(q.read(T.Int, *args)))
    reader.start()
    blocked = wait_thread_blocked(reader)
    q.write(42)
    reader.join(5)
    return blocked, reader.is_alive(), got


@pytest.mark.parametrize("args", [(), (0,), (LONG_MS,)], ids=["untimed", "zero-no-limit", "long"])
def test_a_thread_blocked_in_a_read_lets_another_write(kind, args, queue_name, run_in_child):
    assert run_in_child(_thread_reads_while_another_writes, kind, queue_name, args, timeout=10) == (True, False, [42])


def _block(kind, name, before, call):
    """Connects, notes the RETURNING signals, runs `before`, says where it is and makes the call that waits;
    returns its result and the signals noted."""
    seen = []
    for sig in RETURNING:
        signal.signal(sig, lambda signum, frame: seen.append(signum))
    q = KINDS[kind][0](name)
    if before:
        before(q)
    notify_parent("blocking")
    return call(q), seen


def _created(kind, name, setup=None):
    q = KINDS[kind][0](name, *KINDS[kind][1])
    if setup:
        setup(q)
    return q


def _assert_interrupted(child):
    outcome = child.finish(timeout=5)
    assert (outcome.exc_type, outcome.exitcode) == ("KeyboardInterrupt", EXIT_KEYBOARD_INTERRUPT), outcome.describe()


def _fill_channels(q):
    for n in range(CHANNELS):
        q.write(b"m%d" % n)


def _sigint_to_another_thread(q):
    # The kernel hands SIGINT to the thread that does not block it; the wait
    # in this thread is not broken by it and has to notice it all the same.
    threading.Thread(target=time.sleep, args=(30,), daemon=True).start()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})


def row(id, kind, call, setup=None, before=None, lock=None, release=None, result=None, released=None, left=None):
    return pytest.param(kind, call, setup, before, lock, release, result, released, left, id=id)


READS = {"read": lambda q: q.read(), "read-typed": lambda q: q.read(T.String),
         "read-timed": lambda q: q.read(T.IntArray, LONG_MS)}
LOCKS = [("mpmc", "_filled_mutex_"), ("mpmc", "_free_mutex_"), ("var", "_used_mutex_")]
CALLS = [
    # Ctrl-C while waiting for a message, a free cell (every write overload shares that wait) or a channel.
    *(row(f"{kind}-{n}-sigint", kind, call) for kind in KINDS for n, call in READS.items()),
    *(row(f"{kind}-write-full-sigint", kind, lambda q: q.write(np.ones(4)), before=lambda q: q.write(b"x"),
          left=b"x") for kind in ("spsc", "mpmc")),
    row("var-write-for-channel-sigint", "var", lambda q: q.write("needs a channel"), _fill_channels, left=b"m0"),
    row("var-partial-write-for-channel-sigint", "var", lambda q: q.partial_write(7), _fill_channels, left=b"m0"),
    row("mpmc-read-sigint-caught-by-another-thread", "mpmc", lambda q: q.read(), before=_sigint_to_another_thread),
    # Ctrl-C while waiting for a list lock this test holds: after taking a count (the call gives it back), or
    # holding a cell to publish or give back (the call takes the operation back).
    *(row(f"{k}-read-{lock}-sigint", k, lambda q: q.read(), lambda q: q.write(b"kept"), lock=lock, left=b"kept")
      for k, lock in LOCKS),
    *(row(f"{k}-write-{lock}-sigint", k, lambda q: q.write(b"never published"), lock=lock)
      for k, lock in LOCKS),
    # Released: the call ends with its result.
    row("spsc-read", "spsc", lambda q: q.read(), release=lambda q: q.write(b"late"), result=b"late"),
    row("mpmc-read", "mpmc", lambda q: q.read(T.Int), release=lambda q: q.write(42), result=42),
    row("var-read", "var", lambda q: q.read(T.String), release=lambda q: q.write("late"), result="late"),
    row("spsc-read-timed", "spsc", lambda q: q.read(T.Bytes, 3000), release=lambda q: None),  # time left runs out
    row("mpmc-write-full", "mpmc", lambda q: q.write(b"room"), lambda q: q.write(b"x"), release=lambda q: q.read(),
        released=b"x", left=b"room"),
    # Ring of two 16-byte cells: one cell crosses, the writer pauses inside the message, then 40 bytes more. A
    # timed read, once it has taken the message, reads it to its end, however long past its time that takes.
    *(row(f"var-read{timed}-inside-message", "var", read, lambda q: q.partial_write(bytes(range(CELL))),
          release=lambda q: (q.partial_write(bytes(40)), q.partial_write_complete()),
          result=bytes(range(CELL)) + bytes(40), released=(None, None))
      for timed, read in [("", lambda q: q.read()), ("-timed", lambda q: q.read(T.Bytes, 100))]),
    row("var-write-inside-message", "var", lambda q: q.write(bytes(range(100))), release=lambda q: q.read(),
        released=bytes(range(100))),
]


@pytest.mark.parametrize("kind, call, setup, before, lock, release, result, released, left", CALLS)
def test_signals_in_a_blocked_call(kind, call, setup, before, lock, release, result, released, left, queue_name,
                                   start_child):
    q = _created(kind, queue_name, setup)
    with semaphore_taken(queue_name + lock) if lock else contextlib.nullcontext():
        child = start_child(_block, kind, queue_name, before, call)
        child.wait_for("blocking")
        for sig in RETURNING * 2:
            os.kill(child.pid, sig)
            time.sleep(0.02)  # one at a time: a second one pending would be merged into the first
        child.assert_blocked()
        if release is None:  # Ctrl-C: the call ends having done nothing
            os.kill(child.pid, signal.SIGINT)
            time.sleep(0.3 if lock else 0)  # an undo waits for the lock too: it must outlast the holder
    if release is None:
        _assert_interrupted(child)
        got, got_back = None, None  # the queue is as it was
    else:
        got_back = release(q)
        got, seen = child.result()
        assert sorted(seen) == sorted(RETURNING * 2)
    assert (got, got_back, q.inspect()["findings"], q.read(T.Bytes, 100)) == (result, released, [], left)


def _start_two_cells(q):
    q.partial_write(bytes(range(2 * CELL)))  # fills the ring; the message's end needs a third cell


def _complete_after_interrupt(q):
    with contextlib.suppress(KeyboardInterrupt):
        q.partial_write_complete()
    try:  # the message was given up: it is no longer this object's to end
        q.partial_write_complete()
    except IPCQueueError as exc:
        return str(exc)


# Test's setup, child's before and its call, whom the message lost: the test then reads (a writer lost it) or ends
# its own message (a reader lost it).
ABANDONED = [
    (None, None, lambda q: q.write(bytes(5 * CELL)), "writer"),  # nobody reads
    (None, None, lambda q: q.partial_write(np.zeros(10)), "writer"),  # 80 bytes
    (None, _start_two_cells, lambda q: q.partial_write_complete(), "writer"),
    (None, _start_two_cells, _complete_after_interrupt, "writer"),
    # The reader holds the channel: the writer handed over one full cell and keeps 8 bytes.
    (lambda q: q.partial_write(bytes(CELL + 8)), None, lambda q: q.read(), "reader"),
]


@pytest.mark.parametrize("setup, before, call, side", ABANDONED,
                         ids=["write", "partial-write", "complete", "complete-called-again", "read"])
def test_sigint_inside_a_message_abandons_it(setup, before, call, side, queue_name, start_child):
    q = _created("var", queue_name, setup)
    child = start_child(_block, "var", queue_name, before, call)
    child.wait_for("blocking")
    child.assert_blocked()
    os.kill(child.pid, signal.SIGINT)
    if call is _complete_after_interrupt:
        text = named("MPMCVarQueue.partial_write_complete: no partial message under way", queue_name)
        assert child.result()[0] == text
    else:
        _assert_interrupted(child)
    with pytest.raises(IPCQueueError) as info:  # never the cells that crossed, as if whole
        q.read(T.Bytes, 5000) if side == "writer" else q.partial_write_complete()
    assert (str(info.value), q.inspect()["findings"]) == (named(f"message abandoned by its {side}", queue_name), [])
    q.write(b"next")
    assert q.read(T.Bytes, 5000) == b"next"


SHUTDOWN_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    from mox_ipc_queue import MPMCQueue
    q = MPMCQueue(sys.argv[1])
    threading.Thread(target=q.read, daemon=True).start()  # takes the message, then waits to give its cell back
    time.sleep(0.5)

    class Slow:  # cleared with the module's globals once the interpreter is finalizing
        def __del__(self):
            print("finalizing", flush=True)
            time.sleep(1.0)  # the lock comes free meanwhile: the daemon thread wakes and is ended

    slow = Slow()
    print("exiting", flush=True)
""")


def test_daemon_thread_in_a_wait_at_interpreter_shutdown(queue_name):
    q = _created("mpmc", queue_name, lambda q: q.write(b"m"))  # noqa: F841 - the queue lives as long as the test
    with semaphore_taken(queue_name + "_free_mutex_"):
        proc = subprocess.Popen([sys.executable, "-c", SHUTDOWN_SCRIPT, queue_name], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        assert (proc.stdout.readline(), proc.stdout.readline()) == ("exiting\n", "finalizing\n")
    _, err = proc.communicate(timeout=15)
    assert proc.returncode == 0, err
