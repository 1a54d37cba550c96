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

// The message's bytes as the Python value `type` names. A length that the
// type cannot have raises the class's text; an unknown type gives a null
// object, which the binding reports as TypeError.
py::object decode(const char* data, uint64_t length, QDataType type, const CodecTexts& texts,
                  const std::string& name);

// Installs the blocking-wait hooks that release the interpreter lock while a
// queue operation has to block, and turn a wait broken by a signal whose
// handler raised (Ctrl-C) into that Python exception.
void install_interpreter_lock_hooks();

// Typed writes and reads through one fixed-size cell, shared by the classes
// over SPSCQueueCPP and MPMCQueueCPP: checks first, so a refused value
// leaves the queue untouched; then one copy into the cell.
template <class Queue>
struct FixedCellCodec {
    static void put(Queue& q, const Payload& p) {
        Cell* cell = q.open_cell_for_write();
        cell->set_length(p.length);
        if (p.length > 0) std::memcpy(cell->data(), p.data(), p.length);
        q.close_cell_after_write(cell, false);
    }

    static void write(Queue& q, const py::bytes& v, const CodecTexts& t, const std::string& name) {
        const Payload p = encode(v);
        if (p.length > q.cell_size()) throw IPCQueueException(t.bytes_too_long, name);
        put(q, p);
    }
    static void write(Queue& q, const py::str& v, const CodecTexts& t, const std::string& name) {
        const Payload p = encode(v, t, name);
        if (p.length > q.cell_size()) throw IPCQueueException(t.str_too_long, name);
        put(q, p);
    }
    static void write(Queue& q, const py::int_& v, const CodecTexts& t, const std::string& name) {
        const Payload p = encode(v);
        if (q.cell_size() < sizeof(int64_t)) throw IPCQueueException(t.int_too_big, name);
        put(q, p);
    }
    static void write(Queue& q, const py::float_& v, const CodecTexts& t, const std::string& name) {
        const Payload p = encode(v);
        if (q.cell_size() < sizeof(double)) throw IPCQueueException(t.float_too_big, name);
        put(q, p);
    }
    template <class T>
    static void write(Queue& q, const py::array_t<T>& v, const CodecTexts& t, const std::string& name) {
        const Payload p = encode(v, t.array_dims, t.array_stride);
        const char* too_long = std::is_same_v<T, double> ? t.float_array_too_long : t.int_array_too_long;
        if (p.length > q.cell_size()) throw IPCQueueException(too_long, name);
        put(q, p);
    }

    // Waits without limit; the cell goes back on every path, so a message
    // that fails to decode is consumed.
    static py::object read(Queue& q) {
        const Cell* cell = q.open_cell_for_read(0);
        py::object result;
        try {
            result = py::bytes(cell->data(), cell->length());
        } catch (...) {
            q.close_cell_after_read(cell);
            throw;
        }
        q.close_cell_after_read(cell);
        return result;
    }
    static py::object read(Queue& q, QDataType type, const CodecTexts& t, const std::string& name) {
        const Cell* cell = q.open_cell_for_read(0);
        py::object result;
        try {
            result = decode(cell->data(), cell->length(), type, t, name);
        } catch (...) {
            q.close_cell_after_read(cell);
            throw;
        }
        q.close_cell_after_read(cell);
        return result;
    }
};

}  // namespace mox::ipc_queue
