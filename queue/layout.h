// The shared-memory layouts of the three queue kinds, written once: the
// records whose offsets are the wire format, each kind's semaphores, what a
// header must satisfy, and the one arithmetic that turns an index into the
// offset of a cell or a channel area. The queues, the operator tool, the
// fuzzer and the test helpers all take the layouts from here; only the
// golden layout tests keep a copy of their own.
//
// Every segment starts with the same 12-byte prefix; the kind's header follows:
//
//   offset 0   u64  segment_size   total bytes of the segment; written last by
//                                  a create, so 0 means "not initialised yet"
//   offset 8   u32  queue_type     0 SPSC, 1 MPMC, 2 MPMCVar
//   offset 12  ...  the kind's own header, then its records
//
// Names: the segment is named exactly as the queue; every semaphore is the
// queue name plus a suffix fixed by the kind (a channel's add its number).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

enum class QueueKind : uint32_t { kSPSC = kSPSCQueueType, kMPMC = kMPMCQueueType, kMPMCVar = kMPMCVarQueueType };

// "spsc", "mpmc", "mpmcvar".
const char* kind_name(QueueKind kind);
std::optional<QueueKind> kind_from_name(const std::string& name);
std::optional<QueueKind> kind_from_code(uint32_t queue_type);

struct SegmentPrefix {
    uint64_t segment_size;
    uint32_t queue_type;
};
static_assert(offsetof(SegmentPrefix, segment_size) == 0);
static_assert(offsetof(SegmentPrefix, queue_type) == 8);
inline constexpr uint64_t kPrefixSize = offsetof(SegmentPrefix, queue_type) + sizeof(uint32_t);

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
    static constexpr uint64_t kNextOffset = 4;
    static constexpr uint64_t kLengthOffset = 8;

    uint32_t next() const { return load<uint32_t>(kNextOffset); }
    void set_next(uint32_t v) { store<uint32_t>(kNextOffset, v); }
    uint64_t length() const { return load<uint64_t>(kLengthOffset); }
    // The length to copy or expose: never past `capacity`, since another
    // process can change the word after a read has checked it.
    uint64_t length_within(uint64_t capacity) const {
        const uint64_t n = length();
        return n < capacity ? n : capacity;
    }
    void set_length(uint64_t v) { store<uint64_t>(kLengthOffset, v); }
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

// SPSC: a ring of cells. Only the writer moves write_index, only the reader
// read_index; the two thread words record which threads hold the two ends.
//
//   0  u64 segment_size   8  u32 queue_type (0)   12 u32 num_cells
//  16  u64 cell_size     24  u32 read_index       28 u32 write_index
//  32  u64 first_thread  40  u64 second_thread    48 cells, stride cell_size + 16
struct SPSCHeader {
    uint64_t segment_size;
    uint32_t queue_type;
    uint32_t num_cells;
    uint64_t cell_size;
    uint32_t read_index;
    uint32_t write_index;
    uint64_t first_thread;
    uint64_t second_thread;
};
static_assert(offsetof(SPSCHeader, segment_size) == 0);
static_assert(offsetof(SPSCHeader, queue_type) == 8);
static_assert(offsetof(SPSCHeader, num_cells) == 12);
static_assert(offsetof(SPSCHeader, cell_size) == 16);
static_assert(offsetof(SPSCHeader, read_index) == 24);
static_assert(offsetof(SPSCHeader, write_index) == 28);
static_assert(offsetof(SPSCHeader, first_thread) == 32);
static_assert(offsetof(SPSCHeader, second_thread) == 40);
static_assert(sizeof(SPSCHeader) == 48);

// MPMC: every cell on the free list (a stack) or the filled list (a FIFO),
// linked through the cells' `next` words, or held by one writer or reader.
//
//   0  u64 segment_size   8  u32 queue_type (1)   12 u32 num_cells
//  16  u64 cell_size     24  u32 free_head        28 u32 filled_head
//  32  u32 filled_tail   36  u32 flags            40 cells, stride cell_size + 16
// In a cell, `next` (offset 4) links the lists; kInUseMark while held.
// flags: queue-wide (kKeepNames); zero unless a creator asked for one.
struct MPMCHeader {
    uint64_t segment_size;
    uint32_t queue_type;
    uint32_t num_cells;
    uint64_t cell_size;
    uint32_t free_head;
    uint32_t filled_head;
    uint32_t filled_tail;
    uint32_t flags;
};
static_assert(offsetof(MPMCHeader, segment_size) == 0);
static_assert(offsetof(MPMCHeader, queue_type) == 8);
static_assert(offsetof(MPMCHeader, num_cells) == 12);
static_assert(offsetof(MPMCHeader, cell_size) == 16);
static_assert(offsetof(MPMCHeader, free_head) == 24);
static_assert(offsetof(MPMCHeader, filled_head) == 28);
static_assert(offsetof(MPMCHeader, filled_tail) == 32);
static_assert(offsetof(MPMCHeader, flags) == 36);
static_assert(sizeof(MPMCHeader) == 40);

