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
#include <algorithm>
#include <vector>

#include "mpmc_queue.h"
#include "repair.h"

namespace mox::ipc_queue {

void MPMCQueueCPP::stall_check(const void* self) {
    auto* q = const_cast<MPMCQueueCPP*>(static_cast<const MPMCQueueCPP*>(self));
    if (!q->closed_ && repair_due(q->last_repair_ms_)) q->repair_dead_holders();
}

// Under the list's lock, the count's value plus the counts live threads
// hold minus the list's length is at most the surplus of posts made in
// doubt (a count being taken or posted right now only lowers it): so many
// are taken back, never more than were made.
void MPMCQueueCPP::take_back_surplus(Repair& r, CountId id, Step holding_count, ListLock lock_id, sem_t* lock,
                                     sem_t* count, const uint32_t& head) {
    if (owners_.unsure_posts(id) == 0 || !r.lock(lock_id, lock)) return;
    int64_t length = 0;
    for (uint32_t i = head; i < num_cells_ && length <= num_cells_; i = cell_at(i)->next()) ++length;
    int value = 0;
    ::sem_getvalue(count, &value);
    // The count is taken before its unsure post is spent: a repairer that
    // dies between leaves one unsure post too many (harmless), never a
    // surplus that nobody may spend.
    for (int64_t surplus = value + int64_t{r.live_at(holding_count)} - length; surplus > 0; --surplus) {
        if (owners_.unsure_posts(id) == 0 || ::sem_trywait(count) != 0) break;
        if (!owners_.spend_unsure_post(id)) {
            ::sem_post(count);
            break;
        }
    }
    r.unlock(lock_id, lock);
}

void MPMCQueueCPP::repair_dead_holders() noexcept {
    try {
        Repair r(owners_, owners_.repair_holder());
        if (r.empty()) return;
        MPMCHeader* h = header();
        const auto valid = [&](uint32_t i) { return i < num_cells_; };

        // The filled list: appends finished, messages taken put back at the head.
        if (r.take_over(ListLock::kFilled, filled_mutex())) {
            for (const DeadHolding& d : r.dead()) {
                const uint32_t i = d.holding.index;
                const Step step = d.holding.step;
                if (!valid(i)) continue;
                if (step == Step::kAppendFilled) {
                    finish_append(i);
                    r.advance(d.slot, {Step::kPostFilled, ListLock::kNone, LockHold::kNo, i});
                } else if (step == Step::kPopFilled || step == Step::kRestoreFilled) {
                    // Popped already (the head moved on) or not yet: it goes back on top.
                    if (h->filled_head != i) {
                        cell_at(i)->set_next(h->filled_head);
                        if (h->filled_head == kListEnd) h->filled_tail = i;
                        h->filled_head = i;
                    }
                    r.advance(d.slot, {Step::kPostRestored, ListLock::kNone, LockHold::kNo, i});
                }
            }
            r.unlock(ListLock::kFilled, filled_mutex());
        }

        // The free list: cells popped, being pushed, or held, each pushed
        // once. Whether a popped or pushed cell is on the list shows only
        // while it is at the head, so the record of the lock's holder (pop
        // or push) goes first, and each record moves on before the next
        // push: a second repairer finds at most one such cell, at the head.
        const auto cell_step = [&](const DeadHolding& d) {
            const Step s = d.holding.step;
            return valid(d.holding.index) &&
                   (s == Step::kPopFree || s == Step::kPushFree || s == Step::kWriteCell || s == Step::kReadCell);
        };
        bool free_locked = r.take_over(ListLock::kFree, free_mutex());
        if (!free_locked && std::any_of(r.dead().begin(), r.dead().end(), cell_step))
            free_locked = r.lock(ListLock::kFree, free_mutex());
        if (free_locked) {
            for (const bool holder : {true, false})
                for (const DeadHolding& d : r.dead()) {
                    const Step s = d.holding.step;
                    if (!cell_step(d) || holder != (s == Step::kPopFree || s == Step::kPushFree) || r.unsettled(d.slot))
                        continue;
                    const uint32_t i = d.holding.index;
                    r.advance(d.slot, {Step::kPushFree, ListLock::kNone, LockHold::kNo, i});
                    if (h->free_head != i) {
                        cell_at(i)->set_next(h->free_head);
                        h->free_head = i;
                    }
                    r.advance(d.slot, {Step::kPostFree, ListLock::kNone, LockHold::kNo, i});
                }
            r.unlock(ListLock::kFree, free_mutex());
        }

        // Counts: each record now waiting only for a post gets it. Whether the
        // dead thread (or a repairer before) had posted or taken it already
        // cannot always be told: every post here counts as unsure, and the
        // surplus is taken back below.
        for (const DeadHolding& d : r.dead()) {
            // A dead repairer has a second entry when it held something before it began.
            if ((d.holding.step == Step::kRepair && r.entries_of(d.slot) > 1) || r.unsettled(d.slot)) continue;
            Holding now = Holding::of(owners_.slot(d.slot).holding.load(std::memory_order_acquire));
            if (now.step == Step::kRepair) now = d.holding;
            sem_t* count = nullptr;
            CountId id = CountId::kFree;
            switch (now.step) {
                case Step::kWantFreeCount:
                case Step::kHaveFreeCount:
                case Step::kPostFree:
                    count = free_sem();
                    break;
                case Step::kWantFilledCount:
                case Step::kHaveFilledCount:
                case Step::kPostFilled:
                case Step::kPostRestored:
                    count = filled_sem();
                    id = CountId::kFilled;
                    break;
                case Step::kIdle:
                case Step::kRepair:
                    break;
                default:
                    continue;  // a list step whose lock could not be had: left for a later repair
            }
            if (count != nullptr) {
                owners_.add_unsure_posts(id, 1);
                ::sem_post(count);
            }
            r.advance(d.slot, Holding{});
            r.repaired(d.slot);
        }
        take_back_surplus(r, CountId::kFree, Step::kHaveFreeCount, ListLock::kFree, free_mutex(), free_sem(),
                          h->free_head);
        take_back_surplus(r, CountId::kFilled, Step::kHaveFilledCount, ListLock::kFilled, filled_mutex(), filled_sem(),
                          h->filled_head);
    } catch (...) {
        // A damaged segment: the report shows it; the waits go on.
    }
}

// Under the filled lock: cell i is at the end of the filled list, once.
void MPMCQueueCPP::finish_append(uint32_t i) {
    MPMCHeader* h = header();
    if (h->filled_head == kListEnd) {
        cell_at(i)->set_next(kListEnd);
        h->filled_head = i;
        h->filled_tail = i;
        return;
    }
    // Walk to the end: the dead writer may have stopped between its two stores.
    uint32_t last = h->filled_head;
    bool listed = last == i;
    for (uint32_t n = 0; n < num_cells_ && last < num_cells_ && cell_at(last)->next() != kListEnd; ++n) {
        last = cell_at(last)->next();
        listed = listed || last == i;
    }
    if (last >= num_cells_) return;  // damage: left for the report
    if (!listed) {
        cell_at(i)->set_next(kListEnd);
        cell_at(last)->set_next(i);
        last = i;
    }
    h->filled_tail = last;
}

}  // namespace mox::ipc_queue
