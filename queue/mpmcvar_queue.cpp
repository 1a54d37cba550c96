#include "mpmcvar_queue.h"

#include <cerrno>
#include <memory>
#include <utility>

#include "fault_point.h"
#include "ipc_queue_exception.h"
#include "semaphore_wait.h"

namespace mox::ipc_queue {

namespace {

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

// In the order of queue_semaphores(QueueKind::kMPMCVar).
const SemaphoreTexts kSemaphoreTexts[] = {
    {"MPMCVarQueueCPP:create constructor: free semaphore with same name already exists.",
     "MPMCVarQueueCPP:create constructor: unable to create free semaphore",
     "MPMCVarQueueCPP:connect constructor: unable to create free semaphore"},
    {"MPMCVarQueueCPP:create constructor: used semaphore with same name already exists.",
     "MPMCVarQueueCPP:create constructor: unable to create used semaphore",
     "MPMCVarQueueCPP:connect constructor: unable to create used semaphore"},
    {"MPMCVarQueueCPP:create constructor: used mutex with same name already exists.",
     "MPMCVarQueueCPP:create constructor: unable to create used mutex",
     "MPMCVarQueueCPP:connect constructor: unable to create used mutex"},
};

}  // namespace

MPMCVarQueueCPP::MPMCVarQueueCPP(const std::string& name, int64_t num_channels, int64_t num_cells, uint64_t cell_size)
    : MPMCVarQueueCPP(name, num_channels, num_cells, cell_size, CreateOptions{}) {}

MPMCVarQueueCPP::MPMCVarQueueCPP(const std::string& name, int64_t num_channels_arg, int64_t num_cells,
                                 uint64_t cell_size, const CreateOptions& options)
    : IPCQueueCPP(name, num_cells, static_cast<int64_t>(cell_size)),
      num_channels_(static_cast<uint32_t>(num_channels_arg)) {
    if (name.empty()) throw IPCQueueException("MPMCVarQueueCPP:create constructor: queue name is empty");
    if (num_channels_arg <= 0) throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_channels <= 0", name_);
    if (num_channels_arg > static_cast<int64_t>(kMaxCount))
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_channels > 2147483647", name_);
    if (num_cells <= 0) throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_cells <= 0", name_);
    if (num_cells > static_cast<int64_t>(kMaxCount))
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: num_cells > 2147483647", name_);
    if (cell_size == 0) throw IPCQueueException("MPMCVarQueueCPP:create constructor: cell_size == 0", name_);
    if (cell_size > kMaxVarCellSize)
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: cell_size > 4294967295", name_);
    const Geometry g{QueueKind::kMPMCVar, num_channels_, num_cells_, cell_size_};
    if (uint64_t{num_cells_} * g.cell_stride() >= kRingLimit)
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: channel ring of 2^32 bytes or more", name_);
    if (!g.problem().empty()) throw IPCQueueException(kCreateTexts.too_large, name_);
    if (!semaphore_names_fit(name_, longest_semaphore_suffix(g.kind, num_channels_)))
        throw IPCQueueException("MPMCVarQueueCPP:create constructor: queue name too long", name_);

    segment_size_ = g.segment_size();
    channel_areas_ = g.channels();
    segment = create_segment(name_, segment_size_, shm_fd_, segment_id_, kCreateTexts);
    try {
        create_semaphores(sems_.data(), kSemaphoreTexts, name_, g);

        MPMCVarHeader* h = header();
        h->queue_type = kMPMCVarQueueType;
        h->num_channels = num_channels_;
        h->num_cells = num_cells_;
        h->cell_size = static_cast<uint32_t>(cell_size_);
        // seq_cst, as every store to the list words; nobody is attached yet.
        h->free_word.store(0, std::memory_order_seq_cst);  // free_head 0, count 0
        h->used_tail.store(kListEnd, std::memory_order_seq_cst);
        h->used_head.store(kListEnd, std::memory_order_seq_cst);

        build_channels(Channel::Open::kCreate);
        ChannelArea(channelShmAt(0)).set_queue_flags(options.keep_names ? kKeepNames : 0);
    } catch (...) {
        release_after_failure(true);
        throw;
    }
    // Last: until now a connect finds the queue not initialised.
    publish_segment(segment, segment_size_);
    owners_.attach(name_, segment_id_);
    owners_.claim_now();  // the slot's first claim allocates: not inside an operation
}

MPMCVarQueueCPP::MPMCVarQueueCPP(const std::string& name) : IPCQueueCPP(name) {
    if (name.empty()) throw IPCQueueException("MPMCVarQueue:connect constructor: queue name is empty");
    const ConnectedSegment s = connect_segment(name_, QueueKind::kMPMCVar, shm_fd_, segment_id_, kConnectTexts);
    segment = s.bytes;
    segment_size_ = s.size;
    num_channels_ = s.geometry.num_channels;
    num_cells_ = s.geometry.num_cells;
    cell_size_ = s.geometry.cell_size;
    cell_stride_ = s.geometry.cell_stride();
    channel_areas_ = s.geometry.channels();
    try {
        open_semaphores(sems_.data(), kSemaphoreTexts, name_, QueueKind::kMPMCVar, {kFreeSem, kUsedSem, kUsedMutex});
        build_channels(Channel::Open::kConnect);
    } catch (...) {
        release_after_failure(false);
        throw;
    }
    owners_.attach(name_, segment_id_);
    owners_.claim_now();  // the slot's first claim allocates: not inside an operation
    // A process that joins heals what dead ones left: processes that live
    // shorter than a wait's slice would otherwise never get to.
    repair_dead_holders();
}

MPMCVarQueueCPP::~MPMCVarQueueCPP() { close(); }

void MPMCVarQueueCPP::close() {
    if (closed_) return;
    // A message this object still holds is given up, never ended: its
    // writer did not say it was complete.
    for (Channel& channel : channels) {
        channel.abandon_write();
        channel.abandon_read();
    }
    close_semaphores(sems_.data(), sems_.size());
    if (!unlinked_ && !keeps_names()) unlink();
    channels.clear();  // closes the channel semaphores
    owners_.detach();
    release_segment(segment, segment_size_, shm_fd_);
    closed_ = true;
}

bool MPMCVarQueueCPP::keeps_names() const {
    check_open();
    return (ChannelArea(channelShmAt(0)).queue_flags() & kKeepNames) != 0;
}

void MPMCVarQueueCPP::build_channels(Channel::Open how) {
    // Exactly once and in place: a Channel owns handles and must not move.
    channels.reserve(num_channels_);
    for (uint32_t i = 0; i < num_channels_; ++i) {
        Channel& channel = channels.emplace_back(*this, i, how);
        if (how != Channel::Open::kCreate) continue;
        // The free list starts as 0 -> 1 -> ... -> num_channels - 1.
        channel.initialise_area();
        channel.set_next(i + 1 < num_channels_ ? i + 1 : kListEnd);
    }
}

void MPMCVarQueueCPP::release_after_failure(bool created) {
    if (created)
        for (Channel& channel : channels) channel.unlink();
    channels.clear();
    close_semaphores(sems_.data(), sems_.size(), created);
    if (created)
        undo_create_segment(name_, segment, segment_size_, shm_fd_);
    else
        release_segment(segment, segment_size_, shm_fd_);
}

void MPMCVarQueueCPP::unlink() {
    if (unlinked_ || closed_) return;
    unlinked_ = true;
    remove_names_if_ours(name_, segment_id_, shm_fd_, [&] {
        unlink_semaphores(sems_.data(), sems_.size());
        for (Channel& channel : channels) channel.unlink();
        OwnerTable::remove_name(name_, segment_id_);
    });
}

uint32_t MPMCVarQueueCPP::checked_channel(uint32_t index) const {
    if (index >= num_channels_)
        throw IPCQueueException("MPMCVarQueueCPP: channel number out of range; segment is damaged", name_);
    return index;
}

char* MPMCVarQueueCPP::channelShmAt(uint32_t index) const {
    check_open();
    return segment + channel_areas_.offset(checked_channel(index));
}

Channel& MPMCVarQueueCPP::channel_at(uint32_t index) { return channels[checked_channel(index)]; }

Channel& MPMCVarQueueCPP::open_channel_for_write() { return *open_channel_for_write(Timeout::none()); }

Channel* MPMCVarQueueCPP::open_channel_for_write(const Timeout& timeout) {
    check_open();
    const Holder me = holder();
    const Deadline deadline(timeout);
    Channel* channel = nullptr;
    while (channel == nullptr) {
        me.set(Step::kWantFreeChannel);
        const int err = wait_semaphore(
            free_sem(), deadline.left(), true,
            {me.word(), Holding{Step::kPopChannel, ListLock::kNone, LockHold::kNo, kListEnd}.word(), &stall_});
        if (err == ETIMEDOUT) {
            me.idle();
            return nullptr;
        }
        if (err != 0) {
            me.idle();
            throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_write: free semaphore decrement failed",
                                    sems_[kFreeSem].name, err);
        }
        MOX_FAULT_POINT("mpmcvar.write.free_count");
        channel = pop_free_channel(me);
    }
    channel->begin_write(me);
    channel->set_next(kInUseMark);
    MOX_FAULT_POINT("mpmcvar.write.channel");
    place_channel_on_used_list(*channel);
    return channel;
}

