#include "python_codec.h"

#include <cerrno>

namespace mox::ipc_queue {

Payload encode(const py::bytes& value) {
    Payload p;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) != 0) throw py::error_already_set();
    p.external = data;
    p.length = static_cast<uint64_t>(size);
    return p;
}

Payload encode(const py::str& value, const CodecTexts& texts, const std::string& name) {
    Payload p;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        throw IPCQueueException(texts.str_not_utf8, name);
    }
    p.external = data;
    p.length = static_cast<uint64_t>(size);
    return p;
}

Payload encode(const py::int_& value) {
    Payload p;
    p.number.i = PyLong_AsLongLong(value.ptr());
    if (p.number.i == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    p.length = sizeof(int64_t);
    return p;
}

Payload encode(const py::float_& value) {
    Payload p;
    p.number.d = PyFloat_AsDouble(value.ptr());
    if (p.number.d == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    p.length = sizeof(double);
    return p;
}

uint32_t timeout_from(const py::int_& timeout_ms) {
    const unsigned long value = PyLong_AsUnsignedLong(timeout_ms.ptr());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) throw py::error_already_set();
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "timeout_ms does not fit in 32 bits");
        throw py::error_already_set();
    }
    return static_cast<uint32_t>(value);
}

namespace {

template <class T>
py::object number_from(const char* data) {
    T v;
    std::memcpy(&v, data, sizeof v);
    PyObject* result = std::is_same_v<T, double> ? PyFloat_FromDouble(static_cast<double>(v))
                                                 : PyLong_FromLongLong(static_cast<long long>(v));
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// A new C-contiguous array that owns a copy of the payload. Large ones
// are copied by copy_bytes, which keeps its speed at any alignment.
template <class T>
py::object array_from(const char* data, uint64_t length) {
    const py::ssize_t count = static_cast<py::ssize_t>(length / sizeof(T));
    if (length < 2048) return py::array(py::dtype::of<T>(), {count}, {}, reinterpret_cast<const T*>(data));
    py::array_t<T> array(count);
    copy_bytes(array.mutable_data(), data, length);
    return array;
}

}  // namespace

py::object bytes_from(const char* data, uint64_t length) {
    if (length < 2048) return py::bytes(data, length);
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (bytes == nullptr) throw py::error_already_set();
    copy_bytes(PyBytes_AS_STRING(bytes), data, length);
    return py::reinterpret_steal<py::object>(bytes);
}

py::object decode(const char* data, uint64_t length, QDataType type, const CodecTexts& texts,
                  const std::string& name) {
    switch (type) {
        case QDataType::Bytes:
            return bytes_from(data, length);
        case QDataType::String:
            return py::str(data, length);
        case QDataType::Int:
            if (length != sizeof(int64_t)) throw IPCQueueException(texts.read_int, name);
            return number_from<int64_t>(data);
        case QDataType::IntArray:
            if (length % sizeof(int64_t) != 0) throw IPCQueueException(texts.read_int_array, name);
            return array_from<int64_t>(data, length);
        case QDataType::Float:
            if (length != sizeof(double)) throw IPCQueueException(texts.read_float, name);
            return number_from<double>(data);
        case QDataType::FloatArray:
            if (length % sizeof(double) != 0) throw IPCQueueException(texts.read_float_array, name);
            return array_from<double>(data, length);
    }
    return py::object();
}

}  // namespace mox::ipc_queue
