// The whole-message operations of the kinds that carry one message per cell
// (SPSC and MPMC), written once over each kind's four cell operations.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "copy_bytes.h"
#include "ipc_queue.h"
#include "ipc_queue_exception.h"

namespace mox::ipc_queue {

struct FixedCellTexts {
    const char* negative_length;  // write: length < 0
    const char* too_long;         // write: length > cell size
    const char* negative_buffer;  // buffer read: buffer_size < 0
};

template <class Queue>
struct FixedCellIO {
    // Refuses a bad length before any cell is taken; blocks while full.
    static void write(Queue& q, const FixedCellTexts& t, const char* data, int64_t length) {
        if (length < 0) throw IPCQueueException(t.negative_length);
        if (static_cast<uint64_t>(length) > q.cell_size()) throw IPCQueueException(t.too_long);
        Cell* cell = q.open_cell_for_write();
        cell->set_length(static_cast<uint64_t>(length));
        if (length > 0) copy_bytes(cell->data(), data, static_cast<size_t>(length));
        q.close_cell_after_write(cell, false);
    }

    // 0 with `out` replaced by the message; 1 on timeout, `out` untouched.
    static int read(Queue& q, std::string& out, uint32_t timeout_ms) {
        const Cell* cell = q.open_cell_for_read(timeout_ms);
        if (cell == nullptr) return 1;
        try {
            out.assign(cell->data(), cell->length_within(q.cell_size()));
        } catch (...) {
            q.close_cell_after_read(cell);
            throw;
        }
        q.close_cell_after_read(cell);
        return 0;
    }

    // Copies at most buffer_size bytes and drops the rest of the message.
    static int read(Queue& q, const FixedCellTexts& t, char* buffer, int64_t buffer_size, int64_t& length_read,
                    uint32_t timeout_ms) {
        length_read = 0;
        if (buffer_size < 0) throw IPCQueueException(t.negative_buffer);
        const Cell* cell = q.open_cell_for_read(timeout_ms);
        if (cell == nullptr) return 1;
        const uint64_t n = std::min<uint64_t>(cell->length_within(q.cell_size()), static_cast<uint64_t>(buffer_size));
        if (n > 0) copy_bytes(buffer, cell->data(), n);
        length_read = static_cast<int64_t>(n);
        q.close_cell_after_read(cell);
        return 0;
    }

    // The zero-copy view of a handle (its cell); the one cell is the last.
    static bool view(const Queue& q, void* handle, char** data, uint64_t* length) {
        Cell* cell = static_cast<Cell*>(handle);
        *data = cell->data();
        *length = cell->length_within(q.cell_size());
        return true;
    }
};

}  // namespace mox::ipc_queue
