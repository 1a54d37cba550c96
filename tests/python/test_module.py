"""The module as a whole: attributes, QDataType, IPCQueueError, registration
order, and the SPSCQueue binding table as Python sees it."""

import re

import pytest
from conftest import existing_objects

import mox_ipc_queue
from mox_ipc_queue import IPCQueueError, QDataType, SPSCQueue

QDATATYPE_MEMBERS = [
    ("Bytes", 0),
    ("String", 1),
    ("Int", 2),
    ("IntArray", 3),
    ("Float", 4),
    ("FloatArray", 5),
]


def overloads(function):
    """[(signature, docstring)] in the order the binding lists the overloads."""
    doc = function.__doc__
    parts = re.split(r"^\d+\. ", doc, flags=re.M)
    if len(parts) == 1:  # a single overload: "sig\n\ndoc"
        sig, _, rest = doc.partition("\n")
        return [(sig.strip(), rest.strip())]
    assert "Overloaded function." in parts[0]
    result = []
    for part in parts[1:]:
        sig, _, rest = part.partition("\n")
        result.append((sig.strip(), rest.strip()))
    return result


def parameters(signature):
    """[(name, annotation)] of a rendered signature, self included."""
    inner = signature[signature.index("(") + 1 : signature.rindex(")")]
    # split on top-level commas only; annotations may hold brackets
    params, depth, current = [], 0, ""
    for ch in inner:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            params.append(current)
            current = ""
        else:
            current += ch
    if current.strip():
        params.append(current)
    out = []
    for p in params:
        name, _, annotation = p.strip().partition(": ")
        out.append((name, annotation))
    return out


# ----------------------------------------------------------- attributes ---


class TestModuleAttributes:
    def test_docstring_and_version(self):
        assert mox_ipc_queue.__doc__ == "MOX Interprocess Shared Memory Queue plugin"
        assert type(mox_ipc_queue.__version__) is str
        assert mox_ipc_queue.__version__ == "0.9.1"

    def test_registration_order(self):
        # Later classes of the module may sit between SPSCQueue and IPCQueueError.
        order = ["__version__", "QDataType", "SPSCQueue", "MPMCQueue", "MPMCVarQueue", "IPCQueueError"]
        present = [k for k in vars(mox_ipc_queue) if k in order]
        assert present == [k for k in order if k in present]
        for required in ("__version__", "QDataType", "SPSCQueue", "IPCQueueError"):
            assert required in present

    def test_enum_members_not_exported_into_module(self):
        for member, _ in QDATATYPE_MEMBERS:
            assert not hasattr(mox_ipc_queue, member), member


class TestQDataType:
    def test_members_values_and_order(self):
        assert [(k, int(v)) for k, v in QDataType.__members__.items()] == QDATATYPE_MEMBERS
        for member, value in QDATATYPE_MEMBERS:
            m = getattr(QDataType, member)
            assert int(m) == value
            assert m.value == value
            assert m.name == member
            assert QDataType(value) == m
        assert int(QDataType.FloatArray) == 5

    def test_strict_comparison_and_no_arithmetic(self):
        assert (QDataType.Int == 2) is False
        assert (QDataType.Int != 2) is True
        assert (QDataType.Bytes == 0) is False
        assert QDataType.Int == QDataType.Int
        assert QDataType.Int != QDataType.Float
        assert not isinstance(QDataType.Int, int)
        with pytest.raises(TypeError):
            QDataType.Int < QDataType.Float  # noqa: B015
        with pytest.raises(TypeError):
            QDataType.Int + 1  # noqa: B015
        with pytest.raises(TypeError):
            QDataType.Int | QDataType.Float  # noqa: B015

    def test_constructor_takes_any_int_unchecked(self):
        assert int(QDataType(9)) == 9
        assert int(QDataType(-1)) == -1
        assert QDataType(9) != QDataType.FloatArray
        with pytest.raises(TypeError):
            QDataType("Int")

    def test_members_carry_no_docstring(self):
        # The binding lists members in the class docstring, each with its
        # docstring after " : " when it has one.
        doc = QDataType.__doc__
        listed = [line.strip() for line in doc.split("Members:", 1)[1].splitlines() if line.strip()]
        assert listed == [member for member, _ in QDATATYPE_MEMBERS]


