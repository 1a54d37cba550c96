#include "mpmcvar_queue.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "copy_bytes.h"
#include "ipc_queue_exception.h"
#include "semaphore_wait.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

namespace {

constexpr uint64_t kHeaderSize = sizeof(MPMCVarHeader);
constexpr uint64_t kAreaHeaderSize = sizeof(ChannelAreaLayout);
constexpr int64_t kMaxCount = 2147483647;
constexpr uint64_t kMaxCellSize = 0xFFFFFFFFu;
// Cell offsets within a channel area are 32-bit: a ring stays below 2^32 bytes.
constexpr uint64_t kRingLimit = uint64_t{1} << 32;

const SegmentCreateTexts kCreateTexts{
    "MPMCVarQueueCPP:create constructor: segment size too large",
    "MPMCVarQueueCPP:create constructor: Shared memory file with same name already exists.",
    "MPMCVarQueueCPP:create constructor: unable to open shared memory",
    "MPMCVarQueueCPP:create constructor: unable to set size of shared memory",
    "MPMCVarQueueCPP:create constructor: unable to reserve shared memory",
    "MPMCVarQueueCPP:create constructor: unable to memory map shared memory",
};

const SegmentConnectTexts kConnectTexts{
    "MPMCVarQueueCPP:connect constructor: unable to open shared memory",
    "MPMCVarQueueCPP:connect constructor: unable to memory map shared memory",
    "MPMCVarQueueCPP:connect constructor: cannot connect to queue type other than MPMCVarQueue",
    "MPMCVarQueueCPP:connect constructor: segment not initialised; its creator has not finished",
    "MPMCVarQueueCPP:connect constructor: segment is damaged",
};

struct SemaphoreTexts {
    const char* exists;          // create: the name is taken
    const char* create_failed;   // create: any other failure
    const char* connect_failed;  // connect: the name cannot be opened
};

const SemaphoreTexts kFreeSemTexts{
    "MPMCVarQueueCPP:create constructor: free semaphore with same name already exists.",
    "MPMCVarQueueCPP:create constructor: unable to create free semaphore",
    "MPMCVarQueueCPP:connect constructor: unable to create free semaphore",
};
const SemaphoreTexts kUsedSemTexts{
    "MPMCVarQueueCPP:create constructor: used semaphore with same name already exists.",
    "MPMCVarQueueCPP:create constructor: unable to create used semaphore",
    "MPMCVarQueueCPP:connect constructor: unable to create used semaphore",
};
const SemaphoreTexts kUsedMutexTexts{
    "MPMCVarQueueCPP:create constructor: used mutex with same name already exists.",
    "MPMCVarQueueCPP:create constructor: unable to create used mutex",
    "MPMCVarQueueCPP:connect constructor: unable to create used mutex",
};
const SemaphoreTexts kChannelFreeTexts{
    "MPMCVarQueueCPP:Channel create constructor: free semaphore for channel with same name already exists.",
    "MPMCVarQueueCPP:Channel create constructor: unable to create free semaphore for channel",
    "MPMCVarQueueCPP:Channel connect constructor: unable to create free semaphore for channel",
};
const SemaphoreTexts kChannelFilledTexts{
    "MPMCVarQueueCPP:Channel create constructor: flled semaphore for channel with same name already exists.",
    "MPMCVarQueueCPP:Channel create constructor: unable to create filled semaphore for channel",
    "MPMCVarQueueCPP:Channel connect constructor: unable to create filled semaphore for channel",
};

// Creates the semaphore exclusively with `initial`, or opens the existing one.
sem_t* create_or_open(const std::string& sem_name, unsigned initial, bool create, const SemaphoreTexts& texts) {
    return create ? create_semaphore(sem_name, initial, texts.exists, texts.create_failed)
                  : open_semaphore(sem_name, texts.connect_failed);
}

// Bytes of one channel's ring; callers keep num_cells < 2^31 and
// cell_size < 2^32, so the product fits.
uint64_t ring_bytes(uint64_t num_cells, uint64_t cell_size) { return num_cells * (cell_size + Cell::kHeaderSize); }

// The free word: free_head in the low half, the modification count in the high.
uint32_t free_top(uint64_t word) { return static_cast<uint32_t>(word); }
uint64_t free_word_after(uint64_t word, uint32_t top) {
    return (((word >> 32) + 1) << 32) | top;  // the count wraps at 2^32
}

// The geometry words of a header, copied out of the segment once.
struct Geometry {
    uint32_t num_channels;
    uint32_t num_cells;
    uint32_t cell_size;
};

Geometry read_geometry(const char* segment) {
    Geometry g{};
    std::memcpy(&g.num_channels, segment + offsetof(MPMCVarHeader, num_channels), sizeof g.num_channels);
    std::memcpy(&g.num_cells, segment + offsetof(MPMCVarHeader, num_cells), sizeof g.num_cells);
    std::memcpy(&g.cell_size, segment + offsetof(MPMCVarHeader, cell_size), sizeof g.cell_size);
    return g;
}

bool geometry_fits(const Geometry& g, uint64_t size) {
    if (g.num_channels < 1 || g.num_channels > kMaxCount || g.num_cells < 1 || g.num_cells > kMaxCount ||
        g.cell_size < 1)
        return false;
    const uint64_t ring = ring_bytes(g.num_cells, g.cell_size);
    uint64_t expected = 0;
    return ring < kRingLimit && segment_size_fits(kHeaderSize, g.num_channels, ring + kAreaHeaderSize, expected) &&
           expected == size;
}

bool header_consistent(const char* segment, uint64_t size) {
    return size >= kHeaderSize && geometry_fits(read_geometry(segment), size);
}

}  // namespace

