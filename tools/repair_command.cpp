// mox-ipcq repair NAME: rebuilds an MPMC or MPMCVar queue's lists, counts
// and locks from the messages it holds (queue/offline_repair.h), after
// processes that record nothing died or were stopped inside it. Every such
// process must be stopped first; the tool refuses while a recording process
// is alive, and when the header is not sound (remove is the answer then).
#include <cstdio>
#include <string>

#include "offline_repair.h"
#include "tool.h"

namespace mox::ipcq {

namespace {

std::string count(uint32_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

}  // namespace

int repair_command(const QueueName& name) {
    using Refused = ipc_queue::OfflineRepairRefused;
    ipc_queue::OfflineRepairSummary s;
    try {
        s = ipc_queue::repair_offline(name.shown());
    } catch (const Refused& e) {
        static const int kCodes[] = {kNotFound, kPermission, kNotQueue, kNotQueue, kSystemError};
        fail(kCodes[e.reason], e.what());
    }
    const bool var = s.kind == QueueKind::kMPMCVar;
    std::printf("repaired %s queue %s: %s kept, %s dropped, %s recovered; %s free\n", ipc_queue::kind_name(s.kind),
                name.shown().c_str(), count(s.kept, "message").c_str(), count(s.dropped, "message").c_str(),
                count(s.recovered, var ? "channel" : "cell").c_str(), count(s.free, var ? "channel" : "cell").c_str());
    if (s.records_cleared > 0)
        std::printf("cleared %s of dead threads from the table of owners\n",
                    count(s.records_cleared, "record").c_str());
    return kOk;
}

}  // namespace mox::ipcq
