// The queue objects' inspect(): the core's report of what the object sees
// of its queue, as a dict (the operator tool prints the same as JSON).
#pragma once

#include <pybind11/pybind11.h>

#include "ipc_queue.h"

namespace mox::ipc_queue {

inline constexpr const char* kInspectDoc =
    "the queue as this object sees it (a dict): header words, lists, counts, the cells or channels on no list, "
    "and 'findings', what differs from a sound idle queue; a snapshot, changes nothing";

pybind11::dict report_dict(const IPCQueueCPP& queue);

}  // namespace mox::ipc_queue
