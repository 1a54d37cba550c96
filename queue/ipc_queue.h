// IPCQueueCPP: the abstract interface of the three queue kinds. What every
// kind keeps in shared memory (the segment prefix, Cell, the kinds' headers)
// is drawn in layout.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "layout.h"
#include "owner_table.h"
#include "segment_report.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

// Approximate counts, read from the semaphores at one moment: other
// processes change them meanwhile.
struct QueueCounts {
    int waiting;  // messages written and not yet taken (MPMCVar: started)
    int free;     // cells (MPMCVar: channels) a writer may take now
};

// What a creating constructor can be asked beyond the geometry.
struct CreateOptions {
    // The queue's names stay until unlink() or a removal by name: no
    // object's destruction or close() removes them. Recorded in the
    // segment, so it holds for every object of the queue in every process,
    // and workers can connect and leave at will.
    bool keep_names = false;
};

class IPCQueueCPP {
public:
    IPCQueueCPP(const IPCQueueCPP&) = delete;
    IPCQueueCPP& operator=(const IPCQueueCPP&) = delete;

    // Closes the kind's semaphores, removes its names unless removed before
    // (and only while they still name this queue), and unmaps the segment.
    virtual ~IPCQueueCPP();

    // Removes the shared-memory name and every semaphore name, at most once
    // per object, and only while the name still names this object's queue
    // (a queue created anew under it is left alone). Attached processes
    // keep working; new connects fail.
    virtual void unlink() = 0;

    // Releases what this object holds, as the destructor does (the names
    // go too, unless unlink() ran or the queue keeps them); afterwards every
    // operation throws IPCQueueException "queue is closed", unlink() does
    // nothing, and name() and the geometry stay readable. Repeated calls do
    // nothing. No other thread may be using the object meanwhile.
    virtual void close() = 0;
    bool closed() const { return closed_; }
    // Whether the queue's names outlive its objects (CreateOptions::keep_names).
    virtual bool keeps_names() const { return false; }

    virtual bool is_spsc_queue() const { return false; }
    virtual bool is_mpmc_queue() const { return false; }
    virtual bool is_mpmcvar_queue() const { return false; }

    // Puts one message of `length` bytes. Blocks while the queue is full.
    // Throws IPCQueueException for a negative length or a failed wait/post.
    virtual void write(const char* data, int64_t length) = 0;

    // Takes the next message into `out`, replacing its contents. timeout_ms 0
    // waits without limit. Returns 0 when a message was read, 1 on timeout
    // (then `out` is unchanged). Throws IPCQueueException on failure.
    virtual int read(std::string& out, uint32_t timeout_ms) = 0;

    // Zero-copy read: read_begin waits without limit for the next message and
    // returns an opaque handle; read(handle, ...) exposes the payload of the
    // next cell in place and returns true when that cell is the message's
    // last; read_end hands the storage back to the writers. The exposed
    // bytes stay valid until the next call on the handle, read_end or the
    // object's destruction, which unmaps the segment.
    virtual void* read_begin() = 0;
    virtual bool read(void* handle, char** data, uint64_t* length) = 0;
    virtual void read_end(void* handle) = 0;

    // What this object sees of its queue: header words, lists, counts, cells
    // or channels held, and what differs from a sound idle queue (see
    // segment_report.h). Read from its own mapping and semaphore handles, so
    // it works after the names are gone. Changes nothing; a snapshot while
    // other processes work.
    virtual SegmentReport report() const = 0;

    uint64_t cell_size() const { return cell_size_; }
    // The queue's name as given, and its cell count (per channel for the
    // variable-length kind).
    const std::string& name() const { return name_; }
    uint32_t num_cells() const { return num_cells_; }

protected:
    // Connecting: the kind fills the geometry from the segment header.
    explicit IPCQueueCPP(const std::string& name);
    // Creating: num_cells_ keeps the low 32 bits; the kind checks the range.
    IPCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size);

    // Every operation that touches the segment starts here.
    void check_open() const {
        if (closed_) [[unlikely]]
            throw_closed();
    }
    [[noreturn]] void throw_closed() const;

    std::string name_;
    uint32_t num_cells_ = 0;
    uint64_t cell_size_ = 0;
    uint64_t cell_stride_ = Cell::kHeaderSize;
    bool unlinked_ = false;
    bool closed_ = false;
    uint64_t segment_size_ = 0;
    int shm_fd_ = -1;
    // The segment this object maps: its names are removed only while they
    // still name it.
    SegmentIdentity segment_id_;
    // Who holds what of the queue (owner_table.h), and when this process
    // last looked for dead holders.
    OwnerTable owners_;
    std::atomic<int64_t> last_repair_ms_{0};
};

}  // namespace mox::ipc_queue
