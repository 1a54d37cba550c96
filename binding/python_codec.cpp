#include "python_codec.h"

#include <cerrno>
#include <cmath>

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

py::object decode(const char* data, uint64_t length, QDataType type, const CodecTexts& texts, const std::string& name) {
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

namespace mox::ipc_queue {

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

std::string type_name(const py::handle& value) {
    const py::handle type = py::type::handle_of(value);
    const std::string module = py::str(type.attr("__module__"));
    const std::string name = py::str(type.attr("__qualname__"));
    return module == "builtins" ? name : module + "." + name;
}

[[noreturn]] void refuse(const std::string& what) {
    raise(PyExc_TypeError, "cannot put " + what +
                               ": put() takes a bytes-like object, int, float, str, or a one-dimensional "
                               "int64 or float64 numpy array");
}

// True when the buffer's items lie in C order without gaps.
bool c_contiguous(const py::buffer_info& b) {
    py::ssize_t expected = b.itemsize;
    for (py::ssize_t d = b.ndim; d-- > 0;) {
        if (b.shape[d] > 1 && b.strides[d] != expected) return false;
        expected *= b.shape[d];
    }
    return true;
}

Payload raw_bytes(py::buffer_info info, const std::string& what) {
    if (info.itemsize != 1) refuse(what + " of " + std::to_string(info.itemsize) + "-byte items");
    if (!c_contiguous(info)) refuse(what + " that is not C-contiguous");
    Payload p;
    p.length = static_cast<uint64_t>(info.size);
    p.external = p.length > 0 ? static_cast<const char*>(info.ptr) : "";
    p.array = std::move(info);
    return p;
}

template <class T>
Payload elements(const py::array& value) {
    // The dtype matches already: ensure() copies only to make it contiguous.
    auto array = py::array_t<T, py::array::c_style>::ensure(value);
    if (!array) throw py::error_already_set();
    Payload p;
    p.external = reinterpret_cast<const char*>(array.data());
    p.length = static_cast<uint64_t>(array.size()) * sizeof(T);
    p.owner = std::move(array);
    return p;
}

}  // namespace

Payload encode_value(const py::handle& value) {
    if (PyBytes_Check(value.ptr())) return encode(py::reinterpret_borrow<py::bytes>(value));
    if (PyUnicode_Check(value.ptr())) {
        Payload p;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (data == nullptr) throw py::error_already_set();  // UnicodeEncodeError: lone surrogates
        p.external = data;
        p.length = static_cast<uint64_t>(size);
        return p;
    }
    if (PyLong_Check(value.ptr())) return encode(py::reinterpret_borrow<py::int_>(value));
    if (PyFloat_Check(value.ptr())) return encode(py::reinterpret_borrow<py::float_>(value));
    if (py::isinstance<py::array>(value)) {
        const auto array = py::reinterpret_borrow<py::array>(value);
        const std::string what =
            "a numpy array of dtype " + std::string(py::str(array.dtype())) + ", ndim " + std::to_string(array.ndim());
        const bool one_dim = array.ndim() == 1;
        if (one_dim && array.dtype().equal(py::dtype::of<int64_t>())) return elements<int64_t>(array);
        if (one_dim && array.dtype().equal(py::dtype::of<double>())) return elements<double>(array);
        if (array.itemsize() == 1) return raw_bytes(array.request(), what);
        refuse(what);
    }
    // NumPy's integer scalars, and anything else that is an integer.
    if (PyIndex_Check(value.ptr()) != 0) {
        PyObject* number = PyNumber_Index(value.ptr());
        if (number == nullptr) throw py::error_already_set();
        return encode(py::reinterpret_steal<py::int_>(number));
    }
    if (PyObject_CheckBuffer(value.ptr()) != 0)
        return raw_bytes(py::reinterpret_borrow<py::buffer>(value).request(), "a " + type_name(value));
    refuse("a value of type " + type_name(value));
}

void check_decodable(uint64_t length, QDataType type) {
    const auto wrong = [&](const char* type_name, const char* need) {
        raise(PyExc_ValueError, "message of " + std::to_string(length) + " bytes is not " + type_name + ": " + need);
    };
    switch (type) {
        case QDataType::Int:
            if (length != 8) wrong("an Int", "it needs 8 bytes");
            break;
        case QDataType::Float:
            if (length != 8) wrong("a Float", "it needs 8 bytes");
            break;
        case QDataType::IntArray:
            if (length % 8 != 0) wrong("an IntArray", "its length must be a multiple of 8");
            break;
        case QDataType::FloatArray:
            if (length % 8 != 0) wrong("a FloatArray", "its length must be a multiple of 8");
            break;
        case QDataType::Bytes:
        case QDataType::String:
            break;
        default:
            raise(PyExc_ValueError, "unknown QDataType " + std::to_string(static_cast<int>(type)));
    }
}

py::object decode_value(const char* data, uint64_t length, QDataType type) {
    static const CodecTexts kChecked{};  // check_decodable leaves nothing for them
    check_decodable(length, type);
    return decode(data, length, type, kChecked, "");
}

void throw_does_not_fit(uint64_t length, uint64_t cell_size) {
    raise(PyExc_ValueError, "message of " + std::to_string(length) + " bytes does not fit a cell of " +
                                std::to_string(cell_size) + " bytes");
}

Timeout timeout_from(bool block, const py::object& timeout) {
    if (!block) return Timeout::now();
    if (timeout.is_none()) return Timeout::none();
    const double seconds = PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    if (std::isnan(seconds) || seconds < 0) raise(PyExc_ValueError, "'timeout' must be a non-negative number");
    constexpr double kLongestNs = 9.0e18;  // beyond: no limit
    const double ns = seconds * 1e9;
    if (ns >= kLongestNs) return Timeout::none();
    return Timeout::within_ns(static_cast<int64_t>(ns));
}

}  // namespace mox::ipc_queue
