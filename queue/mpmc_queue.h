// MPMCQueueCPP: fixed-size messages between any number of writers and readers
// in any number of processes, one message per cell of a shared-memory segment.
//
// Design: every cell is on exactly one of two lists threaded through the
// cells by 32-bit index (never by address: each process maps the segment
// where it likes), or held by the one writer or reader working on it. The
// free list is a stack, the filled list a FIFO. "_free_" and "_filled_" count
// the cells on each list; "_free_mutex_" and "_filled_mutex_" (initially 1)
// are the locks of the lists. A list grows before its counter is posted and
// shrinks only after its counter was taken, so a thread that got a count
// always finds a cell. No thread holds both locks, none waits on a counter
// while holding a lock, and payloads are copied outside every lock.
// Every index read from the segment is range-checked before use: a damaged
// segment throws, it never makes this process touch memory outside it.
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

class Repair;

class MPMCQueueCPP : public IPCQueueCPP {
public:
    // Creates the segment and the four semaphores, all cells free; fails if
    // any name exists. Throws IPCQueueException for bad arguments, a size
    // that cannot be mapped or a failed platform call.
    MPMCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size);
    MPMCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size, const CreateOptions& options);
    // Connects to an existing queue of this kind, taking its geometry from
    // the header. Throws IPCQueueException when it is missing, of another
    // kind, or its header disagrees with the segment's size.
    explicit MPMCQueueCPP(const std::string& name);
    // close().
    ~MPMCQueueCPP() override;

    // Closes the semaphores, removes the names unless unlink() ran or the
    // queue keeps them, and unmaps the segment.
    void close() override;
    bool keeps_names() const override;

    // Removes the segment name and the four semaphore names once; the object
    // and every attached process keep working. Never throws.
    void unlink() override;
    bool is_mpmc_queue() const override { return true; }

    // Writer: waits without limit for a free cell and returns it; the caller
    // sets length (at most cell_size()) and data, then closes it. Blocks.
    Cell* open_cell_for_write();
    // The same, giving up when `timeout` runs out (Timeout::now(): only a
    // cell free now): null then, with nothing taken. Throws as above.
    Cell* open_cell_for_write(const Timeout& timeout);
    // Appends the cell to the filled list and wakes a reader, or with discard
    // puts it back on top of the free list unpublished. A signal does not end
    // the wait for the list's lock; if a wait hook throws there (a handler
    // raised), the cell goes back unpublished and the exception passes on:
    // the write either happened or did not. Throws IPCQueueException.
    void close_cell_after_write(Cell* cell, bool discard);

    // Reader: waits for the oldest message (timeout_ms 0: no limit) and
    // returns its cell, or null on timeout. Throws IPCQueueException, also
    // for a cell whose length exceeds cell_size (the cell is given back first).
    Cell* open_cell_for_read(uint32_t timeout_ms);
    // The same with a Timeout (Timeout::now(): only a message already
    // there), measured on the monotonic clock.
    Cell* open_cell_for_read(const Timeout& timeout);
    // Puts a read cell back on the free list and wakes a writer. A signal
    // does not end the wait for the list's lock; if a wait hook throws there,
    // the message goes back to the head of the queue and the exception
    // passes on: the read either happened or did not. Throws IPCQueueException.
    void close_cell_after_read(const Cell* cell);

    // Copies one message of 0..cell_size bytes into a cell and publishes it.
    // Blocks while no cell is free. Throws IPCQueueException for a bad length.
    void write(const char* data, int64_t length) override;
    // Returns 0 with `out` replaced by the message, or 1 on timeout (out
    // unchanged). Throws IPCQueueException.
    int read(std::string& out, uint32_t timeout_ms) override;
    // write() that gives up when `timeout` runs out: false then, nothing
    // written. read() with a Timeout: 1 when nothing came in time. Both
    // throw as their plain forms.
    bool write(const char* data, int64_t length, const Timeout& timeout);
    int read(std::string& out, const Timeout& timeout);
    // A snapshot of the two counts: messages waiting, cells free.
    QueueCounts counts() const;
    // Copies at most buffer_size bytes; the rest of a longer message is
    // dropped. Returns 0, or 1 on timeout with length_read 0. Throws
    // IPCQueueException for a negative buffer_size, before taking anything.
    int read(char* buffer, int64_t buffer_size, int64_t& length_read, uint32_t timeout_ms);

    // Zero-copy read: read_begin blocks without limit for the oldest message
    // and returns its cell as the handle; read(handle, ...) exposes its
    // payload in place and returns true (one cell holds the whole message);
    // read_end gives the cell back. Throw IPCQueueException like the cell calls.
    void* read_begin() override;
    bool read(void* handle, char** data, uint64_t* length) override;
    void read_end(void* handle) override;

    SegmentReport report() const override;

    // Repairs what threads that died held of this queue (see repair.h).
    // Runs from long waits; callable by a tool. Never throws.
    void repair_dead_holders() noexcept;
    void finish_append(uint32_t index);
    void take_back_surplus(Repair& r, CountId id, Step holding_count, ListLock lock_id, sem_t* lock, sem_t* count,
                           const uint32_t& head);

