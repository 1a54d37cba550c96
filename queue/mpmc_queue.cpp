#include "mpmc_queue.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "fixed_cell_io.h"
#include "ipc_queue_exception.h"
#include "semaphore_wait.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

namespace {

constexpr const char* kIndexOutOfRange = "MPMCQueueCPP: list index out of range; segment is damaged";
constexpr const char* kForeignCell = "MPMCQueueCPP: cell does not belong to this queue";

const SegmentCreateTexts kCreateTexts{
    "MPMCQueueCPP:create constructor: segment size too large",
    "MPMCQueueCPP create constructor: shared memory file with same name already exists.",
    "MPMCQueueCPP create constructor :unable to open shared memory",
    "MPMCQueueCPP create constructor: unable to set size of shared memory; ftruncate failed.",
    "MPMCQueueCPP create constructor: unable to reserve shared memory",
    "MPMCQueueCPP create constructor: unable to memory map shared memory; mmap failed.",
};

const SegmentConnectTexts kConnectTexts{
    "MPMCQueueCPP connect constructor: unable to open shared memory",
    "MPMCQueueCPP connect constructor: unable to memory map shared memory",
    "MPMCQueueCPP:connect constructor: cannot connect to queue type other than MPMCQueue",
    "MPMCQueueCPP:connect constructor: segment not initialised; its creator has not finished",
    "MPMCQueueCPP:connect constructor: segment is damaged",
};

// In the order of queue_semaphores(QueueKind::kMPMC).
const SemaphoreTexts kSemaphoreTexts[] = {
    {"MPMCQueueCPP create constructor: filled semaphore with same name already exists.",
     "MPMCQueueCPP create constructor: unable to create filled semaphore",
     "MPMCQueueCPP connect constructor: unable to create filled semaphore"},
    {"MPMCQueueCPP create constructor: filled mutex with same name already exists.",
     "MPMCQueueCPP create constructor: unable to create filled mutex",
     "MPMCQueueCPP connect constructor: unable to create filled mutex"},
    {"MPMCQueueCPP create constructor: free mutex with same name already exists.",
     "MPMCQueueCPP create constructor: unable to create free mutex",
     "MPMCQueueCPP connect constructor: unable to create free mutex"},
    {"MPMCQueueCPP create constructor: free semaphore with same name already exists.",
     "MPMCQueueCPP create constructor: unable to create free semaphore",
     "MPMCQueueCPP connect constructor: unable to create free semaphore"},
};

const FixedCellTexts kIOTexts{
    "MPMCQueueCPP:write: length < 0",
    "MPMCQueueCPP:write: length > cell size",
    "MPMCQueueCPP:read: buffer_size < 0",
};

using IO = FixedCellIO<MPMCQueueCPP>;

}  // namespace

MPMCQueueCPP::MPMCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size)
    : MPMCQueueCPP(name, num_cells, cell_size, CreateOptions{}) {}

MPMCQueueCPP::MPMCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size,
                           const CreateOptions& options)
    : IPCQueueCPP(name, num_cells, cell_size) {
    if (name.empty()) throw IPCQueueException("MPMCQueue create constructor: queue name is empty");
    if (num_cells < 1) throw IPCQueueException("MPMCQueue create constructor: num_cells <= 0", name_);
    if (num_cells > static_cast<int64_t>(kMaxCount))
        throw IPCQueueException("MPMCQueueCPP:create constructor: num_cells > 2147483647", name_);
    if (cell_size < 1) throw IPCQueueException("MPMCQueue create constructor: cell_size <= 0", name_);
    const Geometry g{QueueKind::kMPMC, 0, num_cells_, cell_size_};
    if (!g.problem().empty()) throw IPCQueueException(kCreateTexts.too_large, name_);
    if (!semaphore_names_fit(name_, longest_semaphore_suffix(g.kind, 0)))
        throw IPCQueueException("MPMCQueueCPP:create constructor: queue name too long", name_);

    segment_size_ = g.segment_size();
    cells_ = g.cells();
    segment = create_segment(name_, segment_size_, shm_fd_, segment_id_, kCreateTexts);
    try {
        create_semaphores(sems_.data(), kSemaphoreTexts, name_, g);
    } catch (...) {
        release_after_failure(true);
        throw;
    }

    // The segment reads as zeros until here; the header is written only now
    // that every semaphore exists, and the size word last of all.
    MPMCHeader* h = header();
    h->queue_type = kMPMCQueueType;
    h->num_cells = num_cells_;
    h->cell_size = cell_size_;
    h->free_head = 0;
    h->flags = options.keep_names ? kKeepNames : 0;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    h->filled_tail = kListEnd;
    h->filled_head = kListEnd;

    // All cells free, in index order with cell 0 on top.
    for (uint32_t i = 0; i + 1 < num_cells_; ++i) cell_at(i)->set_next(i + 1);
    cell_at(num_cells_ - 1)->set_next(kListEnd);
    publish_segment(segment, segment_size_);
}

