// What a queue's segment and semaphores hold, read without changing
// anything: the header words, the lists walked, the counts, the cells or
// channels on no list, and what differs from a sound, idle queue. The
// operator tool reads a segment through its descriptor (never mapped: a
// damaged or shrinking segment cannot fault it); a queue object reports on
// its own mapping. Every word is checked against the segment's size and
// geometry before it is followed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "layout.h"

namespace mox::ipc_queue {

// A segment's bytes, each read bounded by its size.
class SegmentSource {
public:
    virtual ~SegmentSource() = default;
    virtual uint64_t size() const = 0;
    // Copies `n` bytes at `offset` when they lie wholly inside.
    virtual bool read(uint64_t offset, void* out, size_t n) const = 0;

    template <class T>
    std::optional<T> get(uint64_t offset) const {
        T v{};
        if (!read(offset, &v, sizeof v)) return std::nullopt;
        return v;
    }
};

// A mapping this process holds. Other processes may write it meanwhile: the
// report is a snapshot, and a list changed under the walk may read as broken.
class MappedSegment final : public SegmentSource {
public:
    MappedSegment(const char* bytes, uint64_t size) : bytes_(bytes), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* out, size_t n) const override;

private:
    const char* bytes_;
    uint64_t size_;
};

// A segment opened by name, read-only, read with pread.
class SegmentFile final : public SegmentSource {
public:
    SegmentFile() = default;
    SegmentFile(const SegmentFile&) = delete;
    SegmentFile& operator=(const SegmentFile&) = delete;
    ~SegmentFile();
    // 0, or the errno of the failed open. `name` as given to shm_open.
    int open(const std::string& name);
    bool regular() const { return regular_; }
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* out, size_t n) const override;

private:
    int fd_ = -1;
    bool regular_ = false;
    uint64_t size_ = 0;
};

struct SemaphoreReading {
    enum Status { kValue, kMissing, kNoAccess, kBroken } status = kMissing;
    int value = 0;

    bool present() const { return status != kMissing; }
    std::string text() const;  // the value, or "missing", "no-access", "broken"
};

// The value of the semaphore `sem_name` (as given to sem_open), opened for
// the look and closed again; its file is checked first, so a damaged one
// reads as broken instead of faulting.
SemaphoreReading read_named_semaphore(const std::string& sem_name);

// A semaphore's reading by its suffix ("_free_", "_filled_channel_3").
using SemaphoreReader = std::function<SemaphoreReading(const std::string& suffix)>;

struct ListWalk {
    std::vector<uint32_t> items;
    std::string broken;  // why the walk stopped before the end mark; "" when it reached it
};

struct ChannelReport {
    uint32_t index = 0;
    uint64_t message_length = 0;
    uint32_t next = 0, read_index = 0, write_index = 0;
    uint8_t message_state = 0;
    SemaphoreReading free, filled;
    std::vector<uint64_t> cell_lengths;  // ring order, from cell 0
};

struct SegmentReport {
    enum Verdict { kQueue, kDamaged, kNotAQueue } verdict = kNotAQueue;
    std::optional<QueueKind> kind;
    std::string problem;  // why it is damaged or not a queue
    uint64_t object_size = 0;
    Geometry geometry;                                                 // as the header claims it
    std::vector<std::pair<std::string, uint64_t>> header;              // every header field, in offset order
    std::vector<std::pair<std::string, SemaphoreReading>> semaphores;  // the queue's own, by suffix
    std::vector<std::pair<std::string, ListWalk>> lists;               // "free", "filled" / "used"
    std::vector<uint32_t> held;                                        // cells (channels) on no list
    std::vector<ChannelReport> channels;
    // What differs from a sound queue nobody is inside of, one entry per
    // item: "cell held", "free count short", "free list lock held",
    // "unfinished message listed", ... While a list lock is taken, the lists
    // may be mid-change: only the lock is reported then.
    std::vector<std::string> findings;
};

// Reads the segment; semaphores only when the header says which there are.
SegmentReport report_segment(const SegmentSource& segment, const SemaphoreReader& semaphores);

// The report as one JSON object, the queue named `name`.
std::string to_json(const SegmentReport& report, const std::string& name);

}  // namespace mox::ipc_queue
