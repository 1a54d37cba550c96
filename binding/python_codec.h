// The typed payload codec shared by the three Python classes.
//
// A message carries raw bytes and no type tag: bytes as they are, str as
// UTF-8, int as a signed 64-bit integer, float as an IEEE binary64, and
// one-dimensional numpy int64/float64 arrays as their elements in index
// order, all in native byte order. A reader names the type it expects.
// Each class words its own failures, so every check takes a CodecTexts.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "copy_bytes.h"
#include "ipc_queue.h"
#include "ipc_queue_exception.h"
#include "semaphore_wait.h"

namespace mox::ipc_queue {

namespace py = pybind11;

enum class QDataType : int { Bytes = 0, String = 1, Int = 2, IntArray = 3, Float = 4, FloatArray = 5 };

// Each class fills it by field name; a class without a cell limit leaves
// the *_too_long texts out.
struct CodecTexts {
    // Writes.
    const char* bytes_too_long = nullptr;
    const char* str_not_utf8 = nullptr;
    const char* str_too_long = nullptr;
    const char* float_too_big = nullptr;
    const char* int_too_big = nullptr;
    const char* array_dims = nullptr;
    const char* array_stride = nullptr;
    const char* float_array_too_long = nullptr;
    const char* int_array_too_long = nullptr;
    // Reads with a QDataType.
    const char* read_int = nullptr;
    const char* read_int_array = nullptr;
    const char* read_float = nullptr;
    const char* read_float_array = nullptr;
};

// A value's wire bytes, pointing into the Python object's own storage (or
// into `number` for int and float); `array` keeps an array's buffer alive.
struct Payload {
    const char* data() const { return external != nullptr ? external : reinterpret_cast<const char*>(&number); }

    const char* external = nullptr;  // null: the bytes are `number`
    uint64_t length = 0;
    union {
        int64_t i;
        double d;
    } number{};
    py::buffer_info array;
    py::object owner;  // a contiguous copy made for the message, if any
};

Payload encode(const py::bytes& value);
// Throws texts.str_not_utf8 (with the queue name) when no UTF-8 form exists.
Payload encode(const py::str& value, const CodecTexts& texts, const std::string& name);
// An int outside the signed 64-bit range raises OverflowError.
Payload encode(const py::int_& value);
Payload encode(const py::float_& value);
// One dimension and an 8-byte element stride, else the (plain) dims/stride text.
template <class T>
Payload encode(const py::array_t<T>& value, const char* dims_text, const char* stride_text) {
    static_assert(sizeof(T) == 8);
    Payload p;
    p.array = value.request();
    if (p.array.ndim != 1) throw IPCQueueException(dims_text);
    if (p.array.strides[0] != static_cast<py::ssize_t>(sizeof(T))) throw IPCQueueException(stride_text);
    p.external = static_cast<const char*>(p.array.ptr);
    p.length = static_cast<uint64_t>(p.array.shape[0]) * sizeof(T);
    return p;
}

// Docstring of the timed read every class adds after its fixed rows.
inline constexpr const char* kTimedReadDoc =
    "read specified type, waiting at most timeout_ms milliseconds (0: no limit); None if nothing arrived in time";

// A timeout in milliseconds: a Python int (never an enum or a float, which
// would otherwise convert silently) in 0..2^32-1, else OverflowError.
uint32_t timeout_from(const py::int_& timeout_ms);

// A new bytes object holding a copy of [data, data + length).
py::object bytes_from(const char* data, uint64_t length);

// The message's bytes as the Python value `type` names. A length that the
// type cannot have raises the class's text; an unknown type gives a null
// object, which the binding reports as TypeError.
py::object decode(const char* data, uint64_t length, QDataType type, const CodecTexts& texts, const std::string& name);

// The additions' conversions, lossless: every C-contiguous buffer of
// one-byte items (bytes, bytearray, memoryview, array('B'), uint8 arrays)
// as its raw bytes; int, float and str as the codec has them; a
// one-dimensional int64 or float64 array as its elements (copied to be
// contiguous if it is not). Anything else raises TypeError naming its type:
// nothing is converted to float64 behind the caller's back.
Payload encode_value(const py::handle& value);

// Decodes for the additions: a length the type cannot have raises
// ValueError giving the sizes, a str that is not UTF-8 UnicodeDecodeError.
py::object decode_value(const char* data, uint64_t length, QDataType type);
// The check alone, for a message assembled before it is decoded.
void check_decodable(uint64_t length, QDataType type);

// ValueError "message of N bytes does not fit a cell of M bytes".
[[noreturn]] void throw_does_not_fit(uint64_t length, uint64_t cell_size);

// The additions' timeouts, as the standard library's queue has them:
// block=False or timeout 0 never waits, timeout None waits without limit,
// otherwise at most `timeout` seconds (a float). A negative timeout raises
// ValueError, one that is not a number TypeError.
Timeout timeout_from(bool block, const py::object& timeout);

}  // namespace mox::ipc_queue
