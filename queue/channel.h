// Channel: one ring of cells of an MPMCVar queue, carrying one message at a
// time from one writer to one reader, who work on it at once.
//
// Design:
// - The ring has a "_free_channel_<n>" and a "_filled_channel_<n>"
//   semaphore. Each full cell is handed to the reader as soon as it fills,
//   so a message may be far longer than the ring. The ring is full when its
//   free count is 0 (the writer waits), empty when its filled count is 0
//   (the reader waits).
// - Framing: every cell of a message is full except the last, which is
//   shorter than cell_size and may be empty. A message of k * cell_size
//   bytes therefore ends with an empty cell.
// - Who owns which word: read_index and the cells it has taken belong to
//   the reader, write_index and its taken cells to the writer; the channel
//   semaphores order the two. message_length belongs to the writer; `next`
//   to the queue's lists (see MPMCVarQueueCPP).
// - Abandoned messages: a writer or reader that gives a message up half-way
//   (interrupted inside it, or destroyed while holding it) says so in the
//   area's message_state byte, by compare-and-swap from kMessageOpen, so
//   that exactly one outcome wins: the writer ends the message, the writer
//   abandons it, or the reader abandons it. A writer ends a message only by
//   winning that swap before it hands over the last cell. Whoever finds the
//   other side gone empties the ring and gives the channel back; a reader
//   that meets a writer's abandon raises "message abandoned by its writer",
//   a writer that meets a reader's "message abandoned by its reader". A
//   peer that never writes the byte is not told and behaves as before.
#pragma once

#include <semaphore.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "layout.h"
#include "owner_table.h"
#include "semaphore_wait.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

class MPMCVarQueueCPP;

// The words of one channel area (see ChannelAreaLayout), in place. Areas
// lie channel_stride apart with no rounding, so the words can be unaligned.
class ChannelArea {
public:
    explicit ChannelArea(char* base) : base_(base) {}

    uint64_t message_length() const { return load<uint64_t>(offsetof(ChannelAreaLayout, message_length)); }
    void set_message_length(uint64_t v) { store(offsetof(ChannelAreaLayout, message_length), v); }
    uint32_t read_index() const { return load<uint32_t>(offsetof(ChannelAreaLayout, read_index)); }
    uint32_t write_index() const { return load<uint32_t>(offsetof(ChannelAreaLayout, write_index)); }
    void set_read_index(uint32_t v) { store(offsetof(ChannelAreaLayout, read_index), v); }
    void set_write_index(uint32_t v) { store(offsetof(ChannelAreaLayout, write_index), v); }
    // The list link, read and written as a relaxed atomic (see the .cpp).
    uint32_t next() const;
    void set_next(uint32_t v);
    // One byte: atomic at any address.
    uint8_t* message_state() const {
        return reinterpret_cast<uint8_t*>(base_ + offsetof(ChannelAreaLayout, message_state));
    }
    // Channel 0 only: the queue-wide flags (kKeepNames). One byte, set
    // before the queue is published and never changed.
    uint8_t queue_flags() const { return load<uint8_t>(offsetof(ChannelAreaLayout, queue_flags)); }
    void set_queue_flags(uint8_t v) { store(offsetof(ChannelAreaLayout, queue_flags), v); }
    char* base() const { return base_; }

private:
    template <class T>
    T load(size_t offset) const {
        T v;
        std::memcpy(&v, base_ + offset, sizeof v);
        return v;
    }
    template <class T>
    void store(size_t offset, T v) {
        std::memcpy(base_ + offset, &v, sizeof v);
    }

    char* base_;
};

// One channel of a queue, as seen by this process. Owns its two semaphore
// handles; destroying it closes them (names are the queue's to remove).
// Built only by MPMCVarQueueCPP, in place. The queue hands it to one writer
// and one reader at a time; threads sharing a queue object share its
// Channels, each side only between its open and close of the channel.
class Channel {
public:
    enum class Open { kCreate, kConnect };

