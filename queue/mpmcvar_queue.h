// MPMCVarQueueCPP: messages of any length between any number of writers and
// readers, streamed through channels of cells in a shared-memory segment.
//
// Design:
// - A channel is a ring of num_cells cells with a "_free_channel_<n>" and a
//   "_filled_channel_<n>" semaphore. It carries one message at a time from one
//   writer to one reader, who work on it at once: each full cell is handed
//   over as soon as it fills, so a message may be far longer than the ring.
//   The ring is full when its free count is 0 (the writer waits), empty when
//   its filled count is 0 (the reader waits).
// - Framing: every cell of a message is full except the last, which is
//   shorter than cell_size and may be empty. A message of k * cell_size bytes
//   therefore ends with an empty cell.
// - Free list: a lock-free stack of the channels nobody holds. free_head and
//   a modification count share one 64-bit word that changes only by
//   compare-and-swap; the count is bumped on every push and pop, so a pop
//   that read a stale `next` cannot succeed (ABA). "_free_" counts the
//   stack: the queue is full when it is 0 (writers wait). A writer pops only
//   after its wait succeeded and a reader posts only after its push, so a
//   pop never finds the stack empty.
// - Used list: a FIFO of channels taken by a writer and not yet by a reader,
//   changed only while holding "_used_mutex_" (a semaphore used as a lock).
//   A writer appends its channel when it takes it, before writing a byte, so
//   readers get messages in the order their channels were taken, not the
//   order they were finished. "_used_" counts it: the queue is empty when it
//   is 0 (readers wait).
// - Who owns which word: a channel's read_index and the cells it has taken
//   belong to its reader, write_index and its taken cells to its writer; the
//   channel semaphores order the two. message_length and `next` belong to
//   whoever holds the channel, or to the used-list lock while it is listed.
//   A free channel's ring is always empty: it is given back only after its
//   last cell was read.
// - No process ever holds two locks, and nobody holds the lock while blocking
//   on a counting semaphore.
// - Abandoned messages: a writer or reader that gives a message up half-way
//   (interrupted inside it, or destroyed while holding it) says so in the
//   channel's message_state byte, by compare-and-swap from kMessageOpen, so
//   that exactly one outcome wins: the writer ends the message, the writer
//   abandons it, or the reader abandons it. A writer ends a message only by
//   winning that swap before it hands over the last cell. Whoever finds the
//   other side gone empties the ring and gives the channel back; a reader
//   that meets a writer's abandon raises "message abandoned by its writer",
//   a writer that meets a reader's "message abandoned by its reader". A
//   peer that never writes the byte is not told and behaves as before.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ipc_queue.h"

namespace mox::ipc_queue {

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

//   0  u64 message_length   bytes written into the current message so far
//   8  u32 next             list link; kInUseMark while a reader holds it
//  12  u32 read_index      16  u32 write_index
//  20  u8  message_state    kMessageOpen, or how the message ended (below)
//  21  3 bytes reserved
//  24  the ring: cell j at 24 + j * (cell_size + 16)
// Areas lie channel_stride apart with no rounding, so these words can be
// unaligned: the struct only fixes the offsets, access goes through Channel.
struct ChannelAreaLayout {
    uint64_t message_length;
    uint32_t next;
    uint32_t read_index;
    uint32_t write_index;
    uint8_t message_state;
    uint8_t reserved[3];
};
static_assert(offsetof(ChannelAreaLayout, message_length) == 0);
static_assert(offsetof(ChannelAreaLayout, next) == 8);
static_assert(offsetof(ChannelAreaLayout, read_index) == 12);
static_assert(offsetof(ChannelAreaLayout, write_index) == 16);
static_assert(offsetof(ChannelAreaLayout, message_state) == 20);
static_assert(sizeof(ChannelAreaLayout) == 24);

// message_state: one byte, so its compare-and-swap is atomic at any address.
// Zero while a message is under way (and in a free channel).
inline constexpr uint8_t kMessageOpen = 0;
inline constexpr uint8_t kWriterEnded = 1;      // the last cell is handed over, or about to be
inline constexpr uint8_t kWriterAbandoned = 2;  // at most one more (empty) cell follows
inline constexpr uint8_t kReaderAbandoned = 3;  // the reader gave back what it held and left

class MPMCVarQueueCPP;

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
    // Clears the cell's length and gives it back to the writer.
    // Throws IPCQueueException if the post fails.
    void close_cell_after_read(const Cell* cell);

