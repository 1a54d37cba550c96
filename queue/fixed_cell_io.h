// The whole-message operations of the kinds that carry one message per cell
// (SPSC and MPMC), written once over each kind's four cell operations. The
// protocol steps live here and nowhere else; a caller that produces or
// consumes the bytes itself (the Python classes) passes them in as a
// function.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "copy_bytes.h"
#include "ipc_queue.h"
#include "ipc_queue_exception.h"
#include "semaphore_wait.h"

namespace mox::ipc_queue {

struct FixedCellTexts {
    const char* negative_length;  // write: length < 0
    const char* too_long;         // write: length > cell size
    const char* negative_buffer;  // buffer read: buffer_size < 0
};

template <class Queue>
struct FixedCellIO {
    // Takes a free cell (blocking while there is none), lets `fill(data)`
    // write exactly `length` bytes (0..cell_size, checked by the caller)
    // into it, and publishes it. A `fill` that throws gives the cell back
    // unpublished. Allocates nothing.
    template <class Fill>
    static void write_into(Queue& q, uint64_t length, Fill&& fill) {
        publish(q, q.open_cell_for_write(), length, fill);
    }

    static void check_length(Queue& q, const FixedCellTexts& t, int64_t length) {
        if (length < 0) throw IPCQueueException(t.negative_length);
        if (static_cast<uint64_t>(length) > q.cell_size()) throw IPCQueueException(t.too_long);
    }

    // Fills a taken cell and publishes it; a `fill` that throws gives it back.
    template <class Fill>
    static void publish(Queue& q, Cell* cell, uint64_t length, Fill& fill) {
        try {
            cell->set_length(length);
            if (length > 0) fill(cell->data());
        } catch (...) {
            if (!thread_ending()) {
                cell->set_length(0);
                q.close_cell_after_write(cell, true);
            }
            throw;
        }
        q.close_cell_after_write(cell, false);
    }

    // write_into that gives up when `timeout` runs out: false then, with
    // nothing taken and `fill` not called.
    template <class Fill>
    static bool write_into(Queue& q, uint64_t length, Fill&& fill, const Timeout& timeout) {
        Cell* cell = q.open_cell_for_write(timeout);
        if (cell == nullptr) return false;
        publish(q, cell, length, fill);
        return true;
    }

    // Refuses a bad length before any cell is taken; blocks while full, or
    // gives up when `timeout` runs out (false, nothing written).
    static bool write(Queue& q, const FixedCellTexts& t, const char* data, int64_t length, const Timeout& timeout) {
        check_length(q, t, length);
        return write_into(
            q, static_cast<uint64_t>(length), [&](char* cell) { copy_bytes(cell, data, static_cast<size_t>(length)); },
            timeout);
    }

    // Refuses a bad length before any cell is taken; blocks while full.
    static void write(Queue& q, const FixedCellTexts& t, const char* data, int64_t length) {
        check_length(q, t, length);
        write_into(q, static_cast<uint64_t>(length),
                   [&](char* cell) { copy_bytes(cell, data, static_cast<size_t>(length)); });
    }

    // Waits for the next message (`timeout`: milliseconds, 0 no limit, or a
    // Timeout) and hands its
    // bytes, in place, to `use(data, length)`; the cell is given back on
    // every path, also when `use` throws (the message is then consumed).
    // False on timeout, with `use` not called.
    template <class Limit, class Use>
    static bool read_with(Queue& q, const Limit& timeout, Use&& use) {
        const Cell* cell = q.open_cell_for_read(timeout);
        if (cell == nullptr) return false;
        try {
            use(cell->data(), cell->length_within(q.cell_size()));
        } catch (...) {
            if (!thread_ending()) q.close_cell_after_read(cell);
            throw;
        }
        q.close_cell_after_read(cell);
        return true;
    }

    // 0 with `out` replaced by the message; 1 on timeout, `out` untouched.
    // `timeout`: milliseconds (0: no limit) or a Timeout.
    template <class Limit>
    static int read(Queue& q, std::string& out, const Limit& timeout) {
        return read_with(q, timeout, [&](const char* data, uint64_t length) { out.assign(data, length); }) ? 0 : 1;
    }

    // Copies at most buffer_size bytes and drops the rest of the message.
    static int read(Queue& q, const FixedCellTexts& t, char* buffer, int64_t buffer_size, int64_t& length_read,
                    uint32_t timeout_ms) {
        length_read = 0;
        if (buffer_size < 0) throw IPCQueueException(t.negative_buffer);
        const bool got = read_with(q, timeout_ms, [&](const char* data, uint64_t length) {
            const uint64_t n = std::min<uint64_t>(length, static_cast<uint64_t>(buffer_size));
            if (n > 0) copy_bytes(buffer, data, n);
            length_read = static_cast<int64_t>(n);
        });
        return got ? 0 : 1;
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
