"""The stub binding/mox_ipc_queue.pyi against the installed module: stubtest; the overloads and
docstrings the binding registers (pybind11 functions carry no signature stubtest could see);
that stub and module accept the same calls; mypy --strict over the examples."""

import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from helpers import overloads, parameters

import mox_ipc_queue as mq

ROOT = Path(__file__).resolve().parents[2]
STUB_SOURCE = ROOT / "binding" / "mox_ipc_queue.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
INSTALLED_STUB = Path(mq.__file__).with_name("mox_ipc_queue.pyi")
MYPY_TIMEOUT = 25.0  # below the per-test watchdog

# Stub annotations a runtime annotation may become (pybind11 3 renders the first forms, pybind11 2 the
# second). A float64 array converts whatever NumPy can; an int64 one does not.
F64, I64 = {"ArrayLike"}, {"NDArray[numpy.int64]"}
STUB_TYPES = {
    "str": {"str"}, "bytes": {"bytes"}, "int": {"int", "SupportsIndex"}, "float": {"float"}, "bool": {"bool"},
    "typing.SupportsInt | typing.SupportsIndex": {"SupportsIndex"}, "mox_ipc_queue.QDataType": {"QDataType"},
    "typing.Annotated[numpy.typing.ArrayLike, numpy.float64]": F64, "numpy.ndarray[numpy.float64]": F64,
    "typing.Annotated[numpy.typing.ArrayLike, numpy.int64]": I64, "numpy.ndarray[numpy.int64]": I64,
}
STUB_RESULTS = {"None": {"None"}, "int": {"int"}, "bool": {"bool"}, "dict": {"dict[str, Any]"},
                "object": {"bytes", "_Decoded", "_Decoded | None"}}
STUB = ast.parse(STUB_SOURCE.read_text())
STUB_CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """For mypy runs on the installed stub, copied: mypy takes no single-module stub from site-packages."""
    stale = not INSTALLED_STUB.is_file() or INSTALLED_STUB.read_bytes() != STUB_SOURCE.read_bytes()
    assert not stale, f"no stub or a stale one beside {mq.__file__}: run make install"
    stubs = tmp_path_factory.mktemp("stubs")
    shutil.copy(INSTALLED_STUB, stubs)
    return dict(os.environ, MYPYPATH=str(stubs), MYPY_CACHE_DIR=str(tmp_path_factory.mktemp("mypy_cache")))


def run_mypy(env, *args):
    done = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=MYPY_TIMEOUT,
                          env=env, cwd=ROOT)
    return done.returncode, done.stdout + done.stderr


@pytest.mark.parametrize("args", [("mypy.stubtest", "mox_ipc_queue", "--allowlist", str(ALLOWLIST)),
                                  ("mypy", "--strict", *map(str, sorted((ROOT / "examples").glob("*.py"))))],
                         ids=["stubtest", "examples-strict"])
def test_mypy_finds_nothing(mypy_env, args):
    assert args[-1] != "--strict", "no examples found"
    code, out = run_mypy(mypy_env, *args)
    assert code == 0, out


@pytest.mark.parametrize("class_name", ["SPSCQueue", "MPMCQueue", "MPMCVarQueue"])
def test_stub_lists_the_binding_overloads_in_order(class_name):
    runtime_class = getattr(mq, class_name)
    for method in [n for n, v in vars(runtime_class).items() if callable(v) and (n == "__init__" or n[0] != "_")]:
        runtime = overloads(getattr(runtime_class, method))
        stub = [n for n in STUB_CLASSES[class_name].body if isinstance(n, ast.FunctionDef) and n.name == method]
        assert len(stub) == len(runtime), f"{class_name}.{method}: {len(stub)} stub overloads, {len(runtime)} bound"
        for row, ((signature, doc), node) in enumerate(zip(runtime, stub), 1):
            where = f"{class_name}.{method} overload {row}: {signature}"
            stub_params = [ast.unparse(p.annotation) for p in (node.args.posonlyargs + node.args.args)[1:]]
            runtime_params = [annotation for _, annotation in parameters(signature)[1:]]
            assert len(stub_params) == len(runtime_params) and all(
                s in STUB_TYPES.get(r, ()) for r, s in zip(runtime_params, stub_params)), f"{where}: stub {stub_params}"
            result = STUB_RESULTS.get(signature.rpartition(" -> ")[2], ())
            assert ast.unparse(node.returns) in result, f"{where}: stub returns {ast.unparse(node.returns)}"
            assert (ast.get_docstring(node) or "") == doc, where


