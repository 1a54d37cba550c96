// IPCQueueException: the one error type of the queue library.
//
// Every failure of a queue operation is thrown as this type. Its message is
// composed once, by the constructor, in one of three forms:
//   text
//   text on queue 'name'
//   text on queue 'name': <strerror(error)>
#pragma once

#include <exception>
#include <string>

namespace mox::ipc_queue {

class IPCQueueException : public std::exception {
public:
    explicit IPCQueueException(const char* text);
    IPCQueueException(const char* text, std::string name);
    IPCQueueException(const char* text, std::string name, int error);
    ~IPCQueueException() override;

    const char* what() const noexcept override;

    std::string message;
    // The errno of the platform call that failed; 0 when none was involved.
    int error = 0;
};

// A connect found the queue still being made: its creator has not
// finished (or died while making it). A later connect may succeed.
class QueueNotReady : public IPCQueueException {
public:
    using IPCQueueException::IPCQueueException;
};

// The other side of a variable-length message gave it up half-way (its
// process was interrupted, or its object destroyed, inside the message).
// The message is delivered to nobody and its channel is free again.
class MessageAbandoned : public IPCQueueException {
public:
    using IPCQueueException::IPCQueueException;
};

}  // namespace mox::ipc_queue