MPMCQueueCPP::MPMCQueueCPP(const std::string& name) : IPCQueueCPP(name) {
    if (name.empty()) throw IPCQueueException("MPMCQueue connect constructor: queue name is empty");
    const ConnectedSegment s = connect_segment(name_, QueueKind::kMPMC, shm_fd_, segment_id_, kConnectTexts);
    segment = s.bytes;
    segment_size_ = s.size;
    num_cells_ = s.geometry.num_cells;
    cell_size_ = s.geometry.cell_size;
    cell_stride_ = s.geometry.cell_stride();
    cells_ = s.geometry.cells();
    try {
        open_semaphores(sems_.data(), kSemaphoreTexts, name_, QueueKind::kMPMC,
                        {kFreeSem, kFilledSem, kFreeMutex, kFilledMutex});
    } catch (...) {
        release_after_failure(false);
        throw;
    }
}

MPMCQueueCPP::~MPMCQueueCPP() { close(); }

void MPMCQueueCPP::close() {
    if (closed_) return;
    close_semaphores(sems_.data(), sems_.size());
    if (!unlinked_ && !keeps_names()) unlink();
    release_segment(segment, segment_size_, shm_fd_);
    closed_ = true;
}

bool MPMCQueueCPP::keeps_names() const {
    check_open();
    return (header()->flags & kKeepNames) != 0;
}

void MPMCQueueCPP::release_after_failure(bool created) {
    close_semaphores(sems_.data(), sems_.size(), created);
    if (created)
        undo_create_segment(name_, segment, segment_size_, shm_fd_);
    else
        release_segment(segment, segment_size_, shm_fd_);
}

void MPMCQueueCPP::unlink() {
    if (unlinked_ || closed_) return;
    unlinked_ = true;
    remove_names_if_ours(name_, segment_id_, shm_fd_, [&] { unlink_semaphores(sems_.data(), sems_.size()); });
}

Cell* MPMCQueueCPP::cell_at(uint32_t index) const {
    if (!cells_.contains(index)) throw IPCQueueException(kIndexOutOfRange, name_);
    return reinterpret_cast<Cell*>(segment + cells_.offset(index));
}

uint32_t MPMCQueueCPP::index_of(const Cell* cell) const {
    const auto at = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(cell) - reinterpret_cast<uintptr_t>(segment));
    const std::optional<uint32_t> index = cells_.index_at(at);
    if (!index) throw IPCQueueException(kForeignCell, name_);
    return *index;
}

uint32_t MPMCQueueCPP::checked_link(uint32_t link, sem_t* held) const {
    if (link < num_cells_ || link == kListEnd) return link;
    damaged_while_holding(held);
}

void MPMCQueueCPP::damaged_while_holding(sem_t* lock) const {
    // Let the other processes go on (and meet the damage themselves) rather
    // than wait for ever on a lock whose holder has left.
    ::sem_post(lock);
    throw IPCQueueException(kIndexOutOfRange, name_);
}

Cell* MPMCQueueCPP::open_cell_for_write() {
    check_open();
    return after_free_wait(wait_semaphore(free_sem(), 0, cell_size_ <= kPollMaxCellSize));
}

Cell* MPMCQueueCPP::open_cell_for_write(const Timeout& timeout) {
    check_open();
    return after_free_wait(wait_semaphore(free_sem(), timeout, cell_size_ <= kPollMaxCellSize));
}