void MPMCVarQueueCPP::place_channel_on_used_list(Channel& channel) {
    channel.set_next(kListEnd);
    const Holder me = channel.writer();
    me.set(Step::kHaveChannel, ListLock::kUsed, LockHold::kMay, channel.index);
    // Until it is listed no reader can know the channel: a lock wait that
    // fails (a signal) gives it back to the free stack, and then its count.
    if (const int err = wait_lock_or_undo(
            used_mutex(),
            [&] {
                me.set(Step::kHaveChannel, ListLock::kNone, LockHold::kNo, channel.index);
                channel.cancel_write();
                push_free_channel(channel);
                me.set(Step::kPostChannelFree, ListLock::kNone, LockHold::kNo, channel.index);
                ::sem_post(free_sem());
                me.idle();
            },
            {me.word(), Holding{Step::kAppendUsed, ListLock::kUsed, LockHold::kHolds, channel.index}.word(), &stall_});
        err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:place_channel_on_used_list: used List mutex decrement failed",
                                sems_[kUsedMutex].name, err);
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
            MOX_FAULT_POINT("mpmcvar.write.used_lock");
            last.set_next(channel.index);
        }
    } catch (...) {
        me.idle();
        ::sem_post(used_mutex());  // a damaged list must not also lock everybody out
        owners_.count_release(me);
        throw;
    }
    me.set(Step::kPostUsed, ListLock::kUsed, LockHold::kMay, channel.index);
    MOX_FAULT_POINT("mpmcvar.write.unlock");
    if (::sem_post(used_mutex()) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:place_channel_on_used_list: used list mutex increment failed",
                                sems_[kUsedMutex].name, errno);
    owners_.count_release(me);
    me.set(Step::kPostUsed, ListLock::kNone, LockHold::kNo, channel.index);
    MOX_FAULT_POINT("mpmcvar.write.used_post");
    const int posted = ::sem_post(used_sem());
    me.set(Step::kWriteMessage, ListLock::kNone, LockHold::kNo, channel.index);
    if (posted != 0)
        throw IPCQueueException("MPMCVarQueueCPP:place_channel_on_used_list: used semaphore increment failed", name_,
                                errno);
}

