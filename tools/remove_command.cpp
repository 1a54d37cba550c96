// mox-ipcq remove [--kind KIND] NAME: removes a queue's segment and every
// semaphore name of its kind, also when some are gone already or the
// header is damaged, so that the application can create the queue again.
// The kind comes from the segment; --kind only when the segment says
// nothing (gone, or no queue), and never against what it says.
#include <semaphore.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "owner_table.h"
#include "queue_names.h"
#include "tool.h"

namespace mox::ipcq {

namespace {

// Semaphore names of any kind that still exist for `name`.
std::vector<std::string> leftover_semaphores(const QueueName& name) {
    std::vector<std::string> left;
    for (const std::string& sem : ipc_queue::possible_semaphore_names(name.shown()))
        if (ipc_queue::read_named_semaphore(sem).present()) left.push_back(sem);
    return left;
}

// The kind to remove `name` as, from its segment and the --kind given;
// `report` keeps what the segment said. Throws Failure when it refuses.
QueueKind kind_to_remove(const QueueName& name, std::optional<QueueKind> given, SegmentReport& report,
                         bool& segment_present) {
    ipc_queue::SegmentFile segment;
    const int err = segment.open(name.shown());
    segment_present = err != ENOENT;
    if (err == 0) {
        // Only the prefix and header matter here: no semaphore is opened.
        report = ipc_queue::report_segment(segment, [](const std::string&) { return ipc_queue::SemaphoreReading{}; });
        if (report.kind) {
            if (given && *given != *report.kind)
                fail(kNotQueue, "'" + name.shown() + "' is an " + ipc_queue::kind_name(*report.kind) + " queue, not " +
                                    ipc_queue::kind_name(*given) + "; nothing removed");
            return *report.kind;
        }
        if (!given)
            fail(kNotQueue, "'" + name.shown() + "' is not a queue (" + report.problem +
                                "); nothing removed. Give --kind to remove it as a queue of that kind anyway");
        return *given;
    }
    if (given) return *given;
    if (err == ENOENT) {
        std::string message = "no queue segment '" + name.shown() + "' in " + kShmDir;
        const auto left = leftover_semaphores(name);
        if (!left.empty()) {
            message += "; semaphore names of it remain:";
            for (const std::string& s : left) message += " " + s;
            message += ". Give --kind to remove them";
        }
        fail(kNotFound, message);
    }
    fail(code_for_errno(err),
         "cannot read '" + name.shown() + "': " + std::strerror(err) + ". Give --kind to remove it without reading it");
}

}  // namespace

int remove_command(const QueueName& name, std::optional<QueueKind> given) {
    SegmentReport report;
    bool segment_present = false;
    const QueueKind kind = kind_to_remove(name, given, report, segment_present);

    int worst = kOk;
    size_t removed = 0;
    std::vector<std::string> gone;
    auto unlink_one = [&](int (*unlink_name)(const char*), const std::string& object, const char* what) {
        if (unlink_name(object.c_str()) == 0) {
            std::printf("removed %s %s\n", what, object.c_str());
            ++removed;
        } else if (const int err = errno; err == ENOENT) {
            gone.push_back(object);
        } else {
            std::fprintf(stderr, "mox-ipcq: cannot remove %s %s: %s\n", what, object.c_str(), std::strerror(err));
            worst = std::max(worst, code_for_errno(err));
        }
    };
    if (segment_present) unlink_one(::shm_unlink, name.shown(), "segment");
    for (const std::string& suffix : semaphore_suffixes(kind, channel_numbers(name, report)))
        unlink_one(::sem_unlink, name.semaphore(suffix), "semaphore");
    // Only queues used by processes that record their holdings have one.
    if (const std::string owners = ipc_queue::OwnerTable::object_name(name.shown()); ::shm_unlink(owners.c_str()) == 0)
        std::printf("removed table of owners %s\n", owners.c_str());

    if (removed == 0 && worst == kOk)
        fail(kNotFound, std::string("nothing of ") + ipc_queue::kind_name(kind) + " queue '" + name.shown() +
                            "' was left to remove");
    if (!gone.empty()) {
        std::string text = "already gone:";
        for (const std::string& object : gone) text += " " + object;
        std::printf("%s\n", text.c_str());
    }
    return worst;
}

}  // namespace mox::ipcq
