"""MOX Interprocess Shared Memory Queue plugin"""

from typing import Any, ClassVar, SupportsIndex, overload, type_check_only

import numpy
from numpy.typing import ArrayLike, NDArray

__version__: str

# Every value a typed read can return; which one depends on the QDataType
# member, a link the type system cannot see because QDataType is no Enum.
_Decoded = bytes | str | int | float | NDArray[numpy.int64] | NDArray[numpy.float64]

# The metaclass pybind11 gives every class it binds (pybind11_builtins.pybind11_type);
# it lives in no module a stub could import from.
@type_check_only
class _pybind11_type(type): ...

class QDataType(metaclass=_pybind11_type):
    """Payload type a reader expects; nothing of it travels in a message.

    Members compare equal only to members (QDataType.Int == 2 is False);
    int(QDataType.Int) is 2. The constructor does not check the range.
    """

    Bytes: ClassVar[QDataType]
    String: ClassVar[QDataType]
    Int: ClassVar[QDataType]
    IntArray: ClassVar[QDataType]
    Float: ClassVar[QDataType]
    FloatArray: ClassVar[QDataType]
    __members__: ClassVar[dict[str, QDataType]]

    def __init__(self, value: SupportsIndex) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: SupportsIndex, /) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

# The overloads below follow the module's registration order, which is also
# the order in which a call is matched at run time. The float64 array rows
# take ArrayLike because their second matching pass converts anything NumPy
# can turn into an array (lists, tuples, arrays of other dtypes, NumPy
# scalars) to float64; only one-dimensional results are then accepted. At run
# time an int64 array still reaches the int64 row, since the first pass
# matches dtypes exactly; a type checker picks the ArrayLike row for it, which
# changes nothing for the caller, as every write returns None.

class SPSCQueue(metaclass=_pybind11_type):
    @overload
    def __init__(
        self, name: str, num_cells: SupportsIndex, cell_size: SupportsIndex, creator_first: bool, /
    ) -> None: ...

    @overload
    def __init__(self, name: str, /) -> None: ...

    @overload
    def read(self) -> bytes:
        """read bytes"""

    @overload
    def read(self, data_type: QDataType, /) -> _Decoded:
        """read specified type"""

    @overload
    def read(self, data_type: QDataType, timeout_ms: int, /) -> _Decoded | None:
        """read specified type, waiting at most timeout_ms milliseconds (0: no limit); None if nothing arrived in time"""

    @overload
    def write(self, value: bytes, /) -> None:
        """write bytes object"""

    @overload
    def write(self, value: str, /) -> None:
        """write string object"""

    @overload
    def write(self, value: int, /) -> None:
        """write int value"""

    @overload
    def write(self, value: float, /) -> None:
        """write float value"""

    @overload
    def write(self, value: ArrayLike, /) -> None:
        """write np_array of dtype double"""

    @overload
    def write(self, value: NDArray[numpy.int64], /) -> None:
        """write np_array of dtype int64_t"""

    def cell_size(self) -> int: ...
    def inspect(self) -> dict[str, Any]:
        """the queue as this object sees it (a dict): header words, lists, counts, the cells or channels on no list, and 'findings', what differs from a sound idle queue; a snapshot, changes nothing"""

class MPMCQueue(metaclass=_pybind11_type):
    @overload
    def __init__(self, name: str, num_cells: SupportsIndex, cell_size: SupportsIndex, /) -> None: ...

    @overload
    def __init__(self, name: str, /) -> None: ...

    @overload
    def read(self) -> bytes:
        """read byte"""

    @overload
    def read(self, data_type: QDataType, /) -> _Decoded:
        """read specified type"""

    @overload
    def read(self, data_type: QDataType, timeout_ms: int, /) -> _Decoded | None:
        """read specified type, waiting at most timeout_ms milliseconds (0: no limit); None if nothing arrived in time"""

    @overload
    def write(self, value: bytes, /) -> None:
        """write bytes object"""

    @overload
    def write(self, value: str, /) -> None:
        """write string object"""

    @overload
    def write(self, value: int, /) -> None:
        """write int value"""

    @overload
    def write(self, value: float, /) -> None:
        """write float value"""

    @overload
    def write(self, value: ArrayLike, /) -> None:
        """write numpy array of dtype double"""

    @overload
    def write(self, value: NDArray[numpy.int64], /) -> None:
        """write numpy array of dtype int64_t"""

    def cell_size(self) -> int: ...
    def unlink(self) -> None:
        """call shm_unlink"""

    def inspect(self) -> dict[str, Any]:
        """the queue as this object sees it (a dict): header words, lists, counts, the cells or channels on no list, and 'findings', what differs from a sound idle queue; a snapshot, changes nothing"""

class MPMCVarQueue(metaclass=_pybind11_type):
    @overload
    def __init__(
        self,
        name: str,
        num_channels: SupportsIndex,
        num_cells: SupportsIndex,
        cell_size: SupportsIndex,
        /,
    ) -> None: ...

    @overload
    def __init__(self, name: str, /) -> None: ...

    @overload
    def read(self) -> bytes:
        """read byte"""

    @overload
    def read(self, data_type: QDataType, /) -> _Decoded:
        """read specified type"""

    @overload
    def read(self, data_type: QDataType, timeout_ms: int, /) -> _Decoded | None:
        """read specified type, waiting at most timeout_ms milliseconds (0: no limit); None if nothing arrived in time"""

    @overload
    def write(self, value: bytes, /) -> None:
        """write bytes object"""

    @overload
    def write(self, value: str, /) -> None:
        """write string object"""

    @overload
    def write(self, value: int, /) -> None:
        """write int value"""

    @overload
    def write(self, value: float, /) -> None:
        """write float value"""

    @overload
    def write(self, value: ArrayLike, /) -> None:
        """write numpy array of dtype double"""

    @overload
    def write(self, value: NDArray[numpy.int64], /) -> None:
        """write numpy array of dtype int64_t"""

    @overload
    def partial_write(self, value: bytes, /) -> None:
        """partial write of bytes object"""

    @overload
    def partial_write(self, value: str, /) -> None:
        """partial write of string object"""

    @overload
    def partial_write(self, value: int, /) -> None:
        """partial write of int value"""

    @overload
    def partial_write(self, value: float, /) -> None:
        """partial write of float value"""

    @overload
    def partial_write(self, value: ArrayLike, /) -> None:
        """partial write of numpy array of dtype double"""

    @overload
    def partial_write(self, value: NDArray[numpy.int64], /) -> None:
        """partial write of numpy array of dtype int64_t"""

    def partial_write_complete(self) -> None:
        """partial write complete"""

    def cell_size(self) -> int: ...
    def unlink(self) -> None:
        """call shm_unlink"""

    def inspect(self) -> dict[str, Any]:
        """the queue as this object sees it (a dict): header words, lists, counts, the cells or channels on no list, and 'findings', what differs from a sound idle queue; a snapshot, changes nothing"""

class IPCQueueError(Exception):
    """Every failure of a queue operation; str(error) is its message."""

def remove(name: str) -> bool:
    """remove(name) -> bool: removes every name of the queue `name` (its segment, and the semaphores of any queue kind); True if anything was removed. Never raises for a name that is gone. Processes still attached keep working."""

def exists(name: str) -> bool:
    """exists(name) -> bool: whether a queue segment named `name` exists"""
