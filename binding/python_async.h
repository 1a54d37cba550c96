// The queue classes' coroutines, put_async and get_async (see the .cpp).
#pragma once

#include <pybind11/pybind11.h>

namespace mox::ipc_queue {

namespace py = pybind11;

// After the classes are registered.
void add_async_methods(py::module_& m);

}  // namespace mox::ipc_queue