// MPMCVar: channels of cell rings; a lock-free free stack and a used FIFO
// of channel numbers, linked through the channel areas' `next` words.
//
//   0  u64 segment_size   8  u32 queue_type (2)   12 u32 num_channels
//  16  u32 num_cells     20  u32 cell_size        24 u32 free_head
//  28  u32 free_count (modifications of the free stack)
//  32  u32 used_head     36  u32 used_tail        40 channel areas
// free_head and free_count are the low and high halves of one 64-bit word.
// Channel i starts at 40 + i * channel_stride, with
// channel_stride = (cell_size + 16) * num_cells + 24.
struct MPMCVarHeader {
    uint64_t segment_size;
    uint32_t queue_type;
    uint32_t num_channels;
    uint32_t num_cells;
    uint32_t cell_size;
    std::atomic<uint64_t> free_word;
    std::atomic<uint32_t> used_head;
    std::atomic<uint32_t> used_tail;
};
static_assert(offsetof(MPMCVarHeader, segment_size) == 0);
static_assert(offsetof(MPMCVarHeader, queue_type) == 8);
static_assert(offsetof(MPMCVarHeader, num_channels) == 12);
static_assert(offsetof(MPMCVarHeader, num_cells) == 16);
static_assert(offsetof(MPMCVarHeader, cell_size) == 20);
static_assert(offsetof(MPMCVarHeader, free_word) == 24);
static_assert(offsetof(MPMCVarHeader, used_head) == 32);
static_assert(offsetof(MPMCVarHeader, used_tail) == 36);
static_assert(sizeof(MPMCVarHeader) == 40);
// Other processes map the same words: they must be plain lock-free words.
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint64_t>) == 8 && sizeof(std::atomic<uint32_t>) == 4);

// The free word: free_head in the low half, the modification count in the high.
inline uint32_t free_top(uint64_t word) { return static_cast<uint32_t>(word); }
inline uint32_t free_count(uint64_t word) { return static_cast<uint32_t>(word >> 32); }

//   0  u64 message_length   bytes written into the current message so far
//   8  u32 next             list link; kInUseMark while a reader holds it
//  12  u32 read_index      16  u32 write_index
//  20  u8  message_state    kMessageOpen, or how the message ended (below)
//  21  u8  queue_flags      channel 0 only: the queue-wide flags (kKeepNames)
//  22  2 bytes reserved
//  24  the ring: cell j at 24 + j * (cell_size + 16)
// Areas lie channel_stride apart with no rounding, so these words can be
// unaligned: the struct only fixes the offsets, access goes through Channel.
struct ChannelAreaLayout {
    uint64_t message_length;
    uint32_t next;
    uint32_t read_index;
    uint32_t write_index;
    uint8_t message_state;
    uint8_t queue_flags;
    uint8_t reserved[2];
};
static_assert(offsetof(ChannelAreaLayout, message_length) == 0);
static_assert(offsetof(ChannelAreaLayout, next) == 8);
static_assert(offsetof(ChannelAreaLayout, read_index) == 12);
static_assert(offsetof(ChannelAreaLayout, write_index) == 16);
static_assert(offsetof(ChannelAreaLayout, message_state) == 20);
static_assert(offsetof(ChannelAreaLayout, queue_flags) == 21);
static_assert(sizeof(ChannelAreaLayout) == 24);

// message_state: one byte, so its compare-and-swap is atomic at any address.
// Zero while a message is under way (and in a free channel).
inline constexpr uint8_t kMessageOpen = 0;
inline constexpr uint8_t kWriterEnded = 1;      // the last cell is handed over, or about to be
inline constexpr uint8_t kWriterAbandoned = 2;  // at most one more (empty) cell follows
inline constexpr uint8_t kReaderAbandoned = 3;  // the reader gave back what it held and left

// Queue-wide flags, in a word the layout otherwise leaves zero (MPMC's
// header flags, MPMCVar's channel 0 queue_flags); SPSC has none. A peer that
// does not know them ignores them.
// kKeepNames: no object's destruction removes the names; only unlink().
inline constexpr uint32_t kKeepNames = 1;

