// MPMCVarQueueCPP's repair: what a thread that died at each Step left, and
// how a survivor puts it right (see repair.h for the rules all kinds share).
//
//   counts taken, maybe taken or maybe    posted back (the unsure ones are
//     not yet posted                        counted: see OwnerTableHeader)
//   a channel popped, not yet listed      back on the free stack, counted
//   a channel being appended              the append finished, counted; then
//                                           as a writer that died in it
//   a writer that died in its message     kWriterAbandoned by the abandon
//                                           protocol, its cell posted empty:
//                                           its reader raises or passes over it
//   a channel popped for reading          back at the head of the used list
//                                           (nothing of it was read)
//   a reader that died in its message     its cell given back,
//                                           kReaderAbandoned; once the writer's
//                                           last post is in, or nobody records
//                                           the channel who could make it, the
//                                           channel given back (never waited
//                                           for: the record stays till then)
//   a writer past its outcome (last post) nothing: the channel may be carrying
//                                           its next message already
//   a channel being given back            pushed unless it is found anywhere
//                                           (stack, used list, a record), counted
//   the used list's lock held             the list finished as above, then
//                                           the lock released
//
// Repairers die too (a process that connects repairs first). Each record
// is moved on before the effect it no longer asks for can be seen, so the
// next repairer redoes at most one post, counted as unsure; a push is never
// redone (the channel is looked for first).
#include <algorithm>
#include <vector>

#include "fault_point.h"
#include "mpmcvar_queue.h"
#include "repair.h"

namespace mox::ipc_queue {

namespace {

// Steps whose record holds (or may hold) channel `index`.
bool holds_channel(const Holding& h) {
    switch (h.step) {
        case Step::kPopChannel:
        case Step::kHaveChannel:
        case Step::kAppendUsed:
        case Step::kPostUsed:
        case Step::kWriteMessage:
        case Step::kWriteCellHeld:
        case Step::kEndMessage:
        case Step::kPopUsed:
        case Step::kReadMessage:
        case Step::kReadCellHeld:
        case Step::kReleaseChannel:
            return true;
        default:
            return false;
    }
}

}  // namespace

void MPMCVarQueueCPP::stall_check(const void* self) {
    auto* q = const_cast<MPMCVarQueueCPP*>(static_cast<const MPMCVarQueueCPP*>(self));
    if (!q->closed_ && repair_due(q->last_repair_ms_)) q->repair_dead_holders();
}

// Under the used lock. Pushes and pops are ruled out by an unchanged free
// word across the look; appends and pops of the used list by the lock; a
// channel passes from one thread to another only while both record it. Of
// the threads recording "pop channel `index`", at most one swapped it off.
MPMCVarQueueCPP::Whereabouts MPMCVarQueueCPP::whereabouts(uint32_t index, uint32_t skip_slot,
                                                          const std::vector<DeadHolding>& dead) const {
    const MPMCVarHeader* h = header();
    const auto dead_here = [&](uint32_t s) {
        return std::any_of(dead.begin(), dead.end(), [&](const DeadHolding& d) { return d.slot == s; });
    };
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const uint64_t word = h->free_word.load(std::memory_order_seq_cst);
        Whereabouts found = Whereabouts::kNowhere;
        uint32_t at = free_top(word);
        for (uint32_t n = 0; n <= num_channels_ && at < num_channels_; ++n) {
            if (at == index) found = Whereabouts::kFreeStack;
            at = ChannelArea(segment + channel_areas_.offset(at)).next();
        }
        at = h->used_head.load(std::memory_order_relaxed);
        for (uint32_t n = 0; n <= num_channels_ && at < num_channels_ && found == Whereabouts::kNowhere; ++n) {
            if (at == index) found = Whereabouts::kElsewhere;
            at = ChannelArea(segment + channel_areas_.offset(at)).next();
        }
        bool live_popper = false;
        for (uint32_t s = 0; s < owners_.slot_count() && found == Whereabouts::kNowhere; ++s) {
            const OwnerSlot& slot = owners_.slot(s);
            if (s == skip_slot || slot.thread.load(std::memory_order_acquire) == 0) continue;
            Holding held = Holding::of(slot.holding.load(std::memory_order_acquire));
            if (held.step == Step::kRepair) held = Holding::of(slot.saved.load(std::memory_order_relaxed));
            if (!holds_channel(held) || held.index != index) continue;
            if (held.step != Step::kPopChannel)
                found = Whereabouts::kElsewhere;
            else if (!dead_here(s))
                live_popper = true;
        }
        if (found == Whereabouts::kNowhere && live_popper) found = Whereabouts::kUnsure;
        if (h->free_word.load(std::memory_order_seq_cst) == word) return found;
    }
    return Whereabouts::kUnsure;  // never pushed twice
}