    // Creates (exclusively, free then filled) or opens the channel's two
    // semaphores. The area itself is initialised by the queue. A create
    // that fails half-way removes the name it made.
    // Throws IPCQueueException naming the semaphore that failed.
    Channel(MPMCVarQueueCPP& queue, uint32_t index, Open how);
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    Channel& operator=(Channel&&) = delete;
    // Needed by std::vector; the table is reserved so it never runs. The
    // source is left without handles, so its destructor does nothing.
    Channel(Channel&& other) noexcept;
    ~Channel();

    // Writer side. Waits without limit for a free cell of the ring and
    // takes it; a signal does not end the wait. Throws MessageAbandoned if
    // the reader gave the message up (the channel is then free again),
    // IPCQueueException if the wait fails or the ring index is out of range.
    // If a wait hook throws, the message is abandoned and the exception
    // passes on.
    Cell* open_cell_for_write();
    // The same, giving up when `timeout` runs out: null then, nothing taken.
    Cell* open_cell_for_write(const Timeout& timeout);
    // Hands the oldest taken cell to the reader (the argument is not used).
    // Throws IPCQueueException if the post fails.
    void close_cell_after_write(Cell* cell);

    // Reader side. Waits without limit for the next handed-over cell and
    // takes it; a signal does not end the wait. Throws MessageAbandoned if
    // the writer gave the message up (the channel is then free again),
    // IPCQueueException if the wait fails, or if the ring index or the
    // cell's length is out of range (the cell is given back). If a wait
    // hook throws, the message is abandoned and the exception passes on.
    Cell* open_cell_for_read();
    // The same, giving up when `timeout` runs out: null then, nothing taken.
    Cell* open_cell_for_read(const Timeout& timeout);
    // Clears the cell's length and gives it back to the writer.
    // Throws IPCQueueException if the post fails.
    void close_cell_after_read(const Cell* cell);

    // Appends `length` bytes to the message being written; full cells are
    // handed over at once, a partly filled one is kept for the next call.
    // Blocks while the ring is full. Throws IPCQueueException for a negative
    // length (before anything changes), a failed wait/post or a damaged
    // cell; throws as open_cell_for_write.
    void partial_write(const char* data, int64_t length);
    // The same, stopping when a cell cannot be had within `timeout`
    // (Timeout::now(): what fits in the free cells); returns the bytes
    // appended. The message stays this writer's either way.
    uint64_t partial_write(const char* data, uint64_t length, const Timeout& timeout);
    // The same as partial_write: appends, does not end the message.
    // Blocks while the ring is full; throws as partial_write.
    void write(const char* data, int64_t length);
    // Ends the message: hands over the kept cell, or an empty one when the
    // message so far ends on a cell boundary. May block for that cell.
    // Throws IPCQueueException if a wait or post fails, MessageAbandoned if
    // the reader gave the message up first.
    void partial_write_complete();
    // The same, false (nothing changed) when no cell for the end comes
    // within `timeout`.
    bool partial_write_complete(const Timeout& timeout);

    // Reads the rest of the current message, appending it to `out`.
    // Blocks until the writer has ended it. Throws as open_cell_for_read.
    void read(std::string& out);
    // Takes one cell, appends its payload to `out`; true while more cells of
    // the message follow. Blocks for the cell. Throws as open_cell_for_read.
    bool partial_read(std::string& out);
    // The same, giving up when no cell comes within `timeout`.
    enum class ReadStep { kNone, kMore, kLast };
    ReadStep partial_read(std::string& out, const Timeout& timeout);

