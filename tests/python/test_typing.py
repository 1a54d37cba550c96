"""The stub binding/mox_ipc_queue.pyi against the installed module: stubtest; mypy --strict over the stub and the
examples; and typed uses, run through mypy --strict and through the module, that both accept (each typed read
returning the precise type that assert_type names) or both reject."""

import os
import re
import subprocess
import sys
import types
import typing
from pathlib import Path

import mox_ipc_queue as mq
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
STUB_SOURCE = ROOT / "binding" / "mox_ipc_queue.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
MYPY_TIMEOUT = 25.0  # below the per-test watchdog


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    # mypy finds a single-module stub in site-packages only as the stub package mox_ipc_queue-stubs.
    installed = Path(mq.__file__).parent / "mox_ipc_queue-stubs" / "__init__.pyi"
    assert installed.is_file() and installed.read_bytes() == STUB_SOURCE.read_bytes(), "stale stub: make install"
    return dict(os.environ, MYPY_CACHE_DIR=str(tmp_path_factory.mktemp("mypy_cache")))


def run_mypy(env, *args):
    done = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=MYPY_TIMEOUT,
                          env=env, cwd=ROOT)
    return done.returncode, done.stdout + done.stderr


@pytest.mark.parametrize("args", [("mypy.stubtest", "mox_ipc_queue", "--allowlist", str(ALLOWLIST)),
                                  # overload overlaps, which stubtest skips: oldest Python mypy targets, a new one
                                  ("mypy", "--strict", "--python-version", "3.10", str(STUB_SOURCE)),
                                  ("mypy", "--strict", "--python-version", "3.14", str(STUB_SOURCE)),
                                  ("mypy", "--strict", *map(str, sorted((ROOT / "examples").glob("*.py"))))],
                         ids=["stubtest", "stub-3.10", "stub-3.14", "examples"])
def test_mypy_finds_nothing(mypy_env, args):
    assert args[-1] != "--strict", "no examples found"
    code, out = run_mypy(mypy_env, *args)
    assert code == 0, out


# Each member's decoded type and a value that decodes to it.
MEMBERS = {"Bytes": ("bytes", "b'ab'"), "String": ("str", "'h\u00e9'"), "Int": ("int", "-5"),
           "IntArray": ("NDArray[np.int64]", "np.arange(3, dtype=np.int64)"), "Float": ("float", "2.5"),
           "FloatArray": ("NDArray[np.float64]", "np.linspace(0, 1, 3)")}
DECODED = " | ".join(t for t, _ in MEMBERS.values())
# Typed reads, T the type argument and R the decoded type: what each returns.
READS = [("q.read(T)", "R"), ("q.read(T, 5)", "R | None"), ("q.get(T)", "R"),
         ("q.get(type=T, block=False, timeout=0.5)", "R"), ("q.get_nowait(type=T)", "R"),
         ("q.get_many(max_messages=3, type=T, timeout=1)", "list[R]"),
         ("asyncio.run(q.get_async(type=T, timeout=1))", "R")]


def typed_read_cases():
    cases = [f"{q}.put({value}); assert_type({read.replace('q.', q + '.').replace('T', 'mq.QDataType.' + member)}, "
             f"{result.replace('R', decoded)})"
             for q in "smv" for read, result in READS for member, (decoded, value) in MEMBERS.items()]
    # No type: bytes. A QDataType known only at run time (t, constructed, joined in a list): the union.
    untyped = ["q.read()", "q.get()", "q.get(block=True, timeout=1)", "q.get_nowait()",
               "asyncio.run(q.get_async(timeout=1))", "q.get_many(2)[0]"]
    cases += [f"{q}.put(b'x'); assert_type({read.replace('q.', q + '.')}, bytes)" for q in "smv" for read in untyped]
    return cases + [
        f"m.put(7); t: mq.QDataType = mq.QDataType.Int; assert_type(m.get(t), {DECODED})",
        f"m.put(7); assert_type(m.get(mq.QDataType(2)), {DECODED})",
        f"m.put(7); assert_type(m.get([mq.QDataType.Int, mq.QDataType.Float][0]), {DECODED})",
        f"m.put(7); assert_type(m.read(mq.QDataType(2), 1), {DECODED} | None)",
    ]


