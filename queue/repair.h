// Repair: what a survivor does for threads that died holding part of a
// queue. The kinds say what each Step means (mpmc_repair.cpp,
// mpmcvar_repair.cpp); this is the part they share.
//
// - A repair runs from the stall check of a wait (a wait that slept a
//   whole slice), under the table's repair lock, at most once per
//   kRepairIntervalMs per process and table.
// - A dead thread's record says what it held for certain (Holds) and what
//   it may have held (May: a lock it was waiting for, or releasing). A lock
//   only maybe held by the dead is taken over when it is stuck: its value
//   is 0, no live thread records holding it, every live thread that may
//   hold it is asleep (so in the wait, since nothing sleeps inside a list
//   lock), none that may hold it died since the repair began, and no list
//   lock was posted while the repair looked (OwnerSlot::releases: a
//   post could let in a waiter the look had already passed). A stopped
//   thread that may hold it keeps the lock stuck: a stopped process is
//   alive and is never robbed. While it cannot be told, the dead thread's
//   records are kept for a later repair, never freed with the lock held.
// - Counts: a dead thread's count (taken, or maybe taken) is posted back.
//   Where the record cannot tell, the post may be one too many, and is
//   counted as unsure: a taker that finds an empty list spends one and
//   waits again (one post too few would lose capacity for good).
#pragma once

#include <semaphore.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "owner_table.h"

namespace mox::ipc_queue {

inline constexpr uint32_t kRepairIntervalMs = 50;

struct DeadHolding {
    uint32_t slot;
    Holding holding;
    uint64_t thread;  // the dead thread's word, to free its slot by
};

class Repair {
public:
    // Takes the repair lock and reads the table. Nothing to do (empty())
    // when another thread repairs, none is dead, or this thread has no slot.
    Repair(OwnerTable& table, const Holder& me);
    ~Repair();
    Repair(const Repair&) = delete;
    Repair& operator=(const Repair&) = delete;

    bool empty() const { return dead_.empty(); }
    const std::vector<DeadHolding>& dead() const { return dead_; }

    // Whether a dead thread holds `lock` (`id` in the records): for certain,
    // or maybe and the lock is stuck. When true this repair holds it now and
    // must post it when done with the list.
    bool take_over(ListLock id, sem_t* lock);
    // Whether slot `slot` may hold a lock that take_over() could not settle:
    // repaired now, its record would be freed and the lock stuck for good.
    bool unsettled(uint32_t slot) const;
    // Takes `lock` the ordinary way, waiting at most kRepairLockWaitMs.
    bool lock(ListLock id, sem_t* lock);
    // Releases a lock taken by take_over() or lock(); the record says "may
    // hold" across the post, as every unlock's does.
    void unlock(ListLock id, sem_t* lock);
    // Live threads (other than this one) whose record is at `step`.
    uint32_t live_at(Step step) const;
    size_t entries_of(uint32_t slot) const {
        return static_cast<size_t>(
            std::count_if(dead_.begin(), dead_.end(), [&](const DeadHolding& d) { return d.slot == slot; }));
    }
    // Moves dead slot `slot`'s record on, as its thread would have: the
    // record always says what is left to do, so a repairer that dies at
    // work leaves it for the next one, never done twice.
    void advance(uint32_t slot, const Holding& h) const;
    // The dead thread's record is dealt with: its slot is freed at the end.
    void repaired(uint32_t slot) { repaired_.push_back(slot); }
    const Holder& me() const { return me_; }

private:
    // One of this thread's slots: its records are alive, whatever they say.
    bool mine(const OwnerSlot& s) const {
        return s.thread.load(std::memory_order_relaxed) == me_.slot()->thread.load(std::memory_order_relaxed);
    }

    OwnerTable& table_;
    Holder me_;
    uint64_t my_record_ = 0;
    bool locked_ = false;
    uint32_t unsettled_ = 0;  // bit per ListLock
    std::vector<DeadHolding> dead_;
    std::vector<uint32_t> repaired_;
};

// Whether the process should look now (see kRepairIntervalMs); one clock per
// table, so two tables never starve each other.
bool repair_due(std::atomic<int64_t>& last_ms);

}  // namespace mox::ipc_queue