// ---------------------------------------------------------------- Channel

Channel::Channel(MPMCVarQueueCPP& owner, uint32_t channel_index, Open how)
    : num_cells(owner.num_cells_),
      cell_size(static_cast<uint32_t>(owner.cell_size_)),
      index(channel_index),
      channel_shm(owner.channelShmAt(channel_index)),
      queue(&owner) {
    const std::string number = std::to_string(index);
    const bool create = how == Open::kCreate;
    free_sem_name = owner.name_ + "_free_channel_" + number;
    free_sem = create_or_open(free_sem_name, num_cells, create, kChannelFreeTexts);
    filled_sem_name = owner.name_ + "_filled_channel_" + number;
    try {
        filled_sem = create_or_open(filled_sem_name, 0, create, kChannelFilledTexts);
    } catch (...) {
        // No destructor will run: close what was opened, remove what was made.
        close_semaphore(free_sem, free_sem_name, create);
        throw;
    }
}

Channel::Channel(Channel&& other) noexcept
    : num_cells(other.num_cells),
      cell_size(other.cell_size),
      index(other.index),
      channel_shm(other.channel_shm),
      queue(other.queue),
      filled_sem_name(std::move(other.filled_sem_name)),
      filled_sem(std::exchange(other.filled_sem, nullptr)),
      free_sem_name(std::move(other.free_sem_name)),
      free_sem(std::exchange(other.free_sem, nullptr)),
      write_cell(std::exchange(other.write_cell, nullptr)),
      write_open(std::exchange(other.write_open, false)),
      read_cell(std::exchange(other.read_cell, nullptr)),
      read_open(std::exchange(other.read_open, false)) {}

Channel::~Channel() {
    close_semaphore(free_sem);
    close_semaphore(filled_sem);
}

void Channel::unlink() {
    if (free_sem != nullptr) ::sem_unlink(free_sem_name.c_str());
    if (filled_sem != nullptr) ::sem_unlink(filled_sem_name.c_str());
}

uint32_t Channel::area_u32(size_t offset) const {
    uint32_t v;
    std::memcpy(&v, channel_shm + offset, sizeof v);
    return v;
}

void Channel::set_area_u32(size_t offset, uint32_t v) { std::memcpy(channel_shm + offset, &v, sizeof v); }

uint64_t Channel::message_length() const {
    uint64_t v;
    std::memcpy(&v, channel_shm + offsetof(ChannelAreaLayout, message_length), sizeof v);
    return v;
}

void Channel::set_message_length(uint64_t v) {
    std::memcpy(channel_shm + offsetof(ChannelAreaLayout, message_length), &v, sizeof v);
}

// A pop reads `next` of the top channel while whoever popped it meanwhile
// may be writing it; the value is used only if the free word's swap then
// succeeds, which the counter rules out in that case. Relaxed atomic access
// keeps the race well-defined (the free word's acquire/seq_cst operations do
// the ordering): one 32-bit access where the word is aligned, otherwise one
// per byte, whose torn value is discarded the same way.
uint32_t Channel::next() const {
    const char* p = channel_shm + offsetof(ChannelAreaLayout, next);
    if (reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0)
        return __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_RELAXED);
    unsigned char b[sizeof(uint32_t)];
    for (size_t i = 0; i < sizeof b; ++i)
        b[i] = __atomic_load_n(reinterpret_cast<const unsigned char*>(p) + i, __ATOMIC_RELAXED);
    uint32_t v;
    std::memcpy(&v, b, sizeof v);
    return v;
}

