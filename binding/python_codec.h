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

namespace mox::ipc_queue {

namespace py = pybind11;

enum class QDataType : int { Bytes = 0, String = 1, Int = 2, IntArray = 3, Float = 4, FloatArray = 5 };

struct CodecTexts {
    // Writes. The *_too_long texts apply only to queues with a cell limit.
    const char* bytes_too_long;
    const char* str_not_utf8;
    const char* str_too_long;
    const char* float_too_big;
    const char* int_too_big;
    const char* array_dims;
    const char* array_stride;
    const char* float_array_too_long;
    const char* int_array_too_long;
    // Reads with a QDataType.
    const char* read_int;
    const char* read_int_array;
    const char* read_float;
    const char* read_float_array;
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
py::object decode(const char* data, uint64_t length, QDataType type, const CodecTexts& texts,
                  const std::string& name);

// Installs the blocking-wait hooks that release the interpreter lock while a
// queue operation has to block and run the signal handlers of a signal that
// arrives meanwhile: a wait whose handler raised (Ctrl-C) ends with that
// exception, one whose handler returned goes on (PEP 475).
void install_interpreter_lock_hooks();

// The Python class over a kind that carries one message per cell (SPSC,
// MPMC): typed values are checked first, so a refused value leaves the queue
// untouched, then copied once straight into the cell; reads decode from the
// cell in place and give it back on every path, so a message that fails to
// decode is consumed. `Texts` words the class's own failures.
template <class Core, const CodecTexts& Texts>
class FixedCellPythonQueue : public Core {
public:
    using Core::Core;

    py::object read() {
        return take(0, [this](const Cell* c) { return bytes_from(c->data(), c->length_within(this->cell_size())); });
    }
    py::object read(QDataType type) { return read_typed(type, 0); }
    // Waits at most timeout_ms (0: no limit); None when nothing arrived in time.
    py::object read(QDataType type, const py::int_& timeout_ms) { return read_typed(type, timeout_from(timeout_ms)); }

    void write(const py::bytes& v) { put(encode(v), Texts.bytes_too_long); }
    void write(const py::str& v) { put(encode(v, Texts, this->name_), Texts.str_too_long); }
    void write(py::int_ v) { put(encode(v), Texts.int_too_big); }
    void write(py::float_ v) { put(encode(v), Texts.float_too_big); }
    void write(const py::array_t<double>& v) {
        put(encode(v, Texts.array_dims, Texts.array_stride), Texts.float_array_too_long);
    }
    void write(const py::array_t<int64_t>& v) {
        put(encode(v, Texts.array_dims, Texts.array_stride), Texts.int_array_too_long);
    }

private:
    // Numbers need 8 bytes whatever their value; everything else its length.
    void put(const Payload& p, const char* too_long) {
        if (p.length > this->cell_size()) throw IPCQueueException(too_long, this->name_);
        Cell* cell = this->open_cell_for_write();
        cell->set_length(p.length);
        if (p.length > 0) copy_bytes(cell->data(), p.data(), p.length);
        this->close_cell_after_write(cell, false);
    }

    py::object read_typed(QDataType type, uint32_t timeout_ms) {
        return take(timeout_ms,
                    [&](const Cell* c) {
                        return decode(c->data(), c->length_within(this->cell_size()), type, Texts, this->name_);
                    });
    }

    template <class Decode>
    py::object take(uint32_t timeout_ms, Decode&& decode_cell) {
        const Cell* cell = this->open_cell_for_read(timeout_ms);
        if (cell == nullptr) return py::none();
        py::object result;
        try {
            result = decode_cell(cell);
        } catch (...) {
            this->close_cell_after_read(cell);
            throw;
        }
        this->close_cell_after_read(cell);
        return result;
    }
};

}  // namespace mox::ipc_queue
