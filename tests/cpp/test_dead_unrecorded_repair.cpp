// Processes that record nothing (MOX_IPC_QUEUE_UNRECORDED), SIGKILLed inside
// MPMC and MPMCVar operations, leave a list lock at 0 and cells, channels
// and counts nobody gives back. The offline repair (mox-ipcq repair) puts
// the queue right once they are gone: every message published before the
// kills is read once, whole and in order, and the full capacity comes back.
// While a recording process is alive it refuses and changes nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "dead_process.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "offline_repair.h"
#include "owner_table.h"
#include "test_support.h"

namespace mox::ipc_queue::test {
namespace {

// 40 bytes: three cells of an MPMCVar ring, so a writer can stop inside it.
std::string message(const std::string& tag) { return tag + std::string(40 - tag.size(), '.'); }

// Up to `count` messages in their order, then any more that come at once.
std::vector<std::string> drain(IPCQueueCPP& q, size_t count) {
    std::vector<std::string> got;
    for (std::string out; q.read(out, got.size() < count ? 5000 : 50) == 0;) got.push_back(out);
    return got;
}

struct Victim {
    const char* point;
    bool reader;
    bool delivered = false;  // its message was whole: it stays
};

struct Scenario {
    const char* name;
    uint32_t capacity;  // cells, or channels of four 16-byte cells
    std::function<std::unique_ptr<IPCQueueCPP>(const std::string&, bool create)> open;
    std::vector<Victim> victims;  // in order; together they hold every free cell or channel
    const char* stuck_lock;       // left at 0 by one of them
    std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t> expected;  // kept, dropped, recovered, free, cleared
};

class UnrecordedKilled : public ::testing::TestWithParam<Scenario> {};

TEST_P(UnrecordedKilled, RepairKeepsPublishedMessagesAndRestoresCapacity) {
    const Scenario& s = GetParam();
    NameGuard guard(unique_name("unrec"));
    const std::string& name = guard.name();
    ASSERT_EQ(::setenv(kUnrecordedVariable, "1", 1), 0);  // this process and the victims it forks
    struct Unset {
        ~Unset() { ::unsetenv(kUnrecordedVariable); }
    } unset;
    std::unique_ptr<IPCQueueCPP> q = s.open(name, true);
    std::vector<std::string> published = {message("p0"), message("p1")};
    for (const std::string& m : published) q->write(m.data(), static_cast<int64_t>(m.size()));
    for (const Victim& v : s.victims) {
        if (v.delivered) published.push_back(message("victim"));
        const pid_t pid = stopped_at(v.point, [&] {
            std::string out;
            const std::string m = message("victim");
            if (v.reader)
                s.open(name, false)->read(out, 0);
            else
                s.open(name, false)->write(m.data(), static_cast<int64_t>(m.size()));
        });
        ASSERT_GT(pid, 0) << "never stopped at " << v.point;
        kill_and_reap(pid);
    }
    // Nobody gives anything back: no room for a message, a lock stuck at 0.
    EXPECT_FALSE(write_within(*q, "survivor", kShort));
    EXPECT_EQ(sem_value(name + s.stuck_lock), 0);

    // A recording process that is alive (stopped counts) repairs for itself.
    const pid_t recording = stopped_at("none", [&] {
        ::unsetenv(kUnrecordedVariable);
        auto mine = s.open(name, false);
        ::raise(SIGSTOP);
    });
    ASSERT_GT(recording, 0);
    try {
        repair_offline(name);
        ADD_FAILURE() << "repaired while a recording process was alive";
    } catch (const OfflineRepairRefused& e) {
        EXPECT_EQ(e.reason, OfflineRepairRefused::kInUse) << e.what();
    }
    EXPECT_EQ(sem_value(name + s.stuck_lock), 0) << "changed while refusing";
    kill_and_reap(recording);

    const OfflineRepairSummary r = repair_offline(name);
    EXPECT_EQ(std::make_tuple(r.kept, r.dropped, r.recovered, r.free, r.records_cleared), s.expected);
    EXPECT_TRUE(OwnerTable::read_records(name).empty()) << "a dead thread's record left to be repaired again";
    ASSERT_EQ(q->report().findings, std::vector<std::string>{});
    EXPECT_EQ(drain(*q, published.size()), published);
    std::vector<std::string> round;
    for (uint32_t i = 0; i < s.capacity; ++i) {
        round.push_back(message("s" + std::to_string(i)));
        ASSERT_TRUE(write_within(*q, round.back(), kPatience)) << round.back();
    }
    EXPECT_FALSE(write_within(*q, "over", kShort)) << "more room than the queue has";
    EXPECT_EQ(drain(*q, s.capacity), round);
}

std::unique_ptr<IPCQueueCPP> open_mpmc(const std::string& name, bool create) {
    if (create) return std::make_unique<MPMCQueueCPP>(name, 4, 64, CreateOptions{true});
    return std::make_unique<MPMCQueueCPP>(name);
}

std::unique_ptr<IPCQueueCPP> open_mpmcvar(const std::string& name, bool create) {
    if (create) return std::make_unique<MPMCVarQueueCPP>(name, 5, 4, 16, CreateOptions{true});
    return std::make_unique<MPMCVarQueueCPP>(name);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnrecordedKilled,
                         ::testing::Values(
                             // A writer holding a cell; one inside the filled lock, its cell unlinked
                             // behind a tail word that names it (dropped: it was never counted).
                             Scenario{"mpmc",
                                      4,
                                      open_mpmc,
                                      {{"mpmc.write.cell", false}, {"mpmc.write.filled_lock", false}},
                                      "_filled_mutex_",
                                      std::make_tuple(2u, 0u, 2u, 2u, 1u)},
                             // A writer dead after ending its message, before handing over its last
                             // cell (kept); one dead inside its listed message (emptied); a reader
                             // inside the used lock with a count taken; a writer holding an unlisted
                             // channel.
                             Scenario{"mpmcvar",
                                      5,
                                      open_mpmcvar,
                                      {{"mpmcvar.write.end", false, true},
                                       {"mpmcvar.write.message", false},
                                       {"mpmcvar.read.used_lock", true},
                                       {"mpmcvar.write.channel", false}},
                                      "_used_mutex_",
                                      std::make_tuple(3u, 1u, 1u, 2u, 1u)}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mox::ipc_queue::test