Cell* MPMCQueueCPP::after_free_wait(int err) {
    if (err == ETIMEDOUT) return nullptr;
    if (err != 0)
        throw IPCQueueException("MPMCQueueCPP open_cell_for_write: Free semaphore decrement failed", free_sem_name(),
                                err);
    if (const int err = wait_lock_after_count(free_mutex(), free_sem()); err != 0)
        throw IPCQueueException("MPMCQueueCPP open_cell_for_write: Free mutex decrement failed", free_mutex_name(), err);

    MPMCHeader* h = header();
    // Our count guarantees a cell: the end mark here is damage, too.
    const uint32_t index = h->free_head;
    if (index >= num_cells_) damaged_while_holding(free_mutex());
    Cell* cell = cell_at(index);
    h->free_head = checked_link(cell->next(), free_mutex());
    // Publish the new head before the lock goes, so the next holder in any
    // process sees it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (::sem_post(free_mutex()) != 0)
        throw IPCQueueException("MPMCQueueCPP open_cell_for_write: Free mutex increment failed", free_mutex_name(),
                                errno);
    cell->set_next(kInUseMark);
    return cell;
}

namespace {

// The messages of one way of pushing a held cell onto the free list.
struct FreePushTexts {
    const char* lock_failed;
    const char* unlock_failed;
    const char* post_failed;
};

const FreePushTexts kDiscardTexts{
    "MPMCQueueCPP close_cell_after_write: Free mutex decrement failed",
    "MPMCQueueCPP close_cell_after_write: Free mutex increment failed",
    "MPMCQueueCPP close_cell_after_write: Free semaphore increment failed",
};

const FreePushTexts kGiveBackTexts{
    "MPMCQueueCPP close_cell_after_read: Free mutex decrement failed",
    "MPMCQueueCPP close_cell_after_read: Free mutex increment failed",
    "MPMCQueueCPP close_cell_after_read: Free semaphore increment failed",
};

}  // namespace

void MPMCQueueCPP::push_free(uint32_t index, bool after_read) {
    const FreePushTexts& texts = after_read ? kGiveBackTexts : kDiscardTexts;
    MPMCHeader* h = header();
    Cell* cell = cell_at(index);
    cell->set_next(checked_link(h->free_head, free_mutex()));
    h->free_head = index;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (::sem_post(free_mutex()) != 0) throw IPCQueueException(texts.unlock_failed, free_mutex_name(), errno);
    // Only now may a writer count on the cell.
    if (::sem_post(free_sem()) != 0) throw IPCQueueException(texts.post_failed, name_, errno);
}

void MPMCQueueCPP::discard(uint32_t index) {
    if (const int err = wait_lock_deferring_signals(free_mutex()); err != 0)
        throw IPCQueueException(kDiscardTexts.lock_failed, free_mutex_name(), err);
    push_free(index, false);
}

void MPMCQueueCPP::append_filled(uint32_t index) {
    MPMCHeader* h = header();
    const uint32_t tail = checked_link(h->filled_tail, filled_mutex());
    if (tail == kListEnd) {
        h->filled_tail = index;
        h->filled_head = index;
    } else {
        Cell* last = cell_at(tail);
        h->filled_tail = index;
        last->set_next(index);
    }
}

