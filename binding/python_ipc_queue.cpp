// The module mox_ipc_queue: attributes, QDataType, the three queue classes
// and IPCQueueError, registered in this order.
#include <pybind11/pybind11.h>

#include "interpreter_lock_hooks.h"
#include "ipc_queue_exception.h"
#include "python_async.h"
#include "python_codec.h"
#include "python_mpmc_queue.h"
#include "python_mpmcvar_queue.h"
#include "python_spsc_queue.h"
#include "queue_names.h"

namespace mox::ipc_queue {

PYBIND11_MODULE(mox_ipc_queue, m) {
    m.doc() = "MOX Interprocess Shared Memory Queue plugin";
    m.attr("__version__") = MOX_VERSION;

    py::enum_<QDataType>(m, "QDataType")
        .value("Bytes", QDataType::Bytes)
        .value("String", QDataType::String)
        .value("Int", QDataType::Int)
        .value("IntArray", QDataType::IntArray)
        .value("Float", QDataType::Float)
        .value("FloatArray", QDataType::FloatArray);

    register_spsc_queue(m);
    register_mpmc_queue(m);
    register_mpmcvar_queue(m);

    auto& error = py::register_exception<IPCQueueException>(m, "IPCQueueError", PyExc_Exception);

    // Additions after the fixed registrations.
    // IPCQueueError.errno: the errno of the platform call that failed, None
    // when no OS error is involved.
    error.attr("errno") = py::none();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const IPCQueueException& e) {
            const py::object type = py::module_::import("mox_ipc_queue").attr("IPCQueueError");
            py::object instance = type(e.what());
            if (e.error != 0) instance.attr("errno") = e.error;
            PyErr_SetObject(type.ptr(), instance.ptr());
        }
    });
    m.def("remove", &remove_queue_names, py::arg("name"),
          "remove(name) -> bool: removes every name of the queue `name` (its segment, and the semaphores of any "
          "queue kind); True if anything was removed. Never raises for a name that is gone. Processes still "
          "attached keep working.");
    m.def("exists", &segment_exists, py::arg("name"),
          "exists(name) -> bool: whether a queue segment named `name` exists");

    add_async_methods(m);
    install_interpreter_lock_hooks();
}

}  // namespace mox::ipc_queue
