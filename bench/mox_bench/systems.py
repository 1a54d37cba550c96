"""The systems under test. From Python: our three queue classes and every
peer a user would pick instead, each an adapter with the same methods. From
C++: the keys and labels of the systems in the programs under BUILD/bench.

A system crosses process bounds by key (system(key)), so a child gets only
strings, numbers and the queue objects multiprocessing and faster_fifo pass
on themselves. Each adapter method says where it runs.

PYTHON holds one entry per system; VARIANTS the same systems driven through
another part of their API (put/get, batches, an asyncio consumer), each under
a label of its own so its rows stand beside the plain ones.
"""
import asyncio
import functools
import os
import threading
from typing import Optional

from .workloads import VAR_CELL_SIZE, VAR_CELLS, VAR_CHANNELS, ring_cells

try:
    import mox_ipc_queue as mq
    IMPORT_ERROR = None
except ImportError as e:  # the C++ programs and the peers still run; ours fail
    mq = None
    IMPORT_ERROR = repr(e)

SHM_DIR = "/dev/shm"


def optional(module):
    try:
        return __import__(module)
    except ImportError:
        return None


def mqueue_limits():
    """The kernel's limits on POSIX message queues for unprivileged users."""
    out = {}
    for key in ("msgsize_max", "msg_max"):
        try:
            with open(f"/proc/sys/fs/mqueue/{key}") as f:
                out[key] = int(f.read())
        except OSError:
            out[key] = 0
    return out


class System:
    """How one system is driven. The defaults fit a queue object that is
    passed to children as it is and has put/get."""
    key: str = ""
    label: str = ""
    ours = False
    module: Optional[str] = None  # what a peer needs importable
    mode = "plain"       # "batch": lists through batch_writer/batch_reader; "async": open_async
    stop_marks = True    # 4 -> 4 readers stop at an empty message
    settle_s = 0.0       # wait for background connects before a 4 -> 4 run is released
    hold_writers = False  # 4 -> 4 writers keep their channel open until every reader reported

    def available(self):
        return self.module is None or optional(self.module) is not None

    def refuses(self, payload):
        """Why this system cannot carry `payload`-byte messages here, or None."""
        return None

    def create(self, base, payload, ctx, fan=0):
        """Parent: the channel under name `base`; `fan` readers will take from it."""
        raise NotImplementedError

    def handle(self, made, base):
        """Parent: what a child gets to connect with."""
        return made

    def connect(self, handle):
        """Child: its own end of the channel."""
        return handle

    def writer(self, q, kind, payload, bind=True):
        """The function a writer calls once per message."""
        return q.put

    def fan_senders(self, q, payload):
        """A 4 -> 4 writer's send functions, used in turn."""
        return [self.writer(q, "bytes", payload, bind=False)]

    def reader(self, q, kind, payload, bind=False, endpoint=0):
        """The function a reader calls once per message; returns the value."""
        return q.get

    def batch_writer(self, q):
        """Parent (mode "batch"): puts a list of messages."""
        raise NotImplementedError

    def batch_reader(self, q, most):
        """Child (mode "batch"): returns a list of 1..`most` messages."""
        raise NotImplementedError

    async def open_async(self, handle, kind, payload, count):
        """Child, in its event loop (mode "async"): a function returning an
        awaitable of the next message; `count` messages will be taken."""
        raise NotImplementedError

    def end_async(self):
        """Child, its event loop still running: lets go of what open_async made."""

    def finish(self):
        """A writing process that is about to end: deliver what it sent."""

    def release(self, made):
        """Parent: gives back what create() made."""


class OurQueue(System):
    """`api` "write/read": the fixed methods; "put/get": queue.Queue's
    interface, with put_many/get_many in mode "batch" and get_async in mode
    "async"."""
    ours = True

    def __init__(self, key, label, class_name, make, api="write/read", mode="plain"):
        self.key, self.label, self.class_name, self.make = key, label, class_name, make
        self.api, self.mode = api, mode

    def available(self):
        return mq is not None

    def create(self, base, payload, ctx, fan=0):
        return self.make("/" + base, payload)

    def handle(self, made, base):
        return "/" + base

    def connect(self, handle):
        return getattr(mq, self.class_name)(handle)

    def writer(self, q, kind, payload, bind=True):
        return q.write if self.api == "write/read" else q.put

    def reader(self, q, kind, payload, bind=False, endpoint=0):
        take = q.read if self.api == "write/read" else q.get
        if kind == "int":
            return functools.partial(take, mq.QDataType.Int)
        if kind == "f64":
            return functools.partial(take, mq.QDataType.FloatArray)
        return take

    def batch_writer(self, q):
        return q.put_many

    def batch_reader(self, q, most):
        return functools.partial(q.get_many, most)

    async def open_async(self, handle, kind, payload, count):
        return self.connect(handle).get_async

    def release(self, made):
        if hasattr(made, "unlink"):
            made.unlink()


