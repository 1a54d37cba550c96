#include "ipc_queue.h"

#include "ipc_queue_exception.h"

namespace mox::ipc_queue {

IPCQueueCPP::IPCQueueCPP(const std::string& name) : name_(name) {}

IPCQueueCPP::IPCQueueCPP(const std::string& name, int64_t num_cells, int64_t cell_size)
    : name_(name),
      num_cells_(static_cast<uint32_t>(num_cells)),
      cell_size_(static_cast<uint64_t>(cell_size)),
      cell_stride_(static_cast<uint64_t>(cell_size) + Cell::kHeaderSize) {}

IPCQueueCPP::~IPCQueueCPP() = default;

void IPCQueueCPP::throw_closed() const { throw IPCQueueException("queue is closed"); }

}  // namespace mox::ipc_queue
