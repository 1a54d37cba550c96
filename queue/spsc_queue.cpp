#include "spsc_queue.h"

#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "fixed_cell_io.h"
#include "ipc_queue_exception.h"
#include "repair.h"
#include "semaphore_wait.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

namespace {

constexpr const char* kPeerGone = "SPSCQueueCPP: the peer process died; nothing more can come or go";

const SegmentCreateTexts kCreateTexts{
    "SPSCQueueCPP:create constructor: segment size too large",
    "SPSCQueueCPP:create constructor: shared memory file with same name already exists.",
    "SPSCQueueCP:create constructor: unable to open shared memory.",
    "SPSCQueueCPP:create constructor: unable to set size of shared memory; ftruncate failed.",
    "SPSCQueueCPP:create constructor: unable to reserve shared memory",
    "SPSCQueueCPP:create constructor: unable to map shared memory; mmap failed.",
};

const SegmentConnectTexts kConnectTexts{
    "SPSCQueueCPP:connect constructor: unable to open shared memory.",
    "SPSCQueueCPP:connect constructor: unable to map shared memory; mmap failed.",
    "SPSCQueueCPP:connect constructor: cannot connect to queue type other than SPSCQueue",
    "SPSCQueueCPP:connect constructor: segment not initialised; its creator has not finished",
    "SPSCQueueCPP:connect constructor: segment is damaged",
};

const SemaphoreTexts kSemaphoreTexts[] = {
    {"SPSCQueueCPP:create constructor: filled semaphore with same name already exists.",
     "SPSCQueueCPP:create constructor: unable to create filled semaphore.",
     "SPSCQueueCPP:connect constructor: unable to create filled semaphore."},
    {"SPSCQueueCPP:create constructor: free semaphore with same name already exists.",
     "SPSCQueueCPP:create constructor: unable to create free semaphore.",
     "SPSCQueueCPP:connect constructor: unable to create free semaphore."},
};

uint64_t this_thread() { return static_cast<uint64_t>(::pthread_self()); }

const FixedCellTexts kIOTexts{
    "SPSCQueueCPP:write: length < 0",
    "SPSCQueueCPP:write: length > cell size",
    "SPSCQueueCPP:read: buffer_size < 0",
};

using IO = FixedCellIO<SPSCQueueCPP>;

}  // namespace

SPSCQueueCPP::SPSCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size, bool creator_first)
    : IPCQueueCPP(name, num_cells, cell_size) {
    if (name.empty()) throw IPCQueueException("SPSCQueueCPP:create constructor: queue name is empty.");
    if (num_cells < 1) throw IPCQueueException("SPSCQueueCPP:create constructor: num_cells <= 0", name_);
    if (num_cells > static_cast<int64_t>(kMaxCount))
        throw IPCQueueException("SPSCQueueCPP:create constructor: num_cells > 2147483647", name_);
    if (cell_size < 1) throw IPCQueueException("SPSCQueueCPP:create constructor:cell_size <= 0", name_);
    const Geometry g{QueueKind::kSPSC, 0, num_cells_, cell_size_};
    if (!g.problem().empty()) throw IPCQueueException(kCreateTexts.too_large, name_);
    if (!semaphore_names_fit(name_, longest_semaphore_suffix(g.kind, 0)))
        throw IPCQueueException("SPSCQueueCPP:create constructor: queue name too long", name_);

    segment_size_ = g.segment_size();
    ring_ = g.cells();
    segment = create_segment(name_, segment_size_, shm_fd_, segment_id_, kCreateTexts);
    try {
        create_semaphores(sems_.data(), kSemaphoreTexts, name_, g);
    } catch (...) {
        release_after_failure(true);
        throw;
    }

    SPSCHeader* h = header();
    h->queue_type = kSPSCQueueType;
    h->num_cells = num_cells_;
    h->cell_size = cell_size_;
    h->first_thread = creator_first ? this_thread() : 0;
    h->second_thread = creator_first ? 0 : this_thread();
    h->write_index = 0;
    h->read_index = 0;
    // Before the queue can be seen: the peer's connect removes every name.
    attach_owners();
    publish_segment(segment, segment_size_);
}