# s, m and v: new SPSC, MPMC and MPMCVar queues with room to spare; name: an unused queue name.
ACCEPTED = typed_read_cases() + [
    "s.write(b'x'); s.write('\u00e9'); m.write(7); m.write(2.5); v.write(np.arange(3, dtype=np.int64))",
    "s.write(np.zeros(3)); s.write([1, 2, 3]); s.write(np.zeros(2, dtype=np.float32))",
    "v.partial_write(b'a'); v.partial_write([1.0]); v.partial_write(np.arange(2)); v.partial_write_complete()",
    "assert_type(m.cell_size(), int); m.unlink(); v.unlink(); assert_type(v.inspect(), dict[str, Any])",
    "mq.SPSCQueue(name, 4, 64, False)", "q = mq.MPMCQueue(name, np.int64(4), 64); mq.MPMCQueue(name)",
    "mq.MPMCVarQueue(name, 2, 4, 64)", "mq.QDataType(np.int64(2))",
    "assert_type(mq.QDataType.Int.name, str); assert_type(int(mq.QDataType.Int), int)",
    "assert_type(mq.__version__, str); assert_type(mq.IPCQueueError('x'), mq.IPCQueueError)",
    "s.put(value=bytearray(b'a'), block=False, timeout=None); s.put(memoryview(b'b')); s.put(np.zeros(2, np.uint8))",
    "s.put(True); s.put(np.int64(3)); m.put_nowait(value=2.5); m.put_nowait(np.arange(3))",
    "m.put_many(values=[1, 'a', b'b'], timeout=1.5); assert_type(m.get_many(3), list[bytes])",
    "assert_type(v.qsize(), int); assert_type(v.empty(), bool); assert_type(v.full(), bool)",
    "assert_type(v.num_cells, int); assert_type(v.closed, bool); assert_type(v.name, str)",
    "assert_type(m.__enter__(), mq.MPMCQueue).put(1); m.__exit__(None, None, None); m.close()",
    "mq.MPMCQueue(name, 4, 64, keep_names=True).unlink()", "mq.MPMCVarQueue(name, 2, 4, 64, keep_names=False)",
    "assert_type(mq.MPMCQueue.open(name=name, num_cells=4, cell_size=64), mq.MPMCQueue).unlink()",
    "assert_type(mq.MPMCVarQueue.open(name, num_channels=2, num_cells=4, cell_size=64), mq.MPMCVarQueue).unlink()",
    "assert_type(mq.remove(name=name), bool); assert_type(mq.exists(name=name), bool)",
    "assert_type(mq.IPCQueueError('x').errno, int | None)", "pickle.loads(pickle.dumps(m)).put(1)",
    "asyncio.run(v.put_async(value='x', timeout=1)); assert_type(v.get(mq.QDataType.String), str)",
]
# A misuse both reject: a wrong type or name of an argument (TypeError: no overload matched), no such attribute
# (AttributeError), a converted value that failed a check (IPCQueueError: None becomes a 0-d array) or a result
# other than the one named.
REJECTED = [
    "s.write(object())", "s.write(None)", "s.write()", "s.unlink()", "s.partial_write(b'x')",
    "m.write(b'x', 1)", "m.read(2)", "m.read(mq.QDataType.Int, 1.5)", "m.read(mq.QDataType.Int, None)",
    "m.read(mq.QDataType.Int, np.int64(1))", "m.read(data_type=mq.QDataType.Int)", "v.partial_write(object())",
    "mq.SPSCQueue(name, 4, 64)", "mq.MPMCQueue(name, 4.0, 64)", "mq.MPMCQueue(name, '4', 64)",
    "mq.MPMCVarQueue(name, 2, 4)", "mq.QDataType(2.0)", "mq.QDataType('Int')",
    "mq.QDataType.Int + 1", "mq.QDataType.Int < mq.QDataType.Float", "mq.QDataType.Int | mq.QDataType.Float",
    "m.put(object())", "m.put(None)", "m.put(np.float32(1))", "m.put(1, timeout='1')", "m.put_many(7)",
    "m.put(item=1)", "m.get('Int')", "m.get(2)", "m.get(kind=mq.QDataType.Int)",
    "m.get_nowait(mq.QDataType.Int, False)", "m.get_many('3')", "m.get_many(2.5)", "m.get_many(n=2)",
    "m.name = 'x'", "m.num_cells = 1", "mq.SPSCQueue.open(name, 4, 64)", "mq.MPMCQueue.open(name, 4)",
    "mq.SPSCQueue(name, 4, 64, True, keep_names=True)", "mq.MPMCQueue(name, 4, 64, True)",
    "mq.MPMCQueue(name=name, num_cells=4, cell_size=64)", "asyncio.run(m.get_async(2))",
    "asyncio.run(m.put_async(object()))", "mq.remove(3)",
    "m.put(7); assert_type(m.get(mq.QDataType.Int), str)", "m.put(7); assert_type(m.get(mq.QDataType.Int), float)",
    "s.put(b'x'); assert_type(s.get(), str)", "v.put(2.5); assert_type(v.get_many(1, mq.QDataType.Float), float)",
]


