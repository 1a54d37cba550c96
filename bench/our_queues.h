// The three queues as the harness drives them: ends with write/read for the
// two-process runs (pair_runs.h), QueueOps for the many-process run (fan_run.h).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "copy_bytes.h"
#include "fan_run.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "owner_table.h"
#include "program.h"
#include "spsc_queue.h"

namespace mox::bench {

// `run()` with no ownership recorded by the queues it opens, as a process of
// another implementation would: beside the recorded run, what recording costs.
template <class Run>
auto unrecorded(Run run) {
    ::setenv(mox::ipc_queue::kUnrecordedVariable, "1", 1);
    struct Restore {
        ~Restore() { ::unsetenv(mox::ipc_queue::kUnrecordedVariable); }
    } restore;
    return run();
}

// MPMCVarQueueCPP's geometry in every program unless told otherwise.
constexpr int64_t kVarChannels = 4;
constexpr int64_t kVarCells = 64;
constexpr uint64_t kVarCellSize = 16u << 10;

// A one-cell kind (SPSC, MPMC): whole-message write, buffer read without a time limit.
template <class Queue>
struct FixedCellEnd {
    std::unique_ptr<Queue> q;
    void write(const char* data, uint64_t len) { q->write(data, static_cast<int64_t>(len)); }
    uint64_t read(char* buffer, uint64_t capacity) {
        int64_t len = 0;
        q->read(buffer, static_cast<int64_t>(capacity), len, 0);
        return static_cast<uint64_t>(len);
    }
};

// Zero-copy read, each cell copied into the reader's own buffer with the
// library's copy_bytes, so where that buffer lies stays under control
// (unlike read(std::string&)).
inline uint64_t read_var_message(ipc_queue::MPMCVarQueueCPP& q, char* buffer, uint64_t capacity) {
    void* handle = q.read_begin();
    uint64_t total = 0;
    for (;;) {
        char* data = nullptr;
        uint64_t length = 0;
        q.read(handle, &data, &length);
        if (total + length > capacity) fail("message longer than the reader's buffer");
        ipc_queue::copy_bytes(buffer + total, data, length);
        total += length;
        if (length < q.cell_size()) break;  // the last cell of a message is never full
    }
    q.read_end(handle);
    return total;
}

struct VarEnd {
    std::unique_ptr<ipc_queue::MPMCVarQueueCPP> q;
    void write(const char* data, uint64_t len) { q->write(data, static_cast<int64_t>(len)); }
    uint64_t read(char* buffer, uint64_t capacity) { return read_var_message(*q, buffer, capacity); }
};

inline QueueOps<ipc_queue::MPMCQueueCPP> mpmc_ops(uint64_t cells, uint64_t payload) {
    using ipc_queue::MPMCQueueCPP;
    QueueOps<MPMCQueueCPP> ops;
    ops.create = [=](const std::string& name) {
        return new MPMCQueueCPP(name, static_cast<int64_t>(cells), static_cast<int64_t>(payload));
    };
    ops.connect = [](const std::string& name) { return new MPMCQueueCPP(name); };
    ops.write = [](MPMCQueueCPP& q, const char* data, uint64_t len) { q.write(data, static_cast<int64_t>(len)); };
    ops.read = [](MPMCQueueCPP& q, char* buffer, uint64_t capacity) {
        int64_t len = 0;
        q.read(buffer, static_cast<int64_t>(capacity), len, 0);
        return static_cast<uint64_t>(len);
    };
    return ops;
}

inline QueueOps<ipc_queue::MPMCVarQueueCPP> mpmcvar_ops(int64_t channels = kVarChannels, int64_t cells = kVarCells,
                                                        uint64_t cell_size = kVarCellSize) {
    using ipc_queue::MPMCVarQueueCPP;
    QueueOps<MPMCVarQueueCPP> ops;
    ops.create = [=](const std::string& name) { return new MPMCVarQueueCPP(name, channels, cells, cell_size); };
    ops.connect = [](const std::string& name) { return new MPMCVarQueueCPP(name); };
    ops.write = [](MPMCVarQueueCPP& q, const char* data, uint64_t len) { q.write(data, static_cast<int64_t>(len)); };
    ops.read = read_var_message;
    return ops;
}

}  // namespace mox::bench
