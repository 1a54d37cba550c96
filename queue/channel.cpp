#include "channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

#include "copy_bytes.h"
#include "fault_point.h"
#include "ipc_queue_exception.h"
#include "mpmcvar_queue.h"
#include "semaphore_wait.h"

namespace mox::ipc_queue {

namespace {

// In the order of channel_semaphores(): free, then filled.
const SemaphoreTexts kChannelSemaphoreTexts[] = {
    {"MPMCVarQueueCPP:Channel create constructor: free semaphore for channel with same name already exists.",
     "MPMCVarQueueCPP:Channel create constructor: unable to create free semaphore for channel",
     "MPMCVarQueueCPP:Channel connect constructor: unable to create free semaphore for channel"},
    {"MPMCVarQueueCPP:Channel create constructor: flled semaphore for channel with same name already exists.",
     "MPMCVarQueueCPP:Channel create constructor: unable to create filled semaphore for channel",
     "MPMCVarQueueCPP:Channel connect constructor: unable to create filled semaphore for channel"},
};

bool reader_left(const void* state) {
    return __atomic_load_n(static_cast<const uint8_t*>(state), __ATOMIC_SEQ_CST) == kReaderAbandoned;
}

// Waits that a signal does not end: the channel is held. The watch ends
// them when the other side abandons the message.
WaitOptions inside_message(uint32_t cell_size, const WaitWatch& watch, const WaitRecord& record) {
    WaitOptions options;
    options.may_poll = cell_size <= kPollMaxCellSize;
    options.on_signal = OnSignal::kResume;
    options.watch = &watch;
    options.record = record;
    return options;
}

// How long an unrecorded reader that cleans up after an abandoned message
// waits for the writer's last post, which follows its outcome at once.
constexpr uint32_t kLastPostMs = 1000;

constexpr const char* kAbandonedByWriter = "message abandoned by its writer";
constexpr const char* kAbandonedByReader = "message abandoned by its reader";

}  // namespace

// A pop reads `next` of the top channel while whoever popped it meanwhile
// may be writing it; the value is used only if the free word's swap then
// succeeds, which the counter rules out in that case. Relaxed atomic access
// keeps the race well-defined (the free word's acquire/seq_cst operations do
// the ordering): one 32-bit access where the word is aligned, otherwise one
// per byte, whose torn value is discarded the same way.
uint32_t ChannelArea::next() const {
    const char* p = base_ + offsetof(ChannelAreaLayout, next);
    if (reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0)
        return __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_RELAXED);
    unsigned char b[sizeof(uint32_t)];
    for (size_t i = 0; i < sizeof b; ++i)
        b[i] = __atomic_load_n(reinterpret_cast<const unsigned char*>(p) + i, __ATOMIC_RELAXED);
    uint32_t v;
    std::memcpy(&v, b, sizeof v);
    return v;
}

void ChannelArea::set_next(uint32_t v) {
    char* p = base_ + offsetof(ChannelAreaLayout, next);
    if (reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0) {
        __atomic_store_n(reinterpret_cast<uint32_t*>(p), v, __ATOMIC_RELAXED);
        return;
    }
    unsigned char b[sizeof(uint32_t)];
    std::memcpy(b, &v, sizeof v);
    for (size_t i = 0; i < sizeof b; ++i)
        __atomic_store_n(reinterpret_cast<unsigned char*>(p) + i, b[i], __ATOMIC_RELAXED);
}

Channel::Channel(MPMCVarQueueCPP& owner, uint32_t channel_index, Open how)
    : num_cells(owner.num_cells()),
      cell_size(static_cast<uint32_t>(owner.cell_size())),
      index(channel_index),
      channel_shm(owner.channelShmAt(channel_index)),
      queue(&owner),
      ring_(Geometry{QueueKind::kMPMCVar, 0, num_cells, cell_size}.ring(0)) {
    const std::string number = std::to_string(index);
    const bool create = how == Open::kCreate;
    NamedSemaphore* sems[] = {&free_sem, &filled_sem};  // channel_semaphores() order
    const std::vector<SemaphoreSpec>& specs = channel_semaphores();
    try {
        for (size_t i = 0; i < specs.size(); ++i) {
            const std::string name = owner.name() + specs[i].suffix + number;
            if (create)
                create_semaphore(*sems[i], name, initial_value(specs[i].initial, {QueueKind::kMPMCVar, 0, num_cells}),
                                 kChannelSemaphoreTexts[i]);
            else
                open_semaphore(*sems[i], name, kChannelSemaphoreTexts[i]);
        }
    } catch (...) {
        // No destructor will run: close what was opened, remove what was made.
        for (NamedSemaphore* sem : sems) close_semaphore(*sem, create);
        throw;
    }
}

