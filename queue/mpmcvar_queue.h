// MPMCVarQueueCPP: messages of any length between any number of writers and
// readers, streamed through channels of cells in a shared-memory segment.
//
// Design:
// - A message travels through one channel (channel.h): a ring of cells that
//   its writer and its reader work on at once.
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
// - A free channel's ring is always empty: it is given back only after its
//   last cell was read (or, for an abandoned message, after the side that
//   cleaned up emptied it).
// - No process ever holds two locks, and nobody holds the lock while blocking
//   on a counting semaphore.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "channel.h"
#include "ipc_queue.h"
#include "owner_table.h"
#include "semaphore_wait.h"
#include "shared_objects.h"

namespace mox::ipc_queue {

struct DeadHolding;

class MPMCVarQueueCPP : public IPCQueueCPP {
public:
    // Creates the segment, the three queue semaphores and every channel with
    // its two; fails if any name exists. Arguments are refused before
    // anything is made: empty name, num_channels or num_cells outside
    // 1..2147483647, cell_size 0 or above 4294967295, a ring of 2^32 bytes
    // or more, a segment too large to map. Throws IPCQueueException.
    MPMCVarQueueCPP(const std::string& name, int64_t num_channels, int64_t num_cells, uint64_t cell_size);
    MPMCVarQueueCPP(const std::string& name, int64_t num_channels, int64_t num_cells, uint64_t cell_size,
                    const CreateOptions& options);
    // Connects to an existing queue. Throws IPCQueueException when it is
    // missing, not yet initialised, of another kind, damaged, or a
    // semaphore cannot be opened.
    explicit MPMCVarQueueCPP(const std::string& name);
    // close().
    ~MPMCVarQueueCPP() override;

    // Abandons the messages this object still holds (written or read half
    // way), without waiting; closes every handle and, unless unlink() ran or
    // the queue keeps its names, removes every name of the queue, its
    // channels' included, while the name still names this queue; then
    // unmaps the segment.
    void close() override;
    bool keeps_names() const override;

    // Removes the segment name and all semaphore names, once per object,
    // while the name still names this queue. Attached processes keep
    // working; new connects fail. No throw.
    void unlink() override;
    bool is_mpmcvar_queue() const override { return true; }
    uint32_t num_channels() const { return num_channels_; }

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
    // write() that gives up when `timeout` runs out, for the whole message:
    // false then; if the time ran out inside the message, the message is
    // abandoned (nobody receives it). read() with a Timeout for a message to
    // be started (one taken is read to its end). Both throw as their plain
    // forms.
    bool write(const char* data, int64_t length, const Timeout& timeout);
    int read(std::string& out, const Timeout& timeout);
    // A snapshot of the two counts: messages started and not yet taken,
    // channels free.
    QueueCounts counts() const;

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

    SegmentReport report() const override;

    // Writer: waits without limit for a free channel, puts it on the used
    // list and returns it; the message's place in the order is fixed here.
    // Throws IPCQueueException if a wait or post fails or a list is damaged.
    Channel& open_channel_for_write();
    // The same, giving up when `timeout` runs out: null then, nothing taken.
    Channel* open_channel_for_write(const Timeout& timeout);
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
    Channel* open_channel_for_read(const Timeout& timeout);
    // Reader, after the message's last cell (or the side that cleans up
    // after an abandoned message): the channel goes back on the free list.
    // Throws IPCQueueException if the post fails or the free list is damaged.
    void close_channel_after_read(Channel& channel);
    // Gives a channel back to the free list after its message is done with
    // or cleaned up after: clears its words, pushes it, counts it, recording
    // in `me` (the slot of the side that gives it back). No throw.
    void release_channel(Channel& channel, const Holder& me) noexcept;
    // Appends a channel just taken from the free list to the used list and
    // announces it to readers. Used by open_channel_for_write. Throws
    // IPCQueueException if a wait or post fails or the list is damaged.
    void place_channel_on_used_list(Channel& channel);

    // Start of channel `index`'s area in this process's mapping.
    // Throws IPCQueueException unless index < num_channels.
    char* channelShmAt(uint32_t index) const;

    // Repairs what threads that died held of this queue (see repair.h and
    // mpmcvar_repair.cpp). Runs from long waits. Never throws.
    void repair_dead_holders() noexcept;
    // Whether no thread but this one records channel `index` (nobody may
    // still post to its ring): looked at under the repair lock; false when
    // another thread repairs or this one is unrecorded.
    bool alone_on(uint32_t index, const Holder& reader);
    // A slot of this thread's in the owner table for a new operation (see
    // OwnerTable::holder), and the stall check its channels' waits run.
    Holder holder() { return owners_.holder(); }
    const StallCheck* stall() const { return &stall_; }

private:
    struct ReadHandle {
        Channel* channel;
        Cell* cell;
    };

    MPMCVarHeader* header() const { return reinterpret_cast<MPMCVarHeader*>(segment); }
    // The Channel for a channel number read from the segment (checked).
    Channel& channel_at(uint32_t index);
    uint32_t checked_channel(uint32_t index) const;
    // After the used count: pops the used list's head; null when the wait
    // failed softly (timeout: err ETIMEDOUT) or the list was empty after a
    // count a repair posted too many (spent: err 0, the caller waits again).
    Channel* after_used_wait(int err, const Holder& me);
    // Pops the free stack after a free count; null when it is empty after a
    // count a repair posted too many (spent).
    Channel* pop_free_channel(const Holder& me);
    // Whether channel `index` is on the free stack: read from a consistent
    // snapshot (the free word unchanged across the walk); true when none
    // could be had, so that a repair never pushes a channel twice.
    bool on_free_stack(uint32_t index) const;
    static void stall_check(const void* self);
    // For a repair, under the used lock: where channel `index` is, other
    // than in slot `skip_slot`'s record or a dead popper's of `dead` (one of
    // those may have it). kUnsure: a live popper may have it, or be about to
    // fail; looked at again by a later repair.
    enum class Whereabouts { kFreeStack, kElsewhere, kNowhere, kUnsure };
    Whereabouts whereabouts(uint32_t index, uint32_t skip_slot, const std::vector<DeadHolding>& dead) const;
    // Under the repair lock: whether a slot other than `skip` records channel
    // `index` in a way that may still lead to a post to its ring.
    bool recorded_elsewhere(uint32_t index, const OwnerSlot* skip) const;
    void finish_used_append(uint32_t index);
    void restore_used_head(uint32_t index);
    // Reads the message of `channel` (null: none, returns 1) into `out`.
    int read_message(std::string& out, Channel* channel);
    void push_free_channel(Channel& channel);
    // close_channel_after_read, recording in `me`.
    void give_back(Channel& channel, const Holder& me);
    void build_channels(Channel::Open how);
    // Closes what a failed constructor opened; a create also removes the
    // names it made.
    void release_after_failure(bool created);

    sem_t* free_sem() const { return sems_[kFreeSem].handle; }
    sem_t* used_sem() const { return sems_[kUsedSem].handle; }
    sem_t* used_mutex() const { return sems_[kUsedMutex].handle; }

    // In the order of queue_semaphores(QueueKind::kMPMCVar).
    enum { kFreeSem, kUsedSem, kUsedMutex };
    uint32_t num_channels_ = 0;
    std::array<NamedSemaphore, 3> sems_;
    RecordArray channel_areas_;
    std::vector<Channel> channels;
    char* segment = nullptr;
    const StallCheck stall_{&MPMCVarQueueCPP::stall_check, this};
};

}  // namespace mox::ipc_queue
