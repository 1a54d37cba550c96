#include "closable_python_queue.h"

namespace mox::ipc_queue {

namespace {
thread_local const bool* t_close_requested = nullptr;
}  // namespace

const bool* close_requested_in_this_thread() { return t_close_requested; }
void set_close_requested_in_this_thread(const bool* flag) { t_close_requested = flag; }

}  // namespace mox::ipc_queue
