// Stop points for the dead-process tests. In the library built with
// MOX_FAULT_POINTS (the CMake target mox_ipc_queue_faults), a thread that
// reaches the armed point stops its process (SIGSTOP), for a test to
// SIGKILL it exactly there. In every other build a point is nothing.
#pragma once

#ifdef MOX_FAULT_POINTS
namespace mox::ipc_queue {
// `name` must outlive its use; nullptr disarms.
void arm_fault_point(const char* name);
void fault_point(const char* name);
}  // namespace mox::ipc_queue
#define MOX_FAULT_POINT(name) ::mox::ipc_queue::fault_point(name)
#else
#define MOX_FAULT_POINT(name) static_cast<void>(0)
#endif