void Channel::set_next(uint32_t v) {
    char* p = channel_shm + offsetof(ChannelAreaLayout, next);
    if (reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0) {
        __atomic_store_n(reinterpret_cast<uint32_t*>(p), v, __ATOMIC_RELAXED);
        return;
    }
    unsigned char b[sizeof(uint32_t)];
    std::memcpy(b, &v, sizeof v);
    for (size_t i = 0; i < sizeof b; ++i)
        __atomic_store_n(reinterpret_cast<unsigned char*>(p) + i, b[i], __ATOMIC_RELAXED);
}

Cell* Channel::cell_address(uint32_t j) const {
    return reinterpret_cast<Cell*>(channel_shm + kAreaHeaderSize +
                                   static_cast<uint64_t>(j) * (uint64_t{cell_size} + Cell::kHeaderSize));
}

Cell* Channel::ring_cell(uint32_t j) const {
    if (j >= num_cells)
        throw IPCQueueException("MPMCVarQueueCPP:Channel: ring index out of range; segment is damaged", queue->name_);
    return cell_address(j);
}

Cell* Channel::take_ring_cell(size_t index_offset) {
    const uint32_t j = area_u32(index_offset);
    Cell* cell = ring_cell(j);
    set_area_u32(index_offset, j + 1 == num_cells ? 0 : j + 1);
    return cell;
}

Cell* Channel::take_ring_cell_unchecked(size_t index_offset) noexcept {
    uint32_t j = area_u32(index_offset);
    if (j >= num_cells) j = 0;  // damage; cleaning up must not throw
    set_area_u32(index_offset, j + 1 == num_cells ? 0 : j + 1);
    return cell_address(j);
}

void Channel::throw_damaged_cell(const char* text) const { throw IPCQueueException(text, queue->name_); }

uint8_t* Channel::message_state() const {
    return reinterpret_cast<uint8_t*>(channel_shm + offsetof(ChannelAreaLayout, message_state));
}