def conforms(value, t):
    """Whether the module's `value` is of the type `t` that the stub names."""
    origin, args = typing.get_origin(t), typing.get_args(t)
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, a) for a in args)
    if origin is list:
        return type(value) is list and bool(value) and all(conforms(v, args[0]) for v in value)
    if origin is dict:
        return type(value) is dict and all(type(k) is args[0] for k in value)
    if origin is np.ndarray:
        return type(value) is np.ndarray and value.ndim == 1 and value.dtype == typing.get_args(args[1])[0]
    return type(value) is t


def assert_type_at_run_time(value, t):
    assert conforms(value, t), f"{value!r} is no {t}"
    return value


def test_stub_and_module_accept_the_same_uses(mypy_env, make_queue_name, tmp_path):
    # One function per case, one line each: mypy's error lines name the case.
    cases = [(code, True) for code in ACCEPTED] + [(code, False) for code in REJECTED]
    header = ("import asyncio\nimport pickle\nfrom typing import Any, assert_type\nimport numpy as np\n"
              "from numpy.typing import NDArray\nimport mox_ipc_queue as mq\n")
    source = header + "".join(
        f"def case_{i}(s: mq.SPSCQueue, m: mq.MPMCQueue, v: mq.MPMCVarQueue, name: str) -> None: {code}\n"
        for i, (code, _) in enumerate(cases))
    (path := tmp_path / "uses.py").write_text(source)
    code, out = run_mypy(mypy_env, "mypy", "--strict", "--no-error-summary", str(path))
    assert code in (0, 1), out  # 2 would be a crash or a bad stub
    error_lines = {int(n) for n in re.findall(rf"^{re.escape(str(path))}:(\d+): error:", out, flags=re.M)}
    namespace = {}
    exec(compile(source, str(path), "exec"), namespace)
    namespace["assert_type"] = assert_type_at_run_time
    wrong = []
    for i, (call, accepted) in enumerate(cases):
        stub_accepts = i + header.count("\n") + 1 not in error_lines  # case i's line, after the imports
        queues = (mq.SPSCQueue(make_queue_name(), 4, 64, True), mq.MPMCQueue(make_queue_name(), 4, 64),
                  mq.MPMCVarQueue(make_queue_name(), 2, 4, 64))
        try:
            namespace[f"case_{i}"](*queues, make_queue_name())
            module_accepts = True
        except (TypeError, AttributeError, mq.IPCQueueError, AssertionError) as e:
            module_accepts, call = False, f"{call} ({type(e).__name__}: {e})"
        finally:
            for q in queues:
                q.close()
        if (stub_accepts, module_accepts) != (accepted, accepted):
            wrong.append(f"{call!r}: expected {accepted}, stub {stub_accepts}, module {module_accepts}")
    assert not wrong, "\n".join(wrong) + "\n" + out