// Counts: cells and channels are numbered by u32 but kept below 2^31.
inline constexpr uint64_t kMaxCount = 2147483647;
// MPMCVar keeps cell_size in 32 bits, and a channel's ring below 2^32 bytes
// (cell offsets within an area are 32-bit).
inline constexpr uint64_t kMaxVarCellSize = 0xFFFFFFFFu;
inline constexpr uint64_t kRingLimit = uint64_t{1} << 32;

// `count` records of `stride` bytes, the first at offset `first` of the
// segment: the one place where an index becomes an offset, or an offset an
// index, each with its bounds check.
struct RecordArray {
    uint64_t first = 0;
    uint64_t stride = 0;
    uint32_t count = 0;

    bool contains(uint32_t index) const { return index < count; }
    // The record's offset; no check (callers check contains() first).
    uint64_t offset(uint32_t index) const { return first + uint64_t{index} * stride; }
    std::optional<uint64_t> checked_offset(uint32_t index) const {
        if (!contains(index)) return std::nullopt;
        return offset(index);
    }
    // The index of the record that starts at `at`, if one does.
    std::optional<uint32_t> index_at(uint64_t at) const {
        // Unsigned: an offset before the first record wraps to a huge one.
        const uint64_t from_first = at - first;
        if (stride == 0 || from_first % stride != 0 || from_first / stride >= count) return std::nullopt;
        return static_cast<uint32_t>(from_first / stride);
    }
    uint64_t end() const { return first + uint64_t{count} * stride; }
};

// The shape of a queue, as its creator asked for it or its header claims it.
struct Geometry {
    QueueKind kind = QueueKind::kSPSC;
    uint32_t num_channels = 0;  // MPMCVar only
    uint32_t num_cells = 0;     // per channel for MPMCVar
    uint64_t cell_size = 0;

    uint64_t header_size() const;
    uint64_t cell_stride() const { return cell_size + Cell::kHeaderSize; }
    uint64_t channel_stride() const { return uint64_t{num_cells} * cell_stride() + sizeof(ChannelAreaLayout); }
    // The cell array of a fixed-cell kind.
    RecordArray cells() const { return {header_size(), cell_stride(), num_cells}; }
    // MPMCVar: the channel areas, and the ring of the area at `area`.
    RecordArray channels() const { return {header_size(), channel_stride(), num_channels}; }
    RecordArray ring(uint64_t area) const { return {area + sizeof(ChannelAreaLayout), cell_stride(), num_cells}; }

    // Why this shape cannot be a queue (a count or size out of range, a
    // ring too large, a segment that cannot be mapped), "" when it can.
    std::string problem() const;
    // The segment's size; only for a shape without a problem.
    uint64_t segment_size() const;
};

// The geometry words of a header; `header` holds at least header_size() bytes.
Geometry read_geometry(QueueKind kind, const char* header);

// What is wrong with a segment of `object_size` bytes whose header is
// `header` (at least header_size() bytes of it), for a queue of `kind`:
// its geometry, its size word, and its list heads and ring positions.
// "" when a connecting process may trust it.
std::string header_problem(QueueKind kind, const char* header, uint64_t object_size);

// A semaphore's initial value, as a create gives it.
enum class Initial { kZero, kOne, kCells, kChannels };
unsigned initial_value(Initial initial, const Geometry& g);

struct SemaphoreSpec {
    const char* suffix;
    Initial initial;
};

// The queue's own semaphores, in the order a create makes them.
const std::vector<SemaphoreSpec>& queue_semaphores(QueueKind kind);
// Each MPMCVar channel's two, in create order; the channel number follows the suffix.
const std::vector<SemaphoreSpec>& channel_semaphores();

// Every semaphore suffix of a queue of `kind` with `num_channels` channels.
std::vector<std::string> semaphore_suffixes(QueueKind kind, uint32_t num_channels);
// The longest of them: what a create checks a name against.
size_t longest_semaphore_suffix(QueueKind kind, uint32_t num_channels);

// One word of a record, for tools that print or damage them.
enum class WordRole { kSize, kType, kGeometry, kLink, kIndex, kCount, kLength, kThread, kState, kFlags, kReserved };
struct Field {
    const char* name;
    uint32_t offset;
    uint32_t width;
    WordRole role;
};
// The kind's header fields, in offset order.
const std::vector<Field>& header_fields(QueueKind kind);
// An MPMCVar channel area's fields, and a cell's (`next` is MPMC's only).
const std::vector<Field>& channel_area_fields();
const std::vector<Field>& cell_fields(QueueKind kind);

}  // namespace mox::ipc_queue
