"""The type stub mox_ipc_queue.pyi against the installed module: stubtest,
the overloads and docstrings the binding registers (which stubtest cannot
see, as pybind11 functions carry no signature), what the stub accepts
compared with what the module accepts, and mypy --strict over the examples."""

import ast
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from test_module import overloads, parameters

import mox_ipc_queue as mq

ROOT = Path(__file__).resolve().parents[2]
STUB_SOURCE = ROOT / "binding" / "mox_ipc_queue.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
INSTALLED_STUB = Path(mq.__file__).with_name("mox_ipc_queue.pyi")
MYPY_TIMEOUT = 25.0  # below the per-test watchdog
CLASSES = ("SPSCQueue", "MPMCQueue", "MPMCVarQueue")

# Stub annotations that a runtime annotation may become. pybind11 3 renders
# the first forms, pybind11 2 the second.
STUB_TYPES = {
    "str": {"str"},
    "bytes": {"bytes"},
    "int": {"int", "SupportsIndex"},
    "float": {"float"},
    "bool": {"bool"},
    "typing.SupportsInt | typing.SupportsIndex": {"SupportsIndex"},
    "mox_ipc_queue.QDataType": {"QDataType"},
    # The float64 rows convert whatever NumPy can; the int64 rows do not.
    "typing.Annotated[numpy.typing.ArrayLike, numpy.float64]": {"ArrayLike"},
    "numpy.ndarray[numpy.float64]": {"ArrayLike"},
    "typing.Annotated[numpy.typing.ArrayLike, numpy.int64]": {"NDArray[numpy.int64]"},
    "numpy.ndarray[numpy.int64]": {"NDArray[numpy.int64]"},
}
STUB_RESULTS = {"None": {"None"}, "int": {"int"}, "object": {"bytes", "_Decoded", "_Decoded | None"}}


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """Environment for mypy runs that see the installed stub.

    mypy looks up no single-module stub in site-packages (PEP 561 covers
    packages only) and refuses site-packages on MYPYPATH, so the installed
    file is copied to a directory of its own."""
    if shutil.which("mypy", path=str(Path(sys.executable).parent)) is None:
        pytest.fail("mypy is not installed beside this interpreter (make install installs it)")
    assert INSTALLED_STUB.is_file(), f"no stub installed beside {mq.__file__}: run make install"
    stubs = tmp_path_factory.mktemp("stubs")
    shutil.copy(INSTALLED_STUB, stubs)
    env = dict(os.environ, MYPYPATH=str(stubs))
    env.pop("MYPY_CACHE_DIR", None)
    return env, tmp_path_factory.mktemp("mypy_cache")


