// FixedCellPythonQueue: the Python class over a kind that carries one
// message per cell (SPSC, MPMC), written once for both.
#pragma once

#include "closable_python_queue.h"
#include "fixed_cell_io.h"
#include "python_codec.h"

namespace mox::ipc_queue {

// The Python class over a kind that carries one message per cell (SPSC,
// MPMC): typed values are checked first, so a refused value leaves the queue
// untouched, then copied once straight into the cell; reads decode from the
// cell in place and give it back on every path, so a message that fails to
// decode is consumed. `Texts` words the class's own failures.
template <class Core, const CodecTexts& Texts>
class FixedCellPythonQueue : public ClosablePythonQueue<Core> {
public:
    using ClosablePythonQueue<Core>::ClosablePythonQueue;
    using Call = typename ClosablePythonQueue<Core>::Call;

    py::object read() {
        return take(0, [](const char* data, uint64_t length) { return bytes_from(data, length); });
    }
    py::object read(QDataType type) { return read_typed(type, 0); }
    // Waits at most timeout_ms (0: no limit); None when nothing arrived in time.
    py::object read(QDataType type, const py::int_& timeout_ms) { return read_typed(type, timeout_from(timeout_ms)); }

    void write(const py::bytes& v) { put(encode(v), Texts.bytes_too_long); }
    void write(const py::str& v) { put(encode(v, Texts, this->name()), Texts.str_too_long); }
    void write(py::int_ v) { put(encode(v), Texts.int_too_big); }
    void write(py::float_ v) { put(encode(v), Texts.float_too_big); }
    void write(const py::array_t<double>& v) {
        put(encode(v, Texts.array_dims, Texts.array_stride), Texts.float_array_too_long);
    }
    void write(const py::array_t<int64_t>& v) {
        put(encode(v, Texts.array_dims, Texts.array_stride), Texts.int_array_too_long);
    }

    // The additions' steps (python_queue_api.h), each inside a Call.
    Payload payload_of(const py::handle& value) const {
        Payload p = encode_value(value);
        if (p.length > this->cell_size()) throw_does_not_fit(p.length, this->cell_size());
        return p;
    }
    bool put_payload(const Payload& p, const Timeout& timeout) {
        return IO::write_into(*this, p.length, [&](char* cell) { copy_bytes(cell, p.data(), p.length); }, timeout);
    }
    // None when nothing came in time.
    py::object get_value(QDataType type, const Timeout& timeout) {
        py::object result = py::none();
        IO::read_with(*this, timeout,
                      [&](const char* data, uint64_t length) { result = decode_value(data, length, type); });
        return result;
    }
    // What an event loop may call: nothing here waits.
    py::object try_get(QDataType type) { return get_value(type, Timeout::now()); }
    bool try_put(const Payload& p) { return put_payload(p, Timeout::now()); }

private:
    using IO = FixedCellIO<Core>;

    // Numbers need 8 bytes whatever their value; everything else its length.
    void put(const Payload& p, const char* too_long) {
        Call call(*this);
        if (p.length > this->cell_size()) throw IPCQueueException(too_long, this->name());
        IO::write_into(*this, p.length, [&](char* cell) { copy_bytes(cell, p.data(), p.length); });
    }

    py::object read_typed(QDataType type, uint32_t timeout_ms) {
        return take(timeout_ms,
                    [&](const char* data, uint64_t length) { return decode(data, length, type, Texts, this->name()); });
    }

    template <class Decode>
    py::object take(uint32_t timeout_ms, Decode&& decode_message) {
        Call call(*this);
        py::object result = py::none();
        IO::read_with(*this, timeout_ms,
                      [&](const char* data, uint64_t length) { result = decode_message(data, length); });
        return result;
    }
};
}  // namespace mox::ipc_queue
