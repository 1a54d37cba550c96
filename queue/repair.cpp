#include "repair.h"

#include <ctime>

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
        if (s.thread.load(std::memory_order_relaxed) == 0 || &s == me.slot()) continue;
        if (Holding::of(s.holding.load(std::memory_order_acquire)).step == Step::kIdle) continue;
        if (table.state_of(i) == ThreadState::kGone) suspects.push_back(i);
    }
    if (suspects.empty() || !table.try_lock_repair(me)) return;
    locked_ = true;
    my_record_ = me.slot()->holding.load(std::memory_order_relaxed);
    for (uint32_t i : suspects) {
        // Read again under the repair lock: another repairer may have been first.
        const Holding h = Holding::of(table.slot(i).holding.load(std::memory_order_acquire));
        if (h.step != Step::kIdle && table.state_of(i) == ThreadState::kGone) dead_.push_back({i, h});
    }
}

Repair::~Repair() {
    if (!locked_) return;
    for (uint32_t slot : repaired_) table_.release_dead_slot(slot);
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
        int value = 1;
        if (::sem_getvalue(lock, &value) != 0 || value > 0) return false;
        for (uint32_t i = 0; i < table_.slot_count(); ++i) {
            const OwnerSlot& s = table_.slot(i);
            if (&s == me_.slot() || s.thread.load(std::memory_order_relaxed) == 0) continue;
            const Holding h = Holding::of(s.holding.load(std::memory_order_acquire));
            if (h.lock != id || h.hold == LockHold::kNo) continue;
            const ThreadState state = table_.state_of(i);
            if (state == ThreadState::kGone) continue;
            if (h.hold == LockHold::kHolds || state != ThreadState::kSleeping) return false;
        }
        // Looked again: the value may have moved while we read the table.
        if (::sem_getvalue(lock, &value) != 0 || value > 0) return false;
    }
    me_.set(Step::kRepair, id, LockHold::kHolds);
    return true;
}

bool Repair::lock(ListLock id, sem_t* lock) {
    WaitOptions options;
    options.timeout_ms = kRepairLockWaitMs;
    options.on_signal = OnSignal::kDefer;
    options.record = {me_.word(), Holding{Step::kRepair, id, LockHold::kHolds}.word(), nullptr};
    me_.set(Step::kRepair, id, LockHold::kMay);
    return wait_semaphore(lock, options) == 0;
}

}  // namespace mox::ipc_queue
