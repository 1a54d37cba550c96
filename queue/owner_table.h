// OwnerTable: who holds what of a queue, kept where it can be read after
// the holder is gone, so that survivors repair what a dead process held.
//
// Design:
// - A second shared object beside the segment, "<name>.owners": a header
//   and kOwnerSlots slots of one cache line. A thread that uses the queue
//   claims a slot (its pid, tid and start time) and, at each step of an
//   operation, stores one word saying what it holds: a count taken, a list
//   lock, a cell or a channel, and the index the step is about. The word
//   is written before the step's effect can be seen by others where it can
//   be, and right after the wait that takes a lock otherwise (inside the
//   wait, before any hook runs), so the window where a holder is not
//   recorded is a few instructions and never a sleep.
// - Death is read from the kernel, never guessed: a thread is gone when
//   /proc has no task of that pid and tid with that start time (a reused
//   id has another), or it is a zombie. A stopped thread is alive.
// - The segment's layout is untouched. A process that records nothing (an
//   older build or another implementation) works as before and is simply
//   not protected; the table names the segment it belongs to (device and
//   inode), so a table left from an earlier queue of that name is replaced.
// - One repairer at a time, under the table's repair lock (a word holding
//   the repairer's slot; taken over when that thread is gone).
// - A thread that starts an operation while it still holds something (a
//   cell or channel taken by an earlier call) records it in another slot
//   of its own, up to kThreadSlots: each slot holds one record. What holds
//   a cell or channel keeps the slot that recorded it, so closing it (from
//   any thread) moves that record on.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "shared_objects.h"

namespace mox::ipc_queue {

inline constexpr uint32_t kOwnerSlots = 1024;
// Records one thread may hold at once in one table; beyond, an operation
// runs unrecorded.
inline constexpr uint32_t kThreadSlots = 4;
inline constexpr const char* kOwnersSuffix = ".owners";
// Set (not "0") in a process's environment: its queues record nothing, as a
// process of another implementation would, and are not protected. For
// measuring what recording costs (make bench).
inline constexpr const char* kUnrecordedVariable = "MOX_IPC_QUEUE_UNRECORDED";

// The lock a step holds or may hold.
enum class ListLock : uint8_t { kNone = 0, kFree = 1, kFilled = 2, kUsed = 3 };
// kMay: just before the wait that takes the lock, or just before the post
// that releases it; whether the lock is still held is decided by looking.
enum class LockHold : uint8_t { kNo = 0, kMay = 1, kHolds = 2 };

// What a thread is doing, one value per step of every operation; the index
// is the cell (SPSC, MPMC) or channel (MPMCVar) it is about.
enum class Step : uint8_t {
    kIdle = 0,
    // MPMC writer
    kWantFreeCount,  // waiting on the free count (it may have it)
    kHaveFreeCount,  // has a free count, takes the free lock
    kPopFree,        // holds the free lock, pops `index` (the head)
    kWriteCell,      // holds cell `index`, unpublished
    kAppendFilled,   // holds the filled lock, appends `index`
    kPostFilled,     // `index` is listed; posting the filled count
    // MPMC reader
    kWantFilledCount,
    kHaveFilledCount,
    kPopFilled,      // holds the filled lock, pops `index` (the head)
    kReadCell,       // holds cell `index`, taken from the list
    kPushFree,       // holds the free lock, pushes `index`
    kPostFree,       // `index` is free again; posting the free count
    kRestoreFilled,  // holds the filled lock, puts `index` back at the head
    kPostRestored,   // `index` is back; posting the filled count
    // MPMCVar writer
    kWantFreeChannel,
    kPopChannel,    // swapping channel `index` off the free stack
    kHaveChannel,   // holds channel `index`, not yet listed
    kAppendUsed,    // holds the used lock, appends `index`
    kPostUsed,      // `index` is listed; posting the used count
    kWriteMessage,  // writes the message of channel `index`
    kEndMessage,    // settling the end of `index`'s message, posting its last cell
    // MPMCVar reader
    kWantUsedCount,
    kHaveUsedCount,
    kPopUsed,         // holds the used lock, pops `index` (the head)
    kReadMessage,     // reads the message of channel `index`
    kReleaseChannel,  // pushing `index` back on the free stack, posting the free count
    // Anyone
    kRepair,  // repairing for a dead thread; holds `lock` inherited from it
    // MPMCVar, appended: a cell of channel `index` taken and not yet handed over
    kWriteCellHeld,    // by its writer
    kReadCellHeld,     // by its reader
    kPostChannelFree,  // `index` is back on the free stack; posting the free count
    // MPMCVar writer: `index`'s outcome is settled; its last post follows.
    // A repair leaves it (the post may be made, and the channel reused);
    // it tells a reader that the post may still come.
    kLastPost,
};

struct Holding {
    Step step = Step::kIdle;
    ListLock lock = ListLock::kNone;
    LockHold hold = LockHold::kNo;
    uint32_t index = 0;

