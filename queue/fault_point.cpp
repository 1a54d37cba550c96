#include "fault_point.h"

#ifdef MOX_FAULT_POINTS
#include <signal.h>

#include <atomic>
#include <cstring>

namespace mox::ipc_queue {

namespace {
std::atomic<const char*> armed{nullptr};
}  // namespace

void arm_fault_point(const char* name) { armed.store(name); }

void fault_point(const char* name) {
    const char* a = armed.load(std::memory_order_relaxed);
    if (a != nullptr && std::strcmp(a, name) == 0) ::raise(SIGSTOP);
}

}  // namespace mox::ipc_queue
#endif