Channel::Channel(Channel&& other) noexcept
    : num_cells(other.num_cells),
      cell_size(other.cell_size),
      index(other.index),
      channel_shm(other.channel_shm),
      queue(other.queue),
      ring_(other.ring_),
      filled_sem(std::exchange(other.filled_sem, {})),
      free_sem(std::exchange(other.free_sem, {})),
      write_cell(std::exchange(other.write_cell, nullptr)),
      write_open(std::exchange(other.write_open, false)),
      read_cell(std::exchange(other.read_cell, nullptr)),
      read_open(std::exchange(other.read_open, false)) {}

Channel::~Channel() {
    close_semaphore(free_sem);
    close_semaphore(filled_sem);
}

void Channel::unlink() {
    unlink_semaphore(free_sem);
    unlink_semaphore(filled_sem);
}

Cell* Channel::ring_cell(uint32_t j) const {
    if (!ring_.contains(j))
        throw IPCQueueException("MPMCVarQueueCPP:Channel: ring index out of range; segment is damaged", queue->name());
    return reinterpret_cast<Cell*>(channel_shm + ring_.offset(j));
}

Cell* Channel::take_ring_cell(bool reader) {
    ChannelArea a = area();
    const uint32_t j = reader ? a.read_index() : a.write_index();
    Cell* cell = ring_cell(j);
    const uint32_t after = j + 1 == num_cells ? 0 : j + 1;
    reader ? a.set_read_index(after) : a.set_write_index(after);
    return cell;
}

Cell* Channel::take_ring_cell_unchecked(bool reader) noexcept {
    ChannelArea a = area();
    uint32_t j = reader ? a.read_index() : a.write_index();
    if (!ring_.contains(j)) j = 0;  // damage; cleaning up must not throw
    const uint32_t after = j + 1 == num_cells ? 0 : j + 1;
    reader ? a.set_read_index(after) : a.set_write_index(after);
    return reinterpret_cast<Cell*>(channel_shm + ring_.offset(j));
}

void Channel::throw_damaged_cell(const char* text) const { throw IPCQueueException(text, queue->name()); }

