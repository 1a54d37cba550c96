// IPCQueueCPP: the abstract interface of the three queue kinds, plus the
// records every kind shares in shared memory (the segment prefix and Cell).
//
// Every segment starts with the same 12-byte prefix; the kind's header follows:
//
//   offset 0   u64  segment_size   total bytes of the segment
//   offset 8   u32  queue_type     0 SPSC, 1 MPMC, 2 MPMCVar
//   offset 12  ...  the kind's own header
//
// Names: the shared-memory object is named exactly as the queue; every
// semaphore is the queue name plus a suffix fixed by the kind. Everything is
// created exclusively with permission bits 0600; connecting only opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "shared_objects.h"

namespace mox::ipc_queue {

// Ends a list, or marks an empty one, wherever lists are linked by index.
inline constexpr uint32_t kListEnd = 0xFFFFFFFFu;
// Written into a `next` word while a writer or reader holds the element.
inline constexpr uint32_t kInUseMark = 0xC4653600u;

enum QueueTypeCode : uint32_t {
    kSPSCQueueType = 0,
    kMPMCQueueType = 1,
    kMPMCVarQueueType = 2,
};

struct SegmentPrefix {
    uint64_t segment_size;
    uint32_t queue_type;
};
static_assert(offsetof(SegmentPrefix, segment_size) == 0);
static_assert(offsetof(SegmentPrefix, queue_type) == 8);

// One slot of a cell array: a 16-byte header, then cell_size payload bytes.
//
//   offset 0   8 bytes  the kind's own use (MPMC: u32 reserved, u32 next)
//   offset 8   u64      length   payload bytes held
//   offset 16  ...      data
//
// Cells lie cell_size + 16 bytes apart with no rounding, so their header
// words can be unaligned: every access goes through memcpy, and the struct
// itself has alignment 1 so a Cell* at any address is valid.
struct Cell {
    static constexpr uint64_t kHeaderSize = 16;

    uint32_t next() const { return load<uint32_t>(4); }
    void set_next(uint32_t v) { store<uint32_t>(4, v); }
    uint64_t length() const { return load<uint64_t>(8); }
    // The length to copy or expose: never past `capacity`, since another
    // process can change the word after a read has checked it.
    uint64_t length_within(uint64_t capacity) const {
        const uint64_t n = length();
        return n < capacity ? n : capacity;
    }
    void set_length(uint64_t v) { store<uint64_t>(8, v); }
    char* data() { return reinterpret_cast<char*>(this) + kHeaderSize; }
    const char* data() const { return reinterpret_cast<const char*>(this) + kHeaderSize; }

    unsigned char header[kHeaderSize];

private:
    template <class T>
    T load(size_t off) const {
        T v;
        std::memcpy(&v, header + off, sizeof v);
        return v;
    }
    template <class T>
    void store(size_t off, T v) {
        std::memcpy(header + off, &v, sizeof v);
    }
};
static_assert(sizeof(Cell) == 16 && alignof(Cell) == 1);

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

    uint64_t cell_size() const { return cell_size_; }

protected:
    // Connecting: the kind fills the geometry from the segment header.
    explicit IPCQueueCPP(const std::string& name);
    // Creating: num_cells_ keeps the low 32 bits; the kind checks the range.
    IPCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size);

    std::string name_;
    uint32_t num_cells_ = 0;
    uint64_t cell_size_ = 0;
    uint64_t cell_stride_ = Cell::kHeaderSize;
    bool unlinked_ = false;
    uint64_t segment_size_ = 0;
    int shm_fd_ = -1;
    // The segment this object maps: its names are removed only while they
    // still name it.
    SegmentIdentity segment_id_;
};

}  // namespace mox::ipc_queue