void MPMCVarQueueCPP::close_channel_after_write(Channel& channel) {
    check_open();
    channel.partial_write_complete();
}

Channel& MPMCVarQueueCPP::open_channel_for_read() { return *open_channel_for_read(0); }

Channel* MPMCVarQueueCPP::open_channel_for_read(uint32_t timeout_ms) {
    check_open();
    const Holder me = holder();
    me.set(Step::kWantUsedCount);
    WaitOptions options;
    options.timeout_ms = timeout_ms;
    options.record = {me.word(), Holding{Step::kHaveUsedCount}.word(), &stall_};
    const int64_t started_ns = monotonic_now_ns();
    const int err = wait_semaphore(used_sem(), options);
    if (Channel* channel = after_used_wait(err, me); channel != nullptr || err != 0) return channel;
    // A count a repair posted too many; the rest of the time, on the monotonic clock.
    if (timeout_ms == 0) return open_channel_for_read(Timeout::none());
    return open_channel_for_read(Timeout::within_ns(int64_t{timeout_ms} * 1000000 - (monotonic_now_ns() - started_ns)));
}

Channel* MPMCVarQueueCPP::open_channel_for_read(const Timeout& timeout) {
    check_open();
    const Holder me = holder();
    const Deadline deadline(timeout);
    for (;;) {
        me.set(Step::kWantUsedCount);
        const int err = wait_semaphore(used_sem(), deadline.left(), true,
                                       {me.word(), Holding{Step::kHaveUsedCount}.word(), &stall_});
        if (Channel* channel = after_used_wait(err, me); channel != nullptr || err != 0) return channel;
    }
}

