#include "python_report.h"

#include "segment_report.h"

namespace mox::ipc_queue {

pybind11::dict report_dict(const IPCQueueCPP& queue) {
    return pybind11::module_::import("json")
        .attr("loads")(to_json(queue.report(), queue.name()))
        .cast<pybind11::dict>();
}

}  // namespace mox::ipc_queue
