// Uses the installed package only: one queue of each kind, a message written
// and read back in this process, then its names removed.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <mox_ipc_queue/ipc_queue_exception.h>
#include <mox_ipc_queue/mpmc_queue.h>
#include <mox_ipc_queue/mpmcvar_queue.h>
#include <mox_ipc_queue/spsc_queue.h>

namespace mq = mox::ipc_queue;

namespace {

// Entries of /dev/shm (segments and "sem." files) that contain `stem`.
int objects_named(const std::string& stem) {
    int count = 0;
    if (DIR* dir = ::opendir("/dev/shm")) {
        while (const dirent* e = ::readdir(dir))
            if (std::string(e->d_name).find(stem) != std::string::npos) ++count;
        ::closedir(dir);
    }
    return count;
}

int round_trip(mq::IPCQueueCPP& queue, const std::string& name, const std::string& message) {
    queue.write(message.data(), static_cast<int64_t>(message.size()));
    std::string out;
    const int rc = queue.read(out, 5000);
    queue.unlink();
    if (rc != 0 || out != message) {
        std::fprintf(stderr, "%s: read returned %d and '%s', expected '%s'\n", name.c_str(), rc, out.c_str(),
                     message.c_str());
        return 1;
    }
    if (objects_named(name.substr(1)) != 0) {
        std::fprintf(stderr, "%s: names left in /dev/shm after unlink()\n", name.c_str());
        return 1;
    }
    std::printf("%s: ok\n", name.c_str());
    return 0;
}

}  // namespace

int main() {
    const std::string base = "/mox_pkg_consumer_" + std::to_string(::getpid()) + "_";
    int failures = 0;
    try {
        {
            mq::SPSCQueueCPP queue(base + "spsc", 4, 64, true);
            failures += round_trip(queue, base + "spsc", "one writer, one reader");
        }
        {
            mq::MPMCQueueCPP queue(base + "mpmc", 4, 64);
            failures += round_trip(queue, base + "mpmc", "many writers, many readers");
        }
        {
            // Cells of 8 bytes: the message spans several cells of its channel.
            mq::MPMCVarQueueCPP queue(base + "mpmcvar", 2, 4, 8);
            failures += round_trip(queue, base + "mpmcvar", "a variable-length message");
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
