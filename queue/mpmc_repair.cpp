// MPMCQueueCPP's repair: what a thread that died at each Step left, and how
// a survivor puts it right (see repair.h for the rules all kinds share).
//
//   counts taken, maybe taken or maybe   posted back (the unsure ones are
//     not yet posted                       counted: see OwnerTableHeader)
//   a cell popped for writing, or being  back on the free list, its count
//     written, or being given back         posted (the message, never
//                                          published, is lost)
//   a cell being appended                the append is finished and the
//                                          message published
//   a cell popped for reading            back at the head of the filled list
//                                          (nothing of it was read)
//   a cell being read                    back on the free list (the message
//                                          is lost: it may have been used)
//   a list lock held                     the list is finished as above, then
//                                          the lock released
#include <vector>

#include "mpmc_queue.h"
#include "repair.h"

namespace mox::ipc_queue {

void MPMCQueueCPP::stall_check(const void* self) {
    auto* q = const_cast<MPMCQueueCPP*>(static_cast<const MPMCQueueCPP*>(self));
    if (!q->closed_ && repair_due(q->last_repair_ms_)) q->repair_dead_holders();
}

void MPMCQueueCPP::repair_dead_holders() noexcept {
    try {
        Repair r(owners_, owners_.holder());
        if (r.empty()) return;
        MPMCHeader* h = header();
        const auto valid = [&](uint32_t i) { return i < num_cells_; };
        int free_posts = 0;
        int filled_posts = 0;
        uint32_t free_unsure = 0;
        uint32_t filled_unsure = 0;
        std::vector<uint32_t> to_free;     // cells for the free list
        std::vector<uint32_t> after_free;  // their slots, repaired once they are there

        // The filled list first: only what holds or may hold its lock.
        const bool filled_locked = r.take_over(ListLock::kFilled, filled_mutex());
        for (const DeadHolding& d : r.dead()) {
            const uint32_t i = d.holding.index;
            switch (d.holding.step) {
                case Step::kAppendFilled:
                    if (!filled_locked || !valid(i)) continue;
                    if (h->filled_head == kListEnd) {
                        cell_at(i)->set_next(kListEnd);
                        h->filled_head = i;
                        h->filled_tail = i;
                    } else {
                        // Walk to the end: the dead writer may have stopped between its two stores.
                        uint32_t last = h->filled_head;
                        bool listed = last == i;
                        for (uint32_t n = 0; n < num_cells_ && valid(last) && cell_at(last)->next() != kListEnd;
                             ++n) {
                            last = cell_at(last)->next();
                            listed = listed || last == i;
                        }
                        if (!valid(last)) continue;  // damage: left for the report
                        if (!listed) {
                            cell_at(i)->set_next(kListEnd);
                            cell_at(last)->set_next(i);
                            last = i;
                        }
                        h->filled_tail = last;
                    }
                    ++filled_posts;
                    break;
                case Step::kPopFilled:
                case Step::kRestoreFilled:
                    if (!filled_locked || !valid(i)) continue;
                    if (h->filled_head != i) {
                        cell_at(i)->set_next(h->filled_head);
                        h->filled_head = i;
                    }
                    if (cell_at(i)->next() == kListEnd) h->filled_tail = i;
                    ++filled_posts;
                    break;
                case Step::kHaveFilledCount:
                    ++filled_posts;
                    break;
                case Step::kWantFilledCount:  // taken or not
                case Step::kPostFilled:       // posted or not
                case Step::kPostRestored:
                    ++filled_posts;
                    ++filled_unsure;
                    break;
                case Step::kHaveFreeCount:
                    ++free_posts;
                    break;
                case Step::kWantFreeCount:
                case Step::kPostFree:
                    ++free_posts;
                    ++free_unsure;
                    break;
                case Step::kWriteCell:
                case Step::kReadCell:
                    if (valid(i)) {
                        to_free.push_back(i);
                        after_free.push_back(d.slot);
                    }
                    continue;
                case Step::kPopFree:
                case Step::kPushFree:
                    continue;  // the free list's, below
                default:
                    break;  // kRepair: its lock is taken over above or below, its work redone
            }
            r.repaired(d.slot);
        }
        if (filled_locked) {
            std::atomic_thread_fence(std::memory_order_seq_cst);
            ::sem_post(filled_mutex());
        }

        // The free list: steps inside its lock, and cells coming back.
        bool free_locked = r.take_over(ListLock::kFree, free_mutex());
        if (!free_locked && !to_free.empty()) free_locked = r.lock(ListLock::kFree, free_mutex());
        if (free_locked) {
            const auto push = [&](uint32_t i) {
                if (h->free_head == i) return;
                cell_at(i)->set_next(h->free_head);
                h->free_head = i;
            };
            for (const DeadHolding& d : r.dead()) {
                const uint32_t i = d.holding.index;
                if ((d.holding.step != Step::kPopFree && d.holding.step != Step::kPushFree) || !valid(i)) continue;
                // Popped already (the head moved on) or not yet pushed: the cell goes on top.
                push(i);
                ++free_posts;
                r.repaired(d.slot);
            }
            for (uint32_t i : to_free) {
                push(i);
                ++free_posts;
            }
            for (uint32_t slot : after_free) r.repaired(slot);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            ::sem_post(free_mutex());
        }
        owners_.add_unsure_posts(CountId::kFilled, filled_unsure);
        owners_.add_unsure_posts(CountId::kFree, free_unsure);
        for (int n = 0; n < filled_posts; ++n) ::sem_post(filled_sem());
        for (int n = 0; n < free_posts; ++n) ::sem_post(free_sem());
    } catch (...) {
        // A damaged segment: the report shows it; the waits go on.
    }
}

}  // namespace mox::ipc_queue