class MultiprocessingQueue(System):
    key, label = "mp", "multiprocessing.Queue"

    def create(self, base, payload, ctx, fan=0):
        return ctx.Queue(maxsize=ring_cells(payload))

    def release(self, made):
        made.cancel_join_thread()  # a dead reader must not stall the feeder thread's exit
        made.close()


class SimpleQueue(System):
    key, label = "simple", "multiprocessing.SimpleQueue"

    def create(self, base, payload, ctx, fan=0):
        return ctx.SimpleQueue()


class FasterFifo(System):
    key, label, module = "ff", "faster_fifo.Queue", "faster_fifo"

    def create(self, base, payload, ctx, fan=0):
        import faster_fifo
        return faster_fifo.Queue(max_size_bytes=max(1_000_000, ring_cells(payload) * (payload + 256)))


class FasterFifoBatches(FasterFifo):
    key, label, mode = "ff-many", "faster_fifo.Queue put_many/get_many", "batch"

    def batch_writer(self, q):
        return q.put_many

    def batch_reader(self, q, most):
        return functools.partial(q.get_many, max_messages_to_get=most)


_zmq_context = None


def _zmq_socket(kind, endpoint, bind, hwm):
    global _zmq_context
    import zmq
    if _zmq_context is None:
        _zmq_context = zmq.Context()
    sock = _zmq_context.socket(kind)
    sock.setsockopt(zmq.SNDHWM if kind == zmq.PUSH else zmq.RCVHWM, hwm)
    sock.linger = -1  # a writer that ends delivers what it sent
    (sock.bind if bind else sock.connect)(endpoint)
    return sock


def _zmq_reset(linger=0):
    """Closes every socket of this process and its context; linger None
    waits until what was sent has been delivered."""
    global _zmq_context
    if _zmq_context is not None:
        _zmq_context.destroy(linger=linger)
        _zmq_context = None


class Zmq(System):
    """PUSH/PULL over ipc://. The handle is a list of endpoints, one per
    reader: in a 4 -> 4 run every reader binds a PULL socket and every writer
    sends to each in turn, so each reader knows its count. A stop mark could
    overtake data, as PULL fair-queues its peers."""
    key, label, module = "zmq", "pyzmq PUSH/PULL ipc://", "zmq"
    stop_marks = False
    settle_s = 0.3
    # Linger delivers to the network, not to the peer: a writer that closes
    # while its reader lags loses what is still in flight.
    hold_writers = True

    def create(self, base, payload, ctx, fan=0):
        return [f"ipc://{SHM_DIR}/{base}_{i}.zmq" for i in range(max(1, fan))]

    def writer(self, q, kind, payload, bind=True):
        import zmq
        sock = _zmq_socket(zmq.PUSH, q[0], bind, ring_cells(payload))
        for endpoint in q[1:]:
            sock.connect(endpoint)
        if kind == "int":
            return lambda v: sock.send(v.to_bytes(8, "little", signed=True))
        return sock.send

    def fan_senders(self, q, payload):
        import zmq
        return [_zmq_socket(zmq.PUSH, endpoint, False, ring_cells(payload)).send for endpoint in q]

    def reader(self, q, kind, payload, bind=False, endpoint=0):
        import zmq
        sock = _zmq_socket(zmq.PULL, q[endpoint], bind, ring_cells(payload))
        if kind == "int":
            return lambda: int.from_bytes(sock.recv(), "little", signed=True)
        if kind == "f64":
            import numpy as np
            return lambda: np.frombuffer(sock.recv(), dtype=np.float64)
        return sock.recv

    def finish(self):
        _zmq_reset(linger=None)

    def release(self, made):
        _zmq_reset()
        for endpoint in made:
            path = endpoint[len("ipc://"):]
            if os.path.exists(path):
                os.unlink(path)


class ZmqAsync(Zmq):
    """The writer as Zmq's; the reader a zmq.asyncio PULL socket."""
    key, label, mode = "zmq-async", "pyzmq zmq.asyncio PULL ipc://", "async"

    async def open_async(self, handle, kind, payload, count):
        import zmq
        import zmq.asyncio
        sock = zmq.asyncio.Context.instance().socket(zmq.PULL)
        sock.setsockopt(zmq.RCVHWM, ring_cells(payload))
        sock.connect(handle[0])
        return sock.recv

    def end_async(self):
        import zmq.asyncio
        zmq.asyncio.Context.instance().destroy(linger=0)


class ThreadToLoop(MultiprocessingQueue):
    """multiprocessing.Queue has no asyncio interface: a thread takes each
    message and hands it to the loop through an asyncio.Queue."""
    key, label, mode = "mp-thread", "multiprocessing.Queue, thread -> loop", "async"

    async def open_async(self, handle, kind, payload, count):
        loop, handed = asyncio.get_running_loop(), asyncio.Queue()

        def pump():
            for _ in range(count):
                loop.call_soon_threadsafe(handed.put_nowait, handle.get())

        threading.Thread(target=pump, daemon=True).start()
        return handed.get


