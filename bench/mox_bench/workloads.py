"""What is measured: message kinds and sizes, the queues' geometry, and how
many messages each system moves per run. Every count here is data; the
interleaving of runs lives in python_runs and cpp_runs.

Python kinds: "int" (a Python int, 8 bytes on the wire), "bytes", "f64" (a
1-D numpy.float64 array). System keys are those of systems.PYTHON and of the
C++ programs' --systems option (systems.CPP).
"""
from dataclasses import dataclass, field

KIB, MIB = 1024, 1024 * 1024
# Variable-length queue geometry, the same as the C++ programs'.
VAR_CHANNELS, VAR_CELLS, VAR_CELL_SIZE = 4, 64, 16 * KIB
FAN_PROCS = 4          # writers, and as many readers, in a 4 -> 4 run
PING_PAYLOAD = 64      # bytes per ping-pong message
INT_VALUE = 0x0102030405060708


def ring_cells(payload):
    """Ring length of every fixed-cell queue, and the bound of the peers
    that take one: 1024 messages up to 4 KiB, else 2 MiB worth, at least 8."""
    return 1024 if payload <= 4096 else max(8, (2 * MIB) // payload)


def size_label(n):
    if n >= MIB and n % MIB == 0:
        return f"{n // MIB} MiB"
    if n >= KIB and n % KIB == 0:
        return f"{n // KIB} KiB"
    return f"{n} B"


def workload_label(kind, payload):
    if kind == "int":
        return "int (8 B)"
    if kind == "f64":
        return f"float64 array {size_label(payload)}"
    return f"bytes {size_label(payload)}"


def payload_value(kind, payload):
    if kind == "int":
        return INT_VALUE
    if kind == "f64":
        import numpy as np
        return np.arange(payload // 8, dtype=np.float64)
    return bytes(range(256)) * (payload // 256) + bytes(payload % 256)


def value_size(kind, value):
    """Bytes a reader got; -1 for an int that is not the one written."""
    if kind == "int":
        return 8 if value == INT_VALUE else -1
    return value.nbytes if hasattr(value, "nbytes") else len(value)


@dataclass(frozen=True)
class PyWorkload:
    """One Python workload: `counts` gives the messages (or round trips) per
    run for each system that takes part (keys of systems.PYTHON or
    systems.VARIANTS); --quick scales them down, except those in `keep`."""
    shape: str      # "pair" 1 -> 1, "fan" FAN_PROCS -> FAN_PROCS, "ping" round trips
    kind: str
    payload: int
    counts: dict = field(hash=False)
    section: str = ""   # the report's section; "" is the shape's own
    keep: tuple = ()

    @property
    def label(self):
        return workload_label(self.kind, self.payload)

    def count(self, key, scale):
        return self.counts[key] if key in self.keep else scaled(self.shape, self.counts[key], scale)


_PAIR_SMALL = {"spsc": 400_000, "mpmc": 300_000, "mp": 50_000, "simple": 100_000, "ff": 150_000,
               "zmq": 150_000, "posix": 150_000}
_PAIR_1MIB = {"spsc": 1_000, "mpmcvar": 1_000, "mp": 300, "simple": 300, "ff": 300, "zmq": 300, "posix": 300}

PY_PAIRS = [
    PyWorkload("pair", "int", 8, _PAIR_SMALL),
    PyWorkload("pair", "bytes", 64, _PAIR_SMALL),
    PyWorkload("pair", "bytes", 64 * KIB, {"spsc": 20_000, "mpmcvar": 10_000, "mp": 5_000, "simple": 5_000,
                                           "ff": 5_000, "zmq": 5_000, "posix": 5_000}),
    PyWorkload("pair", "bytes", MIB, _PAIR_1MIB),
    PyWorkload("pair", "f64", MIB, _PAIR_1MIB),
]
PY_FAN = PyWorkload("fan", "bytes", 64, {"mpmc": 400_000, "mpmcvar": 200_000, "mp": 100_000, "simple": 100_000,
                                         "ff": 200_000, "zmq": 200_000, "posix": 200_000})
PY_PING = PyWorkload("ping", "bytes", PING_PAYLOAD, {"spsc": 20_000, "mpmc": 20_000, "mp": 5_000, "simple": 10_000,
                                                     "ff": 10_000, "zmq": 10_000, "posix": 10_000})

# The Python API beside its peers, 1 -> 1 each.
# Batches: put_many/get_many against faster_fifo's, lists of BATCH messages.
BATCH = 256
PY_BATCH = PyWorkload("pair", "bytes", 64, {"mpmc-many": 500_000, "ff-many": 200_000}, section="py-batch")
# Convenience: put/get against write/read of each class (the pair of keys of each row).
CONVENIENCE = [("Python SPSCQueue", "spsc", "spsc-put"), ("Python MPMCQueue", "mpmc", "mpmc-put"),
               ("Python MPMCVarQueue", "mpmcvar", "mpmcvar-put")]
CONVENIENCE_RUNS = 3   # times --runs
PY_CONVENIENCE = PyWorkload("pair", "bytes", 64, {"spsc": 300_000, "spsc-put": 300_000, "mpmc": 300_000,
                                                 "mpmc-put": 300_000, "mpmcvar": 200_000, "mpmcvar-put": 200_000},
                            section="py-conv")
# asyncio consumers; every writer puts. The loop's worst stall is taken over
# ASYNC_STALL_COUNT 64-byte messages, also in a --quick run.
ASYNC_STALL_COUNT = 100_000
TICK_S = 0.001          # the ticker coroutine's sleep
PY_ASYNC = [
    PyWorkload("pair", "bytes", 64, {"mpmc-async": ASYNC_STALL_COUNT, "mpmc-get": ASYNC_STALL_COUNT,
                                     "zmq-async": 30_000, "mp-thread": 20_000},
               section="py-async", keep=("mpmc-async", "mpmc-get")),
    PyWorkload("pair", "bytes", MIB, {"mpmcvar-async": 500, "mpmcvar-get": 500, "zmq-async": 300, "mp-thread": 300},
               section="py-async"),
]

# Fewest messages a scaled-down (--quick) run may use.
MIN_COUNT = {"pair": 1, "fan": FAN_PROCS, "ping": 100}


def scaled(shape, count, scale):
    return max(MIN_COUNT[shape], int(count * scale))


# C++, 1 -> 1 through spsc_bench, one invocation per size: (SIZE, {system: messages per run}).
_CPP_SMALL = {"spsc": 1_000_000, "bare": 1_000_000, "bare-block": 1_000_000, "pipe": 200_000, "boost": 200_000,
              "mpmc": 500_000, "mpmc-unrecorded": 500_000}
CPP_PAIRS = [
    (8, _CPP_SMALL),
    (64, _CPP_SMALL),
    (64 * KIB, {"spsc": 40_000, "bare": 40_000, "bare-block": 40_000, "pipe": 10_000, "boost": 20_000,
                "mpmcvar": 20_000}),
    (MIB, {"spsc": 2_000, "bare": 2_000, "bare-block": 2_000, "pipe": 600, "boost": 1_000, "mpmcvar": 2_000}),
]
# C++, FAN_PROCS -> FAN_PROCS through mpmc_bench: 64-byte messages in all, per run.
CPP_FAN_SYSTEMS, CPP_FAN_COUNT = ("mpmc", "mpmc-unrecorded", "pipe", "boost", "mpmcvar"), 200_000
# C++ round trips through latency_bench (every system it has), per run.
CPP_ROUND_TRIPS = 20_000
