// MPMCQueue: the Python class over MPMCQueueCPP. Any number of objects in
// any number of processes write and read; each message goes to one reader.
#pragma once

#include "fixed_cell_python_queue.h"
#include "mpmc_queue.h"
#include "python_queue_api.h"
#include "python_report.h"

namespace mox::ipc_queue {

extern const CodecTexts kMPMCQueueTexts;

class MPMCQueue : public FixedCellPythonQueue<MPMCQueueCPP, kMPMCQueueTexts> {
public:
    using FixedCellPythonQueue::FixedCellPythonQueue;
    ~MPMCQueue() override;
};

void register_mpmc_queue(py::module_& m);

}  // namespace mox::ipc_queue