SPSCQueueCPP::SPSCQueueCPP(const std::string& name) : IPCQueueCPP(name) {
    if (name.empty()) throw IPCQueueException("SPSCQueueCPP:connect constructor: specified queue name is empty.");
    const ConnectedSegment s = connect_segment(name_, QueueKind::kSPSC, shm_fd_, segment_id_, kConnectTexts);
    segment = s.bytes;
    segment_size_ = s.size;
    num_cells_ = s.geometry.num_cells;
    cell_size_ = s.geometry.cell_size;
    cell_stride_ = s.geometry.cell_stride();
    ring_ = s.geometry.cells();
    try {
        open_semaphores(sems_.data(), kSemaphoreTexts, name_, QueueKind::kSPSC, {0, 1});
    } catch (...) {
        release_after_failure(false);
        throw;
    }

    SPSCHeader* h = header();
    if (h->first_thread != 0)
        h->second_thread = this_thread();
    else
        h->first_thread = this_thread();

    attach_owners();
    // The pair is complete: nobody else may join.
    unlink();
}

SPSCQueueCPP::~SPSCQueueCPP() { close(); }

void SPSCQueueCPP::close() {
    if (closed_) return;
    owners_.detach();
    close_semaphores(sems_.data(), sems_.size());
    if (!unlinked_) unlink();
    release_segment(segment, segment_size_, shm_fd_);
    closed_ = true;
}

void SPSCQueueCPP::release_after_failure(bool created) {
    close_semaphores(sems_.data(), sems_.size(), created);
    if (created)
        undo_create_segment(name_, segment, segment_size_, shm_fd_);
    else
        release_segment(segment, segment_size_, shm_fd_);
}

void SPSCQueueCPP::unlink() {
    if (unlinked_ || closed_) return;
    unlinked_ = true;
    remove_names_if_ours(name_, segment_id_, shm_fd_, [&] {
        unlink_semaphores(sems_.data(), sems_.size());
        OwnerTable::remove_name(name_, segment_id_);
    });
}

Cell* SPSCQueueCPP::ring_cell(uint32_t index) const {
    if (!ring_.contains(index))
        throw IPCQueueException("SPSCQueueCPP: ring index out of range; segment is damaged", name_);
    return reinterpret_cast<Cell*>(segment + ring_.offset(index));
}

const Cell* SPSCQueueCPP::cellAt(uint32_t index) const {
    check_open();
    return ring_cell(index);
}

void SPSCQueueCPP::attach_owners() {
    owners_.attach(name_, segment_id_);
    owners_.claim_now();
}

bool SPSCQueueCPP::peer_gone(const void* self) {
    auto* q = const_cast<SPSCQueueCPP*>(static_cast<const SPSCQueueCPP*>(self));
    // At most one look at /proc per interval: the watch runs at every wait.
    return repair_due(q->last_repair_ms_) && q->owners_.other_processes_gone();
}

int SPSCQueueCPP::wait(NamedSemaphore& sem, uint32_t timeout_ms, const Timeout* timeout) {
    const WaitWatch watch{&SPSCQueueCPP::peer_gone, this};
    WaitOptions options;
    options.timeout_ms = timeout_ms;
    options.timeout = timeout;
    options.may_poll = cell_size_ <= kPollMaxCellSize;
    options.watch = &watch;
    return wait_semaphore(sem.handle, options);
}

Cell* SPSCQueueCPP::open_cell_for_write() {
    check_open();
    return after_free_wait(wait(free_sem(), 0, nullptr));
}

Cell* SPSCQueueCPP::open_cell_for_write(const Timeout& timeout) {
    check_open();
    return after_free_wait(wait(free_sem(), 0, &timeout));
}

Cell* SPSCQueueCPP::after_free_wait(int err) {
    if (err == ETIMEDOUT) return nullptr;
    if (err == ECANCELED) throw IPCQueueException(kPeerGone, name_);
    if (err != 0)
        throw IPCQueueException("SPSCQueueCPP:open_cell_for_write: Free semaphore decrement failed.", name_, err);
    SPSCHeader* h = header();
    const uint32_t index = h->write_index;
    Cell* cell = ring_cell(index);
    h->write_index = index + 1 == num_cells_ ? 0 : index + 1;
    return cell;
}