# In each case s, m and v are new SPSC, MPMC and MPMCVar queues with room to spare and `name` is an unused
# queue name. The module rejects a case that raises: no overload matched (TypeError), no such method
# (AttributeError) or a converted value failed a check (IPCQueueError: None becomes a 0-d array).
ACCEPTED = [
    "s.write(b'x')", "s.write('\u00e9')", "s.write(7)", "s.write(2.5)", "s.write(np.arange(3, dtype=np.int64))",
    "s.write(np.zeros(3))", "s.write([1, 2, 3])", "s.write(np.zeros(2, dtype=np.float32))",
    "m.write(b'x'); r: bytes = m.read()", "m.write(7); m.read(mq.QDataType.Int)", "n: int = m.cell_size()",
    "m.read(mq.QDataType.Int, 1)", "m.unlink()",
    "v.write(np.arange(20, dtype=np.int64))", "v.partial_write(np.arange(2, dtype=np.int64))", "v.unlink()",
    "v.partial_write(b'a'); v.partial_write([1.0]); v.partial_write_complete()", "v.read(mq.QDataType.FloatArray, 1)",
    "mq.SPSCQueue(name, 4, 64, False)", "mq.MPMCQueue(name, np.int64(4), 64)", "mq.MPMCVarQueue(name, 2, 4, 64)",
    "q: mq.MPMCQueue = mq.MPMCQueue(name, 4, 64); mq.MPMCQueue(name)", "mq.QDataType(np.int64(2))",
    "t: str = mq.QDataType.Int.name; k: int = int(mq.QDataType.Int)", "e: Exception = mq.IPCQueueError('text')",
    "x: str = mq.__version__",  # stubtest does not check a variable's type
]
REJECTED = [
    "s.write(object())", "s.write(None)", "s.write()", "s.unlink()", "s.partial_write(b'x')",
    "m.write(b'x', 1)", "m.read(2)", "m.read(mq.QDataType.Int, 1.5)", "m.read(mq.QDataType.Int, None)",
    "m.read(mq.QDataType.Int, np.int64(1))", "m.read(arg0=mq.QDataType.Int)", "v.partial_write(object())",
    "mq.SPSCQueue(name, 4, 64)", "mq.MPMCQueue(name, 4.0, 64)", "mq.MPMCVarQueue(name, 2, 4)", "mq.QDataType(2.0)",
    "mq.QDataType.Int + 1", "mq.QDataType.Int < mq.QDataType.Float",
]


def test_stub_accepts_what_the_module_accepts(mypy_env, make_queue_name, tmp_path):
    # One function per case, one line each: mypy's error lines name the case.
    cases = [(code, True) for code in ACCEPTED] + [(code, False) for code in REJECTED]
    source = "import numpy as np\nimport mox_ipc_queue as mq\n" + "".join(
        f"def case_{i}(s: mq.SPSCQueue, m: mq.MPMCQueue, v: mq.MPMCVarQueue, name: str) -> None: {code}\n"
        for i, (code, _) in enumerate(cases))
    (path := tmp_path / "calls.py").write_text(source)
    code, out = run_mypy(mypy_env, "mypy", "--strict", "--no-error-summary", "--show-error-codes", str(path))
    assert code in (0, 1), out  # 2 would be a crash or a bad stub
    error_lines = {int(n) for n in re.findall(rf"^{re.escape(str(path))}:(\d+): error:", out, flags=re.M)}
    namespace = {}
    exec(compile(source, str(path), "exec"), namespace)
    wrong = []
    for i, (call, accepted) in enumerate(cases):
        stub_accepts = i + 3 not in error_lines  # case i is on line i + 3, after the imports
        queues = (mq.SPSCQueue(make_queue_name(), 4, 64, True), mq.MPMCQueue(make_queue_name(), 4, 64),
                  mq.MPMCVarQueue(make_queue_name(), 2, 4, 64))
        try:
            namespace[f"case_{i}"](*queues, make_queue_name())
            module_accepts = True
        except (TypeError, AttributeError, mq.IPCQueueError):
            module_accepts = False
        if (stub_accepts, module_accepts) != (accepted, accepted):
            wrong.append(f"{call!r}: expected {accepted}, stub {stub_accepts}, module {module_accepts}")
    assert not wrong, "\n".join(wrong) + "\n" + out