Channel* MPMCVarQueueCPP::after_used_wait(int err, const Holder& me) {
    if (err == ETIMEDOUT) {
        me.idle();
        return nullptr;
    }
    if (err != 0) {
        me.idle();
        throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_read: used semaphore decrement failed",
                                sems_[kUsedSem].name, err);
    }
    me.set(Step::kHaveUsedCount, ListLock::kUsed, LockHold::kMay);
    MOX_FAULT_POINT("mpmcvar.read.used_count");
    if (const int lock_err = wait_lock_after_count(
            used_mutex(), used_sem(),
            {me.word(), Holding{Step::kHaveUsedCount, ListLock::kUsed, LockHold::kHolds}.word(), &stall_});
        lock_err != 0) {
        me.idle();
        throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_read: used list mutex decrement failed",
                                sems_[kUsedMutex].name, lock_err);
    }
    MPMCVarHeader* h = header();
    Channel* taken = nullptr;
    try {
        // relaxed loads: used_mutex orders every access to the used list.
        const uint32_t head_index = h->used_head.load(std::memory_order_relaxed);
        if (head_index == kListEnd && owners_.spend_unsure_post(CountId::kUsed)) {
            // A count a repair posted too many: spent; the caller waits again.
            me.set(Step::kWantUsedCount, ListLock::kUsed, LockHold::kMay);
            ::sem_post(used_mutex());
            owners_.count_release(me);
            me.idle();
            return nullptr;
        }
        Channel& head = channel_at(head_index);
        me.set(Step::kPopUsed, ListLock::kUsed, LockHold::kHolds, head.index);
        MOX_FAULT_POINT("mpmcvar.read.used_lock");
        const uint32_t next = head.next();
        if (next != kListEnd) checked_channel(next);
        h->used_head.store(next, std::memory_order_seq_cst);
        if (next == kListEnd) h->used_tail.store(kListEnd, std::memory_order_seq_cst);
        taken = &head;
    } catch (...) {
        me.idle();
        ::sem_post(used_mutex());
        owners_.count_release(me);
        throw;
    }
    // Popped: a repair puts it back at the head until the lock is posted.
    me.set(Step::kReadMessage, ListLock::kUsed, LockHold::kMay, taken->index);
    MOX_FAULT_POINT("mpmcvar.read.unlock");
    if (::sem_post(used_mutex()) != 0) {
        me.idle();
        throw IPCQueueException("MPMCVarQueueCPP:open_channel_for_read: used list mutex increment failed",
                                sems_[kUsedMutex].name, errno);
    }
    owners_.count_release(me);
    MOX_FAULT_POINT("mpmcvar.read.popped");
    me.set(Step::kReadMessage, ListLock::kNone, LockHold::kNo, taken->index);
    taken->set_next(kInUseMark);
    taken->begin_read(me);
    return taken;
}

void MPMCVarQueueCPP::close_channel_after_read(Channel& channel) {
    check_open();
    give_back(channel, channel.reader());
}

void MPMCVarQueueCPP::give_back(Channel& channel, const Holder& me) {
    me.set(Step::kReleaseChannel, ListLock::kNone, LockHold::kNo, channel.index);
    channel.end_read();
    try {
        push_free_channel(channel);
    } catch (...) {
        me.idle();
        throw;
    }
    me.set(Step::kPostChannelFree, ListLock::kNone, LockHold::kNo, channel.index);
    MOX_FAULT_POINT("mpmcvar.read.release");
    const int posted = ::sem_post(free_sem());
    me.idle();
    if (posted != 0)
        throw IPCQueueException("MPMCVarQueueCPP:close_channel_after_read: free semaphore increment failed", name_,
                                errno);
}

void MPMCVarQueueCPP::release_channel(Channel& channel, const Holder& me) noexcept {
    try {
        give_back(channel, me);
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

bool MPMCVarQueueCPP::write(const char* data, int64_t length, const Timeout& timeout) {
    if (length < 0) throw IPCQueueException("MPMCVarQueueCPP:write: length < 0");
    const Deadline deadline(timeout);
    Channel* channel = open_channel_for_write(deadline.left());
    if (channel == nullptr) return false;
    try {
        if (channel->partial_write(data, static_cast<uint64_t>(length), deadline.left()) ==
                static_cast<uint64_t>(length) &&
            channel->partial_write_complete(deadline.left()))
            return true;
    } catch (...) {
        if (!thread_ending()) channel->abandon_write();  // nothing if it was given up already
        throw;
    }
    channel->abandon_write();  // the time ran out inside the message: nobody gets it
    return false;
}

int MPMCVarQueueCPP::read(std::string& out, uint32_t timeout_ms) {
    return read_message(out, open_channel_for_read(timeout_ms));
}

int MPMCVarQueueCPP::read(std::string& out, const Timeout& timeout) {
    return read_message(out, open_channel_for_read(timeout));
}

QueueCounts MPMCVarQueueCPP::counts() const {
    check_open();
    return {read_semaphore(sems_[kUsedSem]).value, read_semaphore(sems_[kFreeSem]).value};
}

int MPMCVarQueueCPP::read_message(std::string& out, Channel* channel) {
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
    check_open();
    auto* h = static_cast<ReadHandle*>(handle);
    if (h->channel == nullptr) throw MessageAbandoned("message abandoned by its writer", name_);
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
    if (closed_) {
        delete h;  // its channel was abandoned by close()
        throw_closed();
    }
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

SegmentReport MPMCVarQueueCPP::report() const {
    check_open();
    SegmentReport r = report_segment(MappedSegment(segment, segment_size_), [this](const std::string& suffix) {
        const SemaphoreReading own = read_held_semaphore(name_, suffix, sems_.data(), sems_.size());
        if (own.present()) return own;
        for (const Channel& channel : channels)
            if (const NamedSemaphore* sem = channel.semaphore(name_ + suffix)) return read_semaphore(*sem);
        return own;
    });
    OwnerTable::discount_unsure_posts(name_, r.findings);
    return r;
}

}  // namespace mox::ipc_queue
