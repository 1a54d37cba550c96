#include "python_queue_api.h"

namespace mox::ipc_queue {

namespace {

[[noreturn]] void raise_from_queue_module(const char* name, const std::string& text) {
    const py::object type = py::module_::import("queue").attr(name);
    if (text.empty())
        PyErr_SetNone(type.ptr());
    else
        PyErr_SetString(type.ptr(), text.c_str());
    throw py::error_already_set();
}

}  // namespace

void raise_empty() { raise_from_queue_module("Empty", ""); }

void raise_full(const std::string& text) { raise_from_queue_module("Full", text); }

void check_type(QDataType type) {
    const int value = static_cast<int>(type);
    if (value < static_cast<int>(QDataType::Bytes) || value > static_cast<int>(QDataType::FloatArray))
        throw py::value_error("unknown QDataType " + std::to_string(value));
}

}  // namespace mox::ipc_queue
