// MPMCVarQueueCPP's repair: what a thread that died at each Step left, and
// how a survivor puts it right (see repair.h for the rules all kinds share).
//
//   counts taken, maybe taken or maybe    posted back (the unsure ones are
//     not yet posted                        counted: see OwnerTableHeader)
//   a channel popped, not yet listed      back on the free stack, counted
//   a channel being appended              the append finished, counted; then
//                                           as a writer that died in it
//   a writer that died in its message     kWriterAbandoned by the abandon
//                                           protocol, an empty last cell
//                                           posted: its reader raises or
//                                           passes over it
//   a channel popped for reading          back at the head of the used list
//                                           (nothing of it was read)
//   a reader that died in its message     its cell given back,
//                                           kReaderAbandoned; when the writer
//                                           is done, the ring is emptied and
//                                           the channel given back
//   a channel being given back            pushed (unless it is on the stack)
//                                           and counted
//   the used list's lock held             the list finished as above, then
//                                           the lock released
#include <vector>

#include "mpmcvar_queue.h"
#include "repair.h"

namespace mox::ipc_queue {

void MPMCVarQueueCPP::stall_check(const void* self) {
    auto* q = const_cast<MPMCVarQueueCPP*>(static_cast<const MPMCVarQueueCPP*>(self));
    if (!q->closed_ && repair_due(q->last_repair_ms_)) q->repair_dead_holders();
}

void MPMCVarQueueCPP::repair_dead_holders() noexcept {
    try {
        Repair r(owners_, owners_.holder());
        if (r.empty()) return;
        MPMCVarHeader* h = header();
        const auto valid = [&](uint32_t i) { return i < num_channels_; };
        int free_posts = 0;
        int used_posts = 0;
        uint32_t free_unsure = 0;
        uint32_t used_unsure = 0;
        enum class Fix { kWriter, kReader, kUnlisted, kRelease };
        struct Pending {
            uint32_t slot;
            uint32_t index;
            Fix fix;
            bool holds_cell;
            bool ending;
        };
        std::vector<Pending> pending;

        // The used list first. A channel popped for reading goes back under
        // the lock even when the dead reader had posted it already.
        bool used_locked = r.take_over(ListLock::kUsed, used_mutex());
        bool restores = false;
        for (const DeadHolding& d : r.dead())
            restores = restores || (d.holding.step == Step::kReadMessage && d.holding.lock == ListLock::kUsed);
        if (!used_locked && restores) used_locked = r.lock(ListLock::kUsed, used_mutex());
        const auto restore = [&](uint32_t i) {
            const uint32_t head = h->used_head.load(std::memory_order_relaxed);
            if (head == i) return;
            channel_at(i).set_next(head);
            h->used_head.store(i, std::memory_order_seq_cst);
            if (head == kListEnd) h->used_tail.store(i, std::memory_order_seq_cst);
        };
        for (const DeadHolding& d : r.dead()) {
            const uint32_t i = d.holding.index;
            switch (d.holding.step) {
                case Step::kAppendUsed: {
                    if (!used_locked || !valid(i)) continue;
                    uint32_t last = h->used_head.load(std::memory_order_relaxed);
                    if (last == kListEnd) {
                        channel_at(i).set_next(kListEnd);
                        h->used_head.store(i, std::memory_order_seq_cst);
                    } else {
                        // Walk to the end: the dead writer may have stopped between its two stores.
                        bool listed = last == i;
                        for (uint32_t n = 0; n < num_channels_ && valid(last) && channel_at(last).next() != kListEnd;
                             ++n) {
                            last = channel_at(last).next();
                            listed = listed || last == i;
                        }
                        if (!valid(last)) continue;  // damage: left for the report
                        if (!listed) {
                            channel_at(i).set_next(kListEnd);
                            channel_at(last).set_next(i);
                        }
                    }
                    h->used_tail.store(i, std::memory_order_seq_cst);
                    ++used_posts;
                    pending.push_back({d.slot, i, Fix::kWriter, false, false});
                    continue;
                }
                case Step::kPopUsed:
                    if (!used_locked || !valid(i)) continue;
                    restore(i);  // popped already, or still the head
                    ++used_posts;
                    break;
                case Step::kReadMessage:
                    if (d.holding.lock == ListLock::kUsed) {  // popped, nothing read yet
                        if (!used_locked || !valid(i)) continue;
                        restore(i);
                        ++used_posts;
                        break;
                    }
                    if (valid(i)) pending.push_back({d.slot, i, Fix::kReader, false, false});
                    continue;
                case Step::kReadCellHeld:
                    if (valid(i)) pending.push_back({d.slot, i, Fix::kReader, true, false});
                    continue;
                case Step::kHaveUsedCount:
                    ++used_posts;
                    break;
                case Step::kWantUsedCount:  // taken or not
                    ++used_posts;
                    ++used_unsure;
                    break;
                case Step::kPostUsed:  // posted or not
                    ++used_posts;
                    ++used_unsure;
                    if (valid(i)) pending.push_back({d.slot, i, Fix::kWriter, false, false});
                    continue;
                case Step::kWriteMessage:
                case Step::kWriteCellHeld:
                case Step::kEndMessage:
                    if (valid(i))
                        pending.push_back({d.slot, i, Fix::kWriter, d.holding.step != Step::kWriteMessage,
                                           d.holding.step == Step::kEndMessage});
                    continue;
                case Step::kWantFreeChannel:
                    ++free_posts;
                    ++free_unsure;
                    break;
                case Step::kPopChannel:
                    // Swapped off or not: when the channel is still on the
                    // stack, certainly not (a few instructions decide).
                    ++free_posts;
                    if (valid(i) && !on_free_stack(i)) ++free_unsure;
                    break;
                case Step::kHaveChannel:
                    if (valid(i)) pending.push_back({d.slot, i, Fix::kUnlisted, false, false});
                    continue;
                case Step::kReleaseChannel:
                    if (valid(i)) pending.push_back({d.slot, i, Fix::kRelease, false, false});
                    continue;
                case Step::kPostChannelFree:
                    ++free_posts;
                    ++free_unsure;
                    break;
                default:
                    break;  // kRepair: its lock is taken over above, its work redone
            }
            r.repaired(d.slot);
        }
        if (used_locked) {
            std::atomic_thread_fence(std::memory_order_seq_cst);
            ::sem_post(used_mutex());
        }
        owners_.add_unsure_posts(CountId::kUsed, used_unsure);
        for (int n = 0; n < used_posts; ++n) ::sem_post(used_sem());

        // The channels: their messages settled, their rings emptied, the
        // channels given back.
        for (const Pending& p : pending) {
            Channel& channel = channel_at(p.index);
            switch (p.fix) {
                case Fix::kWriter:
                    channel.repair_dead_writer(p.holds_cell, p.ending);
                    break;
                case Fix::kReader:
                    channel.repair_dead_reader(p.holds_cell);
                    break;
                case Fix::kUnlisted:
                    release_channel(channel);
                    break;
                case Fix::kRelease:
                    if (on_free_stack(p.index))
                        ++free_posts;  // pushed, not yet counted
                    else
                        release_channel(channel);
                    break;
            }
            r.repaired(p.slot);
        }
        owners_.add_unsure_posts(CountId::kFree, free_unsure);
        for (int n = 0; n < free_posts; ++n) ::sem_post(free_sem());
    } catch (...) {
        // A damaged segment: the report shows it; the waits go on.
    }
}

}  // namespace mox::ipc_queue