def run_mypy(mypy_env, *args):
    env, cache = mypy_env
    command = [sys.executable, "-m", *args]
    if args[0] == "mypy":
        command += ["--cache-dir", str(cache)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=MYPY_TIMEOUT, env=env, cwd=ROOT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{command} still running after {MYPY_TIMEOUT} s")
    return done.returncode, done.stdout + done.stderr


def test_the_installed_stub_is_the_one_in_the_source_tree():
    assert INSTALLED_STUB.is_file(), f"no stub installed beside {mq.__file__}"
    assert INSTALLED_STUB.read_bytes() == STUB_SOURCE.read_bytes(), "installed stub is stale: run make install"


def test_stubtest_finds_no_difference(mypy_env):
    code, out = run_mypy(mypy_env, "mypy.stubtest", "mox_ipc_queue", "--allowlist", str(ALLOWLIST))
    assert code == 0, out


# ------------------------------------------------- overloads and docstrings ---


def stub_classes():
    tree = ast.parse(STUB_SOURCE.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_overloads(class_node, name):
    """[(parameter annotations after self, result annotation, docstring)] in stub order."""
    found = []
    for node in class_node.body:
        if isinstance(node, ast.FunctionDef) and node.name == name:
            params = node.args.posonlyargs + node.args.args
            found.append((
                [ast.unparse(p.annotation) for p in params[1:]],
                ast.unparse(node.returns),
                ast.get_docstring(node) or "",
            ))
    return found


@pytest.mark.parametrize("class_name", CLASSES)
def test_stub_lists_the_binding_overloads_in_order(class_name):
    runtime_class = getattr(mq, class_name)
    stub_class = stub_classes()[class_name]
    methods = [n for n, v in vars(runtime_class).items() if callable(v) and (n == "__init__" or not n.startswith("_"))]
    assert methods, class_name
    for method in methods:
        runtime = overloads(getattr(runtime_class, method))
        stub = stub_overloads(stub_class, method)
        assert len(stub) == len(runtime), f"{class_name}.{method}: {len(stub)} stub overloads, {len(runtime)} bound"
        for row, ((signature, doc), (stub_params, stub_result, stub_doc)) in enumerate(zip(runtime, stub), 1):
            where = f"{class_name}.{method} overload {row}: {signature}"
            runtime_params = [annotation for _, annotation in parameters(signature)[1:]]
            assert len(stub_params) == len(runtime_params), where
            for runtime_type, stub_type in zip(runtime_params, stub_params):
                assert stub_type in STUB_TYPES.get(runtime_type, ()), f"{where}: stub says {stub_type}"
            runtime_result = signature.rpartition(" -> ")[2]
            assert stub_result in STUB_RESULTS.get(runtime_result, ()), f"{where}: stub returns {stub_result}"
            assert stub_doc == doc, where


def test_module_level_names_match_the_stub():
    classes = stub_classes()
    members = [
        node.target.id
        for node in classes["QDataType"].body
        if isinstance(node, ast.AnnAssign)
        and ast.unparse(node.annotation) == "ClassVar[QDataType]"
    ]
    assert members == list(mq.QDataType.__members__)
    # stubtest checks neither a variable's type nor an exception's base.
    assert [ast.unparse(b) for b in classes["IPCQueueError"].bases] == [
        b.__name__ for b in mq.IPCQueueError.__bases__
    ]
    version = next(
        n for n in ast.parse(STUB_SOURCE.read_text()).body
        if isinstance(n, ast.AnnAssign) and ast.unparse(n.target) == "__version__"
    )
    assert ast.unparse(version.annotation) == type(mq.__version__).__name__


# ------------------------------------------- what the stub and module accept ---

# (code, accepted). Inside each case s, m and v are new SPSC, MPMC and
# MPMCVar queues with room to spare, and `name` is an unused queue name. The
# module rejects a case that raises, whether no overload matched (TypeError),
# there is no such method (AttributeError) or a converted value failed a
# check (IPCQueueError: None, say, becomes a zero-dimensional array).
CALLS = [
    ("s.write(b'x')", True),
    ("s.write('\u00e9')", True),
    ("s.write(7)", True),
    ("s.write(True)", True),
    ("s.write(2.5)", True),
    ("s.write(np.float64(2.5))", True),
    ("s.write(np.arange(3, dtype=np.int64))", True),
    ("s.write(np.zeros(3))", True),
    ("s.write([1, 2, 3])", True),
    ("s.write((0.5, 1.5))", True),
    ("s.write(np.zeros(2, dtype=np.float32))", True),
    ("s.write(object())", False),
    ("s.write(None)", False),
    ("s.write({'a': 1})", False),
    ("s.write()", False),
    ("s.unlink()", False),
    ("s.partial_write(b'x')", False),
    ("m.write(b'x', 1)", False),
    ("m.write(b'x')\nr: bytes = m.read()", True),
    ("m.write(7)\nm.read(mq.QDataType.Int)", True),
    ("n: int = m.cell_size()", True),
    ("m.read(mq.QDataType.Int, 1)", True),
    ("m.read(2)", False),
    ("m.read(mq.QDataType.Int, 1.5)", False),
    ("m.read(mq.QDataType.Int, None)", False),
    ("m.read(mq.QDataType.Int, np.int64(1))", False),
    ("m.read(arg0=mq.QDataType.Int)", False),
    ("m.unlink()", True),
    ("v.write(np.arange(20, dtype=np.int64))", True),
    ("v.partial_write(b'a')\nv.partial_write([1.0])\nv.partial_write_complete()", True),
    ("v.partial_write(np.arange(2, dtype=np.int64))", True),
    ("v.partial_write(object())", False),
    ("v.read(mq.QDataType.FloatArray, 1)", True),
    ("v.unlink()", True),
    ("mq.SPSCQueue(name, 4, 64, False)", True),
    ("mq.SPSCQueue(name, 4, 64)", False),
    ("mq.MPMCQueue(name, np.int64(4), 64)", True),
    ("mq.MPMCQueue(name, 4.0, 64)", False),
    ("mq.MPMCVarQueue(name, 2, 4, 64)", True),
    ("mq.MPMCVarQueue(name, 2, 4)", False),
    ("q: mq.MPMCQueue = mq.MPMCQueue(name, 4, 64)\nmq.MPMCQueue(name)", True),
    ("mq.QDataType(np.int64(2))", True),
    ("mq.QDataType(2.0)", False),
    ("t: str = mq.QDataType.Int.name\nk: int = int(mq.QDataType.Int)", True),
    ("mq.QDataType.Int + 1", False),
    ("mq.QDataType.Int < mq.QDataType.Float", False),
    ("e: Exception = mq.IPCQueueError('text')", True),
]


def calls_module():
    """The cases as functions of one module; returns its text and the first
    line of each function body."""
    lines = ["import numpy as np", "import mox_ipc_queue as mq", ""]
    starts = []
    for i, (code, _) in enumerate(CALLS):
        lines.append(f"def case_{i}(s: mq.SPSCQueue, m: mq.MPMCQueue, v: mq.MPMCVarQueue, name: str) -> None:")
        starts.append(len(lines) + 1)
        lines += textwrap.indent(code, "    ").splitlines()
        lines.append("")
    return "\n".join(lines), starts


def test_stub_accepts_what_the_module_accepts(mypy_env, make_queue_name, tmp_path):
    source, starts = calls_module()
    path = tmp_path / "calls.py"
    path.write_text(source)
    code, out = run_mypy(mypy_env, "mypy", "--strict", "--no-error-summary", "--show-error-codes", str(path))
    assert code in (0, 1), out  # 2 would be a crash or a bad stub
    error_lines = {int(n) for n in re.findall(rf"^{re.escape(str(path))}:(\d+): error:", out, flags=re.M)}
    ends = starts[1:] + [10**9]

    namespace = {}
    exec(compile(source, str(path), "exec"), namespace)
    wrong = []
    for i, (call, accepted) in enumerate(CALLS):
        stub_accepts = not any(starts[i] <= n < ends[i] for n in error_lines)
        s = mq.SPSCQueue(make_queue_name(), 4, 64, True)
        m = mq.MPMCQueue(make_queue_name(), 4, 64)
        v = mq.MPMCVarQueue(make_queue_name(), 2, 4, 64)
        try:
            namespace[f"case_{i}"](s, m, v, make_queue_name())
            module_accepts = True
        except (TypeError, AttributeError, mq.IPCQueueError):
            module_accepts = False
        del s, m, v
        if (stub_accepts, module_accepts) != (accepted, accepted):
            wrong.append(f"{call!r}: expected {accepted}, stub {stub_accepts}, module {module_accepts}")
    assert not wrong, "\n".join(wrong) + "\n" + out


def test_examples_pass_mypy_strict(mypy_env):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert examples
    code, out = run_mypy(mypy_env, "mypy", "--strict", *examples)
    assert code == 0, out
