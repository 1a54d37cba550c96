#include "mpmc_queue.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "fault_point.h"
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

MPMCQueueCPP::MPMCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size, const CreateOptions& options)
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
    owners_.attach(name_, segment_id_);
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
    owners_.attach(name_, segment_id_);
    // A process that joins heals what dead ones left, so that their records
    // never fill the table when nobody has had to wait for them.
    repair_dead_holders();
}

MPMCQueueCPP::~MPMCQueueCPP() { close(); }

void MPMCQueueCPP::close() {
    if (closed_) return;
    close_semaphores(sems_.data(), sems_.size());
    if (!unlinked_ && !keeps_names()) unlink();
    owners_.detach();
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
    remove_names_if_ours(name_, segment_id_, shm_fd_, [&] {
        unlink_semaphores(sems_.data(), sems_.size());
        OwnerTable::remove_name(name_, segment_id_);
    });
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

uint32_t MPMCQueueCPP::checked_link(uint32_t link, sem_t* held, const Holder& me) const {
    if (link < num_cells_ || link == kListEnd) return link;
    damaged_while_holding(held, me);
}

void MPMCQueueCPP::damaged_while_holding(sem_t* lock, const Holder& me) const {
    // Let the other processes go on (and meet the damage themselves) rather
    // than wait for ever on a lock whose holder has left.
    me.idle();
    ::sem_post(lock);
    owners_.count_release(me);
    throw IPCQueueException(kIndexOutOfRange, name_);
}

Cell* MPMCQueueCPP::open_cell_for_write() { return open_cell_for_write(Timeout::none()); }

Cell* MPMCQueueCPP::open_cell_for_write(const Timeout& timeout) {
    check_open();
    const Holder me = owners_.holder();
    const Deadline deadline(timeout);
    for (;;) {
        me.set(Step::kWantFreeCount);
        const Timeout left = deadline.left();
        const int err = wait_semaphore(free_sem(), left, cell_size_ <= kPollMaxCellSize,
                                       {me.word(), Holding{Step::kHaveFreeCount}.word(), &stall_});
        if (err == ETIMEDOUT) {
            me.idle();
            return nullptr;
        }
        if (err != 0) {
            me.idle();
            throw IPCQueueException("MPMCQueueCPP open_cell_for_write: Free semaphore decrement failed",
                                    free_sem_name(), err);
        }
        if (Cell* cell = pop_free(me)) return cell;
        // A count a repair posted too many: spent; wait again.
    }
}

Cell* MPMCQueueCPP::pop_free(const Holder& me) {
    me.set(Step::kHaveFreeCount, ListLock::kFree, LockHold::kMay);
    MOX_FAULT_POINT("mpmc.write.free_count");
    const int err = wait_lock_after_count(
        free_mutex(), free_sem(),
        {me.word(), Holding{Step::kHaveFreeCount, ListLock::kFree, LockHold::kHolds}.word(), &stall_});
    if (err != 0) {
        me.idle();
        throw IPCQueueException("MPMCQueueCPP open_cell_for_write: Free mutex decrement failed", free_mutex_name(),
                                err);
    }
    MPMCHeader* h = header();
    const uint32_t index = h->free_head;
    if (index == kListEnd) {
        if (!owners_.spend_unsure_post(CountId::kFree)) damaged_while_holding(free_mutex(), me);
        me.set(Step::kWantFreeCount, ListLock::kFree, LockHold::kMay);
        unlock(free_mutex(), me, "MPMCQueueCPP open_cell_for_write: Free mutex increment failed");
        return nullptr;
    }
    if (index >= num_cells_) damaged_while_holding(free_mutex(), me);
    me.set(Step::kPopFree, ListLock::kFree, LockHold::kHolds, index);
    MOX_FAULT_POINT("mpmc.write.free_lock");
    Cell* cell = cell_at(index);
    h->free_head = checked_link(cell->next(), free_mutex(), me);
    // Publish the new head before the lock goes, so the next holder in any
    // process sees it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    me.set(Step::kWriteCell, ListLock::kFree, LockHold::kMay, index);
    unlock(free_mutex(), me, "MPMCQueueCPP open_cell_for_write: Free mutex increment failed");
    me.set(Step::kWriteCell, ListLock::kNone, LockHold::kNo, index);
    cell->set_next(kInUseMark);
    MOX_FAULT_POINT("mpmc.write.cell");
    return cell;
}

void MPMCQueueCPP::unlock(sem_t* lock, const Holder& me, const char* text) {
    if (::sem_post(lock) != 0) {
        const int err = errno;
        me.idle();
        throw IPCQueueException(text, lock == free_mutex() ? free_mutex_name() : filled_mutex_name(), err);
    }
    owners_.count_release(me);
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

void MPMCQueueCPP::push_free(uint32_t index, bool after_read, const Holder& me) {
    const FreePushTexts& texts = after_read ? kGiveBackTexts : kDiscardTexts;
    me.set(Step::kPushFree, ListLock::kFree, LockHold::kHolds, index);
    MOX_FAULT_POINT("mpmc.free.lock");
    MPMCHeader* h = header();
    Cell* cell = cell_at(index);
    cell->set_next(checked_link(h->free_head, free_mutex(), me));
    h->free_head = index;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    me.set(Step::kPostFree, ListLock::kFree, LockHold::kMay, index);
    MOX_FAULT_POINT("mpmc.free.unlock");
    unlock(free_mutex(), me, texts.unlock_failed);
    me.set(Step::kPostFree, ListLock::kNone, LockHold::kNo, index);
    MOX_FAULT_POINT("mpmc.free.post");
    // Only now may a writer count on the cell.
    const int posted = ::sem_post(free_sem());
    me.idle();
    if (posted != 0) throw IPCQueueException(texts.post_failed, name_, errno);
}

void MPMCQueueCPP::discard(uint32_t index, const Holder& me) {
    me.set(Step::kWriteCell, ListLock::kFree, LockHold::kMay, index);
    if (const int err = wait_lock_deferring_signals(
            free_mutex(),
            {me.word(), Holding{Step::kPushFree, ListLock::kFree, LockHold::kHolds, index}.word(), &stall_});
        err != 0) {
        me.idle();
        throw IPCQueueException(kDiscardTexts.lock_failed, free_mutex_name(), err);
    }
    push_free(index, false, me);
}

void MPMCQueueCPP::append_filled(uint32_t index) {
    MPMCHeader* h = header();
    const uint32_t tail = h->filled_tail;
    if (tail == kListEnd) {
        h->filled_tail = index;
        h->filled_head = index;
    } else {
        Cell* last = cell_at(tail);
        h->filled_tail = index;
        MOX_FAULT_POINT("mpmc.write.filled_lock");
        last->set_next(index);
    }
}

void MPMCQueueCPP::restore_message(uint32_t index, const Holder& me) {
    // The message goes back where it was taken from: the head of the filled list.
    me.set(Step::kReadCell, ListLock::kFilled, LockHold::kMay, index);
    if (const int err = wait_lock_deferring_signals(
            filled_mutex(),
            {me.word(), Holding{Step::kRestoreFilled, ListLock::kFilled, LockHold::kHolds, index}.word(), &stall_});
        err != 0) {
        me.idle();
        throw IPCQueueException("MPMCQueueCPP close_cell_after_read: Filled mutex decrement failed",
                                filled_mutex_name(), err);
    }
    MPMCHeader* h = header();
    const uint32_t head = checked_link(h->filled_head, filled_mutex(), me);
    cell_at(index)->set_next(head);
    h->filled_head = index;
    if (head == kListEnd) h->filled_tail = index;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    me.set(Step::kPostRestored, ListLock::kFilled, LockHold::kMay, index);
    unlock(filled_mutex(), me, "MPMCQueueCPP close_cell_after_read: Filled mutex increment failed");
    me.set(Step::kPostRestored, ListLock::kNone, LockHold::kNo, index);
    const int posted = ::sem_post(filled_sem());
    me.idle();
    if (posted != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_read: Filled semaphore increment failed", name_, errno);
}

void MPMCQueueCPP::close_cell_after_write(Cell* cell, bool discard_cell) {
    check_open();
    const uint32_t index = index_of(cell);
    const Holder me = owners_.holder_of(Step::kWriteCell, index);
    if (discard_cell) {
        discard(index, me);
        return;
    }
    // Still private: terminate it before it becomes reachable.
    cell->set_next(kListEnd);
    me.set(Step::kWriteCell, ListLock::kFilled, LockHold::kMay, index);
    // A wait a signal handler ends takes the write back: never published.
    if (const int err = wait_lock_to_finish(
            filled_mutex(), [&] { discard(index, me); },
            {me.word(), Holding{Step::kAppendFilled, ListLock::kFilled, LockHold::kHolds, index}.word(), &stall_});
        err != 0) {
        me.idle();
        throw IPCQueueException("MPMCQueueCPP close_cell_after_write: Filled mutex decrement failed",
                                filled_mutex_name(), err);
    }
    if (const uint32_t tail = header()->filled_tail; tail != kListEnd && tail >= num_cells_)
        damaged_while_holding(filled_mutex(), me);
    append_filled(index);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    me.set(Step::kPostFilled, ListLock::kFilled, LockHold::kMay, index);
    unlock(filled_mutex(), me, "MPMCQueueCPP close_cell_after_write: Filled mutex increment failed");
    me.set(Step::kPostFilled, ListLock::kNone, LockHold::kNo, index);
    MOX_FAULT_POINT("mpmc.write.filled_post");
    // Only now may a reader count on the message.
    const int posted = ::sem_post(filled_sem());
    me.idle();
    if (posted != 0)
        throw IPCQueueException("MPMCQueueCPP close_cell_after_write: Filled semaphore increment failed", name_, errno);
}

Cell* MPMCQueueCPP::open_cell_for_read(uint32_t timeout_ms) {
    check_open();
    const Holder me = owners_.holder();
    me.set(Step::kWantFilledCount);
    WaitOptions options;
    options.timeout_ms = timeout_ms;
    options.may_poll = cell_size_ <= kPollMaxCellSize;
    options.record = {me.word(), Holding{Step::kHaveFilledCount}.word(), &stall_};
    const int64_t started_ns = monotonic_now_ns();
    const int err = wait_semaphore(filled_sem(), options);
    if (Cell* cell = after_filled_wait(err, me); cell != nullptr || err != 0) return cell;
    // A count a repair posted too many; the rest of the time, measured on the monotonic clock.
    me.idle();
    if (timeout_ms == 0) return open_cell_for_read(Timeout::none());
    const int64_t left_ns = int64_t{timeout_ms} * 1000000 - (monotonic_now_ns() - started_ns);
    return open_cell_for_read(Timeout::within_ns(left_ns));
}

Cell* MPMCQueueCPP::open_cell_for_read(const Timeout& timeout) {
    check_open();
    const Holder me = owners_.holder();
    const Deadline deadline(timeout);
    for (;;) {
        me.set(Step::kWantFilledCount);
        const int err = wait_semaphore(filled_sem(), deadline.left(), cell_size_ <= kPollMaxCellSize,
                                       {me.word(), Holding{Step::kHaveFilledCount}.word(), &stall_});
        if (Cell* cell = after_filled_wait(err, me); cell != nullptr || err != 0) return cell;
    }
}

Cell* MPMCQueueCPP::after_filled_wait(int err, const Holder& me) {
    if (err == ETIMEDOUT) {
        me.idle();
        return nullptr;
    }
    if (err != 0) {
        me.idle();
        throw IPCQueueException("MPMCQueueCPP open_cell_for_read: Filled semaphore decrement failed", name_, err);
    }
    me.set(Step::kHaveFilledCount, ListLock::kFilled, LockHold::kMay);
    MOX_FAULT_POINT("mpmc.read.filled_count");
    if (const int lock_err = wait_lock_after_count(
            filled_mutex(), filled_sem(),
            {me.word(), Holding{Step::kHaveFilledCount, ListLock::kFilled, LockHold::kHolds}.word(), &stall_});
        lock_err != 0) {
        me.idle();
        throw IPCQueueException("MPMCQueueCPP open_cell_for_read: Filled mutex decrement failed", filled_mutex_name(),
                                lock_err);
    }

    MPMCHeader* h = header();
    const uint32_t index = h->filled_head;
    if (index == kListEnd) {
        // A count a repair posted too many: spent; the caller waits again.
        if (!owners_.spend_unsure_post(CountId::kFilled)) damaged_while_holding(filled_mutex(), me);
        me.set(Step::kWantFilledCount, ListLock::kFilled, LockHold::kMay);
        unlock(filled_mutex(), me, "MPMCQueueCPP open_cell_for_read: Filled mutex increment failed");
        return nullptr;
    }
    if (index >= num_cells_) damaged_while_holding(filled_mutex(), me);
    me.set(Step::kPopFilled, ListLock::kFilled, LockHold::kHolds, index);
    MOX_FAULT_POINT("mpmc.read.filled_lock");
    Cell* cell = cell_at(index);
    const uint32_t next = checked_link(cell->next(), filled_mutex(), me);
    h->filled_head = next;
    if (next == kListEnd) h->filled_tail = kListEnd;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    me.set(Step::kReadCell, ListLock::kFilled, LockHold::kMay, index);
    unlock(filled_mutex(), me, "MPMCQueueCPP open_cell_for_read: Filled mutex increment failed");
    me.set(Step::kReadCell, ListLock::kNone, LockHold::kNo, index);
    cell->set_next(kInUseMark);
    MOX_FAULT_POINT("mpmc.read.cell");

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
    const Holder me = owners_.holder_of(Step::kReadCell, index);
    me.set(Step::kReadCell, ListLock::kFree, LockHold::kMay, index);
    MOX_FAULT_POINT("mpmc.read.give_back");
    // A wait a signal handler ends takes the read back: the message stays.
    if (const int err = wait_lock_to_finish(
            free_mutex(), [&] { restore_message(index, me); },
            {me.word(), Holding{Step::kPushFree, ListLock::kFree, LockHold::kHolds, index}.word(), &stall_});
        err != 0) {
        me.idle();
        throw IPCQueueException(kGiveBackTexts.lock_failed, free_mutex_name(), err);
    }
    push_free(index, true, me);
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
    SegmentReport r = report_segment(MappedSegment(segment, segment_size_), [this](const std::string& suffix) {
        return read_held_semaphore(name_, suffix, sems_.data(), sems_.size());
    });
    OwnerTable::discount_unsure_posts(name_, r.findings);
    return r;
}

}  // namespace mox::ipc_queue
