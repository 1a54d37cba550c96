// Offline repair: rebuilds an MPMC or MPMCVar queue's bookkeeping from the
// messages it holds, for a queue whose processes recorded nothing (another
// implementation of the layout, or MOX_IPC_QUEUE_UNRECORDED) and died or
// stopped inside it: a list lock left at 0, a cell, a channel or a count
// that nobody gives back.
//
// Only for a queue that NO process is inside of: every process that records
// nothing must be stopped first (or be dead, or be blocked in a wait before
// it took anything). A process waiting for a list lock has taken a count and
// is inside. Processes that record themselves repair the queue on their own;
// while the table of owners shows one alive, the repair refuses.
//
// What is kept: MPMC, the messages on the filled list (walked from its head,
// stopping at the first bad link), in order, whose length fits the cell;
// MPMCVar, the channels on the used list whose writer ended its message and
// whose ring holds it whole. Every other cell or channel goes on the free
// list, emptied; counts and locks are set to what the lists hold. The table
// of owners loses its dead threads' records and its unsure-post credits,
// which describe the state before the rebuild.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "layout.h"

namespace mox::ipc_queue {

struct OfflineRepairSummary {
    QueueKind kind = QueueKind::kMPMC;
    uint32_t kept = 0;             // messages left in the queue, in their order
    uint32_t dropped = 0;          // listed messages emptied: too long (MPMC) or not whole (MPMCVar)
    uint32_t recovered = 0;        // cells (channels) that were on no list, now free
    uint32_t free = 0;             // free list length afterwards
    uint32_t records_cleared = 0;  // dead threads' records removed from the table of owners
};

// Why a repair did not start; nothing was changed.
class OfflineRepairRefused : public std::runtime_error {
public:
    enum Reason { kNotFound, kNoAccess, kNotRepairable, kInUse, kSystem };
    OfflineRepairRefused(Reason reason, const std::string& what) : std::runtime_error(what), reason(reason) {}
    const Reason reason;
};

// Repairs the queue `name` (as shm_open takes it, "/jobs"). Throws
// OfflineRepairRefused before changing anything when the segment is missing
// or unreadable, is not a sound MPMC or MPMCVar header (SPSC has no lists
// to rebuild), lacks a semaphore, or a recorded process is alive.
OfflineRepairSummary repair_offline(const std::string& name);

}  // namespace mox::ipc_queue