    // Appends `length` bytes to the message being written; full cells are
    // handed over at once, a partly filled one is kept for the next call.
    // Blocks while the ring is full. Throws IPCQueueException for a negative
    // length (before anything changes), a failed wait/post or a damaged
    // cell; throws as open_cell_for_write.
    void partial_write(const char* data, int64_t length);
    // The same as partial_write: appends, does not end the message.
    // Blocks while the ring is full; throws as partial_write.
    void write(const char* data, int64_t length);
    // Ends the message: hands over the kept cell, or an empty one when the
    // message so far ends on a cell boundary. May block for that cell.
    // Throws IPCQueueException if a wait or post fails, MessageAbandoned if
    // the reader gave the message up first.
    void partial_write_complete();

    // Reads the rest of the current message, appending it to `out`.
    // Blocks until the writer has ended it. Throws as open_cell_for_read.
    void read(std::string& out);
    // Takes one cell, appends its payload to `out`; true while more cells of
    // the message follow. Blocks for the cell. Throws as open_cell_for_read.
    bool partial_read(std::string& out);

    // Gives up the message this side holds, if any, without waiting: the
    // other side is told (see the queue's design) and the channel comes
    // back to the free list. Never throws.
    void abandon_write() noexcept;
    void abandon_read() noexcept;
    // Whether this process's writer (reader) side holds a message here.
    bool writing() const { return write_open; }
    bool reading() const { return read_open; }

    // Removes the two semaphore names; the handles stay usable. No throw.
    void unlink();

    const uint32_t num_cells;
    const uint32_t cell_size;
    const uint32_t index;

private:
    friend class MPMCVarQueueCPP;

    // Area words, through memcpy (they may be unaligned), except `next` and
    // message_state.
    uint64_t message_length() const;
    void set_message_length(uint64_t v);
    uint32_t next() const;
    void set_next(uint32_t v);
    uint32_t area_u32(size_t offset) const;
    void set_area_u32(size_t offset, uint32_t v);
    uint8_t* message_state() const;
    // message_state from kMessageOpen to `outcome`; false (another outcome
    // won) leaves it as it was.
    bool settle_message(uint8_t outcome);

    // Cell `j` of the ring; throws IPCQueueException unless j < num_cells.
    Cell* ring_cell(uint32_t j) const;
    Cell* cell_address(uint32_t j) const;
    // Takes the cell at the word at `index_offset` and advances that word;
    // the unchecked one, for cleaning up, starts over at 0 after damage.
    Cell* take_ring_cell(size_t index_offset);
    Cell* take_ring_cell_unchecked(size_t index_offset) noexcept;
    [[noreturn]] void throw_damaged_cell(const char* text) const;

    // A new message in a channel just taken from the free list.
    void begin_write();
    void begin_read();
    // The other side left: empty the ring and give the channel back.
    void clean_up_after_reader() noexcept;
    void clean_up_after_writer() noexcept;

    char* channel_shm;
    MPMCVarQueueCPP* queue;
    std::string filled_sem_name;
    sem_t* filled_sem = nullptr;
    std::string free_sem_name;
    sem_t* free_sem = nullptr;
    // Writer side: the partly filled cell, not yet visible to the reader.
    Cell* write_cell = nullptr;
    bool write_open = false;
    // Reader side: the cell taken and not yet given back.
    const Cell* read_cell = nullptr;
    bool read_open = false;
};

class MPMCVarQueueCPP : public IPCQueueCPP {
public:
    // Creates the segment, the three queue semaphores and every channel with
    // its two; fails if any name exists. Arguments are refused before
    // anything is made: empty name, num_channels or num_cells outside
    // 1..2147483647, cell_size 0 or above 4294967295, a ring of 2^32 bytes
    // or more, a segment too large to map. Throws IPCQueueException.
    MPMCVarQueueCPP(const std::string& name, int64_t num_channels, int64_t num_cells, uint64_t cell_size);
    // Connects to an existing queue. Throws IPCQueueException when it is
    // missing, not yet initialised, of another kind, damaged, or a
    // semaphore cannot be opened.
    explicit MPMCVarQueueCPP(const std::string& name);
    // Abandons the messages this object still holds (written or read half
    // way), without waiting; closes every handle and, unless unlink() ran,
    // removes every name of the queue, its channels' included, while the
    // name still names this queue; then unmaps the segment.
    ~MPMCVarQueueCPP() override;