bool Channel::settle_message(uint8_t outcome) {
    // seq_cst: a side that then sleeps on its semaphore must not miss the
    // other side's outcome, nor the other side its post.
    uint8_t expected = kMessageOpen;
    return __atomic_compare_exchange_n(area().message_state(), &expected, outcome, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

uint64_t Channel::length_hint() const {
    const char* p = channel_shm + offsetof(ChannelAreaLayout, message_length);
    if (reinterpret_cast<uintptr_t>(p) % alignof(uint64_t) != 0) return 0;
    return __atomic_load_n(reinterpret_cast<const uint64_t*>(p), __ATOMIC_RELAXED);
}

void Channel::initialise_area() {
    ChannelArea a = area();
    a.set_message_length(0);
    a.set_read_index(0);
    a.set_write_index(0);
    *a.message_state() = kMessageOpen;
    for (uint32_t j = 0; j < num_cells; ++j) ring_cell(j)->set_length(0);
}

void Channel::begin_write(const Holder& writer) {
    write_cell = nullptr;
    write_open = true;
    writer_slot = writer.slot();
    area().set_message_length(0);
    // A peer that does not know message_state may have left an outcome here.
    __atomic_store_n(area().message_state(), kMessageOpen, __ATOMIC_RELAXED);
}

void Channel::cancel_write() { write_open = false; }

void Channel::begin_read(const Holder& reader) {
    read_cell = nullptr;
    read_open = true;
    reader_slot = reader.slot();
}

void Channel::end_read() {
    read_open = false;
    read_cell = nullptr;
    reset_for_free();
}

void Channel::reset_for_free() noexcept {
    // Ours to clear now: the writer is done with the channel. The queue's
    // push publishes these words to the next writer.
    ChannelArea a = area();
    __atomic_store_n(a.message_state(), kMessageOpen, __ATOMIC_RELAXED);
    a.set_message_length(0);
    // Both sides are done with the ring: a post a dead side never made (or
    // made twice) is put right here, never met by the next message.
    int free_cells = 0;
    int filled_cells = 0;
    ::sem_getvalue(free_sem.handle, &free_cells);
    ::sem_getvalue(filled_sem.handle, &filled_cells);
    if (free_cells == static_cast<int>(num_cells) && filled_cells == 0 && a.read_index() == a.write_index()) return;
    while (::sem_trywait(filled_sem.handle) == 0) {
    }
    for (; free_cells < static_cast<int>(num_cells); ++free_cells) ::sem_post(free_sem.handle);
    for (; free_cells > static_cast<int>(num_cells) && ::sem_trywait(free_sem.handle) == 0; --free_cells) {
    }
    a.set_read_index(0);
    a.set_write_index(0);
    for (uint32_t j = 0; j < num_cells; ++j) ring_cell(j)->set_length(0);
}

Cell* Channel::open_cell_for_write() { return open_cell_for_write(Timeout::none()); }

Cell* Channel::open_cell_for_write(const Timeout& timeout) {
    const WaitWatch watch{reader_left, area().message_state()};
    const Holder me = writer();
    WaitOptions options = inside_message(
        cell_size, watch,
        {me.word(), Holding{Step::kWriteCellHeld, ListLock::kNone, LockHold::kNo, index}.word(), queue->stall()});
    options.timeout = &timeout;
    int err = 0;
    try {
        err = wait_semaphore(free_sem.handle, options);
    } catch (...) {
        if (!thread_ending()) abandon_write();  // a signal handler raised: the message is given up
        throw;
    }
    if (err == ECANCELED) {
        clean_up_after_reader();
        throw MessageAbandoned(kAbandonedByReader, queue->name());
    }
    if (err == ETIMEDOUT) return nullptr;
    if (err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:open_cell_for_write: free semaphore decrement failed.",
                                free_sem.name, err);
    return take_ring_cell(false);
}

void Channel::close_cell_after_write(Cell*) {
    // Recorded as handed over first: a death between the two loses the
    // cell's post, never makes a second one.
    writer().set(Step::kWriteMessage, ListLock::kNone, LockHold::kNo, index);
    // The cell's bytes and length are stored before the post; the reader's
    // wait orders its loads after it.
    if (::sem_post(filled_sem.handle) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:close_cell_after_write: filled semaphore increment failed",
                                filled_sem.name, errno);
}

Cell* Channel::open_cell_for_read() { return open_cell_for_read(Timeout::none()); }

bool Channel::writer_left(const void* watch) {
    auto* w = static_cast<ReadWatch*>(const_cast<void*>(watch));
    const uint8_t state = __atomic_load_n(w->channel->area().message_state(), __ATOMIC_SEQ_CST);
    if (state == kWriterAbandoned) return true;
    // The first look comes before any sleep: a writer between its outcome
    // and its post (a few instructions) is not taken for gone.
    return state == kWriterEnded && w->looks++ > 0 && w->channel->last_post_lost();
}

bool Channel::last_post_lost() const {
    if (!queue->alone_on(index, reader())) return false;
    // After the look: a post made before its poster's record went is seen.
    int filled_cells = 0;
    return ::sem_getvalue(filled_sem.handle, &filled_cells) == 0 && filled_cells == 0;
}

bool Channel::ring_whole() const {
    int free_cells = 0;
    int filled_cells = 0;
    ::sem_getvalue(free_sem.handle, &free_cells);
    ::sem_getvalue(filled_sem.handle, &filled_cells);
    return free_cells + filled_cells >= static_cast<int>(num_cells);
}

Cell* Channel::open_cell_for_read(const Timeout& timeout) {
    ReadWatch look{this, 0};
    const WaitWatch watch{writer_left, &look};
    const Holder me = reader();
    WaitOptions options = inside_message(
        cell_size, watch,
        {me.word(), Holding{Step::kReadCellHeld, ListLock::kNone, LockHold::kNo, index}.word(), queue->stall()});
    options.timeout = &timeout;
    int err = 0;
    try {
        err = wait_semaphore(filled_sem.handle, options);
    } catch (...) {
        if (!thread_ending()) abandon_read();
        throw;
    }
    if (err == ECANCELED) {
        clean_up_after_writer();
        throw MessageAbandoned(kAbandonedByWriter, queue->name());
    }
    if (err == ETIMEDOUT) return nullptr;
    if (err != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:open_cell_for_read: filled semaphore decrement failed.",
                                filled_sem.name, err);
    Cell* cell = take_ring_cell(true);
    read_cell = cell;
    const uint64_t length = cell->length();
    if (length > cell_size) {
        // Never hand out a length reaching past the cell.
        close_cell_after_read(cell);
        throw_damaged_cell("MPMCVarQueueCPP:Channel:open_cell_for_read: cell length > cell size; segment is damaged");
    }
    // A cell that looks like the end may be an abandoning writer's last one;
    // the writer settled the outcome before it posted the cell.
    if (length < cell_size && __atomic_load_n(area().message_state(), __ATOMIC_ACQUIRE) == kWriterAbandoned) {
        clean_up_after_writer();
        throw MessageAbandoned(kAbandonedByWriter, queue->name());
    }
    return cell;
}

void Channel::close_cell_after_read(const Cell* cell) {
    // A cell a writer takes must read length 0: cleared before the post.
    const_cast<Cell*>(cell)->set_length(0);
    read_cell = nullptr;
    reader().set(Step::kReadMessage, ListLock::kNone, LockHold::kNo, index);
    if (::sem_post(free_sem.handle) != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:close_cell_after_read: free semaphore increment failed.",
                                free_sem.name, errno);
}

void Channel::abandon_write() noexcept {
    if (!write_open) return;
    write_open = false;
    const Holder me = writer();
    // A reader may be asleep on an empty ring: hand it one more cell, empty,
    // after the outcome is settled. The cell is taken first, so that after
    // the swap this side only posts.
    if (write_cell != nullptr) {
        write_cell->set_length(0);
    } else if (::sem_trywait(free_sem.handle) == 0) {
        write_cell = take_ring_cell_unchecked(false);
        write_cell->set_length(0);
        me.set(Step::kWriteCellHeld, ListLock::kNone, LockHold::kNo, index);
    }
    if (!settle_message(kWriterAbandoned)) {
        clean_up_after_reader();  // the reader left first
        return;
    }
    // Once settled the channel is the reader's to give back; a reader waits
    // for this post while the record says it may come (see kLastPost).
    me.set(Step::kLastPost, ListLock::kNone, LockHold::kNo, index);
    MOX_FAULT_POINT("mpmcvar.write.abandoned");
    if (std::exchange(write_cell, nullptr) != nullptr) ::sem_post(filled_sem.handle);
    me.idle();
}

void Channel::abandon_read() noexcept {
    if (!read_open) return;
    read_open = false;
    const Holder me = reader();
    // Give back first: to the writer it is only one more free cell.
    if (const Cell* held = std::exchange(read_cell, nullptr); held != nullptr) {
        const_cast<Cell*>(held)->set_length(0);
        me.set(Step::kReadMessage, ListLock::kNone, LockHold::kNo, index);
        ::sem_post(free_sem.handle);
    }
    if (!settle_message(kReaderAbandoned)) {
        clean_up_after_writer();  // the writer is done with the ring
        return;
    }
    me.idle();
}

// A dead writer's side, finished as abandon_write would have: its record
// says whether it held a cell (the one before write_index), or it was
// ending the message (then it holds the last cell).
Channel::DeadSide Channel::repair_dead_writer(bool holds_cell, bool ending,
                                              const std::function<void()>& settled) noexcept {
    ChannelArea a = area();
    const uint8_t state = __atomic_load_n(a.message_state(), __ATOMIC_SEQ_CST);
    if (state == kWriterEnded) {
        // It won the end and died before handing the last cell over.
        settled();
        if (ending) ::sem_post(filled_sem.handle);
        return DeadSide::kDone;
    }
    // Given up by itself: a post it did not make is the reader's to do without.
    if (state == kWriterAbandoned) return DeadSide::kDone;
    if (state == kMessageOpen) {
        Cell* cell = nullptr;
        const uint32_t w = a.write_index();
        if (holds_cell && ring_.contains(w))
            cell = reinterpret_cast<Cell*>(channel_shm + ring_.offset(w == 0 ? num_cells - 1 : w - 1));
        if (cell != nullptr) cell->set_length(0);
        if (settle_message(kWriterAbandoned)) {
            settled();                                           // as abandon_write: the record goes before the post
            if (cell != nullptr) ::sem_post(filled_sem.handle);  // wakes the reader: an empty last cell
            return DeadSide::kDone;
        }
    }
    return DeadSide::kRelease;  // the reader left first: the ring is quiet
}

// A dead reader's side, finished as abandon_read would have: the cell it
// held (the one before read_index) goes back to the writer first.
Channel::DeadSide Channel::repair_dead_reader(bool holds_cell, const std::function<void()>& given_back) noexcept {
    ChannelArea a = area();
    if (__atomic_load_n(a.message_state(), __ATOMIC_SEQ_CST) == kReaderAbandoned) return DeadSide::kDone;
    if (holds_cell) {
        const uint32_t r = a.read_index();
        if (ring_.contains(r))
            reinterpret_cast<Cell*>(channel_shm + ring_.offset(r == 0 ? num_cells - 1 : r - 1))->set_length(0);
        given_back();
        ::sem_post(free_sem.handle);
    }
    // A live writer meets the outcome in its next wait or at its end.
    if (settle_message(kReaderAbandoned)) return DeadSide::kDone;
    // The writer is done with the ring but for its one last post.
    return ring_whole() ? DeadSide::kRelease : DeadSide::kAwaitWriter;
}

// The reader gave back all it held and left: the handed-over cells are all
// counted on the filled semaphore, and the cell this side may hold is the
// one after them.
void Channel::clean_up_after_reader() noexcept {
    write_open = false;
    while (::sem_trywait(filled_sem.handle) == 0) {
        take_ring_cell_unchecked(true)->set_length(0);
        ::sem_post(free_sem.handle);
    }
    if (write_cell != nullptr) {
        take_ring_cell_unchecked(true)->set_length(0);
        write_cell = nullptr;
        ::sem_post(free_sem.handle);
    }
    queue->release_channel(*this, writer());
}

// The writer settled its outcome and then makes at most one more post, of a
// cell it had already taken: the free count no longer changes but by this
// side, so the cells still to come back are exactly those it lacks.
void Channel::clean_up_after_writer() noexcept {
    read_open = false;
    if (const Cell* held = std::exchange(read_cell, nullptr); held != nullptr) {
        const_cast<Cell*>(held)->set_length(0);
        ::sem_post(free_sem.handle);
    }
    int free_cells = 0;
    ::sem_getvalue(free_sem.handle, &free_cells);
    const bool recorded = reader().slot() != nullptr;
    const Timeout slice = Timeout::within_ns(int64_t{recorded ? kRecheckMs : kLastPostMs} * 1000000);
    WaitOptions options;
    options.timeout = &slice;
    options.on_signal = OnSignal::kDefer;
    options.record.stall = queue->stall();  // a dead writer's post is a repair's to make
    for (int missing = static_cast<int>(num_cells) - free_cells; missing > 0;) {
        int err = wait_semaphore(filled_sem.handle, options);
        // A post that can no longer come (its writer, or the repairer making
        // it, died first): the reset below makes the ring whole.
        if (err == ETIMEDOUT && recorded && queue->alone_on(index, reader()))
            err = ::sem_trywait(filled_sem.handle) == 0 ? 0 : ECANCELED;
        // The writer this very thread (a state word damaged to say it left): it never posts.
        if (err == ETIMEDOUT && recorded && write_open && writer().of_this_thread()) err = ENOTRECOVERABLE;
        if (err == ETIMEDOUT && recorded) continue;
        if (err == ECANCELED) break;
        if (err != 0) {
            // Unrecorded, or a failed wait: the channel is lost, as any a dead process holds.
            reader().idle();
            return;
        }
        take_ring_cell_unchecked(true)->set_length(0);
        ::sem_post(free_sem.handle);
        --missing;
    }
    queue->release_channel(*this, reader());
}

void Channel::partial_write(const char* data, int64_t length) {
    if (length < 0) throw IPCQueueException("MPMCVarQueueCPP:create write: length < 0");
    partial_write(data, static_cast<uint64_t>(length), Timeout::none());
}

uint64_t Channel::partial_write(const char* data, uint64_t length, const Timeout& timeout) {
    if (length == 0) return 0;
    // The whole length first: a reader sizes its result by it.
    area().set_message_length(area().message_length() + length);
    const Deadline deadline(timeout);
    uint64_t done = 0;
    while (done < length) {
        if (write_cell == nullptr && (write_cell = open_cell_for_write(deadline.left())) == nullptr) {
            area().set_message_length(area().message_length() - (length - done));
            return done;
        }
        // A taken cell holds 0 bytes, a kept one less than cell_size.
        const uint64_t held = write_cell->length();
        if (held > cell_size)
            throw_damaged_cell("MPMCVarQueueCPP:Channel:partial_write: cell length > cell size; segment is damaged");
        const uint64_t n = std::min<uint64_t>(length - done, cell_size - held);
        copy_bytes(write_cell->data() + held, data + done, n);
        write_cell->set_length(held + n);
        done += n;
        MOX_FAULT_POINT("mpmcvar.write.cell");
        if (held + n == cell_size) {
            close_cell_after_write(std::exchange(write_cell, nullptr));
            MOX_FAULT_POINT("mpmcvar.write.message");
        }
    }
    return done;
}

void Channel::write(const char* data, int64_t length) { partial_write(data, length); }

void Channel::partial_write_complete() { partial_write_complete(Timeout::none()); }

bool Channel::partial_write_complete(const Timeout& timeout) {
    // The kept cell is shorter than cell_size; without one, an empty cell
    // marks the end.
    if (write_cell == nullptr && (write_cell = open_cell_for_write(timeout)) == nullptr) return false;
    const Holder me = writer();
    me.set(Step::kEndMessage, ListLock::kNone, LockHold::kNo, index);
    if (!settle_message(kWriterEnded)) {
        clean_up_after_reader();
        throw MessageAbandoned(kAbandonedByReader, queue->name());
    }
    // Cleared before the hand-over: once the reader has the last cell it
    // may give the channel back, and another thread of this process may
    // take this same Channel for a new message.
    write_open = false;
    write_cell = nullptr;
    MOX_FAULT_POINT("mpmcvar.write.end");
    // The post wakes the reader, which often runs at once, reads the cell and
    // gives the channel back while this thread has not run on: the record
    // left across the post is one a repair leaves alone (a death there may
    // lose the cell; the reader then finds nobody to post it and gives up
    // the message).
    me.set(Step::kLastPost, ListLock::kNone, LockHold::kNo, index);
    MOX_FAULT_POINT("mpmcvar.write.last_post");
    const int posted = ::sem_post(filled_sem.handle);
    MOX_FAULT_POINT("mpmcvar.write.posted_end");
    me.idle();
    if (posted != 0)
        throw IPCQueueException("MPMCVarQueueCPP:Channel:close_cell_after_write: filled semaphore increment failed",
                                filled_sem.name, errno);
    return true;
}

bool Channel::partial_read(std::string& out) { return partial_read(out, Timeout::none()) == ReadStep::kMore; }

Channel::ReadStep Channel::partial_read(std::string& out, const Timeout& timeout) {
    const Cell* cell = open_cell_for_read(timeout);
    if (cell == nullptr) return ReadStep::kNone;
    const uint64_t length = cell->length_within(cell_size);
    try {
        out.append(cell->data(), length);
    } catch (...) {
        close_cell_after_read(cell);
        throw;
    }
    MOX_FAULT_POINT("mpmcvar.read.message");
    close_cell_after_read(cell);
    return length >= cell_size ? ReadStep::kMore : ReadStep::kLast;
}

void Channel::read(std::string& out) {
    while (partial_read(out)) {
    }
}

}  // namespace mox::ipc_queue
