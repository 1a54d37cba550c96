#include "repair.h"

#include <ctime>

#include "fault_point.h"
#include "semaphore_wait.h"

namespace mox::ipc_queue {

namespace {

constexpr uint32_t kRepairLockWaitMs = 100;

int64_t monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool repair_due(std::atomic<int64_t>& last_ms) {
    const int64_t now = monotonic_ms();
    int64_t last = last_ms.load(std::memory_order_relaxed);
    if (now - last < kRepairIntervalMs) return false;
    return last_ms.compare_exchange_strong(last, now, std::memory_order_relaxed);
}

Repair::Repair(OwnerTable& table, const Holder& me) : table_(table), me_(me) {
    if (!table.attached() || me.slot() == nullptr) return;
    // Cheap first: most looks find every holder alive.
    std::vector<uint32_t> suspects;
    for (uint32_t i = 0; i < table.slot_count(); ++i) {
        const OwnerSlot& s = table.slot(i);
        if (s.thread.load(std::memory_order_relaxed) == 0 || mine(s)) continue;
        if (Holding::of(s.holding.load(std::memory_order_acquire)).step == Step::kIdle) continue;
        if (table.state_of(i) == ThreadState::kGone) suspects.push_back(i);
    }
    if (suspects.empty() || !table.try_lock_repair(me)) return;
    locked_ = true;
    my_record_ = me.slot()->holding.load(std::memory_order_relaxed);
    me.slot()->saved.store(my_record_, std::memory_order_relaxed);
    me.set(Step::kRepair);
    for (uint32_t i : suspects) {
        // Read again under the repair lock: another repairer may have been first.
        OwnerSlot& s = table.slot(i);
        const Holding h = Holding::of(s.holding.load(std::memory_order_acquire));
        if (h.step == Step::kIdle || table.state_of(i) != ThreadState::kGone) continue;
        const uint64_t thread = s.thread.load(std::memory_order_acquire);
        dead_.push_back({i, h, thread});
        // A repairer that died: besides the lock it held (taken over by the
        // kind), what it held before it began is repaired like any record.
        if (const Holding before = Holding::of(s.saved.load(std::memory_order_relaxed));
            h.step == Step::kRepair && before.step != Step::kIdle && before.step != Step::kRepair)
            dead_.push_back({i, before, thread});
    }
}

Repair::~Repair() {
    if (!locked_) return;
    for (uint32_t slot : repaired_)
        for (const DeadHolding& d : dead_)
            if (d.slot == slot) table_.release_dead_slot(slot, d.thread);
    me_.slot()->holding.store(my_record_, std::memory_order_release);
    table_.unlock_repair(me_);
}

bool Repair::take_over(ListLock id, sem_t* lock) {
    bool certain = false;
    bool maybe = false;
    for (const DeadHolding& d : dead_) {
        if (d.holding.lock != id) continue;
        certain = certain || d.holding.hold == LockHold::kHolds;
        maybe = maybe || d.holding.hold == LockHold::kMay;
    }
    if (!certain) {
        if (!maybe) return false;
        const uint64_t releases = table_.releases();
        std::atomic_thread_fence(std::memory_order_seq_cst);
        int value = 1;
        // Free now, or held by a live thread that says so: no dead thread holds it.
        if (::sem_getvalue(lock, &value) != 0 || value > 0) return false;
        MOX_FAULT_POINT("repair.look");
        unsettled_ |= 1u << static_cast<unsigned>(id);
        for (uint32_t i = 0; i < table_.slot_count(); ++i) {
            const OwnerSlot& s = table_.slot(i);
            if (mine(s) || s.thread.load(std::memory_order_relaxed) == 0) continue;
            const Holding h = Holding::of(s.holding.load(std::memory_order_acquire));
            if (h.lock != id || h.hold == LockHold::kNo) continue;
            const ThreadState state = table_.state_of(i);
            if (state == ThreadState::kGone && entries_of(i) > 0) continue;  // this repair's own
            if (h.hold == LockHold::kHolds && state != ThreadState::kGone) {
                unsettled_ &= ~(1u << static_cast<unsigned>(id));
                return false;
            }
            // Running (it may have just taken it), stopped, or died since this
            // repair read the table: left for a later repair.
            if (state != ThreadState::kSleeping) return false;
        }
        // Looked again: a post meanwhile could have let in one this look had
        // passed while it slept; its poster counts it before its record moves on.
        if (::sem_getvalue(lock, &value) != 0 || value > 0) return false;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (table_.releases() != releases) return false;
        unsettled_ &= ~(1u << static_cast<unsigned>(id));
    }
    me_.set(Step::kRepair, id, LockHold::kHolds);
    // The lock is this repair's now: no dead record may say it holds it, or
    // a later repair would take it over and post it a second time.
    for (const DeadHolding& d : dead_)
        if (d.holding.lock == id) {
            Holding now = Holding::of(table_.slot(d.slot).holding.load(std::memory_order_acquire));
            if (now.lock == id) advance(d.slot, {now.step, ListLock::kNone, LockHold::kNo, now.index});
        }
    return true;
}

bool Repair::unsettled(uint32_t slot) const {
    return std::any_of(dead_.begin(), dead_.end(), [&](const DeadHolding& d) {
        return d.slot == slot && d.holding.hold == LockHold::kMay &&
               (unsettled_ >> static_cast<unsigned>(d.holding.lock) & 1) != 0;
    });
}

bool Repair::lock(ListLock id, sem_t* lock) {
    WaitOptions options;
    options.timeout_ms = kRepairLockWaitMs;
    options.on_signal = OnSignal::kDefer;
    options.record = {me_.word(), Holding{Step::kRepair, id, LockHold::kHolds}.word(), nullptr};
    me_.set(Step::kRepair, id, LockHold::kMay);
    return wait_semaphore(lock, options) == 0;
}

void Repair::advance(uint32_t slot, const Holding& h) const {
    table_.slot(slot).holding.store(h.word(), std::memory_order_release);
}

void Repair::unlock(ListLock id, sem_t* lock) {
    me_.set(Step::kRepair, id, LockHold::kMay);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    ::sem_post(lock);
    table_.count_release(me_);
    me_.set(Step::kRepair);
}

uint32_t Repair::live_at(Step step) const {
    uint32_t n = 0;
    for (uint32_t i = 0; i < table_.slot_count(); ++i) {
        const OwnerSlot& s = table_.slot(i);
        if (mine(s) || Holding::of(s.holding.load(std::memory_order_acquire)).step != step) continue;
        n += table_.state_of(i) != ThreadState::kGone;
    }
    return n;
}

}  // namespace mox::ipc_queue