void MPMCQueueCPP::restore_message(uint32_t index) {
    // The message goes back where it was taken from: the head of the filled list.
    if (const int err = wait_lock_deferring_signals(filled_mutex()); err != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_read: Filled mutex decrement failed", filled_mutex_name(),
                                err);
    MPMCHeader* h = header();
    const uint32_t head = checked_link(h->filled_head, filled_mutex());
    cell_at(index)->set_next(head);
    h->filled_head = index;
    if (head == kListEnd) h->filled_tail = index;
    if (::sem_post(filled_mutex()) != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_read: Filled mutex increment failed", filled_mutex_name(),
                                errno);
    if (::sem_post(filled_sem()) != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_read: Filled semaphore increment failed", name_, errno);
}

void MPMCQueueCPP::close_cell_after_write(Cell* cell, bool discard_cell) {
    check_open();
    const uint32_t index = index_of(cell);
    if (discard_cell) {
        discard(index);
        return;
    }
    // Still private: terminate it before it becomes reachable.
    cell->set_next(kListEnd);
    // A wait a signal handler ends takes the write back: never published.
    if (const int err = wait_lock_to_finish(filled_mutex(), [&] { discard(index); }); err != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_write: Filled mutex decrement failed",
                                filled_mutex_name(), err);
    append_filled(index);
    if (::sem_post(filled_mutex()) != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_write: Filled mutex increment failed",
                                filled_mutex_name(), errno);
    // Only now may a reader count on the message.
    if (::sem_post(filled_sem()) != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_write: Filled semaphore increment failed", name_,
                                errno);
}

Cell* MPMCQueueCPP::open_cell_for_read(uint32_t timeout_ms) {
    check_open();
    return after_filled_wait(wait_semaphore(filled_sem(), timeout_ms, cell_size_ <= kPollMaxCellSize));
}

Cell* MPMCQueueCPP::open_cell_for_read(const Timeout& timeout) {
    check_open();
    return after_filled_wait(wait_semaphore(filled_sem(), timeout, cell_size_ <= kPollMaxCellSize));
}

Cell* MPMCQueueCPP::after_filled_wait(int err) {
    if (err == ETIMEDOUT) return nullptr;
    if (err != 0)
        throw IPCQueueException("MPMCQueueCPP open_cell_for_read: Filled semaphore decrement failed", name_, err);
    if (const int lock_err = wait_lock_after_count(filled_mutex(), filled_sem()); lock_err != 0)
        throw IPCQueueException("MPMCQueueCPP open_cell_for_read: Filled mutex decrement failed", filled_mutex_name(),
                                lock_err);

    MPMCHeader* h = header();
    const uint32_t index = h->filled_head;
    if (index >= num_cells_) damaged_while_holding(filled_mutex());
    Cell* cell = cell_at(index);
    const uint32_t next = checked_link(cell->next(), filled_mutex());
    h->filled_head = next;
    if (next == kListEnd) h->filled_tail = kListEnd;
    if (::sem_post(filled_mutex()) != 0)
        throw IPCQueueException("MPMCQueueCPP open_cell_for_read: Filled mutex increment failed", filled_mutex_name(),
                                errno);
    cell->set_next(kInUseMark);

    if (cell->length() > cell_size_) {
        // Never hand out a length that reaches past the cell; the message is dropped.
        close_cell_after_read(cell);
        throw IPCQueueException("MPMCQueueCPP:open_cell_for_read: cell length > cell size; segment is damaged", name_);
    }
    return cell;
}

void MPMCQueueCPP::close_cell_after_read(const Cell* cell) {
    check_open();
    const uint32_t index = index_of(cell);
    // A wait a signal handler ends takes the read back: the message stays.
    if (const int err = wait_lock_to_finish(free_mutex(), [&] { restore_message(index); }); err != 0)
        throw IPCQueueException(kGiveBackTexts.lock_failed, free_mutex_name(), err);
    push_free(index, true);
}

void MPMCQueueCPP::write(const char* data, int64_t length) { IO::write(*this, kIOTexts, data, length); }

int MPMCQueueCPP::read(std::string& out, uint32_t timeout_ms) { return IO::read(*this, out, timeout_ms); }

bool MPMCQueueCPP::write(const char* data, int64_t length, const Timeout& timeout) {
    return IO::write(*this, kIOTexts, data, length, timeout);
}

int MPMCQueueCPP::read(std::string& out, const Timeout& timeout) { return IO::read(*this, out, timeout); }

QueueCounts MPMCQueueCPP::counts() const {
    check_open();
    return {read_semaphore(sems_[kFilledSem]).value, read_semaphore(sems_[kFreeSem]).value};
}

int MPMCQueueCPP::read(char* buffer, int64_t buffer_size, int64_t& length_read, uint32_t timeout_ms) {
    return IO::read(*this, kIOTexts, buffer, buffer_size, length_read, timeout_ms);
}

void* MPMCQueueCPP::read_begin() { return open_cell_for_read(0); }

bool MPMCQueueCPP::read(void* handle, char** data, uint64_t* length) {
    check_open();
    return IO::view(*this, handle, data, length);
}

void MPMCQueueCPP::read_end(void* handle) { close_cell_after_read(static_cast<const Cell*>(handle)); }

SegmentReport MPMCQueueCPP::report() const {
    check_open();
    return report_segment(MappedSegment(segment, segment_size_), [this](const std::string& suffix) {
        return read_held_semaphore(name_, suffix, sems_.data(), sems_.size());
    });
}

}  // namespace mox::ipc_queue