bool Channel::settle_message(uint8_t outcome) {
    // seq_cst: a side that then sleeps on its semaphore must not miss the
    // other side's outcome, nor the other side its post.
    uint8_t expected = kMessageOpen;
    return __atomic_compare_exchange_n(message_state(), &expected, outcome, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

namespace {

bool reader_left(const void* channel_state) {
    return __atomic_load_n(static_cast<const uint8_t*>(channel_state), __ATOMIC_SEQ_CST) == kReaderAbandoned;
}

bool writer_left(const void* channel_state) {
    return __atomic_load_n(static_cast<const uint8_t*>(channel_state), __ATOMIC_SEQ_CST) == kWriterAbandoned;
}

// Waits that a signal does not end: the channel is held. The watch ends
// them when the other side abandons the message.
WaitOptions inside_message(uint32_t cell_size, const WaitWatch& watch) {
    WaitOptions options;
    options.may_poll = cell_size <= kPollMaxCellSize;
    options.on_signal = OnSignal::kResume;
    options.watch = &watch;
    return options;
}

// How long a side that cleans up after an abandoned message waits for the
// other side's last post, which follows its outcome at once.
constexpr uint32_t kLastPostMs = 1000;

constexpr const char* kAbandonedByWriter = "message abandoned by its writer";
constexpr const char* kAbandonedByReader = "message abandoned by its reader";

}  // namespace

void Channel::begin_write() {
    write_cell = nullptr;
    set_message_length(0);
    // A peer that does not know message_state may have left an outcome here.
    __atomic_store_n(message_state(), kMessageOpen, __ATOMIC_RELAXED);
}

void Channel::begin_read() {
    read_cell = nullptr;
    read_open = true;
}

Cell* Channel::open_cell_for_write() {
    const WaitWatch watch{reader_left, message_state()};
    int err = 0;
    try {
        err = wait_semaphore(free_sem, inside_message(cell_size, watch));
    } catch (...) {
        if (!thread_ending()) abandon_write();  // a signal handler raised: the message is given up
        throw;
    }
    if (err == ECANCELED) {
        clean_up_after_reader();
        throw MessageAbandoned(kAbandonedByReader, queue->name_);
    }
    if (err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:open_cell_for_write: free semaphore decrement failed.",
                                free_sem_name, err);
    return take_ring_cell(offsetof(ChannelAreaLayout, write_index));
}

void Channel::close_cell_after_write(Cell*) {
    // The cell's bytes and length are stored before the post; the reader's
    // wait orders its loads after it.
    if (::sem_post(filled_sem) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:close_cell_after_write: filled semaphore increment failed",
                                filled_sem_name, errno);
}

Cell* Channel::open_cell_for_read() {
    const WaitWatch watch{writer_left, message_state()};
    int err = 0;
    try {
        err = wait_semaphore(filled_sem, inside_message(cell_size, watch));
    } catch (...) {
        if (!thread_ending()) abandon_read();
        throw;
    }
    if (err == ECANCELED) {
        clean_up_after_writer();
        throw MessageAbandoned(kAbandonedByWriter, queue->name_);
    }
    if (err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:open_cell_for_read: filled semaphore decrement failed.",
                                filled_sem_name, err);
    Cell* cell = take_ring_cell(offsetof(ChannelAreaLayout, read_index));
    read_cell = cell;
    const uint64_t length = cell->length();
    if (length > cell_size) {
        // Never hand out a length reaching past the cell.
        close_cell_after_read(cell);
        throw_damaged_cell("MPMCVarQueueCPP:Channel:open_cell_for_read: cell length > cell size; segment is damaged");
    }
    // A cell that looks like the end may be an abandoning writer's last one;
    // the writer settled the outcome before it posted the cell.
    if (length < cell_size && __atomic_load_n(message_state(), __ATOMIC_ACQUIRE) == kWriterAbandoned) {
        clean_up_after_writer();
        throw MessageAbandoned(kAbandonedByWriter, queue->name_);
    }
    return cell;
}

void Channel::close_cell_after_read(const Cell* cell) {
    // A cell a writer takes must read length 0: cleared before the post.
    const_cast<Cell*>(cell)->set_length(0);
    read_cell = nullptr;
    if (::sem_post(free_sem) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:close_cell_after_read: free semaphore increment failed.",
                                free_sem_name, errno);
}

void Channel::abandon_write() noexcept {
    if (!write_open) return;
    write_open = false;
    // A reader may be asleep on an empty ring: hand it one more cell, empty,
    // after the outcome is settled. The cell is taken first, so that after
    // the swap this side only posts.
    if (write_cell != nullptr) {
        write_cell->set_length(0);
    } else if (::sem_trywait(free_sem) == 0) {
        write_cell = take_ring_cell_unchecked(offsetof(ChannelAreaLayout, write_index));
    }
    if (!settle_message(kWriterAbandoned)) {
        clean_up_after_reader();  // the reader left first
        return;
    }
    if (Cell* last = std::exchange(write_cell, nullptr); last != nullptr) ::sem_post(filled_sem);
}

void Channel::abandon_read() noexcept {
    if (!read_open) return;
    read_open = false;
    // Give back first: to the writer it is only one more free cell.
    if (const Cell* held = std::exchange(read_cell, nullptr); held != nullptr) {
        const_cast<Cell*>(held)->set_length(0);
        ::sem_post(free_sem);
    }
    if (!settle_message(kReaderAbandoned)) clean_up_after_writer();  // the writer is done with the ring
}

// The reader gave back all it held and left: the handed-over cells are all
// counted on the filled semaphore, and the cell this side may hold is the
// one after them.
void Channel::clean_up_after_reader() noexcept {
    write_open = false;
    const size_t read_index = offsetof(ChannelAreaLayout, read_index);
    while (::sem_trywait(filled_sem) == 0) {
        take_ring_cell_unchecked(read_index)->set_length(0);
        ::sem_post(free_sem);
    }
    if (write_cell != nullptr) {
        take_ring_cell_unchecked(read_index)->set_length(0);
        write_cell = nullptr;
        ::sem_post(free_sem);
    }
    queue->release_channel(*this);
}

// The writer settled its outcome and then makes at most one more post, of a
// cell it had already taken: the free count no longer changes but by this
// side, so the cells still to come back are exactly those it lacks.
void Channel::clean_up_after_writer() noexcept {
    read_open = false;
    if (const Cell* held = std::exchange(read_cell, nullptr); held != nullptr) {
        const_cast<Cell*>(held)->set_length(0);
        ::sem_post(free_sem);
    }
    int free_cells = 0;
    ::sem_getvalue(free_sem, &free_cells);
    WaitOptions options;
    options.timeout_ms = kLastPostMs;
    options.on_signal = OnSignal::kDefer;
    for (int missing = static_cast<int>(num_cells) - free_cells; missing > 0; --missing) {
        // Only a writer that died right after settling misses its post; its
        // channel is then lost, as any a dead process holds.
        if (wait_semaphore(filled_sem, options) != 0) return;
        take_ring_cell_unchecked(offsetof(ChannelAreaLayout, read_index))->set_length(0);
        ::sem_post(free_sem);
    }
    queue->release_channel(*this);
}

void Channel::partial_write(const char* data, int64_t length) {
    if (length == 0) return;
    if (length < 0) throw IPCQueueException("MPMCVarQueueCPP:create write: length < 0");
    set_message_length(message_length() + static_cast<uint64_t>(length));

    uint64_t remaining = static_cast<uint64_t>(length);
    while (remaining > 0) {
        if (write_cell == nullptr) write_cell = open_cell_for_write();
        // A taken cell holds 0 bytes, a kept one less than cell_size.
        const uint64_t held = write_cell->length();
        if (held > cell_size)
            throw_damaged_cell("MPMCVarQueueCPP:Channel:partial_write: cell length > cell size; segment is damaged");
        const uint64_t n = remaining < cell_size - held ? remaining : cell_size - held;
        copy_bytes(write_cell->data() + held, data, n);
        write_cell->set_length(held + n);
        data += n;
        remaining -= n;
        if (held + n == cell_size) {
            Cell* full = std::exchange(write_cell, nullptr);
            close_cell_after_write(full);
        }
    }
}

void Channel::write(const char* data, int64_t length) { partial_write(data, length); }

void Channel::partial_write_complete() {
    // The kept cell is shorter than cell_size; without one, an empty cell
    // marks the end.
    if (write_cell == nullptr) write_cell = open_cell_for_write();
    if (!settle_message(kWriterEnded)) {
        clean_up_after_reader();
        throw MessageAbandoned(kAbandonedByReader, queue->name_);
    }
    // Cleared before the hand-over: once the reader has the last cell it
    // may give the channel back, and another thread of this process may
    // take this same Channel for a new message.
    write_open = false;
    close_cell_after_write(std::exchange(write_cell, nullptr));
}

bool Channel::partial_read(std::string& out) {
    const Cell* cell = open_cell_for_read();
    const uint64_t length = cell->length_within(cell_size);
    try {
        out.append(cell->data(), length);
    } catch (...) {
        close_cell_after_read(cell);
        throw;
    }
    close_cell_after_read(cell);
    return length >= cell_size;
}

void Channel::read(std::string& out) {
    while (partial_read(out)) {
    }
}

// -------------------------------------------------------- MPMCVarQueueCPP

MPMCVarQueueCPP::MPMCVarQueueCPP(const std::string& name, int64_t num_channels_arg, int64_t num_cells,
                                 uint64_t cell_size)
    : IPCQueueCPP(name, num_cells, static_cast<int64_t>(cell_size)),
      num_channels(static_cast<uint32_t>(num_channels_arg)) {
    if (name.empty()) throw IPCQueueException("MPMCVarQueueCPP:create constructor: queue name is empty");
    if (num_channels_arg <= 0) throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_channels <= 0", name_);
    if (num_channels_arg > kMaxCount)
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_channels > 2147483647", name_);
    if (num_cells <= 0) throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_cells <= 0", name_);
    if (num_cells > kMaxCount)
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_cells > 2147483647", name_);
    if (cell_size == 0) throw IPCQueueException("MPMCVarQueueCPP:create constructor: cell_size == 0", name_);
    if (cell_size > kMaxCellSize)
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: cell_size > 4294967295", name_);
    const uint64_t ring = ring_bytes(num_cells_, cell_size_);
    if (ring >= kRingLimit)
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: channel ring of 2^32 bytes or more", name_);
    channel_stride = ring + kAreaHeaderSize;
    if (!segment_size_fits(kHeaderSize, num_channels, channel_stride, segment_size_))
        throw IPCQueueException(kCreateTexts.too_large, name_);

    if (!semaphore_names_fit(name_, std::strlen("_filled_channel_") + std::to_string(this->num_channels - 1).size()))
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: queue name too long", name_);
    segment = create_segment(name_, segment_size_, shm_fd_, segment_id_, kCreateTexts);
    try {
        open_queue_semaphores(true);

        MPMCVarHeader* h = header();
        h->queue_type = kMPMCVarQueueType;
        h->num_channels = num_channels;
        h->num_cells = num_cells_;
        h->cell_size = static_cast<uint32_t>(cell_size_);
        // seq_cst, as every store to the list words; nobody is attached yet.
        h->free_word.store(0, std::memory_order_seq_cst);  // free_head 0, count 0
        h->used_tail.store(kListEnd, std::memory_order_seq_cst);
        h->used_head.store(kListEnd, std::memory_order_seq_cst);

        build_channels(Channel::Open::kCreate);
    } catch (...) {
        release_after_failure(true);
        throw;
    }
    // Last: until now a connect finds the queue not initialised.
    publish_segment(segment, segment_size_);
}

MPMCVarQueueCPP::MPMCVarQueueCPP(const std::string& name) : IPCQueueCPP(name) {
    if (name.empty()) throw IPCQueueException("MPMCVarQueue:connect constructor: queue name is empty");
    segment = connect_segment(name_, kMPMCVarQueueType, header_consistent, shm_fd_, segment_size_, segment_id_,
                              kConnectTexts);
    try {
        // One copy, checked again: the geometry used from now on is exactly
        // the one found to fit the mapping, whatever the header says later.
        const Geometry g = read_geometry(segment);
        if (!geometry_fits(g, segment_size_)) throw IPCQueueException(kConnectTexts.damaged, name_);
        num_channels = g.num_channels;
        num_cells_ = g.num_cells;
        cell_size_ = g.cell_size;
        cell_stride_ = cell_size_ + Cell::kHeaderSize;
        channel_stride = ring_bytes(num_cells_, cell_size_) + kAreaHeaderSize;

        open_queue_semaphores(false);
        build_channels(Channel::Open::kConnect);
    } catch (...) {
        release_after_failure(false);
        throw;
    }
}

MPMCVarQueueCPP::~MPMCVarQueueCPP() {
    // A message this object still holds is given up, never ended: its
    // writer did not say it was complete.
    for (Channel& channel : channels) {
        channel.abandon_write();
        channel.abandon_read();
    }
    if (!unlinked_) unlink();
    close_semaphore(free_sem);
    close_semaphore(used_sem);
    close_semaphore(used_mutex);
    channels.clear();  // closes the channel semaphores
    release_segment(segment, segment_size_, shm_fd_);
}

void MPMCVarQueueCPP::open_queue_semaphores(bool create) {
    free_sem_name = name_ + "_free_";
    free_sem = create_or_open(free_sem_name, num_channels, create, kFreeSemTexts);
    used_sem_name = name_ + "_used_";
    used_sem = create_or_open(used_sem_name, 0, create, kUsedSemTexts);
    used_mutex_name = name_ + "_used_mutex_";
    used_mutex = create_or_open(used_mutex_name, 1, create, kUsedMutexTexts);
}

void MPMCVarQueueCPP::build_channels(Channel::Open how) {
    // Exactly once and in place: a Channel owns handles and must not move.
    channels.reserve(num_channels);
    for (uint32_t i = 0; i < num_channels; ++i) {
        Channel& channel = channels.emplace_back(*this, i, how);
        if (how != Channel::Open::kCreate) continue;
        // The free list starts as 0 -> 1 -> ... -> num_channels - 1.
        channel.set_message_length(0);
        channel.set_area_u32(offsetof(ChannelAreaLayout, read_index), 0);
        channel.set_area_u32(offsetof(ChannelAreaLayout, write_index), 0);
        channel.set_next(i + 1 < num_channels ? i + 1 : kListEnd);
        for (uint32_t j = 0; j < num_cells_; ++j) channel.ring_cell(j)->set_length(0);
    }
}

void MPMCVarQueueCPP::release_after_failure(bool created) {
    if (created)
        for (Channel& channel : channels) channel.unlink();
    channels.clear();
    close_semaphore(free_sem, free_sem_name, created);
    close_semaphore(used_sem, used_sem_name, created);
    close_semaphore(used_mutex, used_mutex_name, created);
    if (created)
        undo_create_segment(name_, segment, segment_size_, shm_fd_);
    else
        release_segment(segment, segment_size_, shm_fd_);
}

void MPMCVarQueueCPP::unlink() {
    if (unlinked_) return;
    unlinked_ = true;
    remove_queue_names(name_, segment_id_, shm_fd_, [&] {
        for (const std::string* sem_name : {&free_sem_name, &used_sem_name, &used_mutex_name})
            ::sem_unlink(sem_name->c_str());
        for (Channel& channel : channels) channel.unlink();
    });
}

uint32_t MPMCVarQueueCPP::checked_channel(uint32_t index) const {
    if (index >= num_channels)
        throw IPCQueueException("MPMCVarQueueCPP: channel number out of range; segment is damaged", name_);
    return index;
}

char* MPMCVarQueueCPP::channelShmAt(uint32_t index) const {
    return segment + kHeaderSize + static_cast<uint64_t>(checked_channel(index)) * channel_stride;
}

Channel& MPMCVarQueueCPP::channel_at(uint32_t index) { return channels[checked_channel(index)]; }

Channel& MPMCVarQueueCPP::pop_free_channel() {
    MPMCVarHeader* h = header();
    // acquire: pairs with the pushing swap, so the top's `next` is visible.
    uint64_t word = h->free_word.load(std::memory_order_acquire);
    while (true) {
        // Our wait on free_sem guarantees a channel: an empty stack is damage.
        Channel& top = channel_at(free_top(word));
        const uint32_t next = top.next();
        if (next != kListEnd && next >= num_channels) {
            // A stale read fails the swap anyway; an unchanged word means the
            // link itself is bad.
            const uint64_t again = h->free_word.load(std::memory_order_acquire);
            if (again == word) checked_channel(next);  // throws
            word = again;
            continue;
        }
        // seq_cst on success, as every store to the list words; acquire on
        // failure, for the new top's `next`.
        if (h->free_word.compare_exchange_weak(word, free_word_after(word, next), std::memory_order_seq_cst,
                                               std::memory_order_acquire))
            return top;
    }
}

void MPMCVarQueueCPP::push_free_channel(Channel& channel) {
    MPMCVarHeader* h = header();
    // relaxed: the swap below validates the value.
    uint64_t word = h->free_word.load(std::memory_order_relaxed);
    while (true) {
        const uint32_t top = free_top(word);
        if (top != kListEnd) checked_channel(top);
        channel.set_next(top);
        // seq_cst (at least release): a popper must see `next`, the emptied
        // ring and message_length 0 before it can take the channel.
        if (h->free_word.compare_exchange_weak(word, free_word_after(word, channel.index), std::memory_order_seq_cst,
                                               std::memory_order_relaxed))
            return;
    }
}

Channel& MPMCVarQueueCPP::open_channel_for_write() {
    if (const int err = wait_semaphore(free_sem, 0); err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_write: free semaphore decrement failed", free_sem_name,
                                err);
    Channel& channel = pop_free_channel();
    channel.begin_write();
    channel.set_next(kInUseMark);
    place_channel_on_used_list(channel);
    channel.write_open = true;
    return channel;
}

void MPMCVarQueueCPP::place_channel_on_used_list(Channel& channel) {
    channel.set_next(kListEnd);
    // Until it is listed no reader can know the channel: a lock wait that
    // fails (a signal) gives it back to the free stack, and then its count.
    if (const int err = wait_lock_or_undo(used_mutex,
                                          [&] {
                                              push_free_channel(channel);
                                              ::sem_post(free_sem);
                                          });
        err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:place_channel_on_used_list: used List mutex decrement failed",
                                used_mutex_name, err);
    MPMCVarHeader* h = header();
    try {
        // relaxed loads: used_mutex orders every access to the used list.
        const uint32_t tail = h->used_tail.load(std::memory_order_relaxed);
        if (tail == kListEnd) {
            h->used_tail.store(channel.index, std::memory_order_seq_cst);
            h->used_head.store(channel.index, std::memory_order_seq_cst);
        } else {
            Channel& last = channel_at(tail);
            h->used_tail.store(channel.index, std::memory_order_seq_cst);
            last.set_next(channel.index);
        }
    } catch (...) {
        ::sem_post(used_mutex);  // a damaged list must not also lock everybody out
        throw;
    }
    if (::sem_post(used_mutex) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:place_channel_on_used_list: used list mutex increment failed",
                                used_mutex_name, errno);
    if (::sem_post(used_sem) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:place_channel_on_used_list: used semaphore increment failed", name_,
                                errno);
}

void MPMCVarQueueCPP::close_channel_after_write(Channel& channel) { channel.partial_write_complete(); }

Channel& MPMCVarQueueCPP::open_channel_for_read() { return *open_channel_for_read(0); }

Channel* MPMCVarQueueCPP::open_channel_for_read(uint32_t timeout_ms) {
    const int err = wait_semaphore(used_sem, timeout_ms);
    if (err == ETIMEDOUT) return nullptr;
    if (err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_read: used semaphore decrement failed", used_sem_name,
                                err);
    if (const int lock_err = wait_lock_after_count(used_mutex, used_sem); lock_err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_read: used list mutex decrement failed",
                                used_mutex_name, lock_err);
    MPMCVarHeader* h = header();
    Channel* taken = nullptr;
    try {
        // relaxed loads: used_mutex orders every access to the used list.
        Channel& head = channel_at(h->used_head.load(std::memory_order_relaxed));
        const uint32_t next = head.next();
        if (next != kListEnd) checked_channel(next);
        h->used_head.store(next, std::memory_order_seq_cst);
        if (next == kListEnd) h->used_tail.store(kListEnd, std::memory_order_seq_cst);
        taken = &head;
    } catch (...) {
        ::sem_post(used_mutex);
        throw;
    }
    if (::sem_post(used_mutex) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_read: used list mutex increment failed",
                                used_mutex_name, errno);
    taken->set_next(kInUseMark);
    taken->begin_read();
    return taken;
}

void MPMCVarQueueCPP::close_channel_after_read(Channel& channel) {
    channel.read_open = false;
    channel.read_cell = nullptr;
    // Ours to clear now: the writer is done with the channel. The push's
    // swap publishes both words to the next writer.
    __atomic_store_n(channel.message_state(), kMessageOpen, __ATOMIC_RELAXED);
    channel.set_message_length(0);
    push_free_channel(channel);
    if (::sem_post(free_sem) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:close_channel_after_read: free semaphore increment failed", name_,
                                errno);
}

void MPMCVarQueueCPP::release_channel(Channel& channel) noexcept {
    try {
        close_channel_after_read(channel);
    } catch (const IPCQueueException&) {
        // A damaged free list: the channel stays out of use.
    }
}

void MPMCVarQueueCPP::write(const char* data, int64_t length) {
    if (length < 0) throw IPCQueueException("MPMCVarQueueCPP:write: length < 0");
    Channel& channel = open_channel_for_write();
    try {
        channel.partial_write(data, length);
        close_channel_after_write(channel);
    } catch (...) {
        if (!thread_ending()) channel.abandon_write();  // nothing if it was given up already
        throw;
    }
}

int MPMCVarQueueCPP::read(std::string& out, uint32_t timeout_ms) {
    Channel* channel = open_channel_for_read(timeout_ms);
    if (channel == nullptr) return 1;
    out.clear();
    try {
        channel->read(out);
    } catch (...) {
        if (!thread_ending()) channel->abandon_read();  // nothing if it was given up already
        throw;
    }
    close_channel_after_read(*channel);
    return 0;
}

void* MPMCVarQueueCPP::read_begin() {
    auto handle = std::make_unique<ReadHandle>(ReadHandle{nullptr, nullptr});
    handle->channel = &open_channel_for_read();
    return handle.release();
}

bool MPMCVarQueueCPP::read(void* handle, char** data, uint64_t* length) {
    auto* h = static_cast<ReadHandle*>(handle);
    if (h->channel == nullptr) throw MessageAbandoned(kAbandonedByWriter, name_);
    try {
        if (h->cell != nullptr) {
            Cell* done = std::exchange(h->cell, nullptr);
            h->channel->close_cell_after_read(done);
        }
        h->cell = h->channel->open_cell_for_read();
    } catch (...) {
        if (!h->channel->reading()) h->channel = nullptr;  // given back already
        throw;
    }
    *data = h->cell->data();
    *length = h->cell->length_within(cell_size_);
    return *length < cell_size_;
}

void MPMCVarQueueCPP::read_end(void* handle) {
    auto* h = static_cast<ReadHandle*>(handle);
    if (h->channel == nullptr) {  // its message was abandoned and the channel given back
        delete h;
        return;
    }
    Channel& channel = *h->channel;
    try {
        bool ended = false;
        if (h->cell != nullptr) {
            ended = h->cell->length() < cell_size_;
            channel.close_cell_after_read(std::exchange(h->cell, nullptr));
        }
        // A free channel's ring must be empty: drop what the caller left unread.
        while (!ended) {
            const Cell* cell = channel.open_cell_for_read();
            ended = cell->length() < cell_size_;
            channel.close_cell_after_read(cell);
        }
    } catch (...) {
        if (!channel.reading()) delete h;
        throw;
    }
    close_channel_after_read(channel);
    delete h;
}

}  // namespace mox::ipc_queue