void SPSCQueueCPP::close_cell_after_write(Cell* cell, bool discard) {
    check_open();
    if (discard && cell != nullptr && cell->length() == 0) {
        // Take the write back: the slot returns to the writer unpublished.
        SPSCHeader* h = header();
        h->write_index = h->write_index == 0 ? num_cells_ - 1 : h->write_index - 1;
        if (::sem_post(free_sem().handle) != 0)
            throw IPCQueueException("SPSCQueueCPP:close_cell_after_write: Free semaphore increment failed.", name_,
                                    errno);
        return;
    }
    if (::sem_post(filled_sem().handle) != 0)
        throw IPCQueueException("SPSCQueueCPP:close_cell_after_write: Filled semaphore increment failed.", name_,
                                errno);
}

Cell* SPSCQueueCPP::open_cell_for_read(uint32_t timeout_ms) {
    check_open();
    return after_filled_wait(wait(filled_sem(), timeout_ms, nullptr));
}

Cell* SPSCQueueCPP::open_cell_for_read(const Timeout& timeout) {
    check_open();
    return after_filled_wait(wait(filled_sem(), 0, &timeout));
}

Cell* SPSCQueueCPP::after_filled_wait(int err) {
    if (err == ETIMEDOUT) return nullptr;
    if (err == ECANCELED) throw IPCQueueException(kPeerGone, name_);
    if (err != 0)
        throw IPCQueueException("SPSCQueueCPP:open_cell_for_read: Filled semaphore decrement failed.", name_, err);
    SPSCHeader* h = header();
    const uint32_t index = h->read_index;
    Cell* cell = ring_cell(index);
    h->read_index = index + 1 == num_cells_ ? 0 : index + 1;
    if (cell->length() > cell_size_) {
        // Never hand out a length that reaches past the cell; the message is dropped.
        close_cell_after_read(cell);
        throw IPCQueueException("SPSCQueueCPP:open_cell_for_read: cell length > cell size; segment is damaged", name_);
    }
    return cell;
}

void SPSCQueueCPP::close_cell_after_read(const Cell*) {
    check_open();
    if (::sem_post(free_sem().handle) != 0)
        throw IPCQueueException("SPSCQueueCPP:close_cell_after_read: Free semaphore increment failed.", name_, errno);
}

void SPSCQueueCPP::write(const char* data, int64_t length) { IO::write(*this, kIOTexts, data, length); }

int SPSCQueueCPP::read(std::string& out, uint32_t timeout_ms) { return IO::read(*this, out, timeout_ms); }

bool SPSCQueueCPP::write(const char* data, int64_t length, const Timeout& timeout) {
    return IO::write(*this, kIOTexts, data, length, timeout);
}

int SPSCQueueCPP::read(std::string& out, const Timeout& timeout) { return IO::read(*this, out, timeout); }

QueueCounts SPSCQueueCPP::counts() const {
    check_open();
    return {read_semaphore(sems_[0]).value, read_semaphore(sems_[1]).value};
}

int SPSCQueueCPP::read(char* buffer, int64_t buffer_size, int64_t& length_read, uint32_t timeout_ms) {
    return IO::read(*this, kIOTexts, buffer, buffer_size, length_read, timeout_ms);
}

void* SPSCQueueCPP::read_begin() { return open_cell_for_read(0); }

bool SPSCQueueCPP::read(void* handle, char** data, uint64_t* length) {
    check_open();
    return IO::view(*this, handle, data, length);
}

void SPSCQueueCPP::read_end(void* handle) { close_cell_after_read(static_cast<const Cell*>(handle)); }

SegmentReport SPSCQueueCPP::report() const {
    check_open();
    return report_segment(MappedSegment(segment, segment_size_), [this](const std::string& suffix) {
        return read_held_semaphore(name_, suffix, sems_.data(), sems_.size());
    });
}

}  // namespace mox::ipc_queue
