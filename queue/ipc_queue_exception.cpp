#include "ipc_queue_exception.h"

#include <cstring>

namespace mox::ipc_queue {

IPCQueueException::IPCQueueException(const char* text) : message(text) {}

IPCQueueException::IPCQueueException(const char* text, std::string name)
    : message(std::string(text) + " on queue '" + name + "'") {}

IPCQueueException::IPCQueueException(const char* text, std::string name, int error)
    : message(std::string(text) + " on queue '" + name + "': " + std::strerror(error)), error(error) {}

IPCQueueException::~IPCQueueException() = default;

const char* IPCQueueException::what() const noexcept { return message.c_str(); }

}  // namespace mox::ipc_queue
