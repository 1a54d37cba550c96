// Uses the installed package only: one queue of each kind, a message written
// and read back in this process, then its names removed.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include <mox_ipc_queue/ipc_queue_exception.h>
#include <mox_ipc_queue/mpmc_queue.h>
#include <mox_ipc_queue/mpmcvar_queue.h>
#include <mox_ipc_queue/spsc_queue.h>

namespace mq = mox::ipc_queue;

// Entries of /dev/shm (segments and "sem." files) that contain `stem`.
static int objects_named(const std::string& stem) {
    int count = 0;
    if (DIR* dir = ::opendir("/dev/shm")) {
        while (const dirent* e = ::readdir(dir)) count += std::string(e->d_name).find(stem) != std::string::npos;
        ::closedir(dir);
    }
    return count;
}

int main() {
    const std::string base = "/mox_pkg_consumer_" + std::to_string(::getpid()) + "_";
    int failures = 0;
    try {
        // Cells of 8 bytes for MPMCVar: its message spans several cells of its channel.
        const std::pair<std::unique_ptr<mq::IPCQueueCPP>, std::string> queues[] = {
            {std::make_unique<mq::SPSCQueueCPP>(base + "spsc", 4, 64, true), "one writer, one reader"},
            {std::make_unique<mq::MPMCQueueCPP>(base + "mpmc", 4, 64), "many writers, many readers"},
            {std::make_unique<mq::MPMCVarQueueCPP>(base + "var", 2, 4, 8), "a variable-length message"},
        };
        for (const auto& [queue, message] : queues) {
            queue->write(message.data(), static_cast<int64_t>(message.size()));
            std::string out;
            const int rc = queue->read(out, 5000);
            queue->unlink();
            const bool left = objects_named(queue->name().substr(1)) != 0;
            if (rc != 0 || out != message || left)
                std::fprintf(stderr, "%s: read returned %d and '%s', expected '%s'%s\n", queue->name().c_str(), rc,
                             out.c_str(), message.c_str(), left ? "; names left in /dev/shm after unlink()" : "");
            else
                std::printf("%s: ok\n", queue->name().c_str());
            failures += rc != 0 || out != message || left;
        }
    } catch (const mq::IPCQueueException& e) {
        // The queues' destructors have removed their names by now.
        std::fprintf(stderr, "IPCQueueException: %s\n", e.what());
        return 1;
    }
    if (objects_named(base.substr(1)) != 0) {
        std::fprintf(stderr, "objects of %s left in /dev/shm\n", base.c_str());
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