    // Gives up the message this side holds, if any, without waiting: the
    // other side is told and the channel comes back to the free list. Never
    // throws.
    void abandon_write() noexcept;
    void abandon_read() noexcept;
    // The same for a side whose thread died (see mpmcvar_repair.cpp), from
    // its record: whether it held a cell, and whether it was ending the
    // message; the callback moves the record on before the cell's post.
    // kRelease: the other side left, the channel is the repair's to give
    // back. kAwaitWriter: the writer settled first and its last post is not
    // in; the channel is the repair's once nobody else records it. Never
    // waits or throws; called under the repair lock.
    enum class DeadSide { kDone, kRelease, kAwaitWriter };
    DeadSide repair_dead_writer(bool holds_cell, bool ending, const std::function<void()>& settled) noexcept;
    DeadSide repair_dead_reader(bool holds_cell, const std::function<void()>& given_back) noexcept;
    // Every cell of the ring free or handed over (no post is missing).
    bool ring_whole() const;
    // Whether this process's writer (reader) side holds a message here.
    bool writing() const { return write_open; }
    bool reading() const { return read_open; }

    // The bytes the writer has put into the current message so far: the
    // whole length once a one-piece write has begun, a lower bound while a
    // partial writer may add more. A relaxed read where the word is aligned,
    // else 0; for sizing a buffer, never for framing.
    uint64_t length_hint() const;

    // Removes the two semaphore names; the handles stay usable. No throw.
    void unlink();
    // The channel's semaphore named `name`, if it is one of its two.
    const NamedSemaphore* semaphore(const std::string& name) const {
        return name == free_sem.name ? &free_sem : name == filled_sem.name ? &filled_sem : nullptr;
    }

    // The queue's steps around a message, which it takes while it holds
    // the channel off both lists: a new one (all cells free) at create;
    // a writer starting a message, or giving the channel back unlisted; a
    // reader taking it, and giving it back after its last cell.
    void initialise_area();
    // `writer` (`reader`): the slot the opening thread recorded the channel
    // in; that side's later steps, from any thread, move that record on.
    void begin_write(const Holder& writer);
    void cancel_write();
    void begin_read(const Holder& reader);
    void end_read();
    Holder writer() const { return Holder(writer_slot); }
    Holder reader() const { return Holder(reader_slot); }
    // A channel both sides are done with, made as new for the free stack:
    // its message words cleared, its ring empty and every cell free.
    void reset_for_free() noexcept;
    // The list link the queue's lists run through.
    uint32_t next() const { return area().next(); }
    void set_next(uint32_t v) { area().set_next(v); }

    const uint32_t num_cells;
    const uint32_t cell_size;
    const uint32_t index;

private:
    ChannelArea area() const { return ChannelArea(channel_shm); }
    // message_state from kMessageOpen to `outcome`; false (another outcome
    // won) leaves it as it was.
    bool settle_message(uint8_t outcome);

    // Cell `j` of the ring; throws IPCQueueException unless j < num_cells.
    Cell* ring_cell(uint32_t j) const;
    // Takes the cell at the read or write position and advances it; the
    // unchecked one, for cleaning up, starts over at 0 after damage.
    Cell* take_ring_cell(bool reader);
    Cell* take_ring_cell_unchecked(bool reader) noexcept;
    [[noreturn]] void throw_damaged_cell(const char* text) const;
    // The other side left: empty the ring and give the channel back.
    void clean_up_after_reader() noexcept;
    void clean_up_after_writer() noexcept;
    // A reader's watch: the writer abandoned the message, or ended it and
    // will never make its last post (looked for after a first sleep).
    struct ReadWatch {
        Channel* channel;
        int looks;
    };
    static bool writer_left(const void* watch);
    // No post of the writer's can come: nobody else records the channel
    // and no handed-over cell is waiting.
    bool last_post_lost() const;

    char* channel_shm;
    MPMCVarQueueCPP* queue;
    RecordArray ring_;  // offsets within the area
    NamedSemaphore filled_sem;
    NamedSemaphore free_sem;
    // Writer side: the partly filled cell, not yet visible to the reader.
    Cell* write_cell = nullptr;
    bool write_open = false;
    OwnerSlot* writer_slot = nullptr;
    // Reader side: the cell taken and not yet given back.
    const Cell* read_cell = nullptr;
    bool read_open = false;
    OwnerSlot* reader_slot = nullptr;
};

}  // namespace mox::ipc_queue
