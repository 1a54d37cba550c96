#include "queue_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "layout.h"
#include "owner_table.h"

namespace mox::ipc_queue {

namespace {

constexpr const char* kShmDir = "/dev/shm";

std::string stem(const std::string& name) {
    const size_t start = name.find_first_not_of('/');
    return start == std::string::npos ? std::string() : name.substr(start);
}

}  // namespace

std::string semaphore_file(const std::string& sem_name) { return std::string(kShmDir) + "/sem." + stem(sem_name); }

std::set<uint32_t> channel_numbers_in_shm(const std::string& name) {
    std::set<uint32_t> found;
    DIR* dir = ::opendir(kShmDir);
    if (dir == nullptr) return found;
    std::vector<std::string> prefixes;
    for (const SemaphoreSpec& s : channel_semaphores()) prefixes.push_back("sem." + stem(name) + s.suffix);
    while (const dirent* e = ::readdir(dir)) {
        const std::string entry = e->d_name;
        for (const std::string& prefix : prefixes) {
            if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string digits = entry.substr(prefix.size());
            // Channel numbers are written as "%u": no sign, no leading zero.
            const bool decimal = std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!decimal || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) continue;
            const uint64_t n = std::stoull(digits);
            if (n <= 0xFFFFFFFFu) found.insert(static_cast<uint32_t>(n));
        }
    }
    ::closedir(dir);
    return found;
}

std::vector<std::string> possible_semaphore_names(const std::string& name) {
    std::set<std::string> names;
    for (QueueKind kind : {QueueKind::kSPSC, QueueKind::kMPMC, QueueKind::kMPMCVar})
        for (const SemaphoreSpec& s : queue_semaphores(kind)) names.insert(name + s.suffix);
    for (uint32_t n : channel_numbers_in_shm(name))
        for (const SemaphoreSpec& s : channel_semaphores()) names.insert(name + s.suffix + std::to_string(n));
    return {names.begin(), names.end()};
}

bool remove_queue_names(const std::string& name) {
    bool removed = ::shm_unlink(name.c_str()) == 0;
    removed = ::shm_unlink(OwnerTable::object_name(name).c_str()) == 0 || removed;
    for (const std::string& sem : possible_semaphore_names(name)) removed = (::sem_unlink(sem.c_str()) == 0) || removed;
    return removed;
}

bool segment_exists(const std::string& name) {
    struct stat st{};
    return ::stat((std::string(kShmDir) + "/" + stem(name)).c_str(), &st) == 0;
}

}  // namespace mox::ipc_queue
