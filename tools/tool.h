// What more than one mox-ipcq command needs: how a command fails (a message
// and an exit code), how a NAME argument becomes the queue's names, and a
// queue's semaphore names from its report and what /dev/shm holds. The
// layouts come from layout.h, segment_report.h and queue_names.h only.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "layout.h"
#include "segment_report.h"

namespace mox::ipcq {

using ipc_queue::QueueKind;
using ipc_queue::SegmentReport;

inline constexpr const char* kShmDir = "/dev/shm";
// glibc keeps a named semaphore beside the segments as "sem.<name>": list
// skips these entries.
inline constexpr const char* kSemFilePrefix = "sem.";

enum ExitCode : int {
    kOk = 0,
    kNotFound = 1,
    kUsage = 2,
    kNotQueue = 3,
    kPermission = 4,
    kSystemError = 5,
};

// Ends a command: main prints the message on stderr and exits with the code.
struct Failure {
    int code;
    std::string message;
};
[[noreturn]] void fail(int code, std::string message);
int code_for_errno(int err);

// A queue named on the command line; "/jobs" and "jobs" are the same queue.
struct QueueName {
    std::string stem;  // the segment's file in /dev/shm

    // As shm_open, sem_open and the user see it.
    std::string shown() const { return "/" + stem; }
    std::string semaphore(const std::string& suffix) const { return shown() + suffix; }
};
// Throws Failure (usage) for an empty name or one with a further '/'.
QueueName parse_name(const std::string& arg);

// Reads the queue's semaphores by name, for report_segment.
ipc_queue::SemaphoreReader named_semaphores(const QueueName& name);

// The two semaphore suffixes of MPMCVar channel `channel`.
std::vector<std::string> channel_suffixes(uint32_t channel);
// Channel numbers of `name`: those its header counts when the report found
// a sound MPMCVar queue, plus every number that has a channel semaphore in
// /dev/shm (all there is to go by when the header is damaged or gone).
std::set<uint32_t> channel_numbers(const QueueName& name, const SegmentReport& report);
// Every semaphore suffix of a queue of `kind` with these channels.
std::vector<std::string> semaphore_suffixes(QueueKind kind, const std::set<uint32_t>& channels);

// The commands, one file each. Each returns the exit code or throws Failure.
int list_command(bool all);
int inspect_command(const QueueName& name, bool json);
int remove_command(const QueueName& name, std::optional<QueueKind> kind);
int repair_command(const QueueName& name);

}  // namespace mox::ipcq
