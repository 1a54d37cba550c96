// put_async and get_async: coroutines over the classes' steps that never
// wait (_try_get, _try_put, MPMCVarQueue's _put_stream). A step that finds
// nothing to do yields to the event loop and is tried again after a nap that
// doubles up to _LONGEST_NAP, so the loop never blocks on a queue and an
// idle coroutine costs little; one that got on with a long message is tried
// again as soon as the loop comes back. While messages keep coming, a step
// still yields once every _YIELD_EVERY, before it takes anything (so a
// cancel there loses nothing): other coroutines are never starved. Written
// in Python: the loop is Python's.
#include "python_async.h"

#include <pybind11/eval.h>

namespace mox::ipc_queue {

namespace {

constexpr const char* kSource = R"py(
import asyncio
import queue
from time import monotonic as _monotonic

# The longest nap between two looks at an empty (or full) queue: the most a
# message waits for a coroutine that is already waiting for it.
_LONGEST_NAP = 0.002
_FIRST_NAP = 0.00005
# The longest a coroutine runs on ready messages without letting the loop in.
_YIELD_EVERY = 0.0005
_last_yield = [0.0]


async def _let_loop_in():
    _last_yield[0] = _monotonic()
    await asyncio.sleep(0)


def _check(timeout):
    if timeout is not None and not timeout >= 0:
        raise ValueError("'timeout' must be a non-negative number")


async def _poll(attempt, timeout, on_timeout):
    # attempt(): the result when done; False when it got on but is not done
    # (the next look comes at once); None when nothing has changed.
    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else loop.time() + timeout
    nap = 0.0
    while True:
        await asyncio.sleep(nap)
        _last_yield[0] = _monotonic()
        result = attempt()
        if result is False:
            nap = 0.0
        elif result is not None:
            return result
        elif deadline is not None and loop.time() >= deadline:
            raise on_timeout
        else:
            nap = min(nap * 2 or _FIRST_NAP, _LONGEST_NAP)


def _methods(cls, streaming):
    async def get_async(self, type=QDataType.Bytes, timeout=None):
        if timeout is not None:
            _check(timeout)
        if _monotonic() - _last_yield[0] >= _YIELD_EVERY:
            await _let_loop_in()
        value = self._try_get(type)
        if value is not None and value is not False:
            return value
        return await _poll(lambda: self._try_get(type), timeout, queue.Empty)

    async def put_async(self, value, timeout=None):
        if timeout is not None:
            _check(timeout)
        if _monotonic() - _last_yield[0] >= _YIELD_EVERY:
            await _let_loop_in()
        if self._try_put(value):
            return
        if not streaming:
            await _poll(lambda: True if self._try_put(value) else None, timeout, queue.Full)
            return
        stream = self._put_stream(value)
        try:
            await _poll(stream.step, timeout, queue.Full)
        finally:
            stream.abandon()  # nothing once the message is whole

    get_async.__doc__ = GET_DOC
    put_async.__doc__ = PUT_DOC
    for method in (get_async, put_async):
        method.__module__ = cls.__module__
        method.__qualname__ = cls.__name__ + "." + method.__name__
        setattr(cls, method.__name__, method)
)py";

constexpr const char* kGetAsyncDoc =
    "await get_async(type=QDataType.Bytes, timeout=None): get() for a coroutine: the event loop runs on while "
    "the queue is empty; queue.Empty after `timeout` seconds. Cancelled, it has taken nothing (MPMCVarQueue: a "
    "message it had begun to take stays with the object, and the next get of any kind returns it).";
constexpr const char* kPutAsyncDoc =
    "await put_async(value, timeout=None): put() for a coroutine: the event loop runs on while the queue is "
    "full; queue.Full after `timeout` seconds. Cancelled or timed out, it has put nothing (MPMCVarQueue: a "
    "message begun is abandoned, and readers pass over it).";

}  // namespace

void add_async_methods(py::module_& m) {
    py::dict scope;
    scope["QDataType"] = m.attr("QDataType");
    scope["GET_DOC"] = kGetAsyncDoc;
    scope["PUT_DOC"] = kPutAsyncDoc;
    py::exec(kSource, scope);
    const py::object add = scope["_methods"];
    add(m.attr("SPSCQueue"), false);
    add(m.attr("MPMCQueue"), false);
    add(m.attr("MPMCVarQueue"), true);
}

}  // namespace mox::ipc_queue
