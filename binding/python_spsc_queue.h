// SPSCQueue: the Python class over SPSCQueueCPP. Typed values go straight
// into and out of the ring's cells through the shared codec.
#pragma once

#include "fixed_cell_python_queue.h"
#include "python_queue_api.h"
#include "python_report.h"
#include "spsc_queue.h"

namespace mox::ipc_queue {

extern const CodecTexts kSPSCQueueTexts;

class SPSCQueue : public FixedCellPythonQueue<SPSCQueueCPP, kSPSCQueueTexts> {
public:
    using FixedCellPythonQueue::FixedCellPythonQueue;
    ~SPSCQueue() override;
};

void register_spsc_queue(py::module_& m);

}  // namespace mox::ipc_queue