bool MPMCVarQueueCPP::recorded_elsewhere(uint32_t index, const OwnerSlot* skip) const {
    for (uint32_t s = 0; s < owners_.slot_count(); ++s) {
        const OwnerSlot& slot = owners_.slot(s);
        if (&slot == skip || slot.thread.load(std::memory_order_acquire) == 0) continue;
        Holding held = Holding::of(slot.holding.load(std::memory_order_acquire));
        if (held.step == Step::kRepair) held = Holding::of(slot.saved.load(std::memory_order_relaxed));
        if ((holds_channel(held) || held.step == Step::kLastPost) && held.index == index) return true;
    }
    return false;
}

// Under the repair lock, so that no repairer is between moving a dead
// writer's record on and making its post.
bool MPMCVarQueueCPP::alone_on(uint32_t index, const Holder& reader) {
    if (reader.slot() == nullptr || !owners_.try_lock_repair(reader)) return false;
    const bool alone = !recorded_elsewhere(index, reader.slot());
    owners_.unlock_repair(reader);
    return alone;
}

void MPMCVarQueueCPP::repair_dead_holders() noexcept {
    try {
        Repair r(owners_, owners_.repair_holder());
        if (r.empty()) return;
        const auto valid = [&](uint32_t i) { return i < num_channels_; };
        const std::vector<DeadHolding>& dead = r.dead();
        // Each entry's record as moved on by this repair.
        std::vector<Holding> now;
        for (const DeadHolding& d : dead) now.push_back(d.holding);
        // Entries left for a later repair: their slots stay.
        std::vector<bool> left(dead.size(), false);
        std::vector<Whereabouts> found(dead.size(), Whereabouts::kElsewhere);
        const auto move_on = [&](size_t k, const Holding& next) {
            now[k] = next;
            r.advance(dead[k].slot, next);
        };
        // A post the record asks for: made certain by this repair, or maybe
        // made already (counted as unsure).
        const auto post = [&](sem_t* sem, CountId id, bool unsure) {
            if (unsure) owners_.add_unsure_posts(id, 1);
            ::sem_post(sem);
        };
        const auto post_used = [&](size_t k, bool unsure) {
            move_on(k, {Step::kWantUsedCount, ListLock::kNone, LockHold::kNo, 0});  // a redo is unsure
            post(used_sem(), CountId::kUsed, unsure);
        };
        const auto post_free = [&](size_t k, bool unsure) {
            move_on(k, {Step::kWantFreeChannel, ListLock::kNone, LockHold::kNo, 0});
            post(free_sem(), CountId::kFree, unsure);
        };
        const auto release = [&](size_t k, Channel& channel) {
            move_on(k, {Step::kReleaseChannel, ListLock::kNone, LockHold::kNo, channel.index});
            channel.reset_for_free();
            push_free_channel(channel);
            MOX_FAULT_POINT("mpmcvar.repair.pushed");
            move_on(k, {Step::kPostChannelFree, ListLock::kNone, LockHold::kNo, channel.index});
            ::sem_post(free_sem());
        };

        // A reader that died popping, the used lock maybe still its own: the
        // lock taken over drops the record's lock, and "read message" alone
        // would then say the channel is off the list for good. "Pop used"
        // says it may be, whatever a repairer that dies next leaves.
        for (size_t k = 0; k < dead.size(); ++k)
            if (now[k].step == Step::kReadMessage && now[k].lock == ListLock::kUsed &&
                owners_.slot(dead[k].slot).holding.load() == now[k].word())
                move_on(k, {Step::kPopUsed, ListLock::kUsed, now[k].hold, now[k].index});
        // The used list, under its lock: appends finished, pops put back.
        bool used_locked = r.take_over(ListLock::kUsed, used_mutex());
        const auto needs_lock = [&](size_t k) {
            const Holding& d = dead[k].holding;
            return valid(d.index) &&
                   (d.step == Step::kAppendUsed || d.step == Step::kPopUsed || d.step == Step::kReleaseChannel ||
                    d.step == Step::kPopChannel || (d.step == Step::kReadMessage && d.lock == ListLock::kUsed));
        };
        bool wanted = false;
        for (size_t k = 0; k < dead.size(); ++k) wanted = wanted || needs_lock(k);
        if (!used_locked && wanted) used_locked = r.lock(ListLock::kUsed, used_mutex());
        if (used_locked) MOX_FAULT_POINT("mpmcvar.repair.locked");
        for (size_t k = 0; k < dead.size(); ++k) {
            if (!needs_lock(k)) continue;
            if (!used_locked) {
                left[k] = true;
                continue;
            }
            const uint32_t i = now[k].index;
            switch (now[k].step) {
                case Step::kAppendUsed:
                    finish_used_append(i);
                    move_on(k, {Step::kPostUsed, ListLock::kNone, LockHold::kNo, i});
                    ::sem_post(used_sem());
                    move_on(k, {Step::kWriteMessage, ListLock::kNone, LockHold::kNo, i});
                    break;
                case Step::kPopUsed:
                case Step::kReadMessage:  // popped, the lock maybe posted: nothing was read
                    restore_used_head(i);
                    post_used(k, false);
                    move_on(k, Holding{});
                    break;
                default:  // kReleaseChannel, kPopChannel: where is the channel now?
                    found[k] = whereabouts(i, dead[k].slot, dead);
                    break;
            }
        }
        if (used_locked) r.unlock(ListLock::kUsed, used_mutex());

        // Dead readers whose writer's last post is not in, decided last.
        std::vector<size_t> awaiting;
        for (size_t k = 0; k < dead.size(); ++k) {
            // A lock it may hold that the look could not settle: freed now,
            // the record would leave that lock stuck for good.
            if (left[k] || (left[k] = r.unsettled(dead[k].slot))) continue;
            const uint32_t i = now[k].index;
            const Step step = now[k].step;
            switch (step) {
                case Step::kWantUsedCount:  // taken or not
                    post(used_sem(), CountId::kUsed, true);
                    break;
                case Step::kHaveUsedCount:
                    post_used(k, false);
                    break;
                case Step::kPostUsed:  // posted or not; then as a writer in its message
                    post(used_sem(), CountId::kUsed, true);
                    move_on(k, {Step::kWriteMessage, ListLock::kNone, LockHold::kNo, i});
                    break;
                case Step::kWantFreeChannel:
                case Step::kPostChannelFree:
                    post(free_sem(), CountId::kFree, true);
                    break;
                case Step::kPopChannel:
                    // Still on the stack, or nothing popped yet: the count only.
                    // Found nowhere: a dead popper swapped it off; pushed once
                    // for all of them.
                    if (valid(i) && found[k] == Whereabouts::kNowhere) {
                        release(k, channel_at(i));
                        for (size_t j = k + 1; j < dead.size(); ++j)
                            if (now[j].step == Step::kPopChannel && now[j].index == i)
                                found[j] = Whereabouts::kFreeStack;
                    } else if (!valid(i) || found[k] == Whereabouts::kFreeStack) {
                        post_free(k, false);
                    } else if (found[k] == Whereabouts::kElsewhere) {
                        post(free_sem(), CountId::kFree, true);
                    } else {
                        left[k] = true;
                        continue;
                    }
                    break;
                case Step::kHaveChannel:
                    if (valid(i)) release(k, channel_at(i));
                    break;
                case Step::kReleaseChannel:
                    if (found[k] == Whereabouts::kNowhere) {
                        release(k, channel_at(i));
                    } else if (found[k] != Whereabouts::kUnsure) {
                        post_free(k, false);  // pushed (and maybe taken again), not counted
                    } else {
                        left[k] = true;
                        continue;
                    }
                    break;
                default:
                    break;
            }
            if (!valid(now[k].index)) {
                if (now[k].step != Step::kRepair || r.entries_of(dead[k].slot) == 1) move_on(k, Holding{});
                continue;
            }
            Channel& channel = channel_at(now[k].index);
            switch (now[k].step) {
                case Step::kWriteMessage:
                case Step::kWriteCellHeld:
                case Step::kEndMessage:
                    switch (channel.repair_dead_writer(now[k].step != Step::kWriteMessage,
                                                       now[k].step == Step::kEndMessage,
                                                       [&] { move_on(k, Holding{}); })) {
                        case Channel::DeadSide::kRelease:
                            release(k, channel);
                            break;
                        default:
                            break;
                    }
                    break;
                case Step::kReadMessage:
                case Step::kReadCellHeld:
                    switch (channel.repair_dead_reader(now[k].step == Step::kReadCellHeld, [&] {
                        move_on(k, {Step::kReadMessage, ListLock::kNone, LockHold::kNo, now[k].index});
                    })) {
                        case Channel::DeadSide::kRelease:
                            release(k, channel);
                            break;
                        case Channel::DeadSide::kAwaitWriter:
                            awaiting.push_back(k);
                            continue;
                        default:
                            break;
                    }
                    break;
                default:  // kLastPost: made or not, the channel may be another message's now
                    break;
            }
            if (now[k].step != Step::kRepair || r.entries_of(dead[k].slot) == 1) move_on(k, Holding{});
        }
        // Once every other record is moved on: the writer's post is in, or
        // nobody records the channel who could still make it (the reset
        // makes the ring whole). Otherwise a later repair looks again.
        for (size_t k : awaiting) {
            Channel& channel = channel_at(now[k].index);
            if (channel.ring_whole() || !recorded_elsewhere(channel.index, &owners_.slot(dead[k].slot))) {
                release(k, channel);
                move_on(k, Holding{});
            } else {
                move_on(k, {Step::kReadMessage, ListLock::kNone, LockHold::kNo, channel.index});
                left[k] = true;
            }
        }
        // A slot is freed once all its entries are dealt with.
        for (size_t k = 0; k < dead.size(); ++k) {
            bool all = true;
            for (size_t j = 0; j < dead.size(); ++j)
                if (dead[j].slot == dead[k].slot && left[j]) all = false;
            if (all) r.repaired(dead[k].slot);
        }
    } catch (...) {
        // A damaged segment: the report shows it; the waits go on.
    }
}