    uint64_t word() const {
        return uint64_t{static_cast<uint8_t>(step)} | uint64_t{static_cast<uint8_t>(lock)} << 8 |
               uint64_t{static_cast<uint8_t>(hold)} << 16 | uint64_t{index} << 32;
    }
    static Holding of(uint64_t w) {
        return {static_cast<Step>(w & 0xff), static_cast<ListLock>((w >> 8) & 0xff),
                static_cast<LockHold>((w >> 16) & 0xff), static_cast<uint32_t>(w >> 32)};
    }
};

// The steps a record stays at between two calls: a cell or channel that one
// call took and a later one gives back. Any other record of a thread that
// starts an operation was left by one an exception ended (or is the one a
// repair inside a wait saves and restores): it holds nothing now.
inline bool held_between_calls(Step step) {
    return step == Step::kWriteCell || step == Step::kReadCell || step == Step::kWriteMessage ||
           step == Step::kReadMessage || step == Step::kWriteCellHeld || step == Step::kReadCellHeld;
}

// One cache line per record.
struct alignas(64) OwnerSlot {
    std::atomic<uint64_t> thread;   // pid << 32 | tid; 0: free
    std::atomic<uint64_t> started;  // the thread's start time, in clock ticks since boot
    std::atomic<uint64_t> holding;  // a Holding word
    // While the thread repairs (holding says kRepair): its own Holding word
    // from before, repaired with the rest should it die at that work.
    std::atomic<uint64_t> saved;
    // List locks this slot's threads posted, counted after each post while
    // the record still says it may hold the lock (see Repair::take_over).
    // Written by the slot's thread alone, on its own line: the hot path
    // shares nothing for it. Never reset, so a claim keeps it monotonic.
    std::atomic<uint64_t> releases;
};
static_assert(sizeof(OwnerSlot) == 64);

// The counting semaphores a repair posts back to.
enum class CountId : uint8_t { kFree = 0, kFilled = 1, kUsed = 2 };
inline constexpr int kCountIds = 3;

struct alignas(64) OwnerTableHeader {
    uint64_t magic;  // kOwnersMagic once initialised
    uint64_t segment_device;
    uint64_t segment_inode;
    uint32_t slot_count;
    // List locks posted by threads that have no slot (the table was full);
    // OwnerSlot::releases counts the rest.
    std::atomic<uint32_t> releases;
    std::atomic<uint64_t> repairer;  // slot number + 1 of the thread repairing; 0: none
    // Posts a repair made without knowing whether the dead thread had taken
    // (or already posted) that count, by CountId. A taker that finds its
    // list empty spends one and waits again; with none left the list is
    // damaged.
    std::atomic<uint32_t> unsure_posts[kCountIds];
};
static_assert(sizeof(OwnerTableHeader) == 64);

// What the kernel says of a recorded thread.
enum class ThreadState { kGone, kRunning, kSleeping, kStopped };
ThreadState thread_state(uint64_t thread, uint64_t started);
// The same for a record holding `holding`, as a repair counts it: a thing
// an ended thread kept between calls is its live process's.
ThreadState record_state(uint64_t thread, uint64_t started, uint64_t holding);

// The Holding word of a thread, one store per step. Null slot: not recorded.
class Holder {
public:
    Holder() = default;
    explicit Holder(OwnerSlot* slot) : slot_(slot) {}
    void set(Step step, ListLock lock = ListLock::kNone, LockHold hold = LockHold::kNo, uint32_t index = 0) const {
        if (slot_ != nullptr) slot_->holding.store(Holding{step, lock, hold, index}.word(), std::memory_order_release);
    }
    void idle() const { set(Step::kIdle); }
    // Whether the slot is one the calling thread records in.
    bool of_this_thread() const;
    // For a wait to store when it takes its semaphore (see WaitOptions).
    std::atomic<uint64_t>* word() const { return slot_ != nullptr ? &slot_->holding : nullptr; }
    OwnerSlot* slot() const { return slot_; }

private:
    OwnerSlot* slot_ = nullptr;
};

// The name of a Step, for reports ("write cell", ...).
const char* step_name(Step step);

// One recorded thread, as an operator sees it.
struct OwnerRecord {
    uint32_t slot, pid, tid;
    ThreadState state;
    Holding holding;
};

class OwnerTable {
public:
    // The threads recorded in the table of queue `name`, read only (empty
    // when it has none): for the operator tool.
    static std::vector<OwnerRecord> read_records(const std::string& name);
    // Drops from a report's findings the "<list> count above its list" that
    // posts a repair made in doubt account for: a taker spends them.
    static void discount_unsure_posts(const std::string& name, std::vector<std::string>& findings);

