"""The module as a whole: its attributes and registration order, QDataType,
IPCQueueError, and what every class's rows share. test_typing.py checks each row
and its docstring against the stub."""

import re
from pathlib import Path

import pytest
from helpers import overloads, parameters

import mox_ipc_queue
from mox_ipc_queue import IPCQueueError, MPMCQueue, MPMCVarQueue, QDataType, SPSCQueue

MEMBERS = [("Bytes", 0), ("String", 1), ("Int", 2), ("IntArray", 3), ("Float", 4), ("FloatArray", 5)]


def test_module_attributes_and_registration_order():
    assert mox_ipc_queue.__doc__ == "MOX Interprocess Shared Memory Queue plugin"
    pyproject = (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text()
    assert mox_ipc_queue.__version__ == re.search(r'^version = "(.*)"', pyproject, re.M).group(1)
    order = ["__version__", "QDataType", "SPSCQueue", "MPMCQueue", "MPMCVarQueue", "IPCQueueError"]
    assert [k for k in vars(mox_ipc_queue) if k in order] == order
    assert not any(hasattr(mox_ipc_queue, member) for member, _ in MEMBERS)  # enum members stay in their class
    assert IPCQueueError.__bases__ == (Exception,)
    assert f"{IPCQueueError.__module__}.{IPCQueueError.__qualname__}" == "mox_ipc_queue.IPCQueueError"


def test_qdatatype():
    assert [(k, int(v)) for k, v in QDataType.__members__.items()] == MEMBERS
    for member, value in MEMBERS:
        m = getattr(QDataType, member)
        assert (m.name, m.value, QDataType(value)) == (member, value, m)
    # Members compare equal only to members and do no arithmetic.
    assert (QDataType.Int == 2) is False and (QDataType.Int != 2) is True and QDataType.Int != QDataType.Float
    assert not isinstance(QDataType.Int, int)
    for operation in (lambda: QDataType.Int < QDataType.Float, lambda: QDataType.Int + 1,
                      lambda: QDataType.Int | QDataType.Float, lambda: QDataType("Int")):
        with pytest.raises(TypeError):
            operation()
    assert (int(QDataType(9)), int(QDataType(-1))) == (9, -1)  # the constructor checks no range
    # No member carries a docstring: the class docstring lists them bare.
    listed = [line.strip() for line in QDataType.__doc__.split("Members:", 1)[1].splitlines() if line.strip()]
    assert listed == [member for member, _ in MEMBERS]


@pytest.mark.parametrize("cls, args", [(SPSCQueue, (2, 8, True)), (MPMCQueue, (2, 8)), (MPMCVarQueue, (2, 2, 8))],
                         ids=["SPSCQueue", "MPMCQueue", "MPMCVarQueue"])
def test_rows_take_positional_arguments_only(cls, args, make_queue_name):
    # The rows and their docstrings are checked against the stub in test_typing.py.
    for method in [n for n in vars(cls) if n == "__init__" or not n.startswith("_")]:
        for sig, _ in overloads(getattr(cls, method)):  # no names to pass by keyword, no defaults
            assert [n for n, _ in parameters(sig)] == ["self"] + [f"arg{i}" for i in range(len(parameters(sig)) - 1)]
            assert "=" not in sig, sig
    # Instances take no new attributes, while Python subclasses work.
    with pytest.raises(AttributeError):
        cls(make_queue_name(), *args).extra = 1
    sub = type("Sub", (cls,), {})(make_queue_name(), *args)
    sub.write(3)
    assert sub.read(QDataType.Int) == 3