// Under the used lock: channel i is at the end of the used list, once.
void MPMCVarQueueCPP::finish_used_append(uint32_t i) {
    MPMCVarHeader* h = header();
    uint32_t last = h->used_head.load(std::memory_order_relaxed);
    if (last == kListEnd) {
        channel_at(i).set_next(kListEnd);
        h->used_head.store(i, std::memory_order_seq_cst);
        h->used_tail.store(i, std::memory_order_seq_cst);
        return;
    }
    // Walk to the end: the dead writer may have stopped between its two stores.
    bool listed = last == i;
    for (uint32_t n = 0; n < num_channels_ && last < num_channels_ && channel_at(last).next() != kListEnd; ++n) {
        last = channel_at(last).next();
        listed = listed || last == i;
    }
    if (last >= num_channels_) return;  // damage: left for the report
    if (!listed) {
        channel_at(i).set_next(kListEnd);
        channel_at(last).set_next(i);
    }
    h->used_tail.store(i, std::memory_order_seq_cst);
}

// Under the used lock: channel i, popped or still the head, is the head.
void MPMCVarQueueCPP::restore_used_head(uint32_t i) {
    MPMCVarHeader* h = header();
    const uint32_t head = h->used_head.load(std::memory_order_relaxed);
    if (head == i) return;
    channel_at(i).set_next(head);
    h->used_head.store(i, std::memory_order_seq_cst);
    if (head == kListEnd) h->used_tail.store(i, std::memory_order_seq_cst);
}

}  // namespace mox::ipc_queue
