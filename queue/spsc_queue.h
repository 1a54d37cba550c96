// SPSCQueueCPP: fixed-size messages from exactly one writer to exactly one
// reader, through a ring of cells in a shared-memory segment.
//
// Design: two named semaphores count the cells. "_free_" (initially
// num_cells) is waited on by the writer and posted by the reader; "_filled_"
// (initially 0) the reverse. Each side owns its ring position: only the
// writer touches write_index, only the reader read_index, with plain
// accesses; the semaphore post/wait pair is the only ordering between them.
// Closing a cell does not look at its argument: cells are published and
// handed back in the order they were taken. Once the peer connects, every
// name is removed, so no third process can join.
// Both record themselves in the queue's table of owners; a wait that finds
// the peer process dead (its slot left behind) throws kPeerGone rather than
// wait for a post that cannot come.
#pragma once

#include <semaphore.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ipc_queue.h"
#include "semaphore_wait.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

class SPSCQueueCPP : public IPCQueueCPP {
public:
    // Creates the segment and both semaphores; fails if any name exists.
    // creator_first puts the calling thread in the first thread slot.
    // Throws IPCQueueException for bad arguments or a failed platform call.
    SPSCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size, bool creator_first);
    // Connects to an existing queue and removes its names at once.
    // Throws IPCQueueException when it is missing, of another kind or damaged.
    explicit SPSCQueueCPP(const std::string& name);
    // close().
    ~SPSCQueueCPP() override;

    // Closes the semaphores, removes the names unless unlink() ran, and
    // unmaps the segment.
    void close() override;

    void unlink() override;
    bool is_spsc_queue() const override { return true; }

    // Writer: waits without limit for a free cell and returns it; the caller
    // fills length and data, then calls close_cell_after_write.
    Cell* open_cell_for_write();
    // The same, giving up when `timeout` runs out (Timeout::now(): only a
    // cell free now): null then, with nothing taken. Throws as above.
    Cell* open_cell_for_write(const Timeout& timeout);
    // Publishes the oldest opened cell. With discard and an empty cell, the
    // write is taken back instead and its slot returned to the writer.
    void close_cell_after_write(Cell* cell, bool discard);

    // Reader: waits for a message (timeout_ms 0: no limit); null on timeout.
    Cell* open_cell_for_read(uint32_t timeout_ms);
    // The same with a Timeout (Timeout::now(): only a message already
    // there), measured on the monotonic clock.
    Cell* open_cell_for_read(const Timeout& timeout);
    // Hands the oldest taken cell back to the writer.
    void close_cell_after_read(const Cell* cell);

    // Copies one message of 0..cell_size bytes into the next cell. Blocks while full.
    void write(const char* data, int64_t length) override;
    // Returns 0 with `out` replaced by the message, or 1 on timeout (out unchanged).
    int read(std::string& out, uint32_t timeout_ms) override;
    // write() that gives up when `timeout` runs out: false then, nothing
    // written. read() with a Timeout: 1 when nothing came in time. Both
    // throw as their plain forms.
    bool write(const char* data, int64_t length, const Timeout& timeout);
    int read(std::string& out, const Timeout& timeout);
    // A snapshot of the two counts: messages waiting, cells free.
    QueueCounts counts() const;
    // Copies at most buffer_size bytes; the rest of a longer message is dropped.
    // Returns 0, or 1 on timeout with length_read 0.
    int read(char* buffer, int64_t buffer_size, int64_t& length_read, uint32_t timeout_ms);

    void* read_begin() override;
    // The handle's payload in place; true, as a fixed cell is its message's last.
    bool read(void* handle, char** data, uint64_t* length) override;
    void read_end(void* handle) override;

    SegmentReport report() const override;

    // Cell `index` of the ring; throws IPCQueueException unless index < num_cells.
    const Cell* cellAt(uint32_t index) const;

private:
    // After the wait on the free (filled) count: null on ETIMEDOUT, else the
    // cell taken (MPMC: from its list, under the list's lock).
    Cell* after_free_wait(int err);
    Cell* after_filled_wait(int err);
    void attach_owners();
    static bool peer_gone(const void* self);
    // A wait on `sem` watched for the peer's death; `timeout` (if set) replaces timeout_ms.
    int wait(NamedSemaphore& sem, uint32_t timeout_ms, const Timeout* timeout);
    SPSCHeader* header() const { return reinterpret_cast<SPSCHeader*>(segment); }
    Cell* ring_cell(uint32_t index) const;
    // Closes what a failed constructor opened; a create also removes the
    // names it made.
    void release_after_failure(bool created);
    NamedSemaphore& filled_sem() { return sems_[0]; }
    NamedSemaphore& free_sem() { return sems_[1]; }

    // In the order of queue_semaphores(QueueKind::kSPSC): filled, free.
    std::array<NamedSemaphore, 2> sems_;
    RecordArray ring_;
    char* segment = nullptr;
};

}  // namespace mox::ipc_queue