class PosixMessageQueue(System):
    key, label, module = "posix", "posix_ipc.MessageQueue", "posix_ipc"

    def refuses(self, payload):
        limits = mqueue_limits()
        if payload <= limits["msgsize_max"]:
            return None
        return (f"the kernel limit /proc/sys/fs/mqueue/msgsize_max is {limits['msgsize_max']} bytes "
                f"(and msg_max {limits['msg_max']} messages a queue)")

    def create(self, base, payload, ctx, fan=0):
        import posix_ipc
        return posix_ipc.MessageQueue("/" + base, posix_ipc.O_CREX, max_messages=mqueue_limits()["msg_max"],
                                      max_message_size=payload)

    def handle(self, made, base):
        return "/" + base

    def connect(self, handle):
        import posix_ipc
        return posix_ipc.MessageQueue(handle)

    def writer(self, q, kind, payload, bind=True):
        if kind == "int":
            return lambda v: q.send(v.to_bytes(8, "little", signed=True))
        return q.send

    def reader(self, q, kind, payload, bind=False, endpoint=0):
        if kind == "int":
            return lambda: int.from_bytes(q.receive()[0], "little", signed=True)
        return lambda: q.receive()[0]

    def release(self, made):
        made.close()
        made.unlink()


def _make_spsc(name, payload):
    return mq.SPSCQueue(name, ring_cells(payload), payload, True)


def _make_mpmc(name, payload):
    return mq.MPMCQueue(name, ring_cells(payload), payload)


def _make_mpmcvar(name, payload):
    return mq.MPMCVarQueue(name, VAR_CHANNELS, VAR_CELLS, VAR_CELL_SIZE)


PYTHON = {s.key: s for s in [
    OurQueue("spsc", "Python SPSCQueue", "SPSCQueue", _make_spsc),
    OurQueue("mpmc", "Python MPMCQueue", "MPMCQueue", _make_mpmc),
    OurQueue("mpmcvar", "Python MPMCVarQueue", "MPMCVarQueue", _make_mpmcvar),
    MultiprocessingQueue(), SimpleQueue(), FasterFifo(), Zmq(), PosixMessageQueue(),
]}

VARIANTS = {s.key: s for s in [
    OurQueue("spsc-put", "Python SPSCQueue put/get", "SPSCQueue", _make_spsc, api="put/get"),
    OurQueue("mpmc-put", "Python MPMCQueue put/get", "MPMCQueue", _make_mpmc, api="put/get"),
    OurQueue("mpmcvar-put", "Python MPMCVarQueue put/get", "MPMCVarQueue", _make_mpmcvar, api="put/get"),
    OurQueue("mpmc-many", "Python MPMCQueue put_many/get_many", "MPMCQueue", _make_mpmc, api="put/get",
             mode="batch"),
    # Beside the asyncio consumers: the same writer, a plain get() loop.
    OurQueue("mpmc-get", "Python MPMCQueue get (no event loop)", "MPMCQueue", _make_mpmc, api="put/get"),
    OurQueue("mpmcvar-get", "Python MPMCVarQueue get (no event loop)", "MPMCVarQueue", _make_mpmcvar,
             api="put/get"),
    OurQueue("mpmc-async", "Python MPMCQueue get_async", "MPMCQueue", _make_mpmc, api="put/get", mode="async"),
    OurQueue("mpmcvar-async", "Python MPMCVarQueue get_async", "MPMCVarQueue", _make_mpmcvar, api="put/get",
             mode="async"),
    FasterFifoBatches(), ZmqAsync(), ThreadToLoop(),
]}


def system(key):
    return PYTHON.get(key) or VARIANTS[key]

# The C++ programs' --systems keys and the labels of their rows; ours first.
CPP = {
    "spsc": "C++ SPSCQueueCPP",
    "mpmc": "C++ MPMCQueueCPP",
    "mpmc-unrecorded": "C++ MPMCQueueCPP, unrecorded",
    "mpmcvar": "C++ MPMCVarQueueCPP",
    "bare": "C++ bare ring, poll then sem_wait",
    "bare-block": "C++ bare ring, sem_wait only",
    "pipe": "C++ pipe",
    "boost": "C++ boost message_queue",
    "sem": "C++ bare semaphores, sem_wait only",
    "sem-spin": "C++ bare semaphores, poll then sem_wait",
}
CPP_OURS = {"spsc", "mpmc", "mpmc-unrecorded", "mpmcvar"}

OUR_LABELS = frozenset([s.label for s in list(PYTHON.values()) + list(VARIANTS.values()) if s.ours] +
                       [CPP[k] for k in CPP_OURS] + ["C++ SPSCQueueCPP idle"])


def is_ours(label):
    return label in OUR_LABELS