    OwnerTable() = default;
    OwnerTable(const OwnerTable&) = delete;
    OwnerTable& operator=(const OwnerTable&) = delete;
    ~OwnerTable();

    // Opens the table of the queue `name` whose segment is `segment`,
    // making it when there is none (or only a stale one). On any failure the
    // queue works unrecorded: never throws.
    void attach(const std::string& name, const SegmentIdentity& segment);
    // Unmaps, after giving up the slots of this process's threads that hold
    // nothing.
    void detach();
    // Removes the name "<name>.owners" while it belongs to `segment`.
    static void remove_name(const std::string& name, const SegmentIdentity& segment);
    static std::string object_name(const std::string& name) { return name + kOwnersSuffix; }

    bool attached() const { return header_ != nullptr; }
    // A slot of this thread that holds nothing between calls, for an
    // operation to record in: claimed on first use, and another while every
    // one this thread has holds something. A Holder of nothing when the table
    // is full or absent.
    Holder holder();
    // The slot of this process whose record holds `index` at `step` (a
    // cell taken by an earlier call, kWriteCell or kReadCell), this thread's
    // first: closing it, from any thread, moves that record on. holder()
    // when none does.
    Holder holder_of(Step step, uint32_t index);
    // The slot a repair by this thread records in: its first, whatever it
    // holds (the repair saves that record and puts it back), so a repair
    // inside a wait claims nothing.
    Holder repair_holder();
    // Claims a slot for this thread now (SPSC records who is attached).
    void claim_now() { holder(); }

    uint32_t slot_count() const { return header_ != nullptr ? header_->slot_count : 0; }
    OwnerSlot& slot(uint32_t i) const { return slots_[i]; }
    // Whether slot i's thread is alive: a slot that is free counts as gone.
    ThreadState state_of(uint32_t i) const;

    // The repair lock: true once this thread holds it.
    bool try_lock_repair(const Holder& me);
    void unlock_repair(const Holder& me);

    // Whether another process was recorded here and every such process is
    // gone (SPSC: the peer died; one that closed its queue gave its slot up).
    bool other_processes_gone() const;

    // After each post of a list lock, by the thread that posted it.
    void count_release(const Holder& me) const {
        if (OwnerSlot* s = me.slot()) {
            s->releases.store(s->releases.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        } else if (header_ != nullptr) {
            header_->releases.fetch_add(1);
        }
    }
    // Every post counted so far: unchanged across a look means no list lock
    // was posted during it (each counter only grows).
    uint64_t releases() const;

    void add_unsure_posts(CountId id, uint32_t n);
    uint32_t unsure_posts(CountId id) const {
        return header_ != nullptr ? header_->unsure_posts[static_cast<int>(id)].load() : 0;
    }
    // Spends one of add_unsure_posts's posts: false when none is left.
    bool spend_unsure_post(CountId id);

    // Frees slot i after its dead thread's holdings were repaired.
    void release_dead_slot(uint32_t i, uint64_t thread);

private:
    OwnerSlot* claim();
    // Makes this thread's cache of its slots this table's.
    void load_cache();

    OwnerTableHeader* header_ = nullptr;
    OwnerSlot* slots_ = nullptr;
    uint64_t serial_ = 0;  // tells this object from one at the same address later
    std::mutex claims_mutex_;
    // The slots this process claimed here, by thread serial (a thread's own
    // number in this process, never reused as a kernel thread id may be).
    std::multimap<uint64_t, OwnerSlot*> claims_;
};

}  // namespace mox::ipc_queue
