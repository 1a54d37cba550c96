// A process SIGKILLed at any stop point inside an MPMC or MPMCVar operation costs at
// most the message it was writing or reading: the survivors go on by
// themselves, the queue's full capacity comes back and every other message
// arrives exactly once. A stopped process is alive and keeps what it holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dead_process.h"
#include "ipc_queue_exception.h"
#include "mpmc_queue.h"
#include "mpmcvar_queue.h"
#include "test_support.h"

namespace mox::ipc_queue::test {
namespace {

using std::chrono::steady_clock;

// MPMC: four cells of 64 bytes. MPMCVar: four channels, each a ring of four
// 16-byte cells, so a 40-byte message spans three and a victim stops inside
// it; a message its dead writer left is abandoned (its reader raises
// MessageAbandoned), never delivered in part.
constexpr int64_t kCells = 4;
constexpr int64_t kCellSize = 64;
constexpr int64_t kChannels = 4;
constexpr int64_t kRingCells = 4;
constexpr uint64_t kVarCellSize = 16;

std::string long_message(const std::string& tag) { return tag + std::string(40 - tag.size(), '.'); }

// Children that connect to `name` and write `m`, or read a message, stopped at `point`.
pid_t var_writer_at(const char* point, const std::string& name, const std::string& m) {
    return stopped_at(point, [&] { MPMCVarQueueCPP(name).write(m.data(), static_cast<int64_t>(m.size())); });
}
pid_t var_reader_at(const char* point, const std::string& name) {
    return stopped_at(point, [&] {
        std::string out;
        MPMCVarQueueCPP(name).read(out, 0);
    });
}

// Reads until `count` messages or abandoned ones came, then what else is
// there; the messages sorted, and how many were abandoned.
std::pair<std::vector<std::string>, int> drain(IPCQueueCPP& q, size_t count) {
    std::vector<std::string> got;
    int abandoned = 0;
    std::string out;
    for (;;) {
        try {
            if (q.read(out, got.size() + abandoned < count ? 5000 : 50) != 0) break;
            got.push_back(out);
        } catch (const MessageAbandoned&) {
            ++abandoned;
        }
    }
    std::sort(got.begin(), got.end());
    return {got, abandoned};
}

// Every cell or channel takes a message, the dead holders' too, and no more; all come out whole.
void expect_full_capacity(IPCQueueCPP& q, int64_t capacity = kChannels) {
    const std::string m = long_message("full");
    for (int i = 0; i < capacity; ++i) ASSERT_TRUE(write_within(q, m, kPatience)) << "room lost: " << i;
    EXPECT_FALSE(write_within(q, m, kShort)) << "more room than the queue has";
    EXPECT_EQ(drain(q, static_cast<size_t>(capacity)),
              std::make_pair(std::vector<std::string>(static_cast<size_t>(capacity), m), 0));
}

std::unique_ptr<IPCQueueCPP> open_queue(bool var, const std::string& name, bool create) {
    if (var)
        return create
                   ? std::make_unique<MPMCVarQueueCPP>(name, kChannels, kRingCells, kVarCellSize, CreateOptions{true})
                   : std::make_unique<MPMCVarQueueCPP>(name);
    return create ? std::make_unique<MPMCQueueCPP>(name, kCells, kCellSize, CreateOptions{true})
                  : std::make_unique<MPMCQueueCPP>(name);
}

struct Point {
    const char* name;  // "mpmc.*" or "mpmcvar.*"
    bool reader;
    // What becomes of the victim's message: a writer's is delivered,
    // abandoned (listed, raises once) or gone; a reader's stays or is gone.
    enum { kGone, kStays, kAbandoned } outcome;
};

class KilledAt : public ::testing::TestWithParam<Point> {};

TEST_P(KilledAt, SurvivorsGoOnWithFullCapacityAndEveryOtherMessageOnce) {
    const Point& p = GetParam();
    const bool var = std::string(p.name).rfind("mpmcvar.", 0) == 0;
    const int64_t capacity = var ? kChannels : kCells;
    NameGuard guard(unique_name("dead"));
    const auto open = [&](bool create) { return open_queue(var, guard.name(), create); };
    const std::unique_ptr<IPCQueueCPP> q = open(true);
    // The writer's append must find a tail: one message is always there before.
    std::vector<std::string> expected = {long_message("p0")};
    if (p.reader) expected.push_back(long_message("p1"));
    for (const std::string& m : expected) q->write(m.data(), static_cast<int64_t>(m.size()));

    const std::string victim_message = long_message("victim");
    const pid_t victim = stopped_at(p.name, [&] {
        std::string out;
        if (p.reader)
            open(false)->read(out, 0);
        else
            open(false)->write(victim_message.data(), static_cast<int64_t>(victim_message.size()));
    });
    ASSERT_GT(victim, 0) << "never stopped at " << p.name;
    kill_and_reap(victim);
    const int abandoned = p.outcome == Point::kAbandoned ? 1 : 0;
    if (p.reader && p.outcome == Point::kGone) expected.erase(expected.begin());
    if (!p.reader && p.outcome == Point::kStays) expected.push_back(victim_message);

    // Every cell or channel not holding a message takes a new one: the dead one's too.
    const auto started = steady_clock::now();
    for (size_t i = expected.size() + abandoned; i < static_cast<size_t>(capacity); ++i) {
        expected.push_back(long_message("s" + std::to_string(i)));
        ASSERT_TRUE(write_within(*q, expected.back(), kPatience)) << expected.back();
    }
    EXPECT_FALSE(write_within(*q, "over", kShort)) << "more room than the queue has";
    const auto [got, raised] = drain(*q, static_cast<size_t>(capacity));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - started).count();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(raised, abandoned);
    RecordProperty("recovery_ms", static_cast<int>(took));
    expect_full_capacity(*q, capacity);  // and the queue works on as new
}

INSTANTIATE_TEST_SUITE_P(
    MPMC, KilledAt,
    ::testing::Values(Point{"mpmc.write.free_count", false, Point::kGone},
                      Point{"mpmc.write.free_lock", false, Point::kGone}, Point{"mpmc.write.cell", false, Point::kGone},
                      Point{"mpmc.write.filled_lock", false, Point::kStays},
                      Point{"mpmc.write.filled_post", false, Point::kStays},
                      Point{"mpmc.read.filled_count", true, Point::kStays},
                      Point{"mpmc.read.filled_lock", true, Point::kStays}, Point{"mpmc.read.cell", true, Point::kGone},
                      Point{"mpmc.free.lock", true, Point::kGone}, Point{"mpmc.free.post", true, Point::kGone}),
    [](const auto& info) { return point_name(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    MPMCVar, KilledAt,
    ::testing::Values(
        Point{"mpmcvar.write.free_count", false, Point::kGone}, Point{"mpmcvar.write.free_pop", false, Point::kGone},
        Point{"mpmcvar.write.channel", false, Point::kGone}, Point{"mpmcvar.write.used_lock", false, Point::kAbandoned},
        Point{"mpmcvar.write.used_post", false, Point::kAbandoned},
        Point{"mpmcvar.write.cell", false, Point::kAbandoned}, Point{"mpmcvar.write.message", false, Point::kAbandoned},
        Point{"mpmcvar.write.end", false, Point::kStays}, Point{"mpmcvar.read.used_count", true, Point::kStays},
        Point{"mpmcvar.read.used_lock", true, Point::kStays}, Point{"mpmcvar.read.popped", true, Point::kStays},
        Point{"mpmcvar.read.message", true, Point::kGone}, Point{"mpmcvar.read.release", true, Point::kGone}),
    [](const auto& info) { return point_name(info.param.name); });

// Processes that live shorter than a wait's slice never sleep one: a
// process that connects repairs first, so the capacity is there at once
// (Timeout::now: no wait, no stall check), every channel exactly once, also
// when a repairer died after pushing a channel back.
TEST(VarRepair, ConnectRepairsOnceEvenIfTheRepairerDies) {
    NameGuard guard(unique_name("vconnect"));
    MPMCVarQueueCPP q(guard.name(), kChannels, kRingCells, kVarCellSize, CreateOptions{true});
    const std::string m = long_message("m");
    const pid_t holder = var_writer_at("mpmcvar.write.channel", guard.name(), m);
    ASSERT_GT(holder, 0);
    kill_and_reap(holder);
    const pid_t repairer = stopped_at("mpmcvar.repair.pushed", [&] { MPMCVarQueueCPP mine(guard.name()); });
    ASSERT_GT(repairer, 0) << "the connect did not repair";
    kill_and_reap(repairer);
    MPMCVarQueueCPP joined(guard.name());
    for (int i = 0; i < kChannels; ++i)
        ASSERT_TRUE(joined.write(m.data(), static_cast<int64_t>(m.size()), Timeout::now())) << i;
    EXPECT_FALSE(joined.write(m.data(), static_cast<int64_t>(m.size()), kShort)) << "a channel pushed twice";
    const auto [got, raised] = drain(q, kChannels);
    EXPECT_EQ(got, std::vector<std::string>(kChannels, m));
    EXPECT_EQ(raised, 0);
}

// A writer killed right after handing its last cell over: its message is
// read and the channel taken for the next message; a repair then must not
// take that message for the dead writer's.
TEST(VarRepair, WriterKilledAfterItsLastCellLeavesNoRecordOnTheChannel) {
    NameGuard guard(unique_name("vended"));
    MPMCVarQueueCPP q(guard.name(), 1, kRingCells, kVarCellSize, CreateOptions{true});
    const std::string first = long_message("first"), next = long_message("next");
    const pid_t victim = var_writer_at("mpmcvar.write.posted_end", guard.name(), first);
    ASSERT_GT(victim, 0);
    kill_and_reap(victim);
    std::string out;
    ASSERT_EQ(q.read(out, kPatience), 0);
    EXPECT_EQ(out, first);
    Channel& channel = q.open_channel_for_write();
    channel.partial_write(next.data(), 8);
    q.repair_dead_holders();
    channel.partial_write(next.data() + 8, static_cast<int64_t>(next.size()) - 8);
    q.close_channel_after_write(channel);
    EXPECT_EQ(drain(q, 1), std::make_pair(std::vector<std::string>{next}, 0));
}

// One message, each cell waited for at most kPatience: "abandoned", or "stuck" when a cell never comes.
std::string read_cells(MPMCVarQueueCPP& q) {
    Channel* channel = q.open_channel_for_read(kPatience);
    std::string out;
    try {
        for (Channel::ReadStep step = Channel::ReadStep::kMore; channel != nullptr && step != Channel::ReadStep::kLast;)
            if ((step = channel->partial_read(out, kPatience)) == Channel::ReadStep::kNone) return "stuck";
    } catch (const MessageAbandoned&) {
        return "abandoned";
    }
    if (channel != nullptr) q.close_channel_after_read(*channel);
    return out;
}

// A repair never waits for a writer: a dead reader's channel whose writer
// (stopped, so alive) has ended the message but not yet handed its last cell
// over is left to a later repair, never given up.
TEST(VarRepair, DeadReadersChannelWaitsForItsLiveWriter) {
    NameGuard guard(unique_name("vwait"));
    MPMCVarQueueCPP q(guard.name(), kChannels, kRingCells, kVarCellSize, CreateOptions{true});
    const std::string m = long_message("m");
    const pid_t writer = var_writer_at("mpmcvar.write.end", guard.name(), m);
    const pid_t reader = var_reader_at("mpmcvar.read.message", guard.name());
    ASSERT_GT(writer, 0);
    ASSERT_GT(reader, 0);
    kill_and_reap(reader);
    q.repair_dead_holders();
    EXPECT_TRUE(continued_to_exit(writer));
    expect_full_capacity(q);
}

// Two writers died recording "pop channel 0"; one of them swapped it off
// the free stack. Each record must not hide the channel from the other's repair.
TEST(VarRepair, TwoDeadPoppersOfOneChannelLoseNothing) {
    NameGuard guard(unique_name("vpop2"));
    MPMCVarQueueCPP q(guard.name(), kChannels, kRingCells, kVarCellSize, CreateOptions{true});
    const std::string w = "w";
    const pid_t failed = var_writer_at("mpmcvar.write.free_pop", guard.name(), w);  // its swap would fail
    const pid_t swapped = var_writer_at("mpmcvar.write.free_swapped", guard.name(), w);
    ASSERT_GT(failed, 0);
    ASSERT_GT(swapped, 0);
    kill_and_reap(failed);
    kill_and_reap(swapped);
    expect_full_capacity(q);
}

// A reader died holding the used lock after its pop, and the repairer that
// took the lock over died too: the next repair still puts the message back.
TEST(VarRepair, PoppedMessageStaysWhenItsRepairerDies) {
    NameGuard guard(unique_name("vpoprep"));
    MPMCVarQueueCPP q(guard.name(), kChannels, kRingCells, kVarCellSize, CreateOptions{true});
    const std::string m = long_message("kept");
    q.write(m.data(), static_cast<int64_t>(m.size()));
    const pid_t reader = var_reader_at("mpmcvar.read.unlock", guard.name());
    ASSERT_GT(reader, 0);
    kill_and_reap(reader);
    const pid_t repairer = stopped_at("mpmcvar.repair.locked", [&] { MPMCVarQueueCPP mine(guard.name()); });
    ASSERT_GT(repairer, 0);
    kill_and_reap(repairer);
    EXPECT_EQ(drain(q, 1), std::make_pair(std::vector<std::string>{m}, 0));
    expect_full_capacity(q);
}

// A writer stopped between settling its message's outcome (abandoned, or
// ended) and handing its last cell over: while it is alive its reader waits
// for that cell; once it is dead the reader is told the message was
// abandoned, never left waiting. Either way the channel comes back.
TEST(VarRepair, WriterStoppedBeforeItsLastPost) {
    for (const bool ends : {false, true})
        for (const bool dies : {true, false}) {
            const char* point = ends ? "mpmcvar.write.last_post" : "mpmcvar.write.abandoned";
            NameGuard guard(unique_name("vlastpost"));
            MPMCVarQueueCPP q(guard.name(), kChannels, kRingCells, kVarCellSize, CreateOptions{true});
            const std::string m = long_message("last");
            const pid_t writer = stopped_at(point, [&] {
                MPMCVarQueueCPP mine(guard.name());
                Channel& channel = mine.open_channel_for_write();
                channel.partial_write(m.data(), static_cast<int64_t>(m.size()));  // keeps a part-filled cell
                ends ? mine.close_channel_after_write(channel) : channel.abandon_write();
            });
            ASSERT_GT(writer, 0) << point;
            if (dies) kill_and_reap(writer);
            auto reader = std::async(std::launch::async, [&] { return read_cells(q); });
            if (!dies) {
                EXPECT_EQ(reader.wait_for(std::chrono::seconds(1)), std::future_status::timeout) << point;
                EXPECT_TRUE(continued_to_exit(writer)) << point;
            }
            EXPECT_EQ(reader.get(), ends && !dies ? m : "abandoned") << point << (dies ? " killed" : " stopped");
            expect_full_capacity(q);
        }
}

// Two around the free list's lock. A reader giving its cell back and a writer
// holding the lock before its pop die: each cell goes back once. A reader dies
// releasing the lock while a writer, stopped, waits for it: a repair that cannot
// tell who holds the lock keeps the dead one's record, so the writer gets through.
TEST(MPMCRepair, TwoAroundTheFreeListLock) {
    for (const bool waits : {false, true}) {
        NameGuard guard(unique_name("twodead"));
        MPMCQueueCPP q(guard.name(), kCells, kCellSize, CreateOptions{true});
        q.write("m", 1);
        std::string out;
        const pid_t reader = stopped_at(waits ? "mpmc.free.unlock" : "mpmc.read.give_back",
                                        [&] { MPMCQueueCPP(guard.name()).read(out, 0); });
        const pid_t writer = stopped_at(waits ? "mpmc.write.free_count" : "mpmc.write.free_lock",
                                        [&] { MPMCQueueCPP(guard.name()).write("w", 1); });
        ASSERT_GT(reader, 0);
        ASSERT_GT(writer, 0);
        kill_and_reap(reader);
        q.repair_dead_holders();  // the writer, stopped, is alive
        if (waits) ::kill(writer, SIGCONT);
        EXPECT_EQ(drain(q, waits).first, std::vector<std::string>(waits, "w")) << waits;
        kill_and_reap(writer);
        expect_full_capacity(q, kCells);
    }
}

// A repair that cannot tell whether a dead thread holds a list's lock looks
// at everyone; while it looks, the holder it saw posts the lock and a process
// that records nothing takes it. The post is counted, so the lock is left to
// its holder, not taken over and posted a second time.
TEST(Repair, LockPostedDuringTheLookIsNotTakenOver) {
    for (const bool var : {false, true}) {
        NameGuard guard(unique_name("look"));
        const std::unique_ptr<IPCQueueCPP> q = open_queue(var, guard.name(), true);
        q->write("m", 1);  // MPMCVar: the dead one's read takes the used count
        const auto writer_at = [&](const char* point, const char* m, bool recorded) {
            return stopped_at(point, [&] {
                if (!recorded) ::setenv(kUnrecordedVariable, "1", 1);
                open_queue(var, guard.name(), false)->write(m, 1);
            });
        };
        const char* inside = var ? "mpmcvar.write.used_lock" : "mpmc.write.free_lock";
        const pid_t holder = writer_at(inside, "h", true);
        // Dead, and may hold the lock.
        kill_and_reap(var ? stopped_at("mpmcvar.read.used_count",
                                       [&] {
                                           std::string out;
                                           open_queue(true, guard.name(), false)->read(out, 0);
                                       })
                          : writer_at("mpmc.write.free_count", "d", true));
        // Its connect repairs.
        const pid_t repairer = stopped_at("repair.look", [&] { open_queue(var, guard.name(), false); });
        const pid_t unrecorded = continued_to_exit(holder) ? writer_at(inside, "u", false) : -1;
        const std::string stuck = var ? "used_mutex=0" : "free_mutex=0";
        const auto lock_held = [&] {
            return sem_values(guard.name(), var ? QueueKind::kMPMCVar : QueueKind::kMPMC).find(stuck) !=
                   std::string::npos;
        };
        const bool held_before = lock_held();
        EXPECT_TRUE(repairer > 0 && continued_to_exit(repairer)) << var;
        EXPECT_TRUE(held_before && lock_held()) << "the lock was taken from its holder " << var;
        EXPECT_TRUE(unrecorded > 0 && continued_to_exit(unrecorded)) << var;
        EXPECT_EQ(drain(*q, 3), std::make_pair(std::vector<std::string>{"h", "m", "u"}, 0)) << var;
        expect_full_capacity(*q, var ? kChannels : kCells);
    }
}

// A writer dies holding the used list's lock, its record about to post it,
// while a live reader that may take the lock is stopped: the look cannot
// settle who holds it, so the dead writer's record is kept, not freed, and
// once the reader goes on a later repair releases the lock.
TEST(MPMCVarRepair, AnUnsettledLockKeepsItsDeadHoldersRecord) {
    NameGuard guard(unique_name("unsettled"));
    MPMCVarQueueCPP q(guard.name(), kChannels, kRingCells, kVarCellSize, CreateOptions{true});
    q.write("m", 1);
    const pid_t reader = stopped_at("mpmcvar.read.used_count", [&] {
        std::string out;
        if (MPMCVarQueueCPP(guard.name()).read(out, 5000) != 0 || out != "m") throw std::runtime_error(out);
    });
    kill_and_reap(var_writer_at("mpmcvar.write.unlock", guard.name(), long_message("dead")));
    q.repair_dead_holders();  // the reader, stopped, may hold the lock
    EXPECT_TRUE(continued_to_exit(reader)) << "the used list's lock stayed stuck";
    EXPECT_EQ(drain(q, 1), std::make_pair(std::vector<std::string>{}, 1));
    expect_full_capacity(q);
}

// Each thing a thread keeps between calls has a record of its own, and
// what a thread kept is its process's once the thread ends. The victim keeps
// a message it reads while it writes another; a thread of it took a second
// one and ended: no repair takes that while the process lives, and the main
// thread gives it back (moving that thread's record on). Killed in the
// write, the victim costs its two messages; the one written meanwhile comes
// once, and all the room comes back.
TEST(Repair, EveryKeptThingIsRecordedAndAnEndedThreadsIsItsProcesss) {
    const auto go_on_to_a_stop = [](pid_t pid) {
        int status = 0;
        return ::kill(pid, SIGCONT) == 0 && ::waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
    };
    for (const bool var : {false, true}) {
        NameGuard guard(unique_name("kept"));
        const std::unique_ptr<IPCQueueCPP> q = open_queue(var, guard.name(), true);
        q->write("r", 1);
        q->write("t", 1);
        const pid_t victim = stopped_at(var ? "mpmcvar.write.channel" : "mpmc.write.cell", [&] {
            const std::unique_ptr<IPCQueueCPP> mine = open_queue(var, guard.name(), false);
            static_cast<void>(mine->read_begin());
            void* held = nullptr;
            std::thread([&] { held = mine->read_begin(); }).join();
            ::raise(SIGSTOP);
            mine->read_end(held);
            ::raise(SIGSTOP);
            mine->write("w", 1);
        });
        ASSERT_GT(victim, 0) << var;
        for (const OwnerRecord& r : OwnerTable::read_records(guard.name()))
            EXPECT_NE(r.state, ThreadState::kGone) << "an operator is told it is gone " << var;
        var ? static_cast<MPMCVarQueueCPP&>(*q).repair_dead_holders()
            : static_cast<MPMCQueueCPP&>(*q).repair_dead_holders();
        EXPECT_TRUE(go_on_to_a_stop(victim)) << var;
        q->write("x", 1);  // where the ended thread's read was
        EXPECT_TRUE(go_on_to_a_stop(victim)) << "not in the write " << var;
        kill_and_reap(victim);
        EXPECT_EQ(drain(*q, 1), std::make_pair(std::vector<std::string>{"x"}, 0)) << var;
        expect_full_capacity(*q, var ? kChannels : kCells);
    }
}

TEST(StoppedHolder, IsNotRobbedAndGoesOnWhenContinued) {
    NameGuard guard(unique_name("stopped"));
    MPMCQueueCPP q(guard.name(), kCells, kCellSize, CreateOptions{true});
    const pid_t holder = stopped_at("mpmc.write.free_lock", [&] {
        MPMCQueueCPP mine(guard.name());
        mine.write("held", 4);
    });
    ASSERT_GT(holder, 0);
    auto survivor = std::async(std::launch::async, [&] { return q.write("mine", 4, kPatience); });
    // Three seconds inside the free list's lock: far past any repair's patience.
    EXPECT_EQ(survivor.wait_for(std::chrono::seconds(3)), std::future_status::timeout) << "the lock was taken over";
    EXPECT_TRUE(continued_to_exit(holder));
    EXPECT_TRUE(survivor.get());
    EXPECT_EQ(drain(q, 2), std::make_pair(std::vector<std::string>{"held", "mine"}, 0));
}

}  // namespace
}  // namespace mox::ipc_queue::test