class TestIPCQueueError:
    def test_class(self):
        assert issubclass(IPCQueueError, Exception)
        assert IPCQueueError.__bases__ == (Exception,)
        assert f"{IPCQueueError.__module__}.{IPCQueueError.__qualname__}" == "mox_ipc_queue.IPCQueueError"

    def test_raised_with_the_message_as_only_argument(self, queue_name):
        with pytest.raises(IPCQueueError) as info:
            SPSCQueue(queue_name)
        text = (
            "SPSCQueueCPP:connect constructor: unable to open shared memory. "
            f"on queue '{queue_name}': No such file or directory"
        )
        assert info.value.args == (text,)
        assert str(info.value) == text
        assert type(info.value) is IPCQueueError


# --------------------------------------------------------- SPSCQueue table ---


class TestSPSCQueueBinding:
    def test_class_shape(self, queue_name):
        assert SPSCQueue.__doc__ is None
        assert [b.__name__ for b in SPSCQueue.__bases__] == ["pybind11_object"]
        public = sorted(n for n in vars(SPSCQueue) if not n.startswith("_"))
        assert public == ["cell_size", "read", "write"]
        q = SPSCQueue(queue_name, 1, 8, True)
        with pytest.raises(AttributeError):
            q.extra = 1

    def test_subclassable_in_python(self, queue_name):
        class Sub(SPSCQueue):
            def twice(self, value):
                self.write(value)
                self.write(value)

        q = Sub(queue_name, 2, 8, True)
        q.twice(3)
        assert q.read(QDataType.Int) == 3
        assert q.read(QDataType.Int) == 3
        assert q.cell_size() == 8

    def test_constructor_overloads(self):
        rows = overloads(SPSCQueue.__init__)
        assert len(rows) == 2
        create, connect = rows
        annotations = [a for _, a in parameters(create[0])[1:]]
        assert annotations[0] == "str"
        # pybind11 renders a C++ long as "int" or, newer, "typing.SupportsInt | ..."
        assert all(re.search(r"\bint\b|SupportsInt", a) for a in annotations[1:3]), annotations
        assert annotations[3] == "bool"
        assert [a for _, a in parameters(connect[0])[1:]] == ["str"]
        assert create[1] == "" and connect[1] == ""
        assert create[0].endswith("-> None") and connect[0].endswith("-> None")

    def test_read_overloads_and_docstrings(self):
        rows = overloads(SPSCQueue.read)
        # The timed read is an addition after the fixed rows.
        assert [doc for _, doc in rows][:2] == ["read bytes", "read specified type"]
        assert [a for _, a in parameters(rows[0][0])[1:]] == []
        assert [a for _, a in parameters(rows[1][0])[1:]] == ["mox_ipc_queue.QDataType"]
        assert [a for _, a in parameters(rows[2][0])[1:]] == ["mox_ipc_queue.QDataType", "int"]
        assert len(rows) == 3
        assert all(sig.endswith("-> object") for sig, _ in rows)

    def test_write_overloads_in_order_with_docstrings(self):
        rows = overloads(SPSCQueue.write)
        assert [doc for _, doc in rows] == [
            "write bytes object",
            "write string object",
            "write int value",
            "write float value",
            "write np_array of dtype double",
            "write np_array of dtype int64_t",
        ]
        annotations = [parameters(sig)[1][1] for sig, _ in rows]
        assert annotations[:4] == ["bytes", "str", "int", "float"]
        assert "float64" in annotations[4] and "int64" not in annotations[4]
        assert "int64" in annotations[5] and "float64" not in annotations[5]
        assert all(len(parameters(sig)) == 2 for sig, _ in rows)
        assert all(sig.endswith("-> None") for sig, _ in rows)

    def test_cell_size_has_no_docstring(self):
        rows = overloads(SPSCQueue.cell_size)
        assert len(rows) == 1
        sig, doc = rows[0]
        assert sig.startswith("cell_size(") and sig.endswith("-> int")
        assert doc == ""

    def test_arguments_are_unnamed_and_positional(self, queue_name):
        for function in (SPSCQueue.__init__, SPSCQueue.read, SPSCQueue.write):
            for sig, _ in overloads(function):
                names = [n for n, _ in parameters(sig)]
                assert names[0] == "self"
                assert names[1:] == [f"arg{i}" for i in range(len(names) - 1)], sig
                assert "=" not in sig
        with pytest.raises(TypeError):
            SPSCQueue(name=queue_name)
        with pytest.raises(TypeError):
            SPSCQueue(queue_name, 1, 8)  # no default for creator_first
        assert existing_objects(queue_name) == []