private:
    // After the count: takes the list's lock and pops its head; null when
    // the list is empty (a count a repair posted too many: spent).
    Cell* pop_free(const Holder& me);
    Cell* after_filled_wait(int err, const Holder& me);
    // Posts a list lock; on failure the record goes idle and it throws `text`.
    void unlock(sem_t* lock, const Holder& me, const char* text);
    static void stall_check(const void* self);
    MPMCHeader* header() const { return reinterpret_cast<MPMCHeader*>(segment); }
    // The only address<->index arithmetic, on the geometry checked at
    // construction; both throw IPCQueueException for an index or an address
    // that is not one of this queue's cells.
    Cell* cell_at(uint32_t index) const;
    uint32_t index_of(const Cell* cell) const;
    // A link word read from the segment under `held`: a cell or kListEnd.
    // Anything else is damage: `held` is released, then it throws.
    uint32_t checked_link(uint32_t link, sem_t* held, const Holder& me) const;
    [[noreturn]] void damaged_while_holding(sem_t* lock, const Holder& me) const;
    // With the free list's lock held: the cell goes on top, the lock is
    // released, then the cell is counted.
    void push_free(uint32_t index, bool after_read, const Holder& me);
    // A written cell back on the free list, unpublished; waits for the lock
    // whatever signals come.
    void discard(uint32_t index, const Holder& me);
    // With the filled list's lock held: the cell goes to the tail.
    void append_filled(uint32_t index);
    // A read undone: the cell goes back to the head of the filled list and
    // is counted again; waits for the lock whatever signals come.
    void restore_message(uint32_t index, const Holder& me);
    // Closes what a failed constructor opened; a create also removes the
    // names it made.
    void release_after_failure(bool created);

    sem_t* free_sem() const { return sems_[kFreeSem].handle; }
    sem_t* filled_sem() const { return sems_[kFilledSem].handle; }
    sem_t* free_mutex() const { return sems_[kFreeMutex].handle; }
    sem_t* filled_mutex() const { return sems_[kFilledMutex].handle; }
    const std::string& free_sem_name() const { return sems_[kFreeSem].name; }
    const std::string& free_mutex_name() const { return sems_[kFreeMutex].name; }
    const std::string& filled_mutex_name() const { return sems_[kFilledMutex].name; }

    // In the order of queue_semaphores(QueueKind::kMPMC).
    enum { kFilledSem, kFilledMutex, kFreeMutex, kFreeSem };
    std::array<NamedSemaphore, 4> sems_;
    RecordArray cells_;
    char* segment = nullptr;
    const StallCheck stall_{&MPMCQueueCPP::stall_check, this};
};

}  // namespace mox::ipc_queue
