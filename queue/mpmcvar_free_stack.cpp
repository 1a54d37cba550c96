// The free channels: a lock-free stack through the channels' `next` words,
// its top and a modification count in one header word (no ABA).
#include "fault_point.h"
#include "mpmcvar_queue.h"

namespace mox::ipc_queue {

namespace {

uint64_t free_word_after(uint64_t word, uint32_t top) {
    return (((word >> 32) + 1) << 32) | top;  // the count wraps at 2^32
}

}  // namespace

Channel* MPMCVarQueueCPP::pop_free_channel(const Holder& me) {
    MPMCVarHeader* h = header();
    // acquire: pairs with the pushing swap, so the top's `next` is visible.
    uint64_t word = h->free_word.load(std::memory_order_acquire);
    while (true) {
        if (free_top(word) == kListEnd) {
            // A count a repair posted too many: spent. Otherwise the stack
            // lost a channel: damage.
            if (owners_.spend_unsure_post(CountId::kFree)) return nullptr;
            me.idle();
            checked_channel(kListEnd);  // throws
        }
        Channel& top = channel_at(free_top(word));
        const uint32_t next = top.next();
        if (next != kListEnd && next >= num_channels_) {
            // A stale read fails the swap anyway; an unchanged word means the
            // link itself is bad.
            const uint64_t again = h->free_word.load(std::memory_order_acquire);
            if (again == word) {
                me.idle();
                checked_channel(next);  // throws
            }
            word = again;
            continue;
        }
        // Recorded before the swap: a repair then knows which channel the
        // dead thread may have taken.
        me.set(Step::kPopChannel, ListLock::kNone, LockHold::kNo, top.index);
        MOX_FAULT_POINT("mpmcvar.write.free_pop");
        // seq_cst on success, as every store to the list words; acquire on
        // failure, for the new top's `next`.
        if (h->free_word.compare_exchange_weak(word, free_word_after(word, next), std::memory_order_seq_cst,
                                               std::memory_order_acquire)) {
            MOX_FAULT_POINT("mpmcvar.write.free_swapped");
            me.set(Step::kHaveChannel, ListLock::kNone, LockHold::kNo, top.index);
            return &top;
        }
    }
}

bool MPMCVarQueueCPP::on_free_stack(uint32_t index) const {
    const MPMCVarHeader* h = header();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const uint64_t word = h->free_word.load(std::memory_order_seq_cst);
        bool found = false;
        uint32_t at = free_top(word);
        for (uint32_t n = 0; n <= num_channels_ && at < num_channels_; ++n) {
            if (at == index) found = true;
            at = ChannelArea(segment + channel_areas_.offset(at)).next();
        }
        if (h->free_word.load(std::memory_order_seq_cst) == word) return found;
    }
    return true;
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

}  // namespace mox::ipc_queue