    // Removes the segment name and all semaphore names, once per object,
    // while the name still names this queue. Attached processes keep
    // working; new connects fail. No throw.
    void unlink() override;
    bool is_mpmcvar_queue() const override { return true; }

    // One whole message, of any length (64-bit). Blocks while no channel is
    // free and while its ring is full. Throws IPCQueueException for a
    // negative length (no channel is taken) or a failed operation (the
    // message is then abandoned), MessageAbandoned if its reader gave it up.
    void write(const char* data, int64_t length) override;
    // Waits up to timeout_ms (0: no limit) for a started message; 1 if none
    // came, with `out` unchanged. Otherwise replaces `out` with the message,
    // read to its end without time limit, and returns 0. Throws
    // IPCQueueException if a wait or post fails or the segment is damaged,
    // MessageAbandoned if its writer gave the message up.
    int read(std::string& out, uint32_t timeout_ms) override;

    // Zero-copy read, one cell at a time: read_begin waits without limit for
    // a message; read(handle, ...) exposes the next cell's payload in place
    // (valid until the next call on the handle) and returns true when it is
    // the message's last cell; read_end gives the channel back, first
    // consuming any cells of the message not yet read (waiting for them).
    // The payload stays valid until the next call on the handle, read_end
    // or the object's destruction. Each throws IPCQueueException if a wait
    // or post fails, MessageAbandoned if the writer gave the message up
    // (read_end then only frees the handle).
    void* read_begin() override;
    bool read(void* handle, char** data, uint64_t* length) override;
    void read_end(void* handle) override;

    // Writer: waits without limit for a free channel, puts it on the used
    // list and returns it; the message's place in the order is fixed here.
    // Throws IPCQueueException if a wait or post fails or a list is damaged.
    Channel& open_channel_for_write();
    // Ends the message being written in `channel` (partial_write_complete).
    // May block for a cell; throws IPCQueueException if a wait or post
    // fails, MessageAbandoned if the reader gave the message up.
    void close_channel_after_write(Channel& channel);
    // Reader: waits without limit for the oldest started message's channel.
    // Throws IPCQueueException if a wait or post fails or a list is damaged.
    Channel& open_channel_for_read();
    // The same, waiting at most timeout_ms (0: no limit); null if no message
    // was started in time, with nothing changed. Throws as above.
    Channel* open_channel_for_read(uint32_t timeout_ms);
    // Reader, after the message's last cell (or the side that cleans up
    // after an abandoned message): the channel goes back on the free list.
    // Throws IPCQueueException if the post fails or the free list is damaged.
    void close_channel_after_read(Channel& channel);
    // Gives a channel back to the free list after its message is done with
    // or cleaned up after: clears its words, pushes it, counts it. No throw.
    void release_channel(Channel& channel) noexcept;
    // Appends a channel just taken from the free list to the used list and
    // announces it to readers. Used by open_channel_for_write. Throws
    // IPCQueueException if a wait or post fails or the list is damaged.
    void place_channel_on_used_list(Channel& channel);

    // Start of channel `index`'s area in this process's mapping.
    // Throws IPCQueueException unless index < num_channels.
    char* channelShmAt(uint32_t index) const;

private:
    friend class Channel;

    struct ReadHandle {
        Channel* channel;
        Cell* cell;
    };

    MPMCVarHeader* header() const { return reinterpret_cast<MPMCVarHeader*>(segment); }
    // The Channel for a channel number read from the segment (checked).
    Channel& channel_at(uint32_t index);
    uint32_t checked_channel(uint32_t index) const;
    Channel& pop_free_channel();
    void push_free_channel(Channel& channel);
    void open_queue_semaphores(bool create);
    void build_channels(Channel::Open how);
    // Closes what a failed constructor opened; a create also removes the
    // names it made.
    void release_after_failure(bool created);

    uint32_t num_channels = 0;
    uint64_t channel_stride = 0;
    std::string free_sem_name;
    sem_t* free_sem = nullptr;
    std::string used_sem_name;
    sem_t* used_sem = nullptr;
    std::string used_mutex_name;
    sem_t* used_mutex = nullptr;
    std::vector<Channel> channels;
    char* segment = nullptr;
};

}  // namespace mox::ipc_queue
