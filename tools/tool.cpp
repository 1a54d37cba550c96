#include "tool.h"

#include <cerrno>
#include <utility>

#include "queue_names.h"

namespace mox::ipcq {

void fail(int code, std::string message) { throw Failure{code, std::move(message)}; }

int code_for_errno(int err) {
    if (err == ENOENT) return kNotFound;
    if (err == EACCES || err == EPERM) return kPermission;
    return kSystemError;
}

QueueName parse_name(const std::string& arg) {
    std::string stem = arg;
    if (!stem.empty() && stem[0] == '/') stem.erase(0, 1);
    if (stem.empty() || stem.find('/') != std::string::npos || stem == "." || stem == "..")
        fail(kUsage, "invalid queue name '" + arg + "': expected /NAME or NAME without further '/'");
    return {stem};
}

ipc_queue::SemaphoreReader named_semaphores(const QueueName& name) {
    return [name](const std::string& suffix) { return ipc_queue::read_named_semaphore(name.semaphore(suffix)); };
}

std::vector<std::string> channel_suffixes(uint32_t channel) {
    std::vector<std::string> suffixes;
    for (const ipc_queue::SemaphoreSpec& s : ipc_queue::channel_semaphores())
        suffixes.push_back(s.suffix + std::to_string(channel));
    return suffixes;
}

std::set<uint32_t> channel_numbers(const QueueName& name, const SegmentReport& report) {
    std::set<uint32_t> channels = ipc_queue::channel_numbers_in_shm(name.shown());
    // Only a sound header's count is trusted: a damaged one may claim 2^32.
    if (report.verdict == SegmentReport::kQueue)
        for (uint32_t c = 0; c < report.geometry.num_channels; ++c) channels.insert(c);
    return channels;
}

std::vector<std::string> semaphore_suffixes(QueueKind kind, const std::set<uint32_t>& channels) {
    std::vector<std::string> suffixes = ipc_queue::semaphore_suffixes(kind, 0);
    if (kind == QueueKind::kMPMCVar)
        for (uint32_t c : channels)
            for (std::string& s : channel_suffixes(c)) suffixes.push_back(std::move(s));
    return suffixes;
}

}  // namespace mox::ipcq
